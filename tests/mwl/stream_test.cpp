#include <gtest/gtest.h>

#include <string>

#include "KRNThrowable.h"
#include "MWLStream.h"
#include "support/Raised.h"

namespace {

std::string tempPath(const char* name) { return testing::TempDir() + "mwl_" + name; }

// Binary files written and read back: the recording suite (tests/zeb/recording_test).
TEST(FileStreamTest, MissingFileNamesThePathAndTheReason) {
  std::string path = tempPath("does-not-exist");
  std::string message = raisedBy<KRNRuntimeError>([&] { MWLFileInputStream in(path.c_str()); }).getMessage();
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("No such file"), std::string::npos) << message;
}

TEST(FileStreamTest, ShortWriteRaises) {
  // /dev/full accepts the open and refuses every write.
  MWLFileOutputStream out("/dev/full");
  std::string big(1 << 16, 'x');
  EXPECT_THROW(
      {
        out.write(big);
        out.flush();
      },
      KRNRuntimeError);
}

TEST(MemoryStreamTest, CollectsWritesBeyondItsInitialSize) {
  MWLMemoryOutputStream out(30720, 10240);
  std::string chunk(7000, 'q');
  for (int i = 0; i < 10; ++i) out.write(chunk);
  EXPECT_EQ(out.size(), 70000u);
  EXPECT_EQ(out.str(), std::string(70000, 'q'));
  MWLMemoryInputStream in(out.data(), out.size());
  char buffer[100];
  EXPECT_EQ(in.read(buffer, sizeof buffer), 100u);
  EXPECT_EQ(in.readAll().size(), 69900u);
}

}  // namespace
