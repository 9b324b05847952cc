#include "DVLAddModel.h"

#include "I18NString.h"
#include "KRNError.h"
#include "ZEBHelper.h"

DVLAddModel::DVLAddModel(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                         ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLAdd<ZEBModel>(session, testInfo, trusted), m_data(nullptr), m_dataStream(nullptr) {
  m_dataStream = KRNCheckedNew<ZEB_CharStreamable>("DVLAddModel", 33);
  getRequestObjectRegistry().registerStreamable(m_dataStream);
}

DVLAddModel::~DVLAddModel() {
  m_dataStream = nullptr;
  m_data = nullptr;
}

void DVLAddModel::setData(ZEBDocumentOutputI* data) {
  m_data = data;
  I18NString uuid;
  UuidGenerator::create(uuid);
  m_dataContentId = uuid.c_str();
  m_dataStream->initialize(m_dataContentId.c_str(), 0);
  m_dataStream->setIsContentId(1);
  m_modelProp.setValue(m_dataStream->asCharStar());
}

void DVLAddModel::setModel(const char* model) {
  m_modelProp.setValue(model);
  getObject().setModel(&m_modelProp);
}

const char* DVLAddModel::getExtraPath() const {
  KRN_ASSERT_AT(this->isCMAdd(), "DVLAddModel", 84, "KRN_ASSERT(this->isCMAdd());");
  if (m_resultArray == nullptr || m_resultArray->size() < 2) return nullptr;
  const ZEBBaseClass* extraResult = m_resultArray->at(1);
  KRN_ASSERT_AT(extraResult, "DVLAddModel", 88, "KRN_ASSERT(extraResult);");
  const ZEBStringProp* path = extraResult->getSearchPath(nullptr);
  return path ? path->getValue() : nullptr;
}

void DVLAddModel::preExec() {
  DVLAdd<ZEBModel>::preExec();
  if (m_data == nullptr) return;
  setDataEncoding(ZEBEncodingEnum::MIME);
  getObject().setModel(&m_modelProp);
  addAttachment(*m_data, m_dataContentId.c_str());
}

void DVLAddModel::setDataEncoding(ZEBEncodingEnum::Enum encoding) {
  m_dataEncoding.setValue(encoding);
  m_addOptions.setDataEncoding(&m_dataEncoding);
}
