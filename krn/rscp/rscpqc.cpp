// The consistency check of the cache header: one line per finding, each an
// error or a warning, through the caller's two line outputs. It only reads
// the header; reinit runs it after every start and rebuild.
#include <stdint.h>

#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpcc_int.h"

namespace {

class QcFindings {
 public:
  QcFindings(rscpPrintLine_t errOut, void* errArg, rscpPrintLine_t warnOut, void* warnArg)
      : errOut_(errOut), errArg_(errArg), warnOut_(warnOut), warnArg_(warnArg) {}

  // Each line is formatted into at most 100 units.
  template <class... A>
  void Error(U16Format<A...> fmt, const A&... args) {
    Emit(errOut_, errArg_, fmt, args...);
    ++errors;
  }
  template <class... A>
  void Warning(U16Format<A...> fmt, const A&... args) {
    Emit(warnOut_, warnArg_, fmt, args...);
    ++warnings;
  }
  long errors = 0;
  long warnings = 0;

 private:
  template <class... A>
  void Emit(rscpPrintLine_t out, void* arg, U16Format<A...> fmt, const A&... args) {
    WEQ_UC line[101];
    snprintfTruncU16(line, std::size(line), fmt, args...);
    if (out != nullptr) out(line, static_cast<int>(strnlenU16(line, 100)), arg);
  }
  rscpPrintLine_t errOut_;
  void* errArg_;
  rscpPrintLine_t warnOut_;
  void* warnArg_;
};

long QcL(uint64_t v) { return static_cast<long>(v); }

}  // namespace

bool rscpCheckDate16(const WEQ_UC* t) {
  static constexpr char kMax[16] = {'2', '9', '9', '9', '1', '9', '3', '9', '2', '9', '5', '9', '5', '9', '0', '0'};
  if (t == nullptr) return false;
  for (int i = 0; i < 16; ++i)
    if (t[i] < u'0' || t[i] > kMax[i]) return false;
  return true;
}

