// Thread library on one thread: code texts, the inactive and active states,
// sections, keys, ids, the unlock panics and allocations that fail. Cases
// that touch process-wide state run in a fresh child. The executable is
// linked with the allocator wrapped (--wrap), so that a case can refuse the
// calling thread's next allocations.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "krn/thr/thr.h"
#include "krn/thr/thr_int.h"
#include "support/testsupport.h"

extern "C" {
void* __real_malloc(size_t n);
void* __real_calloc(size_t n, size_t size);
void* __real_realloc(void* p, size_t n);
}

namespace {
thread_local int tls_failing = 0;  // allocations of this thread still to refuse
bool Refuse() { return tls_failing > 0 && tls_failing-- > 0; }
}  // namespace

extern "C" {
void* __wrap_malloc(size_t n) { return Refuse() ? nullptr : __real_malloc(n); }
void* __wrap_calloc(size_t n, size_t size) { return Refuse() ? nullptr : __real_calloc(n, size); }
void* __wrap_realloc(void* p, size_t n) { return Refuse() ? nullptr : __real_realloc(p, n); }
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

TEST(ThrErrTxt, CodesAndBeyond) {
  const std::pair<ThrRc, const char*> table[] = {
      {0, "Operation completed successfully."},
      {10, "Attempt was made to unlock a critical section owned by another thread."},
      {15, "Operation timed out."},
      {16, "Error code not defined by the thread library."},
      {0xFFFFFFFFu, "Error code not defined by the thread library."},
  };
  for (const auto& [rc, text] : table) EXPECT_EQ(U(ThrErrTxt(rc)), text) << "rc " << rc;
}

// Inactive, the locks do nothing; an explicit section initialises the library
// without activating it; exit and a new initialisation; and ThrProcExit runs
// from atexit unless ThrSetNoAtexit came first.
TEST(ThrLifeCycle, InactiveActiveExitAndAtexit) {
  for (bool noAtexit : {false, true}) {
    tovtest::ChildResult r = tovtest::RunInChild([noAtexit] {
      // Registered before initialisation, so it runs after ThrProcExit.
      atexit([] { fputs(ThrIsInit() ? "active" : "inactive", stdout); });
      if (noAtexit) ThrSetNoAtexit();
      ThrCS cs{}, zero{};
      ThrMtx m, copy;
      memset(&m, 0xAB, sizeof m);
      copy = m;
      // No panic for the second unlock while inactive.
      EXPECT_EQ((Rcs{ThrCSLock(&cs), ThrCSUnlock(&cs), ThrCSUnlock(&cs), ThrCSDelete(&cs), ThrMtxLock(&m),
                     ThrMtxUnlock(&m), ThrMtxDelete(&m), ThrThreadExit()}),
                (Rcs{0, 0, 0, 0, 0, 0, 8, 5}));
      EXPECT_EQ(memcmp(&cs, &zero, sizeof cs), 0);
      EXPECT_EQ(memcmp(&m, &copy, sizeof m), 0);
      EXPECT_EQ(ThrCSInit(&cs, u"early"), 0u);
      EXPECT_EQ(memcmp(&cs.magic, "ENOD", 4), 0);
      EXPECT_EQ(U(cs.tag), "early");
      EXPECT_EQ((Rcs{ThrIsInit(), ThrCSLock(&cs), ThrRc(cs.count), ThrThreadExit(), ThrThreadExit()}),
                (Rcs{0, 0, 0, 0, 5}));
      EXPECT_EQ((Rcs{ThrProcInit(), ThrProcInit(), ThrIsInit()}), (Rcs{0, 0, 1}));
      ThrProcExit();
      ThrCS later{};
      EXPECT_EQ((Rcs{ThrIsInit(), ThrCSLock(&later), later.magic}), (Rcs{0, 0, 0}));
      // The new initialisation lists this thread again.
      EXPECT_EQ((Rcs{ThrProcInit(), ThrCSLock(&later), ThrCSUnlock(&later), ThrThreadExit()}), (Rcs{0, 0, 0, 0}));
      if (::testing::Test::HasFailure()) return 1;
      exit(0);
    });
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out, noAtexit ? "active" : "inactive");
  }
}

