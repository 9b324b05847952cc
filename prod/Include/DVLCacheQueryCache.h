/// \file
/// The content-manager cache service's query: an object path, a search type, the cache entries asked
/// for and options; the reply's objects and options are read after execute().
#pragma once

#include "DVLGenericSoap.h"
#include "ZEBSchema.h"

/// A request to the cache service: the objects below one path, filtered by class, with the cache validator.
class DVL_EXPORT DVLCacheQueryCache : public DVLGenericSoap {
 public:
  /// A request for session; testInfo may be null.
  DVLCacheQueryCache(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                     ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLCacheQueryCache() override;

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
  /// A later call replaces the path sent.
  void setObjectPath(const char* path);
  /// The enums, entries and options stay the caller's and must outlive execute().
  void setSearchType(ZEBClassEnum& type) { m_request.setSearchType(&type); }
  /// Asks for the objects of one more class. Only the address is kept: entry must outlive execute().
  void setEntry(ZEBClassEnum& entry) { m_entries.push_back(&entry); }
  /// Options sent with the request; not owned, null sends none.
  void setOptions(ZEBOptionArray* options) { m_request.setOptions(options); }
  /// Null until a reply with a result has arrived.
  ZEBBaseClassArray* getQueryCacheResultObjects() { return m_resultObjects; }
  /// The options of the reply (the cache validator, the object count); null before execute().
  ZEBOptionArray* getQueryCacheResultOptions() { return m_resultOptions; }

 private:
  ZEBContentCacheQueryCache_Request m_request;
  ZEBContentCacheQueryCache_Reply m_reply;
  ZEBSearchPathSingleObject* m_objectPath;
  ZEBClassEnumArray m_entries;
  ZEBBaseClassArray* m_resultObjects;
  ZEBOptionArray* m_resultOptions;
};
