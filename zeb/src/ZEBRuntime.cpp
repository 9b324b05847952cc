// Toolkit lifecycle, errors, port types and bindings.
#include <curl/curl.h>
#include <libxml/parser.h>

#include <atomic>
#include <exception>
#include <cstdlib>
#include <cstring>

#include "KRNError.h"
#include "ZEB.h"
#include "ZEBErrors.h"
#include "ZEBPortType.h"
#include "ZEBSchema.h"
#include "KRNAllocationHooks.h"

namespace {
std::atomic<int> g_initializeCalls{0};
std::atomic<int> g_terminateCalls{0};
std::atomic<int (*)(bool)> g_lifecycleHook{nullptr};
}  // namespace

// libcurl's allocator, wrapped like libxml2's (KRN::hookXmlAllocations): a failure, injected by the
// test hook or real, is counted so that the session reports it as running out of memory. They take
// effect only if this is the process's first curl_global_init; otherwise libcurl keeps its own.
namespace {
template <class T>
T* counted(T* result) {
  if (result == nullptr) KRN::noteFailedAllocation();
  return result;
}
void* curlMalloc(size_t size) { return KRN::checkedAllocationShouldFail() ? nullptr : counted(std::malloc(size)); }
void* curlRealloc(void* block, size_t size) {
  return KRN::checkedAllocationShouldFail() ? nullptr : counted(std::realloc(block, size));
}
void* curlCalloc(size_t count, size_t size) {
  return KRN::checkedAllocationShouldFail() ? nullptr : counted(std::calloc(count, size));
}
char* curlStrdup(const char* text) { return KRN::checkedAllocationShouldFail() ? nullptr : counted(::strdup(text)); }
void curlFree(void* block) { std::free(block); }
}  // namespace

int ZEB::initialize() {
  ++g_initializeCalls;
  if (auto hook = g_lifecycleHook.load()) return hook(true);
  KRN::hookXmlAllocations();
  xmlInitParser();
  CURLcode rc = curl_global_init_mem(CURL_GLOBAL_DEFAULT, curlMalloc, curlFree, curlRealloc, curlStrdup, curlCalloc);
  if (rc != CURLE_OK) {
    KRNRuntimeError(std::string("cannot initialise libcurl: ") + curl_easy_strerror(rc))
        .raise(KRNFileLocation("ZEB", 1), "ZEB::initialize", "KRN_THROW");
  }
  return 1;
}

int ZEB::terminate() {
  ++g_terminateCalls;
  if (auto hook = g_lifecycleHook.load()) return hook(false);
  curl_global_cleanup();
  // libxml2's own clean-up is left to process exit: another library of the process may still use it.
  return 1;
}

int ZEB::getInitializeCalls() { return g_initializeCalls.load(); }
int ZEB::getTerminateCalls() { return g_terminateCalls.load(); }
void ZEB::setLifecycleHook(int (*hook)(bool)) { g_lifecycleHook.store(hook); }

ZEBSOAPFault::ZEBSOAPFault(std::string faultCode, std::string faultString, std::string detail, std::string rawReply)
    : KRNThrowable("SOAP fault " + faultCode + ": " + faultString),
      m_faultCode(std::move(faultCode)),
      m_faultString(std::move(faultString)),
      m_detail(std::move(detail)),
      m_rawReply(std::move(rawReply)) {}

ZEBTransportError::ZEBTransportError(std::string endpoint, std::string phase, std::string reason, int httpStatus)
    : KRNThrowable(endpoint + ": " + phase + " failed: " + reason),
      m_endpoint(std::move(endpoint)),
      m_phase(std::move(phase)),
      m_reason(std::move(reason)),
      m_httpStatus(httpStatus) {}

void ZEBRaise(KRNThrowable& error, const char* file) {
  error.raise(KRNFileLocation(file, 0), nullptr, "KRN_THROW");
  std::terminate();  // raise() never returns
}

ZEBPortTypeBinding::ZEBPortTypeBinding(const char* port, ZEBMessageI& request, ZEBMessageI& reply)
    : m_port(port), m_request(request), m_reply(reply) {}

const char* ZEBPortTypeBinding::getOperation() const { return m_request.getTypeInfo().operation; }

std::string ZEBPortTypeBinding::getSOAPAction() const { return std::string(ZEB_SCHEMA_NAMESPACE) + getOperation(); }

ZEBPortTypeBinding* ZEBPortType::createBinding(ZEBMessageI& request, ZEBMessageI& reply) {
  const ZEBTypeInfo& in = request.getTypeInfo();
  const ZEBTypeInfo& out = reply.getTypeInfo();
  KRN_ASSERT_AT(in.kind == ZEBTypeKind::Request && out.kind == ZEBTypeKind::Reply &&
                    std::strcmp(in.operation, out.operation) == 0,
                "ZEBPortType", 1, "KRN_ASSERT(request and reply of one operation);");
  KRN_ASSERT_AT(std::strcmp(in.port, m_name) == 0, "ZEBPortType", 2, "KRN_ASSERT(operation of this port);");
  return new ZEBPortTypeBinding(m_name, request, reply);
}

#define ZEB_DEFINE_PORT_TYPE(Class, Name)   \
  Class::Class() : ZEBPortType(Name) {}     \
  Class& Class::getInstance() {             \
    static Class instance;                  \
    return instance;                        \
  }

ZEB_DEFINE_PORT_TYPE(ZEBContentManagerServicePortType, "ContentManagerService")
ZEB_DEFINE_PORT_TYPE(ZEBMonitorServicePortType, "MonitorService")
ZEB_DEFINE_PORT_TYPE(ZEBContentManagerCacheServicePortType, "ContentManagerCacheService")
ZEB_DEFINE_PORT_TYPE(ZEBSaAXMServicePortType, "SaAXMService")

KRN_DEFINE_LIBRARY_ENTRY_POINT
