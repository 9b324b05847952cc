// Logon: the credential document is a wire format the service parses, so its bytes are checked
// exactly; the sealed form must open only with the service's key and the sender's client id.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "DVLLogoff.h"
#include "DVLLogon.h"
#include "KRNError.h"
#include "ZEBHelper.h"
#include "support/FakeService.h"
#include "support/Files.h"

namespace {

class LogonTest : public testing::Test {
 protected:
  void SetUp() override {
    keys = ZEBHelper::generateCredentialKeyPair();
    ZEBHelper::setCredentialKey(keys.second.c_str());
  }
  void TearDown() override { ZEBHelper::setCredentialKey(""); }

  std::string credentials(const char* ns, const char* user, const char* password, int encrypt = 0) {
    DVLLogon logon(service.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    logon.addCredentials(ns, user, password, encrypt);
    return logon.getCredentials();
  }

  static std::string sealedValue(const std::string& document) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(document, m, std::regex("<credential><encryptedValue>([A-Za-z0-9+/=]+)</encryptedValue></credential>")))
        << document;
    return m[1];
  }

  FakeService service;
  std::pair<std::string, std::string> keys;  // private, public
};

TEST_F(LogonTest, PlainDocumentsLeaveOutWhatIsNotGivenAndEscapeValues) {
  EXPECT_EQ(credentials("", "admin", "secret"),
            "<credential><username>admin</username><password>secret</password></credential>");
  EXPECT_EQ(credentials(nullptr, "", nullptr), "<credential><username></username></credential>");
  EXPECT_EQ(credentials(nullptr, nullptr, nullptr), "<credential></credential>");
  EXPECT_EQ(credentials("LDAP", "u", ""),
            "<credential><namespace>LDAP</namespace><username>u</username><password></password></credential>");
  // Values are escaped; sealing nothing sends the empty plain document.
  EXPECT_EQ(credentials(nullptr, "a<b&c", "\"'>"),
            "<credential><username>a&lt;b&amp;c</username><password>&quot;&apos;&gt;</password></credential>");
  EXPECT_EQ(credentials(nullptr, nullptr, nullptr, 1), "<credential></credential>");
}

TEST_F(LogonTest, SealedDocumentOpensOnlyWithTheServiceKeyAndTheSendersClientId) {
  std::string sealed = sealedValue(credentials("LDAP", "admin", "s3cret<", 1));
  EXPECT_EQ(sealed.find("s3cret"), std::string::npos);
  const char* client = service.session().getClientID();
  EXPECT_EQ(ZEBHelper::decryptCredential(sealed.c_str(), client, keys.first.c_str()),
            "<credential><namespace>LDAP</namespace><username>admin</username><password>s3cret&lt;</password></credential>");

  auto otherKeys = ZEBHelper::generateCredentialKeyPair();
  EXPECT_THROW(ZEBHelper::decryptCredential(sealed.c_str(), client, otherKeys.first.c_str()), KRNRuntimeError);
  EXPECT_THROW(ZEBHelper::decryptCredential(sealed.c_str(), "another-client", keys.first.c_str()), KRNRuntimeError);
  std::string tampered = sealed;
  tampered[60] = tampered[60] == 'A' ? 'B' : 'A';
  EXPECT_THROW(ZEBHelper::decryptCredential(tampered.c_str(), client, keys.first.c_str()), KRNRuntimeError);
  // Sealing twice gives different texts.
  EXPECT_NE(sealedValue(credentials(nullptr, "u", "p", 1)), sealedValue(credentials(nullptr, "u", "p", 1)));
}

// A failed seal leaves "<credential>" alone, which the service refuses (the live session suite).
TEST_F(LogonTest, ASecondAddCredentialsReplacesTheFirstAndAFailedSealLeavesNoCredentials) {
  DVLLogon logon(service.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  logon.addCredentials("NS", "first", "p", 0);
  logon.addCredentials(nullptr, "second", nullptr, 0);
  EXPECT_EQ(logon.getCredentials(), "<credential><username>second</username></credential>");
  ZEBHelper::setCredentialKey("");
  EXPECT_THROW(logon.addCredentials(nullptr, "third", "p", 1), KRNRuntimeError);
  EXPECT_EQ(logon.getCredentials(), "<credential>");
}

// The envelopes as they go on the wire, with what changes from run to run replaced.
std::string normalised(std::string envelope) {
  envelope = std::regex_replace(envelope, std::regex("<dvl:clientID>[^<]*</dvl:clientID>"), "<dvl:clientID>CLIENT-ID</dvl:clientID>");
  envelope = std::regex_replace(envelope, std::regex("&lt;encryptedValue&gt;[^&]*&lt;/encryptedValue&gt;"),
                                "&lt;encryptedValue&gt;SEALED&lt;/encryptedValue&gt;");
  return envelope;
}

void expectGolden(const std::string& name, const std::string& envelope) {
  std::string path = std::string(DVL_TEST_DATA) + "/" + name;
  if (std::getenv("DVL_UPDATE_GOLDEN")) std::ofstream(path) << envelope << "\n";
  std::string golden = readFile(path);
  ASSERT_FALSE(golden.empty()) << "missing golden file " << path << " (run with DVL_UPDATE_GOLDEN=1 to write it)";
  EXPECT_EQ(golden, envelope + "\n") << name;
}

TEST_F(LogonTest, EnvelopesMatchTheGoldenFiles) {
  DVLLogon plain(service.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  plain.addCredentials("LDAP", "demo", "demo & co", 0);
  plain.execute();
  expectGolden("logon-plain.xml", normalised(service.last().envelope));

  DVLLogon sealed(service.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  sealed.addCredentials("LDAP", "demo", "demo", 1);
  sealed.execute();
  expectGolden("logon-encrypted.xml", normalised(service.last().envelope));

  DVLLogoff logoff(service.session(), nullptr);
  logoff.execute();
  expectGolden("logoff.xml", normalised(service.last().envelope));
  EXPECT_EQ(service.last().trusted, 0);  // a logoff is never trusted
}

}  // namespace
