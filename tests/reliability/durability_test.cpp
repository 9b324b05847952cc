// dvl-contentd killed with SIGKILL while clients add and delete documents, then started again on the
// same store, several times over. After each kill the database passes SQLite's integrity check and
// every document row has its file, whole; after each restart every acknowledged add is there with
// its document byte for byte, every acknowledged delete stays done, and an add or delete cut off by
// the kill has happened whole or not at all. The kill comes at a seeded random moment
// (DVL_RELIABILITY_SEED repeats a run's seed).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DVL.h"
#include "DVLQuery.h"
#include "Host.h"
#include "support/Daemon.h"
#include "support/Files.h"
#include "support/TestStore.h"

namespace {

namespace fs = std::filesystem;
constexpr auto kUntrusted = Host::kUntrusted;
constexpr int kRounds = 3;
constexpr int kWriters = 4;

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static const char hex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) text += {hex[digest[i] >> 4], hex[digest[i] & 15]};
  return text;
}

std::vector<std::vector<std::string>> rows(sqlite3* db, const char* sql) {
  std::vector<std::vector<std::string>> result;
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  while (statement && sqlite3_step(statement) == SQLITE_ROW) {
    result.emplace_back();
    for (int c = 0; c < sqlite3_column_count(statement); ++c)
      result.back().push_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, c)));
  }
  sqlite3_finalize(statement);
  return result;
}

// What the test knows of one object it tried to add, by name. An object whose add or delete was cut
// off by a kill is Sent or DeleteSent until a restart shows which way it went.
struct Entry {
  enum State { Sent, Added, DeleteSent, Gone } state = Sent;
  std::string sha256;  // of the document sent
  std::string storeId;
  int writer = -1;
};

// What the writers sent and what was answered, by object name.
struct Ledger {
  void set(const std::string& name, const Entry& entry) {
    std::lock_guard<std::mutex> hold(lock);
    entries[name] = entry;
    added += entry.state == Entry::Added;
  }

  std::mutex lock;
  std::map<std::string, Entry> entries;  // read without the lock only while no writer runs
  std::atomic<int> added{0};
};

class Durability : public testing::Test {
 protected:
  void SetUp() override {
    DVL::initialize();
    m_store = teststore::fresh(m_dir / "s.db");
    const char* fixed = std::getenv("DVL_RELIABILITY_SEED");
    m_seed = fixed && *fixed ? std::strtoul(fixed, nullptr, 10) : std::random_device()();
    std::cout << "DVL_RELIABILITY_SEED=" << m_seed << std::endl;
    RecordProperty("seed", std::to_string(m_seed));
  }

  // One writer of a round: adds outputs, each with a document of its own, and now and then deletes
  // the oldest of its adds still there (mine), until the server goes. In the first round every other
  // add carries a document that all share, so that equal documents share a file that the deletes of
  // later rounds must leave to the objects still holding it.
  void write(const std::string& url, int round, int writer, std::vector<std::pair<std::string, Entry>> mine,
             const std::atomic<bool>& killed) {
    std::mt19937 random(m_seed + round * 100 + writer);
    try {
      Host host(url, 10000);
      host.logon();
      for (int i = 0;; ++i) {
        if (i % 5 == 4 && !mine.empty()) {
          auto [name, entry] = mine.front();
          mine.erase(mine.begin());
          m_ledger.set(name, {Entry::DeleteSent, entry.sha256, entry.storeId, writer});
          host.remove(entry.storeId);
          m_ledger.set(name, {Entry::Gone, entry.sha256, entry.storeId, writer});
          continue;
        }
        const std::string name = "r" + std::to_string(round) + "-w" + std::to_string(writer) + "-" + std::to_string(i);
        std::string bytes = "shared document";
        if (round > 0 || i % 2 == 0) {
          size_t size = random() % 16 == 0 ? (256u << 10) + random() % (768u << 10) : 16 + random() % (64u << 10);
          bytes = name + ":";
          while (bytes.size() < size) bytes += static_cast<char>(random());
        }
        Entry entry{Entry::Sent, sha256Hex(bytes), "", writer};
        m_ledger.set(name, entry);
        entry.storeId = host.add(m_folder, name, bytes, "application/octet-stream").storeId;
        entry.state = Entry::Added;
        m_ledger.set(name, entry);
        mine.emplace_back(name, entry);
      }
    } catch (const std::exception& e) {
      if (!killed) {
        std::lock_guard<std::mutex> lock(m_failuresLock);
        m_failures.push_back("writer " + std::to_string(writer) + " before the kill: " + e.what());
      }
    }
  }

