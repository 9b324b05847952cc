#include "ContentStore.h"

#include "ZEBSession.h"

namespace dvlservice {

bool ContentStore::isPostgres(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

ContentStore::ContentStore(const std::string& location)
    : m_location(location), m_backend(isPostgres(location) ? openPostgresStore(location) : openSqliteStore(location)) {}

ContentStore::~ContentStore() = default;

StagedDocument ContentStore::stage(ZEBDocumentOutputI& source, const std::string& contentType, int64_t maxBytes) {
  return m_backend->stage(source, contentType, maxBytes);
}

StagedDocument ContentStore::stage(const std::string& bytes, const std::string& contentType) {
  ZEBMemoryDocumentOutput source(bytes.data(), bytes.size());
  return stage(source, contentType);
}

bool ContentStore::ping() {
  try {
    read().rootId();
    return true;
  } catch (const StoreError&) {
    return false;
  }
}

}  // namespace dvlservice
