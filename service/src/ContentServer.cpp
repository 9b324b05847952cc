// The HTTP front end on GNU libmicrohttpd: one event-loop thread (epoll) holds every connection,
// idle and slow ones included, reads heads and bodies (attachments straight to spool files), and a
// fixed pool of worker threads carries out the requests. docs/server.md says why this engine and
// gives the measurements.
#include "ContentServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ContentService.h"
#include "Metrics.h"
#include "MultipartBody.h"
#include "ZEBErrors.h"
#include "ZEBMime.h"
#include "ZEBSession.h"
#include "ZEBSoap.h"

extern const unsigned char dvlserviceWsdl[];
extern const unsigned long dvlserviceWsdlSize;

namespace dvlservice {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kWsdlAddress = "http://localhost:9300/dvl";
constexpr const char* kXml = "text/xml; charset=utf-8";
// A body over the limit is still read, and dropped, up to this much more, so that the client can
// read the 413; past that the connection is cut.
constexpr size_t kDrainAllowance = size_t(64) << 20;
// Connections past the limit are still taken, up to this many more, to be answered 503; past those
// the event loop closes them unanswered.
constexpr size_t kRefusalSlack = 256;
// zlib counts in 32 bits; a reply this large (held in memory already) goes as it is.
constexpr size_t kGzipUpTo = size_t(1) << 31;

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

ZEBContentType contentTypeOf(const char* value) {
  try {
    return ZEBMime::parseContentType(value ? value : "");
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

// The operation label of a request that is not one of the schema's operations: the fixed endpoints
// by name, anything else one word, so that junk URLs cannot grow the metrics without bound.
std::string endpointLabel(const std::string& method, const std::string& path) {
  if (method != "GET" && method != "HEAD" && method != "POST") return "other";
  if (path != "/health" && path != "/metrics" && path != "/dvl" && path != "/dvl/credential-key") return "other";
  return method + " " + path;
}

// The word in a fault's detail, for the log.
std::string faultReason(const std::string& envelope) {
  size_t open = envelope.find("<dvl:message>");
  if (open == std::string::npos) return std::string();
  open += 13;
  size_t close = envelope.find("</dvl:message>", open);
  return close == std::string::npos || close - open > 64 ? std::string() : envelope.substr(open, close - open);
}

std::string gzip(const std::string& data) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("cannot compress the reply");
  return out;
}

const char* header(MHD_Connection* c, const char* name) {
  return MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
}

// What the sweeper needs of a connection: where it is, and since when.
struct ConnectionState {
  enum class Phase { head, body, busy } phase = Phase::head;
  int fd = -1;
  Clock::time_point since = Clock::now();  // of the phase
  size_t bodyBytes = 0;
  bool cut = false;  // shut down by the sweeper
};

// A fixed number of threads that carry out requests. A job goes to the worker that went idle last:
// its stack and caches are warm and the scheduler knows where it ran, where waking the one idle
// longest (a condition variable's order) sends every request to a cold thread in turn.
class Workers {
 public:
  explicit Workers(int count) {
    m_idle.reserve(static_cast<size_t>(count));  // a worker going idle never allocates
    for (int i = 0; i < count; ++i) m_threads.emplace_back([this] { run(); });
  }
  ~Workers() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_stopping = true;
      for (Idle* idle : m_idle) idle->wake.notify_one();
    }
    for (std::thread& t : m_threads) t.join();
  }
  void post(std::function<void()> job) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_idle.empty()) {
      m_jobs.push_back(std::move(job));
      return;
    }
    Idle* idle = m_idle.back();
    m_idle.pop_back();
    idle->job = std::move(job);
    lock.unlock();
    idle->wake.notify_one();
  }

 private:
  struct Idle {
    std::condition_variable wake;
    std::function<void()> job;
  };
  void run() {
    Idle self;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
      std::function<void()> job;
      if (!m_jobs.empty()) {
        job = std::move(m_jobs.front());
        m_jobs.pop_front();
      } else if (m_stopping) {
        return;
      } else {
        m_idle.push_back(&self);
        self.wake.wait(lock, [&] { return self.job || m_stopping; });
        if (!self.job) return;  // stopping: the destructor no longer looks at m_idle
        job = std::move(self.job);
        self.job = nullptr;
      }
      lock.unlock();
      job();
      lock.lock();
    }
  }
  std::mutex m_lock;
  std::deque<std::function<void()>> m_jobs;  // waiting for a worker
  std::vector<Idle*> m_idle;                 // the last to go idle at the back
  std::vector<std::thread> m_threads;
  bool m_stopping = false;
};

}  // namespace

