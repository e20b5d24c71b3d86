// The IPv4/IPv6 host cache: 16-byte addresses of either family, entries
// kept packed in slots 0..last and freed lazily when met expired, the
// oldest entry replaced when the table is full, and the address of a name
// chosen among several by the policy of NI_ADDR_POLICY.
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "krn/ni/nihs_int.h"
#include "krn/rscp/rscpu.h"

namespace {

constexpr const WEQ_UC* kHl6Module = u"nixxhl6.cpp";

const char* PolicyFromEnvironment() { return getenv("NI_ADDR_POLICY"); }
std::atomic<NI_POLICY_SOURCE_FUNC> g_policySource{&PolicyFromEnvironment};

const WEQ_UC* StatusWord(uint8_t status) {
  switch (status) {
    case STAT_VALID_NAME: return u"valid-name";
    case STAT_VALID_ADDR: return u"valid-address";
    case STAT_UNKNOWN_NAME: return u"unknown-name";
    case STAT_UNKNOWN_ADDR: return u"unknown-address";
    default: return u"";
  }
}

const WEQ_UC* Family(const NI_NODEADDR& a) { return NiIIsMapped(a) ? u"IPv4" : u"IPv6"; }

// Reads a base-10 number up to the first non-digit; false without a digit.
bool ReadDecimal(const WEQ_UC* s, uint32_t* out) {
  uint64_t v = 0;
  const WEQ_UC* p = s;
  while (*p >= u'0' && *p <= u'9') {
    if (v < 0xFFFFFFFFu) v = v * 10 + static_cast<uint64_t>(*p - u'0');
    ++p;
  }
  *out = v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
  return p != s;
}

}  // namespace

NIHIMPL_LINEAR6::NIHIMPL_LINEAR6() : NIHIMPL(u"NI host section I6") {}

NIHIMPL_LINEAR6::~NIHIMPL_LINEAR6() {
  NiIMtxHold hold(&mtx_);
  FreeTablesLocked();
}

void NIHIMPL_LINEAR6::FreeTablesLocked() {
  capacity_ = 0;
  free(table_);
  free(policy_);
  table_ = nullptr;
  policy_ = nullptr;
  ruleCount_ = 0;
}

NI_RC NIHIMPL_LINEAR6::InitLocked(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                                  uint32_t unknownAddrTime) {
  static constexpr TableTexts kTexts = {u"NiHL6Init", u"%s: disable host buf\n",
                                        u"%s: alloc host buf (%d entries)\n"};
  if (policy_ != nullptr) {
    NiIErrInfo(kHl6Module, __LINE__, u"%s: already initialized", NIECALL, kTexts.fn);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: already initialized)\n", kTexts.fn);
    return NIECALL;
  }
  last_ = 0;
  ruleCount_ = 0;
  NI_RC rc = InitTable(reinterpret_cast<void**>(&table_), sizeof(Entry), capacity, validTime, unknownNameTime,
                       unknownAddrTime, kTexts);
  if (rc != WEQ_O_K || capacity == 0) return rc;
  policy_ = static_cast<NI_POLICY_RULE*>(calloc(NI_POLICY_RULES, sizeof(NI_POLICY_RULE)));
  if (policy_ == nullptr) {
    free(table_);
    table_ = nullptr;
    capacity_ = 0;
    size_t bytes = NI_POLICY_RULES * sizeof(NI_POLICY_RULE);
    NiIErrInfo(kHl6Module, __LINE__, u"%s: malloc failed for %d bytes", NIEINTERN, kTexts.fn, bytes);
    DPTRC_LINE(1, NiITrcHdl(), u"%s: malloc failed for %d bytes (%d)\n", kTexts.fn, bytes, NI_POLICY_RULES);
    return NIEINTERN;
  }
  for (int i = 0; i < NI_POLICY_RULES; ++i) policy_[i].prefixLen = -1;
  NiHL6InitPolicy();
  return WEQ_O_K;
}

NI_RC NIHIMPL_LINEAR6::Init(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                            uint32_t unknownAddrTime) {
  NiIMtxHold hold(&mtx_);
  return InitLocked(capacity, validTime, unknownNameTime, unknownAddrTime);
}

