// The fast reader: our own pull tokenizer over the message bytes (see ZEBSoapReading.h).
//
// Why not a library's parser: speed. libxml2's SAX2 push parser, used here before, spent ~40
// instructions a byte on a small reply (138,000 of the 187,000 instructions of reading a 3.3 KB
// reply of ten objects: a parser context per message, every name interned, the input converted as
// it went); Debian's expat took longer still. This walks the bytes once, in place: ~46,000 for the
// same reply, the read 80,000, the whole call 337,000 -> 230,000; the 100,000-object reply reads
// in about half the time (bench/README.md). The messages it must read fast are plain (UTF-8,
// elements with a few attributes and namespace declarations, text with the predefined entities and
// character references); it gives up on everything else (a DTD, processing instructions, other
// encodings, line ends that XML would rewrite in attributes, anything not well-formed), and the
// exact reader then reads the message and reports what is wrong with it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ZEBSoapReading.h"

namespace zebsoap {

namespace {

using std::string_view;

// Which namespace a name is in, for the three this reader asks about often.
enum class Ns : uint8_t { None, Other, Soap, Ours, Xsi };

Ns classify(string_view uri) {
  if (uri.empty()) return Ns::None;
  if (uri == kOurNs) return Ns::Ours;
  if (uri == kSoapNs) return Ns::Soap;
  if (uri == kXsiNs) return Ns::Xsi;
  return Ns::Other;
}

// Byte classes. Plain text: printable ASCII and tab and line feed, except '<', '&', ']' and '\r'
// (carriage returns are turned into line feeds by XML, so a text holding one is decoded).
struct Tables {
  bool plainText[256] = {};
  bool nameStart[256] = {};
  bool name[256] = {};
  bool plainValue[256] = {};  // in an attribute value, besides the quote
  constexpr Tables() {
    for (int c = 0x20; c < 0x80; ++c) plainText[c] = plainValue[c] = true;
    plainText['\t'] = plainText['\n'] = true;
    plainText['<'] = plainText['&'] = plainText[']'] = false;
    plainValue['<'] = plainValue['&'] = false;
    for (int c = 'a'; c <= 'z'; ++c) nameStart[c] = name[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) nameStart[c] = name[c] = true;
    for (int c = '0'; c <= '9'; ++c) name[c] = true;
    nameStart['_'] = name['_'] = name['-'] = name['.'] = true;
  }
};
constexpr Tables kTables;

inline bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Runs of bytes that need no second look, sixteen at a time where the machine has SSE2 (every
// x86-64 does): each returns the first byte at or after p that is not of its class, or end. They
// may stop early (at a tab, say, or near the end): the callers' byte loops take it from there, so
// what they accept is decided there alone.
#if defined(__SSE2__)
inline unsigned stopMask(__m128i ok) { return static_cast<unsigned>(_mm_movemask_epi8(ok)) ^ 0xFFFFu; }
// Printable ASCII (0x20-0x7F; bytes of 0x80 or more are negative as signed bytes) but three.
inline __m128i printableBut(__m128i x, char a, char b, char c) {
  __m128i printable = _mm_cmpgt_epi8(x, _mm_set1_epi8(0x1F));
  __m128i excluded = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(a)), _mm_cmpeq_epi8(x, _mm_set1_epi8(b))),
                                  _mm_cmpeq_epi8(x, _mm_set1_epi8(c)));
  return _mm_andnot_si128(excluded, printable);
}
inline __m128i load16(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

inline const unsigned char* plainTextRun(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    unsigned stop = stopMask(printableBut(load16(p), '<', '&', ']'));
    if (stop != 0) return p + __builtin_ctz(stop);
  }
#endif
  while (p != end && kTables.plainText[*p]) ++p;
  return p;
}

// Stops at the quote, too.
inline const unsigned char* plainValueRun(const unsigned char* p, const unsigned char* end, char quote) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    unsigned stop = stopMask(printableBut(load16(p), '<', '&', quote));
    if (stop != 0) return p + __builtin_ctz(stop);
  }
#endif
  while (p != end && kTables.plainValue[*p] && *p != static_cast<unsigned char>(quote)) ++p;
  return p;
}

