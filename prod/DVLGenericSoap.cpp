#include "DVLGenericSoap.h"

#include "KRNError.h"
#include "ZEBSoap.h"

DVLGenericSoap::DVLGenericSoap(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                               ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : m_session(session), m_testInfo(testInfo), m_trusted(trusted) {}

DVLGenericSoap::~DVLGenericSoap() { m_testInfo = nullptr; }

void DVLGenericSoap::execute() {
  // Each execution sends the host's attachments and what its own preExec() attaches: a second
  // execute() (a retry, say) must not send the documents of the first preExec() again.
  m_attachments = m_hostAttachments;
  m_inPreExec = true;
  try {
    preExec();
  } catch (...) {
    m_inPreExec = false;
    throw;
  }
  m_inPreExec = false;
  try {
    KRNSmartPointer<ZEBPortTypeBinding> binding;
    getBinding(binding);
    ZEBSOAPSessionI::ZEBSOAPTrusted mode = trustedRequestMode();
    m_session.send(binding.get(), &m_attachments, mode, nullptr);
  } catch (KRNThrowable& error) {
    error.addBackTrace(KRNFileLocation("DVLGenericSoap", 59), "DVLGenericSoap::execute", "KRN_RETHROW");
    throw;
  }
  postExec();
}

ZEBSOAPSessionI::ZEBSOAPTrusted DVLGenericSoap::trustedRequestMode() const { return m_trusted; }

void DVLGenericSoap::addAttachment(ZEBDocumentOutputI& document, const char* contentId) {
  (m_inPreExec ? m_attachments : m_hostAttachments).emplace_back(contentId, &document);
}

const char* DVLGenericSoap::getClientID() {
  // Only the toolkit's own session has a client identifier; any other session is a caller's error,
  // reported rather than read through a wrong type.
  const auto* session = dynamic_cast<const ZEBSOAPSession*>(&m_session);
  KRN_ASSERT_AT(session != nullptr, "DVLGenericSoap", 95, "KRN_ASSERT(dynamic_cast<const ZEBSOAPSession*>(&m_session));");
  return session->getClientID();
}

void DVLGenericSoap::getReplyAsXML(MWLOutputStream& out) {
  KRNSmartPointer<ZEBPortTypeBinding> binding;
  getBinding(binding);
  ZEBSOAPMessageISerializer* serializer = ZEBSOAPMessageISerializerFactory::getInstance().createSerializer();
  try {
    serializer->serialize(binding.get(), getReply(), out, nullptr, 1, 0);
  } catch (...) {
    // A dump is a diagnostic: a failure to write it must not become the caller's failure.
  }
  ZEBSOAPMessageISerializerFactory::getInstance().releaseSerializer(serializer);
}
