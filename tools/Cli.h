// What the command families of dvl share: the command table, the values the command line fills,
// the connection to the service, the output (human lines, --json, --xml), the progress line and
// the errors that end a command with a documented exit code.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZEBSession.h"

class DVLGenericSoap;
class DVLTestInfo;
class VorbTK;
class ZEBObject;
class ZEBSOAPSession;
template <class T>
class KRNSmartPointer;

namespace dvl {

using json = nlohmann::json;

// The exit codes scripts rely on (docs/cli.md).
enum ExitCode { ExitOk = 0, ExitRefused = 1, ExitUsage = 2, ExitTransport = 3, ExitLocalFile = 4, ExitReplay = 5 };

// A failure dvl finds itself. kind and code appear in the --json error; the message is the line.
struct Failure : std::runtime_error {
  Failure(ExitCode exitCode, std::string kind, std::string code, const std::string& message)
      : std::runtime_error(message), exitCode(exitCode), kind(std::move(kind)), code(std::move(code)) {}
  ExitCode exitCode;
  std::string kind, code;
};
// An option that may be repeated takes one value each time, so that a word after it stays an
// argument of the command (`dvl query --sort defaultName '/content/*'`).
inline CLI::Option* repeatable(CLI::Option* option) {
  return option->allow_extra_args(false);
}

[[noreturn]] void usageError(const std::string& message);
[[noreturn]] void fileError(const std::string& message);
[[noreturn]] void refused(const std::string& code, const std::string& message);

// Every value the command line can set; each command reads the ones it defined.
struct Args {
  // global
  std::string endpoint, sessionFile, recordFile, replayFile, caFile;
  bool xml = false, json = false, quiet = false, verbose = false;
  bool endpointGiven = false;  // --endpoint on the command line, not the default
  // shared by several commands
  std::string path, storeID, parent, name, file, nameSpace = "LDAP";
  std::vector<std::string> paths, properties, sorts, options, parameters;
  int max = 0;
  // logon
  std::string user, password, passwordFile;
  bool plain = false;
  // get
  std::string child, save, saveContext;
  // add-output
  std::string contextFile, format = "PDF", locale = "en-us";
  // add-version, add-task, add-model
  std::string specification, specificationFile, asOf, text;
  std::vector<std::string> models, packages;
  // add-history
  std::string kind = "plain", detail, severity = "information", event;
  std::vector<std::string> outputs;
  // query-cache
  std::string validator, objectPath, searchType;
  std::vector<std::string> entries;
  // symbol
  std::string symbol;
};

// The service a command talks to: live, recorded or replayed, and the passport kept between runs.
class Connection {
 public:
  explicit Connection(const Args& args);
  ~Connection();
  bool replaying() const { return !m_args.replayFile.empty(); }
  const std::string& endpoint() const { return m_args.endpoint; }
  ZEBSOAPSession& session();
  // The passport of an earlier `dvl logon` to the same endpoint, and who it belongs to.
  void resume();
  std::string savedUser() const;
  // Keeps the passport in the session file (mode 0600, written whole or not at all).
  void save(const std::string& user) const;
  void forget() const;

 private:
  const Args& m_args;
  std::unique_ptr<VorbTK> m_factory;
  std::unique_ptr<KRNSmartPointer<DVLTestInfo>> m_settings;
  ZEBSOAPSession* m_session = nullptr;
};

// Replay still seals the logon credential (the recording masks it), so any key will do.
void ensureCredentialKey();

class Context {
 public:
  Context(Args& args) : args(args), connection(args) {}
  Args& args;
  Connection connection;
  // The command's result for --json; the human lines go out as they are said.
  json result = json::object();

