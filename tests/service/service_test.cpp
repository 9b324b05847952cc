// The content-store service through the toolkit's own session, in process: logon and passports,
// queries and search paths, adds with attachments, deletes, the cache validator, the other
// operations, and failures provoked on purpose.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "ContentStore.h"
#include "ServiceClient.h"
#include "ZEB.h"
#include "ZEBSoap.h"

using dvlservice::ContentService;
using dvlservice::InjectedFailure;
using dvlservice::ServiceOptions;
using servicetest::Client;
using servicetest::hasReason;
using servicetest::made;
using servicetest::nameOf;
using servicetest::pathOf;
using servicetest::storeIdOf;

namespace {

class ServiceTest : public testing::Test {
 protected:
  ContentService service;
  Client client{service};

  // Adds one object below parentPath through the content manager and returns the result object.
  ZEBBaseClass* add(ZEBContentAdd_Reply& reply, ZEBBaseClass& object, const std::string& parentPath,
                    const ZEBAttachmentList* attachments = nullptr,
                    ZEBUpdateActionEnum::Enum action = ZEBUpdateActionEnum::fail, Client* via = nullptr) {
    ZEBContentAdd_Request request;
    ZEBObjectRegistryI& reg = request.getObjectRegistry();
    request.getParentPath(&reg)->setValue(parentPath.c_str());
    request.getObjects(&reg)->push_back(&object);
    auto* update = made<ZEBUpdateActionEnum>(request);
    update->setValue(action);
    request.getOptions(&reg)->setUpdateAction(update);
    (via ? via : &client)->send(request, reply, attachments);
    return reply.getResult() && reply.getResult()->size() > 0 ? reply.getResult()->at(0) : nullptr;
  }

  std::string addFolder(const std::string& parentPath, const std::string& name) {
    ZEBFolder folder;
    ZEBTokenProp defaultName;
    defaultName.setValue(name.c_str());
    folder.setDefaultName(&defaultName);
    ZEBContentAdd_Reply reply;
    return pathOf(add(reply, folder, parentPath));
  }

