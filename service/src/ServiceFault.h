// A request the service refuses (the client's fault) or cannot carry out (the server's); the
// service turns it into a SOAP fault whose detail holds `reason`, a word a program can test
// ("invalidPassport"; docs/server.md lists them).
#pragma once

#include <stdexcept>
#include <string>

namespace dvlservice {

class ServiceFault : public std::runtime_error {
 public:
  enum class Side { Client, Server };
  ServiceFault(Side side, std::string reason, const std::string& message)
      : std::runtime_error(message), m_side(side), m_reason(std::move(reason)) {}
  Side getSide() const { return m_side; }
  const std::string& getReason() const { return m_reason; }

 private:
  Side m_side;
  std::string m_reason;
};

[[noreturn]] inline void refuse(const std::string& reason, const std::string& message) {
  throw ServiceFault(ServiceFault::Side::Client, reason, message);
}

}  // namespace dvlservice
