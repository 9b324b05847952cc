// Locks and thread identity.
#pragma once

#include <cstdint>
#include <mutex>

#include "KRNPlatform.h"

class KRN_EXPORT KRNThreadLockableResource {
 public:
  virtual ~KRNThreadLockableResource() = default;
  virtual void lock() = 0;
  virtual void unlock() = 0;
};

// A recursive lock: the thread that holds it may take it again.
class KRN_EXPORT KRNThreadCriticalSection : public KRNThreadLockableResource {
 public:
  explicit KRNThreadCriticalSection(int spinCount = 0) {}
  void lock() override { m_mutex.lock(); }
  void unlock() override { m_mutex.unlock(); }

 private:
  std::recursive_mutex m_mutex;
};

// Holds a lock for its lifetime.
class KRN_EXPORT KRNThreadGuard {
 public:
  explicit KRNThreadGuard(KRNThreadLockableResource& resource) : m_resource(resource) { m_resource.lock(); }
  ~KRNThreadGuard() { m_resource.unlock(); }
  KRNThreadGuard(const KRNThreadGuard&) = delete;
  KRNThreadGuard& operator=(const KRNThreadGuard&) = delete;

 private:
  KRNThreadLockableResource& m_resource;
};

class KRN_EXPORT KRNThread {
 public:
  // The operating system's identifier of the calling thread (never 0).
  static uint64_t currentThreadId();
};
