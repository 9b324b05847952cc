#include "ZEBRecording.h"

#include <libxml/tree.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "KRNError.h"
#include "KRNIDOM.h"
#include "MWLStream.h"
#include "ZEBCredentialKey.h"
#include "ZEBErrors.h"

namespace {

// Bounds for what a recorded file may ask the reader to hold: a damaged or hostile length must not
// make it allocate without end.
constexpr size_t kMaxLine = 64 * 1024;
constexpr size_t kMaxBlob = size_t(1) << 30;
constexpr size_t kChunk = 64 * 1024;
constexpr int kMaxDepth = 256;
constexpr size_t kMinPassportToReplaceEverywhere = 8;

// ---- header-line tokens ------------------------------------------------------------------------

// A token of a header line: bytes outside printable ASCII, space and '%' as %XX; the empty text
// as "-" (and "-" itself as %2D).
std::string encodeToken(const std::string& text) {
  if (text.empty()) return "-";
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7F || c == '%' || (c == '-' && text.size() == 1)) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool decodeToken(const std::string& token, std::string& out) {
  out.clear();
  if (token == "-") return true;
  for (size_t i = 0; i < token.size(); ++i) {
    if (token[i] != '%') {
      out += token[i];
      continue;
    }
    if (i + 2 >= token.size() || !std::isxdigit(static_cast<unsigned char>(token[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(token[i + 2])))
      return false;
    out += static_cast<char>(std::stoi(token.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return true;
}

std::vector<std::string> splitLine(const std::string& line) {
  std::vector<std::string> tokens;
  size_t start = 0;
  while (start <= line.size()) {
    size_t space = line.find(' ', start);
    if (space == std::string::npos) space = line.size();
    tokens.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  return tokens;
}

bool parseNumber(const std::string& text, long long& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// ---- finding element content in XML text -------------------------------------------------------

bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// Replaces the content of every element with that local name (any prefix) in text, written either
// as markup ("<password>") or escaped inside a text value ("&lt;password&gt;"). replace gets the
// content as written and returns what goes in its place.
template <class Replace>
std::string replaceElementContent(const std::string& text, bool escaped, const char* localName, Replace replace) {
  const std::string open = escaped ? "&lt;" : "<";
  const std::string close = escaped ? "&gt;" : ">";
  std::string out;
  size_t copied = 0;
  size_t at = 0;
  while ((at = text.find(open, at)) != std::string::npos) {
    size_t nameStart = at + open.size();
    size_t nameEnd = nameStart;
    while (nameEnd < text.size() && (isNameChar(text[nameEnd]) || text[nameEnd] == ':')) ++nameEnd;
    std::string qualified = text.substr(nameStart, nameEnd - nameStart);
    size_t colon = qualified.rfind(':');
    std::string local = colon == std::string::npos ? qualified : qualified.substr(colon + 1);
    at = nameStart;
    if (local != localName) continue;
    // The start tag ends at the first ">" (a text value may leave ">" unescaped) or "&gt;".
    size_t tagEnd = text.find('>', nameEnd);
    size_t tagEndLength = 1;
    if (escaped) {
      size_t entity = text.find(close, nameEnd);
      if (entity != std::string::npos && (tagEnd == std::string::npos || entity < tagEnd)) {
        tagEnd = entity;
        tagEndLength = close.size();
      }
    }
    if (tagEnd == std::string::npos) break;
    if (nameEnd < tagEnd && text[nameEnd] != ' ' && text[nameEnd] != '\t' && text[nameEnd] != '\n' &&
        text[nameEnd] != '\r' && text[nameEnd] != '/')
      continue;
    if (tagEnd > 0 && text[tagEnd - 1] == '/') continue;  // an empty element has no content
    size_t contentStart = tagEnd + tagEndLength;
    size_t contentEnd = text.find(open, contentStart);
    if (contentEnd == std::string::npos) break;
    out.append(text, copied, contentStart - copied);
    out += replace(text.substr(contentStart, contentEnd - contentStart));
    copied = contentEnd;
    at = contentEnd;
  }
  out.append(text, copied, std::string::npos);
  return out;
}

std::string replaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  size_t copied = 0;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + from.size())) {
    out.append(text, copied, at - copied);
    out += to;
    copied = at + from.size();
  }
  out.append(text, copied, std::string::npos);
  return out;
}

bool isPlaceholder(const std::string& value) {
  return value.rfind("REDACTED-", 0) == 0;
}

// Masks credential contents in a text value (unescaped): the recorded side holds placeholders.
std::string maskCredentials(const std::string& text) {
  std::string out = replaceElementContent(text, false, "password", [](const std::string&) {
    return std::string(ZEBRecordingScrubber::passwordPlaceholder);
  });
  return replaceElementContent(out, false, "encryptedValue",
                               [](const std::string&) { return std::string(ZEBRecordingScrubber::sealedPlaceholder); });
}

// ---- masking of generated values ---------------------------------------------------------------

bool isHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isUuidAt(const std::string& s, size_t i) {
  static const int groups[] = {8, 4, 4, 4, 12};
  size_t p = i;
  for (int g = 0; g < 5; ++g) {
    for (int k = 0; k < groups[g]; ++k, ++p)
      if (p >= s.size() || !isHex(s[p])) return false;
    if (g < 4) {
      if (p >= s.size() || s[p] != '-') return false;
      ++p;
    }
  }
  return p >= s.size() || !isHex(s[p]);
}

// The length of an ISO 8601 date-time starting at i (2024-05-01T10:20:30, optional fraction and
// zone), 0 when there is none.
size_t dateTimeAt(const std::string& s, size_t i) {
  const char* shape = "dddd-dd-ddTdd:dd:dd";
  size_t p = i;
  for (const char* c = shape; *c; ++c, ++p) {
    if (p >= s.size()) return 0;
    if (*c == 'd' ? !isDigit(s[p]) : s[p] != *c) return 0;
  }
  if (p < s.size() && s[p] == '.') {
    size_t q = p + 1;
    while (q < s.size() && isDigit(s[q])) ++q;
    if (q > p + 1) p = q;
  }
  if (p < s.size() && s[p] == 'Z') {
    ++p;
  } else if (p + 5 < s.size() && (s[p] == '+' || s[p] == '-') && isDigit(s[p + 1]) && isDigit(s[p + 2]) &&
             s[p + 3] == ':' && isDigit(s[p + 4]) && isDigit(s[p + 5])) {
    p += 6;
  }
  return p - i;
}

class Normaliser {
 public:
  std::string mask(const std::string& text) {
    std::string in = maskCredentials(text);
    std::string out;
    for (size_t i = 0; i < in.size();) {
      if (isHex(in[i]) && (i == 0 || !isHex(in[i - 1])) && isUuidAt(in, i)) {
        std::string key = in.substr(i, 36);
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        auto it = m_uuids.find(key);
        if (it == m_uuids.end()) it = m_uuids.emplace(key, "{uuid-" + std::to_string(m_uuids.size() + 1) + "}").first;
        out += it->second;
        i += 36;
        continue;
      }
      if (isDigit(in[i]) && (i == 0 || !isDigit(in[i - 1]))) {
        if (size_t n = dateTimeAt(in, i)) {
          out += "{time}";
          i += n;
          continue;
        }
      }
      out += in[i++];
    }
    return out;
  }

  void walk(xmlNodePtr element, const std::string& path, bool inHeader, int depth, std::vector<std::string>& lines) {
    if (depth > kMaxDepth) {
      lines.push_back(path + " (nested too deep to compare)");
      return;
    }
    bool empty = true;
    for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
      std::string name = attr->ns && attr->ns->prefix ? std::string(C(attr->ns->prefix)) + ":" : "";
      name += C(attr->name);
      xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(attr));
      lines.push_back(path + "/@" + name + "=" + quote(mask(value ? C(value) : "")));
      xmlFree(value);
      empty = false;
    }
    std::map<std::string, int> seen;
    for (xmlNodePtr child = element->children; child; child = child->next) {
      if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
        std::string text = child->content ? C(child->content) : "";
        if (text.find_first_not_of(" \t\r\n") == std::string::npos) continue;
        lines.push_back(path + "=" + quote(mask(text)));
        empty = false;
      } else if (child->type == XML_ELEMENT_NODE) {
        empty = false;
        std::string name = C(child->name);
        // The session fills these per run: they can never match a recording.
        if (inHeader && (name == "passport" || name == "clientID")) continue;
        int n = ++seen[name];
        std::string childPath = path + "/" + name + (n > 1 ? "[" + std::to_string(n) + "]" : "");
        bool header = inHeader || (depth == 0 && name == "Header");
        walk(child, childPath, header, depth + 1, lines);
      }
    }
    if (empty) lines.push_back(path);
  }

  static std::string quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            out += buffer;
          } else {
            out += static_cast<char>(c);
          }
      }
    }
    return out + "\"";
  }

 private:
  static const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
  std::map<std::string, std::string> m_uuids;
};

