#include "ContentServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ContentService.h"
#include "MultipartBody.h"
#include "ZEBErrors.h"
#include "ZEBMime.h"
#include "ZEBSession.h"
#include "ZEBSoap.h"

extern const unsigned char dvlserviceWsdl[];
extern const unsigned long dvlserviceWsdlSize;

namespace dvlservice {

namespace {

// What the access log needs of the request that this thread is answering.
thread_local std::chrono::steady_clock::time_point t_start;
thread_local std::string t_operation;
thread_local std::string t_reason;
thread_local size_t t_requestBytes = 0;
thread_local bool t_routed = false;  // false for a request the library refused before routing it

// A body over the limit is still read, and dropped, up to this much more, so that the client can
// read the 413; past that the connection is cut.
constexpr size_t kDrainAllowance = size_t(64) << 20;

constexpr const char* kWsdlAddress = "http://localhost:9300/dvl";
constexpr const char* kXml = "text/xml; charset=utf-8";

bool isLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string utcNow() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The media type of a Content-Type value in lower case; empty when it cannot be read.
ZEBContentType contentTypeOf(const std::string& value) {
  try {
    return ZEBMime::parseContentType(value);
  } catch (const KRNThrowable&) {
    return ZEBContentType();
  }
}

// Request text in a log line: printable, and not too long.
std::string printable(const std::string& text) {
  std::string out;
  for (char c : text.substr(0, 200)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
}

// The word in a fault's detail, for the log.
std::string faultReason(const std::string& envelope) {
  size_t open = envelope.find("<dvl:message>");
  if (open == std::string::npos) return std::string();
  open += 13;
  size_t close = envelope.find("</dvl:message>", open);
  return close == std::string::npos || close - open > 64 ? std::string() : envelope.substr(open, close - open);
}

// The body goes out without another copy; with `cut`, only its first half does, and then the
// connection closes, as if the server died while answering.
void setBody(httplib::Response& res, std::string body, const std::string& contentType, bool cut) {
  auto shared = std::make_shared<std::string>(std::move(body));
  size_t total = shared->size();
  size_t limit = cut ? total / 2 : total;
  res.set_content_provider(total, contentType, [shared, limit](size_t offset, size_t length, httplib::DataSink& sink) {
    if (offset >= limit) return false;
    return sink.write(shared->data() + offset, std::min(length, limit - offset));
  });
}

void setFault(httplib::Response& res, int status, const char* code, const std::string& reason,
              const std::string& text) {
  res.status = status;
  t_reason = reason;
  setBody(res, ZEBSoap::writeFault(code, text, reason), kXml, false);
}

// cpp-httplib keeps a connection on one thread of its task queue for as long as the client keeps it
// alive, so a fixed pool of N threads serves N clients and leaves the next one waiting until one of
// them closes (never, for a busy client). Here every connection gets a thread (idle ones are reused),
// up to kMaxConnections at once; RequestSlots keeps the requests run at once to the option's number.
constexpr size_t kMaxConnections = 256;

class ConnectionThreads : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> connection) override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_waiting.push_back(std::move(connection));
    if (m_waiting.size() > m_idle && m_threads.size() < kMaxConnections) {
      m_threads.emplace_back([this] { serve(); });
    } else {
      m_wake.notify_one();
    }
  }
  // Called when the server no longer accepts: the connections already taken are served to the end.
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads) t.join();
  }

 private:
  void serve() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
      ++m_idle;
      m_wake.wait(lock, [this] { return !m_waiting.empty() || m_stopping; });
      --m_idle;
      if (m_waiting.empty()) return;
      std::function<void()> connection = std::move(m_waiting.front());
      m_waiting.pop_front();
      lock.unlock();
      connection();
      lock.lock();
    }
  }

  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<std::function<void()>> m_waiting;
  std::vector<std::thread> m_threads;
  size_t m_idle = 0;
  bool m_stopping = false;
};

class RequestSlots {
 public:
  explicit RequestSlots(int count) : m_free(count) {}
  void acquire() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_released.wait(lock, [this] { return m_free > 0; });
    --m_free;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      ++m_free;
    }
    m_released.notify_one();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_released;
  int m_free;
};

}  // namespace

