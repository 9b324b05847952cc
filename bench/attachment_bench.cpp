// A 1 GiB output document added with DVLAddOutput through the live transport, beside its floor:
// the same multipart/related body POSTed with plain libcurl from a read callback. dvl-contentd
// runs as a child process, so this process's peak resident set is the client's alone.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "DVL.h"
#include "DVLAddOutput.h"
#include "ZEBHelper.h"
#include "ZEBMime.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"

namespace {

constexpr long long kDocumentBytes = 1LL << 30;

// Exposes the request assembly, so that the floor sends the envelope the library would send.
class AssembledAddOutput : public DVLAddOutput {
 public:
  using DVLAddOutput::DVLAddOutput;
  using DVLAddOutput::getBinding;
  using DVLAddOutput::preExec;
};

// The 1 GiB document, the server as a child process and one logged-on session; main makes it and
// drops it (document and server directory included) before libcurl stops.
// SHA-256 of a file, read in chunks, as lower-case hex.
std::string sha256OfFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return "";
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  std::vector<char> buffer(1 << 20);
  for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) EVP_DigestUpdate(ctx, buffer.data(), n);
  std::fclose(file);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx, digest, &length);
  EVP_MD_CTX_free(ctx);
  std::string hex;
  char pair[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

struct World {
  std::string directory;
  std::string document;
  std::string documentSha256;
  std::unique_ptr<bench::ChildServer> server;
  std::unique_ptr<ZEBLiveVorbTK> factory;
  ZEBSOAPSession* session = nullptr;
  int added = 0;

  World() {
    // Room for the document, the server's spool copy and its stored copy.
    directory = bench::makeScratchDirectory("dvl-bench-attachment", 6 * kDocumentBytes);
    benchmark::AddCustomContext("scratch_directory", directory);
    document = bench::makeDataFile(directory, "document.bin", kDocumentBytes);
    documentSha256 = sha256OfFile(document);
    server = std::make_unique<bench::ChildServer>(directory);
    ZEBHelper::setCredentialKey(server->fetchCredentialKey().c_str());
    ZEBHttpSettings settings;
    settings.endpoint = server->getUrl();
    factory = std::make_unique<ZEBLiveVorbTK>(settings);
    session = static_cast<ZEBSOAPSession*>(factory->createSession());
    bench::logOn(*session);
  }
  ~World() {
    factory.reset();
    server.reset();
    bench::removeTree(directory);
  }

  // Names of one length, so that every request has the same size.
  std::string nextName() {
    char name[32];
    std::snprintf(name, sizeof name, "Output %06d", ++added);
    return name;
  }

  static std::unique_ptr<World>& instance() {
    static std::unique_ptr<World> world;
    return world;
  }
  static World& get() { return *instance(); }
};

void fillOutput(DVLAddOutput& output, const std::string& name, ZEBDocumentOutputI& data) {
  output.setParentPath("/content");
  output.setName(name.c_str());
  output.setFormat("PDF");
  output.setLocale("en-us");
  output.setData(&data);
}

void setCounters(benchmark::State& state, long long peak, long long before, double cpuSeconds) {
  state.SetBytesProcessed(state.iterations() * kDocumentBytes);
  state.counters["client_peak_rss_MiB"] = static_cast<double>(peak) / bench::kMiB;
  state.counters["client_rss_growth_MiB"] = static_cast<double>(peak - before) / bench::kMiB;
  state.counters["client_cpu_s"] = cpuSeconds / static_cast<double>(state.iterations());
}

void BM_Attachment1GiB_DVLAddOutput(benchmark::State& state) {
  World& w = World::get();
  long long peak = 0, before = 0;
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string name = w.nextName();
    ZEBDocumentOutput data(w.document, "application/pdf");
    DVLAddOutput output(*w.session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    fillOutput(output, name, data);
    ::sync();  // the previous add's writes are not this one's to wait for
    bench::resetPeakRss();
    before = bench::currentRss();
    double start = bench::threadCpuSeconds();
    state.ResumeTiming();

    output.execute();

    state.PauseTiming();
    cpu += bench::threadCpuSeconds() - start;
    peak = std::max(peak, bench::peakRss());
    if (output.getStoreID() == nullptr) state.SkipWithError("the add returned no store identifier");
    // The server keeps documents as files named by their SHA-256: the stored copy must hash to the
    // source's digest, that is, have arrived byte for byte.
    std::string stored = w.directory + "/s.db.documents/" + w.documentSha256.substr(0, 2) + "/" + w.documentSha256;
    bool intact = sha256OfFile(stored) == w.documentSha256;
    state.counters["stored_copy_sha256_matches"] = intact ? 1 : 0;
    if (!intact) state.SkipWithError("the stored copy differs from the document");
    state.ResumeTiming();
  }
  setCounters(state, peak, before, cpu);
}

// The floor: the envelope the library builds for the same add, and the document read with fread in
// the transport's chunk size, as one multipart/related body.
void BM_Attachment1GiB_CurlFloor(benchmark::State& state) {
  World& w = World::get();
  bench::CurlPoster poster(w.server->getUrl());
  long long peak = 0, before = 0;
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string name = w.nextName();
    ZEBDocumentOutput data(w.document, "application/pdf");
    AssembledAddOutput output(*w.session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    fillOutput(output, name, data);
    output.preExec();
    KRNSmartPointer<ZEBPortTypeBinding> binding;
    output.getBinding(binding);
    ZEBVorbHeader header;
    header.setPassport(w.session->getPassport().c_str());
    header.setClientID(w.session->getClientID());
    std::string envelope = ZEBSoap::writeEnvelope(output.getRequest(), &header);
    std::string boundary = ZEBMime::makeBoundary();
    std::string rootId = ZEBMime::makeContentId();
    std::string head = ZEBMime::formatPartHeaders(boundary, rootId, "text/xml; charset=utf-8", true) + envelope +
                       ZEBMime::formatPartHeaders(boundary, output.getDataContentId(), "application/pdf", false);
    std::string tail = ZEBMime::formatClose(boundary);
    std::FILE* file = std::fopen(w.document.c_str(), "rb");
    size_t headAt = 0, tailAt = 0;
    auto read = [&](char* buffer, size_t length) -> size_t {
      if (headAt < head.size()) {
        size_t n = std::min(length, head.size() - headAt);
        std::memcpy(buffer, head.data() + headAt, n);
        headAt += n;
        return n;
      }
      size_t n = std::fread(buffer, 1, length, file);
      if (n > 0) return n;
      n = std::min(length, tail.size() - tailAt);
      std::memcpy(buffer, tail.data() + tailAt, n);
      tailAt += n;
      return n;
    };
    long long size = static_cast<long long>(head.size() + tail.size()) + kDocumentBytes;
    std::string contentType = ZEBMime::formatRelatedContentType(boundary, rootId);
    std::string reply;
    ::sync();
    bench::resetPeakRss();
    before = bench::currentRss();
    double start = bench::threadCpuSeconds();
    state.ResumeTiming();

    long status = poster.postStream(size, contentType, binding->getSOAPAction(), read, reply);

    state.PauseTiming();
    cpu += bench::threadCpuSeconds() - start;
    peak = std::max(peak, bench::peakRss());
    std::fclose(file);
    if (status != 200 || reply.find("storeID") == std::string::npos) state.SkipWithError("the floor's add failed");
    state.ResumeTiming();
  }
  setCounters(state, peak, before, cpu);
}

// Each add moves 1 GiB through the server's spool and store: one per row and round bounds the run.
void registerAll() {
  auto once = [](benchmark::internal::Benchmark* b) { b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond); };
  bench::registerRounds({{"BM_Attachment1GiB_DVLAddOutput", &BM_Attachment1GiB_DVLAddOutput, once},
                         {"BM_Attachment1GiB_CurlFloor", &BM_Attachment1GiB_CurlFloor, once}},
                        bench::roundsFromEnvironment(3));
}

}  // namespace

int main(int argc, char** argv) {
  DVL::initialize();
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  int rc = 0;
  try {
    World::instance() = std::make_unique<World>();
    benchmark::RunSpecifiedBenchmarks();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "attachment_bench: %s\n", e.what());
    rc = 1;
  }
  benchmark::Shutdown();
  World::instance().reset();
  DVL::terminate();
  return rc;
}