#if defined(__SSE2__)
// The bytes of x that may be in a name but for the colon: letters, digits, '_', '-' and '.'.
inline __m128i nameBytes(__m128i x) {
  __m128i lower = _mm_or_si128(x, _mm_set1_epi8(0x20));
  __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(lower, _mm_set1_epi8('z' + 1)));
  __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)));
  __m128i other = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('_')), _mm_cmpeq_epi8(x, _mm_set1_epi8('-'))),
                               _mm_cmpeq_epi8(x, _mm_set1_epi8('.')));
  return _mm_or_si128(_mm_or_si128(letter, digit), other);
}
#endif

inline const unsigned char* nameRun(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    unsigned stop = stopMask(nameBytes(load16(p)));
    if (stop != 0) return p + __builtin_ctz(stop);
  }
#endif
  while (p != end && kTables.name[*p]) ++p;
  return p;
}

// A name with at most one colon, the common case in one pass: its length, and its colon's position
// in *colon (npos without one). 0 where it cannot tell (near the end of the message, a second
// colon, a name starting badly): the byte loop then decides.
inline size_t quickQname(const unsigned char* p, const unsigned char* end, size_t* colon) {
#if defined(__SSE2__)
  *colon = string_view::npos;
  for (const unsigned char* q = p; end - q >= 16; q += 16) {
    __m128i x = load16(q);
    unsigned colons = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(':'))));
    unsigned stop = stopMask(_mm_or_si128(nameBytes(x), _mm_cmpeq_epi8(x, _mm_set1_epi8(':'))));
    if (stop != 0) colons &= (stop & (0u - stop)) - 1;  // the colons before the first stop
    if (colons != 0) {
      if (*colon != string_view::npos || (colons & (colons - 1)) != 0) return 0;
      *colon = static_cast<size_t>(q - p) + static_cast<size_t>(__builtin_ctz(colons));
    }
    if (stop == 0) continue;
    size_t length = static_cast<size_t>(q - p) + static_cast<size_t>(__builtin_ctz(stop));
    if (!kTables.nameStart[p[0]]) return 0;
    if (*colon != string_view::npos && (*colon + 1 >= length || !kTables.nameStart[p[*colon + 1]])) return 0;
    return length;
  }
#else
  (void)p;
  (void)end;
  (void)colon;
#endif
  return 0;
}

inline uint64_t load8(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}
inline uint16_t load2(const char* p) {
  uint16_t x;
  std::memcpy(&x, p, 2);
  return x;
}
inline uint32_t load4(const char* p) {
  uint32_t x;
  std::memcpy(&x, p, 4);
  return x;
}

// Above every limit the exact reader's parser has (256 levels, names of 50,000 bytes, text nodes
// of 10,000,000), so that nothing this reader accepts is refused there for size.
constexpr size_t kMaxOpen = 200;
constexpr size_t kMaxName = 1000;
constexpr size_t kMaxRun = 8000000;

class FastReader {
 public:
  struct Unread {};

  struct Buffers;

  FastReader(const char* data, size_t length, const ZEBSoapLimits& limits, Buffers& buffers);

  bool next() {
    if (m_popPending) pop();
    if (m_emptyPending) {
      m_emptyPending = false;
      m_kind = End;
      m_popPending = true;
      return true;
    }
    if (m_open.empty()) {
      if (m_rootDone) {
        misc(false);
        return false;
      }
      startTag();
      return true;
    }
    for (;;) {
      if (m_p == m_end) throw Unread();
      if (*m_p != '<') {
        textRun();
        return true;
      }
      if (m_end - m_p < 2) throw Unread();
      switch (m_p[1]) {
        case '/':
          endTag();
          return true;
        case '!':
          if (startsWith("<!--")) {
            comment();
            continue;
          }
          if (startsWith("<![CDATA[")) {
            cdata();
            return true;
          }
          throw Unread();
        default:
          startTag();  // a processing instruction fails there: '?' starts no name
          return true;
      }
    }
  }

  int type() const {
    switch (m_kind) {
      case Start:
        return XML_READER_TYPE_ELEMENT;
      case End:
        return XML_READER_TYPE_END_ELEMENT;
      default:
        return XML_READER_TYPE_TEXT;
    }
  }
  string_view localName() const {
    const Open& o = m_open.back();
    return o.qname.substr(o.localStart);
  }
  bool inNamespace(const char* ns) const {
    const Open& o = m_open.back();
    if (ns == kOurNs) return o.ns == Ns::Ours;
    if (ns == kSoapNs) return o.ns == Ns::Soap;
    return o.ns != Ns::None && o.uri == ns;
  }
  bool is(const char* ns, const char* name) const { return inNamespace(ns) && localName() == name; }

