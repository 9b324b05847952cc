// Sixteen clients, each on a kept-alive connection of its own, make DVL_LOAD_CALLS calls each
// (default 10000) against one dvl-contentd with its default settings: queries, lookups, multiple
// and cache-validated queries, the cache service, routing, capabilities, adds with a document and
// deletes, each client in a folder of its own. Every call must succeed and answer what the client's
// folder holds, and every client must be served before any has finished: a connection must not wait
// for others to close. Latency percentiles per kind and the throughput are printed and written to
// load-figures.txt in the working directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DVL.h"
#include "DVLAdd.h"
#include "DVLAddOutput.h"
#include "DVLCacheQueryCache.h"
#include "DVLDelete.h"
#include "DVLDetermineRouting.h"
#include "DVLGetObject.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "DVLQueryMultiple.h"
#include "DVLQueryMultipleCache.h"
#include "DVLReportHelper.h"
#include "ZEBHttpTransport.h"
#include "support/Daemon.h"
#include "support/TestStore.h"

namespace {

constexpr auto kUntrusted = ZEBSOAPSessionI::ZEBSOAPUntrusted;
constexpr int kClients = 16;

enum Kind { Query, Lookup, Multiple, MultipleCache, CacheService, Routing, Capabilities, Add, Delete, kKinds };
const char* const kKindNames[kKinds] = {
    "query", "lookup", "queryMultiple", "queryMultipleCache", "queryCache", "routing", "capabilities", "add", "delete"};
// The order of the calls; each client starts at another place in it.
constexpr Kind kSchedule[] = {Query,         Add,     Lookup, Multiple,     Capabilities, Query, Delete,
                              MultipleCache, Routing, Lookup, CacheService, Add,          Query, Delete};
constexpr int kScheduleLength = sizeof kSchedule / sizeof kSchedule[0];

struct Stored {
  std::string path, storeId;
};

// One client: its session, its folder with one output named "seed" and the outputs it added since,
// and what it measured.
class Client {
 public:
  Client(int index, const std::string& endpoint) : m_index(index), m_name("client-" + std::to_string(index)) {
    ZEBHttpSettings settings;
    settings.endpoint = endpoint;
    settings.connectTimeoutMs = 5000;
    settings.stallTimeoutMs = 30000;
    settings.poolSize = 1;  // one kept-alive connection per client
    m_factory = std::make_unique<ZEBLiveVorbTK>(settings);
    m_session = m_factory->createSession();
  }

  // Logs on, counted as served, then makes the client's folder and its seed.
  void start(std::atomic<int>& served) {
    DVLLogon logon(*m_session, nullptr, kUntrusted);
    logon.addCredentials("LDAP", "demo", "demo", 0);
    logon.execute();
    ++served;
    DVLAdd<ZEBFolder> folder(*m_session, nullptr, kUntrusted);
    folder.setParentPath("/content");
    folder.setName(m_name.c_str());
    folder.execute();
    m_folder = {folder.getPath(), folder.getStoreID()};
    m_seed = addOutput("seed");
  }

  // Makes call number i (by the schedule) and times it; a failure or a wrong answer is an error.
  void call(int i) {
    Kind kind = kSchedule[(i + m_index) % kScheduleLength];
    if (kind == Delete && m_outputs.empty()) kind = Add;
    auto start = std::chrono::steady_clock::now();
    std::string wrong;
    try {
      wrong = run(kind, i);
    } catch (const std::exception& e) {
      wrong = e.what();
    }
    m_latency[kind].push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    if (!wrong.empty() && ++m_errorCount <= 3) m_errors.push_back(std::string(kKindNames[kind]) + ": " + wrong);
  }

  std::vector<double> m_latency[kKinds];  // microseconds, by kind of call
  int m_errorCount = 0;
  std::vector<std::string> m_errors;  // the first few

 private:
  // Empty when the call answered what the folder holds, else what was wrong.
  std::string run(Kind kind, int i) {
    const size_t children = m_outputs.size() + 1;
    const std::string all = m_folder.path + "/*";
    auto expect = [](bool ok, const std::string& what) { return ok ? std::string() : what; };
    switch (kind) {
      case Query: {
        DVLQuery query(*m_session, nullptr, kUntrusted);
        query.setPath(all.c_str());
        query.setSortOptions(ZEBPropEnum::defaultName, ZEBOrderEnum::descending);
        query.execute();
        return expect(query.getObjectCount() == static_cast<int>(children), "wrong object count");
      }
      case Lookup: {
        DVLGetObject lookup(*m_session, nullptr, kUntrusted);
        lookup.setStoreID(m_folder.storeId.c_str());
        lookup.setChildName("seed");
        lookup.execute();
        return expect(lookup.wasFound() && m_seed.storeId == lookup.getStoreID(0), "the seed was not found");
      }
      case Multiple: {
        DVLQueryMultiple multiple(*m_session, nullptr, kUntrusted);
        DVLQueryRequest folder(multiple), seed(multiple);
        folder.setPath(all.c_str());
        seed.setStoreID(m_seed.storeId.c_str());
        multiple.addRequest(folder);
        multiple.addRequest(seed);
        multiple.execute();
        return expect(multiple.getReplyCount() == 2 && multiple.getQueryResult(0)->size() == children &&
                          multiple.getQueryResult(1)->size() == 1,
                      "wrong replies");
      }
      case MultipleCache: {
        DVLQueryMultipleCache cached(*m_session, nullptr, kUntrusted);
        DVLQueryRequest folder(cached);
        folder.setPath(all.c_str());
        cached.addRequest(folder);
        cached.execute();
        return expect(cached.getReplyCount() == 1 && cached.getQueryResult(0)->size() == children &&
                          cached.getCacheValidatorReply() && *cached.getCacheValidatorReply(),
                      "wrong reply or no cache validator");
      }
      case CacheService: {
        DVLCacheQueryCache cache(*m_session, nullptr, kUntrusted);
        cache.setObjectPath(m_folder.path.c_str());
        cache.execute();
        ZEBBaseClassArray* objects = cache.getQueryCacheResultObjects();
        return expect(objects && objects->size() == children + 1, "wrong object count");
      }
      case Routing: {
        ZEBSearchPathSingleObject path;
        path.setValue(m_seed.path.c_str());
        DVLDetermineRouting routing(*m_session, nullptr, kUntrusted);
        routing.addPath(&path);
        routing.execute();
        return expect(routing.getResult() && routing.getResult() == m_name, "wrong route");
      }
      case Capabilities: {
        ZEBVorbHeader header;
        std::vector<ZEBUserCapabilityEnum::Enum> capabilities;
        DVLReportHelper::getCapabilities(header, *m_session, capabilities, nullptr, nullptr);
        return expect(capabilities.size() == 9u, "wrong capabilities");
      }
      case Add:
        m_outputs.push_back(addOutput("output-" + std::to_string(i)));
        return expect(!m_outputs.back().storeId.empty(), "no store identifier");
      default: {
        DVLDelete remove(*m_session, nullptr, kUntrusted);
        remove.addStoreId(m_outputs.front().storeId.c_str());
        remove.execute();
        m_outputs.pop_front();
        return std::string();
      }
    }
  }

