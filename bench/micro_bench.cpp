// The small costs inside one call: symbol lookup, assembling a query's envelope (no send), and
// writing and reading a small reply. Each beside a plain reference: a hash map for lookups,
// libxml2's xmlTextWriter emitting the same envelope, libxml2's xmlTextReader walking it.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "BenchSupport.h"
#include "ContentService.h"
#include "DVL.h"
#include "DVLQuery.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"
#include "zp2omsymbols1.h"
#include "ZEBInProcessTransport.h"

namespace {

// ---------------------------------------------------------------- symbols

std::vector<unsigned> symbolIds() {
  std::vector<unsigned> ids;
  for (unsigned i = 0; i < zp2omsymbols1::getCount(); ++i) ids.push_back(zp2omsymbols1::getIdAt(i));
  // A fixed shuffle, so that successive lookups do not walk the table in order.
  for (size_t i = ids.size(); i > 1; --i) std::swap(ids[i - 1], ids[(i * 7919) % i]);
  return ids;
}

void BM_Symbol_GetChar(benchmark::State& state) {
  std::vector<unsigned> ids = symbolIds();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zp2omsymbols1::getChar(ids[i]));
    if (++i == ids.size()) i = 0;
  }
  state.counters["symbols"] = static_cast<double>(ids.size());
}

void BM_Symbol_GetString(benchmark::State& state) {
  std::vector<unsigned> ids = symbolIds();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zp2omsymbols1::getString(ids[i]).c_str());
    if (++i == ids.size()) i = 0;
  }
}

void BM_Symbol_HashMapReference(benchmark::State& state) {
  std::vector<unsigned> ids = symbolIds();
  std::unordered_map<unsigned, const char*> map;
  for (unsigned id : ids) map.emplace(id, zp2omsymbols1::getChar(id));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(ids[i])->second);
    if (++i == ids.size()) i = 0;
  }
}

// ---------------------------------------------------------------- the writer floor

// Emits a parsed document again through xmlTextWriter: the element and attribute calls a plain
// libxml2 writer makes for these bytes, with namespace declarations written as attributes.
void writeElement(xmlTextWriterPtr writer, xmlNodePtr node) {
  for (; node; node = node->next) {
    if (node->type == XML_TEXT_NODE) {
      xmlTextWriterWriteString(writer, node->content);
      continue;
    }
    if (node->type != XML_ELEMENT_NODE) continue;
    std::string name = node->ns && node->ns->prefix
                           ? std::string(reinterpret_cast<const char*>(node->ns->prefix)) + ":" +
                                 reinterpret_cast<const char*>(node->name)
                           : reinterpret_cast<const char*>(node->name);
    xmlTextWriterStartElement(writer, reinterpret_cast<const xmlChar*>(name.c_str()));
    for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next) {
      std::string attribute = std::string("xmlns:") + reinterpret_cast<const char*>(ns->prefix);
      xmlTextWriterWriteAttribute(writer, reinterpret_cast<const xmlChar*>(attribute.c_str()), ns->href);
    }
    for (xmlAttrPtr a = node->properties; a; a = a->next) {
      std::string attribute = a->ns && a->ns->prefix ? std::string(reinterpret_cast<const char*>(a->ns->prefix)) + ":" +
                                                           reinterpret_cast<const char*>(a->name)
                                                     : reinterpret_cast<const char*>(a->name);
      xmlTextWriterWriteAttribute(writer, reinterpret_cast<const xmlChar*>(attribute.c_str()),
                                  a->children ? a->children->content : reinterpret_cast<const xmlChar*>(""));
    }
    writeElement(writer, node->children);
    xmlTextWriterEndElement(writer);
  }
}

size_t writeWithTextWriter(xmlDocPtr document) {
  xmlBufferPtr buffer = xmlBufferCreate();
  xmlTextWriterPtr writer = xmlNewTextWriterMemory(buffer, 0);
  xmlTextWriterStartDocument(writer, "1.0", "UTF-8", nullptr);
  writeElement(writer, xmlDocGetRootElement(document));
  xmlTextWriterEndDocument(writer);
  xmlTextWriterFlush(writer);
  size_t length = static_cast<size_t>(xmlBufferLength(buffer));
  xmlFreeTextWriter(writer);
  xmlBufferFree(buffer);
  return length;
}

