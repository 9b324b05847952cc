// Library start and stop, and the host's switches. The toolkit's real start-up is replaced by a
// hook so that the test sees each call and can make it fail.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "DVL.h"
#include "ZEB.h"

namespace {

std::atomic<int> g_starts{0}, g_stops{0};
std::atomic<bool> g_failStart{false};

int hook(bool starting) {
  if (starting) {
    if (g_failStart) throw std::runtime_error("toolkit refused to start");
    ++g_starts;
    return 7;
  }
  ++g_stops;
  return 3;
}

class LifecycleTest : public testing::Test {
 protected:
  void SetUp() override {
    ZEB::setLifecycleHook(&hook);
    DVL::terminate();  // make sure the library is stopped
    g_starts = 0;
    g_stops = 0;
    g_failStart = false;
  }
  void TearDown() override {
    DVL::terminate();
    ZEB::setLifecycleHook(nullptr);
  }
};

// Only the first initialize starts the toolkit and only one terminate stops it; a failed start
// leaves the library stopped.
TEST_F(LifecycleTest, TheToolkitStartsOnceAndStopsOnce) {
  EXPECT_EQ(DVL::terminate(), 1);  // without initialize: nothing to stop
  EXPECT_EQ(g_stops, 0);
  EXPECT_EQ(DVL::initialize(), 7);
  EXPECT_EQ(DVL::initialize(), 1);
  EXPECT_EQ(g_starts, 1);
  EXPECT_EQ(DVL::terminate(), 1);
  EXPECT_EQ(DVL::terminate(), 1);
  EXPECT_EQ(g_stops, 1);
  EXPECT_EQ(DVL::initialize(), 7);
  EXPECT_EQ(g_starts, 2);
  DVL::terminate();

  g_failStart = true;
  EXPECT_THROW(DVL::initialize(), std::runtime_error);
  g_failStart = false;
  EXPECT_EQ(DVL::initialize(), 7);
}

// The status object's first use is concurrent too: one instance for all.
TEST_F(LifecycleTest, ConcurrentStartsAndStopsKeepTheToolkitBalanced) {
  std::vector<DVLStatus*> seen(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &seen] {
      seen[t] = &DVLStatus::getInstance();
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 3 == 0) {
          DVL::terminate();
        } else {
          DVL::initialize();
        }
        DVLStatus::getInstance().getUseCM();
      }
    });
  }
  for (auto& t : threads) t.join();
  DVL::terminate();
  EXPECT_EQ(g_starts.load(), g_stops.load());
  for (DVLStatus* s : seen) EXPECT_EQ(s, seen[0]);
}

}  // namespace
