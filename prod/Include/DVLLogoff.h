/// \file
/// Ends the logged-on state of the session. Always sent untrusted.
#pragma once

#include "DVLGenericSoap.h"
#include "ZEBSchema.h"

/// Ends the session's logon: the passport is given up.
class DVL_EXPORT DVLLogoff : public DVLGenericSoap {
 public:
  /// A request for session; testInfo may be null.
  DVLLogoff(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo);
  ~DVLLogoff() override;

  ZEBMessageI& getRequest() override { return m_request; }
  ZEBMessageI& getReply() override { return m_reply; }

 protected:
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_request.getObjectRegistry(); }
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_reply.getObjectRegistry(); }
  void preExec() override {}
  void postExec() override {}
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override;

 private:
  ZEBAuthenticationLogoff_Request m_request;
  ZEBAuthenticationLogoff_Reply m_reply;
};
