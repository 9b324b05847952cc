// Queries over loopback HTTP against a folder the test fills through the library's adds: single
// queries by path and store identifier, lookups of a named child, multiple and cache-validated
// queries, the cache service, routing, capabilities and the standalone credential.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "DVLAddDataMovementTask.h"
#include "DVLAddModel.h"
#include "DVLCacheQueryCache.h"
#include "DVLDetermineRouting.h"
#include "DVLGetObject.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "DVLQueryMultiple.h"
#include "DVLQueryMultipleCache.h"
#include "DVLReportHelper.h"
#include "DVLSaAXMQuery.h"
#include "KRNError.h"
#include "LiveServer.h"

namespace live {
namespace {

const char* nameOf(const ZEBBaseClass* object) {
  const ZEBTokenProp* name = object ? object->getDefaultName(nullptr) : nullptr;
  return name ? name->getValue() : nullptr;
}

std::vector<std::string> namesOf(const ZEBBaseClassArray* objects) {
  std::vector<std::string> names;
  for (size_t i = 0; objects && i < objects->size(); ++i) {
    const char* name = nameOf(objects->at(i));
    names.push_back(name ? name : "(none)");
  }
  return names;
}

// A folder holding three children of three classes, named so that name order and class order
// differ: the service's default order is by class.
class LiveQuery : public LiveServer {
 protected:
  void SetUp() override {
    LiveServer::SetUp();
    logon();
    folder = addFolder("/content", "Reports");
    output = addOutput(folder.path, "A-output");

    DVLAddModel model(session(), nullptr, kUntrusted);
    model.setParentPath(folder.path.c_str());
    model.setName("B-model");
    model.setModel("<model/>");
    model.execute();
    this->model = Stored{model.getPath(), model.getStoreID()};

    DVLAddDataMovementTask task(session(), nullptr, kUntrusted);
    task.setParentPath(folder.path.c_str());
    task.setName("C-task");
    task.setSpecification("<move/>");
    task.execute();
    this->task = Stored{task.getPath(), task.getStoreID()};
  }

  // The store identifier of the only object a lookup of the named child finds.
  std::string childStoreId(const char* name) {
    DVLGetObject lookup(session(), nullptr, kUntrusted);
    lookup.setPath(folder.path.c_str());
    lookup.setChildName(name);
    lookup.execute();
    EXPECT_EQ(lookup.getObjectCount(), 1) << name;
    const char* id = lookup.getStoreID(0);
    return id ? id : "";
  }

