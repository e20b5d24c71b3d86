// The built-in code page objects as one data set, the record builders that
// turn a built-in row into the 16-bit record of the row loaders, and the
// segment look-up.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "krn/rscp/rscpdat_int.h"

namespace {

// The set that the loaders read. Tests install their own through the seam;
// the converter itself never changes it.
std::atomic<const rscpdat::DataSet*> gActive{nullptr};

// Writes text (ASCII) into n units.
void PutUnits(WEQ_UC* dst, const char* text, int n) {
  for (int i = 0; i < n; ++i) dst[i] = WEQ_UC(static_cast<unsigned char>(text[i]));
}

}  // namespace

namespace rscpdat {

const DataSet& BuiltinData() {
  static const DataSet set{rscpF5Tcp00, rscpF5Tcp01, rscpF5Tcp01LastMax, rscpF5SegDir, rscpF5Date};
  return set;
}

const DataSet& ActiveData() {
  const DataSet* s = gActive.load(std::memory_order_acquire);
  return s ? *s : BuiltinData();
}

void SetActiveData(const DataSet* set) { gActive.store(set, std::memory_order_release); }

const rscpSegDirEntry_t* FindSegment(const rscpSegDirEntry_t* dir, const char* key) {
  if (!dir || !key) return nullptr;
  for (const rscpSegDirEntry_t* e = dir; e->id[0] != ' '; ++e)
    if (std::memcmp(e->id, key, 4) == 0 && e->id[4] == key[4]) return e;
  return nullptr;
}

}  // namespace rscpdat

void build_TCP00_record(WEQ_UC* record, const char* row) {
  for (int i = 0; i < RSCP_TCP00_RECORD; ++i) record[i] = u' ';
  PutUnits(record, row, 86);
  for (int i = 86; i < 102; ++i) record[i] = u'0';  // columns 14 to 17, not stored
  PutUnits(record + 102, row + 86, 6);
  PutUnits(record + 108, row + 92, 5);
}

bool build_TCP01_record(WEQ_UC* record, const uint8_t** cursor) {
  for (int i = 0; i < RSCP_TCP01_RECORD; ++i) record[i] = u' ';
  const uint8_t* p = *cursor;
  const unsigned weqcode = unsigned(p[0]) << 8 | p[1];
  if (weqcode == 0) return false;
  const unsigned long value = (unsigned long)p[2] << 16 | unsigned(p[3]) << 8 | p[4];
  char text[16];
  std::snprintf(text, sizeof text, "%05ld", long(weqcode));
  PutUnits(record, text, 5);
  std::snprintf(text, sizeof text, "%06lX", value);
  PutUnits(record + 35, text, 6);
  *cursor = p + RSCP_TCP01_ROW;
  return true;
}

int hex_pair_value(WEQ_UC high, WEQ_UC low) {
  auto digit = [](WEQ_UC c) -> int {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return 0;
  };
  return digit(high) << 4 | digit(low);
}

const rscpSegDirEntry_t* rscpFindBuiltinSegment(const char* key) {
  return rscpdat::FindSegment(rscpdat::ActiveData().segDir, key);
}
