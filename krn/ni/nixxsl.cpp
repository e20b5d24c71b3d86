// The service cache: a ring of slots filled from 0; once the table is full
// each new entry replaces the oldest. Names of 20 units or more are resolved
// but never stored.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "krn/ni/nihs_int.h"

namespace {

constexpr const WEQ_UC* kSlModule = u"nixxsl.cpp";

void PortText(uint16_t netPort, WEQ_UC* buf) {
  snprintfU16(buf, NI_SERVNO_STR_LEN, u"%d", static_cast<int>(ntohs(netPort)));
}

}  // namespace

NISIMPL_LINEAR::NISIMPL_LINEAR() : NISIMPL(u"NI serv section") {}

NISIMPL_LINEAR::~NISIMPL_LINEAR() {
  NiIMtxHold hold(&mtx_);
  FreeTablesLocked();
}

void NISIMPL_LINEAR::FreeTablesLocked() {
  capacity_ = 0;
  free(table_);
  table_ = nullptr;
}

NI_RC NISIMPL_LINEAR::InitLocked(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                                 uint32_t unknownPortTime) {
  static constexpr TableTexts kTexts = {u"NiSrvLInit", u"%s: disable serv bufs\n",
                                        u"%s: alloc serv bufs (%d entries)\n"};
  ring_ = Ring{};
  return InitTable(reinterpret_cast<void**>(&table_), sizeof(Entry), capacity, validTime, unknownNameTime,
                   unknownPortTime, kTexts);
}

NI_RC NISIMPL_LINEAR::Init(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                           uint32_t unknownPortTime) {
  NiIMtxHold hold(&mtx_);
  return InitLocked(capacity, validTime, unknownNameTime, unknownPortTime);
}

NI_RC NISIMPL_LINEAR::SetIndexSize(uint32_t capacity) { return Resize(u"NiSrvLSetIndexSize", capacity); }

NI_RC NISIMPL_LINEAR::Flush() {
  NiIMtxHold hold(&mtx_);
  ring_ = Ring{};
  FlushTable(table_, sizeof(Entry), u"NiSrvLFlush", u"%s: service cache flushed\n");
  return WEQ_O_K;
}

uint32_t NISIMPL_LINEAR::Store(int64_t remembered, uint32_t gen, CTRC_HDL trc) {
  return StoreSlot(&ring_, remembered, gen, trc, u"NiSrvLGetServNo", u"%s: servbuf overflow\n");
}

NI_RC NISIMPL_LINEAR::GetServNo(const WEQ_UC* pServName, uint16_t* pServNo, int mode, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiSrvLGetServNo";
  size_t len = strlenU(pServName);
  bool fits = len < NI_SERV_NAME_UNITS;
  int64_t remembered = -1;
  uint32_t gen = 0;
  if (mode != NI_HS_MODE_NOBUF) {
    if (!fits) {
      DPTRC_LINE(1, trc, u"%s: service name '%s' too long for buffer (%d>=%d)\n", kFn, pServName, len,
                 NI_SERV_NAME_UNITS);
      if (mode == NI_HS_MODE_BUFONLY) {
        return NiIErrInfo(kSlModule, __LINE__, u"%s: service name too long for buffer", NIESERV_UNKNOWN, kFn,
                          pServName);
      }
    } else {
      NiIMtxHold hold(&mtx_);
      gen = generation_;
      int64_t now = NiIHSNow();
      for (uint32_t i = 0; i < capacity_ && table_[i].status != STAT_SLOT_FREE; ++i) {
        const Entry& e = table_[i];
        if (e.status == STAT_UNKNOWN_ADDR || strcmpU(e.name, pServName) != 0) continue;
        DPTRC_LINE(2, trc, u"%s: found service name '%s' in cache\n", kFn, pServName);
        if (e.expiry >= now) {
          if (e.status == STAT_UNKNOWN_NAME) {
            return NiIErrInfo(kSlModule, __LINE__, u"%s: service name cached as unknown", NIESERV_UNKNOWN, kFn,
                              pServName);
          }
          *pServNo = e.port;
          return WEQ_O_K;
        }
        DPTRC_LINE(2, trc, u"%s: retrying to get port number for '%s'\n", kFn, pServName);
        remembered = i;
        break;
      }
      if (mode == NI_HS_MODE_BUFONLY) {
        return NiIErrInfo(kSlModule, __LINE__, u"%s: service name not cached", NIESERV_UNKNOWN, kFn, pServName);
      }
    }
  }
  Millis t0 = MilliClock();
  uint16_t port = 0;
  NI_RC rc = NiIResolver().servByName(pServName, &port, trc);
  TraceLookupTime(kFn, pServName, true, rc == WEQ_O_K, t0);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(2, trc, u"%s: service name '%s' not found by operating system\n", kFn, pServName);
  } else {
    DPTRC_LINE(2, trc, u"%s: got service name '%s' from operating system\n", kFn, pServName);
  }
  if (mode != NI_HS_MODE_NOBUF && fits) {
    NiIMtxHold hold(&mtx_);
    if (capacity_ != 0) {
      Entry& e = table_[Store(remembered, gen, trc)];
      memcpy(e.name, pServName, (len + 1) * sizeof(WEQ_UC));
      int64_t now = NiIHSNow();
      if (rc != WEQ_O_K) {
        e.status = STAT_UNKNOWN_NAME;
        e.port = 0;
        e.expiry = now + unknownNameTime_;
      } else {
        e.status = STAT_VALID_ADDR;
        e.port = port;
        e.expiry = now + validTime_;
      }
    }
  }
  if (rc != WEQ_O_K) return NIESERV_UNKNOWN;
  *pServNo = port;
  return WEQ_O_K;
}

