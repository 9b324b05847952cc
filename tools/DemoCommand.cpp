// The demo and symbol commands: the typical host run against a server of its own, and the schema's
// symbol table.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "Cli.h"
#include "DVL.h"
#include "DVLTestInfo.h"
#include "HostRun.h"
#include "KRNThrowable.h"
#include "ZEBHelper.h"
#include "ZEBHttpTransport.h"
#include "ZEBRecording.h"
#include "zp2omsymbols1.h"

#ifdef DVL_WITH_SERVICE
#include "ContentServer.h"
#include "ContentService.h"
#endif

namespace dvl {

namespace {

// A server for the run: the embedded one when dvl has it, else dvl-contentd as a child process
// on a free loopback port, else the one --endpoint names.
class DemoServer {
 public:
  explicit DemoServer(const Args& args) {
#ifdef DVL_WITH_SERVICE
    (void)args;
    dvlservice::ServiceOptions serviceOptions;
    serviceOptions.storePath = ":memory:";
    m_service = std::make_unique<dvlservice::ContentService>(serviceOptions);
    dvlservice::ServerOptions serverOptions;
    serverOptions.port = 0;
    m_server = std::make_unique<dvlservice::ContentServer>(*m_service, serverOptions);
    m_server->start();
    m_url = m_server->getUrl();
    m_banner = "dvl-contentd serves a fresh demo store at " + m_url;
    ZEBHelper::setCredentialKey(m_service->getCredentialPublicKey().c_str());
#else
    if (args.endpointGiven) {
      m_url = args.endpoint;
      m_banner = "running against the server at " + m_url;
    } else {
      startChild();
    }
#endif
  }
  ~DemoServer() {
#ifdef DVL_WITH_SERVICE
    m_server->stop();
#endif
    if (m_child > 0) {
      ::kill(m_child, SIGTERM);
      ::waitpid(m_child, nullptr, 0);
    }
    if (!m_keyFile.empty()) std::remove(m_keyFile.c_str());
  }
  const std::string& url() const {
    return m_url;
  }
  const std::string& banner() const {
    return m_banner;
  }

 private:
  static std::string findServer() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
      std::string beside = std::string(self, n);
      beside = beside.substr(0, beside.rfind('/') + 1) + "dvl-contentd";
      if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t start = 0; start <= dirs.size();) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      std::string candidate = dirs.substr(start, end - start) + "/dvl-contentd";
      if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
      start = end + 1;
    }
    return "";
  }

  void startChild() {
    std::string server = findServer();
    if (server.empty()) {
      throw Failure(ExitLocalFile, "file", "noServer",
                    "this dvl has no embedded server and dvl-contentd is neither beside it nor on PATH: install "
                    "the dvl-contentd package, or give --endpoint URL of a running server");
    }
    int out[2];
    if (::pipe(out) != 0) fileError(std::string("cannot start dvl-contentd: ") + std::strerror(errno));
    // The child seals to a key made here, so no key is fetched or remembered for its passing port.
    auto [privateKey, publicKey] = ZEBHelper::generateCredentialKeyPair();
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp && *tmp ? tmp : "/tmp";
    std::string keyFile = folder + "/dvl-demo-key-XXXXXX";
    errno = 0;
    int fd = ::mkstemp(keyFile.data());
    bool written = fd >= 0 && ::write(fd, privateKey.data(), privateKey.size()) == ssize_t(privateKey.size());
    int error = errno != 0 ? errno : EIO;  // a short write leaves errno unset
    if (fd >= 0) ::close(fd);
    if (!written) {
      if (fd >= 0) ::unlink(keyFile.c_str());  // a private key is not left behind half written
      throw Failure(ExitLocalFile, "file", "file",
                    "cannot write a key file in " + folder + ": " + std::strerror(error));
    }
    m_keyFile = keyFile;
    ZEBHelper::setCredentialKey(publicKey.c_str());
    std::vector<std::string> words = {server, "--listen", "127.0.0.1:0", "--log", "off", "--credential-key", m_keyFile};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t parent = ::getpid();
    m_child = ::fork();
    if (m_child == 0) {
      // The server goes with dvl, however dvl ends (a signal, a broken pipe).
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      ::execv(server.c_str(), argv.data());
      ::_exit(127);
    }
    int failed = m_child < 0 ? errno : 0;
    ::close(out[1]);
    if (failed) {
      ::close(out[0]);
      m_child = 0;
      fileError("cannot start " + server + ": " + std::strerror(failed));
    }
    // It prints "listening on URL" once it serves.
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) != 0) fileError(server + " did not start (it said: '" + line + "')");
    m_url = line.substr(prefix.size());
    m_banner = "dvl-contentd (" + server + ") serves a fresh demo store at " + m_url;
  }