  int remove(const std::string& path, bool force, bool recursive, bool faultIfReferenced = false) {
    ZEBContentDelete_Request request;
    auto* target = made<ZEBNil>(request);
    target->getSearchPath(&request.getObjectRegistry())->setValue(path.c_str());
    request.getObjects(&request.getObjectRegistry())->push_back(target);
    ZEBDeleteOptions* options = request.getOptions(&request.getObjectRegistry());
    options->setForce(force);
    options->setRecursive(recursive);
    options->setFaultIfObjectReferenced(faultIfReferenced);
    ZEBContentDelete_Reply reply;
    client.send(request, reply);
    return reply.getResult() ? *reply.getResult() : -1;
  }
};

// ---------------------------------------------------------------- logon and passports

TEST_F(ServiceTest, APlainLogonIssuesThePassportThatLaterRepliesCarry) {
  client.logon();
  std::string passport = client.session().getPassport();
  EXPECT_EQ(passport.size(), 64u);
  auto reply = client.query("/content");
  ASSERT_EQ(Client::objects(*reply).size(), 1u);
  EXPECT_STREQ(ZEBHelper::getPassport(reply->getVorbHeader(nullptr)), passport.c_str());
}

TEST_F(ServiceTest, ASealedCredentialOpensOnlyForTheClientItWasSealedFor) {
  ZEBHelper::setCredentialKey(service.getCredentialPublicKey().c_str());
  auto sealed = [&](const char* clientId) {
    std::string plain = servicetest::plainCredential("LDAP", "demo", "demo");
    KRNByteBuffer out;
    ZEBHelper::encryptAndEncode(plain.data(), plain.size(), clientId, out);
    return std::string("<credential><encryptedValue>") + out.str() + "</encryptedValue></credential>";
  };
  client.logonWith(sealed(client.session().getClientID()));
  EXPECT_FALSE(client.session().getPassport().empty());

  Client other(service);
  ZEBSOAPFault fault = Client::faultOf([&] { other.logonWith(sealed(client.session().getClientID())); });
  EXPECT_EQ(fault.getFaultCode(), "soapenv:Client");
  EXPECT_TRUE(hasReason(fault, "logonFailed")) << fault.getDetail();
  ZEBHelper::setCredentialKey("");
}

TEST_F(ServiceTest, AWrongPasswordAndAnUnknownUserFaultAlike) {
  ZEBSOAPFault wrong = Client::faultOf([&] { client.logon("LDAP", "demo", "guess"); });
  ZEBSOAPFault unknown = Client::faultOf([&] { client.logon("LDAP", "nobody", "demo"); });
  EXPECT_EQ(wrong.getFaultCode(), "soapenv:Client");
  EXPECT_EQ(wrong.getFaultString(), unknown.getFaultString());
  EXPECT_TRUE(hasReason(wrong, "logonFailed"));
  EXPECT_TRUE(client.session().getPassport().empty());
}

TEST_F(ServiceTest, ACredentialThatIsNotOneIsRefused) {
  for (const char* document : {"", "<credential>", "<credential><password>x</password></credential>",
                               "<!DOCTYPE c [<!ENTITY x 'y'>]><credential><username>&x;</username></credential>"}) {
    ZEBSOAPFault fault = Client::faultOf([&] { client.logonWith(document); });
    EXPECT_TRUE(hasReason(fault, "badCredential")) << document << ": " << fault.getFaultString();
  }
}

TEST_F(ServiceTest, EveryOperationButLogonNeedsAPassport) {
  ZEBSOAPFault fault = Client::faultOf([&] { client.query("/content"); });
  EXPECT_EQ(fault.getFaultCode(), "soapenv:Client");
  EXPECT_TRUE(hasReason(fault, "notLoggedOn"));
  EXPECT_TRUE(hasReason(Client::faultOf([&] { client.logoff(); }), "notLoggedOn"));
}

TEST_F(ServiceTest, AForgedPassportIsRefused) {
  client.logon();
  client.session().setPassport(std::string(64, 'a'));
  EXPECT_TRUE(hasReason(Client::faultOf([&] { client.query("/content"); }), "invalidPassport"));
}

TEST_F(ServiceTest, APassportDiesAtLogoff) {
  client.logon();
  std::string passport = client.session().getPassport();
  client.logoff();
  EXPECT_TRUE(client.session().getPassport().empty());
  client.session().setPassport(passport);
  EXPECT_TRUE(hasReason(Client::faultOf([&] { client.query("/content"); }), "invalidPassport"));
}

TEST(ServicePassport, APassportLivesAsLongAsItIsUsedWithinItsIdleLifetime) {
  auto now = std::chrono::steady_clock::time_point();
  ServiceOptions options;
  options.passportIdleLifetime = std::chrono::seconds(60);
  options.clock = [&] { return now; };
  ContentService service(options);
  Client client(service);
  client.logon();
  now += std::chrono::seconds(59);
  client.query("/content");  // restarts the idle time
  now += std::chrono::seconds(59);
  client.query("/content");
  now += std::chrono::seconds(60);
  EXPECT_TRUE(hasReason(Client::faultOf([&] { client.query("/content"); }), "invalidPassport"));
}

// ---------------------------------------------------------------- queries

TEST_F(ServiceTest, AQueryReturnsTheAskedPropertiesOnly) {
  client.logon();
  auto reply = client.query("/content/*", {ZEBPropEnum::defaultName});
  auto objects = Client::objects(*reply);
  ASSERT_EQ(objects.size(), 2u);  // the demo store's Archive and Samples
  EXPECT_STREQ(nameOf(objects[0]), "Archive");
  EXPECT_STREQ(nameOf(objects[1]), "Samples");
  EXPECT_EQ(objects[1]->getSearchPath(), nullptr);
  EXPECT_EQ(objects[1]->getStoreID(), nullptr);
  EXPECT_EQ(&objects[1]->getTypeInfo(), &ZEBFolder::typeInfo);
}

TEST_F(ServiceTest, AQuerySortsThenSkipsThenLimits) {
  client.logon();
  for (const char* name : {"c", "a", "d", "b"}) addFolder("/content/folder[@name='Archive']", name);
  auto reply =
      client.query("/content/folder[@name='Archive']/*", {ZEBPropEnum::defaultName}, [](ZEBContentQuery_Request& r) {
        auto* sort = made<ZEBSort>(r);
        auto* prop = made<ZEBPropEnum>(r);
        prop->setValue(ZEBPropEnum::defaultName);
        auto* order = made<ZEBOrderEnum>(r);
        order->setValue(ZEBOrderEnum::descending);
        sort->setPropName(prop);
        sort->setOrder(order);
        r.getSortBy(&r.getObjectRegistry())->push_back(sort);
        ZEBQueryOptions* options = r.getOptions(&r.getObjectRegistry());
        options->setSkipObjects(1);
        options->setMaxObjects(2);
      });
  auto objects = Client::objects(*reply);
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_STREQ(nameOf(objects[0]), "c");
  EXPECT_STREQ(nameOf(objects[1]), "b");
}

TEST_F(ServiceTest, EveryReturnedSearchPathSelectsExactlyItsObject) {
  client.logon();
  addFolder("/content/folder[@name='Samples']", "O'Brien's \"best\"");  // no quote can hold this name
  addFolder("/content/folder[@name='Samples']", "with 'quotes'");
  auto all = client.query("//*");
  auto objects = Client::objects(*all);
  ASSERT_GE(objects.size(), 6u);
  for (ZEBBaseClass* o : objects) {
    auto again = client.query(pathOf(o));
    auto found = Client::objects(*again);
    ASSERT_EQ(found.size(), 1u) << pathOf(o);
    EXPECT_EQ(storeIdOf(found[0]), storeIdOf(o)) << pathOf(o);
  }
}

TEST_F(ServiceTest, StoreIdentifiersAndChildStepsFindTheSameObjects) {
  client.logon();
  auto samples = client.find("/content/folder[@name='Samples']");
  ASSERT_EQ(samples.size(), 1u);
  std::string id = storeIdOf(samples[0]);
  EXPECT_EQ(storeIdOf(Client::objects(*client.query("storeID(\"" + id + "\")"))[0]), id);
  auto report = client.find("storeID(\"" + id + "\")/*[@name='Quarterly sales']");
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(&report[0]->getTypeInfo(), &ZEBReport::typeInfo);
  EXPECT_EQ(Client::objects(*client.query("//report")).size(), 1u);
  EXPECT_TRUE(Client::objects(*client.query("storeID(\"nothing\")")).empty());
}

TEST_F(ServiceTest, AParentComesWithItsPathAndStoreIdentifier) {
  client.logon();
  auto report = client.find("//report", {ZEBPropEnum::parent});
  ASSERT_EQ(report.size(), 1u);
  ASSERT_NE(report[0]->getParent(), nullptr);
  const ZEBBaseClassArray& parents = report[0]->getParent()->getValue();
  ASSERT_EQ(parents.size(), 1u);
  EXPECT_STREQ(pathOf(parents.at(0)), "/content/folder[@name='Samples']");
  EXPECT_EQ(storeIdOf(parents.at(0)).size(), 32u);
}

TEST_F(ServiceTest, ABadSearchPathFaultsNamingThePosition) {
  client.logon();
  ZEBSOAPFault fault = Client::faultOf([&] { client.query("/content/folder[@name='x"); });
  EXPECT_EQ(fault.getFaultCode(), "soapenv:Client");
  EXPECT_TRUE(hasReason(fault, "badSearchPath"));
  EXPECT_NE(fault.getFaultString().find("position 23"), std::string::npos) << fault.getFaultString();
}

TEST_F(ServiceTest, TheSessionObjectListsTheAccountsCapabilities) {
  auto capabilities = [&](Client& c) {
    auto session = c.find("~~", {ZEBPropEnum::userCapabilities});
    EXPECT_EQ(session.size(), 1u);
    auto* s = dynamic_cast<ZEBSession*>(session[0]);
    EXPECT_NE(s, nullptr);
    std::vector<uint32_t> out;
    const ZEBUserCapabilityEnumArray& array = s->getUserCapabilities()->getValue();
    for (size_t i = 0; i < array.size(); ++i) out.push_back(array.at(i)->getValue());
    return out;
  };
  client.logon();
  EXPECT_EQ(capabilities(client).size(), 9u);
  Client reader(service);
  reader.logon("LDAP", "reader", "reader");
  EXPECT_EQ(capabilities(reader), (std::vector<uint32_t>{ZEBUserCapabilityEnum::canReadContent}));
}

TEST_F(ServiceTest, TildeIsTheAccountsOwnFolder) {
  client.logon();
  addFolder("~", "My reports");
  auto mine = client.find("~/*");
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_STREQ(pathOf(mine[0]), "/accounts/folder[@name='LDAP']/folder[@name='demo']/folder[@name='My reports']");
}

TEST_F(ServiceTest, APermissionFilterKeepsWhatTheAccountMayDo) {
  Client reader(service);
  reader.logon("LDAP", "reader", "reader");
  auto withPermission = [&](const char* permission) {
    return Client::objects(*reader.query("/content/*", {},
                                         [&](ZEBContentQuery_Request& r) {
                                           r.getOptions(&r.getObjectRegistry())->setPermission(permission);
                                         }))
        .size();
  };
  EXPECT_EQ(withPermission("read"), 2u);
  EXPECT_EQ(withPermission("write"), 0u);
  EXPECT_TRUE(hasReason(Client::faultOf([&] { withPermission("fly"); }), "badOption"));
  ZEBFolder folder;
  ZEBContentAdd_Reply reply;
  EXPECT_TRUE(
      hasReason(Client::faultOf([&] { add(reply, folder, "/content", nullptr, ZEBUpdateActionEnum::fail, &reader); }),
                "notAllowed"));
}

// ---------------------------------------------------------------- adds

TEST_F(ServiceTest, AnOutputAndItsDocumentsAreStoredByteForByte) {
  client.logon();
  std::mt19937 generator(42);
  std::string data(300000, '\0');
  for (char& c : data) c = static_cast<char>(generator());
  std::string context = "<context><page>1</page></context>";
  ZEBMemoryDocumentOutput dataDocument(data.data(), data.size(), "application/pdf");
  ZEBMemoryDocumentOutput contextDocument(context.data(), context.size(), "text/xml");
  ZEBAttachmentList attachments = {{"doc-1", &dataDocument}, {"_contextAttach", &contextDocument}};

  ZEBOutput output;
  ZEBTokenProp name;
  name.setValue("Quarterly sales.pdf");
  output.setDefaultName(&name);
  ZEBNmtokenProp format;
  format.setValue("PDF");
  output.setFormat(&format);
  ZEBBase64Binary dataRef;
  dataRef.setValue("cid:doc-1");
  ZEBBase64BinaryMIMEProp dataProp;
  dataProp.setValue(&dataRef);
  output.setData(&dataProp);
  ZEBXmlEncodedXML contextRef;
  contextRef.setValue("cid:_contextAttach");
  ZEBXmlEncodedXMLMIMEProp contextProp;
  contextProp.setValue(&contextRef);
  output.setContext(&contextProp);
  ZEBContentAdd_Reply reply;
  ZEBBaseClass* added = add(reply, output, "/content/folder[@name='Samples']", &attachments);
  ASSERT_NE(added, nullptr);
  EXPECT_STREQ(nameOf(added), "Quarterly sales.pdf");
  EXPECT_STREQ(pathOf(added), "/content/folder[@name='Samples']/output[@name='Quarterly sales.pdf']");
  std::string id = storeIdOf(added);
  ASSERT_EQ(id.size(), 32u);

  auto asMime = client.query("storeID(\"" + id + "\")", {ZEBPropEnum::data, ZEBPropEnum::dataSize, ZEBPropEnum::format},
                             [](ZEBContentQuery_Request& r) {
                               auto* mime = made<ZEBEncodingEnum>(r);
                               mime->setValue(ZEBEncodingEnum::MIME);
                               r.getOptions(&r.getObjectRegistry())->setDataEncoding(mime);
                             });
  auto* stored = dynamic_cast<ZEBOutput*>(Client::objects(*asMime).at(0));
  ASSERT_NE(stored, nullptr);
  EXPECT_STREQ(stored->getFormat()->getValue(), "PDF");
  EXPECT_EQ(*stored->getDataSize()->getValue(), static_cast<long long>(data.size()));
  std::string reference = stored->getData()->getValue()->getValue();
  ASSERT_EQ(reference.rfind("cid:", 0), 0u);
  ASSERT_EQ(asMime->getReceivedAttachments().size(), 1u);
  EXPECT_EQ(asMime->getReceivedAttachments()[0].contentId, reference.substr(4));
  EXPECT_EQ(asMime->getReceivedAttachments()[0].contentType, "application/pdf");
  EXPECT_TRUE(asMime->getReceivedAttachments()[0].bytes == data);

  auto inlineContext = client.query("storeID(\"" + id + "\")", {ZEBPropEnum::context});
  auto* withContext = dynamic_cast<ZEBOutput*>(Client::objects(*inlineContext).at(0));
  EXPECT_STREQ(withContext->getContext()->getValue()->getValue(), context.c_str());
}

TEST_F(ServiceTest, AnAddReferringToAMissingAttachmentIsRefused) {
  client.logon();
  ZEBModel model;
  ZEBAnyTypeMIMEProp modelProp;
  modelProp.setValue("cid:nowhere");
  model.setModel(&modelProp);
  ZEBContentAdd_Reply reply;
  ZEBSOAPFault fault = Client::faultOf([&] { add(reply, model, "/content"); });
  EXPECT_TRUE(hasReason(fault, "missingAttachment"));
  EXPECT_NE(fault.getFaultString().find("cid:nowhere"), std::string::npos);
}

TEST_F(ServiceTest, ANameTakenFaultsUnlessTheAddReplacesOrUpdates) {
  client.logon();
  ZEBReport report;
  ZEBTokenProp name;
  name.setValue("Plan");
  report.setDefaultName(&name);
  ZEBAnyTypeProp spec;
  spec.setValue("<v1/>");
  report.setSpecification(&spec);
  ZEBStringProp description;
  description.setValue("first");
  report.setDefaultDescription(&description);
  ZEBContentAdd_Reply first;
  std::string id = storeIdOf(add(first, report, "/content"));

  ZEBContentAdd_Reply again;
  EXPECT_TRUE(hasReason(Client::faultOf([&] { add(again, report, "/content"); }), "nameExists"));

  ZEBReport update;
  update.setDefaultName(&name);
  ZEBAnyTypeProp spec2;
  spec2.setValue("<v2/>");
  update.setSpecification(&spec2);
  ZEBContentAdd_Reply updated;
  EXPECT_EQ(storeIdOf(add(updated, update, "/content", nullptr, ZEBUpdateActionEnum::update)), id);
  auto afterUpdate =
      client.find("/content/report[@name='Plan']", {ZEBPropEnum::specification, ZEBPropEnum::defaultDescription});
  auto* after = dynamic_cast<ZEBReport*>(afterUpdate[0]);
  EXPECT_STREQ(after->getSpecification()->getValue(), "<v2/>");
  EXPECT_STREQ(after->getDefaultDescription()->getValue(), "first");  // an update keeps what it does not name

  ZEBContentAdd_Reply replaced;
  EXPECT_EQ(storeIdOf(add(replaced, update, "/content", nullptr, ZEBUpdateActionEnum::replace)), id);
  auto afterReplace = client.find("/content/report[@name='Plan']", {ZEBPropEnum::defaultDescription});
  auto* whole = dynamic_cast<ZEBReport*>(afterReplace[0]);
  EXPECT_EQ(whole->getDefaultDescription(), nullptr);  // a replace keeps nothing
}

TEST_F(ServiceTest, TheMonitorFilesObjectsUnderTheirEventAndAnswersAtOnce) {
  client.logon();
  ZEBMonitorAdd_Request request;
  request.setEventID("job-17");
  ZEBHistoryDetail detail;
  ZEBStringProp text;
  text.setValue("report ran");
  detail.setDetail(&text);
  ZEBSeverityEnum severity(ZEBSeverityEnum::warning);
  ZEBSeverityEnumProp severityProp;
  severityProp.setValue(&severity);
  detail.setSeverity(&severityProp);
  request.getObjects(&request.getObjectRegistry())->push_back(&detail);
  ZEBMonitorAdd_Reply reply;
  client.send<ZEBMonitorServicePortType>(request, reply);
  ASSERT_NE(reply.getResult(), nullptr);
  EXPECT_EQ(reply.getResult()->getStatus()->getValue(), ZEBAsynchReplyStatusEnum::complete);

  auto filed = client.find("/content/folder[@name='Events']/folder[@name='job-17']/*",
                           {ZEBPropEnum::detail, ZEBPropEnum::severity});
  ASSERT_EQ(filed.size(), 1u);
  auto* back = dynamic_cast<ZEBHistoryDetail*>(filed[0]);
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back->getDetail()->getValue(), "report ran");
  EXPECT_EQ(back->getSeverity()->getValue()->getValue(), ZEBSeverityEnum::warning);
}

