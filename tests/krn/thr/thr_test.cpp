// Thread library on one thread: return-code texts, the inactive and active
// states, sections, keys, ids and the unlock panics. Process-wide state is
// set up in child processes so that each case starts from a fresh library.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "krn/thr/thr.h"
#include "krn/thr/thr_int.h"
#include "support/testsupport.h"
#include "tests/krn/thr/thr_test_util.h"

namespace {

// Results of calls made in order (a braced list evaluates left to right).
using Rcs = std::vector<ThrRc>;

TEST(ThrErrTxt, CodesAndBeyond) {
  const std::pair<ThrRc, std::string> table[] = {
      {0, "Operation completed successfully."},
      {3, "Attempt was made to initialize an item which already exists."},
      {9, "Attempt was made to unlock a critical section which is not currently locked."},
      {10, "Attempt was made to unlock a critical section owned by another thread."},
      {15, "Operation timed out."},
      {16, "Error code not defined by the thread library."},
      {0xFFFFFFFFu, "Error code not defined by the thread library."},
  };
  for (const auto& [rc, text] : table) EXPECT_EQ(U(ThrErrTxt(rc)), text) << "rc " << rc;
}

TEST(ThrLifeCycle, InactiveLocksTouchNothing) {
  InChild([] {
    ThrCS cs{}, zero{};
    ThrMtx m, copy;
    memset(&m, 0xAB, sizeof m);
    copy = m;
    // No panic for the second unlock while inactive.
    EXPECT_EQ((Rcs{ThrCSLock(&cs), ThrCSUnlock(&cs), ThrCSUnlock(&cs), ThrCSDelete(&cs), ThrMtxLock(&m),
                   ThrMtxUnlock(&m), ThrMtxDelete(&m)}),
              (Rcs{0, 0, 0, 0, 0, 0, 8}));
    EXPECT_EQ(memcmp(&cs, &zero, sizeof cs), 0);
    EXPECT_EQ(memcmp(&m, &copy, sizeof m), 0);
    ThrProcExit();  // without initialisation: nothing
    EXPECT_EQ(ThrThreadExit(), 5u);
    // An explicit section initialises the library but leaves it inactive.
    EXPECT_EQ(ThrCSInit(&cs, u"early"), 0u);
    EXPECT_EQ(memcmp(&cs.magic, "ENOD", 4), 0);
    EXPECT_EQ(U(cs.tag), "early");
    EXPECT_EQ((Rcs{ThrIsInit(), ThrCSLock(&cs), static_cast<ThrRc>(cs.count)}), (Rcs{0, 0, 0}));
    EXPECT_EQ(ThrThreadExit(), 0u);  // but this thread was recorded
  });
}

TEST(ThrLifeCycle, InitExitInitAgainAndAtexit) {
  for (bool noAtexit : {false, true}) {
    tovtest::ChildResult r = tovtest::RunInChild([noAtexit] {
      // Registered before initialisation, so it runs after ThrProcExit.
      atexit([] { fputs(ThrIsInit() ? "active" : "inactive", stdout); });
      if (noAtexit) ThrSetNoAtexit();
      if (ThrProcInit() != 0 || ThrProcInit() != 0 || ThrIsInit() != 1) return 1;
      if (ThrThreadExit() != 0 || ThrThreadExit() != 5) return 2;
      ThrProcExit();
      ThrCS cs{};
      if (ThrIsInit() != 0 || ThrCSLock(&cs) != 0 || cs.magic != 0) return 3;
      if (ThrProcInit() != 0 || ThrCSLock(&cs) != 0 || ThrCSUnlock(&cs) != 0) return 4;
      if (ThrThreadExit() != 0) return 5;  // the new initialisation recorded us again
      exit(0);
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, noAtexit ? "active" : "inactive");
  }
}

TEST(ThrCS, ActiveSectionLifeCycle) {
  InChild([] {
    ASSERT_EQ(ThrProcInit(), 0u);
    static ThrCS lazy;  // zero-filled static
    EXPECT_EQ((Rcs{ThrCSLock(&lazy), ThrCSLock(&lazy), ThrCSLock(&lazy)}), (Rcs{0, 0, 0}));
    EXPECT_EQ(memcmp(&lazy.magic, "ENOD", 4), 0);
    EXPECT_TRUE(lazy.tag == nullptr);
    EXPECT_EQ(lazy.owner, static_cast<int32_t>(ThrCurrentId()));
    EXPECT_EQ(lazy.count, 3);
    EXPECT_EQ((Rcs{ThrCSUnlock(&lazy), ThrCSUnlock(&lazy), ThrCSUnlock(&lazy)}), (Rcs{0, 0, 0}));
    EXPECT_EQ(lazy.count, 0);
    EXPECT_EQ(lazy.owner, -1);

    ThrCS named{};
    EXPECT_EQ((Rcs{ThrCSInit(&named, u"first tag"), ThrCSInit(&named, u"second tag")}), (Rcs{0, 3}));
    EXPECT_EQ(U(named.tag), "first tag");
    EXPECT_EQ(ThrCSDelete(&named), 0u);
    EXPECT_TRUE(named.tag == nullptr);
    // Usable again after delete.
    EXPECT_EQ((Rcs{ThrCSDelete(&named), ThrCSUnlock(&named), ThrCSInit(&named, nullptr), ThrCSDelete(&named)}),
              (Rcs{8, 8, 0, 0}));
  });
}

TEST(ThrMtx, PlainAndRecursiveMutexes) {
  InChild([] {
    ThrRecMtx rec{};
    // The recursive mutex works before the library is active.
    EXPECT_EQ(ThrRecMtxInit(&rec, u"dptrace"), 0u);
    EXPECT_EQ(U(rec.tag), "dptrace");
    EXPECT_EQ((Rcs{ThrRecMtxLock(&rec), ThrRecMtxLock(&rec), static_cast<ThrRc>(rec.count),
                   ThrRecMtxUnlock(&rec), ThrRecMtxUnlock(&rec)}),
              (Rcs{0, 0, 2, 0, 0}));
    free(rec.tag);

    ThrMtx m;
    EXPECT_EQ(ThrMtxInit(&m, u"NI hdl section"), 0u);
    ASSERT_EQ(ThrProcInit(), 0u);
    EXPECT_EQ((Rcs{ThrMtxLock(&m), ThrMtxLock(&m)}), (Rcs{0, 0}));
    // Another thread's unlock is refused (a misuse the thread checker
    // reports, hence tested here only).
    std::thread([&m] { EXPECT_EQ(ThrMtxUnlock(&m), 10u); }).join();
    EXPECT_EQ((Rcs{ThrMtxUnlock(&m), ThrMtxUnlock(&m), ThrMtxUnlock(&m), ThrMtxDelete(&m)}), (Rcs{0, 0, 10, 0}));
  });
}

// The panic line names the tag, or "not set", and the process aborts.
TEST(ThrPanicDeathTest, UnlockMoreOftenThanLocked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        ThrProcInit();
        static ThrCS cs;
        ThrCSLock(&cs);
        ThrCSUnlock(&cs);
        ThrCSUnlock(&cs);
      },
      "^ThrCSUnlock: PANIC: #unlock > #lock, tag: \"not set\"\n");
  EXPECT_DEATH(
      {
        ThrRecMtx m{};
        ThrRecMtxInit(&m, u"dptrace");
        ThrRecMtxUnlock(&m);
      },
      "^ThrRecMtxUnlock: PANIC: #unlock > #lock, tag: \"dptrace\"\n");
}

