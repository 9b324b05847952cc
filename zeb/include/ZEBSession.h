/// \file
/// Sessions: the seam between request objects and the wire. A session serialises a binding's request
/// message, hands it to its transport (HTTP, in-process, recording, replay) and parses the reply.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "KRNReferenceCount.h"
#include "ZEBObject.h"

class ZEBPortTypeBinding;

/// A document sent as a MIME attachment. It is read from the start each time a request is sent, so
/// one document can travel again on a retry.
class ZEB_EXPORT ZEBDocumentOutputI {
 public:
  virtual ~ZEBDocumentOutputI() = default;
  /// The document's MIME type.
  virtual const char* getContentType() const = 0;
  /// Total size in bytes, or -1 when unknown.
  virtual long long getSize() const = 0;
  /// Starts reading from the first byte again.
  virtual void rewind() = 0;
  /// Reads up to length bytes; 0 at the end.
  virtual size_t read(char* buffer, size_t length) = 0;
};

/// A document read from a file as it is sent; the file is opened on each rewind.
class ZEB_EXPORT ZEBDocumentOutput : public ZEBDocumentOutputI {
 public:
  /// A document read from the file at path when it is sent.
  explicit ZEBDocumentOutput(std::string path, std::string contentType = "application/octet-stream");
  ~ZEBDocumentOutput() override;
  const char* getContentType() const override { return m_contentType.c_str(); }
  long long getSize() const override;
  void rewind() override;
  size_t read(char* buffer, size_t length) override;
  /// The file's path.
  const std::string& getPath() const { return m_path; }

 private:
  std::string m_path;
  std::string m_contentType;
  std::FILE* m_file = nullptr;
};

/// A document held in memory (not copied: the bytes must outlive the document).
class ZEB_EXPORT ZEBMemoryDocumentOutput : public ZEBDocumentOutputI {
 public:
  /// A document of the length bytes at data, not copied.
  ZEBMemoryDocumentOutput(const char* data, size_t length, std::string contentType = "application/octet-stream")
      : m_data(data), m_length(length), m_contentType(std::move(contentType)) {}
  const char* getContentType() const override { return m_contentType.c_str(); }
  long long getSize() const override { return static_cast<long long>(m_length); }
  void rewind() override { m_position = 0; }
  size_t read(char* buffer, size_t length) override;

 private:
  const char* m_data;
  size_t m_length;
  size_t m_position = 0;
  std::string m_contentType;
};

/// The attachments of one request, in order: (content identifier, document).
using ZEBAttachmentList = std::vector<std::pair<const char*, ZEBDocumentOutputI*>>;

/// One request as it goes to the transport.
struct ZEBWireRequest {
  const char* port = "";       ///< "ContentManagerService"
  const char* operation = "";  ///< "query"
  /// The SOAPAction header value.
  std::string soapAction;
  /// The request envelope.
  std::string envelope;
  const ZEBAttachmentList* attachments = nullptr;  ///< may be null
  int trusted = 0;                                 ///< the request's trusted mode
  /// The operation changes nothing in the store, so a transport may send it again after a failure.
  bool readOnly = false;
  std::string peerAddress;                         ///< the client's address, when a server knows it
};

/// One reply as the transport received it.
struct ZEBWireReply {
  /// The reply's HTTP status.
  int httpStatus = 200;
  /// The reply envelope.
  std::string envelope;
  /// The documents that came with the reply, in order.
  std::vector<ZEBReceivedAttachment> attachments;
  std::string operation;  ///< filled by a server: the operation carried out, for its log and metrics
  std::string account;    ///< and the account it ran for ("namespace/user"), when known
};

/// Carries one exchange. Implementations raise KRNThrowable subclasses (ZEBTransportError) on failure.
class ZEB_EXPORT ZEBTransport {
 public:
  virtual ~ZEBTransport() = default;
  /// Sends request and returns the reply; raises on a failure of the transport.
  virtual ZEBWireReply exchange(const ZEBWireRequest& request) = 0;
  /// Where the transport sends, for messages ("http://127.0.0.1:9300/dvl", "in-process").
  virtual std::string describe() const = 0;
};

/// A connection to the service as the requests see it.
class ZEB_EXPORT ZEBSOAPSessionI {
 public:
  /// Whether a request is sent in trusted mode.
  enum ZEBSOAPTrusted : int32_t { ZEBSOAPUntrusted = 0, ZEBSOAPTrustedRequest = 1 };

  virtual ~ZEBSOAPSessionI() = default;
  /// Sends the binding's request message with the attachments and fills its reply message.
  virtual void send(ZEBPortTypeBinding* binding, const ZEBAttachmentList* attachments, ZEBSOAPTrusted trusted,
                    void* reserved) const = 0;
  /// The same without attachments.
  virtual void sendBinding(ZEBPortTypeBinding* binding, int reserved1, int reserved2) const = 0;
};

/// The toolkit's session: serialises, exchanges through a transport, parses; keeps the passport that
/// a logon reply carries and sends it with every later request until logoff. Safe to share between
/// threads when its transport is.
class ZEB_EXPORT ZEBSOAPSession : public ZEBSOAPSessionI {
 public:
  /// A session over transport, which it shares.
  explicit ZEBSOAPSession(std::shared_ptr<ZEBTransport> transport);
  ~ZEBSOAPSession() override;

  void send(ZEBPortTypeBinding* binding, const ZEBAttachmentList* attachments, ZEBSOAPTrusted trusted,
            void* reserved) const override;
  void sendBinding(ZEBPortTypeBinding* binding, int reserved1, int reserved2) const override;

  /// This session's identifier (a random UUID made at construction); the credential encryption binds
  /// the sealed document to it.
  const char* getClientID() const { return m_clientId.c_str(); }
  /// The passport of the current logon, empty when not logged on.
  std::string getPassport() const;
  /// Keeps passport for the following requests.
  void setPassport(const std::string& passport) const;
  /// The transport the session sends through.
  ZEBTransport& getTransport() const { return *m_transport; }

 private:
  void exchange(ZEBPortTypeBinding* binding, const ZEBAttachmentList* attachments, ZEBSOAPTrusted trusted) const;

  std::shared_ptr<ZEBTransport> m_transport;
  std::string m_clientId;
  mutable std::mutex m_lock;
  mutable std::string m_passport;
};

