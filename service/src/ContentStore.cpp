#include "ContentStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <set>

#include "Crypto.h"
#include "ZEBSession.h"

namespace dvlservice {

namespace {

const char* const kSchema = R"sql(
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
)sql";

const char* const kObjectColumns = "id, parent, store_id, class, name, created, modified";

// Rows of a property: one per value (part 0, 1, ...); an item without values keeps one row with
// part -1, and a property whose list is empty keeps one row with item -1, so that both come back.
constexpr int64_t kNoValues = -1;
constexpr int64_t kEmptyList = -1;

std::string nowUtc() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

std::string systemError(const std::string& doing) {
  return doing + ": " + std::strerror(errno);
}

void makeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) throw StoreError(systemError("cannot create " + path));
}

// Makes a rename or a new file in the directory survive a crash.
void syncDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) throw StoreError(systemError("cannot open " + path));
  int rc = ::fsync(fd);
  ::close(fd);
  if (rc != 0) throw StoreError(systemError("cannot sync " + path));
}

void removeTree(const std::string& path) {
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat info;
      if (::lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        removeTree(child);
      } else {
        ::unlink(child.c_str());
      }
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
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

}  // namespace

// ---------------------------------------------------------------- statements

class ContentStore::Statement {
 public:
  Statement(ContentStore& store, sqlite3_stmt* stmt) : m_store(store), m_stmt(stmt) {}
  ~Statement() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, int64_t value) {
    check(sqlite3_bind_int64(m_stmt, index, value));
    return *this;
  }
  Statement& bind(int index, const std::string& value) {
    check(sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& bindNull(int index) {
    check(sqlite3_bind_null(m_stmt, index));
    return *this;
  }
  // True while there is a row.
  bool step() {
    int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    m_store.fail(std::string("cannot run '") + sqlite3_sql(m_stmt) + "'");
  }
  void run() {
    while (step()) {
    }
  }
  // Makes the statement ready to run again with new values.
  void reset() { sqlite3_reset(m_stmt); }
  int64_t integer(int column) { return sqlite3_column_int64(m_stmt, column); }
  bool isNull(int column) { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
  std::string text(int column) {
    const unsigned char* s = sqlite3_column_text(m_stmt, column);
    return s ? std::string(reinterpret_cast<const char*>(s), static_cast<size_t>(sqlite3_column_bytes(m_stmt, column)))
             : std::string();
  }

  ObjectRecord object() {
    ObjectRecord o;
    o.id = integer(0);
    o.parent = isNull(1) ? 0 : integer(1);
    o.storeId = text(2);
    o.objectClass = text(3);
    o.name = text(4);
    o.created = text(5);
    o.modified = text(6);
    return o;
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) m_store.fail("cannot bind a value");
  }
  ContentStore& m_store;
  sqlite3_stmt* m_stmt;
};

ContentStore::Statement ContentStore::statement(const char* sql) {
  auto it = m_statements.find(sql);
  if (it == m_statements.end()) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
      fail(std::string("cannot prepare '") + sql + "'");
    }
    it = m_statements.emplace(sql, stmt).first;
  }
  return Statement(*this, it->second);
}

void ContentStore::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(m_db);
    sqlite3_free(error);
    throw StoreError("store " + m_path + ": cannot run '" + std::string(sql).substr(0, 60) + "': " + message);
  }
}

void ContentStore::fail(const std::string& doing) const {
  throw StoreError("store " + m_path + ": " + doing + ": " + sqlite3_errmsg(m_db));
}

// ---------------------------------------------------------------- opening

