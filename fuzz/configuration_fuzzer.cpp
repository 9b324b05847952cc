// Feeds arbitrary bytes to the configuration file reader: it must load or refuse, nothing else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "KRNConfiguration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KRNConfiguration configuration;
  try {
    configuration.loadString(std::string(reinterpret_cast<const char*>(data), size), "fuzz");
    configuration.lookupString("contentManager", 0);
    configuration.lookupValues(I18NString("contentManagers"), 0);
  } catch (const KRNThrowable&) {
  }
  return 0;
}