// ---------------------------------------------------------------- deletes

TEST_F(ServiceTest, ADeleteTakesEverythingBelowAndCountsIt) {
  client.logon();
  std::string top = addFolder("/content", "Old");
  addFolder(top, "a");
  addFolder(top + "/folder[@name='a']", "b");
  EXPECT_TRUE(hasReason(Client::faultOf([&] { remove(top, true, false); }), "hasChildren"));
  EXPECT_EQ(remove(top, true, true), 3);
  EXPECT_TRUE(Client::objects(*client.query("/content/folder[@name='Old']")).empty());
}

TEST_F(ServiceTest, ADeleteOfNothingFaultsUnlessForced) {
  client.logon();
  EXPECT_TRUE(hasReason(Client::faultOf([&] { remove("/content/folder[@name='none']", false, true); }), "notFound"));
  EXPECT_EQ(remove("/content/folder[@name='none']", true, true), 0);
  EXPECT_TRUE(hasReason(Client::faultOf([&] { remove("", true, true); }), "badSearchPath"));
}

TEST_F(ServiceTest, TheStoresOwnFoldersCannotBeDeleted) {
  client.logon();
  for (const char* path : {"/", "/content", "/accounts"}) {
    EXPECT_TRUE(hasReason(Client::faultOf([&] { remove(path, true, true); }), "protectedObject")) << path;
  }
}

