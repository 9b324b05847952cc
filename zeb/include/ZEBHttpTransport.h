/// \file
/// The live transport: SOAP over HTTP(S) with libcurl, documents streamed as SOAP with Attachments,
/// connections kept alive and shared by threads; and the session factories built on it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ZEBSession.h"

class ZEBCredentialKeySource;

/// How the live transport reaches the service. Every wait is bounded: connect and stall timeouts
/// must be positive.
struct ZEB_EXPORT ZEBHttpSettings {
  std::string endpoint;           ///< "http://127.0.0.1:9300/dvl" or an https:// URL
  long connectTimeoutMs = 10000;  ///< TCP connect and TLS handshake
  long stallTimeoutMs = 60000;    ///< longest time without a byte sent or received, waiting for the reply included
  long totalTimeoutMs = 0;        ///< the whole exchange; 0 for no limit beyond the stall timeout
  bool verifyPeer = true;         ///< check the server's certificate and host name
  std::string caFile;             ///< PEM certificates to trust; empty for the system's
  long long maxReplyBytes = 256LL << 20;  ///< a larger reply is abandoned and reported
  int poolSize = 4;                       ///< idle connections kept for reuse; 0 closes each after use
  /// With no credential key configured, sessions seal to the key fetched from `<endpoint>/credential-key`
  /// (ZEBCredentialKey.h), checked against the keys seen before.
  bool fetchCredentialKey = true;
  std::string knownKeysFile;  ///< where those keys are kept; empty: ZEBKnownKeys::defaultPath()

  /// Several instances of one service. When not empty these are the addresses used, in this order,
  /// and endpoint reads as the first. A call whose connection is refused moves on to the next
  /// address (the request was not sent); later calls start at the last address that answered.
  std::vector<std::string> endpoints;
  /// Read-only calls (ZEBWireRequest::readOnly: queries, lookups, routing, credential retrieval)
  /// also move on after a 503 or a connection lost before the reply. When no address answered,
  /// they are tried again up to retries times,
  /// waiting retryDelayMs before the first retry and twice as long before each further one (less
  /// up to a half, at random). No retry starts more than retryWindowMs after the call began. A call
  /// that may change the store is never sent twice: once any of it may have reached a server, its
  /// failure goes to the caller.
  int retries = 3;
  long retryDelayMs = 200;     ///< wait before the first retry, doubled for each further one
  long retryWindowMs = 30000;  ///< no retry starts later than this after the call began
  /// Offer gzip (Accept-Encoding) and decode gzip replies; maxReplyBytes limits the decoded size.
  bool acceptGzip = true;

  /// The settings of the process configuration: the endpoint is its contentManager (or the one
  /// given), followed by its endpoints list when no endpoint is given; the timeouts its
  /// connectTimeout, stallTimeout and totalTimeout; retries, retryDelay, retryWindow and
  /// compressReplies the retry and compression settings;
  /// fetchCredentialKey and knownKeysFile the credential key's.
  static ZEBHttpSettings fromConfiguration(const std::string& endpoint = std::string());
};

/// Sends each exchange as an HTTP POST. A request with attachments goes as multipart/related, its
/// documents read in chunks as they are sent (never whole in memory). Replies with status 200, or
/// 500 with a SOAP body, are returned; anything else raises ZEBTransportError naming the phase:
/// "connect", "TLS", "send", "receive", "timeout" or "HTTP". Proxies follow libcurl's environment
/// variables (http_proxy, https_proxy, no_proxy). With several endpoints, retries and gzip replies
/// as ZEBHttpSettings says. Safe to use from several threads at once.
class ZEB_EXPORT ZEBHttpTransport : public ZEBTransport {
 public:
  /// Raises ZEBTransportError (phase "configure") for an endpoint that is not http(s) or bad limits.
  explicit ZEBHttpTransport(ZEBHttpSettings settings);
  ~ZEBHttpTransport() override;
  ZEBHttpTransport(const ZEBHttpTransport&) = delete;
  ZEBHttpTransport& operator=(const ZEBHttpTransport&) = delete;

  ZEBWireReply exchange(const ZEBWireRequest& request) override;
  /// The endpoint URL: with several, the one the next call starts at.
  std::string describe() const override { return m_endpoints[m_current.load(std::memory_order_relaxed)]; }
  /// The settings it was made with.
  const ZEBHttpSettings& getSettings() const { return m_settings; }

 private:
  struct Connection;
  std::unique_ptr<Connection> acquire();
  void release(std::unique_ptr<Connection> connection);
  // Sets the options every call shares on a handle's first use.
  void configure(Connection& connection, const std::string& endpoint) const;
  struct Attempt;
  // One attempt at one address; attempt tells how far it got when it fails.
  ZEBWireReply exchangeWith(const std::string& endpoint, const ZEBWireRequest& request, Attempt& attempt);

  ZEBHttpSettings m_settings;
  std::vector<std::string> m_endpoints;   // never empty
  std::atomic<size_t> m_current{0};       // index of the address that answered last
  std::mutex m_poolLock;
  std::vector<std::unique_ptr<Connection>> m_idle;
};

/// Makes the sessions that request objects send through, and takes them back.
class ZEB_EXPORT VorbTK {
 public:
  virtual ~VorbTK();
  /// A new session; give it back with releaseSession().
  virtual ZEBSOAPSessionI* createSession() = 0;
  /// Gives back a session from createSession().
  virtual void releaseSession(ZEBSOAPSessionI* session) = 0;
};

/// Sessions to one live service, all over one shared ZEBHttpTransport so that they share its
/// connections. Sessions not released are deleted with the factory.
class ZEB_EXPORT ZEBLiveVorbTK : public VorbTK {
 public:
  /// A factory of sessions over one live HTTP transport with settings.
  explicit ZEBLiveVorbTK(ZEBHttpSettings settings);
  ~ZEBLiveVorbTK() override;
  ZEBLiveVorbTK(const ZEBLiveVorbTK&) = delete;
  ZEBLiveVorbTK& operator=(const ZEBLiveVorbTK&) = delete;

  /// A new ZEBSOAPSession over the shared transport.
  ZEBSOAPSessionI* createSession() override;
  /// Deletes a session made here; null is ignored, any other pointer raises KRNRuntimeError.
  void releaseSession(ZEBSOAPSessionI* session) override;
  /// The transport its sessions share.
  const std::shared_ptr<ZEBHttpTransport>& getTransport() const { return m_transport; }

 private:
  std::shared_ptr<ZEBHttpTransport> m_transport;
  std::shared_ptr<ZEBCredentialKeySource> m_credentialKey;  // null when fetching is off
  std::mutex m_lock;
  std::set<ZEBSOAPSessionI*> m_sessions;
};
