// On-demand loading of a code page's tables: the base variant of a
// direction from the page's source, the derived variants (control codes,
// own characters, both) copied on write from it, the dispatcher by source,
// the flat-file probe and the database stubs, and the gauge of the cache
// dump.
//
// Loads run under the 'CCC' mutex and the cache's write permission, while
// other threads convert through the slots already loaded without a lock. A
// load therefore writes only blocks that no recorded root reaches (a new
// base, or copies marked during a derivation) and records a slot's root
// last, with a release store: a converting thread that sees the root sees
// the finished tables behind it.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <iterator>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpld_int.h"
#include "krn/rscp/rscpmc_int.h"

namespace {

constexpr const WEQ_UC* kLcpModule = u" $Id: krn/rscp/rscplcp.cpp $";
constexpr int kLcpDepth = 10;

rscpRc_t LcpReport(int rc, int location, int line, const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* param1,
                const WEQ_UC* param2 = nullptr) {
  return rscpIReport(kLcpModule, rc, location, line, text, code, param1, param2);
}

void LcpCp(const rscpCpEntry_t* e, WEQ_UC* out5) {
  memcpy(out5, e->cp, 4 * sizeof(WEQ_UC));
  out5[4] = 0;
}

rscpRc_t LcpTooSmall(int location, int line) {
  WEQ_UC param[48];
  snprintfU16(param, std::size(param), u"cachesize&%ld&?&", static_cast<long>(rscpGetCache()->length));
  return LcpReport(RSCPETOOLONG, location, line, u"WEQPARAM(rsts/ccc/cachesize) too small", u"F1A", param);
}

void LcpPublishIn(rscpCpEntry_t* e, int slot, uint16_t root) {
  std::atomic_ref<uint16_t>(e->in[slot].root).store(root, std::memory_order_release);
}
void LcpPublishOut(rscpCpEntry_t* e, int slot, uint32_t t2) {
  std::atomic_ref<uint32_t>(e->out[slot].t2).store(t2, std::memory_order_release);
}

bool LcpOverflowed() {
  const rscpCCC_t* c = rscpGetCache();
  return c->end_t1 > c->first_t2 || c->was_overflow != 0;
}

// Input derivation (T1 copies, marks per block) and output derivation (T2
// copies, marks per T3) share their frame.
rscpRc_t LcpDerive(rscpCpEntry_t* e, int from, int to, int mode, bool input) {
  rscpCCC_t* c = rscpGetCache();
  // Its own rollback point: a failure takes back this derivation only.
  rscpsv__save_marks();
  const WEQ_UC* reason = input ? u"overflow while loading input control codes" : u"overflow while loading output control codes";
  if (rscpRc_t rc = rscpam__alloc_marks(c->first_t2 / (input ? RSCP_T1_BYTES : RSCP_T3_BYTES))) return rc;
  uint16_t root = 0;
  uint32_t t2 = 0;
  if (input) {
    root = rscpct1__copy_t1(rscpIInRoot(e, from));
  } else {
    t2 = rscpct2__copy_t2(rscpIOutT2(e, from));
  }
  if (root == 0 && t2 == 0) {
    if (input) e->in[to] = rscpInSlot_t{}; else e->out[to] = rscpOutSlot_t{};
    const rscpRc_t rc = LcpTooSmall(401, __LINE__);
    rscprb__rollback_tables(e, input ? u"overflow while loading control codes" : reason);
    rscpfm__free_marks();
    return rc;
  }
  const int kind = (input ? 0 : 16) + (to >= 2 ? 8 : 4) + ((to & 1) != 0 ? 2 : 1);
  if (input) {
    e->in[to].noofChars = e->in[from].noofChars;
    e->in[to].maxLen = e->in[from].maxLen;
    rscpsm__set_mark(root);
  } else {
    e->out[to].noofChars = e->out[from].noofChars;
    e->out[to].maxLen = e->out[from].maxLen;
  }
  rscpRc_t rc = rscpltb__load_table(kind, e, root, input ? 0 : t2, mode, kLcpDepth, 1);
  if (rc == 0 && LcpOverflowed()) rc = LcpTooSmall(402, __LINE__);
  int t1n = 0, t3n = 0;
  rscpgc__get_counts(&t1n, nullptr, &t3n);
  if (rc == 0) {
    if (input) {
      e->in[to].noofT1 = static_cast<uint16_t>(t1n);
      LcpPublishIn(e, to, root);
    } else {
      e->out[to].noofT3 = static_cast<uint16_t>(t3n);
      LcpPublishOut(e, to, t2);
    }
    rscpsv__save_marks();
  } else {
    if (input) e->in[to] = rscpInSlot_t{}; else e->out[to] = rscpOutSlot_t{};
    rscprb__rollback_tables(e, reason);
  }
  rscpfm__free_marks();
  return rc;
}

}  // namespace

