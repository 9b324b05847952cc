// A query returning 10 objects against dvl-contentd in this process over loopback HTTP with
// keep-alive, beside its peer (the gSOAP client generated from our WSDL, making the same query) and
// its floors: the same request bytes POSTed with plain libcurl, and the same reply bytes walked with
// libxml2's xmlTextReader. Then 1, 2, 4 and 16 threads sharing one session, and 1 and 2 with the
// server 1 ms away. Every call's reply is checked: ten objects, named "Report 000" to "Report 009".
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ContentService.h"
#include "ZEBHelper.h"
#include "gsoap/GSoapPeer.h"
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
  std::unique_ptr<bench::GSoapPeer> peer;  // logged on; other threads' peers share its logon

  World() {
    path = server.addFolderOfReports("Bench", kObjects);
    ZEBHttpSettings settings;
    settings.endpoint = server.getUrl();
    settings.poolSize = 16;  // as many kept-alive connections as the most threads that share the session
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
    transport->stopCapturing();
    peer = std::make_unique<bench::GSoapPeer>(server.getUrl());
    std::string clientId = UuidGenerator::create();
    peer->logOn(bench::sealedCredentials(clientId), clientId);
    bench::PeerResult first = peer->query(path, true);
    if (first.objects != kObjects || first.names != expectedNames()) {
      throw std::runtime_error("the gSOAP peer's reply differs from the library's");
    }
  }

  static std::vector<std::string> expectedNames() {
    std::vector<std::string> names;
    char name[32];
    for (int i = 0; i < kObjects; ++i) {
      std::snprintf(name, sizeof name, "Report %03d", i);
      names.push_back(name);
    }
    return names;
  }

  static std::unique_ptr<World>& instance() {
    static std::unique_ptr<World> world;
    return world;
  }
  static World& get() { return *instance(); }
};

// The client's CPU (this thread's) and, for one thread, the server's: what the process spent
// beyond the client thread, the in-process server's threads being the only others at work. And how
// many cores the process kept busy meanwhile: short of the machine's, the calls wait on each other.
struct CpuMeter {
  double thread = bench::threadCpuSeconds();
  double process = bench::processCpuSeconds();
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  void report(benchmark::State& state) const {
    double client = bench::threadCpuSeconds() - thread;
    double calls = static_cast<double>(state.iterations());
    state.counters["calls_per_s"] = benchmark::Counter(calls, benchmark::Counter::kIsRate);
    state.counters["client_cpu_us"] = benchmark::Counter(client * 1e6 / calls, benchmark::Counter::kAvgThreads);
    if (state.threads() == 1) state.counters["server_cpu_us"] = (bench::processCpuSeconds() - process - client) * 1e6 / calls;
    if (state.thread_index() == 0) {
      double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      state.counters["cores_busy"] = (bench::processCpuSeconds() - process) / wall;
    }
  }
};

// The names a reply must hold, in order; formatted once, not in every measured call.
bool namesAreExpected(const char* (*nameAt)(const void*, int), const void* reply) {
  static const std::vector<std::string> expected = World::expectedNames();
  for (int i = 0; i < kObjects; ++i) {
    const char* got = nameAt(reply, i);
    if (got == nullptr || expected[i] != got) return false;
  }
  return true;
}

