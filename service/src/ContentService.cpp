#include "ContentService.h"

#include <libxml/parser.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "ContentStore.h"
#include "Credential.h"
#include "Crypto.h"
#include "KRNThrowable.h"
#include "LogonSessions.h"
#include "ObjectCodec.h"
#include "PathResolver.h"
#include "ServiceFault.h"
#include "UserDirectory.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"

namespace dvlservice {

namespace {

const std::vector<std::string> kQueryDefaults = {"objectClass", "defaultName", "searchPath", "storeID"};
const std::vector<std::string> kAddDefaults = {"defaultName", "searchPath", "storeID"};
const std::vector<std::string> kCacheProperties = {"objectClass", "defaultName", "searchPath", "storeID",
                                                   "modificationTime"};
constexpr const char* kEventsFolder = "Events";
constexpr int kTrustedCredentialSeconds = 300;
constexpr size_t kMaxNameBytes = 1024;
constexpr int kConflictAttempts = 8;

// Bytes that are no envelope: what a broken proxy or a crashed server might send.
const std::string kGarbage("\x1f\x8b\x08\x00 not a SOAP envelope \xff\xfe\x00<<<<", 32);

template <class T>
T* made(ZEBObjectRegistryI& registry) {
  T* object = new T;
  registry.registerObject(object);
  return object;
}

std::vector<std::string> propertyNames(const ZEBPropEnumArray* properties, const std::vector<std::string>& defaults) {
  std::vector<std::string> names;
  if (properties) {
    for (size_t i = 0; i < properties->size(); ++i) {
      const ZEBPropEnum* p = properties->at(i);
      const char* name = p ? p->getName() : nullptr;
      if (name && std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
    }
  }
  return names.empty() ? defaults : names;
}

std::string checkedName(const std::string& name) {
  if (name.size() > kMaxNameBytes) refuse("badObject", "a name is longer than 1024 bytes");
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) refuse("badObject", "the name '" + name + "' holds a control character");
  }
  return name;
}

// The capability an account needs for objects to pass a query's permission filter.
const char* capabilityFor(const std::string& permission) {
  if (permission == "read" || permission == "traverse" || permission == "execute") return "canReadContent";
  if (permission == "write") return "canWriteContent";
  if (permission == "setPolicy") return "canAdministerStore";
  refuse("badOption", "'" + permission + "' is not a permission (read, write, execute, traverse or setPolicy)");
}

std::string qualifiedFaultCode(const std::string& code) {
  return code.find(':') == std::string::npos ? "soapenv:" + code : code;
}

}  // namespace

// ---------------------------------------------------------------- injected failures

InjectedFailure InjectedFailure::parse(const std::string& text) {
  InjectedFailure f;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(start, end - start);
    start = end + 1;
    while (!part.empty() && part.front() == ' ') part.erase(0, 1);
    while (!part.empty() && part.back() == ' ') part.pop_back();
    if (part.empty()) continue;
    size_t eq = part.find('=');
    std::string key = part.substr(0, eq), value = eq == std::string::npos ? "" : part.substr(eq + 1);
    auto number = [&]() {
      char* e = nullptr;
      long n = std::strtol(value.c_str(), &e, 10);
      if (value.empty() || *e != '\0' || n < -1 || n > 3600000) {
        throw std::invalid_argument("'" + part + "': " + key + " takes a whole number");
      }
      return static_cast<int>(n);
    };
    if (key == "operation") {
      f.operation = value;
    } else if (key == "delay") {
      f.delayMs = number();
    } else if (key == "count") {
      f.count = number();
    } else if (key == "fault") {
      size_t colon = value.find(':');
      if (colon == std::string::npos || colon == 0) {
        throw std::invalid_argument("'" + part + "': fault takes CODE:TEXT, for example Server:disk full");
      }
      f.faultCode = value.substr(0, colon);
      f.faultString = value.substr(colon + 1);
    } else if (key == "drop" && eq == std::string::npos) {
      f.dropConnection = true;
    } else if (key == "garbage" && eq == std::string::npos) {
      f.garbage = true;
    } else {
      throw std::invalid_argument("'" + part + "' is not one of operation=, delay=, fault=, count=, drop, garbage");
    }
  }
  return f;
}

// ---------------------------------------------------------------- the service

class ContentService::Impl {
 public:
  explicit Impl(ServiceOptions options);

  ZEBWireReply handle(const ZEBWireRequest& wire, const InjectedFailure* extra, bool& drop);

  ServiceOptions m_options;
  std::unique_ptr<ContentStore> m_store;
  UserDirectory m_users;
  std::unique_ptr<LogonSessions> m_sessions;
  std::string m_privateKeyPem, m_publicKeyPem;
  std::string m_trustSecret;
  std::mutex m_failureLock;
  std::vector<InjectedFailure> m_failures;

  std::string cacheValidator(ContentStore::Transaction& tx) {
    return tx.instance() + "-" + std::to_string(tx.generation());
  }

 private:
  // One request being answered.
  struct Call {
    const ZEBWireRequest& wire;
    ZEBMessageI& request;
    LogonSession session;
  };
  using Operation = ZEBWireReply (Impl::*)(Call&);

