#include "ZEBSoap.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "KRNError.h"
#include "MWLStream.h"
#include "ZEBErrors.h"
#include "ZEBPortType.h"
#include "ZEBSchema.h"
#include "KRNAllocationHooks.h"
#include "ZEBMessageBuffers.h"
#include "ZEBSoapReading.h"

namespace zebsoap {

[[noreturn]] void malformed(const std::string& why) {
  ZEBMalformedMessage error(why);
  ZEBRaise(error, "ZEBSoap");
}

namespace {
constexpr size_t kKeptBuffers = 2;

// The end of the UTF-8 sequence at p (a byte of 0x80 or more), or null when it is not one XML
// allows: an overlong form, a surrogate, U+FFFE, U+FFFF or a value beyond U+10FFFF. It stops at a
// terminating 0.
inline const unsigned char* endOfXmlCharacter(const unsigned char* p) {
  unsigned c = *p;
  unsigned length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
  if (length == 0 || c > 0xF4) return nullptr;
  unsigned code = c & (0x3F >> (length - 1));
  for (unsigned i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return nullptr;
    code = (code << 6) | (p[i] & 0x3F);
  }
  static const unsigned kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE ||
      code == 0xFFFF) {
    return nullptr;
  }
  return p + length;
}
constexpr size_t kLargestKept = 64 * 1024;
thread_local std::string t_buffers[kKeptBuffers];
}  // namespace

std::string takeBuffer() {
  std::string* best = &t_buffers[0];
  for (std::string& b : t_buffers) {
    if (b.size() > best->size()) best = &b;
  }
  std::string taken;
  taken.swap(*best);
  return taken;
}

void giveBuffer(std::string&& buffer) {
  if (buffer.capacity() > kLargestKept) return;
  std::string* smallest = &t_buffers[0];
  for (std::string& b : t_buffers) {
    if (b.capacity() < smallest->capacity()) smallest = &b;
  }
  if (buffer.capacity() > smallest->capacity()) smallest->swap(buffer);
}

}  // namespace zebsoap

namespace {

using zebsoap::C;
using zebsoap::kOurNs;
using zebsoap::kSoapNs;
using zebsoap::kXsiNs;
using zebsoap::malformed;
using zebsoap::X;

// ---------------------------------------------------------------- writing

// Which bytes Writer::escape looks at twice: the end of the text, the characters written as references
// (&amp; &lt; &gt; &quot; &#13;, as xmlTextWriter did; in attributes also &#9; &#10;), the other
// controls (refused) and the bytes of UTF-8 sequences (checked).
struct EscapeTables {
  bool text[256] = {};
  bool attribute[256] = {};
  constexpr EscapeTables() {
    for (int c = 0; c < 0x20; ++c) text[c] = attribute[c] = true;
    for (int c = 0x80; c < 0x100; ++c) text[c] = attribute[c] = true;
    text['\t'] = text['\n'] = false;
    text['&'] = text['<'] = text['>'] = text['"'] = true;
    attribute['&'] = attribute['<'] = attribute['>'] = attribute['"'] = true;
  }
};
constexpr EscapeTables kEscape{};

// Writes straight into one string. libxml2's xmlTextWriter, used before, took about as long as
// the exchange itself for a small request (a buffer, an output encoder and a node list per message,
// a call chain per character run); this writes the same bytes, and checks what xmlTextWriter let
// through: text that is not UTF-8, or holds a character XML 1.0 cannot carry, would make a message
// the peer refuses as not well-formed, so it fails here instead.
//
// The string is written through a pointer into room made ahead (no append call per piece), an end
// tag copies its name from its start tag already written, and text is copied in runs between the
// characters a table marks for a second look.
class Writer {
 public:
  explicit Writer(bool indent) : m_indent(indent), m_out(zebsoap::takeBuffer()) {
    // The room is the string's size: a buffer taken keeps what it held, which needs no filling.
    if (m_out.size() < 2048) m_out.resize(2048);
    m_pos = m_out.data();
    m_limit = m_pos + m_out.size();
  }

