// Fetching the service's credential key and remembering it per service. A key handed out over a
// channel someone in between can alter would let that someone read every sealed password, so the
// key is only fetched over HTTPS with the certificate verified, or over plain HTTP without a proxy
// to this machine; and a key that differs from the one first seen for the service is refused.
#include "ZEBCredentialKey.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "KRNConfiguration.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"

namespace {

constexpr size_t kMaxKeyReply = 64 * 1024;
constexpr const char* kFileHeader =
    "# Credential keys of DVL services, first seen from this account: origin SHA256:fingerprint.\n"
    "# Delete a service's line to accept a new key from it.\n";

[[noreturn]] void raise(const std::string& endpoint, const std::string& message, const std::string& file = {},
                        int line = 0) {
  ZEBCredentialKeyError error(endpoint, message, file, line);
  ZEBRaise(error, "ZEBCredentialKey");
}

[[noreturn]] void raiseTransport(const std::string& url, const std::string& phase, const std::string& reason,
                                 int httpStatus = 0) {
  ZEBTransportError error(url, phase, reason, httpStatus);
  ZEBRaise(error, "ZEBCredentialKey");
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// ---- endpoints ---------------------------------------------------------------------------------

struct Endpoint {
  std::string scheme, host, port;
  std::string keyUrl;  // <endpoint>/credential-key, without query or fragment
  std::string origin() const { return scheme + "://" + host + ":" + port; }
};

// libcurl's own URL parser, so that the host checked here is the host the request goes to.
Endpoint parseEndpoint(const std::string& endpoint) {
  struct Url {
    CURLU* handle = curl_url();
    ~Url() { curl_url_cleanup(handle); }
    std::string get(CURLUPart part, unsigned flags = 0) const {
      char* text = nullptr;
      if (curl_url_get(handle, part, &text, flags) != CURLUE_OK || text == nullptr) return std::string();
      std::string out(text);
      curl_free(text);
      return out;
    }
  } url;
  auto invalid = [&] { raise(endpoint, "'" + endpoint + "' is not an http:// or https:// URL"); };
  if (url.handle == nullptr || curl_url_set(url.handle, CURLUPART_URL, endpoint.c_str(), 0) != CURLUE_OK) invalid();
  Endpoint e;
  e.scheme = lower(url.get(CURLUPART_SCHEME));
  e.host = lower(url.get(CURLUPART_HOST));
  e.port = url.get(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if ((e.scheme != "http" && e.scheme != "https") || e.host.empty() || e.port.empty()) invalid();
  std::string path = url.get(CURLUPART_PATH);
  while (!path.empty() && path.back() == '/') path.pop_back();
  path += "/credential-key";
  if (curl_url_set(url.handle, CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.handle, CURLUPART_QUERY, nullptr, 0) != CURLUE_OK ||
      curl_url_set(url.handle, CURLUPART_FRAGMENT, nullptr, 0) != CURLUE_OK) {
    invalid();
  }
  e.keyUrl = url.get(CURLUPART_URL);
  if (e.keyUrl.empty()) invalid();
  return e;
}

// localhost (which libcurl always resolves to this machine), 127.0.0.0/8 and ::1, written as
// addresses: a name that merely resolves to a loopback address today is not trusted.
bool isLoopback(const std::string& host) {
  if (host == "localhost") return true;
  unsigned char address[16];
  if (inet_pton(AF_INET, host.c_str(), address) == 1) return address[0] == 127;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    std::string inner = host.substr(1, host.size() - 2);
    in6_addr v6;
    return inet_pton(AF_INET6, inner.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
  }
  return false;
}

// ---- keys --------------------------------------------------------------------------------------

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey readPublicKey(const std::string& pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  EVP_PKEY* key = bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (key != nullptr && EVP_PKEY_id(key) != EVP_PKEY_X25519) {
    EVP_PKEY_free(key);
    key = nullptr;
  }
  return Pkey(key);
}

// The key written afresh, so that nothing else the reply held travels on.
std::string writePublicKey(EVP_PKEY* key) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) raise("", "cannot write a credential key");
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string fingerprintOf(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  int length = i2d_PUBKEY(key, &der);
  if (length <= 0) raise("", "cannot encode a credential key");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  int ok = EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength, EVP_sha256(), nullptr);
  OPENSSL_free(der);
  if (ok != 1) raise("", "cannot hash a credential key");
  std::string base64(4 * ((digestLength + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&base64[0]), digest, static_cast<int>(digestLength));
  base64.resize(static_cast<size_t>(written));
  while (!base64.empty() && base64.back() == '=') base64.pop_back();
  return "SHA256:" + base64;
}

// ---- the known-keys file -----------------------------------------------------------------------

// One line of the file; origin is empty for comments, blank lines and lines not understood, which
// are kept as they are.
struct KnownLine {
  std::string text, origin, fingerprint;
};

std::string systemError(const std::string& what, const std::string& path) {
  return "cannot " + what + " the known-keys file " + path + ": " + std::strerror(errno);
}

std::vector<KnownLine> readKnownKeys(const std::string& path) {
  std::vector<KnownLine> lines;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return lines;
    raise("", systemError("read", path), path);
  }
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      errno = saved;
      raise("", systemError("read", path), path);
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    KnownLine line;
    line.text = text.substr(start, end - start);
    start = end + 1;
    size_t first = line.text.find_first_not_of(" \t");
    if (first != std::string::npos && line.text[first] != '#') {
      size_t space = line.text.find_first_of(" \t", first);
      size_t value = space == std::string::npos ? space : line.text.find_first_not_of(" \t", space);
      if (value != std::string::npos) {
        line.origin = line.text.substr(first, space - first);
        line.fingerprint = line.text.substr(value, line.text.find_first_of(" \t\r", value) - value);
      }
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the folder and any missing parents, each 0700.
void makeFolder(const std::string& folder, const std::string& path) {
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) return;
  std::string parent = folderOf(folder);
  if (parent != folder) makeFolder(parent, path);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) raise("", systemError("make the folder of", path), path);
}

// Holds the file for one read-change-write: a lock on its folder across processes, a mutex within
// this one (flock locks belong to the open file, so two threads would not exclude each other).
class FileLock {
 public:
  explicit FileLock(const std::string& path) : m_guard(mutex()) {
    std::string folder = folderOf(path);
    makeFolder(folder, path);
    m_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) raise("", systemError("open the folder of", path), path);
    while (::flock(m_fd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(m_fd);
      errno = saved;
      raise("", systemError("lock", path), path);
    }
  }
  ~FileLock() { ::close(m_fd); }  // closing releases the lock
  int folder() const { return m_fd; }