class ContentServer::Impl {
 public:
  Impl(ContentService& service, ServerOptions options)
      : m_service(service), m_options(std::move(options)), m_slots(std::max(1, m_options.threads)) {}
  ~Impl() {
    stop();
    if (m_ownSpool) {
      std::error_code ignored;
      std::filesystem::remove_all(m_options.spoolDirectory, ignored);
    }
  }

  int start();
  void stop() {
    if (m_server) m_server->stop();
    if (m_thread.joinable()) m_thread.join();
  }
  std::string url() const {
    std::string host = m_options.host.find(':') != std::string::npos ? "[" + m_options.host + "]" : m_options.host;
    return std::string(m_tls ? "https" : "http") + "://" + host + ":" + std::to_string(m_port) + "/dvl";
  }

  int m_port = 0;

 private:
  void post(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  void log(const httplib::Request& req, const httplib::Response& res, const char* note);

  ContentService& m_service;
  ServerOptions m_options;
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  RequestSlots m_slots;
  bool m_tls = false;
  bool m_ownSpool = false;
  std::atomic<bool> m_listenEnded{false};
  int m_listenSocket = -1;
};

int ContentServer::Impl::start() {
  if (m_server) throw std::runtime_error("the server has already started");
  if (!m_options.allowRemote && !isLoopback(m_options.host)) {
    throw std::runtime_error("dvl-contentd serves loopback addresses only, not '" + m_options.host + "'");
  }
  if (m_options.spoolDirectory.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/dvl-contentd-spool-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr)
      throw std::runtime_error("cannot create a spool directory: " + std::string(std::strerror(errno)));
    m_options.spoolDirectory = pattern;
    m_ownSpool = true;
  }

  m_tls = !m_options.certificateFile.empty() || !m_options.privateKeyFile.empty();
  if (m_tls) {
    auto tls =
        std::make_unique<httplib::SSLServer>(m_options.certificateFile.c_str(), m_options.privateKeyFile.c_str());
    if (!tls->is_valid()) {
      throw std::runtime_error("cannot use the certificate '" + m_options.certificateFile + "' with the key '" +
                               m_options.privateKeyFile + "'");
    }
    m_server = std::move(tls);
  } else {
    m_server = std::make_unique<httplib::Server>();
  }

  httplib::Server& s = *m_server;
  s.new_task_queue = [] { return new ConnectionThreads; };
  s.set_tcp_nodelay(true);
  s.set_socket_options([this](int socket) {
    httplib::default_socket_options(socket);
    m_listenSocket = socket;
  });
  s.set_payload_max_length(m_options.maxBodyBytes);
  s.set_read_timeout(30, 0);
  s.set_write_timeout(30, 0);
  s.set_keep_alive_timeout(3);
  s.set_keep_alive_max_count(10000);  // the default (5) makes a busy client reconnect every fifth call
  s.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    t_start = std::chrono::steady_clock::now();
    t_operation.clear();
    t_reason.clear();
    t_requestBytes = 0;
    t_routed = true;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // Refuse a body that is too large before the client sends it.
  s.set_expect_100_continue_handler([this](const httplib::Request& req, httplib::Response& res) {
    unsigned long long length = std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
    bool plain = !contentTypeOf(req.get_header_value("Content-Type")).isMultipartRelated();
    if (length > m_options.maxBodyBytes || (plain && length > m_options.maxEnvelopeBytes)) {
      res.status = 413;
      return 413;
    }
    return 100;
  });
  s.Post("/dvl", [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    m_slots.acquire();
    struct Release {
      RequestSlots& slots;
      ~Release() { slots.release(); }
    } release{m_slots};
    post(req, res, reader);
  });
  s.Get("/dvl", [this](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("wsdl")) {
      res.status = 405;
      res.set_header("Allow", "POST");
      res.set_content("POST SOAP requests to this address; GET ?wsdl for the service description\n", "text/plain");
      return;
    }
    std::string wsdl(reinterpret_cast<const char*>(dvlserviceWsdl), dvlserviceWsdlSize);
    for (size_t at; (at = wsdl.find(kWsdlAddress)) != std::string::npos;)
      wsdl.replace(at, std::strlen(kWsdlAddress), url());
    setBody(res, std::move(wsdl), kXml, false);
  });
  s.Get("/dvl/credential-key", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(m_service.getCredentialPublicKey(), "application/x-pem-file");
  });
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
    std::string what = "unknown error";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    setFault(res, 500, "soapenv:Server", "internalError", what);
  });
  if (m_options.log) {
    s.set_logger([this](const httplib::Request& req, const httplib::Response& res) { log(req, res, nullptr); });
  }

  int port = m_options.port == 0 ? s.bind_to_any_port(m_options.host)
                                 : (s.bind_to_port(m_options.host, m_options.port) ? m_options.port : -1);
  if (port <= 0) {
    throw std::runtime_error("cannot listen on " + m_options.host + ":" + std::to_string(m_options.port) + ": " +
                             std::strerror(errno));
  }
  m_port = port;
  // cpp-httplib listens with a backlog of 5: more clients connecting at once overflow it, and some of
  // their connections are reset. Listening again on the bound socket sets the system's largest.
  ::listen(m_listenSocket, SOMAXCONN);
  m_listenEnded = false;
  m_thread = std::thread([this] {
    m_server->listen_after_bind();
    m_listenEnded = true;  // also when it ends at once, so that start() does not wait for ever
  });
  // stop() only reaches a server that has begun to listen.
  while (!s.is_running() && !m_listenEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!s.is_running()) {
    m_thread.join();
    throw std::runtime_error("the server on " + m_options.host + ":" + std::to_string(port) + " stopped at once");
  }
  return port;
}

