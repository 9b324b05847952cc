// dvl-contentd as a child process refuses to start on a bad configuration. That it prints where it
// listens and stops cleanly on SIGTERM, the reliability tests rely on and check.
#include "support/Daemon.h"

#include <gtest/gtest.h>

namespace {

TEST(ServiceDaemon, ABadConfigurationStopsItBeforeItListens) {
  EXPECT_NE(Daemon({"--listen", "127.0.0.1:0", "--users", "/nonexistent/dvl-users"}).wait(), 0);
  EXPECT_NE(Daemon({"--listen", "10.1.2.3:0"}).wait(), 0);
  EXPECT_NE(Daemon({"--listen", "127.0.0.1:0", "--inject", "explode"}).wait(), 0);
}

}  // namespace