NI_RC NIHIMPL_LINEAR6::SetIndexSize(uint32_t capacity) { return Resize(u"NiHL6SetIndexSize", capacity); }

NI_RC NIHIMPL_LINEAR6::Flush() {
  NiIMtxHold hold(&mtx_);
  last_ = 0;
  FlushTable(table_, sizeof(Entry), u"NiHL6Flush", u"%s: cache flushed\n");
  return WEQ_O_K;
}

bool NIHIMPL_LINEAR6::Expired(const Entry& e, int64_t now) const {
  if (e.status & (STAT_VALID_ADDR | STAT_VALID_NAME)) return e.stamp < now - int64_t{validTime_};
  if (e.status & STAT_UNKNOWN_ADDR) return e.stamp < now - int64_t{unknownAddrTime_};
  if (e.status & STAT_UNKNOWN_NAME) return e.stamp < now - int64_t{unknownNameTime_};
  return false;
}

template <class M>
uint32_t NIHIMPL_LINEAR6::ScanLive(M match) {
  int64_t now = NiIHSNow();
  for (uint32_t i = 0; i <= last_ && i < capacity_; ++i) {
    Entry& e = table_[i];
    if (e.status == STAT_SLOT_FREE) continue;
    if (Expired(e, now)) {
      e.status = STAT_SLOT_FREE;
      continue;
    }
    if (match(e)) return i;
  }
  return capacity_;
}

void NIHIMPL_LINEAR6::NiHL6Compact() {
  NiIMtxHold hold(&mtx_);
  if (capacity_ == 0) return;
  int64_t now = NiIHSNow();
  uint32_t top = last_ < capacity_ ? last_ : capacity_ - 1;
  auto live = [&](uint32_t k) {
    Entry& e = table_[k];
    if (e.status != STAT_SLOT_FREE && Expired(e, now)) e.status = STAT_SLOT_FREE;
    return e.status != STAT_SLOT_FREE;
  };
  for (uint32_t i = 0; i <= top; ++i) {
    if (live(i)) continue;
    while (top > i && !live(top)) --top;
    if (top == i) break;
    table_[i] = table_[top];
    table_[top].status = STAT_SLOT_FREE;
    --top;
  }
  while (top > 0 && table_[top].status == STAT_SLOT_FREE) --top;
  last_ = top;
}

NI_RC NIHIMPL_LINEAR6::NiHL6CacheLookupNameToAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr,
                                                  CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHL6CacheLookupNameToAddr";
  NiIMtxHold hold(&mtx_);
  if (validTime_ == 0) return NI_HS_NOT_CACHED;
  size_t len = strlenU(pHostName);
  if (len >= NI_HOST_NAME_UNITS) return NI_HS_NOT_CACHED;
  uint32_t i = ScanLive([&](const Entry& e) { return NiIHSByName(e.status) && NiISameName(e.name, pHostName, len); });
  if (i < capacity_) {
    const Entry& e = table_[i];
    DPTRC_LINE(2, trc, u"%s: found hostname '%s' in cache (%s, %s)\n", kFn, pHostName, Family(e.addr),
               StatusWord(e.status));
    if (e.status == STAT_UNKNOWN_NAME) return NIEHOST_UNKNOWN;
    *pNodeAddr = e.addr;
    return WEQ_O_K;
  }
  DPTRC_LINE(2, trc, u"%s: hostname '%s' not found in cache\n", kFn, pHostName);
  return NI_HS_NOT_CACHED;
}

NI_RC NIHIMPL_LINEAR6::NiHL6CacheLookupAddrToName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int size,
                                                  CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHL6CacheLookupAddrToName";
  WEQ_UC text[NI_NODEADDR_STR_LEN];
  NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0);
  NiIMtxHold hold(&mtx_);
  if (validTime_ == 0) return NI_HS_NOT_CACHED;
  uint32_t i = ScanLive(
      [&](const Entry& e) { return NiIHSByAddr(e.status) && memcmp(e.addr.addr, pNodeAddr->addr, 16) == 0; });
  if (i < capacity_) {
    const Entry& e = table_[i];
    DPTRC_LINE(2, trc, u"%s: found address %s in cache\n", kFn, +text);
    if (e.status & STAT_UNKNOWN_ADDR) return NIEHOST_UNKNOWN;
    strncpy_sU16(pHostName, static_cast<size_t>(size), e.name, NI_HOST_NAME_UNITS);
    return WEQ_O_K;
  }
  DPTRC_LINE(2, trc, u"%s: address %s not found in cache\n", kFn, +text);
  return NI_HS_NOT_CACHED;
}

