// Several dvl-contentd on one PostgreSQL database (DVL_TEST_STORE=postgres): sixteen clients spread
// over three servers make mixed calls while one server is killed with SIGKILL; concurrent adds of one
// name through different servers; haproxy (docs/haproxy-dvl.cfg) in front of two servers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DVL.h"
#include "DVLLogoff.h"
#include "Host.h"
#include "ZEBErrors.h"
#include "support/Daemon.h"
#include "support/Peers.h"
#include "support/TestStore.h"

namespace {

constexpr int kClients = 16, kCalls = 24;

// Servers on one fresh database.
struct Fleet {
  explicit Fleet(int count) {
    for (int i = 0; i < count; ++i) {
      servers.push_back(std::make_unique<Daemon>(
          std::vector<std::string>{"--listen", "127.0.0.1:0", "--store", store, "--log", "off"}));
      EXPECT_GT(servers.back()->port(), 0) << "server " << i << ": " << servers.back()->firstLine();
    }
  }
  std::string store = teststore::fresh();
  std::vector<std::unique_ptr<Daemon>> servers;
};

class MultiInstance : public testing::Test {
 protected:
  void SetUp() override { DVL::initialize(); }
};

TEST_F(MultiInstance, SixteenClientsOnThreeServersLoseNothingWhenOneIsKilled) {
  Fleet fleet(3);
  Host setup(fleet.servers[0]->url());
  setup.logon();
  const std::string parent = setup.addFolder("/content", "Fleet").path;

  // What each name went through: 1 add sent, 2 add acknowledged, 3 delete sent, 4 delete acknowledged.
  std::mutex lock;
  std::map<std::string, int> ledger;
  auto note = [&](const std::string& name, int state) {
    std::lock_guard<std::mutex> guard(lock);
    ledger[name] = state;
  };
  std::atomic<int> acknowledged{0}, errors{0}, movedOver{0}, interrupted{0};
  std::atomic<bool> killed{false};
  std::vector<std::string> firstErrors;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      // Its own server first, then the others: the transport moves on when its server is gone.
      const int server = c % 3;
      Host host(fleet.servers[server]->url());
      host.connect({fleet.servers[server]->url(), fleet.servers[(server + 1) % 3]->url(),
                    fleet.servers[(server + 2) % 3]->url()});
      std::vector<std::pair<std::string, std::string>> mine;  // name, store identifier
      bool loggedOn = false;  // a logon cut by the kill is made again, on another server
      for (int i = 0; i < kCalls; ++i) {
        std::string name = "c" + std::to_string(c) + "-" + std::to_string(i);
        bool deleting = false;
        try {
          if (!loggedOn) {
            host.logon();
            loggedOn = true;
          }
          if (i % 4 == 3 && !mine.empty()) {
            deleting = true;
            note(mine.front().first, 3);
            host.remove(mine.front().second);
            note(mine.front().first, 4);
            mine.erase(mine.begin());
          } else if (i % 4 == 2) {
            std::set<std::string> seen = host.names(parent + "/*");
            for (const auto& m : mine) {
              if (!seen.count(m.first)) throw std::runtime_error("the acknowledged " + m.first + " is not listed");
            }
          } else {
            note(name, 1);
            mine.emplace_back(name, host.add(parent, name, name + std::string(2000 + 97 * i, 'd')).storeId);
            note(name, 2);
            ++acknowledged;
          }
        } catch (const std::exception& e) {
          // A change in flight when its server died is not sent again: the host is told, and the
          // ledger allows either outcome, so a cut delete's name is no longer expected in listings.
          // The next call goes to another server.
          if (dynamic_cast<const ZEBTransportError*>(&e) && server == 2 && killed) {
            if (deleting) mine.erase(mine.begin());
            ++interrupted;
            continue;
          }
          std::lock_guard<std::mutex> guard(lock);
          if (++errors <= 3) firstErrors.push_back(name + ": " + e.what());
        }
      }
      if (server == 2 && host.factory->getTransport()->describe() != fleet.servers[2]->url()) ++movedOver;
      try {
        DVLLogoff(host.session(), nullptr).execute();
      } catch (const ZEBTransportError&) {
        if (server == 2 && killed) {
          ++interrupted;
        } else {
          ++errors;
        }
      } catch (const std::exception&) {
        ++errors;
      }
    });
  }
  while (acknowledged < kClients * kCalls / 6) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  killed = true;
  fleet.servers[2]->stop(SIGKILL);
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(errors.load(), 0) << (firstErrors.empty() ? "" : firstErrors.front());
  EXPECT_GT(movedOver.load(), 0);

  // Every acknowledged add is there, every acknowledged delete stays done; the rest either way.
  std::set<std::string> stored = setup.names(parent + "/*");
  for (const auto& [name, state] : ledger) {
    EXPECT_FALSE(state == 2 && !stored.count(name)) << "the acknowledged add of " << name << " is lost";
    EXPECT_FALSE(state == 4 && stored.count(name)) << "the deleted " << name << " is back";
  }
  std::cout << acknowledged << " acknowledged adds, " << stored.size() << " objects stored, " << movedOver
            << " clients failed over to another server, " << interrupted << " calls cut by the kill" << std::endl;
}

