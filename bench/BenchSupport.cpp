#include "BenchSupport.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <malloc.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "ContentServer.h"
#include "ContentService.h"
#include "ContentStore.h"
#include "DVLLogon.h"
#include "ZEBHelper.h"

namespace bench {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// A kB figure of /proc/self/status ("VmRSS", "VmHWM") in bytes.
long long statusField(const char* name) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long long kb = -1;
  size_t length = std::strlen(name);
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
      kb = std::atoll(line + length + 1);
      break;
    }
  }
  std::fclose(f);
  return kb < 0 ? -1 : kb * 1024;
}

size_t appendToString(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

}  // namespace

// ---------------------------------------------------------------- registration

void registerRounds(const std::vector<Case>& cases, int rounds) {
  for (int round = 1; round <= rounds; ++round) {
    for (const Case& c : cases) {
      std::string name = c.name + "/round:" + std::to_string(round);
      benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(name.c_str(), c.function);
      if (c.configure) c.configure(b);
    }
  }
}

int roundsFromEnvironment(int fallback) {
  const char* text = std::getenv("DVL_BENCH_ROUNDS");
  int rounds = text ? std::atoi(text) : 0;
  return rounds > 0 && rounds <= 20 ? rounds : fallback;
}

// ---------------------------------------------------------------- servers

EmbeddedServer::EmbeddedServer() {
  dvlservice::ServiceOptions serviceOptions;
  serviceOptions.storePath = ":memory:";
  m_service = std::make_unique<dvlservice::ContentService>(serviceOptions);
  dvlservice::ServerOptions serverOptions;
  serverOptions.port = 0;
  m_server = std::make_unique<dvlservice::ContentServer>(*m_service, serverOptions);
  m_server->start();
  ZEBHelper::setCredentialKey(m_service->getCredentialPublicKey().c_str());
}

EmbeddedServer::~EmbeddedServer() {
  m_server->stop();
  m_server.reset();
  m_service.reset();
}

std::string EmbeddedServer::getUrl() const { return m_server->getUrl(); }

std::string EmbeddedServer::addFolderOfReports(const std::string& name, int count) {
  dvlservice::ContentStore& store = m_service->getStore();
  auto tx = store.write();
  auto content = tx.child(tx.rootId(), "content");
  if (!content) fail("the store has no /content folder");
  dvlservice::NewObject folder;
  folder.objectClass = "folder";
  folder.name = name;
  dvlservice::ObjectRecord made = tx.insert(content->id, folder);
  for (int i = 0; i < count; ++i) {
    dvlservice::NewObject report;
    report.objectClass = "report";
    char reportName[32];
    std::snprintf(reportName, sizeof reportName, "Report %03d", i);
    report.name = reportName;
    tx.insert(made.id, report);
  }
  tx.commit();
  return "/content/" + name + "/*";
}

ChildServer::ChildServer(const std::string& directory) {
  int out[2];
  if (::pipe(out) != 0) fail("pipe: " + std::string(std::strerror(errno)));
  std::string store = directory + "/s.db";
  m_pid = ::fork();
  if (m_pid < 0) fail("fork: " + std::string(std::strerror(errno)));
  if (m_pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    // The spool of incoming attachments goes with the store, so that one removal clears both.
    ::setenv("TMPDIR", directory.c_str(), 1);
    ::execl(DVL_CONTENTD, DVL_CONTENTD, "--listen", "127.0.0.1:0", "--store", store.c_str(), "--log", "off",
            static_cast<char*>(nullptr));
    std::perror("exec dvl-contentd");
    ::_exit(127);
  }
  ::close(out[1]);
  // "listening on http://127.0.0.1:PORT/dvl"
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  const std::string prefix = "listening on ";
  if (line.compare(0, prefix.size(), prefix) != 0) {
    ::kill(m_pid, SIGTERM);
    ::waitpid(m_pid, nullptr, 0);
    fail("dvl-contentd did not start: '" + line + "'");
  }
  m_url = line.substr(prefix.size());
}

ChildServer::~ChildServer() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGTERM);
    ::waitpid(m_pid, nullptr, 0);
  }
}

std::string ChildServer::fetchCredentialKey() const {
  std::string pem;
  CURL* curl = curl_easy_init();
  std::string url = m_url + "/credential-key";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &appendToString);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &pem);
  CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK || pem.find("BEGIN PUBLIC KEY") == std::string::npos) fail("cannot fetch " + url);
  return pem;
}

// ---------------------------------------------------------------- client side

void logOn(ZEBSOAPSessionI& session) {
  DVLLogon logon(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  logon.addCredentials("LDAP", "demo", "demo", 1);
  logon.execute();
}

std::string sealedCredentials(const std::string& clientId) {
  const char plain[] = "<credential><namespace>LDAP</namespace><username>demo</username><password>demo</password></credential>";
  KRNByteBuffer sealed(256, 256);
  ZEBHelper::encryptAndEncode(plain, sizeof plain - 1, clientId.c_str(), sealed);
  return std::string("<credential><encryptedValue>") + sealed.str() + "</encryptedValue></credential>";
}

ZEBWireReply CapturingTransport::exchange(const ZEBWireRequest& request) {
  ZEBWireReply reply = m_inner->exchange(request);
  if (!m_capturing) return reply;
  std::lock_guard<std::mutex> lock(m_lock);
  m_envelope = request.envelope;
  m_soapAction = request.soapAction;
  m_reply = reply.envelope;
  return reply;
}

std::string CapturingTransport::lastEnvelope() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_envelope;
}

std::string CapturingTransport::lastSoapAction() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_soapAction;
}

std::string CapturingTransport::lastReply() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_reply;
}

