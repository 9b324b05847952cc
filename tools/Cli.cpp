#include "Cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <sstream>

#include "DVLGenericSoap.h"
#include "DVLTestInfo.h"
#include "KRNThrowable.h"
#include "MWLStream.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"
#include "ZEBHttpTransport.h"
#include "ZEBRecording.h"
#include "ZEBSchema.h"
#include "zp2omsymbols1.h"

namespace dvl {

void usageError(const std::string& message) {
  throw Failure(ExitUsage, "usage", "usage", message);
}
void fileError(const std::string& message) {
  throw Failure(ExitLocalFile, "file", "file", message);
}
void refused(const std::string& code, const std::string& message) {
  throw Failure(ExitRefused, "refused", code, message);
}

// ---------------------------------------------------------------- connection

Connection::Connection(const Args& args) : m_args(args) {}

Connection::~Connection() {
  if (m_factory && m_session) m_factory->releaseSession(m_session);
}

ZEBSOAPSession& Connection::session() {
  if (m_session) return *m_session;
  VorbTK* made = nullptr;
  if (replaying()) {
    m_settings = std::make_unique<KRNSmartPointer<DVLTestInfo>>(DVLTestInfo::create());
    made = &(*m_settings)->getRecordedFilesAsSessionFactory("dvl", "", m_args.replayFile);
    ensureCredentialKey();
    m_session = static_cast<ZEBSOAPSession*>(made->createSession());
    return *m_session;
  }
  ZEBHttpSettings settings = ZEBHttpSettings::fromConfiguration(m_args.endpoint);
  if (!m_args.caFile.empty()) {
    checkReadable(m_args.caFile);
    settings.caFile = m_args.caFile;
  }
  auto live = std::make_shared<ZEBHttpTransport>(settings);
  if (m_args.recordFile.empty()) {
    m_factory = std::make_unique<ZEBLiveVorbTK>(live->getSettings());
  } else {
    m_factory = std::make_unique<ZEBRecordingVorbTK>(live, m_args.recordFile);
  }
  m_session = static_cast<ZEBSOAPSession*>(m_factory->createSession());
  return *m_session;
}

namespace {
struct SavedSession {
  std::string endpoint, passport, user;
};
// No file is no session; a file that is there but cannot be read is an error, not a silent logoff.
SavedSession readSessionFile(const std::string& path) {
  SavedSession saved;
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 && errno == ENOENT) return saved;
  checkReadable(path);  // says why not: no permission, a directory
  std::ifstream in(path);
  std::getline(in, saved.endpoint) && std::getline(in, saved.passport) && std::getline(in, saved.user);
  return saved;
}

// The temporary file being written, removed when a signal ends dvl before it is renamed into
// place, so that an interrupted --save or logon leaves nothing behind. The path is copied: a
// signal handler can only read what stays put.
char pendingPath[4096];
std::atomic<bool> pendingSet{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

extern "C" void removePendingTemporary(int signal) {
  if (pendingSet.load()) ::unlink(pendingPath);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Names the temporary file being written; the empty path when there is none.
void pendingTemporary(const std::string& path) {
  static const bool installed = [] {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction current {};
      // A signal the caller chose to ignore (nohup) stays ignored.
      if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
        ::signal(signal, removePendingTemporary);
      }
    }
    // Past a file size limit, a write fails (EFBIG) and the usual error path cleans up.
    ::signal(SIGXFSZ, SIG_IGN);
    return true;
  }();
  (void)installed;
  pendingSet.store(false);
  if (path.empty() || path.size() >= sizeof pendingPath) return;
  std::memcpy(pendingPath, path.c_str(), path.size() + 1);
  pendingSet.store(true);
}
}  // namespace

void Connection::resume() {
  if (replaying()) return;
  SavedSession saved = readSessionFile(m_args.sessionFile);
  if (saved.endpoint == m_args.endpoint && !saved.passport.empty()) session().setPassport(saved.passport);
}

std::string Connection::savedUser() const {
  SavedSession saved = readSessionFile(m_args.sessionFile);
  if (saved.passport.empty() || saved.endpoint != m_args.endpoint) return "";
  return saved.user.empty() ? "an earlier logon" : saved.user;
}

void Connection::save(const std::string& user) const {
  if (replaying()) return;
  std::string text = m_args.endpoint + "\n" + m_session->getPassport() + "\n" + user + "\n";
  // The passport lets anyone who reads it act as the user: only the owner may read the file,
  // from the moment it exists.
  // mkstemp makes a new file of mode 0600 (never one planted under that name).
  std::string temp = m_args.sessionFile + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) fileError("cannot write the session file " + m_args.sessionFile + ": " + std::strerror(errno));
  pendingTemporary(temp);
  struct Done {
    ~Done() { pendingTemporary(std::string()); }
  } done;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), m_args.sessionFile.c_str()) != 0) {
    std::string reason = std::strerror(errno);
    ::unlink(temp.c_str());
    fileError("cannot write the session file " + m_args.sessionFile + ": " + reason);
  }
}

