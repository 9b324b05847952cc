// Allocation torture: each request class's call is run again and again while the k-th allocation
// on the calling thread fails, whether it is one of our checked allocations or one libxml2 or
// libcurl makes. Every run must end in success or in KRNOutOfMemoryError, never another error or a
// crash, and leave the library usable; the sanitizer build checks that nothing leaks.
//
// Every k is tried up to kExhaustive; beyond that a seeded sample (DVL_TORTURE_SEED to repeat one,
// DVL_TORTURE_ALL=1 to try every k).
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <string>

#include "DVLAddHistoryDetail.h"
#include "DVLAddOutput.h"
#include "DVLAddReportVersion.h"
#include "DVLCacheQueryCache.h"
#include "DVLDelete.h"
#include "DVLDetermineRouting.h"
#include "DVLGetObject.h"
#include "DVLLogoff.h"
#include "DVLQueryMultiple.h"
#include "DVLQueryMultipleCache.h"
#include "DVLReportHelper.h"
#include "DVLSaAXMQuery.h"
#include "KRNError.h"
#include "LiveServer.h"
#include "KRNAllocationHooks.h"

namespace live {
namespace {

constexpr long kExhaustive = 300;
constexpr long kSampled = 300;

class Torture;

struct Scenario {
  const char* name;
  // Run unarmed before each try: what the call needs that is not under test.
  std::function<void(Torture&)> prepare;
  std::function<void(Torture&)> call;
};
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class Torture : public LiveServer, public testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    LiveServer::SetUp();
    logon();
    folder = addFolder("/content", "Torture").path;
  }

  // Fails the k-th allocation of one run, which must then end in the out-of-memory error: a call
  // that returns as if all were well after an allocation failed may have lost part of its reply.
  // False when the run made fewer than k allocations.
  bool runFailing(long k) {
    GetParam().prepare(*this);
    const long failedBefore = KRN::failedAllocations();
    KRN::failCheckedAllocationAfter(k);
    bool outOfMemory = false;
    try {
      GetParam().call(*this);
    } catch (const KRNOutOfMemoryError&) {
      outOfMemory = true;
    } catch (const KRNThrowable& e) {
      ADD_FAILURE() << "allocation " << k << " failed: " << e.toString();
    }
    KRN::failCheckedAllocationAfter(0);
    const bool failed = KRN::failedAllocations() != failedBefore;
    EXPECT_EQ(outOfMemory, failed) << "allocation " << k << (failed ? " failed, yet the call succeeded" : "");
    return outOfMemory;
  }

  static std::set<long> allocationsToFail(long total) {
    std::set<long> ks;
    const char* all = std::getenv("DVL_TORTURE_ALL");
    long exhaustive = all && *all == '1' ? total : std::min(total, kExhaustive);
    for (long k = 1; k <= exhaustive; ++k) ks.insert(k);
    if (exhaustive == total) return ks;
    const char* seedText = std::getenv("DVL_TORTURE_SEED");
    unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : std::random_device()();
    std::cout << "[ torture  ] " << total << " allocations, sampling with DVL_TORTURE_SEED=" << seed << "\n";
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> pick(exhaustive + 1, total);
    for (long i = 0; i < kSampled; ++i) ks.insert(pick(random));
    return ks;
  }

 public:
  std::string folder;
  std::string doomed;
  int serial = 0;
  std::string nextName() { return "object " + std::to_string(++serial); }
};

TEST_P(Torture, EveryFailedAllocationIsOutOfMemoryAndTheLibraryStaysUsable) {
  GetParam().prepare(*this);  // a clean run counts the allocations on this thread
  const long before = KRN::attemptedAllocations();
  GetParam().call(*this);
  const long total = KRN::attemptedAllocations() - before;
  ASSERT_GT(total, 0);
  const std::set<long> ks = allocationsToFail(total);
  long outOfMemory = 0;
  for (long k : ks) {
    outOfMemory += runFailing(k);
    if (HasFailure()) break;  // one report is enough to start from
  }
  std::cout << "[ torture  ] " << total << " allocations in one call; " << ks.size() << " failed one at a time, "
            << outOfMemory << " of them reported as out of memory\n";
  EXPECT_GT(outOfMemory, 0);
  // A run after all those failures still works.
  GetParam().prepare(*this);
  GetParam().call(*this);
}

void nothing(Torture&) {}

const char kDocument[] = "%PDF-1.7 a small document";

