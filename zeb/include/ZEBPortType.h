/// \file
/// Port types and bindings: a binding pairs one operation's request and reply messages with the
/// service port that receives them.
#pragma once

#include <string>

#include "KRNReferenceCount.h"
#include "ZEBObject.h"

/// One operation of a port bound to its request and reply messages.
class ZEB_EXPORT ZEBPortTypeBinding : public KRNReferenceCount {
 public:
  /// Binds request and reply, which must outlive the binding, to port.
  ZEBPortTypeBinding(const char* port, ZEBMessageI& request, ZEBMessageI& reply);
  /// The port's name.
  const char* getPort() const { return m_port; }
  /// The operation, from the request's type.
  const char* getOperation() const;
  /// The SOAPAction header: the schema namespace followed by the operation.
  std::string getSOAPAction() const;
  /// The request message.
  ZEBMessageI& getInputMessage() const { return m_request; }
  /// The reply message.
  ZEBMessageI* getOutputMessage() const { return &m_reply; }

 protected:
  ~ZEBPortTypeBinding() override = default;

 private:
  const char* m_port;
  ZEBMessageI& m_request;
  ZEBMessageI& m_reply;
};

/// A service port. createBinding checks that the messages are one operation's request and reply
/// and that the operation belongs to this port; the new binding starts with no reference.
class ZEB_EXPORT ZEBPortType {
 public:
  /// A binding of request and reply to this port.
  ZEBPortTypeBinding* createBinding(ZEBMessageI& request, ZEBMessageI& reply);
  /// The port's name.
  const char* getName() const { return m_name; }

 protected:
  /// A port called name.
  explicit ZEBPortType(const char* name) : m_name(name) {}
  ~ZEBPortType() = default;

 private:
  const char* m_name;
};

/// Declares a port type class with its single instance.
#define ZEB_DECLARE_PORT_TYPE(Class)                  \
  class ZEB_EXPORT Class : public ZEBPortType {       \
   public:                                            \
    static Class& getInstance();                      \
                                                      \
   private:                                           \
    Class();                                          \
  };

ZEB_DECLARE_PORT_TYPE(ZEBContentManagerServicePortType)
ZEB_DECLARE_PORT_TYPE(ZEBMonitorServicePortType)
ZEB_DECLARE_PORT_TYPE(ZEBContentManagerCacheServicePortType)
ZEB_DECLARE_PORT_TYPE(ZEBSaAXMServicePortType)

#undef ZEB_DECLARE_PORT_TYPE