  Stored folder, output, model, task;
};

TEST_F(LiveQuery, AFolderQueriedByPathListsItsChildrenInClassOrder) {
  DVLQuery query(session(), nullptr, kUntrusted);
  query.setPath((folder.path + "/*").c_str());
  query.execute();

  ASSERT_EQ(query.getObjectCount(), 3);
  EXPECT_STREQ(query.getName(0), "C-task");
  EXPECT_STREQ(query.getName(1), "B-model");
  EXPECT_STREQ(query.getName(2), "A-output");
  EXPECT_EQ(query.getObjectClass(0), ZEBClassEnum::dataMovementTask);
  EXPECT_EQ(query.getObjectClass(1), ZEBClassEnum::model);
  EXPECT_EQ(query.getObjectClass(2), ZEBClassEnum::output);
  EXPECT_EQ(query.getStoreID(0), task.storeId);
  EXPECT_EQ(query.getStoreID(2), output.storeId);
  EXPECT_EQ(query.getPath(), task.path);
  EXPECT_FALSE(query.getPassport() == nullptr || *query.getPassport() == '\0');
}

TEST_F(LiveQuery, SortKeysAndPagingOptionsReachTheService) {
  DVLQuery byName(session(), nullptr, kUntrusted);
  byName.setPath((folder.path + "/*").c_str());
  byName.setSortOptions(ZEBPropEnum::defaultName, ZEBOrderEnum::ascending);
  byName.getQueryOptions().setSkipObjects(1);
  byName.getQueryOptions().setMaxObjects(1);
  byName.execute();
  ASSERT_EQ(byName.getObjectCount(), 1);
  EXPECT_STREQ(byName.getName(0), "B-model");

  ZEBQueryOptions paging;
  paging.setMaxObjects(2);
  DVLQuery descending(session(), nullptr, kUntrusted);
  descending.setPath((folder.path + "/*").c_str());
  descending.setSortOptions(ZEBPropEnum::objectClass, ZEBOrderEnum::descending);
  descending.setQueryOptions(paging);
  descending.execute();
  ASSERT_EQ(descending.getObjectCount(), 2);
  EXPECT_STREQ(descending.getName(0), "A-output");
  EXPECT_STREQ(descending.getName(1), "B-model");
}

TEST_F(LiveQuery, AFolderQueriedByStoreIdentifierIsThatFolder) {
  DVLQuery query(session(), nullptr, kUntrusted);
  query.setStoreID(folder.storeId.c_str());
  query.execute();

  ASSERT_EQ(query.getObjectCount(), 1);
  EXPECT_STREQ(query.getName(0), "Reports");
  EXPECT_EQ(query.getObjectClass(0), ZEBClassEnum::folder);
  EXPECT_EQ(query.getStoreID(0), folder.storeId);
  EXPECT_EQ(query.getPath(), folder.path);
}

TEST_F(LiveQuery, AnIndexPastTheEndPicksTheFirstObject) {
  DVLQuery query(session(), nullptr, kUntrusted);
  query.setPath((folder.path + "/*").c_str());
  query.execute();

  EXPECT_EQ(query.getObject(3), query.getObject(0));
  EXPECT_EQ(query.getObject(5), query.getObject(0));
  EXPECT_STREQ(query.getName(5), "C-task");
  EXPECT_EQ(query.getStoreID(5), task.storeId);
  EXPECT_STREQ(query.getName(2), "A-output");

  DVLQuery nothing(session(), nullptr, kUntrusted);
  nothing.setPath((folder.path + "/*[@name='absent']").c_str());
  nothing.execute();
  EXPECT_EQ(nothing.getObjectCount(), 0);
  EXPECT_EQ(nothing.getObject(0), nullptr);
  EXPECT_EQ(nothing.getName(5), nullptr);
  EXPECT_EQ(nothing.getStoreID(0), nullptr);
  EXPECT_EQ(nothing.getObjectClass(0), 0u);
  EXPECT_EQ(nothing.getPath(), nullptr);
}

TEST_F(LiveQuery, ALookupFindsANamedChildAndItsParent) {
  DVLGetObject byPath(session(), nullptr, kUntrusted);
  byPath.setPath(folder.path.c_str());
  byPath.setChildName("B-model");
  byPath.execute();
  ASSERT_TRUE(byPath.wasFound());
  EXPECT_EQ(byPath.getObjectCount(), 1);
  EXPECT_STREQ(byPath.getName(0), "B-model");
  EXPECT_EQ(byPath.getStoreID(0), model.storeId);
  EXPECT_EQ(byPath.getParent(), folder.path);
  EXPECT_EQ(byPath.getParentStoreID(), folder.storeId);

  DVLGetObject byStoreId(session(), nullptr, kUntrusted);
  byStoreId.setStoreID(folder.storeId.c_str());
  byStoreId.setChildName("A-output");
  byStoreId.execute();
  ASSERT_TRUE(byStoreId.wasFound());
  EXPECT_EQ(byStoreId.getStoreID(0), output.storeId);
  EXPECT_EQ(byStoreId.getParent(), folder.path);

  // Without a child name the object itself comes back with its own parent.
  DVLGetObject itself(session(), nullptr, kUntrusted);
  itself.setStoreID(folder.storeId.c_str());
  itself.execute();
  ASSERT_TRUE(itself.wasFound());
  EXPECT_STREQ(itself.getName(0), "Reports");
  EXPECT_STREQ(itself.getParent(), "/content");
}

TEST_F(LiveQuery, ALookupOfAnAbsentChildFindsNothing) {
  DVLGetObject lookup(session(), nullptr, kUntrusted);
  lookup.setPath(folder.path.c_str());
  lookup.setChildName("D-absent");
  lookup.execute();
  EXPECT_FALSE(lookup.wasFound());
  EXPECT_EQ(lookup.getParent(), nullptr);
  EXPECT_EQ(lookup.getParentStoreID(), nullptr);
}

// A quote that ended the name early would select the sibling named by the name's first part, or
// make the path unreadable to the service.
TEST_F(LiveQuery, NamesWithQuotesFindTheirOwnObjectOnly) {
  std::string obrien = addOutput(folder.path, "O'Brien").storeId;
  std::string o = addOutput(folder.path, "O").storeId;
  std::string quoted = addOutput(folder.path, "say \"hi\"").storeId;
  std::string say = addOutput(folder.path, "say ").storeId;
  std::string x = addFolder(folder.path, "x").storeId;
  addOutput(folder.path + "/*[@name='x']", "y");
  std::string smuggled = addOutput(folder.path, "x']/*[@name='y").storeId;

  EXPECT_EQ(childStoreId("O'Brien"), obrien);
  EXPECT_EQ(childStoreId("O"), o);
  EXPECT_EQ(childStoreId("say \"hi\""), quoted);
  EXPECT_EQ(childStoreId("say "), say);
  EXPECT_EQ(childStoreId("x"), x);
  EXPECT_EQ(childStoreId("x']/*[@name='y"), smuggled);

  // The path the service reports for such an object selects it again.
  DVLQuery byId(session(), nullptr, kUntrusted);
  byId.setStoreID(obrien.c_str());
  byId.execute();
  ASSERT_NE(byId.getPath(), nullptr);
  DVLQuery byPath(session(), nullptr, kUntrusted);
  byPath.setPath(byId.getPath());
  byPath.execute();
  ASSERT_EQ(byPath.getObjectCount(), 1);
  EXPECT_EQ(byPath.getStoreID(0), obrien);
}

TEST_F(LiveQuery, ANameWithBothQuotesIsRefusedBeforeItIsSent) {
  DVLGetObject lookup(session(), nullptr, kUntrusted);
  lookup.setPath(folder.path.c_str());
  lookup.setChildName("it's \"x\"");
  EXPECT_THROW(lookup.execute(), KRNAssertError);
  EXPECT_FALSE(lookup.wasFound());
}

TEST_F(LiveQuery, TwoQueriesTravelInOneMultipleQuery) {
  DVLQueryMultiple multiple(session(), nullptr, kUntrusted);
  DVLQueryRequest children(multiple);
  children.setPath((folder.path + "/*").c_str());
  children.setSortOptions(ZEBPropEnum::defaultName, ZEBOrderEnum::ascending);
  DVLQueryRequest one(multiple);
  one.setStoreID(model.storeId.c_str());
  ZEBPropEnum description(ZEBPropEnum::defaultDescription);
  one.setProperty(description);
  multiple.addRequest(children);
  multiple.addRequest(one);
  multiple.execute();

  ASSERT_EQ(multiple.getReplyCount(), 2);
  EXPECT_EQ(namesOf(multiple.getQueryResult(0)), (std::vector<std::string>{"A-output", "B-model", "C-task"}));
  const ZEBBaseClassArray* single = multiple.getQueryResult(1);
  ASSERT_NE(single, nullptr);
  ASSERT_EQ(single->size(), 1u);
  // The caller's own property does not crowd out the four every query asks for.
  EXPECT_EQ(DVLReportHelper::getStoreID(*single->at(0)), model.storeId);
  ASSERT_NE(single->at(0)->getSearchPath(nullptr), nullptr);
  EXPECT_EQ(single->at(0)->getSearchPath(nullptr)->getValue(), model.path);
  EXPECT_EQ(multiple.getQueryResult(2), nullptr);
}

TEST_F(LiveQuery, TheCacheValidatorChangesWhenTheStoreDoes) {
  auto validate = [&](const std::string& held, int* count) {
    DVLQueryMultipleCache cached(session(), nullptr, kUntrusted);
    DVLQueryRequest children(cached);
    children.setPath((folder.path + "/*").c_str());
    cached.addRequest(children);
    cached.setCacheValidator(held.c_str());
    cached.execute();
    EXPECT_EQ(cached.getReplyCount(), 1);
    *count = cached.getQueryResult(0) ? static_cast<int>(cached.getQueryResult(0)->size()) : -1;
    const char* validator = cached.getCacheValidatorReply();
    return std::string(validator ? validator : "");
  };

  int count = 0;
  std::string first = validate("", &count);
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(count, 3);
  EXPECT_EQ(validate(first, &count), first);

  addOutput(folder.path, "D-output");
  std::string second = validate(first, &count);
  EXPECT_NE(second, first);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(second, service().getCacheValidator());
}

TEST_F(LiveQuery, TheCacheServiceListsTheEntriesAskedForBelowAnObject) {
  ZEBClassEnum outputs(ZEBClassEnum::output), models(ZEBClassEnum::model);
  ZEBOption mine;
  mine.setName("client");
  mine.setValue("live");
  ZEBOptionArray options;
  options.push_back(&mine);

  DVLCacheQueryCache cache(session(), nullptr, kUntrusted);
  cache.setObjectPath(folder.path.c_str());
  cache.setEntry(outputs);
  cache.setEntry(models);
  cache.setOptions(&options);
  cache.execute();

  ASSERT_NE(cache.getQueryCacheResultObjects(), nullptr);
  std::vector<std::string> names = namesOf(cache.getQueryCacheResultObjects());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"A-output", "B-model"}));

  ZEBOptionArray* returned = cache.getQueryCacheResultOptions();
  ASSERT_NE(returned, nullptr);
  std::map<std::string, std::string> byName;
  for (size_t i = 0; i < returned->size(); ++i) {
    const ZEBOption* o = returned->at(i);
    if (o && o->getName()) byName[o->getName()] = o->getValue() ? o->getValue() : "";
  }
  EXPECT_EQ(byName["client"], "live");
  EXPECT_EQ(byName["objectCount"], "2");
  EXPECT_EQ(byName["cacheValidator"], service().getCacheValidator());

  DVLCacheQueryCache everything(session(), nullptr, kUntrusted);
  everything.setObjectPath(folder.path.c_str());
  everything.execute();
  ASSERT_NE(everything.getQueryCacheResultObjects(), nullptr);
  EXPECT_EQ(everything.getQueryCacheResultObjects()->size(), 4u);  // the folder and its children
}

