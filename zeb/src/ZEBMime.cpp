#include "ZEBMime.h"

#include <cstdint>
#include <random>

#include "ZEBErrors.h"

namespace {

[[noreturn]] void malformed(const std::string& why) {
  ZEBMalformedMessage error(why);
  ZEBRaise(error, "ZEBMime");
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string toLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (isSpace(s.front()) || s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (isSpace(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

std::string stripAngles(std::string_view id) {
  id = trim(id);
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  return std::string(id);
}

// One line from position pos: its text without the line end, and where the next line starts.
// Returns false at the end of the buffer.
bool nextLine(std::string_view buffer, size_t& pos, std::string_view& line) {
  if (pos >= buffer.size()) return false;
  size_t end = buffer.find('\n', pos);
  size_t next = end == std::string_view::npos ? buffer.size() : end + 1;
  line = buffer.substr(pos, (end == std::string_view::npos ? buffer.size() : end) - pos);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  pos = next;
  return true;
}

// Whether a delimiter line starts at pos: "--boundary", "--" when it closes, transport padding, then
// a line end or the end of the buffer. A line that merely begins with the delimiter is content.
bool delimiterAt(std::string_view body, size_t pos, std::string_view delimiter, size_t& lineEnd, bool& closing) {
  if (body.compare(pos, delimiter.size(), delimiter) != 0) return false;
  size_t q = pos + delimiter.size();
  closing = body.compare(q, 2, "--") == 0;
  if (closing) q += 2;
  while (q < body.size() && isSpace(body[q])) ++q;
  if (q == body.size()) {
    lineEnd = q;
    return true;
  }
  if (body[q] == '\n') {
    lineEnd = q + 1;
    return true;
  }
  if (body[q] == '\r' && q + 1 < body.size() && body[q + 1] == '\n') {
    lineEnd = q + 2;
    return true;
  }
  return false;
}

// The next delimiter line at or after from that starts a line; npos when there is none.
size_t findDelimiter(std::string_view body, size_t from, std::string_view delimiter, size_t& lineEnd, bool& closing) {
  if (from == 0 && delimiterAt(body, 0, delimiter, lineEnd, closing)) return 0;
  std::string needle = "\n" + std::string(delimiter);
  for (size_t at = body.find(needle, from == 0 ? 0 : from - 1); at != std::string_view::npos;
       at = body.find(needle, at + 1)) {
    if (delimiterAt(body, at + 1, delimiter, lineEnd, closing)) return at + 1;
  }
  return std::string_view::npos;
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string decodeBase64(std::string_view text, const std::string& what) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  int count = 0;
  bool padded = false;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      padded = true;
      continue;
    }
    int v = base64Value(c);
    if (v < 0 || padded) malformed(what + ": invalid base64 content");
    bits = (bits << 6) | static_cast<uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>(bits >> 8));
      out.push_back(static_cast<char>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 1) malformed(what + ": truncated base64 content");
  if (count == 2) out.push_back(static_cast<char>(bits >> 4));
  if (count == 3) {
    out.push_back(static_cast<char>(bits >> 10));
    out.push_back(static_cast<char>(bits >> 2));
  }
  return out;
}

std::string partContent(const ZEBMimePart& part, const std::string& what) {
  std::string encoding = toLower(part.getHeader("Content-Transfer-Encoding"));
  if (encoding.empty() || encoding == "binary" || encoding == "8bit" || encoding == "7bit") {
    return std::string(part.body);
  }
  if (encoding == "base64") return decodeBase64(part.body, what);
  malformed(what + ": unsupported Content-Transfer-Encoding '" + encoding + "'");
}

void checkHeaderValue(std::string_view value, const char* what) {
  if (value.find_first_of("\r\n") != std::string_view::npos) {
    malformed(std::string(what) + " contains a line break: '" + std::string(value) + "'");
  }
}

std::string randomHex(size_t bytes) {
  static const char kDigits[] = "0123456789abcdef";
  thread_local std::mt19937_64 generator{[] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }()};
  std::string out;
  out.reserve(bytes * 2);
  for (size_t i = 0; i < bytes; i += 8) {
    uint64_t v = generator();
    for (size_t j = 0; j < 8 && i + j < bytes; ++j, v >>= 8) {
      out.push_back(kDigits[(v >> 4) & 0xF]);
      out.push_back(kDigits[v & 0xF]);
    }
  }
  return out;
}

}  // namespace

std::string ZEBContentType::getParameter(std::string_view name) const {
  for (const auto& p : parameters) {
    if (equalsNoCase(p.first, name)) return p.second;
  }
  return std::string();
}

bool ZEBContentType::isXml() const {
  return mediaType == "text/xml" || mediaType == "application/xml" || mediaType == "application/soap+xml";
}

std::string_view ZEBMimePart::getHeader(std::string_view name) const {
  for (const auto& h : headers) {
    if (equalsNoCase(h.first, name)) return h.second;
  }
  return std::string_view();
}

std::string ZEBMimePart::getContentId() const {
  return stripAngles(getHeader("Content-ID"));
}

ZEBContentType ZEBMime::parseContentType(std::string_view value) {
  ZEBContentType result;
  size_t semicolon = value.find(';');
  std::string_view type = trim(value.substr(0, semicolon));
  size_t slash = type.find('/');
  if (type.empty() || slash == 0 || slash == std::string_view::npos || slash + 1 == type.size()) {
    malformed("Content-Type '" + std::string(value) + "' has no type/subtype");
  }
  result.mediaType = toLower(type);

  size_t pos = semicolon;
  while (pos != std::string_view::npos && pos < value.size()) {
    ++pos;  // past ';'
    while (pos < value.size() && isSpace(value[pos])) ++pos;
    size_t equals = value.find_first_of("=;", pos);
    if (equals == std::string_view::npos || value[equals] == ';') {
      // A parameter without a value carries nothing; skip it.
      pos = equals;
      continue;
    }
    std::string name = toLower(trim(value.substr(pos, equals - pos)));
    pos = equals + 1;
    while (pos < value.size() && isSpace(value[pos])) ++pos;
    std::string text;
    if (pos < value.size() && value[pos] == '"') {
      ++pos;
      bool closed = false;
      while (pos < value.size()) {
        char c = value[pos++];
        if (c == '\\' && pos < value.size()) {
          text.push_back(value[pos++]);
        } else if (c == '"') {
          closed = true;
          break;
        } else {
          text.push_back(c);
        }
      }
      if (!closed) malformed("Content-Type parameter '" + name + "' has an unterminated quoted value");
      pos = value.find(';', pos);
    } else {
      size_t end = value.find(';', pos);
      text = std::string(trim(value.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos)));
      pos = end;
    }
    if (!name.empty()) result.parameters.emplace_back(std::move(name), std::move(text));
  }
  return result;
}

