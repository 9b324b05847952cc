// Test helpers: a service in memory reached through the toolkit's real session.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ContentService.h"
#include "I18NString.h"
#include "KRNReferenceCount.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"
#include "ZEBPortType.h"
#include "ZEBSchema.h"
#include "ZEBSession.h"

namespace servicetest {

template <class T>
T* made(ZEBMessageI& message) {
  T* object = new T;
  message.getObjectRegistry().registerObject(object);
  return object;
}

// The word a fault's detail carries ("invalidPassport").
inline bool hasReason(const ZEBSOAPFault& fault, const std::string& reason) {
  return fault.getDetail().find(">" + reason + "<") != std::string::npos;
}

class Client {
 public:
  explicit Client(dvlservice::ContentService& service) : m_session(service.makeInProcessTransport()) {}

  void send(ZEBMessageI& request, ZEBMessageI& reply, const ZEBAttachmentList* attachments = nullptr) {
    KRNSmartPointer<ZEBPortTypeBinding> binding =
        ZEBContentManagerServicePortType::getInstance().createBinding(request, reply);
    m_session.send(binding.get(), attachments, ZEBSOAPSessionI::ZEBSOAPUntrusted, nullptr);
  }

  // Plain, or sealed to the key that ZEBHelper::setCredentialKey set.
  void logon(const std::string& user = "demo", const std::string& password = "demo", bool sealed = false) {
    std::string credential = "<credential><namespace>LDAP</namespace><username>" + user + "</username><password>" +
                             password + "</password></credential>";
    if (sealed) {
      KRNByteBuffer buffer;
      ZEBHelper::encryptAndEncode(credential.data(), credential.size(), m_session.getClientID(), buffer);
      credential =
          "<credential><encryptedValue>" + std::string(buffer.str(), buffer.size()) + "</encryptedValue></credential>";
    }
    ZEBAuthenticationLogon_Request request;
    ZEBAuthenticationLogon_Reply reply;
    request.getCredentials(&request.getObjectRegistry())->setValue(credential.c_str());
    send(request, reply);
  }
  std::string passport() const { return m_session.getPassport(); }
  void setPassport(const std::string& passport) { m_session.setPassport(passport); }
  void logoff() {
    ZEBAuthenticationLogoff_Request request;
    ZEBAuthenticationLogoff_Reply reply;
    send(request, reply);
  }

  // A query whose reply the caller reads; properties empty: the service's defaults.
  std::unique_ptr<ZEBContentQuery_Reply> query(const std::string& path,
                                               const std::vector<ZEBPropEnum::Enum>& properties = {},
                                               const std::function<void(ZEBContentQuery_Request&)>& more = nullptr) {
    ZEBContentQuery_Request request;
    request.getSearchPath(&request.getObjectRegistry())->setValue(path.c_str());
    for (ZEBPropEnum::Enum p : properties) {
      auto* e = made<ZEBPropEnum>(request);
      e->setValue(p);
      request.getProperties(&request.getObjectRegistry())->push_back(e);
    }
    if (more) more(request);
    auto reply = std::make_unique<ZEBContentQuery_Reply>();
    send(request, *reply);
    return reply;
  }

  // The objects of a query's result, empty when it has none.
  static std::vector<ZEBBaseClass*> objects(const ZEBContentQuery_Reply& reply) {
    std::vector<ZEBBaseClass*> out;
    if (const ZEBBaseClassArray* result = reply.getResult()) {
      for (size_t i = 0; i < result->size(); ++i) out.push_back(result->at(i));
    }
    return out;
  }

  // A fault raised by `call`; fails the test when there is none.
  static ZEBSOAPFault faultOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const ZEBSOAPFault& fault) {
      return fault;
    }
    ADD_FAILURE() << "no fault";
    return ZEBSOAPFault("", "", "", "");
  }

 private:
  ZEBSOAPSession m_session;
};

inline const char* nameOf(const ZEBBaseClass* o) {
  return o && o->getDefaultName() ? o->getDefaultName()->getValue() : nullptr;
}
inline const char* pathOf(const ZEBBaseClass* o) {
  return o && o->getSearchPath() ? o->getSearchPath()->getValue() : nullptr;
}
inline std::string storeIdOf(const ZEBBaseClass* o) {
  return o && o->getStoreID() && o->getStoreID()->getValue() && o->getStoreID()->getValue()->getValue()
             ? o->getStoreID()->getValue()->getValue()
             : std::string();
}

}  // namespace servicetest
