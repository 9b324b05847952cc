// Loopback peers for tests of the live transport and the server: a raw socket peer that runs a script per
// connection, for the misbehaviour (stalls, truncation, resets, garbage) that an HTTP server
// library will not produce.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// Binds fd to an ephemeral loopback port and returns the port.
inline int bindLoopback(int fd) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot bind on the loopback interface");
  }
  return ntohs(address.sin_port);
}
// A connection of our own to a loopback port; -1 when it cannot be made.
inline int connectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

// A raw TCP peer on an ephemeral loopback port: each accepted connection runs the script on a
// thread of its own with its index (0 for the first).
class RawPeer {
 public:
  using Script = std::function<void(int fd, int connection, RawPeer& peer)>;

  explicit RawPeer(Script script) : m_script(std::move(script)), m_listen(::socket(AF_INET, SOCK_STREAM, 0)) {
    m_port = bindLoopback(m_listen);
    if (::listen(m_listen, 16) != 0) throw std::runtime_error("cannot listen");
    m_thread = std::thread([this] {
      for (int index = 0; !m_stopping;) {
        pollfd p{m_listen, POLLIN, 0};
        int fd = ::poll(&p, 1, 20) > 0 ? ::accept(m_listen, nullptr, nullptr) : -1;
        if (fd >= 0) m_workers.emplace_back([this, fd, i = index++] { m_script(fd, i, *this), ::close(fd); });
      }
    });
  }
  ~RawPeer() {
    m_stopping = true;
    m_thread.join();
    for (std::thread& t : m_workers) t.join();
    ::close(m_listen);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/dvl"; }
  bool stopping() const { return m_stopping; }
  // Blocks a script until the peer is destroyed.
  void hold() const {
    while (!m_stopping) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  // Reads one request, head and body (Content-Length or chunked), or a reply framed the same way.
  // Empty when the other side went away.
  static std::string readRequest(int fd) {
    std::string data;
    size_t headEnd = std::string::npos, total = std::string::npos;
    for (;;) {
      if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
        std::string head = data.substr(0, headEnd);
        std::transform(head.begin(), head.end(), head.begin(), ::tolower);
        size_t at = head.find("content-length:");
        if (at != std::string::npos) total = headEnd + 4 + std::stoull(head.substr(at + 15));
      }
      if (headEnd != std::string::npos &&
          (total != std::string::npos ? data.size() >= total
                                      : data.size() >= headEnd + 5 && data.compare(data.size() - 5, 5, "0\r\n\r\n") == 0)) {
        return data;
      }
      pollfd p{fd, POLLIN, 0};
      char buffer[65536];
      ssize_t n = ::poll(&p, 1, 10000) > 0 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
      if (n <= 0) return std::string();
      data.append(buffer, static_cast<size_t>(n));
    }
  }
  static bool sendAll(int fd, const std::string& text) {
    for (size_t sent = 0; sent < text.size();) {
      ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  Script m_script;
  int m_listen;
  int m_port = 0;
  std::thread m_thread;
  std::vector<std::thread> m_workers;
  std::atomic<bool> m_stopping{false};
};