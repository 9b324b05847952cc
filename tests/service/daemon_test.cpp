// dvl-contentd as a child process: it prints where it listens, stops cleanly on SIGTERM, and refuses
// to start on a bad configuration.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class Daemon {
 public:
  explicit Daemon(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), DVL_CONTENTD);
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {  // only what is safe between fork and exec
      ::dup2(out[1], 1);
      int quiet = ::open("/dev/null", O_WRONLY);
      ::dup2(quiet, 2);
      ::close(out[0]);
      ::close(out[1]);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    std::FILE* stdoutOfChild = ::fdopen(out[0], "r");
    char line[512] = {0};
    if (std::fgets(line, sizeof line, stdoutOfChild)) m_firstLine = line;
    std::fclose(stdoutOfChild);
    size_t colon = m_firstLine.rfind(':');
    if (colon != std::string::npos) m_port = std::atoi(m_firstLine.c_str() + colon + 1);
  }
  ~Daemon() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  // The exit status after the signal; -1 when the process did not exit normally.
  int stop(int signal) {
    int status = 0;
    ::kill(m_pid, signal);
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int wait() {
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& firstLine() const { return m_firstLine; }
  int port() const { return m_port; }

 private:
  pid_t m_pid = -1;
  std::string m_firstLine;
  int m_port = 0;
};

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