std::vector<std::pair<int, void*>> g_calls;
template <int N>
void Record(void* v) {
  g_calls.emplace_back(N, v);
}

TEST(ThrKey, CreateDeleteAndDemandCreation) {
  InChild([] {
    ThrKey k = THR_KEY_NONE;
    EXPECT_EQ(ThrKeyGet(&k, nullptr), 0u);
    const ThrKey first = k;
    EXPECT_EQ(ThrKeyGet(&k, Record<0>), 3u);
    EXPECT_EQ(k, first);
    EXPECT_EQ(ThrKeyDelete(&k), 0u);
    EXPECT_EQ(k, THR_KEY_NONE);
    EXPECT_EQ(ThrKeyDelete(&k), 2u);
    ThrKey stale = first;
    EXPECT_EQ(ThrKeyDelete(&stale), 6u);
    // A handle without a node counts as not created.
    stale = first;
    EXPECT_EQ(ThrKeyGet(&stale, nullptr), 0u);
    EXPECT_EQ(stale & thr::kIndexMask, first & thr::kIndexMask);  // the index again,
    EXPECT_NE(stale, first);                                       // a new key
    int a = 1;
    ThrKey copy = first;  // a copy of the deleted key neither stores nor sees
    EXPECT_EQ(ThrKeyVarSet(&copy, &a), 6u);
    EXPECT_EQ(ThrKeyVarSet(&stale, &a), 0u);
    EXPECT_EQ(ThrKeyVarGet(&copy), nullptr);
    EXPECT_EQ(ThrKeyVarGet(&stale), &a);

    ThrKey lazy = THR_KEY_NONE;
    uint32_t before = thr::ThrIKeyCount();
    EXPECT_EQ(ThrKeyVarGet(&lazy), nullptr);
    EXPECT_NE(lazy, THR_KEY_NONE);
    EXPECT_EQ(thr::ThrIKeyCount(), before + 1);
    EXPECT_EQ(ThrKeyVarSet(&lazy, &a), 0u);
    EXPECT_EQ(ThrKeyVarGet(&lazy), &a);
    EXPECT_EQ(ThrKeyVarSet(&lazy, nullptr), 0u);
    EXPECT_EQ(ThrKeyVarGet(&lazy), nullptr);
  });
}

