#include "Metrics.h"

#include <cstdio>

namespace dvlservice {

void Metrics::request(const std::string& operation, const std::string& outcome, double seconds) {
  std::lock_guard<std::mutex> lock(m_lock);
  ++m_requests[{operation, outcome}];
  for (size_t i = 0; i < sizeof kBuckets / sizeof kBuckets[0]; ++i)
    if (seconds <= kBuckets[i]) ++m_bucketCounts[i];
  ++m_count;
  m_sum += seconds;
}

namespace {

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& out, const std::string& name, double value) {
  char text[64];
  std::snprintf(text, sizeof text, " %.17g\n", value);
  out += name + text;
}

// Label values are operation names of the schema and a few fixed words; quoted all the same.
std::string label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"' || c == '\n') out += '\\';
    out += c == '\n' ? 'n' : c;
  }
  return out;
}

}  // namespace

std::string Metrics::render() const {
  std::string out;
  family(out, "dvl_requests_total", "counter", "Requests answered, by operation and outcome.");
  std::lock_guard<std::mutex> lock(m_lock);
  for (const auto& entry : m_requests) {
    sample(out,
           "dvl_requests_total{operation=\"" + label(entry.first.first) + "\",outcome=\"" + label(entry.first.second) +
               "\"}",
           double(entry.second));
  }
  family(out, "dvl_request_duration_seconds", "histogram", "Time from a request's head to its reply.");
  for (size_t i = 0; i < sizeof kBuckets / sizeof kBuckets[0]; ++i) {
    char le[32];
    std::snprintf(le, sizeof le, "%g", kBuckets[i]);
    sample(out, std::string("dvl_request_duration_seconds_bucket{le=\"") + le + "\"}", double(m_bucketCounts[i]));
  }
  sample(out, "dvl_request_duration_seconds_bucket{le=\"+Inf\"}", double(m_count));
  sample(out, "dvl_request_duration_seconds_sum", m_sum);
  sample(out, "dvl_request_duration_seconds_count", double(m_count));
  struct Plain {
    const char* name;
    const char* type;
    const char* help;
    double value;
  };
  const Plain plain[] = {
      {"dvl_requests_in_flight", "gauge", "Requests being read, carried out or answered.", double(requestsInFlight)},
      {"dvl_open_connections", "gauge", "Connections open now.", double(openConnections)},
      {"dvl_connections_refused_total", "counter", "Connections refused with 503 past the limit.",
       double(connectionsRefused)},
      {"dvl_connections_timed_out_total", "counter", "Connections closed for a slow head or body or idleness.",
       double(connectionsTimedOut)},
      {"dvl_logon_failures_total", "counter", "Failed logons, refused ones during a lock-out included.",
       double(m_logonFailures)},
      {"dvl_logon_lockouts_total", "counter", "Lock-outs begun, of accounts and client addresses.", double(m_lockouts)},
      {"dvl_store_errors_total", "counter", "Requests the store failed.", double(m_storeErrors)},
  };
  for (const Plain& p : plain) {
    family(out, p.name, p.type, p.help);
    sample(out, p.name, p.value);
  }
  return out;
}

}  // namespace dvlservice
