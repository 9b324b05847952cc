// The fixed sequence of every call: what runs, what is sent, and what a failure carries.
#include <gtest/gtest.h>

#include <stdexcept>

#include "DVLGenericSoap.h"
#include "KRNError.h"
#include "MWLStream.h"
#include "support/FakeService.h"
#include "support/Raised.h"

namespace {

// A session whose exchange does what the test asks.
class ScriptedSession : public ZEBSOAPSessionI {
 public:
  enum Behaviour { Succeed, ThrowRuntime, ThrowStd };
  Behaviour behaviour = Succeed;
  mutable int sends = 0;
  mutable const ZEBAttachmentList* attachments = nullptr;
  mutable int mode = -1;

  void send(ZEBPortTypeBinding*, const ZEBAttachmentList* list, ZEBSOAPTrusted trusted, void* reserved) const override {
    ++sends;
    attachments = list;
    mode = trusted;
    EXPECT_EQ(reserved, nullptr);
    if (behaviour == ThrowRuntime) throw KRNAssertError(0, "KRN_ASSERT(session);");
    if (behaviour == ThrowStd) throw std::length_error("too long");
  }
  void sendBinding(ZEBPortTypeBinding* b, int, int) const override { send(b, nullptr, ZEBSOAPUntrusted, nullptr); }
};

// Tells the test when it is released.
class TrackedBinding : public ZEBPortTypeBinding {
 public:
  TrackedBinding(ZEBMessageI& request, ZEBMessageI& reply, bool& released)
      : ZEBPortTypeBinding("ContentManagerService", request, reply), m_released(released) {}
  void cleanup() override {
    m_released = true;
    ZEBPortTypeBinding::cleanup();
  }

 private:
  bool& m_released;
};

class ProbeRequest : public DVLGenericSoap {
 public:
  ProbeRequest(const ZEBSOAPSessionI& session, ZEBSOAPSessionI::ZEBSOAPTrusted mode)
      : DVLGenericSoap(session, nullptr, mode) {}
  bool failPreExec = false;
  int preExecs = 0, postExecs = 0;
  bool bindingReleased = false;
  ZEBMemoryDocumentOutput document{"abc", 3};

  ZEBMessageI& getRequest() override { return m_request; }
  ZEBMessageI& getReply() override { return m_reply; }
  using DVLGenericSoap::addAttachment;
  using DVLGenericSoap::getClientID;

 protected:
  ZEBObjectRegistryI& getRequestObjectRegistry() override { return m_request.getObjectRegistry(); }
  ZEBObjectRegistryI& getResponseObjectRegistry() override { return m_reply.getObjectRegistry(); }
  void preExec() override {
    ++preExecs;
    if (failPreExec) KRN::raiseAssert("Probe", 1, "KRN_ASSERT(ready);");
    addAttachment(document, "doc");
  }
  void postExec() override { ++postExecs; }
  void getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) override {
    bindingReleased = false;
    binding = new TrackedBinding(m_request, m_reply, bindingReleased);
  }

 public:
  ZEBContentQuery_Request m_request;
  ZEBContentQuery_Reply m_reply;
};

// A document the host attaches before execute() goes with every execution, once, ahead of the
// request's own, which a second execution does not send twice.
TEST(ExecuteTest, RunsPreExecSendPostExecWithTheModeAndTheSameAttachmentsEachTime) {
  ScriptedSession session;
  ProbeRequest request(session, ZEBSOAPSessionI::ZEBSOAPTrustedRequest);
  ZEBMemoryDocumentOutput hostDocument{"host", 4};
  request.addAttachment(hostDocument, "host");
  request.execute();
  request.execute();
  EXPECT_EQ(request.preExecs, 2);
  EXPECT_EQ(session.sends, 2);
  EXPECT_EQ(request.postExecs, 2);
  EXPECT_EQ(session.mode, ZEBSOAPSessionI::ZEBSOAPTrustedRequest);
  EXPECT_EQ(session.attachments, &request.getAttachments());
  ASSERT_EQ(request.getAttachments().size(), 2u);
  EXPECT_STREQ(request.getAttachments()[0].first, "host");
  EXPECT_EQ(request.getAttachments()[0].second, &hostDocument);
  EXPECT_STREQ(request.getAttachments()[1].first, "doc");
  EXPECT_TRUE(request.bindingReleased);
}

TEST(ExecuteTest, AFailureSkipsPostExecAndReleasesTheBinding) {
  ScriptedSession session;
  session.behaviour = ScriptedSession::ThrowRuntime;
  ProbeRequest request(session, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  KRNAssertError fromSend = raisedBy<KRNAssertError>([&] { request.execute(); });  // one entry of ours
  ASSERT_EQ(fromSend.getBackTrace().size(), 1u);
  const KRNBackTraceEntry& entry = fromSend.getBackTrace()[0];
  EXPECT_STREQ(entry.location.getFile(), "DVLGenericSoap");
  EXPECT_EQ(entry.location.getLine(), 59);
  EXPECT_EQ(entry.function, "DVLGenericSoap::execute");
  EXPECT_EQ(entry.macro, "KRN_RETHROW");
  EXPECT_EQ(request.postExecs, 0);
  EXPECT_TRUE(request.bindingReleased);

  session.behaviour = ScriptedSession::ThrowStd;  // passes unchanged
  EXPECT_THROW(request.execute(), std::length_error);
  EXPECT_TRUE(request.bindingReleased);
  EXPECT_EQ(request.postExecs, 0);

  request.failPreExec = true;  // nothing sent, no entry added
  EXPECT_EQ(raisedBy<KRNAssertError>([&] { request.execute(); }).getBackTrace().size(), 1u);
  EXPECT_EQ(session.sends, 2);
}

TEST(ReplyAsXmlTest, WritesTheReplyAndSwallowsSerialisationFailures) {
  FakeService service;
  ProbeRequest request(service.session(), ZEBSOAPSessionI::ZEBSOAPUntrusted);
  MWLMemoryOutputStream before;
  request.getReplyAsXML(before);  // before any execute: the empty reply
  EXPECT_NE(before.str().find("queryResponse"), std::string::npos);
  EXPECT_EQ(before.str().find("<?xml"), std::string::npos);

  // An enumeration value the schema does not know cannot be written.
  ZEBBaseClassArray result;
  ZEBFolder folder;
  ZEBClassEnumProp classProp;
  ZEBClassEnum bogus;
  bogus.setRawValue(0x12345678);
  classProp.setValue(&bogus);
  folder.setObjectClass(&classProp);
  result.push_back(&folder);
  request.m_reply.setResult(&result);
  MWLMemoryOutputStream out;
  EXPECT_NO_THROW(request.getReplyAsXML(out));
}

TEST(ClientIdTest, OnlyTheToolkitSessionHasOne) {
  FakeService service;
  ProbeRequest real(service.session(), ZEBSOAPSessionI::ZEBSOAPUntrusted);
  EXPECT_EQ(std::string(real.getClientID()), service.session().getClientID());
  EXPECT_EQ(std::string(real.getClientID()).size(), 36u);

  ScriptedSession scripted;
  ProbeRequest other(scripted, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  EXPECT_THROW(other.getClientID(), KRNAssertError);
}

}  // namespace
