// Each exchange runs on a pooled easy handle through a multi handle of its own: the multi handle
// keeps the handle's keep-alive connections between exchanges, and driving the loop here lets the
// stall timeout be enforced to the millisecond (libcurl's low-speed limit counts whole seconds and
// its progress callback may wait a second between calls).
#include "ZEBHttpTransport.h"

#include "KRNConfiguration.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <random>
#include <string_view>
#include <thread>

#include "KRNError.h"
#include "KRNThrowable.h"
#include "ZEBCredentialKey.h"
#include "ZEBErrors.h"
#include "ZEBMessageBuffers.h"
#include "ZEBMime.h"
#include "KRNAllocationHooks.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kUploadChunk = 256 * 1024;
constexpr long kReceiveBuffer = 128 * 1024;
constexpr size_t kErrorBodyBytes = 200;
constexpr const char* kRootContentType = "text/xml; charset=utf-8";

[[noreturn]] void raiseTransport(const std::string& endpoint, const std::string& phase, const std::string& reason,
                                 int httpStatus = 0) {
  ZEBTransportError error(endpoint, phase, reason, httpStatus);
  ZEBRaise(error, "ZEBHttpTransport");
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The request body: texts (the envelope, multipart headers) and documents, produced in order as
// libcurl asks for more. Documents are rewound when reached and read straight into libcurl's buffer.
class RequestBody {
 public:
  RequestBody(const ZEBWireRequest& request, const std::string& endpoint) : m_endpoint(endpoint) {
    if (request.attachments == nullptr || request.attachments->empty()) {
      m_contentType = kRootContentType;
      addEnvelope(request.envelope);
    } else {
      std::string boundary = ZEBMime::makeBoundary();
      std::string rootId = ZEBMime::makeContentId();
      m_contentType = ZEBMime::formatRelatedContentType(boundary, rootId);
      addText(ZEBMime::formatPartHeaders(boundary, rootId, kRootContentType, true));
      addEnvelope(request.envelope);
      size_t index = 0;
      for (const auto& [contentId, document] : *request.attachments) {
        ++index;
        if (contentId == nullptr || document == nullptr) {
          raiseTransport(endpoint, "send",
                         "attachment " + std::to_string(index) + " has no " +
                             (contentId == nullptr ? "content identifier" : "document"));
        }
        const char* type = document->getContentType();
        addText(ZEBMime::formatPartHeaders(boundary, contentId, type ? type : "", false));
        Segment s;
        s.document = document;
        s.contentId = contentId;
        s.size = document->getSize();
        m_segments.push_back(std::move(s));
      }
      addText(ZEBMime::formatClose(boundary));
    }
    for (const Segment& s : m_segments) {
      long long size = s.document ? s.size : static_cast<long long>(s.text().size());
      if (size < 0 || m_size < 0) {
        m_size = -1;
      } else {
        m_size += size;
      }
    }
  }

  const std::string& getContentType() const { return m_contentType; }
  // The envelope alone, when the body is nothing else (no attachments); null otherwise.
  const std::string* getEnvelopeOnly() const {
    return m_segments.size() == 1 && m_segments[0].external ? m_segments[0].external : nullptr;
  }
  // libcurl sent the envelope-only body itself (CURLOPT_POSTFIELDS).
  void markSent() { m_index = m_segments.size(); }
  // Bytes in the whole body; -1 when a document does not know its size.
  long long getSize() const { return m_size; }
  bool isDone() const { return m_index == m_segments.size(); }

  void restart() {
    m_index = 0;
    m_offset = 0;
    m_rewound = false;
  }

  // Fills up to length bytes; fewer only at the end of the body. Raises what a document raises.
  size_t read(char* buffer, size_t length) {
    size_t n = 0;
    while (n < length && m_index < m_segments.size()) {
      Segment& s = m_segments[m_index];
      if (s.document == nullptr) {
        std::string_view text = s.text();
        size_t k = std::min<uint64_t>(length - n, text.size() - m_offset);
        std::memcpy(buffer + n, text.data() + m_offset, k);
        n += k;
        m_offset += k;
        if (m_offset == text.size()) next();
        continue;
      }
      if (!m_rewound) {
        s.document->rewind();
        m_rewound = true;
      }
      size_t want = length - n;
      if (s.size >= 0) want = static_cast<size_t>(std::min<uint64_t>(want, static_cast<uint64_t>(s.size) - m_offset));
      size_t k = want > 0 ? s.document->read(buffer + n, want) : 0;
      if (k > want) raiseTransport(m_endpoint, "send", "document <" + s.contentId + "> read more bytes than asked");
      if (k > 0) {
        n += k;
        m_offset += k;
        continue;
      }
      if (s.size >= 0) {
        // The Content-Length already sent counts on the size the document gave.
        if (m_offset < static_cast<uint64_t>(s.size)) {
          raiseTransport(m_endpoint, "send",
                         "document <" + s.contentId + "> ended after " + std::to_string(m_offset) + " of its " +
                             std::to_string(s.size) + " bytes");
        }
        char probe;
        if (s.document->read(&probe, 1) != 0) {
          raiseTransport(m_endpoint, "send",
                         "document <" + s.contentId + "> has more than its " + std::to_string(s.size) + " bytes");
        }
      }
      next();
    }
    return n;
  }

 private:
  struct Segment {
    std::string owned;
    const std::string* external = nullptr;
    ZEBDocumentOutputI* document = nullptr;
    std::string contentId;
    long long size = 0;
    std::string_view text() const { return external ? std::string_view(*external) : std::string_view(owned); }
  };

  void addText(std::string text) {
    Segment s;
    s.owned = std::move(text);
    m_segments.push_back(std::move(s));
  }
  void addEnvelope(const std::string& envelope) {
    Segment s;
    s.external = &envelope;
    m_segments.push_back(std::move(s));
  }
  void next() {
    ++m_index;
    m_offset = 0;
    m_rewound = false;
  }

  const std::string& m_endpoint;
  std::string m_contentType;
  std::vector<Segment> m_segments;
  long long m_size = 0;
  size_t m_index = 0;
  uint64_t m_offset = 0;
  bool m_rewound = false;
};

// What one exchange shares with libcurl's callbacks; they run on the exchanging thread.
struct Exchange {
  Exchange(const ZEBHttpSettings& s, const std::string& url, const ZEBWireRequest& request, bool& anySent)
      : settings(s), endpoint(url), readOnly(request.readOnly), sent(anySent), body(request, url),
        reply(zebsoap::takeBuffer()) {
    reply.clear();
  }

  const ZEBHttpSettings& settings;
  const std::string& endpoint;
  const bool readOnly;
  bool& sent;  // some of the request was handed to libcurl: it may have reached the server
  RequestBody body;
  std::string reply;
  std::string statusLine;
  bool connected = false;
  bool tooLarge = false;
  Clock::time_point lastActivity = Clock::now();
  std::exception_ptr failure;  // raised in a callback, rethrown once libcurl has returned
  const char* errorBuffer = "";  // libcurl's message of the failure, in the connection
  int requestStarts = 0;         // libcurl is about to send the request, once per connection used
  bool resendRefused = false;    // a request that may change the store was not sent a second time
};

// Each handle's callbacks are set once and reach the exchange under way through a slot of its
// connection, which holds null between exchanges: nothing of a finished call stays reachable.
Exchange* exchangeOf(void* slot) { return *static_cast<Exchange**>(slot); }

size_t onRead(char* buffer, size_t size, size_t count, void* data) {
  Exchange* call = exchangeOf(data);
  if (call == nullptr) return CURL_READFUNC_ABORT;
  auto& x = *call;
  x.lastActivity = Clock::now();
  x.sent = true;
  try {
    return x.body.read(buffer, size * count);
  } catch (...) {
    x.failure = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

// libcurl rewinds when it retries on a fresh connection after a kept-alive one closed with no
// reply. The server may have read and carried out the request before it closed, so only a request
// that changes nothing is sent again; any other fails (CURLE_SEND_FAIL_REWIND).
int onSeek(void* data, curl_off_t offset, int origin) {
  Exchange* x = exchangeOf(data);
  if (x == nullptr || offset != 0 || origin != SEEK_SET || !x->readOnly) return CURL_SEEKFUNC_CANTSEEK;
  x->body.restart();
  return CURL_SEEKFUNC_OK;
}

size_t onWrite(char* bytes, size_t size, size_t count, void* data) {
  Exchange* call = exchangeOf(data);
  if (call == nullptr) return 0;
  auto& x = *call;
  size_t length = size * count;
  x.lastActivity = Clock::now();
  if (static_cast<long long>(x.reply.size() + length) > x.settings.maxReplyBytes) {
    x.tooLarge = true;
    return 0;
  }
  try {
    x.reply.append(bytes, length);
  } catch (...) {
    x.failure = std::current_exception();
    return 0;
  }
  return length;
}

size_t onHeader(char* bytes, size_t size, size_t count, void* data) {
  Exchange* call = exchangeOf(data);
  if (call == nullptr) return 0;
  auto& x = *call;
  size_t length = size * count;
  x.lastActivity = Clock::now();
  std::string_view line(bytes, length);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (startsWithNoCase(line, "http/")) {
    x.statusLine.assign(line);  // a 100 Continue is followed by the real status line
  } else if (startsWithNoCase(line, "content-length:")) {
    long long announced = std::atoll(std::string(line.substr(15)).c_str());
    if (announced > 0 && announced <= x.settings.maxReplyBytes) {
      try {
        x.reply.reserve(static_cast<size_t>(announced));
      } catch (...) {
        x.failure = std::current_exception();
        return 0;
      }
    }
  }
  return length;
}

// Called before each sending of the request. libcurl sends it again, with no seek for a body it
// holds whole, on a fresh connection after a kept-alive one closed with no reply; as in onSeek only
// a request that changes nothing may go twice.
int onConnected(void* data, char*, char*, int, int) {
  Exchange* call = exchangeOf(data);
  if (call == nullptr) return CURL_PREREQFUNC_ABORT;
  auto& x = *call;
  if (++x.requestStarts > 1 && !x.readOnly) {
    x.resendRefused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  x.connected = true;
  x.lastActivity = Clock::now();
  return CURL_PREREQFUNC_OK;
}

template <class T>
void setOption(CURL* easy, CURLoption option, T value, const std::string& endpoint) {
  CURLcode rc = curl_easy_setopt(easy, option, value);
  if (rc != CURLE_OK) raiseTransport(endpoint, "configure", std::string("libcurl: ") + curl_easy_strerror(rc));
}

// A body excerpt fit for an error message: control characters become spaces or '?'.
std::string excerpt(const std::string& body) {
  std::string out = body.substr(0, kErrorBodyBytes);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\t') {
      c = ' ';
    } else if ((static_cast<unsigned char>(c) < 0x20) || c == 0x7f) {
      c = '?';
    }
  }
  return out;
}

bool looksLikeEnvelope(const std::string& text) {
  return std::string_view(text).substr(0, 4096).find("Envelope") != std::string_view::npos;
}

bool isTlsFailure(CURLcode code) {
  switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void raiseCurlFailure(const Exchange& x, CURL* easy, CURLcode code) {
  const std::string& endpoint = x.endpoint;
  std::string detail = x.errorBuffer[0] ? x.errorBuffer : curl_easy_strerror(code);
  const std::string sendOrReceive = x.body.isDone() ? "receive" : "send";
  // A reply that fails after its status line keeps the status; 0 when none arrived.
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  const int httpStatus = static_cast<int>(status);
  if (x.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    raiseTransport(endpoint, "receive",
                   "the reply is larger than the maximum of " + std::to_string(x.settings.maxReplyBytes) + " bytes",
                   httpStatus);
  }
  if (isTlsFailure(code)) raiseTransport(endpoint, "TLS", detail);
  if (x.resendRefused) code = CURLE_SEND_FAIL_REWIND;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      raiseTransport(endpoint, "connect", detail);
    case CURLE_OPERATION_TIMEDOUT: {
      if (x.connected) {
        raiseTransport(endpoint, "timeout",
                       "the exchange took longer than " + std::to_string(x.settings.totalTimeoutMs) + " ms: " + detail,
                       httpStatus);
      }
      curl_off_t tcp = 0;
      curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &tcp);
      bool https = startsWithNoCase(endpoint, "https://");
      raiseTransport(endpoint, https && tcp > 0 ? "TLS" : "connect", detail);
    }
    case CURLE_PARTIAL_FILE:
      raiseTransport(endpoint, "receive", "reply truncated: " + detail, httpStatus);
    case CURLE_SEND_FAIL_REWIND:
      raiseTransport(endpoint, "receive",
                     "the connection closed with no reply after the request was sent; a request that may "
                     "change the store is not sent again",
                     httpStatus);
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      raiseTransport(endpoint, "receive", detail, httpStatus);
    default:
      raiseTransport(endpoint, x.connected ? sendOrReceive : "connect", detail, httpStatus);
  }
}

std::string statusText(const Exchange& x, long status) {
  // "HTTP/1.1 401 Unauthorized" -> "HTTP 401 Unauthorized"
  size_t space = x.statusLine.find(' ');
  if (space == std::string::npos) return "HTTP " + std::to_string(status);
  return "HTTP " + x.statusLine.substr(space + 1);
}

ZEBWireReply readReply(Exchange& x, CURL* easy) {
  const std::string& endpoint = x.endpoint;
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  char* type = nullptr;
  curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
  const std::string_view typeText = type ? type : "";

  ZEBContentType contentType;
  bool soapType = typeText == kRootContentType;  // the usual reply, known without parsing
  if (!soapType) {
    try {
      contentType = ZEBMime::parseContentType(typeText);
      soapType = contentType.isXml() || contentType.isMultipartRelated();
    } catch (const ZEBMalformedMessage&) {
      soapType = false;
    }
  }

  // SOAP 1.1 sends faults with 500, but a service may answer a refused request (400, 413, 415) with
  // a fault too: whatever the error status, a fault envelope is the service's answer.
  if ((status == 200 || status >= 400) && soapType) {
    ZEBWireReply reply;
    reply.httpStatus = static_cast<int>(status);
    if (contentType.isMultipartRelated()) {
      try {
        ZEBMimeMessage message = ZEBMime::readRelated(contentType, x.reply);
        std::string().swap(x.reply);
        reply.envelope = std::move(message.envelope);
        reply.attachments = std::move(message.attachments);
      } catch (const ZEBMalformedMessage& e) {
        raiseTransport(endpoint, "receive", e.getMessage(), static_cast<int>(status));
      }
    } else {
      reply.envelope = std::move(x.reply);
    }
    // An error from something other than the service (a proxy, a servlet container) is no fault,
    // and neither is an envelope without one.
    if (status == 200) return reply;
    if (looksLikeEnvelope(reply.envelope) && reply.envelope.find("Fault>") != std::string::npos) return reply;
    x.reply = std::move(reply.envelope);
  }

  std::string reason = statusText(x, status);
  if (status == 200 || status == 500) {
    reason += typeText.empty() ? " without a Content-Type" : " with Content-Type '" + std::string(typeText) + "'";
    reason += ", not a SOAP reply";
  }
  if (!x.reply.empty()) reason += ": " + excerpt(x.reply);
  raiseTransport(endpoint, "HTTP", reason, static_cast<int>(status));
}

}  // namespace

