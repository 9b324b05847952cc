// The symbol table is generated from the schema; these tests hold the generator to its contract.
// An identifier is the CRC of its name, so the identifiers clients compile in stay as long as the
// names do (one is looked up by the CLI suite).
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <thread>
#include <vector>

#include "KRNError.h"
#include "support/Raised.h"
#include "zp2omsymbols1.h"

namespace {

TEST(SymbolTableTest, EveryIdentifierIsTheCrcOfItsNameAndIdentifiersAscend) {
  unsigned count = zp2omsymbols1::getCount();
  ASSERT_GT(count, 100u);
  for (unsigned i = 0; i < count; ++i) {
    unsigned id = zp2omsymbols1::getIdAt(i);
    const char* name = zp2omsymbols1::getChar(id);
    ASSERT_LE(std::strlen(name), 112u);
    EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(name), static_cast<uInt>(std::strlen(name))), id) << name;
    if (i > 0) {
      EXPECT_LT(zp2omsymbols1::getIdAt(i - 1), id);
    }
  }
}

TEST(SymbolTableTest, UnknownIdentifierRaisesTheLookupAssertion) {
  for (unsigned id : {0u, 1u, 0xFFFFFFFFu}) {
    expectAssertion([&] { zp2omsymbols1::getChar(id); }, "KRN_ASSERT_NAMED(end >= start, \"Resource lookup failed.\");",
                    "../I18NRes/zp2omsymbols1", 2432);
  }
  EXPECT_THROW(zp2omsymbols1::getString(0), KRNAssertError);
}

// After a reset the string is built again, once, however many threads ask for it first.
TEST(SymbolTableTest, GetStringIsCachedUntilResetAndBuiltOnceUnderConcurrentFirstLookups) {
  const I18NString& first = zp2omsymbols1::getString(0xECBA7A93);
  EXPECT_EQ(&first, &zp2omsymbols1::getString(0xECBA7A93));
  EXPECT_STREQ(first.c_str(), "objectClass");

  KRNResetableResourceRegistry::getInstance().resetAll();
  std::vector<const I18NString*> seen(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&seen, t] {
      seen[t] = &zp2omsymbols1::getString(0xECBA7A93);
      for (int i = 0; i < 14; ++i) DVLFixedStrings::getString(i);
    });
  }
  for (auto& t : threads) t.join();
  for (const I18NString* s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_STREQ(seen[0]->c_str(), "objectClass");
  // The reset went through the registry, so the table registered itself on the first build.
  zp2omsymbols1 table;
  EXPECT_EQ(table.getRegistered(), 0);
}

}  // namespace