std::string shorten(const std::string& line) {
  constexpr size_t limit = 300;
  if (line.size() <= limit) return line;
  return line.substr(0, limit) + "... (" + std::to_string(line.size() - limit) + " more bytes)";
}

std::string readDocument(ZEBDocumentOutputI& document) {
  std::string bytes;
  char buffer[65536];
  document.rewind();
  for (size_t n; (n = document.read(buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
  // The transport that sends it next reads from the start again.
  document.rewind();
  return bytes;
}

}  // namespace

// ---- ZEBRecordedExchange, errors, scrubber -----------------------------------------------------

ZEBRecordedExchange ZEBRecordedExchange::fromRequest(const ZEBWireRequest& request) {
  ZEBRecordedExchange exchange;
  exchange.port = request.port ? request.port : "";
  exchange.operation = request.operation ? request.operation : "";
  exchange.trusted = request.trusted;
  exchange.request = request.envelope;
  if (request.attachments) {
    for (const auto& [contentId, document] : *request.attachments) {
      ZEBReceivedAttachment attachment;
      attachment.contentId = contentId ? contentId : "";
      attachment.contentType = document->getContentType() ? document->getContentType() : "";
      attachment.bytes = readDocument(*document);
      exchange.requestAttachments.push_back(std::move(attachment));
    }
  }
  return exchange;
}

ZEBReplayMismatch::ZEBReplayMismatch(const std::string& replay, int exchange, std::string operation,
                                     std::string difference)
    : KRNThrowable("replay '" + replay + "': exchange " + std::to_string(exchange) + " (" + operation +
                   ") does not match the recording: " + difference),
      m_exchange(exchange),
      m_operation(std::move(operation)),
      m_difference(std::move(difference)) {}

std::string ZEBRecordingScrubber::scrub(const std::string& envelope) {
  std::string out = replaceElementContent(envelope, false, "passport", [this](const std::string& value) {
    if (value.empty() || isPlaceholder(value)) return value;
    auto it = m_passports.find(value);
    if (it == m_passports.end())
      it = m_passports.emplace(value, passportPrefix + std::to_string(m_passports.size() + 1)).first;
    return it->second;
  });
  out = replaceElementContent(out, false, "clientID", [](const std::string& value) {
    return value.empty() ? value : std::string(clientIdPlaceholder);
  });
  // A passport may also travel in a body (an object's owner, say). Short values are left alone
  // there: replacing every "42" of a document would corrupt it.
  for (const auto& [value, placeholder] : m_passports)
    if (value.size() >= kMinPassportToReplaceEverywhere) out = replaceAll(out, value, placeholder);
  for (bool escaped : {false, true}) {
    out = replaceElementContent(out, escaped, "password",
                                [](const std::string&) { return std::string(passwordPlaceholder); });
    out = replaceElementContent(out, escaped, "encryptedValue",
                                [](const std::string&) { return std::string(sealedPlaceholder); });
  }
  return out;
}

// ---- matching ----------------------------------------------------------------------------------

std::vector<std::string> ZEBReplayMatcher::normalise(const ZEBRecordedExchange& request) {
  std::vector<std::string> lines;
  Normaliser normaliser;
  KRNIDOM_Document document;
  try {
    document = KRNIDOM_DOMImplementation::getInstance().parse(request.request.data(), request.request.size(),
                                                              "request envelope");
  } catch (const KRNIDOM_Exception& e) {
    ZEBRecordedFileError error("exchange " + std::to_string(request.number) + ": " + e.getMessage());
    ZEBRaise(error, "ZEBRecording");
  }
  KRNIDOM_Element root = document.getDocumentElement();
  normaliser.walk(static_cast<xmlNodePtr>(root.getRawNode()), "/" + root.getLocalName(), false, 0, lines);
  int n = 0;
  for (const ZEBReceivedAttachment& attachment : request.requestAttachments) {
    lines.push_back("#attachment[" + std::to_string(++n) +
                    "] content-id=" + Normaliser::quote(normaliser.mask(attachment.contentId)) + " content-type=" +
                    Normaliser::quote(attachment.contentType) + " size=" + std::to_string(attachment.bytes.size()));
  }
  return lines;
}

std::string ZEBReplayMatcher::difference(const ZEBRecordedExchange& recorded, const ZEBRecordedExchange& sent) {
  if (recorded.port != sent.port || recorded.operation != sent.operation)
    return "the recording expects " + recorded.port + " " + recorded.operation + " but the request is " + sent.port +
           " " + sent.operation;
  if (recorded.trusted != sent.trusted)
    return "the recording expects trusted mode " + std::to_string(recorded.trusted) + " but the request uses " +
           std::to_string(sent.trusted);
  std::vector<std::string> expected = normalise(recorded);
  std::vector<std::string> actual = normalise(sent);
  size_t common = std::min(expected.size(), actual.size());
  for (size_t i = 0; i <= common; ++i) {
    if (i == common && expected.size() == actual.size()) break;
    if (i < common && expected[i] == actual[i]) continue;
    return "the request differs at line " + std::to_string(i + 1) +
           " of the normalised request\n  recorded: " + (i < expected.size() ? shorten(expected[i]) : "(nothing)") +
           "\n  sent:     " + (i < actual.size() ? shorten(actual[i]) : "(nothing)");
  }
  for (size_t i = 0; i < recorded.requestAttachments.size(); ++i) {
    const std::string& a = recorded.requestAttachments[i].bytes;
    const std::string& b = sent.requestAttachments[i].bytes;
    if (a == b) continue;
    size_t at = 0;
    while (at < a.size() && a[at] == b[at]) ++at;
    return "attachment " + std::to_string(i + 1) + " has the recorded size but differs from byte " + std::to_string(at);
  }
  return std::string();
}

// ---- reader ------------------------------------------------------------------------------------

MockVorbTKMessageReader::MockVorbTKMessageReader(MWLInputStream* in) {
  KRN_ASSERT_AT(in != nullptr, "ZEBRecording", 0, "KRN_ASSERT(in);");
  m_in.reset(in);
  try {
    readHeader();
  } catch (...) {
    m_in.release();  // not taken over: the caller still owns the stream
    throw;
  }
}

void MockVorbTKMessageReader::readHeader() {
  auto* file = dynamic_cast<MWLFileInputStream*>(m_in.get());
  m_source = file ? file->getPath() : "recorded stream";
  std::string line;
  if (!readLine(line))
    damaged("the file is empty; expected a first line '" + std::string(MockVorbTKMessageWriter::magic) + " 1'");
  std::vector<std::string> tokens = splitLine(line);
  long long version = 0;
  if (tokens.size() != 2 || tokens[0] != MockVorbTKMessageWriter::magic)
    damaged("not a recorded session file: the first line is not '" + std::string(MockVorbTKMessageWriter::magic) +
            " <version>'");
  if (!parseNumber(tokens[1], version) || version < 1) damaged("bad format version '" + tokens[1] + "'");
  if (version > MockVorbTKMessageWriter::version)
    damaged("format version " + tokens[1] + " is newer than this reader's (" +
            std::to_string(MockVorbTKMessageWriter::version) + ")");
  m_version = static_cast<int>(version);
}

MockVorbTKMessageReader::~MockVorbTKMessageReader() = default;

void MockVorbTKMessageReader::damaged(const std::string& what) const {
  ZEBRecordedFileError error("recorded file '" + m_source + "' at byte " +
                             std::to_string(m_offset + static_cast<long long>(m_position)) + ": " + what);
  ZEBRaise(error, "ZEBRecording");
}

bool MockVorbTKMessageReader::fill() {
  if (m_end) return false;
  m_offset += static_cast<long long>(m_position);
  m_buffer.erase(0, m_position);
  m_position = 0;
  size_t old = m_buffer.size();
  m_buffer.resize(old + kChunk);
  size_t n = m_in->read(&m_buffer[old], kChunk);
  m_buffer.resize(old + n);
  if (n == 0) m_end = true;
  return n > 0;
}

bool MockVorbTKMessageReader::readLine(std::string& line) {
  for (;;) {
    size_t newline = m_buffer.find('\n', m_position);
    if (newline != std::string::npos) {
      if (newline - m_position > kMaxLine) damaged("a line longer than " + std::to_string(kMaxLine) + " bytes");
      line.assign(m_buffer, m_position, newline - m_position);
      m_position = newline + 1;
      return true;
    }
    if (m_buffer.size() - m_position > kMaxLine) damaged("a line longer than " + std::to_string(kMaxLine) + " bytes");
    if (!fill()) {
      if (m_position < m_buffer.size()) damaged("the file ends in the middle of a line");
      return false;
    }
  }
}

std::string MockVorbTKMessageReader::readBytes(size_t length) {
  while (m_buffer.size() - m_position < length + 1)
    if (!fill()) damaged("the file ends inside a block of " + std::to_string(length) + " bytes");
  std::string bytes = m_buffer.substr(m_position, length);
  if (m_buffer[m_position + length] != '\n') {
    m_position += length;
    damaged("a block of " + std::to_string(length) + " bytes is not followed by a line end");
  }
  m_position += length + 1;
  return bytes;
}

bool MockVorbTKMessageReader::readExchange(ZEBRecordedExchange& out) {
  auto skippable = [](const std::string& line) { return line.empty() || line[0] == '#'; };
  std::string line;
  if (m_pendingLine) {
    line = std::move(*m_pendingLine);
    m_pendingLine.reset();
  } else {
    do {
      if (!readLine(line)) return false;
    } while (skippable(line));
  }
  auto number = [&](const std::string& token, const char* what) {
    long long value = 0;
    if (!parseNumber(token, value)) damaged(std::string("bad ") + what + " '" + token + "'");
    return value;
  };
  auto text = [&](const std::string& token, const char* what) {
    std::string value;
    if (!decodeToken(token, value)) damaged(std::string("bad ") + what + " '" + token + "'");
    return value;
  };
  auto blob = [&](const std::string& token) {
    long long length = number(token, "length");
    if (static_cast<unsigned long long>(length) > kMaxBlob) damaged("a block of " + token + " bytes is too large");
    return readBytes(static_cast<size_t>(length));
  };

  std::vector<std::string> tokens = splitLine(line);
  if (tokens[0] != "exchange" || tokens.size() != 5)
    damaged("expected 'exchange <number> <port> <operation> <trusted>', found '" + shorten(line) + "'");
  ZEBRecordedExchange exchange;
  exchange.number = static_cast<int>(number(tokens[1], "exchange number"));
  if (exchange.number != m_lastNumber + 1)
    damaged("exchange " + tokens[1] + " follows exchange " + std::to_string(m_lastNumber));
  exchange.port = text(tokens[2], "port");
  exchange.operation = text(tokens[3], "operation");
  exchange.trusted = static_cast<int>(number(tokens[4], "trusted mode"));
  bool hasRequest = false;

  while (readLine(line)) {
    if (skippable(line)) continue;
    tokens = splitLine(line);
    const std::string& kind = tokens[0];
    if (kind == "exchange") {
      m_pendingLine = line;
      break;
    }
    if (kind == "request" && tokens.size() == 2) {
      if (hasRequest) damaged("exchange " + std::to_string(exchange.number) + " has two requests");
      exchange.request = blob(tokens[1]);
      hasRequest = true;
    } else if ((kind == "request-attachment" || kind == "reply-attachment") && tokens.size() == 4) {
      ZEBReceivedAttachment attachment;
      attachment.contentId = text(tokens[1], "content identifier");
      attachment.contentType = text(tokens[2], "content type");
      attachment.bytes = blob(tokens[3]);
      (kind == "request-attachment" ? exchange.requestAttachments : exchange.replyAttachments)
          .push_back(std::move(attachment));
    } else if (kind == "reply" && tokens.size() == 3) {
      if (exchange.outcome != ZEBRecordedExchange::NoOutcome)
        damaged("exchange " + std::to_string(exchange.number) + " has two outcomes");
      exchange.outcome = ZEBRecordedExchange::Reply;
      exchange.httpStatus = static_cast<int>(number(tokens[1], "HTTP status"));
      exchange.reply = blob(tokens[2]);
    } else if (kind == "transport-error" && tokens.size() == 4) {
      if (exchange.outcome != ZEBRecordedExchange::NoOutcome)
        damaged("exchange " + std::to_string(exchange.number) + " has two outcomes");
      exchange.outcome = ZEBRecordedExchange::TransportError;
      exchange.errorPhase = text(tokens[1], "phase");
      exchange.errorReason = text(tokens[2], "reason");
      exchange.httpStatus = static_cast<int>(number(tokens[3], "HTTP status"));
    } else {
      damaged("unknown record '" + shorten(line) + "'");
    }
  }
  if (!hasRequest) damaged("exchange " + std::to_string(exchange.number) + " has no request");
  m_lastNumber = exchange.number;
  out = std::move(exchange);
  return true;
}

// ---- writer ------------------------------------------------------------------------------------

MockVorbTKMessageWriter::MockVorbTKMessageWriter(MWLOutputStream* out) {
  KRN_ASSERT_AT(out != nullptr, "ZEBRecording", 0, "KRN_ASSERT(out);");
  out->write(std::string(magic) + " " + std::to_string(version) + "\n");
  out->flush();
  m_out.reset(out);
}

MockVorbTKMessageWriter::~MockVorbTKMessageWriter() = default;

void MockVorbTKMessageWriter::writeExchange(const ZEBRecordedExchange& exchange) {
  std::string out = "exchange " + std::to_string(exchange.number) + " " + encodeToken(exchange.port) + " " +
                    encodeToken(exchange.operation) + " " + std::to_string(exchange.trusted) + "\n";
  auto block = [&](const std::string& bytes) {
    out += std::to_string(bytes.size()) + "\n";
    out += bytes;
    out += "\n";
  };
  auto attachments = [&](const char* kind, const std::vector<ZEBReceivedAttachment>& list) {
    for (const ZEBReceivedAttachment& a : list) {
      out += std::string(kind) + " " + encodeToken(a.contentId) + " " + encodeToken(a.contentType) + " ";
      block(a.bytes);
    }
  };
  out += "request ";
  block(m_scrubber.scrub(exchange.request));
  attachments("request-attachment", exchange.requestAttachments);
  if (exchange.outcome == ZEBRecordedExchange::Reply) {
    out += "reply " + std::to_string(exchange.httpStatus) + " ";
    block(m_scrubber.scrub(exchange.reply));
    attachments("reply-attachment", exchange.replyAttachments);
  } else if (exchange.outcome == ZEBRecordedExchange::TransportError) {
    out += "transport-error " + encodeToken(exchange.errorPhase) + " " + encodeToken(exchange.errorReason) + " " +
           std::to_string(exchange.httpStatus) + "\n";
  }
  m_out->write(out);
  m_out->flush();
}

// ---- replay ------------------------------------------------------------------------------------

ZEBReplayTransport::ZEBReplayTransport(MockVorbTKMessageReader* reader, MockVorbTKMessageWriter* writer, bool adopt)
    : m_rawReader(reader), m_rawWriter(writer) {
  KRN_ASSERT_AT(reader != nullptr, "ZEBRecording", 0, "KRN_ASSERT(reader);");
  m_name = reader->getSource();
  if (adopt) adoptReaderAndWriter();
}

void ZEBReplayTransport::adoptReaderAndWriter() {
  m_reader.reset(m_rawReader);
  m_writer.reset(m_rawWriter);
}

ZEBReplayTransport::~ZEBReplayTransport() = default;

std::string ZEBReplayTransport::describe() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return "replay of " + m_name;
}

void ZEBReplayTransport::setName(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_name = name;
}

int ZEBReplayTransport::getExchangesReplayed() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_replayed;
}

