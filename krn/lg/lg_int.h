// Internals of the logon-group layer shared by its files and the tests: the
// recording of an error, the kept codes of the layers below, the reason
// buffer, the parameters, the mutex, the attachment, the group cache, the
// list readers and the lookup's steps. No other module includes this header.
//
// Everything here is process-wide and, unless said otherwise, used only
// under the layer's mutex (LgIMtx) or in operations that the Java bindings
// call under their logon-group lock. The parameters and the kept codes are
// atomics that any thread may read.
#ifndef KRN_LG_LG_INT_H
#define KRN_LG_LG_INT_H

#include <stdint.h>

#include <atomic>

#include "i18n/wequ16/u16fmt.h"
#include "krn/dptrc/dptrc.h"
#include "krn/lg/lg.h"
#include "krn/ni/ni.h"
#include "krn/thr/thr.h"
#include "weq_types.h"

// --- Codes, reasons, recording --------------------------------------------------

// The cause of the last -101 of the process: the failed message-server
// request's code, or the code of an inner read that a list read turned into
// -101.
extern std::atomic<int32_t> LgIKeptMsRc;
// The NI code of the last -102 (a host or service name not resolvable).
extern std::atomic<int32_t> LgIKeptNiRc;

// Units of the reason buffer, terminator included.
#define LG_REASON_LEN 256

// The reason buffer: one formatted reason ("unknown param %d", "mshost =
// NULL" ...) between its formatting and its recording.
WEQ_UC* LgIReason(void);

// Formats the reason, cut to the buffer; returns the buffer.
WEQ_UC* LgISetReasonV(const WEQ_UC* fmt, U16FmtArgs args);
template <class... A>
inline WEQ_UC* LgISetReason(U16Format<A...> fmt, const A&... args) {
  return LgISetReasonV(fmt.str, U16FmtMakeArgs(args...).args());
}

// Records code in the calling thread's error information: component "LG",
// version 5, module "lgxx", the given source line, the code's text as the
// error text and operation as the detail. The code's one placeholder takes
// number where it is "%d" (the time-out of -4) and text where it is "%s"
// (NULL stands for ""); a text without one takes neither. Returns the
// result of the recording (0, or a negative error-information code).
int LgIErrRecord(uint32_t line, LG_RC code, const WEQ_UC* operation, const WEQ_UC* text,
                 int32_t number);
// The same with the text of textCode and the code rc.
int LgIErrRecordAs(uint32_t line, LG_RC textCode, LG_RC rc, const WEQ_UC* operation,
                   const WEQ_UC* text, int32_t number);

#define LG_ERR_RECORD(code, operation, text, number) \
  LgIErrRecord(__LINE__, (code), (operation), (text), (number))

// The layer's trace handle.
inline CTRC_HDL LgITrc(void) { return CTrcGlobalHdl.load(std::memory_order_relaxed); }

// --- Parameters, mutex, clock and random numbers ---------------------------------

extern std::atomic<int32_t> lg_timeout;      // ms, default 10000
extern std::atomic<int32_t> lg_lb_timeout;   // stored only, default 60000
extern std::atomic<int32_t> lg_lb_requests;  // stored only, default 1000

// The mutex "LG": LgIInitMtx creates it once (0, or the thread library's
// code of a failed creation); LgIMtx is valid after a 0.
ThrRc LgIInitMtx(void);
ThrMtx* LgIMtx(void);

// Seconds since the epoch (time()), or the test clock.
int64_t LgINow(void);
// The layer's own generator (the C standard's sample generator, RAND_MAX
// 32767), so that the JVM's use of the C library's rand() neither moves nor
// is moved by it: 0 to 32767, or the test generator's value.
int LgIRand(void);
void LgISrand(uint32_t seed);
// Test seams: a clock and a generator in place of the layer's own (NULL:
// back to them).
void LgISetClock(int64_t (*now)(void));
void LgISetRandom(int (*next)(void));

// --- Records ----------------------------------------------------------------------

#define LG_NAME_LEN 21      // a group name or storage key of 20 characters
#define LG_ADDR_LEN 46      // an address text
#define LG_PORT_LEN 12      // a port text
#define LG_RELEASE_LEN 5    // a release of at most 3 characters
#define LG_SHORT_TEXT_LEN 41
#define LG_SNC_NAME_LEN 257
#define LG_INTEGERS 10
#define LG_CACHE_SIZE 32
#define LG_RING_SIZE 128
#define LG_PAGE 290          // entries of one page of a read of all texts
#define LG_MAX_PAGES 100     // pages of one read of all texts (see LgIGetAllTextAdm)

