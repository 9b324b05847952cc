// dvl: the command-line client of the DVL library. `dvl demo` runs the typical host run against a
// server it starts itself; the other commands talk to a running dvl-contentd, keeping the passport
// of `dvl logon` in a session file for the commands that follow.
#include <CLI/CLI.hpp>

#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ContentServer.h"
#include "ContentService.h"
#include "DVL.h"
#include "DVLAddModel.h"
#include "DVLAddOutput.h"
#include "DVLDelete.h"
#include "DVLDetermineRouting.h"
#include "DVLGetObject.h"
#include "DVLLogoff.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "DVLReportHelper.h"
#include "DVLTestInfo.h"
#include "HostRun.h"
#include "ZEBRecording.h"
#include "KRNThrowable.h"
#include "MWLStream.h"
#include "ZEBHelper.h"
#include "ZEBHttpTransport.h"
#include "zp2omsymbols1.h"

namespace {

// ---------------------------------------------------------------- output helpers

bool g_printXml = false;

void printReply(DVLGenericSoap& request) {
  if (!g_printXml) return;
  MWLStandardOutputStream out;
  request.getReplyAsXML(out);
  out.write("\n", 1);
  out.flush();
}

const char* orNone(const char* text) { return text ? text : "(none)"; }

std::string className(ZEBClassEnum::Enum value) {
  try {
    return zp2omsymbols1::getChar(value);
  } catch (const KRNThrowable&) {
    return "?";
  }
}

// Prints a symbol given by name or by identifier (decimal or 0x-hexadecimal).
int showSymbol(const std::string& text) {
  char* end = nullptr;
  unsigned long id = std::strtoul(text.c_str(), &end, 0);
  bool isNumber = !text.empty() && end && *end == '\0';
  if (!isNumber) {
    for (unsigned i = 0; i < zp2omsymbols1::getCount(); ++i) {
      unsigned candidate = zp2omsymbols1::getIdAt(i);
      if (text == zp2omsymbols1::getChar(candidate)) {
        std::printf("0x%08X %s\n", candidate, text.c_str());
        return 0;
      }
    }
    std::fprintf(stderr, "dvl: '%s' is not a symbol of the schema\n", text.c_str());
    return 1;
  }
  try {
    std::printf("0x%08lX %s\n", id, zp2omsymbols1::getChar(static_cast<unsigned>(id)));
  } catch (const KRNAssertError&) {
    std::fprintf(stderr, "dvl: 0x%08lX is not the identifier of a schema symbol\n", id);
    return 1;
  }
  return 0;
}

// A document read from a file that reports its progress on stderr, for large uploads.
class ProgressDocument : public ZEBDocumentOutputI {
 public:
  explicit ProgressDocument(const std::string& path) : m_file(path), m_size(m_file.getSize()) {}
  const char* getContentType() const override { return m_file.getContentType(); }
  long long getSize() const override { return m_size; }
  void rewind() override {
    m_file.rewind();
    m_sent = 0;
    m_shown = -1;
  }
  size_t read(char* buffer, size_t length) override {
    size_t n = m_file.read(buffer, length);
    m_sent += static_cast<long long>(n);
    int percent = m_size > 0 ? static_cast<int>(100 * m_sent / m_size) : 100;
    if (m_size >= (8 << 20) && percent != m_shown && isatty(2)) {
      std::fprintf(stderr, "\rsending %s: %3d%% of %lld bytes", m_file.getPath().c_str(), percent, m_size);
      if (percent == 100) std::fprintf(stderr, "\n");
      m_shown = percent;
    }
    return n;
  }

 private:
  ZEBDocumentOutput m_file;
  long long m_size;
  long long m_sent = 0;
  int m_shown = -1;
};

// ---------------------------------------------------------------- connection

void ensureCredentialKey();

struct Connection {
  std::string endpoint;
  std::string sessionFile;
  std::string recordFile;  // every exchange is also written here
  std::string replayFile;  // exchanges come from here instead of a service
  KRNSmartPointer<DVLTestInfo> settings;
  std::unique_ptr<VorbTK> factory;
  ZEBSOAPSession* session = nullptr;

  bool replaying() const { return !replayFile.empty(); }

