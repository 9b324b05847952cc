// dvl-contentd: the reference content-store server. Serves the content-store service over HTTP(S)
// on a loopback address until SIGTERM or SIGINT; docs/server.md describes its options.
#include <signal.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#include "ContentServer.h"
#include "ContentService.h"
#include "UserDirectory.h"
#include "ZEB.h"
#include "ZEBHelper.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The private key clients seal credentials to; made and kept in the file when the file is absent.
std::string credentialKey(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) return readFile(path);
  std::string pem = ZEBHelper::generateCredentialKeyPair().first;
  mode_t old = ::umask(077);
  std::ofstream out(path, std::ios::binary);
  ::umask(old);
  out << pem;
  if (!out.flush()) throw std::runtime_error("cannot write the credential key to " + path);
  return pem;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"dvl-contentd - the reference content-store server"};
  std::string listen = "127.0.0.1:9300", store = ":memory:", users, cert, key, credentialKeyFile, logTarget = "-";
  long long passportSeconds = 1800;
  size_t maxBody = size_t(16) << 30, maxEnvelope = size_t(64) << 20;
  int threads = 8;
  std::vector<std::string> injections;
  bool injectHeader = false, noDemo = false;
  app.add_option("--listen", listen, "HOST:PORT to serve on; port 0 takes any free port")->capture_default_str();
  app.add_option("--store", store, "the store: a SQLite database file, :memory:, or a postgresql:// URI")->capture_default_str();
  app.add_option("--users", users, "the users file (default: the built-in demo accounts)");
  app.add_option("--cert", cert, "certificate (PEM) for HTTPS");
  app.add_option("--key", key, "private key (PEM) of the certificate");
  app.add_option("--credential-key", credentialKeyFile,
                 "X25519 private key (PEM) that clients seal credentials to; made when the file is absent");
  app.add_option("--log", logTarget, "where request log lines go: a file, - for standard error, off for none")
      ->capture_default_str();
  app.add_option("--passport-lifetime", passportSeconds, "seconds a passport lives without being used")
      ->capture_default_str();
  app.add_option("--max-body", maxBody, "largest request body in bytes, attachments included")->capture_default_str();
  app.add_option("--max-envelope", maxEnvelope, "largest SOAP envelope in bytes")->capture_default_str();
  app.add_option("--threads", threads, "requests served at once")->capture_default_str();
  app.add_option("--inject", injections, "provoke a failure, e.g. 'operation=query;fault=Server:down;count=1'");
  app.add_flag("--allow-inject-header", injectHeader, "honour the X-DVL-Inject request header (for tests)");
  app.add_flag("--no-demo-content", noDemo, "a new store gets only /content and /accounts");
  CLI::App* hash =
      app.add_subcommand("hash-password", "Read a password from standard input, print its users-file hash");
  CLI11_PARSE(app, argc, argv);

  if (*hash) {
    std::string password;
    std::getline(std::cin, password);
    std::printf("%s\n", dvlservice::UserDirectory::hashPassword(password).c_str());
    return 0;
  }

  // Every thread started from here on leaves the two signals to sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::FILE* logFile = nullptr;
  std::mutex logLock;
  std::function<void(const std::string&)> log;
  if (logTarget != "off") {
    logFile = logTarget == "-" ? stderr : std::fopen(logTarget.c_str(), "a");
    if (logFile == nullptr) {
      std::fprintf(stderr, "dvl-contentd: cannot open the log file %s\n", logTarget.c_str());
      return 2;
    }
    log = [&](const std::string& line) {
      std::lock_guard<std::mutex> lock(logLock);
      std::fprintf(logFile, "%s\n", line.c_str());
      std::fflush(logFile);
    };
  }

  try {
    ZEB::initialize();
    dvlservice::ServiceOptions serviceOptions;
    serviceOptions.storePath = store;
    serviceOptions.usersFile = users;
    if (!credentialKeyFile.empty()) serviceOptions.credentialKeyPem = credentialKey(credentialKeyFile);
    serviceOptions.passportIdleLifetime = std::chrono::seconds(passportSeconds);
    serviceOptions.maxEnvelopeBytes = maxEnvelope;
    serviceOptions.seedDemoContent = !noDemo;
    serviceOptions.log = log;
    dvlservice::ContentService service(serviceOptions);
    for (const std::string& spec : injections) service.injectFailure(dvlservice::InjectedFailure::parse(spec));

    dvlservice::ServerOptions serverOptions;
    size_t colon = listen.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("--listen takes HOST:PORT, not '" + listen + "'");
    serverOptions.host = listen.substr(0, colon);
    if (serverOptions.host.size() >= 2 && serverOptions.host.front() == '[') {
      serverOptions.host = serverOptions.host.substr(1, serverOptions.host.size() - 2);
    }
    serverOptions.port = std::stoi(listen.substr(colon + 1));
    serverOptions.certificateFile = cert;
    serverOptions.privateKeyFile = key;
    serverOptions.maxBodyBytes = maxBody;
    serverOptions.maxEnvelopeBytes = maxEnvelope;
    serverOptions.threads = threads;
    serverOptions.allowInjectHeader = injectHeader;
    serverOptions.log = log;
    dvlservice::ContentServer server(service, serverOptions);
    server.start();
    std::printf("listening on %s\n", server.getUrl().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (log) log(std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
    server.stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dvl-contentd: %s\n", e.what());
    return 1;
  }
  ZEB::terminate();
  if (logFile && logFile != stderr) std::fclose(logFile);
  return 0;
}
