// The F1 filter: whether a pair of single-byte code pages converts through
// one 256-byte table (method 1B_to_1B), needs no change at all (direct), or
// is outside the filter; and the hash of a table's name under which the
// method chooser keeps its copies in the cache.
//
// The built-in data (rscpf1_int.h) is never written. What the start-up
// changes, the flags (NLS_F1_STOP_UTF8 takes UTF-8 out) and the rows that
// the pair entries name, lives in a process copy made once under a lock;
// later calls read it without one. The environment is read by that start
// only. Class changes of the filter-off switch are made on local copies.
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include "krn/rscp/rscpc_int.h"
#include "krn/rscp/rscpf1_int.h"

namespace {

const rscpF1Data_t& F1Data() { return rscpf5::rscpF5F1; }

constexpr int kF1MaxRows = 128;
constexpr int kF1MaxPairs = 16;

// What the start-up made of the data.
struct F1Process {
  uint8_t flag[kF1MaxRows];      // a row takes part (1) or not
  int16_t pairRow[kF1MaxPairs];  // the row a pair entry names, -1 none
  bool filterOff;
};

F1Process gF1;
// 0 until the start-up ran; written once under gF1Start, read with acquire.
std::atomic<int> gF1Started{0};
// Serialises the start-up (and the test reset). Taken only until the
// process copy exists; nothing is called while it is held.
std::mutex gF1Start;

bool F1Same(const WEQ_UC* a, const WEQ_UC* b) { return memcmp(a, b, 4 * sizeof(WEQ_UC)) == 0; }

// The row of cp, -1 when it is not listed.
int F1Find(const WEQ_UC* cp) {
  const rscpF1Data_t& d = F1Data();
  for (int i = 0; i < d.rowCount; ++i) {
    if (F1Same(d.rows[i].cp, cp)) return i;
  }
  return -1;
}

// Set and not "0": the filter is off.
bool F1FilterOffFromEnvironment() {
  const char* v = getenv("NLS_F1_FILTER_OFF");
  return v != nullptr && v[0] != 0 && strcmp(v, "0") != 0;
}

void F1MakeProcess(F1Process& p) {
  const rscpF1Data_t& d = F1Data();
  static_assert(sizeof p.flag >= 85 && sizeof p.pairRow / sizeof p.pairRow[0] >= 3);
  for (int i = 0; i < d.rowCount && i < kF1MaxRows; ++i) p.flag[i] = static_cast<uint8_t>(d.rows[i].flag);
  p.filterOff = F1FilterOffFromEnvironment();
  const char* stop = getenv("NLS_F1_STOP_UTF8");
  if (stop != nullptr && stop[0] != '0') {
    const int utf8 = F1Find(u"4110");
    if (utf8 >= 0) p.flag[utf8] = 0;
  }
  for (int i = 0; i < d.pairCount && i < kF1MaxPairs; ++i) {
    const int row = F1Find(d.pairs[i].target);
    p.pairRow[i] = static_cast<int16_t>(row >= 0 && p.flag[row] == 1 ? row : -1);
  }
}

const F1Process& F1Started() {
  if (gF1Started.load(std::memory_order_acquire) == 0) {
    std::lock_guard<std::mutex> hold(gF1Start);
    if (gF1Started.load(std::memory_order_relaxed) == 0) {
      F1MakeProcess(gF1);
      gF1Started.store(1, std::memory_order_release);
    }
  }
  return gF1;
}

// A row's class as the filter sees it: with the filter off, classes 13
// and 14 count as 2 and 5.
uint32_t F1Class(const F1Process& p, int row) {
  const uint32_t c = F1Data().rows[row].cls;
  if (p.filterOff && c == 13) return 2;
  if (p.filterOff && c == 14) return 5;
  return c;
}

bool F1GroupPair(int in, int out) {
  const rscpF1Data_t& d = F1Data();
  for (int i = 0; i < d.groupPairCount; ++i) {
    if (d.groupPairs[i][0] == in && d.groupPairs[i][1] == out) return true;
  }
  return false;
}

const uint16_t* F1Set(int group) {
  return group >= 0 && group < RSCP_F1_GROUPS ? F1Data().sets[group] : nullptr;
}

// The result of a table reference with the base code (0, 32 or 64).
int F1FromRef(uint16_t ref, int base, const uint8_t** table, const WEQ_UC** name) {
  switch (ref) {
    case RSCP_F1_SAME: return base;
    case RSCP_F1_NO_TABLE: return 11;
    case RSCP_F1_NOT_FILTERABLE: return 19;
    case RSCP_F1_SAME32: return 0;
    default: break;
  }
  const int k = ref - RSCP_F1_TABLE;
  if (ref < RSCP_F1_TABLE || k >= F1Data().tableCount) return 19;
  if (table != nullptr) *table = F1Data().tables[k].bytes;
  if (name != nullptr) *name = F1Data().tables[k].name;
  return base + 17;
}

}  // namespace

