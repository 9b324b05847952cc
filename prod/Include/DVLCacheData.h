/// \file
/// A process-wide store of cache-service replies shared by conversations: each reply is filed under
/// a key, each conversation under its identifier; a reply is freed when the last conversation that
/// uses it is removed. Every operation but deleteInstance() may be called from any thread.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <utility>

#include "DVLExport.h"
#include "KRNThread.h"
#include "ZEBSchema.h"

/// Process-wide store of cache-service replies shared by conversations.
class DVL_EXPORT DVLCacheData {
 public:
  virtual ~DVLCacheData();

  /// The single store, created on first use.
  static DVLCacheData& getInstance();
  /// Destroys the store (the next getInstance() makes a new, empty one). Call it only when no other
  /// thread uses the store.
  static void deleteInstance();

  /// The reply filed under key, or null. The store keeps it; it stays valid until the last
  /// conversation filed under key is removed or clear() runs.
  ZEBContentCacheQueryCache_Reply* getDVLCacheData(const char* key);
  /// Files conversationID under key and takes ownership of reply in every case: when key already has
  /// a reply, that one stays and reply is freed. A conversation filed twice raises KRNAssertError.
  void setDVLCacheData(const char* key, const char* conversationID, ZEBContentCacheQueryCache_Reply* reply);
  /// Ends a conversation; the last one under a key frees its reply. Unknown identifiers are ignored.
  void removeDVLCacheData(const char* conversationID);
  /// Frees every reply and forgets every conversation.
  void clear();

 private:
  DVLCacheData() = default;
  DVLCacheData(const DVLCacheData&) = delete;
  DVLCacheData& operator=(const DVLCacheData&) = delete;
  void freeAll();
  /// getInstance() creates the store through the runtime's checked allocation.
  template <class T, class... Args>
  friend T* KRNCheckedNew(const char* file, int line, Args&&... args);

  /// key -> (number of conversations filed under it, owned reply)
  std::map<std::string, std::pair<int, ZEBContentCacheQueryCache_Reply*>> m_replies;
  /// conversation identifier -> key
  std::map<std::string, std::string> m_conversations;

  static std::atomic<DVLCacheData*> m_pInstance;
  static KRNThreadCriticalSection instanceLock;
};