  void open() {
    VorbTK* made = nullptr;
    if (replaying()) {
      settings = DVLTestInfo::create();
      made = &settings->getRecordedFilesAsSessionFactory("dvl", "", replayFile);
      ensureCredentialKey();
    } else {
      auto live = std::make_shared<ZEBHttpTransport>(ZEBHttpSettings::fromConfiguration(endpoint));
      if (recordFile.empty()) {
        factory = std::make_unique<ZEBLiveVorbTK>(live->getSettings());
      } else {
        factory = std::make_unique<ZEBRecordingVorbTK>(live, recordFile);
      }
      made = factory.get();
    }
    session = static_cast<ZEBSOAPSession*>(made->createSession());
  }

  // The passport of an earlier `dvl logon` to the same endpoint.
  void resume() {
    if (replaying()) return;
    std::ifstream in(sessionFile);
    std::string savedEndpoint, passport;
    if (std::getline(in, savedEndpoint) && std::getline(in, passport) && savedEndpoint == endpoint) {
      session->setPassport(passport);
    }
  }

  void save() const {
    if (replaying()) return;
    std::ofstream out(sessionFile, std::ios::trunc);
    out << endpoint << "\n" << session->getPassport() << "\n";
    if (!out) throw std::runtime_error("cannot write the session file " + sessionFile);
  }

  void forget() const { std::remove(sessionFile.c_str()); }

  // The service's key for sealed credentials, from GET <endpoint>/credential-key.
  void fetchCredentialKey() const {
    if (replaying() || !ZEBHelper::getCredentialKey().empty()) return;
    std::string url = endpoint + "/credential-key";
    std::string pem;
    CURL* curl = curl_easy_init();
    if (curl) {
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
      curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
      });
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, &pem);
      curl_easy_perform(curl);
      curl_easy_cleanup(curl);
    }
    if (pem.find("BEGIN PUBLIC KEY") == std::string::npos) {
      throw std::runtime_error("cannot fetch the service's credential key from " + url +
                               " (use --plain to send the credential unsealed)");
    }
    ZEBHelper::setCredentialKey(pem.c_str());
  }
};

std::string defaultSessionFile() {
  if (const char* path = std::getenv("DVL_SESSION_FILE")) return path;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.dvl-session";
}

std::string defaultEndpoint() {
  if (const char* endpoint = std::getenv("DVL_ENDPOINT")) return endpoint;
  return "http://127.0.0.1:9300/dvl";
}

// ---------------------------------------------------------------- the typical host run

// Replay still seals the logon credential (the recording masks it), so any key will do.
void ensureCredentialKey() {
  if (ZEBHelper::getCredentialKey().empty()) {
    ZEBHelper::setCredentialKey(ZEBHelper::generateCredentialKeyPair().second.c_str());
  }
}