void rscpF1Init(void) { F1Started(); }

int rscpF1Filter(const rscpCp_t* from, const rscpCp_t* to, const uint8_t** table, const WEQ_UC** name,
                 int enforce) {
  const F1Process& p = F1Started();
  const rscpF1Data_t& d = F1Data();
  // EBCDIC digits (U+00F0..U+00F9 first) stand for the digits 0..9.
  const auto digits = [](const rscpCp_t* cp, WEQ_UC* out) {
    memcpy(out, *cp, 4 * sizeof(WEQ_UC));
    if (out[0] >= 0xF0 && out[0] <= 0xF9) {
      for (int i = 0; i < 4; ++i) out[i] = static_cast<WEQ_UC>(out[i] - 0xC0);
    }
  };
  WEQ_UC inCp[4], outCp[4];
  digits(from, inCp);
  digits(to, outCp);
  const int out = F1Find(outCp), in = F1Find(inCp);
  int code = 0;
  if (out < 0) code += 4;
  else if (p.flag[out] != 1) code += 8;
  if (in < 0) code += 1;
  else if (p.flag[in] != 1) code += 2;
  if (code != 0) return code;

  for (int e = d.rows[in].firstPair; e >= 0 && e < d.pairCount; e = d.pairs[e].next) {
    if (p.pairRow[e] == out) return F1FromRef(d.pairs[e].ref, 0, table, name);
  }

  const int gIn = d.rows[in].group, gOut = d.rows[out].group;
  const uint32_t cIn = F1Class(p, in), cOut = F1Class(p, out);
  int base = 0;
  const uint16_t* set;
  if (gIn == 11 || gOut == 11) {
    set = F1Set(11);
  } else if (gIn == gOut) {
    if (cIn == cOut) return 0;
    set = F1Set(gIn);
  } else if (F1GroupPair(gIn, gOut)) {
    if (cIn == cOut) return 0;
    set = F1Set(gOut);
  } else if (enforce == 0) {
    return 16;
  } else {
    base = 32;
    const rscpF1SuperGroup_t& sIn = d.superGroups[gIn];
    const rscpF1SuperGroup_t& sOut = d.superGroups[gOut];
    int common = -1;
    if (sIn.count >= 2 || sOut.count >= 2) {
      for (int i = sIn.count - 1; i >= 0 && common < 0; --i) {
        for (int j = sOut.count - 1; j >= 0; --j) {
          if (sIn.members[i] == sOut.members[j]) {
            common = sIn.members[i];
            break;
          }
        }
      }
    }
    if (common >= 0) {
      if (cIn == cOut) return 64;
      base = 64;
      set = F1Set(common);
    } else {
      if (cIn == cOut) return 32;
      set = F1Set(cIn < cOut ? gIn : gOut);
    }
    if (set == nullptr || set[cIn * RSCP_F1_CLASSES + cOut] == RSCP_F1_NO_TABLE) set = F1Set(cIn > cOut ? gIn : gOut);
  }
  if (set == nullptr) return 11;
  return F1FromRef(set[cIn * RSCP_F1_CLASSES + cOut], base, table, name);
}

uint64_t rscpcIF1Hash(const WEQ_UC* name) {
  uint64_t h = 0;
  const WEQ_UC* p = name;
  if (p[0] == u't' && p[1] == u'_') {
    h = 12;
    p += 2;
  }
  while (*p != 0 && *p != u' ') {
    if (p[0] == u'_' && p[1] == u't' && p[2] == u'o' && p[3] == u'_') {
      h = 16 * h + 11;
      p += 4;
    } else if (*p >= u'0' && *p <= u'9') {
      h = 16 * h + (*p - u'0');
      ++p;
    } else {
      h = 13 * (16 * h + *p);
      ++p;
    }
  }
  return h;
}

void rscpcF1IReset(void) {
  std::lock_guard<std::mutex> hold(gF1Start);
  gF1Started.store(0, std::memory_order_release);
}
