/// \file
/// An add that also sends a document as a MIME attachment, referred to from the object's data
/// property, and can store a second object of type U beside the object of type T. Both objects
/// share the one data property, so the document travels once.
#pragma once

#include <string>

#include "DVLAdd.h"
#include "I18NString.h"
#include "ZEBHelper.h"

template <class T, class U>
/// Base of the adds that carry a document: T is the object, D the class its document is stored as.
class DVL_EXPORT DVLAddData : public DVLAdd<T> {
 public:
  /// A request for session; testInfo may be null.
  DVLAddData(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddData() override;

  /// Names the object, and the extra object when there is one: set the extra path first.
  virtual void setName(const char* name);

 protected:
  /// The second object to store, or null when this request has none.
  virtual U* getExtraObject() = 0;

 public:
  /// The document to send with the add; null sends none. It is attached under contentId, or under
  /// a new UUID when contentId is null or empty. Neither the document nor its bytes are copied:
  /// the document must live until execute() returns.
  void setData(ZEBDocumentOutputI* data, const char* contentId = nullptr);
  /// The content identifier of the document; empty when there is none.
  const char* getDataContentId() const { return m_dataContentId.c_str(); }
  /// The search path of the extra object; null removes it.
  void setExtraPath(const char* path) { m_extraPath.setValue(path); }

 protected:
  /// The object's preExec, then the data property, the extra object second and the attachment.
  void preExec() override;
  /// How the document travels: as a MIME attachment, or inline as base64 or hex text.
  void setDataEncoding(ZEBEncodingEnum::Enum encoding);

  ZEBDocumentOutputI* m_data;
  ZEBEncodingEnum m_dataEncoding;
  ZEBBase64BinaryMIMEProp m_dataProp;
  std::string m_dataContentId;
  ZEBBase64Binary m_dataValue;
  ZEBStringProp m_extraPath;
};

template <class T, class U>
DVLAddData<T, U>::DVLAddData(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                             ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLAdd<T>(session, testInfo, trusted), m_data(nullptr) {}

template <class T, class U>
DVLAddData<T, U>::~DVLAddData() {
  m_data = nullptr;
}

template <class T, class U>
void DVLAddData<T, U>::setName(const char* name) {
  DVLAdd<T>::setName(name);
  if (U* extra = getExtraObject()) extra->setDefaultName(&this->m_name);
}

template <class T, class U>
void DVLAddData<T, U>::setData(ZEBDocumentOutputI* data, const char* contentId) {
  m_data = data;
  if (data == nullptr) {
    m_dataContentId.clear();
    m_dataProp.setValue(nullptr);
    return;
  }
  if (contentId != nullptr && *contentId != '\0') {
    m_dataContentId = contentId;
  } else {
    I18NString uuid;
    UuidGenerator::create(uuid);
    m_dataContentId = uuid.c_str();
  }
  ZEB_CharStreamable reference;
  reference.initialize(m_dataContentId.c_str(), 0);
  reference.setIsContentId(1);
  m_dataValue.setValue(reference.asCharStar());
  m_dataProp.setValue(&m_dataValue);
}

template <class T, class U>
void DVLAddData<T, U>::preExec() {
  DVLAdd<T>::preExec();
  if (m_data == nullptr) {
    // A document withdrawn since an earlier execute() must not stay referred to.
    this->getObject().setData(nullptr);
    return;
  }
  setDataEncoding(ZEBEncodingEnum::MIME);
  this->getObject().setData(&m_dataProp);
  if (U* extra = getExtraObject()) {
    extra->setSearchPath(&m_extraPath);
    extra->setData(&m_dataProp);
    this->m_objects.push_back(extra);
  }
  this->addAttachment(*m_data, m_dataContentId.c_str());
}

template <class T, class U>
void DVLAddData<T, U>::setDataEncoding(ZEBEncodingEnum::Enum encoding) {
  m_dataEncoding.setValue(encoding);
  this->m_addOptions.setDataEncoding(&m_dataEncoding);
}
