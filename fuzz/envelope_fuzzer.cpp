// Feeds arbitrary bytes to the envelope readers of both sides: the client's reply reader and the
// server's request reader. Any outcome but a KRNThrowable or success is a finding.
#include <cstddef>
#include <cstdint>

#include "KRNThrowable.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  try {
    ZEBContentQuery_Reply reply;
    ZEBSoap::readEnvelope(text, size, reply);
    ZEBSoap::writeEnvelope(reply, reply.getVorbHeader(nullptr));  // what was read can be written
  } catch (const KRNThrowable&) {
  }
  try {
    ZEBContentAdd_Reply reply;
    ZEBSoap::readEnvelope(text, size, reply);
  } catch (const KRNThrowable&) {
  }
  try {
    auto request = ZEBSoap::readRequest(text, size);
    ZEBSoap::writeEnvelope(*request, request->getVorbHeader(nullptr));
  } catch (const KRNThrowable&) {
  }
  return 0;
}