#ifdef DVL_WITH_SERVICE
  std::unique_ptr<dvlservice::ContentService> m_service;
  std::unique_ptr<dvlservice::ContentServer> m_server;
#endif
  pid_t m_child = 0;
  std::string m_url, m_banner;
  std::string m_keyFile;  // the child's private key, removed with it
};

}  // namespace

void defineDemo(CLI::App&, Args&) {}

int runDemo(Context& context) {
  const Args& args = context.args;
  // With --json the run's report becomes the "log" text of the result.
  char* text = nullptr;
  size_t length = 0;
  std::FILE* out = args.json ? open_memstream(&text, &length) : stdout;
  std::fprintf(out, "DVL::initialize() returned %d\n", DVL::initialize());
  try {
    if (!args.replayFile.empty()) {
      KRNSmartPointer<DVLTestInfo> settings(DVLTestInfo::create());
      VorbTK& factory = settings->getRecordedFilesAsSessionFactory("dvl demo", "", args.replayFile);
      std::fprintf(out, "replaying %s (no server)\n", args.replayFile.c_str());
      ensureCredentialKey();
      runTypicalHostRun(factory, out);
    } else {
      DemoServer server(args);
      std::fprintf(out, "%s\n", server.banner().c_str());
      auto live = std::make_shared<ZEBHttpTransport>(ZEBHttpSettings::fromConfiguration(server.url()));
      std::unique_ptr<VorbTK> factory;
      if (args.recordFile.empty()) {
        factory = std::make_unique<ZEBLiveVorbTK>(live->getSettings());
      } else {
        factory = std::make_unique<ZEBRecordingVorbTK>(live, args.recordFile);
        std::fprintf(out, "recording to %s\n", args.recordFile.c_str());
      }
      runTypicalHostRun(*factory, out);
    }
  } catch (...) {
    if (args.json) std::fclose(out), std::free(text);
    throw;
  }
  std::fprintf(out, "\nDVL::terminate() returned %d\n", DVL::terminate());
  if (args.json) {
    std::fclose(out);
    context.result = {{"log", std::string(text, length)}};
    std::free(text);
  }
  return ExitOk;
}

void defineSymbol(CLI::App& command, Args& args) {
  command.add_option("symbol", args.symbol, "a name (objectClass) or an identifier (0xECBA7A93)")->required();
}

// A symbol given by name or by identifier (decimal or 0x-hexadecimal).
int runSymbol(Context& context) {
  const std::string& text = context.args.symbol;
  char* end = nullptr;
  unsigned long id = std::strtoul(text.c_str(), &end, 0);
  bool isNumber = !text.empty() && end && *end == '\0';
  const char* name = nullptr;
  if (isNumber && id > 0xFFFFFFFFUL) refused("unknownSymbol", "'" + text + "' is wider than an identifier's 32 bits");
  if (isNumber) {
    try {
      name = zp2omsymbols1::getChar(static_cast<unsigned>(id));
    } catch (const KRNAssertError&) {
      refused("unknownSymbol", "'" + text + "' is not the identifier of a schema symbol");
    }
  } else {
    for (unsigned i = 0; i < zp2omsymbols1::getCount() && !name; ++i) {
      if (text == zp2omsymbols1::getChar(zp2omsymbols1::getIdAt(i))) {
        id = zp2omsymbols1::getIdAt(i);
        name = zp2omsymbols1::getChar(static_cast<unsigned>(id));
      }
    }
    if (!name) refused("unknownSymbol", "'" + text + "' is not a symbol of the schema");
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", id);
  context.say("%s %s", hex, name);
  context.result = {{"id", hex}, {"name", name}};
  return ExitOk;
}

}  // namespace dvl
