#include "ZEBSoap.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlwriter.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <unordered_map>
#include <utility>
#include <vector>

#include "KRNError.h"
#include "MWLStream.h"
#include "ZEBErrors.h"
#include "ZEBPortType.h"
#include "ZEBSchema.h"
#include "KRNAllocationHooks.h"

namespace {

const char* const kSoapNs = ZEBSoap::envelopeNamespace;
const char* const kXsiNs = "http://www.w3.org/2001/XMLSchema-instance";
const char* const kOurNs = ZEB_SCHEMA_NAMESPACE;

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }
const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }

[[noreturn]] void malformed(const std::string& why) {
  ZEBMalformedMessage error(why);
  ZEBRaise(error, "ZEBSoap");
}

// ---------------------------------------------------------------- writing

class Writer {
 public:
  explicit Writer(bool indent) {
    m_buffer = xmlBufferCreate();
    m_writer = m_buffer ? xmlNewTextWriterMemory(m_buffer, 0) : nullptr;
    if (m_writer == nullptr) {
      if (m_buffer) xmlBufferFree(m_buffer);  // no destructor runs for a constructor that throws
      fail();
    }
    if (indent) {
      xmlTextWriterSetIndent(m_writer, 1);
      xmlTextWriterSetIndentString(m_writer, X("  "));
    }
  }
  ~Writer() {
    if (m_writer) xmlFreeTextWriter(m_writer);  // also frees nothing of the buffer
    if (m_buffer) xmlBufferFree(m_buffer);
  }

  void declaration() { check(xmlTextWriterStartDocument(m_writer, "1.0", "UTF-8", nullptr)); }
  void start(const char* prefix, const char* name) {
    check(xmlTextWriterStartElementNS(m_writer, X(prefix), X(name), nullptr));
  }
  void end() { check(xmlTextWriterEndElement(m_writer)); }
  void attribute(const char* name, const char* value) {
    check(xmlTextWriterWriteAttribute(m_writer, X(name), X(value)));
  }
  void text(const char* value) { check(xmlTextWriterWriteString(m_writer, X(value))); }
  void element(const char* prefix, const char* name, const char* value) {
    start(prefix, name);
    text(value);
    end();
  }

  std::string finish() {
    check(xmlTextWriterEndDocument(m_writer));
    check(xmlTextWriterFlush(m_writer));
    return std::string(C(xmlBufferContent(m_buffer)), static_cast<size_t>(xmlBufferLength(m_buffer)));
  }

  void envelopeStart() {
    start("soapenv", "Envelope");
    attribute("xmlns:soapenv", kSoapNs);
    attribute("xmlns:xsi", kXsiNs);
    attribute("xmlns:dvl", kOurNs);
  }

  // <dvl:name> with the object's content, or xsi:nil when there is none.
  void object(const char* name, const ZEBTypeInfo& declared, const ZEBObject* value, bool alwaysTyped) {
    start("dvl", name);
    if (value == nullptr) {
      attribute("xsi:nil", "true");
      end();
      return;
    }
    const ZEBTypeInfo& actual = value->getTypeInfo();
    if (alwaysTyped || &actual != &declared) {
      std::string type = std::string("dvl:") + actual.name;
      attribute("xsi:type", type.c_str());
    }
    content(*value);
    end();
  }

  void content(const ZEBObject& o) {
    const ZEBTypeInfo& type = o.getTypeInfo();
    switch (type.kind) {
      case ZEBTypeKind::Enum: {
        auto& e = static_cast<const ZEBEnumObject&>(o);
        if (!e.isSet()) {
          attribute("xsi:nil", "true");
          return;
        }
        const char* name = e.getName();
        if (name == nullptr) {
          char hex[16];
          std::snprintf(hex, sizeof hex, "0x%08X", e.getRawValue());
          malformed(std::string("enumeration ") + type.name + " has no value " + hex);
        }
        text(name);
        return;
      }
      case ZEBTypeKind::Array: {
        auto& a = static_cast<const ZEBArrayObject&>(o);
        bool typed = type.elementType->subtypeCount > 0;
        for (size_t i = 0; i < a.size(); ++i) object("item", *type.elementType, a.item(i), typed);
        return;
      }
      case ZEBTypeKind::TextArray: {
        auto& a = static_cast<const ZEBTextArrayObject&>(o);
        for (size_t i = 0; i < a.size(); ++i) element("dvl", "item", a.at(i));
        return;
      }
      case ZEBTypeKind::Value:
        valueContent(o);
        return;
      default:
        for (unsigned i = 0; i < type.fieldCount; ++i) field(o, i);
    }
  }

  void valueContent(const ZEBObject& o) {
    const ZEBFieldInfo& f = o.getTypeInfo().fields[0];
    if (!o.hasField(0)) {
      attribute("xsi:nil", "true");
      return;
    }
    if (f.kind == ZEBFieldKind::Object || f.kind == ZEBFieldKind::Embedded) {
      const auto* value = static_cast<const ZEBObject*>(o.slot(0).ptr);
      if (&value->getTypeInfo() != f.type) {
        std::string type = std::string("dvl:") + value->getTypeInfo().name;
        attribute("xsi:type", type.c_str());
      }
      content(*value);
      return;
    }
    char number[32];
    text(scalar(o, 0, number));
  }