// One add per road: a model or a data-movement task is built and sent as a report version is.
INSTANTIATE_TEST_SUITE_P(
    RequestClasses, Torture,
    testing::Values(
        Scenario{"Logon", nothing, [](Torture& s) { s.logon(); }},
        Scenario{"SealedLogon", nothing, [](Torture& s) { s.logon("demo", "demo", 1); }},
        Scenario{"Logoff", [](Torture& s) { s.logon(); },
                 [](Torture& s) { DVLLogoff(s.session(), nullptr).execute(); }},
        Scenario{"Query", nothing, [](Torture& s) { s.count(s.folder + "/*"); }},
        Scenario{"Lookup", nothing,
                 [](Torture& s) {
                   DVLGetObject lookup(s.session(), nullptr, kUntrusted);
                   lookup.setPath("/content");
                   lookup.setChildName("Torture");
                   lookup.execute();
                 }},
        Scenario{"MultipleQuery", nothing,
                 [](Torture& s) {
                   DVLQueryMultiple multiple(s.session(), nullptr, kUntrusted);
                   DVLQueryRequest children(multiple), top(multiple);
                   children.setPath((s.folder + "/*").c_str());
                   children.setSortOptions(ZEBPropEnum::defaultName, ZEBOrderEnum::ascending);
                   top.setPath("/content");
                   multiple.addRequest(children);
                   multiple.addRequest(top);
                   multiple.execute();
                 }},
        Scenario{"CacheValidatedQuery", nothing,
                 [](Torture& s) {
                   DVLQueryMultipleCache cached(s.session(), nullptr, kUntrusted);
                   DVLQueryRequest children(cached);
                   children.setPath((s.folder + "/*").c_str());
                   cached.addRequest(children);
                   cached.setCacheValidator("");
                   cached.execute();
                 }},
        Scenario{"CacheService", nothing,
                 [](Torture& s) {
                   DVLCacheQueryCache query(s.session(), nullptr, kUntrusted);
                   ZEBClassEnum type(ZEBClassEnum::folder);
                   query.setObjectPath(s.folder.c_str());
                   query.setSearchType(type);
                   query.execute();
                 }},
        Scenario{"Routing", nothing,
                 [](Torture& s) {
                   ZEBSearchPathSingleObject path;
                   path.setValue(s.folder.c_str());
                   DVLDetermineRouting routing(s.session(), nullptr, kUntrusted);
                   routing.addPath(&path);
                   routing.execute();
                 }},
        Scenario{"Capabilities", nothing,
                 [](Torture& s) {
                   ZEBVorbHeader header;
                   std::vector<ZEBUserCapabilityEnum::Enum> capabilities;
                   DVLReportHelper::getCapabilities(header, s.session(), capabilities, nullptr, nullptr);
                 }},
        Scenario{"OutputWithDocument", nothing,
                 [](Torture& s) {
                   ZEBMemoryDocumentOutput document(kDocument, sizeof kDocument - 1, "application/pdf");
                   s.add<DVLAddOutput>(s.folder, s.nextName(), [&](DVLAddOutput& a) { a.setData(&document); });
                 }},
        Scenario{"ReportVersion", nothing,
                 [](Torture& s) {
                   ZEBOption format;
                   format.setName("outputFormat");
                   format.setValue("PDF");
                   ZEBOptionArray options;
                   options.push_back(&format);
                   s.add<DVLAddReportVersion>(s.folder, s.nextName(), [&](DVLAddReportVersion& a) {
                     a.setSpecification("<report/>");
                     a.setOptions(&options);
                   });
                 }},
        Scenario{"HistoryDetail", nothing,
                 [](Torture& s) {
                   s.add<DVLAddHistoryDetail>(s.folder, s.nextName(),
                                              [](DVLAddHistoryDetail& a) { a.setDetail("rows loaded: 42"); });
                 }},
        Scenario{"Delete", [](Torture& s) { s.doomed = s.addFolder(s.folder, s.nextName()).path; },
                 [](Torture& s) {
                   DVLDelete remove(s.session(), nullptr, kUntrusted);
                   remove.addPath(s.doomed.c_str());
                   remove.execute();
                 }},
        Scenario{"StandaloneCredential", nothing,
                 [](Torture& s) {
                   DVLSaAXMQuery query(s.session(), nullptr, kUntrusted);
                   query.setNamespace("LDAP");
                   query.execute();
                 }}),
    [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
}  // namespace live
