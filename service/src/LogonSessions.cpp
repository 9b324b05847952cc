#include "LogonSessions.h"

#include "ContentStore.h"
#include "Crypto.h"

namespace dvlservice {

namespace {

constexpr int64_t kTouchEveryMs = 1000;

std::string hashOf(const std::string& passport) {
  Sha256 hash;
  hash.update(passport.data(), passport.size());
  return hash.hexDigest();
}

}  // namespace

LogonSessions::LogonSessions(ContentStore& store, const UserDirectory& users, std::chrono::seconds idleLifetime,
                             Clock clock)
    : m_store(store),
      m_users(users),
      m_idleMs(std::chrono::duration_cast<std::chrono::milliseconds>(idleLifetime).count()),
      m_clock(std::move(clock)) {}

int64_t LogonSessions::nowMs() const {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  if (m_clock) return duration_cast<milliseconds>(m_clock().time_since_epoch()).count();
  return duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string LogonSessions::open(const UserAccount& account) {
  std::string passport = randomHex(32);
  StoredSession session{randomHex(16), account.nameSpace, account.userName, nowMs()};
  auto tx = m_store.write();
  tx.dropSessionsUsedBefore(session.lastUseMs - m_idleMs);
  tx.putSession(hashOf(passport), session);
  tx.commit();
  return passport;
}

std::optional<LogonSession> LogonSessions::use(const std::string& passport) {
  const std::string hash = hashOf(passport);
  const int64_t now = nowMs();
  std::optional<StoredSession> stored = m_store.read().session(hash);
  if (!stored) return std::nullopt;
  const UserAccount* account = m_users.find(stored->nameSpace, stored->userName);
  if (now - stored->lastUseMs >= m_idleMs || account == nullptr) {
    close(passport);
    return std::nullopt;
  }
  if (now - stored->lastUseMs >= kTouchEveryMs) {
    auto tx = m_store.write();
    tx.touchSession(hash, now);
    tx.commit();
  }
  LogonSession session{passport, stored->sessionId, *account};
  session.account.passwordHash.clear();  // never needed again, so not kept
  return session;
}

bool LogonSessions::close(const std::string& passport) {
  auto tx = m_store.write();
  bool closed = tx.dropSession(hashOf(passport));
  tx.commit();
  return closed;
}

}  // namespace dvlservice
