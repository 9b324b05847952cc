// Adds and deletes over loopback HTTP: what each add request stores (read back through the
// library and, for documents, from the store itself), both roads of a history detail, and deletes
// that take an object with everything below it.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DVLAddDataMovementTask.h"
#include "DVLAddHistoryDetail.h"
#include "DVLAddHistoryDetailReportService.h"
#include "DVLAddHistoryRqstArgsDetail.h"
#include "DVLAddModel.h"
#include "DVLAddOutput.h"
#include "DVLAddReportVersion.h"
#include "DVLDelete.h"
#include "DVLQuery.h"
#include "KRNError.h"
#include "LiveServer.h"

namespace live {
namespace {

// Every byte value, in an order that a shifted or truncated copy would not reproduce.
std::string patternBytes(size_t size) {
  std::string bytes(size, '\0');
  uint32_t x = 2463534242u;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return bytes;
}

std::vector<std::pair<std::string, std::string>> optionsOf(const ZEBOptionArrayProp* prop) {
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t i = 0; prop && i < prop->getValue().size(); ++i) {
    const ZEBOption* o = prop->getValue().at(i);
    out.emplace_back(o && o->getName() ? o->getName() : "", o && o->getValue() ? o->getValue() : "");
  }
  return out;
}

std::vector<std::string> valuesOf(const ZEBParameterValueArrayProp* prop, const char* name) {
  std::vector<std::string> out;
  for (size_t i = 0; prop && i < prop->getValue().size(); ++i) {
    const ZEBParameterValue* p = prop->getValue().at(i);
    if (p == nullptr || p->getName() == nullptr || std::string(p->getName()) != name) continue;
    for (size_t k = 0; k < p->getValues().size(); ++k) out.push_back(p->getValues().at(k));
  }
  return out;
}

class LiveAdd : public LiveServer {
 protected:
  void SetUp() override {
    LiveServer::SetUp();
    logon();
    folder = addFolder("/content", "Runs");
  }

  // A query for one object by store identifier, asking for the given properties besides the four
  // every query carries.
  std::unique_ptr<DVLQuery> fetch(const std::string& storeId, std::vector<ZEBPropEnum::Enum> properties) {
    m_properties.clear();
    for (ZEBPropEnum::Enum p : properties) m_properties.push_back(std::make_unique<ZEBPropEnum>(p));
    auto query = std::make_unique<DVLQuery>(session(), nullptr, kUntrusted);
    query->setStoreID(storeId.c_str());
    for (auto& p : m_properties) query->setProperty(*p);
    return query;
  }

  Stored folder;

