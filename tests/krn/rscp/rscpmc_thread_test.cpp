// Starts and rebuilds while other threads convert: eight threads that start
// impromptu at once build one cache; readers that pin a generation walk its
// tables while one thread invalidates and rebuilds and another loads pages,
// and every walk equals the single-threaded reference. The ASan run sees
// any read of a freed generation and any block that is never freed; the
// TSan run sees any write that a reader could meet unordered.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "rscpcc_fixture.h"
#include "rscpmc_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

using tovtest::CaptureFd;
using Clock = std::chrono::steady_clock;

class Generations : public ControlTest {};

constexpr const char* kPages[] = {"1100", "8000"};

// What a conversion reads from the input and output base variants of a
// page in one generation; empty when a variant is not loaded there.
struct Walk {
  std::vector<InHit> in;
  std::vector<OutHit> out;
  bool operator==(const Walk&) const = default;
};

const rscpCpEntry_t* EntryIn(const rscpCCC_t* c, const char* cp) {
  const rscpCpEntry_t* dir = rscpDirectory(const_cast<rscpCCC_t*>(c));
  for (int i = 0; i < c->noof_char_codes; ++i) {
    if (Field(dir[i].cp, 4) == std::u16string(cp, cp + 4)) return &dir[i];
  }
  return nullptr;
}

Walk WalkPage(const rscpCCC_t* c, const char* cp, bool* inLoaded, bool* outLoaded) {
  Walk w;
  const rscpCpEntry_t* e = EntryIn(c, cp);
  const auto* base = reinterpret_cast<const unsigned char*>(c);
  const uint16_t root = e != nullptr ? rscpIInRoot(e, 0) : 0;
  const uint32_t t2 = e != nullptr ? rscpIOutT2(e, 0) : 0;
  *inLoaded = root != 0;
  *outLoaded = t2 != 0;
  if (root != 0) {
    for (int b = 0; b < 256; ++b) w.in.push_back(WalkIn(base, root, {uint8_t(b)}));
  }
  if (t2 != 0) {
    for (uint32_t v = 0; v < 0x3000; v += 5) w.out.push_back(WalkOut(base, t2, v));
  }
  return w;
}

TEST_F(Generations, EightImpromptuStartsFromStateZeroBuildOneCache) {
  ScopedEnv quiet("RSCP_CATCH_INIT", "0");
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<rscpRc_t> rcs(kThreads, -1);
  CaptureFd err;
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        rcs[i] = rscpi_init_just_in_case(u"racer");
      });
    }
  }
  err.Take();
  EXPECT_EQ(rcs, std::vector<rscpRc_t>(kThreads, 0));
  EXPECT_EQ(rscpGetState(), RSCP_STATE_INIT);
  ASSERT_NE(Cache(), nullptr);
  EXPECT_EQ(Cache()->attaches, 1u) << "one start built and attached";
  EXPECT_EQ(rscpReclaimRetired(), 0);
}

TEST_F(Generations, APinnedGenerationOutlivesTheRebuildAndGoesWithItsLastPin) {
  CaptureFd err;
  ASSERT_EQ(rscpi_init(-1), 0);
  ASSERT_EQ(Load(5, "1100"), 0);
  ASSERT_EQ(Load(21, "1100"), 0);
  bool in = false, out = false;
  const Walk reference = WalkPage(Cache(), "1100", &in, &out);
  ASSERT_TRUE(in && out);

  std::promise<rscpCCC_t*> pinned;
  std::promise<void> rebuilt;
  std::shared_future<void> rebuiltF = rebuilt.get_future().share();
  std::promise<bool> walkedSame;
  std::jthread reader([&] {
    rscpCachePin pin;
    pinned.set_value(pin.get());
    if (rebuiltF.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      return walkedSame.set_value(false);
    }
    bool i = false, o = false;
    walkedSame.set_value(WalkPage(pin.get(), "1100", &i, &o) == reference && i && o);
  });
  auto pinnedF = pinned.get_future();
  ASSERT_EQ(pinnedF.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  rscpCCC_t* old = pinnedF.get();
  ASSERT_EQ(old, Cache());
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, nullptr, 0, -1), 0);
  ASSERT_EQ(rscpnr__need_reorg(0, -1), 0);
  EXPECT_NE(Cache(), old);
  EXPECT_EQ(rscpReclaimRetired(), 1) << "the reader still pins the old generation";
  rebuilt.set_value();
  auto same = walkedSame.get_future();
  ASSERT_EQ(same.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(same.get());
  reader.join();
  EXPECT_EQ(rscpReclaimRetired(), 0);
  err.Take();
}