  ZEBWireReply dispatch(const ZEBWireRequest& wire, ZEBMessageI& request);
  template <class F>
  auto withRetries(F&& f) -> decltype(f());
  bool takeFailure(const std::string& operation, const InjectedFailure* extra, InjectedFailure& taken);
  ZEBWireReply fault(ServiceFault::Side side, const std::string& reason, const std::string& message);
  ZEBWireReply answer(const ZEBMessageI& reply, const std::string& passport,
                      std::vector<ZEBReceivedAttachment> attachments = {});
  LogonSession requireSession(ZEBMessageI& request, const char* operation);
  void requireCapability(const LogonSession& session, const char* capability, const char* operation);
  void seed();
  ObjectRecord folder(ContentStore::Transaction& tx, const ObjectRecord& parent, const std::string& name);
  ObjectRecord contentFolder(ContentStore::Transaction& tx);
  ObjectRecord storeObject(ContentStore::Transaction& tx, PathResolver& resolver, const ObjectRecord& parent,
                           NewObject object, ZEBUpdateActionEnum::Enum action);
  std::string trustedPassword(const UserAccount& account);
  bool isTrustedPassword(const UserAccount& account, const std::string& password);

  struct QuerySpec {
    std::string path;
    std::vector<std::string> properties;
    std::vector<std::pair<std::string, bool>> sortBy;  // property, descending
    const ZEBQueryOptions* options = nullptr;
  };
  QuerySpec querySpec(const char* path, const ZEBPropEnumArray* properties, const ZEBSortArray* sortBy,
                      const ZEBQueryOptions* options);
  void runQuery(ContentStore::Transaction& tx, PathResolver& resolver, const LogonSession& session,
                const QuerySpec& spec, ZEBBaseClassArray& out, ZEBObjectRegistryI& registry,
                std::vector<ZEBReceivedAttachment>& attachments);
  EncodeSettings encodeSettings(const ZEBQueryOptions* options);

  ZEBWireReply logon(Call& call);
  ZEBWireReply logoff(Call& call);
  ZEBWireReply retrieveCredential(Call& call);
  ZEBWireReply query(Call& call);
  ZEBWireReply queryMultiple(Call& call);
  void runQueries(Call& call, ContentStore::Transaction& tx, const ZEBQueryRequestArray* requests,
                  ZEBObjectRegistryI& registry, ZEBQueryReplyArray& results,
                  std::vector<ZEBReceivedAttachment>& attachments);
  ZEBWireReply queryMultipleCache(Call& call);
  ZEBWireReply queryCache(Call& call);
  ZEBWireReply determineRouting(Call& call);
  ZEBWireReply add(Call& call);
  ZEBWireReply monitorAdd(Call& call);
  ZEBWireReply remove(Call& call);
};

ContentService::Impl::Impl(ServiceOptions options)
    : m_options(std::move(options)) {
  // Requests are parsed on many threads at once; libxml2 must be set up before the first of them.
  xmlInitParser();
  m_store = std::make_unique<ContentStore>(m_options.storePath);
  m_users = m_options.usersFile.empty() ? UserDirectory::demo() : UserDirectory::load(m_options.usersFile);
  m_sessions =
      std::make_unique<LogonSessions>(*m_store, m_users, m_options.passportIdleLifetime, m_options.clock);
  // Every server on a store seals and signs with the same keys, kept in the store unless the
  // key was given: a client must not notice which server it reached.
  {
    auto tx = m_store->write();
    m_privateKeyPem = m_options.credentialKeyPem.empty()
                          ? tx.initSetting("credentialKey", ZEBHelper::generateCredentialKeyPair().first)
                          : m_options.credentialKeyPem;
    m_trustSecret = tx.initSetting("trustSecret", randomHex(32));
    tx.commit();
  }
  m_publicKeyPem = x25519PublicKeyPem(m_privateKeyPem);
  withRetries([&] { seed(); });
}

// A store shared by several servers refuses the loser of a race (a name taken meanwhile); the whole
// operation runs again and then sees the winner's change, as it would have on one server.
template <class F>
auto ContentService::Impl::withRetries(F&& f) -> decltype(f()) {
  for (int attempt = 1;; ++attempt) {
    try {
      return f();
    } catch (const StoreConflict&) {
      if (attempt >= kConflictAttempts) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(attempt * attempt));
    }
  }
}

ObjectRecord ContentService::Impl::folder(ContentStore::Transaction& tx, const ObjectRecord& parent,
                                          const std::string& name) {
  if (auto existing = tx.child(parent.id, name)) return *existing;
  NewObject f;
  f.objectClass = "folder";
  f.name = name;
  return tx.insert(parent.id, f);
}

ObjectRecord ContentService::Impl::contentFolder(ContentStore::Transaction& tx) {
  auto content = tx.child(tx.rootId(), PathResolver::kContentFolder);
  if (!content) throw StoreError("the store has no /content folder");
  return *content;
}

// /content and /accounts always exist; a new demo store also gets a few objects to look at.
void ContentService::Impl::seed() {
  auto tx = m_store->write();
  ObjectRecord root = *tx.object(tx.rootId());
  bool fresh = !tx.child(root.id, PathResolver::kContentFolder);
  ObjectRecord content = folder(tx, root, PathResolver::kContentFolder);
  folder(tx, root, PathResolver::kAccountsFolder);
  if (fresh && m_options.seedDemoContent) {
    ObjectRecord samples = folder(tx, content, "Samples");
    folder(tx, content, "Archive");
    NewObject report;
    report.objectClass = "report";
    report.name = "Quarterly sales";
    report.properties["defaultDescription"] = {PropertyItem{"", {"Sales by region and quarter"}}};
    report.properties["specification"] = {PropertyItem{"", {"<report><query>sales by region</query></report>"}}};
    tx.insert(samples.id, report);
  }
  tx.commit();
}

