// delete.
#include <algorithm>
#include <set>

#include "Crypto.h"
#include "KRNThrowable.h"
#include "ObjectCodec.h"
#include "PathResolver.h"
#include "ServiceFault.h"
#include "ZEBHelper.h"
#include "ZEBSchema.h"
#include "handlers/Handlers.h"

namespace dvlservice {

ZEBWireReply deleteObjects(ServiceCore& core, Call& call) {
  call.session = requireSession(core, call.request, "delete");
  requireCapability(call.session, "canWriteContent", "delete");
  auto& request = static_cast<ZEBContentDelete_Request&>(call.request);
  const ZEBDeleteOptions* options = request.getOptions();
  auto flag = [](const bool* b) { return b != nullptr && *b; };
  bool force = options && flag(options->getForce());
  bool recursive = options && flag(options->getRecursive());
  bool faultIfReferenced = options && flag(options->getFaultIfObjectReferenced());
  const ZEBBaseClassArray* objects = request.getObjects();
  if (objects == nullptr || objects->empty()) refuse("badObject", "the delete names no object");

  auto tx = core.store->write();
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  int64_t root = tx.rootId();
  std::vector<ObjectRecord> targets;
  std::set<int64_t> chosen;
  for (size_t i = 0; i < objects->size(); ++i) {
    const ZEBBaseClass* o = objects->at(i);
    std::string path;
    if (o && o->getSearchPath() && o->getSearchPath()->getValue()) {
      path = o->getSearchPath()->getValue();
    } else if (o && o->getStoreID() && o->getStoreID()->getValue() && o->getStoreID()->getValue()->getValue()) {
      path = storeIdPath(o->getStoreID()->getValue()->getValue());
    } else {
      refuse("badObject",
             "object " + std::to_string(i + 1) + " of the delete carries neither a searchPath nor a storeID");
    }
    Selection selection = resolver.select(path);
    if (selection.session) refuse("badObject", "the session (~~) cannot be deleted");
    if (selection.objects.empty() && !force) refuse("notFound", "'" + path + "' selects no object to delete");
    for (ObjectRecord& target : selection.objects) {
      bool structural = target.id == root || (target.parent == root && (target.name == PathResolver::kContentFolder ||
                                                                        target.name == PathResolver::kAccountsFolder));
      if (structural)
        refuse("protectedObject", resolver.canonicalPath(target) + " belongs to the store and cannot be deleted");
      if (chosen.insert(target.id).second) targets.push_back(std::move(target));
    }
  }

  std::set<int64_t> doomed;
  for (const ObjectRecord& target : targets) {
    doomed.insert(target.id);
    std::vector<ObjectRecord> below = tx.descendants(target.id);
    if (!below.empty() && !recursive) {
      refuse("hasChildren", resolver.canonicalPath(target) + " holds objects; delete it with the recursive option");
    }
    for (const ObjectRecord& b : below) doomed.insert(b.id);
  }
  if (faultIfReferenced) {
    for (const std::string& property : referenceProperties()) {
      for (const auto& [holder, item] : tx.propertyItems(property)) {
        if (doomed.count(holder) || item.values.empty()) continue;
        auto target = resolver.trySelectOne(item.values.front());
        if (target && doomed.count(target->id)) {
          auto referrer = tx.object(holder);
          refuse("objectReferenced",
                 resolver.canonicalPath(*target) + " is referred to by the " + property + " of " +
                     (referrer ? resolver.canonicalPath(*referrer) : std::string("another object")));
        }
      }
    }
  }
  size_t count = 0;
  for (const ObjectRecord& target : targets) {
    if (tx.object(target.id)) count += tx.remove(target.id);  // gone already if below an earlier target
  }
  tx.commit();
  ZEBContentDelete_Reply reply;
  reply.setResult(static_cast<int>(count));
  return answer(reply, call.session.passport);
}

}  // namespace dvlservice
