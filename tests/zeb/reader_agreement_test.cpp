// The two envelope readers (the fast SAX2 one and the exact xmlTextReader one) must come to the same
// result on every message shape: every message of the schema filled in every field, the XML forms
// a peer may choose, faults and malformed messages. The fast one may give a message up, never read
// it differently or accept what the exact one refuses.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ZEBErrors.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"
#include "support/FilledObjects.h"

namespace {

// What one reader made of a message: the message written out again, or the error it raised
// ("gave up" for the fast reader letting it go).
std::string outcome(ZEBSoap::Reader reader, const std::string& xml, const ZEBTypeInfo& type) {
  std::unique_ptr<ZEBMessageI> message(static_cast<ZEBMessageI*>(type.create()));
  try {
    if (!ZEBSoap::readEnvelopeWith(reader, xml.data(), xml.size(), *message)) return "gave up";
  } catch (const ZEBSOAPFault& fault) {
    return "fault " + fault.getFaultCode() + ": " + fault.getFaultString() + " / " + fault.getDetail();
  } catch (const ZEBMalformedMessage& error) {
    return "malformed: " + error.getMessage();
  }
  return ZEBSoap::writeEnvelope(*message, message->getVorbHeader(nullptr));
}

// Both readers on one message: the same result, or the fast reader gave it up. fastReads: the fast
// reader must read it itself (what it exists for).
void expectAgreement(const std::string& xml, const ZEBTypeInfo& type, bool fastReads) {
  std::string exact = outcome(ZEBSoap::Reader::Exact, xml, type);
  std::string fast = outcome(ZEBSoap::Reader::Fast, xml, type);
  if (fast != "gave up") {
    EXPECT_EQ(fast, exact) << xml;
  }
  if (fastReads) {
    EXPECT_EQ(fast, exact) << xml;
  }
}

TEST(ReaderAgreementTest, EveryMessageOfTheSchemaFilledInEveryField) {
  size_t count = 0;
  const ZEBTypeInfo* const* types = ZEBSchemaTypes(&count);
  for (size_t i = 0; i < count; ++i) {
    const ZEBTypeInfo& type = *types[i];
    if (type.kind != ZEBTypeKind::Request && type.kind != ZEBTypeKind::Reply) continue;
    std::unique_ptr<ZEBMessageI> message(static_cast<ZEBMessageI*>(type.create()));
    unsigned counter = static_cast<unsigned>(i);
    fill(*message, message->getObjectRegistry(), 5, counter);
    ZEBVorbHeader* header = message->getVorbHeader(&message->getObjectRegistry());
    header->setPassport("passport");
    std::string xml = ZEBSoap::writeEnvelope(*message, header);
    SCOPED_TRACE(type.name);
    expectAgreement(xml, type, true);
    EXPECT_EQ(outcome(ZEBSoap::Reader::Exact, xml, type), xml);
  }
}

// Each case also names a part of what the exact reader makes of it: the values written out again,
// or the reason it refuses the message.
TEST(ReaderAgreementTest, FormsFaultsAndMalformedMessages) {
  const std::string longText(200000, 'n');  // longer than the fast reader's chunks
  std::string deep = "@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:folder'>";
  for (int i = 0; i < 200; ++i) deep += "<dvl:parent><dvl:item xsi:type='dvl:folder'>";
  struct Case {
    std::string xml;  // "@" + body: wrapped in an envelope
    bool fastReads;
    std::string exact = "";
  } cases[] = {
      // XML forms of the same values
      {"@<dvl:queryResponse><dvl:result><dvl:item xmlns:c='" ZEB_SCHEMA_NAMESPACE "' xsi:type='c:report'>"
       "<c:defaultName>a&amp;b&#x43;<![CDATA[<d>]]></c:defaultName></dvl:item></dvl:result></dvl:queryResponse>", true,
       "<dvl:defaultName>a&amp;bC&lt;d&gt;</dvl:defaultName>"},
      {"@<queryResponse xmlns='" ZEB_SCHEMA_NAMESPACE "'><result><item xsi:type='folder'>"
       "<defaultName xsi:nil='1'/><searchPath>" + longText + "</searchPath></item>"
       "<item xsi:nil='true'/></result></queryResponse>", true,
       "<dvl:defaultName xsi:nil=\"true\"/><dvl:searchPath>" + longText + "</dvl:searchPath></dvl:item><dvl:item xsi:nil"},
      {"@<dvl:queryResponse>\n  <!-- note --><dvl:result>\n</dvl:result>\n</dvl:queryResponse>", true},
      {"<?xml version='1.0'?><e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'><e:Header>"
       "<other xmlns='urn:x'/><dvl:vorbHeader xmlns:dvl='" ZEB_SCHEMA_NAMESPACE "'><dvl:passport>p</dvl:passport>"
       "</dvl:vorbHeader></e:Header><e:Body><dvl:queryResponse xmlns:dvl='" ZEB_SCHEMA_NAMESPACE "'/></e:Body>"
       "</e:Envelope>", true},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:output'><dvl:defaultName>a<!-- c -->b"
       "</dvl:defaultName><dvl:contextBlockCount> 12</dvl:contextBlockCount></dvl:item></dvl:result>"
       "</dvl:queryResponse>", false, "<dvl:defaultName>ab</dvl:defaultName>"},
      {"@<dvl:queryResponse>\r\n<dvl:result><dvl:item xsi:type='dvl:folder'><dvl:defaultName>a\r\nb\rc&#13;"
       "\r\n</dvl:defaultName></dvl:item></dvl:result></dvl:queryResponse>", true},
      // faults
      {ZEBSoap::writeFault("soapenv:Client", "The passport has expired.", "passport 12"), false},
      {"@<soapenv:Fault><faultcode>soapenv:Server</faultcode><faultstring>x</faultstring></soapenv:Fault>", false},
      // refused
      {"", false, "malformed SOAP message"},
      {"<a>", false, "malformed SOAP message"},
      {"<a/>", false, "expected a SOAP 1.1 Envelope"},
      {"<dvl:queryResponse/>", false, "expected a SOAP"},
      {"<!DOCTYPE a [<!ENTITY x 'y'>]><a>&x;</a>", false, "DOCTYPE"},
      {"@<dvl:nothing/>", false, "expected queryResponse"},
      {"@<dvl:queryResponse><dvl:unknown/></dvl:queryResponse>", false, "has no element unknown"},
      {"@<dvl:queryResponse><dvl:result><dvl:item/></dvl:result></dvl:queryResponse>", false, "abstract"},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:sort'/></dvl:result></dvl:queryResponse>", false,
       "is not baseClass"},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='x:output' xmlns:x='urn:other'/></dvl:result>"
       "</dvl:queryResponse>", false},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:output'><dvl:objectClass>nonsense"
       "</dvl:objectClass></dvl:item></dvl:result></dvl:queryResponse>", false, "not a value of classEnum"},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:output'><dvl:contextBlockCount>12x"
       "</dvl:contextBlockCount></dvl:item></dvl:result></dvl:queryResponse>", false, "not a number"},
      {"@<dvl:queryResponse><dvl:result/><dvl:result/></dvl:queryResponse>", false, "appears twice"},
      {"@<dvl:queryResponse>text</dvl:queryResponse>", false, "unexpected text"},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:output'><dvl:defaultName><dvl:x/>"
       "</dvl:defaultName></dvl:item></dvl:result></dvl:queryResponse>", false},
      {"@<dvl:queryResponse/><dvl:queryResponse/>", false, "more than one element"},
      {deep, false, "nested too deeply"},
      {"@<dvl:queryResponse>", false},
      {"@<x:queryResponse/>", false},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:folder' xsi:nil='1' xsi:nil='1'/></dvl:result>"
       "</dvl:queryResponse>", false},
      {"@<dvl:queryResponse><dvl:result><dvl:item xmlns:i='http://www.w3.org/2001/XMLSchema-instance' i:nil='1' "
       "xsi:nil='1'/></dvl:result></dvl:queryResponse>", false},
      {"@<dvl:queryResponse a='<'/>", false},
      {"@<dvl:queryResponse a='1'b='2'/>", false},
      {"@<dvl:queryResponse xmlns:dvl=''/>", false},
      {"@<dvl:queryResponse><dvl:result></dvl:queryResponse></dvl:result>", false},
      {"<?xml version='1.0' encoding='ISO-8859-1'?>" + envelopeWith("<dvl:queryResponse><dvl:result><dvl:item "
       "xsi:type='dvl:folder'><dvl:defaultName>\xE9</dvl:defaultName></dvl:item></dvl:result></dvl:queryResponse>"), false},
      {" <?xml version='1.0'?>" + envelopeWith("<dvl:queryResponse/>"), false},
      {"@<dvl:queryResponse/></soapenv:Body></soapenv:Envelope><a/>", false},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:folder'><dvl:defaultName>\xC3("
       "</dvl:defaultName></dvl:item></dvl:result></dvl:queryResponse>", false},
      // what a tokenizer of its own could get wrong, each in a value: not UTF-8 or not XML characters,
      // "]]>" in text, references to nothing allowed, a processing instruction, "--" in a comment
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:folder'><dvl:defaultName>%"
       "</dvl:defaultName></dvl:item></dvl:result></dvl:queryResponse>", false},
      // the same past the first sixteen bytes of a run, in text, a name and an attribute value
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:folder'><dvl:defaultName>0123456789abcdefghij%"
       "klmnopqrstuvwxyz0123456789</dvl:defaultName></dvl:item></dvl:result></dvl:queryResponse>", false},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:folder'><dvl:defaultName>\t0123456789abcdef\n"
       "0123456789abcdef\t</dvl:defaultName></dvl:item></dvl:result></dvl:queryResponse>", true},
      // a text and its end tag are taken in one step where the end tag is written as the start tag was
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:folder'><dvl:defaultName>a</dvl:defaultName\n>"
       "<dvl:searchPath></dvl:searchPath></dvl:item></dvl:result></dvl:queryResponse>", true,
       "<dvl:defaultName>a</dvl:defaultName><dvl:searchPath></dvl:searchPath>"},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:folder'><dvl:defaultName0123456789abcdef\xC3\xA9/>"
       "</dvl:item></dvl:result></dvl:queryResponse>", false},
      {"@<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:folder' a='0123456789abcdefghij\tk'/></dvl:result>"
       "</dvl:queryResponse>", false},
      {"@<dvl:queryResponse><dvl:result><dvl:item a='0123456789abcdefghij\"<' xsi:type='dvl:folder'/></dvl:result>"
       "</dvl:queryResponse>", false},
  };
  const char* badValues[] = {"\xC0\xAF", "\x01", "]]>", "&#0;", "&#xD800;", "&#x110000;", "&nbsp;", "&amp",
                             "<?pi x?>", "<!-- a -- b -->", "\xED\xA0\x80", "\xEF\xBF\xBE", "a</dvl:defaultNam>",
                             "a</dvl:defaultNamex>",
                             "<![CDATA[\r\n]]>"};
  for (const Case& c : cases) {
    std::string xml = !c.xml.empty() && c.xml[0] == '@' ? envelopeWith(c.xml.substr(1)) : c.xml;
    size_t hole = xml.find('%');
    for (const char* bad : badValues) {
      if (hole == std::string::npos) break;
      expectAgreement(std::string(xml).replace(hole, 1, bad), ZEBContentQuery_Reply::typeInfo, false);
    }
    if (hole == std::string::npos) expectAgreement(xml, ZEBContentQuery_Reply::typeInfo, c.fastReads);
    std::string exact = outcome(ZEBSoap::Reader::Exact, xml, ZEBContentQuery_Reply::typeInfo);
    EXPECT_NE(exact.find(c.exact), std::string::npos) << xml.substr(0, 300) << "\n  gave: " << exact.substr(0, 300);
  }
  ZEBSoapLimits limits;
  limits.maxBytes = 100;
  std::string xml = envelopeWith("<dvl:queryResponse/>");
  ZEBContentQuery_Reply reply;
  EXPECT_THROW(ZEBSoap::readEnvelope(xml.data(), xml.size(), reply, limits), ZEBMalformedMessage);
}

}  // namespace
