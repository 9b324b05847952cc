// The fixed sequence of every call: what runs, what is sent, and what a failure carries.
#include <gtest/gtest.h>


#include "DVLGenericSoap.h"
#include "KRNError.h"
#include "MWLStream.h"
#include "ZEBPortType.h"
#include "support/FakeService.h"
#include "support/Raised.h"

namespace {

class ProbeRequest : public DVLGenericSoap {
 public:
  explicit ProbeRequest(const ZEBSOAPSessionI& session,
                        ZEBSOAPSessionI::ZEBSOAPTrusted mode = ZEBSOAPSessionI::ZEBSOAPUntrusted)
      : DVLGenericSoap(session, nullptr, mode) {}
  bool failPreExec = false;
  int preExecs = 0, postExecs = 0;
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
    binding = ZEBContentManagerServicePortType::getInstance().createBinding(m_request, m_reply);
  }

 public:
  ZEBContentQuery_Request m_request;
  ZEBContentQuery_Reply m_reply;
};

// A document the host attaches before execute() goes with every execution, once, ahead of the
// request's own, which a second execution does not send twice.
TEST(ExecuteTest, RunsPreExecSendPostExecWithTheModeAndTheSameAttachmentsEachTime) {
  FakeService service;
  ProbeRequest request(service.session(), ZEBSOAPSessionI::ZEBSOAPTrustedRequest);
  ZEBMemoryDocumentOutput hostDocument{"host", 4};
  request.addAttachment(hostDocument, "host");
  request.execute();
  request.execute();
  EXPECT_EQ(request.preExecs, 2);
  EXPECT_EQ(request.postExecs, 2);
  ASSERT_EQ(service.requests().size(), 2u);
  for (const RecordedRequest& sent : service.requests()) {
    EXPECT_EQ(sent.trusted, ZEBSOAPSessionI::ZEBSOAPTrustedRequest);
    EXPECT_EQ(sent.attachments, (std::vector<std::pair<std::string, std::string>>{{"host", "host"}, {"doc", "abc"}}));
  }
}

// What the exchange raises passes on, ours with one entry of the request's added; nothing is
// sent when preExec fails.
TEST(ExecuteTest, AFailureSkipsPostExecAndAddsOneEntry) {
  FakeService service;
  ProbeRequest request(service.session());
  service.respond([](const RecordedRequest&) -> std::string {
    KRNAssertError(0, "KRN_ASSERT(session);").raise(KRNFileLocation("FakeService", 1), nullptr, "KRN_THROW");
    return "";
  });
  KRNAssertError fromSend = raisedBy<KRNAssertError>([&] { request.execute(); });
  ASSERT_EQ(fromSend.getBackTrace().size(), 2u);
  const KRNBackTraceEntry& entry = fromSend.getBackTrace()[1];
  EXPECT_STREQ(entry.location.getFile(), "DVLGenericSoap");
  EXPECT_EQ(entry.location.getLine(), 59);
  EXPECT_EQ(entry.function, "DVLGenericSoap::execute");
  EXPECT_EQ(entry.macro, "KRN_RETHROW");

  service.respond([](const RecordedRequest&) -> std::string { throw std::length_error("too long"); });
  EXPECT_THROW(request.execute(), std::length_error);  // passes unchanged
  EXPECT_EQ(request.postExecs, 0);

  request.failPreExec = true;  // nothing sent, no entry added
  EXPECT_EQ(raisedBy<KRNAssertError>([&] { request.execute(); }).getBackTrace().size(), 1u);
  EXPECT_EQ(service.requests().size(), 2u);
}

TEST(ReplyAsXmlTest, WritesTheReplyAndSwallowsSerialisationFailures) {
  FakeService service;
  ProbeRequest request(service.session());
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

// A session of the host's own has no client id.
class HostSession : public ZEBSOAPSessionI {
 public:
  void send(ZEBPortTypeBinding*, const ZEBAttachmentList*, ZEBSOAPTrusted, void*) const override {}
  void sendBinding(ZEBPortTypeBinding*, int, int) const override {}
};

TEST(ClientIdTest, OnlyTheToolkitSessionHasOne) {
  FakeService service;
  ProbeRequest real(service.session());
  EXPECT_EQ(std::string(real.getClientID()), service.session().getClientID());
  EXPECT_EQ(std::string(real.getClientID()).size(), 36u);

  HostSession host;
  EXPECT_THROW(ProbeRequest(host).getClientID(), KRNAssertError);
}

}  // namespace