void NIHIMPL_LINEAR6::AddLocked(const NI_NODEADDR* pNodeAddr, const WEQ_UC* pHostName, int type) {
  if (capacity_ == 0) return;
  NiHL6Compact();
  uint32_t slot = capacity_;
  for (uint32_t i = 0; i < capacity_; ++i) {
    if (table_[i].status == STAT_SLOT_FREE) {
      slot = i;
      break;
    }
  }
  if (slot == capacity_) {
    slot = 0;
    for (uint32_t i = 1; i < capacity_; ++i) {
      if (table_[i].stamp < table_[slot].stamp) slot = i;
    }
  }
  Entry& e = table_[slot];
  e.status = static_cast<uint8_t>(type);
  e.addr = *pNodeAddr;
  strncpy_sU16(e.name, NI_HOST_NAME_UNITS, pHostName != nullptr ? pHostName : u"", NI_HOST_NAME_UNITS - 1);
  e.stamp = NiIHSNow();
  if (slot > last_) last_ = slot;
}

void NIHIMPL_LINEAR6::NiHL6CacheAddName(const WEQ_UC* pHostName, const NI_NODEADDR* pNodeAddr, int type) {
  if (type != STAT_VALID_NAME && type != STAT_UNKNOWN_NAME) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: invalid type(%s, %d)\n", u"NiHL6CacheAddName", pHostName, type);
  }
  NiIMtxHold hold(&mtx_);
  AddLocked(pNodeAddr, pHostName, type);
}

void NIHIMPL_LINEAR6::NiHL6AddAddress(const NI_NODEADDR* pNodeAddr, const WEQ_UC* pHostName, int type) {
  if (type != STAT_VALID_ADDR && type != STAT_UNKNOWN_ADDR) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: invalid type(%d)\n", u"NiHL6AddAddress", type);
  }
  NiIMtxHold hold(&mtx_);
  AddLocked(pNodeAddr, pHostName, type);
}

// --- Policy ---------------------------------------------------------------------------------

NI_RC NIHIMPL_LINEAR6::NiHL6InitPolicy() {
  static constexpr const WEQ_UC* kFn = u"NiHL6InitPolicy";
  const char* env = g_policySource.load(std::memory_order_acquire)();
  if (env == nullptr) return WEQ_O_K;
  // The value is converted whole, so that its length is that of the text.
  size_t bytes = strlen(env);
  WEQ_UC* value = static_cast<WEQ_UC*>(malloc((bytes + 1) * sizeof(WEQ_UC)));
  if (value == nullptr) return NIEINTERN;
  Utf8sToU16s(value, static_cast<int>(bytes + 1), nullptr, env);
  size_t len = strlenU(value);
  if (len >= NI_POLICY_VALUE_UNITS) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: NI_ADDR_POLICY '%s' to large (%d>=%d)\n", kFn, value, len,
               NI_POLICY_VALUE_UNITS);
    free(value);
    return NIEINVAL;
  }
  NiIMtxHold hold(&mtx_);
  WEQ_UC* ctx = nullptr;
  NI_RC rc = WEQ_O_K;
  for (WEQ_UC* item = strtok_rU(value, u";", &ctx); item != nullptr; item = strtok_rU(nullptr, u";", &ctx)) {
    if (ruleCount_ >= NI_POLICY_RULES) {
      DPTRC_LINE(1, NiITrcHdl(), u"%s: NI_ADDR_POLICY table overflow (%d>=%d)\n", kFn, ruleCount_,
                 NI_POLICY_RULES);
      rc = NIEINVAL;
      break;
    }
    NiHL6addPolicyRule(item);
    if (ctx == nullptr) break;
  }
  free(value);
  return rc;
}

