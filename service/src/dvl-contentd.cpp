// dvl-contentd: the reference content-store server. Serves the content-store service over HTTP(S)
// until SIGTERM or SIGINT; SIGHUP reopens the log. docs/server.md describes its options and exit codes.
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#include "ContentServer.h"
#include "ContentService.h"
#include "Metrics.h"
#include "UserDirectory.h"
#include "ZEB.h"
#include "ZEBHelper.h"

#ifndef DVL_VERSION
#define DVL_VERSION "0.0.0"
#endif

namespace {

// Exit codes (docs/server.md).
constexpr int kExitFailed = 1;        // a failure while serving
constexpr int kExitBadOption = 2;     // a bad command line or configuration file
constexpr int kExitBadFile = 3;       // a file it needs cannot be read or used
constexpr int kExitCannotListen = 4;  // the address is in use or cannot be bound

struct StartupError : std::runtime_error {
  StartupError(int code, const std::string& text) : std::runtime_error(text), exitCode(code) {}
  int exitCode;
};

// A line of the log or a refusal stays one line, whatever a library put into the text.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

std::string readFile(const std::string& path, const char* what) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))  // opens, and reads as empty
    throw StartupError(kExitBadFile, std::string("cannot read the ") + what + " " + path + ": it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw StartupError(kExitBadFile, std::string("cannot read the ") + what + " " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The private key clients seal credentials to; made and kept in the file when the file is absent.
std::string credentialKey(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    std::string pem = readFile(path, "credential key");
    if (pem.empty()) throw StartupError(kExitBadFile, "the credential key " + path + " is empty");
    return pem;
  }
  std::string pem = ZEBHelper::generateCredentialKeyPair().first;
  mode_t old = ::umask(077);
  std::ofstream out(path, std::ios::binary);
  ::umask(old);
  out << pem;
  if (!out.flush()) throw StartupError(kExitBadFile, "cannot write the credential key to " + path);
  return pem;
}

// The request log: a file reopened on SIGHUP (so that it can be rotated), standard error, or none.
class Log {
 public:
  explicit Log(std::string target) : m_target(std::move(target)) {
    if (m_target == "-") m_file = stderr;
    if (m_target != "-" && m_target != "off" && !reopen())
      throw StartupError(kExitBadFile, "cannot open the log file " + m_target);
  }
  ~Log() {
    if (m_file && m_file != stderr) std::fclose(m_file);
  }
  bool reopen() {
    if (m_target == "-" || m_target == "off") return true;
    std::FILE* next = std::fopen(m_target.c_str(), "a");
    std::lock_guard<std::mutex> lock(m_lock);
    if (next == nullptr) return false;  // keeps writing to the old file
    if (m_file) std::fclose(m_file);
    m_file = next;
    return true;
  }
  std::function<void(const std::string&)> sink() {
    if (m_target == "off") return nullptr;
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_lock);
      std::fprintf(m_file, "%s\n", oneLine(line).c_str());
      std::fflush(m_file);
    };
  }

 private:
  std::string m_target;
  std::mutex m_lock;
  std::FILE* m_file = nullptr;
};

// "HOST:PORT" or "[v6]:PORT", the port 0..65535.
void parseListen(const std::string& listen, dvlservice::ServerOptions& options) {
  size_t colon = listen.rfind(':');
  std::string port = colon == std::string::npos ? std::string() : listen.substr(colon + 1);
  bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoi(port) > 65535)
    throw StartupError(kExitBadOption, "--listen takes HOST:PORT with a port from 0 to 65535, not '" + listen + "'");
  options.host = listen.substr(0, colon);
  if (options.host.size() >= 2 && options.host.front() == '[')
    options.host = options.host.substr(1, options.host.size() - 2);
  options.port = std::stoi(port);
}

// A whole number above zero.
const CLI::Validator kPositive(
    [](std::string& text) {
      bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
      return digits && text.find_first_not_of('0') != std::string::npos && text.size() <= 18
                 ? std::string()
                 : "takes a whole number above 0, not '" + text + "'";
    },
    "POSITIVE");

// A whole number, 0 or more (an unsigned option would take -1 as its largest value).
const CLI::Validator kNotNegative(
    [](std::string& text) {
      bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
      return digits && text.size() <= 18 ? std::string() : "takes a whole number from 0 up, not '" + text + "'";
    },
    "NOT NEGATIVE");

