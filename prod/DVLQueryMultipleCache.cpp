#include "DVLQueryMultipleCache.h"

#include "I18NString.h"
#include "KRNError.h"
#include "ZEBHelper.h"

DVLQueryMultipleCache::DVLQueryMultipleCache(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                                             ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLGenericSoap(session, testInfo, trusted), m_options(nullptr), m_resultArray(nullptr) {
  m_options = KRNCheckedNew<ZEBQueryMultipleOptions>("DVLQueryMultipleCache", 35);
  getRequestObjectRegistry().registerObject(m_options);
  m_options->setCacheValidator("");
}

DVLQueryMultipleCache::~DVLQueryMultipleCache() {
  m_resultArray = nullptr;
  m_options = nullptr;  // the request's registry frees it
}

void DVLQueryMultipleCache::addRequest(DVLQueryRequest& request) {
  m_request.getRequests(&m_request.getObjectRegistry())->push_back(&request.getZEBQueryRequest());
}

void DVLQueryMultipleCache::setCacheValidator(const char* validator) {
  m_options->setCacheValidator(validator);
}

int DVLQueryMultipleCache::isPopulated(ZEBQueryRequest* element, ZEBPropEnum& property) {
  const ZEBPropEnumArray& properties = element->getProperties();
  for (size_t i = 0; i < properties.size(); ++i) {
    const ZEBPropEnum* entry = properties.at(i);
    if (entry && entry->getValue() == property.getValue()) return 1;
  }
  return 0;
}

void DVLQueryMultipleCache::preExec() {
  m_objectClassProp.setValue(ZEBPropEnum::objectClass);
  m_defaultNameProp.setValue(ZEBPropEnum::defaultName);
  m_searchPathProp.setValue(ZEBPropEnum::searchPath);
  m_storeIDProp.setValue(ZEBPropEnum::storeID);
  if (ZEBQueryRequestArray* elements = m_request.getRequests(nullptr)) {
    for (size_t i = 0; i < elements->size(); ++i) {
      ZEBQueryRequest* element = elements->at(i);
      for (ZEBPropEnum* fixed : {&m_objectClassProp, &m_defaultNameProp, &m_searchPathProp, &m_storeIDProp}) {
        if (isPopulated(element, *fixed) == 0) element->getProperties().push_back(fixed);
      }
    }
  }
  m_request.setOptions(m_options);
}

void DVLQueryMultipleCache::postExec() {
  // A reply without a result leaves no reply list; getReplyCount() then reports it.
  ZEBQueryMultipleResult* result = m_reply.getResult(nullptr);
  m_resultArray = result ? &result->getReplies() : nullptr;
}

void DVLQueryMultipleCache::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  binding = ZEBContentManagerServicePortType::getInstance().createBinding(m_request, m_reply);
}

const char* DVLQueryMultipleCache::getCacheValidatorReply() {
  const ZEBQueryMultipleResult* result = m_reply.getResult(nullptr);
  return result ? result->getCacheValidator() : nullptr;
}

int DVLQueryMultipleCache::getReplyCount() {
  KRN_ASSERT_AT(m_resultArray != nullptr, "DVLQueryMultipleCache", 65, "KRN_ASSERT(m_resultArray != NULL);");
  return KRNDowncastSize::int32(m_resultArray->size(), "DVLQueryMultipleCache", 66);
}

ZEBBaseClassArray* DVLQueryMultipleCache::getQueryResult(unsigned int index) {
  if (!m_resultArray || index >= m_resultArray->size()) return nullptr;
  ZEBQueryReply* reply = m_resultArray->at(index);
  return reply ? &reply->getQueryResult() : nullptr;
}

const char* DVLQueryMultipleCache::getPassport() {
  return ZEBHelper::getPassport(m_reply.getVorbHeader(nullptr));
}
