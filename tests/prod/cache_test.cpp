// The process-wide store of cache-service replies shared by conversations (the cache-service query
// itself runs live in the CLI and torture suites).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "DVLCacheData.h"
#include "KRNThrowable.h"
#include "support/Raised.h"

namespace {

// ---- DVLCacheData ----

std::atomic<int> g_freed{0};

// A reply that counts its own destruction, to see when the store frees it.
class CountedReply : public ZEBContentCacheQueryCache_Reply {
 public:
  ~CountedReply() override { ++g_freed; }
};

class CacheDataTest : public testing::Test {
 protected:
  void SetUp() override {
    DVLCacheData::deleteInstance();
    g_freed = 0;
  }
  void TearDown() override { DVLCacheData::deleteInstance(); }
  DVLCacheData& store() { return DVLCacheData::getInstance(); }
};

TEST_F(CacheDataTest, ConversationsShareTheFirstReplyUntilTheLastOneIsRemoved) {
  auto* first = new CountedReply;
  store().setDVLCacheData("report-1", "conv-a", first);
  store().setDVLCacheData("report-1", "conv-b", new CountedReply);
  EXPECT_EQ(g_freed, 1);  // the second reply, at once
  EXPECT_EQ(store().getDVLCacheData("report-1"), first);

  store().removeDVLCacheData("conv-a");
  EXPECT_EQ(store().getDVLCacheData("report-1"), first);
  EXPECT_EQ(g_freed, 1);
  store().removeDVLCacheData("conv-b");
  EXPECT_EQ(g_freed, 2);
  EXPECT_EQ(store().getDVLCacheData("report-1"), nullptr);

  // Unknown or already removed conversations change nothing.
  store().removeDVLCacheData("conv-b");
  store().removeDVLCacheData("never");
  store().removeDVLCacheData(nullptr);
  EXPECT_EQ(g_freed, 2);
}

TEST_F(CacheDataTest, AConversationFiledTwiceAssertsAndFreesTheReplyGiven) {
  auto* kept = new CountedReply;
  store().setDVLCacheData("k1", "conv", kept);
  expectAssertion([&] { store().setDVLCacheData("k2", "conv", new CountedReply); },
                  "KRN_ASSERT_NAMED(false, \"DVLCacheData::setDVLCacheData() Duplicate conversation ID.\");",
                  "DVLCacheData", 106);
  EXPECT_EQ(g_freed, 1);
  EXPECT_EQ(store().getDVLCacheData("k1"), kept);
  EXPECT_EQ(store().getDVLCacheData("k2"), nullptr);
  // The failed call filed nothing: one removal frees the only reply.
  store().removeDVLCacheData("conv");
  EXPECT_EQ(g_freed, 2);
}

TEST_F(CacheDataTest, ClearAndDeleteInstanceFreeEveryReplyAndForgetEveryConversation) {
  store().setDVLCacheData("k1", "c1", new CountedReply);
  store().setDVLCacheData("k2", "c2", new CountedReply);
  store().setDVLCacheData("k2", "c3", nullptr);
  store().clear();
  EXPECT_EQ(g_freed, 2);
  EXPECT_EQ(store().getDVLCacheData("k1"), nullptr);
  store().setDVLCacheData("k1", "c1", new CountedReply);  // no duplicate any more
  store().removeDVLCacheData("c2");
  EXPECT_EQ(g_freed, 2);
  DVLCacheData::deleteInstance();
  EXPECT_EQ(g_freed, 3);
  EXPECT_EQ(store().getDVLCacheData("k1"), nullptr);
}

TEST_F(CacheDataTest, ConcurrentConversationsKeepCountsAndFreeEachReplyOnce) {
  const int threads = 8, rounds = 300, keys = 5;
  std::atomic<int> made{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      DVLCacheData& shared = DVLCacheData::getInstance();
      for (int r = 0; r < rounds; ++r) {
        const std::string key = "key-" + std::to_string(r % keys);
        const std::string conversation = "conv-" + std::to_string(t) + "-" + std::to_string(r);
        ++made;
        shared.setDVLCacheData(key.c_str(), conversation.c_str(), new CountedReply);
        // While this conversation is filed, its key must have a reply.
        EXPECT_NE(shared.getDVLCacheData(key.c_str()), nullptr);
        shared.removeDVLCacheData(conversation.c_str());
      }
    });
  }
  go = true;
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(g_freed, made);
  for (int k = 0; k < keys; ++k) EXPECT_EQ(store().getDVLCacheData(("key-" + std::to_string(k)).c_str()), nullptr);
}

}  // namespace
