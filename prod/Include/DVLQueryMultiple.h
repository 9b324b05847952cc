/// \file
/// Several independent queries sent in one exchange, one reply per query. A DVLQueryRequest
/// describes one query and is bound at construction to the multiple query (plain or cache-validated)
/// that will carry it; that owner's request message keeps what the query request creates.
#pragma once

#include <string>

#include "DVLGenericSoap.h"
#include "ZEBSchema.h"

class DVLQueryMultiple;
class DVLQueryMultipleCache;

/// One query of a multiple query: its search path, properties, sort keys and options.
class DVL_EXPORT DVLQueryRequest {
 public:
  /// A query that owner sends; the owner keeps it.
  explicit DVLQueryRequest(DVLQueryMultiple& owner);
  /// A query that owner sends; the owner keeps it.
  explicit DVLQueryRequest(DVLQueryMultipleCache& owner);
  virtual ~DVLQueryRequest();

  /// The search path, passed unchanged.
  void setPath(const char* path);
  /// Selects the object with that store identifier, as DVLQuery::setStoreID does.
  void setStoreID(const char* storeID);
  /// Asks for one more property; only the address is kept.
  void setProperty(ZEBPropEnum& property);
  /// The options of this query; change them in place.
  ZEBQueryOptions& getQueryOptions() { return m_queryOptions; }
  /// Copies options as DVLQuery::setQueryOptions does and attaches them to the element: a query
  /// request that never gets this call is sent without options.
  void setQueryOptions(ZEBQueryOptions& options);
  /// Appends one sort key; an element carries no default sort.
  void setSortOptions(ZEBPropEnum::Enum property, ZEBOrderEnum::Enum order);
  ///@{
  /// Only recorded; they add or remove no sort key.
  void activateSort() { m_sortActive = 1; }
  void deactivateSort() { m_sortActive = 0; }
  ///@}

  /// The schema object this query becomes on the wire.
  ZEBQueryRequest& getZEBQueryRequest() { return m_zebRequest; }
  /// The owner's request registry, which keeps the objects this query request creates.
  ZEBObjectRegistryI& getRequestObjectRegistry();

 private:
  std::string m_storeIDPath;
  int m_sortActive;
  ZEBQueryOptions m_queryOptions;
  ZEBEncodingEnum m_dataEncoding;
  ZEBQueryRequest m_zebRequest;
  DVLQueryMultiple* m_multiple;
  DVLQueryMultipleCache* m_multipleCache;
  int m_isCacheRequest;
};

/// Several queries in one request; their answers are read per query.
class DVL_EXPORT DVLQueryMultiple : public DVLGenericSoap {
 public:
  /// A request for session; testInfo may be null.
  DVLQueryMultiple(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                   ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLQueryMultiple() override;

  /// Public: query requests built on this object hand their objects to it.
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_request.getObjectRegistry(); }

 protected:
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_reply.getObjectRegistry(); }
  /// Makes every element ask for objectClass, defaultName, searchPath and storeID.
  void preExec() override;
  void postExec() override;

 public:
  ZEBMessageI& getRequest() override { return m_request; }
  ZEBMessageI& getReply() override { return m_reply; }

 protected:
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override;

 public:
  /// Elements are sent in the order added; request must outlive execute().
  void addRequest(DVLQueryRequest& request);
  /// The answers, one per query in order; null before execute().
  ZEBQueryReplyArray* getReturns() { return m_resultArray; }
  /// Raises when there is no reply yet.
  int getReplyCount();
  /// The objects of reply index; null past the end or before a reply.
  ZEBBaseClassArray* getQueryResult(unsigned int index);
  /// The passport the reply carried; null when none.
  const char* getPassport();

 private:
  int isPopulated(ZEBQueryRequest* element, ZEBPropEnum& property);

  ZEBContentQueryMultiple_Request m_request;
  ZEBContentQueryMultiple_Reply m_reply;
  ZEBPropEnum m_objectClassProp;
  ZEBPropEnum m_defaultNameProp;
  ZEBPropEnum m_searchPathProp;
  ZEBPropEnum m_storeIDProp;
  ZEBQueryReplyArray* m_resultArray;
};
