// The test settings object: defaults and stored values, output names, content-manager discovery
// through the process configuration, and replay factories made from recorded files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <type_traits>
#include <vector>

#include "DVLLogoff.h"
#include "DVLLogon.h"
#include "DVLTestInfo.h"
#include "KRNAllocationHooks.h"
#include "KRNConfiguration.h"
#include "KRNThread.h"
#include "ZEBRecording.h"
#include "support/FakeService.h"
#include "support/Raised.h"

namespace {

using Info = KRNSmartPointer<DVLTestInfo>;

std::string nameOf(const DVLTestInfo& info, const char* report, const char* suffix = nullptr) {
  std::string out = "previous contents";
  info.generateOutputName(report, suffix, out);
  return out;
}

std::string hex16(uint64_t id) {
  char text[32];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(id));
  return text;
}

// A file of this process only: tests run in parallel, from several build trees at once.
std::string tempPath(const std::string& name) {
  return testing::TempDir() + name + "." + std::to_string(::getpid());
}

// The entry at index (the last one when index is -1) is ours, at line, with macro.
void expectRaisedAt(const KRNThrowable& e, int line, const char* macro, int index = -1) {
  ASSERT_FALSE(e.getBackTrace().empty());
  const KRNBackTraceEntry& last = index < 0 ? e.getBackTrace().back() : e.getBackTrace().at(index);
  EXPECT_STREQ(last.location.getFile(), "DVLTestInfo");
  EXPECT_EQ(last.location.getLine(), line);
  EXPECT_EQ(last.function, "");
  EXPECT_EQ(last.macro, macro);
}

// ---- stored settings ---------------------------------------------------------------------------

TEST(TestInfoTest, DateTimeIsFixedUntilActivatedAndTheJobStateDumpIsCopied) {
  Info info = DVLTestInfo::create();
  EXPECT_EQ(info->getDateTime(1700000000), 1060180744);
  info->activeDateTime();
  EXPECT_EQ(info->getDateTime(1700000000), 1700000000);
  info->setConcurrentQueryJobStateDump(std::string("job 2: done").c_str());  // copied
  expectAssertion([&] { info->setConcurrentQueryJobStateDump(nullptr); }, "KRN_ASSERT(pDump);", "DVLTestInfo", 394);
  EXPECT_STREQ(info->getConcurrentQueryJobStateDump(), "job 2: done");
}

// Code built against the published layout calls the settings object by slot: the destructor's two
// entries first, then the four counting operations of the runtime's base, nothing added.
template <class F>
long slotOf(F member) {
  static_assert(sizeof(F) == 2 * sizeof(long), "an Itanium member-function pointer");
  long raw[2];
  std::memcpy(raw, &member, sizeof raw);
  return (raw[0] - 1) / static_cast<long>(sizeof(void*));  // a virtual one holds 1 + its byte offset
}

TEST(TestInfoTest, VirtualOperationsComeInTheirSlotOrder) {
  static_assert(std::is_base_of_v<KRNThreadUnsafeReferenceCount, KRNReferenceCount>);
  static_assert(std::is_base_of_v<KRNReferenceCount, DVLTestInfo> && std::has_virtual_destructor_v<DVLTestInfo>);
  EXPECT_EQ(slotOf(&DVLTestInfo::addReference), 2);
  EXPECT_EQ(slotOf(&DVLTestInfo::removeReference), 3);
  EXPECT_EQ(slotOf(&DVLTestInfo::getReferenceCount), 4);
  EXPECT_EQ(slotOf(&DVLTestInfo::cleanup), 5);
}

// ---- output names ------------------------------------------------------------------------------

TEST(OutputNameTest, SeparatorsBecomeUnderscoresAndTheLocaleIsAddedWhenAsked) {
  Info info = DVLTestInfo::create();
  EXPECT_EQ(nameOf(*info, "a b/c\\d:e"), "a_b_c_d_e");
  EXPECT_EQ(nameOf(*info, "report", "final run/2"), "report_final_run_2");
  info->setLocale("en:us");
  info->setMultiLocale(1);
  EXPECT_EQ(nameOf(*info, "Sales by region", "final"), "Sales_by_region_final_en_us");
  // The locale needs both the flag and a locale; an empty one is none.
  info->setMultiLocale(0);
  EXPECT_EQ(nameOf(*info, "r", "s"), "r_s");
  info->setMultiLocale(1);
  for (const char* none : {"", static_cast<const char*>(nullptr)}) {
    info->setLocale(none);
    EXPECT_EQ(nameOf(*info, "r", "s"), "r_s");
  }
  // A null report name asserts and leaves the output alone.
  std::string out = "kept";
  expectAssertion([&] { info->generateOutputName(nullptr, "s", out); }, "KRN_ASSERT(reportName);", "DVLTestInfo", 174);
  EXPECT_EQ(out, "kept");
}

