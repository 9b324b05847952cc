// What the SQLite and PostgreSQL backends share: the transaction logic over one SQL connection, with
// statements written once ($1, $2, ... parameters, which both engines read) and the few places where
// the engines differ (schema, documents, locking) left to the backend.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ContentStore.h"

namespace dvlservice {

using SqlValue = std::variant<std::nullptr_t, int64_t, std::string>;

struct SqlRow {
  std::vector<std::optional<std::string>> columns;
  bool isNull(size_t i) const { return !columns[i]; }
  const std::string& text(size_t i) const;
  int64_t integer(size_t i) const;
};

class SqlConnection {
 public:
  virtual ~SqlConnection() = default;
  // Runs one statement (prepared once per connection, by its text) and returns its rows. Raises
  // StoreConflict when it lost a race, StoreError for any other failure.
  virtual std::vector<SqlRow> run(const char* sql, const std::vector<SqlValue>& params = {}) = 0;
  // Runs statements without parameters or rows (schema, BEGIN, COMMIT).
  virtual void script(const std::string& sql) = 0;
};

// The statements the engines spell differently.
struct SqlDialect {
  const char* bumpGeneration;
  const char* documentKey;  // the column that names a document's bytes: sha256 or blob
};

std::string nowUtc();

class SqlTransaction;

// The backend's part of a transaction: a connection held for its length and the documents.
class SqlBackendHooks {
 public:
  virtual ~SqlBackendHooks() = default;
  virtual const SqlDialect& dialect() const = 0;
  virtual const std::string& instanceText() const = 0;
  virtual void placeDocument(SqlTransaction& tx, int64_t object, const std::string& property,
                             const StagedDocument& document) = 0;
  virtual void fillDocument(DocumentRecord& record, const SqlRow& row) = 0;  // row: ..., key at column 4
  virtual std::string readDocument(SqlConnection& c, const DocumentRecord& document, int64_t skip, int64_t length) = 0;
  // The keys of documents that lost their object in this transaction.
  virtual void dropDocuments(SqlTransaction& tx, const std::vector<std::string>& keys) = 0;
  virtual void afterCommit(SqlTransaction&) {}
  virtual void afterRollback(SqlTransaction&) {}
};

class SqlTransaction : public StoreTransaction {
 public:
  // release gives the connection back; called once, after commit or rollback.
  SqlTransaction(SqlBackendHooks& hooks, SqlConnection& connection, bool write, std::function<void()> release);
  ~SqlTransaction() override;

  int64_t rootId() override;
  std::unique_ptr<ObjectRecord> object(int64_t id) override;
  std::unique_ptr<ObjectRecord> objectByStoreId(const std::string& storeId) override;
  std::unique_ptr<ObjectRecord> child(int64_t parent, const std::string& name) override;
  std::vector<ObjectRecord> children(int64_t parent) override;
  std::vector<ObjectRecord> descendants(int64_t id) override;
  std::vector<ObjectRecord> ancestors(int64_t id) override;
  PropertyMap properties(int64_t id) override;
  std::vector<DocumentRecord> documents(int64_t id) override;
  std::string readDocument(const DocumentRecord& document, int64_t skip, int64_t length) override;
  std::vector<std::pair<int64_t, PropertyItem>> propertyItems(const std::string& property) override;
  uint64_t generation() override;
  const std::string& instance() const override { return m_hooks.instanceText(); }
  ObjectRecord insert(int64_t parent, const NewObject& object) override;
  void update(int64_t id, const NewObject& changes, bool replaceAll) override;
  size_t remove(int64_t id) override;
  void putSession(const std::string& passportHash, const StoredSession& session) override;
  std::optional<StoredSession> session(const std::string& passportHash) override;
  void touchSession(const std::string& passportHash, int64_t lastUseMs) override;
  bool dropSession(const std::string& passportHash) override;
  size_t dropSessionsUsedBefore(int64_t lastUseMs) override;
  std::optional<std::string> setting(const std::string& name) override;
  std::string initSetting(const std::string& name, const std::string& value) override;
  void commit() override;

  SqlConnection& connection() { return m_connection; }
  // Backend bookkeeping that lives as long as the transaction.
  std::vector<std::string> placedFiles, droppedKeys;
  std::vector<int64_t> placedBlobs;

 private:
  void requireWrite();
  void finish();

  SqlBackendHooks& m_hooks;
  SqlConnection& m_connection;
  bool m_write;
  bool m_open = true;
  bool m_changed = false;
  int64_t m_rootId = 0;  // known once asked for
  std::function<void()> m_release;
};

// Creates the schema or brings an older one up to date, inside the caller's transaction. versions[i]
// is the script that takes a store from version i to i + 1 (versions[0] makes a new store).
void migrateSchema(SqlConnection& c, const std::vector<std::string>& versions, const std::string& location);

}  // namespace dvlservice
