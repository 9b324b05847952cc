// The HTTP(S) front end on a loopback port: what it serves, how it answers bad input, attachments
// both ways, provoked failures, many clients at once, and stopping.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ContentServer.h"
#include "ContentService.h"
#include "MultipartBody.h"
#include "ServiceClient.h"
#include "ZEB.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"
#include "ZEBHttpTransport.h"
#include "ZEBMime.h"
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

std::string queryEnvelope(const std::string& passport, const std::string& path, bool mimeData = false) {
  ZEBContentQuery_Request query;
  ZEBObjectRegistryI& reg = query.getObjectRegistry();
  query.getSearchPath(&reg)->setValue(path.c_str());
  if (mimeData) {
    for (ZEBPropEnum::Enum p : {ZEBPropEnum::storeID, ZEBPropEnum::data}) {
      auto* e = new ZEBPropEnum(p);
      reg.registerObject(e);
      query.getProperties(&reg)->push_back(e);
    }
    auto* mime = new ZEBEncodingEnum(ZEBEncodingEnum::MIME);
    reg.registerObject(mime);
    query.getOptions(&reg)->setDataEncoding(mime);
  }
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
std::string rawExchange(int port, const std::string& head, const std::string& body, std::string* interim = nullptr) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return "connect failed";
  }
  auto readSome = [&] {
    char buffer[65536];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  };
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  if (interim) {
    *interim = readSome();
    if (interim->rfind("HTTP/1.1 100", 0) != 0) {
      ::close(fd);
      return *interim;
    }
  }
  ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
  std::string response;
  for (std::string piece; !(piece = readSome()).empty();) response += piece;
  ::close(fd);
  return response;
}

TEST_F(ServiceHttpTest, ServesTheWsdlWithItsOwnAddressAndTheCredentialKey) {
  start();
  auto wsdl = http->Get("/dvl?wsdl");
  ASSERT_TRUE(wsdl);
  EXPECT_EQ(wsdl->status, 200);
  EXPECT_NE(wsdl->body.find("wsdl:definitions"), std::string::npos);
  EXPECT_NE(wsdl->body.find("location=\"" + server->getUrl() + "\""), std::string::npos);
  EXPECT_EQ(wsdl->body.find("localhost:9300"), std::string::npos);
  auto key = http->Get("/dvl/credential-key");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->body, service.getCredentialPublicKey());
  auto plain = http->Get("/dvl");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->status, 405);
}

TEST_F(ServiceHttpTest, ALogonAndAQueryTravelOverHttp) {
  start();
  std::string passport = logon();
  EXPECT_EQ(passport.size(), 64u);
  EXPECT_EQ(count(passport, "/content/*"), 2u);
}

TEST_F(ServiceHttpTest, BadInputGetsAFaultOrAnHttpErrorAndTheServerKeepsServing) {
  ServerOptions options;
  options.maxEnvelopeBytes = 4096;
  options.maxBodyBytes = 64 * 1024;
  start(options);
  std::string passport = logon();

  auto malformed = post("<soapenv:Envelope><unclosed>", "query");
  ASSERT_TRUE(malformed);
  EXPECT_EQ(malformed->status, 500);
  EXPECT_NE(malformed->body.find("<faultcode>soapenv:Client</faultcode>"), std::string::npos);

  auto tooLarge = post(std::string(5000, ' ') + queryEnvelope(passport, "/content"), "query");
  ASSERT_TRUE(tooLarge);
  EXPECT_EQ(tooLarge->status, 413);

  auto overBody = post(std::string(100 * 1024, 'x'), "add", "multipart/related; boundary=b");
  if (overBody) {
    EXPECT_EQ(overBody->status, 413);  // the server may also close before reading it all
  }

  auto wrongType = post("{\"json\": true}", "query", "application/json");
  ASSERT_TRUE(wrongType);
  EXPECT_EQ(wrongType->status, 415);

  auto noBoundary = post("--b\r\n\r\n<x/>\r\n--b--", "query", "multipart/related");
  ASSERT_TRUE(noBoundary);
  EXPECT_EQ(noBoundary->status, 400);

  auto forged = post(queryEnvelope(std::string(64, '0'), "/content"), "query");
  ASSERT_TRUE(forged);
  EXPECT_EQ(forged->status, 500);
  EXPECT_NE(forged->body.find("invalidPassport"), std::string::npos);

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
                                    "", &interim);
  EXPECT_EQ(refused.rfind("HTTP/1.1 413", 0), 0u) << refused;

  std::string body = logonEnvelope();
  std::string accepted = rawExchange(port,
                                     "POST /dvl HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n"
                                     "Connection: close\r\nContent-Length: " +
                                         std::to_string(body.size()) + "\r\nExpect: 100-continue\r\n\r\n",
                                     body, &interim);
  EXPECT_EQ(interim.rfind("HTTP/1.1 100 Continue", 0), 0u) << interim;
  EXPECT_EQ(accepted.rfind("HTTP/1.1 200", 0), 0u) << accepted;
}

