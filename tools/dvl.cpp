// dvl: the command-line client of the DVL library. The command table below is the one list of the
// commands: the parser, --help, the man page, the bash completion and the list in docs/cli.md are
// all made from it. The commands themselves live in one file per family.
#include "DVL.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Cli.h"
#include "KRNThrowable.h"
#include "ZEBErrors.h"
#include "ZEBRecording.h"
#include "ZEBSoap.h"

namespace dvl {

const std::vector<Command>& commandTable() {
  static const std::vector<Command> table = {
      {"logon", "Log on and keep the passport for the next commands", "dvl logon --user demo --password-file pw.txt",
       defineLogon, runLogon, false},
      {"logoff", "Log off and forget the passport", "dvl logoff", defineLogoff, runLogoff, true},
      {"credential", "Retrieve the trusted credential of a namespace (standalone access manager)",
       "dvl credential --namespace LDAP", defineCredential, runCredential, false},
      {"capabilities", "List the logged-on user's capabilities", "dvl capabilities", defineCapabilities,
       runCapabilities, true},
      {"query", "Query objects by search path or store identifier",
       "dvl query '/content/*' --properties modificationTime --sort defaultName:desc --max 10", defineQuery, runQuery,
       true},
      {"get", "Look up a named child of an object; --save writes its document",
       "dvl get /content 'Sales 2026' --save sales.pdf", defineGet, runGet, true},
      {"query-multiple", "Run several queries in one call, each with its own properties and sort",
       "dvl query-multiple '/content/*?sort=defaultName' '//output?properties=format,dataSize&max=5'",
       defineQueryMultiple, runQueryMultiple, true},
      {"query-cache", "The cache-validated multiple query, or with --object the cache service's query",
       "dvl query-cache '/content/*' --validator 7f3a-12; dvl query-cache --object /content --entries output",
       defineQueryCache, runQueryCache, true},
      {"routing", "Determine the routing for objects", "dvl routing /content/Samples", defineRouting, runRouting, true},
      {"add-output", "Store a report output with its document",
       "dvl add-output /content 'Sales 2026' report.pdf --context context.xml", defineAddOutput, runAddOutput, true},
      {"add-version", "Store a report version: specification, models, as-of time, options and parameters",
       "dvl add-version /content 'Sales v2' --specification-file spec.xml --model '/content/model[@name=\"m\"]'",
       defineAddVersion, runAddVersion, true},
      {"add-history",
       "Add a history detail: plain, report-service or request-arguments; --event goes through the monitor",
       "dvl add-history --kind report-service --event run-42 --detail 'finished' --output /content/out",
       defineAddHistory, runAddHistory, true},
      {"add-model", "Store a model from a file or inline text", "dvl add-model /content 'Sales model' model.xml",
       defineAddModel, runAddModel, true},
      {"add-task", "Store a data-movement task", "dvl add-task /content 'Nightly load' --specification-file task.xml",
       defineAddTask, runAddTask, true},
      {"delete", "Delete an object (and its children) by path or store identifier", "dvl delete --store-id 4f1c...",
       defineDelete, runDelete, true},
      {"demo", "Run the typical host run against a server of its own", "dvl demo", defineDemo, runDemo, false},
      {"symbol", "Look up a schema symbol by name or identifier", "dvl symbol objectClass", defineSymbol, runSymbol,
       false},
  };
  return table;
}

namespace {

std::string defaultSessionFile() {
  if (const char* path = std::getenv("DVL_SESSION_FILE")) return path;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.dvl-session";
}

std::string defaultEndpoint() {
  if (const char* endpoint = std::getenv("DVL_ENDPOINT")) return endpoint;
  return "http://127.0.0.1:9300/dvl";
}

// The reason word of a fault's detail (<dvl:message>notFound</dvl:message>).
std::string faultReason(const std::string& detail) {
  std::string text;
  bool inTag = false;
  for (char c : detail) {
    if (c == '<') inTag = true;
    if (!inTag && !std::isspace(static_cast<unsigned char>(c))) text += c;
    if (c == '>') inTag = false;
  }
  return text;
}

// Text that is not UTF-8 (a file name, a message quoting an argument) is printed with U+FFFD in its
// place: the default would throw, and from a catch block that ends the process.
std::string jsonText(const json& value) {
  return value.dump(2, ' ', false, json::error_handler_t::replace);
}

int report(const Args& args, const Failure& failure, const std::string& trace = "") {
  if (args.json) {
    json error = {{"error", {{"kind", failure.kind}, {"code", failure.code}, {"message", failure.what()}}}};
    std::printf("%s\n", jsonText(error).c_str());
  } else {
    std::fprintf(stderr, "dvl: %s\n", failure.what());
  }
  if (args.verbose && !trace.empty()) std::fprintf(stderr, "%s\n", trace.c_str());
  return failure.exitCode;
}

// The one line (and exit code) a library error becomes.
Failure describe(const Args& args, const KRNThrowable& error) {
  if (auto* fault = dynamic_cast<const ZEBSOAPFault*>(&error)) {
    std::string reason = faultReason(fault->getDetail());
    if (reason == "invalidPassport") {
      return Failure(ExitRefused, "fault", reason, "the passport has expired or was ended: log on again (dvl logon)");
    }
    if (reason == "notLoggedOn") return Failure(ExitRefused, "fault", reason, "not logged on: run dvl logon first");
    return Failure(ExitRefused, "fault", reason.empty() ? fault->getFaultCode() : reason,
                   "the service refused: " + fault->getFaultString());
  }
  if (auto* key = dynamic_cast<const ZEBCredentialKeyError*>(&error)) {
    return Failure(ExitTransport, "credentialKey", "credentialKey", key->getMessage());
  }
  if (auto* transport = dynamic_cast<const ZEBTransportError*>(&error)) {
    std::string where = transport->getEndpoint().empty() ? args.endpoint : transport->getEndpoint();
    std::string hint = transport->getReason().find("certificate") != std::string::npos
                           ? " (--ca-file FILE trusts a private or self-signed certificate)"
                           : "";
    return Failure(ExitTransport, "transport", transport->getPhase(),
                   "cannot reach the server at " + where + ": " + transport->getReason() + hint);
  }
  if (dynamic_cast<const ZEBMalformedMessage*>(&error)) {
    return Failure(ExitTransport, "transport", "malformedReply", error.getMessage());
  }
  if (dynamic_cast<const ZEBReplayMismatch*>(&error)) {
    return Failure(ExitReplay, "replayMismatch", "replayMismatch", error.getMessage());
  }
  if (dynamic_cast<const ZEBRecordedFileError*>(&error) || dynamic_cast<const KRNRuntimeError*>(&error)) {
    return Failure(ExitLocalFile, "file", "file", error.getMessage());
  }
  return Failure(ExitRefused, "internal", error.getTypeName(), error.getMessage());
}

// Every value that goes into a request must be text XML can carry; refused here, the message can
// name the option. File names (type FILE) and the address (URL) never go into a request.
void checkArguments(const CLI::App& app) {
  std::vector<const CLI::App*> levels = {&app};
  for (const CLI::App* command : app.get_subcommands()) levels.push_back(command);
  for (const CLI::App* level : levels) {
    for (const CLI::Option* option : level->get_options()) {
      if (option->get_type_name() == "FILE" || option->get_type_name() == "URL") continue;
      for (const std::string& value : option->results()) {
        if (!ZEBSoap::isXmlText(value)) {
          usageError(option->get_name() + " holds text that is not UTF-8 or has a control character");
        }
      }
    }
  }
}

// Hidden options that write what the build installs.
struct Generated {
  std::string man, completion, commandList;
};

bool writeGenerated(CLI::App& app, const Generated& generated) {
  bool any = false;
  auto write = [&](const std::string& path, auto writer) {
    if (path.empty()) return;
    any = true;
    std::FILE* out = path == "-" ? stdout : std::fopen(path.c_str(), "w");
    if (out == nullptr) fileError("cannot write " + path + ": " + std::strerror(errno));
    writer(out);
    if (out != stdout) std::fclose(out);
  };
  write(generated.man, [&](std::FILE* out) { writeManPage(app, out); });
  write(generated.completion, [&](std::FILE* out) { writeCompletion(app, out); });
  write(generated.commandList, [&](std::FILE* out) { writeCommandList(out); });
  return any;
}

}  // namespace
}  // namespace dvl

