// The SQLite backend: one database file (or one in memory), one connection that a transaction holds
// for its whole length, so readers see one state and there is one writer at a time. Documents are
// files beside the database named by their SHA-256, shared by every object with the same bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "Crypto.h"
#include "SqlStore.h"
#include "ZEBSession.h"

namespace dvlservice {

namespace {

// Version 1 is the first schema; every later entry takes a store one version up.
const std::vector<std::string> kVersions = {
    R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS objects(
  id INTEGER PRIMARY KEY,
  store_id TEXT NOT NULL UNIQUE,
  parent INTEGER REFERENCES objects(id),
  class TEXT NOT NULL,
  name TEXT NOT NULL,
  created TEXT NOT NULL,
  modified TEXT NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS objects_by_parent_and_name ON objects(parent, name);
CREATE TABLE IF NOT EXISTS properties(
  object INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  property TEXT NOT NULL,
  item INTEGER NOT NULL,
  part INTEGER NOT NULL,
  key TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY(object, property, item, part)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS properties_by_name ON properties(property);
CREATE TABLE IF NOT EXISTS documents(
  object INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  property TEXT NOT NULL,
  content_type TEXT NOT NULL,
  size INTEGER NOT NULL,
  sha256 TEXT NOT NULL,
  PRIMARY KEY(object, property)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS documents_by_hash ON documents(sha256);
)sql",
    R"sql(
CREATE TABLE sessions(
  passport_hash TEXT PRIMARY KEY,
  session_id TEXT NOT NULL,
  namespace TEXT NOT NULL,
  user_name TEXT NOT NULL,
  last_use INTEGER NOT NULL) WITHOUT ROWID;
CREATE INDEX sessions_by_last_use ON sessions(last_use);
)sql",
};

const SqlDialect kDialect = {"UPDATE meta SET value = value + 1 WHERE key = 'generation'", "sha256"};

std::string systemError(const std::string& doing) {
  return doing + ": " + std::strerror(errno);
}

// True when it made the directory, false when it was there.
bool makeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) throw StoreError(systemError("cannot create " + path));
  return false;
}

// Makes a rename or a new file in the directory survive a crash.
void syncDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) throw StoreError(systemError("cannot open " + path));
  int rc = ::fsync(fd);
  ::close(fd);
  if (rc != 0) throw StoreError(systemError("cannot sync " + path));
}

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

void removeTree(const std::string& path) {
  for (const std::string& name : listDirectory(path)) {
    std::string child = path + "/" + name;
    struct stat info;
    if (::lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      removeTree(child);
    } else {
      ::unlink(child.c_str());
    }
  }
  ::rmdir(path.c_str());
}