TEST_F(Generations, ACallThatRebuildsMovesItsPin) {
  CaptureFd err;
  ASSERT_EQ(rscpi_init(-1), 0);
  rscpCCC_t* first = rscpPinCache();
  EXPECT_EQ(first, Cache());
  EXPECT_EQ(rscpPinCache(), first) << "pins nest";
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, nullptr, 0, -1), 0);
  ASSERT_EQ(rscpnr__need_reorg(0, -1), 0);
  EXPECT_NE(Cache(), first);
  EXPECT_EQ(rscpPinnedCache(), Cache());
  EXPECT_TRUE(rscpPinIsCurrent());
  EXPECT_EQ(rscpReclaimRetired(), 0) << "the moved pin no longer holds the old block";
  rscpUnpinCache();
  EXPECT_EQ(rscpPinnedCache(), Cache());
  rscpUnpinCache();
  EXPECT_EQ(rscpPinnedCache(), nullptr);
  err.Take();
}

TEST_F(Generations, AStalePinRefusesToLoad) {
  CaptureFd err;
  ASSERT_EQ(rscpi_init(-1), 0);
  std::promise<void> pinnedP, rebuiltP;
  std::promise<rscpRc_t> loadRc;
  std::jthread caller([&] {
    rscpCachePin pin;
    pinnedP.set_value();
    if (rebuiltP.get_future().wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      return loadRc.set_value(-1);
    }
    EXPECT_FALSE(rscpPinIsCurrent());
    loadRc.set_value(Load(5, "1100"));
  });
  ASSERT_EQ(pinnedP.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, nullptr, 0, -1), 0);
  ASSERT_EQ(rscpnr__need_reorg(0, -1), 0);
  rebuiltP.set_value();
  auto rc = loadRc.get_future();
  ASSERT_EQ(rc.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(rc.get(), RSCPEBUSY);
  caller.join();
  bool in = true, out = true;
  WalkPage(Cache(), "1100", &in, &out);
  EXPECT_FALSE(in) << "nothing was loaded into either generation";
  err.Take();
}

TEST_F(Generations, ReadersWalkWhileRebuildsAndLoadsRun) {
  CaptureFd err;
  ASSERT_EQ(rscpi_init(-1), 0);
  std::vector<Walk> reference;
  for (const char* cp : kPages) {
    ASSERT_EQ(Load(5, cp), 0);
    ASSERT_EQ(Load(21, cp), 0);
    bool in = false, out = false;
    reference.push_back(WalkPage(Cache(), cp, &in, &out));
    ASSERT_TRUE(in && out) << cp;
  }
  constexpr int kReaders = 8;
  constexpr int kRebuilds = 100;
  const auto deadline = Clock::now() + std::chrono::seconds(240);
  std::atomic<bool> stop{false};
  std::atomic<long> fullWalks{0}, mismatches{0}, versionsSeen{0};
  std::atomic<int> rebuildFailures{0}, loadFailures{0};
  std::vector<std::jthread> threads;
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      while (!stop.load(std::memory_order_relaxed) && Clock::now() < deadline) {
        rscpCachePin pin;
        if (pin.get() == nullptr) continue;
        // What an engine entry compares while invalidations raise it.
        versionsSeen.fetch_add(rscpCacheVersion(pin.get()) != 0 ? 1 : 0, std::memory_order_relaxed);
        const size_t p = static_cast<size_t>(r) % std::size(kPages);
        bool in = false, out = false;
        Walk w = WalkPage(pin.get(), kPages[p], &in, &out);
        // A variant that this generation has not loaded yet gives nothing;
        // a loaded one gives exactly the reference.
        if (in && w.in != reference[p].in) mismatches.fetch_add(1);
        if (out && w.out != reference[p].out) mismatches.fetch_add(1);
        if (in && out) fullWalks.fetch_add(1);
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop.load(std::memory_order_relaxed) && Clock::now() < deadline) {
      for (const char* cp : kPages) {
        if (Load(5, cp) != 0) loadFailures.fetch_add(1);
        if (Load(21, cp) != 0) loadFailures.fetch_add(1);
      }
    }
  });
  std::jthread rebuilder([&] {
    for (int i = 0; i < kRebuilds && Clock::now() < deadline; ++i) {
      rscpGetSemaAndWritePermission(2);
      rscpict3_invalidate_convert_tables(nullptr, nullptr, u"stress", -1, -1);
      rscpReleaseWritePermissionAndSema(2);
      if (rscpnr__need_reorg(0, -1) != 0) rebuildFailures.fetch_add(1);
      // Give the loader a chance to fill the new generation before the next.
      const auto until = Clock::now() + std::chrono::milliseconds(2);
      while (Clock::now() < until && !stop.load()) std::this_thread::yield();
    }
    stop.store(true);
  });
  rebuilder.join();
  threads.clear();
  err.Take();
  EXPECT_LT(Clock::now(), deadline) << "the rebuilds did not finish in time";
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(rebuildFailures.load(), 0);
  EXPECT_GT(fullWalks.load(), 0);
  EXPECT_GT(versionsSeen.load(), 0);
  EXPECT_EQ(Cache()->noof_reorgs, static_cast<uint32_t>(kRebuilds));
  EXPECT_EQ(rscpReclaimRetired(), 0) << "every retired generation is freed once unpinned";
}

