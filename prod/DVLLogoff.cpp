#include "DVLLogoff.h"

DVLLogoff::DVLLogoff(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo)
    : DVLGenericSoap(session, testInfo, static_cast<ZEBSOAPSessionI::ZEBSOAPTrusted>(0)) {}

DVLLogoff::~DVLLogoff() = default;

void DVLLogoff::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  binding = ZEBContentManagerServicePortType::getInstance().createBinding(m_request, m_reply);
}
