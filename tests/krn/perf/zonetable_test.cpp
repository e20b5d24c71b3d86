// Zone tables for continuous local time: the reader on zone files built
// here byte by byte, with the C library reading the same files as the
// oracle; and ContLocaltime and ThrLocaltime, which read their probe from
// the table, against the same functions probing with a second conversion,
// around every transition of the installed zone files, at random times, in
// both modes, and where the table must not be used (rule strings, damaged
// files, zones switched, a table the C library disagrees with).
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "krn/perf/pfclock_int.h"
#include "support/testsupport.h"

namespace {

using tovtest::RunInChild;

// --- Zone files built by hand ---------------------------------------------------

std::string BigEndian(uint64_t v, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(v >> (8 * i) & 0xFF);
  return out;
}

// A zone file's content: transitions with their type indices, types
// (offset, dst flag, index of the designation in chars), designations.
struct HandZone {
  char version = '2';
  std::vector<int64_t> times;
  std::vector<uint8_t> indices;
  struct Type {
    int32_t utoff;
    uint8_t isdst;
    uint8_t desig;
  };
  std::vector<Type> types;
  std::string chars;
  bool indicators = true;  // standard/wall and UT/local flags, one per type
  uint32_t leaps = 0;
  std::string footer = "\nAAA-1\n";

  // Header and data block with times of the given width; the 32-bit block
  // holds the transitions that fit.
  std::string Block(int width, char v) const {
    std::vector<size_t> kept;
    for (size_t i = 0; i < times.size(); ++i) {
      if (width == 8 || (times[i] >= INT32_MIN && times[i] <= INT32_MAX)) kept.push_back(i);
    }
    const uint32_t flags = indicators ? static_cast<uint32_t>(types.size()) : 0;
    std::string out = "TZif" + std::string(1, v) + std::string(15, '\0');
    for (uint32_t c : {flags, flags, leaps, static_cast<uint32_t>(kept.size()), static_cast<uint32_t>(types.size()),
                       static_cast<uint32_t>(chars.size())}) {
      out += BigEndian(c, 4);
    }
    for (size_t i : kept) out += BigEndian(static_cast<uint64_t>(times[i]), width);
    for (size_t i : kept) out += static_cast<char>(indices[i]);
    for (const Type& t : types) out += BigEndian(static_cast<uint32_t>(t.utoff), 4) + char(t.isdst) + char(t.desig);
    out += chars;
    for (uint32_t i = 0; i < leaps; ++i) out += BigEndian(78796800 + i, width) + BigEndian(i + 1, 4);
    out += std::string(2 * flags, '\0');
    return out;
  }