TEST_F(LiveQuery, RoutingNamesTheTopFolderOfEachPathInRequestOrder) {
  auto route = [&](const std::vector<std::string>& paths) {
    std::vector<std::unique_ptr<ZEBSearchPathSingleObject>> objects;
    DVLDetermineRouting routing(session(), nullptr, kUntrusted);
    for (const std::string& p : paths) {
      objects.push_back(std::make_unique<ZEBSearchPathSingleObject>());
      objects.back()->setValue(p.c_str());
      routing.addPath(objects.back().get());
    }
    routing.execute();
    return std::string(routing.getResult() ? routing.getResult() : "(none)");
  };
  EXPECT_EQ(route({output.path, "/content/*[@name='Samples']"}), "Reports;Samples");
  EXPECT_EQ(route({"/content/*[@name='Samples']", model.path}), "Samples;Reports");
  EXPECT_EQ(route({output.path, task.path}), "Reports");
}

TEST_F(LiveQuery, CapabilitiesAreThoseOfTheLoggedOnAccount) {
  ZEBVorbHeader noPassport;
  std::vector<ZEBUserCapabilityEnum::Enum> capabilities{ZEBUserCapabilityEnum::canMoveData};
  ZEBObjectRegistry registry;
  ZEBVorbHeader* newHeader = nullptr;
  DVLReportHelper::getCapabilities(noPassport, session(), capabilities, &newHeader, &registry);
  EXPECT_EQ(capabilities.size(), 9u);
  for (auto wanted : {ZEBUserCapabilityEnum::canReadContent, ZEBUserCapabilityEnum::canWriteContent,
                      ZEBUserCapabilityEnum::canUseMonitor, ZEBUserCapabilityEnum::canMoveData}) {
    EXPECT_NE(std::find(capabilities.begin(), capabilities.end(), wanted), capabilities.end()) << wanted;
  }
  // The caller's header lacks the session's passport, so a fresh one comes back carrying it.
  std::unique_ptr<ZEBVorbHeader> owned(newHeader);
  ASSERT_NE(newHeader, nullptr);
  ASSERT_NE(ZEBHelper::getPassport(newHeader), nullptr);
  EXPECT_EQ(ZEBHelper::getPassport(newHeader), session().getPassport());

  ZEBVorbHeader current;
  current.setPassport(session().getPassport().c_str());
  ZEBVorbHeader* unchanged = nullptr;
  DVLReportHelper::getCapabilities(current, session(), capabilities, &unchanged, &registry);
  EXPECT_EQ(unchanged, nullptr);

  logon("reader", "reader");
  DVLReportHelper::getCapabilities(current, session(), capabilities, nullptr, nullptr);
  EXPECT_EQ(capabilities, (std::vector<ZEBUserCapabilityEnum::Enum>{ZEBUserCapabilityEnum::canReadContent}));
}

