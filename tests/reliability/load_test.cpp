// Sixteen clients, each on a kept-alive connection of its own, make DVL_LOAD_CALLS calls each
// (default 10000) against one dvl-contentd with its default settings: queries, multiple
// cache-validated queries, adds with a document and deletes, each client in a folder of its own.
// Every call must succeed and answer what the client's folder holds, and every client must be served
// before any has finished: a connection must not wait for others to close. The figures of speed are
// bench/'s.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DVL.h"
#include "DVLQuery.h"
#include "DVLQueryMultipleCache.h"
#include "Host.h"
#include "support/Daemon.h"
#include "support/TestStore.h"

namespace {

constexpr auto kUntrusted = Host::kUntrusted;
constexpr int kClients = 16;

// Reads of the folder while it changes; each operation's answer on its own: the live query tests.
enum Kind { Query, MultipleCache, Add, Delete, kKinds };
const char* const kKindNames[kKinds] = {"query", "queryMultipleCache", "add", "delete"};
// The order of the calls; each client starts at another place in it.
constexpr Kind kSchedule[] = {Query, Add, MultipleCache, Query, Delete, Add, MultipleCache, Delete};
constexpr int kScheduleLength = sizeof kSchedule / sizeof kSchedule[0];

// One client: its session, its folder with one output named "seed" and the outputs it added since.
class Client {
 public:
  Client(int index, const std::string& endpoint)
      : m_index(index), m_name("client-" + std::to_string(index)), m_host(endpoint, 30000) {}

  // Logs on, counted as served, then makes the client's folder and its seed.
  void start(std::atomic<int>& served) {
    m_host.logon();
    ++served;
    m_folder = m_host.addFolder("/content", m_name);
    addOutput("seed");
  }

  // Makes call number i (by the schedule); a failure or a wrong answer is an error.
  void call(int i) {
    Kind kind = kSchedule[(i + m_index) % kScheduleLength];
    if (kind == Delete && m_outputs.empty()) kind = Add;
    std::string wrong;
    try {
      wrong = run(kind, i);
    } catch (const std::exception& e) {
      wrong = e.what();
    }
    if (!wrong.empty() && ++m_errorCount <= 3) m_errors.push_back(std::string(kKindNames[kind]) + ": " + wrong);
  }

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
        DVLQuery query(m_host.session(), nullptr, kUntrusted);
        query.setPath(all.c_str());
        query.setSortOptions(ZEBPropEnum::defaultName, ZEBOrderEnum::descending);
        query.execute();
        return expect(query.getObjectCount() == static_cast<int>(children), "wrong object count");
      }
      case MultipleCache: {
        DVLQueryMultipleCache cached(m_host.session(), nullptr, kUntrusted);
        DVLQueryRequest folder(cached);
        folder.setPath(all.c_str());
        cached.addRequest(folder);
        cached.execute();
        return expect(cached.getReplyCount() == 1 && cached.getQueryResult(0)->size() == children &&
                          cached.getCacheValidatorReply() && *cached.getCacheValidatorReply(),
                      "wrong reply or no cache validator");
      }
      case Add:
        m_outputs.push_back(addOutput("output-" + std::to_string(i)));
        return expect(!m_outputs.back().storeId.empty(), "no store identifier");
      default:
        m_host.remove(m_outputs.front().storeId);
        m_outputs.pop_front();
        return std::string();
    }
  }

  Stored addOutput(const std::string& name) {
    return m_host.add(m_folder.path, name, m_name + "/" + name + ":" + std::string(512 + name.size() * 64, 'x'));
  }

  int m_index;
  std::string m_name;
  Host m_host;
  Stored m_folder;
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
  EXPECT_EQ(server.stop(SIGTERM), 0);

  for (int c = 0; c < kClients; ++c) {
    EXPECT_EQ(setUpFailures[c], "") << "client " << c;
    EXPECT_EQ(clients[c]->m_errorCount, 0) << "client " << c << ", first errors:\n"
                                           << testing::PrintToString(clients[c]->m_errors);
    EXPECT_EQ(servedWhenDone[c], kClients) << "client " << c << " finished before every client was served once";
  }
}

}  // namespace
