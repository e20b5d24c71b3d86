// Logon groups: the message server's storage read through administration
// records (one text, all texts in pages, one integer entry), the group and
// server lists in their rings, the members of a group and a server's SNC
// name.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "i18n/wequ16/blankfld.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ad/ad.h"
#include "krn/adtl/adtl.h"
#include "krn/dptrc/err.h"
#include "krn/lg/lg.h"
#include "krn/lg/lg_int.h"
#include "krn/ms/ms.h"
#include "krn/ni/ni.h"

namespace {

constexpr WEQ_RAW kNoKey[MS_KEY_LEN] = {};
constexpr WEQ_UC kEyeCat[] = u"LG_EYECAT";

// One ring of list buffers per reader; a list stays valid until its reader
// has run LG_RING_SIZE more times.
struct LgIRing {
  void* slot[LG_RING_SIZE];
  int index;
};
enum : int { kRingAs, kRingAsLb, kRingCl, kRingClLb, kRings };
LgIRing gRings[kRings];

// The next buffer of a ring for count elements of size bytes, zeroed; the
// buffer that held the slot is freed. NULL when no memory.
void* LgIRingTake(const WEQ_UC* fn, int ring, int32_t count, size_t size) {
  LgIRing& r = gRings[ring];
  if (r.slot[r.index] != nullptr) {
    DPTRC_LINE(2, LgITrc(), u"%s: free some memory (%d)\n", fn, r.index);
    free(r.slot[r.index]);
    r.slot[r.index] = nullptr;
  }
  void* p = calloc(static_cast<size_t>(count), size);
  r.slot[r.index] = p;
  r.index = (r.index + 1) % LG_RING_SIZE;
  return p;
}

void LgINoMemory(const WEQ_UC* fn, size_t bytes) {
  int err = errno;
  LG_ERR_RECORD(LGENOMEM, fn,
                LgISetReason(u"mallocR %d bytes failed (%s)", static_cast<int32_t>(bytes), strerrorU16(err)), 0);
}

const WEQ_UC* LgIAdName(int rc, WEQ_UC* buf) { return AdErrName(rc, buf); }

// Sends a block to the message server and takes its answer: 0, -4 for a
// time-out (or wakeups only), -101 with the message server's code kept.
LG_RC LgIExchange(const WEQ_UC* fn, WEQ_RAW* block, int32_t blockLen, WEQ_RAW** answer, int32_t* answerLen) {
  WEQ_UC name[MS_NAME_LEN];
  int rc = MsSndAdmin(block, blockLen, kNoKey);
  if (rc != 0) {
    LgIKeptMsRc.store(rc);
    DPTRC_ERROR(LgITrc(), u"%s: MsSndAdmin (rc=%s)", fn, MsErrorName(rc, name));
    return LGEMSLAYER;
  }
  rc = MsReceive(answer, answerLen, nullptr, nullptr, nullptr, lg_timeout.load());
  if (rc == MSENOMSG || rc == MSEWAKEUP) {
    DPTRC_ERROR(LgITrc(), u"%s: MsReceive (rc=%s)", fn, MsErrorName(rc, name));
    LG_ERR_RECORD(LGETIMEOUT, fn, nullptr, lg_timeout.load());
    return LGETIMEOUT;
  }
  if (rc != 0) {
    LgIKeptMsRc.store(rc);
    DPTRC_ERROR(LgITrc(), u"%s: MsReceive (rc=%s)", fn, MsErrorName(rc, name));
    return LGEMSLAYER;
  }
  return WEQ_O_K;
}

// The next storage record of an answer that carries errno 0: 1 and the
// record, 0 when the records have run out, -1 when the block is damaged.
int LgINextStorage(const WEQ_UC* fn, const WEQ_RAW* block, int32_t len, uint8_t* state, AD_REC** record) {
  while (*state != AD_READ_DONE) {
    AD_REC* r = nullptr;
    int rc = AdReadRec(block, len, state, &r);
    if (rc != 0) {
      DPTRC_ERROR(LgITrc(), u"%s: AdReadRec failed (%d)", fn, rc);
      return -1;
    }
    if (r == nullptr) return 0;
    if (r->opcode == AD_RZL_STRG && r->errnum == 0) {
      *record = r;
      return 1;
    }
  }
  return 0;
}

// A read of one entry: the key's request and its twin with an EBCDIC key
// in one block. 0 or -1.
LG_RC LgIBuildRead(const WEQ_UC* fn, const WEQ_UC* key, int (*build)(WEQ_UC*, const WEQ_UC*),
                   const WEQ_UC* buildName, WEQ_RAW** block, int32_t* blockLen) {
  WEQ_UC field[ADTL_NAME_CHARS];
  memsetU(field, u' ', ADTL_NAME_CHARS);
  memcpy(field, key, strnlenU16(key, ADTL_NAME_CHARS) * sizeof(WEQ_UC));
  WEQ_UC name[32];
  for (int first = 1; first <= 2; ++first) {
    if (first == 2) A7ToEbcdicInPlace(reinterpret_cast<WEQ_RAW*>(field), ADTL_NAME_CHARS);
    AD_REC rec;
    AdInitRec(&rec);
    rec.opcode = AD_RZL_STRG;
    int rc = build(rec.body, field);
    if (rc != 0) {
      DPTRC_ERROR(LgITrc(), u"%s: %s (rc=%s)", fn, buildName, AdtlStrgErrName(rc, name));
      return LGEINTERN;
    }
    rc = AdWriteRec(&rec, first, block, blockLen);
    if (rc != 0) {
      DPTRC_ERROR(LgITrc(), u"%s: AdWriteRec (rc=%s)", fn, LgIAdName(rc, name));
      return LGEINTERN;
    }
  }
  return WEQ_O_K;
}

// Reads one text reply into a record: 0 or -1.
LG_RC LgITakeText(const WEQ_UC* fn, const AD_REC* r, LG_TEXT_REC* out, bool groupText, int32_t* textLen) {
  const WEQ_UC* key;
  const WEQ_UC* text;
  int keyWidth, keyLen, textWidth, len;
  int rc = AdtlStrgRspGetText(r->body, &key, &keyWidth, &keyLen, &text, &textWidth, &len);
  if (rc != 0) {
    WEQ_UC name[32];
    DPTRC_ERROR(LgITrc(), u"%s: AdtlStrgRspGetText (rc=%s)", fn, AdtlStrgErrName(rc, name));
    return LGEINTERN;
  }
  memset(out, 0, sizeof *out);
  memcpy(out->key, key, static_cast<size_t>(keyLen) * sizeof(WEQ_UC));
  if (groupText) {
    // A favourite's units are bytes: a 0 unit is part of it, so it is
    // measured by its width, not by its first 0.
    memcpy(out->text, text, sizeof out->text);
    len = ADTL_TEXT_CHARS;
  } else {
    memcpy(out->text, text, static_cast<size_t>(len) * sizeof(WEQ_UC));
  }
  if (textLen != nullptr) *textLen = len;
  return WEQ_O_K;
}

void LgITraceText(const WEQ_UC* fn, const LG_TEXT_REC& t, bool groupText, bool all) {
  if (!DPTRC_ON(2)) return;
  WEQ_UC key[ADTL_NAME_CHARS + 1] = {}, text[ADTL_TEXT_CHARS + 1] = {};
  memcpy(key, t.key, sizeof t.key);
  memcpy(text, t.text, sizeof t.text);
  if (!all)
    DPTRC_LINE(2, LgITrc(), u"%s: AdtlStrgRspGetText %s = %s\n", fn, key, groupText ? u"(logon group)" : text);
  else if (groupText)
    DPTRC_LINE(2, LgITrc(), u"%s: AdtlStrgRspGetText %.*s (logon group)\n", fn, ADTL_NAME_CHARS, key);
  else
    DPTRC_LINE(2, LgITrc(), u"%s: AdtlStrgRspGetText %.*s = %s\n", fn, ADTL_NAME_CHARS, key, text);
}

// One page of a read of all texts (start index, or the older request
// without one): the matching entries appended to *records.
LG_RC LgIReadPage(const WEQ_UC* fn, bool paged, uint32_t start, LG_TEXT_REC** records, int32_t* count,
                  bool groupText, int32_t* textLen, int32_t* found) {
  WEQ_UC name[32];
  AD_REC rec;
  AdInitRec(&rec);
  rec.opcode = AD_RZL_STRG;
  int rc = paged ? AdtlStrgBldRqReadallText2(rec.body, start, LG_PAGE) : AdtlStrgBldRqReadallText(rec.body);
  if (rc != 0) {
    if (paged)
      DPTRC_ERROR(LgITrc(), u"%s: AdtlStrgBldRqReadallText2 (rc=%s)", fn, AdtlStrgErrName(rc, name));
    else
      DPTRC_ERROR(LgITrc(), u"%s: AdtlStrgBldRqReadallText (rc=%s)", fn, AdtlStrgErrName(rc, name));
    return LGEINTERN;
  }
  WEQ_RAW* block = nullptr;
  int32_t blockLen = 0;
  rc = AdWriteRec(&rec, 1, &block, &blockLen);
  if (rc != 0) {
    DPTRC_ERROR(LgITrc(), u"%s: AdWriteRec (rc=%s)", fn, LgIAdName(rc, name));
    return LGEINTERN;
  }
  WEQ_RAW* answer = nullptr;
  int32_t answerLen = 0;
  LG_RC lrc = LgIExchange(fn, block, blockLen, &answer, &answerLen);
  if (lrc != WEQ_O_K) return lrc;
  // Count, grow, then read the records again.
  int32_t n = 0;
  uint8_t state = AD_READ_FIRST;
  AD_REC* r = nullptr;
  for (int got; (got = LgINextStorage(fn, answer, answerLen, &state, &r)) != 0; ++n)
    if (got < 0) return LGEINTERN;
  *found = n;
  if (n == 0) return WEQ_O_K;
  void* grown = realloc(*records, static_cast<size_t>(*count + n) * sizeof(LG_TEXT_REC));
  if (grown == nullptr) {
    int err = errno;
    DPTRC_ERROR(LgITrc(), u"%s: reallocR (rc=%s)", fn, strerrorU16(err));
    LG_ERR_RECORD(LGENOMEM, fn,
                  LgISetReason(u"mallocR %d bytes failed (%s)",
                               static_cast<int32_t>(static_cast<size_t>(*count + n) * sizeof(LG_TEXT_REC)),
                               strerrorU16(err)),
                  0);
    return LGENOMEM;
  }
  *records = static_cast<LG_TEXT_REC*>(grown);
  state = AD_READ_FIRST;
  for (int32_t i = 0; i < n; ++i) {
    if (LgINextStorage(fn, answer, answerLen, &state, &r) != 1) return LGEINTERN;
    LG_TEXT_REC* t = &(*records)[*count];
    if (LgITakeText(fn, r, t, groupText, textLen) != WEQ_O_K) return LGEINTERN;
    LgITraceText(fn, *t, groupText, true);
    ++*count;
  }
  return WEQ_O_K;
}

// The group name of a text entry: its key without trailing blanks and 0
// units.
int LgIKeyLen(const LG_TEXT_REC* in) {
  int n = ADTL_NAME_CHARS;
  while (n > 0 && (in->key[n - 1] == u' ' || in->key[n - 1] == 0)) --n;
  return n;
}

// The bytes of a favourite's text.
const uint8_t* Fav(const LG_TEXT_REC* in) { return reinterpret_cast<const uint8_t*>(in->text); }
int32_t Be16(const uint8_t* p) { return static_cast<int16_t>(static_cast<uint16_t>((p[0] << 8) | p[1])); }

// Where a filler finds its values.
enum class LbAt : uint8_t { kNone, kBytes38, kBytes21 };

// The fields that every filler writes; false when the text is too short.
template <class Out>
bool LgIFillCommon(const WEQ_UC* fn, Out* out, const LG_TEXT_REC* in, int32_t textLen, bool v6) {
  if (textLen < 20) {
    DPTRC_ERROR(LgITrc(), u"%s: ttotlen invalid (%d)", fn, textLen);
    return false;
  }
  memset(out, 0, sizeof *out);
  memcpy(out->name, in->key, static_cast<size_t>(LgIKeyLen(in)) * sizeof(WEQ_UC));
  DPTRC_LINE(2, LgITrc(), u"%s: name = >%s<\n", fn, out->name);
  const uint8_t* b = Fav(in);
  NI_NODEADDR a{};
  if (v6) {
    memcpy(a.addr, b + LG_FAV_V6ADDR, 16);
  } else {
    uint32_t v4;
    memcpy(&v4, b + LG_FAV_V4ADDR, 4);
    a = NiIPv4ToAddr(v4);
  }
  NiAddrToStr2(&a, out->addr, LG_ADDR_LEN, 1);
  NiServToStr(static_cast<uint16_t>((b[LG_FAV_PORT] << 8) | b[LG_FAV_PORT + 1]), out->port, LG_PORT_LEN);
  BlankFieldWordToUcs(out->release, in->text + LG_FAV_RELEASE / 2, LG_RELEASE_LEN - 2);
  return true;
}

LG_RC LgIFillClass(const WEQ_UC* fn, LG_CLASS_ENTRY* out, const LG_TEXT_REC* in, int32_t textLen, bool v6,
                   bool withVersion) {
  if (!LgIFillCommon(fn, out, in, textLen, v6)) return LGEINTERN;
  if (withVersion)
    DPTRC_LINE(2, LgITrc(), u"[%d] [%s] [%s] [%s] [%s]\n", static_cast<int32_t>(Fav(in)[LG_FAV_VERSION]), out->name,
               out->addr, out->port, out->release);
  else
    DPTRC_LINE(2, LgITrc(), u"[%s] [%s] [%s] [%s]\n", out->name, out->addr, out->port, out->release);
  return WEQ_O_K;
}

LG_RC LgIFillGroup(const WEQ_UC* fn, LG_GROUP_REC* out, const LG_TEXT_REC* in, int32_t textLen, bool v6, LbAt lb) {
  if (!LgIFillCommon(fn, out, in, textLen, v6)) return LGEINTERN;
  const uint8_t* b = Fav(in);
  if (lb != LbAt::kNone) {
    const uint8_t* v = b + (lb == LbAt::kBytes38 ? LG_FAV_LB12 : LG_FAV_LB4);
    out->groupNo = v[0];
    out->lbType = v[1];
    out->timeout = Be16(v + 2);
    out->logonCount = Be16(v + 4);
    out->logonStart = out->logonCount;
  }
  DPTRC_LINE(2, LgITrc(), u"[%d] [%s] [%s] [%s] [%s] [%d] [%d] [%d] [%d]\n", static_cast<int32_t>(b[LG_FAV_VERSION]),
             out->name, out->addr, out->port, out->release, out->groupNo, out->lbType, out->timeout, out->logonCount);
  return WEQ_O_K;
}

// The group list's element filler by version; NULL for an unknown one.
template <class Out>
using LgIFiller = LG_RC (*)(Out*, const LG_TEXT_REC*, int32_t);

LgIFiller<LG_CLASS_ENTRY> LgIClassFiller(int version) {
  switch (version) {
    case 1:
    case 2:
      return LgIFillList;
    case 3:
      return LgIFillListIpv6;
    case 4:
      return LgIFillLgListLbIpv6_2;
    default:
      return nullptr;
  }
}

LgIFiller<LG_GROUP_REC> LgIGroupFiller(int version) {
  switch (version) {
    case 1:
    case 2:
      return LgIFillListLb;
    case 3:
      return LgIFillListLbIpv6;
    case 4:
      return LgIFillLgListLbIpv6;
    default:
      return nullptr;
  }
}

// Reads the group texts (one group, or all) and fills the next buffer of
// the reader's ring: the shared steps of LgIClList and LgIClListLb.
template <class Out>
LG_RC LgIGroupList(const WEQ_UC* fn, int ring, Out** list, int32_t* count, const WEQ_UC* group, bool lb,
                   LgIFiller<Out> (*fillerOf)(int)) {
  WEQ_UC name[LG_ERR_NAME_LEN];
  LG_TEXT_REC* entries = nullptr;
  int32_t n = 0, textLen = 0;
  LG_RC rc;
  if (group != nullptr) {
    entries = static_cast<LG_TEXT_REC*>(malloc(sizeof(LG_TEXT_REC)));
    if (entries == nullptr) {
      LgINoMemory(fn, sizeof(LG_TEXT_REC));
      return LGENOMEM;
    }
    rc = LgIGetSingleTextAdm(group, entries, true, &textLen);
    n = 1;
    if (rc != WEQ_O_K && rc != LGENOENT) DPTRC_ERROR(LgITrc(), u"%s: LgIGetSingleTextAdm (rc=%s)", fn, LgErrorName(rc, name));
  } else {
    rc = LgIGetAllTextAdm(&entries, &n, true, &textLen);
    if (rc != WEQ_O_K) DPTRC_ERROR(LgITrc(), u"%s: LgIGetAllTextAdm (rc=%s)", fn, LgErrorName(rc, name));
  }
  if (rc == LGENOENT || (rc == WEQ_O_K && n == 0)) {
    free(entries);
    if (!lb) DPTRC_LINE(2, LgITrc(), u"%s: no entries in class list\n", fn);
    *count = 0;
    return WEQ_O_K;
  }
  if (rc != WEQ_O_K) {
    free(entries);
    // The load-balancing list passes the inner code on: a time-out stays
    // -4, and -101 leaves the message server's code that its read kept.
    return lb ? rc : LGEINTERN;
  }
  Out* out = static_cast<Out*>(LgIRingTake(fn, ring, n, sizeof(Out)));
  if (out == nullptr) {
    free(entries);
    LgINoMemory(fn, static_cast<size_t>(n) * sizeof(Out));
    return LGENOMEM;
  }
  *list = out;
  int32_t filled = 0;
  for (int32_t i = 0; i < n; ++i) {
    const LG_TEXT_REC* t = &entries[i];
    if (memcmp(t->text, kEyeCat, 9 * sizeof(WEQ_UC)) != 0 || LgIKeyLen(t) == 0) continue;
    int version = Fav(t)[LG_FAV_VERSION];
    LgIFiller<Out> fill = fillerOf(version);
    if (fill == nullptr) {
      DPTRC_LINE(2, LgITrc(), u"%s: unknown version %d, ignore group %.*s\n", fn, version, LgIKeyLen(t), t->key);
      continue;
    }
    if (fill(&out[filled], t, textLen) != WEQ_O_K) {
      free(entries);
      return LGEINTERN;
    }
    ++filled;
  }
  free(entries);
  *count = filled;
  return WEQ_O_K;
}

// Reads the client list and fills the next buffer of the reader's ring with
// one zeroed element per client.
template <class Out>
LG_RC LgIServerList(const WEQ_UC* fn, int ring, Out** list, int32_t* count, LG_APPSRV_ENTRY* (*entryOf)(Out*)) {
  WEQ_UC name[MS_NAME_LEN];
  MSXXLIST* clients = nullptr;
  int32_t n = 0;
  int rc = MsClientList(&clients, &n, lg_timeout.load(), 1);
  if (rc == MSENOMSG || rc == MSEWAKEUP) {
    DPTRC_ERROR(LgITrc(), u"%s: MsClientList (rc=%s)", fn, MsErrorName(rc, name));
    LG_ERR_RECORD(LGETIMEOUT, fn, nullptr, lg_timeout.load());
    return LGETIMEOUT;
  }
  if (rc != 0) {
    LgIKeptMsRc.store(rc);
    DPTRC_ERROR(LgITrc(), u"%s: MsClientList (rc=%s)", fn, MsErrorName(rc, name));
    return LGEMSLAYER;
  }
  *count = 0;
  if (n == 0) {
    DPTRC_LINE(2, LgITrc(), u"%s: no entries in applserv list\n", fn);
    return WEQ_O_K;
  }
  Out* out = static_cast<Out*>(LgIRingTake(fn, ring, n, sizeof(Out)));
  if (out == nullptr) {
    LgINoMemory(fn, static_cast<size_t>(n) * sizeof(Out));
    DPTRC_ERROR(LgITrc(), u"%s: mallocR %d", fn, static_cast<int32_t>(static_cast<size_t>(n) * sizeof(Out)));
    return LGENOMEM;
  }
  *list = out;
  for (int32_t i = 0; i < n; ++i) LgIFillAsList(entryOf(&out[i]), &clients[i]);
  *count = n;
  return WEQ_O_K;
}

LG_APPSRV_ENTRY* LgIEntryOf(LG_APPSRV_ENTRY* e) { return e; }
LG_APPSRV_ENTRY* LgIRecEntryOf(LG_APPSRV_REC* r) { return &r->entry; }

// A group mask as 32 characters '0' and '1', highest bit first.
void LgIMaskText(uint32_t mask, WEQ_UC text[33]) {
  for (int i = 0; i < 32; ++i) text[i] = (mask >> (31 - i)) & 1 ? u'1' : u'0';
  text[32] = 0;
}

// A timed-out request whose answer comes later would be taken as the next
// request's: the connection goes, and with it the late answer.
void LgIDropAfterTimeout(const WEQ_UC* fn) {
  DPTRC_LINE(2, LgITrc(), u"%s: no answer in time, drop the connection\n", fn);
  LgIDetach(lg_mshost);
}

}  // namespace

