// dvl-contentd as a child process: it prints where it listens, keeps a file store across restarts,
// stops cleanly on SIGTERM and SIGINT, and refuses to start on a bad configuration.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ZEBHelper.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"

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

std::string call(int port, const ZEBMessageI& request, const std::string& passport = "") {
  ZEBVorbHeader header;
  header.setPassport(passport.c_str());
  std::string body = ZEBSoap::writeEnvelope(request, passport.empty() ? nullptr : &header);
  httplib::Client client("127.0.0.1", port);
  auto res = client.Post("/dvl", body, "text/xml");
  return res ? res->body : std::string();
}

std::string logon(int port) {
  ZEBAuthenticationLogon_Request request;
  request.getCredentials(&request.getObjectRegistry())
      ->setValue(
          "<credential><namespace>LDAP</namespace><username>demo</username><password>demo</password></credential>");
  std::string body = call(port, request);
  ZEBAuthenticationLogon_Reply reply;
  ZEBSoap::readEnvelope(body.data(), body.size(), reply);
  const char* passport = ZEBHelper::getPassport(reply.getVorbHeader(nullptr));
  return passport ? passport : "";
}

class ServiceDaemonFiles : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "dvl-daemon-XXXXXX").string();
    m_dir = ::mkdtemp(&pattern[0]);
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }
  std::string m_dir;
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

TEST_F(ServiceDaemonFiles, AFileStoreAndItsCredentialKeyOutliveTheProcess) {
  std::string store = m_dir + "/content.db", key = m_dir + "/credential.pem";
  std::vector<std::string> arguments = {"--listen", "127.0.0.1:0",      "--log", "off", "--store",
                                        store,      "--credential-key", key};
  std::string publicKey;
  {
    Daemon daemon(arguments);
    ASSERT_GT(daemon.port(), 0);
    std::string passport = logon(daemon.port());
    ASSERT_FALSE(passport.empty());
    ZEBContentAdd_Request add;
    ZEBFolder folder;
    ZEBTokenProp name;
    name.setValue("Kept");
    folder.setDefaultName(&name);
    add.getObjects(&add.getObjectRegistry())->push_back(&folder);
    EXPECT_NE(call(daemon.port(), add, passport).find("Kept"), std::string::npos);
    httplib::Client client("127.0.0.1", daemon.port());
    publicKey = client.Get("/dvl/credential-key")->body;
    EXPECT_EQ(daemon.stop(SIGINT), 0);
  }
  struct stat info;
  ASSERT_EQ(::stat(key.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 077, 0u);  // the private key is the owner's alone

  Daemon again(arguments);
  ASSERT_GT(again.port(), 0);
  std::string passport = logon(again.port());
  ZEBContentQuery_Request query;
  query.getSearchPath(&query.getObjectRegistry())->setValue("/content/folder[@name='Kept']");
  std::string body = call(again.port(), query, passport);
  ZEBContentQuery_Reply reply;
  ZEBSoap::readEnvelope(body.data(), body.size(), reply);
  ASSERT_NE(reply.getResult(), nullptr);
  EXPECT_EQ(reply.getResult()->size(), 1u);
  httplib::Client client("127.0.0.1", again.port());
  EXPECT_EQ(client.Get("/dvl/credential-key")->body, publicKey);
  EXPECT_EQ(again.stop(SIGTERM), 0);
}

TEST_F(ServiceDaemonFiles, ABadConfigurationStopsItBeforeItListens) {
  EXPECT_NE(Daemon({"--listen", "127.0.0.1:0", "--users", m_dir + "/missing"}).wait(), 0);
  EXPECT_NE(Daemon({"--listen", "10.1.2.3:0"}).wait(), 0);
  EXPECT_NE(Daemon({"--listen", "127.0.0.1:0", "--inject", "explode"}).wait(), 0);
}

}  // namespace
