// The content-store service through the toolkit's own session, in process: what the live client
// tests do not reach (passport lifetime, query options, update actions, delete options) and a
// failure provoked on purpose. Many sessions at once: the load and multi-instance tests; what is not
// a request: the HTTP front's tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "ContentService.h"
#include "ContentStore.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"
#include "ZEBPortType.h"
#include "ZEBSchema.h"
#include "ZEBSession.h"
#include "support/Files.h"
#include "support/Raised.h"
#include "support/TestStore.h"

using dvlservice::ContentService;
using dvlservice::InjectedFailure;
using dvlservice::ServiceOptions;

namespace {

template <class T>
T* made(ZEBMessageI& message) {
  T* object = new T;
  message.getObjectRegistry().registerObject(object);
  return object;
}

ZEBSOAPFault faultOf(const std::function<void()>& call) { return raisedBy<ZEBSOAPFault>(call); }

// The word a fault's detail carries ("invalidPassport").
bool hasReason(const ZEBSOAPFault& fault, const std::string& reason) {
  return fault.getDetail().find(">" + reason + "<") != std::string::npos;
}

class Client {
 public:
  explicit Client(ContentService& service) : m_session(service.makeInProcessTransport()) {}

  void send(ZEBMessageI& request, ZEBMessageI& reply, const ZEBAttachmentList* attachments = nullptr) {
    KRNSmartPointer<ZEBPortTypeBinding> binding =
        ZEBContentManagerServicePortType::getInstance().createBinding(request, reply);
    m_session.send(binding.get(), attachments, ZEBSOAPSessionI::ZEBSOAPUntrusted, nullptr);
  }

  // Plain, or sealed to the key that ZEBHelper::setCredentialKey set.
  void logon(const std::string& user = "demo", const std::string& password = "demo", bool sealed = false) {
    std::string credential = "<credential><namespace>LDAP</namespace><username>" + user + "</username><password>" +
                             password + "</password></credential>";
    if (sealed) {
      KRNByteBuffer buffer;
      ZEBHelper::encryptAndEncode(credential.data(), credential.size(), m_session.getClientID(), buffer);
      credential =
          "<credential><encryptedValue>" + std::string(buffer.str(), buffer.size()) + "</encryptedValue></credential>";
    }
    ZEBAuthenticationLogon_Request request;
    ZEBAuthenticationLogon_Reply reply;
    request.getCredentials(&request.getObjectRegistry())->setValue(credential.c_str());
    send(request, reply);
  }
  std::string passport() const { return m_session.getPassport(); }
  void setPassport(const std::string& passport) { m_session.setPassport(passport); }
  void logoff() {
    ZEBAuthenticationLogoff_Request request;
    ZEBAuthenticationLogoff_Reply reply;
    send(request, reply);
  }

  // A query whose reply the caller reads; properties empty: the service's defaults.
  std::unique_ptr<ZEBContentQuery_Reply> query(const std::string& path,
                                               const std::vector<ZEBPropEnum::Enum>& properties = {},
                                               const std::function<void(ZEBContentQuery_Request&)>& more = nullptr) {
    ZEBContentQuery_Request request;
    request.getSearchPath(&request.getObjectRegistry())->setValue(path.c_str());
    for (ZEBPropEnum::Enum p : properties) {
      auto* e = made<ZEBPropEnum>(request);
      e->setValue(p);
      request.getProperties(&request.getObjectRegistry())->push_back(e);
    }
    if (more) more(request);
    auto reply = std::make_unique<ZEBContentQuery_Reply>();
    send(request, *reply);
    return reply;
  }

  // The objects of a query's result, empty when it has none.
  static std::vector<ZEBBaseClass*> objects(const ZEBContentQuery_Reply& reply) {
    std::vector<ZEBBaseClass*> out;
    if (const ZEBBaseClassArray* result = reply.getResult()) {
      for (size_t i = 0; i < result->size(); ++i) out.push_back(result->at(i));
    }
    return out;
  }

 private:
  ZEBSOAPSession m_session;
};

const char* pathOf(const ZEBBaseClass* o) {
  return o && o->getSearchPath() ? o->getSearchPath()->getValue() : nullptr;
}
std::string storeIdOf(const ZEBBaseClass* o) {
  return o && o->getStoreID() && o->getStoreID()->getValue() && o->getStoreID()->getValue()->getValue()
             ? o->getStoreID()->getValue()->getValue()
             : std::string();
}

// The service on a fresh store of the backend under test (DVL_TEST_STORE).
ServiceOptions onFreshStore(std::string location = "") {
  ServiceOptions options;
  options.storePath = location.empty() ? teststore::fresh() : location;
  return options;
}

class ServiceTest : public testing::Test {
 protected:
  static ServiceOptions logging(ServiceOptions options, std::vector<std::string>& lines) {
    options.log = [&lines](const std::string& line) { lines.push_back(line); };
    return options;
  }
  std::vector<std::string> logged;  // the service's log
  ContentService service{logging(onFreshStore(), logged)};
  Client client{service};

