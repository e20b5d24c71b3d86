// The transitions of the zone in force, read from the compiled zone file
// the C library reads, so that a probe two hours from a time needs no second
// conversion.
//
// A table is trusted only as far as the C library agrees with it: whenever
// its zone becomes the one in force (TZ and what tzset set), the library
// must give the table's type on both sides of every transition where the
// table decides, and every use first compares the caller's own conversion
// of t with the table's type at t; a difference there drops the table for
// that zone for good. A file that cannot be read or holds anything
// unexpected gives no table, and the callers probe with a second conversion.
// The comparison on becoming current also catches TZ changed without tzset
// (the library keeps converting in the old zone).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>

#include "krn/perf/pfclock_int.h"

namespace pf {

namespace {

constexpr time_t kProbeReach = 7200;  // the farthest probe from t, seconds
// Tables are used for |t| below this only: a time near it still has a year
// that struct tm holds, so its conversion and the probe's both succeed.
constexpr int64_t kTableSpan = int64_t{1} << 55;
constexpr size_t kMaxZoneFileSize = 1 << 20;
// Zones looked up per process; a zone beyond them goes without a table.
constexpr int kMaxZones = 256;

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

int64_t Be64(const uint8_t* p) {
  return static_cast<int64_t>(static_cast<uint64_t>(Be32(p)) << 32 | Be32(p + 4));
}

// Hands out consecutive pieces of a buffer, never beyond its end.
class Pieces {
 public:
  Pieces(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Take(uint64_t n, const uint8_t** out) {
    if (n > size_ - at_) return false;
    *out = data_ + at_;
    at_ += static_cast<size_t>(n);
    return true;
  }
  size_t Left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

struct Counts {
  uint32_t isut, isstd, leap, time, type, chars;
};

bool ReadHeader(Pieces& in, uint8_t* version, Counts* c) {
  const uint8_t* h;
  if (!in.Take(44, &h) || memcmp(h, "TZif", 4) != 0) return false;
  *version = h[4];
  if (*version != 0 && *version != '2' && *version != '3') return false;
  *c = {Be32(h + 20), Be32(h + 24), Be32(h + 28), Be32(h + 32), Be32(h + 36), Be32(h + 40)};
  return c->type != 0 && c->type <= 256 && c->chars != 0 && (c->isut == 0 || c->isut == c->type) &&
         (c->isstd == 0 || c->isstd == c->type);
}

// Bytes of a data block whose times take timeSize bytes (counts are below
// 2^32, so the sum cannot overflow).
uint64_t BlockSize(const Counts& c, uint64_t timeSize) {
  return c.time * (timeSize + 1) + c.type * uint64_t{6} + c.chars + c.leap * (timeSize + 4) + c.isstd + c.isut;
}

bool ReadBlock(Pieces& in, const Counts& c, size_t timeSize, ZoneTable* out) {
  // The C library corrects times by leap seconds, which the table does not.
  if (c.leap != 0) return false;
  const uint8_t* p;
  if (!in.Take(BlockSize(c, timeSize), &p)) return false;
  const uint8_t* indices = p + static_cast<size_t>(c.time) * timeSize;
  const uint8_t* types = indices + c.time;
  const uint8_t* chars = types + static_cast<size_t>(c.type) * 6;
  const uint8_t* flags = chars + c.chars;  // standard/wall, then UT/local
  out->times.resize(c.time);
  out->types.assign(indices, indices + c.time);
  for (uint32_t i = 0; i < c.time; ++i) {
    const uint8_t* at = p + static_cast<size_t>(i) * timeSize;
    out->times[i] = timeSize == 8 ? Be64(at) : static_cast<int32_t>(Be32(at));
    if ((i > 0 && out->times[i] <= out->times[i - 1]) || indices[i] >= c.type) return false;
  }
  out->zoneTypes.resize(c.type);
  for (uint32_t i = 0; i < c.type; ++i) {
    const uint8_t* r = types + static_cast<size_t>(i) * 6;
    ZoneType& z = out->zoneTypes[i];
    z.utoff = static_cast<int32_t>(Be32(r));
    z.isdst = r[4];
    const uint8_t* end = r[5] < c.chars ? static_cast<const uint8_t*>(memchr(chars + r[5], 0, c.chars - r[5])) : nullptr;
    if (z.utoff == std::numeric_limits<int32_t>::min() || z.isdst > 1 || end == nullptr) return false;
    z.abbr.assign(reinterpret_cast<const char*>(chars + r[5]), end - (chars + r[5]));
  }
  for (uint32_t i = 0; i < c.isstd + c.isut; ++i) {
    if (flags[i] > 1) return false;
  }
  return true;
}

// The file the C library reads for the zone named by TZ's value (nullptr:
// TZ unset), given TZDIR's value (nullptr: unset).
std::string ZoneFilePath(const char* tz, const char* tzdir) {
  if (tz == nullptr) return "/etc/localtime";
  if (*tz == ':') ++tz;
  if (*tz == '/') return tz;
  return std::string(tzdir != nullptr ? tzdir : "/usr/share/zoneinfo") + "/" + tz;
}

bool ReadZoneFile(const std::string& path, ZoneTable* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string data;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= kMaxZoneFileSize;
  if (ok) {
    data.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
      const ssize_t n = read(fd, data.data() + got, data.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ok = got == data.size();
  }
  close(fd);
  return ok && ParseZoneFile(reinterpret_cast<const uint8_t*>(data.data()), data.size(), out);
}

// memcmp(a, b, n) == 0, without the call, for the short texts compared on
// every use; a and b hold n bytes.
bool SameBytes(const char* a, const char* b, size_t n) {
  auto word = [](const char* p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
  };
  if (n < 8) return memcmp(a, b, n) == 0;
  for (size_t i = 0; i + 8 < n; i += 8) {
    if (word(a + i) != word(b + i)) return false;
  }
  return word(a + n - 8) == word(b + n - 8);
}

bool SameType(const struct tm& m, const ZoneType& z) {
  return m.tm_gmtoff == z.utoff && m.tm_isdst == z.isdst && m.tm_zone != nullptr && z.abbr == m.tm_zone;
}

// Whether the C library gives the table's type on both sides of each
// transition where the table decides.
bool LibraryAgrees(const ZoneTable& table) {
  const size_t n = table.times.size();
  for (size_t i = 0; i < n; ++i) {
    const time_t at = table.times[i];
    struct tm m;
    if (i + 1 < n && localtime_r(&at, &m) != nullptr && !SameType(m, table.zoneTypes[table.types[i]])) {
      return false;
    }
    const time_t before = at - 1;
    if (i > 0 && localtime_r(&before, &m) != nullptr && !SameType(m, table.zoneTypes[table.types[i - 1]])) {
      return false;
    }
  }
  return true;
}

// A zone as the TZ value it is set from and the offset tzset left; with
// the table of its file when one was read. tzname is not part of it: each
// conversion sets it to the names of the period it converted.
struct Zone {
  long offset = 0;
  bool tzSet = false;
  std::string tz;
  bool hasTable = false;
  ZoneTable table;
  std::atomic<bool> dropped{false};  // the C library disagreed at a use
  // The table serves: the C library agreed with it when the zone last
  // became current, and it is not dropped.
  std::atomic<bool> usable{false};
  // Per type, a tm_zone text the C library gave for it and that was found
  // equal to its designation (the library's designations are never freed
  // or rewritten, so the same pointer is the same text).
  std::unique_ptr<std::atomic<const char*>[]> agreedAbbr;
  Zone* next = nullptr;
};

// TZ's value and its length (value nullptr: unset). The value holds at
// least length + 1 bytes.
struct TzText {
  const char* value;
  size_t length;
};

bool InForce(const Zone& z, TzText tz) {
  return z.offset == timezone && z.tzSet == (tz.value != nullptr) &&
         (tz.value == nullptr || (tz.length == z.tz.size() && SameBytes(tz.value, z.tz.c_str(), tz.length + 1)));
}

// SameType for a use, through the designations agreed before.
bool AgreesAt(const Zone& z, const struct tm& m, int type) {
  const ZoneType& zt = z.table.zoneTypes[type];
  if (m.tm_gmtoff != zt.utoff || m.tm_isdst != zt.isdst || m.tm_zone == nullptr) return false;
  std::atomic<const char*>& agreed = z.agreedAbbr[type];
  if (m.tm_zone == agreed.load(std::memory_order_relaxed)) return true;
  if (zt.abbr != m.tm_zone) return false;
  agreed.store(m.tm_zone, std::memory_order_relaxed);
  return true;
}

// Where TZ stood in environ when this thread last looked: its entry, or
// for no TZ the end of the array and the entry before it. Scanning the
// environment costs as much as a conversion, so while these stay, TZ is
// taken from there (setenv, putenv and unsetenv each change one of them;
// the entry's text is compared anyway, since a putenv string may be
// rewritten in place).
struct TzMark {
  char** env = nullptr;
  size_t at = 0;
  const char* entry = nullptr;
  const char* before = nullptr;
  size_t length = 0;  // of the value when found; the entry's bytes reach that far
};
// What a thread keeps between uses: where TZ stood, and the index of the
// transition its last table use found for t (of any zone, so checked
// against the table before use).
struct ThreadMemo {
  TzMark tz;
  size_t lastTransition = 0;
};
thread_local ThreadMemo tls_memo;

bool IsTzEntry(const char* e) { return e[0] == 'T' && e[1] == 'Z' && e[2] == '='; }

// getenv("TZ"), with the length the value had when last found: the value
// may since have been rewritten in place, so InForce compares it.
TzText TzValue() {
  TzMark& m = tls_memo.tz;
  char** env = environ;
  // A TZ entry found stays the first until its slot changes (setenv and
  // putenv replace a variable in its slot); an end found moves when a
  // variable is added or one before it removed.
  if (env == nullptr || env != m.env || env[m.at] != m.entry ||
      (m.entry != nullptr ? !IsTzEntry(m.entry) : m.at > 0 && env[m.at - 1] != m.before)) {
    m = {};
    if (env == nullptr) return {nullptr, 0};
    size_t i = 0;
    while (env[i] != nullptr && !IsTzEntry(env[i])) ++i;
    m = {env, i, env[i], i > 0 ? env[i - 1] : nullptr, env[i] != nullptr ? strlen(env[i] + 3) : 0};
  }
  return {m.entry != nullptr ? m.entry + 3 : nullptr, m.length};
}

// g_zonesLock guards the list g_zones and g_zoneCount, and makes loading
// once per zone; a leaf lock (held while reading a file and converting with
// localtime_r, nothing else). Zones are never freed: any thread may hold
// one at any time; their number is bounded by kMaxZones.
std::mutex g_zonesLock;
Zone* g_zones = nullptr;
int g_zoneCount = 0;
// The zone found last, read without the lock; always one of g_zones.
std::atomic<Zone*> g_current{nullptr};

Zone* FindZone(const char* tz) {
  const TzText text = {tz, tz != nullptr ? strlen(tz) : 0};
  for (Zone* z = g_zones; z != nullptr; z = z->next) {
    if (InForce(*z, text)) return z;
  }
  return nullptr;
}

// A zone without table for the zone in force.
Zone* AddZone(const char* tz) {
  if (g_zoneCount >= kMaxZones) return nullptr;
  auto z = std::make_unique<Zone>();
  z->offset = timezone;
  z->tzSet = tz != nullptr;
  if (tz != nullptr) z->tz = tz;
  z->next = g_zones;
  ++g_zoneCount;
  return g_zones = z.release();
}

// The table for a zone, with its record of agreed designations.
void SetTable(Zone* z, ZoneTable table) {
  z->table = std::move(table);
  z->agreedAbbr = std::make_unique<std::atomic<const char*>[]>(z->table.zoneTypes.size());
  z->hasTable = true;
}

bool TableUsable(const Zone& z) { return z.usable.load(std::memory_order_relaxed); }

// ZoneInForce past the zone found last: tz is TZ's value now.
__attribute__((noinline)) Zone* LookUpZone(const char* tz) {
  std::lock_guard<std::mutex> lock(g_zonesLock);
  Zone* z = FindZone(tz);
  // What the caller sees of errno stays as the conversions left it.
  const int savedErrno = errno;
  if (z == nullptr && (z = AddZone(tz)) != nullptr) {
    ZoneTable table;
    // A table of fewer than two transitions decides nowhere.
    if (ReadZoneFile(ZoneFilePath(tz, getenv("TZDIR")), &table) && table.times.size() >= 2) {
      SetTable(z, std::move(table));
    }
  }
  if (z != nullptr && z != g_current.load(std::memory_order_relaxed)) {
    z->usable.store(z->hasTable && !z->dropped.load() && LibraryAgrees(z->table), std::memory_order_relaxed);
    g_current.store(z, std::memory_order_release);
  }
  errno = savedErrno;
  return z;
}

Zone* ZoneInForce() {
  const TzText text = TzValue();
  Zone* z = g_current.load(std::memory_order_acquire);
  return z != nullptr && InForce(*z, text) ? z : LookUpZone(text.value);
}

}  // namespace

int ZoneTable::TypeAt(int64_t t) const {
  if (times.empty() || t < times.front() || t >= times.back()) return -1;
  return types[std::upper_bound(times.begin(), times.end(), t) - times.begin() - 1];
}

bool ParseZoneFile(const uint8_t* data, size_t size, ZoneTable* out) {
  *out = {};
  Pieces in(data, size);
  uint8_t version;
  Counts c;
  ZoneTable table;
  if (!ReadHeader(in, &version, &c)) return false;
  if (version == 0) {
    if (!ReadBlock(in, c, 4, &table) || in.Left() != 0) return false;
  } else {
    // The 32-bit block is passed over for the 64-bit one and its rule line.
    const uint8_t* skipped;
    uint8_t version2;
    if (!in.Take(BlockSize(c, 4), &skipped) || !ReadHeader(in, &version2, &c) || version2 != version ||
        !ReadBlock(in, c, 8, &table)) {
      return false;
    }
    const uint8_t* f;
    const size_t n = in.Left();
    if (n < 2 || !in.Take(n, &f) || f[0] != '\n' || f[n - 1] != '\n' ||
        memchr(f + 1, '\n', n - 2) != nullptr) {
      return false;
    }
  }
  *out = std::move(table);
  return true;
}


int TableDst(const void* zone, time_t t, time_t probe, const struct tm& at) {
  if (t <= -kTableSpan || t >= kTableSpan) return -1;
  Zone* z = static_cast<Zone*>(const_cast<void*>(zone));
  if (z == nullptr || !TableUsable(*z)) return -1;
  const ZoneTable& table = z->table;
  if (table.times.empty() || t - kProbeReach < table.times.front() || t + kProbeReach >= table.times.back()) return -1;
  // The last transition at or before t (often the one this thread found
  // last), then at or before the probe.
  const std::vector<int64_t>& times = table.times;
  size_t i = tls_memo.lastTransition;
  if (i + 1 >= times.size() || times[i] > t || times[i + 1] <= t) {
    i = std::upper_bound(times.begin(), times.end(), t) - times.begin() - 1;
    tls_memo.lastTransition = i;
  }
  if (!AgreesAt(*z, at, table.types[i])) {
    z->dropped.store(true, std::memory_order_relaxed);
    z->usable.store(false, std::memory_order_relaxed);
    return -1;
  }
  while (times[i] > probe) --i;
  while (times[i + 1] <= probe) ++i;
  return table.zoneTypes[table.types[i]].isdst;
}

const void* ZoneInForceId() { return ZoneInForce(); }

void PfITestInstallZoneTable(ZoneTable table) {
  std::lock_guard<std::mutex> lock(g_zonesLock);
  Zone* z = AddZone(getenv("TZ"));
  if (z == nullptr) return;
  SetTable(z, std::move(table));
  z->usable.store(true);
  g_current.store(z, std::memory_order_release);
}

int PfITestZoneTableState() {
  std::lock_guard<std::mutex> lock(g_zonesLock);
  const Zone* z = FindZone(getenv("TZ"));
  if (z == nullptr) return -1;
  return TableUsable(*z) ? 1 : 0;
}

}  // namespace pf
