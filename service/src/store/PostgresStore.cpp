// The PostgreSQL backend: any number of servers on one database. Each transaction takes a connection
// of a small pool; reads run REPEATABLE READ (one picture of the store for the whole request),
// writes READ COMMITTED, and what two servers must not both do is refused by the database (unique
// name within a folder, parent that must still exist), surfacing as StoreConflict. Documents are
// large objects written and read in pieces, so that no document passes through memory whole; each
// document row owns its large object, which goes in the same transaction as the row.
#include <libpq-fe.h>
#include <libpq/libpq-fs.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "Crypto.h"
#include "SqlStore.h"
#include "ZEBSession.h"

namespace dvlservice {

namespace {

constexpr size_t kPoolSize = 8;
constexpr size_t kPiece = size_t(1) << 20;
// Serialises schema creation and upgrades among servers starting at once.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7273620180)";

const std::vector<std::string> kVersions = {
    R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS objects(
  id BIGSERIAL PRIMARY KEY,
  store_id TEXT NOT NULL UNIQUE,
  parent BIGINT REFERENCES objects(id),
  class TEXT NOT NULL,
  name TEXT COLLATE "C" NOT NULL,
  created TEXT NOT NULL,
  modified TEXT NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS objects_by_parent_and_name ON objects(parent, name);
CREATE UNIQUE INDEX IF NOT EXISTS objects_one_root ON objects((parent IS NULL)) WHERE parent IS NULL;
CREATE TABLE IF NOT EXISTS properties(
  object BIGINT NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  property TEXT COLLATE "C" NOT NULL,
  item BIGINT NOT NULL,
  part BIGINT NOT NULL,
  key TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY(object, property, item, part));
CREATE INDEX IF NOT EXISTS properties_by_name ON properties(property);
CREATE TABLE IF NOT EXISTS documents(
  object BIGINT NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  property TEXT COLLATE "C" NOT NULL,
  content_type TEXT NOT NULL,
  size BIGINT NOT NULL,
  sha256 TEXT NOT NULL,
  blob OID NOT NULL,
  PRIMARY KEY(object, property));
CREATE TABLE IF NOT EXISTS staged(blob OID PRIMARY KEY, created TIMESTAMPTZ NOT NULL DEFAULT now());
)sql",
    R"sql(
CREATE TABLE sessions(
  passport_hash TEXT PRIMARY KEY,
  session_id TEXT NOT NULL,
  namespace TEXT NOT NULL,
  user_name TEXT NOT NULL,
  last_use BIGINT NOT NULL);
CREATE INDEX sessions_by_last_use ON sessions(last_use);
)sql",
};

const SqlDialect kDialect = {"UPDATE meta SET value = (value::bigint + 1)::text WHERE key = 'generation'", "blob"};

// The URI without its password, for messages.
std::string shown(const std::string& uri) {
  size_t at = uri.find('@'), scheme = uri.find("://");
  if (at == std::string::npos || scheme == std::string::npos) return uri;
  size_t colon = uri.find(':', scheme + 3);
  return colon != std::string::npos && colon < at ? uri.substr(0, colon) + ":***" + uri.substr(at) : uri;
}

class PgConnection : public SqlConnection {
 public:
  PgConnection(const std::string& uri) : m_where(shown(uri)) {
    m_conn = PQconnectdb(uri.c_str());
    if (PQstatus(m_conn) != CONNECTION_OK) {
      std::string message = PQerrorMessage(m_conn);
      PQfinish(m_conn);
      m_conn = nullptr;
      throw StoreError("store " + m_where + ": cannot connect: " + trimmed(message));
    }
    script("SET client_min_messages = warning");
  }
  ~PgConnection() override { PQfinish(m_conn); }

  bool healthy() const { return PQstatus(m_conn) == CONNECTION_OK; }
  PGconn* raw() { return m_conn; }

