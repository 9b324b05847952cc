/// \file
/// The add request behind every object type: stores one toolkit object of type T (subclasses may
/// send a second one beside it) and then tells the caller the search path, store identifier and
/// default name that the store gave it. An add travels through the content-manager service, or,
/// when isCMAdd() says so, through the monitor service, whose reply is asynchronous and carries no
/// objects.
#pragma once

#include "DVLGenericSoap.h"
#include "DVLReportHelper.h"
#include "KRNError.h"
#include "ZEBSchema.h"

template <class T>
/// The add request behind every object type: stores one object of type T.
class DVL_EXPORT DVLAdd : public DVLGenericSoap {
 public:
  /// A request for session; testInfo may be null.
  DVLAdd(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAdd() override;

 protected:
  /// Both roads create their objects in the content-manager request's registry.
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_cmsAddRequest.getObjectRegistry(); }
  /// The content-manager reply's registry.
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_cmsAddReply.getObjectRegistry(); }
  /// Rebuilds the request from the setters: the object first, the return properties
  /// defaultName, searchPath, storeID.
  void preExec() override;
  /// Keeps the first object of a content-manager reply; checks a monitor reply only.
  void postExec() override;

 public:
  /// The content-manager or the monitor request, as isCMAdd() says.
  ZEBMessageI& getRequest() override;
  /// The reply that goes with getRequest().
  ZEBMessageI& getReply() override;

 protected:
  /// The port of the service isCMAdd() picks, bound to getRequest() and getReply().
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override;

 public:
  /// The new object's search path, store identifier and default name; null until a
  /// content-manager add has succeeded. The texts live as long as the request.
  virtual const char* getPath() const;
  /// The new object's store identifier; null until a content-manager add has succeeded.
  virtual const char* getStoreID() const;
  /// The new object's default name; null until a content-manager add has succeeded.
  virtual const char* getName() const;
  /// 1 when the add goes through the content-manager service, 0 for the monitor service.
  virtual int isCMAdd() const { return 1; }

 protected:
  /// The object to add; fill in its properties before execute().
  virtual T& getObject() { return m_object; }

 public:
  /// The default name of the object to add.
  void setName(const char* name);
  /// The search path of the folder that receives the object; null removes it. An add whose road
  /// depends on it (history details) goes through the content-manager service when it is set.
  void setParentPath(const char* path);

 protected:
  ZEBContentAdd_Request m_cmsAddRequest;
  ZEBContentAdd_Reply m_cmsAddReply;
  ZEBMonitorAdd_Request m_mseAddRequest;
  ZEBMonitorAdd_Reply m_mseAddReply;
  ZEBBaseClassArray m_objects;
  ZEBAddOptions m_addOptions;
  ZEBOptionArray m_mseOptions;
  ZEBPropEnum m_returnProps[3];
  ZEBUpdateActionEnum m_updateAction;
  ZEBTokenProp m_name;
  ZEBBaseClass* m_result;
  ZEBBaseClassArray* m_resultArray;
  T m_object;
  /// Owned, deleted with the request; reserved for an extension, nothing sets it yet.
  ZEBObject* m_extension;
  ZEBSearchPathSingleObject m_parentPath;
};

template <class T>
DVLAdd<T>::DVLAdd(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLGenericSoap(session, testInfo, trusted), m_result(nullptr), m_resultArray(nullptr), m_extension(nullptr) {}

template <class T>
DVLAdd<T>::~DVLAdd() {
  m_result = nullptr;
  m_resultArray = nullptr;
  delete m_extension;
}

template <class T>
void DVLAdd<T>::preExec() {
  int cmAdd = isCMAdd();
  // Everything below is rebuilt on each execute(): a retry must send what the first attempt
  // sent, not the object and the return properties twice.
  m_objects.clear();
  m_addOptions.getReturnProperties().clear();
  m_addOptions.setDataEncoding(nullptr);
  m_result = nullptr;
  m_resultArray = nullptr;

  if (cmAdd) {
    m_cmsAddRequest.setObjects(&m_objects);
    m_cmsAddRequest.setOptions(&m_addOptions);
    m_addOptions.setUpdateAction(&m_updateAction);
  } else {
    m_mseAddRequest.setObjects(&m_objects);
    m_mseAddRequest.setOptions(&m_mseOptions);
  }
  m_returnProps[0].setValue(ZEBPropEnum::defaultName);
  m_returnProps[1].setValue(ZEBPropEnum::searchPath);
  m_returnProps[2].setValue(ZEBPropEnum::storeID);
  for (ZEBPropEnum& property : m_returnProps) m_addOptions.getReturnProperties().push_back(&property);
  m_objects.push_back(&getObject());
}

template <class T>
void DVLAdd<T>::postExec() {
  if (isCMAdd()) {
    m_resultArray = m_cmsAddReply.getResult(nullptr);
    KRN_ASSERT_AT(m_resultArray, "Include/DVLAdd", 132, "KRN_ASSERT(m_resultArray);");
    KRN_ASSERT_AT(m_resultArray->size() >= 1, "Include/DVLAdd", 133, "KRN_ASSERT(m_resultArray->size() >= 1);");
    m_result = m_resultArray->at(0);
    KRN_ASSERT_AT(m_result, "Include/DVLAdd", 135, "KRN_ASSERT(m_result);");
  } else {
    ZEBAsynchReply* ar = m_mseAddReply.getResult(nullptr);
    KRN_ASSERT_AT(ar, "Include/DVLAdd", 140, "KRN_ASSERT(ar);");
    ZEBAsynchReplyStatusEnum* status = ar->getStatus(nullptr);
    KRN_ASSERT_AT(status, "Include/DVLAdd", 142, "KRN_ASSERT(status);");
  }
}

template <class T>
ZEBMessageI& DVLAdd<T>::getRequest() {
  if (isCMAdd()) return m_cmsAddRequest;
  return m_mseAddRequest;
}

template <class T>
ZEBMessageI& DVLAdd<T>::getReply() {
  if (isCMAdd()) return m_cmsAddReply;
  return m_mseAddReply;
}

template <class T>
void DVLAdd<T>::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  if (isCMAdd()) {
    binding = ZEBContentManagerServicePortType::getInstance().createBinding(m_cmsAddRequest, m_cmsAddReply);
  } else {
    binding = ZEBMonitorServicePortType::getInstance().createBinding(m_mseAddRequest, m_mseAddReply);
  }
}

template <class T>
const char* DVLAdd<T>::getPath() const {
  if (m_result == nullptr) return nullptr;
  const ZEBStringProp* path = m_result->getSearchPath(nullptr);
  return path ? path->getValue() : nullptr;
}

template <class T>
const char* DVLAdd<T>::getStoreID() const {
  if (m_result == nullptr) return nullptr;
  return DVLReportHelper::getStoreID(*m_result);
}

template <class T>
const char* DVLAdd<T>::getName() const {
  if (m_result == nullptr) return nullptr;
  const ZEBTokenProp* name = m_result->getDefaultName(nullptr);
  return name ? name->getValue() : nullptr;
}

template <class T>
void DVLAdd<T>::setName(const char* name) {
  m_name.setValue(name);
  getObject().setDefaultName(&m_name);
}

template <class T>
void DVLAdd<T>::setParentPath(const char* path) {
  if (path == nullptr) {
    m_cmsAddRequest.setParentPath(nullptr);
    return;
  }
  m_parentPath.setValue(path);
  m_cmsAddRequest.setParentPath(&m_parentPath);
}