void ContentServer::Impl::post(const httplib::Request& req, httplib::Response& res,
                               const httplib::ContentReader& reader) {
  ZEBWireRequest wire;
  wire.soapAction = req.get_header_value("SOAPAction");
  wire.trusted = req.get_header_value("X-DVL-Trusted") == "1" ? 1 : 0;
  wire.peerAddress = req.remote_addr;
  {
    std::string action = wire.soapAction;
    if (!action.empty() && action.front() == '"') action = action.substr(1, action.size() >= 2 ? action.size() - 2 : 0);
    t_operation = action.substr(action.find_last_of('/') + 1);
  }
  ZEBContentType type = contentTypeOf(req.get_header_value("Content-Type"));
  // A chunked body announces no length, so the limit is kept here as well as by the library.
  bool overLimit = false;
  auto within = [&](size_t n) {
    t_requestBytes += n;
    overLimit = overLimit || t_requestBytes > m_options.maxBodyBytes;
    return !overLimit;
  };
  auto drainable = [&](size_t n) {
    bool ok = within(n);
    return ok || t_requestBytes <= m_options.maxBodyBytes + kDrainAllowance;
  };
  auto refuseLarge = [&] {
    t_reason = "tooLarge";
    std::string text = "the request is larger than " + std::to_string(m_options.maxBodyBytes) + " bytes";
    res.status = 413;
    // Cut short, the rest of the body could be taken for the next request: the connection goes.
    bool unread = t_requestBytes > m_options.maxBodyBytes + kDrainAllowance;
    setBody(res, ZEBSoap::writeFault("soapenv:Client", text, "tooLarge"), kXml, unread);
  };

  std::unique_ptr<MultipartReader> multipart;
  std::vector<std::unique_ptr<ZEBDocumentOutput>> documents;
  ZEBAttachmentList attachments;
  if (type.isXml()) {
    bool tooLarge = false;
    bool complete = reader([&](const char* data, size_t n) {
      if (!within(n)) return drainable(0);
      if (!tooLarge && wire.envelope.size() + n <= m_options.maxEnvelopeBytes) {
        wire.envelope.append(data, n);
      } else if (!tooLarge) {
        tooLarge = true;
        std::string().swap(wire.envelope);
      }
      return true;
    });
    if (overLimit || res.status == 413) return refuseLarge();
    if (!complete) return setFault(res, 400, "soapenv:Client", "badBody", "the request body did not arrive whole");
    if (tooLarge) {
      return setFault(res, 413, "soapenv:Client", "tooLarge",
                      "the envelope is larger than " + std::to_string(m_options.maxEnvelopeBytes) + " bytes");
    }
  } else if (type.isMultipartRelated()) {
    std::string problem;
    bool tooLarge = false;
    try {
      multipart = std::make_unique<MultipartReader>(type.getParameter("boundary"), type.getParameter("start"),
                                                    m_options.spoolDirectory, m_options.maxEnvelopeBytes);
    } catch (const MultipartError& e) {
      problem = e.what();
    }
    bool complete = reader([&](const char* data, size_t n) {
      if (!within(n)) return drainable(0);
      if (problem.empty()) {
        try {
          multipart->feed(data, n);
        } catch (const MultipartError& e) {
          problem = e.what();
          tooLarge = e.isTooLarge();
        }
      }
      return true;  // the rest of a body already refused is read and dropped
    });
    if (overLimit || res.status == 413) return refuseLarge();
    if (!complete) return setFault(res, 400, "soapenv:Client", "badBody", "the request body did not arrive whole");
    if (problem.empty()) {
      try {
        multipart->finish();
      } catch (const MultipartError& e) {
        problem = e.what();
      }
    }
    if (!problem.empty())
      return setFault(res, tooLarge ? 413 : 400, "soapenv:Client", tooLarge ? "tooLarge" : "badBody", problem);
    wire.envelope = multipart->root();
    for (const SpooledPart& part : multipart->attachments()) {
      documents.push_back(std::make_unique<ZEBDocumentOutput>(part.path, part.contentType));
      attachments.emplace_back(part.contentId.c_str(), documents.back().get());
    }
    if (!attachments.empty()) wire.attachments = &attachments;
  } else {
    reader([&](const char*, size_t n) { return drainable(n); });  // read and dropped, so the connection stays usable
    if (overLimit) return refuseLarge();
    return setFault(res, 415, "soapenv:Client", "unsupportedMediaType",
                    "a request is a SOAP 1.1 envelope sent as text/xml, or multipart/related with attachments; not '" +
                        req.get_header_value("Content-Type") + "'");
  }

  InjectedFailure extra;
  const InjectedFailure* injected = nullptr;
  if (m_options.allowInjectHeader && req.has_header("X-DVL-Inject")) {
    try {
      extra = InjectedFailure::parse(req.get_header_value("X-DVL-Inject"));
      injected = &extra;
    } catch (const std::invalid_argument& e) {
      return setFault(res, 400, "soapenv:Client", "badInjection", std::string("X-DVL-Inject: ") + e.what());
    }
  }

  bool drop = false;
  ZEBWireReply reply = m_service.handle(wire, injected, drop);
  res.status = reply.httpStatus;
  if (reply.httpStatus >= 400) t_reason = faultReason(reply.envelope);
  std::string body, contentType = kXml;
  if (reply.attachments.empty()) {
    body = std::move(reply.envelope);
  } else {
    ZEBMimeBody mime = ZEBMime::buildRelated(reply.envelope, reply.attachments);
    body = std::move(mime.body);
    contentType = std::move(mime.contentType);
  }
  if (drop && m_options.log) log(req, res, "connection dropped on purpose");
  setBody(res, std::move(body), contentType, drop);
}

