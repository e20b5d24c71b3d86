// Random inputs through the loaders' text readers: "TCPDB.DAT" files read
// by the build's database code page step (written to the working directory
// for one run), TCP0I records, shift rule
// attributes and range rule attributes. Checked: the step succeeds, counts
// and lists stay inside their bounds, every option keeps a value it can
// take, the cache07 area stays above the tables, a parsed shift rule has
// sequences of at most ten bytes, and a parsed range codes its first and
// last value inside its byte bounds.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz/quiet.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpld_int.h"
#include "krn/thr/thr.h"

namespace {

void Require(bool ok) {
  if (!ok) abort();
}

constexpr long kSize = 300000;

rscpCCC_t* Cache() {
  static rscpCCC_t* cache = [] {
    ThrProcInit();
    tovfuzz::Quiet();  // format errors and the Unicode interface's reports
    auto* c = static_cast<rscpCCC_t*>(calloc(1, kSize));
    rscpSetCache(c);
    Require(rscpBuildCache(kSize, 30000, 2442, u"malloc", -1) == 0);
    rscpSetState(RSCP_STATE_INIT);
    return c;
  }();
  return cache;
}

std::vector<WEQ_UC> Units(const uint8_t* p, size_t n) {
  std::vector<WEQ_UC> u(n);
  for (size_t i = 0; i < n; ++i) u[i] = p[i] < 0x80 ? p[i] : static_cast<WEQ_UC>(0x20 + p[i] % 0x5F);
  return u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  rscpCCC_t* c = Cache();
  rscpeClearThrErrors();
  const uint8_t* p = data + 1;
  const size_t n = size - 1;
  switch (data[0] % 4) {
    case 0: {
      FILE* f = fopen("TCPDB.DAT", "wb");
      Require(f != nullptr);
      fwrite(p, 1, n, f);
      fclose(f);
      // The step reads the file from the working directory; it is gone
      // again after the run.
      const rscpRc_t rc = read_TCPDB();
      unlink("TCPDB.DAT");
      Require(rc == 0);
      Require(c->db_cp_count >= 1 && c->db_cp_count <= 50);
      Require(c->TCPDB_count <= n);
      Require(memcmp(c->db_cp_list[0], u"4103", 8) == 0);
      break;
    }
    case 1: {
      std::vector<WEQ_UC> rec(RSCP_TCP0I_RECORD, u' ');
      const std::vector<WEQ_UC> u = Units(p, n);
      std::copy(u.begin(), u.begin() + static_cast<long>(std::min<size_t>(u.size(), rec.size())), rec.begin());
      rec[RSCP_TCP0I_ACTIVE] = u'X';
      const uint32_t first7 = c->first_t7;
      const rscpRc_t rc = load_TCP0I_row(rec.data());
      Require(rc == 0 || rc == RSCPETOOLONG);
      Require(c->utf8gui_allow >= 0 && c->utf8gui_allow <= 4);
      Require(c->rtlinltr_allow >= 0 && c->rtlinltr_allow <= 1);
      Require(c->first_t7 >= c->end_t2 && c->first_t7 <= first7);
      // The area is given back for the next run.
      c->first_t7 = first7;
      c->was_overflow = 0;
      Require(consolidate_TCP0I_RFCDES() == 0);
      Require(c->legacyListLength == 0);
      break;
    }
    case 2: {
      const size_t split = n == 0 ? 0 : p[0] % (n + 1);
      const std::vector<WEQ_UC> u = Units(p, n);
      rscpStrtBack_t sb;
      const rscpRc_t rc = rscpps__parse_strt_back(2, u.data(), static_cast<int>(std::min<size_t>(split, 20)),
                                                  u.data() + split, static_cast<int>(std::min<size_t>(n - split, 20)), &sb);
      Require(rc == 0 || rc == RSCPENOCONV);
      if (rc == 0) {
        Require(sb.strtLen >= 0 && sb.strtLen <= 10 && sb.backLen >= 0 && sb.backLen <= 10);
        Require(strlen(sb.segment) <= 5);
        Require(!(sb.unsj && sb.uneuc));
      }
      break;
    }
    default: {
      const size_t split = n == 0 ? 0 : p[0] % (n + 1);
      const std::vector<WEQ_UC> u = Units(p, n);
      rscpRangeRec_t r;
      const int rc = rscppr__parse_range(u.data(), static_cast<int>(std::min<size_t>(split, 20)), u.data() + split,
                                         static_cast<int>(std::min<size_t>(n - split, 20)), &r);
      Require(rc == 0 || rc == 1);
      if (rc == 0) {
        Require(r.first <= r.last && r.last <= 0x10FFFF && r.seqLen >= 1 && r.seqLen <= 4);
        // The last value's code, from the weights, lies inside the bounds.
        uint64_t off = static_cast<uint64_t>(r.last) - static_cast<uint32_t>(r.uidFirst);
        off = static_cast<uint32_t>(off);
        for (int b = 0; b < r.seqLen; ++b) {
          const uint64_t digit = off / static_cast<uint64_t>(r.weight[b]);
          Require(b == 0 ? digit < r.byteWidth[0] : true);
          off %= static_cast<uint64_t>(r.weight[b]);
          Require(r.byteOf1[b] >= r.minV[b] && r.byteOf1[b] <= r.maxV[b]);
        }
      }
      break;
    }
  }
  return 0;
}