  // A human-readable line: standard output, or standard error when --xml owns standard output;
  // nothing with --json.
  void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // With --xml, the reply of request as XML on standard output.
  void printReply(DVLGenericSoap& request);
  bool showProgress() const;
};

// ---------------------------------------------------------------- the command table

struct Command {
  const char* name;
  const char* summary;
  const char* example;
  void (*define)(CLI::App& command, Args& args);
  int (*run)(Context& context);
  bool needsSession;  // resumes the passport of `dvl logon`
};
const std::vector<Command>& commandTable();

// The command families (one file each).
void defineLogon(CLI::App&, Args&);
int runLogon(Context&);
void defineLogoff(CLI::App&, Args&);
int runLogoff(Context&);
void defineCredential(CLI::App&, Args&);
int runCredential(Context&);
void defineCapabilities(CLI::App&, Args&);
int runCapabilities(Context&);
void defineQuery(CLI::App&, Args&);
int runQuery(Context&);
void defineGet(CLI::App&, Args&);
int runGet(Context&);
void defineQueryMultiple(CLI::App&, Args&);
int runQueryMultiple(Context&);
void defineQueryCache(CLI::App&, Args&);
int runQueryCache(Context&);
void defineRouting(CLI::App&, Args&);
int runRouting(Context&);
void defineAddOutput(CLI::App&, Args&);
int runAddOutput(Context&);
void defineAddVersion(CLI::App&, Args&);
int runAddVersion(Context&);
void defineAddHistory(CLI::App&, Args&);
int runAddHistory(Context&);
void defineAddModel(CLI::App&, Args&);
int runAddModel(Context&);
void defineAddTask(CLI::App&, Args&);
int runAddTask(Context&);
void defineDelete(CLI::App&, Args&);
int runDelete(Context&);
void defineDemo(CLI::App&, Args&);
int runDemo(Context&);
void defineSymbol(CLI::App&, Args&);
int runSymbol(Context&);

// Help, man page, completion and the command list of docs/cli.md, all from the command table.
void writeManPage(CLI::App& app, std::FILE* out);
void writeCompletion(CLI::App& app, std::FILE* out);
void writeCommandList(std::FILE* out);

// ---------------------------------------------------------------- helpers for the families

// Any toolkit object as JSON: texts, numbers, enumeration names, arrays, nested objects.
json toJson(const ZEBObject* object);
// class, name, storeID, searchPath, and the other properties the object carries under "properties".
json objectJson(const ZEBObject* object);
// "class storeID name" and the extra properties as name=value, for the human lines.
std::string objectLine(const json& object);

// A property name of the schema (defaultName), or a usage error.
unsigned propertyId(const std::string& name);
unsigned classId(const std::string& name);
// "name=value" into its two halves, or a usage error naming what.
std::pair<std::string, std::string> splitAssignment(const std::string& text, const char* what);
// Hands the one object selection the command line gives, a search path or a checked --store-id,
// to byPath or byStoreID; anything else is a usage error.
void selectPathOrStoreID(const Args& args, const std::function<void(const char*)>& byPath,
                         const std::function<void(const char*)>& byStoreID);
// The contents of a file given on the command line, or a local-file error.
std::string readFile(const std::string& path);
void checkReadable(const std::string& path);

// Objects a request only points to, kept alive until it has run.
class Keep {
 public:
  template <class T>
  T& make() {
    auto* object = new T();
    m_items.emplace_back(object, [](void* p) { delete static_cast<T*>(p); });
    return *object;
  }

 private:
  std::deque<std::unique_ptr<void, void (*)(void*)>> m_items;
};

// The progress line on standard error: bytes, rate and time left, for documents over 8 MiB.
class Progress {
 public:
  Progress(const Context& context, std::string what, long long total);
  void advance(long long bytes);
  void finish();

 private:
  bool m_on;
  std::string m_what;
  long long m_total, m_done = 0;
  double m_start, m_shown = -1;
};

// A document read from a file as it is sent, with the progress line.
class ProgressDocument : public ZEBDocumentOutputI {
 public:
  ProgressDocument(const Context& context, const std::string& path, const char* contentType);
  const char* getContentType() const override { return m_file.getContentType(); }
  long long getSize() const override { return m_size; }
  void rewind() override;
  size_t read(char* buffer, size_t length) override;

 private:
  const Context& m_context;
  ZEBDocumentOutput m_file;
  long long m_size;
  std::unique_ptr<Progress> m_progress;
};

// A file written whole or not at all: into a temporary file beside it, renamed into place by
// commit(). Before that, a failure, the destructor or a signal that ends dvl removes it.
class SavedFile {
 public:
  SavedFile(const Context& context, std::string path, long long total);
  ~SavedFile();
  SavedFile(const SavedFile&) = delete;
  SavedFile& operator=(const SavedFile&) = delete;
  void write(const std::string& bytes);
  void commit();

 private:
  [[noreturn]] void fail(int error);
  std::string m_path, m_temp;
  int m_fd = -1;
  Progress m_progress;
};

}  // namespace dvl