// --- Storage -------------------------------------------------------------------------

namespace {

// Asks for one entry and finds its answer record: 0, -1, -4, -11, -101.
LG_RC LgIAskOne(const WEQ_UC* fn, const WEQ_UC* key, int (*build)(WEQ_UC*, const WEQ_UC*), const WEQ_UC* buildName,
                AD_REC** record) {
  WEQ_RAW* block = nullptr;
  int32_t blockLen = 0;
  LG_RC rc = LgIBuildRead(fn, key, build, buildName, &block, &blockLen);
  if (rc != WEQ_O_K) return rc;
  WEQ_RAW* answer = nullptr;
  int32_t answerLen = 0;
  rc = LgIExchange(fn, block, blockLen, &answer, &answerLen);
  if (rc != WEQ_O_K) return rc;
  uint8_t state = AD_READ_FIRST;
  int got = LgINextStorage(fn, answer, answerLen, &state, record);
  if (got < 0) return LGEINTERN;
  return got == 0 ? LGENOENT : WEQ_O_K;
}

}  // namespace

LG_RC LgIGetSingleTextAdm(const WEQ_UC* key, LG_TEXT_REC* record, bool groupText, int32_t* textLen) {
  static constexpr WEQ_UC kFn[] = u"LgIGetSingleTextAdm";
  AD_REC* r = nullptr;
  LG_RC rc = LgIAskOne(kFn, key, AdtlStrgBldRqReadText, u"AdtlStrgBldRqReadText", &r);
  if (rc != WEQ_O_K) return rc;
  rc = LgITakeText(kFn, r, record, groupText, textLen);
  if (rc == WEQ_O_K) LgITraceText(kFn, *record, groupText, false);
  return rc;
}

