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
#include "ZEBInProcessTransport.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"
#include "handlers/Handlers.h"

namespace dvlservice {

namespace {

constexpr int kConflictAttempts = 8;

// Bytes that are no envelope: what a broken proxy or a crashed server might send.
const std::string kGarbage("\x1f\x8b\x08\x00 not a SOAP envelope \xff\xfe\x00<<<<", 32);

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

  ServiceCore core;
  std::mutex m_failureLock;
  std::vector<InjectedFailure> m_failures;

 private:
  ZEBWireReply dispatch(const ZEBWireRequest& wire, ZEBMessageI& request);
  template <class F>
  auto withRetries(F&& f) -> decltype(f());
  bool takeFailure(const std::string& operation, const InjectedFailure* extra, InjectedFailure& taken);
  // A fault for the client; a server's fault is logged, with the detail when there is one.
  ZEBWireReply fault(ServiceFault::Side side, const std::string& reason, const std::string& message,
                     const std::string& detail = std::string());
  void seed();
};

ContentService::Impl::Impl(ServiceOptions options) : core{std::move(options), nullptr, {}, nullptr, {}, {}, {}, nullptr} {
  // Requests are parsed on many threads at once; libxml2 must be set up before the first of them.
  xmlInitParser();
  core.store = std::make_unique<ContentStore>(core.options.storePath);
  core.users = core.options.usersFile.empty() ? UserDirectory::demo() : UserDirectory::load(core.options.usersFile);
  core.sessions =
      std::make_unique<LogonSessions>(*core.store, core.users, core.options.passportIdleLifetime, core.options.clock);
  // Every server on a store seals and signs with the same keys, kept in the store unless the
  // key was given: a client must not notice which server it reached.
  {
    auto tx = core.store->write();
    core.privateKeyPem = core.options.credentialKeyPem.empty()
                             ? tx.initSetting("credentialKey", ZEBHelper::generateCredentialKeyPair().first)
                             : core.options.credentialKeyPem;
    core.trustSecret = tx.initSetting("trustSecret", randomHex(32));
    tx.commit();
  }
  core.publicKeyPem = x25519PublicKeyPem(core.privateKeyPem);
  core.guard = std::make_unique<LogonGuard>(LogonGuard::Options{core.options.lockoutAfter, core.options.addressLockoutAfter,
                                                                core.options.lockoutTime, core.options.clock,
                                                                core.options.log});
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

void ContentService::Impl::seed() {
  auto tx = core.store->write();
  ObjectRecord root = *tx.object(tx.rootId());
  bool fresh = !tx.child(root.id, PathResolver::kContentFolder);
  ObjectRecord content = folder(tx, root, PathResolver::kContentFolder);
  folder(tx, root, PathResolver::kAccountsFolder);
  if (fresh && core.options.seedDemoContent) {
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
    limits.maxBytes = core.options.maxEnvelopeBytes;
    limits.maxTextBytes = core.options.maxEnvelopeBytes;
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
  reply.operation = operation;
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
  static const std::map<std::string, Handler> operations = {
      {"logon", &logon},
      {"logoff", &logoff},
      {"retrieveCredential", &retrieveCredential},
      {"query", &query},
      {"queryMultiple", &queryMultiple},
      {"queryMultipleCache", &queryMultipleCache},
      {"queryCache", &queryCache},
      {"determineRouting", &determineRouting},
      {"add", &add},
      {"monitorAdd", &monitorAdd},
      {"delete", &deleteObjects},
  };
  const char* operation = request.getTypeInfo().operation;
  Call call{wire, request, {}, {}};
  ZEBWireReply reply;
  try {
    auto it = operations.find(operation);
    if (it == operations.end())
      refuse("unknownOperation", std::string("the operation ") + operation + " is not served");
    reply = withRetries([&] {
      call.session = LogonSession();
      call.account.clear();
      return it->second(core, call);
    });
  } catch (const ServiceFault& e) {
    reply = fault(e.getSide(), e.getReason(), e.what());
  } catch (const StoreError& e) {
    if (core.options.onStoreError) core.options.onStoreError();
    // The detail names files and database addresses: for the log, not the client.
    reply = fault(ServiceFault::Side::Server, "storeFailure",
                  std::string(operation) + ": the store failed; the server's log says why",
                  std::string(operation) + ": " + e.what());
  } catch (const KRNThrowable& e) {
    reply = fault(ServiceFault::Side::Server, "internalError", std::string(operation) + ": " + e.getMessage());
  } catch (const std::bad_alloc&) {
    reply = fault(ServiceFault::Side::Server, "outOfMemory", std::string(operation) + ": the server ran out of memory");
  } catch (const std::exception& e) {
    reply = fault(ServiceFault::Side::Server, "internalError", std::string(operation) + ": " + e.what());
  }
  // For the server's request log: the session's account, or the one a logon tried.
  reply.account =
      call.account.empty() ? call.session.account.nameSpace + "/" + call.session.account.userName : call.account;
  if (reply.account == "/") reply.account.clear();
  return reply;
}

ZEBWireReply ContentService::Impl::fault(ServiceFault::Side side, const std::string& reason, const std::string& message,
                                         const std::string& detail) {
  bool server = side == ServiceFault::Side::Server;
  if (server && core.options.log)
    core.options.log("server fault (" + reason + "): " + (detail.empty() ? message : detail));
  ZEBWireReply reply;
  reply.httpStatus = 500;
  reply.envelope = ZEBSoap::writeFault(server ? "soapenv:Server" : "soapenv:Client", message, reason);
  return reply;
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
  return m_impl->core.publicKeyPem;
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
  bool ok = m_impl->core.store->ping();
  if (!ok && m_impl->core.options.onStoreError) m_impl->core.options.onStoreError();
  return ok;
}

ContentStore& ContentService::getStore() {
  return *m_impl->core.store;
}

const UserDirectory& ContentService::getUsers() const {
  return m_impl->core.users;
}

std::string ContentService::getCacheValidator() {
  auto tx = m_impl->core.store->read();
  return cacheValidator(tx);
}

}  // namespace dvlservice