  void field(const ZEBObject& o, unsigned i) {
    if (!o.hasField(i)) return;
    const ZEBFieldInfo& f = o.getTypeInfo().fields[i];
    switch (f.kind) {
      case ZEBFieldKind::Object:
      case ZEBFieldKind::Embedded:
        object(f.name, *f.type, static_cast<const ZEBObject*>(o.slot(i).ptr), false);
        return;
      default: {
        char number[32];
        element("dvl", f.name, scalar(o, i, number));
      }
    }
  }

  static const char* scalar(const ZEBObject& o, unsigned i, char (&number)[32]) {
    const ZEBSlot& s = o.slot(i);
    switch (o.getTypeInfo().fields[i].kind) {
      case ZEBFieldKind::String:
        return static_cast<const char*>(s.ptr);
      case ZEBFieldKind::Int:
        std::snprintf(number, sizeof number, "%d", s.num.i);
        return number;
      case ZEBFieldKind::Long:
        std::snprintf(number, sizeof number, "%lld", s.num.l);
        return number;
      default:
        return s.num.b ? "true" : "false";
    }
  }

 private:
  void check(int rc) {
    if (rc < 0) fail();
  }
  [[noreturn]] void fail() { malformed("the XML writer failed (out of memory, or text that is not UTF-8)"); }

  xmlBufferPtr m_buffer = nullptr;
  xmlTextWriterPtr m_writer = nullptr;
};

// ---------------------------------------------------------------- reading

// What every message must pass before it is parsed.
void admit(const char* data, size_t length, const ZEBSoapLimits& limits) {
  if (length > limits.maxBytes) {
    malformed("the message has " + std::to_string(length) + " bytes, more than the limit of " +
              std::to_string(limits.maxBytes));
  }
  if (length > INT_MAX) malformed("the message is too large to parse");
  // A document type declaration could declare entities; no message of ours has one. '!' is rare
  // in a message, so looking for it first is cheaper than a search for the whole word.
  static const char kDoctype[] = "DOCTYPE";
  const char* end = data + length;
  for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '!', end - p))) != nullptr; ++p) {
    if (p > data && p[-1] == '<' && static_cast<size_t>(end - p) > sizeof kDoctype - 1 &&
        std::memcmp(p + 1, kDoctype, sizeof kDoctype - 1) == 0) {
      malformed("a DOCTYPE is not allowed");
    }
  }
}