// A pooled handle and what is set on it. The options that are the same for every call (callbacks,
// timeouts, limits, TLS) are set once, when the handle is first used; a call sets only what is its
// own: the address when it changed, the body and its size, and the header list when its lines
// changed. Nothing else is set per call, so nothing of one call can carry over to the next, and a
// handle whose call failed is never pooled again (exchangeWith's Lease).
struct ZEBHttpTransport::Connection {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;        // keeps the easy handle's connections between exchanges
  Exchange* current = nullptr;   // the exchange under way, the callbacks' data; null between
  bool configured = false;       // the options common to every call are set
  std::string url;               // the address set on the handle
  CURLU* parsedUrl = nullptr;    // the same, parsed once (CURLOPT_CURLU)
  curl_slist* headers = nullptr; // the header list set on the handle
  bool headersReusable = false;  // headers hold the lines of an envelope-only request for:
  bool headersTrusted = false;
  std::string headersAction;
  char errorBuffer[CURL_ERROR_SIZE] = {0};

  ~Connection() {
    if (multi) curl_multi_cleanup(multi);
    if (easy) curl_easy_cleanup(easy);
    if (parsedUrl) curl_url_cleanup(parsedUrl);
    curl_slist_free_all(headers);
  }
};

struct ZEBHttpTransport::Attempt {
  bool sent = false;     // some of the request may have reached the server
  bool dropped = false;  // the connection broke or closed before any of the reply arrived
};

