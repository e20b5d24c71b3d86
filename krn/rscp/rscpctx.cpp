// Per-thread converter context: one record per thread under a thread-local
// key, reached through a thread_local pointer so that the conversion paths
// pay one compare on the way in.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "krn/rscp/rscp_int.h"
#include "krn/thr/thr.h"

std::atomic<long> rscpIThrCtxAlive{0};

namespace {

// The key; created on first use, deleted by rscpFreeThrCtx. Read through
// atomic_ref because the thread library writes it that way.
ThrKey gKey = THR_KEY_NONE;
// Raised whenever the key is deleted: a thread whose cached pointer carries
// an older generation asks the key again.
std::atomic<uint32_t> gGeneration{1};
std::atomic<uint32_t> gFailures{0};
// Shared by all threads that could not get a key of their own.
rscpThrCtx_t gFallback;

struct Cached {
  rscpThrCtx_t* ctx;
  uint32_t generation;
};
thread_local Cached tCached{nullptr, 0};

ThrKey CurrentKey() { return std::atomic_ref<ThrKey>(gKey).load(std::memory_order_acquire); }

void FreeRecord(void* value) {
  if (value != nullptr) rscpIThrCtxAlive.fetch_sub(1, std::memory_order_relaxed);
  free(value);
}

// Key destructor: runs on the ending thread.
void FreeCtx(void* value) {
  if (tCached.ctx == value) tCached = {nullptr, 0};
  FreeRecord(value);
}

// Everything but the per-table read counters, which only the flush zeroes.
void ZeroRecord(rscpThrCtx_t* ctx) {
  uint32_t reads[RSCP_TABLES];
  memcpy(reads, ctx->tableReads, sizeof reads);
  memset(static_cast<void*>(ctx), 0, sizeof *ctx);
  memcpy(ctx->tableReads, reads, sizeof reads);
}

rscpThrCtx_t* Fallback(const char* line) {
  gFailures.fetch_add(1, std::memory_order_relaxed);
  fputs(line, stderr);
  return &gFallback;
}

[[gnu::noinline]] rscpThrCtx_t* GetSlow(uint32_t generation) {
  ThrRc rc = ThrKeyGet(&gKey, FreeCtx);
  if (rc != THR_ERR_OK && rc != THR_ERR_EXISTS) return Fallback("rscpmc5: ThrKeyGet failed\n");
  auto* value = static_cast<rscpThrCtx_t*>(ThrKeyVarGet(&gKey));
  // A cached record that is not the key's value belonged to a key deleted
  // since; no destructor will ever see it.
  if (tCached.ctx != nullptr && tCached.ctx != value) FreeRecord(tCached.ctx);
  tCached = {nullptr, 0};
  if (value != nullptr) {
    tCached = {value, generation};
    return value;
  }
  auto* ctx = static_cast<rscpThrCtx_t*>(malloc(sizeof(rscpThrCtx_t)));
  if (ctx == nullptr) abort();
  rscpIThrCtxAlive.fetch_add(1, std::memory_order_relaxed);
  memset(static_cast<void*>(ctx), 0, sizeof *ctx);
  if (ThrKeyVarSet(&gKey, ctx) != THR_ERR_OK) {
    FreeRecord(ctx);
    ctx = Fallback("rscpmc5: ThrKeyVarSet failed\n");
  } else {
    tCached = {ctx, generation};
  }
  ZeroRecord(ctx);
  return ctx;
}

}  // namespace

rscpThrCtx_t* rscpGetThrCtx(void) {
  const uint32_t generation = gGeneration.load(std::memory_order_acquire);
  if (tCached.ctx != nullptr && tCached.generation == generation) [[likely]] {
    return tCached.ctx;
  }
  return GetSlow(generation);
}

void rscpFreeThrCtx(void) {
  if (CurrentKey() != THR_KEY_NONE) {
    void* value = ThrKeyVarGet(&gKey);
    if (tCached.ctx != nullptr && tCached.ctx != value) FreeRecord(tCached.ctx);
    tCached = {nullptr, 0};
    FreeRecord(value);
    ThrKeyVarSet(&gKey, nullptr);
    ThrKeyDelete(&gKey);
  }
  gGeneration.fetch_add(1, std::memory_order_acq_rel);
}

uint32_t rscpGetThrCtxFailures() { return gFailures.load(std::memory_order_relaxed); }

void rscpIResetCtx() { gFailures.store(0, std::memory_order_relaxed); }
