// The IPv4 host cache: a ring of slots like the service cache, holding IPv4
// addresses only. An entry made by a name look-up answers address look-ups
// as well when the name is the resolver's canonical name.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include "krn/ni/nihs_int.h"

namespace {

constexpr const WEQ_UC* kHlModule = u"nixxhl.cpp";


}  // namespace

// --- Shared by both host caches ----------------------------------------------------

void NiIHostNameTooLong(const WEQ_UC* fn, const WEQ_UC* pHostName, size_t len, CTRC_HDL trc) {
  DPTRC_LINE(1, trc, u"%s: hostname '%s' too long for buffer (%d>=%d)\n", fn, pHostName, len,
             NI_HOST_NAME_UNITS);
}

const WEQ_UC* NiIHostStatName(int type) {
  switch (type) {
    case STAT_SLOT_FREE: return u"STAT_SLOT_FREE";
    case STAT_UNKNOWN_ADDR: return u"STAT_UNKNOWN_ADDR";
    case STAT_UNKNOWN_NAME: return u"STAT_UNKNOWN_NAME";
    case STAT_VALID_ADDR: return u"STAT_VALID_ADDR";
    case STAT_VALID_NAME: return u"STAT_VALID_NAME";
    case STAT_VALID_ADDR | STAT_VALID_NAME: return u"STAT_VALID_ADDR|STAT_VALID_NAME";
    default: return u"???";
  }
}

NI_RC NiIHostEntryCheck(const WEQ_UC* fn, const WEQ_UC* pHostName, const WEQ_UC* pAddrText, int type,
                        NI_NODEADDR* pAddr) {
  if (pHostName != nullptr && !NiIHostNameFits(fn, pHostName, strlenU(pHostName), NiITrcHdl())) {
    return NIEINVAL;
  }
  if (pAddrText != nullptr && (strlenU(pAddrText) < 7 || NiStrToAddr(pAddr, pAddrText) != WEQ_O_K)) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: address invalid '%s'\n", fn, pAddrText);
    return NIEINVAL;
  }
  switch (type) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 12: break;
    default: DPTRC_LINE(1, NiITrcHdl(), u"%s: Entrytype invalid '%d'\n", fn, type); return NIEINVAL;
  }
  return WEQ_O_K;
}

// --- The IPv4 cache ---------------------------------------------------------------------

NIHIMPL_LINEAR::NIHIMPL_LINEAR() : NIHIMPL(u"NI host section") {}

NIHIMPL_LINEAR::~NIHIMPL_LINEAR() {
  NiIMtxHold hold(&mtx_);
  FreeTablesLocked();
}

void NIHIMPL_LINEAR::FreeTablesLocked() {
  capacity_ = 0;
  free(table_);
  table_ = nullptr;
}

NI_RC NIHIMPL_LINEAR::InitLocked(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                                 uint32_t unknownAddrTime) {
  static constexpr TableTexts kTexts = {u"NiHLInit", u"%s: disable host buf\n",
                                        u"%s: alloc host buf (%d entries)\n"};
  ring_ = Ring{};
  return InitTable(reinterpret_cast<void**>(&table_), sizeof(Entry), capacity, validTime, unknownNameTime,
                   unknownAddrTime, kTexts);
}

NI_RC NIHIMPL_LINEAR::Init(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                           uint32_t unknownAddrTime) {
  NiIMtxHold hold(&mtx_);
  return InitLocked(capacity, validTime, unknownNameTime, unknownAddrTime);
}

NI_RC NIHIMPL_LINEAR::SetIndexSize(uint32_t capacity) { return Resize(u"NiHLSetIndexSize", capacity); }

NI_RC NIHIMPL_LINEAR::Flush() {
  NiIMtxHold hold(&mtx_);
  ring_ = Ring{};
  FlushTable(table_, sizeof(Entry), u"NiHLFlush", u"%s: cache flushed\n");
  return WEQ_O_K;
}

bool NIHIMPL_LINEAR::Trusted(const Entry& e, int64_t now) const {
  uint32_t t = (e.status & (STAT_VALID_ADDR | STAT_VALID_NAME)) ? validTime_
               : (e.status & STAT_UNKNOWN_NAME)                 ? unknownNameTime_
                                                                : unknownAddrTime_;
  return e.stamp + static_cast<int64_t>(t) >= now;
}

uint32_t NIHIMPL_LINEAR::Store(int64_t remembered, uint32_t gen, CTRC_HDL trc) {
  return StoreSlot(&ring_, remembered, gen, trc, u"NiHLGetNodeAddr", u"%s: hostbuf overflow\n");
}

template <class M>
uint32_t NIHIMPL_LINEAR::Scan(M match) const {
  for (uint32_t i = 0; i < capacity_; ++i) {
    if (table_[i].status == STAT_SLOT_FREE) {
      if (ring_.wrapped) continue;
      break;
    }
    if (match(table_[i])) return i;
  }
  return capacity_;
}

