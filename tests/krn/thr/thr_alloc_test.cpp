// The thread library when memory runs out. Linked with the allocator
// wrapped (--wrap), so that a test can make the next allocations of the
// calling thread fail.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <vector>

#include "krn/thr/thr.h"
#include "krn/thr/thr_int.h"
#include "support/testsupport.h"
#include "tests/krn/thr/thr_test_util.h"

extern "C" {
void* __real_malloc(size_t n);
void* __real_calloc(size_t n, size_t size);
void* __real_realloc(void* p, size_t n);
}

namespace {

thread_local int tls_failing = 0;  // allocations still to refuse

bool Refuse() {
  if (tls_failing == 0) return false;
  --tls_failing;
  return true;
}

}  // namespace

extern "C" {
void* __wrap_malloc(size_t n) { return Refuse() ? nullptr : __real_malloc(n); }
void* __wrap_calloc(size_t n, size_t size) { return Refuse() ? nullptr : __real_calloc(n, size); }
void* __wrap_realloc(void* p, size_t n) { return Refuse() ? nullptr : __real_realloc(p, n); }
}

namespace {

TEST(ThrOutOfMemory, KeysAndValues) {
  InChild([] {
    ThrKey k = THR_KEY_NONE;
    tls_failing = 1;
    EXPECT_EQ(ThrKeyGet(&k, nullptr), 7u);
    EXPECT_EQ(k, THR_KEY_NONE);
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
    // The last key's value lands at the far end of a grown table.
    EXPECT_EQ(ThrKeyVarSet(&keys.back(), &v), 0u);
    EXPECT_EQ(ThrKeyVarGet(&keys.back()), &v);
    EXPECT_EQ(ThrKeyVarGet(&keys.front()), nullptr);
    ThrKeyVarSet(&keys.back(), nullptr);
    for (ThrKey& key : keys) EXPECT_EQ(ThrKeyDelete(&key), 0u);
    EXPECT_EQ(thr::ThrIKeyCount(), 0u);
  });
}

TEST(ThrOutOfMemory, TagThatCannotBeCopied) {
  InChild([] {
    ASSERT_EQ(ThrProcInit(), 0u);
    ThrCS cs{};
    tls_failing = 1;
    EXPECT_EQ(ThrCSInit(&cs, u"tag"), 7u);
    EXPECT_NE(memcmp(&cs.magic, "ENOD", 4), 0);
    EXPECT_EQ(ThrCSInit(&cs, u"tag"), 0u);
    EXPECT_EQ(ThrCSDelete(&cs), 0u);
    ThrRecMtx m{};
    tls_failing = 1;
    EXPECT_EQ(ThrRecMtxInit(&m, u"dptrace"), 7u);
    EXPECT_EQ(ThrRecMtxInit(&m, nullptr), 0u);  // no tag, nothing to copy
  });
}

}  // namespace
