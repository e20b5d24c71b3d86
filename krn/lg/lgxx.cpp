// Logon groups: the lookup of a group's application server, the special
// group "_A_N_Y_", the lists for the bindings, a client's name by address,
// and the names of the load-balancing types.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/lg/lg.h"
#include "krn/lg/lg_int.h"
#include "krn/ms/ms.h"
#include "krn/ni/ni.h"
#include "krn/perf/pfclock.h"

namespace {

constexpr WEQ_UC kAnyGroup[] = u"_A_N_Y_";
// Units of a group name, terminator included.
constexpr size_t kGroupMax = LG_NAME_LEN - 1;

// Load-balancing classes.
enum class LbClass : uint8_t { kBest, kWeighted, kRoundRobin };
LbClass ClassOf(int32_t type) {
  if (type < 201) return LbClass::kBest;
  return type == 202 ? LbClass::kWeighted : LbClass::kRoundRobin;
}

// A heap copy that goes with its scope.
struct LgIOwned {
  WEQ_UC* p = nullptr;
  ~LgIOwned() { free(p); }
};

// A time as local date text (asctime's form without its newline).
const WEQ_UC* LgIDate(int64_t t, WEQ_UC buf[26]) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (localtime_r(&tt, &tm) == nullptr || ThrAsctime(&tm, buf) == nullptr) return u"?";
  size_t n = strlenU(buf);
  if (n > 0 && buf[n - 1] == u'\n') buf[n - 1] = 0;
  return buf;
}

// Empties a caller's text output, when it has room.
void Empty(WEQ_UC* text, int len) {
  if (text != nullptr && len > 0) text[0] = 0;
}

// Copies a text whole into a caller's buffer, or leaves it empty.
void Put(WEQ_UC* text, int len, const WEQ_UC* value) {
  if (text != nullptr && len > 0) strcpy_sU16(text, static_cast<size_t>(len), value);
}

uint16_t PortOf(const WEQ_UC* text) { return static_cast<uint16_t>(strtolU(text, nullptr, 10)); }

// quality + delta in 64 bits, held within the 32-bit range.
int32_t Adjusted(int32_t quality, int32_t delta) {
  int64_t q = static_cast<int64_t>(quality) + delta;
  return static_cast<int32_t>(std::clamp<int64_t>(q, INT32_MIN, INT32_MAX));
}

// The seed of round robin: the microseconds of the current time.
void LgISeed() {
  struct timeval tv;
  NT_gettimeofday(&tv, nullptr);
  LgISrand(static_cast<uint32_t>(tv.tv_usec));
}

// Step 8: quality, delta and random number of each server by the type, then
// the servers in the order of the choice.
void LgIPrepare(const WEQ_UC* fn, LG_GROUP_REC* e) {
  WEQ_UC typeName[LG_LB_NAME_LEN];
  DPTRC_LINE(2, LgITrc(), u"%s: fav type = %s (%d)\n", fn, LgILbTypeName(e->lbType, typeName), e->lbType);
  int32_t count = e->serverCount;
  LbClass cls = ClassOf(e->lbType);
  if (cls == LbClass::kRoundRobin) DPTRC_LINE(2, LgITrc(), u"%s: use round robin, set to qual=1000, delta=-1\n", fn);
  if (cls == LbClass::kWeighted) DPTRC_LINE(2, LgITrc(), u"%s: use weighted round robin\n", fn);
  if (cls != LbClass::kBest && count > 1) LgISeed();
  for (int32_t i = 0; i < count; ++i) {
    LG_APPSRV_REC& s = e->servers[i];
    int32_t* q = &s.ints[LG_INT_QUALITY];
    int32_t* d = &s.ints[LG_INT_DELTA];
    if (cls == LbClass::kRoundRobin) {
      *q = 1000;
      *d = -1;
    } else if (cls == LbClass::kWeighted) {
      int32_t weight = s.ints[LG_INT_WEIGHT];
      *q = weight > 0 ? 10000000 : 1;
      *d = weight > 0 ? -10000 / weight : -1;
    }
    if (count > 1) {
      s.random = 1 + static_cast<int32_t>(static_cast<int64_t>(LgIRand()) * 1000 / 32768);
      DPTRC_LINE(2, LgITrc(), u"%s: (before) %s (random=%d)\n", fn, s.entry.name, s.random);
    }
  }
  if (count > 1) {
    std::stable_sort(e->servers, e->servers + count,
                     [](const LG_APPSRV_REC& a, const LG_APPSRV_REC& b) { return LgICompareQual(&a, &b) < 0; });
    for (int32_t i = 0; i < count; ++i)
      DPTRC_LINE(2, LgITrc(), u"%s: (after)  %s (random=%d)\n", fn, e->servers[i].entry.name, e->servers[i].random);
  }
}