TEST_F(ServiceHttpTest, AttachmentsTravelByteForByteBothWays) {
  start();
  std::string passport = logon();
  std::string data("%PDF-1.4\r\n--not-the-boundary\r\n\0\x01\xfe\xff binary", 42);

  ZEBContentAdd_Request add;
  ZEBObjectRegistryI& reg = add.getObjectRegistry();
  add.getParentPath(&reg)->setValue("/content/folder[@name='Samples']");
  ZEBOutput output;
  ZEBTokenProp name;
  name.setValue("attached.pdf");
  output.setDefaultName(&name);
  ZEBBase64Binary reference;
  reference.setValue("cid:doc-1");
  ZEBBase64BinaryMIMEProp dataProp;
  dataProp.setValue(&reference);
  output.setData(&dataProp);
  add.getObjects(&reg)->push_back(&output);
  std::string body = "--MIME_boundary\r\nContent-Type: text/xml; charset=UTF-8\r\nContent-ID: <root>\r\n\r\n" +
                     envelope(add, passport) +
                     "\r\n--MIME_boundary\r\nContent-Type: application/pdf\r\nContent-ID: <doc-1>\r\n\r\n" + data +
                     "\r\n--MIME_boundary--\r\n";
  auto added = post(body, "add", "multipart/related; type=\"text/xml\"; start=\"<root>\"; boundary=\"MIME_boundary\"");
  ASSERT_TRUE(added);
  ASSERT_EQ(added->status, 200) << added->body;
  ZEBContentAdd_Reply addReply;
  ZEBSoap::readEnvelope(added->body.data(), added->body.size(), addReply);
  ASSERT_EQ(addReply.getResult()->size(), 1u);

  auto queried =
      post(queryEnvelope(passport, "/content/folder[@name='Samples']/output[@name='attached.pdf']", true), "query");
  ASSERT_TRUE(queried);
  ASSERT_EQ(queried->status, 200);
  ZEBContentType type = ZEBMime::parseContentType(queried->get_header_value("Content-Type"));
  ASSERT_TRUE(type.isMultipartRelated());
  std::string spool = std::filesystem::temp_directory_path().string();
  dvlservice::MultipartReader reader(type.getParameter("boundary"), type.getParameter("start"), spool, 1 << 20);
  reader.feed(queried->body.data(), queried->body.size());
  reader.finish();
  ASSERT_EQ(reader.attachments().size(), 1u);
  std::ifstream in(reader.attachments()[0].path, std::ios::binary);
  std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(back == data);
  ZEBContentQuery_Reply reply;
  ZEBSoap::readEnvelope(reader.root().data(), reader.root().size(), reply);
  auto* stored = dynamic_cast<ZEBOutput*>(reply.getResult()->at(0));
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(std::string(stored->getData()->getValue()->getValue()), "cid:" + reader.attachments()[0].contentId);
}

