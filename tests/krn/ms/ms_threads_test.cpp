// The dump of received bytes is written at trace level 0 without touching
// the process-wide level, which another thread watches meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/dptrc/trc_checker.h"
#include "krn/ms/ms_int.h"

namespace {

const std::string kBorder = "+--------+-------------------------------------+------------------+";

// The dump's lines without their thread tags.
std::vector<std::string> Lines(const trccheck::TraceFile& t) {
  std::vector<std::string> out;
  for (const trccheck::Line& l : t.Body()) out.push_back(l.body);
  return out;
}

TEST(MsHexDump, TextsAtLevelZeroLeaveTheLevelAlone) {
  trccheck::TraceFile trace(0);
  std::atomic<bool> stop{false};
  std::atomic<int> changes{0};
  std::thread watcher([&] {
    while (!stop.load()) {
      if (CTrcLevel.load() != 0) changes.fetch_add(1);
    }
  });
  std::string bytes = "ABCDEFGHIJKLMNOPQ";
  std::string mixed = std::string("\x00\x1f\x20\x7e\x7f\x80\xff", 7) + "0123456789abcdefghijklmnopqrstuvwxyz";
  MsIHexDump(trace.f, bytes.data(), 0);
  MsIHexDump(trace.f, bytes.data(), 16);
  MsIHexDump(trace.f, bytes.data(), 17);
  MsIHexDump(trace.f, mixed.data(), 32);
  stop = true;
  watcher.join();
  EXPECT_EQ(changes.load(), 0);
  EXPECT_EQ(CTrcLevel.load(), 0);

  const std::string b36(36, ' '), b16(16, ' ');
  std::vector<std::string> want = {
      // 0 bytes: one empty line
      kBorder, "| Offset | Data (0 bytes)", kBorder, "| 000000 | " + b36 + "| " + b16 + " |", kBorder,
      // 16 bytes: one full line
      kBorder, "| Offset | Data (16 bytes)", kBorder,
      "| 000000 | 41424344 45464748 494a4b4c 4d4e4f50 | ABCDEFGHIJKLMNOP |", kBorder,
      // 17 bytes: a full line and one of a single byte
      kBorder, "| Offset | Data (17 bytes)", kBorder,
      "| 000000 | 41424344 45464748 494a4b4c 4d4e4f50 | ABCDEFGHIJKLMNOP |",
      "| 000016 | 51" + std::string(34, ' ') + "| Q" + std::string(15, ' ') + " |", kBorder,
      // 32 bytes: two full lines; bytes outside 0x20..0x7E show as '.'
      kBorder, "| Offset | Data (32 bytes)", kBorder,
      "| 000000 | 001f207e 7f80ff30 31323334 35363738 | .. ~...012345678 |",
      "| 000016 | 39616263 64656667 68696a6b 6c6d6e6f | 9abcdefghijklmno |", kBorder};
  EXPECT_EQ(Lines(trace), want);
}

}  // namespace
