// The built-in code page data: its structure read by layout alone, the
// record builders, and every point of every page that has a public
// counterpart against glibc iconv and ICU, with the page's listed deltas
// (which must still differ) set apart.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>

#include "krn/rscp/rscpdat_int.h"
#include "rscpdat_oracle.h"
#include "rscpf5_walker.h"

namespace {

using namespace rscpf5walk;
using rscpdattest::IconvCharset;
using rscpdattest::IcuCharset;
using rscpdattest::Text;

struct Page {
  const char* cp;
  const char* iconv;
  const char* icu;
  bool synthetic;
  const char* deltas;
};
void PrintTo(const Page& p, std::ostream* os) { *os << p.cp; }

const Page kPages[] = {
#include "rscpf5_pages.inc"
};

std::string Hex(const Bytes& b) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (uint8_t c : b) s += d[c >> 4], s += d[c & 15];
  return s;
}

std::string UKey(uint32_t v) {
  char t[16];
  snprintf(t, sizeof t, "U+%04X", v);
  return t;
}

const Row* RowOf(const std::vector<Row>& rows, const std::string& cp) {
  for (const Row& r : rows)
    if (r.cp() == cp) return &r;
  return nullptr;
}

// --- Structure -------------------------------------------------------------

TEST(RscpF5, CatalogueRowsAndTheirContents) {
  const auto& d = rscpdat::BuiltinData();
  const auto rows = Catalogue(d);
  ASSERT_GE(rows.size(), 40u);
  std::set<std::string> ids;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.cp());
    for (char c : r.text) ASSERT_TRUE(c >= 0x20 && c < 0x7F);
    EXPECT_TRUE(i == 0 || rows[i - 1].cp() < r.cp());  // sorted, each id once
    const std::string src = r.col(85, 1), seg = r.segid();
    EXPECT_TRUE(src == "4" || src == "1");
    EXPECT_EQ(src == "1", seg == "     ");  // catalogued without contents, or with them
    if (src == "4") {
      EXPECT_EQ(seg, r.cp() + "T");
      const Walk w = WalkPage(d, seg);
      EXPECT_TRUE(w.errors.empty()) << w.errors.front();
      EXPECT_LT(w.maxDepth, 10);
      EXPECT_FALSE(w.points.empty() && w.rules.empty());
      // No code twice in the fullest variant (so in none), and no value
      // written twice: a value's further codes are only read.
      std::map<uint32_t, std::string> values;
      std::map<Bytes, std::string> codes;
      for (const Point& p : w.points) {
        EXPECT_TRUE(p.readOnly || values.emplace(p.value, p.seg).second) << UKey(p.value) << " in " << p.seg;
        EXPECT_TRUE(codes.emplace(p.code, p.seg).second) << Hex(p.code) << " in " << p.seg;
        // Control codes come only through rows of inclusion mode 2.
        EXPECT_TRUE(!Control(p.value) || p.mode == 2) << UKey(p.value) << " in " << p.seg;
      }
    }
    const int major = r.major();
    const bool unicodeForm = major >= 10 && major <= 16;
    const bool singleByte = major == 0 && (r.col(7, 2) == "01" || r.col(7, 2) == "04");
    if (singleByte || r.cp() == "4102" || r.cp() == "4103") {
      EXPECT_EQ(r.col(86, 1), "X");
    }
    if (unicodeForm) {
      EXPECT_EQ(r.minor(), 0);
    }
  }
  // The telling rows.
  struct T {
    const char* cp;
    const char* cls;
    const char* str;
    int major;
  };
  for (const T& t : {T{"1100", "04", "04", 0}, T{"1101", "04", "01", 0}, T{"0100", "01", "01", 0},
                     T{"4000", "00", "02", 19}, T{"4100", "06", "02", 10}, T{"4101", "06", "02", 14},
                     T{"4102", "06", "06", 13}, T{"4103", "06", "06", 16}, T{"4104", "06", "05", 11},
                     T{"4105", "06", "05", 15}, T{"4110", "04", "04", 12}, T{"8000", "04", "04", 3},
                     T{"8200", "04", "04", 2}, T{"8300", "04", "03", 4}, T{"8400", "04", "03", 5},
                     T{"8500", "04", "03", 6}, T{"6100", "04", "04", 30}}) {
    const Row* r = RowOf(rows, t.cp);
    ASSERT_TRUE(r) << t.cp;
    EXPECT_EQ(r->col(7, 2), t.cls) << t.cp;
    EXPECT_EQ(r->col(9, 2), t.str) << t.cp;
    EXPECT_EQ(r->major(), t.major) << t.cp;
  }
  EXPECT_EQ(RowOf(rows, "1101")->col(18, 20), "7-Bit USA ASCII  pur");
  // Every member of the blended families that the method chooser picks.
  for (const char* cp : {"6101", "6102", "6103", "6110", "6120", "6130", "6140", "6170", "6180", "6190",
                         "6230", "6240", "6250", "6280", "6502", "6510", "6570", "6200", "6500"})
    EXPECT_TRUE(RowOf(rows, cp)) << cp;
}

