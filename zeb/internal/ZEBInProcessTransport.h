// A transport that hands each request to a function in the same process: how tests and the
// reference server's own tests drive the toolkit without a socket. Not installed.
#pragma once

#include "ZEBSession.h"

class ZEB_EXPORT ZEBInProcessTransport : public ZEBTransport {
 public:
  using Handler = ZEBWireReply (*)(const ZEBWireRequest& request, void* context);
  ZEBInProcessTransport(Handler handler, void* context) : m_handler(handler), m_context(context) {}
  ZEBWireReply exchange(const ZEBWireRequest& request) override { return m_handler(request, m_context); }
  std::string describe() const override { return "in-process"; }

 private:
  Handler m_handler;
  void* m_context;
};
