// dvl-contentd as a child process: it prints where it listens, stops cleanly on SIGTERM, and refuses
// to start on a bad configuration.
#include "support/Daemon.h"

#include <gtest/gtest.h>
#include <httplib.h>

namespace {

TEST(ServiceDaemon, PrintsItsAddressAndStopsCleanlyOnSigterm) {
  Daemon daemon({"--listen", "127.0.0.1:0", "--log", "off"});
  ASSERT_EQ(daemon.firstLine().rfind("listening on http://127.0.0.1:", 0), 0u) << daemon.firstLine();
  EXPECT_NE(daemon.firstLine().find("/dvl\n"), std::string::npos);
  httplib::Client client("127.0.0.1", daemon.port());
  auto wsdl = client.Get("/dvl?wsdl");
  ASSERT_TRUE(wsdl);
  EXPECT_EQ(wsdl->status, 200);
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

TEST(ServiceDaemon, ABadConfigurationStopsItBeforeItListens) {
  EXPECT_NE(Daemon({"--listen", "127.0.0.1:0", "--users", "/nonexistent/dvl-users"}).wait(), 0);
  EXPECT_NE(Daemon({"--listen", "10.1.2.3:0"}).wait(), 0);
  EXPECT_NE(Daemon({"--listen", "127.0.0.1:0", "--inject", "explode"}).wait(), 0);
}

}  // namespace
