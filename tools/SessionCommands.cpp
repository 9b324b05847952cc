// The session family: logon, logoff, the standalone credential retrieval and the capabilities.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "Cli.h"
#include "DVLLogoff.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "DVLSaAXMQuery.h"
#include "ZEBErrors.h"
#include "ZEBHttpTransport.h"
#include "zp2omsymbols1.h"

namespace dvl {

namespace {

// Reads the password from the terminal without echoing it.
std::string promptPassword(const std::string& user) {
  std::FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) usageError("no password: give --password-file, $DVL_PASSWORD or a terminal");
  termios saved{};
  bool quiet = tcgetattr(fileno(tty), &saved) == 0;
  if (quiet) {
    // Echo goes off before the prompt, and what was typed ahead is kept.
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fileno(tty), TCSANOW, &silent);
  }
  std::fprintf(tty, "password for %s: ", user.c_str());
  std::fflush(tty);
  char line[1024] = "";
  bool read = std::fgets(line, sizeof line, tty) != nullptr;
  if (quiet) tcsetattr(fileno(tty), TCSANOW, &saved);
  std::fputc('\n', tty);
  std::fclose(tty);
  if (!read) usageError("no password given");
  std::string password = line;
  if (!password.empty() && password.back() == '\n') password.pop_back();
  return password;
}

std::string password(const Args& args) {
  if (!args.password.empty()) return args.password;
  if (!args.passwordFile.empty()) {
    std::string line;
    if (args.passwordFile == "-") {  // piped in, as from a password manager
      if (!std::getline(std::cin, line)) usageError("no password on standard input");
    } else {
      line = readFile(args.passwordFile);
      line.erase(std::min(line.find('\n'), line.size()));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a file written on Windows
    return line;
  }
  if (const char* fromEnvironment = std::getenv("DVL_PASSWORD")) return fromEnvironment;
  if (!isatty(0)) usageError("no password: give --password-file, $DVL_PASSWORD or run on a terminal");
  return promptPassword(args.user);
}

}  // namespace

void defineLogon(CLI::App& command, Args& args) {
  command.add_option("--namespace", args.nameSpace, "the account's namespace")->capture_default_str();
  command.add_option("--user", args.user, "the user name")->required();
  command.add_option("--password", args.password, "the password (visible to other users: prefer the prompt)");
  command
      .add_option("--password-file", args.passwordFile,
                  "read the password from the first line of FILE (-: standard input)")
      ->type_name("FILE");
  command.add_flag("--plain", args.plain, "send the credential unsealed");
}

int runLogon(Context& context) {
  Args& args = context.args;
  std::string secret = password(args);
  std::string account = args.nameSpace + "/" + args.user;
  try {
    // A live session fetches the service's key itself, the first time it seals (docs/credentials.md).
    if (context.connection.replaying()) ensureCredentialKey();
    DVLLogon request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
    request.addCredentials(args.nameSpace.c_str(), args.user.c_str(), secret.c_str(), args.plain ? 0 : 1);
    request.execute();
    context.printReply(request);
  } catch (const ZEBSOAPFault& fault) {
    // Nobody should go on as the previous user without knowing it.
    std::string previous = context.connection.savedUser();
    std::string still = previous.empty() ? "no session is in effect"
                                         : "the session of " + previous + " is still in effect (dvl logoff ends it)";
    bool wrongPassword = fault.getDetail().find("logonFailed") != std::string::npos;
    throw Failure(ExitRefused, "fault", wrongPassword ? "logonFailed" : "fault",
                  std::string("logon refused: ") +
                      (wrongPassword ? "unknown user or wrong password" : fault.getFaultString()) + "; " + still);
  }
  try {
    context.connection.save(account);
  } catch (const Failure&) {
    // A passport nobody can use any more is ended rather than left open on the service.
    try {
      DVLLogoff(context.connection.session(), nullptr).execute();
    } catch (const KRNThrowable&) {
    }
    throw;
  }
  context.say("logged on to %s as %s", context.connection.endpoint().c_str(), account.c_str());
  context.result = {{"endpoint", context.connection.endpoint()}, {"user", account}};
  return ExitOk;
}

void defineLogoff(CLI::App&, Args&) {}

int runLogoff(Context& context) {
  DVLLogoff request(context.connection.session(), nullptr);
  try {
    request.execute();
  } catch (const ZEBSOAPFault& fault) {
    // A passport that expired or was ended is forgotten all the same: logged off is where the
    // user wanted to be, and keeping it would refuse every logoff after.
    const std::string& detail = fault.getDetail();
    if (detail.find("invalidPassport") == std::string::npos && detail.find("notLoggedOn") == std::string::npos) throw;
    context.connection.forget();
    context.say("not logged on (the passport had expired or was ended)");
    context.result = {{"loggedOff", false}};
    return ExitOk;
  }
  context.printReply(request);
  context.connection.forget();
  context.say("logged off");
  context.result = {{"loggedOff", true}};
  return ExitOk;
}

void defineCredential(CLI::App& command, Args& args) {
  command.add_option("--namespace", args.nameSpace, "the namespace whose trusted credential to retrieve")
      ->capture_default_str();
}

int runCredential(Context& context) {
  DVLSaAXMQuery request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  request.setNamespace(context.args.nameSpace.c_str());
  request.execute();
  context.printReply(request);
  const char* credential = request.getAXMCredential();
  if (credential == nullptr)
    refused("noCredential", "the service returned no credential for " + context.args.nameSpace);
  context.say("%s", credential);
  context.result = {{"namespace", context.args.nameSpace}, {"credential", credential}};
  return ExitOk;
}

void defineCapabilities(CLI::App&, Args&) {}

int runCapabilities(Context& context) {
  // The session object's capabilities, asked as a query so that --xml has a reply to print.
  ZEBPropEnum property(ZEBPropEnum::userCapabilities);
  DVLQuery request(context.connection.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted);
  request.setPath(DVLFixedStrings::getText(DVLFixedStrings::sessionPath));
  request.setProperty(property);
  request.execute();
  context.printReply(request);
  json names = request.getObjectCount() > 0 ? toJson(request.getObject(0)).value("userCapabilities", json::array())
                                            : json::array();
  for (const json& name : names) context.say("%s", name.is_string() ? name.get<std::string>().c_str() : "?");
  context.result = {{"count", names.size()}, {"capabilities", names}};
  return ExitOk;
}

}  // namespace dvl
