// Delete: the object named by path or store identifier, the fixed options, the checks on what the
// caller names, and that a request executed again names the object once.
#include <gtest/gtest.h>

#include <functional>

#include "DVLDelete.h"
#include "KRNError.h"
#include "support/FakeService.h"

namespace {

class DeleteTest : public testing::Test {
 protected:
  ZEBContentDelete_Request& sent() {
    parsed = service.lastRequestMessage();
    return static_cast<ZEBContentDelete_Request&>(*parsed);
  }
  const char* sentPath() {
    const ZEBStringProp* path = sent().getObjects()->at(0)->getSearchPath();
    return path ? path->getValue() : nullptr;
  }
  static void expectAssert(const std::function<void()>& f, int line, const char* text) {
    try {
      f();
      ADD_FAILURE() << "no assertion " << text;
    } catch (const KRNAssertError& e) {
      EXPECT_STREQ(e.getText(), text);
      EXPECT_STREQ(e.getBackTrace().at(0).location.getFile(), "DVLDelete");
      EXPECT_EQ(e.getBackTrace().at(0).location.getLine(), line);
    }
  }

  FakeService service;
  DVLDelete del{service.session(), nullptr, ZEBSOAPSessionI::ZEBSOAPUntrusted};
  std::unique_ptr<ZEBMessageI> parsed;
};

TEST_F(DeleteTest, DeletesOneNilObjectForcedRecursiveAndEvenWhenReferenced) {
  del.addPath("/content/tmp");
  del.execute();
  EXPECT_EQ(service.last().operation, "delete");
  ZEBContentDelete_Request& request = sent();
  ASSERT_EQ(request.getObjects()->size(), 1u);
  EXPECT_EQ(&request.getObjects()->at(0)->getTypeInfo(), &ZEBNil::typeInfo);
  EXPECT_STREQ(request.getObjects()->at(0)->getSearchPath()->getValue(), "/content/tmp");
  const ZEBDeleteOptions* options = request.getOptions();
  EXPECT_FALSE(*options->getFaultIfObjectReferenced());
  EXPECT_TRUE(*options->getForce());
  EXPECT_TRUE(*options->getRecursive());
}

TEST_F(DeleteTest, TheLaterOfPathAndStoreIdNamesTheObjectOnce) {
  del.addStoreId("i5A");
  del.execute();
  EXPECT_STREQ(sentPath(), "storeID(\"i5A\")");
  del.execute();
  EXPECT_EQ(service.requests()[1].envelope, service.requests()[0].envelope);
  EXPECT_EQ(sent().getObjects()->size(), 1u);
  del.addPath("/content/b");
  del.execute();
  EXPECT_STREQ(sentPath(), "/content/b");
  del.addStoreId("");
  del.execute();
  EXPECT_STREQ(sentPath(), "storeID(\"\")");
}

TEST_F(DeleteTest, RefusesNullsAndQuotedStoreIdsKeepingTheEarlierPath) {
  del.addPath("/content/keep");
  expectAssert([&] { del.addPath(nullptr); }, 42, "KRN_ASSERT(path);");
  expectAssert([&] { del.addStoreId(nullptr); }, 51, "KRN_ASSERT(storeId);");
  for (const char* id : {"\"", "ab\"", "\"ab", "a\"b"}) {
    expectAssert([&] { del.addStoreId(id); }, 53, "KRN_ASSERT(*p != '\"');");
  }
  del.execute();
  EXPECT_STREQ(sentPath(), "/content/keep");
}

}  // namespace
