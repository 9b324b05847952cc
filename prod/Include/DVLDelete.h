/// \file
/// Deletes one object, named by search path or store identifier. The deletion is forced and
/// recursive, and does not fail because the object is still referenced.
#pragma once

#include <string>

#include "DVLGenericSoap.h"
#include "ZEBSchema.h"

/// Deletes objects by search path.
class DVL_EXPORT DVLDelete : public DVLGenericSoap {
 public:
  /// A request for session; testInfo may be null.
  DVLDelete(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLDelete() override;

  /// Names the object to delete, replacing an earlier path or store identifier.
  void addPath(const char* path);
  /// Names the object by store identifier, which must not hold a double quote.
  void addStoreId(const char* storeId);

  ZEBMessageI& getRequest() override { return m_request; }
  ZEBMessageI& getReply() override { return m_reply; }

 protected:
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_request.getObjectRegistry(); }
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_reply.getObjectRegistry(); }
  void preExec() override;
  void postExec() override {}
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override;

 private:
  ZEBContentDelete_Request m_request;
  ZEBContentDelete_Reply m_reply;
  ZEBBaseClassArray m_objects;
  ZEBDeleteOptions m_options;
  ZEBStringProp m_searchPath;
  ZEBNil m_object;
  std::string m_storeIdPath;
};
