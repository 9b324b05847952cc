// dvl: the command-line client of the DVL library.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "DVL.h"
#include "KRNThrowable.h"
#include "zp2omsymbols1.h"

namespace {

// Prints a symbol given by name or by identifier (decimal or 0x-hexadecimal).
int showSymbol(const std::string& text) {
  char* end = nullptr;
  unsigned long id = std::strtoul(text.c_str(), &end, 0);
  bool isNumber = !text.empty() && end && *end == '\0';
  if (!isNumber) {
    for (unsigned i = 0; i < zp2omsymbols1::getCount(); ++i) {
      unsigned candidate = zp2omsymbols1::getIdAt(i);
      if (text == zp2omsymbols1::getChar(candidate)) {
        std::printf("0x%08X %s\n", candidate, text.c_str());
        return 0;
      }
    }
    std::fprintf(stderr, "dvl: '%s' is not a symbol of the schema\n", text.c_str());
    return 1;
  }
  try {
    std::printf("0x%08lX %s\n", id, zp2omsymbols1::getChar(static_cast<unsigned>(id)));
  } catch (const KRNAssertError&) {
    std::fprintf(stderr, "dvl: 0x%08lX is not the identifier of a schema symbol\n", id);
    return 1;
  }
  return 0;
}

int demo() {
  std::printf("initialize: DVL::initialize() returned %d\n", DVL::initialize());
  for (const char* name : {"objectClass", "defaultName", "searchPath", "storeID", "MIME", "userCapabilities"}) {
    std::printf("symbol: ");
    showSymbol(name);
  }
  std::printf("terminate: DVL::terminate() returned %d\n", DVL::terminate());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"dvl - a command-line client of the content store"};
  app.require_subcommand(1);
  CLI::App* demoCommand = app.add_subcommand("demo", "Run the typical host run and print each step");
  std::string symbol;
  CLI::App* symbolCommand = app.add_subcommand("symbol", "Look up a schema symbol by name or identifier");
  symbolCommand->add_option("symbol", symbol, "a name (objectClass) or an identifier (0xECBA7A93)")->required();
  CLI11_PARSE(app, argc, argv);

  try {
    if (*demoCommand) return demo();
    if (*symbolCommand) return showSymbol(symbol);
  } catch (const KRNThrowable& e) {
    std::fprintf(stderr, "dvl: %s\n", e.toString().c_str());
    return 1;
  }
  return 0;
}
