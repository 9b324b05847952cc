/// \file
/// A single query of the content-manager service: one search path (or store identifier), the
/// properties to return, sort keys and options; the returned objects are read by index. Every query
/// asks for objectClass, defaultName, searchPath and storeID, is sorted by objectClass ascending
/// unless told otherwise, and carries permission "read" and base64 data encoding by default.
#pragma once

#include <string>

#include "DVLGenericSoap.h"
#include "ZEBSchema.h"

/// A query of the content-manager service; see the file description for its defaults.
class DVL_EXPORT DVLQuery : public DVLGenericSoap {
 public:
  /// A request for session; testInfo may be null.
  DVLQuery(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLQuery() override;

 protected:
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_request.getObjectRegistry(); }
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_reply.getObjectRegistry(); }
  void preExec() override;
  void postExec() override;

 public:
  ZEBMessageI& getRequest() override { return m_request; }
  ZEBMessageI& getReply() override { return m_reply; }

 protected:
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override;

 public:
  /// The search path, passed to the service unchanged.
  void setPath(const char* path);
  /// Selects the object with that store identifier: storeID("..."). A null identifier or one holding
  /// a double quote is refused and leaves the query as it was.
  void setStoreID(const char* storeID);
  /// Asks for one more property. Only the address is kept: property must outlive execute().
  void setProperty(ZEBPropEnum& property);
  /// The query options sent; change them in place or through setQueryOptions().
  ZEBQueryOptions& getQueryOptions() { return m_queryOptions; }
  /// Takes over the permission and data encoding always, the numbers only where options has them,
  /// and a copy of the reference properties.
  void setQueryOptions(ZEBQueryOptions& options);
  /// Appends a sort key (call order) and switches sorting on.
  void setSortOptions(ZEBPropEnum::Enum property, ZEBOrderEnum::Enum order);
  /// Sends the sort keys again after deactivateSort().
  void activateSort() { m_sortActive = 1; }
  /// No sort element is sent, whatever keys were given.
  void deactivateSort() { m_sortActive = 0; }

  /// How many objects the reply holds.
  int getObjectCount();
  /// Objects are picked by index; an index past the end picks the first object (null when none).
  ZEBBaseClass* getObject(unsigned int index);
  /// The default name of the object at index; null when it has none.
  const char* getName(unsigned int index);
  /// The class of the object at index.
  ZEBClassEnum::Enum getObjectClass(unsigned int index) const;
  /// The store identifier of the object at index; null when it has none.
  const char* getStoreID(unsigned int index) const;
  /// The search path the service reports for the first object.
  const char* getPath();
  /// The passport the reply carried; null when none.
  const char* getPassport();
  /// The access-manager credential path the reply carried; null when none.
  const char* getAXMCredentialPath();

 protected:
  /// Element 0 of the reply's result, null when nothing came back.
  const ZEBBaseClass* getFirstObject() const { return m_firstObject; }

 private:
  int isPopulated(ZEBPropEnum& property);
  const ZEBBaseClass* pick(unsigned int index) const;

  ZEBContentQuery_Request m_request;
  ZEBContentQuery_Reply m_reply;
  ZEBPropEnumArray m_properties;
  ZEBPropEnum m_objectClassProp;
  ZEBPropEnum m_defaultNameProp;
  ZEBPropEnum m_searchPathProp;
  ZEBPropEnum m_storeIDProp;
  int m_sortActive;
  ZEBSortArray m_sortArray;
  ZEBSort m_defaultSort;
  ZEBOrderEnum m_defaultSortOrder;
  ZEBPropEnum m_defaultSortProp;
  ZEBQueryOptions m_queryOptions;
  ZEBEncodingEnum m_dataEncoding;
  ZEBBaseClassArray* m_resultArray;
  ZEBBaseClass* m_firstObject;
  std::string m_storeIDPath;
  ZEBSearchPathMultipleObject* m_searchPath;
};
