#include "DVLDelete.h"

#include "KRNError.h"

DVLDelete::DVLDelete(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                     ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLGenericSoap(session, testInfo, trusted) {}

DVLDelete::~DVLDelete() = default;

void DVLDelete::addPath(const char* path) {
  KRN_ASSERT_AT(path, "DVLDelete", 42, "KRN_ASSERT(path);");
  m_searchPath.setValue(path);
}

void DVLDelete::addStoreId(const char* storeId) {
  KRN_ASSERT_AT(storeId, "DVLDelete", 51, "KRN_ASSERT(storeId);");
  // A double quote would end the identifier inside storeID("...") and let the rest of it be read
  // as search-path syntax.
  for (const char* p = storeId; *p != '\0'; ++p) KRN_ASSERT_AT(*p != '"', "DVLDelete", 53, "KRN_ASSERT(*p != '\"');");
  m_storeIdPath = "storeID(\"";
  m_storeIdPath += storeId;
  m_storeIdPath += "\")";
  addPath(m_storeIdPath.c_str());
}

void DVLDelete::preExec() {
  m_object.setSearchPath(&m_searchPath);
  // Rebuilt on each execute(): a retry names the object once, as the first attempt did.
  m_objects.clear();
  m_objects.push_back(&m_object);
  m_request.setObjects(&m_objects);
  m_options.setFaultIfObjectReferenced(0);
  m_options.setForce(1);
  m_options.setRecursive(1);
  m_request.setOptions(&m_options);
}

void DVLDelete::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  binding = ZEBContentManagerServicePortType::getInstance().createBinding(m_request, m_reply);
}
