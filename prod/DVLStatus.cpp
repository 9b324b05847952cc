#include "DVL.h"
#include "KRNError.h"

std::atomic<DVLStatus*> DVLStatus::m_pInstance{nullptr};
KRNThreadCriticalSection DVLStatus::m_instanceLock(0);

DVLStatus& DVLStatus::getInstance() {
  if (DVLStatus* instance = m_pInstance.load(std::memory_order_acquire)) return *instance;
  KRNThreadGuard guard(m_instanceLock);
  if (m_pInstance.load(std::memory_order_relaxed) == nullptr) {
    m_pInstance.store(KRNCheckedNew<DVLStatus>("DVLStatus", 64), std::memory_order_release);
  }
  return *m_pInstance.load(std::memory_order_relaxed);
}
