// What the handlers share.
#include <algorithm>
#include <set>

#include "Crypto.h"
#include "KRNThrowable.h"
#include "ObjectCodec.h"
#include "PathResolver.h"
#include "ServiceFault.h"
#include "ZEBHelper.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"
#include "handlers/Handlers.h"

namespace dvlservice {

namespace {
constexpr size_t kMaxNameBytes = 1024;
}  // namespace

std::vector<std::string> propertyNames(const ZEBPropEnumArray* properties, const std::vector<std::string>& defaults) {
  std::vector<std::string> names;
  if (properties) {
    for (size_t i = 0; i < properties->size(); ++i) {
      const ZEBPropEnum* p = properties->at(i);
      const char* name = p ? p->getName() : nullptr;
      if (name && std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
    }
  }
  return names.empty() ? defaults : names;
}

std::string checkedName(const std::string& name) {
  if (name.size() > kMaxNameBytes) refuse("badObject", "a name is longer than 1024 bytes");
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) refuse("badObject", "the name '" + name + "' holds a control character");
  }
  return name;
}

const char* capabilityFor(const std::string& permission) {
  if (permission == "read" || permission == "traverse" || permission == "execute") return "canReadContent";
  if (permission == "write") return "canWriteContent";
  if (permission == "setPolicy") return "canAdministerStore";
  refuse("badOption", "'" + permission + "' is not a permission (read, write, execute, traverse or setPolicy)");
}

std::string cacheValidator(ContentStore::Transaction& tx) {
  return tx.instance() + "-" + std::to_string(tx.generation());
}

ObjectRecord folder(ContentStore::Transaction& tx, const ObjectRecord& parent, const std::string& name) {
  if (auto existing = tx.child(parent.id, name)) return *existing;
  NewObject f;
  f.objectClass = "folder";
  f.name = name;
  return tx.insert(parent.id, f);
}

ObjectRecord contentFolder(ContentStore::Transaction& tx) {
  auto content = tx.child(tx.rootId(), PathResolver::kContentFolder);
  if (!content) throw StoreError("the store has no /content folder");
  return *content;
}

// /content and /accounts always exist; a new demo store also gets a few objects to look at.

ZEBWireReply answer(const ZEBMessageI& reply, const std::string& passport,
                    std::vector<ZEBReceivedAttachment> attachments) {
  ZEBWireReply out;
  if (passport.empty()) {
    out.envelope = ZEBSoap::writeEnvelope(reply, nullptr);
  } else {
    ZEBVorbHeader header;
    header.setPassport(passport.c_str());
    out.envelope = ZEBSoap::writeEnvelope(reply, &header);
  }
  out.attachments = std::move(attachments);
  return out;
}

LogonSession requireSession(ServiceCore& core, ZEBMessageI& request, const char* operation) {
  ZEBVorbHeader* header = request.getVorbHeader(nullptr);
  const char* passport = ZEBHelper::getPassport(header);
  if (passport == nullptr || *passport == '\0') {
    refuse("notLoggedOn", std::string(operation) + " needs a passport: log on first");
  }
  auto session = core.sessions->use(passport);
  if (!session) {
    refuse("invalidPassport", "the passport is not valid: it has expired, ended with a logoff, or was never issued");
  }
  return *session;
}

void requireCapability(const LogonSession& session, const char* capability, const char* operation) {
  if (!session.account.hasCapability(capability)) {
    refuse("notAllowed", std::string(operation) + " needs the capability " + capability + ", which " +
                             session.account.nameSpace + "/" + session.account.userName + " lacks");
  }
}

}  // namespace dvlservice
