// Sessions over loopback HTTP: logon and logoff with plain and sealed credentials, the faults a
// refused session gets, and how a broken, stalled or garbled reply reaches the host; after each
// failure the server goes on serving.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "DVLLogoff.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "LiveServer.h"

namespace live {
namespace {

const char* const kWrongPassword = "logon failed: unknown user or wrong password";
const char* const kNoPassport = "query needs a passport: log on first";
const char* const kInvalidPassport =
    "the passport is not valid: it has expired, ended with a logoff, or was never issued";

class LiveSession : public LiveServer {
 protected:
  void query() { count("/content/*"); }
};

class LiveSessionCredential : public LiveServer, public testing::WithParamInterface<int> {};

TEST_P(LiveSessionCredential, LogsOnQueriesAndLogsOff) {
  DVLLogon logon(session(), nullptr, kUntrusted);
  logon.addCredentials("LDAP", "demo", "demo", GetParam());
  if (GetParam()) {  // the password does not travel in clear
    EXPECT_EQ(logon.getCredentials().find("demo"), std::string::npos) << logon.getCredentials();
  }
  logon.execute();
  ASSERT_FALSE(session().getPassport().empty());

  EXPECT_GE(count("/content/*"), 2);  // the demo store's Samples and Archive

  DVLLogoff logoff(session(), nullptr);
  logoff.execute();
  EXPECT_TRUE(session().getPassport().empty());
  EXPECT_EQ(faultOf([&] { count("/content/*"); }).getFaultString(), kNoPassport);
}

TEST_P(LiveSessionCredential, AWrongPasswordIsRefusedWithTheServersMessage) {
  ZEBSOAPFault fault = faultOf([&] { logon("demo", "not-demo", GetParam()); });
  EXPECT_EQ(fault.getFaultCode(), "soapenv:Client");
  EXPECT_EQ(fault.getFaultString(), kWrongPassword);
  EXPECT_TRUE(session().getPassport().empty());

  logon("demo", "demo", GetParam());
  EXPECT_FALSE(session().getPassport().empty());
}

INSTANTIATE_TEST_SUITE_P(PlainAndSealed, LiveSessionCredential, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int>& info) { return info.param ? "Sealed" : "Plain"; });

TEST_F(LiveSession, AForgedPassportIsRefused) {
  logon();
  session().setPassport("forged");
  ZEBSOAPFault fault = faultOf([&] { query(); });
  EXPECT_EQ(fault.getFaultString(), kInvalidPassport);
  EXPECT_NE(fault.getDetail().find("invalidPassport"), std::string::npos) << fault.getDetail();
}

TEST_F(LiveSession, APassportDiesAtLogoff) {
  logon();
  std::string passport = session().getPassport();
  DVLLogoff logoff(session(), nullptr);
  logoff.execute();

  EXPECT_EQ(faultOf([&] { query(); }).getFaultString(), kNoPassport);
  session().setPassport(passport);
  EXPECT_EQ(faultOf([&] { query(); }).getFaultString(), kInvalidPassport);
  EXPECT_EQ(faultOf([&] { DVLLogoff(session(), nullptr).execute(); }).getFaultString(), kInvalidPassport);
}

TEST_F(LiveSession, AReplyCutShortIsATransportError) {
  logon();
  inject("operation=query;drop;count=1");
  try {
    query();
    FAIL() << "no transport error";
  } catch (const ZEBTransportError& e) {
    EXPECT_EQ(e.getEndpoint(), settings().endpoint);
    EXPECT_EQ(e.getPhase(), "receive");
    EXPECT_NE(e.getReason().find("truncated"), std::string::npos) << e.getReason();
  }
  // The same session, and whatever connection its transport keeps, serves the next call.
  EXPECT_NO_THROW(query());
  EXPECT_NO_THROW(query());
}

TEST_F(LiveSession, AReplySlowerThanTheStallTimeoutIsATransportError) {
  logon();
  ZEBLiveVorbTK impatient(settings(300));
  auto& slow = static_cast<ZEBSOAPSession&>(*impatient.createSession());
  slow.setPassport(session().getPassport());
  inject("operation=query;delay=1500;count=1");

  DVLQuery stalled(slow, nullptr, kUntrusted);
  stalled.setPath("/content/*");
  try {
    stalled.execute();
    FAIL() << "no transport error";
  } catch (const ZEBTransportError& e) {
    EXPECT_EQ(e.getPhase(), "receive");
    EXPECT_EQ(e.getReason(), "timed out after 300 ms without data");
  }
  EXPECT_NO_THROW(query());
}

}  // namespace
}  // namespace live