  std::string Bytes() const {
    if (version == 0) return Block(4, 0);
    return Block(4, version) + Block(8, version) + footer;
  }
};

// Standard AAA (+1 h), daylight saving BBB (+2 h), and a third type CC
// (-30 min), over transitions on both sides of the 32-bit range.
HandZone ThreeTypes() {
  HandZone z;
  z.types = {{3600, 0, 0}, {7200, 1, 4}, {-1800, 0, 8}};
  z.chars = std::string("AAA\0BBB\0CC\0", 11);
  z.times = {-3000000000LL, -1000000, 0, 500000, 1000000, 4000000000LL, 4100000000LL};
  z.indices = {0, 1, 0, 2, 1, 0, 2};
  return z;
}

bool Parse(const std::string& bytes, pf::ZoneTable* out) {
  return pf::ParseZoneFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
}

// In a child, with TZ naming the file: the C library's local time at every
// transition and the second before it (where the table decides) shows the
// type the reader found there. The reader and the library read one file.
bool LibraryShowsTheTypes(const std::string& path, const pf::ZoneTable& table) {
  tovtest::ChildResult r = RunInChild([&] {
    setenv("TZ", path.c_str(), 1);
    tzset();
    for (size_t i = 0; i < table.times.size(); ++i) {
      for (time_t t : {table.times[i] - 1, table.times[i]}) {
        const int type = table.TypeAt(t);
        if (type < 0) continue;
        struct tm m;
        const pf::ZoneType& want = table.zoneTypes[type];
        if (localtime_r(&t, &m) == nullptr || m.tm_gmtoff != want.utoff || m.tm_isdst != want.isdst ||
            want.abbr != m.tm_zone) {
          printf("at %lld the library shows %ld %d %s\n", static_cast<long long>(t), m.tm_gmtoff, m.tm_isdst,
                 m.tm_zone);
          return 1;
        }
      }
    }
    return 0;
  });
  if (r.exit_code != 0) printf("%s", r.out.c_str());
  return r.exit_code == 0;
}

// Versions 1 to 3 are read, from the 64-bit block where there is one; the
// type holds from its transition on, up to the next; before the first and
// from the last the table does not decide.
TEST(ZoneFile, ReadInEveryVersionAsTheLibraryReadsIt) {
  tovtest::TempDir dir;
  for (char version : {'\0', '2', '3'}) {
    HandZone z = ThreeTypes();
    z.version = version;
    if (version == 0) {  // 32-bit times only
      z.times = {-1000000, 0, 500000, 1000000};
      z.indices = {1, 0, 2, 1};
    }
    pf::ZoneTable table;
    ASSERT_TRUE(Parse(z.Bytes(), &table)) << "version " << int(version);
    EXPECT_EQ(table.times, z.times);
    ASSERT_EQ(table.zoneTypes.size(), 3u);
    EXPECT_EQ(table.zoneTypes[1].utoff, 7200);
    EXPECT_EQ(table.zoneTypes[1].isdst, 1);
    EXPECT_EQ(table.zoneTypes[2].abbr, "CC");
    EXPECT_EQ(table.zoneTypes[2].utoff, -1800);
    const size_t n = z.times.size();
    EXPECT_EQ(table.TypeAt(z.times[0] - 1), -1);
    EXPECT_EQ(table.TypeAt(z.times[n - 1]), -1);
    EXPECT_EQ(table.TypeAt(z.times[n - 1] + 1000), -1);
    for (size_t i = 0; i + 1 < n; ++i) {
      EXPECT_EQ(table.TypeAt(z.times[i]), z.indices[i]) << i;
      EXPECT_EQ(table.TypeAt(z.times[i + 1] - 1), z.indices[i]) << i;
    }
    const std::string path = dir.File(std::string("v") + (version ? version : '1'));
    tovtest::WriteFile(path, z.Bytes());
    EXPECT_TRUE(LibraryShowsTheTypes(path, table)) << "version " << int(version);
  }
  // Without flags, and with more designation text than a type can index:
  // still a table.
  HandZone bare = ThreeTypes();
  bare.indicators = false;
  bare.chars += std::string(300, 'x') + '\0';
  pf::ZoneTable table;
  EXPECT_TRUE(Parse(bare.Bytes(), &table));
  EXPECT_EQ(table.types, bare.indices);
}

// Anything unexpected gives no table, and the output is left empty: every
// shortened file, a byte more, and each field out of its range.
TEST(ZoneFile, AnythingUnexpectedGivesNoTable) {
  const std::string good = ThreeTypes().Bytes();
  pf::ZoneTable table;
  ASSERT_TRUE(Parse(good, &table));
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_FALSE(Parse(good.substr(0, n), &table)) << n << " bytes";
    EXPECT_TRUE(table.times.empty() && table.zoneTypes.empty());
  }
  EXPECT_FALSE(Parse(good + "\n", &table));

  struct Fault {
    const char* what;
    void (*spoil)(HandZone&);
  };
  const Fault faults[] = {
      {"version 4", [](HandZone& z) { z.version = '4'; }},
      {"version 1 in ASCII", [](HandZone& z) { z.version = '1'; }},
      {"no types", [](HandZone& z) { z.types.clear(), z.times.clear(), z.indices.clear(); }},
      {"no designations", [](HandZone& z) { z.chars.clear(); }},
      {"equal times", [](HandZone& z) { z.times[2] = z.times[1]; }},
      {"falling times", [](HandZone& z) { std::swap(z.times[4], z.times[5]); }},
      {"type index out of range", [](HandZone& z) { z.indices[3] = 3; }},
      {"dst flag 2", [](HandZone& z) { z.types[1].isdst = 2; }},
      {"smallest offset", [](HandZone& z) { z.types[0].utoff = INT32_MIN; }},
      {"designation beyond the text", [](HandZone& z) { z.types[2].desig = 11; }},
      {"designation without end", [](HandZone& z) { z.chars.back() = 'C'; }},
      {"leap seconds", [](HandZone& z) { z.leaps = 2; }},
      {"no rule line", [](HandZone& z) { z.footer = ""; }},
      {"rule line without its end", [](HandZone& z) { z.footer = "\nAAA-1"; }},
      {"rule line of two lines", [](HandZone& z) { z.footer = "\nAAA-1\nBBB\n"; }},
      {"rule line without its start", [](HandZone& z) { z.footer = "AAA-1\n"; }},
  };
  for (const Fault& f : faults) {
    HandZone z = ThreeTypes();
    f.spoil(z);
    EXPECT_FALSE(Parse(z.Bytes(), &table)) << f.what;
  }
  // Headers that disagree with each other or with the block sizes.
  std::string bytes = good;
  const size_t second = ThreeTypes().Block(4, '2').size();
  bytes[second + 4] = '3';
  EXPECT_FALSE(Parse(bytes, &table)) << "second header's version";
  bytes = good;
  bytes[second] = 'X';
  EXPECT_FALSE(Parse(bytes, &table)) << "second header's magic";
  bytes = good;
  bytes[20 + 3] = 2;  // UT/local flags: neither none nor one per type
  EXPECT_FALSE(Parse(bytes, &table)) << "flag count";
  bytes = good;
  bytes[second + 44 + 7 * 9 + 3 * 6 + 11] = 2;  // first standard/wall flag
  EXPECT_FALSE(Parse(bytes, &table)) << "flag value";
}