TEST(RscpF5, DirectoryAndSegmentsKeepTheirLandmarks) {
  const auto& d = rscpdat::BuiltinData();
  EXPECT_EQ(Id(d.segDir[0].id), "1100T");
  EXPECT_EQ(rscpFindBuiltinSegment("1100T"), &d.segDir[0]);
  EXPECT_EQ(rscpFindBuiltinSegment("NOSEG"), nullptr);
  EXPECT_EQ(rscpFindBuiltinSegment("1100X"), nullptr);  // the fifth byte counts
  std::set<std::string> ids;
  size_t n = 0;
  for (const rscpSegDirEntry_t* e = d.segDir; e->id[0] != ' '; ++e, ++n) {
    EXPECT_TRUE(ids.insert(Id(e->id)).second) << Id(e->id);
    EXPECT_TRUE((e->kind & 3) != 0 && e->data) << Id(e->id);
    EXPECT_EQ(e->zero1[0] | e->zero1[1] | e->zero1[2] | e->zero2, 0u);
    EXPECT_EQ(rscpdat::FindSegment(d.segDir, e->id), e);
  }
  EXPECT_GT(n, 60u);
  // "ASCII": 95 one-byte points from U+0020; "BXASC": 17 two-byte own
  // characters from 0x1100EE with the code 1B 3F.
  Walk w;
  ReadPoints(static_cast<const rscpSegPoints_t*>(Find(d, "ASCII")->data), 1, "ASCII", w);
  ASSERT_EQ(w.points.size(), 95u);
  EXPECT_EQ(w.points[0].value, 0x20u);
  EXPECT_EQ(w.points[0].code, Bytes{0x20});
  w = {};
  ReadPoints(static_cast<const rscpSegPoints_t*>(Find(d, "BXASC")->data), 1, "BXASC", w);
  ASSERT_EQ(w.points.size(), 17u);
  EXPECT_EQ(w.points[0].value, 0x1100EEu);
  EXPECT_EQ(w.points[0].code, (Bytes{0x1B, 0x3F}));
  // 1100's top list in its sequence order, the control lists as mode 2.
  const auto* list = static_cast<const rscpSegBuildRow_t*>(Find(d, "1100T")->data);
  std::map<int, std::pair<std::string, int>> bySeq;
  for (; list->id[0] != ' '; ++list) bySeq[list->attr & 0x7F] = {Id(list->id), int(list->attr >> 7 & 7)};
  std::vector<std::string> order;
  for (auto& [seq, r] : bySeq) order.push_back(r.first + (r.second == 3 ? "/3" : ""));
  EXPECT_EQ(order, (std::vector<std::string>{"IA2C ", "DIASC", "ASCII", "IS1G1", "BXASC", "P5ASC", "CTSC /3",
                                             "CTSA /3"}));
  // Own characters: each one a segment uses has a character record.
  std::set<uint32_t> mapped;
  uint32_t last = 0;
  for (const uint8_t* p = d.tcp01; p[0] | p[1]; p += 5) {
    const uint32_t w16 = uint32_t(p[0]) << 8 | p[1];
    EXPECT_GT(w16, last);
    last = w16;
    mapped.insert(uint32_t(p[2]) << 16 | uint32_t(p[3]) << 8 | p[4]);
  }
  EXPECT_EQ(d.tcp01[2] << 16 | d.tcp01[3] << 8 | d.tcp01[4], 0x110000);
  EXPECT_EQ(d.tcp01[0] << 8 | d.tcp01[1], 1);
  EXPECT_EQ(d.tcp01LastMax, 65278u);
  EXPECT_EQ(std::vector<int>(d.date, d.date + 3), (std::vector<int>{2010, 1, 5}));
  for (const Row& r : Catalogue(d)) {
    if (r.segid() == "     ") continue;
    for (const Point& p : WalkPage(d, r.segid()).points)
      if (p.value > 0x10FFFF) {
        EXPECT_TRUE(mapped.count(p.value)) << std::hex << p.value;
      }
  }
}

