/// \file
/// Byte streams: the targets of reply dumps and the sources and sinks of recorded message files.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "KRNPlatform.h"

#ifdef mwl_EXPORTS
#define MWL_EXPORT KRN_DECL_EXPORT
#else
#define MWL_EXPORT KRN_DECL_IMPORT
#endif

/// A source of bytes.
class MWL_EXPORT MWLInputStream {
 public:
  virtual ~MWLInputStream() = default;
  /// Reads up to length bytes; returns how many, 0 only at the end of the stream.
  virtual size_t read(char* buffer, size_t length) = 0;
  /// Reads everything that is left.
  std::string readAll();
};

/// A sink of bytes.
class MWL_EXPORT MWLOutputStream {
 public:
  virtual ~MWLOutputStream() = default;
  /// Writes all length bytes or raises KRNRuntimeError.
  virtual void write(const char* data, size_t length) = 0;
  /// Hands buffered bytes on; does nothing by default.
  virtual void flush() {}
  /// Writes the bytes of text.
  void write(const std::string& text) { write(text.data(), text.size()); }
};

/// Reads a file.
class MWL_EXPORT MWLFileInputStream : public MWLInputStream {
 public:
  /// Opens the file; a missing or unreadable file raises KRNRuntimeError naming the path and reason.
  explicit MWLFileInputStream(const char* path);
  ~MWLFileInputStream() override;
  size_t read(char* buffer, size_t length) override;
  /// The file's path.
  const std::string& getPath() const { return m_path; }

 private:
  std::string m_path;
  std::FILE* m_file;
};

/// Writes a file.
class MWL_EXPORT MWLFileOutputStream : public MWLOutputStream {
 public:
  /// Creates or truncates the file (append = true keeps its content and writes at its end).
  explicit MWLFileOutputStream(const char* path, bool append = false);
  ~MWLFileOutputStream() override;
  /// Writes the bytes of a text too.
  using MWLOutputStream::write;
  void write(const char* data, size_t length) override;
  void flush() override;
  /// Flushes and closes; errors on the way raise. The destructor closes silently.
  void close();

 private:
  std::string m_path;
  std::FILE* m_file;
};

/// Bytes kept in memory. The first argument is the initial capacity, the second how much it grows by.
class MWL_EXPORT MWLMemoryOutputStream : public MWLOutputStream {
 public:
  /// An empty stream; the sizes are hints.
  MWLMemoryOutputStream(int initialSize = 4096, int growBy = 4096);
  /// Writes the bytes of a text too.
  using MWLOutputStream::write;
  void write(const char* data, size_t length) override;
  /// What was written.
  const std::string& str() const { return m_bytes; }
  /// The bytes written.
  const char* data() const { return m_bytes.data(); }
  /// Number of bytes written.
  size_t size() const { return m_bytes.size(); }
  /// Forgets what was written.
  void reset() { m_bytes.clear(); }

 private:
  size_t m_growBy;
  std::string m_bytes;
};

/// Reads from bytes in memory (not copied: they must outlive the stream).
class MWL_EXPORT MWLMemoryInputStream : public MWLInputStream {
 public:
  /// Reads length bytes at data, which must outlive the stream.
  MWLMemoryInputStream(const char* data, size_t length) : m_data(data), m_left(length) {}
  size_t read(char* buffer, size_t length) override;

 private:
  const char* m_data;
  size_t m_left;
};

/// The process's standard output and error streams.
class MWL_EXPORT MWLStandardOutputStream : public MWLOutputStream {
 public:
  /// Standard output, or standard error when error is true.
  explicit MWLStandardOutputStream(bool error = false) : m_file(error ? stderr : stdout) {}
  /// Writes the bytes of a text too.
  using MWLOutputStream::write;
  void write(const char* data, size_t length) override;
  void flush() override;

 private:
  std::FILE* m_file;
};