ContentStore::ContentStore(const std::string& path) : m_path(path), m_inMemory(path == kMemory) {
  if (m_inMemory) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/dvl-contentd-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) throw StoreError(systemError("cannot create a temporary directory"));
    m_documentDir = pattern;
  } else {
    m_documentDir = path + ".documents";
    makeDirectory(m_documentDir);
  }
  makeDirectory(m_documentDir + "/incoming");

  try {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      fail("cannot open the database");
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, 2000);
    exec("PRAGMA foreign_keys=ON");
    if (!m_inMemory) {
      // One server per store: the exclusive lock makes a second one fail at start instead of
      // working from a stale picture.
      exec("PRAGMA locking_mode=EXCLUSIVE");
      exec("PRAGMA journal_mode=WAL");
    }
    exec("PRAGMA synchronous=FULL");
    exec("BEGIN IMMEDIATE");
    exec(kSchema);
    {
      Statement s = statement("INSERT OR IGNORE INTO meta(key, value) VALUES (?1, ?2)");
      s.bind(1, std::string("schemaVersion")).bind(2, std::string("1")).run();
    }
    {
      Statement s = statement("INSERT OR IGNORE INTO meta(key, value) VALUES ('generation', 1)");
      s.run();
    }
    {
      Statement s = statement("INSERT OR IGNORE INTO meta(key, value) VALUES ('instance', ?1)");
      s.bind(1, randomHex(8)).run();
    }
    {
      Statement s = statement("SELECT value FROM meta WHERE key = 'instance'");
      if (s.step()) m_instance = s.text(0);
    }
    {
      Statement s = statement("SELECT count(*) FROM objects WHERE parent IS NULL");
      s.step();
      if (s.integer(0) == 0) {
        std::string now = nowUtc();
        Statement insert = statement(
            "INSERT INTO objects(store_id, parent, class, name, created, modified) VALUES (?1, NULL, 'root', '', ?2, "
            "?2)");
        insert.bind(1, randomHex(16)).bind(2, now).run();
      }
    }
    exec("COMMIT");
    removeUnreferencedFiles();
  } catch (...) {
    for (auto& [sql, stmt] : m_statements) sqlite3_finalize(stmt);
    m_statements.clear();
    if (m_db) sqlite3_close(m_db);
    if (m_inMemory) removeTree(m_documentDir);
    throw;
  }
}

ContentStore::~ContentStore() {
  std::lock_guard<std::mutex> lock(m_lock);
  for (auto& [sql, stmt] : m_statements) sqlite3_finalize(stmt);
  sqlite3_close(m_db);
  if (m_inMemory) removeTree(m_documentDir);
}

std::string ContentStore::documentFile(const std::string& sha256) const {
  return m_documentDir + "/" + sha256.substr(0, 2) + "/" + sha256;
}

// Files left by a crash: staged documents never committed, and documents whose objects went while
// the file was still being removed.
void ContentStore::removeUnreferencedFiles() {
  std::string incoming = m_documentDir + "/incoming";
  for (const std::string& name : listDirectory(incoming)) ::unlink((incoming + "/" + name).c_str());
  std::set<std::string> referenced;
  {
    Statement s = statement("SELECT DISTINCT sha256 FROM documents");
    while (s.step()) referenced.insert(s.text(0));
  }
  for (const std::string& bucket : listDirectory(m_documentDir)) {
    if (bucket.size() != 2) continue;
    std::string dir = m_documentDir + "/" + bucket;
    for (const std::string& name : listDirectory(dir)) {
      if (referenced.count(name) == 0) ::unlink((dir + "/" + name).c_str());
    }
  }
}

void ContentStore::removeFileIfUnreferenced(const std::string& sha256) {
  Statement s = statement("SELECT 1 FROM documents WHERE sha256 = ?1 LIMIT 1");
  s.bind(1, sha256);
  if (!s.step()) ::unlink(documentFile(sha256).c_str());
}

// ---------------------------------------------------------------- staging

StagedDocument::~StagedDocument() {
  if (!m_tempPath.empty()) ::unlink(m_tempPath.c_str());
}

StagedDocument::StagedDocument(StagedDocument&& other) noexcept {
  *this = std::move(other);
}

StagedDocument& StagedDocument::operator=(StagedDocument&& other) noexcept {
  if (this != &other) {
    if (!m_tempPath.empty()) ::unlink(m_tempPath.c_str());
    m_tempPath = std::move(other.m_tempPath);
    m_sha256 = std::move(other.m_sha256);
    m_contentType = std::move(other.m_contentType);
    m_size = other.m_size;
    other.m_tempPath.clear();
  }
  return *this;
}

StagedDocument ContentStore::stage(ZEBDocumentOutputI& source, const std::string& contentType, int64_t maxBytes) {
  StagedDocument staged;
  staged.m_contentType = contentType;
  staged.m_tempPath = m_documentDir + "/incoming/" + randomHex(12);
  std::FILE* file = std::fopen(staged.m_tempPath.c_str(), "wb");
  if (file == nullptr) throw StoreError(systemError("cannot create " + staged.m_tempPath));
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
    if (std::fwrite(buffer.data(), 1, n, file) != n) throw StoreError(systemError("cannot write " + staged.m_tempPath));
  }
  if (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0) {
    throw StoreError(systemError("cannot write " + staged.m_tempPath));
  }
  staged.m_sha256 = hash.hexDigest();
  return staged;
}

