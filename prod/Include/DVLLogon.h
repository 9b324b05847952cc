/// \file
/// Logs the session on with one credential: namespace, user name and password, sent as a small XML
/// credential document, plain or sealed for the service.
#pragma once

#include <string>

#include "DVLGenericSoap.h"
#include "ZEBSchema.h"

/// Logs on with a credential; the session keeps the passport the service answers.
class DVL_EXPORT DVLLogon : public DVLGenericSoap {
 public:
  /// A request for session; testInfo may be null.
  DVLLogon(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLLogon() override;

  /// Builds the credential document, replacing an earlier one. Null arguments are left out; an empty
  /// namespace is left out too. With encrypt non-zero the document is sealed with the session's
  /// client identifier. If building fails, the previous document stays.
  void addCredentials(const char* nameSpace, const char* userName, const char* password, int encrypt);

  /// The document that the next execute() sends.
  const std::string& getCredentials() const { return m_credentials; }

  ZEBMessageI& getRequest() override { return m_request; }
  ZEBMessageI& getReply() override { return m_reply; }

 protected:
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_request.getObjectRegistry(); }
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_reply.getObjectRegistry(); }
  void preExec() override;
  void postExec() override {}
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override;

 private:
  ZEBAuthenticationLogon_Request m_request;
  ZEBAuthenticationLogon_Reply m_reply;
  std::string m_credentials;
  ZEBXmlEncodedXML* m_credentialXML;
};