 private:
  std::vector<std::unique_ptr<ZEBPropEnum>> m_properties;
};

TEST_F(LiveAdd, AnOutputKeepsItsDocumentAndContextByteForByte) {
  const std::string data = patternBytes(5u << 20);
  const std::string context = "<context><prompt name=\"year\">2026</prompt><note>&amp; \xC3\xA9</note></context>";
  TempFile contextFile("context.xml", context);
  ZEBMemoryDocumentOutput document(data.data(), data.size(), "application/pdf");
  ZEBDocumentOutput contextDocument(contextFile.path(), "text/xml");

  DVLAddOutput add(session(), nullptr, kUntrusted);
  add.setParentPath(folder.path.c_str());
  add.setName("Quarterly sales");
  add.setFormat("PDF");
  add.setLocale("en-us");
  add.addRecipient(folder.path.c_str());
  add.addRecipientEMail("sales@example.org");
  add.setData(&document);
  add.setContext(contextDocument);
  add.setContextBlockCount(3);
  add.execute();

  ASSERT_NE(add.getStoreID(), nullptr);
  const std::string storeId = add.getStoreID();
  EXPECT_STREQ(add.getName(), "Quarterly sales");
  ASSERT_NE(add.getPath(), nullptr);
  EXPECT_EQ(std::string(add.getPath()).rfind(folder.path + "/", 0), 0u) << add.getPath();

  EXPECT_TRUE(storedDocument(storeId, "data") == data) << "the stored document differs";
  EXPECT_EQ(storedDocument(storeId, "context"), context);

  // Back through the library, the documents as reply attachments.
  auto query = fetch(storeId, {ZEBPropEnum::data, ZEBPropEnum::context, ZEBPropEnum::dataSize, ZEBPropEnum::format,
                               ZEBPropEnum::locale, ZEBPropEnum::recipientsEMail, ZEBPropEnum::contextBlockCount});
  ZEBEncodingEnum mime(ZEBEncodingEnum::MIME);
  query->getQueryOptions().setDataEncoding(&mime);
  query->execute();
  ASSERT_EQ(query->getObjectCount(), 1);
  auto* output = dynamic_cast<ZEBOutput*>(query->getObject(0));
  ASSERT_NE(output, nullptr);
  ASSERT_NE(output->getDataSize(nullptr), nullptr);
  ASSERT_NE(output->getDataSize(nullptr)->getValue(), nullptr);
  EXPECT_EQ(*output->getDataSize(nullptr)->getValue(), static_cast<long long>(data.size()));
  EXPECT_STREQ(output->getFormat(nullptr)->getValue(), "PDF");
  EXPECT_STREQ(output->getLocale(nullptr)->getValue(), "en-us");
  ASSERT_NE(output->getRecipientsEMail(nullptr), nullptr);
  EXPECT_STREQ(output->getRecipientsEMail(nullptr)->getValue().at(0), "sales@example.org");
  ASSERT_NE(output->getContextBlockCount(nullptr), nullptr);
  EXPECT_EQ(*output->getContextBlockCount(nullptr)->getValue(), 3);

  const auto& attachments = query->getReply().getReceivedAttachments();
  ASSERT_EQ(attachments.size(), 2u);
  for (const ZEBReceivedAttachment& a : attachments) {
    if (a.contentId == storeId + ".data") {
      EXPECT_TRUE(a.bytes == data) << "the returned document differs";
      EXPECT_EQ(a.contentType, "application/pdf");
    } else {
      EXPECT_EQ(a.contentId, storeId + ".context");
      EXPECT_EQ(a.contentType, "text/xml");
      EXPECT_EQ(a.bytes, context);
    }
  }

  // A slice of the document, as a reader of a large output asks for it.
  auto slice = fetch(storeId, {ZEBPropEnum::data});
  slice->getQueryOptions().setDataEncoding(&mime);
  slice->getQueryOptions().setSkipDataBytes(4096);
  slice->getQueryOptions().setMaxDataBytes(1000);
  slice->execute();
  ASSERT_EQ(slice->getReply().getReceivedAttachments().size(), 1u);
  EXPECT_TRUE(slice->getReply().getReceivedAttachments()[0].bytes == data.substr(4096, 1000));
}

TEST_F(LiveAdd, AFailedAddSentAgainStoresTheWholeDocument) {
  const std::string data = patternBytes(300000);
  ZEBMemoryDocumentOutput document(data.data(), data.size());
  DVLAddOutput add(session(), nullptr, kUntrusted);
  add.setParentPath(folder.path.c_str());
  add.setName("Umsätze 2026");
  add.setData(&document);
  inject("operation=add;fault=Server:busy;count=1");
  EXPECT_EQ(faultOf([&] { add.execute(); }).getFaultString(), "busy");

  add.execute();
  ASSERT_NE(add.getStoreID(), nullptr);
  EXPECT_STREQ(add.getName(), "Umsätze 2026");
  EXPECT_TRUE(storedDocument(add.getStoreID(), "data") == data) << "the stored document differs";
  EXPECT_EQ(count(folder.path + "/*"), 1);
}

TEST_F(LiveAdd, AnOutputWithAnExtraPathStoresItsDocumentContentThereWithTheSameBytes) {
  Stored contents = addFolder(folder.path, "contents");
  const std::string data = patternBytes(100000);
  ZEBMemoryDocumentOutput document(data.data(), data.size());
  DVLAddOutput add(session(), nullptr, kUntrusted);
  add.setParentPath(folder.path.c_str());
  add.setExtraPath(contents.path.c_str());
  add.setName("with content");
  add.setFormat("CSV");
  add.setData(&document);
  add.execute();
  ASSERT_NE(add.getStoreID(), nullptr);
  EXPECT_TRUE(storedDocument(add.getStoreID(), "data") == data);

  DVLQuery content(session(), nullptr, kUntrusted);
  content.setPath((contents.path + "/*").c_str());
  content.execute();
  ASSERT_EQ(content.getObjectCount(), 1);
  EXPECT_EQ(content.getObjectClass(0), ZEBClassEnum::documentContent);
  EXPECT_STREQ(content.getName(0), "with content");
  ASSERT_NE(content.getStoreID(0), nullptr);
  EXPECT_TRUE(storedDocument(content.getStoreID(0), "data") == data);
}

TEST_F(LiveAdd, AReportVersionKeepsItsSpecificationOptionsAndParameters) {
  ZEBOption format, burst;
  format.setName("outputFormat");
  format.setValue("PDF");
  burst.setName("burst");
  burst.setValue("true");
  ZEBOptionArray options;
  options.push_back(&format);
  options.push_back(&burst);
  ZEBParameterValue years;
  years.setName("year");
  years.getValues().push_back("2025");
  years.getValues().push_back("2026");
  ZEBParameterValueArray parameters;
  parameters.push_back(&years);
  const char* specification = "<report><query name='sales'>region &lt; 3</query></report>";

  DVLAddReportVersion add(session(), nullptr, kUntrusted);
  add.setParentPath(folder.path.c_str());
  add.setName("Version 1");
  add.setSpecification(specification);
  add.setOptions(&options);
  add.setParameters(&parameters);
  add.setAsOfTime("2026-01-31T12:00:00Z");
  add.execute();
  ASSERT_NE(add.getStoreID(), nullptr);
  EXPECT_STREQ(add.getName(), "Version 1");

  auto query = fetch(add.getStoreID(),
                     {ZEBPropEnum::specification, ZEBPropEnum::options, ZEBPropEnum::parameters, ZEBPropEnum::asOfTime});
  query->execute();
  ASSERT_EQ(query->getObjectCount(), 1);
  EXPECT_EQ(query->getObjectClass(0), ZEBClassEnum::reportVersion);
  auto* version = dynamic_cast<ZEBReportVersion*>(query->getObject(0));
  ASSERT_NE(version, nullptr);
  ASSERT_NE(version->getSpecification(nullptr), nullptr);
  EXPECT_STREQ(version->getSpecification(nullptr)->getValue(), specification);
  EXPECT_EQ(optionsOf(version->getOptions(nullptr)),
            (std::vector<std::pair<std::string, std::string>>{{"outputFormat", "PDF"}, {"burst", "true"}}));
  EXPECT_EQ(valuesOf(version->getParameters(nullptr), "year"), (std::vector<std::string>{"2025", "2026"}));
  ASSERT_NE(version->getAsOfTime(nullptr), nullptr);
  EXPECT_STREQ(version->getAsOfTime(nullptr)->getValue(), "2026-01-31T12:00:00Z");
}

TEST_F(LiveAdd, AHistoryDetailWithAParentPathIsStoredUnderIt) {
  Stored run = addOutput(folder.path, "Nightly run");
  DVLAddHistoryDetail add(session(), nullptr, kUntrusted);
  add.setParentPath(run.path.c_str());
  add.setEventID("ignored-when-a-parent-is-set");
  add.setName("step 1");
  add.setDetail("rows loaded: 42");
  add.setSeverity(ZEBSeverityEnum::warning);
  add.execute();

  ASSERT_NE(add.getPath(), nullptr);
  EXPECT_EQ(std::string(add.getPath()).rfind(run.path + "/", 0), 0u) << add.getPath();
  ASSERT_NE(add.getStoreID(), nullptr);

  auto query = fetch(add.getStoreID(), {ZEBPropEnum::detail, ZEBPropEnum::severity});
  query->execute();
  auto* detail = dynamic_cast<ZEBHistoryDetail*>(query->getObject(0));
  ASSERT_NE(detail, nullptr);
  EXPECT_STREQ(detail->getDetail(nullptr)->getValue(), "rows loaded: 42");
  ASSERT_NE(detail->getSeverity(nullptr), nullptr);
  ASSERT_NE(detail->getSeverity(nullptr)->getValue(), nullptr);
  EXPECT_EQ(detail->getSeverity(nullptr)->getValue()->getValue(), ZEBSeverityEnum::warning);
  EXPECT_EQ(count("/content/*[@name='Events']"), 0);  // nothing went through the monitor
}

TEST_F(LiveAdd, AHistoryDetailWithAnEventOnlyGoesThroughTheMonitorAndLeavesNoResult) {
  DVLAddHistoryDetail add(session(), nullptr, kUntrusted);
  add.setEventID("run-42");
  add.setName("step 1");
  add.setDetail("started");
  add.setSeverity(ZEBSeverityEnum::information);
  add.execute();

  EXPECT_EQ(add.getPath(), nullptr);
  EXPECT_EQ(add.getStoreID(), nullptr);
  EXPECT_EQ(add.getName(), nullptr);

  DVLQuery filed(session(), nullptr, kUntrusted);
  filed.setPath("/content/*[@name='Events']/*[@name='run-42']/*");
  filed.execute();
  ASSERT_EQ(filed.getObjectCount(), 1);
  EXPECT_STREQ(filed.getName(0), "step 1");
  EXPECT_EQ(filed.getObjectClass(0), ZEBClassEnum::historyDetail);
}

TEST_F(LiveAdd, AHistoryDetailWithNeitherRoadIsRefusedBeforeItIsSent) {
  DVLAddHistoryDetail add(session(), nullptr, kUntrusted);
  add.setName("lost");
  add.setDetail("nowhere to go");
  EXPECT_THROW(add.execute(), KRNAssertError);
  EXPECT_EQ(count("/content//*[@name='lost']"), 0);
}

TEST_F(LiveAdd, RequestArgumentsAndReportServiceDetailsKeepWhatTheyCarry) {
  Stored pdf = addOutput(folder.path, "sales.pdf");
  Stored csv = addOutput(folder.path, "sales.csv");

  ZEBOption option;
  option.setName("priority");
  option.setValue("high");
  ZEBOptionArray options;
  options.push_back(&option);
  ZEBParameterValue region;
  region.setName("region");
  region.getValues().push_back("north");
  ZEBParameterValueArray parameters;
  parameters.push_back(&region);

  DVLAddHistoryRqstArgsDetail arguments(session(), nullptr, kUntrusted);
  arguments.setParentPath(folder.path.c_str());
  arguments.setName("arguments");
  arguments.setOptions(&options);
  arguments.setParameters(&parameters);
  arguments.execute();
  ASSERT_NE(arguments.getStoreID(), nullptr);
  auto argumentsQuery = fetch(arguments.getStoreID(), {ZEBPropEnum::options, ZEBPropEnum::parameters});
  argumentsQuery->execute();
  auto* stored = dynamic_cast<ZEBHistoryDetailRequestArguments*>(argumentsQuery->getObject(0));
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(optionsOf(stored->getOptions(nullptr)), (std::vector<std::pair<std::string, std::string>>{{"priority", "high"}}));
  EXPECT_EQ(valuesOf(stored->getParameters(nullptr), "region"), (std::vector<std::string>{"north"}));

  // Through the monitor: no result comes back, so the detail is read where the monitor filed it.
  DVLAddHistoryDetailReportService produced(session(), nullptr, kUntrusted);
  produced.setEventID("run-7");
  produced.setName("outputs");
  produced.setOutput(pdf.path.c_str());
  produced.setOutput(csv.path.c_str());
  produced.execute();
  EXPECT_EQ(produced.getStoreID(), nullptr);

  DVLQuery filed(session(), nullptr, kUntrusted);
  filed.setPath("/content/*[@name='Events']/*[@name='run-7']/*[@name='outputs']");
  ZEBPropEnum outputProp(ZEBPropEnum::output);
  filed.setProperty(outputProp);
  filed.execute();
  auto* report = dynamic_cast<ZEBHistoryDetailReportService*>(filed.getObject(0));
  ASSERT_NE(report, nullptr);
  ASSERT_NE(report->getOutput(nullptr), nullptr);
  const ZEBBaseClassArray& outputs = report->getOutput(nullptr)->getValue();
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(DVLReportHelper::getStoreID(*outputs.at(0)), pdf.storeId);
  EXPECT_EQ(DVLReportHelper::getStoreID(*outputs.at(1)), csv.storeId);
}

TEST_F(LiveAdd, AModelIsStoredFromTextOrFromADocument) {
  DVLAddModel byText(session(), nullptr, kUntrusted);
  byText.setParentPath(folder.path.c_str());
  byText.setName("inline model");
  byText.setModel("<model><table name='sales'/></model>");
  EXPECT_EQ(byText.getExtraPath(), nullptr);
  byText.execute();
  ASSERT_NE(byText.getStoreID(), nullptr);
  EXPECT_EQ(byText.getExtraPath(), nullptr);  // one object stored, none beside it

  const std::string text = "<model><table name=\"orders\"/><!-- " + std::string(100000, 'x') + " --></model>";
  ZEBMemoryDocumentOutput document(text.data(), text.size(), "text/xml");
  DVLAddModel byDocument(session(), nullptr, kUntrusted);
  byDocument.setParentPath(folder.path.c_str());
  byDocument.setName("attached model");
  byDocument.setExtraPath("/content");
  byDocument.setData(&document);
  byDocument.execute();
  ASSERT_NE(byDocument.getStoreID(), nullptr);
  EXPECT_EQ(byDocument.getExtraPath(), nullptr);
  EXPECT_EQ(storedDocument(byDocument.getStoreID(), "model"), text);

  auto inlineQuery = fetch(byText.getStoreID(), {ZEBPropEnum::model});
  inlineQuery->execute();
  auto* inlineModel = dynamic_cast<ZEBModel*>(inlineQuery->getObject(0));
  ASSERT_NE(inlineModel, nullptr);
  ASSERT_NE(inlineModel->getModel(nullptr), nullptr);
  EXPECT_STREQ(inlineModel->getModel(nullptr)->getValue(), "<model><table name='sales'/></model>");

  auto attachedQuery = fetch(byDocument.getStoreID(), {ZEBPropEnum::model});
  attachedQuery->execute();
  auto* attachedModel = dynamic_cast<ZEBModel*>(attachedQuery->getObject(0));
  ASSERT_NE(attachedModel, nullptr);
  ASSERT_NE(attachedModel->getModel(nullptr), nullptr);
  EXPECT_EQ(attachedModel->getModel(nullptr)->getValue(), text);
}

TEST_F(LiveAdd, ADataMovementTaskKeepsItsSpecification) {
  DVLAddDataMovementTask add(session(), nullptr, kUntrusted);
  add.setParentPath(folder.path.c_str());
  add.setName("copy sales");
  add.setSpecification("<move from='a'/>");
  add.setSpecification("<move from='staging' to='warehouse'/>");
  add.execute();
  ASSERT_NE(add.getStoreID(), nullptr);
  EXPECT_STREQ(add.getName(), "copy sales");

  auto query = fetch(add.getStoreID(), {ZEBPropEnum::specification});
  query->execute();
  auto* task = dynamic_cast<ZEBDataMovementTask*>(query->getObject(0));
  ASSERT_NE(task, nullptr);
  const ZEBDataMovementServiceSpecificationProp* prop = task->getSpecification(nullptr);
  ASSERT_TRUE(prop && prop->getValue() && prop->getValue()->getValue());
  EXPECT_STREQ(prop->getValue()->getValue()->getValue(), "<move from='staging' to='warehouse'/>");
}

TEST_F(LiveAdd, AnAddIsRefusedForATakenNameOrAnAccountThatMayNotWrite) {
  addOutput(folder.path, "taken");
  ZEBSOAPFault taken = faultOf([&] { addOutput(folder.path, "taken"); });
  EXPECT_NE(taken.getFaultString().find("already exists"), std::string::npos) << taken.getFaultString();

  logon("reader", "reader");
  EXPECT_EQ(faultOf([&] { addOutput(folder.path, "other"); }).getFaultString(),
            "add needs the capability canWriteContent, which LDAP/reader lacks");
}

// Deletes by either name take the object and everything below it, and nothing beside it.
class LiveDelete : public LiveAdd, public testing::WithParamInterface<bool> {};

TEST_P(LiveDelete, TakesTheObjectAndEverythingBelowIt) {
  const bool byStoreId = GetParam();
  Stored doomed = addFolder(folder.path, "doomed");
  Stored child = addOutput(doomed.path, "child");
  Stored nested = addFolder(doomed.path, "nested");
  Stored grandchild = addOutput(nested.path, "grandchild");
  Stored sibling = addOutput(folder.path, "sibling");

  DVLDelete remove(session(), nullptr, kUntrusted);
  if (byStoreId) {
    remove.addStoreId(doomed.storeId.c_str());
  } else {
    remove.addPath(doomed.path.c_str());
  }
  remove.execute();

  for (const Stored& gone : {doomed, child, nested, grandchild}) {
    DVLQuery query(session(), nullptr, kUntrusted);
    query.setStoreID(gone.storeId.c_str());
    query.execute();
    EXPECT_EQ(query.getObjectCount(), 0) << gone.path;
    EXPECT_EQ(count(gone.path), 0) << gone.path;
  }
  EXPECT_EQ(count(sibling.path), 1);
  EXPECT_EQ(count(folder.path + "/*"), 1);
}

TEST_P(LiveDelete, TakesAnObjectThatAnotherStillRefersTo) {
  Stored target = addFolder(folder.path, "audience");
  DVLAddOutput referrer(session(), nullptr, kUntrusted);
  referrer.setParentPath(folder.path.c_str());
  referrer.setName("mailed");
  referrer.addRecipient(target.path.c_str());
  referrer.execute();

  DVLDelete remove(session(), nullptr, kUntrusted);
  if (GetParam()) {
    remove.addStoreId(target.storeId.c_str());
  } else {
    remove.addPath(target.path.c_str());
  }
  remove.execute();
  EXPECT_EQ(count(target.path), 0);
  EXPECT_EQ(count(folder.path + "/*"), 1);
}

INSTANTIATE_TEST_SUITE_P(ByPathAndByStoreId, LiveDelete, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "ByStoreId" : "ByPath"; });

