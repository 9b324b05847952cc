// The service's credential key as a session factory fetches it: remembered on first sight, refused
// when it changes, never fetched over a channel someone in between could alter.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "ContentServer.h"
#include "ContentService.h"
#include "DVL.h"
#include "DVLLogon.h"
#include "ZEBCredentialKey.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"
#include "ZEBHttpTransport.h"
#include "support/Files.h"
#include "support/Raised.h"

namespace {

struct Server {
  dvlservice::ContentService service;
  dvlservice::ContentServer front;
  explicit Server(const dvlservice::ServerOptions& options) : front(service, options) { front.start(); }
};

class CredentialKeyTest : public testing::Test {
 protected:
  void SetUp() override {
    DVL::initialize();
    ZEBHelper::setCredentialKey("");
  }

  std::unique_ptr<Server> start(int port = 0, bool https = false) {
    dvlservice::ServerOptions options;
    options.port = port;
    if (https) {
      options.certificateFile = m_folder + "/cert.pem";
      options.privateKeyFile = m_folder + "/key.pem";
      // Self-signed for 127.0.0.1, and its own CA.
      const std::string openssl = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1"
                                  " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
                                  " -addext basicConstraints=critical,CA:TRUE -keyout " +
                                  options.privateKeyFile + " -out " + options.certificateFile + " 2>/dev/null";
      EXPECT_EQ(std::system(openssl.c_str()), 0);
    }
    return std::make_unique<Server>(options);
  }
  ZEBHttpSettings settings(const std::string& endpoint) const {
    ZEBHttpSettings s;
    s.endpoint = endpoint;  // the default limits: a TLS handshake or a logon may be slow on a busy machine
    s.knownKeysFile = m_knownKeys;
    return s;
  }
  // Logs on with a sealed credential through a new factory; returns the passport.
  std::string sealedLogon(const ZEBHttpSettings& s) {
    ZEBLiveVorbTK factory(s);
    auto* session = static_cast<ZEBSOAPSession*>(factory.createSession());
    DVLLogon logon(*session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    logon.addCredentials("LDAP", "demo", "demo", 1);
    logon.execute();
    return session->getPassport();
  }

  TempDir m_dir{"dvl-keys"};
  const std::string m_folder = m_dir.path(), m_knownKeys = m_folder + "/config/dvl/known-keys";
};

int modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

TEST_F(CredentialKeyTest, TheFirstKeyIsRememberedAndSealsLogons) {
  auto server = start();
  ZEBHttpSettings s = settings(server->front.getUrl());
  EXPECT_FALSE(sealedLogon(s).empty());
  EXPECT_FALSE(sealedLogon(s).empty());  // the same key again
  EXPECT_EQ(ZEBKnownKeys(m_knownKeys).lookup(s.endpoint),
            ZEBKnownKeys::fingerprint(server->service.getCredentialPublicKey()));
  EXPECT_EQ(modeOf(m_knownKeys), 0600);
  EXPECT_EQ(modeOf(m_folder + "/config/dvl"), 0700);
  EXPECT_TRUE(ZEBHelper::getCredentialKey().empty()) << "the fetched key stays with the factory's sessions";

  s.fetchCredentialKey = false;
  EXPECT_THROW(sealedLogon(s), KRNRuntimeError);
}

TEST_F(CredentialKeyTest, AChangedKeyIsRefusedUntilForgotten) {
  auto first = start();
  int port = first->front.getPort();
  ZEBHttpSettings s = settings(first->front.getUrl());
  sealedLogon(s);
  first.reset();
  auto second = start(port);  // another key at the same address
  ZEBCredentialKeyError e = raisedBy<ZEBCredentialKeyError>([&] { sealedLogon(s); });
  EXPECT_EQ(e.getEndpoint(), s.endpoint);
  EXPECT_EQ(e.getKnownKeysFile(), m_knownKeys);
  EXPECT_EQ(e.getLine(), 3);  // after the file's two comment lines
  for (const std::string& part : {s.endpoint, m_knownKeys + " line 3", std::string("delete line 3")})
    EXPECT_NE(e.getMessage().find(part), std::string::npos) << e.getMessage();
  EXPECT_TRUE(ZEBKnownKeys(m_knownKeys).forget(s.endpoint));
  EXPECT_FALSE(sealedLogon(s).empty());
  EXPECT_EQ(ZEBKnownKeys(m_knownKeys).lookup(s.endpoint),
            ZEBKnownKeys::fingerprint(second->service.getCredentialPublicKey()));
}

TEST_F(CredentialKeyTest, OnlyLoopbackOrVerifiedHttpsIsAsked) {
  auto server = start();
  struct Case {
    std::string endpoint;
    bool verify;
    bool refused;  // else asked, and the closed port answers "connect"
  } cases[] = {
      {"http://192.0.2.1:9300/dvl", true, true},
      {"http://localhost.example.org:9300/dvl", true, true},
      {"http://127.0.0.1.example.org:9300/dvl", true, true},
      {"https://192.0.2.1:9300/dvl", false, true},
      {"http://[::1]:1/dvl", true, false},
      {"http://127.0.0.9:1/dvl", true, false},
  };
  for (const Case& c : cases) {
    ZEBHttpSettings s = settings(c.endpoint);
    s.verifyPeer = c.verify;
    if (c.refused) {
      EXPECT_THROW(ZEBCredentialKeySource::fetch(s), ZEBCredentialKeyError) << c.endpoint;
    } else {
      EXPECT_EQ(raisedBy<ZEBTransportError>([&] { ZEBCredentialKeySource::fetch(s); }).getPhase(), "connect") << c.endpoint;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(m_knownKeys));
  std::string local = server->front.getUrl();
  local.replace(local.find("127.0.0.1"), 9, "localhost");
  setenv("http_proxy", "http://127.0.0.1:1", 1);  // a proxy is never asked for a loopback key
  EXPECT_FALSE(ZEBCredentialKeySource::fetch(settings(local)).empty());
  unsetenv("http_proxy");
}

TEST_F(CredentialKeyTest, HttpsChecksTheCertificate) {
  auto server = start(0, true);
  ZEBHttpSettings s = settings(server->front.getUrl());
  EXPECT_EQ(raisedBy<ZEBTransportError>([&] { ZEBCredentialKeySource::fetch(s); }).getPhase(), "TLS");
  s.caFile = m_folder + "/cert.pem";
  EXPECT_FALSE(sealedLogon(s).empty());
  s.caFile.clear();
  s.verifyPeer = false;  // the key and the logon over a loopback connection left unverified
  EXPECT_FALSE(sealedLogon(s).empty());
}

}  // namespace
