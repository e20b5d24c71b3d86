// Shared by the converter's tests: the thread library started once per
// executable, a fixture that gives each test a fresh converter process state
// and an empty error stack, and readers of printed stacks.
#ifndef TESTS_KRN_RSCP_RSCP_TESTUTIL_H
#define TESTS_KRN_RSCP_RSCP_TESTUTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "krn/rscp/rscp_int.h"

namespace rscptest {

// The state after a regular converter start: no impromptu initialiser, the
// calling thread's stack empty, errno 0 (a report takes the caller's errno).
class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// The lines that printing the stack gives, in order.
std::vector<std::u16string> PrintLines(const rscpErrStack_t& stack);
// The same joined by '\n' behind each line (as readable failure text).
std::string Joined(const std::vector<std::u16string>& lines);

// A fixed-width field as a string.
inline std::u16string Field(const WEQ_UC* f, size_t n) { return std::u16string(f, n); }
// s blank-padded (or cut) to n units.
std::u16string Pad(std::u16string s, size_t n);

// The module identification the tests report under (as reporters pass it,
// without the "@(#)" marker).
inline constexpr const WEQ_UC* kTestModule = u" $Id: //src/krn/rscp/rscpll.c#4 $";

}  // namespace rscptest

#endif