int rscpqc_quality_check(rscpPrintLine_t errOut, void* errArg, rscpPrintLine_t warnOut, void* warnArg, void*,
                         long* errors, long* warnings) {
  QcFindings f(errOut, errArg, warnOut, warnArg);
  const rscpCCC_t* c = rscpGetCache();
  auto store = [&] {
    if (errors != nullptr) *errors = f.errors;
    if (warnings != nullptr) *warnings = f.warnings;
  };
  if (c == nullptr || reinterpret_cast<uintptr_t>(c) % 8 != 0) {
    if (c == nullptr) {
      f.Error(u"CCC cache is not allocated!  %p", static_cast<const void*>(c));
    } else {
      f.Error(u"rscpmp is not alligned!  %p", static_cast<const void*>(c));
    }
    f.Error(u"rscpqc_quality_check aborted.");
    f.errors = 1;
    store();
    return 1;
  }
  switch (c->version) {
    case RSCP_CCC_VERSION:
      break;
    case RSCP_CCC_VERSION_HALF:
      f.Warning(u"CCC version is in half cooked state: %ld", QcL(c->version));
      break;
    case RSCP_CCC_VERSION_3Q:
      f.Warning(u"CCC version is in three-quarter cooked state: %ld", QcL(c->version));
      break;
    default:
      f.Error(u"CCC version is bad: %ld = 0x%lX", QcL(c->version), QcL(c->version));
      break;
  }
  if (!rscpCheckDate16(c->createdate))
    f.Error(u"CCC createdate damaged: %*.*s", 16, 16, static_cast<const WEQ_UC*>(c->createdate));
  if (!rscpCheckDate16(c->lastreorgdate))
    f.Error(u"CCC lastreorgdate damaged: %*.*s", 16, 16, static_cast<const WEQ_UC*>(c->lastreorgdate));

  if (c->reorg_version == 0) f.Warning(u"CCC reorg_version too small: %ld", QcL(c->reorg_version));
  if (c->reorg_done == 0) f.Warning(u"CCC reorg_done: FALSE: Still waiting for re-org.");
  const WEQ_UC* reason = c->reorg_reason;
  if (reason[0] >= 1 && reason[0] <= 31) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(reason);
    f.Error(u"CCC reorg_reason damaged: \"%-*.*s\" (0x%02X%02X%02X%02X...)", 36, 36, reason, static_cast<int>(b[0]),
            static_cast<int>(b[1]), static_cast<int>(b[2]), static_cast<int>(b[3]));
  } else if (reason[0] == u' ') {
    f.Warning(u"CCC reorg_reason empty? \"%-*.*s\"", 36, 36, reason);
  }
  if (c->was_overflow != 0) f.Warning(u"CCC was_overflow: TRUE: Still waiting for re-org.");

  if (c->length < 170000) f.Error(u"CCC length too small: %ld", QcL(c->length));
  if (c->length < 400000) f.Warning(u"CCC length small: %ld", QcL(c->length));
  if (c->length > 16777216) f.Error(u"CCC length too large: %ld", QcL(c->length));
  if (c->cache07 > c->length / 2) f.Warning(u"CCC cache07 too large: %ld", QcL(c->cache07));

  auto over = [&](U16Format<long, long> fmt, uint32_t v, bool bad) {
    if (bad) f.Error(fmt, QcL(v), QcL(v));
  };
  auto pair = [&](U16Format<long, long, long, long> fmt, uint32_t a, uint32_t b) {
    if (a > b) f.Error(fmt, QcL(a), QcL(a), QcL(b), QcL(b));
  };
  over(u"CCC: first_t1 > length: %9ld (0x%lX)", c->first_t1, c->first_t1 > c->length);
  over(u"CCC: first_t1 not alligned for T1: %9ld (0x%lX)", c->first_t1, c->first_t1 % RSCP_T1_BYTES != 0);
  pair(u"CCC: first_t1 > end_t1: %9ld (0x%lX) <=! %9ld (0x%lX)", c->first_t1, c->end_t1);
  over(u"CCC: end_t1 > length: %9ld (0x%lX)", c->end_t1, c->end_t1 > c->length);
  over(u"CCC: end_t1 not alligned for T1: %9ld (0x%lX)", c->end_t1, c->end_t1 % RSCP_T1_BYTES != 0);

  over(u"CCC: first_t2 > length: %9ld (0x%lX)", c->first_t2, c->first_t2 > c->length);
  pair(u"CCC: first_t2 > end_t2: %9ld (0x%lX) <=! %9ld (0x%lX)", c->first_t2, c->end_t2);
  over(u"CCC: end_t2 > length: %9ld (0x%lX)", c->end_t2, c->end_t2 > c->length);
  over(u"CCC: first_t7 > length: %9ld (0x%lX)", c->first_t7, c->first_t7 > c->length);
  pair(u"CCC: end_t2 > first_t7: %9ld (0x%lX) <=! %9ld (0x%lX)", c->end_t2, c->first_t7);
  pair(u"CCC: first_t7 > end_t7: %9ld (0x%lX) <=! %9ld (0x%lX)", c->first_t7, c->end_t7);
  over(u"CCC: end_t7 > length: %9ld (0x%lX)", c->end_t7, c->end_t7 > c->length);

  const long lo = 2 * QcL(c->first_t1 / RSCP_T1_BYTES);
  const long hi = 2 * QcL(c->end_t1 / RSCP_T1_BYTES) - 1;
  if (c->frag_t3 != 0 && (QcL(c->frag_t3) < lo || QcL(c->frag_t3) > hi))
    f.Warning(u"CCC: frag_t3 not in T1 area: %9ld <=! %9ld <=! %9ld", lo, QcL(c->frag_t3), hi);
  if (c->free_t3 != 0 && (QcL(c->free_t3) < lo || QcL(c->free_t3) > hi))
    f.Warning(u"CCC: free_t3 not in T1 area: %9ld <=! %9ld <=! %9ld", lo, QcL(c->free_t3), hi);

  if (c->noof_t1 > c->length / RSCP_T1_BYTES) f.Error(u"CCC: noof_t1 too large: %ld", QcL(c->noof_t1));
  if (c->noof_t2 > c->length / 1024) f.Error(u"CCC: noof_t2 too large: %ld", QcL(c->noof_t2));
  if (c->noof_t3 > c->length / RSCP_T3_BYTES) f.Error(u"CCC: noof_t3 too large: %ld", QcL(c->noof_t3));

  auto strange = [&](U16Format<long, long> fmt, long v, bool bad) {
    if (bad) f.Warning(fmt, v, v);
  };
  strange(u"CCC: mbc_copy strange value: %9ld (0x%lX)", c->mbc_copy, c->mbc_copy < 0 || c->mbc_copy > 3);
  strange(u"CCC: verbose strange value: %9ld (0x%lX)", c->verbose, c->verbose < 0 || c->verbose > 2);
  strange(u"CCC: err_trace strange value: %9ld (0x%lX)", c->err_trace, c->err_trace < 0 || c->err_trace > 2);
  strange(u"CCC: TCPDB_count strange value: %9ld (0x%lX)", c->TCPDB_count, c->TCPDB_count > 30);
  strange(u"CCC: db_cp_count strange value: %9ld (0x%lX)", c->db_cp_count, c->db_cp_count > 30);
  strange(u"CCC: mb_cp_count strange value: %9ld (0x%lX)", QcL(c->mb_cp_count), c->mb_cp_count > 30);
  strange(u"CCC: loaded_f1_count strange value: %9ld (0x%lX)", QcL(c->loaded_f1_count), c->loaded_f1_count > 70);
  store();
  return 0;
}