NI_RC NIHIMPL_LINEAR6::NiHL6addPolicyRule(const WEQ_UC* pRule) {
  static constexpr const WEQ_UC* kFn = u"NiHL6addPolicyRule";
  size_t len = strlenU(pRule);
  if (len > NI_POLICY_RULE_UNITS) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: policy rule '%s' too long for buffer (%d>%d)\n", kFn, pRule, len,
               NI_POLICY_RULE_UNITS);
    return NIEINVAL;
  }
  WEQ_UC rule[NI_POLICY_RULE_UNITS + 1];
  memcpy(rule, pRule, (len + 1) * sizeof(WEQ_UC));
  WEQ_UC* comma = strchrU(rule, u',');
  if (comma == nullptr || comma[1] == 0) return NIEINVAL;
  *comma = 0;
  NI_POLICY_RULE r;
  if (NiStrToAddrMask(rule, &r.addr, &r.mask, nullptr) != WEQ_O_K) return NIEINVAL;
  WEQ_UC* slash = strchrU(rule, u'/');
  if (slash == nullptr || slash[1] == 0) return NIEINVAL;
  uint32_t prefix = 0, precedence = 0;
  if (!ReadDecimal(slash + 1, &prefix) || !ReadDecimal(comma + 1, &precedence)) return NIEINVAL;
  if (prefix >= 129 || precedence >= 1001) return NIEINVAL;
  r.prefixLen = static_cast<int32_t>(prefix);
  r.precedence = static_cast<int32_t>(precedence);
  NiIMtxHold hold(&mtx_);
  if (policy_ == nullptr || ruleCount_ >= NI_POLICY_RULES) return NIEINVAL;
  int k = ruleCount_;
  while (k > 0 && policy_[k - 1].prefixLen < r.prefixLen) {
    policy_[k] = policy_[k - 1];
    --k;
  }
  policy_[k] = r;
  ++ruleCount_;
  return WEQ_O_K;
}

void NiISetPolicySource(NI_POLICY_SOURCE_FUNC fn) {
  g_policySource.store(fn != nullptr ? fn : &PolicyFromEnvironment, std::memory_order_release);
}

int NIHIMPL_LINEAR6::CopyPolicy(NI_POLICY_RULE* rules) {
  NiIMtxHold hold(&mtx_);
  if (policy_ == nullptr) return 0;
  memcpy(rules, policy_, static_cast<size_t>(ruleCount_) * sizeof(NI_POLICY_RULE));
  return ruleCount_;
}