// ---------------------------------------------------------------- one request

ZEBWireReply ContentService::Impl::handle(const ZEBWireRequest& wire, const InjectedFailure* extra, bool& drop) {
  drop = false;
  std::unique_ptr<ZEBMessageI> request;
  std::string operation;
  ZEBWireReply reply;
  bool parsed = false;
  try {
    ZEBSoapLimits limits;
    limits.maxBytes = m_options.maxEnvelopeBytes;
    limits.maxTextBytes = m_options.maxEnvelopeBytes;
    request = ZEBSoap::readRequest(wire.envelope.data(), wire.envelope.size(), limits);
    operation = request->getTypeInfo().operation;
    std::string action = wire.soapAction;
    if (action.size() >= 2 && action.front() == '"' && action.back() == '"')
      action = action.substr(1, action.size() - 2);
    if (!action.empty() && action != ZEB_SCHEMA_NAMESPACE + operation && action != operation) {
      refuse("soapActionMismatch",
             "the SOAPAction '" + action + "' does not name the operation of the body, " + operation);
    }
    if (wire.operation && *wire.operation && operation != wire.operation) {
      refuse("soapActionMismatch",
             std::string("the request was sent as ") + wire.operation + " but the body holds " + operation);
    }
    parsed = true;
  } catch (const ZEBMalformedMessage& e) {
    reply = fault(ServiceFault::Side::Client, "malformedRequest", e.getMessage());
  } catch (const ServiceFault& e) {
    reply = fault(e.getSide(), e.getReason(), e.what());
  } catch (const KRNThrowable& e) {
    reply = fault(ServiceFault::Side::Client, "malformedRequest", e.getMessage());
  } catch (const std::bad_alloc&) {
    reply = fault(ServiceFault::Side::Server, "outOfMemory", "the server ran out of memory reading the request");
  }

  InjectedFailure failure;
  bool injected = takeFailure(operation, extra, failure);
  if (injected && failure.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(failure.delayMs));
  if (injected && !failure.faultCode.empty()) {
    reply = ZEBWireReply();
    reply.httpStatus = 500;
    reply.envelope = ZEBSoap::writeFault(qualifiedFaultCode(failure.faultCode), failure.faultString, "injected");
    return reply;
  }
  if (parsed) reply = dispatch(wire, *request);
  if (injected && failure.garbage) {
    reply.envelope = kGarbage;
    reply.attachments.clear();
  }
  if (injected && failure.dropConnection) drop = true;
  return reply;
}

bool ContentService::Impl::takeFailure(const std::string& operation, const InjectedFailure* extra,
                                       InjectedFailure& taken) {
  auto applies = [&](const InjectedFailure& f) { return f.operation.empty() || f.operation == operation; };
  if (extra && applies(*extra)) {
    taken = *extra;
    return true;
  }
  std::lock_guard<std::mutex> lock(m_failureLock);
  for (auto it = m_failures.begin(); it != m_failures.end(); ++it) {
    if (!applies(*it) || it->count == 0) continue;
    taken = *it;
    if (it->count > 0 && --it->count == 0) m_failures.erase(it);
    return true;
  }
  return false;
}

ZEBWireReply ContentService::Impl::dispatch(const ZEBWireRequest& wire, ZEBMessageI& request) {
  static const std::map<std::string, Operation> operations = {
      {"logon", &Impl::logon},
      {"logoff", &Impl::logoff},
      {"retrieveCredential", &Impl::retrieveCredential},
      {"query", &Impl::query},
      {"queryMultiple", &Impl::queryMultiple},
      {"queryMultipleCache", &Impl::queryMultipleCache},
      {"queryCache", &Impl::queryCache},
      {"determineRouting", &Impl::determineRouting},
      {"add", &Impl::add},
      {"monitorAdd", &Impl::monitorAdd},
      {"delete", &Impl::remove},
  };
  const char* operation = request.getTypeInfo().operation;
  try {
    auto it = operations.find(operation);
    if (it == operations.end())
      refuse("unknownOperation", std::string("the operation ") + operation + " is not served");
    return withRetries([&] {
      Call call{wire, request, {}};
      return (this->*(it->second))(call);
    });
  } catch (const ServiceFault& e) {
    return fault(e.getSide(), e.getReason(), e.what());
  } catch (const StoreError& e) {
    return fault(ServiceFault::Side::Server, "storeFailure", std::string(operation) + ": " + e.what());
  } catch (const KRNThrowable& e) {
    return fault(ServiceFault::Side::Server, "internalError", std::string(operation) + ": " + e.getMessage());
  } catch (const std::bad_alloc&) {
    return fault(ServiceFault::Side::Server, "outOfMemory", std::string(operation) + ": the server ran out of memory");
  } catch (const std::exception& e) {
    return fault(ServiceFault::Side::Server, "internalError", std::string(operation) + ": " + e.what());
  }
}

