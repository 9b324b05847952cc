// Text in UTF-8, and a growable byte buffer.
#pragma once

#include <cstddef>
#include <string>

#include "KRNPlatform.h"

class KRN_EXPORT I18NString {
 public:
  I18NString() = default;
  // Built from zero-terminated UTF-8 text; length -1 means "up to the terminating zero". The
  // encoding names the input's encoding; only UTF-8 (null) is accepted.
  I18NString(const char* text, const char* encoding, int length = -1, void* reserved1 = nullptr,
             void* reserved2 = nullptr);
  explicit I18NString(const char* text) : I18NString(text, nullptr) {}

  // The text as UTF-8; the arguments are reserved and must be null.
  const char* c_str(void* encoding = nullptr, void* reserved1 = nullptr, void* reserved2 = nullptr,
                    void* reserved3 = nullptr) const {
    return m_text.c_str();
  }
  size_t length() const { return m_text.size(); }
  bool empty() const { return m_text.empty(); }
  bool operator==(const I18NString& other) const { return m_text == other.m_text; }
  bool operator!=(const I18NString& other) const { return m_text != other.m_text; }

 private:
  std::string m_text;
};

// Bytes appended in chunks; str() gives them zero-terminated.
class KRN_EXPORT KRNByteBuffer {
 public:
  KRNByteBuffer(size_t initialSize = 256, size_t growBy = 256);
  void append(const char* data, size_t length);
  void append(const char* text);
  const char* str() const { return m_bytes.c_str(); }
  size_t size() const { return m_bytes.size(); }
  void reset() { m_bytes.clear(); }

 private:
  std::string m_bytes;
};

// Narrows sizes to int, reporting a size that does not fit as an assertion at the caller's location.
class KRN_EXPORT KRNDowncastSize {
 public:
  static int int32(size_t size, const char* file, int line);
};
