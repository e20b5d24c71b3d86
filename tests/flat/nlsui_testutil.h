// Shared pieces of the ICU binding tests: the slots beside their ICU
// reference functions, the 7-bit classes, and a child process that makes
// the first call under chosen conditions.
#ifndef TESTS_FLAT_NLSUI_TESTUTIL_H
#define TESTS_FLAT_NLSUI_TESTUTIL_H

#include <stdlib.h>
#include <unicode/uchar.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "flat/nlsui_int.h"
#include "support/testsupport.h"

namespace nlsuitest {

struct SlotCase {
  const char* name;
  NlsuiCharSlot* slot;
  int (*icu)(UChar32 c);  // the same operation called in ICU directly
};
#define NLSUI_SLOT(n) SlotCase{#n "U", &n##U, [](UChar32 c) { return static_cast<int>(u_##n(c)); }}
inline const SlotCase kSlots[9] = {NLSUI_SLOT(isalnum), NLSUI_SLOT(isalpha), NLSUI_SLOT(iscntrl),
                                   NLSUI_SLOT(islower), NLSUI_SLOT(isprint), NLSUI_SLOT(isspace),
                                   NLSUI_SLOT(isupper), NLSUI_SLOT(tolower), NLSUI_SLOT(toupper)};

// What the 7-bit fallback of slot k gives for c < 0x80, from the ASCII chart.
inline int SevenBit(int k, unsigned c) {
  auto in = [c](unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
  const bool upper = in('A', 'Z'), lower = in('a', 'z');
  const int want[9] = {upper || lower || in('0', '9'), upper || lower, c < 0x20 || c == 0x7F, lower,
                       in(0x20, 0x7E), in(9, 13) || c == ' ', upper, static_cast<int>(upper ? c + 32 : c),
                       static_cast<int>(lower ? c - 32 : c)};
  return want[k];
}

inline const std::string kMissing = "libtovtest-missing.so";  // a library nobody has

// Runs body in a fresh child with the loader's variables unset, then the
// given ones set (an empty value unsets), and the common and i18n library
// names replaced when not empty; the site directory is dir, or one that does
// not exist. The child's standard output starts with its pid and a newline.
struct Load {
  std::vector<std::pair<std::string, std::string>> env = {};
  std::string common = "", i18n = "", dir = "";
};
inline tovtest::ChildResult RunLoad(const Load& l, const std::function<int()>& body) {
  return tovtest::RunInChild([&] {
    std::printf("%d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    for (const char* v : {"NLSUI_INIT_TRACE_LEVEL", "NLSUI_7BIT_FALLBACK", "NO_WEQ_ICU_PATH"}) unsetenv(v);
    for (const auto& [name, value] : l.env) value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
    NlsuiISetLibNames({l.common.empty() ? nullptr : l.common.c_str(), l.i18n.empty() ? nullptr : l.i18n.c_str(),
                       nullptr, l.dir.empty() ? "/nonexistent/tovtest-icu" : l.dir.c_str()});
    return body();
  });
}

}  // namespace nlsuitest

#endif
