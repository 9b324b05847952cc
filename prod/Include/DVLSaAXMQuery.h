/// \file
/// Asks the standalone access-manager service for the credential of one namespace.
#pragma once

#include "DVLGenericSoap.h"
#include "ZEBSchema.h"

/// Asks the standalone access manager for the credential of a namespace's trusted account.
class DVL_EXPORT DVLSaAXMQuery : public DVLGenericSoap {
 public:
  /// A request for session; testInfo may be null.
  DVLSaAXMQuery(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLSaAXMQuery() override;

 protected:
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_request.getObjectRegistry(); }
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_reply.getObjectRegistry(); }
  void preExec() override {}
  void postExec() override {}

 public:
  ZEBMessageI& getRequest() override { return m_request; }
  ZEBMessageI& getReply() override { return m_reply; }

 protected:
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override;

 public:
  /// A later call replaces the namespace.
  void setNamespace(const char* nameSpace) { m_request.setNamespace(nameSpace); }
  /// The credential as XML text, owned by the reply; null when the reply carries none.
  const char* getAXMCredential() const;

 private:
  ZEBStandaloneAXMRetrieveCredential_Request m_request;
  ZEBStandaloneAXMRetrieveCredential_Reply m_reply;
};
