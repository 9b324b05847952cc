// The HTTP(S) front end on a loopback port: what it serves, bad input, Expect: 100-continue,
// provoked failures, and HTTPS.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "support/Certificate.h"
#include "ContentServer.h"
#include "ContentService.h"
#include "ZEB.h"
#include "ZEBHelper.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"

using dvlservice::ContentServer;
using dvlservice::ContentService;
using dvlservice::ServerOptions;

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

std::string logonEnvelope(const char* password = "demo") {
  ZEBAuthenticationLogon_Request logon;
  std::string credential = std::string("<credential><namespace>LDAP</namespace><username>demo</username><password>") +
                           password + "</password></credential>";
  logon.getCredentials(&logon.getObjectRegistry())->setValue(credential.c_str());
  return envelope(logon);
}

std::string queryEnvelope(const std::string& passport, const std::string& path) {
  ZEBContentQuery_Request query;
  query.getSearchPath(&query.getObjectRegistry())->setValue(path.c_str());
  return envelope(query, passport);
}

class ServiceHttpTest : public testing::Test {
 protected:
  void start(ServerOptions options = ServerOptions()) {
    options.port = 0;
    server = std::make_unique<ContentServer>(service, options);
    port = server->start();
    http = std::make_unique<httplib::Client>("127.0.0.1", port);
    http->set_read_timeout(60, 0);
  }

  httplib::Result post(const std::string& body, const std::string& operation,
                       const std::string& contentType = "text/xml; charset=utf-8", httplib::Headers headers = {}) {
    headers.emplace("SOAPAction", "\"" + std::string(kNs) + operation + "\"");
    return http->Post("/dvl", headers, body, contentType.c_str());
  }

  std::string logon() {
    auto res = post(logonEnvelope(), "logon");
    EXPECT_TRUE(res);
    if (!res) return std::string();
    EXPECT_EQ(res->status, 200) << res->body;
    ZEBAuthenticationLogon_Reply reply;
    ZEBSoap::readEnvelope(res->body.data(), res->body.size(), reply);
    const char* passport = ZEBHelper::getPassport(reply.getVorbHeader(nullptr));
    return passport ? passport : "";
  }

  // The query answered over HTTP, parsed; raises the fault when there is one.
  size_t count(const std::string& passport, const std::string& path) {
    auto res = post(queryEnvelope(passport, path), "query");
    EXPECT_TRUE(res);
    ZEBContentQuery_Reply reply;
    ZEBSoap::readEnvelope(res->body.data(), res->body.size(), reply);
    return reply.getResult() ? reply.getResult()->size() : 0;
  }

  ContentService service;
  std::unique_ptr<ContentServer> server;
  std::unique_ptr<httplib::Client> http;
  int port = 0;
};

// A request written on a socket of our own, for what a library client would not send.
std::string rawExchange(int port, const std::string& head, const std::string& body, std::string& interim) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string response;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    auto readSome = [&] {
      char buffer[65536];
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    };
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    interim = response = readSome();
    if (interim.rfind("HTTP/1.1 100", 0) == 0) {
      ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
      response.clear();
      for (std::string piece; !(piece = readSome()).empty();) response += piece;
    }
  }
  ::close(fd);
  return response;
}

TEST_F(ServiceHttpTest, ServesTheWsdlWithItsOwnAddressAndTheCredentialKey) {
  start();
  auto wsdl = http->Get("/dvl?wsdl");
  ASSERT_TRUE(wsdl);
  EXPECT_NE(wsdl->body.find("location=\"" + server->getUrl() + "\""), std::string::npos);
  EXPECT_EQ(http->Get("/dvl/credential-key")->body, service.getCredentialPublicKey());
  EXPECT_EQ(http->Get("/dvl")->status, 405);
}

