// A query reply of 100,000 objects (about 24 MB of XML) read into the object model, beside its peer
// (the gSOAP client generated from our WSDL, reading the same bytes into its classes) and its
// floor, libxml2's xmlTextReader walking them: CPU time, and peak memory measured in a forked child
// so that each figure starts from the same clean heap. Each read is checked: the object count and
// the total length of the default names.
#include <benchmark/benchmark.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "BenchSupport.h"
#include "DVL.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"
#include "gsoap/GSoapPeer.h"

namespace {

constexpr int kObjects = 100000;

// The reply as the service would send it: reports with the four properties every query asks for.
std::string buildReply() {
  ZEBContentQuery_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  ZEBBaseClassArray* result = reply.getResult(&registry);
  char text[96];
  for (int i = 0; i < kObjects; ++i) {
    auto* report = new ZEBReport;
    registry.registerObject(report);
    report->getObjectClass(&registry)->getValue(&registry)->setValue(ZEBClassEnum::report);
    std::snprintf(text, sizeof text, "R%06d", i);
    report->getDefaultName(&registry)->setValue(text);
    std::snprintf(text, sizeof text, "/content/report[@name='R%06d']", i);
    report->getSearchPath(&registry)->setValue(text);
    std::snprintf(text, sizeof text, "%08x%024x", static_cast<unsigned>(i * 2654435761u), i);
    report->getStoreID(&registry)->getValue(&registry)->setValue(text);
    result->push_back(report);
  }
  return ZEBSoap::writeEnvelope(reply, nullptr);
}

const std::string& replyBytes() {
  static const std::string bytes = buildReply();
  return bytes;
}

// "R000000" to "R099999": seven characters each.
constexpr size_t kNameBytes = 7 * static_cast<size_t>(kObjects);

void readIntoModel(const std::string& bytes) {
  ZEBContentQuery_Reply reply;
  ZEBSoap::readEnvelope(bytes.data(), bytes.size(), reply);
  const ZEBBaseClassArray* result = reply.getResult(nullptr);
  if (result == nullptr || result->size() != static_cast<size_t>(kObjects)) throw std::runtime_error("objects lost");
  size_t nameBytes = 0;
  for (size_t i = 0; i < result->size(); ++i) {
    const ZEBTokenProp* name = result->at(i)->getDefaultName(nullptr);
    if (name && name->getValue()) nameBytes += std::strlen(name->getValue());
  }
  if (nameBytes != kNameBytes) throw std::runtime_error("names lost");
}

void readWithPeer(bench::GSoapPeer& peer, const std::string& bytes) {
  bench::PeerResult result = peer.readReply(bytes);
  if (result.objects != static_cast<size_t>(kObjects) || result.nameBytes != kNameBytes) {
    throw std::runtime_error("the peer lost objects");
  }
}

void BM_LargeReply_DVLRead(benchmark::State& state) {
  const std::string& bytes = replyBytes();
  for (auto _ : state) readIntoModel(bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["reply_MiB"] = static_cast<double>(bytes.size()) / bench::kMiB;
}

void BM_LargeReply_GSoapRead(benchmark::State& state) {
  const std::string& bytes = replyBytes();
  bench::GSoapPeer peer("http://127.0.0.1:1/unused");
  for (auto _ : state) readWithPeer(peer, bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_LargeReply_ReaderFloor(benchmark::State& state) {
  const std::string& bytes = replyBytes();
  for (auto _ : state) {
    if (bench::walkWithReader(bytes.data(), bytes.size()) == 0) {
      state.SkipWithError("libxml2 refused the reply");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// Not a floor: what libxml2's SAX2 push callbacks cost over the same bytes, without the node tree
// that xmlTextReader builds and frees for every element.
void BM_LargeReply_Sax2Reference(benchmark::State& state) {
  const std::string& bytes = replyBytes();
  xmlSAXHandler handler;
  std::memset(&handler, 0, sizeof handler);
  handler.initialized = XML_SAX2_MAGIC;
  handler.startElementNs = [](void* count, const xmlChar*, const xmlChar*, const xmlChar*, int, const xmlChar**, int,
                              int, const xmlChar**) { ++*static_cast<size_t*>(count); };
  handler.characters = [](void*, const xmlChar*, int) {};
  for (auto _ : state) {
    size_t elements = 0;
    if (xmlSAXUserParseMemory(&handler, &elements, bytes.data(), static_cast<int>(bytes.size())) != 0) {
      state.SkipWithError("libxml2 refused the reply");
      break;
    }
    benchmark::DoNotOptimize(elements);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void reportGrowth(benchmark::State& state, long long growth, size_t replySize) {
  if (growth < 0) {
    state.SkipWithError("the measuring child failed");
    return;
  }
  state.counters["peak_growth_MiB"] = static_cast<double>(growth) / bench::kMiB;
  state.counters["x_reply"] = static_cast<double>(growth) / static_cast<double>(replySize);
}

// Growth of the resident set while reading, with the reply bytes already in memory.
void BM_LargeReply_DVLPeakMemory(benchmark::State& state) {
  const std::string& bytes = replyBytes();
  long long growth = -1;
  for (auto _ : state) growth = bench::peakGrowthInChild([&] { readIntoModel(bytes); });
  reportGrowth(state, growth, bytes.size());
}

void BM_LargeReply_GSoapPeakMemory(benchmark::State& state) {
  const std::string& bytes = replyBytes();
  long long growth = -1;
  for (auto _ : state) {
    growth = bench::peakGrowthInChild([&] {
      bench::GSoapPeer peer("http://127.0.0.1:1/unused");
      readWithPeer(peer, bytes);
    });
  }
  reportGrowth(state, growth, bytes.size());
}

void BM_LargeReply_ReaderPeakMemory(benchmark::State& state) {
  const std::string& bytes = replyBytes();
  long long growth = -1;
  for (auto _ : state) growth = bench::peakGrowthInChild([&] { bench::walkWithReader(bytes.data(), bytes.size()); });
  reportGrowth(state, growth, bytes.size());
}

// Memory first in each round; its child starts from the parent's heap after malloc_trim.
void registerAll() {
  auto once = [](benchmark::internal::Benchmark* b) { b->Iterations(1)->Unit(benchmark::kMillisecond); };
  auto timed = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond); };
  bench::registerRounds({{"BM_LargeReply_DVLPeakMemory", &BM_LargeReply_DVLPeakMemory, once},
                         {"BM_LargeReply_GSoapPeakMemory", &BM_LargeReply_GSoapPeakMemory, once},
                         {"BM_LargeReply_ReaderPeakMemory", &BM_LargeReply_ReaderPeakMemory, once},
                         {"BM_LargeReply_DVLRead", &BM_LargeReply_DVLRead, timed},
                         {"BM_LargeReply_GSoapRead", &BM_LargeReply_GSoapRead, timed},
                         {"BM_LargeReply_ReaderFloor", &BM_LargeReply_ReaderFloor, timed},
                         {"BM_LargeReply_Sax2Reference", &BM_LargeReply_Sax2Reference, timed}},
                        bench::roundsFromEnvironment(1));
}

}  // namespace

int main(int argc, char** argv) {
  DVL::initialize();
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  replyBytes();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  DVL::terminate();
  return 0;
}