 private:
  static std::mutex& mutex() {
    static std::mutex lock;
    return lock;
  }
  std::lock_guard<std::mutex> m_guard;
  int m_fd = -1;
};

// Writes the lines to a new file beside the old one and renames it over it: a reader sees the old
// file or the new one, never a part.
void writeKnownKeys(const std::string& path, const std::vector<KnownLine>& lines, const FileLock& lock) {
  std::string text = ::access(path.c_str(), F_OK) != 0 ? kFileHeader : std::string();
  for (const KnownLine& line : lines) text += line.text + "\n";
  std::string temporary = path + ".XXXXXX";
  int fd = ::mkstemp(&temporary[0]);  // mode 0600
  if (fd < 0) raise("", systemError("write", path), path);
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  int saved = errno;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    saved = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    errno = saved;
    raise("", systemError("write", path), path);
  }
  ::fsync(lock.folder());
}

// ---- which sessions seal with which source ------------------------------------------------------

std::mutex g_bindingLock;
std::map<std::string, std::weak_ptr<ZEBCredentialKeySource>>& bindings() {
  static auto* map = new std::map<std::string, std::weak_ptr<ZEBCredentialKeySource>>();  // outlives static destructors
  return *map;
}

// ---- the fetch ---------------------------------------------------------------------------------

struct Reply {
  std::string body;
  bool tooLarge = false;
};

size_t onWrite(char* bytes, size_t size, size_t count, void* data) {
  auto& reply = *static_cast<Reply*>(data);
  size_t length = size * count;
  if (reply.body.size() + length > kMaxKeyReply) {
    reply.tooLarge = true;
    return 0;
  }
  reply.body.append(bytes, length);
  return length;
}

const char* phaseOf(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      return "connect";
    case CURLE_OPERATION_TIMEDOUT:
      return "timeout";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
      return "TLS";
    default:
      return "receive";
  }
}

}  // namespace

ZEBCredentialKeyError::ZEBCredentialKeyError(std::string endpoint, std::string message, std::string knownKeysFile,
                                             int line)
    : KRNThrowable(std::move(message)),
      m_endpoint(std::move(endpoint)),
      m_knownKeysFile(std::move(knownKeysFile)),
      m_line(line) {}

// ---- ZEBKnownKeys ------------------------------------------------------------------------------

ZEBKnownKeys::ZEBKnownKeys(std::string path) : m_path(path.empty() ? defaultPath() : std::move(path)) {}