  Stored addOutput(const std::string& name) {
    std::string bytes = m_name + "/" + name + ":" + std::string(512 + name.size() * 64, 'x');
    ZEBMemoryDocumentOutput document(bytes.data(), bytes.size(), "application/pdf");
    DVLAddOutput add(*m_session, nullptr, kUntrusted);
    add.setParentPath(m_folder.path.c_str());
    add.setName(name.c_str());
    add.setData(&document);
    add.execute();
    return {add.getPath() ? add.getPath() : "", add.getStoreID() ? add.getStoreID() : ""};
  }

  int m_index;
  std::string m_name;
  std::unique_ptr<ZEBLiveVorbTK> m_factory;
  ZEBSOAPSessionI* m_session;
  Stored m_folder, m_seed;
  std::deque<Stored> m_outputs;
};

TEST(Load, SixteenClientsMakeMixedCallsWithoutAnError) {
  const char* setting = std::getenv("DVL_LOAD_CALLS");
  const int calls = setting && *setting ? std::atoi(setting) : 10000;
  ASSERT_GT(calls, 0);
  DVL::initialize();
  Daemon server({"--listen", "127.0.0.1:0", "--log", "off", "--store", teststore::fresh()});
  ASSERT_GT(server.port(), 0) << "dvl-contentd did not start: " << server.firstLine();

  std::vector<std::unique_ptr<Client>> clients;
  for (int c = 0; c < kClients; ++c) clients.push_back(std::make_unique<Client>(c, server.url()));
  std::atomic<int> ready{0}, served{0};
  std::vector<int> servedWhenDone(kClients, 0);
  std::vector<std::string> setUpFailures(kClients);
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      Client& client = *clients[c];
      ++ready;
      while (ready < kClients) std::this_thread::yield();  // all start together
      try {
        client.start(served);
      } catch (const std::exception& e) {
        setUpFailures[c] = e.what();
        return;
      }
      for (int i = 0; i < calls; ++i) client.call(i);
      servedWhenDone[c] = served;
    });
  }
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(server.stop(SIGTERM), 0);

  // Latency percentiles in milliseconds per kind of call and over all, then the throughput.
  std::ostringstream figures;
  figures << kClients << " clients x " << calls << " calls against dvl-contentd (default settings, store "
          << (teststore::postgres() ? "in PostgreSQL" : "in memory") << ")\n"
          << "latency ms            calls      p50      p90      p99      max\n";
  auto row = [&](const char* name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double p) { return v.empty() ? 0 : v[static_cast<size_t>(std::ceil(p * v.size())) - 1] / 1000; };
    char text[128];
    std::snprintf(text, sizeof text, "%-18s %8zu %8.2f %8.2f %8.2f %8.2f\n", name, v.size(), at(0.5), at(0.9), at(0.99),
                  at(1));
    figures << text;
  };
  std::vector<double> everything;
  for (int kind = 0; kind < kKinds; ++kind) {
    std::vector<double> all;
    for (const auto& client : clients)
      all.insert(all.end(), client->m_latency[kind].begin(), client->m_latency[kind].end());
    everything.insert(everything.end(), all.begin(), all.end());
    row(kKindNames[kind], all);
  }
  row("all", everything);
  figures << "throughput " << static_cast<long>(everything.size() / seconds) << " calls/s, " << std::fixed
          << std::setprecision(1) << seconds << " s in all\n";
  std::cout << figures.str();
  std::ofstream("load-figures.txt") << figures.str();

  for (int c = 0; c < kClients; ++c) {
    EXPECT_EQ(setUpFailures[c], "") << "client " << c;
    EXPECT_EQ(clients[c]->m_errorCount, 0) << "client " << c << ", first errors:\n"
                                           << testing::PrintToString(clients[c]->m_errors);
    EXPECT_EQ(servedWhenDone[c], kClients) << "client " << c << " finished before every client was served once";
  }
}

}  // namespace