LG_RC LgIGetAllTextAdm(LG_TEXT_REC** records, int32_t* count, bool groupText, int32_t* textLen) {
  static constexpr WEQ_UC kFn[] = u"LgIGetAllTextAdm";
  *records = nullptr;
  *count = 0;
  LG_TEXT_REC* all = nullptr;
  int32_t n = 0;
  for (int page = 0;; ++page) {
    // A storage that answers every page in full would never end the read.
    if (page == LG_MAX_PAGES) {
      DPTRC_ERROR(LgITrc(), u"%s: more than %d pages of %d entries", kFn, LG_MAX_PAGES, LG_PAGE);
      free(all);
      return LGEINTERN;
    }
    int32_t found = 0;
    LG_RC rc = LgIReadPage(kFn, true, static_cast<uint32_t>(page) * LG_PAGE, &all, &n, groupText, textLen, &found);
    // An empty first page: a message server without reads from an index,
    // asked once more for everything in one block.
    bool whole = rc == WEQ_O_K && found == 0 && page == 0;
    if (whole) rc = LgIReadPage(kFn, false, 0, &all, &n, groupText, textLen, &found);
    if (rc != WEQ_O_K) {
      free(all);
      return rc;
    }
    if (whole || found < LG_PAGE) break;
  }
  *records = all;
  *count = n;
  return WEQ_O_K;
}