StagedDocument ContentStore::stage(const std::string& bytes, const std::string& contentType) {
  ZEBMemoryDocumentOutput source(bytes.data(), bytes.size());
  return stage(source, contentType);
}

// ---------------------------------------------------------------- transactions

ContentStore::Transaction ContentStore::read() {
  return Transaction(*this, false);
}
ContentStore::Transaction ContentStore::write() {
  return Transaction(*this, true);
}

ContentStore::Transaction::Transaction(ContentStore& store, bool write)
    : m_store(&store), m_lock(store.m_lock), m_write(write) {
  store.exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
  m_open = true;
}

ContentStore::Transaction::Transaction(Transaction&& other) noexcept
    : m_store(other.m_store),
      m_lock(std::move(other.m_lock)),
      m_write(other.m_write),
      m_open(other.m_open),
      m_changed(other.m_changed),
      m_placedFiles(std::move(other.m_placedFiles)),
      m_droppedHashes(std::move(other.m_droppedHashes)) {
  other.m_open = false;
}

ContentStore::Transaction::~Transaction() {
  if (!m_open) return;
  char* error = nullptr;
  sqlite3_exec(m_store->m_db, "ROLLBACK", nullptr, nullptr, &error);
  sqlite3_free(error);
  // Files moved into place for rows that are now gone; a file that was already there stays.
  for (const std::string& path : m_placedFiles) ::unlink(path.c_str());
}

void ContentStore::Transaction::requireWrite() {
  if (!m_write) throw StoreError("a read transaction cannot change the store");
}

ContentStore& ContentStore::Transaction::db() {
  if (!m_open) throw StoreError("the transaction has already ended");
  return *m_store;
}

void ContentStore::Transaction::commit() {
  if (m_changed) db().statement("UPDATE meta SET value = value + 1 WHERE key = 'generation'").run();
  db().exec("COMMIT");
  m_open = false;
  m_placedFiles.clear();
  std::sort(m_droppedHashes.begin(), m_droppedHashes.end());
  m_droppedHashes.erase(std::unique(m_droppedHashes.begin(), m_droppedHashes.end()), m_droppedHashes.end());
  for (const std::string& sha : m_droppedHashes) m_store->removeFileIfUnreferenced(sha);
  m_lock.unlock();  // the store is free for the next transaction as soon as this one is over
}

int64_t ContentStore::Transaction::rootId() {
  Statement s = db().statement("SELECT id FROM objects WHERE parent IS NULL ORDER BY id LIMIT 1");
  if (!s.step()) throw StoreError("the store has no root object");
  return s.integer(0);
}

std::unique_ptr<ObjectRecord> ContentStore::Transaction::object(int64_t id) {
  Statement s =
      db().statement("SELECT id, parent, store_id, class, name, created, modified FROM objects WHERE id = ?1");
  s.bind(1, id);
  return s.step() ? std::make_unique<ObjectRecord>(s.object()) : nullptr;
}

std::unique_ptr<ObjectRecord> ContentStore::Transaction::objectByStoreId(const std::string& storeId) {
  Statement s =
      db().statement("SELECT id, parent, store_id, class, name, created, modified FROM objects WHERE store_id = ?1");
  s.bind(1, storeId);
  return s.step() ? std::make_unique<ObjectRecord>(s.object()) : nullptr;
}

std::unique_ptr<ObjectRecord> ContentStore::Transaction::child(int64_t parent, const std::string& name) {
  Statement s = db().statement(
      "SELECT id, parent, store_id, class, name, created, modified FROM objects WHERE parent = ?1 AND name = ?2");
  s.bind(1, parent).bind(2, name);
  return s.step() ? std::make_unique<ObjectRecord>(s.object()) : nullptr;
}

std::vector<ObjectRecord> ContentStore::Transaction::children(int64_t parent) {
  Statement s = db().statement(
      "SELECT id, parent, store_id, class, name, created, modified FROM objects WHERE parent = ?1 ORDER BY name");
  s.bind(1, parent);
  std::vector<ObjectRecord> out;
  while (s.step()) out.push_back(s.object());
  return out;
}