void ContentServer::Impl::log(const httplib::Request& req, const httplib::Response& res, const char* note) {
  std::string line = utcNow() + " " + req.remote_addr + " " + printable(req.method) + " " + printable(req.path);
  if (!t_operation.empty()) line += " " + t_operation;
  line += " " + std::to_string(res.status);
  if (!t_reason.empty()) line += " " + t_reason;
  size_t out = res.body.empty() ? res.content_length_ : res.body.size();
  line += " in=" + std::to_string(t_requestBytes) + " out=" + std::to_string(out);
  if (t_routed) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t_start).count();
    line += " " + std::to_string(ms) + "ms";
  }
  if (note) line += " (" + std::string(note) + ")";
  m_options.log(line);
  if (!note) {  // the next request on this thread starts afresh, even one refused before routing
    t_operation.clear();
    t_reason.clear();
    t_requestBytes = 0;
    t_routed = false;
  }
}

ContentServer::ContentServer(ContentService& service, ServerOptions options)
    : m_impl(std::make_unique<Impl>(service, std::move(options))) {}

ContentServer::~ContentServer() = default;

int ContentServer::start() {
  return m_impl->start();
}
void ContentServer::stop() {
  m_impl->stop();
}
int ContentServer::getPort() const {
  return m_impl->m_port;
}
std::string ContentServer::getUrl() const {
  return m_impl->url();
}

}  // namespace dvlservice