void Connection::forget() const {
  if (!replaying()) std::remove(m_args.sessionFile.c_str());
}

void ensureCredentialKey() {
  if (ZEBHelper::getCredentialKey().empty()) {
    ZEBHelper::setCredentialKey(ZEBHelper::generateCredentialKeyPair().second.c_str());
  }
}

// ---------------------------------------------------------------- output

void Context::say(const char* format, ...) {
  if (args.json) return;
  std::FILE* out = args.xml ? stderr : stdout;
  va_list list;
  va_start(list, format);
  std::vfprintf(out, format, list);
  va_end(list);
  std::fputc('\n', out);
}

void Context::printReply(DVLGenericSoap& request) {
  if (!args.xml) return;
  MWLStandardOutputStream out;
  request.getReplyAsXML(out);
  out.write("\n", 1);
  out.flush();
}

bool Context::showProgress() const {
  return !args.quiet && isatty(2);
}

// ---------------------------------------------------------------- objects as JSON

namespace {
json fieldJson(const ZEBObject& object, unsigned index) {
  if (!object.hasField(index)) return nullptr;
  switch (object.getTypeInfo().fields[index].kind) {
    case ZEBFieldKind::String:
      return object.stringField(index);
    case ZEBFieldKind::Int:
      return *object.numberField<int>(index);
    case ZEBFieldKind::Long:
      return *object.numberField<long long>(index);
    case ZEBFieldKind::Bool:
      return *object.numberField<bool>(index);
    default:
      return toJson(static_cast<const ZEBObject*>(object.slot(index).ptr));
  }
}
}  // namespace

json toJson(const ZEBObject* object) {
  if (object == nullptr) return nullptr;
  const ZEBTypeInfo& type = object->getTypeInfo();
  switch (type.kind) {
    case ZEBTypeKind::Enum: {
      const char* name = static_cast<const ZEBEnumObject*>(object)->getName();
      return name ? json(name) : json(nullptr);
    }
    case ZEBTypeKind::Array: {
      json list = json::array();
      auto* array = static_cast<const ZEBArrayObject*>(object);
      for (size_t i = 0; i < array->size(); ++i) list.push_back(toJson(array->item(i)));
      return list;
    }
    case ZEBTypeKind::TextArray: {
      json list = json::array();
      auto* array = static_cast<const ZEBTextArrayObject*>(object);
      for (size_t i = 0; i < array->size(); ++i) list.push_back(array->at(i));
      return list;
    }
    default:
      break;
  }
  // A property is a value wrapped once: the value is what a reader wants.
  if (type.kind == ZEBTypeKind::Value && type.fieldCount == 1) return fieldJson(*object, 0);
  json fields = json::object();
  for (unsigned i = 0; i < type.fieldCount; ++i) {
    if (object->hasField(i)) fields[type.fields[i].name] = fieldJson(*object, i);
  }
  return fields;
}

json objectJson(const ZEBObject* object) {
  json all = toJson(object);
  if (!all.is_object()) return all;
  json shown = {{"class", all.value("objectClass", json(nullptr))},
                {"name", all.value("defaultName", json(nullptr))},
                {"storeID", all.value("storeID", json(nullptr))},
                {"searchPath", all.value("searchPath", json(nullptr))}};
  for (const char* known : {"objectClass", "defaultName", "storeID", "searchPath"}) all.erase(known);
  if (!all.empty()) shown["properties"] = all;
  return shown;
}

std::string objectLine(const json& object) {
  auto text = [](const json& value) { return value.is_string() ? value.get<std::string>() : std::string("(none)"); };
  char line[256];
  std::snprintf(line, sizeof line, "%-14s %-34s %s", text(object["class"]).c_str(), text(object["storeID"]).c_str(),
                text(object["name"]).c_str());
  std::string result = line;
  if (object.contains("properties")) {
    for (auto& [name, value] : object["properties"].items()) {
      result += "  " + name + "=" + (value.is_string() ? value.get<std::string>() : value.dump());
    }
  }
  return result;
}

// ---------------------------------------------------------------- input checks

namespace {
unsigned schemaEnum(const ZEBTypeInfo& type, const std::string& name, const char* what) {
  const ZEBEnumValue* value = type.findEnumName(name.c_str(), name.size());
  if (value == nullptr) {
    std::string known;
    for (unsigned i = 0; i < type.enumCount; ++i)
      known += std::string(known.empty() ? "" : ", ") + type.enumValues[i].name;
    usageError("'" + name + "' is not " + what + " (one of: " + known + ")");
  }
  return value->id;
}
}  // namespace

