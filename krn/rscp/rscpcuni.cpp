// Unified code pages: 61xx, 62xx and 65xx stand for families whose member
// is picked by the object's language key and, for some keys, by the locale
// code page. The choice is data: one table of key rows per side and family,
// and one table of locale prefixes per family.
#include <string.h>

#include <string_view>

#include "krn/rscp/rscp.h"

namespace {

struct UniLocaleRow {
  std::u16string_view prefix;  // leading digits of the locale code page; empty: any other
  std::u16string_view result;
};
constexpr UniLocaleRow kUniLocale61[] = {
    {u"611", u"6110"}, {u"612", u"6120"}, {u"613", u"6130"}, {u"614", u"6140"}, {u"617", u"6170"},
    {u"619", u"6190"}, {u"11", u"6110"},  {u"14", u"6120"},  {u"19", u"6140"},  {u"17", u"6170"},
    {u"161", u"6190"}, {u"80", u"6180"},  {u"", u"6110"}};
constexpr UniLocaleRow kUniLocale62[] = {
    {u"80", u"6280"}, {u"83", u"6230"}, {u"84", u"6240"}, {u"85", u"6250"}, {u"", u"6101"}};
constexpr UniLocaleRow kUniLocale65[] = {{u"657", u"6570"}, {u"17", u"6570"}, {u"", u"6510"}};

struct UniKeyRow {
  std::u16string_view keys;    // language keys of the row
  std::u16string_view result;  // empty: by the locale table
};
struct UniFamily {
  WEQ_UC d0, d1;  // the family's first two digits
  const UniKeyRow* rows;
  int rowCount;
  const UniLocaleRow* locale;
  int localeCount;
};

constexpr UniKeyRow kUniIn61[] = {{u"456CHLQd", u"6120"}, {u"FIKNOPSUVabc", u"6110"}, {u"G", u"6170"},
                                  {u"J", u"6101"},        {u"T", u"6190"},             {u"7DEi", u""}};
constexpr UniKeyRow kUni62[] = {
    {u"1", u"6240"}, {u"3", u"6250"}, {u"J", u"6280"}, {u"M", u"6230"}, {u"7Ei", u""}};
constexpr UniKeyRow kUniIn65[] = {{u"FIKNOPSUVabc", u"6510"}, {u"G", u"6570"}, {u"J", u"6101"}, {u"7DEi", u""}};
constexpr UniKeyRow kUniOut61[] = {{u"T", u"6103"}, {u"4567CDEFGHIJKLNOPQSUVabcdi", u"6102"}};
// Every key, the blank and unprintable ones included, gives 6502.
constexpr UniKeyRow kUniOut65[] = {{u"", u"6502"}};

template <int N, int M>
constexpr UniFamily UniFam(WEQ_UC d0, WEQ_UC d1, const UniKeyRow (&rows)[N], const UniLocaleRow (&loc)[M]) {
  return {d0, d1, rows, N, loc, M};
}
constexpr UniFamily kUniInFamilies[] = {UniFam(u'6', u'1', kUniIn61, kUniLocale61),
                                        UniFam(u'6', u'2', kUni62, kUniLocale62),
                                        UniFam(u'6', u'5', kUniIn65, kUniLocale65)};
constexpr UniFamily kUniOutFamilies[] = {UniFam(u'6', u'1', kUniOut61, kUniLocale61),
                                         UniFam(u'6', u'2', kUni62, kUniLocale62),
                                         UniFam(u'6', u'5', kUniOut65, kUniLocale65)};

std::u16string_view UniByLocale(const UniFamily& f, uint8_t* asked, rscpCp_t* localeCp) {
  rscpCp_t lc;
  if (localeCp != nullptr && memcmp(*localeCp, u"0000", sizeof(rscpCp_t)) != 0) {
    memcpy(lc, *localeCp, sizeof(rscpCp_t));
  } else {
    // The built-in hook answers "0000" with RSCPENOOBJ: what it writes
    // counts whatever its code; nothing written stays "0000", any other.
    memcpy(lc, u"0000", sizeof(rscpCp_t));
    rscpHooks.getUnsetCp(&lc);
    if (localeCp != nullptr) memcpy(*localeCp, lc, sizeof(rscpCp_t));
  }
  if (asked != nullptr) *asked = 1;
  const std::u16string_view code(lc, 4);
  for (int i = 0; i < f.localeCount; ++i) {
    const UniLocaleRow& r = f.locale[i];
    if (r.prefix.empty() || (code.substr(0, r.prefix.size()) == r.prefix)) return r.result;
  }
  return {};
}

void UniPick(const UniFamily* families, int count, const rscpCp_t* cp, const WEQ_UC* key, uint8_t* asked,
             rscpCp_t* localeCp, rscpCp_t* out) {
  memmove(*out, *cp, sizeof(rscpCp_t));
  for (int i = 0; i < count; ++i) {
    const UniFamily& f = families[i];
    if ((*cp)[0] != f.d0 || (*cp)[1] != f.d1) continue;
    if (asked != nullptr) *asked = 0;
    const WEQ_UC k = key != nullptr ? *key : u' ';
    for (int r = 0; r < f.rowCount; ++r) {
      const UniKeyRow& row = f.rows[r];
      if (!row.keys.empty() && row.keys.find(k) == std::u16string_view::npos) continue;
      const std::u16string_view result = row.result.empty() ? UniByLocale(f, asked, localeCp) : row.result;
      memcpy(*out, result.data(), sizeof(rscpCp_t));
      return;
    }
    return;
  }
}

}  // namespace

void rscpUnifiedInCp(const rscpCp_t* cp, const WEQ_UC* key, uint8_t* asked, rscpCp_t* localeCp, rscpCp_t* out) {
  UniPick(kUniInFamilies, 3, cp, key, asked, localeCp, out);
}

void rscpUnifiedOutCp(const rscpCp_t* cp, const WEQ_UC* key, uint8_t* asked, rscpCp_t* localeCp, rscpCp_t* out) {
  UniPick(kUniOutFamilies, 3, cp, key, asked, localeCp, out);
}
