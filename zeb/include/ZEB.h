/// \file
/// Start and stop of the SOAP toolkit: the process-wide set-up of libxml2 and libcurl.
#pragma once

#include "ZEBObject.h"

/// Start and stop of the SOAP toolkit.
class ZEB_EXPORT ZEB {
 public:
  /// Initialises libxml2 and libcurl for the process. Returns 1.
  static int initialize();
  /// Undoes initialize(). Returns 1.
  static int terminate();

  /// How often each was called since the process started.
  static int getInitializeCalls();
  /// How often terminate() has been called.
  static int getTerminateCalls();
  /// Test seam: when set, initialize() and terminate() call it (with true and false) instead of
  /// doing their work and return its result; it may throw.
  static void setLifecycleHook(int (*hook)(bool starting));
};