// The password for hash-password: one line of standard input, not echoed from a terminal.
std::string readPassword() {
  termios saved{};
  bool quiet = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    std::fprintf(stderr, "password: ");
    std::fflush(stderr);
  }
  std::string password;
  std::getline(std::cin, password);
  if (quiet) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::fputc('\n', stderr);
  }
  // As the client reads a password file written on Windows.
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"dvl-contentd - the reference content-store server"};
  std::string listen = "127.0.0.1:9300", store = ":memory:", users, cert, key, credentialKeyFile, logTarget = "-";
  long long passportSeconds = 1800;
  dvlservice::ServiceOptions serviceOptions;
  dvlservice::ServerOptions serverOptions;
  long long lockoutSeconds = serviceOptions.lockoutTime.count();
  std::vector<std::string> injections;
  bool noDemo = false;
  app.set_config("--config", "", "read options from FILE: 'name = value' lines, names as the long options");
  app.allow_config_extras(false);
  app.set_version_flag("--version", std::string("dvl-contentd ") + DVL_VERSION);
  app.add_option("--listen", listen, "HOST:PORT to serve on; port 0 takes any free port")->capture_default_str();
  app.add_flag("--allow-remote", serverOptions.allowRemote, "allow --listen on addresses other than loopback ones");
  app.add_option("--store", store, "the store: a SQLite database file, :memory:, or a postgresql:// URI")->capture_default_str();
  app.add_option("--users", users, "the users file (default: the built-in demo accounts)");
  app.add_option("--cert", cert, "certificate (PEM) for HTTPS");
  app.add_option("--key", key, "private key (PEM) of the certificate");
  app.add_option("--credential-key", credentialKeyFile,
                 "X25519 private key (PEM) that clients seal credentials to; made when the file is absent");
  app.add_option("--log", logTarget, "where request log lines go: a file, - for standard error, off for none")
      ->capture_default_str();
  app.add_option("--passport-lifetime", passportSeconds, "seconds a passport lives without being used")
      ->capture_default_str()
      ->check(kPositive);
  app.add_option("--max-body", serverOptions.maxBodyBytes, "largest request body in bytes, attachments included")
      ->capture_default_str()
      ->check(kPositive);
  app.add_option("--max-envelope", serverOptions.maxEnvelopeBytes, "largest SOAP envelope in bytes")
      ->capture_default_str()
      ->check(kPositive);
  app.add_option("--threads", serverOptions.threads, "requests carried out at once")
      ->capture_default_str()
      ->check(CLI::Range(1, 1024));
  app.add_option("--max-connections", serverOptions.maxConnections, "connections held at once; more get 503")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000000));
  app.add_option("--header-timeout", serverOptions.headerTimeoutSeconds, "seconds a request's head may take to arrive")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600));
  app.add_option("--min-body-rate", serverOptions.minBodyBytesPerSecond,
                 "bytes per second a request body must arrive at, at least (0: no limit)")
      ->capture_default_str()
      ->check(kNotNegative);
  app.add_option("--drain-timeout", serverOptions.drainSeconds,
                 "seconds requests still arriving may take to finish on SIGTERM")
      ->capture_default_str()
      ->check(CLI::Range(0, 86400));
  app.add_option("--compress-above", serverOptions.compressAboveBytes,
                 "replies larger than this many bytes are gzipped for clients that accept it")
      ->capture_default_str()
      ->check(kNotNegative);
  app.add_option("--lockout-after", serviceOptions.lockoutAfter, "failed logons for one account before a lock-out")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000000));
  app.add_option("--address-lockout-after", serviceOptions.addressLockoutAfter,
                 "failed logons from one client address before a lock-out")
      ->capture_default_str()
      ->check(CLI::Range(0, 1000000));
  app.add_option("--lockout-time", lockoutSeconds, "seconds of the first lock-out; doubles with each further failure")
      ->capture_default_str()
      ->check(kPositive);
  app.add_option("--inject", injections, "provoke a failure, e.g. 'operation=query;fault=Server:down;count=1'");
  app.add_flag("--allow-inject-header", serverOptions.allowInjectHeader,
               "honour the X-DVL-Inject request header (for tests)");
  app.add_flag("--no-demo-content", noDemo, "a new store gets only /content and /accounts");
  CLI::App* hash =
      app.add_subcommand("hash-password", "Read a password from standard input, print its users-file hash");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // One line, like every other refusal at start-up; a name the configuration file has wrong is
    // said as such (the parser says "INI was not able to parse NAME").
    std::string message = e.what();
    const std::string unknown = "INI was not able to parse ";
    if (message.rfind(unknown, 0) == 0)
      message = app.get_config_ptr()->as<std::string>() + ": unknown setting '" + message.substr(unknown.size()) + "'";
    std::fprintf(stderr, "dvl-contentd: %s (dvl-contentd --help)\n", message.c_str());
    return kExitBadOption;
  }

  if (*hash) {
    std::string password = readPassword();
    if (password.empty()) {
      std::fprintf(stderr, "dvl-contentd: the password is empty\n");
      return kExitBadOption;
    }
    std::printf("%s\n", dvlservice::UserDirectory::hashPassword(password).c_str());
    return 0;
  }

  // Every thread started from here on leaves the signals to sigwait below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  int stage = kExitBadFile;  // what a failure before the server listens means
  try {
    parseListen(listen, serverOptions);
    for (const std::string& spec : injections) {
      try {
        dvlservice::InjectedFailure::parse(spec);
      } catch (const std::invalid_argument& e) {
        throw StartupError(kExitBadOption, std::string("--inject: ") + e.what());
      }
    }
    if (store.empty())
      throw StartupError(kExitBadOption, "--store takes a file, :memory: or a postgresql:// URI, not ''");
    if (!users.empty()) readFile(users, "users file");
    if (!cert.empty() || !key.empty()) {
      if (cert.empty() || key.empty()) throw StartupError(kExitBadOption, "--cert and --key go together");
      readFile(cert, "certificate");
      readFile(key, "certificate key");
    }
    Log log(logTarget);
    ZEB::initialize();
    auto metrics = std::make_shared<dvlservice::Metrics>();
    serviceOptions.storePath = store;
    serviceOptions.usersFile = users;
    if (!credentialKeyFile.empty()) serviceOptions.credentialKeyPem = credentialKey(credentialKeyFile);
    serviceOptions.passportIdleLifetime = std::chrono::seconds(passportSeconds);
    serviceOptions.lockoutTime = std::chrono::seconds(lockoutSeconds);
    serviceOptions.maxEnvelopeBytes = serverOptions.maxEnvelopeBytes;
    serviceOptions.seedDemoContent = !noDemo;
    serviceOptions.log = log.sink();
    serviceOptions.onStoreError = [metrics] { metrics->storeError(); };
    serviceOptions.onLogonFailure = [metrics](bool lockedOut) { metrics->logonFailure(lockedOut); };
    dvlservice::ContentService service(serviceOptions);
    for (const std::string& spec : injections) service.injectFailure(dvlservice::InjectedFailure::parse(spec));

    serverOptions.certificateFile = cert;
    serverOptions.privateKeyFile = key;
    serverOptions.log = log.sink();
    serverOptions.metrics = metrics;
    dvlservice::ContentServer server(service, serverOptions);
    try {
      server.start();
    } catch (const dvlservice::ListenError& e) {
      throw StartupError(kExitCannotListen, e.what());
    }
    stage = kExitFailed;
    std::printf("listening on %s\n", server.getUrl().c_str());
    std::fflush(stdout);

    for (;;) {
      int signal = 0;
      sigwait(&signals, &signal);
      if (signal == SIGHUP) {
        bool reopened = log.reopen();
        if (auto sink = log.sink()) sink(reopened ? "log reopened on SIGHUP" : "cannot reopen the log on SIGHUP");
        continue;
      }
      if (auto sink = log.sink()) sink(std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
      break;
    }
    server.stop();
  } catch (const StartupError& e) {
    std::fprintf(stderr, "dvl-contentd: %s\n", oneLine(e.what()).c_str());
    return e.exitCode;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dvl-contentd: %s\n", oneLine(e.what()).c_str());
    return stage;
  }
  ZEB::terminate();
  return 0;
}