class ContentServer::Impl {
 public:
  Impl(ContentService& service, ServerOptions options) : m_service(service), m_options(std::move(options)) {
    if (!m_options.metrics) m_options.metrics = std::make_shared<Metrics>();
  }
  ~Impl() {
    stop();
    if (m_ownSpool) {
      std::error_code ignored;
      std::filesystem::remove_all(m_options.spoolDirectory, ignored);
    }
  }

  int start();
  void stop();
  std::string url() const {
    std::string host = m_options.host.find(':') != std::string::npos ? "[" + m_options.host + "]" : m_options.host;
    return std::string(m_tls ? "https" : "http") + "://" + host + ":" + std::to_string(m_port) + "/dvl";
  }

  int m_port = 0;

 private:
  // One request from its head to its reply.
  struct Request {
    Clock::time_point start = Clock::now();
    std::string method, path, peer, operation, account, reason, note;
    ZEBContentType type;
    bool acceptsGzip = false;
    size_t bytesIn = 0;
    bool overLimit = false, envelopeTooLarge = false, refused = false, worked = false, arrived = false;
    std::string problem;  // a multipart body that cannot be read
    bool problemTooLarge = false;
    ZEBWireRequest wire;
    std::unique_ptr<MultipartReader> multipart;
    // The reply, once there is one.
    int status = 0;
    std::string body, contentType = kXml;
    std::vector<std::pair<std::string, std::string>> headers;
    bool cut = false, close = false, ready = false;
    size_t bytesOut = 0;
  };

  static MHD_Result access(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                           const char* data, size_t* size, void** context);
  static void completed(void* cls, MHD_Connection* c, void** context, MHD_RequestTerminationCode code);
  static void connection(void* cls, MHD_Connection* c, void** context, MHD_ConnectionNotificationCode code);

  MHD_Result begin(MHD_Connection* c, Request& r);
  void feed(Request& r, const char* data, size_t n);
  MHD_Result finish(MHD_Connection* c, Request& r);
  void carryOut(Request& r);
  MHD_Result reply(MHD_Connection* c, Request& r);
  void fault(Request& r, int status, const char* code, const std::string& reason, const std::string& text);
  void text(Request& r, int status, std::string body, const char* type);
  void setPhase(MHD_Connection* c, ConnectionState::Phase phase);
  void sweep();
  void log(const Request& r, MHD_RequestTerminationCode code);
  std::string wsdl() const;

  ContentService& m_service;
  ServerOptions m_options;
  MHD_Daemon* m_daemon = nullptr;
  std::unique_ptr<Workers> m_workers;
  bool m_tls = false;
  bool m_ownSpool = false;
  std::string m_cert, m_key;  // PEM text; the library keeps pointers to them
  int m_listen = -1;

  std::mutex m_connectionsLock;
  std::unordered_map<MHD_Connection*, ConnectionState> m_connections;
  std::atomic<int> m_arriving{0};  // requests whose body is still arriving
  std::atomic<int> m_working{0};   // requests carried out or being answered
  std::thread m_sweeper;
  std::mutex m_sweeperLock;
  std::condition_variable m_sweeperWake;
  bool m_stopping = false;
};

// ---------------------------------------------------------------- start and stop

