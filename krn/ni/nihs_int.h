// The host and service caches that stand in front of the resolver: the
// front end the rest of NI calls, the cache classes, and the address
// selection policy of the IPv4/IPv6 host cache. Internal to NI and its
// tests.
//
// Entries remember answers ("valid") and failures ("unknown"), each kind
// for its own time in seconds. Look-up modes: NI_HS_MODE_DEFAULT asks the
// resolver on a miss or an expired entry and stores the answer;
// NI_HS_MODE_BUFONLY never asks it (trace code uses it, so that no trace
// line waits for the resolver); NI_HS_MODE_NOBUF asks only the resolver.
//
// Locking. Each cache has one ThrMtx ("NI serv section", "NI host section",
// "NI host section I6"); every read or write of its table, slot counters,
// dump cursor and policy happens under it. It is a leaf lock: only the trace
// is written under it. The resolver always runs with it released: a look-up
// scans, releases, asks, and takes it again to store. A remembered slot is written only when
// the table's generation (changed by Init, SetIndexSize and Flush) is still
// the one seen by the scan. The two process-wide cache pointers are created
// once under the creation lock and read without a lock; they are destroyed
// only by NI's exit, when no look-up runs.
#ifndef KRN_NI_NIHS_INT_H
#define KRN_NI_NIHS_INT_H

#include <stdint.h>
#include <string.h>

#include <atomic>

#include "krn/dptrc/dptrc.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nihs_front.h"
#include "krn/thr/thr.h"

// Entry statuses; the host caches combine the bits.
enum : uint8_t {
  STAT_SLOT_FREE = 0,
  STAT_UNKNOWN_ADDR = 1,  // the address (service cache: the port) has no name
  STAT_UNKNOWN_NAME = 2,  // the name has no address (service cache: no port)
  STAT_VALID_ADDR = 4,    // valid, found by address (service cache: either way)
  STAT_VALID_NAME = 8,    // valid, found by name (host caches)
};

// Whether a host cache entry answers look-ups by name or by address.
inline bool NiIHSByName(uint8_t status) { return (status & (STAT_UNKNOWN_NAME | STAT_VALID_NAME)) != 0; }
inline bool NiIHSByAddr(uint8_t status) { return (status & (STAT_UNKNOWN_ADDR | STAT_VALID_ADDR)) != 0; }

// A caller's clock for the lookup-time trace: microseconds, wrapping at
// 2^32; it receives the cache.
class NIHSIMPL;
typedef uint32_t (*NI_HS_TIME_FUNC)(NIHSIMPL* cache);

// Result of the IPv4/IPv6 cache-only look-ups when the key is not cached.
#define NI_HS_NOT_CACHED (-1001)

// Largest capacity a cache accepts.
#define NI_HS_MAX_ENTRIES 65536u

// Dump formats of DumpBufLine.
enum { NI_HS_DUMP_TAB = 1, NI_HS_DUMP_TABLE = 2 };

// Holds a cache's mutex for a scope.
struct NiIMtxHold {
  explicit NiIMtxHold(ThrMtx* m) : m_(m) { ThrMtxLock(m_); }
  ~NiIMtxHold() { ThrMtxUnlock(m_); }
  NiIMtxHold(const NiIMtxHold&) = delete;
  NiIMtxHold& operator=(const NiIMtxHold&) = delete;
  ThrMtx* m_;
};

// Abstract base of every cache.
class NIHSIMPL {
 public:
  virtual ~NIHSIMPL();
  virtual NI_RC SetIndexSize(uint32_t capacity) = 0;
  virtual NI_RC SetTimeFunc(NI_HS_TIME_FUNC fn);
  virtual NI_RC Flush() = 0;
  // Takes the mutex and sets the dump cursor to 0.
  virtual NI_RC Lock();
  virtual NI_RC Unlock();
  // The next used entry as one line; *pDone = 1 after the last.
  virtual NI_RC DumpBufLine(WEQ_UC* buffer, int bufferLen, int* pDone, int format) = 0;

  // Read by tests and the dump under the mutex.
  uint32_t Capacity() const { return capacity_; }
  uint32_t ValidTime() const { return validTime_; }
  uint32_t UnknownNameTime() const { return unknownNameTime_; }
  uint32_t UnknownAddrTime() const { return unknownAddrTime_; }
  uint32_t TraceLimit() const { return traceLimit_.load(std::memory_order_relaxed); }
  void SetTraceLimit(uint32_t ms) { traceLimit_.store(ms, std::memory_order_relaxed); }
  int64_t LastFlushTime() const { return lastFlush_; }