ZEBWireReply ContentService::Impl::fault(ServiceFault::Side side, const std::string& reason,
                                         const std::string& message) {
  bool server = side == ServiceFault::Side::Server;
  if (server && m_options.log) m_options.log("server fault (" + reason + "): " + message);
  ZEBWireReply reply;
  reply.httpStatus = 500;
  reply.envelope = ZEBSoap::writeFault(server ? "soapenv:Server" : "soapenv:Client", message, reason);
  return reply;
}

ZEBWireReply ContentService::Impl::answer(const ZEBMessageI& reply, const std::string& passport,
                                          std::vector<ZEBReceivedAttachment> attachments) {
  ZEBWireReply out;
  if (passport.empty()) {
    out.envelope = ZEBSoap::writeEnvelope(reply, nullptr);
  } else {
    ZEBVorbHeader header;
    header.setPassport(passport.c_str());
    out.envelope = ZEBSoap::writeEnvelope(reply, &header);
  }
  out.attachments = std::move(attachments);
  return out;
}

LogonSession ContentService::Impl::requireSession(ZEBMessageI& request, const char* operation) {
  ZEBVorbHeader* header = request.getVorbHeader(nullptr);
  const char* passport = ZEBHelper::getPassport(header);
  if (passport == nullptr || *passport == '\0') {
    refuse("notLoggedOn", std::string(operation) + " needs a passport: log on first");
  }
  auto session = m_sessions->use(passport);
  if (!session) {
    refuse("invalidPassport", "the passport is not valid: it has expired, ended with a logoff, or was never issued");
  }
  return *session;
}

void ContentService::Impl::requireCapability(const LogonSession& session, const char* capability,
                                             const char* operation) {
  if (!session.account.hasCapability(capability)) {
    refuse("notAllowed", std::string(operation) + " needs the capability " + capability + ", which " +
                             session.account.nameSpace + "/" + session.account.userName + " lacks");
  }
}

// ---------------------------------------------------------------- logon, logoff, credentials

std::string ContentService::Impl::trustedPassword(const UserAccount& account) {
  auto expires =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() +
      kTrustedCredentialSeconds;
  std::string stamp = std::to_string(expires);
  return "trusted:" + stamp + ":" +
         hmacSha256Hex(m_trustSecret, account.nameSpace + "\n" + account.userName + "\n" + stamp);
}

bool ContentService::Impl::isTrustedPassword(const UserAccount& account, const std::string& password) {
  if (!account.trusted || password.rfind("trusted:", 0) != 0) return false;
  size_t colon = password.find(':', 8);
  if (colon == std::string::npos) return false;
  std::string stamp = password.substr(8, colon - 8);
  long long expires = std::atoll(stamp.c_str());
  long long now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::string expected = hmacSha256Hex(m_trustSecret, account.nameSpace + "\n" + account.userName + "\n" + stamp);
  return expires > now && constantTimeEquals(password.substr(colon + 1), expected);
}

ZEBWireReply ContentService::Impl::logon(Call& call) {
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
        plain = ZEBHelper::decryptCredential(document.encryptedValue.c_str(), clientId, m_privateKeyPem.c_str());
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

  const UserAccount* account = m_users.find(document.nameSpace, document.userName);
  bool ok = account && (isTrustedPassword(*account, document.password) ||
                        UserDirectory::verifyPassword(document.password, account->passwordHash));
  if (!ok) refuse("logonFailed", "logon failed: unknown user or wrong password");

  // A client that logs on again ends its earlier logon.
  if (const char* old = ZEBHelper::getPassport(header)) m_sessions->close(old);
  {
    auto tx = m_store->write();
    ObjectRecord accounts = folder(tx, *tx.object(tx.rootId()), PathResolver::kAccountsFolder);
    folder(tx, folder(tx, accounts, account->nameSpace), account->userName);
    tx.commit();
  }
  std::string passport = m_sessions->open(*account);
  ZEBAuthenticationLogon_Reply reply;
  return answer(reply, passport);
}

ZEBWireReply ContentService::Impl::logoff(Call& call) {
  LogonSession session = requireSession(call.request, "logoff");
  m_sessions->close(session.passport);
  ZEBAuthenticationLogoff_Reply reply;
  return answer(reply, "");
}

ZEBWireReply ContentService::Impl::retrieveCredential(Call& call) {
  auto& request = static_cast<ZEBStandaloneAXMRetrieveCredential_Request&>(call.request);
  std::string nameSpace = request.getNamespace() ? request.getNamespace() : "";
  if (nameSpace.empty()) refuse("badCredential", "retrieveCredential needs a namespace");
  const UserAccount* account = m_users.findTrusted(nameSpace);
  if (account == nullptr) refuse("noCredential", "no credential is available for the namespace '" + nameSpace + "'");
  ZEBStandaloneAXMRetrieveCredential_Reply reply;
  reply.getCredential(&reply.getObjectRegistry())
      ->setValue(formatCredentialDocument(account->nameSpace, account->userName, trustedPassword(*account)).c_str());
  return answer(reply, "");
}

// ---------------------------------------------------------------- queries