int ContentServer::Impl::start() {
  if (m_daemon) throw std::runtime_error("the server has already started");
  if (!m_options.allowRemote && !isLoopback(m_options.host)) {
    throw ListenError("dvl-contentd serves loopback addresses only (unless remote ones are allowed), not '" +
                      m_options.host + "'");
  }
  if (m_options.port < 0 || m_options.port > 65535)
    throw ListenError("the port " + std::to_string(m_options.port) + " is out of range");
  if (m_options.threads < 1) throw std::invalid_argument("the server needs at least one thread");
  m_tls = !m_options.certificateFile.empty() || !m_options.privateKeyFile.empty();
  if (m_tls) {
    auto slurp = [](const std::string& path) {
      std::ifstream in(path, std::ios::binary);
      if (!in) throw std::runtime_error("cannot read " + path);
      std::ostringstream text;
      text << in.rdbuf();
      return text.str();
    };
    m_cert = slurp(m_options.certificateFile);
    m_key = slurp(m_options.privateKeyFile);
  }
  if (m_options.spoolDirectory.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp && *tmp ? tmp : "/tmp";
    std::string pattern = folder + "/dvl-contentd-spool-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr)
      throw std::runtime_error("cannot create a spool directory in " + folder + ": " + std::strerror(errno));
    m_options.spoolDirectory = pattern;
    m_ownSpool = true;
  }
  // Every connection is a descriptor: take what the system allows.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  // The socket is bound here rather than by the library: without SO_REUSEPORT, so that a second
  // server on the same port fails instead of sharing it, and with an error that names the address.
  std::string host = m_options.host == "localhost" ? "127.0.0.1" : m_options.host;
  addrinfo hints{}, *found = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  std::string where = m_options.host + ":" + std::to_string(m_options.port);
  if (int rc = ::getaddrinfo(host.c_str(), std::to_string(m_options.port).c_str(), &hints, &found); rc != 0)
    throw ListenError("cannot listen on " + where + ": " + gai_strerror(rc));
  m_listen = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
  int yes = 1;
  ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);  // a restart reuses a port in TIME_WAIT
  bool bound =
      m_listen >= 0 && ::bind(m_listen, found->ai_addr, found->ai_addrlen) == 0 && ::listen(m_listen, SOMAXCONN) == 0;
  int error = errno;
  ::freeaddrinfo(found);
  if (!bound) {
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
    throw ListenError("cannot listen on " + where + ": " + std::strerror(error));
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
  m_port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&address)->sin_port);

  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ITC;
  if (m_tls) flags |= MHD_USE_TLS;
  unsigned timeout = static_cast<unsigned>(m_options.headerTimeoutSeconds);
  MHD_OptionItem tlsOptions[] = {
      {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(m_cert.c_str())},
      {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(m_key.c_str())},
      {MHD_OPTION_END, 0, nullptr},
  };
  m_workers = std::make_unique<Workers>(m_options.threads);
  m_daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Impl::access, this, MHD_OPTION_LISTEN_SOCKET, m_listen, MHD_OPTION_CONNECTION_LIMIT,
      static_cast<unsigned>(m_options.maxConnections + kRefusalSlack), MHD_OPTION_CONNECTION_TIMEOUT, timeout,
      MHD_OPTION_NOTIFY_COMPLETED, &Impl::completed, this, MHD_OPTION_NOTIFY_CONNECTION, &Impl::connection, this,
      MHD_OPTION_ARRAY, m_tls ? tlsOptions : tlsOptions + 2, MHD_OPTION_END);
  if (m_daemon == nullptr) {
    ::close(m_listen);
    m_listen = -1;
    m_workers.reset();
    throw std::runtime_error(m_tls ? "cannot use the certificate '" + m_options.certificateFile + "' with the key '" +
                                         m_options.privateKeyFile + "'"
                                   : "cannot start serving on " + where);
  }
  m_stopping = false;
  m_sweeper = std::thread([this] { sweep(); });
  return m_port;
}

void ContentServer::Impl::stop() {
  if (m_daemon == nullptr) return;
  // New connections are refused from here on; requests still arriving get the drain time, and
  // every request carried out is answered whole.
  int listen = MHD_quiesce_daemon(m_daemon);
  if (listen >= 0) ::close(listen);
  m_listen = -1;
  auto deadline = Clock::now() + std::chrono::seconds(m_options.drainSeconds);
  while (m_working > 0 || (m_arriving > 0 && Clock::now() < deadline))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    std::lock_guard<std::mutex> lock(m_sweeperLock);
    m_stopping = true;
  }
  m_sweeperWake.notify_all();
  m_sweeper.join();
  MHD_stop_daemon(m_daemon);  // closes what is left: idle connections and bodies that came too slowly
  m_daemon = nullptr;
  m_workers.reset();
}

