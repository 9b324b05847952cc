// Adds: what each request class puts on the wire (objects, options, attachments, the road), how
// the reply is checked and read, and that a request executed again sends the same message.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "DVLAddDataMovementTask.h"
#include "DVLAddHistoryDetail.h"
#include "DVLAddHistoryDetailReportService.h"
#include "DVLAddHistoryRqstArgsDetail.h"
#include "DVLAddModel.h"
#include "DVLAddOutput.h"
#include "DVLAddReportVersion.h"
#include "KRNError.h"
#include "support/FakeService.h"

namespace {

const ZEBSOAPSessionI::ZEBSOAPTrusted kUntrusted = ZEBSOAPSessionI::ZEBSOAPUntrusted;

struct Added {
  const char* path;
  const char* storeId;
  const char* name;
};

// A content-manager reply holding one output per entry; a null path stands for a nil item.
std::string addReply(const std::vector<Added>& objects) {
  ZEBContentAdd_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  ZEBBaseClassArray* result = reply.getResult(&registry);
  for (const Added& a : objects) {
    if (a.path == nullptr) {
      result->push_back(nullptr);
      continue;
    }
    auto* object = new ZEBOutput;
    registry.registerObject(object);
    object->getSearchPath(&registry)->setValue(a.path);
    object->getStoreID(&registry)->getValue(&registry)->setValue(a.storeId);
    object->getDefaultName(&registry)->setValue(a.name);
    result->push_back(object);
  }
  // A nil item of the abstract element type must name a concrete type to be read back.
  std::string envelope = FakeService::replyOf(reply);
  const std::string nil = "<dvl:item xsi:nil=\"true\"/>";
  for (size_t at; (at = envelope.find(nil)) != std::string::npos;) {
    envelope.replace(at, nil.size(), "<dvl:item xsi:type=\"dvl:output\" xsi:nil=\"true\"/>");
  }
  return envelope;
}

std::string monitorReply(bool withStatus) {
  ZEBMonitorAdd_Reply reply;
  ZEBAsynchReply* result = reply.getResult(&reply.getObjectRegistry());
  if (withStatus) result->getStatus(&reply.getObjectRegistry())->setValue(ZEBAsynchReplyStatusEnum::queued);
  return FakeService::replyOf(reply);
}

template <class Add>
void expectNoResults(const Add& add) {
  EXPECT_EQ(add.getPath(), nullptr);
  EXPECT_EQ(add.getStoreID(), nullptr);
  EXPECT_EQ(add.getName(), nullptr);
}

template <class F>
void expectAssert(F&& f, const char* file, int line, const char* text) {
  try {
    f();
    ADD_FAILURE() << "no assertion " << text;
  } catch (const KRNAssertError& e) {
    EXPECT_STREQ(e.getText(), text);
    ASSERT_FALSE(e.getBackTrace().empty());
    EXPECT_STREQ(e.getBackTrace()[0].location.getFile(), file);
    EXPECT_EQ(e.getBackTrace()[0].location.getLine(), line);
  }
}

class AddTest : public testing::Test {
 protected:
  void SetUp() override {
    service.respond([](const RecordedRequest& r) {
      return r.operation == "add" ? addReply({{"/content/new", "i1", "new"}}) : monitorReply(true);
    });
  }

  ZEBContentAdd_Request& sentAdd() {
    parsed = service.lastRequestMessage();
    return static_cast<ZEBContentAdd_Request&>(*parsed);
  }
  ZEBMonitorAdd_Request& sentMonitorAdd() {
    parsed = service.lastRequestMessage();
    return static_cast<ZEBMonitorAdd_Request&>(*parsed);
  }
  // A document read from a file, as setContext requires.
  ZEBDocumentOutput& fileDocument(const std::string& bytes) {
    std::string path = testing::TempDir() + "add_test_context.xml";
    std::ofstream(path, std::ios::binary) << bytes;
    file = std::make_unique<ZEBDocumentOutput>(path, "text/xml");
    return *file;
  }

