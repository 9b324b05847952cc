// The HTTP front end on a loopback port (HTTPS: the live credential-key tests): what it serves, bad
// input, Expect: 100-continue, provoked failures, health and metrics, the connection limit, the logon
// guard; and the daemon under a thousand slow connections and stopped during a large add.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "ContentServer.h"
#include "ContentService.h"
#include "Metrics.h"
#include "ZEB.h"
#include "ZEBHelper.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"
#include "support/Daemon.h"
#include "support/Files.h"
#include "support/Peers.h"

using dvlservice::ContentServer;
using dvlservice::ContentService;
using dvlservice::ServerOptions;
using dvlservice::ServiceOptions;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kNs = ZEB_SCHEMA_NAMESPACE;

// The toolkit (libxml2 and libcurl) is set up once, as a host does, before threads use it.
class ToolkitEnvironment : public testing::Environment {
 public:
  void SetUp() override { ZEB::initialize(); }
  void TearDown() override { ZEB::terminate(); }
};
testing::Environment* const g_toolkit = testing::AddGlobalTestEnvironment(new ToolkitEnvironment);

std::string envelope(const ZEBMessageI& message, const std::string& passport = "") {
  if (passport.empty()) return ZEBSoap::writeEnvelope(message, nullptr);
  ZEBVorbHeader header;
  header.setPassport(passport.c_str());
  return ZEBSoap::writeEnvelope(message, &header);
}

std::string logonEnvelope(const char* password = "demo", const std::string& user = "demo") {
  ZEBAuthenticationLogon_Request logon;
  std::string credential = "<credential><namespace>LDAP</namespace><username>" + user + "</username><password>" +
                           password + "</password></credential>";
  logon.getCredentials(&logon.getObjectRegistry())->setValue(credential.c_str());
  return envelope(logon);
}

std::string queryEnvelope(const std::string& passport, const std::string& path) {
  ZEBContentQuery_Request query;
  query.getSearchPath(&query.getObjectRegistry())->setValue(path.c_str());
  return envelope(query, passport);
}

std::string passportFrom(const std::string& logonReply) {
  ZEBAuthenticationLogon_Reply reply;
  ZEBSoap::readEnvelope(logonReply.data(), logonReply.size(), reply);
  const char* passport = ZEBHelper::getPassport(reply.getVorbHeader(nullptr));
  return passport ? passport : "";
}

class ServiceHttpTest : public testing::Test {
 protected:
  void start(ServerOptions options = ServerOptions()) {
    options.port = 0;
    options.metrics = metrics;
    server = std::make_unique<ContentServer>(service, options);
    port = server->start();
    http = std::make_unique<httplib::Client>("127.0.0.1", port);
    http->set_read_timeout(60, 0);
    http->set_keep_alive(true);  // one connection: a request is counted before the next one is read
  }

  httplib::Result post(const std::string& body, const std::string& operation,
                       const std::string& contentType = "text/xml; charset=utf-8", httplib::Headers headers = {}) {
    headers.emplace("SOAPAction", "\"" + std::string(kNs) + operation + "\"");
    return http->Post("/dvl", headers, body, contentType.c_str());
  }

  std::string logon() {
    auto res = post(logonEnvelope(), "logon");
    EXPECT_TRUE(res && res->status == 200);
    return res ? passportFrom(res->body) : "";
  }

  // The service reports logon failures to the server's metrics, as the daemon does.
  static ServiceOptions reporting(const std::shared_ptr<dvlservice::Metrics>& metrics) {
    ServiceOptions options;
    options.onLogonFailure = [metrics](bool began) { metrics->logonFailure(began); };
    return options;
  }

  std::shared_ptr<dvlservice::Metrics> metrics = std::make_shared<dvlservice::Metrics>();
  ContentService service{reporting(metrics)};
  std::unique_ptr<ContentServer> server;
  std::unique_ptr<httplib::Client> http;
  int port = 0;
};