LG_RC LgIGetSingleIntgAdm(const WEQ_UC* key, LG_INTG_REC* record) {
  static constexpr WEQ_UC kFn[] = u"LgIGetSingleIntgAdm";
  AD_REC* r = nullptr;
  LG_RC rc = LgIAskOne(kFn, key, AdtlStrgBldRqReadIntg, u"AdtlStrgBldRqReadIntg", &r);
  if (rc != WEQ_O_K) return rc;
  const WEQ_UC* name;
  int width, len;
  int32_t ints[LG_INTEGERS];
  int arc = AdtlStrgRspGetIntg(r->body, &name, &width, &len, ints);
  if (arc != 0) {
    WEQ_UC n[32];
    DPTRC_ERROR(LgITrc(), u"%s: AdtlStrgRspGetIntg (rc=%s)", kFn, AdtlStrgErrName(arc, n));
    return LGEINTERN;
  }
  memset(record, 0, sizeof *record);
  memcpy(record->key, name, static_cast<size_t>(len) * sizeof(WEQ_UC));
  memcpy(record->ints, ints, sizeof ints);
  if (DPTRC_ON(2)) {
    WEQ_UC line[300];
    int at = snprintfTruncU16(line, std::size(line), u"%.*s : ", len, name);
    for (int i = 0; i < LG_INTEGERS && at > 0; ++i)
      at += snprintfTruncU16(line + at, std::size(line) - static_cast<size_t>(at), u" [%d]", ints[i]);
    DPTRC_LINE(2, LgITrc(), u"%s: AdtlStrgRspGetIntg = %s\n", kFn, line);
  }
  return WEQ_O_K;
}