TEST(RscpF5, RecordBuilders) {
  const auto rows = Catalogue(rscpdat::BuiltinData());
  WEQ_UC rec[RSCP_TCP00_RECORD + 1];
  rec[RSCP_TCP00_RECORD] = 0x7777;
  build_TCP00_record(rec, RowOf(rows, "1101")->text.c_str());
  const std::u16string r(rec, rec + RSCP_TCP00_RECORD);
  const std::string row = RowOf(rows, "1101")->text;
  EXPECT_EQ(rec[RSCP_TCP00_RECORD], 0x7777);
  EXPECT_EQ(r.substr(86, 16), std::u16string(16, u'0'));
  EXPECT_EQ(r.substr(108, 5), u"1101T");
  for (int i = 0; i < 86; ++i) ASSERT_EQ(r[size_t(i)], char16_t(row[size_t(i)])) << i;
  for (int i = 0; i < 6; ++i) ASSERT_EQ(r[size_t(102 + i)], char16_t(row[size_t(86 + i)])) << i;

  // The character records: the first, the end and one past a zero weqcode.
  const uint8_t recs[] = {0x00, 0x01, 0x11, 0x00, 0x00, 0x13, 0x7E, 0x00, 0x20, 0xAC,
                          0x00, 0x00, 0x00, 0x00, 0x41, 0x00, 0x05, 0x00, 0x00, 0x42};
  WEQ_UC t[RSCP_TCP01_RECORD];
  const uint8_t* cur = recs;
  ASSERT_TRUE(build_TCP01_record(t, &cur));
  EXPECT_EQ(std::u16string(t, t + RSCP_TCP01_RECORD), u"00001" + std::u16string(30, u' ') + u"110000");
  ASSERT_TRUE(build_TCP01_record(t, &cur));
  EXPECT_EQ(std::u16string(t, t + RSCP_TCP01_RECORD), u"04990" + std::u16string(30, u' ') + u"0020AC");
  EXPECT_FALSE(build_TCP01_record(t, &cur));  // weqcode 0 ends even with more behind
  EXPECT_EQ(cur, recs + 10);
  EXPECT_EQ(std::u16string(t, t + RSCP_TCP01_RECORD), std::u16string(41, u' '));

  struct H {
    char16_t a, b;
    int v;
  };
  for (const H& h : {H{u'7', u'f', 0x70}, H{u'F', u'F', 255}, H{u'0', u'0', 0}, H{u'A', u'9', 0xA9},
                     H{u'g', u'1', 1}, H{u'\xFF10', u'1', 1}})
    EXPECT_EQ(hex_pair_value(h.a, h.b), h.v) << char(h.a) << char(h.b);
}

// --- Against the references -------------------------------------------------

// Our mappings of one page, as the layouts say a converter must read them.
struct Ours {
  std::map<Bytes, uint32_t> byCode;  // direct points and rule-made codes, Unicode values only
  std::map<uint32_t, Bytes> byValue;
  std::set<Bytes> fromRule;          // codes whose key is their value (Unicode form rules)
  std::set<Bytes> readOnly;          // codes read, never written
  std::map<Bytes, uint32_t> shifted; // codes of shift rules, with their sequence
  std::string errors;
};

void Put(Ours& o, uint32_t v, const Bytes& code, bool rule, bool readOnly = false) {
  if (v > 0x10FFFF) return;  // own characters have no counterpart
  o.byCode.emplace(code, v);
  if (readOnly) {
    o.readOnly.insert(code);
  } else {
    o.byValue.emplace(v, code);
  }
  if (rule) o.fromRule.insert(code);
}

Bytes Encode(int kind, uint32_t v) {
  auto u16 = [](uint32_t x, bool be) {
    Bytes b;
    auto put = [&](uint16_t u) { be ? b.insert(b.end(), {uint8_t(u >> 8), uint8_t(u)}) : b.insert(b.end(), {uint8_t(u), uint8_t(u >> 8)}); };
    if (x < 0x10000) {
      put(uint16_t(x));
    } else {
      put(uint16_t(0xD800 + ((x - 0x10000) >> 10)));
      put(uint16_t(0xDC00 + (x & 0x3FF)));
    }
    return b;
  };
  switch (kind) {
    case 10: case 13: return u16(v, true);
    case 14: case 16: return u16(v, false);
    case 11: return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    case 15: return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    default: {
      if (v < 0x80) return {uint8_t(v)};
      if (v < 0x800) return {uint8_t(0xC0 | v >> 6), uint8_t(0x80 | (v & 0x3F))};
      if (v < 0x10000) return {uint8_t(0xE0 | v >> 12), uint8_t(0x80 | (v >> 6 & 0x3F)), uint8_t(0x80 | (v & 0x3F))};
      return {uint8_t(0xF0 | v >> 18), uint8_t(0x80 | (v >> 12 & 0x3F)), uint8_t(0x80 | (v >> 6 & 0x3F)),
              uint8_t(0x80 | (v & 0x3F))};
    }
  }
}

