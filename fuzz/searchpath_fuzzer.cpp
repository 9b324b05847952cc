// Feeds arbitrary text to the server's search-path parser: it must parse or refuse, nothing else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "SearchPath.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    dvlservice::SearchPath::parse(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const dvlservice::SearchPathError&) {
  }
  return 0;
}
