// Calls per second of dvl-contentd as it scales out: one server on SQLite, one on PostgreSQL, three on
// one PostgreSQL database, side by side in one run. Sixteen clients, spread over the servers, make
// mixed calls (logon once, then queries, adds of an output with a 4 KiB document, deletes) for a fixed
// time; a PostgreSQL cluster is made for the run with tests/support/pg-cluster.sh and removed after.
//
//   scale_bench [SECONDS]      (default 10 per configuration; DVL_BENCH_DIR for the SQLite file)
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DVL.h"
#include "DVLAddOutput.h"
#include "DVLDelete.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "ZEBHttpTransport.h"
#include "support/Daemon.h"

namespace {

constexpr int kClients = 16;
constexpr auto kUntrusted = ZEBSOAPSessionI::ZEBSOAPUntrusted;

struct Figures {
  long calls = 0, errors = 0;
  double seconds = 0;
};

Figures run(const std::vector<std::string>& stores, double seconds) {
  std::vector<std::unique_ptr<Daemon>> servers;
  for (const std::string& store : stores) {
    servers.push_back(std::make_unique<Daemon>(
        std::vector<std::string>{"--listen", "127.0.0.1:0", "--store", store, "--log", "off", "--no-demo-content"}));
    if (servers.back()->port() == 0) {
      std::fprintf(stderr, "scale_bench: dvl-contentd did not start on %s\n", store.c_str());
      std::exit(1);
    }
  }
  std::atomic<long> calls{0}, errors{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      ZEBHttpSettings settings;
      settings.endpoint = servers[static_cast<size_t>(c) % servers.size()]->url();
      settings.poolSize = 1;
      ZEBLiveVorbTK factory(settings);
      ZEBSOAPSessionI& session = *factory.createSession();
      const std::string document(4096, 'b');
      std::vector<std::string> mine;
      std::string last;  // the name of the newest add still there
      try {
        DVLLogon logon(session, nullptr, kUntrusted);
        logon.addCredentials("LDAP", "demo", "demo", 0);
        logon.execute();
      } catch (const std::exception&) {
        ++errors;
        return;
      }
      for (long i = 0; !stop; ++i) {
        try {
          if (i % 10 < 6) {
            DVLQuery query(session, nullptr, kUntrusted);
            // One object: the reply's size stays the same however many objects the run added.
            query.setPath(last.empty() ? "/content" : ("/content/output[@name='" + last + "']").c_str());
            query.execute();
          } else if (i % 10 < 9 || mine.empty()) {
            std::string name = "c" + std::to_string(c) + "-" + std::to_string(i);
            ZEBMemoryDocumentOutput data(document.data(), document.size(), "application/pdf");
            DVLAddOutput add(session, nullptr, kUntrusted);
            add.setParentPath("/content");
            add.setName(name.c_str());
            add.setData(&data);
            add.execute();
            mine.push_back(add.getStoreID() ? add.getStoreID() : "");
            last = name;
          } else {
            DVLDelete remove(session, nullptr, kUntrusted);
            remove.addStoreId(mine.back().c_str());
            remove.execute();
            mine.pop_back();
            last.clear();
          }
          ++calls;
        } catch (const std::exception&) {
          ++errors;
        }
      }
    });
  }
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (std::thread& t : clients) t.join();
  Figures f;
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  f.calls = calls;
  f.errors = errors;
  for (auto& s : servers) s->stop(SIGTERM);
  return f;
}

std::string shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "scale_bench: '%s' failed\n", command.c_str());
    std::exit(1);
  }
  return command;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
  const char* dir = std::getenv("DVL_BENCH_DIR");
  const std::string scratch = std::string(dir && *dir ? dir : "/tmp") + "/scale-bench-" + std::to_string(::getpid());
  const std::string state = scratch + ".pg";
  DVL::initialize();
  shell(std::string(DVL_PG_CLUSTER) + " start " + state);
  std::string base;
  std::getline(std::ifstream(state), base);
  auto database = [&](const std::string& name) {
    shell("psql -q '" + base + "' -c 'CREATE DATABASE " + name + "'");
    return base.substr(0, base.find("/postgres")) + "/" + name + base.substr(base.find("/postgres") + 9);
  };
  struct Row {
    const char* what;
    std::vector<std::string> stores;
  };
  std::vector<Row> rows = {{"1 server, SQLite", {scratch + ".db"}},
                           {"1 server, PostgreSQL", {database("one")}},
                           {"3 servers, one PostgreSQL database", {}}};
  std::string shared = database("three");
  rows[2].stores = {shared, shared, shared};
  std::printf("%d clients, mixed calls (60%% query, 30%% add with 4 KiB, 10%% delete), %.0f s each\n", kClients,
              seconds);
  std::printf("%-36s %12s %8s\n", "configuration", "calls/s", "errors");
  for (const Row& row : rows) {
    Figures f = run(row.stores, seconds);
    std::printf("%-36s %12.0f %8ld\n", row.what, f.calls / f.seconds, f.errors);
    std::fflush(stdout);
  }
  shell(std::string(DVL_PG_CLUSTER) + " stop " + state);
  shell("rm -rf '" + scratch + ".db' '" + scratch + ".db.documents' '" + scratch + ".db-wal' '" + scratch + ".db-shm'");
  return 0;
}