// One host call: a new request object, filled, executed, its objects counted and named.
bool queryOnce(const ZEBSOAPSessionI& session, const std::string& path) {
  DVLQuery query(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  query.setPath(path.c_str());
  query.execute();
  return query.getObjectCount() == kObjects &&
         namesAreExpected([](const void* q, int i) { return const_cast<DVLQuery*>(static_cast<const DVLQuery*>(q))->getName(i); }, &query);
}

bool peerQueryOnce(bench::GSoapPeer& peer, const std::string& path) {
  bench::PeerResult result = peer.query(path, true);
  return result.objects == kObjects &&
         namesAreExpected([](const void* r, int i) { return static_cast<const bench::PeerResult*>(r)->names[i].c_str(); },
                          &result);
}

void BM_SmallCall_DVLQuery(benchmark::State& state) {
  World& w = World::get();
  CpuMeter cpu;
  for (auto _ : state) {
    if (!queryOnce(*w.session, w.path)) {
      state.SkipWithError("the reply did not hold the 10 objects");
      break;
    }
  }
  cpu.report(state);
  state.counters["request_bytes"] = static_cast<double>(w.request.size());
  state.counters["reply_bytes"] = static_cast<double>(w.reply.size());
}

void BM_SmallCall_GSoapQuery(benchmark::State& state) {
  World& w = World::get();
  CpuMeter cpu;
  for (auto _ : state) {
    if (!peerQueryOnce(*w.peer, w.path)) {
      state.SkipWithError("the peer's reply did not hold the 10 objects");
      break;
    }
  }
  cpu.report(state);
}

void BM_SmallCall_CurlFloor(benchmark::State& state) {
  World& w = World::get();
  bench::CurlPoster poster(w.server.getUrl());
  std::string reply;
  CpuMeter cpu;
  for (auto _ : state) {
    if (poster.postEnvelope(w.request, w.soapAction, reply) != 200 || reply != w.reply) {
      state.SkipWithError("the floor's reply differs from the library's");
      break;
    }
  }
  cpu.report(state);
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
  CpuMeter cpu;
  for (auto _ : state) {
    if (!queryOnce(*w.session, w.path)) {
      state.SkipWithError("the reply did not hold the 10 objects");
      break;
    }
  }
  cpu.report(state);
}

// The floor: each thread its own libcurl handle, as a host without the library would do.
void BM_SharedSession_CurlFloor(benchmark::State& state) {
  World& w = World::get();
  bench::CurlPoster poster(w.server.getUrl());
  std::string reply;
  CpuMeter cpu;
  for (auto _ : state) {
    if (poster.postEnvelope(w.request, w.soapAction, reply) != 200 || reply.size() != w.reply.size()) {
      state.SkipWithError("the floor's exchange failed");
      break;
    }
  }
  cpu.report(state);
}

// The server 1 ms away, as on another machine: each query's answer waits 1 ms in the server, so the
// calls no longer take turns with the server for this machine's cores, and what two threads gain
// over one is what sharing the session lets their calls overlap.
void awayFromServer(const benchmark::State&) {
  dvlservice::InjectedFailure wait;
  wait.operation = "query";
  wait.delayMs = 1;
  World::get().server.getService().injectFailure(wait);
}

void besideServer(const benchmark::State&) { World::get().server.getService().clearInjectedFailures(); }

void registerAll() {
  auto network = [](benchmark::internal::Benchmark* b) { b->UseRealTime()->Unit(benchmark::kMicrosecond); };
  auto threaded = [](benchmark::internal::Benchmark* b) {
    b->Threads(1)->Threads(2)->Threads(4)->Threads(16)->UseRealTime()->Unit(benchmark::kMicrosecond);
  };
  auto remote = [](benchmark::internal::Benchmark* b) {
    b->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond)->Setup(awayFromServer)->Teardown(besideServer);
  };
  auto cpu = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMicrosecond); };
  bench::registerRounds({{"BM_SmallCall_DVLQuery", &BM_SmallCall_DVLQuery, network},
                         {"BM_SmallCall_GSoapQuery", &BM_SmallCall_GSoapQuery, network},
                         {"BM_SmallCall_CurlFloor", &BM_SmallCall_CurlFloor, network},
                         {"BM_SmallReply_DVLRead", &BM_SmallReply_DVLRead, cpu},
                         {"BM_SmallReply_ReaderFloor", &BM_SmallReply_ReaderFloor, cpu},
                         {"BM_SharedSession_DVLQuery", &BM_SharedSession_DVLQuery, threaded},
                         {"BM_SharedSession_CurlFloor", &BM_SharedSession_CurlFloor, threaded},
                         {"BM_RemoteSession_DVLQuery", &BM_SharedSession_DVLQuery, remote},
                         {"BM_RemoteSession_CurlFloor", &BM_SharedSession_CurlFloor, remote}},
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
