// The counters GET /metrics reports, in the Prometheus text format: requests by operation and
// outcome, their latency, requests in flight, open and refused connections, logon failures and
// lock-outs, store errors. Thread-safe; counting costs a lock or an atomic increment.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace dvlservice {

class Metrics {
 public:
  // One request answered: its operation ("-" when unknown), outcome ("ok", "fault", "refused") and
  // time from its head arriving to its reply being handed over.
  void request(const std::string& operation, const std::string& outcome, double seconds);
  void storeError() { ++m_storeErrors; }
  void logonFailure(bool lockoutBegan) {
    ++m_logonFailures;
    if (lockoutBegan) ++m_lockouts;
  }

  std::atomic<int64_t> requestsInFlight{0};
  std::atomic<int64_t> openConnections{0};
  std::atomic<uint64_t> connectionsRefused{0};   // past the connection limit: 503
  std::atomic<uint64_t> connectionsTimedOut{0};  // a head or body too slow, or idle too long

  // The whole text for GET /metrics.
  std::string render() const;

  static constexpr double kBuckets[] = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

 private:
  mutable std::mutex m_lock;
  std::map<std::pair<std::string, std::string>, uint64_t> m_requests;
  uint64_t m_bucketCounts[sizeof kBuckets / sizeof kBuckets[0]] = {};
  uint64_t m_count = 0;
  double m_sum = 0;
  std::atomic<uint64_t> m_storeErrors{0}, m_logonFailures{0}, m_lockouts{0};
};

}  // namespace dvlservice