NI_RC NIHIMPL_LINEAR::GetNodeAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr, int mode, int,
                                  CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHLGetNodeAddr";
  size_t len = strlenU(pHostName);
  bool cached = false;  // the cache takes part: read and store
  int64_t remembered = -1;
  uint32_t gen = 0;
  if (mode != NI_HS_MODE_NOBUF) {
    if (!NiIHostNameFits(kFn, pHostName, len, trc)) {
      if (mode == NI_HS_MODE_BUFONLY) {
        return NiIErrInfo(kHlModule, __LINE__, u"%s: hostname too long for buffer", NIEHOST_UNKNOWN, kFn,
                          pHostName);
      }
    } else {
      NiIMtxHold hold(&mtx_);
      cached = validTime_ != 0;
      gen = generation_;
      int64_t now = NiIHSNow();
      uint32_t i =
          cached ? Scan([&](const Entry& e) { return NiIHSByName(e.status) && NiISameName(e.name, pHostName, len); })
                 : capacity_;
      if (i < capacity_) {
        const Entry& e = table_[i];
        DPTRC_LINE(2, trc, u"%s: found hostname '%s' in cache\n", kFn, pHostName);
        if (Trusted(e, now)) {
          if (e.status == STAT_UNKNOWN_NAME) {
            return NiIErrInfo(kHlModule, __LINE__, u"%s: hostname cached as unknown", NIEHOST_UNKNOWN, kFn,
                              pHostName);
          }
          *pNodeAddr = NiIPv4ToAddr(e.ipv4);
          return WEQ_O_K;
        }
        DPTRC_LINE(2, trc, u"%s: retrying to get address for '%s'\n", kFn, pHostName);
        remembered = i;
      }
    }
    // Buffer-only look-ups never wait for the resolver.
    if (mode == NI_HS_MODE_BUFONLY) {
      return NiIErrInfo(kHlModule, __LINE__, u"%s: hostname not cached", NIEHOST_UNKNOWN, kFn, pHostName);
    }
  }
  return ResolveName(pHostName, len, pNodeAddr, cached, remembered, gen, trc);
}

// The miss path of GetNodeAddr, kept out of the hit's frame.
NI_RC NIHIMPL_LINEAR::ResolveName(const WEQ_UC* pHostName, size_t len, NI_NODEADDR* pNodeAddr, bool cached,
                                  int64_t remembered, uint32_t gen, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHLGetNodeAddr";
  NI_NODEADDR addrs[NI_HL6_MAX_ADDRS];
  WEQ_UC canon[NI_MAX_HOSTNAME_LEN];
  canon[0] = 0;
  int count = NI_HL6_MAX_ADDRS;
  Millis t0 = MilliClock();
  NI_RC rc = NiIResolver().hostByName(pHostName, 1, 0, addrs, &count, canon, NI_MAX_HOSTNAME_LEN, trc);
  TraceLookupTime(kFn, pHostName, true, rc == WEQ_O_K || rc == NIETOO_SMALL, t0);
  if (rc == NIETOO_SMALL) {
    DPTRC_LINE(2, trc, u"%s: more than %d interfaces found (%d)\n", kFn, NI_HL6_MAX_ADDRS, count);
    rc = WEQ_O_K;
  }
  bool ok = rc == WEQ_O_K && count > 0;
  if (ok) {
    *pNodeAddr = addrs[0];
    DPTRC_LINE(2, trc, u"%s: got hostname '%s' from operating system\n", kFn, pHostName);
  } else if (rc != NIEHOST_UNKNOWN && rc != WEQ_O_K) {
    DPTRC_LINE(1, trc, u"%s: NiPGetHostByName failed (rc=%d)\n", kFn, rc);
  } else {
    DPTRC_LINE(2, trc, u"%s: hostname '%s' not found by operating system\n", kFn, pHostName);
  }
  if (cached) {
    NiIMtxHold hold(&mtx_);
    if (capacity_ != 0 && validTime_ != 0) {
      Entry& e = table_[Store(remembered, gen, trc)];
      memcpy(e.name, pHostName, (len + 1) * sizeof(WEQ_UC));
      if (ok) {
        e.status = STAT_VALID_NAME;
        if (strcmpU(pHostName, canon) == 0) e.status |= STAT_VALID_ADDR;
        e.ipv4 = NiAddrToIPv4(&addrs[0]);
      } else {
        e.status = STAT_UNKNOWN_NAME;
        e.ipv4 = 0;
      }
      e.stamp = NiIHSNow();
    }
  }
  return ok ? WEQ_O_K : NIEHOST_UNKNOWN;
}