// Step 11: the chosen server's quality falls by its delta.
void LgIAdjust(const WEQ_UC* fn, LG_APPSRV_REC* s) {
  int32_t q = s->ints[LG_INT_QUALITY];
  int32_t d = s->ints[LG_INT_DELTA];
  if (d == 0) {
    d = q / 10;
    if (d == 0) d = q / 2;
    if (d != 0) {
      DPTRC_LINE(2, LgITrc(), u"%s: delta quality = 0 (%d), adjust =%d\n", fn, q, d);
    } else {
      d = -1;
      DPTRC_LINE(2, LgITrc(), u"%s: delta quality = 0, adjust =%d\n", fn, d);
    }
  }
  if (d > 0) {
    d = -d;
    DPTRC_LINE(2, LgITrc(), u"%s: delta quality < 0, adjust =%d\n", fn, d);
  }
  int32_t nq = Adjusted(q, d);
  DPTRC_LINE(2, LgITrc(), u"%s: found %s , old qual=%d new qual=%d\n", fn, s->entry.name, q, nq);
  s->ints[LG_INT_QUALITY] = nq;
  s->ints[LG_INT_DELTA] = d;
}

// The address a chosen server is reached at: the text behind "IP=" of its
// short text up to a ',', else its own address.
void LgIServerAddr(const WEQ_UC* fn, const LG_APPSRV_REC& s, WEQ_UC* addr, int addrLen) {
  const WEQ_UC* ip = s.shortFlag == 1 ? strstrU(s.shortText, u"IP=") : nullptr;
  if (ip == nullptr) {
    Put(addr, addrLen, s.entry.addr);
    return;
  }
  WEQ_UC text[LG_SHORT_TEXT_LEN];
  size_t n = 0;
  for (ip += 3; ip[n] != 0 && ip[n] != u',' && n + 1 < std::size(text); ++n) text[n] = ip[n];
  text[n] = 0;
  DPTRC_LINE(2, LgITrc(), u"%s: replace %s with %s\n", fn, s.entry.addr, text);
  Put(addr, addrLen, text);
}

// The locked call of a worker, under the name of the entry point.
template <class Work>
LG_RC LgILocked(const WEQ_UC* fn, Work work) {
  ThrRc trc = LgIInitMtx();
  if (trc != THR_ERR_OK) {
    LG_ERR_RECORD(LGEINTERN2, fn, LgISetReason(u"LgIInitMtx failed (%s)", ThrErrTxt(trc)), 0);
    return LGEINTERN2;
  }
  trc = ThrMtxLock(LgIMtx());
  if (trc != THR_ERR_OK) {
    LG_ERR_RECORD(LGEINTERN2, fn, LgISetReason(u"ThrMtxLock failed (%s)", ThrErrTxt(trc)), 0);
    return LGEINTERN2;
  }
  LG_RC rc = work();
  trc = ThrMtxUnlock(LgIMtx());
  if (trc != THR_ERR_OK) {
    LG_ERR_RECORD(LGEINTERN2, fn, LgISetReason(u"ThrMtxUnlock failed (%s)", ThrErrTxt(trc)), 0);
    return LGEINTERN2;
  }
  return rc;
}

}  // namespace

// --- Names ----------------------------------------------------------------------