CurlPoster::CurlPoster(std::string url) : m_url(std::move(url)), m_easy(curl_easy_init()) {
  if (m_easy == nullptr) fail("curl_easy_init failed");
}

CurlPoster::~CurlPoster() {
  curl_slist_free_all(m_headers);
  curl_easy_cleanup(static_cast<CURL*>(m_easy));
}

// The headers the live transport sends; rebuilt only when they change, as a host would.
void CurlPoster::setHeaders(const std::string& contentType, const std::string& soapAction) {
  std::string key = contentType + "\n" + soapAction;
  if (m_headers != nullptr && key == m_headerKey) return;
  curl_slist_free_all(m_headers);
  m_headers = nullptr;
  m_headers = curl_slist_append(m_headers, ("Content-Type: " + contentType).c_str());
  m_headers = curl_slist_append(m_headers, ("SOAPAction: \"" + soapAction + "\"").c_str());
  m_headers = curl_slist_append(m_headers, "Accept: text/xml, multipart/related");
  m_headers = curl_slist_append(m_headers, "Expect:");
  m_headerKey = key;
}

long CurlPoster::perform(std::string& reply) {
  CURL* easy = static_cast<CURL*>(m_easy);
  reply.clear();
  curl_easy_setopt(easy, CURLOPT_URL, m_url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_headers);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &appendToString);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
  CURLcode rc = curl_easy_perform(easy);
  if (rc != CURLE_OK) fail(std::string("libcurl: ") + curl_easy_strerror(rc));
  long status = 0, connects = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
  m_connects += connects;
  return status;
}

long CurlPoster::postEnvelope(const std::string& body, const std::string& soapAction, std::string& reply) {
  CURL* easy = static_cast<CURL*>(m_easy);
  setHeaders("text/xml; charset=utf-8", soapAction);
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  return perform(reply);
}

namespace {
struct StreamSource {
  const std::function<size_t(char*, size_t)>* read;
};
size_t readStream(char* buffer, size_t size, size_t count, void* data) {
  return (*static_cast<StreamSource*>(data)->read)(buffer, size * count);
}
}  // namespace

long CurlPoster::postStream(long long size, const std::string& contentType, const std::string& soapAction,
                            const std::function<size_t(char*, size_t)>& read, std::string& reply) {
  CURL* easy = static_cast<CURL*>(m_easy);
  setHeaders(contentType, soapAction);
  StreamSource source{&read};
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, static_cast<char*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, &readStream);
  curl_easy_setopt(easy, CURLOPT_READDATA, &source);
  // The live transport's upload buffer, so that both send in chunks of the same size.
  curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024L);
  long status = perform(reply);
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, static_cast<void*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_READDATA, static_cast<void*>(nullptr));
  return status;
}

// ---------------------------------------------------------------- XML floor

size_t walkWithReader(const char* data, size_t length) {
  xmlTextReaderPtr reader = xmlReaderForMemory(data, static_cast<int>(length), nullptr, nullptr,
                                               XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (reader == nullptr) return 0;
  size_t nodes = 0;
  int rc;
  while ((rc = xmlTextReaderRead(reader)) == 1) {
    benchmark::DoNotOptimize(xmlTextReaderNodeType(reader));
    ++nodes;
  }
  xmlFreeTextReader(reader);
  return rc == 0 ? nodes : 0;
}

// ---------------------------------------------------------------- measurements

double threadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double processCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long long currentRss() { return statusField("VmRSS"); }
long long peakRss() { return statusField("VmHWM"); }

void resetPeakRss() {
  int fd = ::open("/proc/self/clear_refs", O_WRONLY);
  if (fd < 0) return;
  if (::write(fd, "5", 1) != 1) {
    // Old kernels lack the reset; the peak then covers the process's whole life.
  }
  ::close(fd);
}

long long peakGrowthInChild(const std::function<void()>& work) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::close(fds[0]);
    long long growth = -1;
    try {
      // Freed heap inherited from the parent would otherwise be reused without a page fault.
      malloc_trim(0);
      resetPeakRss();
      long long before = currentRss();
      work();
      growth = peakRss() - before;
    } catch (...) {
      growth = -1;
    }
    ssize_t written = ::write(fds[1], &growth, sizeof growth);
    ::_exit(written == sizeof growth ? 0 : 1);
  }
  ::close(fds[1]);
  long long growth = -1;
  if (::read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? growth : -1;
}

std::string makeDataFile(const std::string& directory, const char* name, long long size) {
  std::string path = directory + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (long long written = 0; written < size;) {
    for (uint64_t& word : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    long long n = std::min<long long>(size - written, static_cast<long long>(block.size() * sizeof(uint64_t)));
    out.write(reinterpret_cast<const char*>(block.data()), n);
    written += n;
  }
  if (!out.flush()) fail("cannot write " + path);
  return path;
}

std::string makeTempDirectory(const char* prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) fail("mkdtemp: " + std::string(std::strerror(errno)));
  return pattern;
}

std::string makeScratchDirectory(const char* prefix, long long minFree) {
  std::string parent;
  if (const char* chosen = std::getenv("DVL_BENCH_DIR"); chosen && *chosen) {
    parent = chosen;
  } else {
    struct statvfs info;
    if (::statvfs("/dev/shm", &info) == 0 &&
        static_cast<long long>(info.f_bavail) * static_cast<long long>(info.f_frsize) >= minFree) {
      parent = "/dev/shm";
    }
  }
  if (parent.empty()) return makeTempDirectory(prefix);
  std::string pattern = parent + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) fail("mkdtemp: " + std::string(std::strerror(errno)));
  return pattern;
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace bench