uint16_t rscpIInRoot(const rscpCpEntry_t* e, int slot) {
  return std::atomic_ref<uint16_t>(const_cast<uint16_t&>(e->in[slot].root)).load(std::memory_order_acquire);
}
uint32_t rscpIOutT2(const rscpCpEntry_t* e, int slot) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(e->out[slot].t2)).load(std::memory_order_acquire);
}

rscpRc_t rscplic__derive_input(rscpCpEntry_t* entry, int from, int to, int mode) {
  return LcpDerive(entry, from, to, mode, true);
}
rscpRc_t rscploc__derive_output(rscpCpEntry_t* entry, int from, int to, int mode) {
  return LcpDerive(entry, from, to, mode, false);
}

rscpRc_t rscplcp__load_codepage(int kind, rscpCpEntry_t* e) {
  rscpCCC_t* c = rscpGetCache();
  // A call that pinned an older generation chose its entry there: loading
  // into the published one would mix two blocks. It starts over instead.
  if (!rscpPinIsCurrent()) {
    WEQ_UC cp[5];
    LcpCp(e, cp);
    return LcpReport(RSCPEBUSY, 405, __LINE__, u"converter cache rebuilt during the call", u"CP6", cp);
  }
  const bool input = kind <= 10;
  rscpsv__save_marks();
  if (input ? rscpIInRoot(e, 0) == 0 : rscpIOutT2(e, 0) == 0) {
    uint32_t* t1 = nullptr;
    uint16_t root = 0;
    uint16_t* t2p = nullptr;
    uint32_t t2 = 0;
    rscpRc_t rc = input ? rscpa1__alloc_t1(&t1, &root) : rscpa2__alloc_t2(&t2p, &t2);
    if (rc == 0) rc = rscpltb__load_table(input ? 5 : 21, e, root, t2, 5, kLcpDepth, 0);
    if (rc == 0 && LcpOverflowed()) rc = LcpTooSmall(403, __LINE__);
    if (rc != 0) {
      // Nothing of a failed base stays: its root was never recorded.
      if (input) e->in[0] = rscpInSlot_t{}; else e->out[0] = rscpOutSlot_t{};
      rscprb__rollback_tables(e, u"load code page failed");
      if (rscpHooks.optionBytes != nullptr && rscpHooks.optionBytes[1] != 0) rscpHooks.funcExit(rc, 0, 0, nullptr);
      return rc;
    }
    int t1n = 0, t3n = 0;
    rscpgc__get_counts(&t1n, nullptr, &t3n);
    for (int s = 1; s < 4; ++s) {
      if (input) e->in[s].noofT1 = 0; else e->out[s].noofT3 = 0;
    }
    if (input) {
      e->in[0].noofT1 = static_cast<uint16_t>(t1n);
      LcpPublishIn(e, 0, root);
    } else {
      e->out[0].noofT3 = static_cast<uint16_t>(t3n);
      LcpPublishOut(e, 0, t2);
    }
    rscpsv__save_marks();
  }
  rscpRc_t rc = 0;
  auto missing = [&](int slot) { return input ? rscpIInRoot(e, slot) == 0 : rscpIOutT2(e, slot) == 0; };
  auto derive = [&](int from, int to, int mode) {
    return input ? rscplic__derive_input(e, from, to, mode) : rscploc__derive_output(e, from, to, mode);
  };
  const int k = input ? kind : kind - 16;
  switch (k) {
    case 6:
      if (missing(1)) rc = derive(0, 1, 6);
      if (rc == 0) return 0;
      break;
    case 9:
    case 10:
      if (missing(2)) rc = derive(0, 2, 9);
      if (rc == 0 && k == 10 && missing(3) && c->was_overflow == 0) rc = derive(2, 3, 2);
      if (rc != 0) return rc;
      if (!input) return 0;
      break;
    default:
      break;
  }
  if (c->end_t1 > c->first_t2 || c->was_overflow != 0) {
    WEQ_UC param[48];
    snprintfU16(param, std::size(param), u"cachesize&%ld&?&", static_cast<long>(c->length));
    LcpReport(RSCPETOOLONG, 404, __LINE__, u"T1+T3 overlap with T2 after loading code page", u"F1A", param);
    // Everything recorded so far is complete; only what came after the last
    // success goes.
    rscprb__rollback_tables(e, u"overflow while loading control codes");
    return RSCPETOOLONG;
  }
  return rc;
}