// --- Against the probing path ---------------------------------------------------

// Everything a call gave: NULL with errno, or every field of the result.
std::string Outcome(const struct tm* m, int err) {
  if (m == nullptr) return "NULL errno " + std::to_string(err);
  char text[160];
  snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d wday %d yday %d dst %d gmtoff %ld %s errno %d", m->tm_year,
           m->tm_mon, m->tm_mday, m->tm_hour, m->tm_min, m->tm_sec, m->tm_wday, m->tm_yday, m->tm_isdst,
           m->tm_gmtoff, m->tm_zone != nullptr ? m->tm_zone : "(no zone)", err);
  return text;
}

// ContLocaltime and ThrLocaltime against their probing forms at each time;
// prints the first difference.
bool SameAsProbing(const std::vector<time_t>& times, const char* zone) {
  for (time_t t : times) {
    struct tm mine, probed;
    errno = 0;
    struct tm* got = ThrLocaltime(&t, &mine);
    const std::string thr = Outcome(got, errno);
    errno = 0;
    struct tm* want = pf::ThrLocaltimeProbing(&t, &probed);
    const std::string thrWant = Outcome(want, errno);
    errno = 0;
    got = ContLocaltime(&t);
    const std::string cont = Outcome(got, errno);
    errno = 0;
    want = pf::ContLocaltimeProbing(&t);
    const std::string contWant = Outcome(want, errno);
    if (thr != thrWant || cont != contWant) {
      printf("%s at %lld: ThrLocaltime %s, probing %s; ContLocaltime %s, probing %s\n", zone,
             static_cast<long long>(t), thr.c_str(), thrWant.c_str(), cont.c_str(), contWant.c_str());
      return false;
    }
  }
  return true;
}

// The transitions of a zone file, read here apart from the library's reader
// (the 64-bit block of a version 2+ file, else the 32-bit one); empty for
// anything else. *leaps: whether it lists leap seconds.
std::vector<time_t> TransitionsOf(const std::string& bytes, bool* leaps) {
  auto count = [&](size_t at, int k) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at + 20 + 4 * k;
    return static_cast<size_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  };
  std::vector<time_t> out;
  *leaps = false;
  if (bytes.size() < 44 || bytes.compare(0, 4, "TZif") != 0) return out;
  size_t at = 0;
  int width = 4;
  if (bytes[4] != 0) {
    at = 44 + count(0, 3) * 5 + count(0, 4) * 6 + count(0, 5) + count(0, 2) * 8 + count(0, 1) + count(0, 0);
    width = 8;
  }
  if (bytes.size() < at + 44) return out;
  *leaps = count(at, 2) != 0;
  const size_t n = count(at, 3);
  if (bytes.size() < at + 44 + n * width) return out;
  for (size_t i = 0; i < n; ++i) {
    uint64_t v = 0;
    for (int b = 0; b < width; ++b) v = v << 8 | static_cast<unsigned char>(bytes[at + 44 + i * width + b]);
    out.push_back(width == 8 ? static_cast<time_t>(v) : static_cast<int32_t>(v));
  }
  return out;
}

// Times on both sides of each transition (as far as a probe reaches and a
// second beyond), and random times between 1900 and 2100.
std::vector<time_t> TimesAround(const std::vector<time_t>& transitions, std::mt19937_64& random, int spread) {
  std::vector<time_t> out;
  for (time_t s : transitions) {
    for (time_t d : {0, 1, 3599, 3600, 7199, 7200, 7201}) {
      out.push_back(s - d);
      if (d != 0) out.push_back(s + d);
    }
  }
  std::sort(out.begin(), out.end());
  std::uniform_int_distribution<time_t> years(-2208988800LL, 4102444800LL);
  for (int i = 0; i < spread; ++i) out.push_back(years(random));
  return out;
}

