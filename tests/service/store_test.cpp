// The content store: the object tree, properties, documents kept byte for byte, transactions, and
// what survives closing and reopening the database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "ContentStore.h"
#include "ZEBSession.h"

using dvlservice::ContentStore;
using dvlservice::NewObject;
using dvlservice::ObjectRecord;
using dvlservice::PropertyItem;
using dvlservice::PropertyMap;
using dvlservice::StagedDocument;
using dvlservice::StoreError;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dvl-store-test-XXXXXX").string();
    m_path = ::mkdtemp(&pattern[0]);
  }
  ~TempDir() { std::filesystem::remove_all(m_path); }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

NewObject object(const std::string& objectClass, const std::string& name) {
  NewObject o;
  o.objectClass = objectClass;
  o.name = name;
  return o;
}

class StoreTest : public testing::Test {
 protected:
  ContentStore store{ContentStore::kMemory};

  ObjectRecord add(int64_t parent, const std::string& objectClass, const std::string& name) {
    auto tx = store.write();
    ObjectRecord r = tx.insert(parent, object(objectClass, name));
    tx.commit();
    return r;
  }
  int64_t root() { return store.read().rootId(); }
};

TEST_F(StoreTest, ANewStoreHoldsTheRootAlone) {
  auto tx = store.read();
  auto r = tx.object(tx.rootId());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->objectClass, "root");
  EXPECT_EQ(r->parent, 0);
  EXPECT_TRUE(tx.children(r->id).empty());
}

TEST_F(StoreTest, ObjectsAreFoundByIdStoreIdAndNameUnderTheirParent) {
  ObjectRecord content = add(root(), "folder", "content");
  ObjectRecord report = add(content.id, "report", "Sales");
  EXPECT_EQ(report.storeId.size(), 32u);
  EXPECT_NE(report.storeId, content.storeId);
  EXPECT_FALSE(report.created.empty());

  auto tx = store.read();
  EXPECT_EQ(tx.object(report.id)->name, "Sales");
  EXPECT_EQ(tx.objectByStoreId(report.storeId)->id, report.id);
  EXPECT_EQ(tx.child(content.id, "Sales")->objectClass, "report");
  EXPECT_FALSE(tx.child(content.id, "sales"));  // names are exact
  EXPECT_FALSE(tx.objectByStoreId("no such id"));
}

TEST_F(StoreTest, TwoObjectsOfOneParentCannotShareAName) {
  ObjectRecord content = add(root(), "folder", "content");
  add(content.id, "folder", "Sales");
  auto tx = store.write();
  EXPECT_THROW(tx.insert(content.id, object("report", "Sales")), StoreError);
}

TEST_F(StoreTest, TreeWalksComeInNameOrderDepthFirstAndAncestorsFromTheRoot) {
  ObjectRecord content = add(root(), "folder", "content");
  ObjectRecord b = add(content.id, "folder", "b");
  ObjectRecord a = add(content.id, "folder", "a");
  ObjectRecord a2 = add(a.id, "output", "a2");
  ObjectRecord a1 = add(a.id, "output", "a1");
  auto tx = store.read();

  std::vector<std::string> names;
  for (const ObjectRecord& o : tx.children(content.id)) names.push_back(o.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
  names.clear();
  for (const ObjectRecord& o : tx.descendants(content.id)) names.push_back(o.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "a1", "a2", "b"}));
  names.clear();
  for (const ObjectRecord& o : tx.ancestors(a1.id)) names.push_back(o.name);
  EXPECT_EQ(names, (std::vector<std::string>{"", "content", "a"}));
  EXPECT_TRUE(tx.ancestors(tx.rootId()).empty());
  (void)b;
  (void)a2;
}