NI_RC NISIMPL_LINEAR::GetServName(uint16_t servNo, WEQ_UC* pServName, int bufferLen, int mode, CTRC_HDL trc) {
  static constexpr const WEQ_UC* kFn = u"NiSrvLGetServName";
  WEQ_UC portText[NI_SERVNO_STR_LEN];
  PortText(servNo, portText);
  int64_t remembered = -1;
  uint32_t gen = 0;
  if (mode != NI_HS_MODE_NOBUF) {
    WEQ_UC found[NI_SERV_NAME_UNITS];
    bool hit = false;
    {
      NiIMtxHold hold(&mtx_);
      gen = generation_;
      int64_t now = NiIHSNow();
      for (uint32_t i = 0; i < capacity_ && table_[i].status != STAT_SLOT_FREE; ++i) {
        const Entry& e = table_[i];
        if (e.status == STAT_UNKNOWN_NAME || e.port != servNo) continue;
        DPTRC_LINE(2, trc, u"%s: found port number %s in cache\n", kFn, +portText);
        if (e.expiry >= now) {
          if (e.status == STAT_UNKNOWN_ADDR) return NIESERV_UNKNOWN;
          memcpy(found, e.name, sizeof found);
          hit = true;
          break;
        }
        DPTRC_LINE(2, trc, u"%s: retrying to get service name for '%s'\n", kFn, +portText);
        remembered = i;
        break;
      }
    }
    if (hit) return NiICopyName(kSlModule, __LINE__, kFn, found, pServName, bufferLen, trc);
    if (mode == NI_HS_MODE_BUFONLY) return NIESERV_UNKNOWN;
  }
  WEQ_UC name[NI_MAX_SERVNAME_LEN];
  name[0] = 0;
  Millis t0 = MilliClock();
  NI_RC rc = NiIResolver().servByPort(servNo, name, NI_MAX_SERVNAME_LEN, trc);
  TraceLookupTime(kFn, portText, false, rc == WEQ_O_K, t0);
  if (rc != WEQ_O_K) {
    DPTRC_LINE(2, trc, u"%s: port %s not found by operating system\n", kFn, +portText);
  } else {
    DPTRC_LINE(2, trc, u"%s: got port %s from operating system\n", kFn, +portText);
  }
  if (mode != NI_HS_MODE_NOBUF) {
    NiIMtxHold hold(&mtx_);
    size_t len = strlenU(name);
    if (capacity_ == 0) {
      // disabled
    } else if (rc == WEQ_O_K && len >= NI_SERV_NAME_UNITS) {
      DPTRC_LINE(1, trc, u"%s: service name too long for buffer (%d>=%d)\n", kFn, len, NI_SERV_NAME_UNITS);
    } else {
      Entry& e = table_[Store(remembered, gen, trc)];
      e.port = servNo;
      int64_t now = NiIHSNow();
      if (rc != WEQ_O_K) {
        e.status = STAT_UNKNOWN_ADDR;
        e.name[0] = 0;
        e.expiry = now + unknownAddrTime_;
      } else {
        memcpy(e.name, name, (len + 1) * sizeof(WEQ_UC));
        e.status = STAT_VALID_ADDR;
        e.expiry = now + validTime_;
      }
    }
  }
  if (rc != WEQ_O_K) return NIESERV_UNKNOWN;
  return NiICopyName(kSlModule, __LINE__, kFn, name, pServName, bufferLen, trc);
}

NI_RC NISIMPL_LINEAR::DumpBufLine(WEQ_UC* buffer, int bufferLen, int* pDone, int format) {
  static constexpr const WEQ_UC* kFn = u"NiSrvLDumpBufLine";
  while (cursor_ < capacity_ && table_[cursor_].status == STAT_SLOT_FREE) ++cursor_;
  if (cursor_ >= capacity_) {
    *pDone = 1;
    return WEQ_O_K;
  }
  const Entry& e = table_[cursor_];
  WEQ_UC port[NI_SERVNO_STR_LEN] = u"-";
  if (e.status != STAT_UNKNOWN_NAME) PortText(e.port, port);
  const WEQ_UC* name = e.status == STAT_UNKNOWN_ADDR ? u"-" : e.name;
  const WEQ_UC* word = e.status < STAT_VALID_ADDR ? u"UNKNOWN" : u"VALID";
  return DumpEntry(kFn, buffer, bufferLen, pDone, format, u"%-4d%-7s %-11s %s%c",
                   U16FmtMakeArgs(cursor_, word, +port, name, u'\n').args(), u"%d%c%s%c%s%c%s%c",
                   U16FmtMakeArgs(cursor_, u'\t', word, u'\t', +port, u'\t', name, u'\n').args());
}

uint32_t NISIMPL_LINEAR::NextSlot() {
  NiIMtxHold hold(&mtx_);
  return ring_.next;
}