const WEQ_UC* LgILbTypeName(int32_t type, WEQ_UC* buffer) {
  if (buffer == nullptr) return u"";
  if (type >= 0 && type <= 100)
    strcpy_sU16(buffer, LG_LB_NAME_LEN, u"BEST");
  else if (type >= 101 && type <= 200)
    strcpy_sU16(buffer, LG_LB_NAME_LEN, u"RANDOM");
  else if (type == 202)
    strcpy_sU16(buffer, LG_LB_NAME_LEN, u"WEIGHTED_ROUND_ROBIN");
  else if (type == 201 || (type >= 203 && type <= 255))
    strcpy_sU16(buffer, LG_LB_NAME_LEN, u"ROUND_ROBIN");
  else
    snprintfU16(buffer, LG_LB_NAME_LEN, u"%d", type);
  return buffer;
}

int LgICompareQual(const void* a, const void* b) {
  const LG_APPSRV_REC* x = static_cast<const LG_APPSRV_REC*>(a);
  const LG_APPSRV_REC* y = static_cast<const LG_APPSRV_REC*>(b);
  int32_t qx = x->ints[LG_INT_QUALITY], qy = y->ints[LG_INT_QUALITY];
  if (qx != qy) return qx > qy ? -1 : 1;
  if (x->random != y->random) return x->random > y->random ? -1 : 1;
  return 0;
}

// --- The special group ------------------------------------------------------------

LG_RC LgIGetNextLogon(WEQ_UC* addr, int addrLen, uint16_t* port, WEQ_UC* release, int releaseLen,
                      WEQ_UC* sncName, int sncNameLen) {
  static constexpr WEQ_UC kFn[] = u"LgIGetNextLogon";
  WEQ_UC name[MS_NAME_LEN];
  int32_t type = sncName != nullptr ? 3 : 2;  // MS_LOGON_DIAGS, MS_LOGON_DIAG
  NI_NODEADDR node{};
  uint16_t found = 0;
  int rc = MsGetNextLogon(type, nullptr, 0, &node, &found, nullptr, 0, 1, lg_timeout.load());
  if (rc == MSOP_NOTSET) {
    DPTRC_LINE(2, LgITrc(), u"%s: no server with %s connected to message server (%s/%s)\n", kFn,
               MsLogonTypeName(type, name), lg_mshost, lg_msserv);
    LG_ERR_RECORD(LGENOSERVER, kFn, nullptr, 0);
    return LGENOSERVER;
  }
  if (rc == MSOP_UNKNOWN_CLIENT || rc == MSOP_UNKNOWN_OPCODE) {
    DPTRC_LINE(2, LgITrc(), u"%s: message server (%s/%s) doesn't support special logon group (%s)\n", kFn,
               lg_mshost, lg_msserv, kAnyGroup);
    LG_ERR_RECORD(LGEGRPNOTFOUND, kFn, kAnyGroup, 0);
    return LGEGRPNOTFOUND;
  }
  if (rc != 0) {
    LgIKeptMsRc.store(rc);
    DPTRC_LINE(2, LgITrc(), u"%s: message server (%s/%s) returns error (%s)\n", kFn, lg_mshost, lg_msserv,
               MsErrorName(rc, name));
    LG_ERR_RECORD(LGEMSLAYER, kFn, nullptr, 0);
    return LGEMSLAYER;
  }
  *port = found;
  // The release comes only from an answer that holds one.
  WEQ_UC rel[16] = {};
  int32_t relCap = release != nullptr && releaseLen < 16 ? releaseLen : 16;
  int st = relCap > 0 ? MsGetParamValue(u"WEQ_RELEASE", rel, relCap) : -1;
  if (st != 0 && st != 3 && st != 6) rel[0] = 0;
  if (st == MSENOMSG || st == MSEWAKEUP) {
    // An answer still to come would be taken for the next request's.
    DPTRC_LINE(2, LgITrc(), u"%s: no answer in time, drop the connection\n", kFn);
    MsDetach();
  }
  if (release != nullptr) Put(release, releaseLen, rel);
  WEQ_UC text[NI_NODEADDR_STR_LEN];
  NiAddrToStr2(&node, text, NI_NODEADDR_STR_LEN, 1);
  Put(addr, addrLen, text);
  DPTRC_LINE(2, LgITrc(), u"%s: group=%s, addr=%s serv=%d release=%s\n", kFn, kAnyGroup, text,
             static_cast<int32_t>(found), rel);
  if (sncName == nullptr) return WEQ_O_K;
  if (!MsIsAttached() && lg_mshost != nullptr && lg_msserv != nullptr) {
    // The name is asked on a new connection; the attach replaces the
    // stored texts, so it works on copies of them.
    LgIOwned host, serv;
    host.p = strdupU(lg_mshost);
    serv.p = strdupU(lg_msserv);
    if (host.p != nullptr && serv.p != nullptr) LgIAttach(host.p, serv.p);
  }
  WEQ_UC portText[LG_PORT_LEN];
  NiServToStr(found, portText, LG_PORT_LEN);
  const WEQ_UC* snc = nullptr;
  rc = LgIGetSncname(&snc, text, portText);
  if (rc != 0 || snc == nullptr) {
    DPTRC_LINE(2, LgITrc(), u"%s: LgIGetSncname failed (%d)\n", kFn, rc);
    LG_ERR_RECORD(LGENOSNCACTIVEG, kFn, kAnyGroup, 0);
    return LGENOSNCACTIVEG;
  }
  Put(sncName, sncNameLen, snc);
  DPTRC_LINE(2, LgITrc(), u"%s: sncname = %s\n", kFn, snc);
  return WEQ_O_K;
}

