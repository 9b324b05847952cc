// The content store of dvl-contentd: a tree of objects, each with a random store identifier, a class,
// a name, the properties it was given, and documents kept byte for byte; the logon sessions; and a
// few settings every server sharing the store must agree on (credential key, cache validator).
//
// One interface, two backends chosen by the location text:
//  - a file path or ":memory:": SQLite (WAL, synchronous=FULL, documents as files beside the
//    database, named by their SHA-256), one server per file;
//  - "postgresql://..." (or "postgres://..."): PostgreSQL, documents as large objects in the
//    database, any number of servers on one database. Concurrency comes from the database: unique
//    constraints and transactions; a write that lost a race raises StoreConflict and is run again.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class ZEBDocumentOutputI;

namespace dvlservice {

// The database or the document directory failed; the message names what was being done.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A write lost a race with another transaction (a unique name taken meanwhile, a serialization
// failure, a deadlock); running the whole operation again gives the answer one server would give.
class StoreConflict : public StoreError {
 public:
  using StoreError::StoreError;
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
  std::string path;  // SQLite: the file that holds the bytes
  int64_t blob = 0;  // PostgreSQL: the large object that holds them
};

// A logon session as the store keeps it: under a hash of its passport, never the passport.
struct StoredSession {
  std::string sessionId;
  std::string nameSpace, userName;
  int64_t lastUseMs = 0;  // milliseconds of the service's clock
};

// What a backend keeps of a staged document until a transaction takes it or it is dropped.
class StagedBody {
 public:
  virtual ~StagedBody() = default;
};

// A document copied into the store and not yet part of an object. It goes away with this object
// unless a committed transaction took it.
class StagedDocument {
 public:
  const std::string& sha256() const { return m_sha256; }
  int64_t size() const { return m_size; }
  const std::string& contentType() const { return m_contentType; }

  std::string m_sha256, m_contentType;
  int64_t m_size = 0;
  std::unique_ptr<StagedBody> m_body;
};

struct NewObject {
  std::string objectClass;
  std::string name;
  PropertyMap properties;
  std::vector<std::pair<std::string, const StagedDocument*>> documents;  // (property, document)
};

// One transaction of a backend. Rolls back in its destructor what was not committed.
class StoreTransaction {
 public:
  virtual ~StoreTransaction() = default;
  virtual int64_t rootId() = 0;
  virtual std::unique_ptr<ObjectRecord> object(int64_t id) = 0;
  virtual std::unique_ptr<ObjectRecord> objectByStoreId(const std::string& storeId) = 0;
  virtual std::unique_ptr<ObjectRecord> child(int64_t parent, const std::string& name) = 0;
  virtual std::vector<ObjectRecord> children(int64_t parent) = 0;
  virtual std::vector<ObjectRecord> descendants(int64_t id) = 0;
  virtual std::vector<ObjectRecord> ancestors(int64_t id) = 0;
  virtual PropertyMap properties(int64_t id) = 0;
  virtual std::vector<DocumentRecord> documents(int64_t id) = 0;
  virtual std::string readDocument(const DocumentRecord& document, int64_t skip, int64_t length) = 0;
  virtual std::vector<std::pair<int64_t, PropertyItem>> propertyItems(const std::string& property) = 0;
  virtual uint64_t generation() = 0;
  virtual const std::string& instance() const = 0;
  virtual ObjectRecord insert(int64_t parent, const NewObject& object) = 0;
  virtual void update(int64_t id, const NewObject& changes, bool replaceAll) = 0;
  virtual size_t remove(int64_t id) = 0;
  virtual void putSession(const std::string& passportHash, const StoredSession& session) = 0;
  virtual std::optional<StoredSession> session(const std::string& passportHash) = 0;
  virtual void touchSession(const std::string& passportHash, int64_t lastUseMs) = 0;
  virtual bool dropSession(const std::string& passportHash) = 0;
  virtual size_t dropSessionsUsedBefore(int64_t lastUseMs) = 0;
  virtual std::optional<std::string> setting(const std::string& name) = 0;
  // Stores the value unless the setting has one; returns the value the store keeps.
  virtual std::string initSetting(const std::string& name, const std::string& value) = 0;
  virtual void commit() = 0;
};

class StoreBackend {
 public:
  virtual ~StoreBackend() = default;
  virtual std::unique_ptr<StoreTransaction> begin(bool write) = 0;
  virtual StagedDocument stage(ZEBDocumentOutputI& source, const std::string& contentType, int64_t maxBytes) = 0;
  virtual std::string documentDirectory() const { return std::string(); }
};

class ContentStore {
 public:
  static constexpr const char* kMemory = ":memory:";
  // The schema version this build writes; a store with a newer one is refused, an older one upgraded.
  static constexpr int kSchemaVersion = 2;