  FakeService service;
  std::unique_ptr<ZEBMessageI> parsed;
  std::unique_ptr<ZEBDocumentOutput> file;
};

// ---------------------------------------------------------------- every add

TEST_F(AddTest, SendsTheObjectFirstAndAsksForNameSearchPathAndStoreIdInThatOrder) {
  DVLAddDataMovementTask add(service.session(), nullptr, kUntrusted);
  add.setName("task");
  add.execute();
  ZEBContentAdd_Request& sent = sentAdd();
  ASSERT_EQ(sent.getObjects()->size(), 1u);
  EXPECT_EQ(&sent.getObjects()->at(0)->getTypeInfo(), &ZEBDataMovementTask::typeInfo);
  EXPECT_STREQ(sent.getObjects()->at(0)->getDefaultName()->getValue(), "task");
  const ZEBPropEnumArray& props = sent.getOptions()->getReturnProperties();
  ASSERT_EQ(props.size(), 3u);
  EXPECT_EQ(props.at(0)->getValue(), ZEBPropEnum::defaultName);
  EXPECT_EQ(props.at(1)->getValue(), ZEBPropEnum::searchPath);
  EXPECT_EQ(props.at(2)->getValue(), ZEBPropEnum::storeID);
  EXPECT_EQ(sent.getOptions()->getDataEncoding(), nullptr);
}

TEST_F(AddTest, ResultsAreNullBeforeExecuteAndDescribeTheFirstObjectAfter) {
  service.respond([](const RecordedRequest&) { return addReply({{"/a", "i1", "a"}, {"/b", "i2", "b"}}); });
  DVLAddDataMovementTask add(service.session(), nullptr, kUntrusted);
  expectNoResults(add);
  add.execute();
  EXPECT_STREQ(add.getPath(), "/a");
  EXPECT_STREQ(add.getStoreID(), "i1");
  EXPECT_STREQ(add.getName(), "a");
}

TEST_F(AddTest, ContentManagerRepliesWithoutAFirstObjectAreRefused) {
  struct Case {
    std::string reply;
    int line;
    const char* text;
  };
  std::vector<Case> cases = {
      {FakeService::emptyReply("add"), 132, "KRN_ASSERT(m_resultArray);"},
      {addReply({}), 133, "KRN_ASSERT(m_resultArray->size() >= 1);"},
      {addReply({{nullptr, nullptr, nullptr}, {"/b", "i2", "b"}}), 135, "KRN_ASSERT(m_result);"},
  };
  for (const Case& c : cases) {
    service.respond([&](const RecordedRequest&) { return c.reply; });
    DVLAddDataMovementTask add(service.session(), nullptr, kUntrusted);
    expectAssert([&] { add.execute(); }, "Include/DVLAdd", c.line, c.text);
    expectNoResults(add);
  }
}

TEST_F(AddTest, MonitorRepliesNeedAnAsynchronousReplyWithAStatus) {
  DVLAddHistoryDetail add(service.session(), nullptr, kUntrusted);
  add.setEventID("event-1");
  service.respond([](const RecordedRequest&) { return FakeService::emptyReply("monitorAdd"); });
  expectAssert([&] { add.execute(); }, "Include/DVLAdd", 140, "KRN_ASSERT(ar);");
  service.respond([](const RecordedRequest&) { return monitorReply(false); });
  expectAssert([&] { add.execute(); }, "Include/DVLAdd", 142, "KRN_ASSERT(status);");
}

// A retry after a transport failure must send the very message of the first attempt.
TEST_F(AddTest, ARetrySendsTheSameMessageAndAttachments) {
  bool fail = true;
  service.respond([&](const RecordedRequest&) -> std::string {
    if (fail) {
      fail = false;
      KRNRuntimeError("connection reset").raise(KRNFileLocation("FakeService", 1), nullptr, "KRN_THROW");
    }
    return addReply({{"/o", "i1", "o"}, {"/d", "i2", "d"}});
  });
  const char bytes[] = "%PDF-1.7 data";
  ZEBMemoryDocumentOutput data(bytes, sizeof bytes - 1, "application/pdf");
  DVLAddOutput add(service.session(), nullptr, kUntrusted);
  add.setExtraPath("/content/doc");
  add.setData(&data);
  add.setContext(fileDocument("<context/>"));
  add.addRecipient("/users/a");
  add.setBurstId("b1");
  EXPECT_THROW(add.execute(), KRNRuntimeError);
  add.execute();
  add.execute();
  ASSERT_EQ(service.requests().size(), 3u);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(service.requests()[i].envelope, service.requests()[0].envelope);
    EXPECT_EQ(service.requests()[i].attachments, service.requests()[0].attachments);
  }
  ZEBContentAdd_Request& sent = sentAdd();
  EXPECT_EQ(sent.getObjects()->size(), 2u);
  EXPECT_EQ(sent.getOptions()->getReturnProperties().size(), 3u);
  EXPECT_EQ(service.last().attachments.size(), 2u);
  EXPECT_EQ(add.getAttachments().size(), 2u);
  EXPECT_STREQ(add.getPath(), "/o");
}

