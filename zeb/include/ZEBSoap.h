/// \file
/// SOAP 1.1 document/literal encoding of the schema's messages, both ways.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "ZEBObject.h"

class MWLOutputStream;
class ZEBPortTypeBinding;

/// Limits the envelope reader enforces.
struct ZEBSoapLimits {
  size_t maxDepth = 64;                       ///< element nesting
  size_t maxBytes = size_t(1) << 30;          ///< a whole envelope
  size_t maxTextBytes = size_t(256) << 20;    ///< one text value
};

/// SOAP 1.1 envelopes: writing and reading.
class ZEB_EXPORT ZEBSoap {
 public:
  /// The SOAP 1.1 envelope namespace.
  static constexpr const char* envelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

  /// The envelope of a message, with the header when one is given. indent pretty-prints.
  static std::string writeEnvelope(const ZEBMessageI& message, const ZEBVorbHeader* header, bool indent = false);
  /// Whether text can go into an envelope as it stands: UTF-8 of characters XML allows, and no
  /// control character but tab, line feed and carriage return. The writer refuses anything else
  /// with ZEBMalformedMessage; a caller can check its input first and say which input it was.
  static bool isXmlText(const std::string& text);
  /// A fault envelope.
  static std::string writeFault(const std::string& faultCode, const std::string& faultString,
                                const std::string& detail);

  /// Parses a reply envelope into message: its fields are cleared first, and every object made
  /// while reading belongs to the message's registry, the header included. A fault raises
  /// ZEBSOAPFault; anything the schema does not allow raises ZEBMalformedMessage.
  static void readEnvelope(const char* data, size_t length, ZEBMessageI& message,
                           const ZEBSoapLimits& limits = ZEBSoapLimits());
  /// The two readers behind readEnvelope: the fast tokenizer and the xmlTextReader one.
  enum class Reader { Fast, Exact };
  /// Reads with one reader alone, so that tests can hold the two in agreement: Fast returns false
  /// where it gives a message up (readEnvelope then reads it with Exact); Exact raises as
  /// readEnvelope does.
  static bool readEnvelopeWith(Reader reader, const char* data, size_t length, ZEBMessageI& message,
                               const ZEBSoapLimits& limits = ZEBSoapLimits());
  /// Server side: parses a request envelope whose body names any request of the schema.
  static std::unique_ptr<ZEBMessageI> readRequest(const char* data, size_t length,
                                                  const ZEBSoapLimits& limits = ZEBSoapLimits());
  /// The request type whose operation is named, or null.
  static const ZEBTypeInfo* findRequestType(const char* operation);
  /// The reply type of a request type.
  static const ZEBTypeInfo* findReplyType(const ZEBTypeInfo& request);
};

/// Writes and reads the envelope of one message.
class ZEB_EXPORT ZEBSOAPMessageISerializer {
 public:
  /// Writes message as its SOAP envelope to out. header: include the message's header (non-null)
  /// or not (null); indent: pretty-print when non-zero; declaration: write an XML declaration.
  void serialize(ZEBPortTypeBinding* binding, ZEBMessageI& message, MWLOutputStream& out, void* header,
                 int indent, int declaration);
};

/// Makes serializers.
class ZEB_EXPORT ZEBSOAPMessageISerializerFactory {
 public:
  /// The single instance.
  static ZEBSOAPMessageISerializerFactory& getInstance();
  /// A new serializer; give it back with releaseSerializer().
  ZEBSOAPMessageISerializer* createSerializer();
  /// Gives back a serializer from createSerializer().
  void releaseSerializer(ZEBSOAPMessageISerializer* serializer);
};
