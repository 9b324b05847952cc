/// \file
/// The three error conventions used throughout DVL: the assertion, the checked allocation and the
/// rethrow with one back-trace entry. Each takes its source location as data.
#pragma once

#include <new>
#include <utility>

#include "KRNThrowable.h"

namespace KRN {

/// Raises KRNAssertError(0, text) at the location with the macro text "KRN_THROW".
[[noreturn]] KRN_EXPORT void raiseAssert(const char* file, int line, const char* text);

/// Raises KRNOutOfMemoryError(0, null) at the location with "KRN_THROW".
[[noreturn]] KRN_EXPORT void raiseOutOfMemory(const KRNFileLocation& location);

/// Converts the exception in flight for a checked allocation: a KRNThrowable gets a "KRN_RETHROW"
/// entry and is rethrown; std::bad_alloc becomes KRNOutOfMemoryError, another std::exception
/// KRNStdExceptionError, each raised with "KRN_THROW". Call only inside a catch block.
[[noreturn]] KRN_EXPORT void convertAllocationFailure(const KRNFileLocation& location);

/// True when the checked allocation at hand must fail (a test's injected failure; see the internal
/// allocation hooks). Used by KRNCheckedNew.
KRN_EXPORT bool checkedAllocationShouldFail();

}  // namespace KRN

/// The assertion: "text" is the check as written, with its semicolon.
#define KRN_ASSERT_AT(condition, file, line, text)                  \
  do {                                                              \
    if (!(condition)) KRN::raiseAssert((file), (line), (text));     \
  } while (0)

/// The checked allocation: new T(args...) at a file and line, with the conversions above.
template <class T, class... Args>
T* KRNCheckedNew(const char* file, int line, Args&&... args) {
  KRNFileLocation location(file, line);
  T* object = nullptr;
  try {
    object = KRN::checkedAllocationShouldFail() ? nullptr : new T(std::forward<Args>(args)...);
  } catch (...) {
    KRN::convertAllocationFailure(location);
  }
  // No object: raised once, with "KRN_THROW" only; the conversions above are for what the
  // allocation or the constructor threw.
  if (object == nullptr) KRN::raiseOutOfMemory(location);
  return object;
}

/// The rethrow with back-trace: runs body; a KRNThrowable leaving it gets one entry and is rethrown.
template <class Body>
decltype(auto) KRNRethrowing(const char* file, int line, const char* function, Body&& body) {
  try {
    return body();
  } catch (KRNThrowable& t) {
    t.addBackTrace(KRNFileLocation(file, line), function, "KRN_RETHROW");
    throw;
  }
}
