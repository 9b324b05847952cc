// The exact reader, over libxml2's xmlTextReader (see ZEBSoapReading.h).
#include <libxml/xmlerror.h>

#include "ZEBSoapReading.h"

namespace zebsoap {

namespace {

// Exact in its errors (with the parser's line) and able to give an element's inner XML.
class TextReader {
 public:
  TextReader(const char* data, size_t length, const ZEBSoapLimits& limits) : m_limits(limits) {
    // libxml2 reports some errors (encoding ones) through its per-thread generic handler, which
    // prints to stderr by default; they are reported through the reader's handler below instead.
    xmlSetGenericErrorFunc(nullptr, &TextReader::ignore);
    m_reader = xmlReaderForMemory(data, static_cast<int>(length), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (m_reader == nullptr) malformed("cannot create an XML reader");
    xmlTextReaderSetStructuredErrorHandler(m_reader, &TextReader::onError, this);
  }
  ~TextReader() { xmlFreeTextReader(m_reader); }

  // Moves to the next node; false at the end of the document.
  bool next() {
    int rc = xmlTextReaderRead(m_reader);
    if (rc < 0) fail(m_error.empty() ? "the XML is not well-formed" : m_error);
    return rc == 1;
  }

  int type() const { return xmlTextReaderNodeType(m_reader); }
  bool isEmpty() const { return xmlTextReaderIsEmptyElement(m_reader) == 1; }
  std::string_view localName() const {
    const xmlChar* name = xmlTextReaderConstLocalName(m_reader);
    return name ? C(name) : "";
  }
  bool inNamespace(const char* ns) const {
    const xmlChar* uri = xmlTextReaderConstNamespaceUri(m_reader);
    return uri != nullptr && std::strcmp(C(uri), ns) == 0;
  }
  bool is(const char* ns, const char* name) const { return inNamespace(ns) && localName() == name; }

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
  std::string_view textView() { return text(); }

  const std::string& text() {
    m_text.clear();
    if (isEmpty()) return m_text;
    int depth = xmlTextReaderDepth(m_reader);
    // Interned by the reader's dictionary: valid while the reader lives, no copy needed.
    std::string_view name = localName();
    while (next()) {
      switch (type()) {
        case XML_READER_TYPE_TEXT:
        case XML_READER_TYPE_CDATA:
        case XML_READER_TYPE_WHITESPACE:
        case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
          m_text += C(xmlTextReaderConstValue(m_reader));
          if (m_text.size() > m_limits.maxTextBytes) fail("the text of " + std::string(name) + " is too long");
          break;
        case XML_READER_TYPE_END_ELEMENT:
          if (xmlTextReaderDepth(m_reader) == depth) return m_text;
          break;
        case XML_READER_TYPE_ELEMENT:
          fail("element " + std::string(name) + " holds a value, not element " + std::string(localName()));
        case XML_READER_TYPE_ENTITY_REFERENCE:
          fail("entity references are not allowed");
        default:
          break;
      }
    }
    fail("the message ends inside " + std::string(name));
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
      if (xmlTextReaderConstNamespaceUri(m_reader) == m_xsiNs && localName() == "type") {
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
  std::string currentParent(int depth) { return std::string(localName()); }

  static void ignore(void*, const char*, ...) {}

  static void onError(void* self, xmlErrorPtr error) {
    auto* reader = static_cast<TextReader*>(self);
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

}  // namespace

void readExact(const char* data, size_t length, const ZEBSoapLimits& limits, ZEBMessageI* message,
               std::unique_ptr<ZEBMessageI>* made) {
  TextReader r(data, length, limits);
  readEnvelopeInto(r, data, length, message, made);
}

}  // namespace zebsoap