// The installed zone files (every one under TOV_TEST_HEAVY, else an even
// spread of about 150), by their names below the zone directory.
std::vector<std::string> ZoneNames() {
  namespace fs = std::filesystem;
  const fs::path root = "/usr/share/zoneinfo";
  std::vector<std::string> all;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file(ec)) all.push_back(it->path().lexically_relative(root).string());
  }
  std::sort(all.begin(), all.end());
  if (tovtest::HeavyFactor() > 1 || all.size() <= 150) return all;
  std::vector<std::string> some;
  for (size_t i = 0; i < 150; ++i) some.push_back(all[i * all.size() / 150]);
  return some;
}

// In children of at most 200 zones each (a process keeps the tables of 256
// zones), every zone file: the same results as probing, and the table in
// use exactly for the files of two transitions or more without leap
// seconds. In the second round the profile turns continuity off.
TEST(ContLocaltime, SameAsProbingAroundEveryTransitionOfEveryZone) {
  const std::vector<std::string> zones = ZoneNames();
  ASSERT_GT(zones.size(), 100u) << "no zone files installed";
  for (bool off : {false, true}) {
    for (size_t from = 0; from < zones.size(); from += 200) {
      tovtest::ChildResult r = RunInChild(
          [&] {
            if (off) ContLocaltimeSetParamGetter([](const WEQ_UC*) -> const WEQ_UC* { return u"off"; });
            std::mt19937_64 random(from);
            int tables = 0;
            for (size_t i = from; i < std::min(zones.size(), from + 200); ++i) {
              const std::string& zone = zones[i];
              bool leaps = false;
              const std::vector<time_t> transitions =
                  TransitionsOf(tovtest::ReadFile("/usr/share/zoneinfo/" + zone), &leaps);
              setenv("TZ", zone.c_str(), 1);
              tzset();
              if (!SameAsProbing(TimesAround(transitions, random, 100 * tovtest::HeavyFactor()), zone.c_str())) {
                return 1;
              }
              const int want = transitions.size() >= 2 && !leaps ? 1 : 0;
              if (pf::PfITestZoneTableState() != want) {
                printf("%s: table state %d, not %d\n", zone.c_str(), pf::PfITestZoneTableState(), want);
                return 1;
              }
              tables += want;
            }
            printf("%d tables\n", tables);
            return 0;
          },
          120);
      EXPECT_EQ(r.exit_code, 0) << (off ? "off, " : "") << "zones from " << zones[from] << "\n" << r.out;
    }
  }
}