int main(int argc, char** argv) {
  using namespace dvl;
  Args args;
  args.endpoint = defaultEndpoint();
  args.sessionFile = defaultSessionFile();
  Generated generated;

  CLI::App app{"dvl - a command-line client of the content store"};
  app.name("dvl");
  app.require_subcommand(0, 1);
  app.fallthrough();  // global options may also follow the command
  app.set_version_flag("--version", std::string("dvl ") + DVL_VERSION);
  app.footer(
      "Exit codes: 0 success, 1 the service refused, 2 usage, 3 transport or TLS, 4 local file, "
      "5 replay mismatch. docs/cli.md and dvl(1) describe every command.");
  app.add_option("--endpoint", args.endpoint, "the service URL (default $DVL_ENDPOINT or http://127.0.0.1:9300/dvl)")
      ->type_name("URL");
  app.add_option("--session-file", args.sessionFile,
                 "where logon keeps the passport (default $DVL_SESSION_FILE or ~/.dvl-session)")
      ->type_name("FILE");
  app.add_option("--ca-file", args.caFile,
                 "trust the certificates in this PEM file (a private CA, a self-signed server)")
      ->type_name("FILE");
  auto* json = app.add_flag("--json", args.json, "print one JSON document on standard output");
  app.add_flag("--xml", args.xml, "print each reply as XML on standard output (the other lines go to standard error)")
      ->excludes(json);
  app.add_flag("--quiet", args.quiet, "no progress line");
  app.add_flag("--verbose", args.verbose, "with an error, also print its back-trace");
  auto* record = app.add_option("--record", args.recordFile, "also write every exchange to this recorded-session file")
                     ->type_name("FILE");
  app.add_option("--replay", args.replayFile, "answer from this recorded-session file instead of a service")
      ->type_name("FILE")
      ->excludes(record);
  app.add_option("--man", generated.man, "write the man page to FILE")->type_name("FILE")->group("");
  app.add_option("--completion", generated.completion, "write the bash completion to FILE")
      ->type_name("FILE")
      ->group("");
  app.add_option("--command-list", generated.commandList, "write the command list of docs/cli.md to FILE")
      ->type_name("FILE")
      ->group("");

  for (const Command& command : commandTable()) {
    CLI::App* sub = app.add_subcommand(command.name, command.summary);
    command.define(*sub, args);
  }

  // Usage errors get the documented exit code and, with --json, the JSON error: also when the parser
  // stopped before it reached --json.
  auto usage = [&](const std::string& message) {
    for (int i = 1; i < argc && !args.json; ++i) args.json = std::strcmp(argv[i], "--json") == 0;
    // The help of the command that was given, if any: that is where its arguments are listed.
    std::vector<CLI::App*> given = app.get_subcommands();
    std::string help = given.empty() ? "dvl --help" : "dvl " + given.front()->get_name() + " --help";
    return report(args, Failure(ExitUsage, "usage", "usage", message + " (" + help + ")"));
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ExtrasError& e) {
    if (app.get_subcommands().empty()) {
      // The first word that is not an option is where a command should have been.
      for (const std::string& word : app.remaining()) {
        if (!word.empty() && word[0] != '-') return usage("unknown command '" + word + "'");
      }
    }
    return usage(e.what());
  } catch (const CLI::ParseError& e) {
    return usage(e.what());
  }
  args.endpointGiven = app.get_option("--endpoint")->count() > 0;
  try {
    checkArguments(app);
    if (args.endpoint.rfind("http://", 0) != 0 && args.endpoint.rfind("https://", 0) != 0) {
      usageError("the endpoint '" + args.endpoint + "' is not an http:// or https:// URL");
    }
    if (args.sessionFile.empty()) usageError("--session-file is empty");
  } catch (const Failure& failure) {
    return usage(failure.what());
  }

  try {
    if (writeGenerated(app, generated)) return ExitOk;
  } catch (const Failure& failure) {
    return report(args, failure);
  }
  if (app.get_subcommands().empty()) return usage("give a command");
  const std::string name = app.get_subcommands().front()->get_name();
  const Command* command = nullptr;
  for (const Command& candidate : commandTable()) {
    if (name == candidate.name) command = &candidate;
  }

  int code = ExitOk;
  try {
    Context context(args);
    if (command->run != runDemo && command->run != runSymbol) DVL::initialize();
    if (command->needsSession) context.connection.resume();
    code = command->run(context);
    if (args.json) {
      context.result["command"] = name;
      std::printf("%s\n", jsonText(context.result).c_str());
    }
  } catch (const Failure& failure) {
    code = report(args, failure);
  } catch (const KRNThrowable& error) {
    code = report(args, describe(args, error), error.toString());
  } catch (const std::exception& error) {
    code = report(args, Failure(ExitRefused, "internal", "exception", error.what()));
  }
  if (command->run != runDemo && command->run != runSymbol) DVL::terminate();
  // A full disk or a closed file under standard output must not pass for success.
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && code == ExitOk) {
    std::fprintf(stderr, "dvl: cannot write to standard output: %s\n", std::strerror(errno));
    code = ExitLocalFile;
  }
  return code;
}