struct ParsedDocument {
  xmlDocPtr document;
  explicit ParsedDocument(const std::string& xml)
      : document(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET)) {}
  ~ParsedDocument() { xmlFreeDoc(document); }
};

// ---------------------------------------------------------------- query assembly

// Exposes the request assembly, which execute() runs before the send.
class AssembledQuery : public DVLQuery {
 public:
  using DVLQuery::DVLQuery;
  using DVLQuery::preExec;
};

ZEBWireReply neverCalled(const ZEBWireRequest&, void*) { return ZEBWireReply(); }

struct QueryFixture {
  ZEBSOAPSession session{std::make_shared<ZEBInProcessTransport>(&neverCalled, nullptr)};
  ZEBPropEnum properties[3];
  const std::string passport = "0123456789abcdef0123456789abcdef0123456789abcdef";

  QueryFixture() {
    properties[0].setValue(ZEBPropEnum::creationTime);
    properties[1].setValue(ZEBPropEnum::modificationTime);
    properties[2].setValue(ZEBPropEnum::defaultDescription);
  }

  // What a call does before the bytes go to the transport: the request object filled, preExec,
  // the header the session adds, the envelope.
  std::string assemble() {
    AssembledQuery query(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    query.setPath("/content/folder[@name='Bench']/*");
    for (ZEBPropEnum& p : properties) query.setProperty(p);
    query.preExec();
    ZEBVorbHeader header;
    header.setPassport(passport.c_str());
    header.setClientID(session.getClientID());
    return ZEBSoap::writeEnvelope(query.getRequest(), &header);
  }
};

void BM_QueryAssembly_DVL(benchmark::State& state) {
  QueryFixture fixture;
  size_t bytes = 0;
  for (auto _ : state) {
    std::string envelope = fixture.assemble();
    bytes = envelope.size();
    benchmark::DoNotOptimize(envelope.data());
  }
  state.counters["envelope_bytes"] = static_cast<double>(bytes);
}

void BM_QueryAssembly_WriterFloor(benchmark::State& state) {
  QueryFixture fixture;
  ParsedDocument parsed(fixture.assemble());
  for (auto _ : state) benchmark::DoNotOptimize(writeWithTextWriter(parsed.document));
}

// ---------------------------------------------------------------- a small reply

constexpr int kReplyObjects = 10;

std::unique_ptr<ZEBContentQuery_Reply> smallReplyModel() {
  auto reply = std::make_unique<ZEBContentQuery_Reply>();
  ZEBObjectRegistryI& registry = reply->getObjectRegistry();
  ZEBBaseClassArray* result = reply->getResult(&registry);
  char text[96];
  for (int i = 0; i < kReplyObjects; ++i) {
    auto* report = new ZEBReport;
    registry.registerObject(report);
    report->getObjectClass(&registry)->getValue(&registry)->setValue(ZEBClassEnum::report);
    std::snprintf(text, sizeof text, "Report %03d", i);
    report->getDefaultName(&registry)->setValue(text);
    std::snprintf(text, sizeof text, "/content/folder[@name='Bench']/report[@name='Report %03d']", i);
    report->getSearchPath(&registry)->setValue(text);
    std::snprintf(text, sizeof text, "%08x%024x", static_cast<unsigned>(i * 2654435761u), i);
    report->getStoreID(&registry)->getValue(&registry)->setValue(text);
    result->push_back(report);
  }
  reply->getVorbHeader(&registry)->setPassport("0123456789abcdef0123456789abcdef0123456789abcdef");
  return reply;
}

void BM_SmallReplyWrite_DVL(benchmark::State& state) {
  auto reply = smallReplyModel();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string envelope = ZEBSoap::writeEnvelope(*reply, reply->getVorbHeader(nullptr));
    bytes = envelope.size();
    benchmark::DoNotOptimize(envelope.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_SmallReplyWrite_WriterFloor(benchmark::State& state) {
  auto reply = smallReplyModel();
  std::string envelope = ZEBSoap::writeEnvelope(*reply, reply->getVorbHeader(nullptr));
  ParsedDocument parsed(envelope);
  for (auto _ : state) benchmark::DoNotOptimize(writeWithTextWriter(parsed.document));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * envelope.size()));
}

void BM_SmallReplyRead_DVL(benchmark::State& state) {
  auto model = smallReplyModel();
  std::string envelope = ZEBSoap::writeEnvelope(*model, model->getVorbHeader(nullptr));
  for (auto _ : state) {
    ZEBContentQuery_Reply reply;
    ZEBSoap::readEnvelope(envelope.data(), envelope.size(), reply);
    benchmark::DoNotOptimize(reply.getResult(nullptr));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * envelope.size()));
}

