// Feeds arbitrary multipart bodies to the MIME reader, with the first line as the Content-Type.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "KRNThrowable.h"
#include "ZEBMime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  try {
    ZEBContentType type = ZEBMime::parseContentType(input.substr(0, newline));
    if (type.isMultipartRelated()) ZEBMime::readRelated(type, input.substr(newline + 1));
  } catch (const KRNThrowable&) {
  }
  return 0;
}
