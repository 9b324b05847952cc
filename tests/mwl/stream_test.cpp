#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "KRNThrowable.h"
#include "MWLStream.h"

namespace {

std::string tempPath(const char* name) { return testing::TempDir() + "mwl_" + name; }

TEST(FileStreamTest, WritesAndReadsBackBinaryBytes) {
  std::string path = tempPath("roundtrip");
  std::string bytes("a\0b\r\n\xff", 6);
  {
    MWLFileOutputStream out(path.c_str());
    out.write(bytes);
    out.close();
  }
  MWLFileInputStream in(path.c_str());
  EXPECT_EQ(in.readAll(), bytes);
  std::remove(path.c_str());
}

TEST(FileStreamTest, MissingFileNamesThePathAndTheReason) {
  std::string path = tempPath("does-not-exist");
  try {
    MWLFileInputStream in(path.c_str());
    FAIL();
  } catch (const KRNRuntimeError& e) {
    std::string message = e.getMessage();
    EXPECT_NE(message.find(path), std::string::npos) << message;
    EXPECT_NE(message.find("No such file"), std::string::npos) << message;
  }
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
