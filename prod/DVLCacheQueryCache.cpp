#include "DVLCacheQueryCache.h"

#include "KRNError.h"

DVLCacheQueryCache::DVLCacheQueryCache(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                                       ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLGenericSoap(session, testInfo, trusted),
      m_objectPath(nullptr),
      m_resultObjects(nullptr),
      m_resultOptions(nullptr) {}

DVLCacheQueryCache::~DVLCacheQueryCache() {
  m_objectPath = nullptr;
  m_resultObjects = nullptr;
  m_resultOptions = nullptr;
}

void DVLCacheQueryCache::setObjectPath(const char* path) {
  // Earlier path objects stay in the registry until the message goes; only the last one is sent.
  m_objectPath = KRNCheckedNew<ZEBSearchPathSingleObject>("DVLCacheQueryCache", 52);
  getRequestObjectRegistry().registerObject(m_objectPath);
  m_objectPath->setValue(path);
  m_request.setObjectPath(m_objectPath);
}

void DVLCacheQueryCache::preExec() {
  m_request.setEntries(&m_entries);
}

void DVLCacheQueryCache::postExec() {
  if (ZEBQueryCacheResult* result = m_reply.getResult(nullptr)) {
    m_resultObjects = &result->getObjects();
    m_resultOptions = &result->getOptions();
  }
}

void DVLCacheQueryCache::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  binding = ZEBContentManagerCacheServicePortType::getInstance().createBinding(m_request, m_reply);
}
