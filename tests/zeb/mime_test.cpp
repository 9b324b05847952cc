// Multipart/related reading and writing: the edge cases other SOAP stacks produce, and bodies that
// must be refused.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ZEBErrors.h"
#include "ZEBMime.h"
#include "support/Raised.h"

namespace {

TEST(MimeContentType, ParsesTypeAndParameters) {
  const struct {
    const char *value, *mediaType, *boundary, *start;
  } cases[] = {
      {"multipart/related; type=\"text/xml\"; start=\"<root@x>\"; boundary=\"a;b=c d\"", "multipart/related", "a;b=c d",
       "<root@x>"},
      {"Multipart/Related;BOUNDARY=plain_1;start=<r>", "multipart/related", "plain_1", "<r>"},
      {"multipart/related; boundary=\"a\\\"b\"", "multipart/related", "a\"b", ""},
      {"text/xml; ; charset=utf-8; flag; boundary = spaced ;", "text/xml", "spaced", ""},
      {"  text/xml  ", "text/xml", "", ""},
  };
  for (const auto& c : cases) {
    ZEBContentType t = ZEBMime::parseContentType(c.value);
    EXPECT_EQ(c.mediaType, t.mediaType) << c.value;
    EXPECT_EQ(c.boundary, t.getParameter("boundary")) << c.value;
    EXPECT_EQ(c.start, t.getParameter("START")) << c.value;
  }
  for (const char* bad : {"", "multipart", "/related", "text/", "multipart/related; boundary=\"open"}) {
    EXPECT_THROW(ZEBMime::parseContentType(bad), ZEBMalformedMessage) << bad;
  }
}

// Only a whole delimiter line ends a part; everything else, line ends included, is content.
TEST(MimeSplit, ReadsThePartBodies) {
  const std::string boundaryLike = "\r\n--bX\r\n--b-\r\n--bb--\r\nline\n\r\n" + std::string("\0\xff\r", 3);
  const struct {
    std::string body;
    std::vector<std::string> bodies;
  } cases[] = {
      {"--b\nContent-ID: <one>\n\nfirst\n--b\nContent-ID: <two>\n\nsecond\n--b--\n", {"first", "second"}},
      {"This is a preamble.\r\n--b not a delimiter\r\n--b\r\nContent-Type: text/xml\r\n\r\n<x/>\r\n--b--\r\n"
       "epilogue\r\n--b\r\nContent-Type: text/plain\r\n\r\nignored\r\n",
       {"<x/>"}},
      {"--b\r\n\r\n" + boundaryLike + "\r\n--b--", {boundaryLike}},
      {"--b  \r\nContent-ID: <empty>\r\n\r\n\r\n--b\t\r\n\r\n\r\n--b--  ", {"", ""}},
      {"--b\r\nContent-ID: <e>\r\n\r\n--b--\r\n", {""}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const ZEBMimePart& p : ZEBMime::split(c.body, "b")) got.emplace_back(p.body);
    EXPECT_EQ(c.bodies, got) << c.body;
  }
  std::vector<ZEBMimePart> parts = ZEBMime::split(
      "--b\nContent-ID: <two>\nContent-Type: application/octet-stream;\n  name=\"x\"\n\n\n--b--\n", "b");
  ASSERT_EQ(1u, parts.size());
  EXPECT_EQ("two", parts[0].getContentId());
  EXPECT_EQ("application/octet-stream; name=\"x\"", parts[0].getHeader("content-type"));
}

TEST(MimeSplit, RefusesBrokenBodiesNamingTheProblem) {
  const struct {
    const char *body, *problem;
  } cases[] = {
      {"--b\r\nContent-ID: <a>\r\n\r\ndata\r\n--b\r\n\r\nmore", "closing boundary"},
      {"--b\r\nContent-ID: <a>\r\n", "closing boundary"},
      {"just text\r\n--bx\r\n", "no delimiter line '--b'"},
      {"--b\r\nno colon here\r\n\r\nx\r\n--b--", "without a name"},
      {"--b\r\nContent-ID: <a>\r\n--b--\r\n", "no empty line"},
  };
  for (const auto& c : cases) {
    std::string message = raisedBy<ZEBMalformedMessage>([&] { ZEBMime::split(c.body, "b"); }).getMessage();
    EXPECT_NE(std::string::npos, message.find(c.problem)) << message;
  }
}

ZEBMimeMessage readRelated(const std::string& contentType, const std::string& body) {
  return ZEBMime::readRelated(ZEBMime::parseContentType(contentType), body);
}

// The root is the start part wherever it is, else the first; parts need no id; base64 is decoded.
TEST(MimeReadRelated, FindsTheRootAndTheAttachments) {
  std::string body =
      "--q r\r\nContent-ID: <doc>\r\nContent-Type: image/png\r\n\r\nPNG\r\n"
      "--q r\r\nContent-ID: <root>\r\nContent-Type: text/xml\r\n\r\n<Envelope/>\r\n--q r--\r\n";
  ZEBMimeMessage m = readRelated("multipart/related; type=\"text/xml\"; start=\"<root>\"; boundary=\"q r\"", body);
  EXPECT_EQ("<Envelope/>", m.envelope);
  ASSERT_EQ(1u, m.attachments.size());
  EXPECT_EQ("doc", m.attachments[0].contentId);
  EXPECT_EQ("image/png", m.attachments[0].contentType);
  EXPECT_EQ("PNG", m.attachments[0].bytes);

  body =
      "--b\r\n\r\n<Envelope/>\r\n--b\r\nContent-Type: text/plain\r\n\r\nanonymous\r\n"
      "--b\r\nContent-ID: <x>\r\nContent-Transfer-Encoding: BASE64\r\n\r\nAAH/\r\nYWJj\r\n--b--\r\n";
  m = readRelated("multipart/related; boundary=b", body);
  EXPECT_EQ("<Envelope/>", m.envelope);
  ASSERT_EQ(2u, m.attachments.size());
  EXPECT_EQ("", m.attachments[0].contentId);
  EXPECT_EQ("anonymous", m.attachments[0].bytes);
  EXPECT_EQ(std::string("\0\1\xff" "abc", 6), m.attachments[1].bytes);
}

TEST(MimeReadRelated, RefusesWhatItCannotRead) {
  const std::string b = "multipart/related; boundary=b", x = "--b\r\n\r\nx\r\n--b--";
  for (const auto& [type, body] : std::vector<std::pair<std::string, std::string>>{
           {"multipart/related", x},  // no boundary
           {b, "--b--\r\n"},         // no root
           {"multipart/related; start=\"<missing>\"; boundary=b", x},
           {b, "--b\r\nContent-Transfer-Encoding: base64\r\n\r\n*bad*\r\n--b--"},
           {b, "--b\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nx\r\n--b--"}}) {
    EXPECT_THROW(readRelated(type, body), ZEBMalformedMessage) << type << " " << body;
  }
}

TEST(MimeBuildRelated, RoundTripsBinaryAttachmentsInOrder) {
  std::string every;
  for (int i = 0; i < 256; ++i) every.push_back(static_cast<char>(i));
  std::vector<ZEBReceivedAttachment> sent = {
      {"first@dvl", "application/octet-stream", every + "\r\n--dvl-mime-\r\n--\r\n"},
      {"<second>", "text/plain; charset=utf-8", ""},
      {"third", "", std::string(100000, '\n')},
  };
  ZEBMimeBody built = ZEBMime::buildRelated("<Envelope>\r\n</Envelope>", sent);

  ZEBContentType type = ZEBMime::parseContentType(built.contentType);
  EXPECT_EQ("text/xml", type.getParameter("type"));
  ZEBMimeMessage read = ZEBMime::readRelated(type, built.body);
  EXPECT_EQ("<Envelope>\r\n</Envelope>", read.envelope);
  ASSERT_EQ(3u, read.attachments.size());
  const char* expected[][2] = {{"first@dvl", "application/octet-stream"},
                               {"second", "text/plain; charset=utf-8"},
                               {"third", "application/octet-stream"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(expected[i][0], read.attachments[i].contentId);
    EXPECT_EQ(expected[i][1], read.attachments[i].contentType);
    EXPECT_EQ(sent[i].bytes, read.attachments[i].bytes);
  }
}

TEST(MimeBuildRelated, RefusesHeaderBreakingIdentifiers) {
  for (const char* id : {"a\r\nX-Injected: 1", "a>b", "line\n"}) {
    EXPECT_THROW(ZEBMime::formatPartHeaders("b", id, "text/plain", false), ZEBMalformedMessage) << id;
  }
  EXPECT_THROW(ZEBMime::formatPartHeaders("b", "id", "text/plain\r\nX: 1", false), ZEBMalformedMessage);
}

}  // namespace
