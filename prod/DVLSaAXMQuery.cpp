#include "DVLSaAXMQuery.h"

DVLSaAXMQuery::DVLSaAXMQuery(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                             ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLGenericSoap(session, testInfo, trusted) {}

DVLSaAXMQuery::~DVLSaAXMQuery() = default;

const char* DVLSaAXMQuery::getAXMCredential() const {
  const ZEBXmlEncodedXML* credential = m_reply.getCredential(nullptr);
  return credential ? credential->getValue() : nullptr;
}

void DVLSaAXMQuery::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  binding = ZEBSaAXMServicePortType::getInstance().createBinding(m_request, m_reply);
}
