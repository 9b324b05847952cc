#include "DVLQueryMultiple.h"

#include "DVLQueryShared.h"

#include "DVLQueryMultipleCache.h"
#include "I18NString.h"
#include "KRNError.h"
#include "ZEBHelper.h"
#include "zp2omsymbols1.h"

namespace {

void initQueryOptions(ZEBQueryOptions& options, ZEBEncodingEnum& dataEncoding) {
  dataEncoding.setValue(ZEBEncodingEnum::base64);
  options.setPermission(DVLFixedStrings::getText(DVLFixedStrings::readPermission));
  options.setSchemaInfo(0);
  options.setMaxObjects(0);
  options.setSkipObjects(0);
  options.setDataEncoding(&dataEncoding);
  options.setMaxDataBytes(0);
  options.setSkipDataBytes(0);
}

}  // namespace

DVLQueryRequest::DVLQueryRequest(DVLQueryMultiple& owner)
    : m_sortActive(0), m_multiple(&owner), m_multipleCache(nullptr), m_isCacheRequest(0) {
  initQueryOptions(m_queryOptions, m_dataEncoding);
}

DVLQueryRequest::DVLQueryRequest(DVLQueryMultipleCache& owner)
    : m_sortActive(0), m_multiple(nullptr), m_multipleCache(&owner), m_isCacheRequest(1) {
  initQueryOptions(m_queryOptions, m_dataEncoding);
}

DVLQueryRequest::~DVLQueryRequest() = default;

void DVLQueryRequest::setPath(const char* path) {
  m_zebRequest.setSearch(path);
}

void DVLQueryRequest::setStoreID(const char* storeID) {
  m_storeIDPath = DVLStoreIDPath(storeID, "DVLQueryMultiple", 83, 85);
  setPath(m_storeIDPath.c_str());
}

void DVLQueryRequest::setProperty(ZEBPropEnum& property) {
  m_zebRequest.getProperties().push_back(&property);
}

void DVLQueryRequest::setQueryOptions(ZEBQueryOptions& options) {
  DVLCopyQueryOptions(options, m_queryOptions);
  // Copying the request's own options onto themselves would double their reference properties.
  if (&options != &m_queryOptions) {
    if (m_isCacheRequest == 0 && m_multiple) {
      m_queryOptions.getRefProps().copy(options.getRefProps(), &m_multiple->getRequestObjectRegistry());
    } else if (m_isCacheRequest == 1 && m_multipleCache) {
      m_queryOptions.getRefProps().copy(options.getRefProps(), &m_multipleCache->getRequestObjectRegistry());
    }
  }
  m_zebRequest.setOptions(&m_queryOptions);
}

void DVLQueryRequest::setSortOptions(ZEBPropEnum::Enum property, ZEBOrderEnum::Enum order) {
  m_sortActive = 1;
  m_zebRequest.getSortBy().push_back(DVLMakeSortKey(getRequestObjectRegistry(), property, order));
}

ZEBObjectRegistryI& DVLQueryRequest::getRequestObjectRegistry() {
  if (m_isCacheRequest == 0) return m_multiple->getRequestObjectRegistry();
  return m_multipleCache->getRequestObjectRegistry();
}

DVLQueryMultiple::DVLQueryMultiple(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                                   ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLGenericSoap(session, testInfo, trusted), m_resultArray(nullptr) {}

DVLQueryMultiple::~DVLQueryMultiple() {
  m_resultArray = nullptr;
}

void DVLQueryMultiple::addRequest(DVLQueryRequest& request) {
  m_request.getRequests(&m_request.getObjectRegistry())->push_back(&request.getZEBQueryRequest());
}

int DVLQueryMultiple::isPopulated(ZEBQueryRequest* element, ZEBPropEnum& property) {
  const ZEBPropEnumArray& properties = element->getProperties();
  for (size_t i = 0; i < properties.size(); ++i) {
    const ZEBPropEnum* entry = properties.at(i);
    if (entry && entry->getValue() == property.getValue()) return 1;
  }
  return 0;
}

void DVLQueryMultiple::preExec() {
  m_objectClassProp.setValue(ZEBPropEnum::objectClass);
  m_defaultNameProp.setValue(ZEBPropEnum::defaultName);
  m_searchPathProp.setValue(ZEBPropEnum::searchPath);
  m_storeIDProp.setValue(ZEBPropEnum::storeID);
  // No addRequest yet means no element list: nothing to complete.
  ZEBQueryRequestArray* elements = m_request.getRequests(nullptr);
  if (!elements) return;
  for (size_t i = 0; i < elements->size(); ++i) {
    ZEBQueryRequest* element = elements->at(i);
    for (ZEBPropEnum* fixed : {&m_objectClassProp, &m_defaultNameProp, &m_searchPathProp, &m_storeIDProp}) {
      if (isPopulated(element, *fixed) == 0) element->getProperties().push_back(fixed);
    }
  }
}

void DVLQueryMultiple::postExec() {
  m_resultArray = m_reply.getResult(nullptr);
}

void DVLQueryMultiple::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  binding = ZEBContentManagerServicePortType::getInstance().createBinding(m_request, m_reply);
}

int DVLQueryMultiple::getReplyCount() {
  KRN_ASSERT_AT(m_resultArray != nullptr, "DVLQueryMultiple", 211, "KRN_ASSERT(m_resultArray != NULL);");
  return KRNDowncastSize::int32(m_resultArray->size(), "DVLQueryMultiple", 212);
}

ZEBBaseClassArray* DVLQueryMultiple::getQueryResult(unsigned int index) {
  if (!m_resultArray || index >= m_resultArray->size()) return nullptr;
  ZEBQueryReply* reply = m_resultArray->at(index);
  return reply ? &reply->getQueryResult() : nullptr;
}

const char* DVLQueryMultiple::getPassport() {
  return ZEBHelper::getPassport(m_reply.getVorbHeader(nullptr));
}
