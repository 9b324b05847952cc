#include "DVLDetermineRouting.h"

#include "KRNError.h"

DVLDetermineRouting::DVLDetermineRouting(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                                         ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLGenericSoap(session, testInfo, trusted) {}

DVLDetermineRouting::~DVLDetermineRouting() = default;

void DVLDetermineRouting::addPath(ZEBSearchPathSingleObject* path) {
  KRN_ASSERT_AT(path, "DVLDetermineRouting", 42, "KRN_ASSERT(path);");
  m_objectPaths.push_back(path);
}

void DVLDetermineRouting::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  binding = ZEBContentManagerServicePortType::getInstance().createBinding(m_request, m_reply);
}