// A request head written on a socket of our own, for what a library client would not send; the
// first piece of the answer.
std::string firstReply(int port, const std::string& head) {
  int fd = connectLoopback(port);
  char buffer[65536];
  ssize_t n = fd < 0 ? 0 : (::send(fd, head.data(), head.size(), MSG_NOSIGNAL), ::recv(fd, buffer, sizeof buffer, 0));
  ::close(fd);
  return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

// Bad input, requests for what does not exist, bodies over the limits and failures provoked with the
// inject header: a fault or an HTTP error each, and the server keeps serving.
TEST_F(ServiceHttpTest, BadInputGetsAFaultOrAnHttpErrorAndTheServerKeepsServing) {
  ServerOptions options;
  options.maxEnvelopeBytes = 4096;
  options.maxBodyBytes = 64 * 1024;
  options.allowInjectHeader = true;
  start(options);
  std::string passport = logon();
  const std::string query = queryEnvelope(passport, "/content");
  ZEBAuthenticationLogoff_Request logoff;
  const std::string logoffEnvelope = envelope(logoff);
  std::string unknown = logoffEnvelope;
  unknown.replace(unknown.find("logoff"), 6, "format");

  struct Case {
    std::string body, contentType;
    int status;
    const char* needle;
    const char* operation = "query";
    httplib::Headers headers = {};
  };
  const Case cases[] = {
      {"<soapenv:Envelope><unclosed>", "text/xml", 500, "<faultcode>soapenv:Client</faultcode>"},
      {std::string(5000, ' ') + query, "text/xml", 413, ""},
      {"{\"json\": true}", "application/json", 415, ""},
      {"--b\r\n\r\n<x/>\r\n--b--", "multipart/related", 400, ""},
      {logoffEnvelope, "text/xml", 500, "soapActionMismatch"},
      {unknown, "text/xml", 500, "malformedRequest", "format"},
      {query, "text/xml", 500, "on purpose", "query", {{"X-DVL-Inject", "fault=Server:on purpose"}}},
      {query, "text/xml", 400, "", "query", {{"X-DVL-Inject", "explode"}}},
  };
  for (const Case& c : cases) {
    auto res = post(c.body, c.operation, c.contentType, c.headers);
    ASSERT_TRUE(res) << c.body;
    EXPECT_EQ(res->status, c.status) << c.body;
    EXPECT_NE(res->body.find(c.needle), std::string::npos) << res->body;
  }
  // A body announced over the limit is refused before it is sent, with Expect: 100-continue too.
  std::string refused = firstReply(port, "POST /dvl HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n"
                                         "Content-Length: 100000\r\nExpect: 100-continue\r\n\r\n");
  EXPECT_EQ(refused.rfind("HTTP/1.1 413", 0), 0u) << refused;
  EXPECT_EQ(post(query, "query")->status, 200);
}

// ---------------------------------------------------------------- limits, metrics, logon guard

// name{labels} -> value of every sample; fails the test on a line that is not Prometheus text.
std::map<std::string, double> scrape(httplib::Client& http) {
  auto res = http.Get("/metrics");
  EXPECT_TRUE(res && res->status == 200);
  std::map<std::string, double> samples;
  static const std::regex line(R"(([a-zA-Z_:][a-zA-Z0-9_:]*(\{[^}]*\})?) (-?[0-9.eE+-]+|\+Inf|NaN))");
  static const std::regex comment(R"(# (HELP|TYPE) [a-zA-Z_:][a-zA-Z0-9_:]* .+)");
  std::istringstream text(res ? res->body : "");
  for (std::string l; std::getline(text, l);) {
    std::smatch m;
    if (std::regex_match(l, m, line)) {
      samples[m[1]] = std::stod(m[3]);
    } else {
      EXPECT_TRUE(std::regex_match(l, comment)) << l;
    }
  }
  return samples;
}

TEST_F(ServiceHttpTest, WsdlAndMetricsAreServedAndCountersMoveWithCalls) {
  ServerOptions options;
  options.compressAboveBytes = 100;
  start(options);
  auto wsdl = http->Get("/dvl?wsdl");
  ASSERT_TRUE(wsdl);
  EXPECT_NE(wsdl->body.find("location=\"" + server->getUrl() + "\""), std::string::npos);
  EXPECT_EQ(http->Get("/dvl")->status, 405);

  auto before = scrape(*http);
  std::string passport = logon();
  auto query = post(queryEnvelope(passport, "/content"), "query", "text/xml", {{"Accept-Encoding", "gzip"}});
  ASSERT_TRUE(query);
  EXPECT_EQ(query->get_header_value("Content-Encoding"), "gzip");  // decompressed by the client
  EXPECT_NE(query->body.find("queryResponse"), std::string::npos);
  EXPECT_EQ(post(logonEnvelope("wrong"), "logon")->status, 500);
  EXPECT_EQ(http->Get("/junk%0A%FF")->status, 404);  // counted without a series of its own
  auto head = http->Head("/health");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_TRUE(head->body.empty());
  auto after = scrape(*http);

  const std::string ok = "dvl_requests_total{operation=\"query\",outcome=\"ok\"}";
  EXPECT_EQ(after[ok] - before[ok], 1);
  EXPECT_EQ((after["dvl_requests_total{operation=\"logon\",outcome=\"fault\"}"]), 1);
  EXPECT_EQ((after["dvl_requests_total{operation=\"other\",outcome=\"refused\"}"]), 1);
  for (const auto& sample : after) EXPECT_EQ(sample.first.find("junk"), std::string::npos) << sample.first;
  EXPECT_EQ(after["dvl_logon_failures_total"] - before["dvl_logon_failures_total"], 1);
  EXPECT_GE(after["dvl_request_duration_seconds_count"] - before["dvl_request_duration_seconds_count"], 3);
  EXPECT_EQ(after["dvl_request_duration_seconds_bucket{le=\"+Inf\"}"], after["dvl_request_duration_seconds_count"]);
  EXPECT_GE(after["dvl_open_connections"], 1);
  EXPECT_EQ(after["dvl_requests_in_flight"], 1);  // the scrape itself
}

TEST_F(ServiceHttpTest, PastTheConnectionLimitANewConnectionGets503AtOnce) {
  ServerOptions options;
  options.maxConnections = 2;
  start(options);
  int held[] = {connectLoopback(port), connectLoopback(port)};
  // Until the event loop has taken the two held connections, a third is still served.
  std::string refused;
  for (int i = 0; i < 500 && refused.rfind("HTTP/1.1 503", 0) != 0; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    refused = firstReply(port, "GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
  }
  EXPECT_EQ(refused.rfind("HTTP/1.1 503", 0), 0u) << refused;
  for (int fd : held) ::close(fd);
  // And once it has seen them closed, a new connection is served again.
  int status = 0;
  for (int i = 0; i < 500 && status != 200; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto health = http->Get("/health");
    status = health ? health->status : 0;
  }
  EXPECT_EQ(status, 200);
}

// A logon handed to the service as the HTTP front hands it, from one client address.
ZEBWireReply logonOver(ContentService& service, const char* password, const std::string& user) {
  ZEBWireRequest wire;
  wire.envelope = logonEnvelope(password, user);
  wire.peerAddress = "127.0.0.9";
  return service.handle(wire);
}

// Failed logons lock the account out, and the client address; the right password is then refused
// with the same fault until the interval has passed.
TEST(ServiceLogonGuard, FailuresLockOutTheAccountAndTheAddressForAnInterval) {
  struct Case {
    int accountAfter, addressAfter;
    bool sameUser;  // guess at demo's password, or at made-up users
  };
  for (const Case& c : {Case{5, 0, true}, Case{0, 3, false}}) {
    Clock::time_point now = Clock::now();
    ServiceOptions options;
    options.lockoutAfter = c.accountAfter;
    options.addressLockoutAfter = c.addressAfter;
    options.clock = [&now] { return now; };
    ContentService service(options);
    std::string wrongFault;
    for (int i = 0; i < std::max(c.accountAfter, c.addressAfter); ++i)
      wrongFault = logonOver(service, "guess", c.sameUser ? "demo" : "nobody" + std::to_string(i)).envelope;
    ZEBWireReply locked = logonOver(service, "demo", "demo");
    EXPECT_EQ(locked.httpStatus, 500);
    EXPECT_EQ(locked.envelope, wrongFault);
    now += options.lockoutTime + std::chrono::seconds(1);
    EXPECT_EQ(logonOver(service, "demo", "demo").httpStatus, 200);
  }
}

// ---------------------------------------------------------------- the daemon under slow clients

long procStatus(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// Whether the server has closed the connection (end of stream or reset), waiting up to `ms`.
bool closedByPeer(int fd, int ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  char buffer[4096];
  for (pollfd p{fd, POLLIN, 0}; Clock::now() < deadline;) {
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
  }
  return false;
}

// 1,000 connections that send half a head, half a body, or sit idle after a request, against one
// server with four workers: a normal client's calls are answered, the threads stay bounded, and every
// slow connection is dropped at its limit.
TEST(ServiceFront, AThousandSlowConnectionsDoNotHoldUpANormalClient) {
  constexpr int kWorkers = 4, kSlow = 1000, kHeadSeconds = 3;
  Daemon daemon({"--listen", "127.0.0.1:0", "--log", "off", "--threads", std::to_string(kWorkers), "--header-timeout",
                 std::to_string(kHeadSeconds), "--max-connections", "1100"});
  ASSERT_GT(daemon.port(), 0);
  const std::string bodyHead =
      "POST /dvl HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\nContent-Length: 100000\r\n\r\n<soapenv:Env";
  std::vector<int> slow;
  for (int i = 0; i < kSlow; ++i) {
    int fd = connectLoopback(daemon.port());
    ASSERT_GE(fd, 0) << i;
    std::string sent = i % 3 == 0   ? "POST /dvl HTTP/1.1\r\nHost: x\r\nContent-Le"
                       : i % 3 == 1 ? bodyHead
                                    : "GET /health HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(fd, sent.data(), sent.size(), MSG_NOSIGNAL);
    slow.push_back(fd);
  }
  auto held = Clock::now();
  httplib::Client http("127.0.0.1", daemon.port());
  long maxThreads = 0;
  for (int call = 0; Clock::now() - held < std::chrono::seconds(kHeadSeconds - 1) && call < 50; ++call) {
    auto res = http.Post("/dvl", {{"SOAPAction", std::string(kNs) + "logon"}}, logonEnvelope(), "text/xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    maxThreads = std::max(maxThreads, procStatus(daemon.pid(), "Threads:"));
  }
  EXPECT_LE(maxThreads, kWorkers + 4);
  int dropped = 0;
  for (int fd : slow) {
    dropped += closedByPeer(fd, 4000) ? 1 : 0;
    ::close(fd);
  }
  EXPECT_EQ(dropped, kSlow);
}

// SIGTERM while a large add is arriving: with time to drain, the add completes and is acknowledged
// with a whole reply; without, it is refused and leaves nothing. Either way the store passes SQLite's
// integrity check. DVL_TERM_ADD_MIB sets the size (64 MiB; service_front_term_1gib: 1 GiB).
TEST(ServiceFront, SigtermDuringALargeAddFinishesItOrLeavesNothing) {
  const char* mib = std::getenv("DVL_TERM_ADD_MIB");
  const size_t size = size_t(mib ? std::atoi(mib) : 64) << 20;
  for (const char* drain : {"30", "0"}) {
    TempDir dir("dvl-term");
    const std::string store = dir / "store.db";
    std::string response;
    {
      Daemon daemon({"--listen", "127.0.0.1:0", "--log", "off", "--store", store, "--drain-timeout", drain});
      ASSERT_GT(daemon.port(), 0);
      httplib::Client http("127.0.0.1", daemon.port());
      auto logon = http.Post("/dvl", logonEnvelope(), "text/xml");
      ASSERT_TRUE(logon);

      ZEBContentAdd_Request add;
      add.getParentPath(&add.getObjectRegistry())->setValue("/content");
      ZEBModel model;
      ZEBAnyTypeMIMEProp document;
      document.setValue("cid:big");
      model.setModel(&document);
      add.getObjects(&add.getObjectRegistry())->push_back(&model);
      std::string head = "--b\r\nContent-Type: text/xml\r\nContent-ID: <root>\r\n\r\n" +
                         envelope(add, passportFrom(logon->body)) +
                         "\r\n--b\r\nContent-Type: application/octet-stream\r\nContent-ID: <big>\r\n\r\n";
      add.getObjects(&add.getObjectRegistry())->clear();
      const std::string tail = "\r\n--b--\r\n";
      int fd = connectLoopback(daemon.port());
      std::string request =
          "POST /dvl HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/related; boundary=b; "
          "start=\"<root>\"\r\nContent-Length: " +
          std::to_string(head.size() + size + tail.size()) + "\r\n\r\n" + head;
      bool sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0;
      const std::string chunk(1 << 20, 'd');
      for (size_t at = 0; sent && at < size; at += chunk.size()) {
        if (at == size / 2) ::kill(daemon.pid(), SIGTERM);
        sent = ::send(fd, chunk.data(), std::min(chunk.size(), size - at), MSG_NOSIGNAL) > 0;
      }
      if (sent) ::send(fd, tail.data(), tail.size(), MSG_NOSIGNAL);
      char buffer[65536];
      for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, size_t(n));
      ::close(fd);
      EXPECT_EQ(daemon.wait(), 0);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    auto scalar = [&](const std::string& sql) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
      std::string value = s && sqlite3_step(s) == SQLITE_ROW ? (const char*)sqlite3_column_text(s, 0) : "";
      sqlite3_finalize(s);
      return value;
    };
    EXPECT_EQ(scalar("PRAGMA integrity_check"), "ok");
    std::string stored = scalar("SELECT count(*) FROM documents WHERE size = " + std::to_string(size));
    sqlite3_close(db);
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(store + ".documents"))
      files += entry.is_regular_file() && entry.file_size() == size;
    if (std::string(drain) != "0") {
      ASSERT_EQ(response.rfind("HTTP/1.1 200", 0), 0u) << response.substr(0, 200);
      size_t length = std::strtoull(response.c_str() + response.find("Content-Length: ") + 16, nullptr, 10);
      EXPECT_EQ(response.size() - response.find("\r\n\r\n") - 4, length) << "the reply arrived whole";
      EXPECT_EQ(stored + std::to_string(files), "11");
    } else {
      EXPECT_EQ(response.rfind("HTTP/1.1 200", 0), std::string::npos) << response.substr(0, 200);
      EXPECT_EQ(stored + std::to_string(files), "00");
    }
  }
}

}  // namespace
