#include <climits>
#include <cstring>

#include "I18NString.h"
#include "KRNError.h"
#include "KRNResetableResource.h"
#include "KRNThread.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <pthread.h>
#endif

I18NString::I18NString(const char* text, const char* encoding, int length, void*, void*) {
  if (text == nullptr) return;
  m_text.assign(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length));
}

KRNByteBuffer::KRNByteBuffer(size_t initialSize, size_t) { m_bytes.reserve(initialSize); }

void KRNByteBuffer::append(const char* data, size_t length) { m_bytes.append(data, length); }

void KRNByteBuffer::append(const char* text) { m_bytes.append(text); }

int KRNDowncastSize::int32(size_t size, const char* file, int line) {
  KRN_ASSERT_AT(size <= static_cast<size_t>(INT_MAX), file, line, "KRN_ASSERT(size <= INT_MAX);");
  return static_cast<int>(size);
}

uint64_t KRNThread::currentThreadId() {
#if defined(_WIN32)
  return GetCurrentThreadId();
#elif defined(__linux__)
  return static_cast<uint64_t>(syscall(SYS_gettid));
#else
  uint64_t id = 0;
  pthread_threadid_np(nullptr, &id);
  return id;
#endif
}

KRNResetableResource::~KRNResetableResource() {
  if (m_registered) KRNResetableResourceRegistry::getInstance().unregisterResource(this);
}

KRNResetableResourceRegistry& KRNResetableResourceRegistry::getInstance() {
  // Never destroyed: resources held in other libraries' static objects unregister themselves while
  // those libraries unload, which may be after this one's statics are gone.
  static KRNResetableResourceRegistry* registry = new KRNResetableResourceRegistry;
  return *registry;
}

void KRNResetableResourceRegistry::registerResource(KRNResetableResource* resource) {
  KRNThreadGuard guard(m_lock);
  m_resources.push_back(resource);
  resource->setRegistered(1);
}

void KRNResetableResourceRegistry::unregisterResource(KRNResetableResource* resource) {
  KRNThreadGuard guard(m_lock);
  for (auto it = m_resources.begin(); it != m_resources.end(); ++it) {
    if (*it == resource) {
      m_resources.erase(it);
      break;
    }
  }
  resource->setRegistered(0);
}

void KRNResetableResourceRegistry::resetAll() {
  KRNThreadGuard guard(m_lock);
  for (KRNResetableResource* resource : m_resources) resource->reset();
}

size_t KRNResetableResourceRegistry::size() {
  KRNThreadGuard guard(m_lock);
  return m_resources.size();
}

KRN_DEFINE_LIBRARY_ENTRY_POINT
