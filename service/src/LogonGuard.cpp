#include "LogonGuard.h"

namespace dvlservice {

namespace {
// A run of failures is forgotten after this long without another one.
constexpr std::chrono::minutes kForget{15};
// Past this many entries, forgotten ones are removed: guesses at made-up names cost bounded memory.
constexpr size_t kPruneAbove = 100000;
constexpr int kMaxDoublings = 6;  // the longest lock-out is 64 times the first
}  // namespace

LogonGuard::LogonGuard(Options options) : m_options(std::move(options)) {}

std::chrono::steady_clock::time_point LogonGuard::now() const {
  return m_options.clock ? m_options.clock() : std::chrono::steady_clock::now();
}

LogonGuard::Decision LogonGuard::check(const std::string& account, const std::string& peerAddress) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto t = now();
  for (auto* table : {&m_accounts, &m_addresses}) {
    auto it = table->find(table == &m_accounts ? account : peerAddress);
    if (it != table->end() && it->second.lockedUntil > t) return Decision::refuse;
  }
  return Decision::allow;
}

bool LogonGuard::fail(Table& table, const std::string& key, int after, const char* what) {
  if (after <= 0) return false;
  if (table.size() > kPruneAbove) prune(table);
  Entry& e = table[key];
  auto t = now();
  if (e.failures > 0 && t - e.lastFailure > kForget) e.failures = 0;
  e.lastFailure = t;
  if (++e.failures < after) return false;
  auto seconds = m_options.lockout * (1 << std::min(e.failures - after, kMaxDoublings));
  e.lockedUntil = t + seconds;
  if (m_options.log) {
    m_options.log(std::string("lock-out of ") + what + " " + key + " for " + std::to_string(seconds.count()) +
                  " s after " + std::to_string(e.failures) + " failed logons");
  }
  return true;
}

void LogonGuard::prune(Table& table) {
  auto t = now();
  for (auto it = table.begin(); it != table.end();) {
    bool stale = it->second.lockedUntil <= t && t - it->second.lastFailure > kForget;
    it = stale ? table.erase(it) : std::next(it);
  }
}

bool LogonGuard::recordFailure(const std::string& account, const std::string& peerAddress) {
  std::lock_guard<std::mutex> lock(m_lock);
  bool began = fail(m_accounts, account, m_options.accountAfter, "account");
  if (!peerAddress.empty()) began = fail(m_addresses, peerAddress, m_options.addressAfter, "address") || began;
  return began;
}

void LogonGuard::recordSuccess(const std::string& account, const std::string&) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_accounts.erase(account);
}

}  // namespace dvlservice
