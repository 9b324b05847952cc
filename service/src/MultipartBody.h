// Reads multipart/related request bodies (SOAP with Attachments) as they arrive: the root part (the
// envelope) stays in memory, every other part goes to a spool file, so a large document is never
// held whole in memory. It accepts what ZEBMime accepts (docs/wire-format.md); ZEBMime itself reads
// whole bodies in memory, which suits replies but not uploads of any size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace dvlservice {

class MultipartError : public std::runtime_error {
 public:
  MultipartError(const std::string& what, bool tooLarge = false) : std::runtime_error(what), m_tooLarge(tooLarge) {}
  bool isTooLarge() const { return m_tooLarge; }

 private:
  bool m_tooLarge;
};

// A Content-ID without its angle brackets.
std::string bareContentId(const std::string& contentId);

struct SpooledPart {
  std::string contentId;
  std::string contentType;
  std::string path;
  int64_t size = 0;
};

class MultipartReader {
 public:
  // boundary and start (the root part's Content-ID; empty: the first part) come from the body's
  // Content-Type. Spool files go to spoolDirectory and are removed with the reader.
  MultipartReader(std::string boundary, std::string start, std::string spoolDirectory, size_t maxRootBytes);
  ~MultipartReader();
  MultipartReader(const MultipartReader&) = delete;
  MultipartReader& operator=(const MultipartReader&) = delete;

  // Takes the next bytes of the body; raises MultipartError for a body that is not multipart or
  // whose root part is larger than allowed.
  void feed(const char* data, size_t length);
  // The body has ended; raises MultipartError unless it ended with the closing delimiter and held
  // the root part.
  void finish();

  const std::string& root() const { return m_root; }
  const std::string& rootContentType() const { return m_rootType; }
  const std::vector<SpooledPart>& attachments() const { return m_parts; }

 private:
  enum class State { Preamble, Headers, Body, Done };
  void process();
  bool scanForDelimiter();  // false: more bytes are needed
  bool readHeaderLine();    // false: more bytes are needed
  void beginPart();
  void emit(size_t length);
  void write(const char* data, size_t length);
  void endPart();

  std::string m_dashBoundary;  // "\n--" and the boundary
  std::string m_start;
  std::string m_spoolDirectory;
  size_t m_maxRootBytes;
  State m_state = State::Preamble;
  std::string m_pending;
  std::map<std::string, std::string> m_headers;
  std::string m_lastHeader;
  size_t m_headerBytes = 0;
  size_t m_preambleBytes = 0;
  bool m_inRoot = false;
  bool m_rootSeen = false;
  bool m_base64 = false;
  bool m_base64Ended = false;
  std::string m_base64Pending;
  std::FILE* m_file = nullptr;
  std::string m_root, m_rootType;
  std::vector<SpooledPart> m_parts;
};

}  // namespace dvlservice