ZEBHttpTransport::ZEBHttpTransport(ZEBHttpSettings settings) : m_settings(std::move(settings)) {
  if (m_settings.endpoints.empty()) {
    m_endpoints.push_back(m_settings.endpoint);
  } else {
    m_endpoints = m_settings.endpoints;
    m_settings.endpoint = m_endpoints.front();
  }
  const std::string& url = m_settings.endpoint;
  auto invalid = [&](const std::string& why) { raiseTransport(url, "configure", why); };
  for (const std::string& address : m_endpoints) {
    bool http = startsWithNoCase(address, "http://") && address.size() > 7;
    bool https = startsWithNoCase(address, "https://") && address.size() > 8;
    if (!http && !https) raiseTransport(address, "configure", "the endpoint must be an http:// or https:// URL");
    if (address.find_first_of("\r\n ") != std::string::npos) {
      raiseTransport(address, "configure", "the endpoint contains white space");
    }
  }
  if (m_settings.connectTimeoutMs <= 0) invalid("the connect timeout must be positive");
  if (m_settings.stallTimeoutMs <= 0) invalid("the stall timeout must be positive");
  if (m_settings.totalTimeoutMs < 0) invalid("the total timeout must not be negative");
  if (m_settings.maxReplyBytes <= 0) invalid("the maximum reply size must be positive");
  if (m_settings.poolSize < 0) invalid("the connection pool size must not be negative");
  if (m_settings.retries < 0) invalid("the number of retries must not be negative");
  if (m_settings.retryDelayMs < 0 || m_settings.retryWindowMs < 0) invalid("the retry delay and window must not be negative");
  m_idle.reserve(static_cast<size_t>(m_settings.poolSize));  // release() then never allocates
  // The first handle is made here: should the host have skipped ZEB::initialize, libcurl's
  // process set-up then happens on this thread rather than racing on several.
  release(acquire());
}