  // Sets the valid (flag 1), unknown-name (2) and unknown-address (4) times.
  NI_RC SetTimes(uint32_t seconds, uint32_t flags);

 protected:
  NIHSIMPL(const WEQ_UC* mutexName);

 public:
  // Milliseconds for the lookup-time trace with the value at which that
  // clock wraps, and the elapsed time between two readings.
  struct Millis {
    uint32_t ms;
    uint32_t wrap;
  };
  Millis MilliClock();
  static uint32_t Elapsed(Millis t0, Millis t1);

 protected:
  // The lookup-time trace after one resolver call (limit 0: nothing).
  // byName chooses the quoted form of the key.
  void TraceLookupTime(const WEQ_UC* fn, const WEQ_UC* key, bool byName, bool ok, Millis t0);

  // The common part of Init, under the mutex: refuses an existing table
  // (NIECALL), stores capacity and times, starts a new generation and
  // allocates capacity zeroed entries of entrySize bytes (none for 0).
  struct TableTexts {
    const WEQ_UC* fn;         // the Init's name
    const WEQ_UC* disabled;   // trace for capacity 0, "%s" the name
    const WEQ_UC* allocated;  // trace after allocation, "%s" and "%d" entries
  };
  NI_RC InitTable(void** table, size_t entrySize, uint32_t capacity, uint32_t validTime,
                  uint32_t unknownNameTime, uint32_t unknownAddrTime, const TableTexts& texts);
  // SetIndexSize's bound check (NIEINVAL above NI_HS_MAX_ENTRIES, before
  // anything changes).
  NI_RC CheckCapacity(const WEQ_UC* fn, uint32_t capacity);

  // What each cache does under its mutex for the shared operations below:
  // free its tables (capacity 0 afterwards), and Init.
  virtual void FreeTablesLocked() = 0;
  virtual NI_RC InitLocked(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                           uint32_t unknownAddrTime) = 0;
  // SetIndexSize of every cache: all entries are lost; the times stay.
  NI_RC Resize(const WEQ_UC* fn, uint32_t capacity);
  // Flush's common part, under the mutex: every status (the first byte of
  // each entry) becomes free, a new generation starts, the flush time is
  // now, and the trace line text ("%s" the name) is written.
  void FlushTable(void* table, size_t entrySize, const WEQ_UC* fn, const WEQ_UC* text);
  // The slot to store an answer in: the remembered one while the table's
  // generation is still gen, else the next slot of the ring (overflowText,
  // "%s" the name, is traced when the ring starts again at 0).
  struct Ring {
    uint32_t next = 0;
    bool wrapped = false;  // the ring has started again at 0 since the table was emptied
  };
  uint32_t StoreSlot(Ring* ring, int64_t remembered, uint32_t gen, CTRC_HDL trc, const WEQ_UC* fn,
                     const WEQ_UC* overflowText);
  // A copy of entry i under the mutex; false outside the table.
  template <class E>
  bool PeekLocked(const E* table, uint32_t i, E* out) {
    NiIMtxHold hold(&mtx_);
    if (i >= capacity_) return false;
    *out = table[i];
    return true;
  }
  // DumpBufLine's end: the entry at the cursor as one line in the format
  // asked for, then the cursor moves on.
  NI_RC DumpEntry(const WEQ_UC* fn, WEQ_UC* buffer, int bufferLen, int* pDone, int format,
                  const WEQ_UC* tableFormat, U16FmtArgs tableArgs, const WEQ_UC* tabFormat,
                  U16FmtArgs tabArgs);

  // Dump helpers: formats one line; NIETOO_SMALL when it does not fit.
  NI_RC DumpPut(const WEQ_UC* fn, WEQ_UC* buffer, int bufferLen, uint32_t slot, const WEQ_UC* format,
                U16FmtArgs args);

  ThrMtx mtx_;
  std::atomic<NI_HS_TIME_FUNC> timeFunc_{nullptr};
  int64_t lastFlush_ = 0;
  uint32_t capacity_ = 0;
  std::atomic<uint32_t> traceLimit_{0};
  uint32_t validTime_ = 0;
  uint32_t unknownNameTime_ = 0;
  uint32_t unknownAddrTime_ = 0;
  uint32_t cursor_ = 0;      // dump cursor
  uint32_t generation_ = 0;  // changed whenever the table is emptied or replaced
};

