// The three error conventions: texts, locations, macro texts and conversions are what callers and
// hosts read, so they are checked exactly.
#include <gtest/gtest.h>

#include <stdexcept>

#include "KRNError.h"

namespace {

struct ThrowsInConstructor {
  explicit ThrowsInConstructor(int kind) {
    if (kind == 0) throw std::bad_alloc();
    if (kind == 1) throw std::runtime_error("disk on fire");
    KRNAssertError(0, "KRN_ASSERT(inner);").raise(KRNFileLocation("Inner", 7), nullptr, "KRN_THROW");
  }
};

void expectEntry(const KRNBackTraceEntry& e, const char* file, int line, const char* function, const char* macro) {
  EXPECT_STREQ(e.location.getFile(), file);
  EXPECT_EQ(e.location.getLine(), line);
  EXPECT_EQ(e.function, function);
  EXPECT_EQ(e.macro, macro);
}

TEST(AssertionTest, RaisesAssertErrorWithTextLocationAndThrowMacro) {
  try {
    const char* storeID = nullptr;
    KRN_ASSERT_AT(storeID, "DVLQuery", 79, "KRN_ASSERT(storeID);");
    FAIL() << "no exception";
  } catch (const KRNAssertError& e) {
    EXPECT_STREQ(e.getText(), "KRN_ASSERT(storeID);");
    ASSERT_EQ(e.getBackTrace().size(), 1u);
    expectEntry(e.getBackTrace()[0], "DVLQuery", 79, "", "KRN_THROW");
  }
}

TEST(AssertionTest, PassingConditionRaisesNothing) {
  EXPECT_NO_THROW(KRN_ASSERT_AT(1 + 1 == 2, "X", 1, "KRN_ASSERT(true);"));
}

TEST(CheckedAllocationTest, ReturnsTheObject) {
  std::unique_ptr<std::string> s(KRNCheckedNew<std::string>("F", 1, "abc"));
  EXPECT_EQ(*s, "abc");
}

TEST(CheckedAllocationTest, BadAllocBecomesOutOfMemoryWithThrowEntry) {
  try {
    KRNCheckedNew<ThrowsInConstructor>("DVLStatus", 64, 0);
    FAIL();
  } catch (const KRNOutOfMemoryError& e) {
    ASSERT_EQ(e.getBackTrace().size(), 1u);
    expectEntry(e.getBackTrace()[0], "DVLStatus", 64, "", "KRN_THROW");
  }
}

TEST(CheckedAllocationTest, OtherStdExceptionBecomesStdExceptionError) {
  try {
    KRNCheckedNew<ThrowsInConstructor>("DVLLogon", 104, 1);
    FAIL();
  } catch (const KRNStdExceptionError& e) {
    EXPECT_STREQ(e.getOriginalWhat(), "disk on fire");
    ASSERT_EQ(e.getBackTrace().size(), 1u);
    expectEntry(e.getBackTrace()[0], "DVLLogon", 104, "", "KRN_THROW");
  }
}

TEST(CheckedAllocationTest, RuntimeExceptionPassesWithRethrowEntry) {
  try {
    KRNCheckedNew<ThrowsInConstructor>("DVLAddModel", 33, 2);
    FAIL();
  } catch (const KRNAssertError& e) {
    EXPECT_STREQ(e.getText(), "KRN_ASSERT(inner);");
    ASSERT_EQ(e.getBackTrace().size(), 2u);
    expectEntry(e.getBackTrace()[0], "Inner", 7, "", "KRN_THROW");
    expectEntry(e.getBackTrace()[1], "DVLAddModel", 33, "", "KRN_RETHROW");
  }
}

TEST(CheckedAllocationTest, NullResultRaisesOutOfMemoryAtTheLocation) {
  KRN::failCheckedAllocationAfter(1);
  try {
    KRNCheckedNew<int>("DVLCacheData", 71, 5);
    FAIL();
  } catch (const KRNOutOfMemoryError& e) {
    ASSERT_EQ(e.getBackTrace().size(), 1u);
    expectEntry(e.getBackTrace()[0], "DVLCacheData", 71, "", "KRN_THROW");
  }
  // Only the k-th allocation fails.
  std::unique_ptr<int> next(KRNCheckedNew<int>("X", 1, 6));
  EXPECT_EQ(*next, 6);
}

TEST(RethrowTest, AddsOneEntryAndKeepsTheSameObject) {
  const KRNThrowable* original = nullptr;
  try {
    KRNRethrowing("DVLGenericSoap", 59, "DVLGenericSoap::execute", [&] {
      try {
        KRN::raiseAssert("Inner", 1, "KRN_ASSERT(x);");
      } catch (KRNThrowable& t) {
        original = &t;
        throw;
      }
    });
    FAIL();
  } catch (const KRNAssertError& e) {
    EXPECT_EQ(&e, original);
    ASSERT_EQ(e.getBackTrace().size(), 2u);
    expectEntry(e.getBackTrace()[1], "DVLGenericSoap", 59, "DVLGenericSoap::execute", "KRN_RETHROW");
  }
}

TEST(RethrowTest, StdExceptionPassesUnchanged) {
  EXPECT_THROW(KRNRethrowing("F", 1, nullptr, [] { throw std::out_of_range("x"); }), std::out_of_range);
}

TEST(ThrowableTest, RaiseThrowsTheDynamicType) {
  KRNAssertError error(0, "KRN_ASSERT(a);");
  KRNThrowable& base = error;
  EXPECT_THROW(base.raise(KRNFileLocation("F", 2), nullptr, "KRN_THROW"), KRNAssertError);
}

TEST(ThrowableTest, RenderingNamesTheKindMessageAndEveryEntry) {
  KRNAssertError error(0, "KRN_ASSERT(path);");
  error.addBackTrace(KRNFileLocation("DVLQuery", 71), nullptr, "KRN_THROW");
  error.addBackTrace(KRNFileLocation("DVLGenericSoap", 59), "DVLGenericSoap::execute", "KRN_RETHROW");
  EXPECT_EQ(error.toString(),
            "KRNAssertError: assertion failed: KRN_ASSERT(path);\n"
            "  at DVLQuery:71 (KRN_THROW)\n"
            "  at DVLGenericSoap:59 in DVLGenericSoap::execute (KRN_RETHROW)");
}

}  // namespace