// The values a Unicode form rule enters: 2-byte forms the printable BMP
// (surrogates included), 4-byte and UTF-8 forms every character but the
// C1 controls, surrogates and non-characters; the UTF-16 forms add the
// supplementary planes as pairs.
bool RuleHas(int kind, uint32_t v) {
  const bool printable = (v >= 0x20 && v <= 0x7E) || (v >= 0xA0 && v <= 0xFFFD);
  const bool character = (v >= 0x20 && v <= 0x7E) || (v >= 0xA0 && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF) &&
                                                      !(v >= 0xFDD0 && v <= 0xFDEF) && v != 0xFFFE && v != 0xFFFF);
  switch (kind) {
    case 10: case 14: return printable;
    case 13: case 16: return printable || (v >= 0x10000 && v <= 0x10FFFF);
    case 11: case 15: case 12: return character;
    default: return false;
  }
}

Ours Collect(const rscpdat::DataSet& d, const std::string& segid) {
  Ours o;
  const Walk w = WalkPage(d, segid);
  for (const auto& e : w.errors) o.errors += e + "; ";
  for (const Point& p : w.points) Put(o, p.value, p.code, false, p.readOnly);
  for (const Rule& r : w.rules) {
    if (r.kind >= 10 && r.kind <= 16) {
      for (uint32_t v = 0; v <= 0x10FFFF; ++v)
        if (RuleHas(r.kind, v)) Put(o, v, Encode(r.kind, v), true);
    } else if (r.kind == 68) {
      // "first,last,code" and "low bytes,high bytes", hexadecimal.
      const std::string a = r.a1;
      size_t p = 0;
      auto num = [&]() {
        size_t q = p;
        while (q < a.size() && q - p < 6 && isxdigit(static_cast<unsigned char>(a[q]))) ++q;
        const uint32_t v = uint32_t(std::stoul(a.substr(p, q - p), nullptr, 16));
        p = q < a.size() && (a[q] == ',' || a[q] == ';') ? q + 1 : q;
        return v;
      };
      const uint32_t first = num(), last = num();
      auto bytes = [](const std::string& h) {
        std::vector<int32_t> b;
        for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(int32_t(std::stoul(h.substr(i, 2), nullptr, 16)));
        return b;
      };
      const auto start = bytes(a.substr(p)), lo = bytes(r.a2.substr(0, r.a2.find(','))),
                 hi = bytes(r.a2.substr(r.a2.find(',') + 1));
      rscpIterByteRange_t it;
      rscpIterByteRangeInit(&it, first, last, int32_t(start.size()), start.data(), lo.data(), hi.data());
      uint32_t v;
      uint8_t b[4];
      while (rscpIterByteRangeNext(&it, &v, &b[0], &b[1], &b[2], &b[3])) Put(o, v, Bytes(b, b + start.size()), false);
    } else if (r.kind == 2 || r.kind == 73) {
      // Shift rules: "segment[,unsj],STRT,BACK" over both attribute texts.
      // The texts join with a blank unless the first fills its 20 places or
      // a blank or comma meets the seam; words part at blanks and commas.
      const bool seam = r.a1.size() < 20 && !r.a1.empty() && !r.a2.empty() && r.a1.back() != ' ' &&
                        r.a1.back() != ',' && r.a2.front() != ' ' && r.a2.front() != ',';
      std::string t = r.a1 + (seam ? " " : "") + r.a2, word;
      std::vector<std::string> words;
      for (char& c : t) c = c == ',' ? ' ' : c;
      std::stringstream ss(t);
      while (ss >> word) words.push_back(word);
      if (words.size() < 3) {
        o.errors += r.seg + ": shift rule of fewer than three words; ";
        continue;
      }
      const bool unsj = words.size() > 1 && words[1] == "unsj";
      const std::string strt = words[unsj ? 2 : 1];
      Bytes seq;
      for (size_t i = 0; i + 1 < strt.size(); i += 2) seq.push_back(uint8_t(std::stoul(strt.substr(i, 2), nullptr, 16)));
      Walk named;
      ReadPoints(static_cast<const rscpSegPoints_t*>(Find(d, words[0] + std::string(5 - words[0].size(), ' '))->data), 1,
                 words[0], named);
      for (const Point& p : named.points) {
        Bytes code = p.code;
        if (unsj && code.size() == 2) rscpSjisPairToJis(&code[0], &code[1]);
        Bytes full = seq;
        full.insert(full.end(), code.begin(), code.end());
        o.shifted.emplace(full, p.value);
      }
    }
  }
  return o;
}

