#include "DVL.h"

#include "ZEB.h"

// The library's process-wide locks are constructed when it is loaded, each with 0.
std::atomic<int> DVL::m_dvlInitCount{0};
KRNThreadCriticalSection DVL::m_dvlInitLock(0);

int DVL::initialize() {
  int result = 1;
  // The unlocked first test reads the count with acquire; the store below publishes it with release.
  if (m_dvlInitCount.load(std::memory_order_acquire) != 0) return result;
  KRNThreadGuard guard(m_dvlInitLock);
  if (m_dvlInitCount.load(std::memory_order_relaxed) == 0) {
    result = ZEB::initialize();
    m_dvlInitCount.store(m_dvlInitCount.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  return result;
}

int DVL::terminate() {
  KRNThreadGuard guard(m_dvlInitLock);
  int count = m_dvlInitCount.load(std::memory_order_relaxed);
  if (count > 0) {
    m_dvlInitCount.store(count - 1, std::memory_order_release);
    if (count - 1 == 0) ZEB::terminate();
  }
  return 1;
}

KRN_DEFINE_LIBRARY_ENTRY_POINT
