// Slows down password guessing: after a number of failed logons in a row for one account, or from
// one client address, logons for it are refused for an interval that doubles with each further
// failure. A right password during a lock-out is refused like a wrong one, so guessing on gains
// nothing. Unknown accounts are tracked like known ones, so a lock-out tells nothing about which
// accounts exist. Every lock-out is logged. Thread-safe.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace dvlservice {

class LogonGuard {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  struct Options {
    int accountAfter = 5;   // failures in a row for one account before a lock-out; 0: never
    int addressAfter = 20;  // the same for one client address, whatever the accounts
    std::chrono::seconds lockout{30};
    Clock clock;  // steady_clock::now when empty
    std::function<void(const std::string&)> log;
  };
  enum class Decision { allow, refuse };

  explicit LogonGuard(Options options);

  // Whether a logon for the account from the address may be tried now.
  Decision check(const std::string& account, const std::string& peerAddress);
  // A failed logon; true when it began a lock-out (of the account or the address).
  bool recordFailure(const std::string& account, const std::string& peerAddress);
  // A successful logon ends the account's run of failures (the address's run stays: one good
  // account must not wipe out guesses at others).
  void recordSuccess(const std::string& account, const std::string& peerAddress);

 private:
  struct Entry {
    int failures = 0;  // in a row
    std::chrono::steady_clock::time_point lockedUntil, lastFailure;
  };
  using Table = std::unordered_map<std::string, Entry>;
  std::chrono::steady_clock::time_point now() const;
  bool fail(Table& table, const std::string& key, int after, const char* what);
  void prune(Table& table);

  Options m_options;
  std::mutex m_lock;
  Table m_accounts, m_addresses;
};

}  // namespace dvlservice
