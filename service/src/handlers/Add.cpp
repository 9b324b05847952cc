// add and monitorAdd.
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

namespace {
const std::vector<std::string> kAddDefaults = {"defaultName", "searchPath", "storeID"};
constexpr const char* kEventsFolder = "Events";
}  // namespace

// ---------------------------------------------------------------- adds and deletes

static ObjectRecord storeObject(ServiceCore& core, ContentStore::Transaction& tx, PathResolver& resolver,
                                const ObjectRecord& parent, NewObject object, ZEBUpdateActionEnum::Enum action) {
  if (object.name.empty()) object.name = object.objectClass + "-" + randomHex(6);
  checkedName(object.name);
  if (auto existing = tx.child(parent.id, object.name)) {
    std::string where = "'" + object.name + "' in " + resolver.canonicalPath(parent);
    if (action == ZEBUpdateActionEnum::fail) refuse("nameExists", "an object named " + where + " already exists");
    if (existing->objectClass != object.objectClass) {
      refuse("nameExists", "the object named " + where + " is a " + existing->objectClass + "; an " +
                               (action == ZEBUpdateActionEnum::replace ? "replace" : "update") + " cannot make it a " +
                               object.objectClass);
    }
    tx.update(existing->id, object, action == ZEBUpdateActionEnum::replace);
    return *tx.object(existing->id);
  }
  return tx.insert(parent.id, object);
}

ZEBWireReply add(ServiceCore& core, Call& call) {
  call.session = requireSession(core, call.request, "add");
  requireCapability(call.session, "canWriteContent", "add");
  auto& request = static_cast<ZEBContentAdd_Request&>(call.request);
  const ZEBAddOptions* options = request.getOptions();
  ZEBUpdateActionEnum::Enum action = ZEBUpdateActionEnum::fail;
  if (options && options->getUpdateAction() && options->getUpdateAction()->isSet()) {
    action = options->getUpdateAction()->getValue();
  }
  std::vector<std::string> returned = propertyNames(options ? &options->getReturnProperties() : nullptr, kAddDefaults);
  DocumentEncoding encoding = encodingOf(options ? options->getDataEncoding() : nullptr);

  const ZEBBaseClassArray* objects = request.getObjects();
  if (objects == nullptr || objects->empty()) refuse("badObject", "the add carries no object");
  // Documents are copied in before the store is held, so that a large one does not stop others.
  AddDecoder decoder(*core.store, call.wire.attachments, encoding, core.options.maxDocumentBytes);
  std::vector<AddDecoder::Decoded> decoded;
  for (size_t i = 0; i < objects->size(); ++i) {
    if (objects->at(i) == nullptr) refuse("badObject", "object " + std::to_string(i + 1) + " of the add is empty");
    decoded.push_back(decoder.decode(*objects->at(i)));
  }

  ZEBContentAdd_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  std::vector<ZEBReceivedAttachment> attachments;
  auto tx = core.store->write();
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  const ZEBSearchPathSingleObject* parentPath = request.getParentPath();
  ObjectRecord parent = parentPath && parentPath->getValue() ? resolver.selectOne(parentPath->getValue(), "parentPath")
                                                             : contentFolder(tx);
  std::vector<ObjectRecord> added;
  for (AddDecoder::Decoded& d : decoded) {
    ObjectRecord where =
        d.ownPath.empty() ? parent : resolver.selectOne(d.ownPath, "the searchPath of an added object");
    added.push_back(storeObject(core, tx, resolver, where, std::move(d.object), action));
  }
  EncodeSettings settings;
  settings.encoding = encoding;
  settings.maxInlineBytes = core.options.maxInlineDocumentBytes;
  ReplyEncoder encoder(tx, resolver, registry, settings, attachments);
  ZEBBaseClassArray& result = *reply.getResult(&registry);
  for (const ObjectRecord& o : added) result.push_back(encoder.encode(o, returned));
  tx.commit();
  return answer(reply, call.session.passport, std::move(attachments));
}

// The monitor files the objects under /content/Events/<eventID>, made on first use, and answers
// complete at once.
ZEBWireReply monitorAdd(ServiceCore& core, Call& call) {
  call.session = requireSession(core, call.request, "monitorAdd");
  requireCapability(call.session, "canUseMonitor", "monitorAdd");
  auto& request = static_cast<ZEBMonitorAdd_Request&>(call.request);
  std::string eventId = request.getEventID() ? request.getEventID() : "";
  if (eventId.empty()) refuse("badObject", "monitorAdd needs an eventID");
  checkedName(eventId);
  const ZEBBaseClassArray* objects = request.getObjects();
  if (objects == nullptr || objects->empty()) refuse("badObject", "the monitorAdd carries no object");
  AddDecoder decoder(*core.store, call.wire.attachments, DocumentEncoding::Base64, core.options.maxDocumentBytes);
  std::vector<AddDecoder::Decoded> decoded;
  for (size_t i = 0; i < objects->size(); ++i) {
    if (objects->at(i) == nullptr) refuse("badObject", "object " + std::to_string(i + 1) + " of the add is empty");
    decoded.push_back(decoder.decode(*objects->at(i)));
  }
  {
    auto tx = core.store->write();
    PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
    ObjectRecord event = folder(tx, folder(tx, contentFolder(tx), kEventsFolder), eventId);
    for (AddDecoder::Decoded& d : decoded)
      storeObject(core, tx, resolver, event, std::move(d.object), ZEBUpdateActionEnum::fail);
    tx.commit();
  }
  ZEBMonitorAdd_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  auto* status = made<ZEBAsynchReplyStatusEnum>(registry);
  status->setValue(ZEBAsynchReplyStatusEnum::complete);
  reply.getResult(&registry)->setStatus(status);
  return answer(reply, call.session.passport);
}

}  // namespace dvlservice