// SNC states of a server.
enum : int32_t { LG_SNC_NONE = 0, LG_SNC_KNOWN = 1, LG_SNC_UNASKED = 2 };

// One application server of a load-balanced group.
struct LG_APPSRV_REC {
  LG_APPSRV_ENTRY entry;
  // From the server's integer entry (all 0 without one): [5] quality, [7]
  // delta, [8] group mask (bit 32 - n for group n), [9] dialog work
  // processes, the weight of weighted round robin.
  int32_t ints[LG_INTEGERS];
  WEQ_UC shortText[LG_SHORT_TEXT_LEN];
  uint8_t shortFlag;  // 1: the storage holds a short text for the server
  int32_t random;     // 1-1000, orders servers of equal quality
  int32_t sncState;
  WEQ_UC sncName[LG_SNC_NAME_LEN];
};
enum : int { LG_INT_QUALITY = 5, LG_INT_DELTA = 7, LG_INT_MASK = 8, LG_INT_WEIGHT = 9 };

// One logon group: an element of the group list, or a cache entry.
struct LG_GROUP_REC {
  uint8_t inUse;
  WEQ_UC* mshost;   // owned copy of the lookup's host; NULL in list elements
  uint16_t servNo;  // the message server's port, or a route string's sum
  WEQ_UC name[LG_NAME_LEN];
  WEQ_UC addr[LG_ADDR_LEN];  // the group's own address
  WEQ_UC port[LG_PORT_LEN];
  WEQ_UC release[LG_RELEASE_LEN];
  int32_t timeout;     // seconds after the first read until a reread
  int32_t logonCount;  // lookups left before a reread
  int32_t logonStart;
  int32_t groupNo;  // 1-32; 0 none
  int32_t lbType;   // 0-255
  int64_t firstRead;  // seconds
  int64_t lastUse;    // seconds
  int32_t serverCount;
  LG_APPSRV_REC* servers;  // owned
};

// A text entry of the storage: the key (0-ended when shorter than 20) and
// the text (0-ended when shorter than 40, or a favourite's 40 units as they
// came).
struct LG_TEXT_REC {
  WEQ_UC key[20];
  WEQ_UC text[40];
};
static_assert(sizeof(LG_TEXT_REC) == 120, "a text entry is 120 bytes");

// An integer entry: the key as above and ten integers.
struct LG_INTG_REC {
  WEQ_UC key[20];
  int32_t ints[LG_INTEGERS];
};

// Byte offsets in a favourite's 80-byte text.
enum : int {
  LG_FAV_VERSION = 18,
  LG_FAV_V4ADDR = 19,  // versions 1 and 2
  LG_FAV_LB4 = 21,     // version 4: number, type, time-out, count
  LG_FAV_PORT = 27,
  LG_FAV_RELEASE = 30,
  LG_FAV_LB12 = 38,  // versions 1 and 2
  LG_FAV_V6ADDR = 38,  // versions 3 and 4
};

// --- Attachment and cache (krn/lg/lgxxadm.cpp) -------------------------------------

// The message server the layer is attached to (owned copies, or NULL) and
// whether it is.
extern WEQ_UC* lg_mshost;
extern WEQ_UC* lg_msserv;
extern bool lg_attached;

LG_RC LgIAllocAdm(const WEQ_UC* mshost, const WEQ_UC* msserv);
LG_RC LgIAttach(const WEQ_UC* mshost, const WEQ_UC* msserv);
LG_RC LgIDetach(const WEQ_UC* mshost);

// The 32 entries; the first use clears them (LgIClearCacheOnce).
LG_GROUP_REC* LgICache(void);
void LgIClearCacheOnce(void);
int LgIGetEntry(int64_t now);
int LgIGroupFree(int index);

// Test seam: frees the cache, the lists and the stored texts, detaches and
// sets the parameters, the kept codes, the clock and the generator back.
void LgIResetProcess(void);

// --- Storage and lists (krn/lg/lgxxlist.cpp) ---------------------------------------

