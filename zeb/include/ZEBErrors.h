/// \file
/// The toolkit's exceptions: faults sent by the service, failures of the transport, and replies that
/// cannot be read.
#pragma once

#include <string>

#include "KRNThrowable.h"
#include "ZEBObject.h"

/// A SOAP fault returned by the service.
class ZEB_EXPORT ZEBSOAPFault : public KRNThrowable {
 public:
  /// A fault as the service sent it, with the whole reply.
  ZEBSOAPFault(std::string faultCode, std::string faultString, std::string detail, std::string rawReply);
  /// The fault code (`soapenv:Client`, `soapenv:Server`).
  const std::string& getFaultCode() const { return m_faultCode; }
  /// The fault text.
  const std::string& getFaultString() const { return m_faultString; }
  /// The fault detail, as XML text; empty when none.
  const std::string& getDetail() const { return m_detail; }
  /// The reply envelope that carried the fault.
  const std::string& getRawReply() const { return m_rawReply; }
  KRN_THROWABLE_BODY(ZEBSOAPFault)

 private:
  std::string m_faultCode, m_faultString, m_detail, m_rawReply;
};

/// The exchange did not complete: refused, timed out, reset, truncated, or an HTTP error without a
/// SOAP body. Names the endpoint, the phase and the reason.
class ZEB_EXPORT ZEBTransportError : public KRNThrowable {
 public:
  /// A failure at endpoint in phase, with its reason and the HTTP status if one arrived.
  ZEBTransportError(std::string endpoint, std::string phase, std::string reason, int httpStatus = 0);
  /// The endpoint URL.
  const std::string& getEndpoint() const { return m_endpoint; }
  /// Where it failed: `configure`, `connect`, `TLS`, `send`, `receive`, `timeout` or `HTTP`.
  const std::string& getPhase() const { return m_phase; }
  /// What went wrong.
  const std::string& getReason() const { return m_reason; }
  /// The reply's HTTP status if its status line arrived, else 0.
  int getHttpStatus() const { return m_httpStatus; }
  KRN_THROWABLE_BODY(ZEBTransportError)

 private:
  std::string m_endpoint, m_phase, m_reason;
  int m_httpStatus;
};

/// A message that is not what the schema allows: malformed XML, a DOCTYPE, an unknown element, a
/// value of the wrong form, too deep or too large.
class ZEB_EXPORT ZEBMalformedMessage : public KRNThrowable {
 public:
  /// A message refused for reason.
  explicit ZEBMalformedMessage(std::string reason) : KRNThrowable("malformed SOAP message: " + reason) {}
  KRN_THROWABLE_BODY(ZEBMalformedMessage)
};

/// The service's credential key cannot be trusted: the endpoint is one it may not be fetched from
/// (plain HTTP to another host, HTTPS without certificate verification), the reply is no key, or
/// the key differs from the one remembered for the service. Names the endpoint and, for a changed
/// key, the known-keys file and line (0 otherwise), and says how to accept a new key.
class ZEB_EXPORT ZEBCredentialKeyError : public KRNThrowable {
 public:
  /// The error for an endpoint, with the known-keys file and line of a changed key.
  ZEBCredentialKeyError(std::string endpoint, std::string message, std::string knownKeysFile = std::string(),
                        int line = 0);
  /// The endpoint whose key is refused.
  const std::string& getEndpoint() const { return m_endpoint; }
  /// The known-keys file holding the key remembered for it; empty unless the key changed.
  const std::string& getKnownKeysFile() const { return m_knownKeysFile; }
  /// The line of that file; 0 unless the key changed.
  int getLine() const { return m_line; }
  KRN_THROWABLE_BODY(ZEBCredentialKeyError)

 private:
  std::string m_endpoint, m_knownKeysFile;
  int m_line;
};

/// Raises error with a back-trace entry naming the toolkit's file.
[[noreturn]] ZEB_EXPORT void ZEBRaise(KRNThrowable& error, const char* file);
