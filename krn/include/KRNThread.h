/// \file
/// Locks and thread identity.
#pragma once

#include <cstdint>
#include <mutex>

#include "KRNPlatform.h"

/// Something that can be locked and unlocked.
class KRN_EXPORT KRNThreadLockableResource {
 public:
  virtual ~KRNThreadLockableResource() = default;
  /// Waits for and takes the lock.
  virtual void lock() = 0;
  /// Gives the lock up.
  virtual void unlock() = 0;
};

/// A recursive lock: the thread that holds it may take it again.
class KRN_EXPORT KRNThreadCriticalSection : public KRNThreadLockableResource {
 public:
  /// A mutex; spinCount is accepted and ignored.
  explicit KRNThreadCriticalSection(int /*spinCount*/ = 0) {}
  void lock() override { m_mutex.lock(); }
  void unlock() override { m_mutex.unlock(); }

 private:
  std::recursive_mutex m_mutex;
};

/// Holds a lock for its lifetime.
class KRN_EXPORT KRNThreadGuard {
 public:
  /// Locks resource until the guard goes.
  explicit KRNThreadGuard(KRNThreadLockableResource& resource) : m_resource(resource) { m_resource.lock(); }
  ~KRNThreadGuard() { m_resource.unlock(); }
  KRNThreadGuard(const KRNThreadGuard&) = delete;
  KRNThreadGuard& operator=(const KRNThreadGuard&) = delete;

 private:
  KRNThreadLockableResource& m_resource;
};

/// Facts about threads.
class KRN_EXPORT KRNThread {
 public:
  /// The operating system's identifier of the calling thread (never 0).
  static uint64_t currentThreadId();
};
