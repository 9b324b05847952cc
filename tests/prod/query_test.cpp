// The query requests against the in-process service: what each one puts on the wire, and how each
// reads the reply it gets back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DVLDetermineRouting.h"
#include "DVLGetObject.h"
#include "DVLQuery.h"
#include "DVLQueryMultiple.h"
#include "DVLQueryMultipleCache.h"
#include "DVLSaAXMQuery.h"
#include "KRNThrowable.h"
#include "support/FakeService.h"

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

// Runs body and returns the assertion it raises, failing the test when it raises none.
template <class Body>
KRNAssertError assertionOf(Body&& body) {
  try {
    body();
  } catch (const KRNAssertError& e) {
    return e;
  }
  ADD_FAILURE() << "no assertion raised";
  return KRNAssertError(0, "");
}

void expectAssertion(const KRNAssertError& e, const char* text, const char* file, int line) {
  EXPECT_STREQ(e.getText(), text);
  ASSERT_FALSE(e.getBackTrace().empty());
  EXPECT_STREQ(e.getBackTrace()[0].location.getFile(), file);
  EXPECT_EQ(e.getBackTrace()[0].location.getLine(), line);
}

// Builds the objects of a reply; everything made belongs to the reply message.
class ReplyBuilder {
 public:
  explicit ReplyBuilder(ZEBMessageI& reply) : m_registry(reply.getObjectRegistry()) {}

  template <class T = ZEBFolder>
  T* object(const char* name, const char* storeID = nullptr, const char* searchPath = nullptr) {
    auto* made = new T;
    m_registry.registerObject(made);
    if (name) made->getDefaultName(&m_registry)->setValue(name);
    if (storeID) made->getStoreID(&m_registry)->getValue(&m_registry)->setValue(storeID);
    if (searchPath) made->getSearchPath(&m_registry)->setValue(searchPath);
    return made;
  }
  void setClass(ZEBBaseClass* object, ZEBClassEnum::Enum value) {
    object->getObjectClass(&m_registry)->getValue(&m_registry)->setValue(value);
  }
  void addParent(ZEBBaseClass* object, ZEBBaseClass* parent) {
    ZEBBaseClassArrayProp* parents = object->getParent(&m_registry);
    if (parent) parents->getValue().push_back(parent);
  }

 private:
  ZEBObjectRegistryI& m_registry;
};

class QueryTest : public testing::Test {
 protected:
  // The last request parsed back; it lives until the next call.
  ZEBContentQuery_Request* sentQuery() {
    m_lastQuery = service.lastRequestMessage();
    auto* query = dynamic_cast<ZEBContentQuery_Request*>(m_lastQuery.get());
    EXPECT_NE(query, nullptr);
    return query;
  }
  // Answers every query with the objects that fill() adds to the result.
  template <class Fill>
  void answerWith(Fill fill) {
    service.respond([fill](const RecordedRequest&) {
      ZEBContentQuery_Reply reply;
      ReplyBuilder build(reply);
      ZEBBaseClassArray* result = reply.getResult(&reply.getObjectRegistry());
      fill(build, *result);
      return FakeService::replyOf(reply);
    });
  }

  FakeService service;
  std::unique_ptr<ZEBMessageI> m_lastQuery;
};

// ---- DVLQuery: what every query carries ----

