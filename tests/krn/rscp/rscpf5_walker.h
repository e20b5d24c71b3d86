// Reads a built-in data set by its byte layouts alone (catalogue rows,
// segment directory, build lists, point lists, rule headers), without the
// converter's loaders: the independent view that the data tests compare
// with iconv and ICU.
#ifndef TESTS_KRN_RSCP_RSCPF5_WALKER_H
#define TESTS_KRN_RSCP_RSCPF5_WALKER_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "krn/rscp/rscpdat_int.h"

namespace rscpf5walk {

using Bytes = std::vector<uint8_t>;

struct Row {
  std::string text;  // the 97 bytes
  std::string cp() const { return text.substr(0, 4); }
  std::string col(int from, int width) const { return text.substr(size_t(from), size_t(width)); }
  int major() const { return std::stoi(col(81, 2)); }
  int minor() const { return std::stoi(col(83, 2)); }
  std::string segid() const { return col(92, 5); }
};

inline std::vector<Row> Catalogue(const rscpdat::DataSet& d) {
  std::vector<Row> rows;
  for (const char* p = d.tcp00; *p != ' '; p += RSCP_TCP00_ROW) rows.push_back({std::string(p, RSCP_TCP00_ROW)});
  return rows;
}

inline std::string Id(const char* id5) { return std::string(id5, 5); }

inline const rscpSegDirEntry_t* Find(const rscpdat::DataSet& d, const std::string& id) {
  for (const rscpSegDirEntry_t* e = d.segDir; e->id[0] != ' '; ++e)
    if (Id(e->id) == id) return e;
  return nullptr;
}

// One point as it is stored, with where it came from.
struct Point {
  uint32_t value;
  Bytes code;
  int mode;         // inclusion mode of the row that brought it: 1 base, 2 control codes
  std::string seg;  // the character segment
  bool readOnly = false;  // below a row of flag 0x400: read, never written
};

struct Rule {
  int kind;
  std::string a1, a2;
  int mode;
  std::string seg;
  bool readOnly = false;
};

struct Walk {
  std::vector<Point> points;
  std::vector<Rule> rules;
  std::vector<std::string> errors;  // structure faults met on the way
  int maxDepth = 0;
};

inline void ReadPoints(const rscpSegPoints_t* s, int mode, const std::string& seg, Walk& w, bool readOnly = false) {
  const rscpSegPoint_t* lists[3] = {s->one, s->two, s->threeFour};
  for (int l = 0; l < 3; ++l)
    for (uint32_t i = 0; i < s->count[l]; ++i) {
      const rscpSegPoint_t& p = lists[l][i];
      const int len = l == 0 ? 1 : l == 1 ? 2 : int(p.value >> 24 & 0x1F);
      if (l == 2 && (len < 3 || len > 4)) w.errors.push_back(seg + ": bad code length");
      w.points.push_back({p.value & 0xFFFFFF, Bytes(p.code, p.code + len), mode, seg, readOnly});
    }
  for (uint32_t i = 0; i < s->count[3]; ++i) {
    const rscpSegLongPoint_t& p = s->longs[i];
    if (p.len < 5 || p.len > 126) w.errors.push_back(seg + ": bad long code length");
    w.points.push_back({p.value & 0xFFFFFF, Bytes(p.code, p.code + p.len), mode, seg, readOnly});
  }
}

// Walks a segment tree the way a base load and a control-code load see it
// together: every row with its inclusion mode (attribute bits 7-9: 2, 3
// and 4 give 2) and whether it is only read (flag 0x400 on it or a row
// above it). Build lists are followed in ascending sequence numbers.
inline void WalkSegment(const rscpdat::DataSet& d, const std::string& id, int mode, int depth,
                        std::vector<std::string>& stack, Walk& w, bool readOnly = false) {
  w.maxDepth = std::max(w.maxDepth, depth);
  const rscpSegDirEntry_t* e = Find(d, id);
  if (!e) {
    w.errors.push_back("missing segment '" + id + "'");
    return;
  }
  for (const auto& s : stack)
    if (s == id) {
      w.errors.push_back("loop through '" + id + "'");
      return;
    }
  if (depth > 10) {
    w.errors.push_back("nesting deeper than 10 at '" + id + "'");
    return;
  }
  switch (e->kind & 3) {
    case RSCP_SEG_POINTS:
      ReadPoints(static_cast<const rscpSegPoints_t*>(e->data), mode, id, w, readOnly);
      break;
    case RSCP_SEG_RULE: {
      const auto* r = static_cast<const rscpSegRule_t*>(e->data);
      const int l1 = std::min<int>(r->header >> 7 & 0x1F, 20), l2 = std::min<int>(r->header >> 12 & 0x1F, 20);
      w.rules.push_back({int(r->header & 0x7F), std::string(r->name1, size_t(l1)), std::string(r->name2, size_t(l2)),
                         mode, id, readOnly});
      break;
    }
    case RSCP_SEG_BUILD: {
      std::vector<rscpSegBuildRow_t> rows;
      for (const auto* r = static_cast<const rscpSegBuildRow_t*>(e->data); r->id[0] != ' ' && r->id[0]; ++r)
        rows.push_back(*r);
      if (rows.size() > 99) w.errors.push_back(id + ": more than 99 rows");
      std::set<uint32_t> seqs;
      for (const auto& r : rows)
        if (!seqs.insert(r.attr & 0x7F).second) w.errors.push_back(id + ": sequence number twice");
      std::stable_sort(rows.begin(), rows.end(),
                       [](const auto& a, const auto& b) { return (a.attr & 0x7F) < (b.attr & 0x7F); });
      stack.push_back(id);
      for (const auto& r : rows) {
        const uint32_t m = r.attr >> 7 & 7;
        WalkSegment(d, Id(r.id), m >= 2 && m <= 4 ? 2 : 1, depth + 1, stack, w, readOnly || (r.attr & 0x400) != 0);
      }
      stack.pop_back();
      break;
    }
    default:
      w.errors.push_back(id + ": illegal kind");
  }
}

inline Walk WalkPage(const rscpdat::DataSet& d, const std::string& segid) {
  Walk w;
  std::vector<std::string> stack;
  WalkSegment(d, segid, 1, 0, stack, w);
  return w;
}

inline bool Control(uint32_t v) { return v < 0x20 || (v >= 0x7F && v <= 0x9F); }

}  // namespace rscpf5walk

#endif