// The reader over libxml2's xmlTextReader: exact in its errors (with the parser's line) and able to
// give an element's inner XML. Messages the fast reader below leaves alone are read with it.
class Reader {
 public:
  Reader(const char* data, size_t length, const ZEBSoapLimits& limits) : m_limits(limits) {
    // libxml2 reports some errors (encoding ones) through its per-thread generic handler, which
    // prints to stderr by default; they are reported through the reader's handler below instead.
    xmlSetGenericErrorFunc(nullptr, &Reader::ignore);
    m_reader = xmlReaderForMemory(data, static_cast<int>(length), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (m_reader == nullptr) malformed("cannot create an XML reader");
    xmlTextReaderSetStructuredErrorHandler(m_reader, &Reader::onError, this);
  }
  ~Reader() { xmlFreeTextReader(m_reader); }

  // Moves to the next node; false at the end of the document.
  bool next() {
    int rc = xmlTextReaderRead(m_reader);
    if (rc < 0) fail(m_error.empty() ? "the XML is not well-formed" : m_error);
    return rc == 1;
  }

  int type() const { return xmlTextReaderNodeType(m_reader); }
  bool isEmpty() const { return xmlTextReaderIsEmptyElement(m_reader) == 1; }
  const char* localName() const { return C(xmlTextReaderConstLocalName(m_reader)); }
  bool inNamespace(const char* ns) const {
    const xmlChar* uri = xmlTextReaderConstNamespaceUri(m_reader);
    return uri != nullptr && std::strcmp(C(uri), ns) == 0;
  }
  bool is(const char* ns, const char* name) const { return inNamespace(ns) && std::strcmp(localName(), name) == 0; }

  [[noreturn]] void fail(const std::string& why) {
    int line = xmlTextReaderGetParserLineNumber(m_reader);
    malformed(line > 0 ? why + " (line " + std::to_string(line) + ")" : why);
  }

  // Calls onChild for each child element of the current element; skips comments and white space.
  template <class OnChild>
  void children(OnChild&& onChild) {
    if (isEmpty()) return;
    int depth = xmlTextReaderDepth(m_reader);
    if (static_cast<size_t>(depth) >= m_limits.maxDepth) fail("elements are nested too deeply");
    while (next()) {
      switch (type()) {
        case XML_READER_TYPE_ELEMENT:
          onChild();
          break;
        case XML_READER_TYPE_END_ELEMENT:
          if (xmlTextReaderDepth(m_reader) == depth) return;
          break;
        case XML_READER_TYPE_TEXT:
        case XML_READER_TYPE_CDATA:
          if (!isBlank(C(xmlTextReaderConstValue(m_reader)))) {
            fail(std::string("unexpected text in element ") + currentParent(depth));
          }
          break;
        case XML_READER_TYPE_ENTITY_REFERENCE:
          fail("entity references are not allowed");
        default:
          break;
      }
    }
    fail("the message ends inside an element");
  }

  // The text content of the current element; a child element is an error. The text stays valid
  // until the next call: one buffer serves every value, so reading allocates nothing per value.
  const std::string& text() {
    m_text.clear();
    if (isEmpty()) return m_text;
    int depth = xmlTextReaderDepth(m_reader);
    // Interned by the reader's dictionary: valid while the reader lives, no copy needed.
    const char* name = localName();
    while (next()) {
      switch (type()) {
        case XML_READER_TYPE_TEXT:
        case XML_READER_TYPE_CDATA:
        case XML_READER_TYPE_WHITESPACE:
        case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
          m_text += C(xmlTextReaderConstValue(m_reader));
          if (m_text.size() > m_limits.maxTextBytes) fail(std::string("the text of ") + name + " is too long");
          break;
        case XML_READER_TYPE_END_ELEMENT:
          if (xmlTextReaderDepth(m_reader) == depth) return m_text;
          break;
        case XML_READER_TYPE_ELEMENT:
          fail(std::string("element ") + name + " holds a value, not element " + localName());
        case XML_READER_TYPE_ENTITY_REFERENCE:
          fail("entity references are not allowed");
        default:
          break;
      }
    }
    fail(std::string("the message ends inside ") + name);
  }

  // Skips the rest of the current element.
  void skip() {
    if (isEmpty()) return;
    int depth = xmlTextReaderDepth(m_reader);
    while (next()) {
      if (type() == XML_READER_TYPE_END_ELEMENT && xmlTextReaderDepth(m_reader) == depth) return;
    }
    fail("the message ends inside an element");
  }

  std::string innerXml() {
    xmlChar* inner = xmlTextReaderReadInnerXml(m_reader);
    std::string out = inner ? C(inner) : "";
    xmlFree(inner);
    return out;
  }

  bool isNil() {
    if (xmlTextReaderHasAttributes(m_reader) != 1) return false;
    xmlChar* nil = xmlTextReaderGetAttributeNs(m_reader, X("nil"), X(kXsiNs));
    bool result = nil && (std::strcmp(C(nil), "true") == 0 || std::strcmp(C(nil), "1") == 0);
    xmlFree(nil);
    return result;
  }

  // The type named by xsi:type, checked against the declared type; the declared type without one.
  // The attributes are walked once; a prefix equal to the element's own resolves without a search.
  const ZEBTypeInfo& actualType(const ZEBTypeInfo& declared) {
    if (xmlTextReaderHasAttributes(m_reader) != 1) return declared;
    if (m_xsiNs == nullptr) m_xsiNs = xmlTextReaderConstString(m_reader, X(kXsiNs));
    std::string qname;
    bool found = false;
    for (int rc = xmlTextReaderMoveToFirstAttribute(m_reader); rc == 1; rc = xmlTextReaderMoveToNextAttribute(m_reader)) {
      if (xmlTextReaderConstNamespaceUri(m_reader) == m_xsiNs && std::strcmp(localName(), "type") == 0) {
        qname = C(xmlTextReaderConstValue(m_reader));
        found = true;
        break;
      }
    }
    xmlTextReaderMoveToElement(m_reader);
    if (!found) return declared;
    std::string prefix, local = qname;
    size_t colon = qname.find(':');
    if (colon != std::string::npos) {
      prefix = qname.substr(0, colon);
      local = qname.substr(colon + 1);
    }
    bool ours;
    const xmlChar* own = xmlTextReaderConstPrefix(m_reader);
    if (own != nullptr && prefix == C(own)) {
      ours = inNamespace(kOurNs);
    } else {
      xmlChar* uri = xmlTextReaderLookupNamespace(m_reader, prefix.empty() ? nullptr : X(prefix.c_str()));
      ours = uri && std::strcmp(C(uri), kOurNs) == 0;
      xmlFree(uri);
    }
    const ZEBTypeInfo* type = ours ? declared.findSubtype(local.data(), local.size()) : nullptr;
    if (type == nullptr) fail("xsi:type " + qname + " is not " + declared.name + " or one of its kinds");
    return *type;
  }

 private:
  static bool isBlank(const char* s) {
    for (; *s; ++s) {
      if (*s != ' ' && *s != '\t' && *s != '\n' && *s != '\r') return false;
    }
    return true;
  }
  std::string currentParent(int depth) { return localName(); }

  static void ignore(void*, const char*, ...) {}

  static void onError(void* self, xmlErrorPtr error) {
    auto* reader = static_cast<Reader*>(self);
    if (error && reader->m_error.empty() && error->message) {
      reader->m_error = error->message;
      while (!reader->m_error.empty() && reader->m_error.back() == '\n') reader->m_error.pop_back();
    }
  }

  xmlTextReaderPtr m_reader = nullptr;
  const ZEBSoapLimits& m_limits;
  std::string m_error;
  std::string m_text;
  const xmlChar* m_xsiNs = nullptr;
};

// The fast reader: libxml2's SAX2 parser, fed the message a chunk at a time, queues each chunk's
// elements and texts; ObjectReader pulls them as from the reader above, without the node tree that
// xmlTextReader builds and frees for every element. It reports nothing itself: whatever it does not
// read plainly (an error of any kind, a fault, an entity reference) it gives up with Unread, and
// the message is read again with the reader above, which says what is wrong and where.
class SaxReader {
 public:
  struct Unread {};

