// What the benchmarks share: a content-store server (in this process or as a child process), a
// logged-on session, the floors (plain libcurl, plain libxml2) and the measurements of thread CPU
// time and peak memory.
#pragma once

#include <benchmark/benchmark.h>
#include <atomic>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZEBHttpTransport.h"
#include "ZEBSession.h"

struct curl_slist;

namespace dvlservice {
class ContentServer;
class ContentService;
}  // namespace dvlservice

namespace bench {

// ---------------------------------------------------------------- registration

// One benchmark case: its name, its function and its settings (unit, iterations, threads).
struct Case {
  std::string name;
  void (*function)(benchmark::State&);
  std::function<void(benchmark::internal::Benchmark*)> configure;
};

// Registers every case once per round, in order within a round, so that a case and its floor run
// close together in time and a drifting machine load touches both alike. Rows are named
// "<name>/round:<r>"; run.sh reports the median over the rounds.
void registerRounds(const std::vector<Case>& cases, int rounds);
// The rounds asked for in $DVL_BENCH_ROUNDS, or fallback.
int roundsFromEnvironment(int fallback);

// ---------------------------------------------------------------- servers

// dvl-contentd in this process, on a free loopback port, with a store in memory.
class EmbeddedServer {
 public:
  EmbeddedServer();
  ~EmbeddedServer();
  std::string getUrl() const;
  dvlservice::ContentService& getService() { return *m_service; }
  // Adds a folder under /content holding count reports; returns its search path.
  std::string addFolderOfReports(const std::string& name, int count);

 private:
  std::unique_ptr<dvlservice::ContentService> m_service;
  std::unique_ptr<dvlservice::ContentServer> m_server;
};

// dvl-contentd as a child process, so that this process's memory is the client's alone. Its store
// and spool live in directory, which the caller owns.
class ChildServer {
 public:
  explicit ChildServer(const std::string& directory);
  ~ChildServer();  // SIGTERM, then waits
  const std::string& getUrl() const { return m_url; }
  // The service's public key for sealed credentials, fetched over HTTP.
  std::string fetchCredentialKey() const;

 private:
  pid_t m_pid = -1;
  std::string m_url;
};

// ---------------------------------------------------------------- client side

// Logs the session on as LDAP/demo with a sealed credential; raises on failure.
void logOn(ZEBSOAPSessionI& session);
// The credential document DVLLogon sends for LDAP/demo, sealed for clientId: what the peer sends.
std::string sealedCredentials(const std::string& clientId);

// Passes exchanges through to another transport and keeps a copy of the last request and reply,
// so that a floor can send exactly the bytes the library sent. Copies only until stopCapturing, so
// that the timed calls do not pay for the copies.
class CapturingTransport : public ZEBTransport {
 public:
  explicit CapturingTransport(std::shared_ptr<ZEBTransport> inner) : m_inner(std::move(inner)) {}
  ZEBWireReply exchange(const ZEBWireRequest& request) override;
  std::string describe() const override { return m_inner->describe(); }

  std::string lastEnvelope() const;
  std::string lastSoapAction() const;
  std::string lastReply() const;
  void stopCapturing() { m_capturing = false; }

 private:
  std::shared_ptr<ZEBTransport> m_inner;
  std::atomic<bool> m_capturing{true};
  mutable std::mutex m_lock;
  std::string m_envelope, m_soapAction, m_reply;
};

// The floor of an exchange: one reused libcurl easy handle POSTing given bytes with the headers the
// live transport sends. Not thread-safe: one per thread.
class CurlPoster {
 public:
  explicit CurlPoster(std::string url);
  ~CurlPoster();
  CurlPoster(const CurlPoster&) = delete;
  CurlPoster& operator=(const CurlPoster&) = delete;

  // POSTs body as text/xml; returns the HTTP status, the reply in reply.
  long postEnvelope(const std::string& body, const std::string& soapAction, std::string& reply);
  // POSTs a body of size bytes produced by read (libcurl's read callback contract), under
  // contentType; returns the HTTP status.
  long postStream(long long size, const std::string& contentType, const std::string& soapAction,
                  const std::function<size_t(char*, size_t)>& read, std::string& reply);
  // Connections opened so far: the server closes a kept-alive one after a number of requests.
  long getConnects() const { return m_connects; }

 private:
  void setHeaders(const std::string& contentType, const std::string& soapAction);
  long perform(std::string& reply);
  std::string m_url;
  std::string m_headerKey;
  long m_connects = 0;
  void* m_easy;
  curl_slist* m_headers = nullptr;
};

// ---------------------------------------------------------------- XML floor

// Walks every node of an XML document with libxml2's xmlTextReader, with the options the library's
// reader uses; returns the node count (0 when the document is not well-formed).
size_t walkWithReader(const char* data, size_t length);

// ---------------------------------------------------------------- measurements

// CPU time of the calling thread, and of the whole process, in seconds.
double threadCpuSeconds();
double processCpuSeconds();

// Peak-memory probes through /proc/self/status (kB figures turned into bytes).
long long currentRss();
long long peakRss();
// Makes the peak equal the current RSS (writes 5 to /proc/self/clear_refs).
void resetPeakRss();

// Runs work in a forked child, after malloc_trim, and returns how far its resident set grew above
// where it started (bytes), or -1 when the child failed. The parent's memory is untouched.
long long peakGrowthInChild(const std::function<void()>& work);

// A file of size bytes filled with non-repeating bytes (no holes), made in directory.
std::string makeDataFile(const std::string& directory, const char* name, long long size);
// A fresh directory under $TMPDIR (or /tmp); removeTree deletes it and everything in it.
std::string makeTempDirectory(const char* prefix);
// The same for gigabyte files: under $DVL_BENCH_DIR when set, else in /dev/shm when it has
// minFree bytes free (so that disk write-back does not blur the figures), else as above.
std::string makeScratchDirectory(const char* prefix, long long minFree);
void removeTree(const std::string& path);

constexpr double kMiB = 1024.0 * 1024.0;

}  // namespace bench
