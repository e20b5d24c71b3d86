// Thread library on one thread: return-code texts, the inactive and active
// states, sections, keys, ids and the unlock panics. Process-wide state is
// set up in child processes so that each case starts from a fresh library.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "krn/thr/thr.h"
#include "krn/thr/thr_int.h"
#include "support/testsupport.h"

namespace {

using tovtest::RunInChild;

// 16-bit text as UTF-8 for comparisons and messages.
std::string U(const WEQ_UC* s) { return s ? tovtest::ToUtf8(s) : "(null)"; }

// Runs body in a fresh child; failed expectations there show up as its
// output and a non-zero exit.
void InChild(const std::function<void()>& body) {
  tovtest::ChildResult r = RunInChild([&] {
    body();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

bool AllBytes(const void* p, size_t n, unsigned char b) {
  const auto* c = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (c[i] != b) return false;
  }
  return true;
}

TEST(ThrErrTxt, EveryCodeAndBeyond) {
  const std::vector<std::pair<ThrRc, std::string>> table = {
      {0, "Operation completed successfully."},
      {1, "Thread still alive."},
      {2, "Invalid parameter passed."},
      {3, "Attempt was made to initialize an item which already exists."},
      {4, "Thread library internal error."},
      {5, "Thread ID is invalid."},
      {6, "Thread specific data key is invalid."},
      {7, "Error occurred while attempting to allocate memory."},
      {8, "Thread library not yet initialized."},
      {9, "Attempt was made to unlock a critical section which is not currently locked."},
      {10, "Attempt was made to unlock a critical section owned by another thread."},
      {11, "Threads not supported on this platform."},
      {12, "Operating system error occurred."},
      {13, "Operation would cause the calling thread to deadlock."},
      {14, "Operation failed due to lack of resources."},
      {15, "Operation timed out."},
      {16, "Error code not defined by the thread library."},
      {0xFFFFFFFFu, "Error code not defined by the thread library."},
  };
  for (const auto& [rc, text] : table) EXPECT_EQ(U(ThrErrTxt(rc)), text) << "rc " << rc;
}

TEST(ThrLifeCycle, InactiveLocksTouchNothing) {
  InChild([] {
    EXPECT_EQ(ThrIsInit(), 0u);
    ThrCS cs{};
    EXPECT_EQ(ThrCSLock(&cs), 0u);
    EXPECT_EQ(ThrCSUnlock(&cs), 0u);
    EXPECT_EQ(ThrCSUnlock(&cs), 0u);  // no panic while inactive
    EXPECT_EQ(ThrCSDelete(&cs), 0u);
    EXPECT_TRUE(AllBytes(&cs, sizeof cs, 0));
    ThrMtx m;
    memset(&m, 0xAB, sizeof m);
    EXPECT_EQ(ThrMtxLock(&m), 0u);
    EXPECT_EQ(ThrMtxUnlock(&m), 0u);
    EXPECT_TRUE(AllBytes(&m, sizeof m, 0xAB));
    EXPECT_EQ(ThrMtxDelete(&m), 8u);
    ThrProcExit();  // without initialisation: nothing
    EXPECT_EQ(ThrIsInit(), 0u);
    EXPECT_EQ(ThrThreadExit(), 5u);
  });
}

TEST(ThrLifeCycle, SectionInitAloneLeavesLibraryInactive) {
  InChild([] {
    ThrCS cs{};
    EXPECT_EQ(ThrCSInit(&cs, u"early"), 0u);
    EXPECT_EQ(memcmp(&cs.magic, "ENOD", 4), 0);
    EXPECT_EQ(U(cs.tag), "early");
    EXPECT_EQ(cs.owner, -1);
    EXPECT_EQ(ThrIsInit(), 0u);
    EXPECT_EQ(ThrCSLock(&cs), 0u);
    EXPECT_EQ(cs.count, 0);  // still a no-op
    // The internal initialisation recorded this thread although inactive.
    EXPECT_EQ(ThrThreadExit(), 0u);
    ThrMtx m;
    EXPECT_EQ(ThrMtxInit(&m, nullptr), 0u);
    EXPECT_EQ(ThrMtxDelete(&m), 0u);  // initialised is enough
  });
}

TEST(ThrLifeCycle, InitExitInitAgain) {
  InChild([] {
    EXPECT_EQ(ThrProcInit(), 0u);
    EXPECT_EQ(ThrProcInit(), 0u);
    EXPECT_EQ(ThrIsInit(), 1u);
    EXPECT_EQ(ThrThreadExit(), 0u);
    EXPECT_EQ(ThrThreadExit(), 5u);
    ThrProcExit();
    EXPECT_EQ(ThrIsInit(), 0u);
    ThrCS cs{};
    EXPECT_EQ(ThrCSLock(&cs), 0u);
    EXPECT_EQ(cs.magic, 0u);
    EXPECT_EQ(ThrProcInit(), 0u);
    EXPECT_EQ(ThrCSLock(&cs), 0u);
    EXPECT_EQ(cs.count, 1);
    EXPECT_EQ(ThrCSUnlock(&cs), 0u);
    EXPECT_EQ(ThrThreadExit(), 0u);  // the new initialisation recorded us again
    ThrProcExit();
    ThrProcExit();
    EXPECT_EQ(ThrIsInit(), 0u);
  });
}

TEST(ThrLifeCycle, AtexitRunsProcExitUnlessSwitchedOff) {
  for (bool noAtexit : {false, true}) {
    tovtest::ChildResult r = RunInChild([noAtexit] {
      // Registered before initialisation, so it runs after ThrProcExit.
      atexit([] {
        if (ThrIsInit() != 0) fputs("still active\n", stdout);
      });
      if (noAtexit) ThrSetNoAtexit();
      ThrProcInit();
      exit(0);
      return 0;
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, noAtexit ? "still active\n" : "") << "noAtexit " << noAtexit;
  }
}

TEST(ThrCS, ActiveSectionLifeCycle) {
  InChild([] {
    ASSERT_EQ(ThrProcInit(), 0u);
    static ThrCS lazy;  // zero-filled static
    EXPECT_EQ(ThrCSLock(&lazy), 0u);
    EXPECT_EQ(memcmp(&lazy.magic, "ENOD", 4), 0);
    EXPECT_TRUE(lazy.tag == nullptr);
    EXPECT_EQ(lazy.owner, -1);
    EXPECT_EQ(lazy.count, 1);
    EXPECT_EQ(ThrCSLock(&lazy), 0u);
    EXPECT_EQ(ThrCSLock(&lazy), 0u);
    EXPECT_EQ(lazy.count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ThrCSUnlock(&lazy), 0u);
    EXPECT_EQ(lazy.count, 0);

    ThrCS named{};
    EXPECT_EQ(ThrCSInit(&named, u"first tag"), 0u);
    EXPECT_EQ(ThrCSInit(&named, u"second tag"), 3u);
    EXPECT_EQ(U(named.tag), "first tag");
    EXPECT_EQ(ThrCSDelete(&named), 0u);
    EXPECT_TRUE(named.tag == nullptr);
    EXPECT_NE(memcmp(&named.magic, "ENOD", 4), 0);
    EXPECT_EQ(ThrCSDelete(&named), 8u);
    EXPECT_EQ(ThrCSUnlock(&named), 8u);
    EXPECT_EQ(ThrCSInit(&named, nullptr), 0u);  // usable again after delete
    EXPECT_TRUE(named.tag == nullptr);
    EXPECT_EQ(ThrCSDelete(&named), 0u);
    EXPECT_EQ(ThrCSDelete(&lazy), 0u);
    EXPECT_EQ(ThrCSInit(nullptr, nullptr), 2u);
  });
}

TEST(ThrMtx, PlainAndRecursiveMutexes) {
  InChild([] {
    ThrRecMtx rec{};
    // The recursive mutex works before the library is active.
    EXPECT_EQ(ThrRecMtxInit(&rec, u"dptrace"), 0u);
    EXPECT_EQ(U(rec.tag), "dptrace");
    EXPECT_EQ(rec.owner, -1);
    EXPECT_EQ(ThrRecMtxLock(&rec), 0u);
    EXPECT_EQ(ThrRecMtxLock(&rec), 0u);
    EXPECT_EQ(rec.count, 2);
    EXPECT_EQ(ThrRecMtxUnlock(&rec), 0u);
    EXPECT_EQ(ThrRecMtxUnlock(&rec), 0u);
    EXPECT_EQ(rec.count, 0);
    free(rec.tag);

    ThrMtx m;
    EXPECT_EQ(ThrMtxInit(&m, u"NI hdl section"), 0u);
    ASSERT_EQ(ThrProcInit(), 0u);
    EXPECT_EQ(ThrMtxLock(&m), 0u);
    EXPECT_EQ(ThrMtxLock(&m), 0u);  // recursive
    EXPECT_EQ(ThrMtxUnlock(&m), 0u);
    EXPECT_EQ(ThrMtxUnlock(&m), 0u);
    EXPECT_EQ(ThrMtxUnlock(&m), 9u);  // not held any more
    EXPECT_EQ(ThrMtxDelete(&m), 0u);
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
        ThrProcInit();
        ThrCS cs{};
        ThrCSInit(&cs, u"NI hdl section");
        ThrCSUnlock(&cs);
      },
      "^ThrCSUnlock: PANIC: #unlock > #lock, tag: \"NI hdl section\"\n");
  EXPECT_DEATH(
      {
        ThrRecMtx m{};
        ThrRecMtxInit(&m, u"dptrace");
        ThrRecMtxLock(&m);
        ThrRecMtxUnlock(&m);
        ThrRecMtxUnlock(&m);
      },
      "^ThrRecMtxUnlock: PANIC: #unlock > #lock, tag: \"dptrace\"\n");
  EXPECT_DEATH(
      {
        ThrRecMtx m{};
        ThrRecMtxInit(&m, nullptr);
        ThrRecMtxUnlock(&m);
      },
      "^ThrRecMtxUnlock: PANIC: #unlock > #lock, tag: \"not set\"\n");
}

int g_calls[4];
void* g_seen[4];
std::vector<int>* g_order;
template <int N>
void Record(void* v) {
  ++g_calls[N];
  g_seen[N] = v;
  if (g_order) g_order->push_back(N);
}

TEST(ThrKey, CreateDeleteAndDemandCreation) {
  InChild([] {
    ThrKey k = THR_KEY_NONE;
    EXPECT_EQ(ThrKeyGet(&k, nullptr), 0u);
    EXPECT_NE(k, THR_KEY_NONE);
    ThrKey first = k;
    EXPECT_EQ(ThrKeyGet(&k, Record<0>), 3u);
    EXPECT_EQ(k, first);
    EXPECT_EQ(ThrKeyDelete(&k), 0u);
    EXPECT_EQ(k, THR_KEY_NONE);
    EXPECT_EQ(ThrKeyDelete(&k), 2u);
    ThrKey stale = first;
    EXPECT_EQ(ThrKeyDelete(&stale), 6u);
    EXPECT_EQ(stale, THR_KEY_NONE);
    // A stale handle without a node counts as not created.
    stale = first;
    EXPECT_EQ(ThrKeyGet(&stale, nullptr), 0u);
    EXPECT_NE(stale, first);
    EXPECT_EQ(ThrKeyDelete(&stale), 0u);

    ThrKey lazy = THR_KEY_NONE;
    uint32_t before = thr::ThrIKeyCount();
    EXPECT_EQ(ThrKeyVarGet(&lazy), nullptr);
    EXPECT_NE(lazy, THR_KEY_NONE);
    EXPECT_EQ(thr::ThrIKeyCount(), before + 1);
    ThrKey lazySet = THR_KEY_NONE;
    int x = 0;
    EXPECT_EQ(ThrKeyVarSet(&lazySet, &x), 0u);
    EXPECT_EQ(ThrKeyVarGet(&lazySet), &x);
    EXPECT_EQ(ThrKeyVarGet(&lazy), nullptr);
    EXPECT_EQ(ThrKeyVarSet(&lazySet, nullptr), 0u);
    EXPECT_EQ(ThrKeyVarGet(&lazySet), nullptr);
    EXPECT_EQ(ThrKeyGet(nullptr, nullptr), 2u);
  });
}

TEST(ThrKey, ReusedIndexHidesTheOldValue) {
  InChild([] {
    int a = 1, b = 2;
    ThrKey k1 = THR_KEY_NONE;
    ASSERT_EQ(ThrKeyVarSet(&k1, &a), 0u);
    ThrKey old = k1;
    ASSERT_EQ(ThrKeyDelete(&k1), 0u);
    ThrKey k2 = THR_KEY_NONE;
    ASSERT_EQ(ThrKeyGet(&k2, nullptr), 0u);
    EXPECT_EQ(k2 & thr::kIndexMask, old & thr::kIndexMask);  // the lowest free index again
    EXPECT_NE(k2, old);
    EXPECT_EQ(ThrKeyVarGet(&k2), nullptr);
    ThrKey copy = old;  // a copy of the deleted key cannot store any more
    EXPECT_EQ(ThrKeyVarSet(&copy, &b), 6u);
    EXPECT_EQ(ThrKeyVarSet(&k2, &b), 0u);
    EXPECT_EQ(ThrKeyVarGet(&k2), &b);
    EXPECT_EQ(ThrKeyVarGet(&copy), nullptr);
  });
}

TEST(ThrKey, CleanupRunsDestructorsNewestFirst) {
  InChild([] {
    std::vector<int> order;
    g_order = &order;
    ThrKey k0 = THR_KEY_NONE, k1 = THR_KEY_NONE, k2 = THR_KEY_NONE, plain = THR_KEY_NONE;
    ASSERT_EQ(ThrKeyGet(&k0, Record<0>), 0u);
    ASSERT_EQ(ThrKeyGet(&plain, nullptr), 0u);
    ASSERT_EQ(ThrKeyGet(&k1, Record<1>), 0u);
    ASSERT_EQ(ThrKeyGet(&k2, Record<2>), 0u);
    int v0 = 0, v2 = 2, vp = 9;
    ASSERT_EQ(ThrKeyVarSet(&k0, &v0), 0u);
    ASSERT_EQ(ThrKeyVarSet(&k2, &v2), 0u);
    ASSERT_EQ(ThrKeyVarSet(&plain, &vp), 0u);
    ThrKeyCleanup();
    EXPECT_EQ(order, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(g_seen[2], &v2);
    EXPECT_EQ(g_seen[1], nullptr);  // no value: the destructor still runs, with NULL
    EXPECT_EQ(g_seen[0], &v0);
    EXPECT_EQ(ThrKeyVarGet(&k0), nullptr);
    EXPECT_EQ(ThrKeyVarGet(&k2), nullptr);
    EXPECT_EQ(ThrKeyVarGet(&plain), &vp);  // keys without a destructor keep their value
    ASSERT_EQ(ThrKeyDelete(&k1), 0u);
    order.clear();
    ThrKeyCleanup();
    EXPECT_EQ(order, (std::vector<int>{2, 0}));
    g_order = nullptr;
  });
}

TEST(ThrKey, RunningOutOfKeys) {
  InChild([] {
    std::vector<ThrKey> keys;
    for (;;) {
      ThrKey k = THR_KEY_NONE;
      ThrRc rc = ThrKeyGet(&k, nullptr);
      if (rc != 0) {
        EXPECT_EQ(rc, 14u);
        EXPECT_EQ(k, THR_KEY_NONE);
        break;
      }
      keys.push_back(k);
      if (keys.size() > thr::kMaxKeys) break;
    }
    EXPECT_EQ(keys.size(), thr::kMaxKeys);
    // The last key's value lands at the far end of a grown table.
    int v = 5;
    EXPECT_EQ(ThrKeyVarSet(&keys.back(), &v), 0u);
    EXPECT_EQ(ThrKeyVarGet(&keys.back()), &v);
    EXPECT_EQ(thr::ThrIThreadTableCapacity(), thr::kMaxKeys);
    EXPECT_EQ(ThrKeyVarSet(&keys.back(), nullptr), 0u);
    for (ThrKey& k : keys) EXPECT_EQ(ThrKeyDelete(&k), 0u);
    EXPECT_EQ(thr::ThrIKeyCount(), 0u);
    thr::ThrIReleaseThreadTable();
    EXPECT_EQ(thr::ThrIThreadTableCapacity(), 0u);
  });
}

TEST(ThrId, CurrentIdIsTheKernelThreadId) {
  EXPECT_EQ(ThrCurrentId(), static_cast<ThrId>(syscall(SYS_gettid)));
  EXPECT_EQ(ThrIdEqual(ThrCurrentId(), ThrCurrentId()), 1);
  EXPECT_EQ(ThrIdEqual(1, 2), 0);
  ThrId parent = ThrCurrentId();
  // A forked child does not keep its parent's cached id.
  tovtest::ChildResult r = RunInChild([parent] {
    ThrId id = ThrCurrentId();
    return id == static_cast<ThrId>(syscall(SYS_gettid)) && id != parent ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
}

TEST(ThrId, DecimalText) {
  for (ThrId id : {0u, 1u, 9u, 10u, 4711u, 99999u, 2147483647u, 2147483648u, 4294967295u}) {
    WEQ_UC buf[THR_ID_STR_LEN];
    std::string want = std::to_string(id);
    EXPECT_EQ(U(ThrIdToStr(buf, id)), want);
    EXPECT_EQ(U(ThrIIdToStr(buf, id)), want);
  }
}

}  // namespace
