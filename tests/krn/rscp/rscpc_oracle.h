// The engine tests' references: iconv(3) and ICU convert the same bytes by
// the names that the code page manifest gives each code page, and a
// reviewed allow-list names the byte sequences and code points where a
// reference differs for a reason (one line each: code page, "U+XXXX" or
// hex bytes, the reason).
#ifndef TESTS_KRN_RSCP_RSCPC_ORACLE_H
#define TESTS_KRN_RSCP_RSCPC_ORACLE_H

#include <errno.h>
#include <iconv.h>
#include <unicode/ucnv.h>

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace rscptest {

struct OracleNames {
  std::string iconv;  // empty: none
  std::string icu;
};

// The manifest's iconv and ICU names of each code page.
inline const std::map<std::string, OracleNames>& ManifestNames() {
  static const std::map<std::string, OracleNames> names = [] {
    std::map<std::string, OracleNames> m;
    std::ifstream in(std::string(TOV_SOURCE_DIR) + "/krn/rscp/rscpf5_manifest.json");
    // The value of "key": "value" on one manifest line, "" when absent.
    const auto field = [](const std::string& line, const std::string& key) {
      const std::string open = "\"" + key + "\": \"";
      const size_t at = line.find(open);
      if (at == std::string::npos) return std::string();
      const size_t from = at + open.size();
      return line.substr(from, line.find('"', from) - from);
    };
    for (std::string line; std::getline(in, line);) {
      const std::string cp = field(line, "cp");
      // The catalogue comes first; later lines (test sets) reuse numbers.
      if (cp.size() != 4 || m.count(cp) != 0) continue;
      OracleNames& n = m[cp];
      n.iconv = field(line, "iconv");
      n.icu = field(line, "icu");
    }
    return m;
  }();
  return names;
}

// Converts with iconv(3); nullopt when iconv has no such converter or the
// bytes do not convert.
inline std::optional<std::string> IconvConvert(const std::string& from, const std::string& to, const std::string& in) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 4 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  size_t il = in.size();
  char* op = out.data();
  size_t ol = out.size();
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || il != 0) return std::nullopt;
  out.resize(out.size() - ol);
  return out;
}

// Converts with ICU, stopping at the first character that does not convert.
inline std::optional<std::string> IcuConvert(const std::string& from, const std::string& to, const std::string& in) {
  UErrorCode st = U_ZERO_ERROR;
  UConverter* a = ucnv_open(from.c_str(), &st);
  UConverter* b = U_SUCCESS(st) ? ucnv_open(to.c_str(), &st) : nullptr;
  std::optional<std::string> result;
  if (U_SUCCESS(st)) {
    ucnv_setToUCallBack(a, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &st);
    ucnv_setFromUCallBack(b, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &st);
    std::string out(in.size() * 4 + 16, '\0');
    char* op = out.data();
    const char* ip = in.data();
    ucnv_convertEx(b, a, &op, out.data() + out.size(), &ip, in.data() + in.size(), nullptr, nullptr, nullptr,
                   nullptr, true, true, &st);
    if (U_SUCCESS(st)) {
      out.resize(static_cast<size_t>(op - out.data()));
      result = out;
    }
  }
  if (b != nullptr) ucnv_close(b);
  if (a != nullptr) ucnv_close(a);
  return result;
}

// The allow-list: per code page, the entries ("U+XXXX" or hex bytes).
inline const std::map<std::string, std::set<std::string>>& AllowList() {
  static const std::map<std::string, std::set<std::string>> allow = [] {
    std::map<std::string, std::set<std::string>> m;
    std::ifstream in(std::string(TOV_SOURCE_DIR) + "/tests/krn/rscp/rscpc_allow.txt");
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream ss(line);
      std::string cp, what;
      if (ss >> cp >> what) m[cp].insert(what);
    }
    return m;
  }();
  return allow;
}

inline bool Allowed(const std::string& cp, const std::string& what) {
  const auto& a = AllowList();
  const auto it = a.find(cp);
  return it != a.end() && it->second.count(what) != 0;
}

}  // namespace rscptest

#endif