TEST_F(ServiceTest, AReferencedObjectSurvivesADeleteThatAsksSo) {
  client.logon();
  std::string target = addFolder("/content", "Recipients");
  ZEBOutput output;
  ZEBBaseClassArrayProp recipients;
  ZEBNil recipient;
  ZEBStringProp recipientPath;
  recipientPath.setValue(target.c_str());
  recipient.setSearchPath(&recipientPath);
  recipients.getValue().push_back(&recipient);
  output.setRecipients(&recipients);
  ZEBContentAdd_Reply reply;
  add(reply, output, "/content");
  EXPECT_TRUE(hasReason(Client::faultOf([&] { remove(target, true, true, true); }), "objectReferenced"));
  EXPECT_EQ(remove(target, true, true, false), 1);
}

// ---------------------------------------------------------------- multiple, cached, cache service, routing

TEST_F(ServiceTest, TheCacheValidatorChangesWhenTheStoreDoes) {
  client.logon();
  auto validated = [&](std::vector<std::string> paths, size_t* replies = nullptr) {
    ZEBContentQueryMultipleCache_Request request;
    for (const std::string& p : paths) {
      auto* q = made<ZEBQueryRequest>(request);
      q->setSearch(p.c_str());
      request.getRequests(&request.getObjectRegistry())->push_back(q);
    }
    ZEBContentQueryMultipleCache_Reply reply;
    client.send(request, reply);
    if (replies) *replies = reply.getResult()->getReplies().size();
    return std::string(reply.getResult()->getCacheValidator());
  };
  size_t replies = 0;
  std::string before = validated({"/content", "/content/*"}, &replies);
  EXPECT_EQ(replies, 2u);
  EXPECT_EQ(validated({"/content"}), before);
  addFolder("/content", "New");
  EXPECT_NE(validated({"/content"}), before);
}

