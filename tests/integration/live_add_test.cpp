// Adds and deletes over loopback HTTP: what each add request stores (read back through the
// library), a history detail under its parent, and deletes that take an object with everything below it.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "DVLAddDataMovementTask.h"
#include "DVLAddHistoryDetail.h"
#include "DVLAddModel.h"
#include "DVLAddOutput.h"
#include "DVLAddReportVersion.h"
#include "DVLDelete.h"
#include "DVLQuery.h"
#include "LiveServer.h"
#include "support/Files.h"

namespace live {
namespace {

// Every byte value, in an order that a shifted or truncated copy would not reproduce.
std::string patternBytes(size_t size) {
  std::mt19937 random(2463534242u);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

class LiveAdd : public LiveServer {
 protected:
  void SetUp() override {
    LiveServer::SetUp();
    logon();
    folder = addFolder("/content", "Runs");
  }

  // A query for one object by store identifier, asking for the given properties besides the four
  // every query carries; executed unless it is to ask for more first.
  DVLQuery& fetch(const std::string& storeId, std::vector<ZEBPropEnum::Enum> properties, bool execute = true) {
    m_properties.clear();
    m_query = std::make_unique<DVLQuery>(session(), nullptr, kUntrusted);
    m_query->setStoreID(storeId.c_str());
    for (ZEBPropEnum::Enum p : properties) {
      m_properties.push_back(std::make_unique<ZEBPropEnum>(p));
      m_query->setProperty(*m_properties.back());
    }
    if (execute) m_query->execute();
    return *m_query;
  }

  Stored folder;

 private:
  std::vector<std::unique_ptr<ZEBPropEnum>> m_properties;
  std::unique_ptr<DVLQuery> m_query;
};

TEST_F(LiveAdd, AnOutputKeepsItsDocumentAndContextByteForByte) {
  const std::string data = patternBytes(5u << 20);
  const std::string context = "<context><prompt name=\"year\">2026</prompt><note>&amp; \xC3\xA9</note></context>";
  TempDir dir("dvl-live");  // the output add takes its context document from a file
  std::ofstream(dir / "context.xml", std::ios::binary) << context;
  ZEBMemoryDocumentOutput document(data.data(), data.size(), "application/pdf");
  ZEBDocumentOutput contextDocument(dir / "context.xml", "text/xml");

  const std::string storeId = add<DVLAddOutput>(folder.path, "Quarterly sales", [&](DVLAddOutput& a) {
    a.setData(&document);
    a.setContext(contextDocument);
  }).storeId;
  // Back through the library byte for byte, the documents as reply attachments.
  DVLQuery& query = fetch(storeId, {ZEBPropEnum::data, ZEBPropEnum::context, ZEBPropEnum::dataSize}, false);
  ZEBEncodingEnum mime(ZEBEncodingEnum::MIME);
  query.getQueryOptions().setDataEncoding(&mime);
  query.execute();
  auto* output = dynamic_cast<ZEBOutput*>(query.getObject(0));
  ASSERT_TRUE(output && output->getDataSize(nullptr) && output->getDataSize(nullptr)->getValue());
  EXPECT_EQ(*output->getDataSize(nullptr)->getValue(), static_cast<long long>(data.size()));
  const auto& attachments = query.getReply().getReceivedAttachments();
  ASSERT_EQ(attachments.size(), 2u);
  for (const ZEBReceivedAttachment& a : attachments) {
    const bool isData = a.contentId == storeId + ".data";
    EXPECT_TRUE(isData || a.contentId == storeId + ".context") << a.contentId;
    EXPECT_TRUE(a.bytes == (isData ? data : context)) << a.contentId << " differs";
  }
}

TEST_F(LiveAdd, AReportVersionKeepsItsSpecificationOptionsAndParameters) {
  ZEBOption format;
  format.setName("outputFormat");
  format.setValue("PDF");
  ZEBOptionArray options;
  options.push_back(&format);
  ZEBParameterValue years;
  years.setName("year");
  years.getValues().push_back("2025");
  years.getValues().push_back("2026");
  ZEBParameterValueArray parameters;
  parameters.push_back(&years);
  const char* specification = "<report><query name='sales'>region &lt; 3</query></report>";
  Stored stored = add<DVLAddReportVersion>(folder.path, "Version 1", [&](DVLAddReportVersion& add) {
    add.setSpecification(specification);
    add.setOptions(&options);
    add.setParameters(&parameters);
  });

  auto* version = dynamic_cast<ZEBReportVersion*>(
      fetch(stored.storeId, {ZEBPropEnum::specification, ZEBPropEnum::options, ZEBPropEnum::parameters}).getObject(0));
  ASSERT_TRUE(version && version->getSpecification(nullptr));
  EXPECT_STREQ(version->getSpecification(nullptr)->getValue(), specification);
  const ZEBOptionArray& sentOptions = version->getOptions(nullptr)->getValue();
  ASSERT_EQ(sentOptions.size(), 1u);
  EXPECT_STREQ(sentOptions.at(0)->getName(), "outputFormat");
  EXPECT_STREQ(sentOptions.at(0)->getValue(), "PDF");
  const ZEBParameterValue* year = version->getParameters(nullptr)->getValue().at(0);
  EXPECT_STREQ(year->getName(), "year");
  ASSERT_EQ(year->getValues().size(), 2u);
  EXPECT_STREQ(year->getValues().at(1), "2026");
}

// A parent path takes the content manager, the event ignored. The monitor road live: the CLI suite.
TEST_F(LiveAdd, AHistoryDetailWithAParentGoesUnderItAndNotToTheMonitor) {
  Stored run = addOutput(folder.path, "Nightly run");
  Stored stored = add<DVLAddHistoryDetail>(run.path, "", [](DVLAddHistoryDetail& add) {
    add.setEventID("ignored-when-a-parent-is-set");
    add.setDetail("rows loaded: 42");
  });
  EXPECT_EQ(stored.path.rfind(run.path + "/", 0), 0u) << stored.path;
  auto* detail = dynamic_cast<ZEBHistoryDetail*>(fetch(stored.storeId, {ZEBPropEnum::detail}).getObject(0));
  ASSERT_NE(detail, nullptr);
  EXPECT_STREQ(detail->getDetail(nullptr)->getValue(), "rows loaded: 42");
  EXPECT_EQ(count("/content/*[@name='Events']"), 0);
}

// A model from text or from a document; a data-movement task, whose second specification replaced
// the first.
TEST_F(LiveAdd, AModelOrATaskKeepsItsText) {
  const std::string inlineText = "<model><table name='sales'/></model>";
  const std::string text = "<model><table name=\"orders\"/><!-- " + std::string(100000, 'x') + " --></model>";
  ZEBMemoryDocumentOutput document(text.data(), text.size(), "text/xml");
  Stored byText = add<DVLAddModel>(folder.path, "inline model", [&](DVLAddModel& m) { m.setModel(inlineText.c_str()); });
  Stored byDocument = add<DVLAddModel>(folder.path, "attached model", [&](DVLAddModel& m) { m.setData(&document); });

  for (const auto& [storeId, expected] : {std::make_pair(byText.storeId, inlineText), std::make_pair(byDocument.storeId, text)}) {
    auto* model = dynamic_cast<ZEBModel*>(fetch(storeId, {ZEBPropEnum::model}).getObject(0));
    ASSERT_TRUE(model && model->getModel(nullptr));
    EXPECT_EQ(model->getModel(nullptr)->getValue(), expected);
  }

  Stored stored = add<DVLAddDataMovementTask>(folder.path, "copy sales", [](DVLAddDataMovementTask& add) {
    add.setSpecification("<move from='a'/>");
    add.setSpecification("<move from='staging' to='warehouse'/>");
  });
  auto* task = dynamic_cast<ZEBDataMovementTask*>(fetch(stored.storeId, {ZEBPropEnum::specification}).getObject(0));
  ASSERT_NE(task, nullptr);
  const ZEBDataMovementServiceSpecificationProp* prop = task->getSpecification(nullptr);
  ASSERT_TRUE(prop && prop->getValue() && prop->getValue()->getValue());
  EXPECT_STREQ(prop->getValue()->getValue()->getValue(), "<move from='staging' to='warehouse'/>");
}

// Deletes by either name take the object and everything below it, and nothing beside it.
class LiveDelete : public LiveAdd {};

TEST_F(LiveDelete, ByPathOrStoreIdTakesTheObjectAndEverythingBelowIt) {
  addOutput(folder.path, "sibling");
  for (bool byStoreId : {false, true}) {
    Stored doomed = addFolder(folder.path, "doomed");
    Stored child = addOutput(doomed.path, "child");
    Stored nested = addFolder(doomed.path, "nested");
    Stored grandchild = addOutput(nested.path, "grandchild");

    DVLDelete remove(session(), nullptr, kUntrusted);
    byStoreId ? remove.addStoreId(doomed.storeId.c_str()) : remove.addPath(doomed.path.c_str());
    remove.execute();
    for (const Stored& gone : {doomed, child, nested, grandchild})
      EXPECT_EQ(count("storeID(\"" + gone.storeId + "\")"), 0) << gone.path;
    EXPECT_EQ(count(folder.path + "/*"), 1);  // the sibling
  }
}

}  // namespace
}  // namespace live
