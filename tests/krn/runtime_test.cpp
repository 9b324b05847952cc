#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <vector>

#include "I18NString.h"
#include "KRNError.h"
#include "KRNReferenceCount.h"
#include "KRNResetableResource.h"
#include "KRNThread.h"
#include "support/Raised.h"

namespace {

// Records the order of reference calls.
class Counted : public KRNReferenceCount {
 public:
  explicit Counted(std::vector<std::string>& log, const char* name) : m_log(log), m_name(name) {}
  int addReference() override {
    m_log.push_back(std::string("add ") + m_name);
    return KRNReferenceCount::addReference();
  }
  int removeReference() override {
    m_log.push_back(std::string("remove ") + m_name);
    return KRNReferenceCount::removeReference();
  }
  void cleanup() override { m_log.push_back(std::string("cleanup ") + m_name); }

 private:
  std::vector<std::string>& m_log;
  const char* m_name;
};

TEST(SmartPointerTest, AssignmentAddsTheNewReferenceBeforeReleasingTheOldOne) {
  std::vector<std::string> log;
  Counted a(log, "a"), b(log, "b");
  {
    KRNSmartPointer<Counted> p;
    p = &a;
    p = &b;
    EXPECT_EQ(a.getReferenceCount(), 0);
    EXPECT_EQ(b.getReferenceCount(), 1);
  }
  std::vector<std::string> expected = {"add a", "add b", "remove a", "cleanup a", "remove b", "cleanup b"};
  EXPECT_EQ(log, expected);
  KRNSmartPointer<Counted> p(&a);  // assigning the object held keeps it
  p = p;
  EXPECT_EQ(a.getReferenceCount(), 1);
}

TEST(DowncastTest, ReportsASizeThatDoesNotFitAtTheCallersLocation) {
  EXPECT_EQ(KRNDowncastSize::int32(42, "DVLQuery", 121), 42);
  expectAssertion([] { KRNDowncastSize::int32(static_cast<size_t>(INT_MAX) + 1, "DVLQuery", 121); },
                  "KRN_ASSERT(size <= INT_MAX);", "DVLQuery", 121);
}

TEST(ByteBufferTest, GrowsAndResets) {
  KRNByteBuffer buffer(256, 256);
  std::string big(1000, 'x');
  buffer.append(big.data(), big.size());
  buffer.append("y");
  EXPECT_EQ(buffer.size(), 1001u);
  EXPECT_EQ(std::string(buffer.str()), big + "y");
  buffer.reset();
  EXPECT_STREQ(buffer.str(), "");
}

TEST(I18NStringTest, KeepsUtf8TextAndHonoursLength) {
  I18NString s("gr\xC3\xBC\xC3\x9F" "e", nullptr, -1, nullptr, nullptr);
  EXPECT_STREQ(s.c_str(nullptr, nullptr, nullptr, nullptr), "gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_STREQ(I18NString("abcdef", nullptr, 3).c_str(), "abc");
  EXPECT_STREQ(I18NString(nullptr, nullptr).c_str(), "");
}

TEST(CriticalSectionTest, ConcurrentGuardsExcludeOtherThreadsAndNest) {
  KRNThreadCriticalSection lock(0);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        KRNThreadGuard outer(lock);
        KRNThreadGuard inner(lock);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

class Cache : public KRNResetableResource {
 public:
  void reset() override { ++resets; }
  int resets = 0;
};

TEST(ResetableResourceTest, RegistryResetsRegisteredResourcesAndForgetsDestroyedOnes) {
  auto& registry = KRNResetableResourceRegistry::getInstance();
  size_t before = registry.size();
  {
    Cache cache;
    EXPECT_EQ(cache.getRegistered(), 0);
    registry.registerResource(&cache);
    EXPECT_EQ(cache.getRegistered(), 1);
    registry.resetAll();
    EXPECT_EQ(cache.resets, 1);
  }
  EXPECT_EQ(registry.size(), before);
  registry.resetAll();  // must not touch the destroyed cache
}

}  // namespace
