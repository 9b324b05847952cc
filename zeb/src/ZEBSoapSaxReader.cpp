// The fast reader, over libxml2's SAX2 push parser (see ZEBSoapReading.h).
#include <libxml/SAX2.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

#include "ZEBSoapReading.h"

namespace zebsoap {

namespace {

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

}  // namespace

bool readFast(const char* data, size_t length, const ZEBSoapLimits& limits, ZEBMessageI* message,
              std::unique_ptr<ZEBMessageI>* made) {
  try {
    SaxReader r(data, length, limits);
    readEnvelopeInto(r, data, length, message, made);
    return true;
  } catch (const SaxReader::Unread&) {
    return false;
  }
}

}  // namespace zebsoap
