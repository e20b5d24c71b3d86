// Shared pieces of the ICU binding tests: the slots beside their ICU
// reference functions, and the initialisation trace as the tests read it.
#ifndef TESTS_FLAT_NLSUI_TESTUTIL_H
#define TESTS_FLAT_NLSUI_TESTUTIL_H

#include <unicode/uchar.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "flat/nlsui.h"
#include "support/testsupport.h"

namespace nlsuitest {

struct SlotCase {
  const char* name;
  NlsuiCharSlot* slot;
  int (*icu)(UChar32 c);  // the same operation called directly in ICU
};
extern const SlotCase kSlotCases[9];

// What the 7-bit fallback of slot k must give for c < 0x80, from the ASCII
// chart.
int SevenBit(int k, unsigned c);

// "libicuuc.so.72" and so on, spelled from ICU's own version header.
std::string IcuFile(const char* stem);

// Runs body in a fresh child with the given environment variables set (an
// empty value unsets it) and, when common/i18n are not empty, the library
// names replaced; the fallback directory is replaced by fallbackDir (a path
// that does not exist when empty). The child first prints its pid and a
// newline on standard output.
struct LoadSetup {
  LoadSetup(std::vector<std::pair<std::string, std::string>> env_ = {}, std::string common_ = "",
            std::string i18n_ = "", std::string fallbackDir_ = "")
      : env(std::move(env_)), common(common_), i18n(i18n_), fallbackDir(fallbackDir_) {}
  std::vector<std::pair<std::string, std::string>> env;
  std::string common, i18n, fallbackDir;
};
tovtest::ChildResult RunLoad(const LoadSetup& setup, const std::function<int()>& body,
                             int timeout_s = 60);

// The child's pid as printed by RunLoad.
std::string ChildPid(const tovtest::ChildResult& r);

// Initialisation trace text with every "[nlsui0 <line>]" turned into
// "[nlsui0 #]", so that expectations can be written without line numbers.
std::string Normalised(const std::string& trace);

// One expected trace message: text + " [nlsui0 #] pid = <pid>\n".
std::string Msg(const std::string& text, const std::string& pid);

// How many times text occurs in s.
int Count(const std::string& s, const std::string& text);

}  // namespace nlsuitest

#endif