bool ZEBReplayTransport::hasUnplayedExchanges() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_next && !m_readerDone) {
    ZEBRecordedExchange next;
    if (m_rawReader->readExchange(next))
      m_next = std::move(next);
    else
      m_readerDone = true;
  }
  return m_next.has_value();
}

ZEBWireReply ZEBReplayTransport::exchange(const ZEBWireRequest& request) {
  std::lock_guard<std::mutex> lock(m_lock);
  ZEBRecordedExchange sent = ZEBRecordedExchange::fromRequest(request);
  sent.number = m_replayed + 1;
  // Written before the check, so that the record shows the request that failed too.
  if (m_rawWriter) m_rawWriter->writeExchange(sent);

  std::string operation = sent.port + " " + sent.operation;
  if (!m_next && !m_readerDone) {
    ZEBRecordedExchange next;
    if (m_rawReader->readExchange(next))
      m_next = std::move(next);
    else
      m_readerDone = true;
  }
  if (!m_next) {
    ZEBReplayMismatch error(m_name, sent.number, operation,
                            "the recording holds only " + std::to_string(m_replayed) + " exchanges");
    ZEBRaise(error, "ZEBRecording");
  }
  std::string difference = ZEBReplayMatcher::difference(*m_next, sent);
  if (!difference.empty()) {
    // The recorded exchange stays next: a corrected request may still match it.
    ZEBReplayMismatch error(m_name, sent.number, operation, difference);
    ZEBRaise(error, "ZEBRecording");
  }
  ZEBRecordedExchange used = std::move(*m_next);
  m_next.reset();
  ++m_replayed;
  if (used.outcome == ZEBRecordedExchange::TransportError) {
    ZEBTransportError error("replay of " + m_name, used.errorPhase, used.errorReason, used.httpStatus);
    ZEBRaise(error, "ZEBRecording");
  }
  if (used.outcome != ZEBRecordedExchange::Reply) {
    ZEBRecordedFileError error("recorded file '" + m_rawReader->getSource() + "': exchange " +
                               std::to_string(used.number) + " (" + operation + ") holds no reply");
    ZEBRaise(error, "ZEBRecording");
  }
  ZEBWireReply reply;
  reply.httpStatus = used.httpStatus;
  reply.envelope = std::move(used.reply);
  reply.attachments = std::move(used.replyAttachments);
  return reply;
}

