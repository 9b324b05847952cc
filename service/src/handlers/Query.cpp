// query, queryMultiple, queryMultipleCache, queryCache and determineRouting.
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

const std::vector<std::string> kQueryDefaults = {"objectClass", "defaultName", "searchPath", "storeID"};
const std::vector<std::string> kCacheProperties = {"objectClass", "defaultName", "searchPath", "storeID",
                                                   "modificationTime"};

struct QuerySpec {
  std::string path;
  std::vector<std::string> properties;
  std::vector<std::pair<std::string, bool>> sortBy;  // property, descending
  const ZEBQueryOptions* options = nullptr;
};

}  // namespace

// ---------------------------------------------------------------- queries

static QuerySpec querySpec(ServiceCore& core, const char* path, const ZEBPropEnumArray* properties,
                           const ZEBSortArray* sortBy, const ZEBQueryOptions* options) {
  QuerySpec spec;
  if (path == nullptr || *path == '\0') refuse("badSearchPath", "the query names no search path");
  spec.path = path;
  spec.properties = propertyNames(properties, kQueryDefaults);
  if (sortBy) {
    for (size_t i = 0; i < sortBy->size(); ++i) {
      const ZEBSort* s = sortBy->at(i);
      const ZEBPropEnum* p = s ? s->getPropName() : nullptr;
      if (p == nullptr || p->getName() == nullptr) continue;
      bool descending =
          s->getOrder() && s->getOrder()->isSet() && s->getOrder()->getValue() == ZEBOrderEnum::descending;
      spec.sortBy.emplace_back(p->getName(), descending);
    }
  }
  spec.options = options;
  return spec;
}

static EncodeSettings encodeSettings(ServiceCore& core, const ZEBQueryOptions* options) {
  EncodeSettings settings;
  settings.maxInlineBytes = core.options.maxInlineDocumentBytes;
  if (options == nullptr) return settings;
  settings.encoding = encodingOf(options->getDataEncoding());
  if (const int* n = options->getMaxDataBytes()) settings.maxDataBytes = *n;
  if (const int* n = options->getSkipDataBytes()) settings.skipDataBytes = *n;
  const ZEBRefPropArray& refs = options->getRefProps();
  for (size_t i = 0; i < refs.size(); ++i) {
    const ZEBRefProp* r = refs.at(i);
    const ZEBPropEnum* name = r ? r->getRefPropName() : nullptr;
    if (name && name->getName()) {
      settings.refProperties[name->getName()] =
          propertyNames(&r->getProperties(), ReplyEncoder::defaultReferenceProperties());
    }
  }
  return settings;
}

static void runQuery(ServiceCore& core, ContentStore::Transaction& tx, PathResolver& resolver,
                     const LogonSession& session, const QuerySpec& spec, ZEBBaseClassArray& out,
                     ZEBObjectRegistryI& registry, std::vector<ZEBReceivedAttachment>& attachments) {
  Selection selection = resolver.select(spec.path);
  ReplyEncoder encoder(tx, resolver, registry, encodeSettings(core, spec.options), attachments);
  if (selection.session) {
    out.push_back(encoder.encodeSession(session, spec.properties));
    return;
  }
  std::vector<ObjectRecord>& objects = selection.objects;
  const char* permission = spec.options ? spec.options->getPermission() : nullptr;
  if (permission && *permission && !session.account.hasCapability(capabilityFor(permission))) objects.clear();

  if (!spec.sortBy.empty()) {
    std::vector<std::pair<std::vector<ReplyEncoder::SortValue>, size_t>> keyed;
    for (size_t i = 0; i < objects.size(); ++i) {
      std::vector<ReplyEncoder::SortValue> key;
      for (const auto& [property, descending] : spec.sortBy) key.push_back(encoder.sortValue(objects[i], property));
      keyed.emplace_back(std::move(key), i);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
      for (size_t k = 0; k < spec.sortBy.size(); ++k) {
        bool descending = spec.sortBy[k].second;
        if (a.first[k] < b.first[k]) return !descending;
        if (b.first[k] < a.first[k]) return descending;
      }
      return false;
    });
    std::vector<ObjectRecord> sorted;
    for (auto& k : keyed) sorted.push_back(std::move(objects[k.second]));
    objects = std::move(sorted);
  }

  size_t skip = 0, max = objects.size();
  if (spec.options) {
    if (const int* n = spec.options->getSkipObjects(); n && *n > 0) skip = static_cast<size_t>(*n);
    if (const int* n = spec.options->getMaxObjects(); n && *n > 0) max = static_cast<size_t>(*n);
  }
  for (size_t i = skip; i < objects.size() && i - skip < max; ++i) {
    out.push_back(encoder.encode(objects[i], spec.properties));
  }
}

