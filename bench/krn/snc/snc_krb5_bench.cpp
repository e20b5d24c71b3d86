// SNC data protection over established MIT Kerberos contexts in a
// throw-away realm: a 32 KiB message through SncProcessOutput on one side
// and SncProcessInput on the other, beside the GSS-API calls alone on the
// same contexts (wrap and unwrap at privacy, get_mic and verify_mic at
// integrity) and beside a plain copy at authentication level. Each token is
// consumed once and in order, so the contexts' sequence checks pass.
#include <benchmark/benchmark.h>
#include <string.h>

#include <string>
#include <vector>

#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "krn/thr/thr.h"
#include "tests/krn/snc/snc_krb5_realm.h"

namespace {

constexpr size_t kMsg = 32 * 1024;

struct BenchPair {
  SNC_HDL ini = nullptr, acc = nullptr;
};
BenchPair gPair[4];  // by QOP level 1..3
std::vector<uint8_t> gMsg(kMsg, 'm');

// Hands every frame to the other side until the initiator's message is
// through; false on any failure.
bool Shuttle(BenchPair& p, const std::string& text) {
  for (int round = 0; round < 20; ++round) {
    uint8_t done = 0;
    const void* out = nullptr;
    size_t outLen = 0;
    if (SncProcessOutput(p.ini, text.data(), text.size(), &done, &out, &outLen) != WEQ_O_K) return false;
    SNC_HDL to = p.acc;
    std::vector<uint8_t> frame(static_cast<const uint8_t*>(out), static_cast<const uint8_t*>(out) + outLen);
    while (!frame.empty()) {
      const void *data = nullptr, *back = nullptr;
      size_t dataLen = 0, backLen = 0;
      if (SncProcessInput(to, frame.data(), frame.size(), &data, &dataLen, &back, &backLen) != WEQ_O_K) return false;
      frame.assign(static_cast<const uint8_t*>(back), static_cast<const uint8_t*>(back) + backLen);
      to = to == p.acc ? p.ini : p.acc;
    }
    if (done) return true;
  }
  return false;
}

bool Establish(int qop) {
  BenchPair& p = gPair[qop];
  return SncSessionInit(&p.ini) == WEQ_O_K && SncSessionInit(&p.acc) == WEQ_O_K &&
         SncSessionInitiator(p.ini, 1, 0, "p:snc/localhost@TEST.REALM") == WEQ_O_K &&
         SncSetQOP(p.ini, qop, 9, qop) == WEQ_O_K && SncSetQOP(p.acc, qop, 9, qop) == WEQ_O_K &&
         SncSessionAcceptor(p.acc, 0) == WEQ_O_K && Shuttle(p, "hello");
}

void RoundTrip(benchmark::State& st, int qop) {
  BenchPair& p = gPair[qop];
  for (auto _ : st) {
    uint8_t done = 0;
    const void* out = nullptr;
    size_t outLen = 0;
    const void *data = nullptr, *back = nullptr;
    size_t dataLen = 0, backLen = 0;
    if (SncProcessOutput(p.ini, gMsg.data(), kMsg, &done, &out, &outLen) != WEQ_O_K || !done ||
        SncProcessInput(p.acc, out, outLen, &data, &dataLen, &back, &backLen) != WEQ_O_K || dataLen != kMsg) {
      st.SkipWithError("round trip failed");
      break;
    }
    benchmark::DoNotOptimize(data);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kMsg));
}

void BM_Privacy32K(benchmark::State& st) { RoundTrip(st, 3); }
void BM_Integrity32K(benchmark::State& st) { RoundTrip(st, 2); }
void BM_Authentication32K(benchmark::State& st) { RoundTrip(st, 1); }

void BM_Privacy32K__ref(benchmark::State& st) {
  const SncAdapter* a = gSncAdapter[0];
  gss_ctx_id_t ini = gPair[3].ini->ctx, acc = gPair[3].acc->ctx;
  gss_buffer_desc msg = {kMsg, gMsg.data()};
  for (auto _ : st) {
    OM_uint32 minor = 0;
    gss_buffer_desc tok = GSS_C_EMPTY_BUFFER, back = GSS_C_EMPTY_BUFFER;
    int conf = 0;
    gss_qop_t qop = 0;
    if (SncGss<SNC_FN_wrap>(a)(&minor, ini, 1, 0, &msg, &conf, &tok) != GSS_S_COMPLETE ||
        SncGss<SNC_FN_unwrap>(a)(&minor, acc, &tok, &back, &conf, &qop) != GSS_S_COMPLETE || back.length != kMsg) {
      st.SkipWithError("wrap failed");
      break;
    }
    benchmark::DoNotOptimize(back.value);
    SncGss<SNC_FN_release_buffer>(a)(&minor, &tok);
    SncGss<SNC_FN_release_buffer>(a)(&minor, &back);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kMsg));
}

void BM_Integrity32K__ref(benchmark::State& st) {
  const SncAdapter* a = gSncAdapter[0];
  gss_ctx_id_t ini = gPair[2].ini->ctx, acc = gPair[2].acc->ctx;
  gss_buffer_desc msg = {kMsg, gMsg.data()};
  for (auto _ : st) {
    OM_uint32 minor = 0;
    gss_buffer_desc tok = GSS_C_EMPTY_BUFFER;
    gss_qop_t qop = 0;
    if (SncGss<SNC_FN_get_mic>(a)(&minor, ini, 0, &msg, &tok) != GSS_S_COMPLETE ||
        SncGss<SNC_FN_verify_mic>(a)(&minor, acc, &msg, &tok, &qop) != GSS_S_COMPLETE) {
      st.SkipWithError("mic failed");
      break;
    }
    benchmark::DoNotOptimize(tok.value);
    SncGss<SNC_FN_release_buffer>(a)(&minor, &tok);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kMsg));
}

void BM_Authentication32K__ref(benchmark::State& st) {
  std::vector<uint8_t> copy(kMsg);
  for (auto _ : st) {
    memcpy(copy.data(), gMsg.data(), kMsg);
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * kMsg));
}

}  // namespace

BENCHMARK(BM_Privacy32K);
BENCHMARK(BM_Privacy32K__ref);
BENCHMARK(BM_Integrity32K);
BENCHMARK(BM_Integrity32K__ref);
BENCHMARK(BM_Authentication32K);
BENCHMARK(BM_Authentication32K__ref);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ThrProcInit();
  snckrb5::Realm realm;
  if (!realm.StartForSnc("snc_krb5_bench")) return 1;
  uint8_t avail = 0;
  if (SncInit(0, nullptr, &avail) != WEQ_O_K || avail == 0) return 1;
  for (int qop = 1; qop <= 3; ++qop) {
    if (!Establish(qop)) {
      fprintf(stderr, "snc_krb5_bench: no context at level %d\n", qop);
      return 1;
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  for (BenchPair& p : gPair) {
    if (p.ini != nullptr) SncSessionDone(&p.ini);
    if (p.acc != nullptr) SncSessionDone(&p.acc);
  }
  SncIResetGlobal();
  benchmark::Shutdown();
  return 0;
}