MockVorbTKSession::MockVorbTKSession(MockVorbTKMessageReader* reader, MockVorbTKMessageWriter* writer)
    : ZEBSOAPSession(std::make_shared<ZEBReplayTransport>(reader, writer, false)) {
  // Taken over only now that nothing can fail any more: if the base threw, the caller still owns both.
  getReplay().adoptReaderAndWriter();
}

MockVorbTKSession::~MockVorbTKSession() = default;

ZEBReplayTransport& MockVorbTKSession::getReplay() const {
  return static_cast<ZEBReplayTransport&>(getTransport());
}

MockVorbTK::MockVorbTK(MockVorbTKSession* session, const std::string& name, const std::string& sentRecordPath,
                       const std::string& recordedFile)
    : m_sentRecordPath(sentRecordPath), m_recordedFile(recordedFile) {
  KRN_ASSERT_AT(session != nullptr, "ZEBRecording", 0, "KRN_ASSERT(session);");
  session->getReplay().setName(name.empty() ? recordedFile : name);
  m_session.reset(session);
}

MockVorbTK::~MockVorbTK() {
  if (m_sentRecordPath.empty()) return;
  try {
    std::string record = getSentRecord();
    MWLFileOutputStream out(m_sentRecordPath.c_str());
    out.write(record);
    out.close();
  } catch (...) {
    // A diagnostic copy that cannot be written must not turn a test's tear-down into a crash.
  }
}