NI_RC NIHIMPL_LINEAR::GetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int bufferLen, uint8_t,
                                  int mode, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHLGetHostName";
  if (!NiIIsMapped(*pNodeAddr)) {
    DPTRC_LINE(1, trc, u"%s: implementation doesn't support IPv6\n", kFn);
    return NIEINVAL;
  }
  WEQ_UC text[NI_NODEADDR_STR_LEN];
  NiAddrToStr2(pNodeAddr, text, NI_NODEADDR_STR_LEN, 0);
  uint32_t ipv4 = NiAddrToIPv4(pNodeAddr);
  bool cached = false;
  int64_t remembered = -1;
  uint32_t gen = 0;
  if (mode != NI_HS_MODE_NOBUF) {
    WEQ_UC found[NI_HOST_NAME_UNITS];
    bool hit = false;
    {
      NiIMtxHold hold(&mtx_);
      cached = validTime_ != 0;
      gen = generation_;
      int64_t now = NiIHSNow();
      uint32_t i =
          cached ? Scan([&](const Entry& e) { return NiIHSByAddr(e.status) && e.ipv4 == ipv4; }) : capacity_;
      if (i < capacity_) {
        const Entry& e = table_[i];
        DPTRC_LINE(2, trc, u"%s: found address %s in cache\n", kFn, +text);
        if (!Trusted(e, now)) {
          DPTRC_LINE(2, trc, u"%s: retrying to get hostname for '%s'\n", kFn, +text);
          remembered = i;
        } else if (e.status == STAT_UNKNOWN_ADDR) {
          return NIEHOST_UNKNOWN;
        } else {
          memcpy(found, e.name, sizeof found);
          hit = true;
        }
      }
    }
    if (hit) return NiICopyName(kHlModule, __LINE__, kFn, found, pHostName, bufferLen, trc);
    if (mode == NI_HS_MODE_BUFONLY) return NIEHOST_UNKNOWN;
  }
  WEQ_UC name[NI_MAX_HOSTNAME_LEN];
  name[0] = 0;
  Millis t0 = MilliClock();
  NI_RC rc = NiIResolver().hostByAddr(pNodeAddr, 0, name, NI_MAX_HOSTNAME_LEN, trc);
  TraceLookupTime(kFn, text, false, rc == WEQ_O_K, t0);
  if (rc == NIEHOST_UNKNOWN) {
    DPTRC_LINE(2, trc, u"%s: address %s not found by operating system\n", kFn, +text);
  } else if (rc != WEQ_O_K) {
    DPTRC_LINE(1, trc, u"%s: NiPGetHostByAddr failed (rc=%d)\n", kFn, rc);
  } else {
    DPTRC_LINE(2, trc, u"%s: got address %s from operating system\n", kFn, +text);
  }
  size_t len = strlenU(name);
  if (cached && (rc != WEQ_O_K || len < NI_HOST_NAME_UNITS)) {
    NiIMtxHold hold(&mtx_);
    if (capacity_ != 0 && validTime_ != 0) {
      Entry& e = table_[Store(remembered, gen, trc)];
      e.ipv4 = ipv4;
      if (rc == WEQ_O_K) {
        memcpy(e.name, name, (len + 1) * sizeof(WEQ_UC));
        e.status = STAT_VALID_ADDR | STAT_VALID_NAME;
      } else {
        e.name[0] = 0;
        e.status = STAT_UNKNOWN_ADDR;
      }
      e.stamp = NiIHSNow();
    }
  }
  if (rc != WEQ_O_K) return NIEHOST_UNKNOWN;
  return NiICopyName(kHlModule, __LINE__, kFn, name, pHostName, bufferLen, trc);
}

NI_RC NIHIMPL_LINEAR::SetHostInvalid(const WEQ_UC* pHostName, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiHLsetHostInvalid";
  if (!NiIHostNameFits(kFn, pHostName, strlenU(pHostName), trc)) return NIEHOST_UNKNOWN;
  NiIMtxHold hold(&mtx_);
  uint32_t i = Scan([&](const Entry& e) { return strcmpU(e.name, pHostName) == 0; });
  if (i < capacity_) {
    Entry& e = table_[i];
    DPTRC_LINE(2, trc, u"%s: found (resetting) hostname '%s' in cache\n", kFn, pHostName);
    if (ring_.wrapped) {
      // Once the ring has started again the slots in use are not packed in
      // front of the next slot: the entry is freed where it stands.
      e.status = STAT_SLOT_FREE;
    } else {
      // Slots 0..next-1 are in use: the last of them fills the hole.
      uint32_t last = ring_.next - 1;
      if (i != last && i + 1 < capacity_ && table_[i + 1].status != STAT_SLOT_FREE) {
        e = table_[last];
        table_[last].status = STAT_SLOT_FREE;
      } else {
        e.status = STAT_SLOT_FREE;
      }
      ring_.next = last;
    }
    return WEQ_O_K;
  }
  return NiIErrInfo(kHlModule, __LINE__, u"%s: hostname not cached", NIEHOST_UNKNOWN, kFn, pHostName);
}

