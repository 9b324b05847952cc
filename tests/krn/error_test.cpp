// The three error conventions: texts, locations, macro texts and conversions are what callers and
// hosts read, so they are checked exactly.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "KRNError.h"
#include "KRNIDOM.h"
#include "KRNAllocationHooks.h"

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

// The assertion's text, location and macro are checked wherever one is raised (tests/prod).

// A bad_alloc or a null result becomes the out-of-memory error, another std exception a wrapper,
// and ours passes on with a rethrow entry; each at the caller's location.
TEST(CheckedAllocationTest, FailuresBecomeOurExceptionsAtTheCallersLocation) {
  struct Case {
    int kind;  // of ThrowsInConstructor; -1: the allocation itself fails
    const char *file, *type;
    int line;
  };
  for (const Case& c : {Case{0, "DVLStatus", "KRNOutOfMemoryError", 64}, Case{1, "DVLLogon", "KRNStdExceptionError", 104},
                        Case{2, "DVLAddModel", "KRNAssertError", 33}, Case{-1, "DVLCacheData", "KRNOutOfMemoryError", 71}}) {
    SCOPED_TRACE(c.file);
    if (c.kind < 0) KRN::failCheckedAllocationAfter(1);
    try {
      if (c.kind < 0) KRNCheckedNew<int>(c.file, c.line, 5);
      if (c.kind >= 0) KRNCheckedNew<ThrowsInConstructor>(c.file, c.line, c.kind);
      ADD_FAILURE() << "nothing raised";
    } catch (const KRNThrowable& e) {
      EXPECT_STREQ(e.getTypeName(), c.type);
      const std::vector<KRNBackTraceEntry>& trace = e.getBackTrace();
      ASSERT_EQ(trace.size(), c.kind == 2 ? 2u : 1u);
      expectEntry(trace.back(), c.file, c.line, "", c.kind == 2 ? "KRN_RETHROW" : "KRN_THROW");
      if (c.kind == 1) {
        EXPECT_STREQ(dynamic_cast<const KRNStdExceptionError&>(e).getOriginalWhat(), "disk on fire");
      }
      if (c.kind == 2) expectEntry(trace[0], "Inner", 7, "", "KRN_THROW");
    }
  }
  // Only the k-th allocation fails.
  std::unique_ptr<int> next(KRNCheckedNew<int>("X", 1, 6));
  EXPECT_EQ(*next, 6);
}

// libxml2 allocates through the hook too: a DOM parse or serialisation whose allocation fails reports
// running out of memory, not a parse error, and never an empty text as if all were well.
TEST(CheckedAllocationTest, TheDomReportsLibxml2RunningOutOfMemory) {
  const std::string xml = "<config xmlns='urn:x'><entry name='a'>one &amp; two</entry><entry/></config>";
  auto& dom = KRNIDOM_DOMImplementation::getInstance();
  long outOfMemory = 0;
  for (long k = 1; k < 200; ++k) {
    KRN::failCheckedAllocationAfter(k);
    try {
      std::string text = KRNIDOM_Helper::serialize(dom.parse(xml.data(), xml.size(), "k.xml"));
      EXPECT_NE(text.find("one &amp; two"), std::string::npos) << "allocation " << k;
    } catch (const KRNOutOfMemoryError&) {
      ++outOfMemory;
    } catch (const KRNThrowable& e) {
      ADD_FAILURE() << "allocation " << k << ": " << e.toString();
    }
    KRN::failCheckedAllocationAfter(0);
  }
  EXPECT_GT(outOfMemory, 10);
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

// A std exception passes a rethrow unchanged: ExecuteTest (tests/prod/request_base_test).

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
