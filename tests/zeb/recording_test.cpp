// Record and replay: a conversation recorded through an in-process service replays with no service;
// a request the recording does not expect fails naming the exchange and the difference; secrets are
// scrubbed; damaged files are refused clearly.
#include <gtest/gtest.h>
#include "DVLLogoff.h"
#include "DVLLogon.h"
#include "MWLStream.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"
#include "ZEBPortType.h"
#include "ZEBRecording.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"
#include "ZEBInProcessTransport.h"
#include "support/FakeService.h"
#include "support/Files.h"
#include "support/Raised.h"

namespace {

const std::string kPassword = "s3cret-pw";
const std::string kPassport = "live-passport-5d1e77c0";
// Bytes that would confuse a line-based reader: a zero, line ends, a fake record, high bytes.
const std::string kBinary = std::string("\0\nexchange 9 P op 0\nrequest 3\n\r\xff\xfe", 34);

// A small service in the same process: issues a passport at logon and answers a query with one
// folder named after the path; every reply carries a binary document.
std::string answer(const RecordedRequest& request) {
  if (request.operation == "logon") {
    ZEBAuthenticationLogon_Reply logon;
    ZEBVorbHeader header;
    header.setPassport(kPassport.c_str());
    return FakeService::replyOf(logon, &header);
  }
  if (request.operation != "query") return FakeService::emptyReply(request.operation);
  std::unique_ptr<ZEBMessageI> parsed = ZEBSoap::readRequest(request.envelope.data(), request.envelope.size());
  ZEBContentQuery_Reply reply;
  ZEBObjectRegistryI& registry = reply.getObjectRegistry();
  auto* folder = new ZEBFolder;
  registry.registerObject(folder);
  std::string path = static_cast<ZEBContentQuery_Request&>(*parsed).getSearchPath()->getValue();
  folder->getDefaultName(&registry)->setValue(("folder at " + path).c_str());
  reply.getResult(&registry)->push_back(folder);
  return FakeService::replyOf(reply);
}

// One logon, query, logoff conversation; returns the name of the folder the query found.
std::string converse(ZEBSOAPSessionI& session, const char* path = "/content/reports") {
  DVLLogon logon(session, nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  logon.addCredentials("LDAP", "alice", kPassword.c_str(), 0);
  logon.execute();
  // A generated content identifier: it differs on every run and must not defeat the replay.
  std::string contentId = UuidGenerator::create();
  ZEBMemoryDocumentOutput document(kBinary.data(), kBinary.size());
  ZEBAttachmentList attachments{{contentId.c_str(), &document}};
  ZEBContentQuery_Request query;
  ZEBContentQuery_Reply reply;
  query.getSearchPath(&query.getObjectRegistry())->setValue(path);
  KRNSmartPointer<ZEBPortTypeBinding> binding =
      ZEBContentManagerServicePortType::getInstance().createBinding(query, reply);
  session.send(binding.get(), &attachments, ZEBSOAPSessionI::ZEBSOAPUntrusted, nullptr);
  EXPECT_EQ(reply.getReceivedAttachments().at(0).bytes, kBinary);
  DVLLogoff(session, nullptr).execute();
  return reply.getResult()->at(0)->getDefaultName()->getValue();
}

std::unique_ptr<MockVorbTK> replayOf(const std::string& path, const std::string& name = "") {
  auto* reader = new MockVorbTKMessageReader(new MWLFileInputStream(path.c_str()));
  auto* writer = new MockVorbTKMessageWriter(new MWLMemoryOutputStream(30720, 10240));
  return std::make_unique<MockVorbTK>(new MockVorbTKSession(reader, writer), name, "", path);
}

class RecordAndReplayTest : public testing::Test {
 protected:
  // Runs the conversation against the live service through a recording transport.
  void record() {
    ZEBRecordingVorbTK factory(live.transport(), path);
    ZEBSOAPSessionI* session = factory.createSession();
    converse(*session);
    EXPECT_EQ(factory.getRecorder().getExchangesRecorded(), 3);
    factory.releaseSession(session);
  }

  RecordAndReplayTest() {
    live.respond(answer);
    live.replyAttachments = {{"reply-part", "application/octet-stream", kBinary}};
  }

  FakeService live;
  TempDir dir{"dvl-recording"};  // of its own: several build trees may run the tests at once
  const std::string path = dir / "session.dvlrec";
};

// A sealed logon and a document replayed with no service, secrets kept out of the file: the typical
// host run (tests/tools). Here, what a replay refuses.
TEST_F(RecordAndReplayTest, AChangedRequestFailsNamingTheExchangeAndWhatDiffered) {
  record();
  std::unique_ptr<MockVorbTK> replay = replayOf(path, "ReportsTest.Browse");
  ZEBReplayMismatch mismatch =
      raisedBy<ZEBReplayMismatch>([&] { converse(*replay->createSession(), "/content/archive"); });
  EXPECT_EQ(mismatch.getExchange(), 2);
  EXPECT_EQ(mismatch.getOperation(), "ContentManagerService query");
  EXPECT_EQ(mismatch.getMessage(),
            "replay 'ReportsTest.Browse': exchange 2 (ContentManagerService query) does not match the recording: "
            "the request differs at line 1 of the normalised request\n"
            "  recorded: /Envelope/Body/query/searchPath=\"/content/reports\"\n"
            "  sent:     /Envelope/Body/query/searchPath=\"/content/archive\"");

  std::unique_ptr<MockVorbTK> early = replayOf(path);
  DVLLogoff logoff(*early->createSession(), nullptr);
  ZEBReplayMismatch wrong = raisedBy<ZEBReplayMismatch>([&] { logoff.execute(); });
  EXPECT_EQ(wrong.getExchange(), 1);
  EXPECT_EQ(wrong.getDifference(),
            "the recording expects ContentManagerService logon but the request is ContentManagerService logoff");
  // The request object's own back-trace entry is added on the way out, as for any session error.
  EXPECT_STREQ(wrong.getBackTrace().back().location.getFile(), "DVLGenericSoap");

  std::unique_ptr<MockVorbTK> full = replayOf(path);  // replays whole, with no service
  const size_t calls = live.requests().size();
  EXPECT_EQ(converse(*full->createSession()), "folder at /content/reports");
  EXPECT_EQ(live.requests().size(), calls);
  DVLLogoff extra(*full->createSession(), nullptr);
  ZEBReplayMismatch tooMany = raisedBy<ZEBReplayMismatch>([&] { extra.execute(); });
  EXPECT_EQ(tooMany.getExchange(), 4);
  EXPECT_EQ(tooMany.getDifference(), "the recording holds only 3 exchanges");
}

TEST_F(RecordAndReplayTest, TransportErrorsAreRecordedAndReplayed) {
  {
    ZEBRecordingVorbTK factory(live.transport(), path);
    live.respond([](const RecordedRequest&) -> std::string {
      ZEBTransportError error("in-process", "receive", "connection reset by peer");
      ZEBRaise(error, "recording_test");
      return "";
    });
    DVLLogoff logoff(*factory.createSession(), nullptr);
    EXPECT_THROW(logoff.execute(), ZEBTransportError);
  }
  std::unique_ptr<MockVorbTK> replay = replayOf(path);
  DVLLogoff logoff(*replay->createSession(), nullptr);
  ZEBTransportError error = raisedBy<ZEBTransportError>([&] { logoff.execute(); });
  EXPECT_EQ(error.getPhase(), "receive");
  EXPECT_EQ(error.getReason(), "connection reset by peer");
  EXPECT_EQ(error.getEndpoint(), "replay of " + path);
}

// ---- matching rules ----------------------------------------------------------------------------

std::string envelope(const std::string& header, const std::string& body) {
  return "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:dvl=\"urn:dvl\"><soapenv:Header><dvl:vorbHeader>" +
         header + "</dvl:vorbHeader></soapenv:Header><soapenv:Body>" + body + "</soapenv:Body></soapenv:Envelope>";
}

ZEBRecordedExchange exchangeOf(const std::string& header, const std::string& body,
                               std::vector<ZEBReceivedAttachment> attachments = {}) {
  ZEBRecordedExchange e;
  e.number = 1;
  e.port = "ContentManagerService";
  e.operation = "add";
  e.request = envelope(header, body);
  e.requestAttachments = std::move(attachments);
  return e;
}

TEST(ReplayMatcherTest, VolatileValuesAreIgnoredButTheirConsistencyAndOtherValuesAreNot) {
  const char* a = "9f1c2d3e-1111-4abc-8def-0123456789ab";
  const char* b = "0a0b0c0d-2222-4abc-8def-ba9876543210";
  // An add whose passport, client, document identifier, time and password are all volatile.
  auto add = [](std::string passport, std::string client, std::string id, std::string asOf, std::string password) {
    return exchangeOf("<dvl:passport>" + passport + "</dvl:passport><dvl:clientID>" + client + "</dvl:clientID>",
                      "<dvl:add><dvl:doc href=\"cid:" + id + "\"/><dvl:ref>" + id + "</dvl:ref><dvl:asOf>" + asOf +
                          "</dvl:asOf><dvl:credentials>&lt;credential&gt;&lt;password&gt;" + password +
                          "&lt;/password&gt;&lt;/credential&gt;</dvl:credentials></dvl:add>",
                      {{id, "text/plain", "data"}});
  };
  ZEBRecordedExchange recorded =
      add("REDACTED-PASSPORT-1", "REDACTED-CLIENT-ID", a, "2024-05-01T10:20:30.125Z", "REDACTED-PASSWORD");
  ZEBRecordedExchange sent = add("live-123", "c-456", b, "2031-12-31T23:59:59+01:00", "other");
  EXPECT_EQ(ZEBReplayMatcher::difference(recorded, sent), "");

  // Two different identifiers where the recording has one: the reference no longer points at the part.
  ZEBRecordedExchange inconsistent = sent;
  inconsistent.requestAttachments[0].contentId = a;
  std::string difference = ZEBReplayMatcher::difference(recorded, inconsistent);
  EXPECT_NE(difference.find("#attachment[1] content-id=\"{uuid-1}\""), std::string::npos) << difference;
  EXPECT_NE(difference.find("content-id=\"{uuid-2}\""), std::string::npos) << difference;

  ZEBRecordedExchange otherBytes = sent;
  otherBytes.requestAttachments[0].bytes = "dato";
  EXPECT_EQ(ZEBReplayMatcher::difference(recorded, otherBytes),
            "attachment 1 has the recorded size but differs from byte 3");

  ZEBRecordedExchange trusted = sent;
  trusted.trusted = 1;
  EXPECT_EQ(ZEBReplayMatcher::difference(recorded, trusted),
            "the recording expects trusted mode 0 but the request uses 1");

  // Repeated elements are numbered, so a missing one is found.
  EXPECT_EQ(ZEBReplayMatcher::difference(exchangeOf("", "<dvl:add><dvl:p>a</dvl:p><dvl:p>b</dvl:p><dvl:p>c</dvl:p></dvl:add>"),
                                         exchangeOf("", "<dvl:add><dvl:p>a</dvl:p><dvl:p>c</dvl:p></dvl:add>")),
            "the request differs at line 3 of the normalised request\n"
            "  recorded: /Envelope/Body/add/p[2]=\"b\"\n"
            "  sent:     /Envelope/Body/add/p[2]=\"c\"");
}

TEST(ScrubberTest, PassportsKeepOnePlaceholderAndCredentialsAreRemoved) {
  ZEBRecordingScrubber scrubber;
  EXPECT_EQ(scrubber.scrub("<h><dvl:passport>pp-one-4f2a</dvl:passport></h><b><owner>pp-one-4f2a</owner></b>"),
            "<h><dvl:passport>REDACTED-PASSPORT-1</dvl:passport></h><b><owner>REDACTED-PASSPORT-1</owner></b>");
  EXPECT_EQ(scrubber.scrub("<passport>pp-two-77c1</passport><passport>pp-one-4f2a</passport><passport/>"
                           "<ownerPassport>x</ownerPassport>"),
            "<passport>REDACTED-PASSPORT-2</passport><passport>REDACTED-PASSPORT-1</passport><passport/>"
            "<ownerPassport>x</ownerPassport>");
  // A short passport is replaced where it is a passport, but not in every text that contains it.
  EXPECT_EQ(scrubber.scrub("<passport>42</passport><count>42</count>"),
            "<passport>REDACTED-PASSPORT-3</passport><count>42</count>");
  // Credentials are removed in markup and inside escaped documents.
  EXPECT_EQ(scrubber.scrub("<c>&lt;credential&gt;&lt;username&gt;u&lt;/username&gt;&lt;password&gt;a&amp;amp;b&gt;c"
                           "&lt;/password&gt;&lt;/credential&gt;</c>"),
            "<c>&lt;credential&gt;&lt;username&gt;u&lt;/username&gt;&lt;password&gt;REDACTED-PASSWORD"
            "&lt;/password&gt;&lt;/credential&gt;</c>");
  EXPECT_EQ(scrubber.scrub("<c>&lt;credential&gt;&lt;encryptedValue&gt;QUJD+/=&lt;/encryptedValue&gt;</c>"),
            "<c>&lt;credential&gt;&lt;encryptedValue&gt;REDACTED-SEALED&lt;/encryptedValue&gt;</c>");
  EXPECT_EQ(scrubber.scrub("<x:password a=\"1\">pw</x:password><clientID>id</clientID>"),
            "<x:password a=\"1\">REDACTED-PASSWORD</x:password><clientID>REDACTED-CLIENT-ID</clientID>");
}

// ---- the file format ---------------------------------------------------------------------------

TEST(RecordedFileTest, EveryByteAndEveryTokenSurvivesARoundTrip) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  ZEBRecordedExchange written;
  written.number = 1;
  written.port = "Port with spaces %";
  written.operation = "-";
  written.trusted = 1;
  written.request = "<r/>";
  written.requestAttachments = {{"", "type/x; charset=\"a b\"", all}, {"id\n2", "", ""}};
  written.outcome = ZEBRecordedExchange::Reply;
  written.httpStatus = 500;
  written.reply = "<fault>\n\n</fault>";
  written.replyAttachments = {{"r", "application/octet-stream", all + all}};

  auto serialise = [](const ZEBRecordedExchange& e) {
    auto* memory = new MWLMemoryOutputStream;
    MockVorbTKMessageWriter writer(memory);
    writer.writeExchange(e);
    return memory->str();
  };
  std::string bytes = serialise(written);
  bytes.insert(bytes.find('\n') + 1, "# a note added by hand\n\n");

  MockVorbTKMessageReader reader(new MWLMemoryInputStream(bytes.data(), bytes.size()));
  ZEBRecordedExchange read;
  ASSERT_TRUE(reader.readExchange(read));
  EXPECT_EQ(reader.getVersion(), 1);
  EXPECT_EQ(serialise(read), serialise(written));
  EXPECT_EQ(read.requestAttachments.at(1).contentId, "id\n2");
  EXPECT_EQ(read.replyAttachments.at(0).bytes, all + all);
  EXPECT_FALSE(reader.readExchange(read));
}

TEST(RecordedFileTest, ADamagedFileIsRefusedWithWhereAndWhat) {
  const std::string head = "DVL-RECORDED-SESSION 1\n";
  const std::pair<std::string, const char*> files[] = {
      {"", "the file is empty"},
      {"<?xml version=\"1.0\"?>\n", "not a recorded session file"},
      {"DVL-RECORDED-SESSION 2\n", "format version 2 is newer"},
      {head + "exchange 1 P op 0\nrequest 10\n<r/>", "ends inside a block of 10"},
      {head + "exchange 1 P op 0\nrequest 0\n\nanswer 0\n\n", "unknown record 'answer 0'"},
      {head + "exchange 2 P op 0\nrequest 0\n\n", "exchange 2 follows exchange 0"},
      {head + "exchange 1 P%G op 0\n", "bad port 'P%G'"},
      {head + "exchange 1 P op 0\nrequest 99999999999\n", "too large"},
  };
  for (const auto& [bytes, expected] : files) {
    // A reader that fails to construct leaves the stream with its caller.
    auto in = std::make_unique<MWLMemoryInputStream>(bytes.data(), bytes.size());
    auto readAll = [&in] {
      MockVorbTKMessageReader reader(in.get());
      in.release();
      ZEBRecordedExchange e;
      while (reader.readExchange(e)) {
      }
    };
    std::string message = raisedBy<ZEBRecordedFileError>(readAll).getMessage();
    EXPECT_NE(message.find("recorded file 'recorded stream' at byte "), std::string::npos) << message;
    EXPECT_NE(message.find(expected), std::string::npos) << message;
  }
}

}  // namespace
