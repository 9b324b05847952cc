// Sessions over loopback HTTP: logon and logoff with plain and sealed credentials, the faults a
// refused session gets; replies cut short, stalls and other broken replies are the fault suite's.
#include <gtest/gtest.h>

#include "DVLLogoff.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "LiveServer.h"

namespace live {
namespace {

const char* const kNoPassport = "query needs a passport: log on first";
const char* const kInvalidPassport =
    "the passport is not valid: it has expired, ended with a logoff, or was never issued";

class LiveSession : public LiveServer {};

TEST_F(LiveSession, AWrongPasswordIsRefusedWithTheServersMessage) {
  ZEBSOAPFault fault = faultOf([&] { logon("demo", "not-demo"); });
  EXPECT_EQ(fault.getFaultCode(), "soapenv:Client");
  EXPECT_EQ(fault.getFaultString(), "logon failed: unknown user or wrong password");
  EXPECT_TRUE(session().getPassport().empty());

  logon("demo", "demo", 1);
  EXPECT_FALSE(session().getPassport().empty());
}

// After a logoff the session holds no passport; a forged one, and one that a logoff ended, are
// refused as invalid. Sealed logons over the wire: the credential-key suite; that the password is
// not in the sealed credential: tests/prod.
TEST_F(LiveSession, LoggedOffAndForgedPassportsAreRefused) {
  logon();
  std::string passport = session().getPassport();
  EXPECT_GE(count("/content/*"), 2);  // the demo store's Samples and Archive
  DVLLogoff(session(), nullptr).execute();
  EXPECT_TRUE(session().getPassport().empty());
  EXPECT_EQ(faultOf([&] { count("/content/*"); }).getFaultString(), kNoPassport);
  session().setPassport(passport);
  EXPECT_EQ(faultOf([&] { count("/content/*"); }).getFaultString(), kInvalidPassport);
  EXPECT_EQ(faultOf([&] { DVLLogoff(session(), nullptr).execute(); }).getFaultString(), kInvalidPassport);

  session().setPassport("forged");
  ZEBSOAPFault forged = faultOf([&] { count("/content/*"); });
  EXPECT_EQ(forged.getFaultString(), kInvalidPassport);
  EXPECT_NE(forged.getDetail().find("invalidPassport"), std::string::npos) << forged.getDetail();
}

// A host that ignores a failed seal for user B must not go on as user A: the request is left with
// "<credential>" alone, which the service refuses.
TEST_F(LiveSession, AFailedSealLeavesACredentialTheServiceRefuses) {
  DVLLogon logon(session(), nullptr, kUntrusted);
  logon.addCredentials("LDAP", "demo", "demo", 0);
  logon.execute();
  session().setPassport("");
  std::string key = ZEBHelper::getCredentialKey();
  ZEBHelper::setCredentialKey("");
  EXPECT_THROW(logon.addCredentials("LDAP", "other", "other", 1), KRNRuntimeError);
  ZEBHelper::setCredentialKey(key.c_str());
  ZEBSOAPFault fault = faultOf([&] { logon.execute(); });
  EXPECT_EQ(fault.getFaultCode(), "soapenv:Client") << fault.getFaultString();
  EXPECT_TRUE(session().getPassport().empty());
}

}  // namespace
}  // namespace live