std::vector<ObjectRecord> ContentStore::Transaction::descendants(int64_t id) {
  Statement s = db().statement(
      "WITH RECURSIVE below(id) AS (SELECT id FROM objects WHERE parent = ?1"
      " UNION ALL SELECT o.id FROM objects o JOIN below b ON o.parent = b.id)"
      " SELECT o.id, o.parent, o.store_id, o.class, o.name, o.created, o.modified"
      " FROM objects o JOIN below b ON o.id = b.id ORDER BY o.name");
  s.bind(1, id);
  std::map<int64_t, std::vector<ObjectRecord>> byParent;
  while (s.step()) {
    ObjectRecord o = s.object();
    byParent[o.parent].push_back(std::move(o));
  }
  std::vector<ObjectRecord> out;
  std::function<void(int64_t)> walk = [&](int64_t parent) {
    auto it = byParent.find(parent);
    if (it == byParent.end()) return;
    for (ObjectRecord& o : it->second) {
      int64_t self = o.id;
      out.push_back(std::move(o));
      walk(self);
    }
  };
  walk(id);
  return out;
}

std::vector<ObjectRecord> ContentStore::Transaction::ancestors(int64_t id) {
  Statement s = db().statement(
      "WITH RECURSIVE up(id, depth) AS (SELECT parent, 1 FROM objects WHERE id = ?1 AND parent IS NOT NULL"
      " UNION ALL SELECT o.parent, u.depth + 1 FROM objects o JOIN up u ON o.id = u.id WHERE o.parent IS NOT NULL)"
      " SELECT o.id, o.parent, o.store_id, o.class, o.name, o.created, o.modified"
      " FROM up u JOIN objects o ON o.id = u.id ORDER BY u.depth DESC");
  s.bind(1, id);
  std::vector<ObjectRecord> out;
  while (s.step()) out.push_back(s.object());
  return out;
}

PropertyMap ContentStore::Transaction::properties(int64_t id) {
  Statement s = db().statement(
      "SELECT property, item, part, key, value FROM properties WHERE object = ?1 ORDER BY property, item, part");
  s.bind(1, id);
  PropertyMap out;
  std::string lastProperty;
  int64_t lastItem = -2;
  while (s.step()) {
    std::string property = s.text(0);
    int64_t item = s.integer(1), part = s.integer(2);
    PropertyValue& value = out[property];
    if (item == kEmptyList) continue;
    if (property != lastProperty || item != lastItem) {
      value.push_back(PropertyItem{s.text(3), {}});
      lastProperty = property;
      lastItem = item;
    }
    if (part != kNoValues) value.back().values.push_back(s.text(4));
  }
  return out;
}

std::vector<DocumentRecord> ContentStore::Transaction::documents(int64_t id) {
  Statement s =
      db().statement("SELECT property, content_type, size, sha256 FROM documents WHERE object = ?1 ORDER BY property");
  s.bind(1, id);
  std::vector<DocumentRecord> out;
  while (s.step()) {
    DocumentRecord d;
    d.property = s.text(0);
    d.contentType = s.text(1);
    d.size = s.integer(2);
    d.sha256 = s.text(3);
    d.path = m_store->documentFile(d.sha256);
    out.push_back(std::move(d));
  }
  return out;
}

std::vector<std::pair<int64_t, PropertyItem>> ContentStore::Transaction::propertyItems(const std::string& property) {
  Statement s = db().statement(
      "SELECT object, key, value FROM properties WHERE property = ?1 AND item >= 0 AND part >= 0 ORDER BY object, "
      "item, part");
  s.bind(1, property);
  std::vector<std::pair<int64_t, PropertyItem>> out;
  while (s.step()) out.emplace_back(s.integer(0), PropertyItem{s.text(1), {s.text(2)}});
  return out;
}

uint64_t ContentStore::Transaction::generation() {
  Statement s = db().statement("SELECT value FROM meta WHERE key = 'generation'");
  return s.step() ? static_cast<uint64_t>(s.integer(0)) : 0;
}

const std::string& ContentStore::Transaction::instance() const {
  return m_store->m_instance;
}

ObjectRecord ContentStore::Transaction::insert(int64_t parent, const NewObject& object) {
  requireWrite();
  ObjectRecord record;
  record.parent = parent;
  record.storeId = randomHex(16);
  record.objectClass = object.objectClass;
  record.name = object.name;
  record.created = record.modified = nowUtc();
  {
    Statement s = db().statement(
        "INSERT INTO objects(store_id, parent, class, name, created, modified) VALUES (?1, ?2, ?3, ?4, ?5, ?5)");
    s.bind(1, record.storeId).bind(2, parent).bind(3, record.objectClass).bind(4, record.name).bind(5, record.created);
    s.run();
  }
  record.id = sqlite3_last_insert_rowid(m_store->m_db);
  m_changed = true;
  update(record.id, object, false);
  return record;
}

