// Node addresses and their texts: the IP usage word, address and mask text
// in both directions, comparison under a mask, hidden route passwords, and
// the public host and service look-ups over the caches.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "krn/ni/niaddr_int.h"
#include "krn/ni/nihs_int.h"
#include "krn/rscp/rscpu.h"
#include "krn/si/si.h"

namespace {

constexpr const WEQ_UC* kAddrModule = u"niaddr.cpp";

// The "localhost" address kept by NiGetLoopbackAddr: 0 unset, 1 being set,
// 2 kept. The halves are written before the state becomes 2.
std::atomic<int> g_loopState{0};
std::atomic<uint64_t> g_loopHalf[2];

NI_RC ParamNull(const WEQ_UC* func, const WEQ_UC* param, int line) {
  return NiIErrTrace(kAddrModule, line, 1, u"%s: parameter invalid (%s == NULL)", NIEINVAL, func, param);
}

#define NI_CHECK_NULL(func, p)                                    \
  do {                                                            \
    if ((p) == nullptr) return ParamNull(func, u"" #p, __LINE__); \
  } while (0)

NI_NODEADDR Mapped127() { return NiIPv4ToAddr(htonl(0x7F000001u)); }

// --- Address and mask text ---------------------------------------------------

constexpr int kMinText = 2;
constexpr int kMaxText = 49;

int HexDigit(WEQ_UC c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool IsDigit(WEQ_UC c) { return c >= u'0' && c <= u'9'; }

// The parse of one address-and-mask text. Positions index the text; the
// address part ends at the first '/' (or the end).
class AddrMaskParser {
 public:
  explicit AddrMaskParser(const WEQ_UC* text) : s_(text), n_(static_cast<int>(strlenU(text))) {}

  NI_RC Run(NI_NODEADDR* addr, NI_NODEADDR* mask, bool* prefixUsed, bool* wildUsed);

 private:
  template <class... A>
  NI_RC Fail(int line, ErrDescrFmt<A...> fmt, const A&... args) {
    return NiIErrTrace(kAddrModule, line, 2, fmt, NIEINVAL, args...);
  }
  NI_RC ParsePrefix();
  NI_RC ParseIPv6();
  // Four dotted parts from q to the end of the address part into bytes
  // 12-15; bits counts the prefix bits that come before them (96).
  NI_RC ParseIPv4Parts(int q);
  void ApplyPrefix();

  static constexpr const WEQ_UC* kFn = u"NiStrToAddrMask";
  const WEQ_UC* s_;
  int n_;
  int addrEnd_ = 0;
  int prefix_ = -1;   // of the 128 bits; for pure IPv4 text 96 is added
  int written_ = -1;  // as written, for the messages
  bool wild_ = false;
  WEQ_RAW addr_[16];
  WEQ_RAW mask_[16];
};

NI_RC AddrMaskParser::ParsePrefix() {
  addrEnd_ = n_;
  for (int i = 0; i < n_; ++i) {
    if (s_[i] == u'/') {
      addrEnd_ = i;
      break;
    }
  }
  if (addrEnd_ == n_) return WEQ_O_K;
  int p = addrEnd_ + 1;
  if (p == n_) return Fail(__LINE__, u"%s: invalid prefix in '%s'", kFn, s_);
  int v = 0;
  for (; p < n_; ++p) {
    if (!IsDigit(s_[p])) return Fail(__LINE__, u"%s: invalid prefix in '%s'", kFn, s_);
    if (v < 100000) v = v * 10 + (s_[p] - u'0');
  }
  if (v > 128) return Fail(__LINE__, u"%s: invalid prefix in '%s' (%d)", kFn, s_, v);
  prefix_ = written_ = v;
  return WEQ_O_K;
}

NI_RC AddrMaskParser::ParseIPv4Parts(int q) {
  for (int b = 0; b < 4; ++b) {
    int end = q;
    while (end < addrEnd_ && s_[end] != u'.') ++end;
    int len = end - q;
    WEQ_RAW value = 0, bits = 0xFF;
    if (len == 0 && q == addrEnd_) {
      // The text ended: the prefix must not reach into the missing bytes.
      if (prefix_ < 0) return Fail(__LINE__, u"%s: invalid length of '%s' (%d)", kFn, s_, q);
      if (prefix_ > 96 + b * 8) {
        return Fail(__LINE__, u"%s: invalid prefix in '%s' (%d)", kFn, s_, written_);
      }
      for (int k = b; k < 4; ++k) addr_[12 + k] = 0;
      return WEQ_O_K;
    }
    if (len == 1 && s_[q] == u'*') {
      if (prefix_ >= 0) return Fail(__LINE__, u"%s: invalid wildcards in '%s'", kFn, s_);
      bits = 0;
      wild_ = true;
    } else if (len == 8) {
      for (int k = 0; k < 8; ++k) {
        WEQ_UC c = s_[q + k];
        value = static_cast<WEQ_RAW>(value << 1);
        bits = static_cast<WEQ_RAW>(bits << 1);
        if (c == u'1') {
          value |= 1;
          bits |= 1;
        } else if (c == u'0') {
          bits |= 1;
        } else if (c == u'x') {
          if (prefix_ >= 0) return Fail(__LINE__, u"%s: invalid wildcards in '%s'", kFn, s_);
          wild_ = true;
        } else {
          return Fail(__LINE__, u"%s: invalid character in '%s' (%d;%d)", kFn, s_, b, q + k);
        }
      }
    } else if (len >= 1 && len <= 3) {
      int v = 0;
      for (int k = 0; k < len; ++k) {
        if (!IsDigit(s_[q + k])) {
          return Fail(__LINE__, u"%s: invalid character in '%s' (%d;%d)", kFn, s_, b, q + k);
        }
        v = v * 10 + (s_[q + k] - u'0');
      }
      if (v > 255) return Fail(__LINE__, u"%s: invalid value in '%s' (%d;%d)", kFn, s_, b, v);
      value = static_cast<WEQ_RAW>(v);
    } else {
      return Fail(__LINE__, u"%s: invalid character in '%s' (%d;%d)", kFn, s_, b, q);
    }
    addr_[12 + b] = value;
    mask_[12 + b] = bits;
    q = end;
    if (b < 3 && q < addrEnd_) ++q;  // the '.'
  }
  if (q < addrEnd_) return Fail(__LINE__, u"%s: invalid character in '%s' (%d)", kFn, s_, q);
  return WEQ_O_K;
}

NI_RC AddrMaskParser::ParseIPv6() {
  uint16_t groups[8] = {};
  int g = 0;    // groups stored
  int dc = -1;  // groups before the "::"
  bool afterColon = false, lastWasDc = false, tail = false;
  int p = 0;
  if (addrEnd_ > 0 && s_[0] == u':') {
    // A leading ':' stands for a zero group 0.
    groups[g++] = 0;
    p = 1;
    afterColon = true;
  }
  for (;;) {
    if (p < addrEnd_ && s_[p] == u':' && afterColon) {
      if (dc >= 0) return Fail(__LINE__, u"%s: invalid multiple group in '%s'", kFn, s_);
      dc = g;
      ++p;
      afterColon = false;
      lastWasDc = true;
      if (p == addrEnd_) break;
      continue;
    }
    if (p == addrEnd_) {
      if (lastWasDc) break;
      return Fail(__LINE__, u"%s: invalid character in '%s' (%d)", kFn, s_, p);
    }
    int start = p;
    uint32_t v = 0;
    bool allDec = true;
    for (int d; p < addrEnd_ && (d = HexDigit(s_[p])) >= 0; ++p) {
      if (v <= 0xFFFFF) v = v * 16 + static_cast<uint32_t>(d);
      if (!IsDigit(s_[p])) allDec = false;
    }
    WEQ_UC c = p < addrEnd_ ? s_[p] : 0;
    bool dotted = c == u'.' || c == u'x' || c == u'*';
    // A bare number before a short prefix names an IPv4 network ("10/8").
    bool network = !dotted && g == 0 && dc < 0 && p == addrEnd_ && p > start && allDec &&
                   (prefix_ < 0 || prefix_ <= 8) && v < 0x256;
    if (dotted || network) {
      if (g == 0 && dc < 0) {
        if (prefix_ > 32) return Fail(__LINE__, u"%s: invalid prefix in '%s' (%d)", kFn, s_, prefix_);
        memset(addr_, 0, 10);
        addr_[10] = addr_[11] = 0xFF;
        if (prefix_ >= 0) prefix_ += 96;
        return ParseIPv4Parts(start);
      }
      if (dc < 0 ? g != 6 : g > 6) {
        return Fail(__LINE__, u"%s: invalid length of '%s' (%d)", kFn, s_, g);
      }
      NI_RC rc = ParseIPv4Parts(start);
      if (rc != WEQ_O_K) return rc;
      tail = true;
      break;
    }
    if (p == start) return Fail(__LINE__, u"%s: invalid character in '%s' (%d)", kFn, s_, p);
    if (v > 0xFFFF) {
      return Fail(__LINE__, u"%s: invalid value in '%s' (%d;%d)", kFn, s_, g, static_cast<int>(v));
    }
    if (g >= 8 || (dc >= 0 && g >= 7)) {
      return Fail(__LINE__, u"%s: invalid length of '%s' (%d)", kFn, s_, g);
    }
    groups[g++] = static_cast<uint16_t>(v);
    lastWasDc = false;
    if (c == u':') {
      ++p;
      afterColon = true;
      continue;
    }
    if (p == addrEnd_) break;
    return Fail(__LINE__, u"%s: invalid character in '%s' (%d)", kFn, s_, p);
  }
  int total = g + (tail ? 2 : 0);
  uint16_t placed[8] = {};
  if (dc >= 0) {
    int after = total - dc;
    if (after > 6 || total > 7) return Fail(__LINE__, u"%s: invalid length of '%s' (%d)", kFn, s_, total);
    for (int i = 0; i < dc; ++i) placed[i] = groups[i];
    for (int i = dc; i < g; ++i) placed[8 - (tail ? 2 : 0) - (g - i)] = groups[i];
  } else {
    if (total < 8) {
      if (prefix_ < 0) return Fail(__LINE__, u"%s: invalid length of '%s' (%d)", kFn, s_, total);
      if (prefix_ > total * 16) {
        return Fail(__LINE__, u"%s: invalid prefix in '%s' (%d)", kFn, s_, prefix_);
      }
    }
    for (int i = 0; i < g; ++i) placed[i] = groups[i];
  }
  for (int i = 0; i < (tail ? 6 : 8); ++i) {
    addr_[2 * i] = static_cast<WEQ_RAW>(placed[i] >> 8);
    addr_[2 * i + 1] = static_cast<WEQ_RAW>(placed[i]);
  }
  return WEQ_O_K;
}

void AddrMaskParser::ApplyPrefix() {
  if (prefix_ < 0) return;
  for (int i = 0; i < 16; ++i) {
    int bits = prefix_ - 8 * i;
    WEQ_RAW m = bits >= 8 ? 0xFF : bits <= 0 ? 0 : static_cast<WEQ_RAW>(0xFF << (8 - bits));
    mask_[i] &= m;
  }
}

NI_RC AddrMaskParser::Run(NI_NODEADDR* addr, NI_NODEADDR* mask, bool* prefixUsed, bool* wildUsed) {
  if (n_ < kMinText || n_ > kMaxText) {
    return Fail(__LINE__, u"%s: invalid string length of '%s' (%d)", kFn, s_, n_);
  }
  memset(addr_, 0xAB, sizeof addr_);
  memset(mask_, 0xFF, sizeof mask_);
  NI_RC rc = ParsePrefix();
  if (rc == WEQ_O_K) rc = ParseIPv6();
  if (rc != WEQ_O_K) return rc;
  ApplyPrefix();
  memcpy(addr->addr, addr_, 16);
  memcpy(mask->addr, mask_, 16);
  *prefixUsed = prefix_ >= 0;
  *wildUsed = wild_;
  return WEQ_O_K;
}

// Leading one bits of a mask, and whether every later bit is zero.
int MaskPrefix(const NI_NODEADDR& m, bool* contiguous) {
  int i = 0;
  while (i < 16 && m.addr[i] == 0xFF) ++i;
  int prefix = 8 * i;
  if (i < 16) {
    WEQ_RAW b = m.addr[i];
    while (b & 0x80) {
      ++prefix;
      b = static_cast<WEQ_RAW>(b << 1);
    }
    *contiguous = b == 0;
    for (int k = i + 1; k < 16 && *contiguous; ++k) *contiguous = m.addr[k] == 0;
  } else {
    *contiguous = true;
  }
  return prefix;
}

}  // namespace

// --- Error helper --------------------------------------------------------------

NI_RC NiIErrTraceV(const WEQ_UC* module, int line, int level, NI_RC rc, const WEQ_UC* descr,
                   U16FmtArgs args) {
  ErrSetInfoSysV(NI_COMPONENT, NI_COMPONENT_VERSION, module, static_cast<uint32_t>(line), 0, descr, rc,
                 NiIErrorText(rc, nullptr), nullptr, 0, args);
  if (DPTRC_ON(level)) {
    WEQ_UC text[1024];
    vsnprintfTruncU16(text, sizeof text / sizeof text[0], descr, args);
    DpTrcLock();
    if (level <= 1) {
      DpTrcSetLocation(module, line);
      DpTrcError(NiITrcHdl(), u"%s\n", +text);
    } else {
      DpTrc(NiITrcHdl(), u"%s\n", +text);
    }
    DpTrcUnlock();
  }
  return rc;
}

// --- IP protocol usage ---------------------------------------------------------

std::atomic<uint32_t> NiIPProtoUsage{0};

void NiISetIPProtoUsage(void) {
  if (NiIPProtoUsage.load(std::memory_order_acquire) != 0) return;
  uint32_t usage = NI_PROTO_FAM_IPv4;
  const char* env = getenv("WEQ_IPv6_ACTIVE");
  if (env != nullptr) {
    char* end = nullptr;
    long v = strtol(env, &end, 10);
    if (end != env && *end == 0 && (v == 0 || v == 1)) {
      usage = v == 1 ? (NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6) : NI_PROTO_FAM_IPv4;
    } else if (DPTRC_ON(1)) {
      WEQ_UC value[128];
      Utf8sToU16s(value, 128, nullptr, env);
      DPTRC_LINE(1, NiITrcHdl(), u"%s: invalid value '%s' for WEQ_IPv6_ACTIVE [0,1]\n", u"NiISetIPProtoUsage",
                 +value);
    }
  }
  uint32_t expected = 0;
  NiIPProtoUsage.compare_exchange_strong(expected, usage, std::memory_order_acq_rel);
}

const WEQ_UC* NiIIPProtoUsageText(void) { return NiIIPv6Active() ? u"IPv4/IPv6" : u"IPv4"; }

namespace {
std::atomic<bool> g_loopback6{false};
}  // namespace

NI_NODEADDR NiILoopbackAddr(void) {
  NI_NODEADDR a{};
  if (g_loopback6.load(std::memory_order_relaxed)) {
    a.addr[15] = 1;
    return a;
  }
  return Mapped127();
}

void NiISetLoopbackIPv6(bool ipv6) { g_loopback6.store(ipv6, std::memory_order_relaxed); }

void NiIResetAddrState(void) {
  g_loopback6.store(false, std::memory_order_relaxed);
  NiIPProtoUsage.store(0, std::memory_order_relaxed);
  g_loopState.store(0, std::memory_order_relaxed);
}

// --- IPv4 values -----------------------------------------------------------------

NI_NODEADDR NiIPv4ToAddr(uint32_t ipv4) {
  NI_NODEADDR a{};
  a.addr[10] = a.addr[11] = 0xFF;
  memcpy(a.addr + 12, &ipv4, 4);
  return a;
}

uint16_t NiHtons(uint16_t value) { return SiHtons(value); }
uint16_t NiNtohs(uint16_t value) { return SiNtohs(value); }

uint32_t NiAddrToIPv4(const NI_NODEADDR* pNodeAddr) {
  uint32_t v = 0;
  if (pNodeAddr != nullptr) memcpy(&v, pNodeAddr->addr + 12, 4);
  return v;
}

// --- Address text ----------------------------------------------------------------

NI_RC NiAddrToStr(const NI_NODEADDR* pNodeAddr, WEQ_UC* pNodeAddrStr, int bufferLen, int) {
  static constexpr const WEQ_UC* kFn = u"NiAddrToStr";
  NI_CHECK_NULL(kFn, pNodeAddrStr);
  if (pNodeAddr == nullptr || NiIIsMapped(*pNodeAddr)) {
    if (bufferLen < NI_IPv4ADDR_STR_LEN) {
      return NiIErrTrace(kAddrModule, __LINE__, 1, u"%s: parameter invalid (bufferLen < NI_IPv4ADDR_STR_LEN)",
                         NIEINVAL, kFn);
    }
    if (pNodeAddr == nullptr) {
      strcpy_sU16(pNodeAddrStr, static_cast<size_t>(bufferLen), u"0.0.0.0");
    } else {
      const WEQ_RAW* b = pNodeAddr->addr + 12;
      snprintfU16(pNodeAddrStr, static_cast<size_t>(bufferLen), u"%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    }
    return WEQ_O_K;
  }
  if (bufferLen < NI_NODEADDR_STR_LEN) {
    return NiIErrTrace(kAddrModule, __LINE__, 1, u"%s: parameter invalid (bufferLen < NI_NODEADDR_STR_LEN)",
                       NIEINVAL, kFn);
  }
  if (NiPGetHostByAddr(pNodeAddr, 1, pNodeAddrStr, bufferLen, NiITrcHdl()) == WEQ_O_K) return WEQ_O_K;
  const WEQ_RAW* b = pNodeAddr->addr;
  int g[8];
  for (int i = 0; i < 8; ++i) g[i] = (b[2 * i] << 8) | b[2 * i + 1];
  snprintfU16(pNodeAddrStr, static_cast<size_t>(bufferLen), u"%x:%x:%x:%x:%x:%x:%x:%x", g[0], g[1], g[2],
              g[3], g[4], g[5], g[6], g[7]);
  return WEQ_O_K;
}

const WEQ_UC* NiAddrToStr2(const NI_NODEADDR* pNodeAddr, WEQ_UC* pNodeAddrStr, int bufferLen, int flag) {
  if (NiAddrToStr(pNodeAddr, pNodeAddrStr, bufferLen, flag) != WEQ_O_K) return u"<ERR>";
  return pNodeAddrStr;
}

const WEQ_UC* NiAddrToStrStatic(const NI_NODEADDR* pNodeAddr, int flag) {
  // The text lives in the thread's NI data, which initialises NI on demand.
  NI_THR_GLOB* glob = NiIGetThrGlob();
  if (glob == nullptr) return u"*** ERROR ***";
  if (NiAddrToStr(pNodeAddr, glob->mAddrText, NI_NODEADDR_STR_LEN, flag) != WEQ_O_K) return u"*** ERROR ***";
  return glob->mAddrText;
}

NI_RC NiServToStr(uint16_t servNo, WEQ_UC* pServNoStr, int bufferLen) {
  static constexpr const WEQ_UC* kFn = u"NiServToStr";
  NI_CHECK_NULL(kFn, pServNoStr);
  if (bufferLen < NI_SERVNO_STR_LEN) {
    return NiIErrTrace(kAddrModule, __LINE__, 1, u"%s: parameter invalid (bufferLen < NI_SERVNO_STR_LEN)",
                       NIEINVAL, kFn);
  }
  snprintfU16(pServNoStr, static_cast<size_t>(bufferLen), u"%d", static_cast<int>(servNo));
  return WEQ_O_K;
}

// --- Address and mask ----------------------------------------------------------------

NI_RC NiStrToAddrMask(const WEQ_UC* pInStr, NI_NODEADDR* pNodeAddr, NI_NODEADDR* pNodeAddrMask, int* pFlag) {
  static constexpr const WEQ_UC* kFn = u"NiStrToAddrMask";
  NI_CHECK_NULL(kFn, pInStr);
  NI_CHECK_NULL(kFn, pNodeAddr);
  NI_CHECK_NULL(kFn, pNodeAddrMask);
  bool prefixUsed = false, wildUsed = false;
  NI_RC rc = AddrMaskParser(pInStr).Run(pNodeAddr, pNodeAddrMask, &prefixUsed, &wildUsed);
  if (rc != WEQ_O_K) return rc;
  if (pFlag != nullptr) *pFlag = prefixUsed || wildUsed ? 1 : 0;
  if (DPTRC_ON(3)) {
    WEQ_UC text[NI_ADDRMASK_STR_LEN];
    NiAddrMaskToStr(pNodeAddr, pNodeAddrMask, text, NI_ADDRMASK_STR_LEN);
    DPTRC_LINE(3, NiITrcHdl(), u"%s: '%s' -> %s (%d/%d)\n", kFn, pInStr, +text, prefixUsed ? 1 : 0,
               wildUsed ? 1 : 0);
  }
  return WEQ_O_K;
}

NI_RC NiStrToAddr(NI_NODEADDR* pNodeAddr, const WEQ_UC* pInStr) {
  static constexpr const WEQ_UC* kFn = u"NiStrToAddr";
  NI_CHECK_NULL(kFn, pNodeAddr);
  NI_CHECK_NULL(kFn, pInStr);
  NI_NODEADDR mask;
  int flag = 0;
  NI_RC rc = NiStrToAddrMask(pInStr, pNodeAddr, &mask, &flag);
  if (rc != WEQ_O_K) return rc;
  if (flag != 0) {
    return NiIErrTrace(kAddrModule, __LINE__, 2, u"%s: address '%s' with subnet prefix", NIEINVAL, kFn, pInStr);
  }
  return WEQ_O_K;
}

NI_RC NiAddrMaskToStr(const NI_NODEADDR* pNodeAddr, const NI_NODEADDR* pNodeAddrMask, WEQ_UC* pNodeAddrStr,
                      int bufferLen) {
  static constexpr const WEQ_UC* kFn = u"NiAddrMaskToStr";
  NI_CHECK_NULL(kFn, pNodeAddr);
  NI_CHECK_NULL(kFn, pNodeAddrMask);
  NI_CHECK_NULL(kFn, pNodeAddrStr);
  if (bufferLen < NI_ADDRMASK_STR_LEN) {
    return NiIErrTrace(kAddrModule, __LINE__, 1, u"%s: parameter invalid (bufferLen < NI_ADDRMASK_STR_LEN)",
                       NIEINVAL, kFn);
  }
  bool contiguous = false;
  int prefix = MaskPrefix(*pNodeAddrMask, &contiguous);
  bool mapped = NiIIsMapped(*pNodeAddr);
  WEQ_UC addrText[NI_NODEADDR_STR_LEN];
  NI_RC rc = NiAddrToStr(pNodeAddr, addrText, NI_NODEADDR_STR_LEN, 0);
  if (rc != WEQ_O_K) return rc;
  // A mapped address under a prefix shorter than its IPv4 part is written in
  // IPv6 form, so that the text reads back as the same address and mask.
  const WEQ_UC* lead = mapped && prefix < 96 ? u"::ffff:" : u"";
  if (mapped && prefix >= 96) {
    if (contiguous) {
      snprintfU16(pNodeAddrStr, static_cast<size_t>(bufferLen), u"%s/%d", +addrText, prefix - 96);
    } else {
      const WEQ_RAW* m = pNodeAddrMask->addr + 12;
      snprintfU16(pNodeAddrStr, static_cast<size_t>(bufferLen), u"%s/%d.%d.%d.%d", +addrText, m[0], m[1],
                  m[2], m[3]);
    }
  } else if (contiguous) {
    snprintfU16(pNodeAddrStr, static_cast<size_t>(bufferLen), u"%s%s/%d", lead, +addrText, prefix);
  } else {
    WEQ_UC maskText[NI_NODEADDR_STR_LEN];
    rc = NiAddrToStr(pNodeAddrMask, maskText, NI_NODEADDR_STR_LEN, 0);
    if (rc != WEQ_O_K) return rc;
    snprintfU16(pNodeAddrStr, static_cast<size_t>(bufferLen), u"%s%s/%s", lead, +addrText, +maskText);
  }
  return WEQ_O_K;
}

bool NiAddrMatch(const NI_NODEADDR* pNodeAddrA, const NI_NODEADDR* pNodeAddrB,
                 const NI_NODEADDR* pNodeAddrMask) {
  static constexpr const WEQ_UC* kFn = u"NiAddrMatch";
  if (pNodeAddrA == nullptr) return ParamNull(kFn, u"pNodeAddrA", __LINE__), false;
  if (pNodeAddrB == nullptr) return ParamNull(kFn, u"pNodeAddrB", __LINE__), false;
  if (pNodeAddrMask == nullptr) return ParamNull(kFn, u"pNodeAddrMask", __LINE__), false;
  uint64_t a[2], b[2], m[2];
  memcpy(a, pNodeAddrA->addr, 16);
  memcpy(b, pNodeAddrB->addr, 16);
  memcpy(m, pNodeAddrMask->addr, 16);
  return ((a[0] ^ b[0]) & m[0]) == 0 && ((a[1] ^ b[1]) & m[1]) == 0;
}

// --- Route strings -----------------------------------------------------------------------

NI_RC NiSecStr2(const WEQ_UC* pInStr, WEQ_UC* pSecStr, int bufferLen) {
  static constexpr const WEQ_UC* kFn = u"NiSecStr2";
  NI_CHECK_NULL(kFn, pInStr);
  NI_CHECK_NULL(kFn, pSecStr);
  long len = static_cast<long>(strlenU(pInStr));
  if (bufferLen <= len) {
    return NiIErrTrace(kAddrModule, __LINE__, 1, u"%s: output buffer too small (%d<=%d)", NIETOO_SMALL, kFn,
                       bufferLen, static_cast<int>(len));
  }
  long room = bufferLen - 1 - len;  // units the output may grow beyond the input
  long in = 0, out = 0;
  while (in < len) {
    bool marker = in + 3 <= len && pInStr[in] == u'/' && pInStr[in + 2] == u'/' &&
                  (pInStr[in + 1] == u'P' || pInStr[in + 1] == u'W');
    if (!marker) {
      pSecStr[out++] = pInStr[in++];
      continue;
    }
    for (int k = 0; k < 3; ++k) pSecStr[out++] = pInStr[in++];
    long end = in;
    while (end < len && pInStr[end] != u'/') ++end;
    room += end - in;
    in = end;
    if (room >= 3) {
      for (int k = 0; k < 3; ++k) pSecStr[out++] = u'*';
      room -= 3;
    }
  }
  pSecStr[out] = 0;
  return WEQ_O_K;
}

// --- Host and service look-ups ---------------------------------------------------------------

NI_RC NiHostToAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr) {
  static constexpr const WEQ_UC* kFn = u"NiHostToAddr";
  NI_CHECK_NULL(kFn, pNodeAddr);
  if (pHostName != nullptr && strlenU(pHostName) >= NI_MAX_HOSTNAME_LEN) {
    return NiIErrTrace(kAddrModule, __LINE__, 1,
                       u"%s: parameter invalid (pHostName != NULL && strlenU(pHostName) >= "
                       u"NI_MAX_HOSTNAME_LEN)",
                       NIEINVAL, kFn);
  }
  if (pHostName != nullptr && strncmpU(pHostName, u"/H/", 3) == 0) {
    DPTRC_LINE(2, NiITrcHdl(), u"%s: hostname  '%s' unknown\n", kFn, pHostName);
    return NIEHOST_UNKNOWN;
  }
  return NiIGetNodeAddr(pHostName, 0, pNodeAddr, NI_HS_MODE_DEFAULT, NiITrcHdl());
}

NI_RC NiGetLoopbackAddr(NI_NODEADDR* pNodeAddr) {
  static constexpr const WEQ_UC* kFn = u"NiGetLoopbackAddr";
  NI_CHECK_NULL(kFn, pNodeAddr);
  if (g_loopState.load(std::memory_order_acquire) != 2) {
    NI_NODEADDR a;
    NI_RC rc = NiIGetNodeAddr(u"localhost", 0, &a, NI_HS_MODE_DEFAULT, NiITrcHdl());
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, NiITrcHdl(), u"%s: NiIGetNodeAddr failed (rc=%d)\n", kFn, rc);
      a = Mapped127();
    }
    uint64_t h[2];
    memcpy(h, a.addr, 16);
    int expected = 0;
    if (g_loopState.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
      g_loopHalf[0].store(h[0], std::memory_order_relaxed);
      g_loopHalf[1].store(h[1], std::memory_order_relaxed);
      g_loopState.store(2, std::memory_order_release);
    } else {
      // Another thread keeps its answer; this call uses its own.
      memcpy(pNodeAddr->addr, a.addr, 16);
      return WEQ_O_K;
    }
  }
  uint64_t h[2] = {g_loopHalf[0].load(std::memory_order_relaxed),
                   g_loopHalf[1].load(std::memory_order_relaxed)};
  memcpy(pNodeAddr->addr, h, 16);
  return WEQ_O_K;
}

NI_RC NiAddrToHost2(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int bufferLen) {
  static constexpr const WEQ_UC* kFn = u"NiAddrToHost2";
  NI_CHECK_NULL(kFn, pNodeAddr);
  NI_CHECK_NULL(kFn, pHostName);
  return NiIGetHostName(pNodeAddr, pHostName, bufferLen, 0, NI_HS_MODE_DEFAULT, NiITrcHdl());
}

NI_RC NiServToNo(const WEQ_UC* pServName, uint16_t* pServNo) {
  static constexpr const WEQ_UC* kFn = u"NiServToNo";
  NI_CHECK_NULL(kFn, pServName);
  NI_CHECK_NULL(kFn, pServNo);
  if (strlenU(pServName) >= NI_MAX_SERVNAME_LEN) {
    return NiIErrTrace(kAddrModule, __LINE__, 1,
                       u"%s: parameter invalid (strlenU(pServName) >= NI_MAX_SERVNAME_LEN)", NIEINVAL, kFn);
  }
  *pServNo = 0;
  uint16_t port = 0;
  NI_RC rc = NiIGetServNo(pServName, &port, NI_HS_MODE_DEFAULT, NiITrcHdl());
  if (rc == WEQ_O_K) *pServNo = ntohs(port);
  return rc;
}
