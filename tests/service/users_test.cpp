// Accounts and credentials: password hashes, the users file, and the credential document a logon
// carries.
#include <gtest/gtest.h>

#include "Credential.h"
#include "UserDirectory.h"
#include "support/Files.h"

using dvlservice::parseCredentialDocument;
using dvlservice::UserAccount;
using dvlservice::UserDirectory;

namespace {

// A password verifies against its own salted hash only, and nothing verifies against a malformed one.
TEST(ServiceUsers, APasswordVerifiesAgainstItsOwnHashOnly) {
  std::string hash = UserDirectory::hashPassword("s3cret", 1000);
  EXPECT_TRUE(UserDirectory::verifyPassword("s3cret", hash));
  EXPECT_FALSE(UserDirectory::verifyPassword("s3cret ", hash));
  EXPECT_NE(UserDirectory::hashPassword("s3cret", 1000), hash);
  for (const char* bad : {"", "plain", "pbkdf2-sha256$x$c2FsdA==$aGFzaA==", "pbkdf2-sha256$1000$!!$aGFzaA==",
                          "md5$1000$c2FsdA==$aGFzaA==", "pbkdf2-sha256$0$c2FsdA==$aGFzaA=="}) {
    EXPECT_FALSE(UserDirectory::verifyPassword("anything", bad)) << bad;
  }
}

class UsersFile : public testing::Test {
 protected:
  void write(const std::string& text) { std::ofstream(m_path) << text; }
  TempDir m_dir;
  std::string m_path = m_dir / "users";
};

TEST_F(UsersFile, ReadsAccountsCapabilitiesAndTrust) {
  std::string hash = UserDirectory::hashPassword("pw", 1000);
  write("# comment\n\nLDAP alice " + hash + " canReadContent,canWriteContent trusted\n" +  //
        "AD   bob   " + hash + " all\n" +                                                  //
        "AD   carol " + hash + " none\n");
  UserDirectory users = UserDirectory::load(m_path);
  ASSERT_EQ(users.accounts().size(), 3u);
  const UserAccount* alice = users.find("LDAP", "alice");
  ASSERT_TRUE(alice);
  EXPECT_TRUE(alice->trusted);
  EXPECT_TRUE(alice->hasCapability("canWriteContent"));
  EXPECT_FALSE(alice->hasCapability("canUseMonitor"));
  EXPECT_EQ(users.find("AD", "bob")->capabilities.size(), 9u);
  EXPECT_TRUE(users.find("AD", "carol")->capabilities.empty());
  EXPECT_EQ(users.findTrusted("LDAP"), alice);
  EXPECT_EQ(users.findTrusted("AD"), nullptr);
}

TEST_F(UsersFile, NamesTheLineOfABadEntry) {
  std::string hash = UserDirectory::hashPassword("pw", 1000);
  const std::pair<std::string, std::string> cases[] = {
      {"LDAP alice " + hash, "expected: namespace user"},
      {"LDAP alice plaintext all", "pbkdf2-sha256"},
      {"LDAP alice pbkdf2-sha256$999999999$c2FsdA==$aGFzaA== all", "iterations"},  // could never verify
      {"LDAP alice " + hash + " canFly", "'canFly' is not a user capability"},
      {"LDAP alice " + hash + " all admin", "may only be 'trusted'"},
  };
  for (const auto& [line, message] : cases) {
    write("# first line\n" + line + "\n");
    try {
      UserDirectory::load(m_path);
      FAIL() << line;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(m_path + ":2:"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

TEST(ServiceUsers, AUserNameWithoutNamespaceMustBeUniqueAcrossNamespaces) {
  UserDirectory users;
  std::string hash = UserDirectory::hashPassword("pw", 1000);
  users.add({"LDAP", "alice", hash, {}, false});
  users.add({"LDAP", "bob", hash, {}, false});
  users.add({"AD", "bob", hash, {}, false});
  EXPECT_TRUE(users.find("", "alice"));
  EXPECT_FALSE(users.find("", "bob"));
  EXPECT_EQ(users.find("AD", "bob")->nameSpace, "AD");
  EXPECT_FALSE(users.find("NIS", "alice"));
}

TEST(ServiceCredential, ReadsThePlainFormWithEscapedValuesAndRefusesWhatIsNotACredential) {
  auto c = parseCredentialDocument(
      "<credential><namespace>LDAP</namespace><username>a&lt;b&amp;c</username><password></password></credential>");
  EXPECT_EQ(c.userName, "a<b&c");
  EXPECT_TRUE(c.hasPassword && c.password.empty() && !c.hasEncryptedValue);
  const char* bad[] = {
      "",
      "<credential>",  // what a sealed credential without values leaves
      "<login><username>x</username></login>",
      "<credential><username>x</username><username>y</username></credential>",
      "<credential><role>admin</role></credential>",
      "<credential><username><b>x</b></username></credential>",
      "<credential>stray<username>x</username></credential>",
      "<credential><encryptedValue>abc</encryptedValue><username>x</username></credential>",
      "<?xml version='1.0'?><!DOCTYPE credential [<!ENTITY a 'aaaa'><!ENTITY b '&a;&a;&a;&a;'>]>"
      "<credential><username>&b;</username></credential>",
      "<!DOCTYPE credential SYSTEM 'file:///etc/passwd'><credential/>",
  };
  for (const char* xml : bad) EXPECT_THROW(parseCredentialDocument(xml), std::invalid_argument) << xml;
}

}  // namespace
