/// \file
/// The multiple query validated against the caller's cache: the same query elements as
/// DVLQueryMultiple, plus a cache validator sent with the request and returned with the replies.
#pragma once

#include "DVLGenericSoap.h"
#include "DVLQueryMultiple.h"
#include "ZEBSchema.h"

/// A multiple query validated against the caller's cache.
class DVL_EXPORT DVLQueryMultipleCache : public DVLGenericSoap {
 public:
  /// Starts with the empty cache validator "".
  DVLQueryMultipleCache(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                        ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLQueryMultipleCache() override;

  /// Public: query requests built on this object hand their objects to it.
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_request.getObjectRegistry(); }

 protected:
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_reply.getObjectRegistry(); }
  void preExec() override;
  void postExec() override;

 public:
  ZEBMessageI& getRequest() override { return m_request; }
  ZEBMessageI& getReply() override { return m_reply; }

 protected:
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override;

 public:
  /// request must have been built on this object and must outlive execute().
  void addRequest(DVLQueryRequest& request);
  /// The last value set is sent.
  void setCacheValidator(const char* validator);
  /// The validator the service returned; null before a reply or when the reply has no result.
  const char* getCacheValidatorReply();
  /// The answers, one per query in order; null before execute().
  ZEBQueryReplyArray* getReturns() { return m_resultArray; }
  /// Raises when there is no reply list (before execute(), or a reply without a result).
  int getReplyCount();
  /// The objects answered to the query at index; null when there is none.
  ZEBBaseClassArray* getQueryResult(unsigned int index);
  /// The passport the reply carried; null when none.
  const char* getPassport();

 private:
  int isPopulated(ZEBQueryRequest* element, ZEBPropEnum& property);

  ZEBContentQueryMultipleCache_Request m_request;
  ZEBContentQueryMultipleCache_Reply m_reply;
  ZEBQueryMultipleOptions* m_options;
  ZEBPropEnum m_objectClassProp;
  ZEBPropEnum m_defaultNameProp;
  ZEBPropEnum m_searchPathProp;
  ZEBPropEnum m_storeIDProp;
  ZEBQueryReplyArray* m_resultArray;
};
