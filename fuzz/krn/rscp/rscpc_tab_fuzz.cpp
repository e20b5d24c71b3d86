// Random bytes through the conversion call: tab (and direct) from single-
// byte, multi-byte and Unicode-form pages with random options, cut into
// random pieces and converted into a random room, resumed after every full
// output; and random 172-byte converter objects (with the cache's current
// version, so that their table numbers are used as they are) on random
// input. Checked: the result is one the call documents, both pointers stay
// inside their buffers and move only forward, nothing is written behind
// the output, a call that reports success consumed its whole input (a
// brute method: up to the end of its output or of the input's whole
// units, as the method defines), and a
// resumed conversion consumes everything or stops with a reason.
#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/rscp/rscpmc_int.h"
#include "krn/thr/thr.h"
#include "rscpc_fuzz.h"

namespace {

bool Documented(rscpRc_t rc) {
  switch (rc) {
    case 0: case RSCPEINTERN: case RSCPEIO: case RSCPEINVAL: case RSCPETOOLONG: case RSCPEBUSY: case RSCPEUNIQ:
    case RSCPENOCONV:
      return true;
    default:
      return false;
  }
}


constexpr const char* kFrom[] = {"1100", "0100", "1101", "8000", "8100", "8300", "8400", "8500",
                                 "4110", "4104", "4105", "8450", "8200", "4103", "4102", "6100"};
constexpr const char* kTo[] = {"4103", "4102", "4110", "1100", "8000", "4105", "0100", "8300"};

// A chosen object per pair, made once.
const rscpCObj_t& Pair(int from, int to) {
  static std::map<int, rscpCObj_t> chosen;
  auto it = chosen.find(from * 16 + to);
  if (it != chosen.end()) return it->second;
  rscpCObj_t o;
  rscpCp_t f, t;
  for (int i = 0; i < 4; ++i) f[i] = static_cast<WEQ_UC>(kFrom[from][i]), t[i] = static_cast<WEQ_UC>(kTo[to][i]);
  rscpCInit(&o, &f, &t, 1, 1, 0);
  rscpCSetCtrlCodeCv(&o, 1);
  rscpCSetOwnChCv(&o, 0);
  rscpCLoadTables(&o);
  rscpeClearThrErrors();
  return chosen.emplace(from * 16 + to, o).first->second;
}

// One call into exactly sized heap buffers with canaries behind the room.
rscpRc_t Call(rscpCObj_t* o, const std::vector<uint8_t>& in, size_t room, size_t* used, std::vector<uint8_t>* out) {
  std::unique_ptr<uint8_t[]> src(new uint8_t[in.empty() ? 1 : in.size()]);
  if (!in.empty()) memcpy(src.get(), in.data(), in.size());
  std::unique_ptr<uint8_t[]> dst(new uint8_t[room + 8]);
  memset(dst.get(), 0xA5, room + 8);
  const WEQ_RAW* ip = src.get();
  WEQ_RAW* op = dst.get();
  const rscpRc_t rc = rscpCConvert(o, &op, dst.get() + room, &ip, src.get() + in.size());
  rscpcfuzz::Require(Documented(rc));
  rscpcfuzz::Require(ip >= src.get() && ip <= src.get() + in.size());
  rscpcfuzz::Require(op >= dst.get() && op <= dst.get() + room);
  for (size_t i = 0; i < 8; ++i) rscpcfuzz::Require(dst[room + i] == 0xA5);
  *used = static_cast<size_t>(ip - src.get());
  out->insert(out->end(), dst.get(), op);
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  rscpcfuzz::Start();
  rscpeClearThrErrors();
  rscpcfuzz::Reader r{data, size};
  const uint8_t mode = r.Byte();
  rscpCObj_t o;
  if ((mode & 1) == 0) {
    o = Pair(r.Byte() % 16, r.Byte() % 8);
    if (mode & 2) o.method = 4;  // tab on whatever tables the pair has
    const uint8_t opt = r.Byte();
    o.use_subst = opt & 1;
    o.use_1_copy = (opt >> 1) & 1;
    o.rscpbroken = (opt >> 2) % 3;
    o.rscpfill = (opt >> 4) % 5;
    o.drop = opt >> 7 ? r.Byte() % 5 : 1;
    static constexpr uint32_t kSubst[] = {'#', '?', 0x20AC, 0x7FFFFFFF, 0x1F600, 0};
    o.subst_char = kSubst[r.Byte() % 6];
  } else {
    // A random object that the call takes as current.
    memset(&o, 0, sizeof o);
    const size_t take = r.n < sizeof o ? r.n : sizeof o;
    memcpy(&o, r.p, take);
    r.p += take, r.n -= take;
    rscpCachePin pin;
    if (pin.get() != nullptr) o.cache_version = rscpCacheVersion(pin.get());
    if (mode & 2) o.method = (mode & 4) ? 5 : 4;
    if (mode & 8) o.in_t1 = Pair(mode >> 4, 0).in_t1 + (o.in_t1 & 3);
    if (mode & 16) o.out_t1 = Pair(0, mode >> 5).out_t1 + ((o.out_t1 & 1) << 3);
  }
  const uint8_t sizes = r.Byte();
  const size_t room = 1 + (sizes & 15) * ((sizes & 16) ? 16 : 1);
  const size_t piece = 1 + (sizes >> 5) * 9;
  std::vector<uint8_t> input(r.p, r.p + r.n);

  // Pieces of the input, each resumed after full outputs; a cut character
  // at a piece's end waits for the next piece with broken 2.
  std::vector<uint8_t> out, pending;
  size_t fed = 0;
  for (int calls = 0; calls < 200 && (fed < input.size() || !pending.empty()); ++calls) {
    const size_t n = input.size() - fed < piece ? input.size() - fed : piece;
    pending.insert(pending.end(), input.begin() + static_cast<long>(fed), input.begin() + static_cast<long>(fed + n));
    fed += n;
    size_t used = 0;
    const size_t before = out.size();
    const rscpRc_t rc = Call(&o, pending, room, &used, &out);
    // The brute methods end with 0 when the output or the input's whole
    // units run out; the rest of the input stays unconsumed for the caller.
    const bool brute = o.method >= 29 && o.method <= 32;
    const size_t unitIn = o.method >= 31 ? 2 : 1, unitOut = o.method >= 31 ? 1 : 2;
    if (rc == 0 && !brute) rscpcfuzz::Require(used == pending.size());
    if (rc == 0 && brute) {
      rscpcfuzz::Require(pending.size() - used < unitIn || out.size() - before + unitOut > room);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(used));
    if (rc == RSCPETOOLONG && (used > 0 || !out.empty())) continue;
    if (rc == RSCPEUNIQ && o.rscpbroken == 2 && fed < input.size()) continue;
    if (rc != 0) break;
  }
  // Input and output at one address.
  if (!input.empty() && input.size() <= 600) {
    std::vector<uint8_t> buf(input);
    buf.resize(input.size() * 4 + 8);
    const WEQ_RAW* ip = buf.data();
    WEQ_RAW* op = buf.data();
    const rscpRc_t rc = rscpCConvert(&o, &op, buf.data() + buf.size(), &ip, buf.data() + input.size());
    rscpcfuzz::Require(Documented(rc));
    if (input.size() > 512) rscpcfuzz::Require(rc == RSCPEINVAL && op == buf.data() && ip == buf.data());
  }
  return 0;
}
