// Faults of the peer as a host meets them: dvl-contentd behind a peer that relays every exchange
// until it is told to misbehave once. Each fault comes out of a request object's execute() as the
// exception that names it, within the transport's limits, and the same session serves the next call.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "DVLQuery.h"
#include "ZEBMime.h"
#include "integration/LiveServer.h"
#include "support/Peers.h"

namespace live {
namespace {

constexpr long kStallTimeoutMs = 3000;
constexpr long long kMaxReplyBytes = 32LL << 20;

// Sends one request to the server on a connection of its own and returns the reply; empty when
// the server did not answer.
std::string relay(int port, const std::string& request) {
  int fd = connectLoopback(port);
  std::string reply = fd >= 0 && RawPeer::sendAll(fd, request) ? RawPeer::readRequest(fd) : "";
  ::close(fd);
  return reply;
}

// Between the client and the server: relays each request and its reply on the client's kept-alive
// connection. An armed fault takes the next request instead; the connection closes after it.
class FaultyPeer {
 public:
  using Fault = std::function<void(int fd)>;

  explicit FaultyPeer(int serverPort)
      : m_peer([this, serverPort](int fd, int, RawPeer&) {
          for (std::string request; !(request = RawPeer::readRequest(fd)).empty();) {
            if (Fault fault = take()) return fault(fd);
            std::string reply = relay(serverPort, request);
            if (reply.empty() || !RawPeer::sendAll(fd, reply)) return;
          }
        }) {}

  void arm(Fault fault) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_fault = std::move(fault);
  }
  std::string url() const { return m_peer.url(); }

 private:
  Fault take() {
    Fault fault;
    std::lock_guard<std::mutex> lock(m_lock);
    std::swap(fault, m_fault);
    return fault;
  }

