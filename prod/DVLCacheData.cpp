#include "DVLCacheData.h"

#include "KRNError.h"

std::atomic<DVLCacheData*> DVLCacheData::m_pInstance{nullptr};
KRNThreadCriticalSection DVLCacheData::instanceLock(0);

DVLCacheData::~DVLCacheData() {
  freeAll();
}

DVLCacheData& DVLCacheData::getInstance() {
  // The acquire pairs with the release below, so a thread that sees the pointer sees the whole store.
  if (DVLCacheData* instance = m_pInstance.load(std::memory_order_acquire)) return *instance;
  KRNThreadGuard guard(instanceLock);
  if (m_pInstance.load(std::memory_order_relaxed) == nullptr) {
    m_pInstance.store(KRNCheckedNew<DVLCacheData>("DVLCacheData", 71), std::memory_order_release);
  }
  return *m_pInstance.load(std::memory_order_relaxed);
}

void DVLCacheData::deleteInstance() {
  delete m_pInstance.exchange(nullptr, std::memory_order_acq_rel);
}

ZEBContentCacheQueryCache_Reply* DVLCacheData::getDVLCacheData(const char* key) {
  if (!key) return nullptr;
  KRNThreadGuard guard(instanceLock);
  auto found = m_replies.find(key);
  return found == m_replies.end() ? nullptr : found->second.second;
}

void DVLCacheData::setDVLCacheData(const char* key, const char* conversationID,
                                   ZEBContentCacheQueryCache_Reply* reply) {
  KRNThreadGuard guard(instanceLock);
  if (!key || !conversationID) {
    delete reply;  // the store owns the reply whatever happens
    KRN_ASSERT_AT(false, "DVLCacheData", 98, "KRN_ASSERT(key && conversationID);");
  }
  if (m_conversations.count(conversationID) != 0) {
    delete reply;
    KRN_ASSERT_AT(false, "DVLCacheData", 106,
                  "KRN_ASSERT_NAMED(false, \"DVLCacheData::setDVLCacheData() Duplicate conversation ID.\");");
  }
  m_conversations.emplace(conversationID, key);
  auto found = m_replies.find(key);
  if (found == m_replies.end()) {
    m_replies.emplace(key, std::make_pair(1, reply));
  } else {
    // The reply filed first is the one every conversation under this key shares.
    delete reply;
    ++found->second.first;
  }
}

void DVLCacheData::removeDVLCacheData(const char* conversationID) {
  if (!conversationID) return;
  KRNThreadGuard guard(instanceLock);
  auto conversation = m_conversations.find(conversationID);
  if (conversation == m_conversations.end()) return;
  const std::string key = conversation->second;
  m_conversations.erase(conversation);
  auto found = m_replies.find(key);
  if (found == m_replies.end()) return;
  if (--found->second.first == 0) {
    delete found->second.second;
    found->second.second = nullptr;
    m_replies.erase(found);
  }
}

void DVLCacheData::clear() {
  KRNThreadGuard guard(instanceLock);
  freeAll();
}

void DVLCacheData::freeAll() {
  for (auto& entry : m_replies) {
    delete entry.second.second;
    entry.second.second = nullptr;
  }
  m_replies.clear();
  m_conversations.clear();
}
