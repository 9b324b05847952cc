#include "DVLReportHelper.h"

#include <cstdint>
#include <cstring>
#include <set>

#include "KRNError.h"
#include "KRNReferenceCount.h"
#include "ZEBHelper.h"
#include "ZEBPortType.h"
#include "zp2omsymbols1.h"

namespace {

// Sync properties 1 to 20, then the two that only a query on behalf of the owner asks for.
const ZEBPropEnum::Enum syncProperties[] = {
    ZEBPropEnum::defaultName,       ZEBPropEnum::name,              ZEBPropEnum::storeID,
    ZEBPropEnum::searchPath,        ZEBPropEnum::defaultDescription, ZEBPropEnum::description,
    ZEBPropEnum::creationTime,      ZEBPropEnum::modificationTime,  ZEBPropEnum::specification,
    ZEBPropEnum::objectClass,       ZEBPropEnum::metadataModel,     ZEBPropEnum::metadataModelPackage,
    ZEBPropEnum::paths,             ZEBPropEnum::permissions,       ZEBPropEnum::parameters,
    ZEBPropEnum::dataBlocks,        ZEBPropEnum::options,           ZEBPropEnum::allowSubscription,
    ZEBPropEnum::allowNotification, ZEBPropEnum::notificationList,  ZEBPropEnum::runAsOwner,
    ZEBPropEnum::ownerPassport,
};
const size_t commonSyncCount = 20;
const size_t ownerSyncCount = 22;

}  // namespace

void DVLReportHelper::getCapabilities(const ZEBVorbHeader& header, const ZEBSOAPSessionI& soapSession,
                                      std::vector<ZEBUserCapabilityEnum::Enum>& capabilities,
                                      ZEBVorbHeader** pNewHeader, ZEBObjectRegistryI* pObjectReg) {
  ZEBSearchPathMultipleObject searchPath;
  searchPath.setValue(DVLFixedStrings::getText(DVLFixedStrings::sessionPath));
  ZEBPropEnum userCapabilities(ZEBPropEnum::userCapabilities);
  ZEBPropEnumArray properties;
  properties.push_back(&userCapabilities);
  ZEBContentQuery_Request request;
  request.setSearchPath(&searchPath);
  request.setProperties(&properties);
  ZEBContentQuery_Reply reply;
  // Declared after the messages so that it is released before them.
  KRNSmartPointer<ZEBPortTypeBinding> binding =
      ZEBContentManagerServicePortType::getInstance().createBinding(request, reply);
  soapSession.sendBinding(binding.get(), 0, 0);

  ZEBBaseClassArray* result = reply.getResult(nullptr);
  KRN_ASSERT_AT(result && result->size() > 0, "DVLReportHelper", 115, "KRN_ASSERT(result && result->size() > 0);");
  auto* session = dynamic_cast<ZEBSession*>(result->at(0));
  KRN_ASSERT_AT(session, "DVLReportHelper", 118,
                "KRN_ASSERT_NAMED(session, \"Expected an ZEBSession object, but received something else.\");");

  if (pNewHeader) {
    KRN_ASSERT_AT(!*pNewHeader && pObjectReg, "DVLReportHelper", 122, "KRN_ASSERT(!*pNewHeader && pObjectReg);");
    const ZEBVorbHeader* replyHeader = binding->getOutputMessage()->getVorbHeader(nullptr);
    if (replyHeader) {
      const char* replyPassport = ZEBHelper::getPassport(replyHeader);
      const char* ownPassport = ZEBHelper::getPassport(&header);
      // A new passport (the service renewed the logon) is handed back so the caller can send it on.
      if (replyPassport && !(ownPassport && std::strcmp(ownPassport, replyPassport) == 0)) {
        *pNewHeader = KRNCheckedNew<ZEBVorbHeader>("DVLReportHelper", 133, *replyHeader, *pObjectReg);
      }
    }
  }

  // The query asks for exactly this property; a session without it has no capabilities to report.
  const ZEBUserCapabilityEnumArrayProp* granted = session->getUserCapabilities(nullptr);
  if (granted) {
    copyCapabilities(granted->getValue(), capabilities);
  } else {
    capabilities.clear();
  }
}

const char* DVLReportHelper::getStoreID(const ZEBBaseClass& object) {
  const ZEBGuidProp* property = object.getStoreID(nullptr);
  if (!property) return nullptr;
  const ZEBGuid* guid = property->getValue(nullptr);
  return guid ? guid->getValue() : nullptr;
}

void DVLReportHelper::addSyncProperties(ZEBPropEnumArray& properties, ZEBQueryOptions& options,
                                        ZEBPropEnumArray* requested, ZEBObjectRegistryI& registry, int withOwner) {
  // Ordered by signed value: the order in which the service has always received the added ones.
  std::set<int32_t> pending;
  const size_t count = withOwner ? ownerSyncCount : commonSyncCount;
  for (size_t i = 0; i < count; ++i) pending.insert(static_cast<int32_t>(syncProperties[i]));

  if (requested) {
    for (size_t i = 0; i < requested->size(); ++i) {
      ZEBPropEnum* entry = requested->at(i);
      if (entry) {
        const ZEBPropEnum::Enum value = entry->getValue();
        for (size_t k = 0; k < commonSyncCount; ++k) {
          if (syncProperties[k] == value) {
            pending.erase(static_cast<int32_t>(value));
            break;
          }
        }
      }
      properties.push_back(entry);
    }
  }

  for (int32_t value : pending) {
    ZEBPropEnum* property = KRNCheckedNew<ZEBPropEnum>("DVLReportHelper", 607);
    registry.registerObject(property);
    property->setValue(static_cast<ZEBPropEnum::Enum>(static_cast<uint32_t>(value)));
    properties.push_back(property);
  }

  addRefProps(options, registry);
}

void DVLReportHelper::addRefProps(ZEBQueryOptions& options, ZEBObjectRegistryI&) {
  options.setPermission(DVLFixedStrings::getText(DVLFixedStrings::readPermission));
}

void DVLReportHelper::copyCapabilities(const ZEBUserCapabilityEnumArray& source,
                                       std::vector<ZEBUserCapabilityEnum::Enum>& capabilities) {
  capabilities.clear();
  capabilities.reserve(source.size());
  for (size_t i = 0; i < source.size(); ++i) {
    if (const ZEBUserCapabilityEnum* entry = source.at(i)) capabilities.push_back(entry->getValue());
  }
}