  SaxReader(const char* data, size_t length, const ZEBSoapLimits& limits)
      : m_data(data), m_length(length), m_limits(limits) {
    if (length < 4) throw Unread();
    xmlSAXHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = &SaxReader::onStart;
    handler.endElementNs = &SaxReader::onEnd;
    handler.characters = &SaxReader::onText;
    handler.cdataBlock = &SaxReader::onText;
    handler.ignorableWhitespace = &SaxReader::onText;
    handler.reference = &SaxReader::onReference;
    handler.serror = &SaxReader::onError;
    handler.error = &SaxReader::onMessage;
    handler.fatalError = &SaxReader::onMessage;
    xmlSetGenericErrorFunc(nullptr, &SaxReader::ignore);
    m_parser = xmlCreatePushParserCtxt(&handler, this, data, 4, nullptr);
    if (m_parser == nullptr) throw Unread();
    m_fed = 4;
    xmlCtxtUseOptions(m_parser, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    m_soapNs = xmlDictLookup(m_parser->dict, X(kSoapNs), -1);
    m_ourNs = xmlDictLookup(m_parser->dict, X(kOurNs), -1);
    m_xsiNs = xmlDictLookup(m_parser->dict, X(kXsiNs), -1);
    if (m_soapNs == nullptr || m_ourNs == nullptr || m_xsiNs == nullptr) {
      release();  // no destructor runs for a constructor that throws
      throw Unread();
    }
  }
  ~SaxReader() { release(); }
  SaxReader(const SaxReader&) = delete;
  SaxReader& operator=(const SaxReader&) = delete;

  bool next() {
    if (++m_at >= m_events.size() && !refill()) return false;
    return true;
  }
  int type() const {
    switch (current().kind) {
      case Event::Start:
        return XML_READER_TYPE_ELEMENT;
      case Event::End:
        return XML_READER_TYPE_END_ELEMENT;
      default:
        return XML_READER_TYPE_TEXT;
    }
  }
  const char* localName() const { return C(current().name); }
  bool inNamespace(const char* ns) const { return current().uri != nullptr && current().uri == interned(ns); }
  bool is(const char* ns, const char* name) const { return inNamespace(ns) && std::strcmp(localName(), name) == 0; }

  [[noreturn]] void fail(const std::string&) { throw Unread(); }
  std::string innerXml() { throw Unread(); }

  template <class OnChild>
  void children(OnChild&& onChild) {
    int depth = current().depth;
    if (static_cast<size_t>(depth) >= m_limits.maxDepth) throw Unread();
    while (next()) {
      const Event& e = current();
      if (e.kind == Event::Start) {
        onChild();
      } else if (e.kind == Event::End) {
        if (e.depth == depth) return;
      } else if (!isBlank(e)) {
        throw Unread();
      }
    }
    throw Unread();
  }

  const std::string& text() {
    m_text.clear();
    int depth = current().depth;
    while (next()) {
      const Event& e = current();
      if (e.kind == Event::Text) {
        m_text.append(m_chars, e.offset, e.length);
        if (m_text.size() > m_limits.maxTextBytes) throw Unread();
      } else if (e.kind == Event::End && e.depth == depth) {
        return m_text;
      } else {
        throw Unread();
      }
    }
    throw Unread();
  }

  void skip() {
    int depth = current().depth;
    while (next()) {
      if (current().kind == Event::End && current().depth == depth) return;
    }
    throw Unread();
  }

  bool isNil() const { return current().nil; }

  const ZEBTypeInfo& actualType(const ZEBTypeInfo& declared) {
    const Event& e = current();
    if (!e.typed) return declared;
    const ZEBTypeInfo* type = e.typeUri == m_ourNs ? declared.findSubtype(m_chars.data() + e.offset, e.length) : nullptr;
    if (type == nullptr) throw Unread();
    return *type;
  }

 private:
  struct Event {
    enum Kind : uint8_t { Start, End, Text };
    Kind kind;
    bool nil;    // Start: xsi:nil is true
    bool typed;  // Start: with xsi:type, whose local name is at offset
    int depth;
    const xmlChar* name;     // Start, End: interned by the parser's dictionary
    const xmlChar* uri;      // Start, End: the same
    const xmlChar* typeUri;  // Start with xsi:type: the namespace its prefix names (interned), or null
    size_t offset, length;   // Text: the text in m_chars; Start with xsi:type: the type's local name
  };

  static constexpr size_t kChunk = 64 * 1024;

  void release() {
    if (m_parser == nullptr) return;
    if (m_parser->myDoc) xmlFreeDoc(m_parser->myDoc);
    xmlFreeParserCtxt(m_parser);
    m_parser = nullptr;
  }

  const Event& current() const { return m_events[m_at]; }
  const xmlChar* interned(const char* ns) const {
    if (ns == kOurNs) return m_ourNs;
    if (ns == kSoapNs) return m_soapNs;
    return xmlDictLookup(m_parser->dict, X(ns), -1);
  }
  bool isBlank(const Event& e) const {
    for (size_t i = e.offset; i < e.offset + e.length; ++i) {
      char c = m_chars[i];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
    }
    return true;
  }

  // Parses further until at least one event is queued; false at the end of the document.
  bool refill() {
    m_events.clear();
    m_chars.clear();
    m_at = 0;
    while (m_events.empty()) {
      if (m_fed == m_length) {
        if (m_depth != 0 || m_parser->wellFormed == 0) throw Unread();
        return false;
      }
      size_t n = std::min(kChunk, m_length - m_fed);
      int terminate = m_fed + n == m_length ? 1 : 0;
      int rc = xmlParseChunk(m_parser, m_data + m_fed, static_cast<int>(n), terminate);
      m_fed += n;
      if (m_pending) std::rethrow_exception(std::exchange(m_pending, nullptr));
      if (rc != 0 || m_unread) throw Unread();
    }
    return true;
  }

  // The callbacks only queue: nothing may be thrown through libxml2. What goes wrong is kept and
  // stops the parser.
  template <class Body>
  void guarded(Body&& body) {
    if (m_unread || m_pending) return;
    try {
      body();
    } catch (...) {
      m_pending = std::current_exception();
      xmlStopParser(m_parser);
    }
  }
  void giveUp() {
    m_unread = true;
    xmlStopParser(m_parser);
  }

  static void onStart(void* self, const xmlChar* name, const xmlChar*, const xmlChar* uri, int namespaceCount,
                      const xmlChar** namespaces, int attributeCount, int, const xmlChar** attributes) {
    auto* r = static_cast<SaxReader*>(self);
    r->guarded([&] {
      size_t before = r->m_namespaces.size();
      for (int i = 0; i < namespaceCount; ++i) r->m_namespaces.emplace_back(namespaces[2 * i], namespaces[2 * i + 1]);
      r->m_scopes.push_back(r->m_namespaces.size() - before);
      Event e{Event::Start, false, false, r->m_depth++, name, uri, nullptr, 0, 0};
      for (int i = 0; i < attributeCount; ++i) {
        const xmlChar* const* a = attributes + 5 * i;  // local name, prefix, URI, value, value end
        if (a[2] != r->m_xsiNs) continue;
        const char* value = C(a[3]);
        size_t length = static_cast<size_t>(a[4] - a[3]);
        if (std::strcmp(C(a[0]), "nil") == 0) {
          e.nil = (length == 4 && std::memcmp(value, "true", 4) == 0) || (length == 1 && value[0] == '1');
        } else if (std::strcmp(C(a[0]), "type") == 0) {
          const char* colon = static_cast<const char*>(std::memchr(value, ':', length));
          std::string prefix = colon ? std::string(value, colon) : std::string();
          const char* local = colon ? colon + 1 : value;
          e.typed = true;
          e.typeUri = r->lookupNamespace(prefix);
          e.offset = r->m_chars.size();
          e.length = static_cast<size_t>(value + length - local);
          r->m_chars.append(local, e.length);
        }
      }
      r->m_events.push_back(e);
    });
  }

  static void onEnd(void* self, const xmlChar* name, const xmlChar*, const xmlChar* uri) {
    auto* r = static_cast<SaxReader*>(self);
    r->guarded([&] {
      r->m_namespaces.resize(r->m_namespaces.size() - r->m_scopes.back());
      r->m_scopes.pop_back();
      r->m_events.push_back(Event{Event::End, false, false, --r->m_depth, name, uri, nullptr, 0, 0});
    });
  }

  static void onText(void* self, const xmlChar* text, int length) {
    auto* r = static_cast<SaxReader*>(self);
    r->guarded([&] {
      if (!r->m_events.empty() && r->m_events.back().kind == Event::Text) {
        r->m_events.back().length += static_cast<size_t>(length);
      } else {
        r->m_events.push_back(Event{Event::Text, false, false, r->m_depth, nullptr, nullptr, nullptr,
                                    r->m_chars.size(), static_cast<size_t>(length)});
      }
      r->m_chars.append(C(text), static_cast<size_t>(length));
    });
  }

  static void onReference(void* self, const xmlChar*) { static_cast<SaxReader*>(self)->giveUp(); }
  static void onError(void* self, xmlErrorPtr error) {
    if (error == nullptr || error->level >= XML_ERR_ERROR) static_cast<SaxReader*>(self)->giveUp();
  }
  static void onMessage(void* self, const char*, ...) { static_cast<SaxReader*>(self)->giveUp(); }
  static void ignore(void*, const char*, ...) {}

  // The namespace a prefix names where the current element starts (empty: the default one).
  const xmlChar* lookupNamespace(const std::string& prefix) const {
    for (auto it = m_namespaces.rbegin(); it != m_namespaces.rend(); ++it) {
      const char* p = C(it->first);
      if (prefix.empty() ? p == nullptr : p != nullptr && prefix == p) return it->second;
    }
    return nullptr;
  }

  const char* m_data;
  size_t m_length;
  size_t m_fed = 0;
  const ZEBSoapLimits& m_limits;
  xmlParserCtxtPtr m_parser = nullptr;
  const xmlChar* m_soapNs = nullptr;
  const xmlChar* m_ourNs = nullptr;
  const xmlChar* m_xsiNs = nullptr;
  std::vector<Event> m_events;  // of the chunk parsed last
  std::string m_chars;          // their texts
  size_t m_at = 0;
  int m_depth = 0;
  std::vector<std::pair<const xmlChar*, const xmlChar*>> m_namespaces;  // prefix and URI, in scope
  std::vector<size_t> m_scopes;                                          // declared by each open element
  std::string m_text;
  bool m_unread = false;
  std::exception_ptr m_pending;
};

// Builds objects from either reader above; they share the interface ObjectReader needs.
template <class XmlReader>
class ObjectReader {
 public:
  // What is read lives in registry's arena; the objects read into must be registry's or its message.
  ObjectReader(XmlReader& reader, ZEBObjectRegistry& registry) : r(reader), m_registry(registry) {}