TEST_F(ServiceHttpTest, TheToolkitsHttpTransportLogsOnSealedAndStreamsALargeDocument) {
  start();
  ZEBHttpSettings settings;
  settings.endpoint = server->getUrl();
  servicetest::Client client(std::make_shared<ZEBHttpTransport>(settings));

  ZEBHelper::setCredentialKey(http->Get("/dvl/credential-key")->body.c_str());
  std::string plain = servicetest::plainCredential("LDAP", "demo", "demo");
  KRNByteBuffer sealed;
  ZEBHelper::encryptAndEncode(plain.data(), plain.size(), client.session().getClientID(), sealed);
  client.logonWith(std::string("<credential><encryptedValue>") + sealed.str() + "</encryptedValue></credential>");
  ZEBHelper::setCredentialKey("");
  ASSERT_FALSE(client.session().getPassport().empty());

  std::string path = std::filesystem::temp_directory_path().string() + "/dvl-http-doc-" + std::to_string(::getpid());
  std::string data(6 * 1024 * 1024 + 3, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  ZEBDocumentOutput document(path, "application/pdf");
  ZEBAttachmentList attachments = {{"big", &document}};
  ZEBContentAdd_Request add;
  ZEBOutput output;
  ZEBTokenProp name;
  name.setValue("big.pdf");
  output.setDefaultName(&name);
  ZEBBase64Binary reference;
  reference.setValue("cid:big");
  ZEBBase64BinaryMIMEProp dataProp;
  dataProp.setValue(&reference);
  output.setData(&dataProp);
  add.getObjects(&add.getObjectRegistry())->push_back(&output);
  ZEBContentAdd_Reply added;
  client.send(add, added, &attachments);
  std::filesystem::remove(path);
  ASSERT_EQ(added.getResult()->size(), 1u);

  auto found = client.find("/content/output[@name='big.pdf']", {ZEBPropEnum::data}, [](ZEBContentQuery_Request& r) {
    auto* mime = servicetest::made<ZEBEncodingEnum>(r);
    mime->setValue(ZEBEncodingEnum::MIME);
    r.getOptions(&r.getObjectRegistry())->setDataEncoding(mime);
  });
  ASSERT_EQ(found.reply->getReceivedAttachments().size(), 1u);
  EXPECT_TRUE(found.reply->getReceivedAttachments()[0].bytes == data);

  ZEBSOAPFault fault = servicetest::Client::faultOf([&] { client.query("/content/["); });
  EXPECT_EQ(fault.getFaultCode(), "soapenv:Client");
}

TEST_F(ServiceHttpTest, TheInjectHeaderProvokesFailuresOnlyWhenAllowed) {
  ServerOptions options;
  options.allowInjectHeader = true;
  start(options);
  std::string passport = logon();
  std::string query = queryEnvelope(passport, "/content");

  auto garbage = post(query, "query", "text/xml", {{"X-DVL-Inject", "garbage"}});
  ASSERT_TRUE(garbage);
  EXPECT_EQ(garbage->body.find("Envelope"), std::string::npos);

  auto fault = post(query, "query", "text/xml", {{"X-DVL-Inject", "fault=Server:on purpose"}});
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->status, 500);
  EXPECT_NE(fault->body.find("on purpose"), std::string::npos);

  auto dropped = post(query, "query", "text/xml", {{"X-DVL-Inject", "drop"}});
  EXPECT_TRUE(!dropped || dropped->body.size() < query.size());  // cut short, or no response at all

  auto bad = post(query, "query", "text/xml", {{"X-DVL-Inject", "explode"}});
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);

  EXPECT_EQ(count(passport, "/content"), 1u);
}

TEST_F(ServiceHttpTest, TheInjectHeaderIsIgnoredUnlessAllowed) {
  start();
  std::string passport = logon();
  auto res = post(queryEnvelope(passport, "/content"), "query", "text/xml", {{"X-DVL-Inject", "fault=Server:no"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

// Not named for the thread-sanitizer run: the HTTP library is a prebuilt one that the sanitizer cannot
// see into. ServiceTest.Concurrent* covers the service's own locking.
TEST_F(ServiceHttpTest, ManyClientsAtOnceAreAllServed) {
  ServerOptions options;
  options.threads = 4;
  start(options);
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 6; ++c) {
    clients.emplace_back([&] {
      httplib::Client own("127.0.0.1", port);
      httplib::Headers logonHeaders{{"SOAPAction", std::string(kNs) + "logon"}};
      auto res = own.Post("/dvl", logonHeaders, logonEnvelope(), "text/xml");
      if (!res || res->status != 200) return;
      ZEBAuthenticationLogon_Reply reply;
      ZEBSoap::readEnvelope(res->body.data(), res->body.size(), reply);
      std::string passport = ZEBHelper::getPassport(reply.getVorbHeader(nullptr));
      for (int i = 0; i < 15; ++i) {
        auto q = own.Post("/dvl", queryEnvelope(passport, "//*"), "text/xml");
        if (q && q->status == 200) ++good;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(good.load(), 6 * 15);
}

TEST_F(ServiceHttpTest, StopClosesThePortWithoutASignal) {
  start();
  EXPECT_EQ(count(logon(), "/content"), 1u);
  server->stop();
  EXPECT_EQ(rawExchange(port, "GET /dvl?wsdl HTTP/1.1\r\nConnection: close\r\n\r\n", ""), "connect failed");
  server->stop();  // a second stop is harmless
}

TEST(ServiceHttpAddress, OnlyLoopbackAddressesAreServed) {
  ContentService service;
  ServerOptions options;
  options.host = "0.0.0.0";
  options.port = 0;
  ContentServer server(service, options);
  EXPECT_THROW(server.start(), std::runtime_error);
}

// A self-signed certificate for 127.0.0.1, written as PEM files.
void writeCertificate(const std::string& certPath, const std::string& keyPath) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  FILE* c = std::fopen(certPath.c_str(), "wb");
  PEM_write_X509(c, cert);
  std::fclose(c);
  FILE* k = std::fopen(keyPath.c_str(), "wb");
  PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(k);
  X509_free(cert);
  EVP_PKEY_free(key);
}

TEST(ServiceHttpTls, ACertificateMakesTheServerSpeakHttps) {
  std::string dir = std::filesystem::temp_directory_path().string() + "/dvl-tls-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  writeCertificate(dir + "/cert.pem", dir + "/key.pem");
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