unsigned propertyId(const std::string& name) {
  return schemaEnum(ZEBPropEnum::typeInfo, name, "a property");
}
unsigned classId(const std::string& name) {
  return schemaEnum(ZEBClassEnum::typeInfo, name, "an object class");
}

std::pair<std::string, std::string> splitAssignment(const std::string& text, const char* what) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) usageError(std::string(what) + " '" + text + "' is not NAME=VALUE");
  return {text.substr(0, equals), text.substr(equals + 1)};
}

void selectPathOrStoreID(const Args& args, const std::function<void(const char*)>& byPath,
                         const std::function<void(const char*)>& byStoreID) {
  if (args.path.empty() == args.storeID.empty()) usageError("give either a search path or --store-id");
  if (args.storeID.empty()) return byPath(args.path.c_str());
  if (args.storeID.find('"') != std::string::npos) usageError("'" + args.storeID + "' is not a store identifier");
  byStoreID(args.storeID.c_str());
}

void checkReadable(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0) fileError("cannot read " + path + ": " + std::strerror(errno));
  bool directory = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
  ::close(fd);
  if (directory) fileError("cannot read " + path + ": it is a directory");
}

std::string readFile(const std::string& path) {
  checkReadable(path);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) fileError("cannot read " + path);
  return bytes.str();
}

// ---------------------------------------------------------------- progress and files

namespace {
double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
std::string bytesText(double bytes) {
  char text[32];
  if (bytes >= 1 << 20) {
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1 << 20));
  } else {
    std::snprintf(text, sizeof text, "%.0f KiB", bytes / 1024);
  }
  return text;
}
constexpr long long kProgressThreshold = 8LL << 20;
}  // namespace

Progress::Progress(const Context& context, std::string what, long long total)
    : m_on(total > kProgressThreshold && context.showProgress()),
      m_what(std::move(what)),
      m_total(total),
      m_start(now()) {}

void Progress::advance(long long bytes) {
  m_done += bytes;
  if (!m_on) return;
  double t = now();
  if (m_done < m_total && t - m_shown < 0.2) return;
  m_shown = t;
  double elapsed = std::max(t - m_start, 1e-3);
  double rate = m_done / elapsed;
  long long left = rate > 0 ? static_cast<long long>((m_total - m_done) / rate) : 0;
  std::fprintf(stderr, "\r%s: %s of %s, %s/s, %lld:%02lld left ", m_what.c_str(), bytesText(m_done).c_str(),
               bytesText(m_total).c_str(), bytesText(rate).c_str(), left / 60, left % 60);
  std::fflush(stderr);
}

void Progress::finish() {
  if (m_on && m_shown >= 0) std::fputc('\n', stderr);
  m_on = false;
}

ProgressDocument::ProgressDocument(const Context& context, const std::string& path, const char* contentType)
    : m_context(context), m_file((checkReadable(path), path), contentType), m_size(m_file.getSize()) {}

void ProgressDocument::rewind() {
  m_file.rewind();
  m_progress = std::make_unique<Progress>(m_context, "sending " + m_file.getPath(), m_size);
}

size_t ProgressDocument::read(char* buffer, size_t length) {
  size_t n = m_file.read(buffer, length);
  if (m_progress) {
    m_progress->advance(static_cast<long long>(n));
    if (n == 0) m_progress->finish();
  }
  return n;
}

SavedFile::SavedFile(const Context& context, std::string path, long long total)
    : m_path(std::move(path)), m_temp(m_path + ".XXXXXX"), m_progress(context, "saving " + m_path, total) {
  m_fd = ::mkstemp(m_temp.data());
  if (m_fd < 0) fail(errno);
  pendingTemporary(m_temp);
}

SavedFile::~SavedFile() {
  if (m_fd >= 0) {
    ::close(m_fd);
    ::unlink(m_temp.c_str());
  }
  pendingTemporary(std::string());
}

void SavedFile::fail(int error) {
  if (m_fd >= 0) {
    ::close(m_fd);
    ::unlink(m_temp.c_str());
    m_fd = -1;
  }
  fileError("cannot write " + m_path + ": " + std::strerror(error));
}

void SavedFile::write(const std::string& bytes) {
  const size_t chunk = 1 << 20;
  for (size_t at = 0; at < bytes.size();) {
    ssize_t n = ::write(m_fd, bytes.data() + at, std::min(chunk, bytes.size() - at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : EIO);
    at += static_cast<size_t>(n);
    m_progress.advance(n);
  }
}

void SavedFile::commit() {
  m_progress.finish();
  // mkstemp makes the file 0600; a saved document gets the usual mode for new files.
  mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(m_fd, 0666 & ~mask) != 0 || ::fsync(m_fd) != 0) fail(errno);
  int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0 || ::rename(m_temp.c_str(), m_path.c_str()) != 0) {
    int error = errno;
    ::unlink(m_temp.c_str());
    fileError("cannot write " + m_path + ": " + std::strerror(error));
  }
}

}  // namespace dvl
