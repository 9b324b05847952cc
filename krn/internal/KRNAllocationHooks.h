// Allocation failures for tests, and the watch that turns a C library's silent out-of-memory into
// KRNOutOfMemoryError. Used inside the toolkit and by the test suites; not installed.
#pragma once

#include <type_traits>

#include "KRNError.h"

namespace KRN {

// Allocation failures, counted per thread. Our checked allocations and the allocations libxml2 and
// libcurl make through the hooks below all pass checkedAllocationShouldFail(), so one test hook can
// fail any of them: failCheckedAllocationAfter(k) makes the k-th from now on (1-based) on the calling
// thread fail; 0 disarms it. failedAllocations() lets a caller that sees a C library's error tell
// whether memory ran out underneath, so it can report KRNOutOfMemoryError instead.
KRN_EXPORT void failCheckedAllocationAfter(long k);
KRN_EXPORT long attemptedAllocations();  // on this thread, by the hooked allocators and checked news
KRN_EXPORT long failedAllocations();     // on this thread, injected or real
KRN_EXPORT void noteFailedAllocation();

// Routes libxml2's allocator through the hook, chained to whatever allocator was installed before.
// Called before libxml2 is first used; later calls do nothing.
KRN_EXPORT void hookXmlAllocations();

}  // namespace KRN

// Runs body on behalf of a C library that allocates through the hooks above: if an allocation
// failed on this thread meanwhile, raises KRNOutOfMemoryError at the location in place of whatever
// body raised or returned. libxml2 and libcurl report running out of memory as whatever step they
// were at (a write error, a malformed document, a transfer error), or not at all (libxml2 drops a
// text it cannot store and parses on).
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
