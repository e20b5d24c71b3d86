// UUID creation: the output layout against hand-computed vectors and against
// Python's reading of the input UUID, the rejection of UUIDs that are not
// time-based, and the generator bound from libuuid. Every test that binds
// the real generator runs in a child process, because binding happens once
// per process.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "krn/perf/pfuuid.h"
#include "krn/perf/pfuuid_int.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using Bytes = std::array<uint8_t, 16>;

Bytes FromHex(const std::string& hex) {
  Bytes b{};
  for (size_t i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return b;
}

std::string Hex(const uint8_t* p) {
  std::string s;
  char buf[3];
  for (int i = 0; i < 16; ++i) {
    snprintf(buf, sizeof buf, "%02x", p[i]);
    s += buf;
  }
  return s;
}

// The injected system UUID; the generator below hands out a copy.
Bytes gFixed{};
void FixedGenerator(unsigned char out[16]) { memcpy(out, gFixed.data(), 16); }

// Runs UuidGenerate with gFixed as the system UUID; the output starts as
// 0xAA bytes so that unwritten bytes show.
int32_t GenerateFrom(const Bytes& sys, Bytes& out) {
  gFixed = sys;
  out.fill(0xAA);
  UuidITestSetGenerator(FixedGenerator);
  int32_t rc = UuidGenerate(out.data());
  UuidITestRestore();
  return rc;
}

// What the output says about its input, read back from the layout as a
// reader of the bytes sees it.
struct Fields {
  uint64_t time;       // 60 bits, 100 ns since 1582-10-15
  uint32_t clockSeq;   // 14 bits
  uint64_t node;       // 48 bits
};

Fields Decode(const Bytes& o) {
  Fields f{};
  for (int i = 0; i < 6; ++i) f.node = (f.node << 8) | o[i];
  uint64_t timeHi = (uint64_t{o[6]} << 4) | (o[7] & 0x0F);
  // time_mid and time_low: 6 bits of byte 8, 7 of byte 9, bytes 10 to 13,
  // the top 3 bits of byte 14.
  uint64_t low = o[8] & 0x3F;
  low = (low << 7) | (o[9] & 0x7F);
  for (int i = 10; i <= 13; ++i) low = (low << 8) | o[i];
  low = (low << 3) | (o[14] >> 5);
  f.time = (timeHi << 48) | low;
  uint32_t seqHi = ((o[7] >> 4) == 0xE ? 0x20u : 0u) | (o[14] & 0x1Fu);
  f.clockSeq = (seqHi << 8) | o[15];
  return f;
}

void ExpectMarkers(const Bytes& o) {
  EXPECT_TRUE((o[7] >> 4) == 0xD || (o[7] >> 4) == 0xE) << Hex(o.data());
  EXPECT_EQ(o[8] & 0xC0, 0x80) << Hex(o.data());
  EXPECT_EQ(o[9] & 0x80, 0x80) << Hex(o.data());
}

class UuidTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ThrProcInit(); }
};

// Worked out by hand from the layout, byte by byte.
TEST_F(UuidTest, HandComputedVectors) {
  struct Case {
    const char* sys;
    const char* out;
  } cases[] = {
      // u[8] = 0xA5: variant 10, bit 0x20 set -> marker 0xE; low bits 0x05.
      {"0011223344551677a599aabbccddeeff", "aabbccddeeff67e7918aa00224466599"},
      // u[8] = 0x9F: bit 0x20 clear -> marker 0xD; every time bit set.
      {"ffffffffffff1fff9fff010203040506", "010203040506ffdfbfffffffffffffff"},
      // Time, clock sequence and node all zero: only the markers remain.
      {"00000000000010008000000000000000", "00000000000000d08080000000000000"},
      // One bit each of time_low's last byte and time_mid's first.
      {"000000018000100080ff000000000001", "00000000000100d0a0800000000020ff"},
  };
  for (const Case& c : cases) {
    Bytes out;
    ASSERT_EQ(GenerateFrom(FromHex(c.sys), out), UUID_RC_OK) << c.sys;
    EXPECT_EQ(Hex(out.data()), c.out) << c.sys;
  }
}

// Python's uuid module reads time, clock sequence and node from random
// version-1 UUIDs (and a few real ones); the output must carry the same.
TEST_F(UuidTest, FieldsMatchPythonsReadingOfTheInput) {
  const char* script =
      "import random, uuid\n"
      "random.seed(20240611)\n"
      "us = [uuid.UUID(bytes=random.getrandbits(128).to_bytes(16, 'big'), version=1)"
      " for _ in range(300)]\n"
      "us += [uuid.uuid1() for _ in range(5)]\n"
      "us += [uuid.UUID(fields=(0, 0, 0x1000, 0x80, 0, 0)),"
      " uuid.UUID(fields=(2**32-1, 2**16-1, 0x1fff, 0xbf, 255, 2**48-1))]\n"
      "for u in us: print(u.hex, u.time, u.clock_seq, u.node)\n";
  std::string cmd = "python3 -c \"" + std::string(script) + "\"";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string text;
  char buf[256];
  while (fgets(buf, sizeof buf, p) != nullptr) text += buf;
  ASSERT_EQ(pclose(p), 0) << "python3 failed";
  std::istringstream in(text);
  std::string hex;
  uint64_t time, node;
  uint32_t seq;
  int n = 0;
  while (in >> hex >> time >> seq >> node) {
    Bytes out;
    ASSERT_EQ(GenerateFrom(FromHex(hex), out), UUID_RC_OK) << hex;
    Fields f = Decode(out);
    EXPECT_EQ(f.time, time) << hex;
    EXPECT_EQ(f.clockSeq, seq) << hex;
    EXPECT_EQ(f.node, node) << hex;
    ExpectMarkers(out);
    EXPECT_EQ(out[8] & 0x40, 0) << hex;
    ++n;
  }
  EXPECT_EQ(n, 307);
}

