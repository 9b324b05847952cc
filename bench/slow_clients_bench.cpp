// How dvl-contentd's front holds up while connections send slowly or sit idle: N such connections (a
// third each send half a request head, half a body, or sit idle after a request) are held against
// one server with eight workers while one normal client makes queries in a loop. Per N: the client's
// calls and their latency, the server's most threads and the memory it added (VmRSS, sampled every
// 20 ms, over what it held before the connections opened). N = 0 is the same client alone. The last
// line says whether every call was answered within a second with the threads bounded.
//
//   slow_clients_bench [SECONDS [N ...]]    (default 5 s each; N 0 300 1000 3000)
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "DVL.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "ZEBHttpTransport.h"
#include "support/Daemon.h"
#include "support/Peers.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWorkers = 8;
constexpr auto kUntrusted = ZEBSOAPSessionI::ZEBSOAPUntrusted;

long procStatus(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

struct Figures {
  std::vector<double> latenciesMs;
  long errors = 0, opened = 0, maxThreads = 0;
  double addedMiB = 0;
};

Figures run(int slowCount, double seconds) {
  // The header timeout outlasts the window, so that no slow connection is dropped while measured.
  Daemon server({"--listen", "127.0.0.1:0", "--log", "off", "--threads", std::to_string(kWorkers),
                 "--max-connections", std::to_string(slowCount + 64), "--header-timeout",
                 std::to_string(static_cast<int>(seconds) + 10)});
  if (server.port() == 0) {
    std::fprintf(stderr, "slow_clients_bench: dvl-contentd did not start: %s\n", server.firstLine().c_str());
    std::exit(1);
  }
  Figures f;
  ZEBHttpSettings settings;
  settings.endpoint = server.url();
  settings.poolSize = 1;
  ZEBLiveVorbTK factory(settings);
  ZEBSOAPSessionI& session = *factory.createSession();
  auto query = [&] {
    DVLQuery q(session, nullptr, kUntrusted);
    q.setPath("/content/*");
    q.execute();
  };
  DVLLogon logon(session, nullptr, kUntrusted);
  logon.addCredentials("LDAP", "demo", "demo", 0);
  logon.execute();
  for (int i = 0; i < 20; ++i) query();  // the server's per-call allocations are in its baseline
  const long before = procStatus(server.pid(), "VmRSS:");

  const std::string bodyHead =
      "POST /dvl HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\nContent-Length: 100000\r\n\r\n<soapenv:Env";
  std::vector<int> slow;
  for (int i = 0; i < slowCount; ++i) {
    int fd = connectLoopback(server.port());
    if (fd < 0) break;
    std::string sent = i % 3 == 0   ? "POST /dvl HTTP/1.1\r\nHost: x\r\nContent-Le"
                       : i % 3 == 1 ? bodyHead
                                    : "GET /health HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(fd, sent.data(), sent.size(), MSG_NOSIGNAL);
    slow.push_back(fd);
  }
  f.opened = static_cast<long>(slow.size());

  std::atomic<bool> stop{false};
  long maxRss = before;
  std::thread sampler([&] {
    while (!stop) {
      f.maxThreads = std::max(f.maxThreads, procStatus(server.pid(), "Threads:"));
      maxRss = std::max(maxRss, procStatus(server.pid(), "VmRSS:"));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  for (auto end = Clock::now() + std::chrono::duration<double>(seconds); Clock::now() < end;) {
    auto start = Clock::now();
    try {
      query();
      f.latenciesMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    } catch (const std::exception&) {
      ++f.errors;
    }
  }
  stop = true;
  sampler.join();
  f.addedMiB = (maxRss - before) / 1024.0;
  for (int fd : slow) ::close(fd);
  server.stop(SIGTERM);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5;
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {0, 300, 1000, 3000};
  // Both ends hold every connection: this process and the server it starts (which inherits it).
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  DVL::initialize();
  std::printf("one client's queries of /content/* for %.0f s beside N slow connections; dvl-contentd, %d workers\n",
              seconds, kWorkers);
  std::printf("%6s %8s %10s %8s %11s %15s %18s %7s\n", "N", "calls", "median ms", "p99 ms", "slowest ms",
              "server threads", "memory added MiB", "errors");
  bool held = true;  // every call answered within a second, threads within workers + 4, no error
  for (int n : counts) {
    Figures f = run(n, seconds);
    std::vector<double>& l = f.latenciesMs;
    std::sort(l.begin(), l.end());
    auto at = [&](double q) { return l.empty() ? 0.0 : l[static_cast<size_t>(q * (l.size() - 1))]; };
    if (f.opened < n) std::fprintf(stderr, "slow_clients_bench: only %ld of %d connections opened\n", f.opened, n);
    std::printf("%6d %8zu %10.2f %8.2f %11.1f %15ld %18.1f %7ld\n", n, l.size(), at(0.5), at(0.99),
                l.empty() ? 0.0 : l.back(), f.maxThreads, f.addedMiB, f.errors);
    std::fflush(stdout);
    held = held && !l.empty() && l.back() < 1000 && f.maxThreads <= kWorkers + 4 && f.errors == 0 && f.opened == n;
  }
  std::printf("every call within 1 s, at most %d server threads, no error: %s\n", kWorkers + 4, held ? "met" : "MISSED");
  DVL::terminate();
  return 0;
}
