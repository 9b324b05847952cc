#include "MultipartBody.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "Crypto.h"

namespace dvlservice {

namespace {

constexpr size_t kMaxHeaderBytes = 16 * 1024;
constexpr size_t kMaxParts = 1000;
constexpr size_t kMaxPreamble = 64 * 1024;
constexpr size_t kMaxDelimiterPadding = 256;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool isBase64Char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=';
}

}  // namespace

std::string bareContentId(const std::string& contentId) {
  std::string id = trim(contentId);
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  return id;
}

MultipartReader::MultipartReader(std::string boundary, std::string start, std::string spoolDirectory,
                                 size_t maxRootBytes)
    : m_dashBoundary("\n--" + boundary),
      m_start(bareContentId(start)),
      m_spoolDirectory(std::move(spoolDirectory)),
      m_maxRootBytes(maxRootBytes) {
  if (boundary.empty() || boundary.size() > 70) throw MultipartError("the multipart boundary is missing or too long");
  m_pending = "\r\n";  // so that a delimiter at the very start is found like any other
}

MultipartReader::~MultipartReader() {
  if (m_file) std::fclose(m_file);
  for (const SpooledPart& p : m_parts) ::unlink(p.path.c_str());
}

void MultipartReader::feed(const char* data, size_t length) {
  if (m_state == State::Done) return;  // the epilogue means nothing
  m_pending.append(data, length);
  process();
}

void MultipartReader::finish() {
  if (m_state != State::Done) throw MultipartError("the multipart body ends before its closing delimiter");
  if (!m_rootSeen) {
    throw MultipartError("the multipart body has no root part" +
                         (m_start.empty() ? std::string() : " <" + m_start + ">"));
  }
}

void MultipartReader::process() {
  while (m_state != State::Done) {
    bool progressed = m_state == State::Headers ? readHeaderLine() : scanForDelimiter();
    if (!progressed) return;
  }
}

// A delimiter is a whole line: a line feed (with or without a carriage return before it), "--",
// the boundary, and then "--" (the last one), or only blanks up to the line's end. The line end
// before it belongs to the delimiter, not to the part.
bool MultipartReader::scanForDelimiter() {
  size_t from = 0;
  while (true) {
    size_t at = m_pending.find(m_dashBoundary, from);
    if (at == std::string::npos) {
      // Everything but a tail that may be the start of a delimiter belongs to the part.
      size_t keep = std::min(m_pending.size(), m_dashBoundary.size());
      emit(m_pending.size() - keep);
      return false;
    }
    size_t contentEnd = at > 0 && m_pending[at - 1] == '\r' ? at - 1 : at;
    size_t after = at + m_dashBoundary.size();
    if (m_pending.size() - after < 2) {
      emit(contentEnd);
      return false;
    }
    if (m_pending.compare(after, 2, "--") == 0) {
      emit(contentEnd);
      if (m_state == State::Body) endPart();
      m_state = State::Done;
      m_pending.clear();
      return false;
    }
    size_t i = after;
    while (i < m_pending.size() && (m_pending[i] == ' ' || m_pending[i] == '\t')) ++i;
    if (i - after > kMaxDelimiterPadding) throw MultipartError("a multipart delimiter line does not end");
    bool endsLine =
        i < m_pending.size() &&
        (m_pending[i] == '\n' || (m_pending[i] == '\r' && i + 1 < m_pending.size() && m_pending[i + 1] == '\n'));
    bool undecided = i == m_pending.size() || (m_pending[i] == '\r' && i + 1 == m_pending.size());
    if (undecided) {
      emit(contentEnd);
      return false;
    }
    if (!endsLine) {
      from = at + 1;  // "--boundary" followed by other text is content
      continue;
    }
    size_t lineEnd = i + (m_pending[i] == '\r' ? 2 : 1);
    emit(contentEnd);
    if (m_state == State::Body) endPart();
    m_pending.erase(0, lineEnd - contentEnd);
    if (m_parts.size() + 1 > kMaxParts) throw MultipartError("the multipart body has more than 1000 parts");
    m_headers.clear();
    m_lastHeader.clear();
    m_headerBytes = 0;
    m_state = State::Headers;
    return true;
  }
}

