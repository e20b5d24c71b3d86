// Random bytes through the Unicode form methods (13 to 26), the seven-bit
// methods (48, 49), the brute methods (29 to 32) and 1B_to_1B (12): input
// and output at random misalignments, a random room, random rscpbroken,
// substitution and control-code options, resumed after full outputs.
// Checked: the result is one the call documents, both pointers stay inside
// their buffers and only move forward, nothing is written behind the
// output, and a call that succeeds consumed its input (the brute
// narrowings leave an odd last byte).
#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/thr/thr.h"

namespace {

void Require(bool ok) {
  if (!ok) abort();
}

struct UtfPair {
  const char* from;
  const char* to;
  uint32_t useF1;
  uint32_t method;  // forced when not 0
};
constexpr UtfPair kUtfPairs[] = {
    {"4110", "4100", 1, 0}, {"4110", "4101", 1, 0}, {"4110", "4102", 1, 0}, {"4110", "4103", 1, 0},
    {"4110", "4104", 1, 0}, {"4110", "4105", 1, 0}, {"4100", "4110", 1, 0}, {"4101", "4110", 1, 0},
    {"4102", "4110", 1, 0}, {"4103", "4110", 1, 0}, {"4104", "4110", 1, 0}, {"4105", "4110", 1, 0},
    {"4102", "4103", 1, 0}, {"4104", "4105", 1, 0}, {"1101", "4103", 1, 0}, {"1101", "4102", 1, 0},
    {"0100", "1100", 2, 0}, {"1100", "4102", 1, 29}, {"1100", "4102", 1, 30}, {"4102", "1100", 1, 31},
    {"4103", "1100", 1, 32}};
constexpr int kUtfPairCount = static_cast<int>(sizeof kUtfPairs / sizeof kUtfPairs[0]);

rscpCObj_t gUtfObjects[kUtfPairCount][2];  // by pair, control codes refused / tried

void Start() {
  static const bool started = [] {
    ThrProcInit();
    rscphTestSetSleep([](uint32_t) { return 0; });
    Require(rscpi_init(-1) == 0);
    for (int i = 0; i < kUtfPairCount; ++i) {
      for (int ctrl = 0; ctrl < 2; ++ctrl) {
        rscpCObj_t& o = gUtfObjects[i][ctrl];
        rscpCp_t f, t;
        for (int k = 0; k < 4; ++k) f[k] = kUtfPairs[i].from[k], t[k] = kUtfPairs[i].to[k];
        rscpCInit(&o, &f, &t, 1, 1, 0);
        rscpCSetCtrlCodeCv(&o, ctrl);
        rscpCSetOwnChCv(&o, 0);
        o.useF1 = kUtfPairs[i].useF1;
        Require(rscpCLoadTables(&o) == 0);
        if (kUtfPairs[i].method != 0) o.method = kUtfPairs[i].method;
      }
    }
    rscpeClearThrErrors();
    return true;
  }();
  (void)started;
}

bool Documented(rscpRc_t rc) {
  return rc == 0 || rc == RSCPEINVAL || rc == RSCPETOOLONG || rc == RSCPEUNIQ || rc == RSCPENOCONV;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Start();
  rscpeClearThrErrors();
  const uint8_t pick = data[0], opt = data[1], sizes = data[2], offsets = data[3];
  rscpCObj_t o = gUtfObjects[pick % kUtfPairCount][(opt >> 7) & 1];
  o.use_subst = opt & 1;
  o.rscpbroken = (opt >> 1) % 3;
  o.rscpfill = (opt >> 3) % 4;
  static constexpr uint32_t kSubst[] = {'#', 0xFFFD, 0x1F600, 0x7FFFFFFF};
  o.subst_char = kSubst[(opt >> 5) & 3];
  const size_t inOff = offsets & 3, outOff = (offsets >> 2) & 3;
  const size_t room = (sizes & 0x80) ? 1000 + (sizes & 0x7F) : (sizes & 0x7F);
  const std::vector<uint8_t> input(data + 4, data + size);

  // Exactly sized heap buffers (the misalignment inside them), canaries
  // behind the room.
  std::unique_ptr<uint8_t[]> src(new uint8_t[inOff + input.size() + 1]);
  if (!input.empty()) memcpy(src.get() + inOff, input.data(), input.size());
  std::unique_ptr<uint8_t[]> dst(new uint8_t[outOff + room + 8]);
  const uint8_t* const inEnd = src.get() + inOff + input.size();
  const uint8_t* ip = src.get() + inOff;
  for (int calls = 0; calls < 64; ++calls) {
    memset(dst.get(), 0xA5, outOff + room + 8);
    WEQ_RAW* const out = dst.get() + outOff;
    WEQ_RAW* op = out;
    const WEQ_RAW* before = ip;
    const rscpRc_t rc = rscpCConvert(&o, &op, out + room, &ip, inEnd);
    Require(Documented(rc));
    Require(ip >= before && ip <= inEnd);
    Require(op >= out && op <= out + room);
    for (size_t i = 0; i < 8; ++i) Require(out[room + i] == 0xA5);
    if (rc == 0) Require(inEnd - ip <= (o.method == 31 || o.method == 32 ? 1 : 0));
    if (rc != RSCPETOOLONG || ip == before) break;
  }
  return 0;
}