// ---------------------------------------------------------------- connections and their limits

void ContentServer::Impl::connection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
  auto* self = static_cast<Impl*>(cls);
  std::lock_guard<std::mutex> lock(self->m_connectionsLock);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    self->m_connections[c].fd = info ? info->connect_fd : -1;
    ++self->m_options.metrics->openConnections;
  } else {
    self->m_connections.erase(c);  // before the library closes the descriptor
    --self->m_options.metrics->openConnections;
  }
}

void ContentServer::Impl::setPhase(MHD_Connection* c, ConnectionState::Phase phase) {
  std::lock_guard<std::mutex> lock(m_connectionsLock);
  auto it = m_connections.find(c);
  if (it == m_connections.end()) return;
  it->second.phase = phase;
  it->second.since = Clock::now();
  it->second.bodyBytes = 0;
}

// The library closes a connection that is silent for the header timeout; this closes those that
// trickle: a head not whole within the header timeout (an idle kept-alive connection waits for its
// next head just the same), a body arriving slower than the minimum rate. A shut-down socket makes
// the event loop close the connection as if the client had gone.
void ContentServer::Impl::sweep() {
  std::unique_lock<std::mutex> wait(m_sweeperLock);
  while (!m_sweeperWake.wait_for(wait, std::chrono::milliseconds(250), [this] { return m_stopping; })) {
    auto now = Clock::now();
    auto headLimit = std::chrono::seconds(m_options.headerTimeoutSeconds);
    std::lock_guard<std::mutex> lock(m_connectionsLock);
    for (auto& entry : m_connections) {
      ConnectionState& s = entry.second;
      if (s.cut || s.fd < 0) continue;
      double seconds = std::chrono::duration<double>(now - s.since).count();
      bool late = s.phase == ConnectionState::Phase::head && now - s.since > headLimit;
      bool slow = s.phase == ConnectionState::Phase::body && m_options.minBodyBytesPerSecond > 0 &&
                  now - s.since > headLimit && s.bodyBytes < m_options.minBodyBytesPerSecond * seconds;
      if (late || slow) {
        ::shutdown(s.fd, SHUT_RDWR);
        s.cut = true;
        ++m_options.metrics->connectionsTimedOut;
      }
    }
  }
}

// ---------------------------------------------------------------- requests

MHD_Result ContentServer::Impl::access(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                                       const char* data, size_t* size, void** context) {
  auto* self = static_cast<Impl*>(cls);
  auto* r = static_cast<Request*>(*context);
  if (r == nullptr) {
    r = new Request;
    *context = r;
    r->method = method;
    r->path = url;
    ++self->m_options.metrics->requestsInFlight;
    ++self->m_arriving;
    return self->begin(c, *r);
  }
  if (*size > 0) {
    if (!r->ready) self->feed(*r, data, *size);
    {
      std::lock_guard<std::mutex> lock(self->m_connectionsLock);
      auto it = self->m_connections.find(c);
      if (it != self->m_connections.end()) it->second.bodyBytes += *size;
    }
    *size = 0;
    // Past the allowance a body over the limit is not read on: the connection goes.
    return r->overLimit && r->bytesIn > self->m_options.maxBodyBytes + kDrainAllowance ? MHD_NO : MHD_YES;
  }
  if (r->ready) return self->reply(c, *r);
  return self->finish(c, *r);
}