// ---------------------------------------------------------------- outputs

TEST_F(AddTest, AnOutputWithoutDocumentsTravelsAloneWithoutAttachments) {
  DVLAddOutput add(service.session(), nullptr, kUntrusted);
  add.setName("report");
  add.setExtraPath("/content/doc");  // no data: no document content either
  add.execute();
  ZEBContentAdd_Request& sent = sentAdd();
  ASSERT_EQ(sent.getObjects()->size(), 1u);
  EXPECT_EQ(&sent.getObjects()->at(0)->getTypeInfo(), &ZEBOutput::typeInfo);
  EXPECT_STREQ(sent.getObjects()->at(0)->getDefaultName()->getValue(), "report");
  EXPECT_TRUE(service.last().attachments.empty());
  EXPECT_EQ(sent.getOptions()->getDataEncoding(), nullptr);
  // Format, locale and burst key travel even when empty; a burst identifier only when given.
  const std::string& envelope = service.last().envelope;
  EXPECT_NE(envelope.find("<dvl:format xsi:nil=\"true\"/>"), std::string::npos);
  EXPECT_NE(envelope.find("<dvl:locale xsi:nil=\"true\"/>"), std::string::npos);
  EXPECT_NE(envelope.find("<dvl:burstKey xsi:nil=\"true\"/>"), std::string::npos);
  EXPECT_EQ(envelope.find("burstID"), std::string::npos);
  EXPECT_EQ(envelope.find("contextBlockCount"), std::string::npos);
}