// --- The lookup -------------------------------------------------------------------

LG_RC LgIGroupX(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr, int addrLen,
                uint16_t* port, WEQ_UC* release, int releaseLen, WEQ_UC* sncName, int sncNameLen,
                uint8_t* lbUsed, WEQ_UC* name, int nameLen) {
  static constexpr WEQ_UC kFn[] = u"LgIGroupX";
  // 1. The stored message server stands in for a missing one. The lookup
  // works on copies of the stored texts, which an attach to another
  // server frees.
  bool hostStored = mshost == nullptr;
  const WEQ_UC* host = mshost != nullptr ? mshost : lg_mshost;
  const WEQ_UC* serv = msserv != nullptr ? msserv : lg_msserv;
  if (host == nullptr || serv == nullptr) {
    LG_ERR_RECORD(LGEINVAL, kFn, host == nullptr ? u"mshost = NULL" : u"msserv = NULL", 0);
    return LGEINVAL;
  }
  LgIOwned hostCopy, servCopy;
  if (mshost == nullptr) host = hostCopy.p = strdupU(host);
  if (msserv == nullptr) serv = servCopy.p = strdupU(serv);
  if (host == nullptr || serv == nullptr) {
    int err = errno;
    const WEQ_UC* what = host == nullptr ? lg_mshost : lg_msserv;
    int32_t bytes = static_cast<int32_t>((strlenU(what) + 1) * sizeof(WEQ_UC));
    LG_ERR_RECORD(LGENOMEM, kFn, LgISetReason(u"strdupU %d bytes failed (%s)", bytes, strerrorU16(err)), 0);
    return LGENOMEM;
  }
  mshost = host;
  msserv = serv;
  // 2.
  if (strnlenU16(group, kGroupMax + 1) > kGroupMax) {
    LgIErrRecordAs(__LINE__, LGEINVAL, LGEGRPNOTFOUND, kFn, u"group name too large", 0);
    return LGEGRPNOTFOUND;
  }
  // 3.
  int64_t now = LgINow();
  uint16_t servNo = 0;
  if (strlenU(mshost) >= 4 && strncmpU(mshost, u"/H/", 3) == 0) {
    uint32_t sum = 0;
    for (const WEQ_UC* c = msserv; *c != 0; ++c) sum += static_cast<uint8_t>(UcsCharToA7(*c));
    servNo = static_cast<uint16_t>(sum);
    DPTRC_LINE(2, LgITrc(), u"%s: connect via router use internal servno=%d\n", kFn, static_cast<int32_t>(servNo));
  } else {
    NI_RC nrc = NiServToNo(msserv, &servNo);
    if (nrc != WEQ_O_K) {
      LgIKeptNiRc.store(nrc);
      NiErrSet(nrc);
      DPTRC_ERROR(LgITrc(), u"%s: NiServToNo(%s) failed, (rc=%s)", kFn, msserv, NiErrorName(nrc));
      return LGENILAYER;
    }
  }
  bool snc = sncName != nullptr;
  DPTRC_LINE(2, LgITrc(), u"%s: host=%s serv=%s group=%s%s\n", kFn, mshost, msserv, group, snc ? u" (with SNC)" : u"");
  // 4.
  if (lbUsed != nullptr) *lbUsed = 0;
  *port = 0;
  Empty(addr, addrLen);
  Empty(release, releaseLen);
  Empty(name, nameLen);
  Empty(sncName, sncNameLen);
  LG_RC rc = WEQ_O_K;
  LG_GROUP_REC* e = nullptr;
  int index = -1;
  int freeIndex = -1;
  const WEQ_UC* chosenName = nullptr;
  // 5.
  if (strcmpU(group, kAnyGroup) == 0) {
    DPTRC_LINE(2, LgITrc(), u"%s: use special logon group %s\n", kFn, group);
    rc = LgIAttach(mshost, msserv);
    if (rc != WEQ_O_K) {
      DPTRC_ERROR(LgITrc(), u"%s: LgIAttach(rc=%d)", kFn, rc);
      return rc;
    }
    rc = LgIGetNextLogon(addr, addrLen, port, release, releaseLen, sncName, sncNameLen);
  } else {
    // 6.
    LgIClearCacheOnce();
    LG_GROUP_REC* cache = LgICache();
    for (int i = 0; i < LG_CACHE_SIZE && index < 0; ++i) {
      LG_GROUP_REC& c = cache[i];
      if (c.inUse && c.servNo == servNo && strncmpU(c.name, group, kGroupMax) == 0 && c.mshost != nullptr &&
          strcmpU(c.mshost, mshost) == 0)
        index = i;
    }
    if (index >= 0) {
      e = &cache[index];
      DPTRC_LINE(2, LgITrc(), u"%s: found stored logon group %s/%d/%s/%d\n", kFn, e->mshost,
                 static_cast<int32_t>(e->servNo), e->name, index);
      if (static_cast<int64_t>(e->timeout) + e->firstRead < now) {
        WEQ_UC d1[26], d2[26];
        DPTRC_LINE(2, LgITrc(), u"%s: timeout (%d secs) expired, force reread (first=%s / now=%s)\n", kFn,
                   e->timeout, LgIDate(e->firstRead, d1), LgIDate(now, d2));
        LgIGroupFree(index);
        index = -1;
      } else if (e->logonCount <= 0) {
        DPTRC_LINE(2, LgITrc(), u"%s: #logon (%d) reached, force reread\n", kFn, e->logonStart);
        LgIGroupFree(index);
        index = -1;
      }
    }
    if (index < 0) {
      DPTRC_LINE(2, LgITrc(), u"%s: %s not stored, retrieve info from msg server (%s/%s)\n", kFn, group, mshost,
                 msserv);
      // 7.
      rc = LgIAttach(mshost, msserv);
      if (rc != WEQ_O_K) {
        DPTRC_ERROR(LgITrc(), u"%s: LgIAttach(rc=%d)", kFn, rc);
        return rc;
      }
      LG_GROUP_REC* list = nullptr;
      int32_t count = 0;
      rc = LgIClListLb(&list, &count, group);
      const LG_GROUP_REC* found = nullptr;
      if (rc != WEQ_O_K) {
        DPTRC_ERROR(LgITrc(), u"%s: LgIClListLb (rc=%d)", kFn, rc);
      } else {
        for (int32_t k = 0; k < count && found == nullptr; ++k)
          if (strcmpU(list[k].name, group) == 0) found = &list[k];
        if (found == nullptr) {
          LG_ERR_RECORD(LGEGRPNOTFOUND, kFn, group, 0);
          DPTRC_LINE(2, LgITrc(), u"%s: group <%s> not found in favorite list\n", kFn, group);
          rc = LGEGRPNOTFOUND;
        }
      }
      if (found != nullptr) {
        index = LgIGetEntry(now);
        e = &cache[index];
        *e = *found;
        e->mshost = strdupU(mshost);
        if (e->mshost == nullptr) {
          int err = errno;
          int32_t bytes = static_cast<int32_t>((strlenU(mshost) + 1) * sizeof(WEQ_UC));
          memset(e, 0, sizeof *e);
          LG_ERR_RECORD(LGENOMEM, kFn, LgISetReason(u"strdupU %d bytes failed (%s)", bytes, strerrorU16(err)), 0);
          DPTRC_ERROR(LgITrc(), u"%s: strdupU %d", kFn, err);
          return LGENOMEM;
        }
        e->inUse = 1;
        e->servNo = servNo;
        // 8.
        if (e->groupNo > 0 && e->timeout > 0 && e->logonCount > 0) {
          DPTRC_LINE(2, LgITrc(), u"%s: get app server info\n", kFn);
          rc = LgIGetAppSrv(index, snc, e->lbType == 202);
          if (rc != WEQ_O_K) {
            LgIDetach(lg_mshost);
            DPTRC_ERROR(LgITrc(), u"%s: LgIGetAppSrv failed (%s)", kFn, LgErrorText(rc));
            return rc;
          }
          LgIPrepare(kFn, e);
          e->firstRead = now;
          if (DPTRC_ON(2)) {
            WEQ_UC d[26];
            DPTRC_LINE(2, LgITrc(), u"%s: first read = %I64u(%s)\n", kFn, static_cast<uint64_t>(now), LgIDate(now, d));
          }
        }
        DPTRC_LINE(2, LgITrc(), u"%s: host=%s serv=%s group=%s id=%d, type=%d, #logon=%d,timeout=%d secs\n", kFn,
                   mshost, msserv, group, e->groupNo, e->lbType, e->logonCount, e->timeout);
      }
    }
    if (e != nullptr && rc == WEQ_O_K) {
      // 9.
      int chosen = -1;
      if (e->serverCount > 0) {
        static constexpr const WEQ_UC* kAlgo[] = {u"%s: use best of algorithm\n",
                                                  u"%s: use weighted round robin algorithm\n",
                                                  u"%s: use round robin algorithm\n"};
        if (DPTRC_ON(2)) {
          DpTrcLock();
          DpTrcV(LgITrc(), kAlgo[static_cast<int>(ClassOf(e->lbType))], U16FmtMakeArgs(kFn).args());
          DpTrcUnlock();
        }
        int32_t best = INT32_MIN;
        for (int32_t j = 0; j < e->serverCount; ++j) {
          LG_APPSRV_REC& s = e->servers[j];
          if (snc && s.sncState == LG_SNC_UNASKED) {
            rc = LgIAttach(mshost, msserv);
            if (rc != WEQ_O_K) {
              DPTRC_ERROR(LgITrc(), u"%s: LgIAttach(rc=%d)", kFn, rc);
              return rc;
            }
            DPTRC_LINE(2, LgITrc(), u"%s: reread sncname %s\n", kFn, s.entry.name);
            const WEQ_UC* key = nullptr;
            if (LgIGetSncname(&key, s.entry.addr, s.entry.port) == 0 && key != nullptr) {
              s.sncState = LG_SNC_KNOWN;
              strncpy_sU16(s.sncName, LG_SNC_NAME_LEN, key, LG_SNC_NAME_LEN - 1);
              DPTRC_LINE(2, LgITrc(), u"%s: %s sncname=%s\n", kFn, s.entry.name, s.sncName);
            } else {
              s.sncState = LG_SNC_NONE;
              DPTRC_LINE(2, LgITrc(), u"%s: %s no sncname\n", kFn, s.entry.name);
            }
          }
          if (snc && s.sncState == LG_SNC_NONE) continue;
          if (DPTRC_ON(3)) {
            WEQ_UC id[33];
            uint32_t mask = static_cast<uint32_t>(s.ints[LG_INT_MASK]);
            for (int b = 0; b < 32; ++b) id[b] = (mask >> (31 - b)) & 1 ? u'1' : u'0';
            id[32] = 0;
            DPTRC_LINE(3, LgITrc(), u"%s: %s : group=%s qual=%d delta=%d\n", kFn, s.entry.name, id,
                       s.ints[LG_INT_QUALITY], s.ints[LG_INT_DELTA]);
          }
          if (s.ints[LG_INT_QUALITY] > best) {
            best = s.ints[LG_INT_QUALITY];
            chosen = j;
          }
        }
      }
      if (chosen < 0) {
        // 10. The group's own address.
        freeIndex = index;
        if (snc) {
          rc = LgIAttach(mshost, msserv);
          if (rc != WEQ_O_K) {
            DPTRC_ERROR(LgITrc(), u"%s: LgIAttach(rc=%d)", kFn, rc);
          } else {
            const WEQ_UC* key = nullptr;
            if (LgIGetSncname(&key, e->addr, e->port) != 0 || key == nullptr) {
              LG_ERR_RECORD(LGENOSNCACTIVEG, kFn, group, 0);
              Empty(sncName, sncNameLen);
              rc = LGENOSNCACTIVEG;
            } else {
              Put(sncName, sncNameLen, key);
            }
          }
        }
        if (rc == WEQ_O_K || rc == LGENOSNCACTIVEG) {
          if (lbUsed != nullptr) *lbUsed = 0;
          *port = PortOf(e->port);
          Put(addr, addrLen, e->addr);
          Put(release, releaseLen, e->release);
          const WEQ_UC* nm = nullptr;
          if (name != nullptr && LgAdrPortToName(nullptr, nullptr, e->addr, e->port, &nm) == 0 && nm != nullptr)
            Put(name, nameLen, nm);
        }
      } else {
        // 11.
        LG_APPSRV_REC& s = e->servers[chosen];
        chosenName = s.entry.name;
        LgIAdjust(kFn, &s);
        *port = PortOf(s.entry.port);
        LgIServerAddr(kFn, s, addr, addrLen);
        Put(release, releaseLen, e->release);
        Put(name, nameLen, s.entry.name);
        if (lbUsed != nullptr) *lbUsed = 1;
        if (snc && s.sncState == LG_SNC_KNOWN) Put(sncName, sncNameLen, s.sncName);
        DPTRC_LINE(2, LgITrc(), u"%s: #logon_reread = %d\n", kFn, e->logonCount);
        --e->logonCount;
        bool expired = static_cast<int64_t>(e->timeout) + e->firstRead < now;
        if (e->logonCount > 0 && !expired) {
          e->lastUse = now;
        } else {
          if (expired)
            DPTRC_LINE(2, LgITrc(), u"%s: timeout (%d secs) expired, force reread (next time)\n", kFn, e->timeout);
          else
            DPTRC_LINE(2, LgITrc(), u"%s: #logon (%d) reached, force reread (next time)\n", kFn, e->logonStart);
          freeIndex = index;
        }
      }
    }
  }
  // 12.
  if (DPTRC_ON(2)) {
    DPTRC_LINE(2, LgITrc(), u"%s: group=%s: addr=%s serv=%d release=%s\n", kFn, group, e != nullptr ? e->addr : u"",
               static_cast<int32_t>(e != nullptr ? PortOf(e->port) : 0), e != nullptr ? e->release : u"");
    if (chosenName != nullptr) DPTRC_LINE(2, LgITrc(), u"%s: lb=ACTIVE name=%s\n", kFn, chosenName);
    if (snc && sncNameLen > 0 && sncName[0] != 0) DPTRC_LINE(2, LgITrc(), u"%s: sncname=%s\n", kFn, sncName);
  }
  if (freeIndex >= 0) LgIGroupFree(freeIndex);
  LgIDetach(hostStored ? nullptr : mshost);
  return rc;
}

