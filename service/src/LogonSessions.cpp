#include "LogonSessions.h"

#include "Crypto.h"

namespace dvlservice {

LogonSessions::LogonSessions(std::chrono::seconds idleLifetime, Clock clock)
    : m_idleLifetime(idleLifetime), m_clock(std::move(clock)) {
  if (!m_clock) m_clock = [] { return std::chrono::steady_clock::now(); };
}

std::string LogonSessions::open(const UserAccount& account) {
  LogonSession session;
  session.passport = randomHex(32);
  session.sessionId = randomHex(16);
  session.account = account;
  session.account.passwordHash.clear();  // never needed again, so not kept
  std::lock_guard<std::mutex> lock(m_lock);
  session.lastUse = m_clock();
  purgeExpired(session.lastUse);
  std::string passport = session.passport;
  m_sessions.emplace(passport, std::move(session));
  return passport;
}

std::optional<LogonSession> LogonSessions::use(const std::string& passport) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_sessions.find(passport);
  if (it == m_sessions.end()) return std::nullopt;
  auto now = m_clock();
  if (now - it->second.lastUse >= m_idleLifetime) {
    m_sessions.erase(it);
    return std::nullopt;
  }
  it->second.lastUse = now;
  return it->second;
}

bool LogonSessions::close(const std::string& passport) {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_sessions.erase(passport) > 0;
}

size_t LogonSessions::size() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_sessions.size();
}

void LogonSessions::purgeExpired(std::chrono::steady_clock::time_point now) {
  for (auto it = m_sessions.begin(); it != m_sessions.end();) {
    it = now - it->second.lastUse >= m_idleLifetime ? m_sessions.erase(it) : std::next(it);
  }
}

}  // namespace dvlservice
