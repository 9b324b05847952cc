#include "DVLQuery.h"

#include "DVLQueryShared.h"

#include "DVLReportHelper.h"
#include "I18NString.h"
#include "KRNError.h"
#include "ZEBHelper.h"
#include "zp2omsymbols1.h"

DVLQuery::DVLQuery(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLGenericSoap(session, testInfo, trusted),
      m_sortActive(1),
      m_resultArray(nullptr),
      m_firstObject(nullptr),
      m_searchPath(nullptr) {
  m_dataEncoding.setValue(ZEBEncodingEnum::base64);
  m_queryOptions.setPermission(DVLFixedStrings::getText(DVLFixedStrings::readPermission));
  m_queryOptions.setSchemaInfo(0);
  m_queryOptions.setMaxObjects(0);
  m_queryOptions.setSkipObjects(0);
  m_queryOptions.setDataEncoding(&m_dataEncoding);
  m_queryOptions.setMaxDataBytes(0);
  m_queryOptions.setSkipDataBytes(0);
  m_defaultSortProp.setValue(ZEBPropEnum::objectClass);
  m_defaultSortOrder.setValue(ZEBOrderEnum::ascending);
}

DVLQuery::~DVLQuery() {
  m_firstObject = nullptr;
  m_resultArray = nullptr;
  delete m_searchPath;
}

void DVLQuery::setPath(const char* path) {
  if (m_searchPath) {
    // The request still points at the old object until the new one is handed over below.
    m_request.setSearchPath(nullptr);
    delete m_searchPath;
    m_searchPath = nullptr;
  }
  m_searchPath = KRNCheckedNew<ZEBSearchPathMultipleObject>("DVLQuery", 71);
  m_searchPath->setValue(path);
  m_request.setSearchPath(m_searchPath);
}

void DVLQuery::setStoreID(const char* storeID) {
  m_storeIDPath = DVLStoreIDPath(storeID, "DVLQuery", 79, 81);
  setPath(m_storeIDPath.c_str());
}

void DVLQuery::setProperty(ZEBPropEnum& property) {
  m_properties.push_back(&property);
}

void DVLQuery::setQueryOptions(ZEBQueryOptions& options) {
  DVLCopyQueryOptions(options, m_queryOptions);
  // The query's own options (as from getQueryOptions()) already hold their reference properties;
  // copying an array onto its own end would double it.
  if (&options != &m_queryOptions)
    m_queryOptions.getRefProps().copy(options.getRefProps(), &getRequestObjectRegistry());
}

void DVLQuery::setSortOptions(ZEBPropEnum::Enum property, ZEBOrderEnum::Enum order) {
  m_sortActive = 1;
  m_sortArray.push_back(DVLMakeSortKey(getRequestObjectRegistry(), property, order));
}

int DVLQuery::isPopulated(ZEBPropEnum& property) {
  for (size_t i = 0; i < m_properties.size(); ++i) {
    const ZEBPropEnum* entry = m_properties.at(i);
    if (entry && entry->getValue() == property.getValue()) return 1;
  }
  return 0;
}

void DVLQuery::preExec() {
  m_objectClassProp.setValue(ZEBPropEnum::objectClass);
  m_defaultNameProp.setValue(ZEBPropEnum::defaultName);
  m_searchPathProp.setValue(ZEBPropEnum::searchPath);
  m_storeIDProp.setValue(ZEBPropEnum::storeID);
  for (ZEBPropEnum* fixed : {&m_objectClassProp, &m_defaultNameProp, &m_searchPathProp, &m_storeIDProp}) {
    if (isPopulated(*fixed) == 0) m_properties.push_back(fixed);
  }
  m_request.setProperties(&m_properties);

  if (m_sortActive == 1) {
    if (m_sortArray.size() == 0) {
      m_defaultSort.setPropName(&m_defaultSortProp);
      m_defaultSort.setOrder(&m_defaultSortOrder);
      m_sortArray.push_back(&m_defaultSort);
    }
    m_request.setSortBy(&m_sortArray);
  } else {
    m_request.setSortBy(nullptr);
  }
  m_request.setOptions(&m_queryOptions);
}

void DVLQuery::postExec() {
  m_resultArray = m_reply.getResult(nullptr);
  m_firstObject = m_resultArray && m_resultArray->size() != 0 ? m_resultArray->at(0) : nullptr;
}

void DVLQuery::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  binding = ZEBContentManagerServicePortType::getInstance().createBinding(m_request, m_reply);
}