MHD_Result ContentServer::Impl::begin(MHD_Connection* c, Request& r) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info && info->client_addr) {
    char text[INET6_ADDRSTRLEN] = "";
    const sockaddr* a = info->client_addr;
    if (a->sa_family == AF_INET)
      ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
    else if (a->sa_family == AF_INET6)
      ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
    r.peer = text;
  }
  const char* encodings = header(c, "Accept-Encoding");
  r.acceptsGzip = encodings && std::strstr(encodings, "gzip") != nullptr;
  setPhase(c, ConnectionState::Phase::body);

  if (size_t(m_options.metrics->openConnections.load()) > m_options.maxConnections) {
    ++m_options.metrics->connectionsRefused;
    r.close = true;
    r.headers.emplace_back("Retry-After", "1");
    text(r, 503, "the server holds as many connections as it may; try again shortly\n", "text/plain");
    return reply(c, r);
  }
  // HEAD as GET: the library sends the head of the reply without its body.
  if (r.method == "GET" || r.method == "HEAD") {
    if (r.path == "/health") {
      bool healthy = m_service.checkHealth();
      text(r, healthy ? 200 : 503, healthy ? "ok\n" : "the store does not answer\n", "text/plain");
    } else if (r.path == "/metrics") {
      text(r, 200, m_options.metrics->render(), "text/plain; version=0.0.4");
    } else if (r.path == "/dvl/credential-key") {
      text(r, 200, m_service.getCredentialPublicKey(), "application/x-pem-file");
    } else if (r.path == "/dvl") {
      bool wsdl = false;
      MHD_get_connection_values(
          c, MHD_GET_ARGUMENT_KIND,
          [](void* found, MHD_ValueKind, const char* key, const char*) {
            if (std::strcmp(key, "wsdl") == 0) *static_cast<bool*>(found) = true;
            return MHD_YES;
          },
          &wsdl);
      if (wsdl) {
        text(r, 200, this->wsdl(), kXml);
      } else {
        r.headers.emplace_back("Allow", "POST");
        text(r, 405, "POST SOAP requests to this address; GET ?wsdl for the service description\n", "text/plain");
      }
    } else {
      text(r, 404, "not found\n", "text/plain");
    }
    return MHD_YES;  // answered when the (empty) body has arrived
  }
  if (r.method != "POST" || r.path != "/dvl") {
    text(r, r.path == "/dvl" ? 405 : 404, "not found\n", "text/plain");
    return MHD_YES;
  }

  r.wire.soapAction = header(c, "SOAPAction") ? header(c, "SOAPAction") : "";
  r.wire.trusted = header(c, "X-DVL-Trusted") && std::strcmp(header(c, "X-DVL-Trusted"), "1") == 0 ? 1 : 0;
  r.wire.peerAddress = r.peer;
  r.type = contentTypeOf(header(c, "Content-Type"));
  // Refuse a body that is too large before the client sends it (an Expect: 100-continue gets the
  // 413 instead of the 100).
  const char* announced = header(c, "Content-Length");
  unsigned long long length = announced ? std::strtoull(announced, nullptr, 10) : 0;
  if (length > m_options.maxBodyBytes || (!r.type.isMultipartRelated() && length > m_options.maxEnvelopeBytes)) {
    r.close = true;
    fault(r, 413, "soapenv:Client", "tooLarge",
          "the request is larger than " +
              std::to_string(r.type.isMultipartRelated() ? m_options.maxBodyBytes : m_options.maxEnvelopeBytes) +
              " bytes");
    return reply(c, r);
  }
  if (r.type.isMultipartRelated()) {
    try {
      r.multipart = std::make_unique<MultipartReader>(r.type.getParameter("boundary"), r.type.getParameter("start"),
                                                      m_options.spoolDirectory, m_options.maxEnvelopeBytes);
    } catch (const MultipartError& e) {
      r.problem = e.what();
    }
  }
  return MHD_YES;
}

void ContentServer::Impl::feed(Request& r, const char* data, size_t n) {
  r.bytesIn += n;
  if (r.bytesIn > m_options.maxBodyBytes) r.overLimit = true;
  if (r.overLimit || r.refused) return;  // read and dropped, so that the connection stays usable
  if (r.type.isXml()) {
    if (r.wire.envelope.size() + n <= m_options.maxEnvelopeBytes) {
      r.wire.envelope.append(data, n);
    } else {
      r.envelopeTooLarge = r.refused = true;
      std::string().swap(r.wire.envelope);
    }
  } else if (r.multipart && r.problem.empty()) {
    try {
      r.multipart->feed(data, n);
    } catch (const MultipartError& e) {
      r.problem = e.what();
      r.problemTooLarge = e.isTooLarge();
      r.refused = true;
    }
  }
}