TEST_F(QueryTest, PropertiesAreTheCallersThenTheMissingFixedOnesEachOnce) {
  DVLQuery plain(service.session(), nullptr, untrusted);
  plain.setPath("/content");
  plain.execute();
  EXPECT_EQ(service.last().operation, "query");
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

TEST_F(QueryTest, SortingDefaultsToObjectClassAscendingAndCanBeSwitchedOff) {
  {
    DVLQuery query(service.session(), nullptr, untrusted);
    query.execute();
    ZEBSortArray* sort = sentQuery()->getSortBy();
    ASSERT_NE(sort, nullptr);
    ASSERT_EQ(sort->size(), 1u);
    EXPECT_EQ(sort->at(0)->getPropName()->getValue(), ZEBPropEnum::objectClass);
    EXPECT_EQ(sort->at(0)->getOrder()->getValue(), ZEBOrderEnum::ascending);
  }
  {
    DVLQuery query(service.session(), nullptr, untrusted);
    query.setSortOptions(ZEBPropEnum::name, ZEBOrderEnum::descending);
    query.deactivateSort();
    query.execute();
    EXPECT_EQ(sentQuery()->getSortBy(), nullptr);
    EXPECT_EQ(service.last().envelope.find("sortBy"), std::string::npos);
  }
}

TEST_F(QueryTest, SortKeysAfterDeactivateSwitchSortingOnWithOnlyThoseKeys) {
  DVLQuery query(service.session(), nullptr, untrusted);
  query.deactivateSort();
  query.setSortOptions(ZEBPropEnum::modificationTime, ZEBOrderEnum::descending);
  query.setSortOptions(ZEBPropEnum::defaultName, ZEBOrderEnum::ascending);
  query.execute();
  ZEBSortArray* sort = sentQuery()->getSortBy();
  ASSERT_NE(sort, nullptr);
  ASSERT_EQ(sort->size(), 2u);
  EXPECT_EQ(sort->at(0)->getPropName()->getValue(), ZEBPropEnum::modificationTime);
  EXPECT_EQ(sort->at(0)->getOrder()->getValue(), ZEBOrderEnum::descending);
  EXPECT_EQ(sort->at(1)->getPropName()->getValue(), ZEBPropEnum::defaultName);
}

TEST_F(QueryTest, DefaultOptionsAreReadPermissionZerosAndBase64) {
  DVLQuery query(service.session(), nullptr, untrusted);
  query.execute();
  ZEBQueryOptions* options = sentQuery()->getOptions();
  ASSERT_NE(options, nullptr);
  EXPECT_STREQ(options->getPermission(), "read");
  for (const int* value : {options->getSchemaInfo(), options->getMaxObjects(), options->getSkipObjects(),
                           options->getMaxDataBytes(), options->getSkipDataBytes()}) {
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(*value, 0);
  }
  ASSERT_NE(options->getDataEncoding(), nullptr);
  EXPECT_EQ(options->getDataEncoding()->getValue(), ZEBEncodingEnum::base64);
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
  EXPECT_EQ(sent->getPermission(), nullptr);
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

TEST_F(QueryTest, StoreIdentifierBecomesAStoreIDPath) {
  DVLQuery query(service.session(), nullptr, untrusted);
  query.setStoreID("abc");
  query.execute();
  EXPECT_STREQ(sentQuery()->getSearchPath()->getValue(), "storeID(\"abc\")");
}

TEST_F(QueryTest, StoreIdentifierAssertionsLeaveTheQueryUnchanged) {
  DVLQuery query(service.session(), nullptr, untrusted);
  query.setPath("/kept");
  expectAssertion(assertionOf([&] { query.setStoreID(nullptr); }), "KRN_ASSERT(storeID);", "DVLQuery", 79);
  expectAssertion(assertionOf([&] { query.setStoreID("ab\")|/x"); }), "KRN_ASSERT(*p != '\"');", "DVLQuery", 81);
  query.execute();
  EXPECT_STREQ(sentQuery()->getSearchPath()->getValue(), "/kept");
}

TEST_F(QueryTest, QueryRequestStoreIdentifierAssertionsAreLocatedInTheMultipleQuery) {
  DVLQueryMultiple multiple(service.session(), nullptr, untrusted);
  DVLQueryRequest request(multiple);
  expectAssertion(assertionOf([&] { request.setStoreID(nullptr); }), "KRN_ASSERT(storeID);", "DVLQueryMultiple", 83);
  expectAssertion(assertionOf([&] { request.setStoreID("a\"b"); }), "KRN_ASSERT(*p != '\"');", "DVLQueryMultiple", 85);
  request.setStoreID("i5A");
  EXPECT_STREQ(request.getZEBQueryRequest().getSearch(), "storeID(\"i5A\")");
}

// ---- DVLQuery: reading the reply ----

TEST_F(QueryTest, ObjectsArePickedByIndexAndAnIndexPastTheEndPicksTheFirst) {
  answerWith([](ReplyBuilder& build, ZEBBaseClassArray& result) {
    ZEBBaseClass* first = build.object("first", "id-1", "/content/first");
    build.setClass(first, ZEBClassEnum::folder);
    result.push_back(first);
    result.push_back(build.object("second", "id-2"));
    ZEBBaseClass* third = build.object<ZEBReport>("third", "id-3");
    build.setClass(third, ZEBClassEnum::report);
    result.push_back(third);
  });
  DVLQuery query(service.session(), nullptr, untrusted);
  query.setPath("/content/*");
  query.execute();

  EXPECT_EQ(query.getObjectCount(), 3);
  EXPECT_STREQ(query.getName(2), "third");
  EXPECT_STREQ(query.getStoreID(1), "id-2");
  EXPECT_EQ(query.getObjectClass(2), ZEBClassEnum::report);
  EXPECT_EQ(query.getObjectClass(1), 0u);  // no objectClass in the reply
  EXPECT_EQ(query.getObject(5), query.getObject(0));
  EXPECT_STREQ(query.getName(5), "first");
  EXPECT_STREQ(query.getStoreID(3), "id-1");
  EXPECT_EQ(query.getObjectClass(9), ZEBClassEnum::folder);
  EXPECT_STREQ(query.getPath(), "/content/first");  // the service's path, not the one asked for
}

TEST_F(QueryTest, WithNothingReturnedEveryGetterReportsNothing) {
  DVLQuery query(service.session(), nullptr, untrusted);
  auto expectNothing = [&] {
    EXPECT_EQ(query.getObjectCount(), 0);
    EXPECT_EQ(query.getObject(0), nullptr);
    EXPECT_EQ(query.getName(0), nullptr);
    EXPECT_EQ(query.getStoreID(0), nullptr);
    EXPECT_EQ(query.getObjectClass(0), 0u);
    EXPECT_EQ(query.getPath(), nullptr);
    EXPECT_EQ(query.getPassport(), nullptr);
    EXPECT_EQ(query.getAXMCredentialPath(), nullptr);
  };
  expectNothing();  // before execute()
  answerWith([](ReplyBuilder&, ZEBBaseClassArray&) {});
  query.execute();
  expectNothing();
}

TEST_F(QueryTest, GetPathAssertsWhenTheFirstObjectHasNoSearchPath) {
  answerWith([](ReplyBuilder& build, ZEBBaseClassArray& result) { result.push_back(build.object("x")); });
  DVLQuery query(service.session(), nullptr, untrusted);
  query.execute();
  expectAssertion(assertionOf([&] { query.getPath(); }), "KRN_ASSERT(searchPath);", "DVLQuery", 97);
}

TEST_F(QueryTest, PassportAndCredentialPathComeFromTheReplyHeader) {
  service.respond([](const RecordedRequest&) {
    ZEBContentQuery_Reply reply;
    ZEBVorbHeader header;
    ZEBAXM axm;
    header.setPassport("passport-2");
    axm.setAXMCredentialPath("/axm/cred");
    header.setAXM(&axm);
    return FakeService::replyOf(reply, &header);
  });
  DVLQuery query(service.session(), nullptr, untrusted);
  query.execute();
  EXPECT_STREQ(query.getPassport(), "passport-2");
  EXPECT_STREQ(query.getAXMCredentialPath(), "/axm/cred");
}

// ---- DVLGetObject ----

TEST_F(QueryTest, LookupSendsNoPermissionAndEndsThePropertiesWithParent) {
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
}

struct ChildStep {
  const char* name;
  const char* path;
};

class ChildNameTest : public QueryTest, public testing::WithParamInterface<ChildStep> {};

TEST_P(ChildNameTest, ChildNameIsQuotedSoItCannotChangeThePath) {
  DVLGetObject lookup(service.session(), nullptr, untrusted);
  lookup.setStoreID("f1");
  lookup.setChildName(GetParam().name);
  lookup.execute();
  EXPECT_STREQ(sentQuery()->getSearchPath()->getValue(), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(Names, ChildNameTest,
                         testing::Values(ChildStep{"Sales", "storeID(\"f1\")/*[@name='Sales']"},
                                         ChildStep{"Q1 \"final\"", "storeID(\"f1\")/*[@name='Q1 \"final\"']"},
                                         ChildStep{"O'Brien", "storeID(\"f1\")/*[@name=\"O'Brien\"]"},
                                         ChildStep{"x'] | //*[@name='y",
                                                   "storeID(\"f1\")/*[@name=\"x'] | //*[@name='y\"]"}));

TEST_F(QueryTest, ChildNameWithBothQuotesIsRefusedAndNothingIsSent) {
  DVLGetObject lookup(service.session(), nullptr, untrusted);
  lookup.setPath("/content");
  lookup.setChildName("it's \"x\"");
  expectAssertion(assertionOf([&] { lookup.execute(); }), "KRN_ASSERT(!(hasSingleQuote && hasDoubleQuote));",
                  "DVLGetObject", 41);
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(QueryTest, ChildNameWithoutASearchPathIsRefused) {
  DVLGetObject lookup(service.session(), nullptr, untrusted);
  lookup.setChildName("Sales");
  expectAssertion(assertionOf([&] { lookup.execute(); }), "KRN_ASSERT(!m_childName || searchPath);", "DVLGetObject",
                  43);
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(QueryTest, LookupThatFindsNothingHasNoParent) {
  DVLGetObject lookup(service.session(), nullptr, untrusted);
  lookup.setPath("/nowhere");
  lookup.execute();
  EXPECT_EQ(lookup.wasFound(), 0);
  EXPECT_EQ(lookup.getParent(), nullptr);
  EXPECT_EQ(lookup.getParentStoreID(), nullptr);
}

TEST_F(QueryTest, LookupReadsTheFirstParentsPathAndStoreIdentifier) {
  answerWith([](ReplyBuilder& build, ZEBBaseClassArray& result) {
    ZEBBaseClass* object = build.object("Sales", "id-s");
    build.addParent(object, build.object("content", "id-p", "/content"));
    build.addParent(object, build.object("other", "id-o", "/other"));
    result.push_back(object);
  });
  DVLGetObject lookup(service.session(), nullptr, untrusted);
  lookup.setPath("/content");
  lookup.setChildName("Sales");
  lookup.execute();
  EXPECT_EQ(lookup.wasFound(), 1);
  EXPECT_STREQ(lookup.getParent(), "/content");
  EXPECT_STREQ(lookup.getParentStoreID(), "id-p");
  EXPECT_STREQ(lookup.getStoreID(0), "id-s");
}

TEST_F(QueryTest, ParentGettersAssertOnAnEmptyParentList) {
  answerWith([](ReplyBuilder& build, ZEBBaseClassArray& result) {
    ZEBBaseClass* object = build.object("root");
    build.addParent(object, nullptr);  // the property, with no parent in it
    result.push_back(object);
  });
  DVLGetObject lookup(service.session(), nullptr, untrusted);
  lookup.execute();
  const char* text = "KRN_ASSERT(parentProp->getValue().size() > 0);";
  expectAssertion(assertionOf([&] { lookup.getParent(); }), text, "DVLGetObject", 64);
  expectAssertion(assertionOf([&] { lookup.getParentStoreID(); }), text, "DVLGetObject", 77);
}

TEST_F(QueryTest, ParentGettersGiveNullWhenTheReplyLacksParentOrItsPath) {
  answerWith([](ReplyBuilder& build, ZEBBaseClassArray& result) { result.push_back(build.object("orphan")); });
  DVLGetObject lookup(service.session(), nullptr, untrusted);
  lookup.execute();
  EXPECT_EQ(lookup.wasFound(), 1);
  EXPECT_EQ(lookup.getParent(), nullptr);
  EXPECT_EQ(lookup.getParentStoreID(), nullptr);

  answerWith([](ReplyBuilder& build, ZEBBaseClassArray& result) {
    ZEBBaseClass* object = build.object("child");
    build.addParent(object, build.object("parent", "id-p"));  // no search path
    result.push_back(object);
  });
  DVLGetObject second(service.session(), nullptr, untrusted);
  second.execute();
  EXPECT_EQ(second.getParent(), nullptr);
  EXPECT_STREQ(second.getParentStoreID(), "id-p");
}

TEST_F(QueryTest, ParentStoreIdentifierAssertsWhenTheParentHasNone) {
  answerWith([](ReplyBuilder& build, ZEBBaseClassArray& result) {
    ZEBBaseClass* object = build.object("child");
    build.addParent(object, build.object("parent", nullptr, "/p"));
    result.push_back(object);
  });
  DVLGetObject lookup(service.session(), nullptr, untrusted);
  lookup.execute();
  EXPECT_STREQ(lookup.getParent(), "/p");
  expectAssertion(assertionOf([&] { lookup.getParentStoreID(); }), "KRN_ASSERT(storeIDProp);", "DVLGetObject", 81);
}

// ---- DVLQueryMultiple ----

class MultipleQueryTest : public QueryTest {
 protected:
  std::unique_ptr<ZEBMessageI> sent;
  ZEBQueryRequestArray* sentElements(bool cache = false) {
    sent = service.lastRequestMessage();
    if (cache) return static_cast<ZEBContentQueryMultipleCache_Request&>(*sent).getRequests();
    return static_cast<ZEBContentQueryMultiple_Request&>(*sent).getRequests();
  }
  // One reply per entry, holding one object of that name.
  static void fillReplies(ZEBMessageI& message, ZEBQueryReplyArray& replies, const std::vector<const char*>& names) {
    ReplyBuilder build(message);
    for (const char* name : names) {
      auto* reply = new ZEBQueryReply;
      message.getObjectRegistry().registerObject(reply);
      reply->getQueryResult().push_back(build.object(name));
      replies.push_back(reply);
    }
  }
};

TEST_F(MultipleQueryTest, ElementsGoInTheOrderAddedAndEachGetsTheMissingFixedProperties) {
  service.respond([](const RecordedRequest&) {
    ZEBContentQueryMultiple_Reply reply;
    fillReplies(reply, *reply.getResult(&reply.getObjectRegistry()), {"from-a", "from-b"});
    return FakeService::replyOf(reply);
  });
  DVLQueryMultiple multiple(service.session(), nullptr, untrusted);
  DVLQueryRequest a(multiple), b(multiple);
  a.setPath("/a");
  ZEBPropEnum searchPath(ZEBPropEnum::searchPath);
  b.setProperty(searchPath);
  multiple.addRequest(a);
  multiple.addRequest(b);
  b.setStoreID("id-b");  // after addRequest: still reaches the message
  multiple.execute();

  EXPECT_EQ(service.last().operation, "queryMultiple");
  ZEBQueryRequestArray* elements = sentElements();
  ASSERT_NE(elements, nullptr);
  ASSERT_EQ(elements->size(), 2u);
  EXPECT_STREQ(elements->at(0)->getSearch(), "/a");
  EXPECT_STREQ(elements->at(1)->getSearch(), "storeID(\"id-b\")");
  EXPECT_EQ(propsOf(&elements->at(0)->getProperties()), fixedProps);
  EXPECT_EQ(propsOf(&elements->at(1)->getProperties()),
            (Props{ZEBPropEnum::searchPath, ZEBPropEnum::objectClass, ZEBPropEnum::defaultName, ZEBPropEnum::storeID}));

  EXPECT_EQ(multiple.getReplyCount(), 2);
  ASSERT_NE(multiple.getQueryResult(1), nullptr);
  EXPECT_STREQ(multiple.getQueryResult(0)->at(0)->getDefaultName()->getValue(), "from-a");
  EXPECT_STREQ(multiple.getQueryResult(1)->at(0)->getDefaultName()->getValue(), "from-b");
  EXPECT_EQ(multiple.getQueryResult(2), nullptr);
  EXPECT_EQ(multiple.getReturns()->size(), 2u);
}

TEST_F(MultipleQueryTest, BeforeExecuteThereAreNoRepliesAndCountingThemAsserts) {
  DVLQueryMultiple multiple(service.session(), nullptr, untrusted);
  EXPECT_EQ(multiple.getReturns(), nullptr);
  EXPECT_EQ(multiple.getQueryResult(0), nullptr);
  expectAssertion(assertionOf([&] { multiple.getReplyCount(); }), "KRN_ASSERT(m_resultArray != NULL);",
                  "DVLQueryMultiple", 211);
}

TEST_F(MultipleQueryTest, WithoutQueryRequestsNoElementIsSent) {
  DVLQueryMultiple multiple(service.session(), nullptr, untrusted);
  multiple.execute();
  ZEBQueryRequestArray* elements = sentElements();
  EXPECT_TRUE(elements == nullptr || elements->empty());
}

TEST_F(MultipleQueryTest, OptionsAreSentOnlyAfterSetQueryOptions) {
  DVLQueryMultiple multiple(service.session(), nullptr, untrusted);
  DVLQueryRequest plain(multiple), withOptions(multiple);
  EXPECT_STREQ(plain.getQueryOptions().getPermission(), "read");
  ZEBQueryOptions options;
  options.setMaxObjects(3);
  withOptions.setQueryOptions(options);
  multiple.addRequest(plain);
  multiple.addRequest(withOptions);
  multiple.execute();
  ZEBQueryRequestArray* elements = sentElements();
  EXPECT_EQ(elements->at(0)->getOptions(), nullptr);
  ZEBQueryOptions* sentOptions = elements->at(1)->getOptions();
  ASSERT_NE(sentOptions, nullptr);
  EXPECT_EQ(sentOptions->getPermission(), nullptr);  // the argument had none
  EXPECT_EQ(*sentOptions->getMaxObjects(), 3);
  EXPECT_EQ(*sentOptions->getSkipObjects(), 0);
}

TEST_F(MultipleQueryTest, ElementsCarryOnlyTheSortKeysGiven) {
  DVLQueryMultiple multiple(service.session(), nullptr, untrusted);
  DVLQueryRequest unsorted(multiple), sorted(multiple);
  unsorted.activateSort();
  sorted.setSortOptions(ZEBPropEnum::name, ZEBOrderEnum::descending);
  sorted.setSortOptions(ZEBPropEnum::creationTime, ZEBOrderEnum::ascending);
  multiple.addRequest(unsorted);
  multiple.addRequest(sorted);
  multiple.execute();
  ZEBQueryRequestArray* elements = sentElements();
  EXPECT_TRUE(elements->at(0)->getSortBy().empty());
  ASSERT_EQ(elements->at(1)->getSortBy().size(), 2u);
  EXPECT_EQ(elements->at(1)->getSortBy().at(0)->getPropName()->getValue(), ZEBPropEnum::name);
  EXPECT_EQ(elements->at(1)->getSortBy().at(1)->getPropName()->getValue(), ZEBPropEnum::creationTime);
}

// ---- DVLQueryMultipleCache ----

TEST_F(MultipleQueryTest, CacheValidatorIsSentAndTheReturnedOneRead) {
  DVLQueryMultipleCache cached(service.session(), nullptr, untrusted);
  DVLQueryRequest request(cached);
  request.setPath("/a");
  cached.addRequest(request);
  cached.execute();
  EXPECT_EQ(service.last().operation, "queryMultipleCache");
  sentElements(true);
  auto* sentRequest = static_cast<ZEBContentQueryMultipleCache_Request*>(sent.get());
  ASSERT_NE(sentRequest->getOptions(), nullptr);
  EXPECT_STREQ(sentRequest->getOptions()->getCacheValidator(), "");
  EXPECT_EQ(propsOf(&sentRequest->getRequests()->at(0)->getProperties()), fixedProps);

  service.respond([](const RecordedRequest&) {
    ZEBContentQueryMultipleCache_Reply reply;
    ZEBQueryMultipleResult* result = reply.getResult(&reply.getObjectRegistry());
    result->setCacheValidator("v2");
    fillReplies(reply, result->getReplies(), {"only"});
    return FakeService::replyOf(reply);
  });
  DVLQueryMultipleCache second(service.session(), nullptr, untrusted);
  second.setCacheValidator("v0");
  second.setCacheValidator("v1");
  second.execute();
  sentElements(true);
  EXPECT_STREQ(static_cast<ZEBContentQueryMultipleCache_Request&>(*sent).getOptions()->getCacheValidator(), "v1");
  EXPECT_STREQ(second.getCacheValidatorReply(), "v2");
  EXPECT_EQ(second.getReplyCount(), 1);
  EXPECT_STREQ(second.getQueryResult(0)->at(0)->getDefaultName()->getValue(), "only");
  EXPECT_EQ(second.getQueryResult(1), nullptr);
}

TEST_F(MultipleQueryTest, CachedReplyWithoutResultIsReportedNotDereferenced) {
  DVLQueryMultipleCache cached(service.session(), nullptr, untrusted);
  EXPECT_EQ(cached.getCacheValidatorReply(), nullptr);
  cached.execute();  // the empty reply: no result
  EXPECT_EQ(cached.getCacheValidatorReply(), nullptr);
  EXPECT_EQ(cached.getReturns(), nullptr);
  EXPECT_EQ(cached.getQueryResult(0), nullptr);
  expectAssertion(assertionOf([&] { cached.getReplyCount(); }), "KRN_ASSERT(m_resultArray != NULL);",
                  "DVLQueryMultipleCache", 65);
}

TEST_F(MultipleQueryTest, QueryRequestsOnTheCachedQueryUseItsRegistry) {
  DVLQueryMultipleCache cached(service.session(), nullptr, untrusted);
  auto& registry = dynamic_cast<ZEBObjectRegistry&>(cached.getRequestObjectRegistry());
  const size_t before = registry.size();
  DVLQueryRequest request(cached);
  request.setSortOptions(ZEBPropEnum::name, ZEBOrderEnum::ascending);
  EXPECT_EQ(registry.size(), before + 3);  // property, order, sort key
  ZEBQueryOptions options;
  ZEBRefProp refProp;
  options.getRefProps().push_back(&refProp);
  request.setQueryOptions(options);
  EXPECT_EQ(registry.size(), before + 4);
}

// ---- DVLDetermineRouting and DVLSaAXMQuery ----

TEST_F(QueryTest, RoutingSendsThePathsInCallOrderAndReadsTheResult) {
  service.respond([](const RecordedRequest&) {
    ZEBContentDetermineRouting_Reply reply;
    reply.setResult("server-group-2");
    return FakeService::replyOf(reply);
  });
  DVLDetermineRouting routing(service.session(), nullptr, untrusted);
  ZEBSearchPathSingleObject first, second;
  first.setValue("/content/a");
  second.setValue("storeID(\"b\")");
  routing.addPath(&first);
  routing.addPath(&second);
  expectAssertion(assertionOf([&] { routing.addPath(nullptr); }), "KRN_ASSERT(path);", "DVLDetermineRouting", 42);
  EXPECT_EQ(routing.getResult(), nullptr);
  routing.execute();

  EXPECT_EQ(service.last().operation, "determineRouting");
  auto message = service.lastRequestMessage();
  ZEBSearchPathSingleObjectArray* paths = static_cast<ZEBContentDetermineRouting_Request&>(*message).getObjectPaths();
  ASSERT_NE(paths, nullptr);
  ASSERT_EQ(paths->size(), 2u);
  EXPECT_STREQ(paths->at(0)->getValue(), "/content/a");
  EXPECT_STREQ(paths->at(1)->getValue(), "storeID(\"b\")");
  EXPECT_STREQ(routing.getResult(), "server-group-2");
}

TEST_F(QueryTest, RoutingWithoutPathsSendsAnEmptyList) {
  DVLDetermineRouting routing(service.session(), nullptr, untrusted);
  routing.execute();
  auto message = service.lastRequestMessage();
  ZEBSearchPathSingleObjectArray* paths = static_cast<ZEBContentDetermineRouting_Request&>(*message).getObjectPaths();
  EXPECT_TRUE(paths == nullptr || paths->empty());
}

TEST_F(QueryTest, CredentialRetrievalSendsTheNamespaceAndReadsTheCredential) {
  DVLSaAXMQuery query(service.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPTrustedRequest);
  EXPECT_EQ(query.getAXMCredential(), nullptr);
  query.execute();  // no namespace set, empty reply
  EXPECT_EQ(static_cast<ZEBStandaloneAXMRetrieveCredential_Request&>(*service.lastRequestMessage()).getNamespace(),
            nullptr);
  EXPECT_EQ(query.getAXMCredential(), nullptr);

  service.respond([](const RecordedRequest&) {
    ZEBStandaloneAXMRetrieveCredential_Reply reply;
    ZEBXmlEncodedXML credential;
    credential.setValue("<credential><username>u</username></credential>");
    reply.setCredential(&credential);
    return FakeService::replyOf(reply);
  });
  query.setNamespace("first");
  query.setNamespace("LDAP");
  query.execute();
  EXPECT_EQ(service.last().operation, "retrieveCredential");
  EXPECT_EQ(service.last().trusted, 1);
  EXPECT_STREQ(static_cast<ZEBStandaloneAXMRetrieveCredential_Request&>(*service.lastRequestMessage()).getNamespace(),
               "LDAP");
  EXPECT_STREQ(query.getAXMCredential(), "<credential><username>u</username></credential>");
}

}  // namespace