TEST(OutputNameTest, MultiThreadedNamesCarryTheOwnerThreadInSixteenHexDigits) {
  Info info = DVLTestInfo::create();
  info->setLocale("de");
  info->setMultiLocale(1);
  uint64_t other = 0;
  std::thread([&] {
    info->setMultiThreaded(1);
    other = KRNThread::currentThreadId();
  }).join();
  EXPECT_EQ(nameOf(*info, "r", "s"), "r_s_de_mt" + hex16(other));
  // Switching on again from this thread replaces the owner.
  info->setMultiThreaded(1);
  EXPECT_NE(other, KRNThread::currentThreadId());
  EXPECT_EQ(nameOf(*info, "r"), "r_de_mt" + hex16(KRNThread::currentThreadId()));
  info->setMultiThreaded(0);
  EXPECT_EQ(nameOf(*info, "r"), "r_de");
}

// ---- content-manager discovery -----------------------------------------------------------------

class ContentManagerTest : public testing::Test {
 protected:
  void TearDown() override {
    KRNConfigurationFactory::setInstanceForTesting(nullptr);
    KRNConfigurationFactory::reset();
  }
};

// The first item is chosen, with a warning when there are several. A missing or empty list asserts
// before anything changes; an empty first item is warned about, then refused.
TEST_F(ContentManagerTest, TheFirstItemIsChosenAndListsWithoutAUsableOneAssert) {
  const struct {
    const char *list, *chosen;
    bool warned;
    const char* assertion;  // null: none
    int line;
  } cases[] = {
      {"<contentManager>http://old</contentManager><contentManagers><item>http://cm1:9300/dvl</item></contentManagers>",
       "http://cm1:9300/dvl", false, nullptr, 0},
      {"<contentManagers><item>http://a</item><item>http://b</item></contentManagers>", "http://a", true, nullptr, 0},
      // At any depth, and only in the configuration namespace.
      {"<contentManagers><item xmlns=\"\">http://none</item><o:item xmlns:o=\"urn:other\">http://other</o:item>"
       "<item><group><item>http://nested</item></group></item></contentManagers>",
       "http://nested", true, nullptr, 0},
      {"<contentManager>http://old</contentManager>", "http://old", false,
       "KRN_ASSERT(contentManagers.isNull() == FALSE);", 428},
      {"<contentManager>http://old</contentManager><contentManagers></contentManagers>", "http://old", false,
       "KRN_ASSERT_NAMED(numItems != 0, \"No contents managers found in IKRNConfiguration.\");", 435},
      {"<contentManagers><item></item><item>http://b</item></contentManagers>", "", true,
       "KRN_ASSERT(!contentManagerURI.empty());", 445}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    KRNConfigurationFactory::loadFromString(std::string("<configuration xmlns=\"") + KRNConfiguration::namespaceURI +
                                            "\">" + c.list + "</configuration>");
    testing::internal::CaptureStderr();
    if (c.assertion) {
      expectAssertion([] { DVLTestInfo::setContentManager(); }, c.assertion, "DVLTestInfo", c.line);
    } else {
      DVLTestInfo::setContentManager();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              c.warned ? "WARNING: Multiple content manager entries detected, defaulting to \"" + std::string(c.chosen) +
                             "\"\n"
                       : "");
    EXPECT_EQ(KRNConfigurationFactory::getInstance().lookupString("contentManager").c_str(), std::string(c.chosen));
  }
}

// ---- replay factories --------------------------------------------------------------------------