LG_RC LgIGroup(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr, int addrLen,
               uint16_t* port, WEQ_UC* release, int releaseLen, WEQ_UC* sncName, int sncNameLen, uint8_t* lbUsed,
               WEQ_UC* name, int nameLen) {
  return LgILocked(u"LgIGroup", [&] {
    return LgIGroupX(mshost, msserv, group, addr, addrLen, port, release, releaseLen, sncName, sncNameLen, lbUsed,
                     name, nameLen);
  });
}

namespace {

// The argument checks of the two entry points: the last NULL names the
// reason. sncName is checked only for the SNC form.
bool LgIArgsGiven(const WEQ_UC* fn, const WEQ_UC* group, bool sncMissing, const WEQ_UC* addr, const uint16_t* port) {
  const WEQ_UC* reason = nullptr;
  if (group == nullptr) reason = u"group = NULL";
  if (sncMissing) reason = u"sncname = NULL";
  if (addr == nullptr) reason = u"addr = NULL";
  if (port == nullptr) reason = u"port = NULL";
  if (reason == nullptr) return true;
  LG_ERR_RECORD(LGEINVAL, fn, reason, 0);
  return false;
}

}  // namespace

LG_RC LgGroupSec(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr, int addrLen,
                 uint16_t* port, WEQ_UC* release, int releaseLen, uint8_t* lbUsed, WEQ_UC* name, int nameLen) {
  if (!LgIArgsGiven(u"LgGroupSec", group, false, addr, port)) return LGEINVAL;
  return LgIGroup(mshost, msserv, group, addr, addrLen, port, release, releaseLen, nullptr, 0, lbUsed, name,
                  nameLen);
}