  [[noreturn]] void fail(const std::string&) { throw Unread(); }
  std::string innerXml() { throw Unread(); }

  template <class OnChild>
  void children(OnChild&& onChild) {
    int depth = m_depth;
    if (static_cast<size_t>(depth) >= m_limits.maxDepth) throw Unread();
    while (next()) {
      if (m_kind == Start) {
        onChild();
      } else if (m_kind == End) {
        if (m_depth == depth) return;
      } else if (!isBlank(m_text)) {
        throw Unread();
      }
    }
    throw Unread();
  }

  // text() without a copy where the element holds one run of text (or none).
  string_view textView() {
    int depth = m_depth;
    // Most elements read this way are <name>plain text</name>, the end tag written as the start tag
    // was: the text and the end tag in one step. Anything else takes the token by token way below,
    // from the same place.
    if (m_kind == Start && !m_emptyPending) {
      const string_view name = m_open.back().qname;
      auto* from = reinterpret_cast<const unsigned char*>(m_p);
      auto* end = reinterpret_cast<const unsigned char*>(m_end);
      const unsigned char* q = plainTextRun(from, end);
      size_t length = static_cast<size_t>(q - from);
      if (static_cast<size_t>(end - q) > name.size() + 2 && q[0] == '<' && q[1] == '/' && q[name.size() + 2] == '>' &&
          same(string_view(reinterpret_cast<const char*>(q + 2), name.size()), name) && length <= m_limits.maxTextBytes &&
          length <= kMaxRun) {
        m_p = reinterpret_cast<const char*>(q + name.size() + 3);
        m_kind = End;
        m_popPending = true;
        return string_view(reinterpret_cast<const char*>(from), length);
      }
    }
    if (!next()) throw Unread();
    if (m_kind == End && m_depth == depth) return string_view("", 0);
    if (m_kind != Text) throw Unread();
    if (m_text.size() > m_limits.maxTextBytes) throw Unread();
    string_view first = m_text;
    bool decoded = first.data() == m_scratch.data();  // the next run would decode over it
    if (decoded) {
      m_value.assign(first.data(), first.size());
      first = m_value;
    }
    if (!next()) throw Unread();
    if (m_kind == End && m_depth == depth) return first;
    if (m_kind != Text) throw Unread();
    if (!decoded) m_value.assign(first.data(), first.size());
    return textFrom(depth);
  }

  const std::string& text() {
    m_value.clear();
    return textFrom(m_depth);
  }

  // The rest of the text of the element at depth, after what m_value holds and the current node.
  const std::string& textFrom(int depth) {
    if (m_kind == Text) {
      m_value.append(m_text.data(), m_text.size());
      if (m_value.size() > m_limits.maxTextBytes) throw Unread();
    }
    while (next()) {
      if (m_kind == Text) {
        m_value.append(m_text.data(), m_text.size());
        if (m_value.size() > m_limits.maxTextBytes) throw Unread();
      } else if (m_kind == End && m_depth == depth) {
        return m_value;
      } else {
        throw Unread();
      }
    }
    throw Unread();
  }

  void skip() {
    int depth = m_depth;
    while (next()) {
      if (m_kind == End && m_depth == depth) return;
    }
    throw Unread();
  }

  bool isNil() const { return m_nil; }

  const ZEBTypeInfo& actualType(const ZEBTypeInfo& declared) {
    if (!m_typed) return declared;
    if (m_typeNs != Ns::Ours) throw Unread();
    // The items of an array are most often all of one kind: the last answer is tried first.
    if (&declared == m_lastDeclared && same(m_typeName, m_lastActual->name)) return *m_lastActual;
    const ZEBTypeInfo* type = declared.findSubtype(m_typeName.data(), m_typeName.size());
    if (type == nullptr) throw Unread();
    m_lastDeclared = &declared;
    m_lastActual = type;
    return *type;
  }

 private:
  enum Kind : uint8_t { Start, End, Text };

