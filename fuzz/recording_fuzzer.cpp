// Feeds arbitrary bytes to the recorded-session reader: every exchange reads or the file is refused.
#include <cstddef>
#include <cstdint>

#include "KRNThrowable.h"
#include "MWLStream.h"
#include "ZEBRecording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader takes the stream over once it is built; until then it is ours to free.
  auto* stream = new MWLMemoryInputStream(reinterpret_cast<const char*>(data), size);
  try {
    MockVorbTKMessageReader reader(stream);
    stream = nullptr;
    ZEBRecordedExchange exchange;
    while (reader.readExchange(exchange)) {
    }
  } catch (const KRNThrowable&) {
  }
  delete stream;
  return 0;
}