class SqliteConnection : public SqlConnection {
 public:
  SqliteConnection(const std::string& path) : m_path(path) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
      sqlite3_close(m_db);
      throw StoreError("store " + path + ": cannot open the database: " + message);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, 2000);
  }
  ~SqliteConnection() override {
    for (auto& [sql, stmt] : m_statements) sqlite3_finalize(stmt);
    sqlite3_close(m_db);
  }

  std::vector<SqlRow> run(const char* sql, const std::vector<SqlValue>& params = {}) override {
    sqlite3_stmt* stmt = prepare(sql);
    struct Reset {
      sqlite3_stmt* s;
      ~Reset() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
      }
    } reset{stmt};
    for (size_t i = 0; i < params.size(); ++i) {
      int index = sqlite3_bind_parameter_index(stmt, ("$" + std::to_string(i + 1)).c_str());
      if (index == 0) continue;
      int rc = SQLITE_OK;
      if (auto* n = std::get_if<int64_t>(&params[i])) {
        rc = sqlite3_bind_int64(stmt, index, *n);
      } else if (auto* s = std::get_if<std::string>(&params[i])) {
        rc = sqlite3_bind_text(stmt, index, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
      } else {
        rc = sqlite3_bind_null(stmt, index);
      }
      if (rc != SQLITE_OK) fail("cannot bind a value", rc);
    }
    std::vector<SqlRow> rows;
    const int columns = sqlite3_column_count(stmt);
    for (;;) {
      int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) fail(std::string("cannot run '") + sql + "'", rc);
      SqlRow row;
      row.columns.reserve(static_cast<size_t>(columns));
      for (int c = 0; c < columns; ++c) {
        const unsigned char* s = sqlite3_column_text(stmt, c);
        if (s == nullptr) {
          row.columns.emplace_back();
        } else {
          row.columns.emplace_back(
              std::string(reinterpret_cast<const char*>(s), static_cast<size_t>(sqlite3_column_bytes(stmt, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  bool idle() const { return sqlite3_get_autocommit(m_db) != 0; }

  void script(const std::string& sql) override {
    // BEGIN, COMMIT and ROLLBACK come with every request: prepared once, like the other statements.
    if (sql == "BEGIN" || sql == "BEGIN IMMEDIATE" || sql == "COMMIT" || sql == "ROLLBACK") {
      run(sql.c_str());
      return;
    }
    char* error = nullptr;
    int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
      std::string message = error ? error : sqlite3_errmsg(m_db);
      sqlite3_free(error);
      throw StoreError("store " + m_path + ": cannot run '" + sql.substr(0, 60) + "': " + message);
    }
  }

 private:
  sqlite3_stmt* prepare(const char* sql) {
    auto it = m_statements.find(sql);
    if (it != m_statements.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) fail(std::string("cannot prepare '") + sql + "'", rc);
    return m_statements.emplace(sql, stmt).first->second;
  }
  [[noreturn]] void fail(const std::string& doing, int rc) {
    std::string message = "store " + m_path + ": " + doing + ": " + sqlite3_errmsg(m_db);
    if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY) throw StoreConflict(message);
    throw StoreError(message);
  }

  std::string m_path;
  sqlite3* m_db = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> m_statements;
};

class SqliteStaged : public StagedBody {
 public:
  explicit SqliteStaged(std::string path) : tempPath(std::move(path)) {}
  ~SqliteStaged() override { ::unlink(tempPath.c_str()); }
  std::string tempPath;
};

class SqliteStore : public StoreBackend, public SqlBackendHooks {
 public:
  explicit SqliteStore(const std::string& path) : m_path(path), m_inMemory(path == ContentStore::kMemory) {
    bool madeDocumentDir = false;
    if (m_inMemory) {
      const char* tmp = std::getenv("TMPDIR");
      const std::string folder = tmp && *tmp ? tmp : "/tmp";
      std::string pattern = folder + "/dvl-contentd-XXXXXX";
      if (::mkdtemp(&pattern[0]) == nullptr)
        throw StoreError(systemError("cannot create a temporary directory in " + folder));
      m_documentDir = pattern;
      // A file beside the documents rather than SQLite's own memory database: only a file lets
      // readers work on connections of their own while a write goes on.
      m_databaseFile = m_documentDir + "/store.db";
    } else {
      if (path.empty()) throw StoreError("the store's path is empty");
      m_documentDir = path + ".documents";
      m_databaseFile = path;
      madeDocumentDir = makeDirectory(m_documentDir);
    }
    bool madeDatabase = false;
    try {
      holdDocumentDirectory();
      makeDirectory(m_documentDir + "/incoming");
      // The database holds the credential key and the trust secret: a new one is for its owner only
      // (SQLite gives its journal files the same mode). An existing one keeps its mode.
      int fd = ::open(m_databaseFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) {
        madeDatabase = !m_inMemory;
        ::close(fd);
      }
      if (!m_inMemory) holdDatabase();
      m_connection = std::make_unique<SqliteConnection>(m_databaseFile);
      m_connection->script("PRAGMA foreign_keys=ON");
      m_connection->script("PRAGMA journal_mode=WAL");
      // A store in memory is gone when the server stops: nothing is gained by syncing it.
      m_connection->script(m_inMemory ? "PRAGMA synchronous=OFF" : "PRAGMA synchronous=FULL");
      m_connection->script("BEGIN IMMEDIATE");
      try {
        migrateSchema(*m_connection, kVersions, path);
        m_instance = m_connection->run("SELECT value FROM meta WHERE key = 'instance'").at(0).text(0);
        m_connection->script("COMMIT");
      } catch (...) {
        m_connection->script("ROLLBACK");
        throw;
      }
      removeUnreferencedFiles();
    } catch (...) {
      m_connection.reset();
      // A start that failed leaves nothing it made behind, and nothing another server holds.
      if (madeDatabase) {
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((m_databaseFile + suffix).c_str());
      }
      if (m_inMemory || (madeDocumentDir && m_directoryLock >= 0)) removeTree(m_documentDir);
      if (m_databaseLock >= 0) ::close(m_databaseLock);
      if (m_directoryLock >= 0) ::close(m_directoryLock);
      throw;
    }
  }
  ~SqliteStore() override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_readers.clear();
    m_connection.reset();
    if (m_inMemory) removeTree(m_documentDir);
    // Only now that SQLite has closed the file: a close drops every POSIX lock the process holds
    // on it, SQLite's among them.
    if (m_databaseLock >= 0) ::close(m_databaseLock);
    ::close(m_directoryLock);
  }

  // Writes take turns on the one writing connection. Reads each take a connection of their own
  // and, the journal being a write-ahead log, see the last commit without waiting for a write.
  std::unique_ptr<StoreTransaction> begin(bool write) override {
    if (write) {
      m_lock.lock();
      try {
        m_connection->script("BEGIN IMMEDIATE");
      } catch (...) {
        m_lock.unlock();
        throw;
      }
      return std::make_unique<SqlTransaction>(*this, *m_connection, true, [this] { m_lock.unlock(); });
    }
    std::unique_ptr<SqliteConnection> reader = takeReader();
    reader->script("BEGIN");
    SqliteConnection& connection = *reader;
    return std::make_unique<SqlTransaction>(*this, connection, false,
                                            [this, owned = reader.release()] { giveBackReader(owned); });
  }

  StagedDocument stage(ZEBDocumentOutputI& source, const std::string& contentType, int64_t maxBytes) override {
    StagedDocument staged;
    staged.m_contentType = contentType;
    auto body = std::make_unique<SqliteStaged>(m_documentDir + "/incoming/" + randomHex(12));
    const std::string& path = body->tempPath;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw StoreError(systemError("cannot create " + path));
    staged.m_body = std::move(body);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, &std::fclose);
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    source.rewind();
    for (size_t n; (n = source.read(buffer.data(), buffer.size())) > 0;) {
      staged.m_size += static_cast<int64_t>(n);
      if (maxBytes >= 0 && staged.m_size > maxBytes) {
        throw StoreError("the document is larger than the limit of " + std::to_string(maxBytes) + " bytes");
      }
      hash.update(buffer.data(), n);
      if (std::fwrite(buffer.data(), 1, n, file) != n) throw StoreError(systemError("cannot write " + path));
    }
    if (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0) throw StoreError(systemError("cannot write " + path));
    staged.m_sha256 = hash.hexDigest();
    return staged;
  }

  std::string documentDirectory() const override { return m_documentDir; }

  // ---- the transaction's hooks
  const SqlDialect& dialect() const override { return kDialect; }
  const std::string& instanceText() const override { return m_instance; }

  void placeDocument(SqlTransaction& tx, int64_t object, const std::string& property,
                     const StagedDocument& document) override {
    auto* body = dynamic_cast<SqliteStaged*>(document.m_body.get());
    std::string target = documentFile(document.m_sha256);
    struct stat info;
    if (::stat(target.c_str(), &info) == 0 && info.st_size == document.m_size) {
      // Same bytes already kept for another object; the staged copy goes with its owner.
    } else {
      if (body == nullptr) throw StoreError("the document was not staged in this store");
      std::string bucket = m_documentDir + "/" + document.m_sha256.substr(0, 2);
      makeDirectory(bucket);
      if (::rename(body->tempPath.c_str(), target.c_str()) != 0) {
        throw StoreError(systemError("cannot move a document into " + bucket));
      }
      syncDirectory(bucket);
      tx.placedFiles.push_back(target);
    }
    tx.connection().run(
        "INSERT INTO documents(object, property, content_type, size, sha256) VALUES ($1, $2, $3, $4, $5)",
        {object, property, document.m_contentType, document.m_size, document.m_sha256});
  }

  void fillDocument(DocumentRecord& record, const SqlRow&) override { record.path = documentFile(record.sha256); }

  std::string readDocument(SqlConnection&, const DocumentRecord& document, int64_t skip, int64_t length) override {
    std::string bytes(static_cast<size_t>(length), '\0');
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(document.path.c_str(), "rb"), &std::fclose);
    if (!file || (skip > 0 && std::fseek(file.get(), static_cast<long>(skip), SEEK_SET) != 0) ||
        std::fread(&bytes[0], 1, bytes.size(), file.get()) != bytes.size()) {
      throw StoreError("cannot read the document " + document.path);
    }
    return bytes;
  }

  void dropDocuments(SqlTransaction& tx, const std::vector<std::string>& keys) override {
    tx.droppedKeys.insert(tx.droppedKeys.end(), keys.begin(), keys.end());
  }

  void afterCommit(SqlTransaction& tx) override {
    std::set<std::string> hashes(tx.droppedKeys.begin(), tx.droppedKeys.end());
    for (const std::string& sha : hashes) {
      if (m_connection->run("SELECT 1 FROM documents WHERE sha256 = $1 LIMIT 1", {sha}).empty()) {
        ::unlink(documentFile(sha).c_str());
      }
    }
  }
  // Files moved into place for rows that are now gone; a file that was already there stays.
  void afterRollback(SqlTransaction& tx) override {
    for (const std::string& path : tx.placedFiles) ::unlink(path.c_str());
  }

 private:
  std::string documentFile(const std::string& sha256) const {
    return m_documentDir + "/" + sha256.substr(0, 2) + "/" + sha256;
  }

  // Files left by a crash: staged documents never committed, and documents whose objects went while
  // the file was still being removed.
  void removeUnreferencedFiles() {
    std::string incoming = m_documentDir + "/incoming";
    for (const std::string& name : listDirectory(incoming)) ::unlink((incoming + "/" + name).c_str());
    std::set<std::string> referenced;
    for (const SqlRow& r : m_connection->run("SELECT DISTINCT sha256 FROM documents")) referenced.insert(r.text(0));
    for (const std::string& bucket : listDirectory(m_documentDir)) {
      if (bucket.size() != 2) continue;
      std::string dir = m_documentDir + "/" + bucket;
      for (const std::string& name : listDirectory(dir)) {
        if (referenced.count(name) == 0) ::unlink((dir + "/" + name).c_str());
      }
    }
  }

  // One server at a time works on a store: a second one fails at start rather than working from a
  // stale picture of it. Several servers share a PostgreSQL store instead. The lock is on the
  // documents' directory, not the database file: SQLite's own locks on that file must stay free for
  // the reading connections.
  // The database file is held too: through a symbolic link (another spelling of its path) the same
  // database comes with another documents directory, and only the file itself is the same.
  void holdDatabase() {
    m_databaseLock = ::open(m_databaseFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_databaseLock < 0) throw StoreError(systemError("cannot open " + m_databaseFile));
    if (::flock(m_databaseLock, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) throw StoreError("store " + m_path + " is in use by another server");
      throw StoreError(systemError("cannot lock " + m_databaseFile));
    }
  }

  void holdDocumentDirectory() {
    m_directoryLock = ::open(m_documentDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_directoryLock < 0) throw StoreError(systemError("cannot open " + m_documentDir));
    if (::flock(m_directoryLock, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      ::close(m_directoryLock);
      m_directoryLock = -1;
      errno = error;
      if (error == EWOULDBLOCK) throw StoreError("store " + m_path + " is in use by another server");
      throw StoreError(systemError("cannot lock " + m_documentDir));
    }
  }

  std::unique_ptr<SqliteConnection> takeReader() {
    {
      std::lock_guard<std::mutex> lock(m_readersLock);
      if (!m_readers.empty()) {
        auto reader = std::move(m_readers.back());
        m_readers.pop_back();
        return reader;
      }
    }
    auto reader = std::make_unique<SqliteConnection>(m_databaseFile);
    reader->script("PRAGMA query_only=ON");
    return reader;
  }

  // A connection left inside a transaction (its ROLLBACK failed) is closed rather than kept.
  void giveBackReader(SqliteConnection* reader) {
    std::unique_ptr<SqliteConnection> owned(reader);
    if (!owned->idle()) return;
    std::lock_guard<std::mutex> lock(m_readersLock);
    m_readers.push_back(std::move(owned));
  }

  std::string m_path, m_databaseFile, m_documentDir, m_instance;
  bool m_inMemory;
  int m_directoryLock = -1;
  int m_databaseLock = -1;  // flock, which SQLite's own POSIX locks do not see
  std::mutex m_lock;  // the writing connection's turn
  std::unique_ptr<SqliteConnection> m_connection;
  std::mutex m_readersLock;
  std::vector<std::unique_ptr<SqliteConnection>> m_readers;  // idle reading connections
};

}  // namespace

std::unique_ptr<StoreBackend> openSqliteStore(const std::string& path) {
  return std::make_unique<SqliteStore>(path);
}

}  // namespace dvlservice
