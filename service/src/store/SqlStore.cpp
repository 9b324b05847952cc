#include "SqlStore.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>

#include "Crypto.h"

namespace dvlservice {

namespace {

#define OBJECT_COLUMNS "id, parent, store_id, class, name, created, modified"

// Rows of a property: one per value (part 0, 1, ...); an item without values keeps one row with
// part -1, and a property whose list is empty keeps one row with item -1, so that both come back.
constexpr int64_t kNoValues = -1;
constexpr int64_t kEmptyList = -1;

ObjectRecord objectOf(const SqlRow& r) {
  ObjectRecord o;
  o.id = r.integer(0);
  o.parent = r.isNull(1) ? 0 : r.integer(1);
  o.storeId = r.text(2);
  o.objectClass = r.text(3);
  o.name = r.text(4);
  o.created = r.text(5);
  o.modified = r.text(6);
  return o;
}

std::unique_ptr<ObjectRecord> first(const std::vector<SqlRow>& rows) {
  return rows.empty() ? nullptr : std::make_unique<ObjectRecord>(objectOf(rows.front()));
}

std::vector<ObjectRecord> all(const std::vector<SqlRow>& rows) {
  std::vector<ObjectRecord> out;
  out.reserve(rows.size());
  for (const SqlRow& r : rows) out.push_back(objectOf(r));
  return out;
}

}  // namespace

const std::string& SqlRow::text(size_t i) const {
  static const std::string empty;
  return columns[i] ? *columns[i] : empty;
}

int64_t SqlRow::integer(size_t i) const {
  return columns[i] ? std::strtoll(columns[i]->c_str(), nullptr, 10) : 0;
}

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

void migrateSchema(SqlConnection& c, const std::vector<std::string>& versions, const std::string& location) {
  c.script(versions.at(0));
  c.run("INSERT INTO meta(key, value) VALUES ('schemaVersion', '1') ON CONFLICT(key) DO NOTHING");
  int version = static_cast<int>(c.run("SELECT value FROM meta WHERE key = 'schemaVersion'").at(0).integer(0));
  if (version > static_cast<int>(versions.size())) {
    throw StoreError("store " + location + " has schema version " + std::to_string(version) +
                     ", newer than this server knows (" + std::to_string(versions.size()) +
                     "); run a newer dvl-contentd");
  }
  for (; version < static_cast<int>(versions.size()); ++version) c.script(versions[static_cast<size_t>(version)]);
  c.run("UPDATE meta SET value = $1 WHERE key = 'schemaVersion'", {std::to_string(version)});
  c.run("INSERT INTO meta(key, value) VALUES ('generation', 1) ON CONFLICT(key) DO NOTHING");
  c.run("INSERT INTO meta(key, value) VALUES ('instance', $1) ON CONFLICT(key) DO NOTHING", {randomHex(8)});
  if (c.run("SELECT 1 FROM objects WHERE parent IS NULL").empty()) {
    c.run("INSERT INTO objects(store_id, parent, class, name, created, modified) VALUES ($1, NULL, 'root', '', $2, $2)",
          {randomHex(16), nowUtc()});
  }
}

SqlTransaction::SqlTransaction(SqlBackendHooks& hooks, SqlConnection& connection, bool write,
                               std::function<void()> release)
    : m_hooks(hooks), m_connection(connection), m_write(write), m_release(std::move(release)) {}

SqlTransaction::~SqlTransaction() {
  if (!m_open) return;
  try {
    m_connection.script("ROLLBACK");
  } catch (const StoreError&) {
    // A connection that failed is dropped by its backend; nothing was committed.
  }
  m_hooks.afterRollback(*this);
  finish();
}

void SqlTransaction::finish() {
  m_open = false;
  if (m_release) {
    auto release = std::move(m_release);
    m_release = nullptr;
    release();
  }
}

void SqlTransaction::requireWrite() {
  if (!m_write) throw StoreError("a read transaction cannot change the store");
}

void SqlTransaction::commit() {
  if (m_changed) m_connection.run(m_hooks.dialect().bumpGeneration);
  m_connection.script("COMMIT");
  m_open = false;
  m_hooks.afterCommit(*this);
  finish();
}

int64_t SqlTransaction::rootId() {
  // Asked for by every path that starts at the root; no write moves or replaces the root.
  if (m_rootId != 0) return m_rootId;
  auto rows = m_connection.run("SELECT min(id) FROM objects WHERE parent IS NULL");
  if (rows.empty() || rows.front().isNull(0)) throw StoreError("the store has no root object");
  return m_rootId = rows.front().integer(0);
}

std::unique_ptr<ObjectRecord> SqlTransaction::object(int64_t id) {
  return first(m_connection.run("SELECT " OBJECT_COLUMNS " FROM objects WHERE id = $1", {id}));
}

std::unique_ptr<ObjectRecord> SqlTransaction::objectByStoreId(const std::string& storeId) {
  return first(m_connection.run("SELECT " OBJECT_COLUMNS " FROM objects WHERE store_id = $1", {storeId}));
}

std::unique_ptr<ObjectRecord> SqlTransaction::child(int64_t parent, const std::string& name) {
  return first(
      m_connection.run("SELECT " OBJECT_COLUMNS " FROM objects WHERE parent = $1 AND name = $2", {parent, name}));
}

std::vector<ObjectRecord> SqlTransaction::children(int64_t parent) {
  return all(m_connection.run("SELECT " OBJECT_COLUMNS " FROM objects WHERE parent = $1 ORDER BY name", {parent}));
}

std::vector<ObjectRecord> SqlTransaction::descendants(int64_t id) {
  auto rows = m_connection.run(
      "WITH RECURSIVE below(id) AS (SELECT id FROM objects WHERE parent = $1"
      " UNION ALL SELECT o.id FROM objects o JOIN below b ON o.parent = b.id)"
      " SELECT o.id, o.parent, o.store_id, o.class, o.name, o.created, o.modified"
      " FROM objects o JOIN below b ON o.id = b.id ORDER BY o.name",
      {id});
  std::map<int64_t, std::vector<ObjectRecord>> byParent;
  for (const SqlRow& r : rows) {
    ObjectRecord o = objectOf(r);
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

std::vector<ObjectRecord> SqlTransaction::ancestors(int64_t id) {
  return all(m_connection.run(
      "WITH RECURSIVE up(id, depth) AS (SELECT parent, 1 FROM objects WHERE id = $1 AND parent IS NOT NULL"
      " UNION ALL SELECT o.parent, u.depth + 1 FROM objects o JOIN up u ON o.id = u.id WHERE o.parent IS NOT NULL)"
      " SELECT o.id, o.parent, o.store_id, o.class, o.name, o.created, o.modified"
      " FROM up u JOIN objects o ON o.id = u.id ORDER BY u.depth DESC",
      {id}));
}

PropertyMap SqlTransaction::properties(int64_t id) {
  auto rows = m_connection.run(
      "SELECT property, item, part, key, value FROM properties WHERE object = $1 ORDER BY property, item, part", {id});
  PropertyMap out;
  std::string lastProperty;
  int64_t lastItem = -2;
  for (const SqlRow& r : rows) {
    const std::string& property = r.text(0);
    int64_t item = r.integer(1), part = r.integer(2);
    PropertyValue& value = out[property];
    if (item == kEmptyList) continue;
    if (property != lastProperty || item != lastItem) {
      value.push_back(PropertyItem{r.text(3), {}});
      lastProperty = property;
      lastItem = item;
    }
    if (part != kNoValues) value.back().values.push_back(r.text(4));
  }
  return out;
}

std::vector<DocumentRecord> SqlTransaction::documents(int64_t id) {
  std::string sql = std::string("SELECT property, content_type, size, sha256, ") + m_hooks.dialect().documentKey +
                    " FROM documents WHERE object = $1 ORDER BY property";
  std::vector<DocumentRecord> out;
  for (const SqlRow& r : m_connection.run(sql.c_str(), {id})) {
    DocumentRecord d;
    d.property = r.text(0);
    d.contentType = r.text(1);
    d.size = r.integer(2);
    d.sha256 = r.text(3);
    m_hooks.fillDocument(d, r);
    out.push_back(std::move(d));
  }
  return out;
}

std::string SqlTransaction::readDocument(const DocumentRecord& document, int64_t skip, int64_t length) {
  skip = std::min(std::max<int64_t>(skip, 0), document.size);
  if (length < 0 || length > document.size - skip) length = document.size - skip;
  return m_hooks.readDocument(m_connection, document, skip, length);
}

std::vector<std::pair<int64_t, PropertyItem>> SqlTransaction::propertyItems(const std::string& property) {
  std::vector<std::pair<int64_t, PropertyItem>> out;
  for (const SqlRow& r : m_connection.run("SELECT object, key, value FROM properties WHERE property = $1 AND item >= 0 "
                                          "AND part >= 0 ORDER BY object, item, part",
                                          {property})) {
    out.emplace_back(r.integer(0), PropertyItem{r.text(1), {r.text(2)}});
  }
  return out;
}

uint64_t SqlTransaction::generation() {
  auto rows = m_connection.run("SELECT value FROM meta WHERE key = 'generation'");
  return rows.empty() ? 0 : static_cast<uint64_t>(rows.front().integer(0));
}

ObjectRecord SqlTransaction::insert(int64_t parent, const NewObject& object) {
  requireWrite();
  ObjectRecord record;
  record.parent = parent;
  record.storeId = randomHex(16);
  record.objectClass = object.objectClass;
  record.name = object.name;
  record.created = record.modified = nowUtc();
  auto rows = m_connection.run(
      "INSERT INTO objects(store_id, parent, class, name, created, modified) VALUES ($1, $2, $3, $4, $5, $5) "
      "RETURNING id",
      {record.storeId, parent, record.objectClass, record.name, record.created});
  record.id = rows.at(0).integer(0);
  m_changed = true;
  update(record.id, object, false);
  return record;
}

void SqlTransaction::update(int64_t id, const NewObject& changes, bool replaceAll) {
  requireWrite();
  const std::string key = m_hooks.dialect().documentKey;
  std::vector<std::string> dropped;
  if (replaceAll) {
    std::string sql = "DELETE FROM documents WHERE object = $1 RETURNING " + key;
    for (const SqlRow& r : m_connection.run(sql.c_str(), {id})) dropped.push_back(r.text(0));
    m_connection.run("DELETE FROM properties WHERE object = $1", {id});
  } else {
    // A property given anew replaces its earlier value whether that was text or a document.
    std::string sql = "DELETE FROM documents WHERE object = $1 AND property = $2 RETURNING " + key;
    auto forget = [&](const std::string& property) {
      for (const SqlRow& r : m_connection.run(sql.c_str(), {id, property})) dropped.push_back(r.text(0));
      m_connection.run("DELETE FROM properties WHERE object = $1 AND property = $2", {id, property});
    };
    for (const auto& [property, value] : changes.properties) forget(property);
    for (const auto& [property, document] : changes.documents) forget(property);
  }
  if (!dropped.empty()) m_hooks.dropDocuments(*this, dropped);

  for (const auto& [property, value] : changes.properties) {
    auto row = [&, &property = property](int64_t item, int64_t part, const std::string& itemKey,
                                         const std::string& text) {
      m_connection.run(
          "INSERT INTO properties(object, property, item, part, key, value) VALUES ($1, $2, $3, $4, $5, $6)",
          {id, property, item, part, itemKey, text});
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
  for (const auto& [property, document] : changes.documents) {
    if (document->m_sha256.empty()) throw StoreError("the document was not staged");
    m_hooks.placeDocument(*this, id, property, *document);
  }
  m_connection.run("UPDATE objects SET modified = $2 WHERE id = $1", {id, nowUtc()});
  m_changed = true;
}

size_t SqlTransaction::remove(int64_t id) {
  requireWrite();
  m_rootId = 0;
  const char* subtree =
      "WITH RECURSIVE subtree(id) AS (SELECT CAST($1 AS BIGINT) UNION ALL SELECT o.id FROM objects o JOIN subtree s "
      "ON o.parent = s.id) ";
  std::string documents = std::string(subtree) + "SELECT DISTINCT d." + m_hooks.dialect().documentKey +
                          " FROM documents d JOIN subtree s ON d.object = s.id";
  std::vector<std::string> dropped;
  for (const SqlRow& r : m_connection.run(documents.c_str(), {id})) dropped.push_back(r.text(0));
  std::string objects = std::string(subtree) + "DELETE FROM objects WHERE id IN (SELECT id FROM subtree) RETURNING id";
  size_t count = m_connection.run(objects.c_str(), {id}).size();
  if (!dropped.empty()) m_hooks.dropDocuments(*this, dropped);
  if (count > 0) m_changed = true;
  return count;
}

void SqlTransaction::putSession(const std::string& passportHash, const StoredSession& s) {
  m_connection.run(
      "INSERT INTO sessions(passport_hash, session_id, namespace, user_name, last_use) VALUES ($1, $2, $3, $4, $5)",
      {passportHash, s.sessionId, s.nameSpace, s.userName, s.lastUseMs});
}

std::optional<StoredSession> SqlTransaction::session(const std::string& passportHash) {
  auto rows = m_connection.run(
      "SELECT session_id, namespace, user_name, last_use FROM sessions WHERE passport_hash = $1", {passportHash});
  if (rows.empty()) return std::nullopt;
  return StoredSession{rows[0].text(0), rows[0].text(1), rows[0].text(2), rows[0].integer(3)};
}

void SqlTransaction::touchSession(const std::string& passportHash, int64_t lastUseMs) {
  m_connection.run("UPDATE sessions SET last_use = $2 WHERE passport_hash = $1 AND last_use < $2",
                   {passportHash, lastUseMs});
}

bool SqlTransaction::dropSession(const std::string& passportHash) {
  return !m_connection.run("DELETE FROM sessions WHERE passport_hash = $1 RETURNING 1", {passportHash}).empty();
}

size_t SqlTransaction::dropSessionsUsedBefore(int64_t lastUseMs) {
  return m_connection.run("DELETE FROM sessions WHERE last_use <= $1 RETURNING 1", {lastUseMs}).size();
}

std::optional<std::string> SqlTransaction::setting(const std::string& name) {
  auto rows = m_connection.run("SELECT value FROM meta WHERE key = $1", {"setting." + name});
  if (rows.empty()) return std::nullopt;
  return rows.front().text(0);
}

std::string SqlTransaction::initSetting(const std::string& name, const std::string& value) {
  m_connection.run("INSERT INTO meta(key, value) VALUES ($1, $2) ON CONFLICT(key) DO NOTHING",
                   {"setting." + name, value});
  return setting(name).value_or(value);
}

}  // namespace dvlservice