class RecordedFactoryTest : public testing::Test {
 protected:
  void TearDown() override { std::remove(path.c_str()); }
  void SetUp() override {
    path = tempPath(testing::UnitTest::GetInstance()->current_test_info()->name());
    FakeService service;
    logOnAndOff(ZEBSOAPSession(std::make_shared<ZEBRecordingTransport>(service.transport(), path)));
  }
  static void logOnAndOff(const ZEBSOAPSessionI& session) {
    DVLLogon logon(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    logon.addCredentials(nullptr, "bob", "pw", 0);
    logon.execute();
    DVLLogoff(session, nullptr).execute();
  }
  std::string path;
};

TEST_F(RecordedFactoryTest, EachCallMakesAFactoryThatReplaysTheFileAndGoesWithTheObject) {
  std::string sent = tempPath("sent.dvlrec");
  std::remove(sent.c_str());
  {
    Info info = DVLTestInfo::create();
    VorbTK& first = info->getRecordedFilesAsSessionFactory("LogonTest", sent, path);
    VorbTK& second = info->getRecordedFilesAsSessionFactory("LogonTest", "", path);
    const std::vector<MockVorbTK*>& list = info->getSessionFactoriesCreatedFromRecordedFiles();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(static_cast<VorbTK*>(list[0]), &first);
    EXPECT_EQ(static_cast<VorbTK*>(list[1]), &second);
    for (VorbTK* factory : {&first, &second}) {  // each from the first exchange
      logOnAndOff(*factory->createSession());
      EXPECT_EQ(static_cast<MockVorbTK*>(factory)->getSession().getReplay().getExchangesReplayed(), 2);
    }
    info->setConcurrentQueryJobStateDump("dump");
    EXPECT_FALSE(std::ifstream(sent).good());
  }
  // Deleted with the settings object, the first factory wrote what was sent.
  std::ifstream in(sent);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "DVL-RECORDED-SESSION 1");
  std::remove(sent.c_str());
}

TEST_F(RecordedFactoryTest, AMissingOrForeignFileFailsWithOneEntryOfOursAndAddsNoFactory) {
  Info info = DVLTestInfo::create();
  info->getRecordedFilesAsSessionFactory("a", "", path);
  KRNRuntimeError e = raisedBy<KRNRuntimeError>(
      [&] { info->getRecordedFilesAsSessionFactory("a", "", tempPath("no-such-recording.dvlrec")); });
  int ours = 0;
  for (const KRNBackTraceEntry& entry : e.getBackTrace())
    ours += std::string(entry.location.getFile()) == "DVLTestInfo";
  EXPECT_EQ(ours, 1);
  expectRaisedAt(e, 286, "KRN_RETHROW");
  EXPECT_NE(e.getMessage().find("no-such-recording.dvlrec"), std::string::npos);

  std::string notRecording = tempPath("not-a-recording.txt");
  std::ofstream(notRecording) << "hello\n";
  ZEBRecordedFileError bad =
      raisedBy<ZEBRecordedFileError>([&] { info->getRecordedFilesAsSessionFactory("a", "", notRecording); });
  expectRaisedAt(bad, 290, "KRN_RETHROW");
  EXPECT_EQ(info->getSessionFactoriesCreatedFromRecordedFiles().size(), 1u);
  std::remove(notRecording.c_str());
}

// A failed allocation in the creation or in any step of the factory's chain names its step, and
// the list of factories is left alone.
TEST_F(RecordedFactoryTest, AFailedAllocationInAnyChainStepNamesItsStep) {
  KRN::failCheckedAllocationAfter(1);
  KRNOutOfMemoryError created = raisedBy<KRNOutOfMemoryError>([] { DVLTestInfo::create(); });
  KRN::failCheckedAllocationAfter(0);
  expectRaisedAt(created, 89, "KRN_THROW", 0);
  Info info = DVLTestInfo::create();
  for (auto [k, line] : {std::pair<int, int>{1, 286}, {2, 290}, {3, 294}, {4, 298}, {5, 303}, {6, 309}}) {
    SCOPED_TRACE(line);
    KRN::failCheckedAllocationAfter(k);
    KRNOutOfMemoryError e =
        raisedBy<KRNOutOfMemoryError>([&] { info->getRecordedFilesAsSessionFactory("a", "", path); });
    KRN::failCheckedAllocationAfter(0);
    expectRaisedAt(e, line, "KRN_THROW", 0);
    for (const KRNBackTraceEntry& entry : e.getBackTrace()) EXPECT_EQ(entry.location.getLine(), line);
  }
  EXPECT_TRUE(info->getSessionFactoriesCreatedFromRecordedFiles().empty());
}

}  // namespace