namespace {

// The frame of the two single reads: the arguments, attach, read, detach.
template <class Read>
LG_RC LgIReadOne(const WEQ_UC* fn, const WEQ_UC* readName, const WEQ_UC* mshost, const WEQ_UC* msserv,
                 const WEQ_UC* key, bool noOutput, const WEQ_UC* noOutputReason, Read read) {
  WEQ_UC name[LG_ERR_NAME_LEN];
  if (noOutput || key == nullptr || key[0] == 0) {
    LG_ERR_RECORD(LGEINVAL, fn, noOutput ? noOutputReason : u"key = NULL or key[0] = 0", 0);
    return LGEINVAL;
  }
  LG_RC rc = LgIAttach(mshost, msserv);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(LgITrc(), u"%s: LgIAttach(rc=%s)", fn, LgErrorName(rc, name));
    return rc;
  }
  rc = read();
  LgIDetach(mshost);
  // The inner code goes on as it is: -4 for a time-out, -101 with the
  // message server's code kept by the read, -1, -11.
  if (rc != WEQ_O_K && rc != LGENOENT) DPTRC_ERROR(LgITrc(), u"%s: %s (rc=%s)", fn, readName, LgErrorName(rc, name));
  return rc;
}

}  // namespace

LG_RC LgIGetInteger(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* key, int32_t ints[LG_INTEGERS]) {
  return LgIReadOne(u"LgIGetInteger", u"LgIGetSingleIntgAdm", mshost, msserv, key, ints == nullptr, u"intg = NULL",
                    [&] {
                      LG_INTG_REC rec;
                      LG_RC rc = LgIGetSingleIntgAdm(key, &rec);
                      if (rc == WEQ_O_K) memcpy(ints, rec.ints, sizeof rec.ints);
                      return rc;
                    });
}

