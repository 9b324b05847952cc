// A query reply of 100,000 objects fetched through the live transport with gzip offered and not:
// bytes on the wire, client CPU (the transfer, and the transfer plus reading the reply into the
// object model) and wall time per call.
//
// The reply is the one dvl-contentd gives for a folder of 100,000 reports. When dvl-contentd
// compresses that reply itself, the cases run against it; otherwise against a cpp-httplib server in
// this process that answers every call with the same bytes and gzips them per call (zlib's default
// level) when the request offers gzip. The "source" counter says which (1: dvl-contentd, 0: stub).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "DVL.h"
#include "DVLQuery.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"

namespace {

constexpr int kObjects = 100000;

// What one POST of the request puts on the wire: the body bytes as they arrive (not decoded).
struct WireProbe {
  long long bodyBytes = 0;
  bool gzipped = false;
};

WireProbe probe(const std::string& url, const std::string& envelope, const std::string& soapAction, bool offerGzip) {
  WireProbe result;
  CURL* easy = curl_easy_init();
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Content-Type: text/xml; charset=utf-8");
  headers = curl_slist_append(headers, ("SOAPAction: \"" + soapAction + "\"").c_str());
  if (offerGzip) headers = curl_slist_append(headers, "Accept-Encoding: gzip");
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, envelope.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(envelope.size()));
  curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &result);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void* data) {
    static_cast<WireProbe*>(data)->bodyBytes += static_cast<long long>(size * count);
    return size * count;
  });
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &result);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, +[](char* bytes, size_t size, size_t count, void* data) {
    std::string line(bytes, size * count);
    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (line.rfind("content-encoding:", 0) == 0 && line.find("gzip") != std::string::npos) {
      static_cast<WireProbe*>(data)->gzipped = true;
    }
    return size * count;
  });
  CURLcode rc = curl_easy_perform(easy);
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(easy);
  if (rc != CURLE_OK || status != 200) throw std::runtime_error("the wire probe failed");
  return result;
}

// Answers every POST with one fixed reply; cpp-httplib gzips it when the request offers gzip.
class StubServer {
 public:
  explicit StubServer(std::string reply) : m_reply(std::move(reply)) {
    m_server.Post("/dvl", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(m_reply, "text/xml; charset=utf-8");
    });
    m_port = m_server.bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~StubServer() {
    m_server.stop();
    m_thread.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/dvl"; }

 private:
  std::string m_reply;
  httplib::Server m_server;
  int m_port = 0;
  std::thread m_thread;
};

struct World {
  bench::EmbeddedServer server;
  std::unique_ptr<StubServer> stub;
  std::string url, request, soapAction;
  long long replyBytes = 0;
  WireProbe plain, gzip;
  bool fromServer = false;

  World() {
    std::string path = server.addFolderOfReports("Bench", kObjects);
    ZEBHttpSettings settings;
    settings.endpoint = server.getUrl();
    settings.acceptGzip = false;
    auto capture = std::make_shared<bench::CapturingTransport>(std::make_shared<ZEBHttpTransport>(settings));
    ZEBSOAPSession session(capture);
    bench::logOn(session);
    DVLQuery query(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    query.setPath(path.c_str());
    query.execute();
    if (query.getObjectCount() != kObjects) throw std::runtime_error("the bench folder does not hold 100,000 objects");
    request = capture->lastEnvelope();
    soapAction = capture->lastSoapAction();
    replyBytes = static_cast<long long>(capture->lastReply().size());

    url = server.getUrl();
    fromServer = probe(url, request, soapAction, true).gzipped;
    if (!fromServer) {
      stub = std::make_unique<StubServer>(capture->lastReply());
      url = stub->url();
    }
    plain = probe(url, request, soapAction, false);
    gzip = probe(url, request, soapAction, true);
    if (plain.gzipped || !gzip.gzipped) throw std::runtime_error("the server does not compress as offered");
  }

  static std::unique_ptr<World>& instance() {
    static std::unique_ptr<World> world;
    return world;
  }
};

void fetch(benchmark::State& state, bool offerGzip) {
  World& world = *World::instance();
  ZEBHttpSettings settings;
  settings.endpoint = world.url;
  settings.acceptGzip = offerGzip;
  ZEBHttpTransport transport(settings);
  ZEBWireRequest wire;
  wire.operation = "query";
  wire.soapAction = world.soapAction;
  wire.envelope = world.request;
  wire.readOnly = true;
  double transferCpu = 0, clientCpu = 0;
  for (auto _ : state) {
    double start = bench::threadCpuSeconds();
    ZEBWireReply received = transport.exchange(wire);
    double transferred = bench::threadCpuSeconds();
    ZEBContentQuery_Reply reply;
    ZEBSoap::readEnvelope(received.envelope.data(), received.envelope.size(), reply);
    double read = bench::threadCpuSeconds();
    const ZEBBaseClassArray* result = reply.getResult(nullptr);
    if (result == nullptr || result->size() != static_cast<size_t>(kObjects)) {
      state.SkipWithError("objects lost");
      break;
    }
    transferCpu += transferred - start;
    clientCpu += read - start;
  }
  const double n = static_cast<double>(state.iterations());
  const WireProbe& wireBytes = offerGzip ? world.gzip : world.plain;
  state.counters["wire_MiB"] = static_cast<double>(wireBytes.bodyBytes) / bench::kMiB;
  state.counters["reply_MiB"] = static_cast<double>(world.replyBytes) / bench::kMiB;
  state.counters["transfer_cpu_ms"] = transferCpu * 1e3 / n;
  state.counters["client_cpu_ms"] = clientCpu * 1e3 / n;
  state.counters["source"] = world.fromServer ? 1 : 0;
}

void BM_Compression_Off(benchmark::State& state) { fetch(state, false); }
void BM_Compression_Gzip(benchmark::State& state) { fetch(state, true); }

}  // namespace

int main(int argc, char** argv) {
  DVL::initialize();
  benchmark::Initialize(&argc, argv);
  World::instance() = std::make_unique<World>();
  auto configure = [](benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
  };
  bench::registerRounds({{"BM_Compression_Off", &BM_Compression_Off, configure},
                         {"BM_Compression_Gzip", &BM_Compression_Gzip, configure}},
                        bench::roundsFromEnvironment(3));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  World::instance().reset();
  DVL::terminate();
  return 0;
}
