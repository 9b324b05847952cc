/// \file
/// Static services beside the request classes: the signed-on user's capabilities, the property list
/// of a synchronisation query, and the store identifier of an object as text.
#pragma once

#include <vector>

#include "DVLExport.h"
#include "ZEBSchema.h"
#include "ZEBSession.h"

/// Static services for hosts, beside the request classes.
class DVL_EXPORT DVLReportHelper {
 public:
  DVLReportHelper() {}
  virtual ~DVLReportHelper() {}

  /// Queries the session's capabilities ("~~") and replaces capabilities with them. With pNewHeader
  /// given (*pNewHeader null on entry, pObjectReg required), *pNewHeader receives a copy of the reply's
  /// header when the reply carries a passport other than header's; the caller owns that copy.
  static void getCapabilities(const ZEBVorbHeader& header, const ZEBSOAPSessionI& soapSession,
                              std::vector<ZEBUserCapabilityEnum::Enum>& capabilities, ZEBVorbHeader** pNewHeader,
                              ZEBObjectRegistryI* pObjectReg);

  /// The text of the object's store identifier, owned by the object; null when it has none.
  static const char* getStoreID(const ZEBBaseClass& object);

 private:
  /// Appends requested (the caller's own entries), then every sync property not already asked for,
  /// and sets the permission filter of options to "read".
  static void addSyncProperties(ZEBPropEnumArray& properties, ZEBQueryOptions& options, ZEBPropEnumArray* requested,
                                ZEBObjectRegistryI& registry, int withOwner);
  static void addRefProps(ZEBQueryOptions& options, ZEBObjectRegistryI& registry);
  static void copyCapabilities(const ZEBUserCapabilityEnumArray& source,
                               std::vector<ZEBUserCapabilityEnum::Enum>& capabilities);

  /// Lets the unit tests reach the private helpers without widening the interface.
  friend struct DVLReportHelperTestAccess;
};
