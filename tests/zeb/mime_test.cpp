// Multipart/related reading and writing: the edge cases other SOAP stacks produce, and bodies that
// must be refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZEBErrors.h"
#include "ZEBMime.h"

namespace {

struct ContentTypeCase {
  const char* name;
  const char* value;
  const char* mediaType;
  const char* boundary;
  const char* start;
};

class MimeContentType : public testing::TestWithParam<ContentTypeCase> {};

TEST_P(MimeContentType, ParsesTypeAndParameters) {
  const ContentTypeCase& c = GetParam();
  ZEBContentType t = ZEBMime::parseContentType(c.value);
  EXPECT_EQ(c.mediaType, t.mediaType);
  EXPECT_EQ(c.boundary, t.getParameter("boundary"));
  EXPECT_EQ(c.start, t.getParameter("START"));
}

INSTANTIATE_TEST_SUITE_P(
    Values, MimeContentType,
    testing::Values(
        ContentTypeCase{"Quoted", "multipart/related; type=\"text/xml\"; start=\"<root@x>\"; boundary=\"a;b=c d\"",
                        "multipart/related", "a;b=c d", "<root@x>"},
        ContentTypeCase{"BareAndMixedCase", "Multipart/Related;BOUNDARY=plain_1;start=<r>", "multipart/related",
                        "plain_1", "<r>"},
        ContentTypeCase{"EscapedQuote", "multipart/related; boundary=\"a\\\"b\"", "multipart/related", "a\"b", ""},
        ContentTypeCase{"StraySemicolonsAndFlags", "text/xml; ; charset=utf-8; flag; boundary = spaced ;", "text/xml",
                        "spaced", ""},
        ContentTypeCase{"NoParameters", "  text/xml  ", "text/xml", "", ""}),
    [](const testing::TestParamInfo<ContentTypeCase>& info) { return info.param.name; });

TEST(MimeContentTypeErrors, RefusesMissingSubtypeAndOpenQuote) {
  for (const char* bad : {"", "multipart", "/related", "text/", "multipart/related; boundary=\"open"}) {
    EXPECT_THROW(ZEBMime::parseContentType(bad), ZEBMalformedMessage) << bad;
  }
}

// Splits a body and returns its parts' bodies as strings.
std::vector<std::string> bodies(const std::string& body, const char* boundary = "b") {
  std::vector<std::string> out;
  for (const ZEBMimePart& p : ZEBMime::split(body, boundary)) out.emplace_back(p.body);
  return out;
}

TEST(MimeSplit, AcceptsLfOnlyLineEnds) {
  std::string body = "--b\nContent-ID: <one>\n\nfirst\n--b\nContent-ID: <two>\n\nsecond\n--b--\n";
  std::vector<ZEBMimePart> parts = ZEBMime::split(body, "b");
  ASSERT_EQ(2u, parts.size());
  EXPECT_EQ("first", parts[0].body);
  EXPECT_EQ("two", parts[1].getContentId());
  EXPECT_EQ("second", parts[1].body);
}

TEST(MimeSplit, IgnoresPreambleAndEpilogue) {
  std::string body =
      "This is a preamble.\r\n--b not a delimiter\r\n--b\r\nContent-Type: text/xml\r\n\r\n<x/>\r\n--b--\r\n"
      "epilogue\r\n--b\r\nContent-Type: text/plain\r\n\r\nignored\r\n";
  EXPECT_EQ(std::vector<std::string>{"<x/>"}, bodies(body));
}

TEST(MimeSplit, KeepsBoundaryLikeContentAndLineEnds) {
  // Only a whole delimiter line ends a part; everything else, line ends included, is content.
  std::string content = "\r\n--bX\r\n--b-\r\n--bb--\r\nline\n\r\n";
  content += std::string("\0\xff\r", 3);
  std::string body = "--b\r\n\r\n" + content + "\r\n--b--";
  EXPECT_EQ(std::vector<std::string>{content}, bodies(body));
}

TEST(MimeSplit, ReadsEmptyBodiesPaddingAndFoldedHeaders) {
  std::string body =
      "--b  \r\nContent-ID: <empty>\r\n\r\n\r\n--b\t\r\nContent-Type: application/octet-stream;\r\n"
      "  name=\"x\"\r\n\r\n\r\n--b--  ";
  std::vector<ZEBMimePart> parts = ZEBMime::split(body, "b");
  ASSERT_EQ(2u, parts.size());
  EXPECT_EQ("", parts[0].body);
  EXPECT_EQ("", parts[1].body);
  EXPECT_EQ("application/octet-stream; name=\"x\"", parts[1].getHeader("content-type"));
}

TEST(MimeSplit, EmptyBodyRightAfterHeaders) {
  EXPECT_EQ(std::vector<std::string>{""}, bodies("--b\r\nContent-ID: <e>\r\n\r\n--b--\r\n"));
}

struct BadBody {
  const char* name;
  const char* body;
  const char* problem;  // part of the message that names it
};

class MimeSplitErrors : public testing::TestWithParam<BadBody> {};

TEST_P(MimeSplitErrors, NamesTheProblem) {
  try {
    ZEBMime::split(GetParam().body, "b");
    FAIL() << "accepted";
  } catch (const ZEBMalformedMessage& e) {
    EXPECT_NE(std::string::npos, e.getMessage().find(GetParam().problem)) << e.getMessage();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, MimeSplitErrors,
    testing::Values(BadBody{"NoClosingBoundary", "--b\r\nContent-ID: <a>\r\n\r\ndata\r\n--b\r\n\r\nmore",
                            "closing boundary"},
                    BadBody{"TruncatedInHeaders", "--b\r\nContent-ID: <a>\r\n", "closing boundary"},
                    BadBody{"NoDelimiterAtAll", "just text\r\n--bx\r\n", "no delimiter line '--b'"},
                    BadBody{"HeaderWithoutName", "--b\r\nno colon here\r\n\r\nx\r\n--b--", "without a name"},
                    BadBody{"DelimiterInHeaders", "--b\r\nContent-ID: <a>\r\n--b--\r\n", "no empty line"}),
    [](const testing::TestParamInfo<BadBody>& info) { return info.param.name; });

ZEBMimeMessage readRelated(const std::string& contentType, const std::string& body) {
  return ZEBMime::readRelated(ZEBMime::parseContentType(contentType), body);
}

TEST(MimeReadRelated, RootIsTheStartPartWhereverItIs) {
  std::string body =
      "--q r\r\nContent-ID: <doc>\r\nContent-Type: image/png\r\n\r\nPNG\r\n"
      "--q r\r\nContent-ID: <root>\r\nContent-Type: text/xml\r\n\r\n<Envelope/>\r\n--q r--\r\n";
  ZEBMimeMessage m = readRelated("multipart/related; type=\"text/xml\"; start=\"<root>\"; boundary=\"q r\"", body);
  EXPECT_EQ("<Envelope/>", m.envelope);
  ASSERT_EQ(1u, m.attachments.size());
  EXPECT_EQ("doc", m.attachments[0].contentId);
  EXPECT_EQ("image/png", m.attachments[0].contentType);
  EXPECT_EQ("PNG", m.attachments[0].bytes);
}

TEST(MimeReadRelated, WithoutStartTheFirstPartIsRootAndPartsNeedNoId) {
  std::string body = "--b\r\n\r\n<Envelope/>\r\n--b\r\nContent-Type: text/plain\r\n\r\nanonymous\r\n--b--\r\n";
  ZEBMimeMessage m = readRelated("multipart/related; boundary=b", body);
  EXPECT_EQ("<Envelope/>", m.envelope);
  ASSERT_EQ(1u, m.attachments.size());
  EXPECT_EQ("", m.attachments[0].contentId);
  EXPECT_EQ("anonymous", m.attachments[0].bytes);
}

TEST(MimeReadRelated, DecodesBase64Parts) {
  std::string body =
      "--b\r\n\r\n<e/>\r\n--b\r\nContent-ID: <x>\r\nContent-Transfer-Encoding: BASE64\r\n\r\n"
      "AAH/\r\nYWI=\r\n--b--";
  ZEBMimeMessage m = readRelated("multipart/related; boundary=b", body);
  ASSERT_EQ(1u, m.attachments.size());
  EXPECT_EQ(std::string("\0\1\xff"
                        "ab",
                        5),
            m.attachments[0].bytes);
}

TEST(MimeReadRelated, RefusesWhatItCannotRead) {
  const char* type = "multipart/related; boundary=b";
  EXPECT_THROW(readRelated("multipart/related", "--b\r\n\r\nx\r\n--b--"), ZEBMalformedMessage);
  EXPECT_THROW(readRelated(type, "--b--\r\n"), ZEBMalformedMessage);
  EXPECT_THROW(readRelated("multipart/related; start=\"<missing>\"; boundary=b", "--b\r\n\r\nx\r\n--b--"),
               ZEBMalformedMessage);
  EXPECT_THROW(readRelated(type, "--b\r\nContent-Transfer-Encoding: base64\r\n\r\n*bad*\r\n--b--"),
               ZEBMalformedMessage);
  EXPECT_THROW(readRelated(type, "--b\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nx\r\n--b--"),
               ZEBMalformedMessage);
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
  EXPECT_TRUE(type.isMultipartRelated());
  EXPECT_EQ("text/xml", type.getParameter("type"));
  ZEBMimeMessage read = ZEBMime::readRelated(type, built.body);
  EXPECT_EQ("<Envelope>\r\n</Envelope>", read.envelope);
  ASSERT_EQ(3u, read.attachments.size());
  EXPECT_EQ("first@dvl", read.attachments[0].contentId);
  EXPECT_EQ(sent[0].bytes, read.attachments[0].bytes);
  EXPECT_EQ("second", read.attachments[1].contentId);
  EXPECT_EQ("text/plain; charset=utf-8", read.attachments[1].contentType);
  EXPECT_EQ("", read.attachments[1].bytes);
  EXPECT_EQ("application/octet-stream", read.attachments[2].contentType);
  EXPECT_EQ(sent[2].bytes, read.attachments[2].bytes);
}

TEST(MimeBuildRelated, RefusesHeaderBreakingIdentifiers) {
  for (const char* id : {"a\r\nX-Injected: 1", "a>b", "line\n"}) {
    EXPECT_THROW(ZEBMime::formatPartHeaders("b", id, "text/plain", false), ZEBMalformedMessage) << id;
  }
  EXPECT_THROW(ZEBMime::formatPartHeaders("b", "id", "text/plain\r\nX: 1", false), ZEBMalformedMessage);
}

}  // namespace
