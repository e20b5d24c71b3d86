// Helpers of the thread library's tests.
#ifndef TESTS_KRN_THR_THR_TEST_UTIL_H
#define TESTS_KRN_THR_THR_TEST_UTIL_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/testsupport.h"
#include "weq_types.h"

// 16-bit text as UTF-8 for comparisons and messages.
inline std::string U(const WEQ_UC* s) { return s ? tovtest::ToUtf8(s) : "(null)"; }

// Runs body in a fresh child, so that it starts from an untouched library;
// failed expectations there show up as its output and a non-zero exit.
inline void InChild(const std::function<void()>& body) {
  tovtest::ChildResult r = tovtest::RunInChild([&] {
    body();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

#endif
