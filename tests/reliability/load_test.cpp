// Sixteen clients, each on a kept-alive connection of its own, make DVL_LOAD_CALLS calls each
// (default 10000) against one dvl-contentd with its default settings: queries, multiple
// cache-validated queries, adds with a document and deletes, each client in a folder of its own.
// Every call must succeed and answer what the client's folder holds, and every client must be served
// before any has finished: a connection must not wait for others to close. The figures of speed are
// bench/'s.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
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
// The order of the calls, each client starting at another place in it: query, add, multiple
// cache-validated query, delete. Reads of the folder while it changes; each operation's answer on
// its own: the live query tests.
const std::string kSchedule = "qamqdamd";

// One client's folder, with one output named "seed" and the outputs it added since.
struct Folder {
  Host& host;
  Stored stored;
  std::deque<Stored> outputs;

  Stored addOutput(const std::string& name) {
    return host.add(stored.path, name, stored.path + "/" + name + ":" + std::string(512 + name.size() * 64, 'x'));
  }

  // Makes call number i of the kind; empty when it answered what the folder holds, else what was wrong.
  std::string call(char kind, int i) {
    const size_t children = outputs.size() + 1;
    const std::string all = stored.path + "/*";
    switch (outputs.empty() && kind == 'd' ? 'a' : kind) {
      case 'q': {
        DVLQuery query(host.session(), nullptr, kUntrusted);
        query.setPath(all.c_str());
        query.setSortOptions(ZEBPropEnum::defaultName, ZEBOrderEnum::descending);
        query.execute();
        return query.getObjectCount() == static_cast<int>(children) ? "" : "query: wrong object count";
      }
      case 'm': {
        DVLQueryMultipleCache cached(host.session(), nullptr, kUntrusted);
        DVLQueryRequest request(cached);
        request.setPath(all.c_str());
        cached.addRequest(request);
        cached.execute();
        const bool ok = cached.getReplyCount() == 1 && cached.getQueryResult(0)->size() == children &&
                        cached.getCacheValidatorReply() && *cached.getCacheValidatorReply();
        return ok ? "" : "queryMultipleCache: wrong reply or no cache validator";
      }
      case 'a':
        outputs.push_back(addOutput("output-" + std::to_string(i)));
        return outputs.back().storeId.empty() ? "add: no store identifier" : "";
      default:
        host.remove(outputs.front().storeId);
        outputs.pop_front();
        return "";
    }
  }
};

TEST(Load, SixteenClientsMakeMixedCallsWithoutAnError) {
  const char* setting = std::getenv("DVL_LOAD_CALLS");
  const int calls = setting && *setting ? std::atoi(setting) : 10000;
  ASSERT_GT(calls, 0);
  DVL::initialize();
  Daemon server({"--listen", "127.0.0.1:0", "--log", "off", "--store", teststore::fresh()});
  ASSERT_GT(server.port(), 0) << "dvl-contentd did not start: " << server.firstLine();

  std::vector<std::unique_ptr<Host>> hosts;
  for (int c = 0; c < kClients; ++c) hosts.push_back(std::make_unique<Host>(server.url(), 30000));
  std::atomic<int> ready{0}, served{0};
  std::vector<int> servedWhenDone(kClients, 0), errorCount(kClients, 0);
  std::vector<std::vector<std::string>> errors(kClients);  // the first few of each client
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      auto fail = [&](const std::string& what) {
        if (++errorCount[c] <= 3) errors[c].push_back(what);
      };
      ++ready;
      while (ready < kClients) std::this_thread::yield();  // all start together
      Folder folder{*hosts[c], {}, {}};
      try {
        hosts[c]->logon();
        ++served;  // a logon answered is a client served
        folder.stored = hosts[c]->addFolder("/content", "client-" + std::to_string(c));
        folder.addOutput("seed");
      } catch (const std::exception& e) {
        return fail(std::string("set-up: ") + e.what());
      }
      for (int i = 0; i < calls; ++i) {
        std::string wrong;
        try {
          wrong = folder.call(kSchedule[(i + c) % kSchedule.size()], i);
        } catch (const std::exception& e) {
          wrong = "call " + std::to_string(i) + ": " + e.what();
        }
        if (!wrong.empty()) fail(wrong);
      }
      servedWhenDone[c] = served;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(server.stop(SIGTERM), 0);

  for (int c = 0; c < kClients; ++c) {
    EXPECT_EQ(errorCount[c], 0) << "client " << c << ", first errors:\n" << testing::PrintToString(errors[c]);
    EXPECT_EQ(servedWhenDone[c], kClients) << "client " << c << " finished before every client was served once";
  }
}

}  // namespace