ZEBWireReply query(ServiceCore& core, Call& call) {
  call.session = requireSession(core, call.request, "query");
  auto& request = static_cast<ZEBContentQuery_Request&>(call.request);
  const ZEBSearchPathMultipleObject* path = request.getSearchPath();
  QuerySpec spec = querySpec(core, path ? path->getValue() : nullptr, request.getProperties(), request.getSortBy(),
                             request.getOptions());
  ZEBContentQuery_Reply reply;
  std::vector<ZEBReceivedAttachment> attachments;
  {
    auto tx = core.store->read();
    PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
    runQuery(core, tx, resolver, call.session, spec, *reply.getResult(&reply.getObjectRegistry()),
             reply.getObjectRegistry(), attachments);
  }  // the reply holds copies of all it needs: the store is free for others while it is written
  return answer(reply, call.session.passport, std::move(attachments));
}

// The elements of a multiple query, each answered in order into one reply element of results.
static void runQueries(ServiceCore& core, Call& call, ContentStore::Transaction& tx,
                       const ZEBQueryRequestArray* requests, ZEBObjectRegistryI& registry, ZEBQueryReplyArray& results,
                       std::vector<ZEBReceivedAttachment>& attachments) {
  if (requests == nullptr) return;
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  for (size_t i = 0; i < requests->size(); ++i) {
    const ZEBQueryRequest* q = requests->at(i);
    if (q == nullptr) refuse("badSearchPath", "query " + std::to_string(i + 1) + " of the multiple query is empty");
    QuerySpec spec = querySpec(core, q->getSearch(), &q->getProperties(), &q->getSortBy(), q->getOptions());
    auto* element = made<ZEBQueryReply>(registry);
    runQuery(core, tx, resolver, call.session, spec, element->getQueryResult(), registry, attachments);
    results.push_back(element);
  }
}

ZEBWireReply queryMultiple(ServiceCore& core, Call& call) {
  call.session = requireSession(core, call.request, "queryMultiple");
  auto& request = static_cast<ZEBContentQueryMultiple_Request&>(call.request);
  ZEBContentQueryMultiple_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  ZEBQueryReplyArray& results = *reply.getResult(&registry);
  std::vector<ZEBReceivedAttachment> attachments;
  {
    auto tx = core.store->read();
    runQueries(core, call, tx, request.getRequests(), registry, results, attachments);
  }
  return answer(reply, call.session.passport, std::move(attachments));
}

ZEBWireReply queryMultipleCache(ServiceCore& core, Call& call) {
  call.session = requireSession(core, call.request, "queryMultipleCache");
  auto& request = static_cast<ZEBContentQueryMultipleCache_Request&>(call.request);
  ZEBContentQueryMultipleCache_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  ZEBQueryMultipleResult& result = *reply.getResult(&registry);
  std::vector<ZEBReceivedAttachment> attachments;
  auto tx = core.store->read();
  runQueries(core, call, tx, request.getRequests(), registry, result.getReplies(), attachments);
  result.setCacheValidator(cacheValidator(tx).c_str());
  return answer(reply, call.session.passport, std::move(attachments));
}