  struct Open {
    string_view qname;  // as written, for the end tag
    string_view uri;
    uint32_t localStart;  // in qname: after the prefix's colon
    uint32_t bindings;    // m_bindings' size before this element's declarations
    Ns ns;
  };
  struct Binding {
    string_view prefix;  // empty: the default namespace
    string_view uri;
    Ns ns;
  };
  struct Attribute {
    string_view qname;
    size_t colon;  // in qname; npos without a prefix
    string_view value;
    string_view uri;
  };

  template <size_t N>
  bool startsWith(const char (&s)[N]) const {
    if (static_cast<size_t>(m_end - m_p) < N - 1) return false;
    for (size_t i = 0; i < N - 1; ++i) {
      if (m_p[i] != s[i]) return false;
    }
    return true;
  }
  // Names are short: eight bytes at a time by hand beat a call to memcmp; the last word (or the two
  // halves of a short name) overlaps what was compared already.
  static bool same(string_view a, string_view b) {
    size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    if (n >= 8) {
      for (; n > 8; n -= 8, p += 8, q += 8) {
        if (load8(p) != load8(q)) return false;
      }
      return load8(p + n - 8) == load8(q + n - 8);
    }
    if (n >= 4) return load4(p) == load4(q) && load4(p + n - 4) == load4(q + n - 4);
    if (n >= 2) return load2(p) == load2(q) && p[n - 1] == q[n - 1];  // a prefix such as "dvl"
    return n == 0 || *p == *q;
  }
  void expect(char c) {
    if (m_p == m_end || *m_p != c) throw Unread();
    ++m_p;
  }
  bool skipSpace() {
    const char* from = m_p;
    while (m_p != m_end && isSpace(*m_p)) ++m_p;
    return m_p != from;
  }
  static bool isBlank(string_view s) {
    for (char c : s) {
      if (!isSpace(c)) return false;
    }
    return true;
  }

