// Random bytes through the multi-byte methods mbconv_tab, l_mbconv_tab and
// mbconv_2022tab: from Shift-JIS, ISO-2022-JP, EUC-JP, Big5, GBK, GB 18030,
// Korean and the unified Asian pages, with the kinds of the direct-path
// table (the HXT forms and the 16-bit page included) set on the object,
// random options and mbc_copy, cut into random pieces and converted into a
// random room, resumed after every full output. Checked: the result is one
// the call documents, both pointers stay inside their buffers, nothing is
// written behind the output, a call that reports success consumed its whole
// input, and Shift-JIS into the 7-bit printer pages writes no 8-bit byte
// unless copy-one copies what the page lacks. Then the range decoder and
// encoder on random records and bytes.
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <vector>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/rscp/rscpcv_int.h"
#include "krn/thr/thr.h"
#include "rscpc_fuzz.h"

namespace {

bool Known(rscpRc_t rc) {
  switch (rc) {
    case 0: case RSCPEINTERN: case RSCPEINVAL: case RSCPETOOLONG: case RSCPEBUSY: case RSCPEUNIQ: case RSCPENOCONV:
      return true;
    default:
      return false;
  }
}

using Bytes = rscpcfuzz::Reader;

constexpr const char* kFromPages[] = {"8000", "8200", "8100", "8300", "8400", "8450", "8500", "6200", "6230", "6240"};
constexpr const char* kToPages[] = {"8000", "8100", "8200", "8210", "8211", "8300", "6100", "6200"};
// Kinds with a row or a cell of the direct-path table.
constexpr uint32_t kKinds[] = {1, 2, 3, 4, 5, 6, 7, 8, 19, 20, 21, 25, 30, 34, 35, 36, 39, 0, 12};

const rscpCObj_t& Chosen(int from, int to) {
  static std::map<int, rscpCObj_t> made;
  const int key = from * 16 + to;
  if (auto it = made.find(key); it != made.end()) return it->second;
  rscpCp_t f, t;
  for (int i = 0; i < 4; ++i) {
    f[i] = static_cast<WEQ_UC>(kFromPages[from][i]);
    t[i] = static_cast<WEQ_UC>(kToPages[to][i]);
  }
  rscpCObj_t o;
  rscpCInit(&o, &f, &t, 1, 1, 0);
  rscpCSetCtrlCodeCv(&o, 1);
  rscpCSetOwnChCv(&o, 0);
  rscpCLoadTables(&o);
  rscpeClearThrErrors();
  return made.emplace(key, o).first->second;
}

rscpRc_t OneCall(rscpCObj_t* o, const std::vector<uint8_t>& in, size_t room, size_t* used, bool sevenBit) {
  std::unique_ptr<uint8_t[]> src(new uint8_t[in.empty() ? 1 : in.size()]);
  if (!in.empty()) memcpy(src.get(), in.data(), in.size());
  std::unique_ptr<uint8_t[]> dst(new uint8_t[room + 8]);
  memset(dst.get(), 0x5A, room + 8);
  const WEQ_RAW* ip = src.get();
  WEQ_RAW* op = dst.get();
  const rscpRc_t rc = rscpCConvert(o, &op, dst.get() + room, &ip, src.get() + in.size());
  rscpcfuzz::Require(Known(rc));
  rscpcfuzz::Require(ip >= src.get() && ip <= src.get() + in.size());
  rscpcfuzz::Require(op >= dst.get() && op <= dst.get() + room);
  for (size_t i = 0; i < 8; ++i) rscpcfuzz::Require(dst[room + i] == 0x5A);
  for (const WEQ_RAW* b = dst.get(); sevenBit && b < op; ++b) rscpcfuzz::Require(*b < 0x80);
  if (rc == 0) rscpcfuzz::Require(ip == src.get() + in.size());
  *used = static_cast<size_t>(ip - src.get());
  return rc;
}

void Ranges(Bytes& r) {
  rscpRangeRec_t rec{};
  rec.first = r.Byte() | r.Byte() << 8 | r.Byte() << 16;
  rec.last = rec.first + (r.Byte() | r.Byte() << 8);
  rec.uidFirst = rec.first - r.Byte();
  rec.seqLen = static_cast<int8_t>(r.Byte()) % 6;
  for (int k = 0; k < 4; ++k) {
    rec.minV[k] = r.Byte();
    rec.maxV[k] = r.Byte();
    rec.weight[k] = static_cast<int8_t>(r.Byte()) * (1 + r.Byte());
  }
  uint8_t b[4] = {r.Byte(), r.Byte(), r.Byte(), r.Byte()};
  uint32_t c = 0;
  const int d = rscpRangeRuleDecode(&rec, &c, b, r.Byte() % 6);
  rscpcfuzz::Require(d == 0 || d == 1 || d == 3 || d == 4 || d == 5);
  if (d == 0) rscpcfuzz::Require(c >= rec.first && c <= rec.last);
  uint8_t e[4];
  int n = 0;
  const int x = rscpRangeRuleEncode(&rec, c + r.Byte(), e, &n, r.Byte() % 6);
  rscpcfuzz::Require(x >= 0 && x <= 4);
  if (x == 0) rscpcfuzz::Require(n == rec.seqLen);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  rscpcfuzz::Start();
  rscpeClearThrErrors();
  Bytes r{data, size};
  const uint8_t how = r.Byte();
  if (how == 0xFF) {
    Ranges(r);
    return 0;
  }
  const size_t from = r.Byte() % std::size(kFromPages), to = r.Byte() % std::size(kToPages);
  rscpCObj_t o = Chosen(static_cast<int>(from), static_cast<int>(to));
  static constexpr uint32_t kMethods[] = {6, 7, 42};
  if (how & 1) o.method = kMethods[r.Byte() % 3];
  if (how & 2) o.in_nls = kKinds[r.Byte() % std::size(kKinds)];
  if (how & 4) o.out_nls = kKinds[r.Byte() % std::size(kKinds)];
  if (how & 8) o.h_last_NLS_to_4000 = kKinds[r.Byte() % std::size(kKinds)];
  if (how & 16) o.in_nls_loop = kKinds[r.Byte() % std::size(kKinds)];
  const uint8_t opt = r.Byte();
  o.use_subst = opt & 1;
  o.use_1_copy = (opt >> 1) & 1;
  o.rscpbroken = (opt >> 2) % 3;
  o.rscpfill = (opt >> 4) % 4;
  o.shift_state ^= static_cast<uint32_t>(r.Byte() & 0x0F) << 10;
  static constexpr uint32_t kSubst[] = {'#', 0x3013, 0x20AC, 0x110000};
  o.subst_char = kSubst[(opt >> 6) & 3];
  const int mbcCopy = r.Byte() % 4;
  rscpcISetMbcCopy(mbcCopy);
  // Shift-JIS into a printer page, with the kinds the pages give.
  const bool sevenBit = std::string(kFromPages[from]) == "8000" && std::string(kToPages[to]).compare(0, 2, "82") == 0 &&
                        (how & 6) == 0 && o.use_1_copy == 0 && mbcCopy != 1;
  const uint8_t sizes = r.Byte();
  const size_t room = 1 + (sizes & 15) * ((sizes & 16) ? 16 : 1);
  const size_t piece = 1 + (sizes >> 5) * 7;
  const std::vector<uint8_t> input(r.p, r.p + r.n);

  std::vector<uint8_t> pending;
  size_t fed = 0;
  for (int calls = 0; calls < 300 && (fed < input.size() || !pending.empty()); ++calls) {
    const size_t n = input.size() - fed < piece ? input.size() - fed : piece;
    pending.insert(pending.end(), input.begin() + static_cast<long>(fed), input.begin() + static_cast<long>(fed + n));
    fed += n;
    size_t used = 0;
    const rscpRc_t rc = OneCall(&o, pending, room, &used, sevenBit);
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(used));
    if (rc == RSCPETOOLONG && used > 0) continue;
    if (rc == RSCPEUNIQ && o.rscpbroken == 2 && fed < input.size()) continue;
    if (rc != 0 && rc != RSCPENOCONV) break;
  }
  rscpcISetMbcCopy(2);
  return 0;
}
