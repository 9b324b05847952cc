// dvl-contentd as a child process: what it refuses at start-up and with which exit code, options
// from a configuration file, SIGHUP. That it prints where it listens and stops cleanly on SIGTERM,
// the reliability tests rely on and check.
#include "support/Daemon.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <thread>

#include "support/Files.h"

namespace {

TEST(ServiceDaemon, StartUpRefusesWhatIsWrongWithItsExitCode) {
  TempDir dir;
  std::ofstream(dir / "unknown.conf") << "listen = 127.0.0.1:0\nno-such-option = 1\n";
  std::ofstream(dir / "notadb") << "not a database\n";
  std::ofstream(dir / "empty.pem").flush();
  Daemon first({"--listen", "127.0.0.1:0", "--log", "off"});
  ASSERT_GT(first.port(), 0);
  const std::string taken = "127.0.0.1:" + std::to_string(first.port());
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;  // 2: a bad value, 3: a file that cannot be read, 4: an address that cannot be bound
  };
  const Case cases[] = {
      {{"--listen", taken}, 4},
      {{"--listen", "10.1.2.3:0"}, 4},
      {{"--listen", "127.0.0.1:99999"}, 2},
      {{"--threads", "0"}, 2},
      {{"--passport-lifetime", "-5"}, 2},
      {{"--min-body-rate", "-1"}, 2},
      {{"--compress-above", "-1"}, 2},
      {{"--store", ""}, 2},
      {{"--store", dir / "notadb"}, 3},
      {{"--header-timeout", "0"}, 2},
      {{"--inject", "explode"}, 2},
      {{"--config", dir / "unknown.conf"}, 2},
      {{"--config", dir / "missing.conf"}, 2},
      {{"--users", "/nonexistent/dvl-users"}, 3},
      {{"--users", dir / "."}, 3},
      {{"--credential-key", dir / "empty.pem"}, 3},
      {{"--cert", dir / "missing.pem", "--key", dir / "missing.pem"}, 3},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    if (arguments[0] != "--listen" && arguments[0] != "--config")
      arguments.insert(arguments.end(), {"--listen", "127.0.0.1:0"});
    Daemon refused(arguments);
    EXPECT_EQ(refused.port(), 0) << arguments[0] << " " << arguments[1];
    EXPECT_EQ(refused.wait(), c.exitCode) << arguments[0] << " " << arguments[1];
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "notadb.documents"));  // a refused start leaves nothing
  EXPECT_EQ(first.stop(SIGTERM), 0);
}

// Options come from the file, the command line overrides them; SIGHUP reopens the log, so that a
// rotated log goes on in a new file, and the server keeps serving.
TEST(ServiceDaemon, AConfigurationFileAndSighupReopeningTheLog) {
  TempDir dir;
  std::ofstream(dir / "d.conf") << "# a comment\nlisten = 127.0.0.1:9\nlog = " << dir / "a.log" << "\nthreads = 2\n";
  Daemon daemon({"--config", dir / "d.conf", "--listen", "127.0.0.1:0"});
  ASSERT_GT(daemon.port(), 0) << daemon.firstLine();
  httplib::Client http("127.0.0.1", daemon.port());
  ASSERT_EQ(http.Get("/health")->status, 200);
  std::filesystem::rename(dir / "a.log", dir / "a.log.1");
  ::kill(daemon.pid(), SIGHUP);
  // The reopened log says so first; a busy machine may take a while to get there.
  for (int i = 0; i < 1000 && readFile(dir / "a.log").find("log reopened on SIGHUP") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(http.Get("/health")->status, 200);
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
  // The first line may be written just after the rename; the second goes to the new file.
  auto count = [](const std::string& text) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find("GET /health 200", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  EXPECT_GE(count(readFile(dir / "a.log")), 1u);
  EXPECT_EQ(count(readFile(dir / "a.log")) + count(readFile(dir / "a.log.1")), 2u);
}

}  // namespace
