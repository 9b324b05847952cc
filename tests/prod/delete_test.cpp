// Delete: the object named by path or store identifier, the fixed options, the checks on what the
// caller names, and that a request executed again names the object once.
#include <gtest/gtest.h>

#include "DVLDelete.h"
#include "KRNError.h"
#include "support/FakeService.h"
#include "support/Raised.h"

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

  // The later of path and store identifier names the object, once however often it is executed.
  del.addStoreId("i5A");
  del.execute();
  EXPECT_STREQ(sentPath(), "storeID(\"i5A\")");
  del.execute();
  EXPECT_EQ(service.requests()[2].envelope, service.requests()[1].envelope);
  EXPECT_EQ(sent().getObjects()->size(), 1u);
  del.addPath("/content/b");
  del.execute();
  EXPECT_STREQ(sentPath(), "/content/b");
}

TEST_F(DeleteTest, RefusesNullsAndQuotedStoreIdsKeepingTheEarlierPath) {
  del.addPath("/content/keep");
  expectAssertion([&] { del.addPath(nullptr); }, "KRN_ASSERT(path);", "DVLDelete", 42);
  expectAssertion([&] { del.addStoreId(nullptr); }, "KRN_ASSERT(storeId);", "DVLDelete", 51);
  for (const char* id : {"\"", "ab\"", "\"ab", "a\"b"}) {
    expectAssertion([&] { del.addStoreId(id); }, "KRN_ASSERT(*p != '\"');", "DVLDelete", 53);
  }
  del.execute();
  EXPECT_STREQ(sentPath(), "/content/keep");
}

}  // namespace
