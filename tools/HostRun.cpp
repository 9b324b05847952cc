#include "HostRun.h"

#include <unistd.h>

#include <fstream>
#include <vector>

#include "DVLAddModel.h"
#include "DVLAddOutput.h"
#include "DVLDelete.h"
#include "DVLLogoff.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "DVLReportHelper.h"
#include "KRNThrowable.h"
#include "ZEBHttpTransport.h"
#include "zp2omsymbols1.h"

namespace {

class Printer {
 public:
  explicit Printer(std::FILE* out) : m_out(out) {}
  void step(const char* what) { std::fprintf(m_out, "\n[%d] %s\n", ++m_step, what); }
  template <class... Args>
  void say(const char* format, Args... args) {
    std::fprintf(m_out, "    ");
    std::fprintf(m_out, format, args...);
    std::fprintf(m_out, "\n");
    std::fflush(m_out);
  }

 private:
  std::FILE* m_out;
  int m_step = 0;
};

const char* orNone(const char* text) { return text ? text : "(none)"; }

std::string symbolName(unsigned id) {
  try {
    return zp2omsymbols1::getChar(id);
  } catch (const KRNThrowable&) {
    return "?";
  }
}

// The same bytes every run, so that a recorded run replays.
std::string reportBytes() {
  std::string bytes = "%PDF-1.4\n% a demo report\n";
  for (int i = 0; i < 2000; ++i) bytes += "region " + std::to_string(i % 7) + " sales " + std::to_string(i * 37) + "\n";
  return bytes + "%%EOF\n";
}

// Files the run writes for its documents, removed when it ends however it ends.
class TempFiles {
 public:
  explicit TempFiles(std::string directory) : m_directory(directory.empty() ? P_tmpdir : std::move(directory)) {}
  ~TempFiles() {
    for (const std::string& path : m_paths) std::remove(path.c_str());
  }
  std::string write(const char* name, const std::string& bytes) {
    std::string path = m_directory + "/dvl-host-run-" + std::to_string(getpid()) + "-" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    m_paths.push_back(path);
    return path;
  }

 private:
  std::string m_directory;
  std::vector<std::string> m_paths;
};

}  // namespace

void runTypicalHostRun(VorbTK& factory, std::FILE* out, const HostRunOptions& options) {
  Printer p(out);
  TempFiles files(options.workDirectory);
  ZEBSOAPSessionI& session = *factory.createSession();
  struct Release {
    VorbTK& factory;
    ZEBSOAPSessionI& session;
    ~Release() { factory.releaseSession(&session); }
  } release{factory, session};
  const auto mode = ZEBSOAPSessionI::ZEBSOAPUntrusted;

  p.step("log on as LDAP/demo with a sealed credential");
  DVLLogon logon(session, nullptr, mode);
  logon.addCredentials("LDAP", "demo", "demo", 1);
  logon.execute();
  p.say("logged on; the session now carries a passport");

  p.step("read the user's capabilities");
  ZEBVorbHeader header;
  std::vector<ZEBUserCapabilityEnum::Enum> capabilities;
  DVLReportHelper::getCapabilities(header, session, capabilities, nullptr, nullptr);
  std::string names;
  for (auto c : capabilities) names += (names.empty() ? "" : ", ") + symbolName(c);
  p.say("%zu capabilities: %s", capabilities.size(), names.c_str());

  p.step("query the folder /content");
  DVLQuery folder(session, nullptr, mode);
  folder.setPath("/content/*");
  folder.execute();
  int count = folder.getObjectCount();
  p.say("%d objects under /content:", count);
  for (int i = 0; i < count; ++i) {
    p.say("  %-12s %s", symbolName(folder.getObjectClass(i)).c_str(), orNone(folder.getName(i)));
  }

  p.step("add a report output with its document and a context document");
  ZEBDocumentOutput data(files.write("report.pdf", reportBytes()), "application/pdf");
  ZEBDocumentOutput context(files.write("context.xml", "<context><prompt name=\"year\">2026</prompt></context>"),
                            "text/xml");
  DVLAddOutput output(session, nullptr, mode);
  output.setParentPath("/content");
  output.setName(options.outputName.c_str());
  output.setFormat("PDF");
  output.setLocale("en-us");
  output.setData(&data);
  output.setContext(context);
  output.execute();
  std::string storeID = orNone(output.getStoreID());
  p.say("stored %lld document bytes; search path %s", data.getSize(), orNone(output.getPath()));
  p.say("store identifier %s", storeID.c_str());

  p.step("read the output back by its store identifier");
  DVLQuery readBack(session, nullptr, mode);
  readBack.setStoreID(storeID.c_str());
  readBack.execute();
  p.say("found %d object: %s \"%s\" at %s", readBack.getObjectCount(), symbolName(readBack.getObjectClass(0)).c_str(),
        orNone(readBack.getName(0)), orNone(readBack.getPath()));

  p.step("add a model with its document");
  ZEBDocumentOutput modelDocument(files.write("model.xml", "<model><table name=\"sales\"/></model>"), "text/xml");
  DVLAddModel model(session, nullptr, mode);
  model.setParentPath("/content");
  model.setName("Sales model");
  model.setData(&modelDocument);
  model.execute();
  p.say("model stored at %s", orNone(model.getPath()));

  p.step("delete a temporary object by its store identifier");
  DVLAddOutput scratch(session, nullptr, mode);
  scratch.setParentPath("/content");
  scratch.setName("Scratch output");
  scratch.execute();
  std::string scratchID = orNone(scratch.getStoreID());
  DVLDelete remove(session, nullptr, mode);
  remove.addStoreId(scratchID.c_str());
  remove.execute();
  DVLQuery gone(session, nullptr, mode);
  gone.setStoreID(scratchID.c_str());
  gone.execute();
  p.say("deleted %s; a query for it now finds %d objects", scratchID.c_str(), gone.getObjectCount());

  p.step("log off");
  DVLLogoff logoff(session, nullptr);
  logoff.execute();
  p.say("logged off");
}
