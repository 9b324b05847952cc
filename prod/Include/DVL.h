/// \file
/// Start and stop of the DVL library, and the host's process-wide switches.
#pragma once

#include <atomic>

#include "DVLExport.h"
#include "KRNThread.h"

/// Start and stop of the library, once per process.
class DVL_EXPORT DVL {
 public:
  DVL() {}
  virtual ~DVL() {}
  /// Starts the toolkit on the first call and returns its result; later calls return 1.
  static int initialize();
  /// Stops the toolkit, however often initialize() was called. Returns 1.
  static int terminate();

 private:
  static std::atomic<int> m_dvlInitCount;  ///< 0 or 1
  static KRNThreadCriticalSection m_dvlInitLock;
};

/// Two switches the host keeps for itself; the library never reads them.
class DVL_EXPORT DVLStatus {
 public:
  DVLStatus() : m_useCM(1), m_useCMOutput(1) {}
  virtual ~DVLStatus() {}
  /// The single instance, created on first use and never destroyed.
  static DVLStatus& getInstance();

  // The getters return const int, as hosts built against this class expect; hosts compiling with
  // -Wextra would otherwise be told that the qualifier does nothing.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
#endif
  /// The host's content-manager switch.
  const int getUseCM() { return m_useCM; }
  /// The host's content-manager output switch.
  const int getUseCMOutput() { return m_useCMOutput; }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  /// Sets the host's content-manager switch.
  void setUseCM(int useCM) { m_useCM = useCM; }
  /// Sets the host's content-manager output switch.
  void setUseCMOutput(int useCMOutput) { m_useCMOutput = useCMOutput; }

 private:
  int m_useCM;
  int m_useCMOutput;
  static std::atomic<DVLStatus*> m_pInstance;
  static KRNThreadCriticalSection m_instanceLock;
};