TEST_F(ServiceTest, AMultipleQueryAnswersEachQueryInOrder) {
  client.logon();
  ZEBContentQueryMultiple_Request request;
  for (const char* p : {"/content/*", "//report", "/nothing"}) {
    auto* q = made<ZEBQueryRequest>(request);
    q->setSearch(p);
    request.getRequests(&request.getObjectRegistry())->push_back(q);
  }
  ZEBContentQueryMultiple_Reply reply;
  client.send(request, reply);
  ASSERT_EQ(reply.getResult()->size(), 3u);
  EXPECT_EQ(reply.getResult()->at(0)->getQueryResult().size(), 2u);
  EXPECT_EQ(reply.getResult()->at(1)->getQueryResult().size(), 1u);
  EXPECT_EQ(reply.getResult()->at(2)->getQueryResult().size(), 0u);
}

TEST_F(ServiceTest, TheCacheServiceListsTheEntriesBelowAnObject) {
  client.logon();
  ZEBContentCacheQueryCache_Request request;
  request.getObjectPath(&request.getObjectRegistry())->setValue("/content");
  auto* report = made<ZEBClassEnum>(request);
  report->setValue(ZEBClassEnum::report);
  request.getEntries(&request.getObjectRegistry())->push_back(report);
  ZEBContentCacheQueryCache_Reply reply;
  client.send<ZEBContentManagerCacheServicePortType>(request, reply);
  ASSERT_EQ(reply.getResult()->getObjects().size(), 1u);
  EXPECT_STREQ(nameOf(reply.getResult()->getObjects().at(0)), "Quarterly sales");
  bool validator = false;
  for (size_t i = 0; i < reply.getResult()->getOptions().size(); ++i) {
    const ZEBOption* o = reply.getResult()->getOptions().at(i);
    if (std::string(o->getName()) == "cacheValidator") validator = o->getValue() == service.getCacheValidator();
  }
  EXPECT_TRUE(validator);
}