TEST_F(StoreTest, PropertiesComeBackAsGiven) {
  NewObject o = object("report", "r");
  o.properties["defaultDescription"] = {PropertyItem{"", {"a description"}}};
  o.properties["parameters"] = {PropertyItem{"region", {"north", "south"}}, PropertyItem{"none", {}},
                                PropertyItem{"empty text", {""}}};
  o.properties["options"] = {};  // present, but an empty list
  auto tx = store.write();
  ObjectRecord r = tx.insert(tx.rootId(), o);
  tx.commit();

  PropertyMap back = store.read().properties(r.id);
  EXPECT_EQ(back, o.properties);
}

TEST_F(StoreTest, UpdateReplacesOnlyWhatItNamesUnlessItReplacesAll) {
  NewObject o = object("report", "r");
  o.properties["defaultDescription"] = {PropertyItem{"", {"old"}}};
  o.properties["specification"] = {PropertyItem{"", {"<spec/>"}}};
  ObjectRecord r;
  {
    auto tx = store.write();
    r = tx.insert(tx.rootId(), o);
    tx.commit();
  }
  NewObject change;
  change.properties["defaultDescription"] = {PropertyItem{"", {"new"}}};
  {
    auto tx = store.write();
    tx.update(r.id, change, false);
    tx.commit();
  }
  PropertyMap merged = store.read().properties(r.id);
  EXPECT_EQ(merged["defaultDescription"].front().values.front(), "new");
  EXPECT_EQ(merged.count("specification"), 1u);
  {
    auto tx = store.write();
    tx.update(r.id, change, true);
    tx.commit();
  }
  PropertyMap replaced = store.read().properties(r.id);
  EXPECT_EQ(replaced.size(), 1u);
  EXPECT_EQ(replaced.count("specification"), 0u);
}

TEST_F(StoreTest, DocumentsAreKeptByteForByte) {
  std::string bytes = randomBytes(3 * 1024 * 1024 + 17, 7);  // every byte value, past one read buffer
  StagedDocument staged = store.stage(bytes, "application/pdf");
  EXPECT_EQ(staged.size(), static_cast<int64_t>(bytes.size()));
  NewObject o = object("output", "report.pdf");
  o.documents.emplace_back("data", &staged);
  ObjectRecord r;
  {
    auto tx = store.write();
    r = tx.insert(tx.rootId(), o);
    tx.commit();
  }
  auto documents = store.read().documents(r.id);
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents[0].property, "data");
  EXPECT_EQ(documents[0].contentType, "application/pdf");
  EXPECT_EQ(documents[0].size, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(documents[0].sha256, staged.sha256());
  EXPECT_TRUE(fileBytes(documents[0].path) == bytes);
}

