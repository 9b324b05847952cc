/// \file
/// Text in UTF-8, and a growable byte buffer.
#pragma once

#include <cstddef>
#include <string>

#include "KRNPlatform.h"

/// A UTF-8 text.
class KRN_EXPORT I18NString {
 public:
  I18NString() = default;
  /// Built from zero-terminated UTF-8 text; length -1 means "up to the terminating zero". The
  /// encoding names the input's encoding; only UTF-8 (null) is accepted.
  I18NString(const char* text, const char* encoding, int length = -1, void* reserved1 = nullptr,
             void* reserved2 = nullptr);
  /// Built from zero-terminated UTF-8 text.
  explicit I18NString(const char* text) : I18NString(text, nullptr) {}

  /// The text as UTF-8; the arguments are reserved and must be null.
  const char* c_str(void* /*encoding*/ = nullptr, void* /*reserved1*/ = nullptr, void* /*reserved2*/ = nullptr,
                    void* /*reserved3*/ = nullptr) const {
    return m_text.c_str();
  }
  /// Length in bytes.
  size_t length() const { return m_text.size(); }
  /// True for the empty text.
  bool empty() const { return m_text.empty(); }
  /// Byte-wise equality.
  bool operator==(const I18NString& other) const { return m_text == other.m_text; }
  /// Byte-wise inequality.
  bool operator!=(const I18NString& other) const { return m_text != other.m_text; }

 private:
  std::string m_text;
};

/// Bytes appended in chunks; str() gives them zero-terminated.
class KRN_EXPORT KRNByteBuffer {
 public:
  /// An empty buffer; the sizes are hints.
  KRNByteBuffer(size_t initialSize = 256, size_t growBy = 256);
  /// Appends length bytes of data.
  void append(const char* data, size_t length);
  /// Appends a null-terminated text.
  void append(const char* text);
  /// The bytes, null-terminated.
  const char* str() const { return m_bytes.c_str(); }
  /// Number of bytes held.
  size_t size() const { return m_bytes.size(); }
  /// Empties the buffer.
  void reset() { m_bytes.clear(); }

 private:
  std::string m_bytes;
};

/// Narrows sizes to int, reporting a size that does not fit as an assertion at the caller's location.
class KRN_EXPORT KRNDowncastSize {
 public:
  /// size as an int; file and line name the caller.
  static int int32(size_t size, const char* file, int line);
};
