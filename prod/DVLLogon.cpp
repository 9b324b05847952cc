#include "DVLLogon.h"

#include <cstring>

#include "I18NString.h"
#include "KRNError.h"
#include "ZEBHelper.h"

DVLLogon::DVLLogon(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLGenericSoap(session, testInfo, trusted), m_credentialXML(nullptr) {}

DVLLogon::~DVLLogon() {
  try {
    delete m_credentialXML;
  } catch (...) {
  }
}

void DVLLogon::addCredentials(const char* nameSpace, const char* userName, const char* password, int encrypt) {
  // Whatever fails below (escaping, no service key for the seal) leaves "<credential>" alone, which
  // the service refuses: a host that ignores the error must not stay logged on with the credentials
  // of an earlier call.
  m_credentials = "<credential>";
  KRNByteBuffer escaped(256, 256);
  std::string plain = "<credential>";
  auto element = [&](const char* name, const char* value) {
    ZEBHelper::xmlEncode(value, std::strlen(value), escaped);
    plain.append("<").append(name).append(">").append(escaped.str()).append("</").append(name).append(">");
    escaped.reset();
  };
  if (nameSpace && *nameSpace) element("namespace", nameSpace);
  if (userName) element("username", userName);
  if (password) element("password", password);
  plain += "</credential>";

  // With nothing to seal, the plain form is sent: "<credential>" alone would not be a document.
  if (encrypt == 0 || (!nameSpace && !userName && !password)) {
    m_credentials = plain;
    return;
  }
  KRNByteBuffer sealed(256, 256);
  ZEBHelper::encryptAndEncode(plain.data(), plain.size(), getClientID(), sealed);
  m_credentials = std::string("<credential><encryptedValue>") + sealed.str() + "</encryptedValue></credential>";
}

void DVLLogon::preExec() {
  if (m_credentialXML) {
    delete m_credentialXML;
    m_credentialXML = nullptr;
  }
  m_credentialXML = KRNCheckedNew<ZEBXmlEncodedXML>("DVLLogon", 104);
  m_credentialXML->setValue(m_credentials.c_str());
  m_request.setCredentials(m_credentialXML);
}

void DVLLogon::getBinding(KRNSmartPointer<ZEBPortTypeBinding>& binding) {
  binding = ZEBContentManagerServicePortType::getInstance().createBinding(m_request, m_reply);
}