NI_RC NIHIMPL_LINEAR::SetHostEntry(const WEQ_UC* pHostName, const WEQ_UC* pAddrText, int type,
                                   int64_t timestamp) {
  static constexpr const WEQ_UC* kFn = u"NiHLsetHostEntry";
  NI_NODEADDR addr{};
  NI_RC rc = NiIHostEntryCheck(kFn, pHostName, pAddrText, type, &addr);
  if (rc != WEQ_O_K) return rc;
  if (pAddrText != nullptr && !NiIIsMapped(addr)) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: implementation doesn't support IPv6\n", kFn);
    return NIEINVAL;
  }
  uint32_t ipv4 = NiAddrToIPv4(&addr);
  NiIMtxHold hold(&mtx_);
  uint32_t i = 0;
  for (; i < capacity_ && table_[i].status != STAT_SLOT_FREE; ++i) {
    const Entry& e = table_[i];
    if (pHostName != nullptr && strcmpU(e.name, pHostName) == 0) {
      DPTRC_LINE(2, NiITrcHdl(), u"%s: found (replacing) hostname '%s' in cache\n", kFn, pHostName);
      break;
    }
    if (pAddrText != nullptr && e.ipv4 == ipv4) {
      DPTRC_LINE(2, NiITrcHdl(), u"%s: found (replacing) address '%s' in cache\n", kFn, pAddrText);
      break;
    }
  }
  if (i >= capacity_) return WEQ_O_K;
  Entry& e = table_[i];
  bool fresh = e.status == STAT_SLOT_FREE;
  int64_t now = NiIHSNow();
  e.stamp = timestamp != 0 ? timestamp : now;
  DPTRC_LINE(3, NiITrcHdl(), u"%s: set timestamp to '%d' (time=%d)\n", kFn, e.stamp, now);
  if (pAddrText != nullptr) {
    e.ipv4 = ipv4;
    DPTRC_LINE(3, NiITrcHdl(), u"%s: set address to '%s'\n", kFn, pAddrText);
  }
  if (pHostName != nullptr) {
    memcpy(e.name, pHostName, (strlenU(pHostName) + 1) * sizeof(WEQ_UC));
    DPTRC_LINE(3, NiITrcHdl(), u"%s: set hostname to '%s'\n", kFn, pHostName);
  } else if (fresh) {
    e.name[0] = 0;
  }
  if (type != 0) {
    e.status = static_cast<uint8_t>(type);
    DPTRC_LINE(3, NiITrcHdl(), u"%s: set EntryType to '%d = %s'\n", kFn, type, NiIHostStatName(type));
  }
  // A slot taken at the end of the used ones becomes part of the ring.
  if (fresh && e.status != STAT_SLOT_FREE && !ring_.wrapped && i == ring_.next) Store(-1, 0, NiITrcHdl());
  return WEQ_O_K;
}

NI_RC NIHIMPL_LINEAR::DumpBufLine(WEQ_UC* buffer, int bufferLen, int* pDone, int format) {
  static constexpr const WEQ_UC* kFn = u"NiHLDumpBufLine";
  while (cursor_ < capacity_ && table_[cursor_].status == STAT_SLOT_FREE) ++cursor_;
  if (cursor_ >= capacity_) {
    *pDone = 1;
    return WEQ_O_K;
  }
  const Entry& e = table_[cursor_];
  const WEQ_UC* word = (e.status & (STAT_VALID_ADDR | STAT_VALID_NAME)) ? u"VALID" : u"UNKNOWN";
  WEQ_UC type = (e.status & STAT_VALID_NAME) ? u'A' : u' ';
  WEQ_UC addr[NI_NODEADDR_STR_LEN] = u"-";
  if (e.status != STAT_UNKNOWN_NAME) {
    NI_NODEADDR a = NiIPv4ToAddr(e.ipv4);
    NiAddrToStr(&a, addr, NI_NODEADDR_STR_LEN, 0);
  }
  const WEQ_UC* name = e.status == STAT_UNKNOWN_ADDR ? u"-" : e.name;
  return DumpEntry(
      kFn, buffer, bufferLen, pDone, format, u"%-4d%-7.7s %c %-15.15s %s%c",
      U16FmtMakeArgs(cursor_, word, type, +addr, name, u'\n').args(), u"%d%c%s%c%c%c%s%c%s%c%s%c",
      U16FmtMakeArgs(cursor_, u'\t', word, u'\t', type, u'\t', +addr, u'\t', u"~", u'\t', name, u'\n')
          .args());
}

uint32_t NIHIMPL_LINEAR::NextSlot() {
  NiIMtxHold hold(&mtx_);
  return ring_.next;
}
