// The passports the service has issued: each names one logged-on account and dies at logoff or
// when it has not been used for the idle lifetime. Kept in the store under a SHA-256 of the
// passport, so that they outlive a restart and hold on every server sharing the store, while a copy
// of the store yields no passport. The last use is written at most once a second per passport.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "UserDirectory.h"

namespace dvlservice {

class ContentStore;

struct LogonSession {
  std::string passport;
  std::string sessionId;  // the store identifier of the session object (~~)
  UserAccount account;
};

class LogonSessions {
 public:
  // The clock passports age by; tests replace it. Servers sharing a store must share its epoch,
  // which the default (the system clock) does.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  LogonSessions(ContentStore& store, const UserDirectory& users, std::chrono::seconds idleLifetime, Clock clock);

  // A new passport for the account.
  std::string open(const UserAccount& account);
  // The session of a live passport, its idle time restarted; nothing for an unknown or expired one,
  // or one whose account is no longer in the users file.
  std::optional<LogonSession> use(const std::string& passport);
  // Ends the session; false when the passport was not live.
  bool close(const std::string& passport);

 private:
  int64_t nowMs() const;

  ContentStore& m_store;
  const UserDirectory& m_users;
  int64_t m_idleMs;
  Clock m_clock;
};

}  // namespace dvlservice
