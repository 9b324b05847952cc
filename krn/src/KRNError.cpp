#include "KRNError.h"
#include "KRNAllocationHooks.h"

#include <libxml/xmlmemory.h>

#include <mutex>

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
// Asked on every allocation of the library and of libcurl. The initial-exec model reaches them
// without a __tls_get_addr call per access (about 1,200 instructions of a small call); the library
// is loaded with the program, or by dlopen into the static TLS room glibc keeps for that.
#define KRN_HOT_TLS thread_local __attribute__((tls_model("initial-exec")))
KRN_HOT_TLS long t_allocationsUntilFailure = 0;
KRN_HOT_TLS long t_attemptedAllocations = 0;
KRN_HOT_TLS long t_failedAllocations = 0;
#undef KRN_HOT_TLS
}  // namespace

void failCheckedAllocationAfter(long k) { t_allocationsUntilFailure = k; }

bool checkedAllocationShouldFail() {
  ++t_attemptedAllocations;
  if (t_allocationsUntilFailure <= 0 || --t_allocationsUntilFailure > 0) return false;
  ++t_failedAllocations;
  return true;
}

long attemptedAllocations() { return t_attemptedAllocations; }
long failedAllocations() { return t_failedAllocations; }
void noteFailedAllocation() { ++t_failedAllocations; }

// libxml2's allocator, wrapped: each call may be failed by the test hook, and every failure is
// counted. The wrapped functions are the ones installed before, so memory libxml2 allocated
// earlier is still freed by the allocator that made it.
namespace {
xmlFreeFunc g_xmlFree;
xmlMallocFunc g_xmlMalloc;
xmlReallocFunc g_xmlRealloc;
xmlStrdupFunc g_xmlStrdup;

template <class T>
T* counted(T* result) {
  if (result == nullptr) noteFailedAllocation();
  return result;
}

void* xmlMallocHook(size_t size) { return checkedAllocationShouldFail() ? nullptr : counted(g_xmlMalloc(size)); }
void* xmlReallocHook(void* block, size_t size) {
  return checkedAllocationShouldFail() ? nullptr : counted(g_xmlRealloc(block, size));
}
char* xmlStrdupHook(const char* text) { return checkedAllocationShouldFail() ? nullptr : counted(g_xmlStrdup(text)); }
void xmlFreeHook(void* block) { g_xmlFree(block); }
}  // namespace

void hookXmlAllocations() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlMemGet(&g_xmlFree, &g_xmlMalloc, &g_xmlRealloc, &g_xmlStrdup);
    xmlMemSetup(xmlFreeHook, xmlMallocHook, xmlReallocHook, xmlStrdupHook);
  });
}

}  // namespace KRN