TEST_F(ServiceTest, RoutingFollowsTheTopFolderBelowContent) {
  client.logon();
  auto route = [&](std::vector<std::string> paths) {
    ZEBContentDetermineRouting_Request request;
    for (const std::string& p : paths) {
      auto* path = made<ZEBSearchPathSingleObject>(request);
      path->setValue(p.c_str());
      request.getObjectPaths(&request.getObjectRegistry())->push_back(path);
    }
    ZEBContentDetermineRouting_Reply reply;
    client.send(request, reply);
    return std::string(reply.getResult());
  };
  EXPECT_EQ(route({"//report", "/content/folder[@name='Archive']", "/content/folder[@name='Samples']"}),
            "Samples;Archive");
  EXPECT_EQ(route({"/content"}), "default");
  EXPECT_EQ(route({}), "default");
  EXPECT_TRUE(hasReason(Client::faultOf([&] { route({"/content/*"}); }), "ambiguousPath"));
}

TEST_F(ServiceTest, TheStandaloneCredentialLogsOnWithoutAPassword) {
  ZEBStandaloneAXMRetrieveCredential_Request request;
  request.setNamespace("LDAP");
  ZEBStandaloneAXMRetrieveCredential_Reply reply;
  client.send<ZEBSaAXMServicePortType>(request, reply);
  std::string credential = reply.getCredential()->getValue();
  EXPECT_NE(credential.find("<username>demo</username>"), std::string::npos);
  EXPECT_EQ(credential.find("<password>demo</password>"), std::string::npos);
  client.logonWith(credential);
  EXPECT_FALSE(client.session().getPassport().empty());

  ZEBStandaloneAXMRetrieveCredential_Request unknown;
  unknown.setNamespace("NIS");
  ZEBStandaloneAXMRetrieveCredential_Reply none;
  EXPECT_TRUE(hasReason(Client::faultOf([&] { client.send<ZEBSaAXMServicePortType>(unknown, none); }), "noCredential"));
}