ContentService::Impl::QuerySpec ContentService::Impl::querySpec(const char* path, const ZEBPropEnumArray* properties,
                                                                const ZEBSortArray* sortBy,
                                                                const ZEBQueryOptions* options) {
  QuerySpec spec;
  if (path == nullptr || *path == '\0') refuse("badSearchPath", "the query names no search path");
  spec.path = path;
  spec.properties = propertyNames(properties, kQueryDefaults);
  if (sortBy) {
    for (size_t i = 0; i < sortBy->size(); ++i) {
      const ZEBSort* s = sortBy->at(i);
      const ZEBPropEnum* p = s ? s->getPropName() : nullptr;
      if (p == nullptr || p->getName() == nullptr) continue;
      bool descending =
          s->getOrder() && s->getOrder()->isSet() && s->getOrder()->getValue() == ZEBOrderEnum::descending;
      spec.sortBy.emplace_back(p->getName(), descending);
    }
  }
  spec.options = options;
  return spec;
}

EncodeSettings ContentService::Impl::encodeSettings(const ZEBQueryOptions* options) {
  EncodeSettings settings;
  settings.maxInlineBytes = m_options.maxInlineDocumentBytes;
  if (options == nullptr) return settings;
  settings.encoding = encodingOf(options->getDataEncoding());
  if (const int* n = options->getMaxDataBytes()) settings.maxDataBytes = *n;
  if (const int* n = options->getSkipDataBytes()) settings.skipDataBytes = *n;
  const ZEBRefPropArray& refs = options->getRefProps();
  for (size_t i = 0; i < refs.size(); ++i) {
    const ZEBRefProp* r = refs.at(i);
    const ZEBPropEnum* name = r ? r->getRefPropName() : nullptr;
    if (name && name->getName()) {
      settings.refProperties[name->getName()] =
          propertyNames(&r->getProperties(), ReplyEncoder::defaultReferenceProperties());
    }
  }
  return settings;
}

void ContentService::Impl::runQuery(ContentStore::Transaction& tx, PathResolver& resolver, const LogonSession& session,
                                    const QuerySpec& spec, ZEBBaseClassArray& out, ZEBObjectRegistryI& registry,
                                    std::vector<ZEBReceivedAttachment>& attachments) {
  Selection selection = resolver.select(spec.path);
  ReplyEncoder encoder(tx, resolver, registry, encodeSettings(spec.options), attachments);
  if (selection.session) {
    out.push_back(encoder.encodeSession(session, spec.properties));
    return;
  }
  std::vector<ObjectRecord>& objects = selection.objects;
  const char* permission = spec.options ? spec.options->getPermission() : nullptr;
  if (permission && *permission && !session.account.hasCapability(capabilityFor(permission))) objects.clear();

  if (!spec.sortBy.empty()) {
    std::vector<std::pair<std::vector<ReplyEncoder::SortValue>, size_t>> keyed;
    for (size_t i = 0; i < objects.size(); ++i) {
      std::vector<ReplyEncoder::SortValue> key;
      for (const auto& [property, descending] : spec.sortBy) key.push_back(encoder.sortValue(objects[i], property));
      keyed.emplace_back(std::move(key), i);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
      for (size_t k = 0; k < spec.sortBy.size(); ++k) {
        bool descending = spec.sortBy[k].second;
        if (a.first[k] < b.first[k]) return !descending;
        if (b.first[k] < a.first[k]) return descending;
      }
      return false;
    });
    std::vector<ObjectRecord> sorted;
    for (auto& k : keyed) sorted.push_back(std::move(objects[k.second]));
    objects = std::move(sorted);
  }

  size_t skip = 0, max = objects.size();
  if (spec.options) {
    if (const int* n = spec.options->getSkipObjects(); n && *n > 0) skip = static_cast<size_t>(*n);
    if (const int* n = spec.options->getMaxObjects(); n && *n > 0) max = static_cast<size_t>(*n);
  }
  for (size_t i = skip; i < objects.size() && i - skip < max; ++i) {
    out.push_back(encoder.encode(objects[i], spec.properties));
  }
}

ZEBWireReply ContentService::Impl::query(Call& call) {
  call.session = requireSession(call.request, "query");
  auto& request = static_cast<ZEBContentQuery_Request&>(call.request);
  const ZEBSearchPathMultipleObject* path = request.getSearchPath();
  QuerySpec spec =
      querySpec(path ? path->getValue() : nullptr, request.getProperties(), request.getSortBy(), request.getOptions());
  ZEBContentQuery_Reply reply;
  std::vector<ZEBReceivedAttachment> attachments;
  auto tx = m_store->read();
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  runQuery(tx, resolver, call.session, spec, *reply.getResult(&reply.getObjectRegistry()), reply.getObjectRegistry(),
           attachments);
  return answer(reply, call.session.passport, std::move(attachments));
}

// The elements of a multiple query, each answered in order into one reply element of results.
void ContentService::Impl::runQueries(Call& call, ContentStore::Transaction& tx, const ZEBQueryRequestArray* requests,
                                      ZEBObjectRegistryI& registry, ZEBQueryReplyArray& results,
                                      std::vector<ZEBReceivedAttachment>& attachments) {
  if (requests == nullptr) return;
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  for (size_t i = 0; i < requests->size(); ++i) {
    const ZEBQueryRequest* q = requests->at(i);
    if (q == nullptr) refuse("badSearchPath", "query " + std::to_string(i + 1) + " of the multiple query is empty");
    QuerySpec spec = querySpec(q->getSearch(), &q->getProperties(), &q->getSortBy(), q->getOptions());
    auto* element = made<ZEBQueryReply>(registry);
    runQuery(tx, resolver, call.session, spec, element->getQueryResult(), registry, attachments);
    results.push_back(element);
  }
}