class NIHIMPL : public NIHSIMPL {
 public:
  virtual NI_RC Init(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                     uint32_t unknownAddrTime) = 0;
  virtual NI_RC GetNodeAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr, int mode, int protocol,
                            CTRC_HDL trc) = 0;
  virtual NI_RC GetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int bufferLen, uint8_t fq,
                            int mode, CTRC_HDL trc) = 0;
  virtual NI_RC SetHostInvalid(const WEQ_UC* pHostName, CTRC_HDL trc) = 0;
  virtual NI_RC SetHostEntry(const WEQ_UC* pHostName, const WEQ_UC* pAddrText, int type,
                             int64_t timestamp) = 0;

 protected:
  using NIHSIMPL::NIHSIMPL;
};

// Copies a found name into a caller buffer longer than it; otherwise
// NIETOO_SMALL with error information and a trace line.
NI_RC NiICopyName(const WEQ_UC* module, int line, const WEQ_UC* fn, const WEQ_UC* name, WEQ_UC* buffer,
                  int bufferLen, CTRC_HDL trc);

// A service record as the system's look-ups describe one.
struct NI_SERVENT {
  const WEQ_UC* name;
  const WEQ_UC* const* aliases;  // NULL-terminated
  uint16_t port;                 // network order
  const WEQ_UC* proto;
};

class NISIMPL : public NIHSIMPL {
 public:
  virtual NI_RC Init(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                     uint32_t unknownPortTime) = 0;
  virtual NI_RC GetServNo(const WEQ_UC* pServName, uint16_t* pServNo, int mode, CTRC_HDL trc) = 0;
  virtual NI_RC GetServName(uint16_t servNo, WEQ_UC* pServName, int bufferLen, int mode, CTRC_HDL trc) = 0;
  virtual void TraceServEntry(const NI_SERVENT* entry, int level);

 protected:
  using NIHSIMPL::NIHSIMPL;
};

// --- Service cache: a ring of slots ---------------------------------------------

#define NI_SERV_NAME_UNITS 20

class NISIMPL_LINEAR : public NISIMPL {
 public:
  NISIMPL_LINEAR();
  ~NISIMPL_LINEAR() override;
  NI_RC SetIndexSize(uint32_t capacity) override;
  NI_RC Flush() override;
  NI_RC DumpBufLine(WEQ_UC* buffer, int bufferLen, int* pDone, int format) override;
  NI_RC Init(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
             uint32_t unknownPortTime) override;
  NI_RC GetServNo(const WEQ_UC* pServName, uint16_t* pServNo, int mode, CTRC_HDL trc) override;
  NI_RC GetServName(uint16_t servNo, WEQ_UC* pServName, int bufferLen, int mode, CTRC_HDL trc) override;

  struct Entry {
    uint8_t status;
    WEQ_UC name[NI_SERV_NAME_UNITS];
    uint16_t port;   // network order
    int64_t expiry;  // seconds since 1970
  };
  // Tests: a copy of slot i; false outside the table.
  bool PeekEntry(uint32_t i, Entry* out) { return PeekLocked(table_, i, out); }
  uint32_t NextSlot();

 private:
  void FreeTablesLocked() override;
  NI_RC InitLocked(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                   uint32_t unknownPortTime) override;
  uint32_t Store(int64_t remembered, uint32_t gen, CTRC_HDL trc);

  Entry* table_ = nullptr;
  Ring ring_;
};

// --- IPv4 host cache: a ring of slots ----------------------------------------------

#define NI_HOST_NAME_UNITS 60