  std::mutex m_lock;
  Fault m_fault;
  RawPeer m_peer;  // last, so that its threads end before the fault they may run goes
};

std::string httpReply(const std::string& status, const std::string& contentType, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: " + contentType +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

FaultyPeer::Fault answer(std::string reply) {
  return [reply](int fd) { RawPeer::sendAll(fd, reply); };
}

// A multipart reply whose body ends inside its document, before the closing delimiter.
std::string truncatedMultipart() {
  ZEBMimeBody mime = ZEBMime::buildRelated(
      "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body/></soapenv:Envelope>",
      {{"doc", "application/octet-stream", std::string(4000, 'd')}});
  return httpReply("200 OK", mime.contentType, mime.body.substr(0, mime.body.size() - 1000));
}

const std::string kHalfReply =
    "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 2000\r\n\r\n" + std::string(1000, 'x');

// The start of a reply, then nothing until the client goes.
FaultyPeer::Fault answerThenWait(std::string start) {
  return [start](int fd) {
    char byte;
    if (RawPeer::sendAll(fd, start)) ::recv(fd, &byte, 1, 0);
  };
}

// A chunked reply that never ends; a client that ignores the reply limit gets a cut-off stream
// after twice the limit instead.
void endlessChunks(int fd) {
  const std::string chunk = "10000\r\n<soapenv:Envelope>" + std::string(65536 - 18, 'x') + "\r\n";
  bool open = RawPeer::sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n");
  for (long long sent = 0; open && sent < 2 * kMaxReplyBytes; sent += 65536) open = RawPeer::sendAll(fd, chunk);
}

// Half the announced body, then a reset (SO_LINGER {1, 0} turns the close into an RST).
void resetMidBody(int fd) {
  RawPeer::sendAll(fd, kHalfReply);
  linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

// How a call ended: the exception's type and what it says, and whether the request object's
// execute() passed it on.
struct Outcome {
  std::string type = "no exception";
  std::string code;  // the fault code, or the transport phase
  int httpStatus = 0;
  std::string text;  // the fault string, the transport's reason, or the message
  bool fromExecute = false;
};

Outcome outcomeOf(const std::function<void()>& call) {
  Outcome o;
  try {
    call();
  } catch (const KRNThrowable& e) {
    o.type = e.getTypeName();
    o.text = e.getMessage();
    if (auto* fault = dynamic_cast<const ZEBSOAPFault*>(&e)) {
      o.code = fault->getFaultCode();
      o.text = fault->getFaultString();
    } else if (auto* transport = dynamic_cast<const ZEBTransportError*>(&e)) {
      o.code = transport->getPhase();
      o.httpStatus = transport->getHttpStatus();
      o.text = transport->getReason();
    }
    for (const KRNBackTraceEntry& entry : e.getBackTrace()) {
      o.fromExecute = o.fromExecute || std::string(entry.location.getFile()) == "DVLGenericSoap";
    }
  }
  return o;
}

// The server behind a faulty peer, and one session through it, logged on.
class Faults : public LiveServer {
 protected:
  void SetUp() override {
    LiveServer::SetUp();
    const std::string& server = settings().endpoint;  // http://127.0.0.1:PORT/dvl
    m_peer = std::make_unique<FaultyPeer>(std::stoi(server.substr(server.rfind(':') + 1)));
    ZEBHttpSettings s = settings(kStallTimeoutMs);
    s.endpoint = m_peer->url();
    s.maxReplyBytes = kMaxReplyBytes;
    m_factory = std::make_unique<ZEBLiveVorbTK>(s);
    m_session = static_cast<ZEBSOAPSession*>(m_factory->createSession());
    // Logged on straight to the server, where the short stall limit does not hold: hashing the
    // password may take longer than that on a busy machine.
    logon();
    m_session->setPassport(session().getPassport());
  }

  void TearDown() override {
    m_factory.reset();  // its connections close, so the peer's threads end
    m_peer.reset();
    LiveServer::TearDown();
  }

  FaultyPeer& peer() { return *m_peer; }

  int query() {
    DVLQuery query(*m_session, nullptr, kUntrusted);
    query.setPath("/content/*");
    query.execute();
    return query.getObjectCount();
  }

  // The calls after a fault go through the same session and transport.
  void expectServedAgain() {
    for (int i = 0; i < 2; ++i) EXPECT_GE(query(), 2);
  }

 private:
  std::unique_ptr<FaultyPeer> m_peer;
  std::unique_ptr<ZEBLiveVorbTK> m_factory;
  ZEBSOAPSession* m_session = nullptr;
};

struct FaultCase {
  const char* name;
  const char* inject;       // a failure switch of the server, or null
  FaultyPeer::Fault fault;  // what the peer answers instead of the server, or null
  const char* type;
  const char* code;
  int httpStatus;
  const char* text;  // a part of it
};
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class FaultsOfThePeer : public Faults, public testing::WithParamInterface<FaultCase> {};

TEST_P(FaultsOfThePeer, SurfaceAsTheirExceptionAndTheSessionGoesOn) {
  const FaultCase& c = GetParam();
  if (c.inject) inject(c.inject);
  if (c.fault) peer().arm(c.fault);

  Outcome o = outcomeOf([&] { query(); });
  EXPECT_EQ(o.type, c.type) << o.text;
  EXPECT_EQ(o.code, c.code) << o.text;
  EXPECT_EQ(o.httpStatus, c.httpStatus) << o.text;
  EXPECT_NE(o.text.find(c.text), std::string::npos) << o.text;
  EXPECT_TRUE(o.fromExecute) << "not reported through execute()";
  expectServedAgain();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultsOfThePeer,
    testing::Values(
        FaultCase{"SoapFault", "operation=query;fault=Server:the store is being repaired;count=1", nullptr,
                  "ZEBSOAPFault", "soapenv:Server", 0, "the store is being repaired"},
        FaultCase{"ServerErrorPage", nullptr,
                  answer(httpReply("500 Internal Server Error", "text/html", "<html>the gateway failed</html>")),
                  "ZEBTransportError", "HTTP", 500,
                  "HTTP 500 Internal Server Error with Content-Type 'text/html', not a SOAP reply: <html>"},
        FaultCase{"StallMidBody", nullptr, answerThenWait(kHalfReply), "ZEBTransportError", "receive", 200,
                  "timed out after 3000 ms without data"},
        // Over the reply limit: refused on its announced length before the body (a client that waited
        // for it would time out), or abandoned at the limit.
        FaultCase{"HugeAnnouncedReply", nullptr,
                  answerThenWait("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 3221225472\r\n\r\n<x"),
                  "ZEBTransportError", "receive", 200, "the reply is larger than the maximum of 33554432 bytes"},
        FaultCase{"HugeChunkedReply", nullptr, endlessChunks, "ZEBTransportError", "receive", 200,
                  "the reply is larger than the maximum of 33554432 bytes"},
        FaultCase{"ResetMidBody", nullptr, resetMidBody, "ZEBTransportError", "receive", 200, "reset by peer"},
        FaultCase{"TruncatedMultipart", nullptr, answer(truncatedMultipart()), "ZEBTransportError", "receive", 200,
                  "closing boundary"},
        FaultCase{"GarbageEnvelope", "operation=query;garbage;count=1", nullptr, "ZEBMalformedMessage", "", 0,
                  "malformed SOAP message"}),
    [](const testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

}  // namespace
}  // namespace live