// Anything but version 1 of variant binary 10 is refused, and a refused
// call leaves 16 zero bytes.
TEST_F(UuidTest, OtherVersionsAndVariantsGiveNoIdentifier) {
  const Bytes good = FromHex("0011223344551677a599aabbccddeeff");
  std::vector<Bytes> bad;
  for (int version : {0, 2, 3, 4, 5, 6, 7, 15}) {
    Bytes b = good;
    b[6] = static_cast<uint8_t>((version << 4) | (b[6] & 0x0F));
    bad.push_back(b);
  }
  for (int top : {0x00, 0x40, 0xC0, 0xE0}) {  // variants 0, 0 (NCS), 110, 111
    Bytes b = good;
    b[8] = static_cast<uint8_t>(top | (b[8] & 0x1F));
    bad.push_back(b);
  }
  for (const Bytes& b : bad) {
    Bytes out;
    EXPECT_EQ(GenerateFrom(b, out), UUID_RC_NO_SYSTEM) << Hex(b.data());
    EXPECT_EQ(Hex(out.data()), std::string(32, '0')) << Hex(b.data());
  }
  Bytes out;
  EXPECT_EQ(GenerateFrom(good, out), UUID_RC_OK);
}

TEST_F(UuidTest, UnavailableGeneratorAndNullOutput) {
  Bytes out;
  out.fill(0x5A);
  UuidITestSetGenerator(nullptr);
  EXPECT_EQ(UuidGenerate(out.data()), UUID_RC_NO_SYSTEM);
  UuidITestRestore();
  EXPECT_EQ(Hex(out.data()), std::string(32, '0'));
  EXPECT_EQ(UuidGenerate(nullptr), UUID_RC_NO_SYSTEM);
}

// 100 ns intervals from 1582-10-15 to 1970-01-01.
constexpr uint64_t kGregorianToUnix = 0x01B21DD213814000ull;

uint64_t NowIn100ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return kGregorianToUnix + static_cast<uint64_t>(ts.tv_sec) * 10000000u +
         static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

// libuuid's time-based UUIDs come out with the time of their creation.
TEST(UuidSystem, LibuuidGivesCurrentTimeAndDistinctIds) {
  auto r = tovtest::RunInChild([] {
    ThrProcInit();
    uint64_t before = NowIn100ns();
    Bytes a, b;
    if (UuidGenerate(a.data()) != UUID_RC_OK || UuidGenerate(b.data()) != UUID_RC_OK) return 1;
    uint64_t after = NowIn100ns();
    printf("%s %s %llu %llu %llu %llu\n", Hex(a.data()).c_str(), Hex(b.data()).c_str(),
           (unsigned long long)Decode(a).time, (unsigned long long)Decode(b).time,
           (unsigned long long)before, (unsigned long long)after);
    return 0;
  });
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  std::istringstream in(r.out);
  std::string ha, hb;
  unsigned long long ta, tb, before, after;
  ASSERT_TRUE(in >> ha >> hb >> ta >> tb >> before >> after) << r.out;
  EXPECT_NE(ha, hb);
  ExpectMarkers(FromHex(ha));
  ExpectMarkers(FromHex(hb));
  // One second of slack for clocks read at different moments.
  EXPECT_GE(ta + 10000000u, before);
  EXPECT_LE(tb, after + 10000000u);
  EXPECT_LT(ta, tb);
}

// The real binding path: a missing library or entry leaves the generator
// unavailable for good; an entry that gives random UUIDs is refused.
TEST(UuidSystem, BindingFailuresAndWrongGenerator) {
  struct Case {
    const char* lib;
    const char* entry;
  } cases[] = {
      {"libuuid-does-not-exist.so.1", "uuid_generate_time"},
      {"libuuid.so.1", "uuid_generate_time_no_such_entry"},
      {"libuuid.so.1", "uuid_generate_random"},
  };
  for (const Case& c : cases) {
    auto r = tovtest::RunInChild([&c] {
      ThrProcInit();
      UuidITestBindNames(c.lib, c.entry);
      for (int i = 0; i < 2; ++i) {
        Bytes out;
        out.fill(0x77);
        int32_t rc = UuidGenerate(out.data());
        printf("%d %s\n", rc, Hex(out.data()).c_str());
      }
      // A library without the entry is released again.
      printf("%s\n", dlopen("libuuid.so.1", RTLD_NOW | RTLD_NOLOAD) ? "loaded" : "unloaded");
      return 0;
    });
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string zeros(32, '0');
    std::string expected = "3 " + zeros + "\n3 " + zeros + "\n";
    expected += std::string(c.entry) == "uuid_generate_random" ? "loaded\n" : "unloaded\n";
    EXPECT_EQ(r.out, expected) << c.lib << " " << c.entry;
  }
}

}  // namespace
