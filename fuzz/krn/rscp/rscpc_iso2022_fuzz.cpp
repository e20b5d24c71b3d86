// Random bytes through the ISO-2022 table method (2022_tab) from the
// ISO-2022 pages into Unicode forms and double-byte pages, with
// stop_restartable, random state bits in the object (states without a
// table among them), random options, cut into random pieces and converted
// into a random room, resumed after every full output. Checked: what
// rscpc_fuzz.h checks of every call, and that the pieces join to the output
// of one call that starts in the same state, up to where it stops.
#include <iterator>

#include "rscpc_fuzz.h"

namespace {

using rscpcfuzz::Reader;

constexpr const char* kFrom[] = {"8200", "8210", "8211"};
constexpr const char* kTo[] = {"4103", "4102", "4110", "8450", "8300", "4104", "8000", "6200"};
constexpr uint32_t kSubst[] = {'#', 0x3013, 0x20AC, 0x110000};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  rscpcfuzz::Start();
  Reader r{data, size};
  const uint8_t pair = r.Byte(), opt = r.Byte(), state = r.Byte(), sizes = r.Byte();
  rscpCObj_t o = rscpcfuzz::Chosen(kFrom[pair % std::size(kFrom)], kTo[(pair >> 2) % std::size(kTo)], 1, opt & 1);
  o.method = RSCP_M_2022_TAB;
  o.use_subst = (opt >> 1) & 1;
  o.use_1_copy = (opt >> 2) & 1;
  o.rscpbroken = 2;
  o.subst_char = kSubst[(opt >> 3) & 3];
  rscpcISetMbcCopy((opt >> 5) & 3);
  const uint32_t start = (o.shift_state & ~(0xFu << 10)) | static_cast<uint32_t>(state & 15) << 10;
  const size_t room = 1 + (sizes & 15) * ((sizes & 16) ? 16 : 1);
  const size_t piece = 1 + (sizes >> 5) * 5;
  const std::vector<uint8_t> input = r.Rest();
  o.shift_state = start;
  const rscpcfuzz::Result whole = rscpcfuzz::Convert(&o, input, input.size() * 8 + 64);
  o.shift_state = start;
  const rscpcfuzz::Pieces joined = rscpcfuzz::InPieces(&o, input, piece, room);
  if (joined.progress) {
    rscpcfuzz::Require(joined.rc == whole.rc && joined.used == whole.used && joined.out == whole.out);
  }
  rscpcISetMbcCopy(2);
  return 0;
}
