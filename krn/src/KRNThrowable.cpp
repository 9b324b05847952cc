#include "KRNThrowable.h"

#include <typeinfo>

KRNThrowable::KRNThrowable(std::string message) : m_message(std::move(message)) {}

KRNThrowable::~KRNThrowable() = default;

void KRNThrowable::addBackTrace(const KRNFileLocation& location, const char* function, const char* macro) {
  m_backTrace.push_back({location, function ? function : "", macro ? macro : ""});
}

void KRNThrowable::raise(const KRNFileLocation& location, const char* function, const char* macro) {
  addBackTrace(location, function, macro);
  throw *this;
}

std::string KRNThrowable::toString() const {
  std::string out = getTypeName();
  if (!m_message.empty()) out += ": " + m_message;
  for (const KRNBackTraceEntry& entry : m_backTrace) {
    out += "\n  at ";
    out += entry.location.getFile();
    out += ':' + std::to_string(entry.location.getLine());
    if (!entry.function.empty()) out += " in " + entry.function;
    out += " (" + entry.macro + ")";
  }
  return out;
}

KRNAssertError::KRNAssertError(int code, const char* text)
    : KRNThrowable(text ? std::string("assertion failed: ") + text : "assertion failed"),
      m_code(code),
      m_text(text ? text : "") {}

KRNOutOfMemoryError::KRNOutOfMemoryError(int, const char* text)
    : KRNThrowable(text ? text : "out of memory") {}

KRNStdExceptionError::KRNStdExceptionError(const std::exception& e)
    : KRNThrowable(std::string(typeid(e).name()) + ": " + e.what()), m_originalWhat(e.what()) {}
