// Queries over loopback HTTP against a folder the test fills through the library's adds: single
// queries by path and store identifier, lookups of a named child, cache-validated queries and
// capabilities (multiple queries, routing in request order and the standalone credential:
// tests/tools).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DVLAddDataMovementTask.h"
#include "DVLAddModel.h"
#include "DVLGetObject.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "DVLQueryMultipleCache.h"
#include "DVLReportHelper.h"
#include "LiveServer.h"

namespace live {
namespace {

// A folder holding three children of three classes, named so that name order and class order
// differ: the service's default order is by class.
class LiveQuery : public LiveServer {
 protected:
  void SetUp() override {
    LiveServer::SetUp();
    logon();
    folder = addFolder("/content", "Reports");
    output = addOutput(folder.path, "A-output");
    model = add<DVLAddModel>(folder.path, "B-model", [](DVLAddModel& m) { m.setModel("<model/>"); });
    task = add<DVLAddDataMovementTask>(folder.path, "C-task",
                                       [](DVLAddDataMovementTask& t) { t.setSpecification("<move/>"); });
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

TEST_F(LiveQuery, AFolderWithThreeChildrenByPathAndByStoreIdentifier) {
  DVLQuery query(session(), nullptr, kUntrusted);
  query.setPath((folder.path + "/*").c_str());
  query.execute();
  ASSERT_EQ(query.getObjectCount(), 3);
  const Stored* expected[] = {&task, &model, &output};  // the service's default order is by class
  const ZEBClassEnum::Enum classes[] = {ZEBClassEnum::dataMovementTask, ZEBClassEnum::model, ZEBClassEnum::output};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(query.getStoreID(i), expected[i]->storeId);
    EXPECT_EQ(query.getObjectClass(i), classes[i]);
  }
  EXPECT_STREQ(query.getName(1), "B-model");
  EXPECT_EQ(query.getPath(), task.path);
  // An index past the end gives the first object.
  EXPECT_EQ(query.getObject(5), query.getObject(0));

  DVLQuery byId(session(), nullptr, kUntrusted);
  byId.setStoreID(folder.storeId.c_str());
  byId.execute();
  ASSERT_EQ(byId.getObjectCount(), 1);
  EXPECT_EQ(byId.getObjectClass(0), ZEBClassEnum::folder);
  EXPECT_EQ(byId.getPath(), folder.path);
}

TEST_F(LiveQuery, ALookupFindsANamedChildAndItsParent) {
  DVLGetObject byPath(session(), nullptr, kUntrusted);
  byPath.setPath(folder.path.c_str());
  byPath.setChildName("B-model");
  byPath.execute();
  ASSERT_TRUE(byPath.wasFound());
  EXPECT_EQ(byPath.getStoreID(0), model.storeId);
  EXPECT_EQ(byPath.getParent(), folder.path);
  EXPECT_EQ(byPath.getParentStoreID(), folder.storeId);

  DVLGetObject byStoreId(session(), nullptr, kUntrusted);
  byStoreId.setStoreID(folder.storeId.c_str());
  byStoreId.setChildName("A-output");
  byStoreId.execute();
  EXPECT_EQ(byStoreId.getStoreID(0), output.storeId);
}

// A quote that ended the name early would select the sibling named by the name's first part, or
// make the path unreadable to the service.
TEST_F(LiveQuery, NamesWithQuotesFindTheirOwnObjectOnly) {
  const char* const names[] = {"O'Brien", "O", "say \"hi\"", "say ", "x", "x']/*[@name='y"};
  std::vector<std::string> ids;
  for (std::string name : names)  // "x" a folder, whose child the last name would reach if it were cut
    ids.push_back((name == "x" ? addFolder(folder.path, name) : addOutput(folder.path, name)).storeId);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(childStoreId(names[i]), ids[i]) << names[i];
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
  EXPECT_EQ(count, 3);
  EXPECT_EQ(validate(first, &count), first);

  addOutput(folder.path, "D-output");
  std::string second = validate(first, &count);
  EXPECT_NE(second, first);
  EXPECT_EQ(count, 4);
}

TEST_F(LiveQuery, CapabilitiesAreThoseOfTheLoggedOnAccount) {
  ZEBVorbHeader noPassport;
  std::vector<ZEBUserCapabilityEnum::Enum> capabilities{ZEBUserCapabilityEnum::canMoveData};
  ZEBObjectRegistry registry;
  ZEBVorbHeader* newHeader = nullptr;
  DVLReportHelper::getCapabilities(noPassport, session(), capabilities, &newHeader, &registry);
  std::unique_ptr<ZEBVorbHeader> owned(newHeader);
  EXPECT_EQ(capabilities.size(), 9u);  // the demo account has them all
  // The caller's header lacks the session's passport, so a fresh one comes back carrying it.
  ASSERT_TRUE(newHeader && ZEBHelper::getPassport(newHeader));
  EXPECT_EQ(ZEBHelper::getPassport(newHeader), session().getPassport());
  // A header that already carries it gets none.
  ZEBVorbHeader* again = nullptr;
  DVLReportHelper::getCapabilities(*newHeader, session(), capabilities, &again, &registry);
  EXPECT_EQ(again, nullptr);
}

}  // namespace
}  // namespace live
