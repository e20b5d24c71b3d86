// Conversions read the cache without a lock while a loader adds variants
// under the 'CCC' mutex: four threads walk loaded variants, and every
// variant that a writer publishes, while the writer loads and derives other
// pages. Each walk of a variant gives what its first walk gave; a thread
// sanitizer run sees every table write ordered before the read that finds
// it. Header options are set under the same mutex as a rebuild's writes.
#include <atomic>
#include <barrier>
#include <chrono>
#include <thread>

#include "rscpld_fixture.h"

namespace {

using namespace rscptest;

// A digest of what a conversion reads from one variant: the input walk of
// every one- and two-byte sequence below lead bytes, and the output of the
// values of the first planes.
uint64_t Digest(const unsigned char* cache, const rscpCpEntry_t* e, int slot) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](uint64_t v) { h = (h ^ v) * 1099511628211ull; };
  const uint16_t root = rscpIInRoot(e, slot);
  const uint32_t t2 = rscpIOutT2(e, slot);
  if (root != 0) {
    for (int b = 0; b < 256; ++b) {
      const InHit one = WalkIn(cache, root, {uint8_t(b)});
      mix(one.kind), mix(one.value), mix(uint64_t(one.len));
      for (int t = 0x40; t < 0x100; t += 7) {
        const InHit two = WalkIn(cache, root, {uint8_t(b), uint8_t(t)});
        mix(two.kind), mix(two.value);
      }
    }
  }
  if (t2 != 0) {
    for (uint32_t v = 0; v < 0x10000; v += 3) {
      const OutHit o = WalkOut(cache, t2, v);
      mix(o.code.size()), mix(o.code.empty() ? 0 : o.code.back()), mix(uint64_t(o.rule + 1));
    }
  }
  return h;
}

class LoadThreads : public LoadTest {};

TEST_F(LoadThreads, WalksStayConstantWhileOtherPagesLoad) {
  BuildDefault();
  const char* ready[] = {"1100", "8000", "8300"};
  const char* loading[] = {"8400", "8500", "0100", "1101", "4110", "8100", "8200", "6100", "4103"};
  for (const char* cp : ready) {
    for (int s = 0; s < 4; ++s) {
      ASSERT_EQ(rscplcp__load_codepage(kInKinds[s], Entry(cp)), 0);
      ASSERT_EQ(rscplcp__load_codepage(kOutKinds[s], Entry(cp)), 0);
    }
  }
  struct Variant {
    const rscpCpEntry_t* e;
    int slot;
  };
  std::vector<Variant> watched;
  for (const char* cp : ready)
    for (int s = 0; s < 4; ++s) watched.push_back({Entry(cp), s});
  for (const char* cp : loading)
    for (int s = 0; s < 4; ++s) watched.push_back({Entry(cp), s});
  std::vector<uint64_t> first(watched.size());
  for (size_t i = 0; i < 12; ++i) first[i] = Digest(base(), watched[i].e, watched[i].slot);

  constexpr int kReaders = 4;
  std::atomic<bool> done{false};
  std::barrier start(kReaders + 1);
  std::vector<int> mismatches(kReaders), walks(kReaders);
  std::vector<std::thread> readers;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      // Each reader keeps its own first digest of the variants that appear.
      std::vector<uint64_t> mine(first);
      std::vector<bool> seen(watched.size());
      for (size_t i = 0; i < 12; ++i) seen[i] = true;
      start.arrive_and_wait();
      while (std::chrono::steady_clock::now() < deadline) {
        const bool last = done.load(std::memory_order_acquire);
        for (size_t i = static_cast<size_t>(r); i < watched.size(); i += 1) {
          const Variant& v = watched[i];
          if (rscpIInRoot(v.e, v.slot) == 0 || rscpIOutT2(v.e, v.slot) == 0) continue;
          const uint64_t d = Digest(base(), v.e, v.slot);
          if (!seen[i]) {
            seen[i] = true;
            mine[i] = d;
          } else if (d != mine[i]) {
            ++mismatches[r];
          }
          ++walks[r];
        }
        if (last) break;
      }
    });
  }
  start.arrive_and_wait();
  int failures = 0;
  for (const char* cp : loading) {
    for (int s = 0; s < 4; ++s) {
      // A writer as the engine is one: the mutex and the write permission
      // around each load.
      ASSERT_EQ(rscpGetSemaAndWritePermission(1), 0);
      failures += rscplcp__load_codepage(kInKinds[s], Entry(cp)) != 0;
      failures += rscplcp__load_codepage(kOutKinds[s], Entry(cp)) != 0;
      ASSERT_EQ(rscpReleaseWritePermissionAndSema(1), 0);
    }
  }
  done.store(true, std::memory_order_release);
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(failures, 0);
  for (int r = 0; r < kReaders; ++r) {
    EXPECT_EQ(mismatches[r], 0) << r;
    EXPECT_GE(walks[r], static_cast<int>(watched.size()) / 2) << r;
  }
  // After the writer, every watched variant is there and still as first seen.
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(Digest(base(), watched[i].e, watched[i].slot), first[i]);
}

// A header option set while another thread rebuilds header fields under the
// 'CCC' mutex: both take the mutex, so the race detector sees them ordered
// and the last write of each round stands.
TEST_F(LoadThreads, HeaderOptionsMeetRebuildsUnderTheMutex) {
  rscpCCC_t* c = BuildDefault();
  const int rounds = 300;
  std::barrier start(2);
  std::thread setter([&] {
    start.arrive_and_wait();
    for (int i = 0; i < rounds; ++i) {
      EXPECT_EQ(rscpso_set_option(2, i % 4), 0);
      EXPECT_EQ(rscpso_set_option(16, static_cast<long>(i)), 0);
    }
  });
  start.arrive_and_wait();
  for (int i = 0; i < rounds; ++i) {
    ASSERT_EQ(rscpGetSemaAndWritePermission(2), 0);
    const int32_t copy = c->mbc_copy;
    c->mbc_copy = 2;
    c->option16 = c->option16 + 0;
    c->mbc_copy = copy;
    ASSERT_EQ(rscpReleaseWritePermissionAndSema(2), 0);
  }
  setter.join();
  EXPECT_EQ(c->mbc_copy, (rounds - 1) % 4);
  EXPECT_EQ(c->option16, static_cast<uint32_t>(rounds - 1));
}

}  // namespace