ZEBSOAPSessionI* MockVorbTK::createSession() {
  return m_session.get();
}

void MockVorbTK::releaseSession(ZEBSOAPSessionI* session) {
  if (session == nullptr || session == m_session.get()) return;
  KRNRuntimeError error("MockVorbTK::releaseSession: the session was not made by this factory");
  ZEBRaise(error, "ZEBRecording");
}

std::string MockVorbTK::getSentRecord() {
  MockVorbTKMessageWriter* writer = m_session->getReplay().getWriter();
  auto* memory = writer ? dynamic_cast<MWLMemoryOutputStream*>(&writer->getStream()) : nullptr;
  return memory ? memory->str() : std::string();
}

// ---- recording ---------------------------------------------------------------------------------

ZEBRecordingTransport::ZEBRecordingTransport(std::shared_ptr<ZEBTransport> live, MockVorbTKMessageWriter* writer)
    : m_live(std::move(live)) {
  KRN_ASSERT_AT(writer != nullptr && m_live != nullptr, "ZEBRecording", 0, "KRN_ASSERT(writer && live);");
  m_writer.reset(writer);
}

ZEBRecordingTransport::ZEBRecordingTransport(std::shared_ptr<ZEBTransport> live, const std::string& path)
    : m_live(std::move(live)) {
  KRN_ASSERT_AT(m_live != nullptr, "ZEBRecording", 0, "KRN_ASSERT(live);");
  std::unique_ptr<MWLOutputStream> out(new MWLFileOutputStream(path.c_str()));
  m_writer.reset(new MockVorbTKMessageWriter(out.get()));
  out.release();
}

