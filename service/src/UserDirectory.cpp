#include "UserDirectory.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Crypto.h"
#include "ZEBSchema.h"

namespace dvlservice {

namespace {

constexpr const char* kScheme = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16, kHashBytes = 32;
// More would let one logon hold a worker for minutes.
constexpr long kMaxIterations = 10000000;

// The iterations of a hash's second field; 0 when it is not a number from 1 to kMaxIterations.
long iterationsOf(const std::string& field) {
  char* end = nullptr;
  long iterations = std::strtol(field.c_str(), &end, 10);
  return field.empty() || *end != '\0' || iterations < 1 || iterations > kMaxIterations ? 0 : iterations;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

bool isCapability(const std::string& name) {
  return ZEBUserCapabilityEnum::typeInfo.findEnumName(name.data(), name.size()) != nullptr;
}

std::vector<std::string> allCapabilities() {
  const ZEBTypeInfo& type = ZEBUserCapabilityEnum::typeInfo;
  // The enumeration table is sorted by identifier; keep the schema's order of declaration instead.
  static const char* const kDeclared[] = {"canReadContent",  "canWriteContent",    "canAdministerStore",
                                          "canRunReports",   "canScheduleReports", "canAuthorReports",
                                          "canManageModels", "canUseMonitor",      "canMoveData"};
  std::vector<std::string> names;
  for (const char* name : kDeclared) {
    if (type.findEnumName(name, std::char_traits<char>::length(name))) names.emplace_back(name);
  }
  return names;
}

bool isToken(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if (c <= ' ' || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

bool UserAccount::hasCapability(const std::string& name) const {
  for (const std::string& c : capabilities) {
    if (c == name) return true;
  }
  return false;
}

std::string UserDirectory::hashPassword(const std::string& password, int iterations) {
  std::string salt;
  fromHex(randomHex(kSaltBytes), salt);
  std::string hash = pbkdf2Sha256(password, salt, iterations, kHashBytes);
  return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + toBase64(salt) + "$" + toBase64(hash);
}

bool UserDirectory::verifyPassword(const std::string& password, const std::string& hash) {
  std::vector<std::string> parts = split(hash, '$');
  if (parts.size() != 4 || parts[0] != kScheme) return false;
  long iterations = iterationsOf(parts[1]);
  if (iterations == 0) return false;
  std::string salt, expected;
  if (!fromBase64(parts[2], salt) || !fromBase64(parts[3], expected) || expected.empty()) return false;
  return constantTimeEquals(pbkdf2Sha256(password, salt, static_cast<int>(iterations), expected.size()), expected);
}

void UserDirectory::add(UserAccount account) {
  if (!isToken(account.nameSpace) || !isToken(account.userName)) {
    throw std::invalid_argument("a namespace and a user name are one word each, without white space");
  }
  if (split(account.passwordHash, '$').size() != 4 || account.passwordHash.rfind(kScheme, 0) != 0) {
    throw std::invalid_argument("the password hash of " + account.nameSpace + "/" + account.userName +
                                " is not of the form pbkdf2-sha256$<iterations>$<salt>$<hash>");
  }
  if (iterationsOf(split(account.passwordHash, '$')[1]) == 0) {
    throw std::invalid_argument("the password hash of " + account.nameSpace + "/" + account.userName +
                                " does not have from 1 to " + std::to_string(kMaxIterations) + " iterations");
  }
  for (const std::string& c : account.capabilities) {
    if (!isCapability(c)) throw std::invalid_argument("'" + c + "' is not a user capability");
  }
  for (const UserAccount& existing : m_accounts) {
    if (existing.nameSpace == account.nameSpace && existing.userName == account.userName) {
      throw std::invalid_argument("the account " + account.nameSpace + "/" + account.userName + " appears twice");
    }
  }
  if (m_dummyHash.empty()) {
    std::vector<std::string> parts = split(account.passwordHash, '$');
    m_dummyHash = parts[0] + "$" + parts[1] + "$" + toBase64(std::string(kSaltBytes, '\0')) + "$" +
                  toBase64(std::string(kHashBytes, '\0'));
  }
  m_accounts.push_back(std::move(account));
}

bool UserDirectory::checkPassword(const UserAccount* account, const std::string& password) const {
  if (account) return verifyPassword(password, account->passwordHash);
  std::string dummy = m_dummyHash.empty()
                          ? std::string(kScheme) + "$" + std::to_string(kDefaultIterations) + "$" +
                                toBase64(std::string(kSaltBytes, '\0')) + "$" + toBase64(std::string(kHashBytes, '\0'))
                          : m_dummyHash;
  verifyPassword(password, dummy);
  return false;
}

const UserAccount* UserDirectory::find(const std::string& nameSpace, const std::string& userName) const {
  const UserAccount* found = nullptr;
  for (const UserAccount& a : m_accounts) {
    if (a.userName != userName) continue;
    if (!nameSpace.empty()) {
      if (a.nameSpace == nameSpace) return &a;
    } else if (found != nullptr) {
      return nullptr;  // the same user name in two namespaces: the caller must name one
    } else {
      found = &a;
    }
  }
  return found;
}

const UserAccount* UserDirectory::findTrusted(const std::string& nameSpace) const {
  for (const UserAccount& a : m_accounts) {
    if (a.trusted && a.nameSpace == nameSpace) return &a;
  }
  return nullptr;
}

UserDirectory UserDirectory::load(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read the users file '" + path + "'");
  UserDirectory directory;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.empty() || words[0][0] == '#') continue;
    auto bad = [&](const std::string& why) {
      return std::runtime_error(path + ":" + std::to_string(number) + ": " + why);
    };
    if (words.size() < 4 || words.size() > 5) {
      throw bad("expected: namespace user password-hash capabilities [trusted]");
    }
    UserAccount account;
    account.nameSpace = words[0];
    account.userName = words[1];
    account.passwordHash = words[2];
    if (words[3] == "all") {
      account.capabilities = allCapabilities();
    } else if (words[3] != "none") {
      account.capabilities = split(words[3], ',');
    }
    if (words.size() == 5) {
      if (words[4] != "trusted") throw bad("the fifth field may only be 'trusted'");
      account.trusted = true;
    }
    try {
      directory.add(std::move(account));
    } catch (const std::invalid_argument& e) {
      throw bad(e.what());
    }
  }
  return directory;
}

UserDirectory UserDirectory::demo() {
  // Hashing is slow on purpose; a process that starts many demo services hashes once.
  static const std::string demoHash = hashPassword("demo");
  static const std::string readerHash = hashPassword("reader");
  UserDirectory directory;
  directory.add({"LDAP", "demo", demoHash, allCapabilities(), true});
  directory.add({"LDAP", "reader", readerHash, {"canReadContent"}, false});
  return directory;
}

std::string UserDirectory::toText() const {
  std::string out = "# namespace  user  password-hash  capabilities  [trusted]\n";
  for (const UserAccount& a : m_accounts) {
    std::string caps;
    for (const std::string& c : a.capabilities) caps += (caps.empty() ? "" : ",") + c;
    out += a.nameSpace + " " + a.userName + " " + a.passwordHash + " " + (caps.empty() ? "none" : caps) +
           (a.trusted ? " trusted" : "") + "\n";
  }
  return out;
}

}  // namespace dvlservice