  // Reads the current element as a new object of the declared type (null for xsi:nil).
  ZEBObject* readNew(const ZEBTypeInfo& declared) {
    const ZEBTypeInfo& type = r.actualType(declared);
    if (r.isNil() && type.kind != ZEBTypeKind::Value && type.kind != ZEBTypeKind::Enum) {
      r.skip();
      return nullptr;
    }
    if (type.create == nullptr) r.fail(std::string("type ") + type.name + " is abstract; xsi:type must name a kind of it");
    ZEBObject* made = m_registry.placeObject(type);
    readContent(*made);
    return made;
  }

  // Reads the current element's content into object.
  void readContent(ZEBObject& o) {
    const ZEBTypeInfo& type = o.getTypeInfo();
    switch (type.kind) {
      case ZEBTypeKind::Enum:
        if (r.isNil()) {
          r.skip();
        } else {
          const std::string& name = r.text();
          const ZEBEnumValue* v = type.findEnumName(name.data(), name.size());
          if (v == nullptr) r.fail("'" + name + "' is not a value of " + type.name);
          static_cast<ZEBEnumObject&>(o).setRawValue(v->id);
        }
        return;
      case ZEBTypeKind::Array:
        r.children([&] {
          if (!r.is(kOurNs, "item")) r.fail(std::string("array ") + type.name + " holds element " + r.localName());
          static_cast<ZEBArrayObject&>(o).pushItem(readNew(*type.elementType));
        });
        return;
      case ZEBTypeKind::TextArray:
        r.children([&] {
          if (!r.is(kOurNs, "item")) r.fail(std::string("array ") + type.name + " holds element " + r.localName());
          static_cast<ZEBTextArrayObject&>(o).push_back(r.text().c_str());
        });
        return;
      case ZEBTypeKind::Value:
        readValue(o);
        return;
      default:
        r.children([&] {
          const char* name = r.localName();
          int index = r.inNamespace(kOurNs) ? type.findField(name, std::strlen(name)) : -1;
          if (index < 0) r.fail(std::string(type.name) + " has no element " + name);
          readField(o, static_cast<unsigned>(index));
        });
    }
  }