// Files built here, where what the C library does beyond the table differs
// from the table's types: after the last transition its rule line keeps
// standard time though the last type is daylight saving time; before the
// first, time type 0 is daylight saving time. Around each transition the
// results are probing's, with the table in use.
TEST(ContLocaltime, SameAsProbingAtTheEdgesOfHandBuiltTables) {
  tovtest::TempDir dir;
  HandZone edges;
  edges.types = {{7200, 1, 4}, {3600, 0, 0}};
  edges.chars = std::string("STD\0DST\0", 8);
  edges.times = {1000000000, 1010000000, 1020000000, 1030000000, 1040000000};
  edges.indices = {1, 0, 1, 0, 0};
  edges.footer = "\nSTD-1\n";
  tovtest::WriteFile(dir.File("edges"), edges.Bytes());
  tovtest::ChildResult r = RunInChild([&] {
    setenv("TZ", dir.File("edges").c_str(), 1);
    tzset();
    std::mt19937_64 random(3);
    std::vector<time_t> times = TimesAround(edges.times, random, 0);
    for (time_t edge : {edges.times.front(), edges.times.back()}) {
      for (time_t d = -7300; d <= 7300; d += 100) times.push_back(edge + d);
    }
    if (!SameAsProbing(times, "edges")) return 1;
    return pf::PfITestZoneTableState() == 1 ? 0 : 2;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out;
}

// Times in the last and the next daylight-saving ends of Berlin.
std::vector<time_t> BerlinTimes() {
  std::mt19937_64 random(7);
  return TimesAround({1761440400, 1792890000, 1067130000, 2140045200 - 86400 * 150}, random, 300);
}

// Where the table must not be used, the results are still probing's: a
// rule string for TZ, a damaged or shortened copy of a zone file, a table
// that the C library contradicts (dropped at its first use).
TEST(ContLocaltime, SameAsProbingWhereNoTableIsUsed) {
  tovtest::TempDir dir;
  const std::string berlin = tovtest::ReadFile("/usr/share/zoneinfo/Europe/Berlin");
  std::string damaged = berlin;
  damaged[damaged.size() - 40] ^= 0x55;
  tovtest::WriteFile(dir.File("damaged"), damaged);
  tovtest::WriteFile(dir.File("short"), berlin.substr(0, berlin.size() * 2 / 3));
  for (std::string zone : {std::string("CET-1CEST,M3.5.0,M10.5.0/3"), dir.File("damaged"), dir.File("short")}) {
    tovtest::ChildResult r = RunInChild([&] {
      setenv("TZ", zone.c_str(), 1);
      tzset();
      return SameAsProbing(BerlinTimes(), zone.c_str()) && pf::PfITestZoneTableState() == 0 ? 0 : 1;
    });
    EXPECT_EQ(r.exit_code, 0) << zone << "\n" << r.out;
  }

  // Berlin's table with each type's offset a second off, or its
  // designations in lower case.
  for (bool offsets : {true, false}) {
    tovtest::ChildResult r = RunInChild([&] {
      setenv("TZ", "Europe/Berlin", 1);
      tzset();
      pf::ZoneTable table;
      if (!Parse(berlin, &table)) return 2;
      for (pf::ZoneType& type : table.zoneTypes) {
        if (offsets) type.utoff += 1;
        else for (char& c : type.abbr) c = static_cast<char>(tolower(c));
      }
      pf::PfITestInstallZoneTable(table);
      if (pf::PfITestZoneTableState() != 1) return 3;
      return SameAsProbing(BerlinTimes(), "Berlin, altered") && pf::PfITestZoneTableState() == 0 ? 0 : 1;
    });
    EXPECT_EQ(r.exit_code, 0) << (offsets ? "offsets" : "designations") << "\n" << r.out;
  }
}

// The table follows the zone that tzset sets: zones of the same names and
// offset (Berlin, Paris, Vienna), TZ written with ':' or as a path, from
// TZDIR, rewritten in place in a putenv string, unset (the system's zone)
// and set again;
// TZ changed without tzset (the library keeps its zone; the table of the
// new value disagrees with it and is not used).
TEST(ContLocaltime, TableFollowsTheZoneThatTzsetSets) {
  tovtest::TempDir dir;
  std::filesystem::create_directory(dir.File("Test"));
  tovtest::WriteFile(dir.File("Test/Zone"), tovtest::ReadFile("/usr/share/zoneinfo/America/New_York"));
  tovtest::ChildResult r = RunInChild([&] {
    bool ok = true;
    auto check = [&](const char* what, int state) {
      tzset();
      ok = SameAsProbing(BerlinTimes(), what) && ok;
      if (pf::PfITestZoneTableState() != state) {
        printf("%s: table state %d, not %d\n", what, pf::PfITestZoneTableState(), state);
        ok = false;
      }
    };
    for (const char* zone : {"Europe/Berlin", "Europe/Paris", "Europe/Vienna", "Europe/Berlin", ":Europe/Paris",
                             "/usr/share/zoneinfo/Europe/Vienna"}) {
      setenv("TZ", zone, 1);
      check(zone, 1);
    }
    setenv("TZDIR", dir.path().c_str(), 1);
    setenv("TZ", "Test/Zone", 1);
    check("Test/Zone from TZDIR", 1);
    unsetenv("TZDIR");
    static char entry[] = "TZ=Europe/Berlin\0-------------";
    putenv(entry);
    check("putenv Berlin", 1);
    strcpy(entry, "TZ=America/New_York");
    check("putenv rewritten", 1);
    setenv("TOV_ZONE_TEST_SPARE", "1", 1);
    unsetenv("TZ");
    bool leaps = false;
    const bool systemTable = TransitionsOf(tovtest::ReadFile("/etc/localtime"), &leaps).size() >= 2 && !leaps;
    check("TZ unset", systemTable ? 1 : 0);
    // TZ added where another variable was removed: the end of the
    // environment stays where it was.
    unsetenv("TOV_ZONE_TEST_SPARE");
    setenv("TZ", "America/New_York", 1);
    check("New York in a removed variable's place", 1);
    setenv("TZ", "Europe/Berlin", 1);
    check("Berlin again", 1);
    // Paris's table, agreed before, does not serve while the library keeps
    // Berlin; nor after tzset (until the zone is left and entered again).
    setenv("TZ", "Europe/Paris", 1);
    ok = SameAsProbing(BerlinTimes(), "Paris without tzset") && ok;
    if (pf::PfITestZoneTableState() != 0) {
      printf("Paris's table used for Berlin\n");
      ok = false;
    }
    check("Paris after tzset", 0);
    setenv("TZ", "Europe/Berlin", 1);
    check("Berlin once more", 1);
    setenv("TZ", "Europe/Paris", 1);
    check("Paris once more", 1);
    return ok ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out;
}

}  // namespace