LG_RC LgIGetShortText(const WEQ_UC* mshost, const WEQ_UC* msserv, const WEQ_UC* key, WEQ_UC* text,
                      int32_t textLen) {
  return LgIReadOne(u"LgIGetShortText", u"LgIGetSingleAdm", mshost, msserv, key, text == nullptr, u"text = NULL",
                    [&] {
                      LG_TEXT_REC rec;
                      int32_t len = 0;
                      LG_RC rc = LgIGetSingleTextAdm(key, &rec, false, &len);
                      if (rc == WEQ_O_K && textLen > 0) {
                        int32_t n = len < textLen - 1 ? len : textLen - 1;
                        memcpy(text, rec.text, static_cast<size_t>(n) * sizeof(WEQ_UC));
                        text[n] = 0;
                      }
                      return rc;
                    });
}

// --- Group lists -------------------------------------------------------------------------

LG_RC LgIFillList(LG_CLASS_ENTRY* out, const LG_TEXT_REC* in, int32_t textLen) {
  return LgIFillClass(u"LgIFillList", out, in, textLen, false, false);
}
LG_RC LgIFillListIpv6(LG_CLASS_ENTRY* out, const LG_TEXT_REC* in, int32_t textLen) {
  return LgIFillClass(u"LgIFillListIpv6", out, in, textLen, true, false);
}
LG_RC LgIFillLgListLbIpv6_2(LG_CLASS_ENTRY* out, const LG_TEXT_REC* in, int32_t textLen) {
  return LgIFillClass(u"LgIFillLgListLbIpv6_2", out, in, textLen, true, true);
}
LG_RC LgIFillListLb(LG_GROUP_REC* out, const LG_TEXT_REC* in, int32_t textLen) {
  return LgIFillGroup(u"LgIFillListLb", out, in, textLen, false, LbAt::kBytes38);
}
LG_RC LgIFillListLbIpv6(LG_GROUP_REC* out, const LG_TEXT_REC* in, int32_t textLen) {
  return LgIFillGroup(u"LgIFillListLbIpv6", out, in, textLen, true, LbAt::kNone);
}
LG_RC LgIFillLgListLbIpv6(LG_GROUP_REC* out, const LG_TEXT_REC* in, int32_t textLen) {
  return LgIFillGroup(u"LgIFillLgListLbIpv6", out, in, textLen, true, LbAt::kBytes21);
}