const ZEBBaseClass* DVLQuery::pick(unsigned int index) const {
  if (index > 0 && m_resultArray && index < m_resultArray->size()) return m_resultArray->at(index);
  return m_firstObject;
}

int DVLQuery::getObjectCount() {
  if (!m_resultArray) return 0;
  return KRNDowncastSize::int32(m_resultArray->size(), "DVLQuery", 121);
}

ZEBBaseClass* DVLQuery::getObject(unsigned int index) {
  return const_cast<ZEBBaseClass*>(pick(index));
}

const char* DVLQuery::getName(unsigned int index) {
  const ZEBBaseClass* object = pick(index);
  if (!object) return nullptr;
  const ZEBTokenProp* name = object->getDefaultName(nullptr);
  return name ? name->getValue() : nullptr;
}

ZEBClassEnum::Enum DVLQuery::getObjectClass(unsigned int index) const {
  const ZEBBaseClass* object = pick(index);
  const ZEBClassEnumProp* property = object ? object->getObjectClass(nullptr) : nullptr;
  const ZEBClassEnum* value = property ? property->getValue(nullptr) : nullptr;
  return value ? value->getValue() : static_cast<ZEBClassEnum::Enum>(0);
}

const char* DVLQuery::getStoreID(unsigned int index) const {
  const ZEBBaseClass* object = pick(index);
  return object ? DVLReportHelper::getStoreID(*object) : nullptr;
}

const char* DVLQuery::getPath() {
  if (!m_firstObject) return nullptr;
  const ZEBStringProp* searchPath = m_firstObject->getSearchPath(nullptr);
  KRN_ASSERT_AT(searchPath, "DVLQuery", 97, "KRN_ASSERT(searchPath);");
  return searchPath->getValue();
}

const char* DVLQuery::getPassport() {
  return ZEBHelper::getPassport(m_reply.getVorbHeader(nullptr));
}

const char* DVLQuery::getAXMCredentialPath() {
  const ZEBVorbHeader* header = getReply().getVorbHeader(nullptr);
  const ZEBAXM* axm = header ? header->getAXM(nullptr) : nullptr;
  return axm ? axm->getAXMCredentialPath() : nullptr;
}

void DVLCopyQueryOptions(const ZEBQueryOptions& from, ZEBQueryOptions& to) {
  to.setPermission(from.getPermission());
  if (const int* value = from.getSchemaInfo()) to.setSchemaInfo(*value);
  if (const int* value = from.getMaxObjects()) to.setMaxObjects(*value);
  if (const int* value = from.getSkipObjects()) to.setSkipObjects(*value);
  to.setDataEncoding(from.getDataEncoding(nullptr));
  if (const int* value = from.getMaxDataBytes()) to.setMaxDataBytes(*value);
  if (const int* value = from.getSkipDataBytes()) to.setSkipDataBytes(*value);
}

std::string DVLStoreIDPath(const char* storeID, const char* file, int nullLine, int quoteLine) {
  KRN_ASSERT_AT(storeID, file, nullLine, "KRN_ASSERT(storeID);");
  for (const char* p = storeID; *p; ++p) KRN_ASSERT_AT(*p != '"', file, quoteLine, "KRN_ASSERT(*p != '\"');");
  std::string path = DVLFixedStrings::getText(DVLFixedStrings::storeIDOpen);
  path += storeID;
  path += DVLFixedStrings::getText(DVLFixedStrings::storeIDClose);
  return path;
}

ZEBSort* DVLMakeSortKey(ZEBObjectRegistryI& registry, ZEBPropEnum::Enum property, ZEBOrderEnum::Enum order) {
  auto* propName = new ZEBPropEnum;
  registry.registerObject(propName);
  propName->setValue(property);
  auto* sortOrder = new ZEBOrderEnum;
  registry.registerObject(sortOrder);
  sortOrder->setValue(order);
  auto* sort = new ZEBSort;
  registry.registerObject(sort);
  sort->setPropName(propName);
  sort->setOrder(sortOrder);
  return sort;
}
