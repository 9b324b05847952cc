// A query returning 10 objects against dvl-contentd in this process over loopback HTTP with
// keep-alive, beside its floors: the same request bytes POSTed with plain libcurl, and the same
// reply bytes walked with libxml2's xmlTextReader. Then 1, 2 and 4 threads sharing one session.
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "BenchSupport.h"
#include "DVL.h"
#include "DVLQuery.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"

namespace {

constexpr int kObjects = 10;

// The server, one session logged on through a capturing transport, and the bytes one query sent
// and received. main makes it before any benchmark thread starts and drops it before libcurl stops.
struct World {
  bench::EmbeddedServer server;
  std::string path;
  std::shared_ptr<bench::CapturingTransport> transport;
  std::unique_ptr<ZEBSOAPSession> session;
  std::string request, soapAction, reply;

  World() {
    path = server.addFolderOfReports("Bench", kObjects);
    ZEBHttpSettings settings;
    settings.endpoint = server.getUrl();
    transport = std::make_shared<bench::CapturingTransport>(std::make_shared<ZEBHttpTransport>(settings));
    session = std::make_unique<ZEBSOAPSession>(transport);
    bench::logOn(*session);
    DVLQuery query(*session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    query.setPath(path.c_str());
    query.execute();
    if (query.getObjectCount() != kObjects) throw std::runtime_error("the bench folder does not hold 10 objects");
    request = transport->lastEnvelope();
    soapAction = transport->lastSoapAction();
    reply = transport->lastReply();
  }

  static std::unique_ptr<World>& instance() {
    static std::unique_ptr<World> world;
    return world;
  }
  static World& get() { return *instance(); }
};

void setCallCounters(benchmark::State& state, double cpuSeconds) {
  state.counters["calls_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["client_cpu_us"] =
      benchmark::Counter(cpuSeconds * 1e6 / static_cast<double>(state.iterations()), benchmark::Counter::kAvgThreads);
}

// One host call: a new request object, filled, executed, its objects counted.
bool queryOnce(const ZEBSOAPSessionI& session, const std::string& path) {
  DVLQuery query(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  query.setPath(path.c_str());
  query.execute();
  return query.getObjectCount() == kObjects;
}

void BM_SmallCall_DVLQuery(benchmark::State& state) {
  World& w = World::get();
  double cpu = bench::threadCpuSeconds();
  for (auto _ : state) {
    if (!queryOnce(*w.session, w.path)) {
      state.SkipWithError("the reply did not hold 10 objects");
      break;
    }
  }
  setCallCounters(state, bench::threadCpuSeconds() - cpu);
  state.counters["request_bytes"] = static_cast<double>(w.request.size());
  state.counters["reply_bytes"] = static_cast<double>(w.reply.size());
}

void BM_SmallCall_CurlFloor(benchmark::State& state) {
  World& w = World::get();
  bench::CurlPoster poster(w.server.getUrl());
  std::string reply;
  double cpu = bench::threadCpuSeconds();
  for (auto _ : state) {
    if (poster.postEnvelope(w.request, w.soapAction, reply) != 200 || reply.size() != w.reply.size()) {
      state.SkipWithError("the floor's reply differs from the library's");
      break;
    }
  }
  setCallCounters(state, bench::threadCpuSeconds() - cpu);
  state.counters["connects_per_call"] = static_cast<double>(poster.getConnects()) / static_cast<double>(state.iterations());
}

void BM_SmallReply_DVLRead(benchmark::State& state) {
  World& w = World::get();
  for (auto _ : state) {
    ZEBContentQuery_Reply reply;
    ZEBSoap::readEnvelope(w.reply.data(), w.reply.size(), reply);
    benchmark::DoNotOptimize(reply.getResult(nullptr));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.reply.size()));
}

void BM_SmallReply_ReaderFloor(benchmark::State& state) {
  World& w = World::get();
  for (auto _ : state) benchmark::DoNotOptimize(bench::walkWithReader(w.reply.data(), w.reply.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.reply.size()));
}

// Threads share the one session (and so its transport and connection pool).
void BM_SharedSession_DVLQuery(benchmark::State& state) {
  World& w = World::get();
  double cpu = bench::threadCpuSeconds();
  for (auto _ : state) {
    if (!queryOnce(*w.session, w.path)) {
      state.SkipWithError("the reply did not hold 10 objects");
      break;
    }
  }
  setCallCounters(state, bench::threadCpuSeconds() - cpu);
}

// The floor: each thread its own libcurl handle, as a host without the library would do.
void BM_SharedSession_CurlFloor(benchmark::State& state) {
  World& w = World::get();
  bench::CurlPoster poster(w.server.getUrl());
  std::string reply;
  double cpu = bench::threadCpuSeconds();
  for (auto _ : state) {
    if (poster.postEnvelope(w.request, w.soapAction, reply) != 200) {
      state.SkipWithError("the floor's exchange failed");
      break;
    }
  }
  setCallCounters(state, bench::threadCpuSeconds() - cpu);
}

void registerAll() {
  auto network = [](benchmark::internal::Benchmark* b) { b->UseRealTime()->Unit(benchmark::kMicrosecond); };
  auto threaded = [](benchmark::internal::Benchmark* b) {
    b->Threads(1)->Threads(2)->Threads(4)->UseRealTime()->Unit(benchmark::kMicrosecond);
  };
  auto cpu = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMicrosecond); };
  bench::registerRounds({{"BM_SmallCall_DVLQuery", &BM_SmallCall_DVLQuery, network},
                         {"BM_SmallCall_CurlFloor", &BM_SmallCall_CurlFloor, network},
                         {"BM_SmallReply_DVLRead", &BM_SmallReply_DVLRead, cpu},
                         {"BM_SmallReply_ReaderFloor", &BM_SmallReply_ReaderFloor, cpu},
                         {"BM_SharedSession_DVLQuery", &BM_SharedSession_DVLQuery, threaded},
                         {"BM_SharedSession_CurlFloor", &BM_SharedSession_CurlFloor, threaded}},
                        bench::roundsFromEnvironment(1));
}

}  // namespace

int main(int argc, char** argv) {
  DVL::initialize();
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Made before the threads of the shared-session cases start; gone before libcurl is shut down.
  World::instance() = std::make_unique<World>();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  World::instance().reset();
  DVL::terminate();
  return 0;
}
