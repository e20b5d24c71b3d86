#include "nlsui_testutil.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "flat/nlsui_int.h"

namespace nlsuitest {

const SlotCase kSlotCases[9] = {
    {"isalnumU", &isalnumU, [](UChar32 c) -> int { return u_isalnum(c) != 0; }},
    {"isalphaU", &isalphaU, [](UChar32 c) -> int { return u_isalpha(c) != 0; }},
    {"iscntrlU", &iscntrlU, [](UChar32 c) -> int { return u_iscntrl(c) != 0; }},
    {"islowerU", &islowerU, [](UChar32 c) -> int { return u_islower(c) != 0; }},
    {"isprintU", &isprintU, [](UChar32 c) -> int { return u_isprint(c) != 0; }},
    {"isspaceU", &isspaceU, [](UChar32 c) -> int { return u_isspace(c) != 0; }},
    {"isupperU", &isupperU, [](UChar32 c) -> int { return u_isupper(c) != 0; }},
    {"tolowerU", &tolowerU, [](UChar32 c) -> int { return u_tolower(c); }},
    {"toupperU", &toupperU, [](UChar32 c) -> int { return u_toupper(c); }},
};

int SevenBit(int k, unsigned c) {
  auto in = [c](unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
  const bool upper = in('A', 'Z'), lower = in('a', 'z'), digit = in('0', '9');
  const int want[9] = {upper || lower || digit, upper || lower, c < 0x20 || c == 0x7F,
                       lower, in(0x20, 0x7E), in(9, 13) || c == ' ', upper,
                       static_cast<int>(upper ? c + 32 : c), static_cast<int>(lower ? c - 32 : c)};
  return want[k];
}

std::string IcuFile(const char* stem) {
  return std::string(stem) + ".so." + std::to_string(U_ICU_VERSION_MAJOR_NUM);
}

tovtest::ChildResult RunLoad(const LoadSetup& setup, const std::function<int()>& body,
                             int timeout_s) {
  return tovtest::RunInChild(
      [&]() {
        std::printf("%d\n", static_cast<int>(getpid()));
        std::fflush(stdout);
        for (const auto& [name, value] : setup.env) {
          if (value.empty()) {
            unsetenv(name.c_str());
          } else {
            setenv(name.c_str(), value.c_str(), 1);
          }
        }
        NlsuiILibNames names{};
        if (!setup.common.empty()) names.common = setup.common.c_str();
        if (!setup.i18n.empty()) names.i18n = setup.i18n.c_str();
        names.fallbackDir = setup.fallbackDir.empty() ? "/nonexistent/tovtest-icu"
                                                      : setup.fallbackDir.c_str();
        NlsuiISetLibNames(names);
        return body();
      },
      timeout_s);
}

std::string ChildPid(const tovtest::ChildResult& r) { return r.out.substr(0, r.out.find('\n')); }

std::string Normalised(const std::string& trace) {
  static const std::string kHead = " [nlsui0 ", kTail = "] pid = ";
  std::string out;
  size_t from = 0;
  for (size_t at; (at = trace.find(kHead, from)) != std::string::npos;) {
    size_t end = at + kHead.size();
    while (end < trace.size() && trace[end] >= '0' && trace[end] <= '9') ++end;
    if (end == at + kHead.size() || trace.compare(end, kTail.size(), kTail) != 0) {
      out.append(trace, from, end - from);
    } else {
      out.append(trace, from, at - from).append(kHead + "#" + kTail);
      end += kTail.size();
    }
    from = end;
  }
  return out.append(trace, from, std::string::npos);
}

std::string Msg(const std::string& text, const std::string& pid) {
  return text + " [nlsui0 #] pid = " + pid + "\n";
}

int Count(const std::string& s, const std::string& text) {
  int n = 0;
  for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++n;
  return n;
}

}  // namespace nlsuitest
