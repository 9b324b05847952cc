// The HTTP(S) front end of the content-store service: POST /dvl takes SOAP requests (text/xml, or
// multipart/related with attachments), GET /dvl?wsdl describes the service and GET
// /dvl/credential-key hands out the key that clients seal credentials to. Loopback addresses only.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace dvlservice {

class ContentService;

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 9300;              // 0: any free port
  std::string certificateFile;  // both set: HTTPS
  std::string privateKeyFile;
  size_t maxBodyBytes = size_t(16) << 30;  // a whole request, attachments included
  size_t maxEnvelopeBytes = size_t(64) << 20;
  std::string spoolDirectory;  // where attachments wait for the service; empty: a temporary one
  int threads = 8;
  bool allowInjectHeader = false;  // honour X-DVL-Inject (failures for tests)
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