// The three kinds nest; a zero-filled section is initialised by its first
// lock; a thread that does not hold a lock cannot unlock it (a misuse that the
// thread checker reports for the plain mutex, hence tested here only).
TEST(ThrLocks, NestingOwnersAndInitialisation) {
  InChild([] {
    ThrRecMtx rec{};  // works before the library is active
    ThrMtx m;
    ASSERT_EQ((Rcs{ThrRecMtxInit(&rec, u"dptrace"), ThrMtxInit(&m, u"NI hdl section"), ThrProcInit()}),
              (Rcs{0, 0, 0}));
    static ThrCS lazy;
    EXPECT_EQ((Rcs{ThrRecMtxLock(&rec), ThrRecMtxLock(&rec), ThrCSLock(&lazy), ThrCSLock(&lazy), ThrMtxLock(&m),
                   ThrMtxLock(&m)}),
              (Rcs{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(memcmp(&lazy.magic, "ENOD", 4), 0);
    EXPECT_EQ(lazy.owner, static_cast<int32_t>(ThrCurrentId()));
    std::thread([&] {
      EXPECT_EQ((Rcs{ThrRecMtxUnlock(&rec), ThrCSUnlock(&lazy), ThrMtxUnlock(&m)}), (Rcs{10, 10, 10}));
    }).join();
    EXPECT_EQ((Rcs{ThrRc(rec.count), ThrRc(lazy.count), ThrRecMtxUnlock(&rec), ThrRecMtxUnlock(&rec),
                   ThrCSUnlock(&lazy), ThrCSUnlock(&lazy), ThrRc(lazy.count), ThrMtxUnlock(&m), ThrMtxUnlock(&m),
                   ThrMtxUnlock(&m), ThrMtxDelete(&m)}),
              (Rcs{2, 2, 0, 0, 0, 0, 0, 0, 0, 10, 0}));
    EXPECT_EQ(lazy.owner, -1);
    std::thread([] { EXPECT_EQ((Rcs{ThrCSLock(&lazy), ThrCSUnlock(&lazy)}), (Rcs{0, 0})); }).join();  // free again
    free(rec.tag);
    ThrCS named{};
    EXPECT_EQ((Rcs{ThrCSInit(&named, u"first tag"), ThrCSInit(&named, u"second tag")}), (Rcs{0, 3}));
    EXPECT_EQ(U(named.tag), "first tag");
    // Deleted, it is uninitialised until initialised again.
    EXPECT_EQ((Rcs{ThrCSDelete(&named), ThrCSDelete(&named), ThrCSUnlock(&named), ThrCSInit(&named, nullptr),
                   ThrCSDelete(&named)}),
              (Rcs{0, 8, 8, 0, 0}));
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

using Calls = std::vector<std::pair<int, void*>>;
Calls g_calls;
template <int N>
void Record(void* v) {
  g_calls.emplace_back(N, v);
}

TEST(ThrKey, CreateDeleteReuseAndCleanupNewestFirst) {
  InChild([] {
    ThrKey k = THR_KEY_NONE;
    EXPECT_EQ((Rcs{ThrKeyGet(&k, Record<0>), ThrKeyGet(&k, nullptr)}), (Rcs{0, 3}));
    const ThrKey first = k;
    ThrKey stale = first;
    EXPECT_EQ((Rcs{ThrKeyDelete(&k), ThrRc(k == THR_KEY_NONE), ThrKeyDelete(&k), ThrKeyDelete(&stale)}),
              (Rcs{0, 1, 2, 6}));
    ThrKey again = first;  // a handle without a live key counts as not created
    ASSERT_EQ(ThrKeyGet(&again, Record<1>), 0u);
    EXPECT_EQ(again & thr::kIndexMask, first & thr::kIndexMask);  // the index again,
    EXPECT_NE(again, first);                                      // a new key
    int a = 1, b = 2, c = 3;
    ThrKey copy = first;  // the deleted key neither stores nor sees
    EXPECT_EQ((Rcs{ThrKeyVarSet(&copy, &a), ThrKeyVarSet(&again, &a)}), (Rcs{6, 0}));
    EXPECT_EQ(ThrKeyVarGet(&copy), nullptr);

    ThrKey plain = THR_KEY_NONE, last = THR_KEY_NONE;
    EXPECT_EQ(ThrKeyVarGet(&plain), nullptr);  // created on demand, without destructor
    EXPECT_NE(plain, THR_KEY_NONE);
    ASSERT_EQ((Rcs{ThrKeyGet(&k, Record<2>), ThrKeyGet(&last, Record<3>)}), (Rcs{0, 0}));
    EXPECT_EQ(thr::ThrIKeyCount(), 4u);
    EXPECT_EQ((Rcs{ThrKeyVarSet(&plain, &b), ThrKeyVarSet(&last, &c)}), (Rcs{0, 0}));
    ThrKeyCleanup();
    // Each destructor gets the value it cleared, NULL for none.
    EXPECT_EQ(g_calls, (Calls{{3, &c}, {2, nullptr}, {1, &a}}));
    EXPECT_EQ(ThrKeyVarGet(&again), nullptr);
    EXPECT_EQ(ThrKeyVarGet(&plain), &b);  // a key without destructor keeps its value
    ASSERT_EQ(ThrKeyDelete(&k), 0u);
    g_calls.clear();
    ThrKeyCleanup();
    EXPECT_EQ(g_calls, (Calls{{3, nullptr}, {1, nullptr}}));
  });
}

TEST(ThrId, KernelThreadIdAndItsText) {
  EXPECT_EQ(ThrCurrentId(), static_cast<ThrId>(syscall(SYS_gettid)));
  EXPECT_EQ((Rcs{ThrRc(ThrIdEqual(ThrCurrentId(), ThrCurrentId())), ThrRc(ThrIdEqual(1, 2))}), (Rcs{1, 0}));
  ThrId parent = ThrCurrentId();
  // A forked child does not keep its parent's cached id.
  tovtest::ChildResult r = tovtest::RunInChild([parent] {
    ThrId id = ThrCurrentId();
    return id == static_cast<ThrId>(syscall(SYS_gettid)) && id != parent ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0);
  for (ThrId id : {0u, 9u, 10u, 2147483648u, 4294967295u}) {
    WEQ_UC buf[THR_ID_STR_LEN];
    EXPECT_EQ(U(ThrIdToStr(buf, id)), std::to_string(id));
    EXPECT_EQ(U(ThrIIdToStr(buf, id)), std::to_string(id));
  }
}

TEST(ThrOutOfMemory, KeysValuesAndTags) {
  InChild([] {
    ThrKey k = THR_KEY_NONE;
    tls_failing = 1;
    EXPECT_EQ(ThrKeyGet(&k, nullptr), 7u);
    tls_failing = 1;  // a key created on demand
    EXPECT_EQ(ThrKeyVarGet(&k), nullptr);
    EXPECT_EQ(k, THR_KEY_NONE);
    // The failures gave back their index: every one is still to be had.
    std::vector<ThrKey> keys(thr::kMaxKeys, THR_KEY_NONE);
    for (ThrKey& key : keys) ASSERT_EQ(ThrKeyGet(&key, nullptr), 0u);
    EXPECT_EQ(ThrKeyGet(&k, nullptr), 14u);
    int v = 1;
    tls_failing = 1;  // the thread's table cannot grow
    EXPECT_EQ(ThrKeyVarSet(&keys.back(), &v), 6u);
    EXPECT_EQ(ThrKeyVarGet(&keys.back()), nullptr);
    EXPECT_EQ(ThrKeyVarSet(&keys.back(), &v), 0u);  // at the far end of a grown table
    EXPECT_EQ(ThrKeyVarGet(&keys.back()), &v);
    ThrKeyVarSet(&keys.back(), nullptr);
    for (ThrKey& key : keys) EXPECT_EQ(ThrKeyDelete(&key), 0u);

    ASSERT_EQ(ThrProcInit(), 0u);
    ThrCS cs{};
    ThrRecMtx m{};
    tls_failing = 1;
    EXPECT_EQ(ThrCSInit(&cs, u"tag"), 7u);
    EXPECT_NE(memcmp(&cs.magic, "ENOD", 4), 0);
    tls_failing = 1;
    EXPECT_EQ(ThrRecMtxInit(&m, u"dptrace"), 7u);
    EXPECT_EQ((Rcs{ThrCSInit(&cs, u"tag"), ThrCSDelete(&cs), ThrRecMtxInit(&m, nullptr)}), (Rcs{0, 0, 0}));
  });
}

}  // namespace