rscpRc_t rscpltb__load_table(int kind, rscpCpEntry_t* e, uint16_t t1root, uint32_t t2, int mode, int depth,
                             int cowMode) {
  WEQ_UC cp[5];
  LcpCp(e, cp);
  if (depth - 1 <= 0) {
    WEQ_UC text[80], param[32];
    snprintfU16(text, std::size(text), u"maximum recursion depth (%d) for codepage inclusions exceeded", kLcpDepth);
    snprintfU16(param, std::size(param), u"%*.*s&%d&", 4, 4, static_cast<const WEQ_UC*>(cp), kLcpDepth);
    return LcpReport(RSCPEINTERN, 405, __LINE__, text, u"CPE", param);
  }
  const WEQ_UC src = e->sourceOfCodePage;
  if (src == u'0' || src == u'1' || src == u'3' || src == u'4') {
    LcpReport(RSCPEINTERN, 406, __LINE__, u"cp shall be read from DB, but no DB interface compiled", u"CPF", cp);
  } else if (src != u' ' && src != u'2') {
    return LcpReport(RSCPEINTERN, 407, __LINE__, u"cp shall be read, but no source available", u"CPF", cp);
  }
  const rscpRc_t rc = rscplf5__load_from_f5(kind, e, t1root, t2, mode, depth - 1, cowMode);
  if (rc != RSCPENOOBJ) return rc;
  // The flat file only answers whether it exists: the built-in load's
  // failure stands either way.
  const rscpRc_t probe = rscplff__probe_flat_file(e);
  return probe != 0 ? probe : rc;
}

rscpRc_t rscplf5__load_from_f5(int kind, rscpCpEntry_t* e, uint16_t t1root, uint32_t t2, int mode, int depth,
                               int cowMode) {
  rscpGetThrCtx()->fileFlag = 1;
  if (e->segid[0] == u' ') {
    WEQ_UC cp[5];
    LcpCp(e, cp);
    return LcpReport(RSCPEINTERN, 408, __LINE__, u"code page is empty", u"CPQ", cp, u"&no segid&");
  }
  return rscpgs__get_segment(kind, e, e->segid, t1root, t2, mode, 1, 0, 0, depth, cowMode);
}

rscpRc_t rscplff__probe_flat_file(rscpCpEntry_t* e) {
  rscpGetThrCtx()->fileFlag = 1;
  const WEQ_UC* tmpl = rscpHooks.param(u"rscp/file/codepage");
  if (tmpl == nullptr || tmpl[0] == 0) tmpl = u"S++++.CPA";
  WEQ_UC name[260];
  int plus = 0;
  size_t n = 0;
  for (; tmpl[n] != 0 && n + 1 < std::size(name); ++n) {
    name[n] = tmpl[n] == u'+' && plus < 4 ? e->cp[plus++] : tmpl[n];
  }
  name[n] = 0;
  WEQ_UC cp[5];
  LcpCp(e, cp);
  if (plus < 4) {
    return LcpReport(RSCPEINTERN, 409, __LINE__, u"profile \"rscp/file/codepage\" miss \"++++\"", u"CPF", cp);
  }
  FILE* f = fopenU16(name, u"rb");
  if (f != nullptr) {
    fclose(f);
    return 0;
  }
  const int err = errno;
  rscpePushOsError(err, name, -1);
  WEQ_UC param[48];
  snprintfU16(param, std::size(param), u"%*.*s&%ld&", 4, 4, static_cast<const WEQ_UC*>(cp), static_cast<long>(err));
  return LcpReport(RSCPEIO, 410, __LINE__, u"Cannot read flat file with database table", u"CPA", param);
}

rscpRc_t rscpgdi__general_db_init(int) {
  if (rscpeGetVerbose() >= 2) fputs("rscpgdi__general_db_init ignored \n", stderr);
  return 0;
}

rscpRc_t rscpf1t__flush_one_table(const WEQ_UC* name) {
  if (rscpeGetVerbose() >= 1) {
    fprintfU16(stderr, u"rscpf1t__flush_one_table: I guess db_ntab would have answered \"unbuffered\" for table %s\n",
               name);
  }
  return 0;
}

void rscpdgb__draw_gauge(WEQ_UC* buf, int width, int64_t from, int64_t to, int64_t total) {
  if (width < 1 || width > 10000) {
    buf[0] = u'?';
    return;
  }
  if (!(from >= 0 && from <= to && to <= total && total >= 1)) {
    std::fill(buf, buf + width, u'?');
    return;
  }
  // Half units: 64-bit products, so that a large cache cannot overflow.
  const int64_t w2 = 2 * static_cast<int64_t>(width);
  int64_t s = from * w2 / total;
  int64_t t = to * w2 / total;
  std::fill(buf, buf + width, u'_');
  int64_t first = s / 2, last = (t + 1) / 2;  // covered units [first, last)
  if (last <= first) {
    // An empty span still shows one unit: the one after it, or the one
    // before when it ends the gauge.
    if (first >= width) first = width - 1;
    buf[first] = s % 2 != 0 ? u'/' : u'\\';
    return;
  }
  for (int64_t i = first; i < last && i < width; ++i) buf[i] = u'X';
  if (s % 2 != 0) buf[first] = u'/';
  if (t % 2 != 0 && last - 1 < width) buf[last - 1] = u'\\';
}
