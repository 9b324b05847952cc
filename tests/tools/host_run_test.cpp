// The typical host run against a live server, recorded, and replayed with no server at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>

#include "ContentServer.h"
#include "ContentService.h"
#include "DVL.h"
#include "DVLTestInfo.h"
#include "HostRun.h"
#include "ZEBHelper.h"
#include "ZEBHttpTransport.h"
#include "ZEBRecording.h"
#include "support/Files.h"

namespace {

const std::string kData = DVL_TEST_DATA;

// Runs the host run through factory and returns what it printed.
std::string run(VorbTK& factory, const HostRunOptions& options = HostRunOptions()) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), &std::fclose);
  runTypicalHostRun(factory, out.get(), options);
  std::string text(static_cast<size_t>(std::ftell(out.get())), '\0');
  std::rewind(out.get());
  text.resize(std::fread(&text[0], 1, text.size(), out.get()));
  return text;
}

class HostRunTest : public testing::Test {
 protected:
  void SetUp() override {
    DVL::initialize();
    recording = testing::TempDir() + "host-run-" + std::to_string(getpid()) + ".dvlrec";
  }
  void TearDown() override {
    std::remove(recording.c_str());
    ZEBHelper::setCredentialKey("");
    DVL::terminate();
  }

  // Records the run against a fresh in-process server and returns what it printed.
  std::string recordLive() {
    dvlservice::ContentService service;
    dvlservice::ServerOptions options;
    options.port = 0;
    dvlservice::ContentServer server(service, options);
    server.start();
    ZEBHelper::setCredentialKey(service.getCredentialPublicKey().c_str());
    ZEBHttpSettings settings;
    settings.endpoint = server.getUrl();
    std::string printed;
    {
      ZEBRecordingVorbTK factory(std::make_shared<ZEBHttpTransport>(settings), recording);
      printed = run(factory);
    }
    server.stop();
    return printed;
  }

  std::string replay(const std::string& file, const HostRunOptions& options = HostRunOptions()) {
    ZEBHelper::setCredentialKey(ZEBHelper::generateCredentialKeyPair().second.c_str());
    KRNSmartPointer<DVLTestInfo> settings(DVLTestInfo::create());
    return run(settings->getRecordedFilesAsSessionFactory("host run", "", file), options);
  }

  std::string recording;
};

// Recorded live, the run replays with the server gone; neither that recording nor the committed one
// holds a password, passport, client id or sealed value in clear.
TEST_F(HostRunTest, ARecordedRunReplaysWithTheServerGoneAndHoldsNoSecret) {
  std::string live = recordLive();
  EXPECT_NE(live.find("[8] log off"), std::string::npos) << live;
  EXPECT_EQ(replay(recording), live);
  for (const std::string& file : {recording, kData + "/typical-host-run.dvlrec"}) {
    std::string text = readFile(file);
    ASSERT_FALSE(text.empty()) << file;
    std::regex secret("(<(dvl:)?|&lt;)(passport|clientID|password|encryptedValue)(>|&gt;)([^<]*?)(<|&lt;)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), secret); it != std::sregex_iterator(); ++it)
      EXPECT_EQ((*it)[5].str().rfind("REDACTED", 0), 0u) << file << ": " << (*it)[0];
  }
}

TEST_F(HostRunTest, TheCommittedRecordingReplaysToTheRecordedOutput) {
  EXPECT_EQ(replay(kData + "/typical-host-run.dvlrec"), readFile(kData + "/typical-host-run.out"));
}

}  // namespace