MHD_Result ContentServer::Impl::finish(MHD_Connection* c, Request& r) {
  if (!r.arrived) {
    r.arrived = true;
    --m_arriving;
  }
  if (r.overLimit) {
    fault(r, 413, "soapenv:Client", "tooLarge",
          "the request is larger than " + std::to_string(m_options.maxBodyBytes) + " bytes");
    return reply(c, r);
  }
  if (r.type.isXml()) {
    if (r.envelopeTooLarge) {
      fault(r, 413, "soapenv:Client", "tooLarge",
            "the envelope is larger than " + std::to_string(m_options.maxEnvelopeBytes) + " bytes");
      return reply(c, r);
    }
  } else if (r.type.isMultipartRelated()) {
    if (r.problem.empty()) {
      try {
        r.multipart->finish();
      } catch (const MultipartError& e) {
        r.problem = e.what();
      }
    }
    if (!r.problem.empty()) {
      fault(r, r.problemTooLarge ? 413 : 400, "soapenv:Client", r.problemTooLarge ? "tooLarge" : "badBody", r.problem);
      return reply(c, r);
    }
  } else {
    fault(r, 415, "soapenv:Client", "unsupportedMediaType",
          "a request is a SOAP 1.1 envelope sent as text/xml, or multipart/related with attachments; not '" +
              std::string(header(c, "Content-Type") ? header(c, "Content-Type") : "") + "'");
    return reply(c, r);
  }
  const char* inject = header(c, "X-DVL-Inject");
  InjectedFailure extra;
  bool hasExtra = false;
  if (m_options.allowInjectHeader && inject) {
    try {
      extra = InjectedFailure::parse(inject);
      hasExtra = true;
    } catch (const std::invalid_argument& e) {
      fault(r, 400, "soapenv:Client", "badInjection", std::string("X-DVL-Inject: ") + e.what());
      return reply(c, r);
    }
  }
  // Carried out on a worker; the connection waits, suspended, and the event loop serves the others.
  ++m_working;
  r.worked = true;
  setPhase(c, ConnectionState::Phase::busy);
  MHD_suspend_connection(c);
  m_workers->post([this, c, &r, extra, hasExtra] {
    try {
      std::vector<std::unique_ptr<ZEBDocumentOutput>> documents;
      ZEBAttachmentList attachments;
      if (r.multipart) {
        r.wire.envelope = r.multipart->root();
        for (const SpooledPart& part : r.multipart->attachments()) {
          documents.push_back(std::make_unique<ZEBDocumentOutput>(part.path, part.contentType));
          attachments.emplace_back(part.contentId.c_str(), documents.back().get());
        }
        if (!attachments.empty()) r.wire.attachments = &attachments;
      }
      bool drop = false;
      ZEBWireReply reply = m_service.handle(r.wire, hasExtra ? &extra : nullptr, drop);
      r.operation = reply.operation;
      r.account = reply.account;
      r.status = reply.httpStatus;
      if (reply.httpStatus >= 400) r.reason = faultReason(reply.envelope);
      if (reply.attachments.empty()) {
        r.body = std::move(reply.envelope);
      } else {
        ZEBMimeBody mime = ZEBMime::buildRelated(reply.envelope, reply.attachments);
        r.body = std::move(mime.body);
        r.contentType = std::move(mime.contentType);
      }
      r.multipart.reset();  // the spool files go now
      if (drop) {
        r.cut = true;
        r.note = "connection dropped on purpose";
      } else if (r.acceptsGzip && r.body.size() > m_options.compressAboveBytes && r.body.size() < kGzipUpTo) {
        r.body = gzip(r.body);
        r.headers.emplace_back("Content-Encoding", "gzip");
      }
    } catch (const std::bad_alloc&) {
      fault(r, 500, "soapenv:Server", "outOfMemory", "the server ran out of memory answering the request");
    } catch (const std::exception& e) {
      fault(r, 500, "soapenv:Server", "internalError", e.what());
    }
    r.ready = true;
    MHD_resume_connection(c);
  });
  return MHD_YES;
}

