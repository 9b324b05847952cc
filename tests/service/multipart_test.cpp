// multipart/related request bodies, read as they arrive with the attachments spooled to files. What
// the toolkit itself writes is read in the integration tests, every byte value included.
#include <gtest/gtest.h>

#include "MultipartBody.h"
#include "support/Files.h"

using dvlservice::MultipartError;
using dvlservice::MultipartReader;

namespace {

class MultipartTest : public testing::Test {
 protected:
  // Feeds the body in pieces of `step` bytes, so that delimiters fall across pieces.
  void feed(MultipartReader& reader, const std::string& body, size_t step) {
    for (size_t i = 0; i < body.size(); i += step) reader.feed(body.data() + i, std::min(step, body.size() - i));
  }

  TempDir m_dir{"dvl-spool"};
  const std::string& m_spool = m_dir.path();
};

// Near misses of the delimiter "\r\n--b", a NUL, a byte that is no UTF-8, and an end that runs
// into the real delimiter.
const char kBinaryBytes[] = "\n--b \r--b \r\n--c \r\n-\0\xff end\r\n--";
const std::string kBinary(kBinaryBytes, sizeof kBinaryBytes - 1);

std::string body() {
  return "preamble to ignore\r\n"
         "--b\r\nContent-Type: text/xml; charset=UTF-8\r\nContent-ID: <root>\r\n\r\n"
         "<Envelope/>"
         "\r\n--b\r\nContent-Type: application/pdf\r\nContent-ID: <_contextAttach>\r\n"
         "Content-Transfer-Encoding: binary\r\n\r\n" +
         kBinary +
         "\r\n--b\r\ncontent-id:\r\n  <folded>\r\n\r\n"
         "\r\n--b--\r\nepilogue to ignore";
}

TEST_F(MultipartTest, SplitsTheBodyWhereverItsPiecesEnd) {
  // Bare line feeds, blanks after delimiters and a base64 part are read too.
  const std::string lineFeeds =
      "--b  \n\n<E/>\n--b\t\nContent-ID: <doc>\nContent-Transfer-Encoding: base64\n\nAAEC\r\n/f7/\r\nAA==\n--b--\n";
  for (size_t step : {1, 2, 3, 7, 64, 100000}) {
    MultipartReader plain("b", "", m_spool, 1024);
    feed(plain, lineFeeds, step);
    plain.finish();
    EXPECT_EQ(plain.root(), "<E/>");
    ASSERT_EQ(plain.attachments().size(), 1u);
    EXPECT_EQ(readFile(plain.attachments()[0].path), std::string("\x00\x01\x02\xfd\xfe\xff\x00", 7)) << step;

    MultipartReader reader("b", "", m_spool, 1024);
    feed(reader, body(), step);
    ASSERT_NO_THROW(reader.finish()) << step;
    EXPECT_EQ(reader.root(), "<Envelope/>");
    EXPECT_EQ(reader.rootContentType(), "text/xml; charset=UTF-8");
    ASSERT_EQ(reader.attachments().size(), 2u);
    EXPECT_EQ(reader.attachments()[0].contentId, "_contextAttach");
    EXPECT_EQ(reader.attachments()[0].contentType, "application/pdf");
    EXPECT_EQ(reader.attachments()[0].size, static_cast<int64_t>(kBinary.size()));
    EXPECT_TRUE(readFile(reader.attachments()[0].path) == kBinary) << step;
    EXPECT_EQ(reader.attachments()[1].contentId, "folded");
    EXPECT_EQ(reader.attachments()[1].size, 0);
  }
}

TEST_F(MultipartTest, RefusesBrokenBodies) {
  auto attempt = [&](const std::string& b, size_t maxRoot = 1024) {
    MultipartReader reader("b", "", m_spool, maxRoot);
    feed(reader, b, 3);
    reader.finish();
  };
  EXPECT_THROW(attempt("--b\r\n\r\n<E/>\r\n--b"), MultipartError);  // no closing delimiter
  EXPECT_THROW(attempt("--b\r\n\r\n<E/>"), MultipartError);         // ends inside a part
  EXPECT_THROW(attempt("--b\r\nno colon here\r\n\r\nx\r\n--b--"), MultipartError);
  EXPECT_THROW(attempt("--b\r\n: no name\r\n\r\nx\r\n--b--"), MultipartError);
  EXPECT_THROW(attempt("--b\r\n\r\n" + std::string(2000, 'x') + "\r\n--b--"), MultipartError);  // root too large
  EXPECT_THROW(attempt("--b\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nx\r\n--b--"), MultipartError);
  EXPECT_THROW(attempt("--b\r\n\r\n<E/>\r\n--b\r\nContent-Transfer-Encoding: base64\r\n\r\nAB!C\r\n--b--"),
               MultipartError);
  EXPECT_THROW(attempt("--b\r\n\r\n<E/>\r\n--b\r\nContent-Transfer-Encoding: base64\r\n\r\nABC\r\n--b--"),
               MultipartError);
  EXPECT_THROW(attempt(std::string(100000, 'x')), MultipartError);  // no boundary at all
  EXPECT_THROW(attempt("--b--"), MultipartError);                   // no root part
  EXPECT_THROW(MultipartReader("", "", m_spool, 10), MultipartError);
}

}  // namespace