LG_RC LgIGetSingleTextAdm(const WEQ_UC* key, LG_TEXT_REC* record, bool groupText, int32_t* textLen);
LG_RC LgIGetAllTextAdm(LG_TEXT_REC** records, int32_t* count, bool groupText, int32_t* textLen);
LG_RC LgIGetSingleIntgAdm(const WEQ_UC* key, LG_INTG_REC* record);
LG_RC LgIGetInteger(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* key,
                    int32_t ints[LG_INTEGERS]);
LG_RC LgIGetShortText(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* key, WEQ_UC* text,
                      int32_t textLen);

LG_RC LgIClList(LG_CLASS_ENTRY** list, int32_t* count, const WEQ_UC* group);
LG_RC LgIClListLb(LG_GROUP_REC** list, int32_t* count, const WEQ_UC* group);
LG_RC LgIAsList(LG_APPSRV_ENTRY** list, int32_t* count);
LG_RC LgIAsListLb(LG_APPSRV_REC** list, int32_t* count, bool weighted);
LG_RC LgIGetAppSrv(int index, bool withSnc, bool weighted);
int LgIGetSncname(const WEQ_UC** name, const WEQ_UC* host, const WEQ_UC* serv);
// An address text or host name and a service text as address and port;
// a failure is traced under fn and its NI code returned.
NI_RC LgIHostPort(const WEQ_UC* fn, const WEQ_UC* host, const WEQ_UC* serv, NI_NODEADDR* addr, uint16_t* port);

// The fillers of the group lists: one text entry (its text at least 20
// units long, else -1 and nothing filled) into one element: 0.
LG_RC LgIFillList(LG_CLASS_ENTRY* out, const LG_TEXT_REC* in, int32_t textLen);
LG_RC LgIFillListIpv6(LG_CLASS_ENTRY* out, const LG_TEXT_REC* in, int32_t textLen);
LG_RC LgIFillLgListLbIpv6_2(LG_CLASS_ENTRY* out, const LG_TEXT_REC* in, int32_t textLen);
LG_RC LgIFillListLb(LG_GROUP_REC* out, const LG_TEXT_REC* in, int32_t textLen);
LG_RC LgIFillListLbIpv6(LG_GROUP_REC* out, const LG_TEXT_REC* in, int32_t textLen);
LG_RC LgIFillLgListLbIpv6(LG_GROUP_REC* out, const LG_TEXT_REC* in, int32_t textLen);

struct MSXXLIST;
void LgIFillAsList(LG_APPSRV_ENTRY* out, const MSXXLIST* in);

// The group's bit in a server's group mask: (32 - number) mod 32.
inline uint32_t LgIGroupBit(int32_t groupNo) { return 1u << ((32u - static_cast<uint32_t>(groupNo)) % 32u); }

// Frees the lists of the four rings (LgIResetProcess).
void LgIFreeRings(void);

// --- Lookup (krn/lg/lgxx.cpp) -------------------------------------------------------------

LG_RC LgIGroup(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr,
               int addrLen, uint16_t* port, WEQ_UC* release, int releaseLen, WEQ_UC* sncName,
               int sncNameLen, uint8_t* lbUsed, WEQ_UC* name, int nameLen);
LG_RC LgIGroupX(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* group, WEQ_UC* addr,
                int addrLen, uint16_t* port, WEQ_UC* release, int releaseLen, WEQ_UC* sncName,
                int sncNameLen, uint8_t* lbUsed, WEQ_UC* name, int nameLen);
LG_RC LgIGetNextLogon(WEQ_UC* addr, int addrLen, uint16_t* port, WEQ_UC* release, int releaseLen,
                      WEQ_UC* sncName, int sncNameLen);
LG_RC LgIApplSrvInfo(const WEQ_UC* mshost, const WEQ_UC* msserv, LG_APPSRV_ENTRY** asList,
                     int32_t* asCount, LG_CLASS_ENTRY** clList, int32_t* clCount);

// Units of a load-balancing type's name, terminator included.
#define LG_LB_NAME_LEN 24
// "BEST" (0-100), "RANDOM" (101-200), "WEIGHTED_ROUND_ROBIN" (202),
// "ROUND_ROBIN" (201, 203-255), else decimal; an empty text without a
// buffer. Returns the text.
const WEQ_UC* LgILbTypeName(int32_t type, WEQ_UC* buffer);
// Servers by quality, highest first, then by random number, highest first
// (qsort's form).
int LgICompareQual(const void* a, const void* b);

#endif
