// A minimal DVL host: log on, list a folder, store a report output with its document, read it back,
// delete it and log off, against the service at the endpoint given on the command line.
//
//   hello http://127.0.0.1:9300/dvl [user password]
#include <dvl/DVL.h>
#include <dvl/DVLAddOutput.h>
#include <dvl/DVLDelete.h>
#include <dvl/DVLLogoff.h>
#include <dvl/DVLLogon.h>
#include <dvl/DVLQuery.h>
#include <dvl/KRNThrowable.h>
#include <dvl/ZEBHttpTransport.h>

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: %s ENDPOINT [USER PASSWORD]\n", argv[0]);
    return 2;
  }
  const char* user = argc == 4 ? argv[2] : "demo";
  const char* password = argc == 4 ? argv[3] : "demo";

  DVL::initialize();
  int status = 0;
  try {
    // One factory per endpoint; its sessions share its connections. With no credential key
    // configured, the factory fetches the service's key and remembers it (docs/credentials.md).
    ZEBHttpSettings settings;
    settings.endpoint = argv[1];
    ZEBLiveVorbTK factory(settings);
    ZEBSOAPSessionI& session = *factory.createSession();
    const auto mode = ZEBSOAPSessionI::ZEBSOAPUntrusted;

    DVLLogon logon(session, nullptr, mode);
    logon.addCredentials("LDAP", user, password, 1);  // sealed to the service's key
    logon.execute();                                   // the session keeps the passport

    DVLQuery folder(session, nullptr, mode);
    folder.setPath("/content/*");
    folder.execute();
    std::printf("%d objects in /content\n", folder.getObjectCount());
    for (int i = 0; i < folder.getObjectCount(); ++i) std::printf("  %s\n", folder.getName(i));

    // The document is streamed from its file when the request is sent.
    const char* path = "hello-report.txt";
    std::ofstream(path) << "Sales by region, 2026\n";
    ZEBDocumentOutput document(path, "text/plain");
    DVLAddOutput output(session, nullptr, mode);
    output.setParentPath("/content");
    output.setName("Hello output");
    output.setFormat("TXT");
    output.setLocale("en-us");
    output.setData(&document);
    output.execute();
    std::string storeID = output.getStoreID();  // getters point into the request object
    std::printf("stored %s as %s\n", output.getPath(), storeID.c_str());
    std::remove(path);

    DVLQuery readBack(session, nullptr, mode);
    readBack.setStoreID(storeID.c_str());
    readBack.execute();
    std::printf("read back: %d object named %s\n", readBack.getObjectCount(),
                readBack.getObjectCount() ? readBack.getName(0) : "-");

    DVLDelete remove(session, nullptr, mode);
    remove.addStoreId(storeID.c_str());
    remove.execute();
    std::printf("deleted %s\n", storeID.c_str());

    DVLLogoff logoff(session, nullptr);
    logoff.execute();
    factory.releaseSession(&session);
  } catch (const KRNThrowable& error) {
    // Service faults, transport failures and assertions all arrive here, with their text.
    std::fprintf(stderr, "hello: %s\n", error.getMessage().c_str());
    status = 1;
  }
  DVL::terminate();
  return status;
}