TEST_F(ServiceTest, ConcurrentSessionsAddQueryAndDeleteWithoutLosingAChange) {
  constexpr int kThreads = 6, kRounds = 10;
  ZEB::initialize();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        Client mine(service);
        mine.logon();
        for (int r = 0; r < kRounds; ++r) {
          std::string name = "t" + std::to_string(t) + "-" + std::to_string(r);
          ZEBFolder folder;
          ZEBTokenProp defaultName;
          defaultName.setValue(name.c_str());
          folder.setDefaultName(&defaultName);
          ZEBContentAdd_Reply reply;
          add(reply, folder, "/content/folder[@name='Archive']", nullptr, ZEBUpdateActionEnum::fail, &mine);
          if (mine.find("//folder[@name='" + name + "']").size() != 1) ++failures;
          if (r % 2 == 0) {
            ZEBContentDelete_Request request;
            auto* target = made<ZEBNil>(request);
            target->getSearchPath(&request.getObjectRegistry())
                ->setValue(("/content/folder[@name='Archive']/folder[@name='" + name + "']").c_str());
            request.getObjects(&request.getObjectRegistry())->push_back(target);
            ZEBContentDelete_Reply deleted;
            mine.send(request, deleted);
          }
        }
        mine.logoff();
      } catch (const std::exception& e) {
        ++failures;
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  client.logon();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(client.find("/content/folder[@name='Archive']/*").size(), static_cast<size_t>(kThreads * kRounds / 2));
  ZEB::terminate();
}