  std::vector<SqlRow> run(const char* sql, const std::vector<SqlValue>& params = {}) override {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
      if (auto* n = std::get_if<int64_t>(&params[i])) {
        texts[i] = std::to_string(*n);
        values[i] = texts[i].c_str();
      } else if (auto* s = std::get_if<std::string>(&params[i])) {
        values[i] = s->c_str();
      } else {
        values[i] = nullptr;
      }
    }
    Result result(PQexecPrepared(m_conn, prepare(sql, static_cast<int>(params.size())), static_cast<int>(params.size()),
                                 values.data(), nullptr, nullptr, 0));
    check(result.get(), sql);
    std::vector<SqlRow> rows;
    const int n = PQntuples(result.get()), columns = PQnfields(result.get());
    rows.reserve(static_cast<size_t>(n));
    for (int r = 0; r < n; ++r) {
      SqlRow row;
      row.columns.reserve(static_cast<size_t>(columns));
      for (int c = 0; c < columns; ++c) {
        if (PQgetisnull(result.get(), r, c)) {
          row.columns.emplace_back();
        } else {
          row.columns.emplace_back(
              std::string(PQgetvalue(result.get(), r, c), static_cast<size_t>(PQgetlength(result.get(), r, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  void script(const std::string& sql) override {
    Result result(PQexec(m_conn, sql.c_str()));
    check(result.get(), sql.c_str());
  }

  // length bytes of a large object from offset on, read in binary.
  void readBlob(int64_t blob, int64_t offset, int64_t length, char* out) {
    std::string oid = std::to_string(blob), from = std::to_string(offset), count = std::to_string(length);
    const char* values[] = {oid.c_str(), from.c_str(), count.c_str()};
    Result result(
        PQexecParams(m_conn, "SELECT lo_get($1::oid, $2::bigint, $3::int)", 3, nullptr, values, nullptr, nullptr, 1));
    check(result.get(), "lo_get");
    if (PQntuples(result.get()) != 1 || PQgetlength(result.get(), 0, 0) != length) {
      throw StoreError("store " + m_where + ": the large object " + oid + " is shorter than its document");
    }
    std::memcpy(out, PQgetvalue(result.get(), 0, 0), static_cast<size_t>(length));
  }

  [[noreturn]] void fail(const std::string& doing) {
    throw StoreError("store " + m_where + ": " + doing + ": " + trimmed(PQerrorMessage(m_conn)));
  }

 private:
  struct ResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
  };
  using Result = std::unique_ptr<PGresult, ResultFree>;

  static std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
  }

  const char* prepare(const char* sql, int params) {
    auto it = m_statements.find(sql);
    if (it != m_statements.end()) return it->second.c_str();
    std::string name = "s" + std::to_string(m_statements.size());
    Result result(PQprepare(m_conn, name.c_str(), sql, params, nullptr));
    check(result.get(), sql);
    return m_statements.emplace(sql, name).first->second.c_str();
  }

  void check(PGresult* result, const char* sql) {
    ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    std::string code = state ? state : "";
    std::string message = "store " + m_where + ": cannot run '" + std::string(sql).substr(0, 80) +
                          "': " + trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(m_conn));
    // Unique name taken, parent gone, serialization failure, deadlock: another server got there first.
    if (code == "23505" || code == "23503" || code == "40001" || code == "40P01") throw StoreConflict(message);
    throw StoreError(message);
  }

  std::string m_where;
  PGconn* m_conn = nullptr;
  std::unordered_map<std::string, std::string> m_statements;
};

class PostgresStore;

class PgStaged : public StagedBody {
 public:
  PgStaged(PostgresStore& store, int64_t blob) : store(store), blob(blob) {}
  ~PgStaged() override;
  PostgresStore& store;
  int64_t blob;
};

class PostgresStore : public StoreBackend, public SqlBackendHooks {
 public:
  explicit PostgresStore(const std::string& uri) : m_uri(uri) {
    auto lease = acquire();
    PgConnection& c = *lease.connection;
    c.script("BEGIN");
    try {
      c.run(kSchemaLock);
      migrateSchema(c, kVersions, shown(uri));
      m_instance = c.run("SELECT value FROM meta WHERE key = 'instance'").at(0).text(0);
      // Documents staged by a server that died before its add committed.
      c.run("SELECT lo_unlink(blob) FROM staged WHERE created < now() - interval '1 day'");
      c.run("DELETE FROM staged WHERE created < now() - interval '1 day'");
      c.script("COMMIT");
    } catch (...) {
      c.script("ROLLBACK");
      throw;
    }
  }

  // A connection of the pool for one transaction; made on first need, replaced when it broke.
  struct Lease {
    PostgresStore* store;
    std::unique_ptr<PgConnection> connection;
    Lease(PostgresStore* s, std::unique_ptr<PgConnection> c) : store(s), connection(std::move(c)) {}
    Lease(Lease&&) = default;
    ~Lease() {
      if (connection) store->giveBack(std::move(connection));
    }
  };

  Lease acquire() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_available.wait(lock, [&] { return !m_idle.empty() || m_open < kPoolSize; });
    if (!m_idle.empty()) {
      auto c = std::move(m_idle.back());
      m_idle.pop_back();
      return Lease(this, std::move(c));
    }
    ++m_open;
    lock.unlock();
    try {
      return Lease(this, std::make_unique<PgConnection>(m_uri));
    } catch (...) {
      std::lock_guard<std::mutex> again(m_lock);
      --m_open;
      m_available.notify_one();
      throw;
    }
  }

  void giveBack(std::unique_ptr<PgConnection> c) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (c->healthy() && PQtransactionStatus(c->raw()) == PQTRANS_IDLE) {
      m_idle.push_back(std::move(c));
    } else {
      --m_open;  // a broken connection is dropped; the next caller opens a new one
    }
    m_available.notify_one();
  }

  std::unique_ptr<StoreTransaction> begin(bool write) override {
    auto lease = std::make_shared<Lease>(acquire());
    lease->connection->script(write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    PgConnection& c = *lease->connection;
    return std::make_unique<SqlTransaction>(*this, c, write, [lease]() mutable { lease.reset(); });
  }

  StagedDocument stage(ZEBDocumentOutputI& source, const std::string& contentType, int64_t maxBytes) override {
    StagedDocument staged;
    staged.m_contentType = contentType;
    auto lease = acquire();
    PgConnection& c = *lease.connection;
    c.script("BEGIN");
    try {
      int64_t blob = c.run("SELECT lo_create(0)").at(0).integer(0);
      c.run("INSERT INTO staged(blob) VALUES ($1)", {blob});
      int fd = lo_open(c.raw(), static_cast<Oid>(blob), INV_WRITE);
      if (fd < 0) c.fail("cannot open a large object");
      Sha256 hash;
      std::vector<char> buffer(kPiece);
      source.rewind();
      for (size_t n; (n = source.read(buffer.data(), buffer.size())) > 0;) {
        staged.m_size += static_cast<int64_t>(n);
        if (maxBytes >= 0 && staged.m_size > maxBytes) {
          throw StoreError("the document is larger than the limit of " + std::to_string(maxBytes) + " bytes");
        }
        hash.update(buffer.data(), n);
        if (lo_write(c.raw(), fd, buffer.data(), n) != static_cast<int>(n)) c.fail("cannot write a large object");
      }
      if (lo_close(c.raw(), fd) != 0) c.fail("cannot close a large object");
      c.script("COMMIT");
      staged.m_sha256 = hash.hexDigest();
      staged.m_body = std::make_unique<PgStaged>(*this, blob);
    } catch (...) {
      try {
        c.script("ROLLBACK");
      } catch (const StoreError&) {
      }
      throw;
    }
    return staged;
  }

  void dropStaged(int64_t blob) {
    try {
      auto lease = acquire();
      PgConnection& c = *lease.connection;
      c.script("BEGIN");
      if (!c.run("DELETE FROM staged WHERE blob = $1 RETURNING blob", {blob}).empty()) {
        c.run("SELECT lo_unlink($1)", {blob});
      }
      c.script("COMMIT");
    } catch (const StoreError&) {
      // Left for the clean-up at the next start.
    }
  }

  // ---- the transaction's hooks
  const SqlDialect& dialect() const override { return kDialect; }
  const std::string& instanceText() const override { return m_instance; }

  void placeDocument(SqlTransaction& tx, int64_t object, const std::string& property,
                     const StagedDocument& document) override {
    auto* body = dynamic_cast<PgStaged*>(document.m_body.get());
    if (body == nullptr) throw StoreError("the document was not staged in this store");
    SqlConnection& c = tx.connection();
    int64_t blob = body->blob;
    // The first object to take a staged document takes its large object; another in the same add
    // gets a copy, so that every document row owns its own.
    if (c.run("DELETE FROM staged WHERE blob = $1 RETURNING blob", {blob}).empty()) {
      blob = c.run("SELECT lo_from_bytea(0, lo_get($1))", {blob}).at(0).integer(0);
    }
    c.run("INSERT INTO documents(object, property, content_type, size, sha256, blob) VALUES ($1, $2, $3, $4, $5, $6)",
          {object, property, document.m_contentType, document.m_size, document.m_sha256, blob});
  }

  void fillDocument(DocumentRecord& record, const SqlRow& row) override { record.blob = row.integer(4); }

  std::string readDocument(SqlConnection& c, const DocumentRecord& document, int64_t skip, int64_t length) override {
    std::string bytes(static_cast<size_t>(length), '\0');
    auto& pg = static_cast<PgConnection&>(c);
    for (int64_t done = 0; done < length;) {
      int64_t piece = std::min<int64_t>(length - done, int64_t(8) << 20);
      pg.readBlob(document.blob, skip + done, piece, &bytes[static_cast<size_t>(done)]);
      done += piece;
    }
    return bytes;
  }

  void dropDocuments(SqlTransaction& tx, const std::vector<std::string>& keys) override {
    for (const std::string& blob : keys) tx.connection().run("SELECT lo_unlink($1)", {blob});
  }

 private:
  std::string m_uri, m_instance;
  std::mutex m_lock;
  std::condition_variable m_available;
  std::vector<std::unique_ptr<PgConnection>> m_idle;
  size_t m_open = 0;
};

PgStaged::~PgStaged() {
  store.dropStaged(blob);
}

}  // namespace

std::unique_ptr<StoreBackend> openPostgresStore(const std::string& uri) {
  return std::make_unique<PostgresStore>(uri);
}

}  // namespace dvlservice
