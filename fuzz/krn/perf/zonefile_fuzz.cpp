// Random and mutated compiled zone files through the zone file reader.
// A file it refuses leaves the table empty; a table it gives must hold what
// the callers rely on (times strictly ascending, one known type per time,
// offsets and flags in range) and must come back the same when written out
// again by this target's own writer (version 2, the 64-bit block, an empty
// rule line) and read a second time. The type lookup must give each
// transition's type from its time up to the next one and nothing outside
// [first, last).
#include <stdint.h>
#include <stdlib.h>

#include <limits>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "krn/perf/pfclock_int.h"

namespace {

void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

void Put64(std::vector<uint8_t>& b, int64_t v) {
  Put32(b, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
  Put32(b, static_cast<uint32_t>(v));
}

void PutHeader(std::vector<uint8_t>& b, uint32_t times, uint32_t types, uint32_t chars) {
  const char magic[] = "TZif2";
  b.insert(b.end(), magic, magic + 5);
  b.insert(b.end(), 15, 0);
  Put32(b, 0);  // UT/local indicators
  Put32(b, 0);  // standard/wall indicators
  Put32(b, 0);  // leap seconds
  Put32(b, times);
  Put32(b, types);
  Put32(b, chars);
}

// The table as a version 2 file: a minimal 32-bit block (one type, one
// designation byte), then the whole table in the 64-bit block.
std::vector<uint8_t> Write(const pf::ZoneTable& t) {
  std::vector<uint8_t> b;
  PutHeader(b, 0, 1, 1);
  Put32(b, 0);
  b.push_back(0);
  b.push_back(0);
  b.push_back(0);
  std::string chars;
  std::vector<uint8_t> index;
  for (const pf::ZoneType& z : t.zoneTypes) {
    index.push_back(static_cast<uint8_t>(chars.size()));
    chars += z.abbr;
    chars.push_back('\0');
  }
  PutHeader(b, static_cast<uint32_t>(t.times.size()), static_cast<uint32_t>(t.zoneTypes.size()),
            static_cast<uint32_t>(chars.size()));
  for (int64_t time : t.times) Put64(b, time);
  b.insert(b.end(), t.types.begin(), t.types.end());
  for (size_t i = 0; i < t.zoneTypes.size(); ++i) {
    Put32(b, static_cast<uint32_t>(t.zoneTypes[i].utoff));
    b.push_back(static_cast<uint8_t>(t.zoneTypes[i].isdst));
    b.push_back(index[i]);
  }
  b.insert(b.end(), chars.begin(), chars.end());
  b.push_back('\n');
  b.push_back('\n');
  return b;
}

bool Same(const pf::ZoneTable& a, const pf::ZoneTable& b) {
  if (a.times != b.times || a.types != b.types || a.zoneTypes.size() != b.zoneTypes.size()) return false;
  for (size_t i = 0; i < a.zoneTypes.size(); ++i) {
    const pf::ZoneType& x = a.zoneTypes[i];
    const pf::ZoneType& y = b.zoneTypes[i];
    if (x.utoff != y.utoff || x.isdst != y.isdst || x.abbr != y.abbr) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pf::ZoneTable t;
  if (!pf::ParseZoneFile(data, size, &t)) {
    FUZZ_CHECK(t.times.empty() && t.types.empty() && t.zoneTypes.empty());
    return 0;
  }
  FUZZ_CHECK(!t.zoneTypes.empty() && t.zoneTypes.size() <= 256 && t.types.size() == t.times.size());
  for (size_t i = 0; i < t.times.size(); ++i) {
    FUZZ_CHECK(t.types[i] < t.zoneTypes.size());
    if (i > 0) FUZZ_CHECK(t.times[i] > t.times[i - 1]);
  }
  std::string chars;
  for (const pf::ZoneType& z : t.zoneTypes) {
    FUZZ_CHECK(z.isdst == 0 || z.isdst == 1);
    FUZZ_CHECK(z.utoff != std::numeric_limits<int32_t>::min());
    FUZZ_CHECK(z.abbr.find('\0') == std::string::npos);
    chars += z.abbr;
    chars.push_back('\0');
  }

  // What the writer can say (designation offsets fit a byte) is read back
  // as it was.
  if (chars.size() <= 256) {
    const std::vector<uint8_t> again = Write(t);
    pf::ZoneTable u;
    FUZZ_CHECK(pf::ParseZoneFile(again.data(), again.size(), &u));
    FUZZ_CHECK(Same(t, u));
  }

  if (t.times.empty()) {
    FUZZ_CHECK(t.TypeAt(0) == -1);
    return 0;
  }
  if (t.times.front() > std::numeric_limits<int64_t>::min()) FUZZ_CHECK(t.TypeAt(t.times.front() - 1) == -1);
  FUZZ_CHECK(t.TypeAt(t.times.back()) == -1);
  for (size_t i = 0; i + 1 < t.times.size() && i < 64; ++i) {
    FUZZ_CHECK(t.TypeAt(t.times[i]) == t.types[i]);
    FUZZ_CHECK(t.TypeAt(t.times[i + 1] - 1) == t.types[i]);
  }
  return 0;
}
