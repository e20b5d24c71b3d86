// The engine tests' references: iconv(3) and ICU convert the same bytes by
// the names that the code page manifest gives each code page, and a
// reviewed allow-list names the byte sequences and code points where a
// reference differs for a reason (one line each: code page, "U+XXXX" or
// hex bytes, the reason).
#ifndef TESTS_KRN_RSCP_RSCPC_ORACLE_H
#define TESTS_KRN_RSCP_RSCPC_ORACLE_H

#include <errno.h>
#include <stdio.h>
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

// What a strict conversion made of an input: its output, or where it
// stopped: a cut character at the end, or anything else that is bad.
struct Outcome {
  enum Kind { kOk, kCut, kBad } kind = kBad;
  std::string out;
  bool operator==(const Outcome& o) const { return kind == o.kind && (kind != kOk || out == o.out); }
};

// One iconv direction, opened once, reset for every input.
class IconvRef {
 public:
  IconvRef(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~IconvRef() {
    if (ok()) iconv_close(cd_);
  }
  IconvRef(const IconvRef&) = delete;
  IconvRef& operator=(const IconvRef&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  Outcome Run(const std::string& in) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string out(in.size() * 4 + 16, '\0');
    char* ip = const_cast<char*>(in.data());
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    if (iconv(cd_, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) return {errno == EINVAL ? Outcome::kCut : Outcome::kBad, {}};
    if (iconv(cd_, nullptr, nullptr, &op, &ol) == static_cast<size_t>(-1)) return {Outcome::kBad, {}};
    out.resize(out.size() - ol);
    return {Outcome::kOk, out};
  }

 private:
  iconv_t cd_;
};

// One ICU pair, opened once; with a substitute the callbacks write it
// (the target's '#', U+FFFD for bad input), else they stop.
class IcuRef {
 public:
  IcuRef(const std::string& to, const std::string& from, bool substitute) {
    UErrorCode e = U_ZERO_ERROR;
    from_ = ucnv_open(from.c_str(), &e);
    to_ = ucnv_open(to.c_str(), &e);
    if (U_FAILURE(e)) return;
    if (substitute) {
      ucnv_setSubstChars(to_, "#", 1, &e);
    } else {
      ucnv_setToUCallBack(from_, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &e);
      ucnv_setFromUCallBack(to_, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &e);
    }
    ok_ = U_SUCCESS(e);
  }
  ~IcuRef() {
    if (to_ != nullptr) ucnv_close(to_);
    if (from_ != nullptr) ucnv_close(from_);
  }
  IcuRef(const IcuRef&) = delete;
  IcuRef& operator=(const IcuRef&) = delete;
  bool ok() const { return ok_; }
  Outcome Run(const std::string& in) {
    ucnv_reset(from_);
    ucnv_reset(to_);
    std::string out(in.size() * 4 + 16, '\0');
    char* op = out.data();
    const char* ip = in.data();
    UErrorCode e = U_ZERO_ERROR;
    ucnv_convertEx(to_, from_, &op, out.data() + out.size(), &ip, in.data() + in.size(), nullptr, nullptr, nullptr,
                   nullptr, true, true, &e);
    if (e == U_TRUNCATED_CHAR_FOUND) return {Outcome::kCut, {}};
    if (U_FAILURE(e)) return {Outcome::kBad, {}};
    out.resize(static_cast<size_t>(op - out.data()));
    return {Outcome::kOk, out};
  }

 private:
  UConverter* from_ = nullptr;
  UConverter* to_ = nullptr;
  bool ok_ = false;
};

inline std::string Hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string h;
  for (unsigned char c : s) h += d[c >> 4], h += d[c & 15];
  return h;
}

// The allow-list: per code page, the entries ("U+XXXX" or hex bytes), each
// alone or as a range lo..hi of keys of one length.
inline const std::map<std::string, std::vector<std::pair<std::string, std::string>>>& AllowList() {
  static const auto allow = [] {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> m;
    std::ifstream in(std::string(TOV_SOURCE_DIR) + "/tests/krn/rscp/rscpc_allow.txt");
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream ss(line);
      std::string cp, what;
      if (!(ss >> cp >> what)) continue;
      const size_t dots = what.find("..");
      m[cp].emplace_back(what.substr(0, dots), dots == std::string::npos ? what : what.substr(dots + 2));
    }
    return m;
  }();
  return allow;
}

// The manifest's pages with their reference names and listed deltas
// ("ref:code" or "ref:lo..hi", ref "icu", "iconv" or "both").
struct PageRef {
  const char* cp;
  const char* iconv;
  const char* icu;
  bool synthetic;
  const char* deltas;
};
inline constexpr PageRef kManifestPages[] = {
#include "rscpf5_pages.inc"
};
inline const PageRef* FindPage(const std::string& cp) {
  for (const PageRef& p : kManifestPages) {
    if (cp == p.cp) return &p;
  }
  return nullptr;
}

// Whether a page lists key (a code in hex, "8790", or a value, "U+D800")
// as a delta of the reference ref.
inline bool Listed(const PageRef& pg, const char* ref, const std::string& key) {
  std::stringstream ss(pg.deltas);
  std::string tok;
  while (ss >> tok) {
    const size_t c = tok.find(':'), dots = tok.find("..");
    const std::string who = tok.substr(0, c);
    if (who != "both" && who != ref) continue;
    const std::string lo = tok.substr(c + 1, dots == std::string::npos ? std::string::npos : dots - c - 1);
    const std::string hi = dots == std::string::npos ? lo : tok.substr(dots + 2);
    if (key.size() == lo.size() && key >= lo && key <= hi) return true;
  }
  return false;
}

inline bool Allowed(const std::string& cp, const std::string& what) {
  const auto& a = AllowList();
  const auto it = a.find(cp);
  if (it == a.end()) return false;
  for (const auto& [lo, hi] : it->second) {
    if (what.size() == lo.size() && what >= lo && what <= hi) return true;
  }
  return false;
}

// Whether a difference at character c, whose code (ours or a
// reference's) is code, is named: the character or the code on the
// allow-list or among the page's deltas.
inline bool Excused(const PageRef& pg, uint32_t c, const std::string& code) {
  char u[16];
  snprintf(u, sizeof u, "U+%04X", static_cast<unsigned>(c));
  if (Allowed(pg.cp, u) || Listed(pg, "iconv", u) || Listed(pg, "icu", u)) return true;
  if (code.empty()) return false;
  return Listed(pg, "iconv", Hex(code)) || Listed(pg, "icu", Hex(code)) || Allowed(pg.cp, Hex(code));
}

}  // namespace rscptest

#endif