ZEBWireReply queryCache(ServiceCore& core, Call& call) {
  call.session = requireSession(core, call.request, "queryCache");
  requireCapability(call.session, "canReadContent", "queryCache");
  auto& request = static_cast<ZEBContentCacheQueryCache_Request&>(call.request);
  const ZEBSearchPathSingleObject* path = request.getObjectPath();
  if (path == nullptr || path->getValue() == nullptr) refuse("badSearchPath", "queryCache names no objectPath");

  ZEBContentCacheQueryCache_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  ZEBQueryCacheResult& result = *reply.getResult(&registry);
  std::vector<ZEBReceivedAttachment> attachments;
  auto tx = core.store->read();
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  ObjectRecord object = resolver.selectOne(path->getValue(), "objectPath");
  const ZEBClassEnum* searchType = request.getSearchType();
  if (searchType && searchType->getName() && object.objectClass != searchType->getName()) {
    refuse("wrongClass",
           std::string("objectPath selects a ") + object.objectClass + ", not a " + searchType->getName());
  }
  std::set<std::string> entries;
  if (const ZEBClassEnumArray* wanted = request.getEntries()) {
    for (size_t i = 0; i < wanted->size(); ++i) {
      if (const ZEBClassEnum* e = wanted->at(i); e && e->getName()) entries.insert(e->getName());
    }
  }
  std::vector<ObjectRecord> candidates{object};
  for (ObjectRecord& below : tx.descendants(object.id)) candidates.push_back(std::move(below));
  EncodeSettings settings;
  settings.maxInlineBytes = core.options.maxInlineDocumentBytes;
  ReplyEncoder encoder(tx, resolver, registry, settings, attachments);
  size_t count = 0;
  for (const ObjectRecord& o : candidates) {
    if (!entries.empty() && entries.count(o.objectClass) == 0) continue;
    result.getObjects().push_back(encoder.encode(o, kCacheProperties));
    ++count;
  }
  auto option = [&](const char* name, const std::string& value) {
    auto* o = made<ZEBOption>(registry);
    o->setName(name);
    o->setValue(value.c_str());
    result.getOptions().push_back(o);
  };
  if (const ZEBOptionArray* given = request.getOptions()) {
    for (size_t i = 0; i < given->size(); ++i) {
      if (const ZEBOption* o = given->at(i))
        option(o->getName() ? o->getName() : "", o->getValue() ? o->getValue() : "");
    }
  }
  option("cacheValidator", cacheValidator(tx));
  option("objectCount", std::to_string(count));
  return answer(reply, call.session.passport, std::move(attachments));
}

// Each object routes to the folder directly below /content that holds it; anything else, and an
// empty request, routes to "default". The answer lists the distinct routes in request order.
ZEBWireReply determineRouting(ServiceCore& core, Call& call) {
  call.session = requireSession(core, call.request, "determineRouting");
  auto& request = static_cast<ZEBContentDetermineRouting_Request&>(call.request);
  auto tx = core.store->read();
  PathResolver resolver(tx, call.session.account.nameSpace, call.session.account.userName);
  std::vector<std::string> routes;
  if (const ZEBSearchPathSingleObjectArray* paths = request.getObjectPaths()) {
    for (size_t i = 0; i < paths->size(); ++i) {
      const ZEBSearchPathSingleObject* p = paths->at(i);
      if (p == nullptr || p->getValue() == nullptr)
        refuse("badSearchPath", "an object path of determineRouting is empty");
      ObjectRecord object = resolver.selectOne(p->getValue(), "objectPath");
      std::vector<ObjectRecord> chain = tx.ancestors(object.id);
      chain.push_back(object);
      std::string route = "default";
      if (chain.size() >= 3 && chain[1].name == PathResolver::kContentFolder) route = chain[2].name;
      if (std::find(routes.begin(), routes.end(), route) == routes.end()) routes.push_back(route);
    }
  }
  std::string result;
  for (const std::string& r : routes) result += (result.empty() ? "" : ";") + r;
  ZEBContentDetermineRouting_Reply reply;
  reply.setResult(result.empty() ? "default" : result.c_str());
  return answer(reply, call.session.passport);
}

}  // namespace dvlservice