NI_RC NIHIMPL_LINEAR6::NiHL6OSLookupNameToAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr, int protocol,
                                               CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHL6OSLookupNameToAddr";
  NI_NODEADDR addrs[NI_HL6_MAX_ADDRS];
  WEQ_UC canon[NI_MAX_HOSTNAME_LEN];
  int count = NI_HL6_MAX_ADDRS;
  Millis t0 = MilliClock();
  NI_RC rc = NiIResolver().hostByName(pHostName, 0, 0, addrs, &count, canon, NI_MAX_HOSTNAME_LEN, trc);
  TraceLookupTime(kFn, pHostName, true, rc == WEQ_O_K || rc == NIETOO_SMALL, t0);
  *pNodeAddr = NI_NODEADDR{};
  if (rc == NIETOO_SMALL) {
    DPTRC_LINE(2, trc, u"%s: more than %d addresses found (%d)\n", kFn, NI_HL6_MAX_ADDRS, count);
    count = NI_HL6_MAX_ADDRS;
    rc = WEQ_O_K;
  }
  if (rc != WEQ_O_K || count <= 0) {
    DPTRC_LINE(2, trc, u"%s: hostname '%s' not found by operating system\n", kFn, pHostName);
    return NIEHOST_UNKNOWN;
  }
  *pNodeAddr = addrs[0];
  // The rules are copied, so that a resize meanwhile cannot free them under
  // this reader.
  NI_POLICY_RULE rules[NI_POLICY_RULES];
  int nRules = CopyPolicy(rules);
  if (nRules > 0) {
    DPTRC_LINE(2, trc, u"%s: applying 'preference policy'\n", kFn);
    int best = -1;
    for (int i = 0; i < count; ++i) {
      bool mapped = NiIIsMapped(addrs[i]);
      if ((protocol == NI_PROTO_FAM_IPv4 && !mapped) || (protocol == NI_PROTO_FAM_IPv6 && mapped) ||
          (protocol != 0 && protocol != NI_PROTO_FAM_IPv4 && protocol != NI_PROTO_FAM_IPv6)) {
        continue;
      }
      for (int k = 0; k < nRules; ++k) {
        if (NiAddrMatch(&addrs[i], &rules[k].addr, &rules[k].mask) && rules[k].precedence > best) {
          best = rules[k].precedence;
          *pNodeAddr = addrs[i];
          break;
        }
      }
    }
    if (best >= 0) return WEQ_O_K;
    DPTRC_LINE(1, trc, u"%s: 'policy table' does not match\n", kFn);
  }
  if (protocol != NI_PROTO_FAM_IPv4 && protocol != NI_PROTO_FAM_IPv6) return WEQ_O_K;
  *pNodeAddr = NI_NODEADDR{};
  bool wantMapped = protocol == NI_PROTO_FAM_IPv4;
  for (int i = 0; i < count; ++i) {
    if (NiIIsMapped(addrs[i]) == wantMapped) {
      *pNodeAddr = addrs[i];
      return WEQ_O_K;
    }
  }
  DPTRC_LINE(2, trc, u"%s: hostname '%s' (for protocol '%s') not found by operating system\n", kFn, pHostName,
             wantMapped ? u"IPv4" : u"IPv6");
  return NIEHOST_UNKNOWN;
}

// --- Look-ups --------------------------------------------------------------------------------

NI_RC NIHIMPL_LINEAR6::GetNodeAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr, int mode, int protocol,
                                   CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHL6GetNodeAddr";
  size_t len = strlenU(pHostName);
  bool fits = len < NI_HOST_NAME_UNITS;
  if (mode != NI_HS_MODE_NOBUF && !NiIHostNameFits(kFn, pHostName, len, trc)) {
    if (mode == NI_HS_MODE_BUFONLY) {
      return NiIErrInfo(kHl6Module, __LINE__, u"%s: hostname too long for buffer", NIEHOST_UNKNOWN, kFn,
                        pHostName);
    }
  }
  if (protocol == (NI_PROTO_FAM_IPv4 | NI_PROTO_FAM_IPv6)) protocol = 0;
  bool cached = false;
  if (protocol != 0) {
    if (mode != NI_HS_MODE_NOBUF) {
      DPTRC_LINE(1, trc, u"%s: protocol %s selected, setting lookup mode to NOBUF\n", kFn,
                 protocol == NI_PROTO_FAM_IPv4 ? u"IPv4" : u"IPv6");
    }
  } else if (mode != NI_HS_MODE_NOBUF && fits) {
    NI_RC rc = NiHL6CacheLookupNameToAddr(pHostName, pNodeAddr, trc);
    if (rc != NI_HS_NOT_CACHED) return rc;
    uint32_t capacity, valid;
    {
      NiIMtxHold hold(&mtx_);
      capacity = capacity_;
      valid = validTime_;
    }
    cached = capacity != 0 && valid != 0;
  }
  // Buffer-only look-ups never wait for the resolver.
  if (mode == NI_HS_MODE_BUFONLY) {
    return NiIErrInfo(kHl6Module, __LINE__, u"%s: hostname not cached", NIEHOST_UNKNOWN, kFn, pHostName);
  }
  NI_RC rc = NiHL6OSLookupNameToAddr(pHostName, pNodeAddr, protocol, trc);
  if (rc == WEQ_O_K && DPTRC_ON(2)) {
    WEQ_UC text[NI_NODEADDR_STR_LEN];
    DPTRC_LINE(2, trc, u"%s: hostname '%s' resolved to address '%s' from operating system\n", kFn, pHostName,
               NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0));
  }
  if (cached) {
    NI_NODEADDR zero{};
    NiHL6CacheAddName(pHostName, rc == WEQ_O_K ? pNodeAddr : &zero,
                      rc == WEQ_O_K ? STAT_VALID_NAME : STAT_UNKNOWN_NAME);
  }
  return rc;
}