  void declaration() { put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"); }
  // Names are passed with their lengths where they are known (a field's), so that nothing measures them.
  void start(std::string_view prefix, std::string_view name) {
    closeStartTag();
    if (m_depth > 0) {
      top().hasChildren = true;
      if (m_indent) newline(m_depth);
    }
    put('<');
    size_t at = used();
    if (!prefix.empty()) {
      putName(prefix);
      put(':');
    }
    putName(name);
    push(Open{at, used() - at, false});
    m_inStartTag = true;
  }
  void end() {
    Open open = top();
    pop();
    if (m_inStartTag) {
      put("/>");
      m_inStartTag = false;
      return;
    }
    if (m_indent && open.hasChildren) newline(m_depth);
    char* to = room(open.nameLength + 3);
    to[0] = '<';
    to[1] = '/';
    std::memcpy(to + 2, m_out.data() + open.nameAt, open.nameLength);
    to[open.nameLength + 2] = '>';
    m_pos = to + open.nameLength + 3;
  }
  void attribute(const char* name, const char* value) {
    put(' ');
    putName(name);
    put("=\"");
    escape(value, true);
    put('"');
  }
  void text(const char* value) {
    if (value == nullptr) fail();
    closeStartTag();
    escape(value, false);
  }
  void element(std::string_view prefix, std::string_view name, const char* value) {
    start(prefix, name);
    text(value);
    end();
  }

  std::string finish() {
    put('\n');
    m_out.resize(used());
    return std::move(m_out);
  }

  void envelopeStart() {
    start("soapenv", "Envelope");
    attribute("xmlns:soapenv", kSoapNs);
    attribute("xmlns:xsi", kXsiNs);
    attribute("xmlns:dvl", kOurNs);
  }

  // <dvl:name> with the object's content, or xsi:nil when there is none.
  void object(std::string_view name, const ZEBTypeInfo& declared, const ZEBObject* value, bool alwaysTyped) {
    start("dvl", name);
    if (value == nullptr) {
      put(" xsi:nil=\"true\"");
      end();
      return;
    }
    const ZEBTypeInfo& actual = value->getTypeInfo();
    if (alwaysTyped || &actual != &declared) typeAttribute(actual);
    content(*value);
    end();
  }

  void content(const ZEBObject& o) {
    const ZEBTypeInfo& type = o.getTypeInfo();
    switch (type.kind) {
      case ZEBTypeKind::Enum: {
        auto& e = static_cast<const ZEBEnumObject&>(o);
        if (!e.isSet()) {
          put(" xsi:nil=\"true\"");
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
      put(" xsi:nil=\"true\"");
      return;
    }
    if (f.kind == ZEBFieldKind::Object || f.kind == ZEBFieldKind::Embedded) {
      const auto* value = static_cast<const ZEBObject*>(o.slot(0).ptr);
      if (&value->getTypeInfo() != f.type) typeAttribute(value->getTypeInfo());
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
        object({f.name, f.nameLength}, *f.type, static_cast<const ZEBObject*>(o.slot(i).ptr), false);
        return;
      default: {
        char number[32];
        element("dvl", {f.name, f.nameLength}, scalar(o, i, number));
      }
    }
  }

  static const char* scalar(const ZEBObject& o, unsigned i, char (&number)[32]) {
    const ZEBSlot& s = o.slot(i);
    switch (o.getTypeInfo().fields[i].kind) {
      case ZEBFieldKind::String:
        return static_cast<const char*>(s.ptr);
      case ZEBFieldKind::Int:
        *std::to_chars(number, number + sizeof number - 1, s.num.i).ptr = '\0';
        return number;
      case ZEBFieldKind::Long:
        *std::to_chars(number, number + sizeof number - 1, s.num.l).ptr = '\0';
        return number;
      default:
        return s.num.b ? "true" : "false";
    }
  }

 private:
  // An open element: where its qualified name is in the output, for the end tag.
  struct Open {
    size_t nameAt;
    size_t nameLength;
    bool hasChildren;
  };

  size_t used() const { return static_cast<size_t>(m_pos - m_out.data()); }
  // Room for n more bytes at the returned position (m_pos).
  char* room(size_t n) {
    if (static_cast<size_t>(m_limit - m_pos) < n) grow(n);
    return m_pos;
  }
  void grow(size_t n) {
    size_t at = used();
    m_out.resize(std::max(2 * m_out.size(), at + n));
    m_pos = m_out.data() + at;
    m_limit = m_out.data() + m_out.size();
  }
  void put(char c) {
    room(1);
    *m_pos++ = c;
  }
  void put(const char* s, size_t n) {
    room(n);
    std::memcpy(m_pos, s, n);
    m_pos += n;
  }
  template <size_t N>
  void put(const char (&s)[N]) {
    put(s, N - 1);
  }
  void putName(std::string_view s) { put(s.data(), s.size()); }

  // Open elements: the first levels in place, deeper ones (rare) in m_deeper.
  static constexpr size_t kInPlace = 32;
  void push(const Open& open) {
    if (m_depth < kInPlace) {
      m_open[m_depth] = open;
    } else {
      m_deeper.push_back(open);
    }
    ++m_depth;
  }
  Open& top() { return m_depth <= kInPlace ? m_open[m_depth - 1] : m_deeper.back(); }
  void pop() {
    if (m_depth > kInPlace) m_deeper.pop_back();
    --m_depth;
  }

  void closeStartTag() {
    if (!m_inStartTag) return;
    put('>');
    m_inStartTag = false;
  }
  void newline(size_t depth) {
    char* to = room(1 + 2 * depth);
    to[0] = '\n';
    std::memset(to + 1, ' ', 2 * depth);
    m_pos = to + 1 + 2 * depth;
  }
  // xsi:type="dvl:name", as attribute() would write it.
  void typeAttribute(const ZEBTypeInfo& type) {
    put(" xsi:type=\"dvl:");
    escape(type.name, true);
    put('"');
  }


  // Appends text with those references, checking the UTF-8 on the way.
  void escape(const char* text, bool attribute) {
    const bool* look = attribute ? kEscape.attribute : kEscape.text;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* plain = p;
#if defined(__SSE2__)
    const unsigned char* end = p + std::strlen(text);  // the loads below stay before it
#endif
    for (;;) {
#if defined(__SSE2__)
      // Sixteen bytes at a time up to the first the table marks (the byte loop then finds it).
      for (; end - p >= 16; p += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i ok = _mm_cmpgt_epi8(x, _mm_set1_epi8(0x1F));  // printable ASCII; 0x80 and up are negative
        if (!attribute) ok = _mm_or_si128(ok, _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'))));
        __m128i marked = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('&')), _mm_cmpeq_epi8(x, _mm_set1_epi8('<'))),
                                      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('>')), _mm_cmpeq_epi8(x, _mm_set1_epi8('"'))));
        unsigned stop = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(marked, ok))) ^ 0xFFFFu;
        if (stop != 0) {
          p += __builtin_ctz(stop);
          break;
        }
      }
#endif
      while (!look[*p]) ++p;
      unsigned char c = *p;
      if (c >= 0x80) {
        p = validUtf8(p);
        continue;
      }
      put(reinterpret_cast<const char*>(plain), static_cast<size_t>(p - plain));
      switch (c) {
        case 0:
          return;
        case '&': put("&amp;"); break;
        case '<': put("&lt;"); break;
        case '>': put("&gt;"); break;
        case '"': put("&quot;"); break;
        case '\r': put("&#13;"); break;
        case '\t': put("&#9;"); break;
        case '\n': put("&#10;"); break;
        default:
          fail();
      }
      plain = ++p;
    }
  }

  const unsigned char* validUtf8(const unsigned char* p) {
    if (const unsigned char* end = zebsoap::endOfXmlCharacter(p)) return end;
    fail();
  }

  [[noreturn]] void fail() { malformed("the message holds text that is not UTF-8 or not allowed in XML"); }

  bool m_indent;
  bool m_inStartTag = false;
  std::string m_out;  // written up to m_pos; finish() cuts it there
  char* m_pos;
  char* m_limit;
  Open m_open[kInPlace];
  std::vector<Open> m_deeper;
  size_t m_depth = 0;
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