ZEBHttpTransport::~ZEBHttpTransport() = default;

std::unique_ptr<ZEBHttpTransport::Connection> ZEBHttpTransport::acquire() {
  {
    std::lock_guard<std::mutex> lock(m_poolLock);
    if (!m_idle.empty()) {
      std::unique_ptr<Connection> c = std::move(m_idle.back());
      m_idle.pop_back();
      return c;
    }
  }
  auto c = std::make_unique<Connection>();
  c->easy = curl_easy_init();
  c->multi = curl_multi_init();
  if (c->easy == nullptr || c->multi == nullptr) {
    raiseTransport(m_settings.endpoint, "connect", "libcurl could not create a handle");
  }
  return c;
}

void ZEBHttpTransport::release(std::unique_ptr<Connection> connection) {
  std::lock_guard<std::mutex> lock(m_poolLock);
  if (m_idle.size() < static_cast<size_t>(m_settings.poolSize)) m_idle.push_back(std::move(connection));
  // Otherwise the handle and its connection close here.
}

// Each pass tries every address once, from the one that answered last, moving on when a connection
// is refused. A read-only request also moves on after a 503 or a connection that broke before the
// reply; when a pass ends without a reply it waits and makes another, within the retry limits.
ZEBWireReply ZEBHttpTransport::exchange(const ZEBWireRequest& request) {
  const auto began = Clock::now();
  const size_t count = m_endpoints.size();
  int retriesLeft = request.readOnly ? m_settings.retries : 0;
  long delayMs = m_settings.retryDelayMs;
  std::exception_ptr failure;
  std::optional<ZEBWireReply> unavailable;  // a 503 that carried a SOAP fault
  for (;;) {
    const size_t first = m_current.load(std::memory_order_relaxed);
    for (size_t k = 0; k < count; ++k) {
      const size_t index = (first + k) % count;
      Attempt attempt;
      try {
        ZEBWireReply reply = exchangeWith(m_endpoints[index], request, attempt);
        if (reply.httpStatus == 503 && request.readOnly) {
          unavailable = std::move(reply);
          failure = nullptr;
          continue;
        }
        if (index != first) m_current.store(index, std::memory_order_relaxed);
        return reply;
      } catch (const ZEBTransportError& e) {
        const bool refused = e.getPhase() == "connect" && !attempt.sent;
        if (!refused && !(request.readOnly && (attempt.dropped || e.getHttpStatus() == 503))) throw;
        failure = std::current_exception();
        unavailable.reset();
      }
    }
    if (retriesLeft-- <= 0) break;
    // Up to half of the delay is taken off at random, so that clients turned away together do not
    // come back together.
    thread_local std::minstd_rand random(static_cast<unsigned>(
        std::hash<std::thread::id>()(std::this_thread::get_id()) ^ Clock::now().time_since_epoch().count()));
    const long waitMs = delayMs - static_cast<long>(random() % static_cast<unsigned long>(delayMs / 2 + 1));
    const long elapsedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count());
    if (waitMs > m_settings.retryWindowMs - elapsedMs) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    delayMs = delayMs > m_settings.retryWindowMs / 2 ? m_settings.retryWindowMs : delayMs * 2;
  }
  if (unavailable) return std::move(*unavailable);
  std::rethrow_exception(failure);
}