 private:
  void readValue(ZEBObject& o) {
    const ZEBFieldInfo& f = o.getTypeInfo().fields[0];
    if (r.isNil()) {
      r.skip();
      return;
    }
    if (f.kind == ZEBFieldKind::Object) {
      ZEBObject* value = m_registry.placeObject(*f.type);
      o.slot(0).ptr = value;
      readContent(*value);
    } else if (f.kind == ZEBFieldKind::Embedded) {
      readContent(o.placedEmbeddedObject(0, m_registry));
    } else {
      readScalar(o, 0, f);
    }
  }

  void readField(ZEBObject& o, unsigned index) {
    const ZEBFieldInfo& f = o.getTypeInfo().fields[index];
    if (o.hasField(index)) r.fail(std::string("element ") + f.name + " appears twice");
    switch (f.kind) {
      case ZEBFieldKind::Object:
        o.slot(index).ptr = readNew(*f.type);
        return;
      case ZEBFieldKind::Embedded:
        if (r.isNil()) {
          r.skip();
        } else {
          readContent(o.placedEmbeddedObject(index, m_registry));
        }
        return;
      default:
        if (r.isNil()) {
          r.skip();
          return;
        }
        readScalar(o, index, f);
    }
  }

  void readScalar(ZEBObject& o, unsigned index, const ZEBFieldInfo& f) {
    const std::string& text = r.text();
    ZEBSlot& s = o.slot(index);
    switch (f.kind) {
      case ZEBFieldKind::String:
        o.setPlacedStringField(index, m_registry.placeText(text.data(), text.size()));
        return;
      case ZEBFieldKind::Int:
      case ZEBFieldKind::Long: {
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(text.c_str(), &end, 10);
        bool ok = !text.empty() && end && *end == '\0' && errno == 0;
        if (f.kind == ZEBFieldKind::Int && (v < INT_MIN || v > INT_MAX)) ok = false;
        if (!ok) r.fail(std::string("element ") + f.name + " holds '" + text + "', not a number of its range");
        if (f.kind == ZEBFieldKind::Int) {
          s.num.i = static_cast<int>(v);
        } else {
          s.num.l = v;
        }
        o.markSet(index);
        return;
      }
      default:
        if (text == "true" || text == "1") {
          s.num.b = true;
        } else if (text == "false" || text == "0") {
          s.num.b = false;
        } else {
          r.fail(std::string("element ") + f.name + " holds '" + text + "', not a boolean");
        }
        o.markSet(index);
    }
  }