TEST_F(LiveAdd, ADeleteOfNothingSucceedsButTheStoresOwnFoldersStay) {
  DVLDelete nothing(session(), nullptr, kUntrusted);
  nothing.addPath((folder.path + "/*[@name='absent']").c_str());
  EXPECT_NO_THROW(nothing.execute());  // the delete is forced

  DVLDelete content(session(), nullptr, kUntrusted);
  content.addPath("/content");
  ZEBSOAPFault fault = faultOf([&] { content.execute(); });
  EXPECT_NE(fault.getDetail().find("protectedObject"), std::string::npos) << fault.getDetail();
  EXPECT_EQ(count(folder.path), 1);
}

// A service that keeps documents up to 1 MB behind a front end that takes bodies up to 3 MB.
class LiveAddLimits : public LiveAdd {
 protected:
  dvlservice::ServiceOptions serviceOptions() override {
    dvlservice::ServiceOptions options;
    options.maxDocumentBytes = 1 << 20;
    return options;
  }
  dvlservice::ServerOptions serverOptions() override {
    dvlservice::ServerOptions options;
    options.maxBodyBytes = 3 << 20;
    return options;
  }

  void addDocument(size_t size) {
    const std::string data = patternBytes(size);
    ZEBMemoryDocumentOutput document(data.data(), data.size());
    DVLAddOutput add(session(), nullptr, kUntrusted);
    add.setParentPath(folder.path.c_str());
    add.setName("too big");
    add.setData(&document);
    add.execute();
  }
};

TEST_F(LiveAddLimits, ADocumentOverTheStoresLimitIsRefusedAndNothingIsStored) {
  ZEBSOAPFault fault = faultOf([&] { addDocument(2 << 20); });
  EXPECT_NE(fault.getDetail().find("documentTooLarge"), std::string::npos) << fault.getDetail();
  EXPECT_NE(fault.getFaultString().find("larger than the limit"), std::string::npos) << fault.getFaultString();
  EXPECT_EQ(count(folder.path + "/*"), 0);
}

TEST_F(LiveAddLimits, ABodyOverTheServersLimitIsAFaultAndTheServerGoesOn) {
  // The server refuses with 413 and a fault envelope; the fault is what reaches the host.
  try {
    addDocument(5 << 20);
    FAIL() << "no fault";
  } catch (const ZEBSOAPFault& e) {
    EXPECT_NE(e.getDetail().find("tooLarge"), std::string::npos) << e.getDetail() << " / " << e.getFaultString();
  }
  EXPECT_EQ(count(folder.path + "/*"), 0);
  EXPECT_FALSE(addOutput(folder.path, "small").storeId.empty());
}

}  // namespace
}  // namespace live