NI_RC NIHIMPL_LINEAR6::GetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int bufferLen, uint8_t,
                                   int mode, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHL6GetHostName";
  WEQ_UC name[NI_MAX_HOSTNAME_LEN];
  name[0] = 0;
  WEQ_UC text[NI_NODEADDR_STR_LEN];
  NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0);
  bool cached = false;
  if (mode != NI_HS_MODE_NOBUF) {
    NI_RC rc = NiHL6CacheLookupAddrToName(pNodeAddr, name, NI_MAX_HOSTNAME_LEN, trc);
    if (rc == WEQ_O_K) return NiICopyName(kHl6Module, __LINE__, kFn, name, pHostName, bufferLen, trc);
    if (rc == NIEHOST_UNKNOWN) {
      return NiIErrInfo(kHl6Module, __LINE__, u"%s: address cached as unknown", NIEHOST_UNKNOWN, kFn, +text);
    }
    if (mode == NI_HS_MODE_BUFONLY) return NIEHOST_UNKNOWN;
    NiIMtxHold hold(&mtx_);
    cached = capacity_ != 0 && validTime_ != 0;
  }
  Millis t0 = MilliClock();
  NI_RC rc = NiIResolver().hostByAddr(pNodeAddr, 0, name, NI_MAX_HOSTNAME_LEN, trc);
  TraceLookupTime(kFn, text, false, rc == WEQ_O_K, t0);
  if (rc == NIEHOST_UNKNOWN) {
    DPTRC_LINE(2, trc, u"%s: address %s not found by operating system\n", kFn, +text);
  } else if (rc != WEQ_O_K) {
    DPTRC_LINE(1, trc, u"%s: NiPGetHostByAddr failed (rc=%d)\n", kFn, rc);
  } else {
    DPTRC_LINE(2, trc, u"%s: address '%s' resolved to hostname '%s' from operating system\n", kFn, +text,
               +name);
  }
  if (cached && (rc != WEQ_O_K || strlenU(name) < NI_HOST_NAME_UNITS)) {
    NiHL6AddAddress(pNodeAddr, rc == WEQ_O_K ? name : u"",
                    rc == WEQ_O_K ? STAT_VALID_ADDR : STAT_UNKNOWN_ADDR);
  }
  if (rc != WEQ_O_K) return NIEHOST_UNKNOWN;
  return NiICopyName(kHl6Module, __LINE__, kFn, name, pHostName, bufferLen, trc);
}

NI_RC NIHIMPL_LINEAR6::SetHostInvalid(const WEQ_UC* pHostName, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHL6SetHostInvalid";
  if (!NiIHostNameFits(kFn, pHostName, strlenU(pHostName), trc)) return NIEHOST_UNKNOWN;
  int removed = 0;
  {
    NiIMtxHold hold(&mtx_);
    for (uint32_t i = 0; i <= last_ && i < capacity_; ++i) {
      Entry& e = table_[i];
      if (e.status == STAT_SLOT_FREE || strcmpU(e.name, pHostName) != 0) continue;
      DPTRC_LINE(2, trc, u"%s: remove hostname '%s' (index=%d) from cache\n", kFn, pHostName, i);
      e.status = STAT_SLOT_FREE;
      ++removed;
    }
  }
  if (removed == 0) {
    return NiIErrInfo(kHl6Module, __LINE__, u"%s: hostname not cached", NIEHOST_UNKNOWN, kFn, pHostName);
  }
  return WEQ_O_K;
}