// One listed delta: a reference, and a key or a range of keys ("8790",
// "8790..879C", "U+D800..U+DFFF").
struct Delta {
  std::string ref, lo, hi;
  int hits = 0;
};

std::vector<Delta> Deltas(const std::string& text) {
  std::vector<Delta> out;
  std::stringstream ss(text);
  std::string tok;
  while (ss >> tok) {
    const size_t c = tok.find(':'), dots = tok.find("..");
    Delta d{tok.substr(0, c), tok.substr(c + 1, dots == std::string::npos ? std::string::npos : dots - c - 1), ""};
    d.hi = dots == std::string::npos ? d.lo : tok.substr(dots + 2);
    out.push_back(d);
  }
  return out;
}

// Keys as runs "lo..hi" of consecutive numbers, for readable reports.
std::string Ranges(std::vector<std::string> keys) {
  auto num = [](const std::string& k) { return std::stoul(k.substr(k[0] == 'U' ? 2 : 0), nullptr, 16); };
  std::sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
    return a.size() != b.size() ? a.size() < b.size() : num(a) < num(b);
  });
  std::string out;
  for (size_t i = 0, runs = 0; i < keys.size() && runs < 200; ++runs) {
    size_t j = i;
    while (j + 1 < keys.size() && keys[j + 1].size() == keys[i].size() && num(keys[j + 1]) == num(keys[j]) + 1) ++j;
    out += keys[i] + (j > i ? ".." + keys[j].substr(keys[j][0] == 'U' ? 2 : 0) : "") + " ";
    i = j + 1;
  }
  return out;
}

bool InDelta(const Delta& d, const std::string& key) {
  return key.size() == d.lo.size() && key >= d.lo && key <= d.hi;
}