std::string ZEBKnownKeys::defaultPath() {
  auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  if (std::string path = variable("DVL_KNOWN_KEYS"); !path.empty()) return path;
  if (std::string config = variable("XDG_CONFIG_HOME"); !config.empty() && config[0] == '/') {
    return config + "/dvl/known-keys";
  }
  std::string home = variable("HOME");
  if (home.empty()) {
    if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir) home = user->pw_dir;
  }
  if (home.empty()) {
    raise("", "there is no home folder to keep the known credential keys in: set DVL_KNOWN_KEYS or knownKeysFile");
  }
  return home + "/.config/dvl/known-keys";
}

std::string ZEBKnownKeys::origin(const std::string& endpoint) {
  return parseEndpoint(endpoint).origin();
}

std::string ZEBKnownKeys::fingerprint(const std::string& publicKeyPem) {
  Pkey key = readPublicKey(publicKeyPem);
  if (!key) raise("", "the credential key is not an X25519 public key in PEM form");
  return fingerprintOf(key.get());
}

void ZEBKnownKeys::check(const std::string& endpoint, const std::string& publicKeyPem) const {
  std::string origin = ZEBKnownKeys::origin(endpoint);
  std::string fingerprint = ZEBKnownKeys::fingerprint(publicKeyPem);
  FileLock lock(m_path);
  std::vector<KnownLine> lines = readKnownKeys(m_path);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].origin != origin) continue;
    if (lines[i].fingerprint == fingerprint) return;
    std::string line = std::to_string(i + 1);
    raise(endpoint,
          "the credential key of " + endpoint + " (" + fingerprint + ") differs from the one remembered for " + origin +
              " in " + m_path + " line " + line + " (" + lines[i].fingerprint +
              "): someone may be intercepting the connection, or the service's key was replaced. Nothing was sealed "
              "with it. If the service's key was changed on purpose, delete line " +
              line + " of " + m_path + " (ZEBKnownKeys::forget) and log on again.",
          m_path, static_cast<int>(i + 1));
  }
  lines.push_back(KnownLine{origin + " " + fingerprint, origin, fingerprint});
  writeKnownKeys(m_path, lines, lock);
}

void ZEBKnownKeys::accept(const std::string& endpoint, const std::string& publicKeyPem) const {
  std::string origin = ZEBKnownKeys::origin(endpoint);
  std::string fingerprint = ZEBKnownKeys::fingerprint(publicKeyPem);
  FileLock lock(m_path);
  std::vector<KnownLine> lines = readKnownKeys(m_path);
  lines.erase(std::remove_if(lines.begin(), lines.end(), [&](const KnownLine& l) { return l.origin == origin; }),
              lines.end());
  lines.push_back(KnownLine{origin + " " + fingerprint, origin, fingerprint});
  writeKnownKeys(m_path, lines, lock);
}

bool ZEBKnownKeys::forget(const std::string& endpoint) const {
  std::string origin = ZEBKnownKeys::origin(endpoint);
  FileLock lock(m_path);
  std::vector<KnownLine> lines = readKnownKeys(m_path);
  size_t before = lines.size();
  lines.erase(std::remove_if(lines.begin(), lines.end(), [&](const KnownLine& l) { return l.origin == origin; }),
              lines.end());
  if (lines.size() == before) return false;
  writeKnownKeys(m_path, lines, lock);
  return true;
}

std::string ZEBKnownKeys::lookup(const std::string& endpoint) const {
  std::string origin = ZEBKnownKeys::origin(endpoint);
  for (const KnownLine& line : readKnownKeys(m_path)) {
    if (line.origin == origin) return line.fingerprint;
  }
  return std::string();
}

// ---- ZEBCredentialKeySource --------------------------------------------------------------------

ZEBCredentialKeySource::ZEBCredentialKeySource(const ZEBHttpSettings& settings) : m_settings(settings) {}

ZEBCredentialKeySource::~ZEBCredentialKeySource() {
  std::lock_guard<std::mutex> lock(g_bindingLock);
  for (const std::string& client : m_clients) bindings().erase(client);
}

std::shared_ptr<ZEBCredentialKeySource> ZEBCredentialKeySource::forSettings(const ZEBHttpSettings& settings) {
  if (!settings.fetchCredentialKey) return nullptr;
  return std::make_shared<ZEBCredentialKeySource>(settings);
}

