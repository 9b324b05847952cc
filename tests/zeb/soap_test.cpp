// SOAP encoding over the whole schema: every message, filled in every field, must survive a trip
// through the wire form, and its body must be valid against the schema the service publishes.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlschemas.h>

#include <memory>
#include <string>

#include "ZEBErrors.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"
#include "support/FilledObjects.h"

namespace {

std::vector<const ZEBTypeInfo*> messageTypes() {
  size_t count = 0;
  const ZEBTypeInfo* const* types = ZEBSchemaTypes(&count);
  std::vector<const ZEBTypeInfo*> out;
  for (size_t i = 0; i < count; ++i) {
    if (types[i]->kind == ZEBTypeKind::Request || types[i]->kind == ZEBTypeKind::Reply) out.push_back(types[i]);
  }
  return out;
}

// Validates the body element of an envelope against the generated XSD, in-process (the same
// validator xmllint --schema uses); empty when valid, else the validator's complaints.
std::string schemaErrors(const std::string& envelope) {
  static xmlSchemaPtr schema = [] {
    xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(DVL_GENERATED_DIR "/content-store.xsd");
    xmlSchemaPtr parsed = xmlSchemaParse(parser);
    xmlSchemaFreeParserCtxt(parser);
    return parsed;
  }();
  if (!schema) return "the schema does not load";
  xmlDocPtr doc = xmlReadMemory(envelope.data(), static_cast<int>(envelope.size()), nullptr, nullptr, XML_PARSE_NONET);
  if (!doc) return "envelope does not parse";
  xmlNodePtr body = xmlLastElementChild(xmlDocGetRootElement(doc));  // the Body follows any Header
  xmlNodePtr element = body && xmlStrEqual(body->name, BAD_CAST "Body") ? xmlFirstElementChild(body) : nullptr;
  std::string errors = element ? "" : "no body element";
  xmlSchemaValidCtxtPtr ctx = xmlSchemaNewValidCtxt(schema);
  xmlSchemaSetValidStructuredErrors(
      ctx, [](void* out, xmlErrorPtr e) { *static_cast<std::string*>(out) += e->message ? e->message : "?"; }, &errors);
  if (element && xmlSchemaValidateOneElement(ctx, element) != 0 && errors.empty()) errors = "invalid";
  xmlSchemaFreeValidCtxt(ctx);
  xmlFreeDoc(doc);
  return errors;
}

class MessageRoundTrip : public testing::TestWithParam<const ZEBTypeInfo*> {};

TEST_P(MessageRoundTrip, SurvivesTheWireAndValidatesAgainstTheSchema) {
  const ZEBTypeInfo& type = *GetParam();
  std::unique_ptr<ZEBMessageI> message(static_cast<ZEBMessageI*>(type.create()));
  unsigned counter = 0;
  fill(*message, message->getObjectRegistry(), 6, counter);
  ZEBVorbHeader* header = message->getVorbHeader(&message->getObjectRegistry());
  header->setPassport("passport-1");
  header->setClientID("client-1");

  std::string envelope = ZEBSoap::writeEnvelope(*message, header);
  std::unique_ptr<ZEBMessageI> back;
  if (type.kind == ZEBTypeKind::Request) {
    back = ZEBSoap::readRequest(envelope.data(), envelope.size());
  } else {
    back.reset(static_cast<ZEBMessageI*>(type.create()));
    ZEBSoap::readEnvelope(envelope.data(), envelope.size(), *back);
  }
  ASSERT_EQ(&back->getTypeInfo(), &type);
  EXPECT_TRUE(ZEBEqual(message.get(), back.get())) << ZEBDifference(message.get(), back.get()) << "\n" << envelope;
  ASSERT_NE(back->getVorbHeader(nullptr), nullptr);
  EXPECT_TRUE(ZEBEqual(header, back->getVorbHeader(nullptr)));

  EXPECT_EQ(schemaErrors(envelope), "") << envelope;
}

INSTANTIATE_TEST_SUITE_P(AllMessages, MessageRoundTrip, testing::ValuesIn(messageTypes()),
                         [](const testing::TestParamInfo<const ZEBTypeInfo*>& info) {
                           return std::string(info.param->className);
                         });

// A read reply's objects, slot arrays and texts live in its registry's arena; what is done to them
// afterwards (new texts, cleared fields, copies that outlive the reply) must own its memory as usual.
TEST(SoapReaderTest, ObjectsReadCanBeChangedClearedAndCopied) {
  std::string xml = envelopeWith(
      "<dvl:queryResponse><dvl:result><dvl:item xsi:type='dvl:report'><dvl:defaultName>R1</dvl:defaultName>"
      "<dvl:storeID>0123456789abcdef</dvl:storeID><dvl:parent><dvl:item xsi:type='dvl:folder'>"
      "<dvl:defaultName>Parent</dvl:defaultName></dvl:item></dvl:parent></dvl:item><dvl:item xsi:type='dvl:folder'/>"
      "</dvl:result></dvl:queryResponse>");
  ZEBObjectRegistry copies;
  ZEBObject* copy = nullptr;
  {
    ZEBContentQuery_Reply reply;
    ZEBSoap::readEnvelope(xml.data(), xml.size(), reply);
    auto* report = static_cast<ZEBReport*>(reply.getResult()->at(0));
    report->getDefaultName()->setValue("renamed");  // the text read stays in the arena
    EXPECT_STREQ(report->getDefaultName()->getValue(), "renamed");
    report->getStoreID()->getValue()->setValue(nullptr);
    EXPECT_EQ(report->getStoreID()->getValue()->getValue(), nullptr);
    report->getParent()->clearField(0);  // an embedded array made in the arena
    EXPECT_TRUE(report->getParent()->getValue().empty());
    report->getParent()->getValue().push_back(nullptr);  // made again, on the heap
    ZEBStringProp description;  // fields past the ones read: the objects take whole slot arrays
    description.setValue("later");
    report->setDefaultDescription(&description);
    reply.getResult()->at(1)->getSearchPath(&reply.getObjectRegistry())->setValue("/empty");
    EXPECT_STREQ(reply.getResult()->at(1)->getSearchPath()->getValue(), "/empty");
    copy = ZEBClone(*report, copies);
    ZEBSoap::readEnvelope(xml.data(), xml.size(), reply);  // the first objects stay until the reply goes
    auto* again = static_cast<ZEBReport*>(reply.getResult()->at(0));
    EXPECT_STREQ(again->getDefaultName()->getValue(), "R1");
    ZEBTokenProp other;
    other.setValue("copied");
    again->getDefaultName()->copyFieldsFrom(other, reply.getObjectRegistry());  // over a text read
    EXPECT_STREQ(again->getDefaultName()->getValue(), "copied");
    std::string empty = envelopeWith("<dvl:queryResponse/>");  // reading again replaces the whole reply
    ZEBSoap::readEnvelope(empty.data(), empty.size(), reply);
    EXPECT_EQ(reply.getResult(), nullptr);
  }
  auto* kept = static_cast<ZEBReport*>(copy);
  EXPECT_STREQ(kept->getDefaultName()->getValue(), "renamed");
  EXPECT_EQ(kept->getParent()->getValue().size(), 1u);
  EXPECT_STREQ(kept->getDefaultDescription()->getValue(), "later");

  // A text field of the message itself.
  ZEBContentDetermineRouting_Reply routing;
  routing.setResult("before");
  std::string routed = ZEBSoap::writeEnvelope(routing, nullptr);
  ZEBSoap::readEnvelope(routed.data(), routed.size(), routing);
  EXPECT_STREQ(routing.getResult(), "before");
  ZEBSoap::readEnvelope(routed.data(), routed.size(), routing);
  routing.setResult("after");
  EXPECT_STREQ(routing.getResult(), "after");
}

// Unset values, and null elements of an array of an abstract type, travel as nil.
TEST(SoapWriterTest, UnsetValuesAndNullElementsTravelAsNil) {
  ZEBContentAdd_Request request;
  ZEBBaseClassArray objects;
  ZEBOutput output;
  ZEBNmtokenProp format;  // handed over without a value
  output.setFormat(&format);
  objects.push_back(nullptr);
  objects.push_back(&output);
  request.setObjects(&objects);
  std::string xml = ZEBSoap::writeEnvelope(request, nullptr);
  // Read back as null: the reader agreement suite.
  EXPECT_NE(xml.find("<dvl:objects><dvl:item xsi:nil=\"true\"/><dvl:item xsi:type=\"dvl:output\">"), std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<dvl:format xsi:nil=\"true\"/>"), std::string::npos) << xml;
}