// ---------------------------------------------------------------- failures, on purpose and not

TEST_F(ServiceTest, InjectedFailuresBreakTheNamedOperationAsOftenAsAsked) {
  client.logon();
  service.injectFailure(InjectedFailure::parse("operation=query;fault=Server:store offline;count=1"));
  ZEBSOAPFault fault = Client::faultOf([&] { client.query("/content"); });
  EXPECT_EQ(fault.getFaultCode(), "soapenv:Server");
  EXPECT_EQ(fault.getFaultString(), "store offline");
  EXPECT_NO_THROW(client.query("/content"));

  service.injectFailure(InjectedFailure::parse("operation=query;garbage;count=1"));
  EXPECT_THROW(client.query("/content"), ZEBMalformedMessage);
  service.injectFailure(InjectedFailure::parse("drop"));
  EXPECT_THROW(client.query("/content"), ZEBTransportError);
  service.clearInjectedFailures();
  EXPECT_NO_THROW(client.query("/content"));
}

TEST_F(ServiceTest, ADroppedReplyStillCarriedTheChange) {
  client.logon();
  service.injectFailure(InjectedFailure::parse("operation=add;drop;count=1"));
  EXPECT_THROW(addFolder("/content", "Made"), ZEBTransportError);
  EXPECT_EQ(Client::objects(*client.query("/content/folder[@name='Made']")).size(), 1u);
}

TEST(ServiceInjection, ASpecThatIsNotOneIsRefused) {
  EXPECT_THROW(InjectedFailure::parse("delay=soon"), std::invalid_argument);
  EXPECT_THROW(InjectedFailure::parse("fault=nocolon"), std::invalid_argument);
  EXPECT_THROW(InjectedFailure::parse("explode"), std::invalid_argument);
  InjectedFailure f = InjectedFailure::parse(" operation=add ; delay=5;drop; count=2 ");
  EXPECT_EQ(f.operation, "add");
  EXPECT_EQ(f.delayMs, 5);
  EXPECT_TRUE(f.dropConnection);
  EXPECT_EQ(f.count, 2);
}

TEST_F(ServiceTest, WhatIsNotARequestGetsAClientFault) {
  auto faultOf = [&](const std::string& envelope, const std::string& soapAction = "") {
    ZEBWireRequest wire;
    wire.envelope = envelope;
    wire.soapAction = soapAction;
    ZEBWireReply reply = service.handle(wire);
    EXPECT_EQ(reply.httpStatus, 500);
    return reply.envelope;
  };
  EXPECT_NE(faultOf("<not xml").find("malformedRequest"), std::string::npos);
  EXPECT_NE(faultOf(std::string("\0\1\2", 3)).find("soapenv:Client"), std::string::npos);
  ZEBAuthenticationLogoff_Request logoff;
  std::string envelope = ZEBSoap::writeEnvelope(logoff, nullptr);
  EXPECT_NE(faultOf(envelope, "\"" ZEB_SCHEMA_NAMESPACE "query\"").find("soapActionMismatch"), std::string::npos);
  std::string unknown = envelope;
  unknown.replace(unknown.find("logoff"), 6, "format");
  EXPECT_NE(faultOf(unknown).find("malformedRequest"), std::string::npos);
}

}  // namespace
