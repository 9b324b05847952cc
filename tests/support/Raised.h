// What a call raised, for tests of the error conventions.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>

#include "KRNThrowable.h"

// The exception of type E that body raises; fails the test (and throws) when it raises none.
template <class E, class Body>
E raisedBy(Body&& body) {
  try {
    body();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "nothing raised";
  throw std::logic_error("nothing raised");
}

// body raises the assertion text, first raised at file:line by the assertion macro.
template <class Body>
void expectAssertion(Body&& body, const char* text, const char* file, int line) {
  KRNAssertError e = raisedBy<KRNAssertError>(body);
  EXPECT_STREQ(e.getText(), text);
  ASSERT_FALSE(e.getBackTrace().empty());
  const KRNBackTraceEntry& first = e.getBackTrace()[0];
  EXPECT_STREQ(first.location.getFile(), file);
  EXPECT_EQ(first.location.getLine(), line);
  EXPECT_EQ(first.function, "");
  EXPECT_EQ(first.macro, "KRN_THROW");
}