ZEBWireReply ContentService::Impl::queryMultiple(Call& call) {
  call.session = requireSession(call.request, "queryMultiple");
  auto& request = static_cast<ZEBContentQueryMultiple_Request&>(call.request);
  ZEBContentQueryMultiple_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  ZEBQueryReplyArray& results = *reply.getResult(&registry);
  std::vector<ZEBReceivedAttachment> attachments;
  auto tx = m_store->read();
  runQueries(call, tx, request.getRequests(), registry, results, attachments);
  return answer(reply, call.session.passport, std::move(attachments));
}

ZEBWireReply ContentService::Impl::queryMultipleCache(Call& call) {
  call.session = requireSession(call.request, "queryMultipleCache");
  auto& request = static_cast<ZEBContentQueryMultipleCache_Request&>(call.request);
  ZEBContentQueryMultipleCache_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  ZEBQueryMultipleResult& result = *reply.getResult(&registry);
  std::vector<ZEBReceivedAttachment> attachments;
  auto tx = m_store->read();
  runQueries(call, tx, request.getRequests(), registry, result.getReplies(), attachments);
  result.setCacheValidator(cacheValidator(tx).c_str());
  return answer(reply, call.session.passport, std::move(attachments));
}

ZEBWireReply ContentService::Impl::queryCache(Call& call) {
  call.session = requireSession(call.request, "queryCache");
  requireCapability(call.session, "canReadContent", "queryCache");
  auto& request = static_cast<ZEBContentCacheQueryCache_Request&>(call.request);
  const ZEBSearchPathSingleObject* path = request.getObjectPath();
  if (path == nullptr || path->getValue() == nullptr) refuse("badSearchPath", "queryCache names no objectPath");

  ZEBContentCacheQueryCache_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  ZEBQueryCacheResult& result = *reply.getResult(&registry);
  std::vector<ZEBReceivedAttachment> attachments;
  auto tx = m_store->read();
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  ObjectRecord object = resolver.selectOne(path->getValue(), "objectPath");
  const ZEBClassEnum* searchType = request.getSearchType();
  if (searchType && searchType->getName() && object.objectClass != searchType->getName()) {
    refuse("wrongClass",
           std::string("objectPath selects a ") + object.objectClass + ", not a " + searchType->getName());
  }
  std::set<std::string> entries;
  if (const ZEBClassEnumArray* wanted = request.getEntries()) {
    for (size_t i = 0; i < wanted->size(); ++i) {
      if (const ZEBClassEnum* e = wanted->at(i); e && e->getName()) entries.insert(e->getName());
    }
  }
  std::vector<ObjectRecord> candidates{object};
  for (ObjectRecord& below : tx.descendants(object.id)) candidates.push_back(std::move(below));
  EncodeSettings settings;
  settings.maxInlineBytes = m_options.maxInlineDocumentBytes;
  ReplyEncoder encoder(tx, resolver, registry, settings, attachments);
  size_t count = 0;
  for (const ObjectRecord& o : candidates) {
    if (!entries.empty() && entries.count(o.objectClass) == 0) continue;
    result.getObjects().push_back(encoder.encode(o, kCacheProperties));
    ++count;
  }
  auto option = [&](const char* name, const std::string& value) {
    auto* o = made<ZEBOption>(registry);
    o->setName(name);
    o->setValue(value.c_str());
    result.getOptions().push_back(o);
  };
  if (const ZEBOptionArray* given = request.getOptions()) {
    for (size_t i = 0; i < given->size(); ++i) {
      if (const ZEBOption* o = given->at(i))
        option(o->getName() ? o->getName() : "", o->getValue() ? o->getValue() : "");
    }
  }
  option("cacheValidator", cacheValidator(tx));
  option("objectCount", std::to_string(count));
  return answer(reply, call.session.passport, std::move(attachments));
}

// Each object routes to the folder directly below /content that holds it; anything else, and an
// empty request, routes to "default". The answer lists the distinct routes in request order.
ZEBWireReply ContentService::Impl::determineRouting(Call& call) {
  call.session = requireSession(call.request, "determineRouting");
  auto& request = static_cast<ZEBContentDetermineRouting_Request&>(call.request);
  auto tx = m_store->read();
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  std::vector<std::string> routes;
  if (const ZEBSearchPathSingleObjectArray* paths = request.getObjectPaths()) {
    for (size_t i = 0; i < paths->size(); ++i) {
      const ZEBSearchPathSingleObject* p = paths->at(i);
      if (p == nullptr || p->getValue() == nullptr)
        refuse("badSearchPath", "an object path of determineRouting is empty");
      ObjectRecord object = resolver.selectOne(p->getValue(), "objectPath");
      std::vector<ObjectRecord> chain = tx.ancestors(object.id);
      chain.push_back(object);
      std::string route = "default";
      if (chain.size() >= 3 && chain[1].name == PathResolver::kContentFolder) route = chain[2].name;
      if (std::find(routes.begin(), routes.end(), route) == routes.end()) routes.push_back(route);
    }
  }
  std::string result;
  for (const std::string& r : routes) result += (result.empty() ? "" : ";") + r;
  ZEBContentDetermineRouting_Reply reply;
  reply.setResult(result.empty() ? "default" : result.c_str());
  return answer(reply, call.session.passport);
}

// ---------------------------------------------------------------- adds and deletes

