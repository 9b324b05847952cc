// logon, logoff and retrieveCredential.
#include <algorithm>
#include <set>

#include "Credential.h"
#include "Crypto.h"
#include "KRNThrowable.h"
#include "ObjectCodec.h"
#include "PathResolver.h"
#include "ServiceFault.h"
#include "UserDirectory.h"
#include "ZEBHelper.h"
#include "ZEBSchema.h"
#include "handlers/Handlers.h"

namespace dvlservice {

namespace {
constexpr int kTrustedCredentialSeconds = 300;
}  // namespace

// ---------------------------------------------------------------- logon, logoff, credentials

static std::string trustedPassword(ServiceCore& core, const UserAccount& account) {
  auto expires =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() +
      kTrustedCredentialSeconds;
  std::string stamp = std::to_string(expires);
  return "trusted:" + stamp + ":" +
         hmacSha256Hex(core.trustSecret, account.nameSpace + "\n" + account.userName + "\n" + stamp);
}

static bool isTrustedPassword(ServiceCore& core, const UserAccount& account, const std::string& password) {
  if (!account.trusted || password.rfind("trusted:", 0) != 0) return false;
  size_t colon = password.find(':', 8);
  if (colon == std::string::npos) return false;
  std::string stamp = password.substr(8, colon - 8);
  long long expires = std::atoll(stamp.c_str());
  long long now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::string expected = hmacSha256Hex(core.trustSecret, account.nameSpace + "\n" + account.userName + "\n" + stamp);
  return expires > now && constantTimeEquals(password.substr(colon + 1), expected);
}

ZEBWireReply logon(ServiceCore& core, Call& call) {
  auto& request = static_cast<ZEBAuthenticationLogon_Request&>(call.request);
  const ZEBXmlEncodedXML* credentials = request.getCredentials();
  std::string text = credentials && credentials->getValue() ? credentials->getValue() : "";
  ZEBVorbHeader* header = request.getVorbHeader(nullptr);

  CredentialDocument document;
  try {
    document = parseCredentialDocument(text);
    if (document.hasEncryptedValue) {
      const char* clientId = header ? header->getClientID() : nullptr;
      if (clientId == nullptr || *clientId == '\0') {
        refuse("badCredential", "a sealed credential needs the client identifier in the request header");
      }
      std::string plain;
      try {
        plain = ZEBHelper::decryptCredential(document.encryptedValue.c_str(), clientId, core.privateKeyPem.c_str());
      } catch (const KRNThrowable&) {
        refuse("logonFailed",
               "the sealed credential does not open with this server's key and the request's client identifier");
      }
      document = parseCredentialDocument(plain);
      if (document.hasEncryptedValue) refuse("badCredential", "a sealed credential holds another sealed credential");
    }
  } catch (const std::invalid_argument& e) {
    refuse("badCredential", e.what());
  }
  if (!document.hasUserName || document.userName.empty()) refuse("badCredential", "the credential names no user");

  // logon guard: a lock-out refuses even the right password, with the same fault as a wrong one.
  // An account is one key however it is named (with or without its namespace).
  const UserAccount* account = core.users.find(document.nameSpace, document.userName);
  std::string who =
      account ? account->nameSpace + "/" + account->userName : document.nameSpace + "/" + document.userName;
  call.account = who;
  const char* const failed = "logon failed: unknown user or wrong password";
  const ServiceOptions& options = core.options;
  if (core.guard->check(who, call.wire.peerAddress) == LogonGuard::Decision::refuse) {
    if (options.onLogonFailure) options.onLogonFailure(false);
    refuse("logonFailed", failed);
  }
  // An unknown user costs a hash as well, so that timing does not tell which accounts exist.
  bool ok = (account && isTrustedPassword(core, *account, document.password)) ||
            core.users.checkPassword(account, document.password);
  if (!ok) {
    bool began = core.guard->recordFailure(who, call.wire.peerAddress);
    if (options.onLogonFailure) options.onLogonFailure(began);
    refuse("logonFailed", failed);
  }
  core.guard->recordSuccess(who, call.wire.peerAddress);

  // A client that logs on again ends its earlier logon.
  if (const char* old = ZEBHelper::getPassport(header)) core.sessions->close(old);
  {
    auto tx = core.store->write();
    ObjectRecord accounts = folder(tx, *tx.object(tx.rootId()), PathResolver::kAccountsFolder);
    folder(tx, folder(tx, accounts, account->nameSpace), account->userName);
    tx.commit();
  }
  std::string passport = core.sessions->open(*account);
  ZEBAuthenticationLogon_Reply reply;
  return answer(reply, passport);
}

ZEBWireReply logoff(ServiceCore& core, Call& call) {
  LogonSession session = requireSession(core, call.request, "logoff");
  core.sessions->close(session.passport);
  ZEBAuthenticationLogoff_Reply reply;
  return answer(reply, "");
}

ZEBWireReply retrieveCredential(ServiceCore& core, Call& call) {
  auto& request = static_cast<ZEBStandaloneAXMRetrieveCredential_Request&>(call.request);
  std::string nameSpace = request.getNamespace() ? request.getNamespace() : "";
  if (nameSpace.empty()) refuse("badCredential", "retrieveCredential needs a namespace");
  const UserAccount* account = core.users.findTrusted(nameSpace);
  if (account == nullptr) refuse("noCredential", "no credential is available for the namespace '" + nameSpace + "'");
  ZEBStandaloneAXMRetrieveCredential_Reply reply;
  reply.getCredential(&reply.getObjectRegistry())
      ->setValue(
          formatCredentialDocument(account->nameSpace, account->userName, trustedPassword(core, *account)).c_str());
  return answer(reply, "");
}

}  // namespace dvlservice