  // One character of UTF-8 at p (a lead byte of 0x80 or more) that XML allows; returns what follows.
  // C1 controls are allowed by XML but given up, as no message of ours holds them.
  const unsigned char* utf8(const unsigned char* p, const unsigned char* end) const {
    unsigned c = p[0];
    if (c < 0xC2) throw Unread();
    if (c < 0xE0) {
      if (end - p < 2 || (p[1] & 0xC0) != 0x80 || (c == 0xC2 && p[1] < 0xA0)) throw Unread();
      return p + 2;
    }
    if (c < 0xF0) {
      if (end - p < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) throw Unread();
      unsigned code = (c & 0x0F) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
      if (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF) || code >= 0xFFFE) throw Unread();
      return p + 3;
    }
    if (c < 0xF5) {
      if (end - p < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) throw Unread();
      unsigned code = (c & 0x07) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
      if (code < 0x10000 || code > 0x10FFFF) throw Unread();
      return p + 4;
    }
    throw Unread();
  }

  // Checks the characters of a comment or a CDATA section; true when they hold a carriage return.
  bool checkChars(const char* from, const char* to) const {
    auto* p = reinterpret_cast<const unsigned char*>(from);
    auto* end = reinterpret_cast<const unsigned char*>(to);
    bool cr = false;
    while (p != end) {
      unsigned c = *p;
      if (c >= 0x80) {
        p = utf8(p, end);
      } else {
        if (c < 0x20) {
          if (c == '\r') {
            cr = true;
          } else if (c != '\t' && c != '\n') {
            throw Unread();
          }
        }
        ++p;
      }
    }
    return cr;
  }

  // A name with at most one colon; its colon's position (npos without one).
  string_view qname(size_t* colon) {
    const char* from = m_p;
    size_t quick = quickQname(reinterpret_cast<const unsigned char*>(m_p), reinterpret_cast<const unsigned char*>(m_end), colon);
    if (quick != 0 && quick <= kMaxName) {
      m_p += quick;
      return string_view(from, quick);
    }
    *colon = string_view::npos;
    for (int part = 0;; ++part) {
      if (m_p == m_end || !kTables.nameStart[static_cast<unsigned char>(*m_p)]) throw Unread();
      ++m_p;
      m_p = reinterpret_cast<const char*>(
          nameRun(reinterpret_cast<const unsigned char*>(m_p), reinterpret_cast<const unsigned char*>(m_end)));
      if (part == 1 || m_p == m_end || *m_p != ':') break;
      *colon = static_cast<size_t>(m_p - from);
      ++m_p;
    }
    if (m_p == m_end || *m_p == ':' || static_cast<size_t>(m_p - from) > kMaxName) throw Unread();
    return string_view(from, static_cast<size_t>(m_p - from));
  }

  const Binding* lookup(string_view prefix) const {
    for (auto it = m_bindings.rbegin(); it != m_bindings.rend(); ++it) {
      if (same(it->prefix, prefix)) return &*it;
    }
    return nullptr;
  }

  // The XML declaration, if any, and what comes before the root element.
  void prolog() {
    if (startsWith("<?xml") && m_end - m_p > 5 && isSpace(m_p[5])) {
      m_p += 5;
      skipSpace();
      if (!startsWith("version")) throw Unread();
      m_p += 7;
      if (quoted() != "1.0") throw Unread();
      bool space = skipSpace();
      if (space && startsWith("encoding")) {
        m_p += 8;
        string_view e = quoted();
        if (e.size() != 5 || (e[0] | 0x20) != 'u' || (e[1] | 0x20) != 't' || (e[2] | 0x20) != 'f' || e[3] != '-' ||
            e[4] != '8') {
          throw Unread();
        }
        space = skipSpace();
      }
      if (space && startsWith("standalone")) {
        m_p += 10;
        string_view s = quoted();
        if (s != "yes" && s != "no") throw Unread();
        skipSpace();
      }
      if (!startsWith("?>")) throw Unread();
      m_p += 2;
    }
    misc(true);
  }

  // = "value" in the XML declaration.
  string_view quoted() {
    skipSpace();
    expect('=');
    skipSpace();
    if (m_p == m_end || (*m_p != '"' && *m_p != '\'')) throw Unread();
    char quote = *m_p++;
    const char* from = m_p;
    while (m_p != m_end && *m_p != quote) ++m_p;
    if (m_p == m_end) throw Unread();
    return string_view(from, static_cast<size_t>(m_p++ - from));
  }

  // White space and comments outside the root element; before it (beforeRoot), up to its start tag.
  void misc(bool beforeRoot) {
    for (;;) {
      skipSpace();
      if (m_p == m_end) {
        if (beforeRoot) throw Unread();
        return;
      }
      if (startsWith("<!--")) {
        comment();
      } else if (beforeRoot && *m_p == '<' && m_end - m_p > 1 && kTables.nameStart[static_cast<unsigned char>(m_p[1])]) {
        return;
      } else {
        throw Unread();
      }
    }
  }

  void comment() {
    const char* from = m_p + 4;
    const char* p = from;
    for (;;) {
      p = static_cast<const char*>(std::memchr(p, '-', static_cast<size_t>(m_end - p)));
      if (p == nullptr || m_end - p < 2) throw Unread();
      if (p[1] == '-') break;
      ++p;
    }
    if (m_end - p < 3 || p[2] != '>') throw Unread();  // "--" ends a comment
    checkChars(from, p);
    m_p = p + 3;
  }

  void cdata() {
    const char* from = m_p + 9;
    const char* p = from;
    for (;;) {
      p = static_cast<const char*>(std::memchr(p, ']', static_cast<size_t>(m_end - p)));
      if (p == nullptr || m_end - p < 3) throw Unread();
      if (p[1] == ']' && p[2] == '>') break;
      ++p;
    }
    if (static_cast<size_t>(p - from) > kMaxRun) throw Unread();
    // libxml2 keeps a carriage return in a CDATA section where XML would make a line feed of it:
    // the exact reader's reading of it stands.
    if (checkChars(from, p)) throw Unread();
    m_kind = Text;
    m_text = string_view(from, static_cast<size_t>(p - from));
    m_p = p + 3;
  }

  // Text up to the next markup; decoded into m_scratch only when it holds a reference or a
  // carriage return.
  void textRun() {
    auto* p = reinterpret_cast<const unsigned char*>(m_p);
    auto* end = reinterpret_cast<const unsigned char*>(m_end);
    bool decode = false;
    for (;;) {
      p = plainTextRun(p, end);
      if (p == end) break;
      unsigned c = *p;
      if (kTables.plainText[c]) {
        ++p;
      } else if (c == '<') {
        break;
      } else if (c == '&' || c == '\r') {
        decode = true;
        ++p;
      } else if (c == ']') {
        if (end - p >= 3 && p[1] == ']' && p[2] == '>') throw Unread();
        ++p;
      } else if (c >= 0x80) {
        p = utf8(p, end);
      } else {
        throw Unread();
      }
    }
    const char* to = reinterpret_cast<const char*>(p);
    if (static_cast<size_t>(to - m_p) > kMaxRun) throw Unread();
    m_kind = Text;
    if (decode) {
      m_scratch.clear();
      decodeText(m_p, to);
      m_text = m_scratch;
    } else {
      m_text = string_view(m_p, static_cast<size_t>(to - m_p));
    }
    m_p = to;
  }

  // Appends text whose characters are checked already, turning "\r\n" and a lone "\r" into "\n".
  void appendLines(const char* p, const char* end) {
    while (p != end) {
      const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
      if (cr == nullptr) cr = end;
      m_scratch.append(p, static_cast<size_t>(cr - p));
      if (cr == end) return;
      m_scratch += '\n';
      p = cr + 1;
      if (p != end && *p == '\n') ++p;
    }
  }

  void decodeText(const char* p, const char* end) {
    while (p != end) {
      const char* amp = static_cast<const char*>(std::memchr(p, '&', static_cast<size_t>(end - p)));
      if (amp == nullptr) amp = end;
      appendLines(p, amp);
      if (amp == end) return;
      const char* semi = static_cast<const char*>(std::memchr(amp, ';', static_cast<size_t>(std::min<ptrdiff_t>(end - amp, 12))));
      if (semi == nullptr) throw Unread();
      string_view ref(amp + 1, static_cast<size_t>(semi - amp - 1));
      if (ref == "lt") {
        m_scratch += '<';
      } else if (ref == "gt") {
        m_scratch += '>';
      } else if (ref == "amp") {
        m_scratch += '&';
      } else if (ref == "apos") {
        m_scratch += '\'';
      } else if (ref == "quot") {
        m_scratch += '"';
      } else if (ref.size() >= 2 && ref[0] == '#') {
        appendCode(characterReference(ref.substr(1)));
      } else {
        throw Unread();
      }
      p = semi + 1;
    }
  }

  static unsigned characterReference(string_view digits) {
    unsigned base = 10;
    if (digits[0] == 'x') {
      base = 16;
      digits.remove_prefix(1);
    }
    if (digits.empty()) throw Unread();
    unsigned code = 0;
    for (char c : digits) {
      unsigned d;
      if (c >= '0' && c <= '9') {
        d = static_cast<unsigned>(c - '0');
      } else if (base == 16 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
        d = static_cast<unsigned>((c | 0x20) - 'a' + 10);
      } else {
        throw Unread();
      }
      code = code * base + d;
      if (code > 0x10FFFF) throw Unread();
    }
    bool allowed = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code < 0x80) ||
                   (code >= 0xA0 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) || code >= 0x10000;
    if (!allowed) throw Unread();
    return code;
  }

  void appendCode(unsigned code) {
    if (code < 0x80) {
      m_scratch += static_cast<char>(code);
    } else if (code < 0x800) {
      m_scratch += static_cast<char>(0xC0 | code >> 6);
      m_scratch += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      m_scratch += static_cast<char>(0xE0 | code >> 12);
      m_scratch += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      m_scratch += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      m_scratch += static_cast<char>(0xF0 | code >> 18);
      m_scratch += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      m_scratch += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      m_scratch += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  // An attribute value: no reference, no '<', no white space but the blank (which XML would turn
  // into blanks), valid UTF-8.
  string_view attributeValue() {
    if (m_p == m_end || (*m_p != '"' && *m_p != '\'')) throw Unread();
    unsigned char quote = static_cast<unsigned char>(*m_p++);
    auto* p = reinterpret_cast<const unsigned char*>(m_p);
    auto* end = reinterpret_cast<const unsigned char*>(m_end);
    for (;;) {
      p = plainValueRun(p, end, static_cast<char>(quote));
      if (p == end) throw Unread();
      unsigned c = *p;
      if (c == quote) break;
      if (kTables.plainValue[c]) {
        ++p;
      } else if (c >= 0x80) {
        p = utf8(p, end);
      } else {
        throw Unread();
      }
    }
    const char* to = reinterpret_cast<const char*>(p);
    if (static_cast<size_t>(to - m_p) > kMaxRun) throw Unread();
    string_view value(m_p, static_cast<size_t>(to - m_p));
    m_p = to + 1;
    return value;
  }

  // The element named name (colon: its prefix's end, or npos) is open, in the namespaces declared
  // up to its own (m_bindings' size before them: before).
  void pushOpen(string_view name, size_t colon, uint32_t before) {
    Open open;
    open.qname = name;
    open.bindings = before;
    open.localStart = colon == string_view::npos ? 0 : static_cast<uint32_t>(colon + 1);
    const Binding* b = lookup(colon == string_view::npos ? string_view() : name.substr(0, colon));
    if (b == nullptr) {
      if (colon != string_view::npos) throw Unread();  // an undeclared prefix
      open.ns = Ns::None;
    } else {
      open.uri = b->uri;
      open.ns = b->ns;
    }
    m_open.push_back(open);
  }

  void startTag() {
    ++m_p;  // '<'
    size_t colon;
    string_view name = qname(&colon);
    if (m_p != m_end && *m_p == '>') {  // no attributes, the common case
      ++m_p;
      if (m_open.size() >= kMaxOpen) throw Unread();
      pushOpen(name, colon, static_cast<uint32_t>(m_bindings.size()));
      m_nil = false;
      m_typed = false;
      m_kind = Start;
      m_depth = static_cast<int>(m_open.size()) - 1;
      m_emptyPending = false;
      return;
    }
    m_attributes.clear();
    bool empty;
    for (;;) {
      bool space = skipSpace();
      if (m_p == m_end) throw Unread();
      if (*m_p == '>') {
        ++m_p;
        empty = false;
        break;
      }
      if (*m_p == '/') {
        ++m_p;
        expect('>');
        empty = true;
        break;
      }
      if (!space) throw Unread();
      Attribute a;
      a.qname = qname(&a.colon);
      skipSpace();
      expect('=');
      skipSpace();
      a.value = attributeValue();
      for (const Attribute& b : m_attributes) {
        if (b.qname == a.qname) throw Unread();
      }
      m_attributes.push_back(a);
    }
    if (m_open.size() >= kMaxOpen) throw Unread();

    // Declarations first: they hold for the element's own name and attributes.
    uint32_t before = static_cast<uint32_t>(m_bindings.size());
    for (const Attribute& a : m_attributes) {
      string_view prefix = a.colon == string_view::npos ? string_view() : a.qname.substr(0, a.colon);
      string_view local = a.colon == string_view::npos ? a.qname : a.qname.substr(a.colon + 1);
      if (a.colon == string_view::npos ? a.qname == "xmlns" : prefix == "xmlns") {
        if (a.colon != string_view::npos && (a.value.empty() || local == "xml" || local == "xmlns")) throw Unread();
        if (a.value == "http://www.w3.org/XML/1998/namespace" || a.value == "http://www.w3.org/2000/xmlns/") throw Unread();
        m_bindings.push_back(Binding{a.colon == string_view::npos ? string_view() : local, a.value, classify(a.value)});
      }
    }
    pushOpen(name, colon, before);

    // Prefixed attributes: their namespaces, each name once, xsi:nil and xsi:type.
    m_nil = false;
    m_typed = false;
    for (size_t i = 0; i < m_attributes.size(); ++i) {
      Attribute& a = m_attributes[i];
      if (a.colon == string_view::npos) continue;
      string_view prefix = a.qname.substr(0, a.colon);
      if (prefix == "xmlns") continue;
      const Binding* ab = lookup(prefix);
      if (ab == nullptr || ab->ns == Ns::None) throw Unread();  // undeclared, or xml:
      a.uri = ab->uri;
      string_view local = a.qname.substr(a.colon + 1);
      for (size_t j = 0; j < i; ++j) {
        const Attribute& o = m_attributes[j];
        if (o.colon != string_view::npos && o.uri.data() != nullptr && o.uri == a.uri &&
            o.qname.substr(o.colon + 1) == local) {
          throw Unread();
        }
      }
      if (ab->ns != Ns::Xsi) continue;
      if (local == "nil") {
        m_nil = a.value == "true" || a.value == "1";
      } else if (local == "type") {
        size_t c = a.value.find(':');
        const Binding* tb = lookup(c == string_view::npos ? string_view() : a.value.substr(0, c));
        m_typed = true;
        m_typeNs = tb == nullptr ? Ns::None : tb->ns;
        m_typeName = c == string_view::npos ? a.value : a.value.substr(c + 1);
      }
    }
    m_kind = Start;
    m_depth = static_cast<int>(m_open.size()) - 1;
    m_emptyPending = empty;
  }

  // The end tag must repeat the open element's name as written, so it is compared byte for byte;
  // what follows may not continue the name.
  void endTag() {
    m_p += 2;
    string_view name = m_open.back().qname;
    if (static_cast<size_t>(m_end - m_p) <= name.size() || !same(string_view(m_p, name.size()), name)) throw Unread();
    m_p += name.size();
    if (*m_p == ':' || kTables.name[static_cast<unsigned char>(*m_p)]) throw Unread();
    skipSpace();
    expect('>');
    m_kind = End;
    m_depth = static_cast<int>(m_open.size()) - 1;
    m_popPending = true;
  }

  void pop() {
    m_popPending = false;
    const Open& o = m_open.back();
    if (m_bindings.size() != o.bindings) m_bindings.resize(o.bindings);
    m_open.pop_back();
    if (m_open.empty()) m_rootDone = true;
  }


 public:
  // What a reading fills and empties again, kept by each thread from one message to the next
  // (readFast) so that a small message allocates nothing here.
  struct Buffers {
    std::vector<Open> open;
    std::vector<Binding> bindings;
    std::vector<Attribute> attributes;
    std::string scratch;
    std::string value;
    bool busy = false;

    // After a large message: what is kept stays small.
    void trim() {
      constexpr size_t kKept = 64 * 1024;
      if (scratch.capacity() > kKept) std::string().swap(scratch);
      if (value.capacity() > kKept) std::string().swap(value);
      if (open.capacity() > 1024) std::vector<Open>().swap(open);
      if (bindings.capacity() > 1024) std::vector<Binding>().swap(bindings);
      if (attributes.capacity() > 1024) std::vector<Attribute>().swap(attributes);
    }
  };

 private:
  const char* m_p;
  const char* m_end;
  const ZEBSoapLimits& m_limits;

  Kind m_kind = Text;
  int m_depth = 0;  // of the current start or end tag
  bool m_nil = false;
  bool m_typed = false;
  Ns m_typeNs = Ns::None;
  string_view m_typeName;  // local name of the xsi:type
  const ZEBTypeInfo* m_lastDeclared = nullptr;  // and m_lastActual: the last xsi:type looked up
  const ZEBTypeInfo* m_lastActual = nullptr;
  string_view m_text;      // of the current text: in the message, or in m_scratch
  bool m_emptyPending = false;
  bool m_popPending = false;
  bool m_rootDone = false;

  std::vector<Open>& m_open;
  std::vector<Binding>& m_bindings;
  std::vector<Attribute>& m_attributes;
  std::string& m_scratch;
  std::string& m_value;
};

FastReader::FastReader(const char* data, size_t length, const ZEBSoapLimits& limits, Buffers& buffers)
    : m_p(data),
      m_end(data + length),
      m_limits(limits),
      m_open(buffers.open),
      m_bindings(buffers.bindings),
      m_attributes(buffers.attributes),
      m_scratch(buffers.scratch),
      m_value(buffers.value) {
  m_open.clear();
  m_bindings.clear();
  m_attributes.clear();
  prolog();
}

}  // namespace

bool readFast(const char* data, size_t length, const ZEBSoapLimits& limits, ZEBMessageI* message,
              std::unique_ptr<ZEBMessageI>* made) {
  thread_local FastReader::Buffers kept;
  FastReader::Buffers own;  // for a reading within a reading, should there ever be one
  FastReader::Buffers& buffers = kept.busy ? own : kept;
  struct Release {
    FastReader::Buffers& buffers;
    ~Release() {
      buffers.busy = false;
      buffers.trim();
    }
  } release{buffers};
  buffers.busy = true;
  try {
    FastReader r(data, length, limits, buffers);
    readEnvelopeInto(r, data, length, message, made);
    return true;
  } catch (const FastReader::Unread&) {
    return false;
  }
}

}  // namespace zebsoap