ZEBRecordingTransport::~ZEBRecordingTransport() = default;

std::string ZEBRecordingTransport::describe() const {
  return "recording of " + m_live->describe();
}

int ZEBRecordingTransport::getExchangesRecorded() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_recorded;
}

ZEBWireReply ZEBRecordingTransport::exchange(const ZEBWireRequest& request) {
  ZEBRecordedExchange record = ZEBRecordedExchange::fromRequest(request);
  ZEBWireReply reply;
  try {
    reply = m_live->exchange(request);
  } catch (ZEBTransportError& e) {
    record.outcome = ZEBRecordedExchange::TransportError;
    record.errorPhase = e.getPhase();
    record.errorReason = e.getReason();
    record.httpStatus = e.getHttpStatus();
    std::lock_guard<std::mutex> lock(m_lock);
    record.number = ++m_recorded;
    m_writer->writeExchange(record);
    throw;
  }
  record.outcome = ZEBRecordedExchange::Reply;
  record.httpStatus = reply.httpStatus;
  record.reply = reply.envelope;
  record.replyAttachments = reply.attachments;
  std::lock_guard<std::mutex> lock(m_lock);
  record.number = ++m_recorded;
  m_writer->writeExchange(record);
  return reply;
}

ZEBRecordingVorbTK::ZEBRecordingVorbTK(std::shared_ptr<ZEBTransport> live, const std::string& path) {
  if (auto* http = dynamic_cast<ZEBHttpTransport*>(live.get())) {
    m_credentialKey = ZEBCredentialKeySource::forSettings(http->getSettings());
  }
  m_recorder = std::make_shared<ZEBRecordingTransport>(std::move(live), path);
}

ZEBRecordingVorbTK::~ZEBRecordingVorbTK() {
  for (ZEBSOAPSessionI* session : m_sessions) delete session;
}

ZEBSOAPSessionI* ZEBRecordingVorbTK::createSession() {
  auto* made = new ZEBSOAPSession(m_recorder);
  std::unique_ptr<ZEBSOAPSessionI> session(made);
  if (m_credentialKey) m_credentialKey->bind(made->getClientID());
  std::lock_guard<std::mutex> lock(m_lock);
  m_sessions.insert(session.get());
  return session.release();
}

void ZEBRecordingVorbTK::releaseSession(ZEBSOAPSessionI* session) {
  if (session == nullptr) return;
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_sessions.erase(session) == 0) {
    KRNRuntimeError error("ZEBRecordingVorbTK::releaseSession: the session was not made by this factory");
    ZEBRaise(error, "ZEBRecording");
  }
  if (m_credentialKey) m_credentialKey->unbind(static_cast<ZEBSOAPSession*>(session)->getClientID());
  delete session;
}
