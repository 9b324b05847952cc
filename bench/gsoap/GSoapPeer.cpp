#include "gsoap/GSoapPeer.h"

#include <sstream>
#include <stdexcept>

#include "GSoapPeerH.h"

// gSOAP's namespace table (soapcpp2 writes one per binding into a .nsmap file; the binding names
// vary with the WSDL, so the table the peer needs is kept here).
SOAP_NMAC struct Namespace namespaces[] = {
    {"SOAP-ENV", "http://schemas.xmlsoap.org/soap/envelope/", "http://www.w3.org/*/soap-envelope", nullptr},
    {"SOAP-ENC", "http://schemas.xmlsoap.org/soap/encoding/", "http://www.w3.org/*/soap-encoding", nullptr},
    {"xsi", "http://www.w3.org/2001/XMLSchema-instance", "http://www.w3.org/*/XMLSchema-instance", nullptr},
    {"xsd", "http://www.w3.org/2001/XMLSchema", "http://www.w3.org/*/XMLSchema", nullptr},
    {"dvl", "http://dvl.example.org/schemas/content/1/", nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr}};

namespace bench {

struct GSoapPeer::Impl {
  std::string url;
  struct soap* soap = nullptr;
  std::string passport, clientId;
  SOAP_ENV__Header header;
  dvl__vorbHeader vorb;

  // The request parts DVLQuery fills, built once.
  dvl__searchPathMultipleObject searchPath;
  dvl__propEnumArray properties;
  dvl__sort sort;
  dvl__propEnum sortProp = dvl__propEnum__objectClass;
  dvl__orderEnum sortOrder = dvl__orderEnum__ascending;
  dvl__sortArray sortBy;
  dvl__queryOptions options;
  std::string permission = "read";
  int zero = 0;
  dvl__encodingEnum encoding = dvl__encodingEnum__base64;

  [[noreturn]] void fail(const char* what) {
    std::ostringstream text;
    text << "gSOAP " << what << ": ";
    soap_stream_fault(soap, text);
    soap_destroy(soap);
    soap_end(soap);
    throw std::runtime_error(text.str());
  }

  // The header travels on every call; gSOAP reads the reply's header over soap->header.
  void setHeader() {
    soap_default_SOAP_ENV__Header(soap, &header);
    vorb.soap_default(soap);
    if (!passport.empty()) vorb.passport = &passport;
    vorb.clientID = &clientId;
    header.dvl__vorbHeader_ = &vorb;
    soap->header = &header;
  }

  PeerResult collect(const _dvl__queryResponse& response, bool keepNames) {
    PeerResult result;
    if (response.result == nullptr) return result;
    result.objects = response.result->item.size();
    for (const dvl__baseClass* o : response.result->item) {
      if (o == nullptr || o->defaultName == nullptr) continue;
      result.nameBytes += o->defaultName->__item.size();
      if (keepNames) result.names.push_back(o->defaultName->__item);
    }
    return result;
  }
};

GSoapPeer::GSoapPeer(const std::string& url) : m(new Impl) {
  m->url = url;
  m->soap = soap_new1(SOAP_IO_KEEPALIVE | SOAP_C_UTFSTRING);
  if (m->soap == nullptr) throw std::runtime_error("soap_new failed");
  m->soap->connect_timeout = 10;
  m->soap->recv_timeout = 60;
  m->soap->send_timeout = 60;
  m->soap->maxoccurs = 10000000;  // a query may return more objects than gSOAP's default allows
  m->searchPath.soap_default(m->soap);
  m->properties.soap_default(m->soap);
  for (dvl__propEnum p : {dvl__propEnum__objectClass, dvl__propEnum__defaultName, dvl__propEnum__searchPath,
                          dvl__propEnum__storeID}) {
    m->properties.item.push_back(p);
  }
  m->sort.soap_default(m->soap);
  m->sort.propName = &m->sortProp;
  m->sort.order = &m->sortOrder;
  m->sortBy.soap_default(m->soap);
  m->sortBy.item.push_back(&m->sort);
  m->options.soap_default(m->soap);
  m->options.permission = &m->permission;
  m->options.schemaInfo = &m->zero;
  m->options.maxObjects = &m->zero;
  m->options.skipObjects = &m->zero;
  m->options.dataEncoding = &m->encoding;
  m->options.maxDataBytes = &m->zero;
  m->options.skipDataBytes = &m->zero;
}

GSoapPeer::~GSoapPeer() {
  m->soap->header = nullptr;
  soap_destroy(m->soap);
  soap_end(m->soap);
  soap_free(m->soap);
}

void GSoapPeer::logOn(const std::string& credentials, const std::string& clientId) {
  m->clientId = clientId;
  m->passport.clear();
  m->setHeader();
  dvl__xmlEncodedXML document;
  document.soap_default(m->soap);
  document.__item = credentials;
  _dvl__logon request;
  request.soap_default(m->soap);
  request.credentials = &document;
  _dvl__logonResponse response;
  if (soap_call___dvl__logon(m->soap, m->url.c_str(), nullptr, &request, response) != SOAP_OK) m->fail("logon");
  const SOAP_ENV__Header* received = m->soap->header;
  if (received && received->dvl__vorbHeader_ && received->dvl__vorbHeader_->passport) {
    m->passport = *received->dvl__vorbHeader_->passport;
  }
  soap_destroy(m->soap);
  soap_end(m->soap);
  if (m->passport.empty()) throw std::runtime_error("gSOAP logon: the reply carries no passport");
}

void GSoapPeer::shareLogonOf(const GSoapPeer& other) {
  m->passport = other.m->passport;
  m->clientId = other.m->clientId;
}

PeerResult GSoapPeer::query(const std::string& path, bool keepNames) {
  m->setHeader();
  m->searchPath.__item = path;
  _dvl__query request;
  request.soap_default(m->soap);
  request.searchPath = &m->searchPath;
  request.properties = &m->properties;
  request.sortBy = &m->sortBy;
  request.options = &m->options;
  // The operation's reply may carry attachments, so gSOAP wraps its body part.
  __dvl__queryResponse response{};
  if (soap_call___dvl__query(m->soap, m->url.c_str(), nullptr, &request, response) != SOAP_OK ||
      response.dvl__queryResponse == nullptr) {
    m->fail("query");
  }
  PeerResult result = m->collect(*response.dvl__queryResponse, keepNames);
  soap_destroy(m->soap);
  soap_end(m->soap);
  return result;
}

PeerResult GSoapPeer::readReply(const std::string& envelope, bool keepNames) {
  std::istringstream in(envelope);
  m->soap->is = &in;
  m->soap->header = nullptr;
  _dvl__queryResponse response;
  response.soap_default(m->soap);
  // What soap_call___dvl__query does once the reply's HTTP headers are read.
  bool ok = soap_begin_recv(m->soap) == SOAP_OK && soap_envelope_begin_in(m->soap) == SOAP_OK &&
            soap_recv_header(m->soap) == SOAP_OK && soap_body_begin_in(m->soap) == SOAP_OK &&
            response.soap_get(m->soap, "dvl:queryResponse", nullptr) != nullptr &&
            soap_body_end_in(m->soap) == SOAP_OK && soap_envelope_end_in(m->soap) == SOAP_OK &&
            soap_end_recv(m->soap) == SOAP_OK;
  m->soap->is = nullptr;
  if (!ok) m->fail("read");
  PeerResult result = m->collect(response, keepNames);
  soap_destroy(m->soap);
  soap_end(m->soap);
  return result;
}

}  // namespace bench
