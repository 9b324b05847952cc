// Caches that can be emptied on request, and the process-wide registry that empties them all.
#pragma once

#include <vector>

#include "KRNThread.h"

class KRN_EXPORT KRNResetableResource {
 public:
  virtual ~KRNResetableResource();
  virtual void reset() = 0;
  int getRegistered() const { return m_registered; }
  void setRegistered(int registered) { m_registered = registered; }

 private:
  int m_registered = 0;
};

class KRN_EXPORT KRNResetableResourceRegistry {
 public:
  static KRNResetableResourceRegistry& getInstance();
  void registerResource(KRNResetableResource* resource);
  void unregisterResource(KRNResetableResource* resource);
  // Calls reset() on every registered resource. The caller makes sure no resource is in use.
  void resetAll();
  size_t size();

 private:
  KRNThreadCriticalSection m_lock;
  std::vector<KRNResetableResource*> m_resources;
};