LG_RC LgIClList(LG_CLASS_ENTRY** list, int32_t* count, const WEQ_UC* group) {
  return LgIGroupList<LG_CLASS_ENTRY>(u"LgIClList", kRingCl, list, count, group, false, LgIClassFiller);
}

LG_RC LgIClListLb(LG_GROUP_REC** list, int32_t* count, const WEQ_UC* group) {
  return LgIGroupList<LG_GROUP_REC>(u"LgIClListLb", kRingClLb, list, count, group, true, LgIGroupFiller);
}

// --- Server lists ----------------------------------------------------------------------------

void LgIFillAsList(LG_APPSRV_ENTRY* out, const MSXXLIST* in) {
  memset(out, 0, sizeof *out);
  BlankFieldWordToUcs(out->name, in->client, 40);
  BlankFieldWordToUcs(out->host, in->host, 32);
  BlankFieldWordToUcs(out->serv, in->service, 20);
  NiAddrToStr2(&in->hostaddr, out->addr, LG_ADDR_LEN, 1);
  NiServToStr(static_cast<uint16_t>((in->servno[0] << 8) | in->servno[1]), out->port, LG_PORT_LEN);
  MsTypesText(in->msgtypes, out->type);
  if ((in->sysservice[0] | in->sysservice[1] | in->sysservice[2] | in->sysservice[3]) != 0) {
    size_t used = strlenU(out->type);
    MsSysServicesText(in->sysservice, 4, out->type + used, std::size(out->type) - used);
  }
  DPTRC_LINE(2, LgITrc(), u"[%s] [%s] [%s] [%s] [%s] [%s]\n", out->name, out->host, out->addr, out->serv, out->port,
             out->type);
}

LG_RC LgIAsList(LG_APPSRV_ENTRY** list, int32_t* count) {
  return LgIServerList<LG_APPSRV_ENTRY>(u"LgIAsList", kRingAs, list, count, LgIEntryOf);
}

LG_RC LgIAsListLb(LG_APPSRV_REC** list, int32_t* count, bool /*weighted*/) {
  static constexpr WEQ_UC kFn[] = u"LgIAsListLb";
  LG_APPSRV_REC* out = nullptr;
  int32_t n = 0;
  LG_RC rc = LgIServerList<LG_APPSRV_REC>(kFn, kRingAsLb, &out, &n, LgIRecEntryOf);
  if (rc != WEQ_O_K) return rc;
  if (n > 0) *list = out;
  for (int32_t i = 0; i < n; ++i) {
    LG_APPSRV_REC& s = out[i];
    rc = LgIGetInteger(nullptr, nullptr, s.entry.name, s.ints);
    if (rc == LGETIMEOUT) {
      LgIDropAfterTimeout(kFn);
      return LGETIMEOUT;
    }
    if (rc != WEQ_O_K) memset(s.ints, 0, sizeof s.ints);
    if (s.ints[LG_INT_MASK] != 0 && DPTRC_ON(2)) {
      WEQ_UC id[33];
      LgIMaskText(static_cast<uint32_t>(s.ints[LG_INT_MASK]), id);
      DPTRC_LINE(2, LgITrc(), u"%s: %s (id=%s)\n", kFn, s.entry.name, id);
    }
    rc = LgIGetShortText(nullptr, nullptr, s.entry.name, s.shortText, LG_SHORT_TEXT_LEN);
    if (rc == LGETIMEOUT) {
      LgIDropAfterTimeout(kFn);
      return LGETIMEOUT;
    }
    if (rc == LGENOENT) {
      s.shortText[0] = u'0';
      s.shortText[1] = 0;
      s.shortFlag = 0;
    } else if (rc == WEQ_O_K) {
      s.shortFlag = 1;
      DPTRC_LINE(2, LgITrc(), u"%s: %s (%s)\n", kFn, s.entry.name, s.shortText);
    } else {
      // What could not be read is no short text.
      s.shortText[0] = 0;
      s.shortFlag = 0;
    }
  }
  *count = n;
  return WEQ_O_K;
}

// --- Members of a group -----------------------------------------------------------------------