class NIHIMPL_LINEAR : public NIHIMPL {
 public:
  NIHIMPL_LINEAR();
  ~NIHIMPL_LINEAR() override;
  NI_RC SetIndexSize(uint32_t capacity) override;
  NI_RC Flush() override;
  NI_RC DumpBufLine(WEQ_UC* buffer, int bufferLen, int* pDone, int format) override;
  NI_RC Init(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
             uint32_t unknownAddrTime) override;
  NI_RC GetNodeAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr, int mode, int protocol,
                    CTRC_HDL trc) override;
  NI_RC GetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int bufferLen, uint8_t fq, int mode,
                    CTRC_HDL trc) override;
  NI_RC SetHostInvalid(const WEQ_UC* pHostName, CTRC_HDL trc) override;
  NI_RC SetHostEntry(const WEQ_UC* pHostName, const WEQ_UC* pAddrText, int type, int64_t timestamp) override;

  struct Entry {
    uint8_t status;
    WEQ_UC name[NI_HOST_NAME_UNITS];
    uint32_t ipv4;  // network order
    int64_t stamp;  // seconds since 1970 when stored
  };
  bool PeekEntry(uint32_t i, Entry* out) { return PeekLocked(table_, i, out); }
  uint32_t NextSlot();

 private:
  void FreeTablesLocked() override;
  NI_RC InitLocked(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                   uint32_t unknownAddrTime) override;
  bool Trusted(const Entry& e, int64_t now) const;
  uint32_t Store(int64_t remembered, uint32_t gen, CTRC_HDL trc);
  // The first entry from slot 0 that match accepts, or capacity; once the
  // ring has wrapped a freed slot is passed over instead of ending the scan.
  template <class M>
  uint32_t Scan(M match) const;
  [[gnu::noinline]] NI_RC ResolveName(const WEQ_UC* pHostName, size_t len, NI_NODEADDR* pNodeAddr,
                                      bool cached, int64_t remembered, uint32_t gen, CTRC_HDL trc);

  Entry* table_ = nullptr;
  Ring ring_;
};

// SetHostEntry's checks, shared by both host caches: 0 or NIEINVAL (traced);
// *pAddr receives the address text's address.
NI_RC NiIHostEntryCheck(const WEQ_UC* fn, const WEQ_UC* pHostName, const WEQ_UC* pAddrText, int type,
                        NI_NODEADDR* pAddr);
// Whether an entry's name (a field of NI_HOST_NAME_UNITS) is name, whose
// length len is below NI_HOST_NAME_UNITS: one compare over the name and its
// terminator.
inline bool NiISameName(const WEQ_UC* entryName, const WEQ_UC* name, size_t len) {
  return memcmp(entryName, name, (len + 1) * sizeof(WEQ_UC)) == 0;
}

// Whether a host name of len units is short enough to be cached; a longer
// one is traced at level 1.
void NiIHostNameTooLong(const WEQ_UC* fn, const WEQ_UC* pHostName, size_t len, CTRC_HDL trc);
inline bool NiIHostNameFits(const WEQ_UC* fn, const WEQ_UC* pHostName, size_t len, CTRC_HDL trc) {
  if (len < NI_HOST_NAME_UNITS) return true;
  NiIHostNameTooLong(fn, pHostName, len, trc);
  return false;
}
// "STAT_VALID_NAME" ... for an entry type.
const WEQ_UC* NiIHostStatName(int type);

// --- IPv4/IPv6 host cache: packed entries and the address policy -------------------

#define NI_POLICY_RULES 20
#define NI_POLICY_RULE_UNITS 55
#define NI_POLICY_VALUE_UNITS 1024
#define NI_HL6_MAX_ADDRS 48

struct NI_POLICY_RULE {
  int32_t prefixLen;  // 0..128; -1 marks an empty rule
  NI_NODEADDR addr;
  NI_NODEADDR mask;
  int32_t precedence;  // 0..1000, larger preferred
};

// Where the policy text comes from when a cache is sized: NI_ADDR_POLICY of
// the environment (getenv) unless a test puts another source in (NULL
// restores it). The source's answer (UTF-8, NULL for none) is read at once.
typedef const char* (*NI_POLICY_SOURCE_FUNC)(void);
void NiISetPolicySource(NI_POLICY_SOURCE_FUNC fn);