int demo(const std::string& recordFile, const std::string& replayFile) {
  std::printf("DVL::initialize() returned %d\n", DVL::initialize());
  if (!replayFile.empty()) {
    // The library's own replay wiring: the settings object owns the factory.
    KRNSmartPointer<DVLTestInfo> settings(DVLTestInfo::create());
    VorbTK& factory = settings->getRecordedFilesAsSessionFactory("dvl demo", "", replayFile);
    std::printf("replaying %s (no server)\n", replayFile.c_str());
    ensureCredentialKey();
    runTypicalHostRun(factory, stdout);
  } else {
    dvlservice::ServiceOptions serviceOptions;
    serviceOptions.storePath = ":memory:";
    dvlservice::ContentService service(serviceOptions);
    dvlservice::ServerOptions serverOptions;
    serverOptions.port = 0;
    dvlservice::ContentServer server(service, serverOptions);
    server.start();
    std::printf("dvl-contentd serves a fresh demo store at %s\n", server.getUrl().c_str());
    ZEBHelper::setCredentialKey(service.getCredentialPublicKey().c_str());
    auto live = std::make_shared<ZEBHttpTransport>(ZEBHttpSettings::fromConfiguration(server.getUrl()));
    std::unique_ptr<VorbTK> factory;
    if (recordFile.empty()) {
      factory = std::make_unique<ZEBLiveVorbTK>(live->getSettings());
    } else {
      factory = std::make_unique<ZEBRecordingVorbTK>(live, recordFile);
      std::printf("recording to %s\n", recordFile.c_str());
    }
    runTypicalHostRun(*factory, stdout);
    factory.reset();
    server.stop();
  }
  std::printf("\nDVL::terminate() returned %d\n", DVL::terminate());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"dvl - a command-line client of the content store"};
  app.require_subcommand(1);
  app.fallthrough();  // global options may also follow the command
  Connection connection;
  connection.endpoint = defaultEndpoint();
  connection.sessionFile = defaultSessionFile();
  app.add_option("--endpoint", connection.endpoint, "the service URL (default $DVL_ENDPOINT or " + defaultEndpoint() + ")");
  app.add_option("--session-file", connection.sessionFile, "where `logon` keeps the passport (default $DVL_SESSION_FILE or ~/.dvl-session)");
  app.add_flag("--xml", g_printXml, "also print each reply as XML");

  app.add_option("--record", connection.recordFile, "also write every exchange to this recorded-session file");
  app.add_option("--replay", connection.replayFile, "answer from this recorded-session file instead of a service")
      ->check(CLI::ExistingFile);
  app.get_option("--record")->excludes(app.get_option("--replay"));

  CLI::App* demoCommand = app.add_subcommand("demo", "Run the typical host run against an embedded dvl-contentd");

  std::string nameSpace = "LDAP", user, password;
  bool plain = false;
  CLI::App* logon = app.add_subcommand("logon", "Log on and keep the passport for the next commands");
  logon->add_option("--namespace", nameSpace, "the account's namespace")->capture_default_str();
  logon->add_option("--user", user, "the user name")->required();
  logon->add_option("--password", password, "the password (default: $DVL_PASSWORD)");
  logon->add_flag("--plain", plain, "send the credential unsealed");

  CLI::App* logoff = app.add_subcommand("logoff", "Log off and forget the passport");

  std::string path, storeID;
  std::vector<std::string> properties;
  CLI::App* query = app.add_subcommand("query", "Query objects by search path or store identifier");
  query->add_option("path", path, "a search path, e.g. /content/*");
  query->add_option("--store-id", storeID, "select the object with this store identifier");

  std::string child;
  CLI::App* get = app.add_subcommand("get", "Look up a named child of an object and show its parent");
  get->add_option("path", path, "the parent's search path")->required();
  get->add_option("name", child, "the child's name")->required();

  std::string parent, name, file, contextFile, format = "PDF", locale = "en-us";
  CLI::App* addOutput = app.add_subcommand("add-output", "Store a report output with its document");
  addOutput->add_option("parent", parent, "the parent's search path")->required();
  addOutput->add_option("name", name, "the output's name")->required();
  addOutput->add_option("file", file, "the document to store")->required()->check(CLI::ExistingFile);
  addOutput->add_option("--context", contextFile, "a context document")->check(CLI::ExistingFile);
  addOutput->add_option("--format", format, "the output format")->capture_default_str();
  addOutput->add_option("--locale", locale, "the output locale")->capture_default_str();

  CLI::App* remove = app.add_subcommand("delete", "Delete an object (and its children) by path or store identifier");
  remove->add_option("path", path, "a search path");
  remove->add_option("--store-id", storeID, "the store identifier");

  std::vector<std::string> routingPaths;
  CLI::App* routing = app.add_subcommand("routing", "Determine the routing for objects");
  routing->add_option("paths", routingPaths, "search paths")->required();

  CLI::App* capabilities = app.add_subcommand("capabilities", "List the logged-on user's capabilities");

  std::string symbol;
  CLI::App* symbolCommand = app.add_subcommand("symbol", "Look up a schema symbol by name or identifier");
  symbolCommand->add_option("symbol", symbol, "a name (objectClass) or an identifier (0xECBA7A93)")->required();

  CLI11_PARSE(app, argc, argv);

  try {
    if (*demoCommand) return demo(connection.recordFile, connection.replayFile);
    if (*symbolCommand) return showSymbol(symbol);

    DVL::initialize();
    connection.open();
    ZEBSOAPSession& session = *connection.session;
    if (!*logon) connection.resume();

    if (*logon) {
      if (password.empty() && std::getenv("DVL_PASSWORD")) password = std::getenv("DVL_PASSWORD");
      if (!plain) connection.fetchCredentialKey();
      DVLLogon request(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
      request.addCredentials(nameSpace.c_str(), user.c_str(), password.c_str(), plain ? 0 : 1);
      request.execute();
      printReply(request);
      connection.save();
      std::printf("logged on to %s as %s/%s\n", connection.endpoint.c_str(), nameSpace.c_str(), user.c_str());
    } else if (*logoff) {
      DVLLogoff request(session, nullptr);
      request.execute();
      printReply(request);
      connection.forget();
      std::printf("logged off\n");
    } else if (*query) {
      if (path.empty() == storeID.empty()) throw std::invalid_argument("give either a search path or --store-id");
      DVLQuery request(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
      if (storeID.empty()) {
        request.setPath(path.c_str());
      } else {
        request.setStoreID(storeID.c_str());
      }
      request.execute();
      printReply(request);
      int count = request.getObjectCount();
      for (int i = 0; i < count; ++i) {
        std::printf("%-14s %-34s %s\n", className(request.getObjectClass(i)).c_str(), orNone(request.getStoreID(i)),
                    orNone(request.getName(i)));
      }
      std::printf("%d object%s\n", count, count == 1 ? "" : "s");
    } else if (*get) {
      DVLGetObject request(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
      request.setPath(path.c_str());
      request.setChildName(child.c_str());
      request.execute();
      printReply(request);
      if (request.getObjectCount() == 0) {
        std::printf("no child named \"%s\" under %s\n", child.c_str(), path.c_str());
        return 1;
      }
      std::printf("%s \"%s\" %s\n", className(request.getObjectClass(0)).c_str(), orNone(request.getName(0)),
                  orNone(request.getStoreID(0)));
      std::printf("parent %s (%s)\n", orNone(request.getParent()), orNone(request.getParentStoreID()));
    } else if (*addOutput) {
      ProgressDocument data(file);
      std::unique_ptr<ZEBDocumentOutput> context;
      DVLAddOutput request(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
      request.setParentPath(parent.c_str());
      request.setName(name.c_str());
      request.setFormat(format.c_str());
      request.setLocale(locale.c_str());
      request.setData(&data);
      if (!contextFile.empty()) {
        context = std::make_unique<ZEBDocumentOutput>(contextFile, "text/xml");
        request.setContext(*context);
      }
      request.execute();
      printReply(request);
      std::printf("stored %s\nstore identifier %s\n", orNone(request.getPath()), orNone(request.getStoreID()));
    } else if (*remove) {
      if (path.empty() == storeID.empty()) throw std::invalid_argument("give either a search path or --store-id");
      DVLDelete request(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
      if (storeID.empty()) {
        request.addPath(path.c_str());
      } else {
        request.addStoreId(storeID.c_str());
      }
      request.execute();
      printReply(request);
      std::printf("deleted %s\n", storeID.empty() ? path.c_str() : storeID.c_str());
    } else if (*routing) {
      DVLDetermineRouting request(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
      std::vector<std::unique_ptr<ZEBSearchPathSingleObject>> pathObjects;  // the request only points to them
      for (const std::string& p : routingPaths) {
        pathObjects.push_back(std::make_unique<ZEBSearchPathSingleObject>());
        pathObjects.back()->setValue(p.c_str());
        request.addPath(pathObjects.back().get());
      }
      request.execute();
      printReply(request);
      std::printf("%s\n", orNone(request.getResult()));
    } else if (*capabilities) {
      ZEBVorbHeader header;
      std::vector<ZEBUserCapabilityEnum::Enum> list;
      DVLReportHelper::getCapabilities(header, session, list, nullptr, nullptr);
      for (auto c : list) std::printf("%s\n", zp2omsymbols1::getChar(c));
    }
    DVL::terminate();
  } catch (const KRNThrowable& e) {
    std::fprintf(stderr, "dvl: %s\n", e.toString().c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dvl: %s\n", e.what());
    return 1;
  }
  return 0;
}