TEST_F(StoreTest, OneFileServesEqualDocumentsUntilTheLastObjectGoes) {
  StagedDocument first = store.stage(std::string("same bytes"), "text/plain");
  StagedDocument second = store.stage(std::string("same bytes"), "text/plain");
  ObjectRecord a, b;
  {
    auto tx = store.write();
    NewObject oa = object("output", "a"), ob = object("output", "b");
    oa.documents.emplace_back("data", &first);
    ob.documents.emplace_back("data", &second);
    a = tx.insert(tx.rootId(), oa);
    b = tx.insert(tx.rootId(), ob);
    tx.commit();
  }
  std::string path = store.read().documents(a.id).front().path;
  EXPECT_EQ(store.read().documents(b.id).front().path, path);
  {
    auto tx = store.write();
    tx.remove(a.id);
    tx.commit();
  }
  EXPECT_TRUE(std::filesystem::exists(path));
  {
    auto tx = store.write();
    tx.remove(b.id);
    tx.commit();
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(StoreTest, ARolledBackAddLeavesNeitherObjectNorFile) {
  StagedDocument staged = store.stage(randomBytes(1000, 3), "application/octet-stream");
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

TEST_F(StoreTest, RemovingAnObjectRemovesEverythingBelowIt) {
  ObjectRecord top = add(root(), "folder", "top");
  ObjectRecord mid = add(top.id, "folder", "mid");
  add(mid.id, "output", "leaf1");
  add(mid.id, "output", "leaf2");
  ObjectRecord other = add(root(), "folder", "other");
  size_t removed;
  {
    auto tx = store.write();
    removed = tx.remove(top.id);
    tx.commit();
  }
  EXPECT_EQ(removed, 4u);
  auto tx = store.read();
  EXPECT_FALSE(tx.object(mid.id));
  EXPECT_TRUE(tx.object(other.id));
  EXPECT_TRUE(tx.properties(mid.id).empty());
}

TEST_F(StoreTest, TheGenerationCountsCommittedChangesOnly) {
  uint64_t start = store.read().generation();
  add(root(), "folder", "x");
  EXPECT_EQ(store.read().generation(), start + 1);
  {
    auto tx = store.write();
    tx.insert(tx.rootId(), object("folder", "rolled back"));
  }
  {
    auto tx = store.write();
    tx.commit();  // nothing changed
  }
  EXPECT_EQ(store.read().generation(), start + 1);
}

TEST_F(StoreTest, AReadTransactionCannotWrite) {
  auto tx = store.read();
  EXPECT_THROW(tx.insert(tx.rootId(), object("folder", "x")), StoreError);
}

TEST_F(StoreTest, StagingStopsAtTheLimit) {
  std::string bytes(5000, 'x');
  ZEBMemoryDocumentOutput source(bytes.data(), bytes.size());
  EXPECT_THROW(store.stage(source, "text/plain", 4999), StoreError);
  EXPECT_NO_THROW(store.stage(source, "text/plain", 5000));
}

TEST(StoreFile, ObjectsAndDocumentsSurviveReopening) {
  TempDir dir;
  std::string path = dir.path() + "/content.db";
  std::string bytes = randomBytes(200000, 11);
  std::string storeId, instance;
  {
    ContentStore store(path);
    StagedDocument staged = store.stage(bytes, "application/pdf");
    auto tx = store.write();
    NewObject o = object("output", "kept.pdf");
    o.properties["format"] = {PropertyItem{"", {"PDF"}}};
    o.documents.emplace_back("data", &staged);
    storeId = tx.insert(tx.rootId(), o).storeId;
    instance = tx.instance();
    tx.commit();
  }
  ContentStore reopened(path);
  auto tx = reopened.read();
  auto r = tx.objectByStoreId(storeId);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "kept.pdf");
  EXPECT_EQ(tx.properties(r->id)["format"].front().values.front(), "PDF");
  EXPECT_TRUE(fileBytes(tx.documents(r->id).front().path) == bytes);
  EXPECT_EQ(tx.instance(), instance);
  EXPECT_EQ(reopened.getDocumentDirectory(), path + ".documents");
}

TEST(StoreFile, OpeningRemovesFilesThatNoObjectHolds) {
  TempDir dir;
  std::string path = dir.path() + "/content.db";
  std::string stray, staged;
  {
    ContentStore store(path);
    std::filesystem::create_directories(store.getDocumentDirectory() + "/ab");
    stray = store.getDocumentDirectory() + "/ab/ab00000000000000000000000000000000000000000000000000000000000000";
    staged = store.getDocumentDirectory() + "/incoming/left-by-a-crash";
    std::ofstream(stray) << "orphan";
    std::ofstream(staged) << "half a document";
  }
  ContentStore reopened(path);
  EXPECT_FALSE(std::filesystem::exists(stray));
  EXPECT_FALSE(std::filesystem::exists(staged));
}

TEST(StoreFile, ASecondStoreOnTheSameFileIsRefused) {
  TempDir dir;
  std::string path = dir.path() + "/content.db";
  ContentStore first(path);
  EXPECT_THROW(ContentStore second(path), StoreError);
}

TEST(StoreFile, AStoreInMemoryRemovesItsDocumentsWhenItCloses) {
  std::string documents;
  {
    ContentStore store(ContentStore::kMemory);
    documents = store.getDocumentDirectory();
    EXPECT_TRUE(std::filesystem::is_directory(documents));
  }
  EXPECT_FALSE(std::filesystem::exists(documents));
}

}  // namespace