NI_RC NIHIMPL_LINEAR6::SetHostEntry(const WEQ_UC* pHostName, const WEQ_UC* pAddrText, int type,
                                    int64_t timestamp) {
  static constexpr const WEQ_UC* kFn = u"NiHL6SetHostEntry";
  NI_NODEADDR addr{};
  NI_RC rc = NiIHostEntryCheck(kFn, pHostName, pAddrText, type, &addr);
  if (rc != WEQ_O_K) return rc;
  NiIMtxHold hold(&mtx_);
  uint32_t i = 0;
  for (; i < capacity_ && table_[i].status != STAT_SLOT_FREE; ++i) {
    const Entry& e = table_[i];
    if (pHostName != nullptr && strcmpU(e.name, pHostName) == 0) {
      DPTRC_LINE(2, NiITrcHdl(), u"%s: updating hostname '%s' in cache\n", kFn, pHostName);
      break;
    }
    if (pAddrText != nullptr && memcmp(e.addr.addr, addr.addr, 16) == 0) {
      DPTRC_LINE(2, NiITrcHdl(), u"%s: updating address '%s' in cache\n", kFn, pAddrText);
      break;
    }
  }
  if (i >= capacity_) return WEQ_O_K;
  Entry& e = table_[i];
  if (e.status == STAT_SLOT_FREE) {
    e.name[0] = 0;
    e.addr = NI_NODEADDR{};
  }
  e.stamp = timestamp;
  DPTRC_LINE(3, NiITrcHdl(), u"%s: set timestamp to '%d' (time=%d)\n", kFn, timestamp, NiIHSNow());
  if (pAddrText != nullptr) {
    e.addr = addr;
    DPTRC_LINE(3, NiITrcHdl(), u"%s: set address to '%s'\n", kFn, pAddrText);
  }
  if (pHostName != nullptr) {
    memcpy(e.name, pHostName, (strlenU(pHostName) + 1) * sizeof(WEQ_UC));
    DPTRC_LINE(3, NiITrcHdl(), u"%s: set hostname to '%s'\n", kFn, pHostName);
  }
  if (type != 0) {
    e.status = static_cast<uint8_t>(type);
    DPTRC_LINE(3, NiITrcHdl(), u"%s: set EntryType to '%d = %s'\n", kFn, type, NiIHostStatName(type));
  }
  if (e.status != STAT_SLOT_FREE && i > last_) last_ = i;
  return WEQ_O_K;
}

NI_RC NIHIMPL_LINEAR6::DumpBufLine(WEQ_UC* buffer, int bufferLen, int* pDone, int format) {
  static constexpr const WEQ_UC* kFn = u"NiHL6DumpBufLine";
  if (cursor_ == 0) NiHL6Compact();
  if (cursor_ >= capacity_ || table_[cursor_].status == STAT_SLOT_FREE) {
    *pDone = 1;
    return WEQ_O_K;
  }
  const Entry& e = table_[cursor_];
  const WEQ_UC* word = (e.status & (STAT_VALID_ADDR | STAT_VALID_NAME)) ? u"VALID" : u"UNKNOWN";
  WEQ_UC type = (e.status & STAT_VALID_ADDR) ? u'R' : (e.status & STAT_VALID_NAME) ? u'A' : u' ';
  WEQ_UC text[NI_NODEADDR_STR_LEN] = u"-";
  if (e.status != STAT_UNKNOWN_NAME) NiAddrToStr(&e.addr, text, NI_NODEADDR_STR_LEN, 0);
  bool mapped = NiIIsMapped(e.addr);
  const WEQ_UC* v4 = e.status == STAT_UNKNOWN_NAME ? u"-" : mapped ? +text : u"~";
  const WEQ_UC* v6 = e.status == STAT_UNKNOWN_NAME ? u"-" : mapped ? u"~" : +text;
  const WEQ_UC* name = e.status == STAT_UNKNOWN_ADDR ? u"-" : e.name;
  return DumpEntry(
      kFn, buffer, bufferLen, pDone, format, u"%-4d%-7.7s %c %-39.39s %s%c",
      U16FmtMakeArgs(cursor_, word, type, +text, name, u'\n').args(), u"%d%c%s%c%c%c%s%c%s%c%s%c",
      U16FmtMakeArgs(cursor_, u'\t', word, u'\t', type, u'\t', v4, u'\t', v6, u'\t', name, u'\n').args());
}

uint32_t NIHIMPL_LINEAR6::LastIndex() {
  NiIMtxHold hold(&mtx_);
  return last_;
}