TEST_F(ServiceHttpTest, BadInputGetsAFaultOrAnHttpErrorAndTheServerKeepsServing) {
  ServerOptions options;
  options.maxEnvelopeBytes = 4096;
  options.maxBodyBytes = 64 * 1024;
  start(options);
  std::string passport = logon();

  struct Case {
    std::string body, contentType;
    int status;
    const char* needle;
  };
  const Case cases[] = {
      {"<soapenv:Envelope><unclosed>", "text/xml", 500, "<faultcode>soapenv:Client</faultcode>"},
      {std::string(5000, ' ') + queryEnvelope(passport, "/content"), "text/xml", 413, ""},
      {"{\"json\": true}", "application/json", 415, ""},
      {"--b\r\n\r\n<x/>\r\n--b--", "multipart/related", 400, ""},
      {queryEnvelope(std::string(64, '0'), "/content"), "text/xml", 500, "invalidPassport"},
  };
  for (const Case& c : cases) {
    auto res = post(c.body, "query", c.contentType);
    ASSERT_TRUE(res) << c.body;
    EXPECT_EQ(res->status, c.status) << c.body;
    EXPECT_NE(res->body.find(c.needle), std::string::npos) << res->body;
  }
  auto overBody = post(std::string(100 * 1024, 'x'), "add", "multipart/related; boundary=b");
  if (overBody) {
    EXPECT_EQ(overBody->status, 413);  // the server may also close before reading it all
  }
  EXPECT_EQ(count(passport, "/content"), 1u);
}

TEST_F(ServiceHttpTest, AnExpectedBodyTooLargeIsRefusedBeforeItIsSent) {
  ServerOptions options;
  options.maxEnvelopeBytes = 4096;
  start(options);
  std::string interim;
  std::string refused = rawExchange(port,
                                    "POST /dvl HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n"
                                    "Content-Length: 100000\r\nExpect: 100-continue\r\n\r\n",
                                    "", interim);
  EXPECT_EQ(refused.rfind("HTTP/1.1 413", 0), 0u) << refused;

  std::string body = logonEnvelope();
  std::string accepted = rawExchange(port,
                                     "POST /dvl HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n"
                                     "Connection: close\r\nContent-Length: " +
                                         std::to_string(body.size()) + "\r\nExpect: 100-continue\r\n\r\n",
                                     body, interim);
  EXPECT_EQ(interim.rfind("HTTP/1.1 100 Continue", 0), 0u) << interim;
  EXPECT_EQ(accepted.rfind("HTTP/1.1 200", 0), 0u) << accepted;
}

TEST_F(ServiceHttpTest, TheInjectHeaderProvokesFailuresOnlyWhenAllowed) {
  ServerOptions options;
  options.allowInjectHeader = true;
  start(options);
  std::string passport = logon();
  std::string query = queryEnvelope(passport, "/content");

  auto fault = post(query, "query", "text/xml", {{"X-DVL-Inject", "fault=Server:on purpose"}});
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->status, 500);
  EXPECT_NE(fault->body.find("on purpose"), std::string::npos);

  auto bad = post(query, "query", "text/xml", {{"X-DVL-Inject", "explode"}});
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);

  EXPECT_EQ(count(passport, "/content"), 1u);
}

TEST(ServiceHttpAddress, OnlyLoopbackAddressesAreServed) {
  ContentService service;
  ServerOptions options;
  options.host = "0.0.0.0";
  options.port = 0;
  ContentServer server(service, options);
  EXPECT_THROW(server.start(), std::runtime_error);
}

TEST(ServiceHttpTls, ACertificateMakesTheServerSpeakHttps) {
  std::string dir = std::filesystem::temp_directory_path().string() + "/dvl-tls-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  writeSelfSignedCertificate(dir + "/cert.pem", dir + "/key.pem");
  ContentService service;
  ServerOptions options;
  options.port = 0;
  options.certificateFile = dir + "/cert.pem";
  options.privateKeyFile = dir + "/key.pem";
  ContentServer server(service, options);
  int port = server.start();
  EXPECT_EQ(server.getUrl().rfind("https://127.0.0.1:", 0), 0u);
  httplib::SSLClient tls("127.0.0.1", port);
  tls.enable_server_certificate_verification(false);
  auto res = tls.Post("/dvl", logonEnvelope(), "text/xml");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  server.stop();

  options.privateKeyFile = dir + "/missing.pem";
  ContentServer broken(service, options);
  EXPECT_THROW(broken.start(), std::runtime_error);
  std::filesystem::remove_all(dir);
}

}  // namespace
