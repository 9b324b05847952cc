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

// body raises the assertion text, first raised at file:line.
template <class Body>
void expectAssertion(Body&& body, const char* text, const char* file, int line) {
  KRNAssertError e = raisedBy<KRNAssertError>(body);
  EXPECT_STREQ(e.getText(), text);
  ASSERT_FALSE(e.getBackTrace().empty());
  EXPECT_STREQ(e.getBackTrace()[0].location.getFile(), file);
  EXPECT_EQ(e.getBackTrace()[0].location.getLine(), line);
}
