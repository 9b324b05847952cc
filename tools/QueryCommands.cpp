// The query family: query, get (with --save), query-multiple, query-cache and routing.
#include <climits>
#include <cstring>
#include <memory>

#include "Cli.h"
#include "DVLCacheQueryCache.h"
#include "DVLDetermineRouting.h"
#include "DVLGetObject.h"
#include "DVLQuery.h"
#include "DVLQueryMultiple.h"
#include "DVLQueryMultipleCache.h"
#include "ZEBErrors.h"

namespace dvl {

namespace {

// One query of the command line: a path and what to ask of it.
struct QuerySpec {
  std::string path;
  std::vector<std::string> properties, sorts;
  int max = 0;
};

std::vector<std::string> splitList(const std::string& text, char separator) {
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1) {
    if (end > start) items.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) items.push_back(text.substr(start));
  return items;
}

// "PATH?properties=a,b&sort=name:desc&max=5". A '?' never occurs in a search path outside quotes.
QuerySpec parseQuerySpec(const std::string& text) {
  QuerySpec spec;
  char quote = 0;
  size_t mark = std::string::npos;
  for (size_t i = 0; i < text.size() && mark == std::string::npos; ++i) {
    if (quote) {
      if (text[i] == quote) quote = 0;
    } else if (text[i] == '\'' || text[i] == '"') {
      quote = text[i];
    } else if (text[i] == '?') {
      mark = i;
    }
  }
  spec.path = text.substr(0, mark);
  if (mark == std::string::npos) return spec;
  for (const std::string& part : splitList(text.substr(mark + 1), '&')) {
    auto [key, value] = splitAssignment(part, "query setting");
    if (key == "properties") {
      spec.properties = splitList(value, ',');
    } else if (key == "sort") {
      spec.sorts.push_back(value);
    } else if (key == "max") {
      size_t used = 0;
      try {
        spec.max = std::stoi(value, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used == 0 || used != value.size()) usageError("max '" + value + "' is not a whole number");
    } else {
      usageError("'" + key + "' is not a query setting (properties, sort, max)");
    }
  }
  return spec;
}

// Applies a spec to a DVLQuery or a DVLQueryRequest; the property enums live in keep.
template <class Request>
void applySpec(Request& request, const QuerySpec& spec, Keep& keep) {
  for (const std::string& name : spec.properties) {
    auto& property = keep.make<ZEBPropEnum>();
    property.setValue(static_cast<ZEBPropEnum::Enum>(propertyId(name)));
    request.setProperty(property);
  }
  for (const std::string& sort : spec.sorts) {
    size_t colon = sort.find(':');
    std::string order = colon == std::string::npos ? "asc" : sort.substr(colon + 1);
    if (order != "asc" && order != "desc") usageError("sort order '" + order + "' is not asc or desc");
    request.setSortOptions(static_cast<ZEBPropEnum::Enum>(propertyId(sort.substr(0, colon))),
                           order == "desc" ? ZEBOrderEnum::descending : ZEBOrderEnum::ascending);
  }
  if (spec.max < 0) usageError("--max must not be negative");
  if (spec.max > 0) request.getQueryOptions().setMaxObjects(spec.max);
}

json objectsJson(const ZEBBaseClassArray* objects) {
  json list = json::array();
  for (size_t i = 0; objects && i < objects->size(); ++i) list.push_back(objectJson(objects->at(i)));
  return list;
}

void sayObjects(Context& context, const json& objects) {
  for (const json& object : objects) context.say("%s", objectLine(object).c_str());
  context.say("%zu object%s", objects.size(), objects.size() == 1 ? "" : "s");
}

std::vector<QuerySpec> querySpecs(const Args& args) {
  std::vector<QuerySpec> specs;
  for (const std::string& text : args.paths) specs.push_back(parseQuerySpec(text));
  return specs;
}

// The replies of a multiple query (plain or cache-validated), in request order.
template <class Multiple>
json repliesJson(Context& context, Multiple& request, const std::vector<QuerySpec>& specs) {
  json replies = json::array();
  for (size_t i = 0; i < specs.size(); ++i) {
    json objects = objectsJson(request.getQueryResult(static_cast<unsigned>(i)));
    context.say("%s", specs[i].path.c_str());
    sayObjects(context, objects);
    replies.push_back({{"search", specs[i].path}, {"count", objects.size()}, {"objects", objects}});
  }
  return replies;
}

// The document a property of object refers to ("cid:..."), among the reply's attachments.
const ZEBReceivedAttachment* findDocument(DVLGenericSoap& request, const json& object, const char* property) {
  const json& properties = object.value("properties", json::object());
  if (!properties.contains(property) || !properties[property].is_string()) return nullptr;
  std::string reference = properties[property].get<std::string>();
  if (reference.rfind("cid:", 0) == 0) reference.erase(0, 4);
  for (const ZEBReceivedAttachment& attachment : request.getReply().getReceivedAttachments()) {
    if (attachment.contentId == reference) return &attachment;
  }
  return nullptr;
}

}  // namespace

void defineQuery(CLI::App& command, Args& args) {
  command.add_option("path", args.path, "a search path, e.g. /content/*");
  command.add_option("--store-id", args.storeID, "select the object with this store identifier");
  repeatable(
      command.add_option("--properties", args.properties, "also return these properties (a,b,...)")->delimiter(','));
  repeatable(command.add_option("--sort", args.sorts, "sort by PROP[:desc] (may be repeated)"));
  command.add_option("--max", args.max, "return at most N objects");
}

int runQuery(Context& context) {
  const Args& args = context.args;
  DVLQuery request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  selectPathOrStoreID(
      args, [&](const char* path) { request.setPath(path); }, [&](const char* id) { request.setStoreID(id); });
  Keep keep;
  applySpec(request, QuerySpec{"", args.properties, args.sorts, args.max}, keep);
  request.execute();
  context.printReply(request);
  json objects = json::array();
  for (int i = 0; i < request.getObjectCount(); ++i) objects.push_back(objectJson(request.getObject(i)));
  sayObjects(context, objects);
  context.result = {{"count", objects.size()}, {"objects", objects}};
  return ExitOk;
}

void defineGet(CLI::App& command, Args& args) {
  command.add_option("path", args.path, "the parent's search path")->required();
  command.add_option("name", args.child, "the child's name")->required();
  command.add_option("--save", args.save, "write the stored document to FILE, byte for byte")->type_name("FILE");
  command.add_option("--save-context", args.saveContext, "write the stored context document to FILE")
      ->type_name("FILE");
}

namespace {
// A document larger than a reply carries is read in parts of this size.
constexpr long long kPartBytes = 32LL << 20;

// The data document of the object the first reply found, part by part into file. Each part must
// come from the same object, and be as long as asked for: else the object changed meanwhile.
void saveDataInParts(Context& context, const std::function<std::unique_ptr<DVLGetObject>(int, int)>& askPart,
                     const json& object, const std::string& file) {
  const json& properties = object.value("properties", json::object());
  long long size = properties.value("dataSize", -1LL);
  if (size < 0) refused("noDocument", context.args.child + " has no data document");
  if (size > INT_MAX) {
    refused("documentTooLarge", context.args.child + "'s document has " + std::to_string(size) +
                                    " bytes: dvl reads at most 2 GiB in parts");
  }
  SavedFile out(context, file, size);
  for (long long at = 0; at < size; at += kPartBytes) {
    long long length = std::min(kPartBytes, size - at);
    std::unique_ptr<DVLGetObject> part = askPart(static_cast<int>(at), static_cast<int>(length));
    json partObject = part->getObjectCount() > 0 ? objectJson(part->getObject(0)) : json();
    const ZEBReceivedAttachment* document = partObject.is_object() ? findDocument(*part, partObject, "data") : nullptr;
    if (partObject.value("storeID", json()) != object["storeID"] || document == nullptr ||
        static_cast<long long>(document->bytes.size()) != length) {
      refused("documentChanged", context.args.child + " changed while its document was read in parts");
    }
    out.write(document->bytes);
  }
  out.commit();
}
}  // namespace

int runGet(Context& context) {
  const Args& args = context.args;
  if (args.child.find('\'') != std::string::npos && args.child.find('"') != std::string::npos) {
    usageError("a name holding both ' and \" cannot be looked up by a search path");
  }
  ZEBPropEnum data(ZEBPropEnum::data), contextProperty(ZEBPropEnum::context), dataSize(ZEBPropEnum::dataSize);
  ZEBEncodingEnum mime(ZEBEncodingEnum::MIME);
  // what: data (the document; with length > 0, length bytes of it from skip), dataSize, or nothing.
  auto ask = [&](ZEBPropEnum* what, bool withContext, int skip, int length) {
    auto request =
        std::make_unique<DVLGetObject>(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    request->setPath(args.path.c_str());
    request->setChildName(args.child.c_str());
    // Documents come back as attachments, not as base64 text inside the reply.
    if (what == &data || withContext) request->getQueryOptions().setDataEncoding(&mime);
    if (what) request->setProperty(*what);
    if (withContext) request->setProperty(contextProperty);
    if (length > 0) {
      request->getQueryOptions().setSkipDataBytes(skip);
      request->getQueryOptions().setMaxDataBytes(length);
    }
    request->execute();
    return request;
  };
  std::unique_ptr<DVLGetObject> request;
  bool inParts = false;
  try {
    request = ask(args.save.empty() ? nullptr : &data, !args.saveContext.empty(), 0, 0);
  } catch (const ZEBSOAPFault& fault) {
    if (args.save.empty() || fault.getDetail().find("documentTooLarge") == std::string::npos) throw;
    // Larger than a reply carries: the object now, its data after, in parts.
    inParts = true;
    request = ask(&dataSize, !args.saveContext.empty(), 0, 0);
  }
  context.printReply(*request);
  if (request->getObjectCount() == 0) refused("notFound", "no child named \"" + args.child + "\" under " + args.path);
  json object = objectJson(request->getObject(0));
  json parent = {{"searchPath", request->getParent() ? json(request->getParent()) : json(nullptr)},
                 {"storeID", request->getParentStoreID() ? json(request->getParentStoreID()) : json(nullptr)}};
  context.result = {{"object", object}, {"parent", parent}};
  if (context.result["object"].contains("properties")) context.result["object"]["properties"].erase("parent");
  json saved = json::array();
  for (auto [file, property] : {std::pair{&args.save, "data"}, std::pair{&args.saveContext, "context"}}) {
    if (file->empty()) continue;
    long long bytes = 0;
    if (property == std::string("data") && inParts) {
      saveDataInParts(
          context, [&](int skip, int length) { return ask(&data, false, skip, length); }, object, *file);
      bytes = object["properties"]["dataSize"].get<long long>();
    } else {
      const ZEBReceivedAttachment* document = findDocument(*request, object, property);
      if (document == nullptr) refused("noDocument", args.child + " has no " + property + " document");
      SavedFile out(context, *file, static_cast<long long>(document->bytes.size()));
      out.write(document->bytes);
      out.commit();
      bytes = static_cast<long long>(document->bytes.size());
    }
    saved.push_back({{"property", property}, {"file", *file}, {"bytes", bytes}});
    if (context.result["object"].contains("properties")) context.result["object"]["properties"].erase(property);
  }
  if (inParts && context.result["object"].contains("properties")) {
    context.result["object"]["properties"].erase("dataSize");
  }
  if (!saved.empty()) context.result["saved"] = saved;
  if (context.result["object"].contains("properties") && context.result["object"]["properties"].empty()) {
    context.result["object"].erase("properties");
  }
  context.say("%s", objectLine(context.result["object"]).c_str());
  context.say("parent %s (%s)", request->getParent() ? request->getParent() : "(none)",
              request->getParentStoreID() ? request->getParentStoreID() : "(none)");
  for (const json& entry : saved) {
    context.say("saved %s: %lld bytes to %s", entry["property"].get<std::string>().c_str(),
                entry["bytes"].get<long long>(), entry["file"].get<std::string>().c_str());
  }
  return ExitOk;
}

static const char* const kQuerySyntax = "PATH[?properties=a,b&sort=PROP[:desc]&max=N]";

void defineQueryMultiple(CLI::App& command, Args& args) {
  command.add_option("queries", args.paths, std::string("the queries, each ") + kQuerySyntax)->required();
}

// One element per spec; the elements and what they point to (keep) must outlive execute().
template <class Multiple>
void addQueries(Multiple& request, const std::vector<QuerySpec>& specs, std::deque<DVLQueryRequest>& elements,
                Keep& keep) {
  for (const QuerySpec& spec : specs) {
    DVLQueryRequest& element = elements.emplace_back(request);
    element.setPath(spec.path.c_str());
    applySpec(element, spec, keep);
    if (spec.max > 0) element.setQueryOptions(element.getQueryOptions());
    request.addRequest(element);
  }
}

int runQueryMultiple(Context& context) {
  std::vector<QuerySpec> specs = querySpecs(context.args);
  DVLQueryMultiple request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  std::deque<DVLQueryRequest> elements;
  Keep keep;
  addQueries(request, specs, elements, keep);
  request.execute();
  context.printReply(request);
  context.result = {{"replies", repliesJson(context, request, specs)}};
  return ExitOk;
}

void defineQueryCache(CLI::App& command, Args& args) {
  command.add_option("queries", args.paths, std::string("cache-validated queries, each ") + kQuerySyntax);
  command.add_option("--validator", args.validator, "the cache validator of an earlier answer");
  command.add_option("--object", args.objectPath, "ask the cache service for this object and what lies below it");
  command.add_option("--type", args.searchType, "with --object: the class the object must have");
  repeatable(command.add_option("--entries", args.entries, "with --object: keep only these classes (a,b,...)")
                 ->delimiter(','));
  repeatable(command.add_option("--option", args.options, "with --object: an option NAME=VALUE (may be repeated)"));
}

int runQueryCache(Context& context) {
  const Args& args = context.args;
  if (args.objectPath.empty() == args.paths.empty()) usageError("give either queries or --object PATH");
  if (args.objectPath.empty()) {
    std::vector<QuerySpec> specs = querySpecs(args);
    DVLQueryMultipleCache request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    request.setCacheValidator(args.validator.c_str());
    std::deque<DVLQueryRequest> elements;
    Keep keep;
    addQueries(request, specs, elements, keep);
    request.execute();
    context.printReply(request);
    const char* validator = request.getCacheValidatorReply();
    context.result = {{"cacheValidator", validator ? json(validator) : json(nullptr)},
                      {"replies", repliesJson(context, request, specs)}};
    context.say("cache validator %s", validator ? validator : "(none)");
    return ExitOk;
  }
  DVLCacheQueryCache request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  request.setObjectPath(args.objectPath.c_str());
  ZEBClassEnum type;
  if (!args.searchType.empty()) {
    type.setValue(static_cast<ZEBClassEnum::Enum>(classId(args.searchType)));
    request.setSearchType(type);
  }
  Keep keep;
  for (const std::string& entry : args.entries) {
    auto& value = keep.make<ZEBClassEnum>();
    value.setValue(static_cast<ZEBClassEnum::Enum>(classId(entry)));
    request.setEntry(value);
  }
  ZEBOptionArray options;
  for (const std::string& text : args.options) {
    auto [name, value] = splitAssignment(text, "option");
    auto& option = keep.make<ZEBOption>();
    option.setName(name.c_str());
    option.setValue(value.c_str());
    options.push_back(&option);
  }
  if (!options.empty()) request.setOptions(&options);
  request.execute();
  context.printReply(request);
  json objects = objectsJson(request.getQueryCacheResultObjects());
  json answered = json::object();
  if (ZEBOptionArray* returned = request.getQueryCacheResultOptions()) {
    for (size_t i = 0; i < returned->size(); ++i) {
      const ZEBOption* option = returned->at(i);
      if (option && option->getName()) answered[option->getName()] = option->getValue() ? option->getValue() : "";
    }
  }
  sayObjects(context, objects);
  for (auto& [name, value] : answered.items()) context.say("%s=%s", name.c_str(), value.get<std::string>().c_str());
  context.result = {{"count", objects.size()}, {"objects", objects}, {"options", answered}};
  return ExitOk;
}

void defineRouting(CLI::App& command, Args& args) {
  command.add_option("paths", args.paths, "search paths, each selecting one object")->required();
}

int runRouting(Context& context) {
  DVLDetermineRouting request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  std::deque<ZEBSearchPathSingleObject> pathObjects;  // the request only points to them
  for (const std::string& path : context.args.paths) {
    pathObjects.emplace_back().setValue(path.c_str());
    request.addPath(&pathObjects.back());
  }
  request.execute();
  context.printReply(request);
  std::string routing = request.getResult() ? request.getResult() : "";
  context.say("%s", routing.c_str());
  json routes = json::array();
  for (const std::string& route : splitList(routing, ';')) routes.push_back(route);
  context.result = {{"routing", routing}, {"routes", routes}};
  return ExitOk;
}

}  // namespace dvl