ObjectRecord ContentService::Impl::storeObject(ContentStore::Transaction& tx, PathResolver& resolver,
                                               const ObjectRecord& parent, NewObject object,
                                               ZEBUpdateActionEnum::Enum action) {
  if (object.name.empty()) object.name = object.objectClass + "-" + randomHex(6);
  checkedName(object.name);
  if (auto existing = tx.child(parent.id, object.name)) {
    std::string where = "'" + object.name + "' in " + resolver.canonicalPath(parent);
    if (action == ZEBUpdateActionEnum::fail) refuse("nameExists", "an object named " + where + " already exists");
    if (existing->objectClass != object.objectClass) {
      refuse("nameExists", "the object named " + where + " is a " + existing->objectClass + "; an " +
                               (action == ZEBUpdateActionEnum::replace ? "replace" : "update") + " cannot make it a " +
                               object.objectClass);
    }
    tx.update(existing->id, object, action == ZEBUpdateActionEnum::replace);
    return *tx.object(existing->id);
  }
  return tx.insert(parent.id, object);
}

ZEBWireReply ContentService::Impl::add(Call& call) {
  call.session = requireSession(call.request, "add");
  requireCapability(call.session, "canWriteContent", "add");
  auto& request = static_cast<ZEBContentAdd_Request&>(call.request);
  const ZEBAddOptions* options = request.getOptions();
  ZEBUpdateActionEnum::Enum action = ZEBUpdateActionEnum::fail;
  if (options && options->getUpdateAction() && options->getUpdateAction()->isSet()) {
    action = options->getUpdateAction()->getValue();
  }
  std::vector<std::string> returned = propertyNames(options ? &options->getReturnProperties() : nullptr, kAddDefaults);
  DocumentEncoding encoding = encodingOf(options ? options->getDataEncoding() : nullptr);

  const ZEBBaseClassArray* objects = request.getObjects();
  if (objects == nullptr || objects->empty()) refuse("badObject", "the add carries no object");
  // Documents are copied in before the store is held, so that a large one does not stop others.
  AddDecoder decoder(*m_store, call.wire.attachments, encoding, m_options.maxDocumentBytes);
  std::vector<AddDecoder::Decoded> decoded;
  for (size_t i = 0; i < objects->size(); ++i) {
    if (objects->at(i) == nullptr) refuse("badObject", "object " + std::to_string(i + 1) + " of the add is empty");
    decoded.push_back(decoder.decode(*objects->at(i)));
  }

  ZEBContentAdd_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  std::vector<ZEBReceivedAttachment> attachments;
  auto tx = m_store->write();
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  const ZEBSearchPathSingleObject* parentPath = request.getParentPath();
  ObjectRecord parent = parentPath && parentPath->getValue() ? resolver.selectOne(parentPath->getValue(), "parentPath")
                                                             : contentFolder(tx);
  std::vector<ObjectRecord> added;
  for (AddDecoder::Decoded& d : decoded) {
    ObjectRecord where =
        d.ownPath.empty() ? parent : resolver.selectOne(d.ownPath, "the searchPath of an added object");
    added.push_back(storeObject(tx, resolver, where, std::move(d.object), action));
  }
  EncodeSettings settings;
  settings.encoding = encoding;
  settings.maxInlineBytes = m_options.maxInlineDocumentBytes;
  ReplyEncoder encoder(tx, resolver, registry, settings, attachments);
  ZEBBaseClassArray& result = *reply.getResult(&registry);
  for (const ObjectRecord& o : added) result.push_back(encoder.encode(o, returned));
  tx.commit();
  return answer(reply, call.session.passport, std::move(attachments));
}

// The monitor files the objects under /content/Events/<eventID>, made on first use, and answers
// complete at once.
ZEBWireReply ContentService::Impl::monitorAdd(Call& call) {
  call.session = requireSession(call.request, "monitorAdd");
  requireCapability(call.session, "canUseMonitor", "monitorAdd");
  auto& request = static_cast<ZEBMonitorAdd_Request&>(call.request);
  std::string eventId = request.getEventID() ? request.getEventID() : "";
  if (eventId.empty()) refuse("badObject", "monitorAdd needs an eventID");
  checkedName(eventId);
  const ZEBBaseClassArray* objects = request.getObjects();
  if (objects == nullptr || objects->empty()) refuse("badObject", "the monitorAdd carries no object");
  AddDecoder decoder(*m_store, call.wire.attachments, DocumentEncoding::Base64, m_options.maxDocumentBytes);
  std::vector<AddDecoder::Decoded> decoded;
  for (size_t i = 0; i < objects->size(); ++i) {
    if (objects->at(i) == nullptr) refuse("badObject", "object " + std::to_string(i + 1) + " of the add is empty");
    decoded.push_back(decoder.decode(*objects->at(i)));
  }
  {
    auto tx = m_store->write();
    PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
    ObjectRecord event = folder(tx, folder(tx, contentFolder(tx), kEventsFolder), eventId);
    for (AddDecoder::Decoded& d : decoded)
      storeObject(tx, resolver, event, std::move(d.object), ZEBUpdateActionEnum::fail);
    tx.commit();
  }
  ZEBMonitorAdd_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  auto* status = made<ZEBAsynchReplyStatusEnum>(registry);
  status->setValue(ZEBAsynchReplyStatusEnum::complete);
  reply.getResult(&registry)->setStatus(status);
  return answer(reply, call.session.passport);
}

