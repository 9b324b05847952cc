/// \file
/// Asks the content-manager service which routing applies to a set of objects, named by search paths;
/// the answer is one text.
#pragma once

#include "DVLGenericSoap.h"
#include "ZEBSchema.h"

/// Asks which route the service gives a set of objects.
class DVL_EXPORT DVLDetermineRouting : public DVLGenericSoap {
 public:
  /// A request for session; testInfo may be null.
  DVLDetermineRouting(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                      ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLDetermineRouting() override;

 protected:
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_request.getObjectRegistry(); }
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_reply.getObjectRegistry(); }
  void preExec() override { m_request.setObjectPaths(&m_objectPaths); }
  void postExec() override {}

 public:
  ZEBMessageI& getRequest() override { return m_request; }
  ZEBMessageI& getReply() override { return m_reply; }

 protected:
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override;

 public:
  /// Appends a path (call order); it is not owned and must stay valid until the last execute().
  void addPath(ZEBSearchPathSingleObject* path);
  /// The routing text of the reply, owned by the request object.
  const char* getResult() { return m_reply.getResult(); }

 private:
  ZEBContentDetermineRouting_Request m_request;
  ZEBContentDetermineRouting_Reply m_reply;
  ZEBSearchPathSingleObjectArray m_objectPaths;
};