void ZEBHttpTransport::configure(Connection& connection, const std::string& endpoint) const {
  CURL* easy = connection.easy;
  Exchange** slot = &connection.current;
  setOption(easy, CURLOPT_PROTOCOLS_STR, "http,https", endpoint);
  setOption(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1), endpoint);
  setOption(easy, CURLOPT_POST, 1L, endpoint);
  // Used when a call sets no CURLOPT_POSTFIELDS (a body with attachments).
  setOption(easy, CURLOPT_READFUNCTION, &onRead, endpoint);
  setOption(easy, CURLOPT_READDATA, slot, endpoint);
  setOption(easy, CURLOPT_SEEKFUNCTION, &onSeek, endpoint);
  setOption(easy, CURLOPT_SEEKDATA, slot, endpoint);
  setOption(easy, CURLOPT_WRITEFUNCTION, &onWrite, endpoint);
  setOption(easy, CURLOPT_WRITEDATA, slot, endpoint);
  setOption(easy, CURLOPT_HEADERFUNCTION, &onHeader, endpoint);
  setOption(easy, CURLOPT_HEADERDATA, slot, endpoint);
  setOption(easy, CURLOPT_PREREQFUNCTION, &onConnected, endpoint);
  setOption(easy, CURLOPT_PREREQDATA, slot, endpoint);
  setOption(easy, CURLOPT_ERRORBUFFER, connection.errorBuffer, endpoint);
  setOption(easy, CURLOPT_NOSIGNAL, 1L, endpoint);
  setOption(easy, CURLOPT_TCP_NODELAY, 1L, endpoint);
  setOption(easy, CURLOPT_TCP_KEEPALIVE, 1L, endpoint);
  setOption(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadChunk, endpoint);
  setOption(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer, endpoint);
  setOption(easy, CURLOPT_CONNECTTIMEOUT_MS, m_settings.connectTimeoutMs, endpoint);
  setOption(easy, CURLOPT_TIMEOUT_MS, m_settings.totalTimeoutMs, endpoint);
  setOption(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(m_settings.maxReplyBytes), endpoint);
  setOption(easy, CURLOPT_SSL_VERIFYPEER, m_settings.verifyPeer ? 1L : 0L, endpoint);
  setOption(easy, CURLOPT_SSL_VERIFYHOST, m_settings.verifyPeer ? 2L : 0L, endpoint);
  if (!m_settings.caFile.empty()) setOption(easy, CURLOPT_CAINFO, m_settings.caFile.c_str(), endpoint);
  // libcurl decodes before onWrite, which counts the decoded bytes against maxReplyBytes.
  if (m_settings.acceptGzip) setOption(easy, CURLOPT_ACCEPT_ENCODING, "gzip", endpoint);
  connection.configured = true;
}

