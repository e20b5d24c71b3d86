// The cost of SNC on a conversation over MIT Kerberos in a throw-away
// realm: a 32,000-byte round trip at privacy (QOP 3) from a client of ours
// through gw_peer's relay to a registered server of ours that echoes it,
// minus the same round trip on an unprotected conversation measured in the
// same iteration (BM_ProtectedRoundTrip32K), beside the four calls of the
// SNC layer that the protected round trip makes, SncProcessOutput and
// SncProcessInput each way, on a local pair of established sessions
// (reference "calls"). The difference is the protection and the
// conversation layer's glue around it.
#include <benchmark/benchmark.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "krn/thr/thr.h"
#include "peers/peer_spawn.h"
#include "tests/krn/snc/snc_krb5_realm.h"

namespace {

constexpr int32_t kMsg = 32000;
using Clock = std::chrono::steady_clock;

std::u16string Service(const peers::PeerProcess& p) {
  std::u16string s;
  for (char c : std::to_string(p.port())) s.push_back(static_cast<char16_t>(c));
  return s;
}

CPIC_SNC_PARAMS Block(uint8_t mode, const char16_t* partner, uint8_t qop) {
  CPIC_SNC_PARAMS b{};
  b.first = 1;
  b.mode = mode;
  b.qop = qop;
  for (size_t i = 0; partner[i] != 0; ++i) b.partnerName[i] = partner[i];
  return b;
}

// Echoes every message of the one conversation the registration brings.
void EchoServer(int32_t sock) {
  char acc[8];
  if (WEQ_CMACCPTP(sock, 30, acc, nullptr) != CM_OK) return;
  std::string buf(kMsg, '\0');
  for (;;) {
    int32_t req = kMsg, dr, len, st, rts;
    if (STRCV(acc, buf.data(), &req, &dr, &len, &st, &rts, nullptr) != CM_OK) return;
    if (STSEND(acc, buf.data(), &len, &rts, nullptr) != CM_OK) return;
  }
}

// One round trip of the message; false on any failure.
bool RoundTrip(char* id, const std::string& data, std::string& buf) {
  int32_t len = static_cast<int32_t>(data.size()), rts, req = kMsg, dr, rl = -1, status;
  if (STSEND(id, data.data(), &len, &rts, nullptr) != CM_OK) return false;
  return STRCV(id, buf.data(), &req, &dr, &rl, &status, &rts, nullptr) == CM_OK && rl == len;
}

struct Road {
  int32_t sock = -1;
  std::thread server;
  char id[8];
  bool ok = false;
};

bool Open(Road& r, const std::u16string& serv, const char16_t* tp, const CPIC_SNC_PARAMS* srv,
          const CPIC_SNC_PARAMS* cli) {
  if (WEQ_CMREGTP2(tp, u"127.0.0.1", serv.c_str(), &r.sock, srv, nullptr) != CM_OK) return false;
  r.server = std::thread(EchoServer, r.sock);
  r.ok = WEQ_STINIT3(r.id, u"BENCH", u"lu", tp, u"127.0.0.1", serv.c_str(), u'I', 0, cli, nullptr) == CM_OK &&
         STALLC(r.id, nullptr) == CM_OK;
  return r.ok;
}

void Close(Road& r) {
  STDEAL(r.id, nullptr);
  if (r.server.joinable()) r.server.join();
  if (r.sock != -1) WEQ_CMUNREGTP(r.sock, nullptr);
}

void BM_ProtectedRoundTrip32K(benchmark::State& st) {
  peers::PeerProcess peer("gateway", {"--quiet", "--lifetime", "600"}, 5000, peers::GwPeerPath());
  const std::u16string serv = Service(peer);
  setenv("CPIC_BUFFERING", "1", 1);
  CpicIResetProcess();
  const CPIC_SNC_PARAMS srv = Block(1, u"", 0), cli = Block(1, u"p:snc/localhost@TEST.REALM", 3);
  Road prot, plain;
  if (!Open(prot, serv, u"SNCECHO", &srv, &cli) || !Open(plain, serv, u"PLAINECHO", nullptr, nullptr)) {
    st.SkipWithError("no conversation");
  } else {
    const std::string data(kMsg, 'p');
    std::string buf(kMsg, '\0');
    // The context is established before the measurement.
    bool ok = RoundTrip(prot.id, data, buf) && RoundTrip(plain.id, data, buf);
    for (auto _ : st) {
      if (!ok) break;
      auto t0 = Clock::now();
      ok = RoundTrip(prot.id, data, buf);
      auto t1 = Clock::now();
      ok = ok && RoundTrip(plain.id, data, buf);
      auto t2 = Clock::now();
      double extra = std::chrono::duration<double>((t1 - t0) - (t2 - t1)).count();
      st.SetIterationTime(extra > 1e-9 ? extra : 1e-9);
    }
    if (!ok) st.SkipWithError("round trip failed");
  }
  Close(prot);
  Close(plain);
  CpicIResetProcess();
}
BENCHMARK(BM_ProtectedRoundTrip32K)->UseManualTime()->MinTime(0.5);

// The reference: the same four calls on a local session pair.
void BM_ProtectedRoundTrip32K__calls(benchmark::State& st) {
  SNC_HDL ini = nullptr, acc = nullptr;
  bool ok = SncSessionInit(&ini) == WEQ_O_K && SncSessionInit(&acc) == WEQ_O_K &&
            SncSessionInitiator(ini, 1, 0, "p:snc/localhost@TEST.REALM") == WEQ_O_K &&
            SncSetQOP(ini, 3, 9, 3) == WEQ_O_K && SncSetQOP(acc, 3, 9, 3) == WEQ_O_K &&
            SncSessionAcceptor(acc, 0) == WEQ_O_K;
  std::vector<uint8_t> msg(kMsg, 'p');
  // One message each way: ini -> acc -> ini. The first ones establish.
  auto pass = [&](SNC_HDL from, SNC_HDL to) {
    for (int round = 0; round < 10; ++round) {
      uint8_t done = 0;
      const void* out = nullptr;
      size_t outLen = 0;
      if (SncProcessOutput(from, msg.data(), msg.size(), &done, &out, &outLen) != WEQ_O_K) return false;
      std::vector<uint8_t> frame(static_cast<const uint8_t*>(out), static_cast<const uint8_t*>(out) + outLen);
      SNC_HDL side = to;
      size_t delivered = 0;
      while (!frame.empty()) {
        const void *data = nullptr, *back = nullptr;
        size_t dataLen = 0, backLen = 0;
        if (SncProcessInput(side, frame.data(), frame.size(), &data, &dataLen, &back, &backLen) != WEQ_O_K)
          return false;
        delivered += dataLen;
        frame.assign(static_cast<const uint8_t*>(back), static_cast<const uint8_t*>(back) + backLen);
        side = side == to ? from : to;
      }
      if (done) return delivered == msg.size();
    }
    return false;
  };
  ok = ok && pass(ini, acc) && pass(acc, ini);
  for (auto _ : st) {
    if (!ok) break;
    auto t0 = Clock::now();
    ok = pass(ini, acc) && pass(acc, ini);
    st.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  if (!ok) st.SkipWithError("calls failed");
  if (ini != nullptr) SncSessionDone(&ini);
  if (acc != nullptr) SncSessionDone(&acc);
}
BENCHMARK(BM_ProtectedRoundTrip32K__calls)->UseManualTime()->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ThrProcInit();
  snckrb5::Realm realm;
  if (!realm.StartForSnc("cpic_snc_bench")) return 1;
  // The layer started as a conversation starts it, for the reference's
  // sessions too.
  uint8_t avail = 0;
  if (SncInit(0, nullptr, &avail) != WEQ_O_K || avail == 0) return 1;
  benchmark::RunSpecifiedBenchmarks();
  SncIResetGlobal();
  benchmark::Shutdown();
  return 0;
}
