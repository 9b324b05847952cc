// The search-path parser: the forms dvl-contentd understands, and where it says a bad path goes wrong.
#include "SearchPath.h"

#include <gtest/gtest.h>

#include <tuple>

using dvlservice::canonicalStep;
using dvlservice::SearchPath;
using dvlservice::SearchPathError;
using dvlservice::SearchPathPredicate;
using dvlservice::SearchPathStep;

namespace {

TEST(SearchPath, StepsHoldClassNameOrAnyTestsAxesAndPredicates) {
  SearchPath p = SearchPath::parse("/content//folder [ @name = 'a b' ][@storeID='x1']/*[@name=\"O'Brien's\"]/output");
  ASSERT_EQ(p.steps.size(), 4u);
  EXPECT_EQ(p.steps[0].test, SearchPathStep::Test::Name);  // "content" names no class
  EXPECT_EQ(p.steps[0].word, "content");
  EXPECT_EQ(p.steps[0].axis, SearchPathStep::Axis::Child);
  EXPECT_EQ(p.steps[1].test, SearchPathStep::Test::Class);
  EXPECT_EQ(p.steps[1].axis, SearchPathStep::Axis::Descendant);
  ASSERT_EQ(p.steps[1].predicates.size(), 2u);
  EXPECT_EQ(p.steps[1].predicates[0].attribute, SearchPathPredicate::Attribute::Name);
  EXPECT_EQ(p.steps[1].predicates[0].value, "a b");
  EXPECT_EQ(p.steps[1].predicates[1].attribute, SearchPathPredicate::Attribute::StoreId);
  EXPECT_EQ(p.steps[2].test, SearchPathStep::Test::Any);
  EXPECT_EQ(p.steps[2].predicates.at(0).value, "O'Brien's");
  EXPECT_EQ(p.steps[3].word, "output");
  EXPECT_EQ(SearchPath::parse("/*[@name='say \"hi\"']").steps.at(0).predicates.at(0).value, "say \"hi\"");
}

TEST(SearchPath, OriginsRootTildeAccountDoubleTildeSessionAndStoreId) {
  using Origin = SearchPath::Origin;
  const std::tuple<const char*, Origin, size_t> cases[] = {
      {"/", Origin::Root, 0},
      {"~", Origin::Account, 0},
      {"~/folder[@name='My reports']", Origin::Account, 1},
      {"~~", Origin::Session, 0},
      {"  ~~  ", Origin::Session, 0},
      {"storeID(\"i0123abc\")/*[@name='Sales']", Origin::StoreId, 1}};
  for (const auto& [text, origin, steps] : cases) {
    SearchPath p = SearchPath::parse(text);
    EXPECT_EQ(p.origin, origin) << text;
    EXPECT_EQ(p.steps.size(), steps) << text;
  }
  EXPECT_EQ(SearchPath::parse("storeID(\"i0123abc\")").storeId, "i0123abc");
  EXPECT_EQ(SearchPath::parse("storeID('')").storeId, "");
}

// Each message names the problem and the position where the path goes wrong.
TEST(SearchPath, BadPathsNameTheProblemAndItsPosition) {
  const std::tuple<const char*, size_t, const char*> cases[] = {
      {"", 1, "empty"},
      {"   ", 4, "empty"},
      {"content", 1, "starts with"},
      {"/content/", 10, "expected a step"},
      {"//", 3, "expected a step"},
      {"/content/folder[@name='x]", 23, "no closing '"},
      {"/content/folder[@name=x]", 23, "expected a quoted name"},
      {"/content/folder[@title='x']", 18, "unknown attribute '@title'"},
      {"/content/folder[@name='x'", 26, "expected ']'"},
      {"/content/folder[name='x']", 17, "expected '@'"},
      {"/content/#", 10, "unexpected '#'"},
      {"~~/folder", 3, "nothing may follow"},
      {"~folder", 2, "expected '/'"},
      {"storeID(abc)", 9, "expected a quoted name"},
      {"storeID(\"abc\"", 14, "expected ')' but the path ends"},
      {"/content/folder[@name='O'Brien']", 26, "expected ']'"}};  // a quote inside the same quotes
  for (const auto& [text, position, problem] : cases) {
    SCOPED_TRACE(text);
    try {
      SearchPath::parse(text);
      ADD_FAILURE() << "parsed";
    } catch (const SearchPathError& e) {
      EXPECT_EQ(e.getPosition(), position) << e.what();
      EXPECT_NE(std::string(e.what()).find(problem), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("at position " + std::to_string(position)), std::string::npos);
    }
  }
  EXPECT_THROW(SearchPath::parse("/content" + std::string(70000, 'x')), SearchPathError);  // overlong
  std::string path;
  for (int i = 0; i < 300; ++i) path += "/*";
  EXPECT_THROW(SearchPath::parse(path), SearchPathError);  // too many steps
}

TEST(SearchPath, CanonicalStepsParseBackToTheNameAndShortenPlainChildrenOfTheRoot) {
  for (const std::string name : {"Sales", "O'Brien", "say \"hi\"", "a/b [c]", "x]y"}) {
    std::string step = canonicalStep("folder", name, false);
    SearchPath p = SearchPath::parse("/" + step);
    ASSERT_EQ(p.steps.size(), 1u) << step;
    EXPECT_EQ(p.steps[0].word, "folder");
    ASSERT_EQ(p.steps[0].predicates.size(), 1u);
    EXPECT_EQ(p.steps[0].predicates[0].value, name);
  }
  // Plain children of the root only are shortened to their name.
  EXPECT_EQ(canonicalStep("folder", "content", true), "content");
  EXPECT_EQ(canonicalStep("folder", "content", false), "folder[@name='content']");
  EXPECT_EQ(canonicalStep("folder", "output", true), "folder[@name='output']");  // a class name is no name test
  EXPECT_EQ(canonicalStep("folder", "two words", true), "folder[@name='two words']");
  EXPECT_EQ(canonicalStep("folder", "both ' and \"", false), "");
}

}  // namespace