std::string ZEBCredentialKeySource::fetch(const ZEBHttpSettings& settings) {
  Endpoint endpoint = parseEndpoint(settings.endpoint);
  const std::string& url = endpoint.keyUrl;
  bool loopback = isLoopback(endpoint.host);
  if (!loopback && endpoint.scheme == "http") {
    raise(settings.endpoint, "refusing to fetch the credential key from " + url +
                                 ": over plain HTTP to another host, whoever is in between could hand out a key of "
                                 "their own and read every sealed password. Use an https:// endpoint, or configure "
                                 "the service's key (credentialKey).");
  }
  if (!loopback && !settings.verifyPeer) {
    raise(settings.endpoint, "refusing to fetch the credential key from " + url +
                                 " with certificate verification off: turn verifyPeer on (with caFile for a private "
                                 "CA), or configure the service's key (credentialKey).");
  }
  ZEBKnownKeys known(settings.knownKeysFile);  // a missing home folder is reported before any request

  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  if (!easy) raiseTransport(url, "connect", "libcurl could not create a handle");
  Reply reply;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  // The key is a few hundred bytes: one stall period after connecting is all it may take.
  long timeoutMs = settings.connectTimeoutMs + settings.stallTimeoutMs;
  if (settings.totalTimeoutMs > 0) timeoutMs = std::min(timeoutMs, settings.totalTimeoutMs);
  CURL* h = easy.get();
  bool configured =
      curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK && curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onWrite) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, settings.connectTimeoutMs) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, settings.verifyPeer ? 1L : 0L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, settings.verifyPeer ? 2L : 0L) == CURLE_OK &&
      (settings.caFile.empty() || curl_easy_setopt(h, CURLOPT_CAINFO, settings.caFile.c_str()) == CURLE_OK) &&
      // A proxy would be someone in between on the very road that loopback is trusted for.
      (!loopback || curl_easy_setopt(h, CURLOPT_NOPROXY, "*") == CURLE_OK);
  if (!configured) raiseTransport(url, "configure", "libcurl refused an option");
  CURLcode result = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (reply.tooLarge) {
    raiseTransport(url, "receive", "the reply is larger than " + std::to_string(kMaxKeyReply) + " bytes",
                   static_cast<int>(status));
  }
  if (result != CURLE_OK) {
    raiseTransport(url, phaseOf(result), errorBuffer[0] ? errorBuffer : curl_easy_strerror(result),
                   static_cast<int>(status));
  }
  if (status != 200) raiseTransport(url, "HTTP", "HTTP " + std::to_string(status), static_cast<int>(status));

  Pkey key = readPublicKey(reply.body);
  if (!key) raise(settings.endpoint, "the reply of " + url + " is not an X25519 public key in PEM form");
  std::string pem = writePublicKey(key.get());
  known.check(settings.endpoint, pem);
  return pem;
}

std::string ZEBCredentialKeySource::get() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_key.empty()) m_key = fetch(m_settings);
  return m_key;
}

void ZEBCredentialKeySource::bind(const std::string& clientId) {
  std::lock_guard<std::mutex> lock(g_bindingLock);
  m_clients.insert(clientId);
  bindings()[clientId] = weak_from_this();
}

void ZEBCredentialKeySource::unbind(const std::string& clientId) {
  std::lock_guard<std::mutex> lock(g_bindingLock);
  m_clients.erase(clientId);
  bindings().erase(clientId);
}

void ZEBCredentialKeySource::configure(ZEBHttpSettings& settings, const IKRNConfiguration& configuration) {
  std::string fetch = configuration.lookupString("fetchCredentialKey").c_str();
  if (fetch == "true" || fetch == "1") {
    settings.fetchCredentialKey = true;
  } else if (fetch == "false" || fetch == "0") {
    settings.fetchCredentialKey = false;
  } else if (!fetch.empty()) {
    KRNConfigurationError error(configuration.getSource() +
                                ": setting 'fetchCredentialKey' is neither true nor false: '" + fetch + "'");
    ZEBRaise(error, "ZEBCredentialKey");
  }
  std::string file = configuration.lookupString("knownKeysFile").c_str();
  if (!file.empty() && file[0] != '/') {
    const auto* own = dynamic_cast<const KRNConfiguration*>(&configuration);
    std::string base = own ? own->getBaseDirectory() : std::string();
    if (!base.empty()) file = base + "/" + file;
  }
  if (!file.empty()) settings.knownKeysFile = file;
}

// ---- ZEBHelper ---------------------------------------------------------------------------------

std::string ZEBHelper::getCredentialKeyFor(const char* clientId) {
  std::string configured = getCredentialKey();
  if (!configured.empty() || clientId == nullptr) return configured;
  std::shared_ptr<ZEBCredentialKeySource> source;
  {
    std::lock_guard<std::mutex> lock(g_bindingLock);
    auto found = bindings().find(clientId);
    if (found != bindings().end()) source = found->second.lock();
  }
  return source ? source->get() : std::string();
}