TEST(ThrKey, CleanupRunsDestructorsNewestFirst) {
  InChild([] {
    ThrKey k0 = THR_KEY_NONE, k1 = THR_KEY_NONE, k2 = THR_KEY_NONE, plain = THR_KEY_NONE;
    ASSERT_EQ(ThrKeyGet(&k0, Record<0>), 0u);
    ASSERT_EQ(ThrKeyGet(&plain, nullptr), 0u);
    ASSERT_EQ(ThrKeyGet(&k1, Record<1>), 0u);
    ASSERT_EQ(ThrKeyGet(&k2, Record<2>), 0u);
    int v0 = 0, v2 = 2, vp = 9;
    ThrKeyVarSet(&k0, &v0);
    ThrKeyVarSet(&k2, &v2);
    ThrKeyVarSet(&plain, &vp);
    ThrKeyCleanup();
    // A key without a value still gets its destructor, with NULL.
    using Calls = std::vector<std::pair<int, void*>>;
    EXPECT_EQ(g_calls, (Calls{{2, &v2}, {1, nullptr}, {0, &v0}}));
    EXPECT_EQ(ThrKeyVarGet(&k0), nullptr);
    EXPECT_EQ(ThrKeyVarGet(&plain), &vp);  // keys without a destructor keep their value
    ASSERT_EQ(ThrKeyDelete(&k1), 0u);
    g_calls.clear();
    ThrKeyCleanup();
    EXPECT_EQ(g_calls, (Calls{{2, nullptr}, {0, nullptr}}));
  });
}

TEST(ThrId, KernelThreadIdAndItsText) {
  EXPECT_EQ(ThrCurrentId(), static_cast<ThrId>(syscall(SYS_gettid)));
  EXPECT_EQ(ThrIdEqual(ThrCurrentId(), ThrCurrentId()), 1);
  EXPECT_EQ(ThrIdEqual(1, 2), 0);
  ThrId parent = ThrCurrentId();
  // A forked child does not keep its parent's cached id.
  tovtest::ChildResult r = tovtest::RunInChild([parent] {
    ThrId id = ThrCurrentId();
    return id == static_cast<ThrId>(syscall(SYS_gettid)) && id != parent ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  for (ThrId id : {0u, 9u, 10u, 4711u, 2147483648u, 4294967295u}) {
    WEQ_UC buf[THR_ID_STR_LEN];
    EXPECT_EQ(U(ThrIdToStr(buf, id)), std::to_string(id));
    EXPECT_EQ(U(ThrIIdToStr(buf, id)), std::to_string(id));
  }
}

}  // namespace
