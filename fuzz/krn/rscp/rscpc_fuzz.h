// Shared by the fuzz targets of the conversion methods: the converter
// started once, a reader of the fuzzer's bytes, chosen objects per pair and
// options, and one conversion call checked for
// what the call documents: a known result, both pointers inside their
// buffers, nothing written behind the output, and the whole input consumed
// when the call succeeds.
#ifndef FUZZ_KRN_RSCP_RSCPC_FUZZ_H
#define FUZZ_KRN_RSCP_RSCPC_FUZZ_H

#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/rscp/rscpcv_int.h"
#include "fuzz/input.h"
#include "fuzz/quiet.h"
#include "krn/thr/thr.h"

namespace rscpcfuzz {

inline void Require(bool ok) {
  if (!ok) abort();
}

inline void Start() {
  static const bool started = [] {
    ThrProcInit();
    tovfuzz::Quiet();  // the converter's warnings and hook lines
    // Random pairs fill the cache; its rebuilds need not wait.
    rscphTestSetSleep([](uint32_t) { return 0; });
    Require(rscpi_init(-1) == 0);
    return true;
  }();
  (void)started;
}

// The fuzzer's bytes front to back; zeros once they run out.
using Reader = tovfuzz::Input;

// An object for from -> to with the bindings' options and the given
// control-code and own-character options, chosen once.
inline rscpCObj_t Chosen(const char* from, const char* to, int ctrl, int own) {
  static std::map<std::string, rscpCObj_t> made;
  const std::string key = std::string(from) + to + char('0' + ctrl) + char('0' + own);
  if (auto it = made.find(key); it != made.end()) return it->second;
  rscpCp_t f, t;
  for (int i = 0; i < 4; ++i) f[i] = static_cast<WEQ_UC>(from[i]), t[i] = static_cast<WEQ_UC>(to[i]);
  rscpCObj_t o;
  rscpCInit(&o, &f, &t, 1, 1, 0);
  rscpCSetCtrlCodeCv(&o, ctrl);
  rscpCSetOwnChCv(&o, own);
  rscpCLoadTables(&o);
  rscpeClearThrErrors();
  return made.emplace(key, o).first->second;
}

struct Result {
  rscpRc_t rc;
  size_t used;
  std::vector<uint8_t> out;
};

// One call on a heap copy of in (so that a read beyond it is seen) into
// room bytes followed by a guard.
inline Result Convert(rscpCObj_t* o, const std::vector<uint8_t>& in, size_t room) {
  std::vector<uint8_t> src(in.empty() ? 1 : in.size());
  if (!in.empty()) memcpy(src.data(), in.data(), in.size());
  std::vector<uint8_t> dst(room + 8, 0x5A);
  const WEQ_RAW* ip = src.data();
  WEQ_RAW* op = dst.data();
  const rscpRc_t rc = rscpCConvert(o, &op, dst.data() + room, &ip, src.data() + in.size());
  switch (rc) {
    case 0: case RSCPEINTERN: case RSCPEINVAL: case RSCPETOOLONG: case RSCPEBUSY: case RSCPEUNIQ: case RSCPENOCONV:
      break;
    default:
      Require(false);
  }
  Require(ip >= src.data() && ip <= src.data() + in.size());
  Require(op >= dst.data() && op <= dst.data() + room);
  for (size_t i = 0; i < 8; ++i) Require(dst[room + i] == 0x5A);
  if (rc == 0) Require(ip == src.data() + in.size());
  rscpeClearThrErrors();
  return {rc, static_cast<size_t>(ip - src.data()), std::vector<uint8_t>(dst.data(), op)};
}

// The input in pieces of the given size into the given room, a cut
// character waiting for the next piece (stop_restartable) and each full
// output resumed with the rest; the outputs joined, and whether every call
// made progress (a room smaller than one character's output makes none).
struct Pieces {
  std::vector<uint8_t> out;
  rscpRc_t rc = 0;
  size_t used = 0;
  bool progress = true;
};
inline Pieces InPieces(rscpCObj_t* o, const std::vector<uint8_t>& input, size_t piece, size_t room) {
  Pieces all;
  std::vector<uint8_t> pending;
  size_t fed = 0;
  for (int calls = 0; calls < (1 << 16) && (fed < input.size() || !pending.empty()); ++calls) {
    const size_t n = std::min(input.size() - fed, piece);
    pending.insert(pending.end(), input.begin() + static_cast<long>(fed), input.begin() + static_cast<long>(fed + n));
    fed += n;
    const Result r = Convert(o, pending, room);
    all.out.insert(all.out.end(), r.out.begin(), r.out.end());
    all.used += r.used;
    all.rc = r.rc;
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(r.used));
    if (r.rc == RSCPETOOLONG && (r.used > 0 || !r.out.empty())) continue;
    if (r.rc == RSCPEUNIQ && o->rscpbroken == 2 && fed < input.size()) continue;
    all.progress = r.rc != RSCPETOOLONG;
    if (r.rc != 0 || fed == input.size()) break;
  }
  return all;
}

}  // namespace rscpcfuzz

#endif
