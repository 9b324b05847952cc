// The accounts that may log on to dvl-contentd: namespace, user name, salted password hash and the
// capabilities the account holds, read from a users file (format in docs/server.md).
#pragma once

#include <string>
#include <vector>

namespace dvlservice {

struct UserAccount {
  std::string nameSpace;
  std::string userName;
  std::string passwordHash;               // "pbkdf2-sha256$<iterations>$<salt>$<hash>", base64 parts
  std::vector<std::string> capabilities;  // names of the schema's user capabilities
  bool trusted = false;                   // the standalone access manager may hand out its credential

  bool hasCapability(const std::string& name) const;
};

class UserDirectory {
 public:
  UserDirectory() = default;

  // Reads a users file; raises std::runtime_error naming the file and line of a bad entry.
  static UserDirectory load(const std::string& path);
  // The built-in accounts of a demo server: LDAP/demo (password "demo", every capability, trusted)
  // and LDAP/reader (password "reader", canReadContent only).
  static UserDirectory demo();

  // A salted PBKDF2-HMAC-SHA256 hash in the users-file form.
  static std::string hashPassword(const std::string& password, int iterations = kDefaultIterations);
  // False for a wrong password and for a hash that is not of the users-file form.
  static bool verifyPassword(const std::string& password, const std::string& hash);

  // Whether the password is the account's. With no account (an unknown user) a hash of the same
  // cost is computed all the same and false returned, so that both failures take equal time.
  bool checkPassword(const UserAccount* account, const std::string& password) const;

  // Adds an account; raises std::invalid_argument when it is malformed or already present.
  void add(UserAccount account);
  // The account, or null. With an empty namespace the user name must be unique across namespaces.
  const UserAccount* find(const std::string& nameSpace, const std::string& userName) const;
  // The trusted account of a namespace, or null.
  const UserAccount* findTrusted(const std::string& nameSpace) const;
  const std::vector<UserAccount>& accounts() const { return m_accounts; }
  // The users-file text of every account.
  std::string toText() const;

  static constexpr int kDefaultIterations = 100000;

 private:
  std::vector<UserAccount> m_accounts;
  std::string m_dummyHash;  // of the form and cost of the accounts' hashes; matches no password
};

}  // namespace dvlservice
