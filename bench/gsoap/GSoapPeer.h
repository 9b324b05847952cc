// The peer the benchmarks measure DVL against: a client that gSOAP generates at build time from our
// own content-store.wsdl, as a user choosing a SOAP stack would make one. It makes the calls DVL
// makes (logon, query) against the same server, and reads replies into gSOAP's own classes.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace bench {

// What one query reply held: the objects and their default names, for the benchmarks to check.
struct PeerResult {
  size_t objects = 0;
  std::vector<std::string> names;  // filled only when asked for
  size_t nameBytes = 0;            // total length of the default names
};

// One gSOAP context with HTTP keep-alive; not thread-safe: one per thread.
class GSoapPeer {
 public:
  explicit GSoapPeer(const std::string& url);
  ~GSoapPeer();
  GSoapPeer(const GSoapPeer&) = delete;
  GSoapPeer& operator=(const GSoapPeer&) = delete;

  // Logs on with a credential document (as DVLLogon sends it, sealed to clientId); keeps the
  // passport for later calls. Raises std::runtime_error on failure.
  void logOn(const std::string& credentials, const std::string& clientId);
  // Takes over another peer's logon (its passport and client identifier).
  void shareLogonOf(const GSoapPeer& other);
  // The query DVLQuery sends for path: the four properties every query asks for, sorted by object
  // class, read permission. Raises on failure; frees the reply before returning.
  PeerResult query(const std::string& path, bool keepNames = false);
  // Reads a queryResponse envelope held in memory, as query reads a received one.
  PeerResult readReply(const std::string& envelope, bool keepNames = false);

 private:
  struct Impl;
  std::unique_ptr<Impl> m;
};

}  // namespace bench
