// Random bytes through the sixteen-bit input methods (mbget_tab, mbs16_tab
// and the UTF-16 table methods with their l_ forms) and the tunnel and copy
// methods, on objects chosen with random control-code and own-character
// options, with the method and the input kind at times forced, random
// substitution, copy, broken, fill and mbc_copy options, a random input
// shift state, cut into random pieces and converted into a random room,
// resumed after every full output. Checked: what rscpc_fuzz.h checks of
// every call, and, for an object as chosen, that a conversion in pieces
// into ample room gives the output of one call.
#include <algorithm>
#include <iterator>

#include "rscpc_fuzz.h"

namespace {

using rscpcfuzz::Reader;

constexpr const char* kFrom[] = {"4102", "4103", "8100", "8000", "4000", "6200", "8300", "4100"};
constexpr const char* kTo[] = {"1100", "8000", "4000", "4110", "4104", "8450", "6500", "8500"};
constexpr uint32_t kMethods[] = {8, 9, 10, 11, 27, 28, 33, 34, 35, 36, 37, 38, 39, 40};
constexpr uint32_t kKinds[] = {13, 16, 1, 2, 3, 19, 0, 39};
constexpr uint32_t kSubst[] = {'#', 0x3013, 0x20AC, 0x110000};
// U+F8FD as F8 FD (big-endian) and FD F8 (little-endian).
constexpr uint8_t kIntro[] = {0xF8, 0xFD, 0xF8};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  rscpcfuzz::Start();
  Reader r{data, size};
  const uint8_t how = r.Byte(), pair = r.Byte(), opt = r.Byte(), sizes = r.Byte();
  rscpCObj_t o = rscpcfuzz::Chosen(kFrom[pair % std::size(kFrom)], kTo[(pair >> 3) % std::size(kTo)], how & 1,
                                   (how >> 1) & 1);
  if (how & 4) o.method = kMethods[r.Byte() % std::size(kMethods)];
  if (how & 8) o.in_nls = kKinds[r.Byte() % std::size(kKinds)];
  o.use_subst = opt & 1;
  o.use_1_copy = (opt >> 1) & 1;
  o.rscpbroken = (opt >> 2) % 3;
  o.rscpfill = (opt >> 4) % 4;
  o.subst_char = kSubst[(opt >> 6) & 3];
  o.shift_state ^= static_cast<uint32_t>(how >> 4) << 10;
  rscpcISetMbcCopy(r.Byte() % 4);
  const size_t room = 1 + (sizes & 15) * ((sizes & 16) ? 16 : 1);
  const size_t piece = 1 + (sizes >> 5) * 7;
  const std::vector<uint8_t> input = r.Rest();
  rscpcfuzz::InPieces(&o, input, piece, room);
  // Ample room, stop_restartable, no fill: for the sixteen-bit methods
  // pieces join to the one call wherever that call ends, since they keep no
  // state. Not checked for a forced method or input kind, which need not
  // agree with the tables, nor for the tunnel and copy methods, which
  // measure an unknown character with the length function and take one
  // that the input end cuts as a single byte, nor where an icon introducer
  // may stand: one whose icon form a piece cuts is a private-use character.
  const bool introducer = std::search(input.begin(), input.end(), kIntro, kIntro + 2) != input.end() ||
                          std::search(input.begin(), input.end(), kIntro + 1, kIntro + 3) != input.end();
  if ((how & 12) != 0 || o.method < 27 || o.method > 40 || ((o.method == 39 || o.method == 40) && introducer)) {
    rscpcISetMbcCopy(2);
    return 0;
  }
  o.rscpbroken = 2, o.rscpfill = 0;
  const rscpcfuzz::Result whole = rscpcfuzz::Convert(&o, input, input.size() * 8 + 64);
  const rscpcfuzz::Pieces joined = rscpcfuzz::InPieces(&o, input, piece, input.size() * 8 + 64);
  if (whole.rc == 0) rscpcfuzz::Require(joined.rc == 0 && joined.out == whole.out);
  rscpcISetMbcCopy(2);
  return 0;
}
