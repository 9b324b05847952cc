// A stand-in for the service in unit tests: a real ZEBSOAPSession whose transport hands each request
// to this object, which records it (envelope and attachment bytes) and answers with a canned reply
// (and documents, when given).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ZEBSchema.h"
#include "ZEBSession.h"
#include "ZEBSoap.h"
#include "ZEBInProcessTransport.h"

struct RecordedRequest {
  std::string operation;
  std::string envelope;
  int trusted = 0;
  std::vector<std::pair<std::string, std::string>> attachments;  // (content identifier, bytes)
};

class FakeService {
 public:
  // Answers a request with a reply envelope. The default answers every operation with its empty reply.
  using Responder = std::function<std::string(const RecordedRequest&)>;

  FakeService()
      : m_transport(std::make_shared<ZEBInProcessTransport>(&FakeService::handle, this)), m_session(m_transport) {}

  ZEBSOAPSession& session() { return m_session; }
  const std::shared_ptr<ZEBInProcessTransport>& transport() const { return m_transport; }
  const std::vector<RecordedRequest>& requests() const { return m_requests; }
  const RecordedRequest& last() const { return m_requests.back(); }
  void respond(Responder responder) { m_responder = std::move(responder); }
  // Documents that go with every reply from now on.
  std::vector<ZEBReceivedAttachment> replyAttachments;

  // The empty reply envelope of an operation.
  static std::string emptyReply(const std::string& operation) {
    const ZEBTypeInfo* request = ZEBSoap::findRequestType(operation.c_str());
    std::unique_ptr<ZEBObject> reply(ZEBSoap::findReplyType(*request)->create());
    return ZEBSoap::writeEnvelope(static_cast<ZEBMessageI&>(*reply), nullptr);
  }

  // The envelope of a reply message built by the test, with an optional header.
  static std::string replyOf(const ZEBMessageI& reply, const ZEBVorbHeader* header = nullptr) {
    return ZEBSoap::writeEnvelope(reply, header);
  }

  // Parses the last request back into its message, for checks on the objects sent.
  std::unique_ptr<ZEBMessageI> lastRequestMessage() const {
    return ZEBSoap::readRequest(last().envelope.data(), last().envelope.size());
  }

 private:
  static ZEBWireReply handle(const ZEBWireRequest& wire, void* context) {
    auto* self = static_cast<FakeService*>(context);
    RecordedRequest recorded;
    recorded.operation = wire.operation;
    recorded.envelope = wire.envelope;
    recorded.trusted = wire.trusted;
    if (wire.attachments) {
      for (const auto& [contentId, document] : *wire.attachments) {
        std::string bytes;
        char buffer[65536];
        document->rewind();
        for (size_t n; (n = document->read(buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
        recorded.attachments.emplace_back(contentId, bytes);
      }
    }
    self->m_requests.push_back(recorded);
    ZEBWireReply reply;
    reply.envelope = self->m_responder ? self->m_responder(recorded) : emptyReply(recorded.operation);
    reply.attachments = self->replyAttachments;
    return reply;
  }

  std::shared_ptr<ZEBInProcessTransport> m_transport;
  ZEBSOAPSession m_session;
  std::vector<RecordedRequest> m_requests;
  Responder m_responder;
};