TEST_F(LiveQuery, TheStandaloneCredentialOfANamespaceLogsOn) {
  DVLSaAXMQuery query(session(), nullptr, kUntrusted);
  query.setNamespace("LDAP");
  query.execute();
  ASSERT_NE(query.getAXMCredential(), nullptr);
  std::string credential = query.getAXMCredential();

  std::smatch user, password;
  ASSERT_TRUE(std::regex_search(credential, user, std::regex("<username>([^<]*)</username>"))) << credential;
  ASSERT_TRUE(std::regex_search(credential, password, std::regex("<password>([^<]*)</password>"))) << credential;
  EXPECT_EQ(user[1], "demo");

  ZEBLiveVorbTK other(settings());
  ZEBSOAPSessionI& fresh = *other.createSession();
  DVLLogon logon(fresh, nullptr, kUntrusted);
  logon.addCredentials("LDAP", user[1].str().c_str(), password[1].str().c_str(), 1);
  logon.execute();
  EXPECT_FALSE(static_cast<ZEBSOAPSession&>(fresh).getPassport().empty());

  DVLSaAXMQuery unknown(session(), nullptr, kUntrusted);
  unknown.setNamespace("Nowhere");
  EXPECT_EQ(faultOf([&] { unknown.execute(); }).getFaultString(),
            "no credential is available for the namespace 'Nowhere'");
  EXPECT_EQ(unknown.getAXMCredential(), nullptr);
}

}  // namespace
}  // namespace live
