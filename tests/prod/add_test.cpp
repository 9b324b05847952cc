// Adds: what each request class puts on the wire (objects, options, attachments, the road), how
// the reply is checked and read, and that a request executed again sends the same message.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "DVLAddHistoryDetail.h"
#include "DVLAddOutput.h"
#include "KRNError.h"
#include "support/FakeService.h"
#include "support/Raised.h"

namespace {

const ZEBSOAPSessionI::ZEBSOAPTrusted kUntrusted = ZEBSOAPSessionI::ZEBSOAPUntrusted;

struct Added {
  const char* path;
  const char* storeId;
  const char* name;
};

// A content-manager reply holding one output per entry.
std::string addReply(const std::vector<Added>& objects) {
  ZEBContentAdd_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  ZEBBaseClassArray* result = reply.getResult(&registry);
  for (const Added& a : objects) {
    auto* object = new ZEBOutput;
    registry.registerObject(object);
    object->getSearchPath(&registry)->setValue(a.path);
    object->getStoreID(&registry)->getValue(&registry)->setValue(a.storeId);
    object->getDefaultName(&registry)->setValue(a.name);
    result->push_back(object);
  }
  return FakeService::replyOf(reply);
}

std::string monitorReply() {
  ZEBMonitorAdd_Reply reply;
  ZEBAsynchReply* result = reply.getResult(&reply.getObjectRegistry());
  result->getStatus(&reply.getObjectRegistry())->setValue(ZEBAsynchReplyStatusEnum::queued);
  return FakeService::replyOf(reply);
}

class AddTest : public testing::Test {
 protected:
  void SetUp() override {
    service.respond([](const RecordedRequest& r) {
      return r.operation == "add" ? addReply({{"/content/new", "i1", "new"}}) : monitorReply();
    });
  }

  // The last request, parsed back.
  template <class Message>
  Message& lastSent() {
    parsed = service.lastRequestMessage();
    return static_cast<Message&>(*parsed);
  }
  // A document read from a file, as setContext requires.
  ZEBDocumentOutput& fileDocument(const std::string& bytes) {
    // One file per test: ctest runs the tests of this file in parallel processes.
    std::string path = testing::TempDir() + testing::UnitTest::GetInstance()->current_test_info()->name() + ".xml";
    std::ofstream(path, std::ios::binary) << bytes;
    file = std::make_unique<ZEBDocumentOutput>(path, "text/xml");
    return *file;
  }

  FakeService service;
  std::unique_ptr<ZEBMessageI> parsed;
  std::unique_ptr<ZEBDocumentOutput> file;
};

// ---------------------------------------------------------------- outputs

// The live add suite stores an output's data and context and reads both back byte for byte. A retry
// after a transport failure must send the very message of the first attempt.
TEST_F(AddTest, TheDocumentContentComesSecondWithTheSameSettingsAndARetrySendsTheSameMessage) {
  bool fail = true;
  service.respond([&](const RecordedRequest&) -> std::string {
    if (fail) {
      fail = false;
      KRNRuntimeError("connection reset").raise(KRNFileLocation("FakeService", 1), nullptr, "KRN_THROW");
    }
    return addReply({{"/o", "i1", "o"}, {"/d", "i2", "d"}});
  });
  const char bytes[] = "doc";
  ZEBMemoryDocumentOutput data(bytes, 3);
  DVLAddOutput add(service.session(), nullptr, kUntrusted);
  add.setExtraPath("/content/doc");
  add.setName("quarterly");
  add.setData(&data, "d1");
  add.setFormat("PDF");
  add.setLocale("en-gb");
  add.setBurstKey("region");
  add.setBurstId("north");
  add.addRecipient("/users/a");
  add.addRecipient("/groups/b");
  add.addRecipientEMail("a@example.org");
  add.setContext(fileDocument("<c/>"));
  add.setContextBlockCount(2);
  EXPECT_THROW(add.execute(), KRNRuntimeError);
  add.execute();
  add.execute();
  ASSERT_EQ(service.requests().size(), 3u);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(service.requests()[i].envelope, service.requests()[0].envelope);
    EXPECT_EQ(service.requests()[i].attachments, service.requests()[0].attachments);
  }
  EXPECT_EQ(service.last().attachments.size(), 2u);

