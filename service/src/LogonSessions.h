// The passports the service has issued: each names one logged-on account and dies at logoff or
// when it has not been used for the idle lifetime.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "UserDirectory.h"

namespace dvlservice {

struct LogonSession {
  std::string passport;
  std::string sessionId;  // the store identifier of the session object (~~)
  UserAccount account;
  std::chrono::steady_clock::time_point lastUse;
};

class LogonSessions {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  LogonSessions(std::chrono::seconds idleLifetime, Clock clock);

  // A new passport for the account.
  std::string open(const UserAccount& account);
  // The session of a live passport, its idle time restarted; nothing for an unknown or expired one.
  std::optional<LogonSession> use(const std::string& passport);
  // Ends the session; false when the passport was not live.
  bool close(const std::string& passport);
  size_t size();

 private:
  void purgeExpired(std::chrono::steady_clock::time_point now);

  std::chrono::seconds m_idleLifetime;
  Clock m_clock;
  std::mutex m_lock;
  std::unordered_map<std::string, LogonSession> m_sessions;
};

}  // namespace dvlservice