  // The crashed store as the next server will find it, checked on a copy so that the server still
  // does its own recovery: SQLite's integrity check, and a whole file for every document row.
  void checkCrashedStore() {
    if (teststore::postgres()) return checkPostgresStore(false);
    const std::string copy = m_dir / "copy.db";
    fs::copy_file(m_store, copy, fs::copy_options::overwrite_existing);
    if (fs::exists(m_store + "-wal"))
      fs::copy_file(m_store + "-wal", copy + "-wal", fs::copy_options::overwrite_existing);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_EQ(rows(db, "PRAGMA integrity_check"), (std::vector<std::vector<std::string>>{{"ok"}}));
    EXPECT_TRUE(rows(db, "PRAGMA foreign_key_check").empty());
    for (const auto& row : rows(db, "SELECT DISTINCT sha256, size FROM documents")) {
      const std::string path = m_store + ".documents/" + row[0].substr(0, 2) + "/" + row[0];
      std::string bytes = readFile(path);
      EXPECT_EQ(std::to_string(bytes.size()), row[1]) << path;
      EXPECT_EQ(sha256Hex(bytes), row[0]) << path;
    }
    sqlite3_close(db);
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(copy + suffix);
  }

  // PostgreSQL: every document row has its large object, whole; at the end no large object is
  // left that neither a row nor a staged add holds.
  void checkPostgresStore(bool strays) {
    PGconn* c = PQconnectdb(m_store.c_str());
    ASSERT_EQ(PQstatus(c), CONNECTION_OK) << PQerrorMessage(c);
    auto count = [&](const char* sql) {
      PGresult* r = PQexec(c, sql);
      EXPECT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQerrorMessage(c);
      std::string n = PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "?";
      PQclear(r);
      return n;
    };
    EXPECT_EQ(count("SELECT count(*) FROM documents d WHERE NOT EXISTS (SELECT 1 FROM pg_largeobject_metadata m "
                    "WHERE m.oid = d.blob) OR length(lo_get(d.blob)) <> d.size OR encode(sha256(lo_get(d.blob)), "
                    "'hex') <> d.sha256"),
              "0");
    if (strays) {
      EXPECT_EQ(count("SELECT count(*) FROM pg_largeobject_metadata WHERE oid NOT IN (SELECT blob FROM documents "
                      "UNION SELECT blob FROM staged)"),
                "0");
      EXPECT_NE(count("SELECT count(*) FROM documents"), "0");
    }
    PQfinish(c);
  }