std::vector<ZEBMimePart> ZEBMime::split(std::string_view body, std::string_view boundary) {
  if (boundary.empty()) malformed("multipart body without a boundary");
  const std::string delimiter = "--" + std::string(boundary);
  std::vector<ZEBMimePart> parts;

  size_t lineEnd = 0;
  bool closing = false;
  if (findDelimiter(body, 0, delimiter, lineEnd, closing) == std::string_view::npos) {
    malformed("multipart body has no delimiter line '" + delimiter + "'");
  }
  while (!closing) {
    const std::string what = "part " + std::to_string(parts.size() + 1);
    ZEBMimePart part;
    size_t pos = lineEnd;
    std::string_view line;
    bool blank = false;
    while (nextLine(body, pos, line)) {
      if (line.empty()) {
        blank = true;
        break;
      }
      if (line.compare(0, delimiter.size(), delimiter) == 0) {
        malformed(what + " has no empty line after its headers");
      }
      if (isSpace(line.front()) && !part.headers.empty()) {  // a folded header continues
        part.headers.back().second += ' ';
        part.headers.back().second += std::string(trim(line));
        continue;
      }
      size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon == 0) {
        malformed(what + " has a header line without a name: '" + std::string(line.substr(0, 80)) + "'");
      }
      part.headers.emplace_back(std::string(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1))));
    }
    if (!blank) malformed(what + " ends inside its headers; the closing boundary is missing");

    // The line end before a delimiter belongs to the delimiter. An empty body leaves the delimiter
    // right after the blank line, so the search starts at the blank line's own line feed.
    const size_t bodyStart = pos;
    size_t next = findDelimiter(body, bodyStart, delimiter, lineEnd, closing);
    if (next == std::string_view::npos) {
      malformed("multipart body ends without its closing boundary '" + delimiter + "--'");
    }
    size_t bodyEnd = next - 1;  // the line feed
    if (bodyEnd > bodyStart && body[bodyEnd - 1] == '\r') --bodyEnd;
    if (bodyEnd < bodyStart) bodyEnd = bodyStart;
    part.body = body.substr(bodyStart, bodyEnd - bodyStart);
    parts.push_back(std::move(part));
  }
  return parts;
}