void ContentServer::Impl::fault(Request& r, int status, const char* code, const std::string& reason,
                                const std::string& text) {
  r.status = status;
  r.reason = reason;
  r.body = ZEBSoap::writeFault(code, text, reason);
  r.contentType = kXml;
  r.ready = true;
}

void ContentServer::Impl::text(Request& r, int status, std::string body, const char* type) {
  r.status = status;
  r.body = std::move(body);
  r.contentType = type;
  r.ready = true;
}

MHD_Result ContentServer::Impl::reply(MHD_Connection* c, Request& r) {
  if (!r.arrived) {  // answered without waiting for the rest of it
    r.arrived = true;
    --m_arriving;
  }
  MHD_Response* response;
  r.bytesOut = r.body.size();
  if (r.cut) {
    // Half the reply, then the connection closes, as if the server died while answering.
    response = MHD_create_response_from_callback(
        r.body.size(), 64 * 1024,
        [](void* cls, uint64_t pos, char* buffer, size_t max) -> ssize_t {
          auto* req = static_cast<Request*>(cls);
          size_t half = req->body.size() / 2;
          if (pos >= half) return MHD_CONTENT_READER_END_WITH_ERROR;
          size_t n = std::min(max, size_t(half - pos));
          std::memcpy(buffer, req->body.data() + pos, n);
          return static_cast<ssize_t>(n);
        },
        &r, nullptr);
  } else {
    // The body lives in the request, which outlives the response.
    response = MHD_create_response_from_buffer(r.body.size(), &r.body[0], MHD_RESPMEM_PERSISTENT);
  }
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", r.contentType.c_str());
  for (const auto& h : r.headers) MHD_add_response_header(response, h.first.c_str(), h.second.c_str());
  if (r.close) MHD_add_response_header(response, "Connection", "close");
  MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(r.status), response);
  MHD_destroy_response(response);
  return queued;
}

void ContentServer::Impl::completed(void* cls, MHD_Connection* c, void** context, MHD_RequestTerminationCode code) {
  auto* self = static_cast<Impl*>(cls);
  auto* r = static_cast<Request*>(*context);
  if (r == nullptr) return;
  *context = nullptr;
  if (!r->arrived) --self->m_arriving;  // the body never arrived whole
  if (code == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED) ++self->m_options.metrics->connectionsTimedOut;
  if (r->worked) --self->m_working;
  --self->m_options.metrics->requestsInFlight;
  double seconds = std::chrono::duration<double>(Clock::now() - r->start).count();
  const char* outcome = r->status == 0 ? "cut" : r->status < 400 ? "ok" : r->worked ? "fault" : "refused";
  self->m_options.metrics->request(r->operation.empty() ? endpointLabel(r->method, r->path) : r->operation, outcome,
                                   seconds);
  if (self->m_options.log) self->log(*r, code);
  self->setPhase(c, ConnectionState::Phase::head);
  delete r;
}

void ContentServer::Impl::log(const Request& r, MHD_RequestTerminationCode code) {
  std::string line =
      utcNow() + " " + (r.peer.empty() ? "-" : r.peer) + " " + printable(r.method) + " " + printable(r.path);
  if (!r.operation.empty()) line += " " + r.operation;
  if (!r.account.empty()) line += " " + printable(r.account);
  line += " " + std::to_string(r.status);
  if (!r.reason.empty()) line += " " + r.reason;
  line += " in=" + std::to_string(r.bytesIn) + " out=" + std::to_string(r.bytesOut);
  line += " " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - r.start).count()) +
          "ms";
  std::string note = r.note;
  if (note.empty() && code != MHD_REQUEST_TERMINATED_COMPLETED_OK) {
    note = code == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED   ? "timed out"
           : code == MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN ? "closed on stop"
           : r.status == 0                                  ? "the client went before the request arrived whole"
                                                            : "the connection closed";
  }
  if (!note.empty()) line += " (" + note + ")";
  m_options.log(line);
}

std::string ContentServer::Impl::wsdl() const {
  std::string text(reinterpret_cast<const char*>(dvlserviceWsdl), dvlserviceWsdlSize);
  for (size_t at; (at = text.find(kWsdlAddress)) != std::string::npos;)
    text.replace(at, std::strlen(kWsdlAddress), url());
  return text;
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