  // Opens or creates the store at location (see above). A SQLite file store keeps its documents in
  // "<path>.documents/"; a store in memory keeps them in a temporary directory removed with it. A new
  // store holds the root object alone.
  explicit ContentStore(const std::string& location);
  ~ContentStore();
  ContentStore(const ContentStore&) = delete;
  ContentStore& operator=(const ContentStore&) = delete;

  static bool isPostgres(const std::string& location);

  // Copies a document into the store, computing its SHA-256 on the way. Done before a transaction so
  // that a large document does not hold the store. maxBytes < 0: no limit.
  StagedDocument stage(ZEBDocumentOutputI& source, const std::string& contentType, int64_t maxBytes = -1);
  StagedDocument stage(const std::string& bytes, const std::string& contentType);

  class Transaction {
   public:
    explicit Transaction(std::unique_ptr<StoreTransaction> impl) : m(std::move(impl)) {}
    Transaction(Transaction&&) noexcept = default;
    Transaction& operator=(Transaction&&) noexcept = default;

    int64_t rootId() { return get().rootId(); }
    std::unique_ptr<ObjectRecord> object(int64_t id) { return get().object(id); }
    std::unique_ptr<ObjectRecord> objectByStoreId(const std::string& s) { return get().objectByStoreId(s); }
    std::unique_ptr<ObjectRecord> child(int64_t parent, const std::string& name) { return get().child(parent, name); }
    std::vector<ObjectRecord> children(int64_t parent) { return get().children(parent); }  // ordered by name
    // Depth first, each level by name.
    std::vector<ObjectRecord> descendants(int64_t id) { return get().descendants(id); }
    // Root first, without the object itself.
    std::vector<ObjectRecord> ancestors(int64_t id) { return get().ancestors(id); }
    PropertyMap properties(int64_t id) { return get().properties(id); }
    std::vector<DocumentRecord> documents(int64_t id) { return get().documents(id); }
    // length bytes of the document from skip on; length < 0: to the end.
    std::string readDocument(const DocumentRecord& d, int64_t skip = 0, int64_t length = -1) {
      return get().readDocument(d, skip, length);
    }
    // (object, value) of every stored value of the named properties, for reference checks.
    std::vector<std::pair<int64_t, PropertyItem>> propertyItems(const std::string& property) {
      return get().propertyItems(property);
    }
    // Counts every change committed to the store; a new store starts at 1.
    uint64_t generation() { return get().generation(); }
    // Random text fixed when the store was created; with the generation it makes a cache validator.
    const std::string& instance() { return get().instance(); }

    // Writes (write transactions only).
    ObjectRecord insert(int64_t parent, const NewObject& object) { return get().insert(parent, object); }
    // Sets properties and documents of an object. With replaceAll every earlier property and
    // document goes; otherwise only those named in `changes` are replaced.
    void update(int64_t id, const NewObject& changes, bool replaceAll) { get().update(id, changes, replaceAll); }
    // Deletes the object and everything below it; returns how many objects went.
    size_t remove(int64_t id) { return get().remove(id); }

    // Logon sessions, by the hash of their passport. Changing them does not count as a change.
    void putSession(const std::string& hash, const StoredSession& s) { get().putSession(hash, s); }
    std::optional<StoredSession> session(const std::string& hash) { return get().session(hash); }
    void touchSession(const std::string& hash, int64_t lastUseMs) { get().touchSession(hash, lastUseMs); }
    bool dropSession(const std::string& hash) { return get().dropSession(hash); }
    size_t dropSessionsUsedBefore(int64_t lastUseMs) { return get().dropSessionsUsedBefore(lastUseMs); }
    // Settings every server on the store shares (credential key and the like).
    std::optional<std::string> setting(const std::string& name) { return get().setting(name); }
    std::string initSetting(const std::string& name, const std::string& value) {
      return get().initSetting(name, value);
    }

    // Keeps the changes and frees the store; the transaction cannot be used afterwards.
    void commit() {
      get().commit();
      m.reset();
    }

   private:
    StoreTransaction& get() {
      if (!m) throw StoreError("the transaction has already ended");
      return *m;
    }
    std::unique_ptr<StoreTransaction> m;
  };

  Transaction read() { return Transaction(m_backend->begin(false)); }
  Transaction write() { return Transaction(m_backend->begin(true)); }
  // True while the store answers a trivial read.
  bool ping();

  const std::string& getPath() const { return m_location; }
  // SQLite: where the document files are; empty for PostgreSQL.
  std::string getDocumentDirectory() const { return m_backend->documentDirectory(); }

 private:
  std::string m_location;
  std::unique_ptr<StoreBackend> m_backend;
};

// The backends (service/src/store/).
std::unique_ptr<StoreBackend> openSqliteStore(const std::string& path);
std::unique_ptr<StoreBackend> openPostgresStore(const std::string& uri);

}  // namespace dvlservice