  XmlReader& r;
  ZEBObjectRegistry& m_registry;
};

// Reads an envelope: the header into message's header, then the body. A fault raises.
template <class XmlReader>
void readEnvelopeInto(XmlReader& r, const char* data, size_t length, ZEBMessageI* message,
                      std::unique_ptr<ZEBMessageI>* made) {
  bool found = false;
  while (r.next()) {
    if (r.type() == XML_READER_TYPE_ELEMENT) {
      found = true;
      break;
    }
  }
  if (!found) r.fail("the message holds no element");
  if (!r.is(kSoapNs, "Envelope")) r.fail(std::string("expected a SOAP 1.1 Envelope, found ") + r.localName());

  std::unique_ptr<ZEBObjectRegistry> pendingHeaderRegistry;
  ZEBObject* headerObject = nullptr;
  bool bodySeen = false;
  r.children([&] {
    if (r.is(kSoapNs, "Header")) {
      r.children([&] {
        if (r.is(kOurNs, ZEBVorbHeader::typeInfo.name)) {
          if (message == nullptr) {
            // The request message does not exist yet: keep the header until it does.
            pendingHeaderRegistry = std::make_unique<ZEBObjectRegistry>();
            headerObject = ObjectReader<XmlReader>(r, *pendingHeaderRegistry).readNew(ZEBVorbHeader::typeInfo);
          } else {
            ObjectReader<XmlReader>(r, message->getObjectRegistry()).readContent(*message->getVorbHeader(&message->getObjectRegistry()));
          }
        } else {
          r.skip();
        }
      });
    } else if (r.is(kSoapNs, "Body")) {
      if (bodySeen) r.fail("the envelope has two bodies");
      bodySeen = true;
      bool first = true;
      r.children([&] {
        if (!first) r.fail("the body holds more than one element");
        first = false;
        if (r.is(kSoapNs, "Fault")) {
          std::string code, text, detail;
          r.children([&] {
            std::string name = r.localName();
            if (name == "faultcode") {
              code = r.text();
            } else if (name == "faultstring") {
              text = r.text();
            } else if (name == "detail") {
              detail = r.innerXml();
              r.skip();
            } else {
              r.skip();
            }
          });
          ZEBSOAPFault fault(code, text, detail, std::string(data, length));
          ZEBRaise(fault, "ZEBSoap");
        }
        ZEBMessageI* target = message;
        if (target == nullptr) {
          const ZEBTypeInfo* type = r.inNamespace(kOurNs) ? ZEBSoap::findRequestType(r.localName()) : nullptr;
          if (type == nullptr) r.fail(std::string("unknown operation ") + r.localName());
          made->reset(static_cast<ZEBMessageI*>(type->create()));
          target = made->get();
          if (headerObject) {
            ZEBObject* copy = ZEBClone(*headerObject, target->getObjectRegistry());
            target->setVorbHeader(static_cast<ZEBVorbHeader*>(copy));
          }
        } else if (!r.is(kOurNs, target->getTypeInfo().name)) {
          r.fail(std::string("expected ") + target->getTypeInfo().name + ", found " + r.localName());
        }
        ObjectReader<XmlReader>(r, target->getObjectRegistry()).readContent(*target);
      });
      if (first) r.fail("the body is empty");
    } else {
      r.fail(std::string("unexpected element ") + r.localName() + " in the envelope");
    }
  });
  if (!bodySeen) r.fail("the envelope has no body");
  while (r.next()) {
    if (r.type() == XML_READER_TYPE_ELEMENT) r.fail("content after the envelope");
  }
}

}  // namespace

std::string ZEBSoap::writeEnvelope(const ZEBMessageI& message, const ZEBVorbHeader* header, bool indent) {
  Writer w(indent);
  w.declaration();
  w.envelopeStart();
  if (header) {
    w.start("soapenv", "Header");
    w.object(ZEBVorbHeader::typeInfo.name, ZEBVorbHeader::typeInfo, header, false);
    w.end();
  }
  w.start("soapenv", "Body");
  w.start("dvl", message.getTypeInfo().name);
  w.content(message);
  w.end();
  w.end();
  w.end();
  return w.finish();
}

std::string ZEBSoap::writeFault(const std::string& faultCode, const std::string& faultString,
                                const std::string& detail) {
  Writer w(false);
  w.declaration();
  w.envelopeStart();
  w.start("soapenv", "Body");
  w.start("soapenv", "Fault");
  w.element(nullptr, "faultcode", faultCode.c_str());
  w.element(nullptr, "faultstring", faultString.c_str());
  if (!detail.empty()) {
    w.start(nullptr, "detail");
    w.element("dvl", "message", detail.c_str());
    w.end();
  }
  w.end();
  w.end();
  w.end();
  return w.finish();
}

// The fast reader first; what it leaves unread is read again by the exact one. Objects made by a
// reading given up stay in the message's registry until the message goes.
// A read during which libxml2 could not allocate is reported as running out of memory: it may
// otherwise have dropped a text and read on.
void ZEBSoap::readEnvelope(const char* data, size_t length, ZEBMessageI& message, const ZEBSoapLimits& limits) {
  message.clearFields();
  admit(data, length, limits);
  KRNWatchingAllocations("ZEBSoap", 0, [&] {
    try {
      SaxReader r(data, length, limits);
      readEnvelopeInto(r, data, length, &message, nullptr);
      return;
    } catch (const SaxReader::Unread&) {
      message.clearFields();
    }
    Reader r(data, length, limits);
    readEnvelopeInto(r, data, length, &message, nullptr);
  });
}

std::unique_ptr<ZEBMessageI> ZEBSoap::readRequest(const char* data, size_t length, const ZEBSoapLimits& limits) {
  admit(data, length, limits);
  return KRNWatchingAllocations("ZEBSoap", 0, [&] {
    std::unique_ptr<ZEBMessageI> made;
    try {
      SaxReader r(data, length, limits);
      readEnvelopeInto(r, data, length, nullptr, &made);
      return made;
    } catch (const SaxReader::Unread&) {
      made.reset();
    }
    Reader r(data, length, limits);
    readEnvelopeInto(r, data, length, nullptr, &made);
    return made;
  });
}

const ZEBTypeInfo* ZEBSoap::findRequestType(const char* operation) {
  static const std::unordered_map<std::string, const ZEBTypeInfo*> byOperation = [] {
    std::unordered_map<std::string, const ZEBTypeInfo*> map;
    size_t count = 0;
    const ZEBTypeInfo* const* types = ZEBSchemaTypes(&count);
    for (size_t i = 0; i < count; ++i) {
      if (types[i]->kind == ZEBTypeKind::Request) map[types[i]->operation] = types[i];
    }
    return map;
  }();
  auto it = byOperation.find(operation);
  return it == byOperation.end() ? nullptr : it->second;
}

const ZEBTypeInfo* ZEBSoap::findReplyType(const ZEBTypeInfo& request) {
  size_t count = 0;
  const ZEBTypeInfo* const* types = ZEBSchemaTypes(&count);
  for (size_t i = 0; i < count; ++i) {
    if (types[i]->kind == ZEBTypeKind::Reply && std::strcmp(types[i]->operation, request.operation) == 0) {
      return types[i];
    }
  }
  return nullptr;
}

void ZEBSOAPMessageISerializer::serialize(ZEBPortTypeBinding*, ZEBMessageI& message, MWLOutputStream& out,
                                          void* header, int indent, int declaration) {
  std::string xml = ZEBSoap::writeEnvelope(message, header ? message.getVorbHeader(nullptr) : nullptr, indent != 0);
  if (!declaration) {
    // The writer always starts with the declaration line; drop it when it is not wanted.
    size_t end = xml.find("?>");
    if (end != std::string::npos) xml.erase(0, xml.find('<', end));
  }
  out.write(xml);
}

ZEBSOAPMessageISerializerFactory& ZEBSOAPMessageISerializerFactory::getInstance() {
  static ZEBSOAPMessageISerializerFactory factory;
  return factory;
}

ZEBSOAPMessageISerializer* ZEBSOAPMessageISerializerFactory::createSerializer() { return new ZEBSOAPMessageISerializer; }

void ZEBSOAPMessageISerializerFactory::releaseSerializer(ZEBSOAPMessageISerializer* serializer) { delete serializer; }