bool ZEBSoap::isXmlText(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
  const auto* end = p + text.size();
  while (p < end) {
    if (*p >= 0x80) {
      p = zebsoap::endOfXmlCharacter(p);
      if (p == nullptr) return false;
    } else if (*p < 0x20 && *p != '\t' && *p != '\n' && *p != '\r') {
      return false;
    } else {
      ++p;
    }
  }
  return true;
}

std::string ZEBSoap::writeFault(const std::string& faultCode, const std::string& faultString,
                                const std::string& detail) {
  Writer w(false);
  w.declaration();
  w.envelopeStart();
  w.start("soapenv", "Body");
  w.start("soapenv", "Fault");
  w.element("", "faultcode", faultCode.c_str());
  w.element("", "faultstring", faultString.c_str());
  if (!detail.empty()) {
    w.start("", "detail");
    w.element("dvl", "message", detail.c_str());
    w.end();
  }
  w.end();
  w.end();
  w.end();
  return w.finish();
}

// The fast reader first; what it gives up is read again by the exact one. Objects made by a
// reading given up stay in the message's registry until the message goes.
// A read during which libxml2 could not allocate is reported as running out of memory: it may
// otherwise have dropped a text and read on.
void ZEBSoap::readEnvelope(const char* data, size_t length, ZEBMessageI& message, const ZEBSoapLimits& limits) {
  message.clearFields();
  admit(data, length, limits);
  KRNWatchingAllocations("ZEBSoap", 0, [&] {
    if (zebsoap::readFast(data, length, limits, &message, nullptr)) return;
    message.clearFields();
    zebsoap::readExact(data, length, limits, &message, nullptr);
  });
}

bool ZEBSoap::readEnvelopeWith(Reader reader, const char* data, size_t length, ZEBMessageI& message,
                               const ZEBSoapLimits& limits) {
  message.clearFields();
  admit(data, length, limits);
  return KRNWatchingAllocations("ZEBSoap", 0, [&] {
    if (reader == Reader::Fast) return zebsoap::readFast(data, length, limits, &message, nullptr);
    zebsoap::readExact(data, length, limits, &message, nullptr);
    return true;
  });
}

std::unique_ptr<ZEBMessageI> ZEBSoap::readRequest(const char* data, size_t length, const ZEBSoapLimits& limits) {
  admit(data, length, limits);
  return KRNWatchingAllocations("ZEBSoap", 0, [&] {
    std::unique_ptr<ZEBMessageI> made;
    if (zebsoap::readFast(data, length, limits, nullptr, &made)) return made;
    made.reset();
    zebsoap::readExact(data, length, limits, nullptr, &made);
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