TEST_F(AddTest, DataThenContextAreAttachedInOrderAndReferredToByContentId) {
  const char bytes[] = "\x00\x01binary\xff";
  ZEBMemoryDocumentOutput data(bytes, sizeof bytes - 1);
  DVLAddOutput add(service.session(), nullptr, kUntrusted);
  add.setData(&data);
  add.setContext(fileDocument("<context a='1'/>"));
  add.setContextBlockCount(3);
  add.execute();

  const auto& attachments = service.last().attachments;
  ASSERT_EQ(attachments.size(), 2u);
  EXPECT_TRUE(std::regex_match(attachments[0].first, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}")))
      << attachments[0].first;
  EXPECT_EQ(attachments[0].first, add.getDataContentId());
  EXPECT_EQ(attachments[0].second, std::string(bytes, sizeof bytes - 1));
  EXPECT_EQ(attachments[1], std::make_pair(std::string("_contextAttach"), std::string("<context a='1'/>")));

  ZEBContentAdd_Request& sent = sentAdd();
  auto* output = static_cast<ZEBOutput*>(sent.getObjects()->at(0));
  EXPECT_EQ("cid:" + attachments[0].first, output->getData()->getValue()->getValue());
  EXPECT_STREQ(output->getContext()->getValue()->getValue(), "cid:_contextAttach");
  EXPECT_EQ(*output->getContextBlockCount()->getValue(), 3);
  EXPECT_EQ(sent.getOptions()->getDataEncoding()->getValue(), ZEBEncodingEnum::MIME);
}

TEST_F(AddTest, AContextAloneMakesTheEncodingMime) {
  DVLAddOutput add(service.session(), nullptr, kUntrusted);
  add.setContext(fileDocument("<c/>"));
  add.execute();
  ASSERT_EQ(service.last().attachments.size(), 1u);
  EXPECT_EQ(service.last().attachments[0].first, "_contextAttach");
  EXPECT_EQ(sentAdd().getOptions()->getDataEncoding()->getValue(), ZEBEncodingEnum::MIME);
}

TEST_F(AddTest, TheCallersContentIdIsUsedAndGeneratedOnesDifferPerCall) {
  const char bytes[] = "x";
  ZEBMemoryDocumentOutput data(bytes, 1);
  DVLAddOutput add(service.session(), nullptr, kUntrusted);
  add.setData(&data, "doc-1");
  EXPECT_STREQ(add.getDataContentId(), "doc-1");
  add.setData(&data);
  std::string first = add.getDataContentId();
  add.setData(&data, "");
  EXPECT_NE(first, add.getDataContentId());
  EXPECT_EQ(first.size(), 36u);
  add.setData(nullptr);
  add.execute();
  EXPECT_TRUE(service.last().attachments.empty());
  EXPECT_EQ(static_cast<ZEBOutput*>(sentAdd().getObjects()->at(0))->getData(), nullptr);
}

TEST_F(AddTest, TheDocumentContentComesSecondWithTheSameDataAndSettings) {
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
  add.addRecipientEMail("a@example.org");
  add.setContext(fileDocument("<c/>"));
  add.setContextBlockCount(2);
  add.execute();

  ZEBContentAdd_Request& sent = sentAdd();
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
  ASSERT_EQ(service.last().attachments.size(), 2u);
  EXPECT_EQ(service.last().attachments[0].first, "d1");
}

TEST_F(AddTest, RecipientsTravelAsNilObjectsHoldingOnlyASearchPath) {
  DVLAddOutput add(service.session(), nullptr, kUntrusted);
  add.addRecipient("/users/a");
  add.addRecipient("/groups/b");
  add.addRecipientEMail("x@example.org");
  add.addRecipientEMail("y@example.org");
  add.execute();
  auto* output = static_cast<ZEBOutput*>(sentAdd().getObjects()->at(0));
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
  const ZEBStringArray& mails = output->getRecipientsEMail()->getValue();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_STREQ(mails.at(1), "y@example.org");
}

// ---------------------------------------------------------------- report versions

TEST_F(AddTest, AReportVersionCarriesMetadataOnlyWhenGivenAndAppendsAcrossCalls) {
  ZEBModel m1, m2;
  ZEBBaseClassArray one, two;
  one.push_back(&m1);
  two.push_back(&m2);
  ZEBOption option;
  option.setName("o");
  ZEBOptionArray options;
  options.push_back(&option);

  DVLAddReportVersion add(service.session(), nullptr, kUntrusted);
  add.setSpecification("<spec/>");
  add.setOptions(&options);
  add.setOptions(&options);
  expectAssert([&] { add.setOptions(nullptr); }, "DVLAddReportVersion", 67, "KRN_ASSERT(oArray != NULL);");
  expectAssert([&] { add.setParameters(nullptr); }, "DVLAddReportVersion", 77, "KRN_ASSERT(parameterValueArray != NULL);");
  add.execute();
  auto* version = static_cast<ZEBReportVersion*>(sentAdd().getObjects()->at(0));
  EXPECT_EQ(version->getMetadataModel(), nullptr);
  EXPECT_EQ(version->getMetadataModelPackage(), nullptr);
  EXPECT_STREQ(version->getSpecification()->getValue(), "<spec/>");
  EXPECT_EQ(version->getOptions()->getValue().size(), 2u);
  EXPECT_EQ(version->getParameters()->getValue().size(), 0u);

  add.setMetadataModel(one);
  add.setMetadataModel(two);
  add.execute();
  version = static_cast<ZEBReportVersion*>(sentAdd().getObjects()->at(0));
  EXPECT_EQ(version->getMetadataModel()->getValue().size(), 2u);
  EXPECT_EQ(version->getMetadataModelPackage(), nullptr);
}

// ---------------------------------------------------------------- history details

TEST_F(AddTest, TheRoadFollowsParentPathThenEventId) {
  struct Case {
    const char* parent;
    const char* event;
    const char* operation;
  };
  for (const Case& c : {Case{"/history", nullptr, "add"}, Case{"/history", "e1", "add"}, Case{nullptr, "e1", "monitorAdd"}}) {
    SCOPED_TRACE(c.operation);
    DVLAddHistoryDetail add(service.session(), nullptr, kUntrusted);
    add.setParentPath(c.parent);
    add.setEventID(c.event);
    add.execute();
    EXPECT_EQ(service.last().operation, c.operation);
    EXPECT_EQ(add.getPath() != nullptr, c.parent != nullptr);
  }
}

TEST_F(AddTest, AHistoryDetailWithNeitherParentPathNorEventIdIsRefusedBeforeSending) {
  const char* text =
      "KRN_ASSERT(this->m_cmsAddRequest.getParentPath() != NULL || this->m_mseAddRequest.getEventID() != NULL);";
  DVLAddHistoryDetail add(service.session(), nullptr, kUntrusted);
  expectAssert([&] { add.execute(); }, "Include/DVLAddHistory", 72, text);
  expectAssert([&] { add.getRequest(); }, "Include/DVLAddHistory", 72, text);
  add.setParentPath("/history");
  add.setParentPath(nullptr);
  expectAssert([&] { add.getReply(); }, "Include/DVLAddHistory", 72, text);
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(AddTest, TheMonitorRoadCarriesObjectsAndOptionsButNoAddOptions) {
  DVLAddHistoryDetail add(service.session(), nullptr, kUntrusted);
  add.setEventID("event-7");
  add.setDetail("report started");
  add.setSeverity(ZEBSeverityEnum::warning);
  add.execute();
  add.execute();
  EXPECT_EQ(service.requests()[0].envelope, service.requests()[1].envelope);
  ZEBMonitorAdd_Request& sent = sentMonitorAdd();
  EXPECT_STREQ(sent.getEventID(), "event-7");
  ASSERT_EQ(sent.getObjects()->size(), 1u);
  auto* detail = static_cast<ZEBHistoryDetail*>(sent.getObjects()->at(0));
  EXPECT_STREQ(detail->getDetail()->getValue(), "report started");
  EXPECT_EQ(detail->getSeverity()->getValue()->getValue(), ZEBSeverityEnum::warning);
  ASSERT_NE(sent.getOptions(), nullptr);
  EXPECT_TRUE(sent.getOptions()->empty());
  EXPECT_EQ(service.last().envelope.find("returnProperties"), std::string::npos);
  expectNoResults(add);
}

TEST_F(AddTest, RequestArgumentsAndOutputReferencesTravelWithTheDetail) {
  ZEBParameterValue parameter;
  parameter.setName("p");
  ZEBParameterValueArray parameters;
  parameters.push_back(&parameter);
  DVLAddHistoryRqstArgsDetail args(service.session(), nullptr, kUntrusted);
  args.setParentPath("/history");
  args.setParameters(&parameters);
  expectAssert([&] { args.setOptions(nullptr); }, "DVLAddHistoryRqstArgsDetail", 43, "KRN_ASSERT(oArray != NULL);");
  expectAssert([&] { args.setParameters(nullptr); }, "DVLAddHistoryRqstArgsDetail", 53,
               "KRN_ASSERT(parameterValueArray != NULL);");
  args.execute();
  auto* sentArgs = static_cast<ZEBHistoryDetailRequestArguments*>(sentAdd().getObjects()->at(0));
  EXPECT_STREQ(sentArgs->getParameters()->getValue().at(0)->getName(), "p");
  ASSERT_NE(sentArgs->getOptions(), nullptr);
  EXPECT_TRUE(sentArgs->getOptions()->getValue().empty());

  DVLAddHistoryDetailReportService outputs(service.session(), nullptr, kUntrusted);
  outputs.setEventID("e1");
  outputs.setOutput("/content/out1");
  outputs.setOutput("/content/out2");
  outputs.execute();
  auto* sentOutputs = static_cast<ZEBHistoryDetailReportService*>(sentMonitorAdd().getObjects()->at(0));
  const ZEBBaseClassArray& refs = sentOutputs->getOutput()->getValue();
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_EQ(&refs.at(0)->getTypeInfo(), &ZEBReportVersion::typeInfo);
  EXPECT_STREQ(refs.at(0)->getSearchPath()->getValue(), "/content/out1");
  EXPECT_STREQ(refs.at(1)->getSearchPath()->getValue(), "/content/out2");
}

// ---------------------------------------------------------------- models and tasks

TEST_F(AddTest, AModelDocumentTravelsAsAnAttachmentUnderANewIdEachTime) {
  const char bytes[] = "<model/>";
  ZEBMemoryDocumentOutput data(bytes, sizeof bytes - 1);
  DVLAddModel add(service.session(), nullptr, kUntrusted);
  add.setModel("<inline/>");
  add.execute();
  EXPECT_STREQ(static_cast<ZEBModel*>(sentAdd().getObjects()->at(0))->getModel()->getValue(), "<inline/>");
  EXPECT_TRUE(service.last().attachments.empty());
  EXPECT_EQ(sentAdd().getOptions()->getDataEncoding(), nullptr);

  add.setData(&data);
  add.execute();
  std::string first = service.last().attachments.at(0).first;
  EXPECT_EQ(service.last().attachments.at(0).second, "<model/>");
  EXPECT_EQ("cid:" + first, static_cast<ZEBModel*>(sentAdd().getObjects()->at(0))->getModel()->getValue());
  EXPECT_EQ(sentAdd().getOptions()->getDataEncoding()->getValue(), ZEBEncodingEnum::MIME);

  add.setData(&data);
  add.execute();
  ASSERT_EQ(service.last().attachments.size(), 1u);
  EXPECT_NE(service.last().attachments[0].first, first);
}

TEST_F(AddTest, TheModelsExtraPathIsTheSecondReplyObject) {
  DVLAddModel add(service.session(), nullptr, kUntrusted);
  EXPECT_EQ(add.getExtraPath(), nullptr);
  add.execute();
  EXPECT_EQ(add.getExtraPath(), nullptr);
  service.respond([](const RecordedRequest&) { return addReply({{"/m", "i1", "m"}, {"/m/extra", "i2", "x"}}); });
  add.execute();
  EXPECT_STREQ(add.getPath(), "/m");
  EXPECT_STREQ(add.getExtraPath(), "/m/extra");
}

TEST_F(AddTest, ATaskCarriesItsLatestSpecification) {
  DVLAddDataMovementTask add(service.session(), nullptr, kUntrusted);
  add.setSpecification("<first/>");
  add.setSpecification("<second/>");
  add.execute();
  auto* task = static_cast<ZEBDataMovementTask*>(sentAdd().getObjects()->at(0));
  EXPECT_STREQ(task->getSpecification()->getValue()->getValue()->getValue(), "<second/>");
}

}  // namespace