// Runs step on a second thread, over and over, while this thread
// invalidates and rebuilds the cache 40 times, each rebuild once the step
// has run again since the last; returns how often it ran.
long StepWhileRebuilding(const std::function<void()>& step) {
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  std::atomic<bool> stop{false};
  std::atomic<long> steps{0};
  std::jthread stepper([&] {
    while (!stop.load(std::memory_order_relaxed) && Clock::now() < deadline) {
      step();
      steps.fetch_add(1);
    }
  });
  int rebuilt = 0;
  for (; rebuilt < 40 && Clock::now() < deadline; ++rebuilt) {
    for (const long seen = steps.load(); steps.load() == seen && Clock::now() < deadline;) std::this_thread::yield();
    if (rscpInvalidateLocked(nullptr, nullptr, u"stepper", -1, -1) != 0 || rscpnr__need_reorg(0, -1) != 0) break;
  }
  stop.store(true);
  stepper.join();
  EXPECT_EQ(rebuilt, 40);
  return steps.load();
}

TEST_F(Generations, OptionsSetWhileRebuildsRunReachThePublishedGeneration) {
  // A set that waits for the mutex while another thread rebuilds must
  // write the generation published when it gets the mutex, not the one it
  // saw before: that one is retired and may be freed already.
  CaptureFd err;
  ASSERT_EQ(rscpi_init(-1), 0);
  long i = 0, lost = 0, failed = 0;
  EXPECT_GT(StepWhileRebuilding([&] {
    long v = -1;
    ++i;
    if (rscpso_set_option(16, i) != 0 || rscpgo_get_option(16, &v) != 0) ++failed;
    if (v != i) ++lost;
  }), 0);
  err.Take();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(lost, 0) << "sets that went into a retired generation";
}

TEST_F(Generations, DatabaseCodePagesAreReadWhileRebuildsRun) {
  // The list is read without the mutex, from a generation that a rebuild
  // on another thread retires and frees: the reader must hold it pinned
  // (the TSan run sees a read that the free could meet unordered).
  CaptureFd err;
  ASSERT_EQ(rscpi_init(-1), 0);
  long wrong = 0;
  EXPECT_GT(StepWhileRebuilding([&] {
    rscpCp_t cps[RSCP_DB_CPS];
    int count = 0;
    const rscpRc_t rc = rscpGetDBCodePages(cps, RSCP_DB_CPS, &count);
    if (rc != 0 || count < 1 || memcmp(cps[0], u"4103", sizeof(rscpCp_t)) != 0) ++wrong;
  }), 0);
  err.Take();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace rscptest
