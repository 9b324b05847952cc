// The content store: the object tree, transactions, and schema versions. Documents byte for byte
// across restarts, and files shared by equal documents until the last goes: the durability test;
// every byte value: the live add tests.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "ContentStore.h"
#include "ZEBSession.h"
#include "support/Files.h"
#include "support/TestStore.h"

using dvlservice::ContentStore;
using dvlservice::NewObject;
using dvlservice::ObjectRecord;
using dvlservice::StagedDocument;
using dvlservice::StoreError;

namespace {

NewObject object(const std::string& objectClass, const std::string& name) {
  NewObject o;
  o.objectClass = objectClass;
  o.name = name;
  return o;
}

// On a fresh store of the backend under test (DVL_TEST_STORE).
class StoreTest : public testing::Test {
 protected:
  explicit StoreTest(const std::string& location = teststore::fresh()) : store(location) {}
  ContentStore store;

  ObjectRecord add(int64_t parent, const std::string& objectClass, const std::string& name) {
    auto tx = store.write();
    ObjectRecord r = tx.insert(parent, object(objectClass, name));
    tx.commit();
    return r;
  }
  int64_t root() { return store.read().rootId(); }
  size_t remove(int64_t id) {
    auto tx = store.write();
    size_t removed = tx.remove(id);
    tx.commit();
    return removed;
  }
};

TEST_F(StoreTest, ObjectsAreFoundByStoreIdNameAndTreeWalks) {
  ObjectRecord content = add(root(), "folder", "content");
  add(content.id, "folder", "b");
  ObjectRecord a = add(content.id, "folder", "a");
  add(a.id, "output", "a2");
  ObjectRecord a1 = add(a.id, "output", "a1");
  {
    auto tx = store.read();
    EXPECT_EQ(tx.objectByStoreId(a1.storeId)->id, a1.id);
    EXPECT_EQ(tx.child(a.id, "a1")->objectClass, "output");
    EXPECT_FALSE(tx.child(a.id, "A1"));  // names are exact
    EXPECT_FALSE(tx.objectByStoreId("no such id"));
    auto names = [](const std::vector<ObjectRecord>& records) {
      std::vector<std::string> out;
      for (const ObjectRecord& o : records) out.push_back(o.name);
      return out;
    };
    EXPECT_EQ(names(tx.children(content.id)), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(names(tx.descendants(content.id)), (std::vector<std::string>{"a", "a1", "a2", "b"}));
    EXPECT_EQ(names(tx.ancestors(a1.id)), (std::vector<std::string>{"", "content", "a"}));
  }
  {
    // A read does not wait for a write under way, and sees what was last committed.
    auto tx = store.write();
    tx.insert(content.id, object("report", "c"));
    EXPECT_FALSE(store.read().child(content.id, "c"));
    tx.commit();
    EXPECT_TRUE(store.read().child(content.id, "c"));
  }
  auto tx = store.write();
  EXPECT_THROW(tx.insert(content.id, object("report", "a")), StoreError);  // a name taken under one parent
}

// How the SQLite backend keeps documents as files.
class StoreFiles : public StoreTest {
 protected:
  StoreFiles() : StoreTest(ContentStore::kMemory) {}
};

TEST_F(StoreFiles, ARolledBackAddLeavesNeitherObjectNorFile) {
  StagedDocument staged = store.stage(std::string(1000, '\xfe'), "application/octet-stream");
  std::string path;
  {
    auto tx = store.write();
    NewObject o = object("output", "never");
    o.documents.emplace_back("data", &staged);
    ObjectRecord r = tx.insert(tx.rootId(), o);
    path = tx.documents(r.id).front().path;
    EXPECT_TRUE(std::filesystem::exists(path));
  }  // no commit
  auto tx = store.read();
  EXPECT_FALSE(tx.child(tx.rootId(), "never"));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(StoreTest, StagingStopsAtTheLimit) {
  std::string bytes(5000, 'x');
  ZEBMemoryDocumentOutput source(bytes.data(), bytes.size());
  EXPECT_THROW(store.stage(source, "text/plain", 4999), StoreError);
  EXPECT_NO_THROW(store.stage(source, "text/plain", 5000));
}

// A store written by an older server is brought up to date when opened; one written by a newer
// server is refused, and left as it was.
TEST(StoreFile, AnOlderSchemaIsUpgradedAndANewerOneRefused) {
  TempDir dir;
  const std::string path = dir / "content.db";
  auto sql = [&](const char* statement) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, statement, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  };
  { ContentStore made(path); }
  sql("DROP TABLE sessions; UPDATE meta SET value = '1' WHERE key = 'schemaVersion'");  // as version 1 left it
  {
    ContentStore upgraded(path);
    auto tx = upgraded.write();
    tx.putSession("hash", {"id", "LDAP", "demo", 1});
    EXPECT_EQ(tx.session("hash")->userName, "demo");
  }
  sql("UPDATE meta SET value = '99' WHERE key = 'schemaVersion'");
  try {
    ContentStore refused(path);
    ADD_FAILURE() << "a store of schema version 99 was opened";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
  }
}

// Also through a symbolic link to the file. A new database is for its owner only: it holds the
// credential key.
TEST(StoreFile, ASecondStoreOnTheSameFileIsRefused) {
  TempDir dir;
  ContentStore first(dir / "content.db");
  EXPECT_EQ(std::filesystem::status(dir / "content.db").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::filesystem::create_symlink(dir / "content.db", dir / "link.db");
  for (const char* name : {"content.db", "link.db"}) {
    try {
      ContentStore second(dir / name);
      ADD_FAILURE() << "a second store was opened on " << name;
    } catch (const StoreError& e) {
      EXPECT_NE(std::string(e.what()).find("in use by another server"), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "link.db.documents"));
}

}  // namespace
