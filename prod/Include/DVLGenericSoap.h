/// \file
/// The base of every request class: one object stands for one call of one service operation.
/// execute() runs the call in a fixed order; the subclasses fill the request, name the port and
/// check the reply through the pure operations below, declared in their slot order.
#pragma once

#include <utility>
#include <vector>

#include "DVLExport.h"
#include "KRNReferenceCount.h"
#include "ZEBPortType.h"
#include "ZEBSession.h"

class DVLTestInfo;
class MWLOutputStream;

/// Base of every request: builds the message, sends it through the session and reads the reply.
class DVL_EXPORT DVLGenericSoap {
 public:
  /// The session must outlive the request; the settings object is only pointed to.
  DVLGenericSoap(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  virtual ~DVLGenericSoap();

  /// preExec(), the exchange through the session, postExec(). A KRNThrowable raised while the binding
  /// is obtained or the exchange runs gets one back-trace entry; postExec() then does not run.
  virtual void execute();

 protected:
  /// The registry that owns the objects of the request.
  virtual ZEBObjectRegistryI& getRequestObjectRegistry() = 0;
  /// The registry that owns the objects of the reply.
  virtual ZEBObjectRegistryI& getResponseObjectRegistry() = 0;

 public:
  /// Whether the request is sent in trusted mode.
  virtual ZEBSOAPSessionI::ZEBSOAPTrusted trustedRequestMode() const;

 protected:
  /// Fills the request message from what the setters recorded.
  virtual void preExec() = 0;
  /// Checks the reply and keeps pointers into it.
  virtual void postExec() = 0;

 public:
  /// The request message.
  virtual ZEBMessageI& getRequest() = 0;
  /// The reply message; filled by execute().
  virtual ZEBMessageI& getReply() = 0;

 protected:
  /// Leaves in binding the port type's binding of the request and reply messages.
  virtual void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) = 0;

  /// Adds a document to the attachments. Called from preExec(), it goes with that execution only;
  /// called at any other time (by a host, before execute()), it goes with every later execution,
  /// once each, ahead of what preExec() adds. Neither the document nor the content identifier is
  /// copied: both must stay valid until the last execute() returns.
  void addAttachment(ZEBDocumentOutputI& document, const char* contentId);
  /// The client identifier of the session, which must be a ZEBSOAPSession.
  const char* getClientID();

 public:
  /// Writes the reply message as XML to out. Failures of the serialisation are swallowed: out then
  /// holds what was written before.
  void getReplyAsXML(MWLOutputStream& out);

  /// The attachments that the last execute() handed to the session.
  const ZEBAttachmentList& getAttachments() const { return m_attachments; }

 private:
  const ZEBSOAPSessionI& m_session;
  const DVLTestInfo* m_testInfo;
  ZEBSOAPSessionI::ZEBSOAPTrusted m_trusted;
  ZEBAttachmentList m_attachments;      // what the current (or last) execution sends
  ZEBAttachmentList m_hostAttachments;  // added outside preExec(): sent by every execution
  bool m_inPreExec = false;
};
