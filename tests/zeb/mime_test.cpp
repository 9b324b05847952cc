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

struct SplitCase {
  const char* name;
  std::string body;
  std::vector<std::string> bodies;
};

class MimeSplit : public testing::TestWithParam<SplitCase> {};

TEST_P(MimeSplit, ReadsThePartBodies) {
  std::vector<std::string> got;
  for (const ZEBMimePart& p : ZEBMime::split(GetParam().body, "b")) got.emplace_back(p.body);
  EXPECT_EQ(GetParam().bodies, got);
}

// Only a whole delimiter line ends a part; everything else, line ends included, is content.
const std::string kBoundaryLike = "\r\n--bX\r\n--b-\r\n--bb--\r\nline\n\r\n" + std::string("\0\xff\r", 3);

INSTANTIATE_TEST_SUITE_P(
    Bodies, MimeSplit,
    testing::Values(
        SplitCase{"LfOnly", "--b\nContent-ID: <one>\n\nfirst\n--b\nContent-ID: <two>\n\nsecond\n--b--\n",
                  {"first", "second"}},
        SplitCase{"PreambleAndEpilogue",
                  "This is a preamble.\r\n--b not a delimiter\r\n--b\r\nContent-Type: text/xml\r\n\r\n<x/>\r\n--b--\r\n"
                  "epilogue\r\n--b\r\nContent-Type: text/plain\r\n\r\nignored\r\n",
                  {"<x/>"}},
        SplitCase{"BoundaryLikeContent", "--b\r\n\r\n" + kBoundaryLike + "\r\n--b--", {kBoundaryLike}},
        SplitCase{"EmptyBodiesAndPadding", "--b  \r\nContent-ID: <empty>\r\n\r\n\r\n--b\t\r\n\r\n\r\n--b--  ", {"", ""}},
        SplitCase{"EmptyBodyRightAfterHeaders", "--b\r\nContent-ID: <e>\r\n\r\n--b--\r\n", {""}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

TEST(MimeSplitHeaders, ReadsIdsAndFoldedHeaders) {
  std::vector<ZEBMimePart> parts = ZEBMime::split(
      "--b\nContent-ID: <two>\nContent-Type: application/octet-stream;\n  name=\"x\"\n\n\n--b--\n", "b");
  ASSERT_EQ(1u, parts.size());
  EXPECT_EQ("two", parts[0].getContentId());
  EXPECT_EQ("application/octet-stream; name=\"x\"", parts[0].getHeader("content-type"));
}

struct BadBody {
  const char* name;
  const char* body;
  const char* problem;  // part of the message that names it
};

class MimeSplitErrors : public testing::TestWithParam<BadBody> {};

TEST_P(MimeSplitErrors, NamesTheProblem) {
  std::string message = raisedBy<ZEBMalformedMessage>([&] { ZEBMime::split(GetParam().body, "b"); }).getMessage();
  EXPECT_NE(std::string::npos, message.find(GetParam().problem)) << message;
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

TEST(MimeReadRelated, WithoutStartTheFirstPartIsRootPartsNeedNoIdAndBase64IsDecoded) {
  std::string body =
      "--b\r\n\r\n<Envelope/>\r\n--b\r\nContent-Type: text/plain\r\n\r\nanonymous\r\n"
      "--b\r\nContent-ID: <x>\r\nContent-Transfer-Encoding: BASE64\r\n\r\nAAH/\r\nYWJj\r\n--b--\r\n";
  ZEBMimeMessage m = readRelated("multipart/related; boundary=b", body);
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
  EXPECT_TRUE(type.isMultipartRelated());
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
