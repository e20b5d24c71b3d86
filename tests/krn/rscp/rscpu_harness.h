// Runs any of the 25 UTF converters on bytes, with canaries behind the
// destination and a hook that records its calls.
#ifndef TESTS_KRN_RSCP_RSCPU_HARNESS_H
#define TESTS_KRN_RSCP_RSCPU_HARNESS_H

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "krn/rscp/rscpu.h"

namespace rscputest {

using Bytes = std::vector<uint8_t>;
enum Fam { kU6, kU4, kU2 };

// One run: result, input units read, bytes written, substitutions counted,
// canaries intact, and the hook's calls with the last one's arguments (fixed:
// class 'O', mask -1, message code and parameters NULL, their lengths 0).
struct Res {
  int rc, calls, loc;
  size_t used;
  Bytes out;
  uint32_t count;
  bool canary, fixed;
  const char16_t *module, *msg;
};

inline thread_local Res* tRun = nullptr;
inline std::atomic<int> gOffset{0};

// Records the call in the running thread's result; returns kind + offset.
inline int Hook(int kind, WEQ_UC cls, int mask, const WEQ_UC* module, int loc, int, const WEQ_UC* msg,
                const WEQ_UC* code, const WEQ_UC* p1, int l1, const WEQ_UC* p2, int l2) {
  if (Res* r = tRun) {
    r->fixed = cls == u'O' && mask == -1 && !code && !p1 && !p2 && !l1 && !l2;
    r->module = module;
    r->loc = loc;
    r->msg = msg;
    ++r->calls;
  }
  return kind + gOffset.load();
}

struct HookScope {
  explicit HookScope(int offset = 0) {
    gOffset = offset;
    rscpuSetErrorFunc(Hook);
  }
  ~HookScope() { rscpuSetErrorFunc(nullptr); }
};

template <class In, class Out, class... Subst>
void Call(int (*fn)(const In**, const In*, Out**, Out*, Subst...), const uint8_t* in, size_t n,
          uint8_t* out, size_t cap, const uint32_t* subst, Res& r) {
  const In *s = reinterpret_cast<const In*>(in), *s0 = s;
  Out* d = reinterpret_cast<Out*>(out);
  Out sub = subst ? static_cast<Out>(*subst) : 0;
  if constexpr (sizeof...(Subst) == 0) r.rc = fn(&s, s + n / sizeof(In), &d, d + cap);
  else r.rc = fn(&s, s + n / sizeof(In), &d, d + cap, subst ? &sub : nullptr, &r.count);
  r.used = static_cast<size_t>(s - s0);
  r.out.assign(out, reinterpret_cast<uint8_t*>(d));
}

struct Conv {
  std::string name;
  Fam fam;  // the side that is not UTF-8
  bool dec, sw, noctrl, u46;
  std::string module;  // the module name its hook calls give
  void (*call)(const uint8_t*, size_t, uint8_t*, size_t, const uint32_t*, Res&);
  size_t in() const { return dec ? 1 : fam == kU4 ? 4 : 2; }
  size_t out() const { return u46 ? 2 : !dec ? 1 : fam == kU4 ? 4 : 2; }
};

#define RSCPU_CALL(fn)                                                              \
  [](const uint8_t* i, size_t n, uint8_t* o, size_t c, const uint32_t* s, Res& r) { \
    Call(fn, i, n, o, c, s, r);                                                     \
  }
#define RSCPU_FORM(N, F, SW, MOD)                                                                  \
  Conv{#N "_to_U8", F, false, SW, false, false, MOD, RSCPU_CALL(rscpu_##N##_to_U8)},               \
      {#N "_to_U8_noctrl", F, false, SW, true, false, MOD, RSCPU_CALL(rscpu_##N##_to_U8_noctrl)},  \
      {"U8_to_" #N, F, true, SW, false, false, MOD, RSCPU_CALL(rscpu_U8_to_##N)},                  \
      {"U8_to_" #N "_noctrl", F, true, SW, true, false, MOD, RSCPU_CALL(rscpu_U8_to_##N##_noctrl)}

inline const std::vector<Conv> kConvs = {
    RSCPU_FORM(U6, kU6, false, "rscpu86r"), RSCPU_FORM(U6sw, kU6, true, "rscpu86w"),
    RSCPU_FORM(U4, kU4, false, "rscpu84r"), RSCPU_FORM(U4sw, kU4, true, "rscpu84w"),
    RSCPU_FORM(U2, kU2, false, "rscpu82r"), RSCPU_FORM(U2sw, kU2, true, "rscpu82w"),
    {"U4_to_U6", kU4, false, false, false, true, "rscpu46r", RSCPU_CALL(rscpu_U4_to_U6)}};

// Runs c over in (exactly its bytes readable) into cap output units
// followed by canaries. The result is the calling thread's until its next run.
inline const Res& Convert(const Conv& c, const Bytes& in, size_t cap, const uint32_t* subst = nullptr) {
  thread_local Res r;
  alignas(8) thread_local uint8_t buf[4096];
  const size_t room = cap * c.out();
  std::memset(buf, 0xA5, room + 16);
  r.calls = 0;
  r.count = 0;
  tRun = &r;
  c.call(in.data(), in.size(), buf, cap, subst, r);
  tRun = nullptr;
  r.canary = r.out.size() <= room;
  for (size_t i = room; i < room + 16; ++i) r.canary = r.canary && buf[i] == 0xA5;
  return r;
}

// Units as bytes, little-endian (native here) or swapped.
inline Bytes Pack(const std::vector<uint32_t>& units, size_t size, bool swapped) {
  Bytes b;
  for (uint32_t u : units)
    for (size_t i = 0; i < size; ++i) b.push_back(uint8_t(u >> 8 * (swapped ? size - 1 - i : i)));
  return b;
}

}  // namespace rscputest

#endif