LG_RC LgIGetAppSrv(int index, bool withSnc, bool weighted) {
  static constexpr WEQ_UC kFn[] = u"LgIGetAppSrv";
  LG_GROUP_REC* e = &LgICache()[index];
  e->serverCount = 0;
  free(e->servers);
  e->servers = nullptr;
  LG_APPSRV_REC* all = nullptr;
  int32_t n = 0;
  LG_RC rc = LgIAsListLb(&all, &n, weighted);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(LgITrc(), u"%s: LgIAsListLb (rc=%d)", kFn, rc);
    return rc;
  }
  if (n == 0) {
    LG_ERR_RECORD(LGENOSERVER, kFn, nullptr, 0);
    DPTRC_ERROR(LgITrc(), u"%s: %s", kFn, LgErrorText(LGENOSERVER));
    return LGENOSERVER;
  }
  uint32_t bit = LgIGroupBit(e->groupNo);
  int32_t members = 0;
  for (int32_t i = 0; i < n; ++i)
    if (static_cast<uint32_t>(all[i].ints[LG_INT_MASK]) & bit) ++members;
  if (members == 0) {
    DPTRC_LINE(2, LgITrc(), u"%s: no server assigned to group %s\n", kFn, e->name);
    return WEQ_O_K;
  }
  e->servers = static_cast<LG_APPSRV_REC*>(malloc(static_cast<size_t>(members) * sizeof(LG_APPSRV_REC)));
  if (e->servers == nullptr) {
    LgINoMemory(kFn, static_cast<size_t>(members) * sizeof(LG_APPSRV_REC));
    return LGENOMEM;
  }
  int32_t m = 0;
  for (int32_t i = 0; i < n; ++i) {
    if ((static_cast<uint32_t>(all[i].ints[LG_INT_MASK]) & bit) == 0) continue;
    LG_APPSRV_REC& s = e->servers[m++];
    s = all[i];
    if (DPTRC_ON(2)) {
      WEQ_UC id[33];
      LgIMaskText(static_cast<uint32_t>(s.ints[LG_INT_MASK]), id);
      if (weighted)
        DPTRC_LINE(2, LgITrc(), u"%s: %s qual=%d delta=%d id=%s dia_wp=%d\n", kFn, s.entry.name,
                   s.ints[LG_INT_QUALITY], s.ints[LG_INT_DELTA], id, s.ints[LG_INT_WEIGHT]);
      else
        DPTRC_LINE(2, LgITrc(), u"%s: %s qual=%d delta=%d id=%s\n", kFn, s.entry.name, s.ints[LG_INT_QUALITY],
                   s.ints[LG_INT_DELTA], id);
    }
    s.sncState = LG_SNC_UNASKED;
    s.sncName[0] = 0;
    // A name request that timed out has dropped the connection: the
    // members behind it stay unasked, and the choice asks them on a new
    // one, instead of taking them for servers without a name.
    if (withSnc && lg_attached && MsIsAttached()) {
      const WEQ_UC* snc = nullptr;
      int src = LgIGetSncname(&snc, s.entry.addr, s.entry.port);
      if (src == 0 && snc != nullptr) {
        s.sncState = LG_SNC_KNOWN;
        strncpy_sU16(s.sncName, LG_SNC_NAME_LEN, snc, LG_SNC_NAME_LEN - 1);
      } else {
        s.sncState = LG_SNC_NONE;
      }
      DPTRC_LINE(2, LgITrc(), u"snc=%s\n", s.sncName);
    }
  }
  e->serverCount = members;
  DPTRC_LINE(2, LgITrc(), u"%s: %d app server in group %s\n", kFn, members, e->name);
  return WEQ_O_K;
}

NI_RC LgIHostPort(const WEQ_UC* fn, const WEQ_UC* host, const WEQ_UC* serv, NI_NODEADDR* addr, uint16_t* port) {
  NI_RC rc = NiHostToAddr(host, addr);
  if (rc != WEQ_O_K) {
    DPTRC_ERROR(LgITrc(), u"%s: NiHostToAddr(%s) failed, (rc=%s)", fn, host, NiErrorName(rc));
    return rc;
  }
  rc = NiServToNo(serv, port);
  if (rc != WEQ_O_K) DPTRC_ERROR(LgITrc(), u"%s: NiServToNo(%s) failed, (rc=%s)", fn, serv, NiErrorName(rc));
  return rc;
}

int LgIGetSncname(const WEQ_UC** name, const WEQ_UC* host, const WEQ_UC* serv) {
  static constexpr WEQ_UC kFn[] = u"LgIGetSncname";
  NI_NODEADDR addr;
  uint16_t port = 0;
  if (LgIHostPort(kFn, host, serv, &addr, &port) != WEQ_O_K) return LGENILAYER;
  int rc = MsGetSecurityKeyByNodeAddr(&addr, port, name, 1, lg_timeout.load());
  if (rc == MSENOMSG || rc == MSEWAKEUP) LgIDropAfterTimeout(kFn);
  return rc;
}

void LgIFreeRings(void) {
  for (LgIRing& r : gRings) {
    for (void*& p : r.slot) {
      free(p);
      p = nullptr;
    }
    r.index = 0;
  }
}