ZEBWireReply ZEBHttpTransport::exchangeWith(const std::string& endpoint, const ZEBWireRequest& request,
                                            Attempt& attempt) {
  if (std::strpbrk(request.soapAction.c_str(), "\r\n\"") != nullptr) {
    raiseTransport(endpoint, "send", "the SOAP action contains a line break or a quote");
  }
  Exchange x(m_settings, endpoint, request, attempt.sent);

  // A handle goes back to the pool only after a call that succeeded with every allocation granted:
  // one that failed half-way, or where libcurl recovered from running out of memory, may be left
  // unfit for the next call (libcurl 7.88 refuses CURLOPT_BUFFERSIZE once a transfer that did not
  // finish left its receive buffer behind), or hold options of that call.
  struct Lease {
    ZEBHttpTransport& transport;
    std::unique_ptr<Connection> connection;
    int exceptionsInFlight = std::uncaught_exceptions();
    long failedAllocations = KRN::failedAllocations();
    ~Lease() {
      if (std::uncaught_exceptions() == exceptionsInFlight && KRN::failedAllocations() == failedAllocations) {
        transport.release(std::move(connection));
      }
    }
  } lease{*this, acquire()};
  Connection& connection = *lease.connection;
  CURL* easy = connection.easy;
  CURLM* multi = connection.multi;
  connection.errorBuffer[0] = '\0';
  x.errorBuffer = connection.errorBuffer;

  if (!connection.configured) configure(connection, endpoint);
  if (connection.url != endpoint) {
    connection.url.clear();  // unknown should the option fail
    // Given as text, libcurl parses the address again for every transfer and takes its parts
    // apart with an allocation each: ~9,000 of the ~165,000 instructions of a small call.
    // Parsed once, it only copies the parsed form. An address it cannot parse is still handed
    // over as text, so that the call fails as it always did.
    if (connection.parsedUrl == nullptr) connection.parsedUrl = curl_url();
    if (connection.parsedUrl != nullptr &&
        curl_url_set(connection.parsedUrl, CURLUPART_URL, endpoint.c_str(), 0) == CURLUE_OK) {
      setOption(easy, CURLOPT_CURLU, connection.parsedUrl, endpoint);
    } else {
      setOption(easy, CURLOPT_CURLU, static_cast<CURLU*>(nullptr), endpoint);
      setOption(easy, CURLOPT_URL, endpoint.c_str(), endpoint);
    }
    connection.url = endpoint;
  }

  // An envelope-only request's header lines depend on its action and trust alone: the list stays
  // on the handle while they are the same. A multipart one names a boundary of its own.
  const std::string* envelope = x.body.getEnvelopeOnly();
  const bool trusted = request.trusted != 0;
  if (!(envelope && connection.headersReusable && connection.headersTrusted == trusted &&
        connection.headersAction == request.soapAction)) {
    struct HeaderList {
      curl_slist* list = nullptr;
      void add(const std::string& line) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) KRN::raiseOutOfMemory(KRNFileLocation("ZEBHttpTransport", 0));
        list = grown;
      }
      ~HeaderList() { curl_slist_free_all(list); }
    } headers;
    headers.add("Content-Type: " + x.body.getContentType());
    headers.add("SOAPAction: \"" + request.soapAction + "\"");
    headers.add("Accept: text/xml, multipart/related");
    headers.add("Expect:");  // no 100-continue round trip before every large body
    if (x.body.getSize() < 0) headers.add("Transfer-Encoding: chunked");
    if (trusted) headers.add("X-DVL-Trusted: 1");
    connection.headersReusable = false;
    setOption(easy, CURLOPT_HTTPHEADER, headers.list, endpoint);
    std::swap(connection.headers, headers.list);  // the old list goes with headers
    connection.headersAction = request.soapAction;
    connection.headersTrusted = trusted;
    connection.headersReusable = envelope != nullptr;
  }
  setOption(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(x.body.getSize()), endpoint);
  // Handed over whole, libcurl sends a small body with the headers in one write; through the read
  // callback (no CURLOPT_POSTFIELDS) it sends them apart, which costs the service a second read and
  // the call a second round of wake-ups on both sides.
  setOption(easy, CURLOPT_POSTFIELDS, envelope ? envelope->data() : nullptr, endpoint);

  CURLMcode added = curl_multi_add_handle(multi, easy);
  if (added != CURLM_OK) raiseTransport(endpoint, "send", std::string("libcurl: ") + curl_multi_strerror(added));
  // Detached before the lease goes back to the pool, the callbacks no longer reaching this frame.
  connection.current = &x;
  struct Attachment {
    Connection& connection;
    ~Attachment() {
      curl_multi_remove_handle(connection.multi, connection.easy);
      connection.current = nullptr;
    }
  } attachment{connection};

  const auto stall = std::chrono::milliseconds(m_settings.stallTimeoutMs);
  curl_off_t uploaded = 0;
  int running = 1;
  bool stalled = false;
  for (;;) {
    CURLMcode rc = curl_multi_perform(multi, &running);
    if (rc != CURLM_OK) raiseTransport(endpoint, "send", std::string("libcurl: ") + curl_multi_strerror(rc));
    if (running == 0) break;

    auto now = Clock::now();
    curl_off_t sent = 0;
    curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &sent);
    if (sent != uploaded) {
      uploaded = sent;
      x.lastActivity = now;
    }
    // While connecting only the connect timeout applies; libcurl's own timer ends that wait.
    long waitMs = 1000;
    if (x.connected) {
      auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - x.lastActivity);
      if (idle >= stall) {
        stalled = true;
        break;
      }
      waitMs = std::min<long>(waitMs, static_cast<long>((stall - idle).count()));
    }
    rc = curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::max<long>(waitMs, 1)), nullptr);
    if (rc != CURLM_OK) raiseTransport(endpoint, "receive", std::string("libcurl: ") + curl_multi_strerror(rc));
  }

  if (x.body.getEnvelopeOnly()) {
    curl_off_t sent = 0;
    curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &sent);
    if (sent == x.body.getSize()) x.body.markSent();
  }
  if (stalled) {
    bool sending = !x.body.isDone() && x.statusLine.empty();
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    raiseTransport(endpoint, sending ? "send" : "receive",
                   "timed out after " + std::to_string(m_settings.stallTimeoutMs) + " ms without " +
                       (sending ? "progress" : "data"),
                   static_cast<int>(status));
  }

  CURLcode result = CURLE_OK;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) result = message->data.result;
  }
  if (x.failure) std::rethrow_exception(x.failure);
  if (result != CURLE_OK) {
    // Closed or reset before the first byte of a reply: the server went away (or was restarted)
    // under the request. A reply cut short after it began is reported, never retried.
    attempt.dropped = x.statusLine.empty() &&
                      (result == CURLE_GOT_NOTHING || result == CURLE_SEND_ERROR || result == CURLE_RECV_ERROR);
    raiseCurlFailure(x, easy, result);
  }
  return readReply(x, easy);
}