TEST_F(MultiInstance, OfConcurrentAddsOfOneNameThroughThreeServersExactlyOneSucceeds) {
  Fleet fleet(3);
  constexpr int kRivals = 9;
  std::atomic<int> ready{0}, added{0}, refused{0};
  std::vector<std::thread> rivals;
  for (int r = 0; r < kRivals; ++r) {
    rivals.emplace_back([&, r] {
      Host host(fleet.servers[r % 3]->url());
      host.logon();
      for (++ready; ready < kRivals;) std::this_thread::yield();
      try {
        host.add("/content", "contested", "rival " + std::to_string(r));
        ++added;
      } catch (const ZEBSOAPFault& fault) {
        if (fault.getDetail().find(">nameExists<") != std::string::npos) ++refused;
      }
    });
  }
  for (std::thread& t : rivals) t.join();
  EXPECT_EQ(added.load(), 1);
  EXPECT_EQ(refused.load(), kRivals - 1);
}

// haproxy with the sample configuration in front of two servers: calls go through either, and go on
// when one is killed.
TEST_F(MultiInstance, HaproxyWithTheSampleConfigurationStepsAroundADeadServer) {
  Fleet fleet(2);
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);  // a free port for haproxy
  const std::string front = "127.0.0.1:" + std::to_string(bindLoopback(probe));
  ::close(probe);
  pid_t haproxy = ::fork();
  if (haproxy == 0) {
    ::setenv("DVL_LISTEN", front.c_str(), 1);
    for (int i = 0; i < 2; ++i) {
      std::string server = "127.0.0.1:" + std::to_string(fleet.servers[i]->port());
      ::setenv(("DVL_SERVER" + std::to_string(i + 1)).c_str(), server.c_str(), 1);
    }
    ::execl("/usr/sbin/haproxy", "haproxy", "-db", "-q", "-f", DVL_HAPROXY_CONFIG, nullptr);
    ::_exit(127);
  }
  Host host("http://" + front + "/dvl");
  for (int attempt = 0;; ++attempt) {  // until haproxy listens
    try {
      host.logon();
      break;
    } catch (const ZEBTransportError&) {
      ASSERT_LT(attempt, 50) << "haproxy did not start";
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  for (int i = 0; i < 4; ++i) EXPECT_NO_THROW(host.add("/content", "via-" + std::to_string(i), "bytes"));
  fleet.servers[0]->stop(SIGKILL);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a few health checks
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(host.names("/content/output[@name='via-" + std::to_string(i) + "']").size(), 1u);
  ::kill(haproxy, SIGTERM);
  ::waitpid(haproxy, nullptr, 0);
}

}  // namespace
