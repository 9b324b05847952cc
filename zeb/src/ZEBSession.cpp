#include "ZEBSession.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "KRNError.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"
#include "ZEBMessageBuffers.h"
#include "ZEBPortType.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"
#include "KRNAllocationHooks.h"

namespace {

// The operations that only read: a transport may send them again after a failure. Logon is not
// among them (each one opens a session in the store), nor is anything that adds or deletes.
bool isReadOnly(const char* operation) {
  for (const char* name : {"query", "queryMultiple", "queryMultipleCache", "queryCache", "determineRouting",
                           "retrieveCredential"}) {
    if (std::strcmp(operation, name) == 0) return true;
  }
  return false;
}

}  // namespace

ZEBDocumentOutput::ZEBDocumentOutput(std::string path, std::string contentType)
    : m_path(std::move(path)), m_contentType(std::move(contentType)) {}

ZEBDocumentOutput::~ZEBDocumentOutput() {
  if (m_file) std::fclose(m_file);
}

long long ZEBDocumentOutput::getSize() const {
  struct stat info;
  return ::stat(m_path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

void ZEBDocumentOutput::rewind() {
  if (m_file) std::fclose(m_file);
  m_file = std::fopen(m_path.c_str(), "rb");
  if (m_file == nullptr) {
    KRNRuntimeError error("cannot open document '" + m_path + "': " + std::strerror(errno));
    ZEBRaise(error, "ZEBSession");
  }
}

size_t ZEBDocumentOutput::read(char* buffer, size_t length) {
  if (m_file == nullptr) rewind();
  size_t n = std::fread(buffer, 1, length, m_file);
  if (n == 0 && std::ferror(m_file)) {
    KRNRuntimeError error("cannot read document '" + m_path + "': " + std::strerror(errno));
    ZEBRaise(error, "ZEBSession");
  }
  return n;
}

size_t ZEBMemoryDocumentOutput::read(char* buffer, size_t length) {
  size_t n = std::min(length, m_length - m_position);
  std::memcpy(buffer, m_data + m_position, n);
  m_position += n;
  return n;
}

ZEBSOAPSession::ZEBSOAPSession(std::shared_ptr<ZEBTransport> transport)
    : m_transport(std::move(transport)), m_clientId(UuidGenerator::create()) {}

ZEBSOAPSession::~ZEBSOAPSession() = default;

std::string ZEBSOAPSession::getPassport() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_passport;
}

void ZEBSOAPSession::setPassport(const std::string& passport) const {
  std::lock_guard<std::mutex> lock(m_lock);
  m_passport = passport;
}

void ZEBSOAPSession::send(ZEBPortTypeBinding* binding, const ZEBAttachmentList* attachments,
                          ZEBSOAPTrusted trusted, void*) const {
  // A call during which an allocation failed is reported as running out of memory, whatever it
  // seemed to return: libxml2 and libcurl say so in their own ways, or not at all.
  KRNWatchingAllocations("ZEBSOAPSession", 0, [&] { exchange(binding, attachments, trusted); });
}

void ZEBSOAPSession::exchange(ZEBPortTypeBinding* binding, const ZEBAttachmentList* attachments,
                              ZEBSOAPTrusted trusted) const {
  ZEBMessageI& request = binding->getInputMessage();
  ZEBMessageI& reply = *binding->getOutputMessage();

  // The header that travels: the request's own, if it has one, with the session's passport filled
  // in when it carries none. The request message itself is left as the caller built it.
  ZEBObjectRegistry scratch;
  ZEBVorbHeader* header = nullptr;
  if (ZEBVorbHeader* own = request.getVorbHeader(nullptr)) header = new ZEBVorbHeader(*own, scratch);
  if (header == nullptr) header = new ZEBVorbHeader;
  std::string passport = getPassport();
  if (!passport.empty() && header->getPassport() == nullptr) header->setPassport(passport.c_str());
  if (header->getClientID() == nullptr) header->setClientID(m_clientId.c_str());
  std::unique_ptr<ZEBVorbHeader> headerOwner(header);

  ZEBWireRequest wire;
  wire.port = binding->getPort();
  wire.operation = binding->getOperation();
  wire.soapAction = binding->getSOAPAction();
  wire.envelope = ZEBSoap::writeEnvelope(request, header);
  wire.attachments = attachments && !attachments->empty() ? attachments : nullptr;
  wire.trusted = trusted;
  wire.readOnly = isReadOnly(wire.operation);

  ZEBWireReply received = m_transport->exchange(wire);
  ZEBSoap::readEnvelope(received.envelope.data(), received.envelope.size(), reply);
  reply.setReceivedAttachments(std::move(received.attachments));
  zebsoap::giveBuffer(std::move(wire.envelope));
  zebsoap::giveBuffer(std::move(received.envelope));

  if (std::strcmp(wire.operation, "logon") == 0) {
    const char* issued = ZEBHelper::getPassport(reply.getVorbHeader(nullptr));
    setPassport(issued ? issued : "");
  } else if (std::strcmp(wire.operation, "logoff") == 0) {
    setPassport("");
  }
}

void ZEBSOAPSession::sendBinding(ZEBPortTypeBinding* binding, int, int) const {
  send(binding, nullptr, ZEBSOAPUntrusted, nullptr);
}
