// The content-store service through the toolkit's own session, in process: what the live client
// tests do not reach (passport lifetime, query options, update actions, delete options, many
// sessions at once) and failures provoked on purpose.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "ServiceClient.h"
#include "ZEB.h"
#include "ZEBSoap.h"
#include "support/TestStore.h"

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

// The service on a fresh store of the backend under test (DVL_TEST_STORE).
ServiceOptions onFreshStore(std::string location = "") {
  ServiceOptions options;
  options.storePath = location.empty() ? teststore::fresh() : location;
  return options;
}

class ServiceTest : public testing::Test {
 protected:
  ContentService service{onFreshStore()};
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

  std::string addFolder(const std::string& parentPath, const std::string& name, Client* via = nullptr) {
    ZEBFolder folder;
    ZEBTokenProp defaultName;
    defaultName.setValue(name.c_str());
    folder.setDefaultName(&defaultName);
    ZEBContentAdd_Reply reply;
    return pathOf(add(reply, folder, parentPath, nullptr, ZEBUpdateActionEnum::fail, via));
  }

  int remove(const std::string& path, bool force, bool recursive, bool faultIfReferenced = false,
             Client* via = nullptr) {
    ZEBContentDelete_Request request;
    auto* target = made<ZEBNil>(request);
    target->getSearchPath(&request.getObjectRegistry())->setValue(path.c_str());
    request.getObjects(&request.getObjectRegistry())->push_back(target);
    ZEBDeleteOptions* options = request.getOptions(&request.getObjectRegistry());
    options->setForce(force);
    options->setRecursive(recursive);
    options->setFaultIfObjectReferenced(faultIfReferenced);
    ZEBContentDelete_Reply reply;
    (via ? via : &client)->send(request, reply);
    return reply.getResult() ? *reply.getResult() : -1;
  }
};

// ---------------------------------------------------------------- logon and passports

TEST(ServicePassport, APassportLivesAsLongAsItIsUsedWithinItsIdleLifetime) {
  auto now = std::chrono::steady_clock::time_point();
  ServiceOptions options = onFreshStore();
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

// A restart (or another server on the store) keeps hosts logged on and seals to the same key; a
// logoff holds everywhere.
TEST(ServicePassport, PassportsAndTheCredentialKeyLiveInTheStore) {
  char dir[] = "/tmp/dvl-service-test-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string location = teststore::fresh(std::string(dir) + "/s.db");
  auto first = std::make_unique<ContentService>(onFreshStore(location));
  Client client(*first);
  ZEBHelper::setCredentialKey(first->getCredentialPublicKey().c_str());
  client.logonSealed();
  const std::string passport = client.passport();
  if (!teststore::postgres()) first.reset();  // one server per SQLite file: this is a restart
  ContentService second(onFreshStore(location));
  Client other(second);
  other.setPassport(passport);
  EXPECT_NO_THROW(other.query("/content"));
  other.logonSealed();  // sealed to the first server's key
  other.logoff();
  if (first) {  // the logon through the second server ended the passport on the first
    EXPECT_TRUE(hasReason(Client::faultOf([&] { client.query("/content"); }), "invalidPassport"));
  }
  first.reset();
  std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------- queries

TEST_F(ServiceTest, AQueryReturnsTheAskedPropertiesOnly) {
  client.logon();
  auto reply = client.query("/content/*", {ZEBPropEnum::defaultName});
  auto objects = Client::objects(*reply);
  ASSERT_EQ(objects.size(), 2u);  // the demo store's Archive and Samples
  EXPECT_STREQ(nameOf(objects[1]), "Samples");
  EXPECT_EQ(objects[1]->getSearchPath(), nullptr);
  EXPECT_EQ(objects[1]->getStoreID(), nullptr);
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

TEST_F(ServiceTest, APermissionFilterKeepsWhatTheAccountMayDo) {
  Client reader(service);
  reader.logon("reader", "reader");
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
  ZEBTokenProp name;
  name.setValue("Plan");
  ZEBAnyTypeProp v1, v2;
  v1.setValue("<v1/>");
  v2.setValue("<v2/>");
  ZEBStringProp description;
  description.setValue("first");
  ZEBReport report, update;
  report.setDefaultName(&name);
  report.setSpecification(&v1);
  report.setDefaultDescription(&description);
  update.setDefaultName(&name);
  update.setSpecification(&v2);
  auto addAs = [&](ZEBReport& object, ZEBUpdateActionEnum::Enum action) {
    ZEBContentAdd_Reply reply;
    return storeIdOf(add(reply, object, "/content", nullptr, action));
  };
  auto read = [&] {
    return client.find("/content/report[@name='Plan']", {ZEBPropEnum::specification, ZEBPropEnum::defaultDescription});
  };
  std::string id = addAs(report, ZEBUpdateActionEnum::fail);
  EXPECT_TRUE(hasReason(Client::faultOf([&] { addAs(report, ZEBUpdateActionEnum::fail); }), "nameExists"));

  EXPECT_EQ(addAs(update, ZEBUpdateActionEnum::update), id);
  auto updated = read();
  EXPECT_STREQ(dynamic_cast<ZEBReport*>(updated[0])->getSpecification()->getValue(), "<v2/>");
  // An update keeps what it does not name; a replace keeps nothing.
  EXPECT_STREQ(dynamic_cast<ZEBReport*>(updated[0])->getDefaultDescription()->getValue(), "first");
  EXPECT_EQ(addAs(update, ZEBUpdateActionEnum::replace), id);
  EXPECT_EQ(dynamic_cast<ZEBReport*>(read()[0])->getDefaultDescription(), nullptr);
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
          std::string path = addFolder("/content/folder[@name='Archive']", name, &mine);
          if (mine.find("//folder[@name='" + name + "']").size() != 1) ++failures;
          if (r % 2 == 0) remove(path, true, true, false, &mine);
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

// Injected faults and garbled replies as a host meets them are covered by the fault suite.
TEST_F(ServiceTest, ADroppedReplyStillCarriesTheChange) {
  client.logon();
  service.injectFailure(InjectedFailure::parse("operation=add;drop;count=1"));
  EXPECT_THROW(addFolder("/content", "Made"), ZEBTransportError);
  EXPECT_EQ(Client::objects(*client.query("/content/folder[@name='Made']")).size(), 1u);
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