void ContentStore::Transaction::update(int64_t id, const NewObject& changes, bool replaceAll) {
  requireWrite();
  auto dropDocuments = [&](const char* sql, const std::string* property) {
    {
      Statement s = db().statement(sql);
      s.bind(1, id);
      if (property) s.bind(2, *property);
      while (s.step()) m_droppedHashes.push_back(s.text(0));
    }
  };
  if (replaceAll) {
    dropDocuments("SELECT sha256 FROM documents WHERE object = ?1", nullptr);
    db().statement("DELETE FROM documents WHERE object = ?1").bind(1, id).run();
    db().statement("DELETE FROM properties WHERE object = ?1").bind(1, id).run();
  } else {
    // A property given anew replaces its earlier value whether that was text or a document.
    auto forget = [&](const std::string& property) {
      dropDocuments("SELECT sha256 FROM documents WHERE object = ?1 AND property = ?2", &property);
      db().statement("DELETE FROM documents WHERE object = ?1 AND property = ?2").bind(1, id).bind(2, property).run();
      db().statement("DELETE FROM properties WHERE object = ?1 AND property = ?2").bind(1, id).bind(2, property).run();
    };
    for (const auto& [property, value] : changes.properties) forget(property);
    for (const auto& [property, document] : changes.documents) forget(property);
  }

  for (const auto& change : changes.properties) {
    // Named, not a structured binding: lambdas may capture those only from C++20 on.
    const auto& property = change.first;
    const auto& value = change.second;
    Statement s = db().statement(
        "INSERT INTO properties(object, property, item, part, key, value) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    auto row = [&](int64_t item, int64_t part, const std::string& key, const std::string& text) {
      s.bind(1, id).bind(2, property).bind(3, item).bind(4, part).bind(5, key).bind(6, text).run();
      s.reset();
    };
    if (value.empty()) row(kEmptyList, 0, "", "");
    for (size_t item = 0; item < value.size(); ++item) {
      const PropertyItem& entry = value[item];
      if (entry.values.empty()) row(static_cast<int64_t>(item), kNoValues, entry.key, "");
      for (size_t part = 0; part < entry.values.size(); ++part) {
        row(static_cast<int64_t>(item), static_cast<int64_t>(part), entry.key, entry.values[part]);
      }
    }
  }
  for (const auto& [property, document] : changes.documents) placeDocument(id, property, *document);

  db().statement("UPDATE objects SET modified = ?2 WHERE id = ?1").bind(1, id).bind(2, nowUtc()).run();
  m_changed = true;
}

void ContentStore::Transaction::placeDocument(int64_t id, const std::string& property, const StagedDocument& document) {
  if (document.m_sha256.empty()) throw StoreError("the document was not staged");
  std::string target = m_store->documentFile(document.m_sha256);
  struct stat info;
  if (::stat(target.c_str(), &info) == 0 && info.st_size == document.m_size) {
    // Same bytes already kept for another object; the staged copy goes with its owner.
  } else {
    std::string bucket = m_store->m_documentDir + "/" + document.m_sha256.substr(0, 2);
    makeDirectory(bucket);
    if (::rename(document.m_tempPath.c_str(), target.c_str()) != 0) {
      throw StoreError(systemError("cannot move a document into " + bucket));
    }
    syncDirectory(bucket);
    m_placedFiles.push_back(target);
  }
  Statement s =
      db().statement("INSERT INTO documents(object, property, content_type, size, sha256) VALUES (?1, ?2, ?3, ?4, ?5)");
  s.bind(1, id).bind(2, property).bind(3, document.m_contentType).bind(4, document.m_size).bind(5, document.m_sha256);
  s.run();
}

size_t ContentStore::Transaction::remove(int64_t id) {
  requireWrite();
  size_t count = 0;
  {
    Statement s = db().statement(
        "WITH RECURSIVE subtree(id) AS (SELECT ?1 UNION ALL SELECT o.id FROM objects o JOIN subtree s ON o.parent = "
        "s.id)"
        " SELECT DISTINCT d.sha256 FROM documents d JOIN subtree s ON d.object = s.id");
    s.bind(1, id);
    while (s.step()) m_droppedHashes.push_back(s.text(0));
  }
  {
    Statement s = db().statement(
        "WITH RECURSIVE subtree(id) AS (SELECT ?1 UNION ALL SELECT o.id FROM objects o JOIN subtree s ON o.parent = "
        "s.id)"
        " DELETE FROM objects WHERE id IN subtree");
    s.bind(1, id).run();
    count = static_cast<size_t>(sqlite3_changes(m_store->m_db));
  }
  if (count > 0) m_changed = true;
  return count;
}

}  // namespace dvlservice
