/// \file
/// MIME for SOAP with Attachments: reading and writing the multipart/related bodies whose root part
/// is the SOAP envelope and whose further parts are documents named by Content-ID. Shared by the
/// HTTP transport and the reference server.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ZEBObject.h"

/// A Content-Type header value: the media type and its parameters.
struct ZEB_EXPORT ZEBContentType {
  std::string mediaType;                                        ///< lower case: "multipart/related"
  std::vector<std::pair<std::string, std::string>> parameters;  ///< names lower case, values unquoted

  /// The value of a parameter (name in any case); empty when absent.
  std::string getParameter(std::string_view name) const;
  /// True for multipart/related.
  bool isMultipartRelated() const { return mediaType == "multipart/related"; }
  /// text/xml, application/xml or application/soap+xml.
  bool isXml() const;
};

/// One part of a multipart body. The body is a view into the buffer that was split.
struct ZEB_EXPORT ZEBMimePart {
  std::vector<std::pair<std::string, std::string>> headers;  ///< in order; names as sent, values trimmed
  /// The part's bytes.
  std::string_view body;

  /// The first header of that name (any case); empty when absent.
  std::string_view getHeader(std::string_view name) const;
  /// The Content-ID without its angle brackets; empty when the part has none.
  std::string getContentId() const;
};

/// A multipart/related message read whole: the envelope (root part) and the other parts in order.
struct ZEBMimeMessage {
  /// The root part.
  std::string envelope;
  /// The other parts, in order.
  std::vector<ZEBReceivedAttachment> attachments;
};

/// A multipart body built whole, with the Content-Type header value to send it under.
struct ZEBMimeBody {
  /// The Content-Type header value to send.
  std::string contentType;
  /// The body.
  std::string body;
};

/// Reads and writes multipart/related bodies (SOAP with Attachments).
class ZEB_EXPORT ZEBMime {
 public:
  /// Parses "multipart/related; type=\"text/xml\"; boundary=b". Raises ZEBMalformedMessage when the
  /// value has no type/subtype or a quoted value is not closed.
  static ZEBContentType parseContentType(std::string_view value);

  /// Splits a multipart body at its boundary. Accepts CRLF or LF line ends, a preamble and an
  /// epilogue. Raises ZEBMalformedMessage when the first or the closing delimiter is missing or a
  /// part's headers cannot be read.
  static std::vector<ZEBMimePart> split(std::string_view body, std::string_view boundary);

  /// Reads a multipart/related body sent under contentType. The root part is the one that the start
  /// parameter names, or else the first; base64 parts are decoded. Raises ZEBMalformedMessage.
  static ZEBMimeMessage readRelated(const ZEBContentType& contentType, std::string_view body);

  /// A fresh random boundary; safe to send unquoted.
  static std::string makeBoundary();
  /// A fresh Content-ID for a root part, without angle brackets.
  static std::string makeContentId();

  /// The Content-Type value of a multipart/related body with a text/xml root part.
  static std::string formatRelatedContentType(std::string_view boundary, std::string_view rootContentId);
  /// What opens a part: its delimiter line (after a CRLF unless it is the first part), Content-ID,
  /// Content-Type and Content-Transfer-Encoding, and the empty line. Raises ZEBMalformedMessage when
  /// the identifier or the type would break the header (line breaks, angle brackets).
  static std::string formatPartHeaders(std::string_view boundary, std::string_view contentId,
                                       std::string_view contentType, bool first);
  /// What closes the body: CRLF, the closing delimiter, CRLF.
  static std::string formatClose(std::string_view boundary);

  /// A whole multipart/related body: the envelope as root part, then the attachments in order.
  static ZEBMimeBody buildRelated(std::string_view envelope, const std::vector<ZEBReceivedAttachment>& attachments);
};