VorbTK::~VorbTK() = default;

ZEBLiveVorbTK::ZEBLiveVorbTK(ZEBHttpSettings settings)
    : m_transport(std::make_shared<ZEBHttpTransport>(std::move(settings))),
      m_credentialKey(ZEBCredentialKeySource::forSettings(m_transport->getSettings())) {}

ZEBLiveVorbTK::~ZEBLiveVorbTK() {
  for (ZEBSOAPSessionI* session : m_sessions) delete session;
}

ZEBSOAPSessionI* ZEBLiveVorbTK::createSession() {
  auto session = std::make_unique<ZEBSOAPSession>(m_transport);
  if (m_credentialKey) m_credentialKey->bind(session->getClientID());
  std::lock_guard<std::mutex> lock(m_lock);
  m_sessions.insert(session.get());
  return session.release();
}

void ZEBLiveVorbTK::releaseSession(ZEBSOAPSessionI* session) {
  if (session == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_sessions.erase(session) == 0) {
      KRNRuntimeError error("ZEBLiveVorbTK::releaseSession: the session was not made by this factory");
      ZEBRaise(error, "ZEBHttpTransport");
    }
  }
  if (m_credentialKey) m_credentialKey->unbind(static_cast<ZEBSOAPSession*>(session)->getClientID());
  delete session;
}