LG_RC LgGroupSncSec(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr, int addrLen,
                    uint16_t* port, WEQ_UC* release, int releaseLen, WEQ_UC* sncName, int sncNameLen,
                    uint8_t* lbUsed, WEQ_UC* name, int nameLen) {
  if (!LgIArgsGiven(u"LgGroupSncSec", group, sncName == nullptr, addr, port)) return LGEINVAL;
  return LgIGroup(mshost, msserv, group, addr, addrLen, port, release, releaseLen, sncName, sncNameLen, lbUsed,
                  name, nameLen);
}

// --- A name by address, and the lists ------------------------------------------------

int LgAdrPortToName(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* ipAddr, const WEQ_UC* port,
                    const WEQ_UC** name) {
  static constexpr WEQ_UC kFn[] = u"LgAdrPortToName";
  const WEQ_UC* reason = nullptr;
  if (ipAddr == nullptr) reason = u"ipadr = NULL";
  if (port == nullptr) reason = u"port = NULL";
  if (name == nullptr) reason = u"&name = NULL";
  if (reason != nullptr) {
    LG_ERR_RECORD(LGEINVAL, kFn, reason, 0);
    return LGEINVAL;
  }
  LG_RC rc = LgIAttach(mshost, msserv);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(LgITrc(), u"%s: LgIAttach(rc=%d)", kFn, rc);
    return LGEMSLAYER;
  }
  NI_NODEADDR addr;
  uint16_t no = 0;
  if (LgIHostPort(kFn, ipAddr, port, &addr, &no) != WEQ_O_K) return LGEINVAL;
  int ms = MsGetNameByIpAdr(&addr, no, name, 1, lg_timeout.load());
  LgIDetach(mshost);
  return ms;
}

