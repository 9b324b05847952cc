// A client made by gSOAP from the published WSDL: sends an add whose output refers to its document
// by "cid:", with the document as a MIME attachment built from the WSDL's binary document type.
// Built by gsoap_client.sh; that it compiles and links is the check.
#include "soapContentManagerServiceBindingProxy.h"
#include "ContentManagerServiceBinding.nsmap"

int main(int argc, char** argv) {
  ContentManagerServiceBindingProxy proxy(argc > 1 ? argv[1] : "http://127.0.0.1:9/dvl");
  unsigned char bytes[] = {0x25, 0x50, 0x44, 0x46, 0x00, 0xff};
  ns1__documentData document;  // xsd__base64Binary: the bytes, and the MIME part's id and type
  document.__ptr = bytes;
  document.__size = sizeof bytes;
  document.id = const_cast<char*>("doc1");
  document.type = const_cast<char*>("application/octet-stream");
  soap_set_mime(proxy.soap, nullptr, nullptr);
  soap_set_mime_attachment(proxy.soap, reinterpret_cast<char*>(document.__ptr), document.__size, SOAP_MIME_BINARY,
                           document.type, document.id, nullptr, nullptr);
  ns1__base64BinaryMIMEProp data;
  data.__item = "cid:doc1";
  ns1__output output;
  output.data = &data;
  ns1__baseClassArray objects;
  objects.item.push_back(&output);
  _ns1__add add;
  add.objects = &objects;
  __ns1__addResponse reply;
  if (proxy.add(&add, reply) != SOAP_OK) return 1;
  size_t received = 0;
  for (soap_multipart::iterator part = proxy.soap->mime.begin(); part != proxy.soap->mime.end(); ++part) {
    received += (*part).size;
  }
  return received > 0 ? 0 : 2;
}