ZEBHttpSettings ZEBHttpSettings::fromConfiguration(const std::string& endpoint) {
  IKRNConfiguration& configuration = KRNConfigurationFactory::getInstance();
  ZEBHttpSettings settings;
  settings.endpoint = endpoint.empty() ? configuration.lookupString("contentManager").c_str() : endpoint;
  if (endpoint.empty()) {
    std::vector<std::string> more = configuration.lookupValues(I18NString("endpoints"), IKRNConfiguration::EFFECTIVE);
    if (!more.empty()) {
      if (!settings.endpoint.empty()) settings.endpoints.push_back(settings.endpoint);
      for (std::string& address : more) {
        if (std::find(settings.endpoints.begin(), settings.endpoints.end(), address) == settings.endpoints.end()) {
          settings.endpoints.push_back(std::move(address));
        }
      }
    }
  }
  settings.connectTimeoutMs = static_cast<long>(configuration.lookupInteger("connectTimeout", settings.connectTimeoutMs));
  settings.stallTimeoutMs = static_cast<long>(configuration.lookupInteger("stallTimeout", settings.stallTimeoutMs));
  settings.totalTimeoutMs = static_cast<long>(configuration.lookupInteger("totalTimeout", settings.totalTimeoutMs));
  ZEBCredentialKeySource::configure(settings, configuration);
  settings.retries = static_cast<int>(configuration.lookupInteger("retries", settings.retries));
  settings.retryDelayMs = static_cast<long>(configuration.lookupInteger("retryDelay", settings.retryDelayMs));
  settings.retryWindowMs = static_cast<long>(configuration.lookupInteger("retryWindow", settings.retryWindowMs));
  settings.acceptGzip = configuration.lookupInteger("compressReplies", settings.acceptGzip ? 1 : 0) != 0;
  return settings;
}