// Text the wire cannot carry is refused before anything is sent, not sent as XML no parser takes.
TEST(SoapWriterTest, RefusesTextThatIsNotUtf8OrNotAllowedInXml) {
  for (const char* bad : {"\xC3(", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x01b", "\xEF\xBF\xBE"}) {
    ZEBContentQuery_Request request;
    ZEBSearchPathMultipleObject path;
    path.setValue(bad);
    request.setSearchPath(&path);
    EXPECT_THROW(ZEBSoap::writeEnvelope(request, nullptr), ZEBMalformedMessage) << bad;
  }
}

// Many objects read: texts set afterwards go to the heap and are freed with the reply (the
// sanitizer builds see a leak), enumeration values read stay what they were.
TEST(SoapReaderTest, ManyObjectsReadOwnWhatIsSetOnThemLater) {
  ZEBContentQuery_Reply written;
  ZEBObjectRegistryI& registry = written.getObjectRegistry();
  for (int i = 0; i < 150; ++i) {
    auto* report = new ZEBReport;
    registry.registerObject(report);
    report->getObjectClass(&registry)->getValue(&registry)->setValue(ZEBClassEnum::report);
    report->getDefaultName(&registry)->setValue(std::to_string(i).c_str());
    written.getResult(&registry)->push_back(report);
  }
  std::string xml = ZEBSoap::writeEnvelope(written, nullptr);
  ZEBContentQuery_Reply reply;
  ZEBSoap::readEnvelope(xml.data(), xml.size(), reply);
  ASSERT_EQ(reply.getResult()->size(), 150u);
  for (size_t i = 0; i < 150; ++i) {
    ZEBBaseClass* report = reply.getResult()->at(i);
    EXPECT_EQ(report->getObjectClass()->getValue()->getValue(), ZEBClassEnum::report);
    report->getDefaultName()->setValue(("renamed " + std::to_string(i)).c_str());
  }
  EXPECT_STREQ(reply.getResult()->at(149)->getDefaultName()->getValue(), "renamed 149");
  ZEBClassEnum unset;
  EXPECT_FALSE(unset.isSet());
  EXPECT_EQ(unset.getName(), nullptr);
}

}  // namespace