ZEBWireReply ContentService::Impl::remove(Call& call) {
  call.session = requireSession(call.request, "delete");
  requireCapability(call.session, "canWriteContent", "delete");
  auto& request = static_cast<ZEBContentDelete_Request&>(call.request);
  const ZEBDeleteOptions* options = request.getOptions();
  auto flag = [](const bool* b) { return b != nullptr && *b; };
  bool force = options && flag(options->getForce());
  bool recursive = options && flag(options->getRecursive());
  bool faultIfReferenced = options && flag(options->getFaultIfObjectReferenced());
  const ZEBBaseClassArray* objects = request.getObjects();
  if (objects == nullptr || objects->empty()) refuse("badObject", "the delete names no object");

  auto tx = m_store->write();
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  int64_t root = tx.rootId();
  std::vector<ObjectRecord> targets;
  std::set<int64_t> chosen;
  for (size_t i = 0; i < objects->size(); ++i) {
    const ZEBBaseClass* o = objects->at(i);
    std::string path;
    if (o && o->getSearchPath() && o->getSearchPath()->getValue()) {
      path = o->getSearchPath()->getValue();
    } else if (o && o->getStoreID() && o->getStoreID()->getValue() && o->getStoreID()->getValue()->getValue()) {
      path = storeIdPath(o->getStoreID()->getValue()->getValue());
    } else {
      refuse("badObject",
             "object " + std::to_string(i + 1) + " of the delete carries neither a searchPath nor a storeID");
    }
    Selection selection = resolver.select(path);
    if (selection.session) refuse("badObject", "the session (~~) cannot be deleted");
    if (selection.objects.empty() && !force) refuse("notFound", "'" + path + "' selects no object to delete");
    for (ObjectRecord& target : selection.objects) {
      bool structural = target.id == root || (target.parent == root && (target.name == PathResolver::kContentFolder ||
                                                                        target.name == PathResolver::kAccountsFolder));
      if (structural)
        refuse("protectedObject", resolver.canonicalPath(target) + " belongs to the store and cannot be deleted");
      if (chosen.insert(target.id).second) targets.push_back(std::move(target));
    }
  }

  std::set<int64_t> doomed;
  for (const ObjectRecord& target : targets) {
    doomed.insert(target.id);
    std::vector<ObjectRecord> below = tx.descendants(target.id);
    if (!below.empty() && !recursive) {
      refuse("hasChildren", resolver.canonicalPath(target) + " holds objects; delete it with the recursive option");
    }
    for (const ObjectRecord& b : below) doomed.insert(b.id);
  }
  if (faultIfReferenced) {
    for (const std::string& property : referenceProperties()) {
      for (const auto& [holder, item] : tx.propertyItems(property)) {
        if (doomed.count(holder) || item.values.empty()) continue;
        auto target = resolver.trySelectOne(item.values.front());
        if (target && doomed.count(target->id)) {
          auto referrer = tx.object(holder);
          refuse("objectReferenced",
                 resolver.canonicalPath(*target) + " is referred to by the " + property + " of " +
                     (referrer ? resolver.canonicalPath(*referrer) : std::string("another object")));
        }
      }
    }
  }
  size_t count = 0;
  for (const ObjectRecord& target : targets) {
    if (tx.object(target.id)) count += tx.remove(target.id);  // gone already if below an earlier target
  }
  tx.commit();
  ZEBContentDelete_Reply reply;
  reply.setResult(static_cast<int>(count));
  return answer(reply, call.session.passport);
}

// ---------------------------------------------------------------- the public face

ContentService::ContentService(ServiceOptions options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

ContentService::~ContentService() = default;

ZEBWireReply ContentService::handle(const ZEBWireRequest& request) {
  bool drop = false;
  ZEBWireReply reply = m_impl->handle(request, nullptr, drop);
  if (drop) {
    ZEBTransportError error("in-process", "reading the reply",
                            "the connection was dropped mid-reply (injected failure)");
    ZEBRaise(error, "ContentService");
  }
  return reply;
}

ZEBWireReply ContentService::handle(const ZEBWireRequest& request, const InjectedFailure* extra, bool& drop) {
  return m_impl->handle(request, extra, drop);
}

ZEBWireReply ContentService::handleInProcess(const ZEBWireRequest& request, void* context) {
  return static_cast<ContentService*>(context)->handle(request);
}

std::shared_ptr<ZEBTransport> ContentService::makeInProcessTransport() {
  return std::make_shared<ZEBInProcessTransport>(&ContentService::handleInProcess, this);
}

const std::string& ContentService::getCredentialPublicKey() const {
  return m_impl->m_publicKeyPem;
}

void ContentService::injectFailure(const InjectedFailure& failure) {
  std::lock_guard<std::mutex> lock(m_impl->m_failureLock);
  m_impl->m_failures.push_back(failure);
}

void ContentService::clearInjectedFailures() {
  std::lock_guard<std::mutex> lock(m_impl->m_failureLock);
  m_impl->m_failures.clear();
}

bool ContentService::checkHealth() {
  return m_impl->m_store->ping();
}

ContentStore& ContentService::getStore() {
  return *m_impl->m_store;
}

const UserDirectory& ContentService::getUsers() const {
  return m_impl->m_users;
}

std::string ContentService::getCacheValidator() {
  auto tx = m_impl->m_store->read();
  return m_impl->cacheValidator(tx);
}

}  // namespace dvlservice
