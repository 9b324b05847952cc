/// \file
/// Caches that can be emptied on request, and the process-wide registry that empties them all.
#pragma once

#include <vector>

#include "KRNThread.h"

/// A process-wide resource that can be brought back to its first state.
class KRN_EXPORT KRNResetableResource {
 public:
  virtual ~KRNResetableResource();
  /// Brings the resource back to its first state.
  virtual void reset() = 0;
  /// Non-zero once registered with the registry.
  int getRegistered() const { return m_registered; }
  /// Marks the resource registered (non-zero) or not.
  void setRegistered(int registered) { m_registered = registered; }

 private:
  int m_registered = 0;
};

/// Every resettable resource of the process, reset together.
class KRN_EXPORT KRNResetableResourceRegistry {
 public:
  /// The single instance.
  static KRNResetableResourceRegistry& getInstance();
  /// Adds resource; not owned.
  void registerResource(KRNResetableResource* resource);
  /// Removes resource.
  void unregisterResource(KRNResetableResource* resource);
  /// Calls reset() on every registered resource. The caller makes sure no resource is in use.
  void resetAll();
  /// Number of registered resources.
  size_t size();

 private:
  KRNThreadCriticalSection m_lock;
  std::vector<KRNResetableResource*> m_resources;
};