  // Reads every object of the folder back with its document, compares with the ledger, and settles
  // each add or delete that a kill cut off the way the store shows it went.
  void checkReadBack(ZEBSOAPSessionI& session) {
    DVLQuery query(session, nullptr, kUntrusted);
    query.setPath((m_folder + "/*").c_str());
    ZEBPropEnum data(ZEBPropEnum::data);
    query.setProperty(data);
    ZEBEncodingEnum mime(ZEBEncodingEnum::MIME);
    query.getQueryOptions().setDataEncoding(&mime);
    query.execute();
    std::map<std::string, std::string> documents;  // content identifier -> SHA-256
    for (const ZEBReceivedAttachment& a : query.getReply().getReceivedAttachments())
      documents[a.contentId] = sha256Hex(a.bytes);
    std::map<std::string, Entry> stored;
    for (int i = 0; i < query.getObjectCount(); ++i) {
      std::string storeId = query.getStoreID(i);
      stored[query.getName(i)] = Entry{Entry::Added, documents[storeId + ".data"], storeId, -1};
    }

    for (auto& [name, expected] : m_ledger.entries) {
      auto found = stored.find(name);
      EXPECT_FALSE(expected.state == Entry::Added && found == stored.end())
          << "the acknowledged add of " << name << " is lost";
      EXPECT_FALSE(expected.state == Entry::Gone && found != stored.end()) << "the deleted " << name << " is back";
      if (found == stored.end()) {
        expected.state = Entry::Gone;
        continue;
      }
      EXPECT_EQ(found->second.sha256, expected.sha256) << "the document of " << name << " differs";
      if (!expected.storeId.empty()) {
        EXPECT_EQ(found->second.storeId, expected.storeId) << name;
      }
      expected.state = Entry::Added;
      expected.storeId = found->second.storeId;
      stored.erase(found);
    }
    for (const auto& [name, entry] : stored) ADD_FAILURE() << "the store holds " << name << ", never added";
  }

  TempDir m_dir{"dvl-durability"};
  std::string m_store, m_folder;
  unsigned long m_seed = 0;
  Ledger m_ledger;
  std::mutex m_failuresLock;
  std::vector<std::string> m_failures;
};

TEST_F(Durability, AcknowledgedChangesSurviveSigkillMidStream) {
  std::mt19937 random(m_seed);
  for (int round = 0; round <= kRounds; ++round) {
    Daemon server({"--listen", "127.0.0.1:0", "--store", m_store, "--log", "off"});
    ASSERT_GT(server.port(), 0) << "dvl-contentd did not start: " << server.firstLine();
    Host host(server.url(), 10000);
    host.logon();
    if (round == 0) {
      m_folder = host.addFolder("/content", "Crash").path;
    } else {
      checkReadBack(host.session());
    }
    if (round == kRounds) {  // the last start only checks, and stops cleanly
      EXPECT_EQ(server.stop(SIGTERM), 0);
      break;
    }

    // Writers run until the server is killed, after a random number of acknowledged adds and a few
    // random milliseconds more, so that the kill lands at different points of an exchange.
    const int killAfter = m_ledger.added + 15 + static_cast<int>(random() % 40);
    std::atomic<bool> killed{false};
    std::atomic<int> running{kWriters};
    std::vector<std::vector<std::pair<std::string, Entry>>> mine(kWriters);
    for (const auto& [name, entry] : m_ledger.entries)
      if (entry.state == Entry::Added) mine[entry.writer].emplace_back(name, entry);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        write(server.url(), round, w, mine[w], killed);
        --running;
      });
    }
    while (m_ledger.added < killAfter && running > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
    killed = true;
    server.stop(SIGKILL);
    for (std::thread& t : writers) t.join();
    ASSERT_EQ(m_failures, std::vector<std::string>());
    std::cout << "round " << round << ": SIGKILL after " << m_ledger.added << " acknowledged adds in all" << std::endl;
    checkCrashedStore();
  }

  if (teststore::postgres()) return checkPostgresStore(true);
  // The files left by the crashes went when the store was next opened: every file in the store is
  // one that a row names.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(m_store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::set<std::string> named;
  for (const auto& row : rows(db, "SELECT DISTINCT sha256 FROM documents")) named.insert(row[0]);
  sqlite3_close(db);
  std::vector<std::string> strays;
  for (const auto& file : fs::recursive_directory_iterator(m_store + ".documents"))
    if (file.is_regular_file() && named.count(file.path().filename().string()) == 0) strays.push_back(file.path());
  EXPECT_EQ(strays, std::vector<std::string>());
  EXPECT_FALSE(named.empty());
}

}  // namespace
