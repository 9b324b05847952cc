// Record a host's exchanges with a live service once, then replay them with no service at all:
// the way a test harness pins a service's behaviour.
//
//   replay record http://127.0.0.1:9300/dvl session.dvlrec   (talks to the service, writes the file)
//   replay replay session.dvlrec                             (answers from the file alone)
#include <dvl/DVL.h>
#include <dvl/DVLLogoff.h>
#include <dvl/DVLLogon.h>
#include <dvl/DVLQuery.h>
#include <dvl/DVLTestInfo.h>
#include <dvl/KRNThrowable.h>
#include <dvl/ZEBHelper.h>
#include <dvl/ZEBHttpTransport.h>
#include <dvl/ZEBRecording.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The same calls in both modes: replay matches each request against the recorded one.
void run(VorbTK& factory) {
  ZEBSOAPSessionI& session = *factory.createSession();
  const auto mode = ZEBSOAPSessionI::ZEBSOAPUntrusted;
  DVLLogon logon(session, nullptr, mode);
  logon.addCredentials("LDAP", "demo", "demo", 1);
  logon.execute();

  DVLQuery folder(session, nullptr, mode);
  folder.setPath("/content/*");
  folder.execute();
  std::printf("%d objects in /content:", folder.getObjectCount());
  for (int i = 0; i < folder.getObjectCount(); ++i) std::printf(" %s;", folder.getName(i));
  std::printf("\n");

  DVLLogoff logoff(session, nullptr);
  logoff.execute();
  factory.releaseSession(&session);
}

}  // namespace

int main(int argc, char** argv) {
  const bool record = argc == 4 && std::strcmp(argv[1], "record") == 0;
  const bool replay = argc == 3 && std::strcmp(argv[1], "replay") == 0;
  if (!record && !replay) {
    std::fprintf(stderr, "usage: %s record ENDPOINT FILE | %s replay FILE\n", argv[0], argv[0]);
    return 2;
  }
  DVL::initialize();
  int status = 0;
  try {
    if (record) {
      ZEBHttpSettings settings;
      settings.endpoint = argv[2];
      auto live = std::make_shared<ZEBHttpTransport>(settings);
      ZEBRecordingVorbTK factory(live, argv[3]);  // passwords and passports are masked in the file
      run(factory);
      std::printf("recorded to %s\n", argv[3]);
    } else {
      // The recording masks the sealed credential, so replay seals with any key.
      ZEBHelper::setCredentialKey(ZEBHelper::generateCredentialKeyPair().second.c_str());
      KRNSmartPointer<DVLTestInfo> settings = DVLTestInfo::create();
      run(settings->getRecordedFilesAsSessionFactory("replay", "", argv[2]));
      std::printf("replayed %s with no service\n", argv[2]);
    }
  } catch (const KRNThrowable& error) {
    std::fprintf(stderr, "replay: %s\n", error.getMessage().c_str());
    status = 1;
  }
  DVL::terminate();
  return status;
}
