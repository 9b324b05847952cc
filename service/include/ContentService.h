// The content-store service, independent of any transport: takes one request as the toolkit's
// session sends it (envelope and attachments), answers with a reply envelope or a SOAP fault.
// Usable in-process through ZEBInProcessTransport and behind HTTP (ContentServer).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZEBSession.h"

namespace dvlservice {

class ContentStore;
class UserDirectory;

// A failure provoked on purpose, for tests of the client's error paths. Applies to the requests of
// one operation (or all), a number of times (or always). Text form, used by the --inject option and
// the X-DVL-Inject header: "operation=query;delay=200;fault=Server:text;drop;garbage;count=1".
struct InjectedFailure {
  std::string operation;  // empty: every operation
  int delayMs = 0;        // waits before answering
  std::string faultCode;  // answers with this fault instead of running the request
  std::string faultString;
  bool dropConnection = false;  // runs the request, then cuts the reply short
  bool garbage = false;         // runs the request, then answers bytes that are no envelope
  int count = -1;               // how many requests it applies to; -1: all

  // Raises std::invalid_argument naming the part it does not understand.
  static InjectedFailure parse(const std::string& text);
};

struct ServiceOptions {
  std::string storePath = ":memory:";  // a SQLite file, :memory:, or postgresql://...
  std::string usersFile;         // empty: the built-in demo accounts
  std::string credentialKeyPem;  // X25519 private key; empty: the store's own, made with the store
  std::chrono::seconds passportIdleLifetime{1800};
  size_t maxEnvelopeBytes = size_t(64) << 20;
  int64_t maxDocumentBytes = int64_t(16) << 30;
  size_t maxInlineDocumentBytes = size_t(64) << 20;  // a document returned inside the envelope
  bool seedDemoContent = true;                       // a new store gets /content, /accounts and a few sample objects
  // The clock that passports age by; tests replace it.
  std::function<std::chrono::steady_clock::time_point()> clock;
  // Where failures of the server's own (store, disk) are reported; nothing when empty.
  std::function<void(const std::string&)> log;
  // Logon guard: after this many failed logons in a row for one account, its logons are refused for
  // lockoutTime, doubling with every further failure (up to 64 times); the same per client address
  // after addressLockoutAfter failures for any accounts. 0 turns a lock-out off.
  int lockoutAfter = 5;
  int addressLockoutAfter = 20;
  std::chrono::seconds lockoutTime{30};
  // Called on every store failure (for metrics); may be empty.
  std::function<void()> onStoreError;
  // Called on every failed logon, with whether that failure began a lock-out (for metrics).
  std::function<void(bool lockoutBegan)> onLogonFailure;
};

class ContentService {
 public:
  explicit ContentService(ServiceOptions options = ServiceOptions());
  ~ContentService();
  ContentService(const ContentService&) = delete;
  ContentService& operator=(const ContentService&) = delete;

  // Answers one request. A fault comes back as a reply with HTTP status 500 and a fault envelope.
  // An injected dropped connection raises ZEBTransportError, as a broken transport would.
  ZEBWireReply handle(const ZEBWireRequest& request);

  // The same for a transport that can act on a dropped connection itself: `drop` is set instead of
  // raising, and `extra` is a failure asked for by this request alone (a test header).
  ZEBWireReply handle(const ZEBWireRequest& request, const InjectedFailure* extra, bool& drop);

  // ZEBInProcessTransport's handler; context is the ContentService.
  static ZEBWireReply handleInProcess(const ZEBWireRequest& request, void* context);
  // A transport that delivers to this service in the same process; the service must outlive it.
  std::shared_ptr<ZEBTransport> makeInProcessTransport();

  // The public key (PEM) to which clients seal credentials.
  const std::string& getCredentialPublicKey() const;

  void injectFailure(const InjectedFailure& failure);
  void clearInjectedFailures();

  ContentStore& getStore();
  const UserDirectory& getUsers() const;
  // True while the store answers a trivial read.
  bool checkHealth();
  // The text that changes whenever the store changes; queryMultipleCache answers with it.
  std::string getCacheValidator();

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace dvlservice