bool MultipartReader::readHeaderLine() {
  size_t eol = m_pending.find('\n');
  if (eol == std::string::npos) {
    if (m_headerBytes + m_pending.size() > kMaxHeaderBytes) throw MultipartError("the headers of a part are too long");
    return false;
  }
  m_headerBytes += eol + 1;
  if (m_headerBytes > kMaxHeaderBytes) throw MultipartError("the headers of a part are too long");
  std::string line = m_pending.substr(0, eol > 0 && m_pending[eol - 1] == '\r' ? eol - 1 : eol);
  m_pending.erase(0, eol + 1);
  if (line.empty()) {
    beginPart();
    m_state = State::Body;
  } else if ((line[0] == ' ' || line[0] == '\t') && !m_lastHeader.empty()) {
    m_headers[m_lastHeader] += " " + trim(line);  // a folded header continues the one before
  } else {
    size_t colon = line.find(':');
    if (colon == std::string::npos || trim(line.substr(0, colon)).empty()) {
      throw MultipartError("a part header without a name: '" + line.substr(0, 80) + "'");
    }
    m_lastHeader = lower(trim(line.substr(0, colon)));
    m_headers[m_lastHeader] = trim(line.substr(colon + 1));
  }
  return true;
}

void MultipartReader::beginPart() {
  std::string contentId = bareContentId(m_headers["content-id"]);
  std::string contentType = m_headers["content-type"];
  std::string encoding = lower(m_headers["content-transfer-encoding"]);
  if (!encoding.empty() && encoding != "binary" && encoding != "8bit" && encoding != "7bit" && encoding != "base64") {
    throw MultipartError("the part <" + contentId + "> uses Content-Transfer-Encoding " + encoding +
                         "; only binary, 8bit, 7bit and base64 are read");
  }
  m_base64 = encoding == "base64";
  m_base64Ended = false;
  m_base64Pending.clear();
  m_inRoot = !m_rootSeen && (m_start.empty() || m_start == contentId);
  if (m_inRoot) {
    m_rootSeen = true;
    m_rootType = contentType;
    return;
  }
  SpooledPart part;
  part.contentId = contentId;
  part.contentType = contentType;
  part.path = m_spoolDirectory + "/part-" + randomHex(12);
  m_file = std::fopen(part.path.c_str(), "wb");
  if (m_file == nullptr)
    throw std::runtime_error("cannot create the spool file " + part.path + ": " + std::strerror(errno));
  m_parts.push_back(std::move(part));
}

void MultipartReader::emit(size_t length) {
  if (m_state == State::Body) {
    if (!m_base64) {
      write(m_pending.data(), length);
    } else {
      for (size_t i = 0; i < length; ++i) {
        char c = m_pending[i];
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!isBase64Char(c) || m_base64Ended) throw MultipartError("a base64 part holds text that is not base64");
        m_base64Pending += c;
      }
      size_t whole = m_base64Pending.size() / 4 * 4;
      if (whole > 0) {
        std::string bytes;
        if (!fromBase64(m_base64Pending.substr(0, whole), bytes))
          throw MultipartError("a base64 part is not valid base64");
        m_base64Ended = m_base64Pending[whole - 1] == '=';
        m_base64Pending.erase(0, whole);
        write(bytes.data(), bytes.size());
      }
    }
  } else if ((m_preambleBytes += length) > kMaxPreamble) {
    throw MultipartError("no multipart delimiter in the first 64 KiB of the body");
  }
  m_pending.erase(0, length);
}

void MultipartReader::write(const char* data, size_t length) {
  if (length == 0) return;
  if (m_inRoot) {
    if (m_root.size() + length > m_maxRootBytes) {
      throw MultipartError("the envelope part is larger than " + std::to_string(m_maxRootBytes) + " bytes", true);
    }
    m_root.append(data, length);
    return;
  }
  if (std::fwrite(data, 1, length, m_file) != length) {
    throw std::runtime_error("cannot write the spool file " + m_parts.back().path + ": " + std::strerror(errno));
  }
  m_parts.back().size += static_cast<int64_t>(length);
}

void MultipartReader::endPart() {
  if (m_base64 && !m_base64Pending.empty()) throw MultipartError("a base64 part ends in the middle of a group");
  if (m_file) {
    int rc = std::fclose(m_file);
    m_file = nullptr;
    if (rc != 0) throw std::runtime_error("cannot write the spool file " + m_parts.back().path);
  }
  m_inRoot = false;
}

}  // namespace dvlservice