template <class Ref>
void Compare(const Page& pg, int major, const char* refName, Ref& ref, const Ours& o) {
  SCOPED_TRACE(std::string(pg.cp) + " against " + refName);
  const bool decodeOnly = std::string(pg.cp) == "8200";
  std::set<std::string> differ;
  auto differs = [&](const std::string& key) { differ.insert(key); };
  // Every code of ours decodes to its value and every value encodes to its
  // code (of a value's codes the one written). Codes are checked in
  // batches; a batch that disagrees is checked code by code.
  std::vector<std::pair<Bytes, uint32_t>> all(o.byCode.begin(), o.byCode.end());
  for (auto& s : o.shifted) all.push_back(s);
  const auto written = [&](const Bytes& code) { return !decodeOnly && !o.shifted.count(code) && !o.readOnly.count(code); };
  const size_t kBatch = 2048;
  for (size_t i = 0; i < all.size(); i += kBatch) {
    const size_t end = std::min(all.size(), i + kBatch);
    Bytes buf, bufWritten;
    Text want, wantWritten;
    for (size_t k = i; k < end; ++k) {
      buf.insert(buf.end(), all[k].first.begin(), all[k].first.end());
      want.push_back(char32_t(all[k].second));
      if (!written(all[k].first)) continue;
      bufWritten.insert(bufWritten.end(), all[k].first.begin(), all[k].first.end());
      wantWritten.push_back(char32_t(all[k].second));
    }
    auto got = ref.Decode(buf);
    if (got && *got == want && (wantWritten.empty() || ref.Encode(wantWritten) == bufWritten)) continue;
    for (size_t k = i; k < end; ++k) {
      const auto& [code, v] = all[k];
      const std::string key = o.fromRule.count(code) ? UKey(v) : Hex(code);
      auto t = ref.Decode(code);
      if (!t || *t != Text(1, char32_t(v))) {
        differs(key);
      } else if (written(code) && ref.Encode(Text(1, char32_t(v))) != code) {
        differs(key);
      }
    }
  }
  // Completeness: what the reference maps both ways, we map too; a page
  // that carries codes only read reads every code the reference reads.
  auto need = [&](const Bytes& code) {
    auto t = ref.Decode(code);
    if (!t || t->size() != 1) return;
    if (!decodeOnly && o.readOnly.empty() && ref.Encode(*t) != code) return;
    const bool have = decodeOnly ? o.shifted.count(code) || o.byCode.count(code) : o.byCode.count(code) > 0;
    if (!have) differs(Hex(code));
  };
  if (major >= 10 && major <= 16) {
    const uint32_t top = major == 10 || major == 14 ? 0xFFFF : 0x10FFFF;  // UCS-2 holds the BMP only
    for (uint32_t v = 0; v <= top; ++v) {
      if (v >= 0xD800 && v <= 0xDFFF) continue;
      if (o.byValue.count(v)) continue;
      auto code = ref.Encode(Text(1, char32_t(v)));
      if (code && ref.Decode(*code) == Text(1, char32_t(v))) differs(UKey(v));
    }
  } else if (decodeOnly) {
    for (int b = 0; b < 0x80; ++b) need(Bytes{uint8_t(b)});
    for (int j1 = 0x21; j1 <= 0x7E; ++j1)
      for (int j2 = 0x21; j2 <= 0x7E; ++j2) need(Bytes{0x1B, '$', 'B', uint8_t(j1), uint8_t(j2)});
  } else {
    for (int b = 0; b < 0x100; ++b) need(Bytes{uint8_t(b)});
    if (major == 1) {
      for (int k = 0xA1; k <= 0xDF; ++k) need(Bytes{0x8E, uint8_t(k)});
      for (int l = 0xA1; l <= 0xFE; ++l)
        for (int t = 0xA1; t <= 0xFE; ++t) need(Bytes{uint8_t(l), uint8_t(t)});
    } else if (major != 0) {
      for (int l = 0x81; l <= 0xFE; ++l)
        for (int t = 0x40; t <= 0xFE; ++t) need(Bytes{uint8_t(l), uint8_t(t)});
    }
    if (major == 29) {
      for (uint32_t v = 0x80; v < 0x10000; ++v) {
        if (v >= 0xD800 && v <= 0xDFFF) continue;
        auto code = ref.Encode(Text(1, char32_t(v)));
        if (code && code->size() == 4 && !o.byCode.count(*code)) differs(Hex(*code));
      }
      size_t suppl = 0;
      for (auto& [v, c] : o.byValue) suppl += v >= 0x10000;
      EXPECT_EQ(suppl, 0x100000u);
    }
  }
  // Every difference is listed, and every listed delta still differs.
  auto listed = Deltas(pg.deltas);
  std::vector<std::string> unlisted;
  for (const auto& key : differ) {
    bool hit = false;
    for (auto& d : listed)
      if ((d.ref == refName || d.ref == "both") && InDelta(d, key)) hit = true, ++d.hits;
    if (!hit) unlisted.push_back(key);
  }
  EXPECT_TRUE(unlisted.empty()) << unlisted.size() << " unlisted differences: " << Ranges(unlisted);
  for (const auto& d : listed)
    if (d.ref == refName || d.ref == "both") {
      EXPECT_GT(d.hits, 0) << "delta " << d.lo << ".." << d.hi << " no longer differs";
    }
}

class RscpF5Page : public ::testing::TestWithParam<Page> {};

TEST_P(RscpF5Page, EveryPointAgainstIconvAndIcu) {
  const Page& pg = GetParam();
  const auto rows = Catalogue(rscpdat::BuiltinData());
  const Row* row = RowOf(rows, pg.cp);
  ASSERT_TRUE(row);
  const Ours o = Collect(rscpdat::BuiltinData(), row->segid());
  ASSERT_TRUE(o.errors.empty()) << o.errors;
  ASSERT_FALSE(o.byCode.empty());
  IconvCharset iconv(pg.iconv);
  ASSERT_TRUE(iconv.ok()) << pg.iconv;
  Compare(pg, row->major(), "iconv", iconv, o);
  IcuCharset icu(pg.icu);
  ASSERT_TRUE(icu.ok()) << pg.icu;
  Compare(pg, row->major(), "icu", icu, o);
}

std::vector<Page> PublicPages() {
  std::vector<Page> v;
  for (const Page& p : kPages)
    if (!p.synthetic) v.push_back(p);
  return v;
}

INSTANTIATE_TEST_SUITE_P(Pages, RscpF5Page, ::testing::ValuesIn(PublicPages()),
                         [](const auto& info) { return std::string("cp") + info.param.cp; });

}  // namespace
