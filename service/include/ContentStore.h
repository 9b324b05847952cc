// The content store of dvl-contentd: a tree of objects in SQLite (WAL, synchronous=FULL, so that an
// acknowledged change survives a crash), each with a random store identifier, a class, a name, the
// properties it was given, and documents kept byte for byte as files beside the database, named by
// their SHA-256. One connection serves every caller; a transaction holds it for its whole length, so
// readers see one state and there is one writer at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class ZEBDocumentOutputI;

namespace dvlservice {

// The database or the document directory failed; the message names what was being done.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ObjectRecord {
  int64_t id = 0;
  int64_t parent = 0;  // 0 for the root
  std::string storeId;
  std::string objectClass;  // a name of the schema's class enumeration
  std::string name;
  std::string created;  // ISO 8601 UTC
  std::string modified;
};

// One value of a property: a single text, or a keyed entry of a list (locale and text, option name
// and value, parameter name and values, reference class and path).
struct PropertyItem {
  std::string key;
  std::vector<std::string> values;
  bool operator==(const PropertyItem& o) const { return key == o.key && values == o.values; }
};
using PropertyValue = std::vector<PropertyItem>;
using PropertyMap = std::map<std::string, PropertyValue>;

struct DocumentRecord {
  std::string property;  // "data", "context", "model"
  std::string contentType;
  std::string sha256;
  int64_t size = 0;
  std::string path;  // the file that holds the bytes
};

// A document copied into the store's directory and not yet part of an object. Its file goes away
// with it unless a transaction took it.
class StagedDocument {
 public:
  StagedDocument() = default;
  ~StagedDocument();
  StagedDocument(StagedDocument&& other) noexcept;
  StagedDocument& operator=(StagedDocument&& other) noexcept;
  StagedDocument(const StagedDocument&) = delete;
  StagedDocument& operator=(const StagedDocument&) = delete;

  const std::string& sha256() const { return m_sha256; }
  int64_t size() const { return m_size; }
  const std::string& contentType() const { return m_contentType; }

 private:
  friend class ContentStore;
  std::string m_tempPath, m_sha256, m_contentType;
  int64_t m_size = 0;
};

struct NewObject {
  std::string objectClass;
  std::string name;
  PropertyMap properties;
  std::vector<std::pair<std::string, const StagedDocument*>> documents;  // (property, document)
};

class ContentStore {
 public:
  static constexpr const char* kMemory = ":memory:";

  // Opens or creates the store. A file store keeps its documents in "<path>.documents/"; a store in
  // memory keeps them in a temporary directory that is removed with the store. A new store holds
  // the root object alone.
  explicit ContentStore(const std::string& path);
  ~ContentStore();
  ContentStore(const ContentStore&) = delete;
  ContentStore& operator=(const ContentStore&) = delete;

  // Copies a document into the store's directory, computing its SHA-256 on the way. Done before a
  // transaction so that a large document does not hold the store. maxBytes < 0: no limit.
  StagedDocument stage(ZEBDocumentOutputI& source, const std::string& contentType, int64_t maxBytes = -1);
  StagedDocument stage(const std::string& bytes, const std::string& contentType);

  class Transaction {
   public:
    Transaction(Transaction&& other) noexcept;
    ~Transaction();  // rolls back what was not committed
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    int64_t rootId();
    std::unique_ptr<ObjectRecord> object(int64_t id);
    std::unique_ptr<ObjectRecord> objectByStoreId(const std::string& storeId);
    std::unique_ptr<ObjectRecord> child(int64_t parent, const std::string& name);
    std::vector<ObjectRecord> children(int64_t parent);  // ordered by name
    std::vector<ObjectRecord> descendants(int64_t id);   // depth first, each level by name
    std::vector<ObjectRecord> ancestors(int64_t id);     // root first, without the object itself
    PropertyMap properties(int64_t id);
    std::vector<DocumentRecord> documents(int64_t id);
    // (object, value) of every stored value of the named properties, for reference checks.
    std::vector<std::pair<int64_t, PropertyItem>> propertyItems(const std::string& property);
    // Counts every change committed to the store; a new store starts at 1.
    uint64_t generation();
    // Random text fixed when the store was created; with the generation it makes a cache validator.
    const std::string& instance() const;

    // Writes (write transactions only).
    ObjectRecord insert(int64_t parent, const NewObject& object);
    // Sets properties and documents of an object. With replaceAll every earlier property and
    // document goes; otherwise only those named in `changes` are replaced.
    void update(int64_t id, const NewObject& changes, bool replaceAll);
    // Deletes the object and everything below it; returns how many objects went.
    size_t remove(int64_t id);
    // Keeps the changes and frees the store; the transaction cannot be used afterwards.
    void commit();

   private:
    friend class ContentStore;
    Transaction(ContentStore& store, bool write);
    void requireWrite();
    ContentStore& db();  // the store, while the transaction is open
    void placeDocument(int64_t id, const std::string& property, const StagedDocument& document);

    ContentStore* m_store;
    std::unique_lock<std::mutex> m_lock;
    bool m_write;
    bool m_open = false;
    bool m_changed = false;
    std::vector<std::string> m_placedFiles;    // files this transaction moved into place
    std::vector<std::string> m_droppedHashes;  // documents that may have lost their last object
  };

  Transaction read();
  Transaction write();

  const std::string& getPath() const { return m_path; }
  const std::string& getDocumentDirectory() const { return m_documentDir; }

 private:
  friend class Transaction;
  class Statement;
  Statement statement(const char* sql);
  void exec(const char* sql);
  [[noreturn]] void fail(const std::string& doing) const;
  std::string documentFile(const std::string& sha256) const;
  void removeUnreferencedFiles();
  void removeFileIfUnreferenced(const std::string& sha256);

  std::string m_path;
  std::string m_documentDir;
  bool m_inMemory;
  sqlite3* m_db = nullptr;
  std::mutex m_lock;
  std::map<std::string, sqlite3_stmt*> m_statements;
  std::string m_instance;
};

}  // namespace dvlservice
