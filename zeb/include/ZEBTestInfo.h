/// \file
/// The toolkit's base of a test run's settings object: a reference-counted carrier that sessions and
/// request objects may be handed. It holds nothing itself; the library's settings class derives.
#pragma once

#include "KRNReferenceCount.h"
#include "ZEBObject.h"

/// Base of a test run's settings object; DVLTestInfo derives.
class ZEB_EXPORT ZEBTestInfo : public KRNReferenceCount {
 protected:
  ZEBTestInfo() = default;
  ~ZEBTestInfo() override = default;
};
