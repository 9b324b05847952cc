#include "KRNError.h"

#include <atomic>

namespace KRN {

void raiseAssert(const char* file, int line, const char* text) {
  KRNAssertError(0, text).raise(KRNFileLocation(file, line), nullptr, "KRN_THROW");
}

void raiseOutOfMemory(const KRNFileLocation& location) {
  KRNOutOfMemoryError(0, nullptr).raise(location, nullptr, "KRN_THROW");
}

void convertAllocationFailure(const KRNFileLocation& location) {
  try {
    throw;
  } catch (KRNThrowable& t) {
    t.addBackTrace(location, nullptr, "KRN_RETHROW");
    throw;
  } catch (const std::bad_alloc&) {
    KRNOutOfMemoryError(0, nullptr).raise(location, nullptr, "KRN_THROW");
  } catch (const std::exception& e) {
    KRNStdExceptionError(e).raise(location, nullptr, "KRN_THROW");
  }
}

namespace {
std::atomic<long> g_allocationsUntilFailure{0};
}

void failCheckedAllocationAfter(long k) { g_allocationsUntilFailure.store(k); }

bool checkedAllocationShouldFail() {
  if (g_allocationsUntilFailure.load(std::memory_order_relaxed) <= 0) return false;
  return g_allocationsUntilFailure.fetch_sub(1) == 1;
}

}  // namespace KRN