ZEBMimeMessage ZEBMime::readRelated(const ZEBContentType& contentType, std::string_view body) {
  std::string boundary = contentType.getParameter("boundary");
  if (boundary.empty()) malformed("Content-Type " + contentType.mediaType + " has no boundary parameter");
  std::vector<ZEBMimePart> parts = split(body, boundary);
  if (parts.empty()) malformed("multipart body has no parts");

  size_t root = 0;
  std::string start = stripAngles(contentType.getParameter("start"));
  if (!start.empty()) {
    root = parts.size();
    for (size_t i = 0; i < parts.size() && root == parts.size(); ++i) {
      if (parts[i].getContentId() == start) root = i;
    }
    if (root == parts.size()) malformed("no part has the start Content-ID <" + start + ">");
  }

  ZEBMimeMessage message;
  message.envelope = partContent(parts[root], "the root part");
  message.attachments.reserve(parts.size() - 1);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i == root) continue;
    ZEBReceivedAttachment a;
    a.contentId = parts[i].getContentId();
    a.contentType = std::string(parts[i].getHeader("Content-Type"));
    a.bytes = partContent(parts[i], "part " + std::to_string(i + 1));
    message.attachments.push_back(std::move(a));
  }
  return message;
}

std::string ZEBMime::makeBoundary() {
  return "dvl-mime-" + randomHex(16);
}

std::string ZEBMime::makeContentId() {
  return "envelope." + randomHex(8) + "@dvl";
}

std::string ZEBMime::formatRelatedContentType(std::string_view boundary, std::string_view rootContentId) {
  return "multipart/related; type=\"text/xml\"; start=\"<" + stripAngles(rootContentId) + ">\"; boundary=\"" +
         std::string(boundary) + "\"";
}

std::string ZEBMime::formatPartHeaders(std::string_view boundary, std::string_view contentId,
                                       std::string_view contentType, bool first) {
  checkHeaderValue(contentId, "Content-ID");
  checkHeaderValue(contentType, "Content-Type");
  std::string id = stripAngles(contentId);
  if (id.find_first_of("<>") != std::string::npos) malformed("Content-ID '" + id + "' contains an angle bracket");
  std::string out;
  out.reserve(boundary.size() + id.size() + contentType.size() + 96);
  if (!first) out += "\r\n";
  out += "--";
  out += boundary;
  out += "\r\nContent-ID: <";
  out += id;
  out += ">\r\nContent-Type: ";
  out += contentType.empty() ? std::string_view("application/octet-stream") : contentType;
  out += "\r\nContent-Transfer-Encoding: binary\r\n\r\n";
  return out;
}

std::string ZEBMime::formatClose(std::string_view boundary) {
  return "\r\n--" + std::string(boundary) + "--\r\n";
}

ZEBMimeBody ZEBMime::buildRelated(std::string_view envelope, const std::vector<ZEBReceivedAttachment>& attachments) {
  // The whole body is at hand, so a boundary that happens to occur in it can be replaced.
  std::string boundary;
  for (bool clash = true; clash;) {
    boundary = makeBoundary();
    clash = envelope.find(boundary) != std::string_view::npos;
    for (size_t i = 0; i < attachments.size() && !clash; ++i) {
      clash = attachments[i].bytes.find(boundary) != std::string::npos;
    }
  }
  std::string rootId = makeContentId();
  size_t size = envelope.size() + 256;
  for (const auto& a : attachments) size += a.bytes.size() + a.contentId.size() + a.contentType.size() + 128;

  ZEBMimeBody result;
  result.contentType = formatRelatedContentType(boundary, rootId);
  result.body.reserve(size);
  result.body += formatPartHeaders(boundary, rootId, "text/xml; charset=utf-8", true);
  result.body += envelope;
  for (const auto& a : attachments) {
    result.body += formatPartHeaders(boundary, a.contentId, a.contentType, false);
    result.body += a.bytes;
  }
  result.body += formatClose(boundary);
  return result;
}
