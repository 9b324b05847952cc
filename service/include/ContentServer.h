// The HTTP(S) front end of the content-store service: POST /dvl takes SOAP requests (text/xml, or
// multipart/related with attachments), GET /dvl?wsdl describes the service and GET
// /dvl/credential-key hands out the key that clients seal credentials to, GET /health and GET
// /metrics let an operator watch it. Loopback addresses only, unless remote ones are allowed.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace dvlservice {

// The address cannot be listened on: in use, out of range, not permitted.
struct ListenError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class ContentService;
class Metrics;

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 9300;              // 0: any free port
  std::string certificateFile;  // both set: HTTPS
  std::string privateKeyFile;
  size_t maxBodyBytes = size_t(16) << 30;  // a whole request, attachments included
  size_t maxEnvelopeBytes = size_t(64) << 20;
  std::string spoolDirectory;  // where attachments wait for the service; empty: a temporary one
  bool allowRemote = false;    // any address may be bound, not only loopback ones
  int threads = 8;             // requests carried out at once
  // Connections held at once, idle ones included; the next one gets 503 and is closed.
  size_t maxConnections = 1024;
  // A request's head must arrive whole within this, counted from the connection opening or the
  // previous reply (so it is also how long a kept-alive connection may idle); a connection silent
  // this long at any point is closed as well.
  int headerTimeoutSeconds = 10;
  size_t minBodyBytesPerSecond = 1024;           // a body arriving slower (after its first 10 s) is cut off
  int drainSeconds = 30;                         // on stop, how long requests still arriving may take
  size_t compressAboveBytes = size_t(64) << 10;  // larger replies are gzipped for clients that accept it
  bool allowInjectHeader = false;  // honour X-DVL-Inject (failures for tests)
  // What GET /metrics reports; the server makes its own when empty.
  std::shared_ptr<Metrics> metrics;
  // One line per request; nothing is logged when empty.
  std::function<void(const std::string&)> log;
};

class ContentServer {
 public:
  ContentServer(ContentService& service, ServerOptions options);
  ~ContentServer();  // stops
  ContentServer(const ContentServer&) = delete;
  ContentServer& operator=(const ContentServer&) = delete;

  // Binds and serves on background threads; returns the port. Raises std::runtime_error when the
  // address is not loopback, the port is taken or the certificate does not load.
  int start();
  // Stops accepting, lets the requests in progress finish, and returns when the threads are gone.
  void stop();

  int getPort() const;
  // "http://127.0.0.1:PORT/dvl" (https with a certificate).
  std::string getUrl() const;

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace dvlservice
