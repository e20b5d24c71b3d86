// Thread library on one thread: code texts, the inactive and active states,
// sections, keys, ids, the unlock panics and allocations that fail. Cases
// that touch process-wide state run in a fresh child. The executable is
// linked with calloc wrapped (--wrap), so that a case can refuse the calling
// thread's next one.
#include "krn/thr/thr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "krn/thr/thr_int.h"
#include "support/testsupport.h"

thread_local bool tls_refuse = false;  // refuse this thread's next calloc

extern "C" {
void* __real_calloc(size_t n, size_t size);
void* __wrap_calloc(size_t n, size_t size) {
  return std::exchange(tls_refuse, false) ? nullptr : __real_calloc(n, size);
}
}

namespace {

// Results of calls made in order (a braced list evaluates left to right).
using Rcs = std::vector<ThrRc>;

std::string U(const WEQ_UC* s) { return s ? tovtest::ToUtf8(s) : "(null)"; }

// Runs body in a fresh child, so that it starts from an untouched library.
void InChild(const std::function<void()>& body) {
  tovtest::ChildResult r = tovtest::RunInChild([&] {
    body();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

// Inactive, the locks do nothing (no panic for a second unlock either); an
// explicit section initialises the library without activating it; exit and
// a new initialisation; ThrProcExit runs from atexit unless ThrSetNoAtexit
// came first.
TEST(ThrLifeCycle, InactiveActiveExitAndAtexit) {
  for (bool noAtexit : {false, true}) {
    tovtest::ChildResult r = tovtest::RunInChild([noAtexit] {
      // Registered before initialisation, so it runs after ThrProcExit.
      atexit([] { fputs(ThrIsInit() ? "active" : "inactive", stdout); });
      if (noAtexit) ThrSetNoAtexit();
      ThrCS cs{}, zero{};
      ThrMtx m;
      memset(&m, 0xAB, sizeof m);  // not a mutex: never touched
      EXPECT_EQ((Rcs{ThrCSLock(&cs), ThrCSUnlock(&cs), ThrCSUnlock(&cs), ThrCSDelete(&cs), ThrMtxLock(&m),
                     ThrMtxUnlock(&m), ThrMtxDelete(&m), ThrThreadExit()}),
                (Rcs{0, 0, 0, 0, 0, 0, 8, 5}));
      EXPECT_EQ(memcmp(&cs, &zero, sizeof cs), 0);
      EXPECT_EQ((Rcs{ThrCSInit(&cs, u"early"), ThrCSInit(&cs, u"late"), ThrIsInit(), ThrThreadExit(),
                     ThrThreadExit()}),
                (Rcs{0, 3, 0, 0, 5}));
      EXPECT_EQ(U(cs.tag), "early");
      // Active; a deleted section is uninitialised until initialised again.
      EXPECT_EQ((Rcs{ThrProcInit(), ThrProcInit(), ThrIsInit(), ThrCSDelete(&cs), ThrCSDelete(&cs),
                     ThrCSUnlock(&cs), ThrCSInit(&cs, nullptr)}),
                (Rcs{0, 0, 1, 0, 8, 8, 0}));
      ThrProcExit();
      ThrCS later{};
      EXPECT_EQ((Rcs{ThrIsInit(), ThrCSLock(&later), later.magic}), (Rcs{0, 0, 0}));
      // The new initialisation lists this thread again.
      EXPECT_EQ((Rcs{ThrProcInit(), ThrThreadExit()}), (Rcs{0, 0}));
      if (::testing::Test::HasFailure()) return 1;
      exit(0);
    });
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out, noAtexit ? "active" : "inactive");
  }
}

// The three kinds nest; a zero-filled section is initialised by its first
// lock; a thread that does not hold a lock cannot unlock it (a misuse that
// the thread checker reports for the plain mutex, hence tested here only).
TEST(ThrLocks, NestingAndOwners) {
  InChild([] {
    ThrRecMtx rec{};  // works before the library is active
    ThrMtx m;
    ASSERT_EQ((Rcs{ThrRecMtxInit(&rec, u"rec"), ThrMtxInit(&m, nullptr), ThrProcInit()}), (Rcs{0, 0, 0}));
    static ThrCS lazy;
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ((Rcs{ThrRecMtxLock(&rec), ThrCSLock(&lazy), ThrMtxLock(&m)}), (Rcs{0, 0, 0}));
    }
    for (int i = 0; i < 2; ++i) {
      std::thread([&] {
        EXPECT_EQ((Rcs{ThrRecMtxUnlock(&rec), ThrCSUnlock(&lazy), ThrMtxUnlock(&m)}), (Rcs{10, 10, 10}));
      }).join();
      EXPECT_EQ((Rcs{ThrRecMtxUnlock(&rec), ThrCSUnlock(&lazy), ThrMtxUnlock(&m)}), (Rcs{0, 0, 0}));
    }
    EXPECT_EQ((Rcs{ThrMtxUnlock(&m), ThrMtxDelete(&m)}), (Rcs{10, 0}));
    free(rec.tag);
  });
}

// The panic line names the tag, or "not set", and the process aborts.
TEST(ThrPanicDeathTest, UnlockMoreOftenThanLocked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  static ThrCS cs;
  EXPECT_DEATH(
      {
        ThrProcInit();
        ThrCSLock(&cs);
        ThrCSUnlock(&cs);
        ThrCSUnlock(&cs);
      },
      "^ThrCSUnlock: PANIC: #unlock > #lock, tag: \"not set\"\n");
  ThrRecMtx m{};
  ThrRecMtxInit(&m, u"dptrace");
  EXPECT_DEATH(ThrRecMtxUnlock(&m), "^ThrRecMtxUnlock: PANIC: #unlock > #lock, tag: \"dptrace\"\n");
  free(m.tag);
}

using Calls = std::vector<std::pair<int, void*>>;
Calls g_calls;
template <int N>
void Record(void* v) {
  g_calls.emplace_back(N, v);
}

// Thread end runs the destructors (see the threads test); here: handles of
// deleted keys, keys made on demand, and a cleanup on the calling thread.
TEST(ThrKey, CreateDeleteReuseCleanupAndOutOfMemory) {
  InChild([] {
    ThrKey k = THR_KEY_NONE, plain = THR_KEY_NONE;
    EXPECT_EQ((Rcs{ThrKeyGet(&k, Record<0>), ThrKeyGet(&k, nullptr)}), (Rcs{0, 3}));
    const ThrKey first = k;
    ThrKey stale = first;
    EXPECT_EQ((Rcs{ThrKeyDelete(&k), ThrKeyDelete(&k), ThrKeyDelete(&stale)}), (Rcs{0, 2, 6}));
    ThrKey again = first;  // a handle without a live key counts as not created
    ASSERT_EQ(ThrKeyGet(&again, Record<1>), 0u);
    EXPECT_NE(again, first);  // the same index, but a new key
    int a = 1, b = 2;
    stale = first;  // the deleted key neither stores nor sees
    EXPECT_EQ((Rcs{ThrKeyVarSet(&stale, &a), ThrKeyVarSet(&again, &a), ThrKeyVarSet(&plain, &b)}),
              (Rcs{6, 0, 0}));
    EXPECT_EQ(ThrKeyVarGet(&stale), nullptr);
    ASSERT_EQ(ThrKeyGet(&k, Record<2>), 0u);
    ThrKeyCleanup();
    // Each destructor gets the value it cleared, NULL for none; a key
    // without destructor keeps its value.
    EXPECT_EQ(g_calls, (Calls{{2, nullptr}, {1, &a}}));
    EXPECT_EQ((std::vector<void*>{ThrKeyVarGet(&again), ThrKeyVarGet(&plain)}),
              (std::vector<void*>{nullptr, &b}));
    // A failed creation gives its index back: every free one is still to be had.
    ThrKey failed = first;  // a stale handle
    tls_refuse = true;
    EXPECT_EQ((Rcs{ThrKeyGet(&failed, nullptr), failed}), (Rcs{7, THR_KEY_NONE}));
    std::vector<ThrKey> keys(thr::kMaxKeys - 3, THR_KEY_NONE);  // beside again, plain and k
    for (ThrKey& key : keys) ASSERT_EQ(ThrKeyGet(&key, nullptr), 0u);
    EXPECT_EQ(ThrKeyGet(&failed, nullptr), 14u);
  });
}

TEST(ThrId, KernelThreadIdAndTexts) {
  const ThrId parent = ThrCurrentId();
  EXPECT_EQ(parent, static_cast<ThrId>(gettid()));
  // A forked child does not keep its parent's cached id.
  auto fresh = [parent] {
    return ThrCurrentId() == static_cast<ThrId>(gettid()) && ThrCurrentId() != parent;
  };
  EXPECT_EQ(tovtest::RunInChild([&] { return fresh() ? 0 : 1; }).exit_code, 0);
  for (ThrId id : {0u, 9u, 10u, 4294967295u}) {
    WEQ_UC buf[THR_ID_STR_LEN];
    EXPECT_EQ(U(ThrIdToStr(buf, id)), std::to_string(id));
  }
  EXPECT_EQ(U(ThrErrTxt(10)), "Attempt was made to unlock a critical section owned by another thread.");
  EXPECT_EQ(U(ThrErrTxt(16)), "Error code not defined by the thread library.");
}

}  // namespace
