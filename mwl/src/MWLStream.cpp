#include "MWLStream.h"

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "KRNThrowable.h"

namespace {

[[noreturn]] void raiseFileError(const char* what, const std::string& path, int error) {
  KRNRuntimeError(std::string(what) + " '" + path + "': " + std::strerror(error))
      .raise(KRNFileLocation("MWLStream", 0), nullptr, "KRN_THROW");
}

void writeAll(std::FILE* file, const char* data, size_t length, const std::string& name) {
  if (length == 0) return;
  if (std::fwrite(data, 1, length, file) != length) raiseFileError("cannot write", name, errno ? errno : EIO);
}

}  // namespace

std::string MWLInputStream::readAll() {
  std::string out;
  char buffer[65536];
  for (size_t n; (n = read(buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  return out;
}

MWLFileInputStream::MWLFileInputStream(const char* path) : m_path(path ? path : "") {
  m_file = std::fopen(m_path.c_str(), "rb");
  if (m_file == nullptr) raiseFileError("cannot open", m_path, errno);
}

MWLFileInputStream::~MWLFileInputStream() { std::fclose(m_file); }

size_t MWLFileInputStream::read(char* buffer, size_t length) {
  size_t n = std::fread(buffer, 1, length, m_file);
  if (n == 0 && std::ferror(m_file)) raiseFileError("cannot read", m_path, errno ? errno : EIO);
  return n;
}

MWLFileOutputStream::MWLFileOutputStream(const char* path, bool append) : m_path(path ? path : "") {
  m_file = std::fopen(m_path.c_str(), append ? "ab" : "wb");
  if (m_file == nullptr) raiseFileError("cannot create", m_path, errno);
}

MWLFileOutputStream::~MWLFileOutputStream() {
  if (m_file) std::fclose(m_file);
}

void MWLFileOutputStream::write(const char* data, size_t length) {
  if (m_file == nullptr) raiseFileError("cannot write", m_path, EBADF);
  writeAll(m_file, data, length, m_path);
}

void MWLFileOutputStream::flush() {
  if (m_file && std::fflush(m_file) != 0) raiseFileError("cannot write", m_path, errno);
}

void MWLFileOutputStream::close() {
  if (m_file == nullptr) return;
  std::FILE* file = m_file;
  m_file = nullptr;
  if (std::fclose(file) != 0) raiseFileError("cannot write", m_path, errno);
}

MWLMemoryOutputStream::MWLMemoryOutputStream(int initialSize, int growBy)
    : m_growBy(growBy > 0 ? static_cast<size_t>(growBy) : 4096) {
  if (initialSize > 0) m_bytes.reserve(static_cast<size_t>(initialSize));
}

void MWLMemoryOutputStream::write(const char* data, size_t length) {
  if (m_bytes.size() + length > m_bytes.capacity()) {
    // Grow by at least the configured step, and geometrically so that large dumps stay linear.
    m_bytes.reserve(std::max(m_bytes.size() + length, m_bytes.capacity() + std::max(m_growBy, m_bytes.capacity() / 2)));
  }
  m_bytes.append(data, length);
}

size_t MWLMemoryInputStream::read(char* buffer, size_t length) {
  size_t n = std::min(length, m_left);
  std::memcpy(buffer, m_data, n);
  m_data += n;
  m_left -= n;
  return n;
}

void MWLStandardOutputStream::write(const char* data, size_t length) {
  writeAll(m_file, data, length, m_file == stderr ? "standard error" : "standard output");
}

void MWLStandardOutputStream::flush() { std::fflush(m_file); }

KRN_DEFINE_LIBRARY_ENTRY_POINT
