// The add family: add-output, add-version, add-history, add-model, add-task, and delete.
#include "Cli.h"
#include "DVLAddDataMovementTask.h"
#include "DVLAddHistoryDetail.h"
#include "DVLAddHistoryDetailReportService.h"
#include "DVLAddHistoryRqstArgsDetail.h"
#include "DVLAddModel.h"
#include "DVLAddOutput.h"
#include "DVLAddReportVersion.h"
#include "DVLDelete.h"

namespace dvl {

namespace {

// What a content-manager add answers: the new object.
template <class Add>
int reportAdded(Context& context, Add& request, const char* what) {
  json object = {{"class", what},
                 {"name", request.getName() ? json(request.getName()) : json(nullptr)},
                 {"storeID", request.getStoreID() ? json(request.getStoreID()) : json(nullptr)},
                 {"searchPath", request.getPath() ? json(request.getPath()) : json(nullptr)}};
  context.result = {{"object", object}};
  context.say("stored %s\nstore identifier %s", request.getPath() ? request.getPath() : "(none)",
              request.getStoreID() ? request.getStoreID() : "(none)");
  return ExitOk;
}

// The text of --specification or --specification-file.
std::string specification(const Args& args) {
  if (!args.specificationFile.empty()) return readFile(args.specificationFile);
  return args.specification;
}

void defineSpecification(CLI::App& command, Args& args) {
  auto* text = command.add_option("--specification", args.specification, "the specification as text");
  command.add_option("--specification-file", args.specificationFile, "read the specification from FILE")
      ->type_name("FILE")
      ->excludes(text);
}

void defineArguments(CLI::App& command, Args& args) {
  repeatable(command.add_option("--option", args.options, "an option NAME=VALUE (may be repeated)"));
  repeatable(command.add_option("--parameter", args.parameters, "a parameter NAME=VALUE[,VALUE...] (may be repeated)"));
}

// The --option and --parameter values as the arrays the requests take; the elements live in keep.
void buildArguments(const Args& args, Keep& keep, ZEBOptionArray& options, ZEBParameterValueArray& parameters) {
  for (const std::string& text : args.options) {
    auto [name, value] = splitAssignment(text, "option");
    auto& option = keep.make<ZEBOption>();
    option.setName(name.c_str());
    option.setValue(value.c_str());
    options.push_back(&option);
  }
  for (const std::string& text : args.parameters) {
    auto [name, values] = splitAssignment(text, "parameter");
    auto& parameter = keep.make<ZEBParameterValue>();
    parameter.setName(name.c_str());
    size_t start = 0;
    for (size_t end; (end = values.find(',', start)) != std::string::npos; start = end + 1) {
      parameter.getValues().push_back(values.substr(start, end - start).c_str());
    }
    parameter.getValues().push_back(values.substr(start).c_str());
    parameters.push_back(&parameter);
  }
}

// Objects that stand only for their search path.
void buildReferences(const std::vector<std::string>& paths, Keep& keep, ZEBBaseClassArray& array) {
  for (const std::string& path : paths) {
    auto& searchPath = keep.make<ZEBStringProp>();
    searchPath.setValue(path.c_str());
    auto& reference = keep.make<ZEBNil>();
    reference.setSearchPath(&searchPath);
    array.push_back(&reference);
  }
}

void defineParentAndName(CLI::App& command, Args& args, const char* what) {
  command.add_option("parent", args.parent, "the parent's search path")->required();
  command.add_option("name", args.name, std::string("the ") + what + "'s name")->required();
}

}  // namespace

void defineAddOutput(CLI::App& command, Args& args) {
  defineParentAndName(command, args, "output");
  command.add_option("file", args.file, "the document to store")->type_name("FILE")->required();
  command.add_option("--context", args.contextFile, "a context document (XML)")->type_name("FILE");
  command.add_option("--format", args.format, "the output format")->capture_default_str();
  command.add_option("--locale", args.locale, "the output locale")->capture_default_str();
}

int runAddOutput(Context& context) {
  const Args& args = context.args;
  ProgressDocument data(context, args.file, "application/octet-stream");
  std::unique_ptr<ZEBDocumentOutput> contextDocument;
  DVLAddOutput request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  request.setParentPath(args.parent.c_str());
  request.setName(args.name.c_str());
  request.setFormat(args.format.c_str());
  request.setLocale(args.locale.c_str());
  request.setData(&data);
  if (!args.contextFile.empty()) {
    checkReadable(args.contextFile);
    contextDocument = std::make_unique<ZEBDocumentOutput>(args.contextFile, "text/xml");
    request.setContext(*contextDocument);
  }
  request.execute();
  context.printReply(request);
  return reportAdded(context, request, "output");
}

void defineAddVersion(CLI::App& command, Args& args) {
  defineParentAndName(command, args, "report version");
  defineSpecification(command, args);
  repeatable(command.add_option("--model", args.models, "the search path of a metadata model (may be repeated)"));
  repeatable(command.add_option("--package", args.packages, "the search path of a model package (may be repeated)"));
  command.add_option("--as-of", args.asOf, "the as-of time, e.g. 2026-01-31T00:00:00Z");
  defineArguments(command, args);
}

int runAddVersion(Context& context) {
  const Args& args = context.args;
  std::string text = specification(args);
  Keep keep;
  ZEBBaseClassArray models, packages;
  ZEBOptionArray options;
  ZEBParameterValueArray parameters;
  buildReferences(args.models, keep, models);
  buildReferences(args.packages, keep, packages);
  buildArguments(args, keep, options, parameters);
  DVLAddReportVersion request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  request.setParentPath(args.parent.c_str());
  request.setName(args.name.c_str());
  if (!text.empty()) request.setSpecification(text.c_str());
  if (!models.empty()) request.setMetadataModel(models);
  if (!packages.empty()) request.setMetadataModelPackage(packages);
  if (!args.asOf.empty()) request.setAsOfTime(args.asOf.c_str());
  if (!options.empty()) request.setOptions(&options);
  if (!parameters.empty()) request.setParameters(&parameters);
  request.execute();
  context.printReply(request);
  return reportAdded(context, request, "reportVersion");
}

void defineAddHistory(CLI::App& command, Args& args) {
  command.add_option("--kind", args.kind, "plain, report-service or request-arguments")
      ->check(CLI::IsMember({"plain", "report-service", "request-arguments"}))
      ->capture_default_str();
  auto* event = command.add_option("--event", args.event, "file it under this running event (monitor service)");
  command.add_option("--parent", args.parent, "file it in the store under this path instead")->excludes(event);
  command.add_option("--name", args.name, "the detail's name");
  command.add_option("--detail", args.detail, "the detail text")->required();
  command.add_option("--severity", args.severity, "fatal, error, warning, information or debug")
      ->check(CLI::IsMember({"fatal", "error", "warning", "information", "debug"}))
      ->capture_default_str();
  repeatable(command.add_option("--output", args.outputs, "report-service: the search path of an output it produced"));
  defineArguments(command, args);
}

namespace {
template <class History>
int runHistory(Context& context, History& request, const char* what) {
  const Args& args = context.args;
  if (args.event.empty() == args.parent.empty()) usageError("give either --event ID or --parent PATH");
  if (args.parent.empty()) {
    request.setEventID(args.event.c_str());
  } else {
    request.setParentPath(args.parent.c_str());
  }
  if (!args.name.empty()) request.setName(args.name.c_str());
  request.setDetail(args.detail.c_str());
  request.setSeverity(static_cast<ZEBSeverityEnum::Enum>(
      ZEBSeverityEnum::typeInfo.findEnumName(args.severity.c_str(), args.severity.size())->id));
  request.execute();
  context.printReply(request);
  if (request.isCMAdd()) return reportAdded(context, request, what);
  // The monitor files the detail later and answers only how far it got.
  auto& reply = static_cast<ZEBMonitorAdd_Reply&>(request.getReply());
  const ZEBAsynchReply* result = reply.getResult(nullptr);
  json status = result ? toJson(result->getStatus(nullptr)) : json(nullptr);
  context.result = {{"class", what}, {"event", args.event}, {"status", status}};
  context.say("%s handed to the monitor for event %s: %s", what, args.event.c_str(),
              status.is_string() ? status.get<std::string>().c_str() : "(no status)");
  return ExitOk;
}
}  // namespace

int runAddHistory(Context& context) {
  const Args& args = context.args;
  auto& session = context.connection.session();
  const auto mode = ZEBSOAPSessionI::ZEBSOAPUntrusted;
  Keep keep;
  ZEBOptionArray options;
  ZEBParameterValueArray parameters;
  buildArguments(args, keep, options, parameters);
  if ((!options.empty() || !parameters.empty()) && args.kind != "request-arguments") {
    usageError("--option and --parameter belong to --kind request-arguments");
  }
  if (!args.outputs.empty() && args.kind != "report-service") usageError("--output belongs to --kind report-service");
  if (args.kind == "report-service") {
    DVLAddHistoryDetailReportService request(session, nullptr, mode);
    for (const std::string& output : args.outputs) request.setOutput(output.c_str());
    return runHistory(context, request, "historyDetailReportService");
  }
  if (args.kind == "request-arguments") {
    DVLAddHistoryRqstArgsDetail request(session, nullptr, mode);
    if (!options.empty()) request.setOptions(&options);
    if (!parameters.empty()) request.setParameters(&parameters);
    return runHistory(context, request, "historyDetailRequestArguments");
  }
  DVLAddHistoryDetail request(session, nullptr, mode);
  return runHistory(context, request, "historyDetail");
}

void defineAddModel(CLI::App& command, Args& args) {
  defineParentAndName(command, args, "model");
  auto* file = command.add_option("file", args.file, "the model document")->type_name("FILE");
  command.add_option("--text", args.text, "the model as inline text instead of a file")->excludes(file);
}

int runAddModel(Context& context) {
  const Args& args = context.args;
  if (args.file.empty() == args.text.empty()) usageError("give either a model file or --text");
  std::unique_ptr<ProgressDocument> document;
  DVLAddModel request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  request.setParentPath(args.parent.c_str());
  request.setName(args.name.c_str());
  if (args.file.empty()) {
    request.setModel(args.text.c_str());
  } else {
    document = std::make_unique<ProgressDocument>(context, args.file, "text/xml");
    request.setData(document.get());
  }
  request.execute();
  context.printReply(request);
  return reportAdded(context, request, "model");
}

void defineAddTask(CLI::App& command, Args& args) {
  defineParentAndName(command, args, "task");
  defineSpecification(command, args);
}

int runAddTask(Context& context) {
  std::string text = specification(context.args);
  if (text.empty()) usageError("give the task's --specification or --specification-file");
  DVLAddDataMovementTask request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  request.setParentPath(context.args.parent.c_str());
  request.setName(context.args.name.c_str());
  request.setSpecification(text.c_str());
  request.execute();
  context.printReply(request);
  return reportAdded(context, request, "dataMovementTask");
}

void defineDelete(CLI::App& command, Args& args) {
  command.add_option("path", args.path, "a search path");
  command.add_option("--store-id", args.storeID, "the store identifier");
}

int runDelete(Context& context) {
  const Args& args = context.args;
  DVLDelete request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  selectPathOrStoreID(
      args, [&](const char* path) { request.addPath(path); }, [&](const char* id) { request.addStoreId(id); });
  request.execute();
  context.printReply(request);
  const int* count = static_cast<ZEBContentDelete_Reply&>(request.getReply()).getResult();
  const std::string& what = args.storeID.empty() ? args.path : args.storeID;
  // The deletion is forced: a path that selects nothing is no fault, so the count is the only sign.
  if (count == nullptr || *count == 0) refused("notFound", "nothing was deleted: " + what + " selects no object");
  context.result = {{"deleted", *count}};
  context.say("deleted %s (%d object%s)", what.c_str(), *count, *count == 1 ? "" : "s");
  return ExitOk;
}

}  // namespace dvl