class NIHIMPL_LINEAR6 : public NIHIMPL {
 public:
  NIHIMPL_LINEAR6();
  ~NIHIMPL_LINEAR6() override;
  NI_RC SetIndexSize(uint32_t capacity) override;
  NI_RC Flush() override;
  NI_RC DumpBufLine(WEQ_UC* buffer, int bufferLen, int* pDone, int format) override;
  NI_RC Init(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
             uint32_t unknownAddrTime) override;
  NI_RC GetNodeAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr, int mode, int protocol,
                    CTRC_HDL trc) override;
  NI_RC GetHostName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int bufferLen, uint8_t fq, int mode,
                    CTRC_HDL trc) override;
  NI_RC SetHostInvalid(const WEQ_UC* pHostName, CTRC_HDL trc) override;
  NI_RC SetHostEntry(const WEQ_UC* pHostName, const WEQ_UC* pAddrText, int type, int64_t timestamp) override;

  // Cache-only look-ups: 0, NIEHOST_UNKNOWN (cached as unknown) or
  // NI_HS_NOT_CACHED.
  NI_RC NiHL6CacheLookupNameToAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr, CTRC_HDL trc);
  NI_RC NiHL6CacheLookupAddrToName(const NI_NODEADDR* pNodeAddr, WEQ_UC* pHostName, int size, CTRC_HDL trc);
  void NiHL6CacheAddName(const WEQ_UC* pHostName, const NI_NODEADDR* pNodeAddr, int type);
  void NiHL6AddAddress(const NI_NODEADDR* pNodeAddr, const WEQ_UC* pHostName, int type);
  // Frees expired entries and packs the rest into slots 0..last; under the
  // caller's hold of the mutex.
  void NiHL6Compact();

  // The policy (read at Init from NI_ADDR_POLICY).
  NI_RC NiHL6InitPolicy();
  NI_RC NiHL6addPolicyRule(const WEQ_UC* pRule);
  NI_RC NiHL6OSLookupNameToAddr(const WEQ_UC* pHostName, NI_NODEADDR* pNodeAddr, int protocol, CTRC_HDL trc);

  struct Entry {
    uint8_t status;
    WEQ_UC name[NI_HOST_NAME_UNITS];
    NI_NODEADDR addr;
    int64_t stamp;
  };
  bool PeekEntry(uint32_t i, Entry* out) { return PeekLocked(table_, i, out); }
  uint32_t LastIndex();
  // A copy of the rules in force; returns their count.
  int CopyPolicy(NI_POLICY_RULE* rules);

 private:
  void FreeTablesLocked() override;
  NI_RC InitLocked(uint32_t capacity, uint32_t validTime, uint32_t unknownNameTime,
                   uint32_t unknownAddrTime) override;
  bool Expired(const Entry& e, int64_t now) const;
  // The first live entry in slots 0..last that match accepts (expired
  // entries met are freed), or capacity; under the mutex.
  template <class M>
  uint32_t ScanLive(M match);
  void AddLocked(const NI_NODEADDR* pNodeAddr, const WEQ_UC* pHostName, int type);

  NI_POLICY_RULE* policy_ = nullptr;
  Entry* table_ = nullptr;
  uint32_t last_ = 0;
  int32_t ruleCount_ = 0;
};

// --- Front end -------------------------------------------------------------------------

NI_RC NiIHSBufInit(uint32_t capacity, uint32_t hostValid, uint32_t hostUnknownName, uint32_t hostUnknownAddr,
                   uint32_t servValid, uint32_t servUnknownName, uint32_t servUnknownPort);
void NiIHSBufExit(void);

NI_RC NiISetHSBufIndexSize(uint32_t capacity);
NI_RC NiISetHBufTimeout(int32_t seconds, uint32_t flags);
NI_RC NiHsetHostBufTimeout(NIHIMPL* cache, int32_t seconds, uint32_t flags);
NI_RC NiISetHostInvalid(const WEQ_UC* pHostName, CTRC_HDL trc);
NI_RC NiISetHSBufTraceLimit(uint32_t ms);
NI_RC NiISetHSBufTimeFunc(NI_HS_TIME_FUNC fn);
NI_RC NiIHSBufFlush(void);
// Both caches as a table into buffer (*pBufferLen units in, units used
// out); *pDone = 1 only when both fitted whole.
NI_RC NiHBufPrintBuf(WEQ_UC* pBuffer, int* pBufferLen, int* pDone);

// The caches (NULL while they do not exist), for tests.
NIHIMPL* NiIHostCache(void);
NISIMPL* NiIServCache(void);

// The seconds clock of the caches (time(NULL) by default); tests put a fake
// in (NULL restores it).
typedef int64_t (*NI_HS_SECONDS_FUNC)(void);
void NiISetHSSecondsClock(NI_HS_SECONDS_FUNC fn);
int64_t NiIHSNow(void);

#endif
