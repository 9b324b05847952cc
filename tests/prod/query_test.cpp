// The query requests against the in-process service: what each one puts on the wire, and how each
// reads the reply it gets back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DVLGetObject.h"
#include "DVLQuery.h"
#include "DVLQueryMultiple.h"
#include "KRNThrowable.h"
#include "support/FakeService.h"
#include "support/Raised.h"

namespace {

const ZEBSOAPSessionI::ZEBSOAPTrusted untrusted = ZEBSOAPSessionI::ZEBSOAPUntrusted;

using Props = std::vector<ZEBPropEnum::Enum>;
const Props fixedProps = {ZEBPropEnum::objectClass, ZEBPropEnum::defaultName, ZEBPropEnum::searchPath,
                          ZEBPropEnum::storeID};

Props propsOf(const ZEBPropEnumArray* properties) {
  Props out;
  for (size_t i = 0; properties && i < properties->size(); ++i) out.push_back(properties->at(i)->getValue());
  return out;
}

class QueryTest : public testing::Test {
 protected:
  // The last request parsed back; it lives until the next call.
  ZEBContentQuery_Request* sentQuery() {
    m_lastQuery = service.lastRequestMessage();
    auto* query = dynamic_cast<ZEBContentQuery_Request*>(m_lastQuery.get());
    EXPECT_NE(query, nullptr);
    return query;
  }
  FakeService service;
  std::unique_ptr<ZEBMessageI> m_lastQuery;
};

// ---- DVLQuery: what every query carries ----

TEST_F(QueryTest, PropertiesAreTheCallersThenTheMissingFixedOnesEachOnce) {
  DVLQuery plain(service.session(), nullptr, untrusted);
  plain.setPath("/content");
  plain.execute();
  EXPECT_STREQ(sentQuery()->getSearchPath()->getValue(), "/content");
  EXPECT_EQ(propsOf(sentQuery()->getProperties()), fixedProps);

  DVLQuery query(service.session(), nullptr, untrusted);
  ZEBPropEnum description(ZEBPropEnum::description), defaultName(ZEBPropEnum::defaultName);
  query.setProperty(description);
  query.setProperty(defaultName);
  query.execute();
  EXPECT_EQ(propsOf(sentQuery()->getProperties()),
            (Props{ZEBPropEnum::description, ZEBPropEnum::defaultName, ZEBPropEnum::objectClass,
                   ZEBPropEnum::searchPath, ZEBPropEnum::storeID}));

  // A second execution adds none of them again.
  query.execute();
  EXPECT_EQ(propsOf(sentQuery()->getProperties()).size(), 5u);
}

TEST_F(QueryTest, DefaultsAreObjectClassAscendingReadPermissionZerosAndBase64) {
  DVLQuery sorted(service.session(), nullptr, untrusted);
  sorted.execute();
  ZEBSortArray* sort = sentQuery()->getSortBy();
  ASSERT_TRUE(sort && sort->size() == 1u);
  EXPECT_EQ(sort->at(0)->getPropName()->getValue(), ZEBPropEnum::objectClass);
  EXPECT_EQ(sort->at(0)->getOrder()->getValue(), ZEBOrderEnum::ascending);
  ZEBQueryOptions* options = sentQuery()->getOptions();
  ASSERT_TRUE(options && options->getDataEncoding());
  EXPECT_STREQ(options->getPermission(), "read");
  for (const int* value : {options->getSchemaInfo(), options->getMaxObjects(), options->getSkipObjects(),
                           options->getMaxDataBytes(), options->getSkipDataBytes()}) {
    EXPECT_TRUE(value && *value == 0);
  }
  EXPECT_EQ(options->getDataEncoding()->getValue(), ZEBEncodingEnum::base64);

  DVLQuery query(service.session(), nullptr, untrusted);
  query.setSortOptions(ZEBPropEnum::name, ZEBOrderEnum::descending);
  query.deactivateSort();
  query.execute();
  EXPECT_EQ(service.last().envelope.find("sortBy"), std::string::npos);
}

TEST_F(QueryTest, SetQueryOptionsTakesPermissionAndEncodingAlwaysAndNumbersOnlyWhenSet) {
  DVLQuery query(service.session(), nullptr, untrusted);
  ZEBQueryOptions options;  // no permission, no encoding
  options.setSkipObjects(20);
  ZEBRefProp refProp;
  ZEBPropEnum parent(ZEBPropEnum::parent);
  refProp.setRefPropName(&parent);
  options.getRefProps().push_back(&refProp);
  query.setQueryOptions(options);
  query.setQueryOptions(query.getQueryOptions());  // its own options: nothing doubles
  query.execute();

  ZEBQueryOptions* sent = sentQuery()->getOptions();
  ASSERT_NE(sent, nullptr);
  EXPECT_EQ(service.last().envelope.find("permission"), std::string::npos);
  EXPECT_EQ(*sent->getMaxObjects(), 0);
  EXPECT_EQ(*sent->getSkipObjects(), 20);
  EXPECT_EQ(sent->getDataEncoding(), nullptr);
  ASSERT_EQ(sent->getRefProps().size(), 1u);
  EXPECT_EQ(sent->getRefProps().at(0)->getRefPropName()->getValue(), ZEBPropEnum::parent);
  // A copy: the caller's array may go away before execute().
  EXPECT_NE(query.getQueryOptions().getRefProps().at(0), &refProp);
}

// ---- store identifiers ----

TEST_F(QueryTest, StoreIdentifierBecomesAStoreIDPathAndItsAssertionsLeaveTheQueryUnchanged) {
  DVLQuery query(service.session(), nullptr, untrusted);
  query.setPath("/kept");
  expectAssertion([&] { query.setStoreID(nullptr); }, "KRN_ASSERT(storeID);", "DVLQuery", 79);
  expectAssertion([&] { query.setStoreID("ab\")|/x"); }, "KRN_ASSERT(*p != '\"');", "DVLQuery", 81);
  query.execute();
  EXPECT_STREQ(sentQuery()->getSearchPath()->getValue(), "/kept");
  query.setStoreID("abc");
  query.execute();
  EXPECT_STREQ(sentQuery()->getSearchPath()->getValue(), "storeID(\"abc\")");
}

// ---- DVLGetObject ----

TEST_F(QueryTest, LookupSendsNoPermissionEndsThePropertiesWithParentAndRefusesUnquotableNames) {
  DVLGetObject lookup(service.session(), nullptr, untrusted);
  lookup.setPath("/content/folder");
  ZEBQueryOptions options;
  options.setPermission("write");
  lookup.setQueryOptions(options);
  lookup.execute();
  auto sent = sentQuery();
  EXPECT_STREQ(sent->getSearchPath()->getValue(), "/content/folder");
  EXPECT_EQ(sent->getOptions()->getPermission(), nullptr);
  Props expected = fixedProps;
  expected.push_back(ZEBPropEnum::parent);
  EXPECT_EQ(propsOf(sent->getProperties()), expected);

  // A child name no quote can hold is refused, and nothing is sent.
  lookup.setChildName("it's \"x\"");
  std::string message = raisedBy<KRNRuntimeError>([&] { lookup.execute(); }).getMessage();
  EXPECT_NE(message.find("child name <it's \"x\"> holds both a single and a double quote"), std::string::npos)
      << message;
  EXPECT_EQ(service.requests().size(), 1u);
}

// ---- DVLQueryMultiple ----

// The live query suite covers what the service answers; here, what reaches the message.
TEST_F(QueryTest, MultipleQueryElementsGoInTheOrderAddedEachWithTheMissingFixedProperties) {
  DVLQueryMultiple multiple(service.session(), nullptr, untrusted);
  DVLQueryRequest a(multiple), b(multiple);
  a.setPath("/a");
  ZEBPropEnum searchPath(ZEBPropEnum::searchPath);
  b.setProperty(searchPath);
  multiple.addRequest(a);
  multiple.addRequest(b);
  b.setStoreID("id-b");  // after addRequest: still reaches the message
  multiple.execute();

  std::unique_ptr<ZEBMessageI> sent = service.lastRequestMessage();
  ZEBQueryRequestArray* elements = static_cast<ZEBContentQueryMultiple_Request&>(*sent).getRequests();
  ASSERT_TRUE(elements && elements->size() == 2u);
  EXPECT_STREQ(elements->at(0)->getSearch(), "/a");
  EXPECT_STREQ(elements->at(1)->getSearch(), "storeID(\"id-b\")");
  EXPECT_EQ(propsOf(&elements->at(0)->getProperties()), fixedProps);
  EXPECT_EQ(propsOf(&elements->at(1)->getProperties()),
            (Props{ZEBPropEnum::searchPath, ZEBPropEnum::objectClass, ZEBPropEnum::defaultName, ZEBPropEnum::storeID}));
}

}  // namespace
