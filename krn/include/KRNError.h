/// \file
/// The three error conventions used throughout DVL: the assertion, the checked allocation and the
/// rethrow with one back-trace entry. Each takes its source location as data.
#pragma once

#include <new>
#include <type_traits>
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

/// Allocation failures, counted per thread. Our checked allocations and the allocations libxml2 and
/// libcurl make through the hooks below all pass checkedAllocationShouldFail(), so one test hook can
/// fail any of them: failCheckedAllocationAfter(k) makes the k-th from now on (1-based) on the calling
/// thread fail; 0 disarms it. failedAllocations() lets a caller that sees a C library's error tell
/// whether memory ran out underneath, so it can report KRNOutOfMemoryError instead.
KRN_EXPORT void failCheckedAllocationAfter(long k);
/// True when the allocation being made should fail (allocation-failure tests).
KRN_EXPORT bool checkedAllocationShouldFail();
KRN_EXPORT long attemptedAllocations();  ///< on this thread, by the hooked allocators and checked news
KRN_EXPORT long failedAllocations();     ///< on this thread, injected or real
/// Records on this thread that an allocation failed.
KRN_EXPORT void noteFailedAllocation();

/// Routes libxml2's allocator through the hook, chained to whatever allocator was installed before.
/// Called before libxml2 is first used; later calls do nothing.
KRN_EXPORT void hookXmlAllocations();

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

/// Runs body on behalf of a C library that allocates through the hooks above: if an allocation
/// failed on this thread meanwhile, raises KRNOutOfMemoryError at the location in place of whatever
/// body raised or returned. libxml2 and libcurl report running out of memory as whatever step they
/// were at (a write error, a malformed document, a transfer error), or not at all (libxml2 drops a
/// text it cannot store and parses on).
template <class Body>
decltype(auto) KRNWatchingAllocations(const char* file, int line, Body&& body) {
  const long failedBefore = KRN::failedAllocations();
  auto check = [&] {
    if (KRN::failedAllocations() != failedBefore) KRN::raiseOutOfMemory(KRNFileLocation(file, line));
  };
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
      body();
      check();
    } else {
      auto result = body();
      check();
      return result;
    }
  } catch (const KRNOutOfMemoryError&) {
    throw;
  } catch (const KRNThrowable&) {
    check();
    throw;
  }
}