LG_RC LgIApplSrvInfo(const WEQ_UC* mshost, const WEQ_UC* msserv, LG_APPSRV_ENTRY** asList, int32_t* asCount,
                     LG_CLASS_ENTRY** clList, int32_t* clCount) {
  static constexpr WEQ_UC kFn[] = u"LgIApplSrvInfo";
  WEQ_UC name[LG_ERR_NAME_LEN];
  if (asCount != nullptr) *asCount = 0;
  if (clCount != nullptr) *clCount = 0;
  LG_RC rc = LgIAttach(mshost, msserv);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(LgITrc(), u"%s: LgIAttach(rc=%s)", kFn, LgErrorName(rc, name));
    return rc;
  }
  if (asList != nullptr) {
    if (asCount == nullptr) {
      LG_ERR_RECORD(LGEINVAL, u"LgApplSrvInfo", u"&ascount = NULL", 0);
      LgIDetach(mshost);
      return LGEINVAL;
    }
    rc = LgIAsList(asList, asCount);
  }
  if ((asList == nullptr || rc == WEQ_O_K) && clList != nullptr) {
    if (clCount == nullptr) {
      LG_ERR_RECORD(LGEINVAL, u"LgApplSrvInfo", u"&clcount = NULL", 0);
      LgIDetach(mshost);
      return LGEINVAL;
    }
    rc = LgIClList(clList, clCount, nullptr);
  }
  LgIDetach(mshost);
  return rc;
}

LG_RC LgApplSrvInfo(const WEQ_UC* mshost, const WEQ_UC* msserv, LG_APPSRV_ENTRY** asList, int32_t* asCount,
                    LG_CLASS_ENTRY** clList, int32_t* clCount) {
  return LgILocked(u"LgApplSrvInfo",
                   [&] { return LgIApplSrvInfo(mshost, msserv, asList, asCount, clList, clCount); });
}