void BM_SmallReplyRead_ReaderFloor(benchmark::State& state) {
  auto model = smallReplyModel();
  std::string envelope = ZEBSoap::writeEnvelope(*model, model->getVorbHeader(nullptr));
  for (auto _ : state) benchmark::DoNotOptimize(bench::walkWithReader(envelope.data(), envelope.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * envelope.size()));
}

// ---------------------------------------------------------------- failed logons

// A logon for a user that does not exist must fail in the time of a wrong password, or the time
// tells which accounts exist: the server hashes a made-up password of the same cost for it. The
// summary gives the ratio of the two.
void failLogons(benchmark::State& state, bool knownUser) {
  dvlservice::ServiceOptions options;
  options.lockoutAfter = options.addressLockoutAfter = 0;
  dvlservice::ContentService service(options);
  int attempt = 0;
  for (auto _ : state) {
    std::string user = knownUser ? "demo" : "nobody" + std::to_string(attempt++);
    std::string credential = "<credential><namespace>LDAP</namespace><username>" + user +
                             "</username><password>guess</password></credential>";
    ZEBAuthenticationLogon_Request logon;
    logon.getCredentials(&logon.getObjectRegistry())->setValue(credential.c_str());
    ZEBWireRequest wire;
    wire.envelope = ZEBSoap::writeEnvelope(logon, nullptr);
    wire.peerAddress = "127.0.0.9";
    if (service.handle(wire).httpStatus != 500) state.SkipWithError("a wrong logon was not refused");
  }
}

void BM_FailedLogon_UnknownUser(benchmark::State& state) { failLogons(state, false); }
void BM_FailedLogon_WrongPassword(benchmark::State& state) { failLogons(state, true); }

void registerAll() {
  auto us = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMicrosecond); };
  bench::registerRounds({{"BM_Symbol_GetChar", &BM_Symbol_GetChar, nullptr},
                         {"BM_Symbol_GetString", &BM_Symbol_GetString, nullptr},
                         {"BM_Symbol_HashMapReference", &BM_Symbol_HashMapReference, nullptr},
                         {"BM_QueryAssembly_DVL", &BM_QueryAssembly_DVL, us},
                         {"BM_QueryAssembly_WriterFloor", &BM_QueryAssembly_WriterFloor, us},
                         {"BM_SmallReplyWrite_DVL", &BM_SmallReplyWrite_DVL, us},
                         {"BM_SmallReplyWrite_WriterFloor", &BM_SmallReplyWrite_WriterFloor, us},
                         {"BM_SmallReplyRead_DVL", &BM_SmallReplyRead_DVL, us},
                         {"BM_SmallReplyRead_ReaderFloor", &BM_SmallReplyRead_ReaderFloor, us},
                         {"BM_FailedLogon_UnknownUser", &BM_FailedLogon_UnknownUser, us},
                         {"BM_FailedLogon_WrongPassword", &BM_FailedLogon_WrongPassword, us}},
                        bench::roundsFromEnvironment(1));
}

}  // namespace

int main(int argc, char** argv) {
  DVL::initialize();
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  DVL::terminate();
  return 0;
}