  // Adds one object below parentPath through the content manager and returns the result object.
  ZEBBaseClass* add(ZEBContentAdd_Reply& reply, ZEBBaseClass& object, const std::string& parentPath,
                    ZEBUpdateActionEnum::Enum action = ZEBUpdateActionEnum::fail, Client* via = nullptr) {
    ZEBContentAdd_Request request;
    ZEBObjectRegistryI& reg = request.getObjectRegistry();
    request.getParentPath(&reg)->setValue(parentPath.c_str());
    request.getObjects(&reg)->push_back(&object);
    auto* update = made<ZEBUpdateActionEnum>(request);
    update->setValue(action);
    request.getOptions(&reg)->setUpdateAction(update);
    (via ? via : &client)->send(request, reply);
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
  EXPECT_TRUE(hasReason(faultOf([&] { client.query("/content"); }), "invalidPassport"));
}

// A restart (or another server on the store) keeps hosts logged on and seals to the same key; a
// logoff holds everywhere.
TEST(ServicePassport, PassportsAndTheCredentialKeyLiveInTheStore) {
  TempDir dir;
  const std::string location = teststore::fresh(dir / "s.db");
  auto first = std::make_unique<ContentService>(onFreshStore(location));
  Client client(*first);
  ZEBHelper::setCredentialKey(first->getCredentialPublicKey().c_str());
  client.logon("demo", "demo", true);
  const std::string passport = client.passport();
  if (!teststore::postgres()) first.reset();  // one server per SQLite file: this is a restart
  ContentService second(onFreshStore(location));
  Client other(second);
  other.setPassport(passport);
  EXPECT_NO_THROW(other.query("/content"));
  other.logon("demo", "demo", true);  // sealed to the first server's key
  other.logoff();
  if (first) {  // the logon through the second server ended the passport on the first
    EXPECT_TRUE(hasReason(faultOf([&] { client.query("/content"); }), "invalidPassport"));
  }
  first.reset();
}

// ---------------------------------------------------------------- queries

TEST_F(ServiceTest, AQueryReturnsTheAskedPropertiesSortedThenSkipsThenLimits) {
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
  EXPECT_STREQ(objects[0]->getDefaultName()->getValue(), "c");
  EXPECT_STREQ(objects[1]->getDefaultName()->getValue(), "b");
  EXPECT_EQ(objects[1]->getSearchPath(), nullptr);  // only the properties asked for
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
  EXPECT_TRUE(hasReason(faultOf([&] { withPermission("fly"); }), "badOption"));
  ZEBFolder folder;
  ZEBContentAdd_Reply reply;
  EXPECT_TRUE(hasReason(faultOf([&] { add(reply, folder, "/content", ZEBUpdateActionEnum::fail, &reader); }),
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
  ZEBSOAPFault fault = faultOf([&] { add(reply, model, "/content"); });
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
    return storeIdOf(add(reply, object, "/content", action));
  };
  // The stored report's specification and description ("-" for none).
  auto read = [&] {
    auto reply = client.query("/content/report[@name='Plan']", {ZEBPropEnum::specification,
                                                                ZEBPropEnum::defaultDescription});
    auto* stored = dynamic_cast<ZEBReport*>(Client::objects(*reply).at(0));
    const ZEBStringProp* d = stored->getDefaultDescription();
    return std::string(stored->getSpecification()->getValue()) + " " + (d ? d->getValue() : "-");
  };
  std::string id = addAs(report, ZEBUpdateActionEnum::fail);
  EXPECT_TRUE(hasReason(faultOf([&] { addAs(report, ZEBUpdateActionEnum::fail); }), "nameExists"));
  // An update keeps what it does not name; a replace keeps nothing.
  EXPECT_EQ(addAs(update, ZEBUpdateActionEnum::update), id);
  EXPECT_EQ(read(), "<v2/> first");
  EXPECT_EQ(addAs(update, ZEBUpdateActionEnum::replace), id);
  EXPECT_EQ(read(), "<v2/> -");
}

// ---------------------------------------------------------------- deletes

// A delete that is not recursive spares an object with children, one that asks so spares a
// referenced object; else everything below goes and is counted.
TEST_F(ServiceTest, ADeleteTakesEverythingBelowUnlessAskedToSpareIt) {
  client.logon();
  std::string top = addFolder("/content", "Old");  // what goes with it: the live delete tests
  addFolder(addFolder(top, "a"), "b");
  EXPECT_TRUE(hasReason(faultOf([&] { remove(top, true, false); }), "hasChildren"));
  EXPECT_EQ(remove(top, true, true), 3);

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
  EXPECT_TRUE(hasReason(faultOf([&] { remove(target, true, true, true); }), "objectReferenced"));
  EXPECT_EQ(remove(target, true, true, false), 1);
}

// ---------------------------------------------------------------- failures, on purpose and not

// Injected faults and garbled replies as a host meets them are covered by the fault suite.
TEST_F(ServiceTest, ADroppedReplyStillCarriesTheChange) {
  client.logon();
  service.injectFailure(InjectedFailure::parse("operation=add;drop;count=1"));
  EXPECT_THROW(addFolder("/content", "Made"), ZEBTransportError);
  EXPECT_EQ(Client::objects(*client.query("/content/folder[@name='Made']")).size(), 1u);
}

// The client learns that the store failed; where and how (file names, database addresses) only the
// log says.
TEST_F(ServiceTest, AStoreFailureShowsItsDetailInTheLogOnly) {
  const std::string documents = service.getStore().getDocumentDirectory();
  if (documents.empty()) GTEST_SKIP() << "this store keeps documents in the database";
  std::filesystem::remove_all(documents + "/incoming");
  client.logon();
  ZEBOutput output;
  ZEBBase64Binary bytes;
  bytes.setValue("aGVsbG8=");
  ZEBBase64BinaryMIMEProp data;
  data.setValue(&bytes);
  output.setData(&data);
  ZEBContentAdd_Reply reply;
  ZEBSOAPFault fault = faultOf([&] { add(reply, output, "/content"); });
  EXPECT_TRUE(hasReason(fault, "storeFailure"));
  EXPECT_EQ(fault.getFaultString().find(documents), std::string::npos) << fault.getFaultString();
  ASSERT_FALSE(logged.empty());
  EXPECT_NE(logged.back().find(documents + "/incoming"), std::string::npos) << logged.back();
}

}  // namespace