  ZEBContentAdd_Request& sent = lastSent<ZEBContentAdd_Request>();
  ASSERT_EQ(sent.getObjects()->size(), 2u);
  auto* output = static_cast<ZEBOutput*>(sent.getObjects()->at(0));
  auto* content = dynamic_cast<ZEBDocumentContent*>(sent.getObjects()->at(1));
  ASSERT_NE(content, nullptr);
  EXPECT_STREQ(content->getSearchPath()->getValue(), "/content/doc");
  EXPECT_EQ(output->getSearchPath(), nullptr);
  EXPECT_STREQ(content->getDefaultName()->getValue(), "quarterly");
  EXPECT_STREQ(output->getData()->getValue()->getValue(), "cid:d1");
  // Every setting of the output, the data included, reaches the document content unchanged.
  for (const char* name : {"format", "locale", "burstKey", "burstID", "recipients", "recipientsEMail", "context",
                           "contextBlockCount", "data"}) {
    auto field = [name](const ZEBObject* o) {
      int index = o->getTypeInfo().findField(name, std::strlen(name));
      return index < 0 ? nullptr : static_cast<const ZEBObject*>(o->slot(static_cast<unsigned>(index)).ptr);
    };
    ASSERT_NE(field(output), nullptr) << name;
    EXPECT_EQ(ZEBDifference(field(output), field(content)), "") << name;
  }
  // Recipients travel as nil objects holding only a search path.
  const ZEBBaseClassArray& recipients = output->getRecipients()->getValue();
  ASSERT_EQ(recipients.size(), 2u);
  const char* paths[] = {"/users/a", "/groups/b"};
  for (size_t i = 0; i < 2; ++i) {
    ZEBNil expected;
    ZEBStringProp path;
    path.setValue(paths[i]);
    expected.setSearchPath(&path);
    EXPECT_EQ(ZEBDifference(recipients.at(i), &expected), "");
  }
}

// ---------------------------------------------------------------- history details

// Both roads are the live add suite's; here, a detail with neither parent path nor event.
TEST_F(AddTest, AHistoryDetailNeedsAParentPathOrAnEventId) {
  const char* text =
      "KRN_ASSERT(this->m_cmsAddRequest.getParentPath() != NULL || this->m_mseAddRequest.getEventID() != NULL);";
  const size_t sent = service.requests().size();
  DVLAddHistoryDetail add(service.session(), nullptr, kUntrusted);
  expectAssertion([&] { add.execute(); }, text, "Include/DVLAddHistory", 72);
  add.setParentPath("/history");
  add.setParentPath(nullptr);
  expectAssertion([&] { add.getReply(); }, text, "Include/DVLAddHistory", 72);
  EXPECT_EQ(service.requests().size(), sent);
}

TEST_F(AddTest, TheMonitorRoadCarriesObjectsAndOptionsButNoAddOptions) {
  DVLAddHistoryDetail add(service.session(), nullptr, kUntrusted);
  add.setEventID("event-7");
  add.setDetail("report started");
  add.execute();
  ZEBMonitorAdd_Request& sent = lastSent<ZEBMonitorAdd_Request>();
  EXPECT_STREQ(sent.getEventID(), "event-7");
  ASSERT_EQ(sent.getObjects()->size(), 1u);
  EXPECT_STREQ(static_cast<ZEBHistoryDetail*>(sent.getObjects()->at(0))->getDetail()->getValue(), "report started");
  ASSERT_NE(sent.getOptions(), nullptr);
  EXPECT_TRUE(sent.getOptions()->empty());
  EXPECT_EQ(service.last().envelope.find("returnProperties"), std::string::npos);
}

}  // namespace
