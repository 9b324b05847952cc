#include "DVLAddOutput.h"

#include "KRNError.h"

DVLAddOutput::DVLAddOutput(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                           ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLAddData<ZEBOutput, ZEBDocumentContent>(session, testInfo, trusted),
      m_formatEnum(DVLOutputFormatUnspecified),
      m_context(nullptr) {}

DVLAddOutput::~DVLAddOutput() { m_context = nullptr; }

void DVLAddOutput::addRecipient(const char* path) {
  ZEBBaseClassArray& recipients = m_recipients.getValue();
  ZEBNil* recipient = KRNCheckedNew<ZEBNil>("DVLAddOutput", 69);
  ZEBObjectRegistryI& registry = getRequestObjectRegistry();
  registry.registerObject(recipient);
  recipient->getSearchPath(&registry)->setValue(path);
  recipients.push_back(recipient);
}

void DVLAddOutput::setContext(ZEBDocumentOutput& context) {
  m_context = &context;
  m_contextName = "_contextAttach";
  m_contextStream.initialize(m_contextName.c_str(), 0);
  m_contextStream.setIsContentId(1);
  m_contextXml.setValue(m_contextStream.asCharStar());
  m_contextProp.setValue(&m_contextXml);
}

ZEBDocumentContent* DVLAddOutput::getExtraObject() {
  return m_extraPath.getValue() ? &m_documentContent : nullptr;
}

void DVLAddOutput::preExec() {
  DVLAddData<ZEBOutput, ZEBDocumentContent>::preExec();

  // A burst identifier withdrawn since an earlier execute() must not stay attached.
  ZEBStringProp* burstId = m_burstId.getValue() ? &m_burstId : nullptr;
  m_output.setFormat(&m_format);
  m_output.setLocale(&m_locale);
  m_output.setBurstKey(&m_burstKey);
  m_output.setBurstID(burstId);
  m_output.setRecipients(&m_recipients);
  m_output.setRecipientsEMail(&m_recipientsEMail);
  if (m_context != nullptr) {
    KRN_ASSERT_AT(m_contextProp.getValue(), "DVLAddOutput", 120, "KRN_ASSERT(m_contextProp.getValue());");
    m_output.setContext(&m_contextProp);
    setDataEncoding(ZEBEncodingEnum::MIME);
    addAttachment(*m_context, m_contextName.c_str());
  }
  if (m_contextBlockCount.getValue()) m_output.setContextBlockCount(&m_contextBlockCount);

  if (ZEBDocumentContent* extra = getExtraObject()) {
    extra->setFormat(&m_format);
    extra->setLocale(&m_locale);
    extra->setBurstKey(&m_burstKey);
    extra->setBurstID(burstId);
    extra->setRecipients(&m_recipients);
    extra->setRecipientsEMail(&m_recipientsEMail);
    if (m_contextProp.getValue()) extra->setContext(&m_contextProp);
    if (m_contextBlockCount.getValue()) extra->setContextBlockCount(&m_contextBlockCount);
  }
}
