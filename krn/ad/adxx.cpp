// AD blocks: header, decimal fields, the converter registry, names, the
// self-identification record, and the block writer and reader.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include "flat/weqparam.h"
#include "i18n/wequ16/blankfld.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ad/ad.h"
#include "krn/ad/ad_int.h"
#include "krn/dptrc/dptrc.h"

namespace {

// --- Decimal fields --------------------------------------------------------

template <class C>
int IntToField(int32_t value, C* field, int width) {
  if (field == nullptr || width < 1) return -1;
  for (int i = 0; i < width; ++i) field[i] = C(' ');
  if (value == INT32_MIN) {
    field[0] = C('*');
    return -1;
  }
  uint32_t magnitude = value < 0 ? static_cast<uint32_t>(-value) : static_cast<uint32_t>(value);
  int pos = width;
  do {
    if (pos == 0) {
      field[0] = C('*');
      return -1;
    }
    field[--pos] = C('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    if (pos == 0) {
      field[0] = C('*');
      return -1;
    }
    field[--pos] = C('-');
  }
  return 0;
}

template <class C>
int32_t FieldToInt(const C* field, int width) {
  if (field == nullptr) return -1;
  int i = 0;
  while (i < width && field[i] == C(' ')) ++i;
  bool negative = i < width && field[i] == C('-');
  if (negative) ++i;
  if (i >= width || field[i] < C('0') || field[i] > C('9')) return -1;
  // 64 bits hold any 32-bit magnitude and one more digit; beyond that the
  // value is out of range anyway.
  int64_t v = 0;
  for (; i < width && field[i] >= C('0') && field[i] <= C('9'); ++i) {
    v = v * 10 + (field[i] - C('0'));
    if (v > int64_t{INT32_MAX} + 1) return -1;
  }
  if (negative) v = -v;
  return v < INT32_MIN || v > INT32_MAX ? -1 : static_cast<int32_t>(v);
}

// --- Names -------------------------------------------------------------------

struct AdNameRow {
  int32_t value;
  const WEQ_UC* name;
};

constexpr AdNameRow kOpcodeNames[] = {
    {AD_GENERAL, u"AD_GENERAL"},
    {AD_PROFILE, u"AD_PROFILE"},
    {AD_WPSTAT, u"AD_WPSTAT"},
    {AD_QUEUE, u"AD_QUEUE"},
    {AD_STARTSTOP, u"AD_STARTSTOP"},
    {AD_WPCONF, u"AD_WPCONF"},
    {AD_USRLST, u"AD_USRLST"},
    {AD_WPKILL, u"AD_WPKILL"},
    {AD_TIMEINFO, u"AD_TIMEINFO"},
    {AD_TM_RECONNECT, u"AD_TM_RECONNECT"},
    {AD_ALRT_GET_STATE, u"AD_ALRT_GET_STATE"},
    {AD_ALRT_OPERATION, u"AD_ALRT_OPERATION"},
    {AD_ALRT_SET_PARAM, u"AD_ALRT_SET_PARAM"},
    {AD_DB_RECONNECT, u"AD_DB_RECONNECT"},
    {AD_ECHO, u"AD_ECHO"},
    {AD_MSGSERVER, u"AD_MSGSERVER"},
    {AD_WPCONF2, u"AD_WPCONF2"},
    {AD_GENERAL2, u"AD_GENERAL2"},
    {AD_SET_LIST_PARAM, u"AD_SET_LIST_PARAM"},
    {AD_DUMP_STATUS, u"AD_DUMP_STATUS"},
    {AD_RZL, u"AD_RZL"},
    {AD_RZL_STRG, u"AD_RZL_STRG"},
    {AD_COUNT_WPS, u"AD_COUNT_WPS"},
    {AD_QUEUE2, u"AD_QUEUE2"},
    {AD_EM, u"AD_EM"},
    {AD_ES, u"AD_ES"},
    {AD_SHUTDOWN_STATE, u"AD_SHUTDOWN_STATE"},
    {AD_SHUTDOWN_INFO, u"AD_SHUTDOWN_INFO"},
    {AD_SHUTDOWN_ERROR, u"AD_SHUTDOWN_ERROR"},
    {AD_DISPLACE, u"AD_DISPLACE"},
    {AD_GET_TIMETAB, u"AD_GET_TIMETAB"},
    {AD_SET_TIMETAB, u"AD_SET_TIMETAB"},
    {AD_MSBUF, u"AD_MSBUF"},
    {AD_ARFC_NOREQ, u"AD_ARFC_NOREQ"},
    {AD_ENQID_INFO, u"AD_ENQID_INFO"},
    {AD_DEL_USER, u"AD_DEL_USER"},
    {AD_SPO_ADM, u"AD_SPO_ADM"},
    {AD_NTAB_SYNC, u"AD_NTAB_SYNC"},
    {AD_SHARED_PARAMETER, u"AD_SHARED_PARAMETER"},
    {AD_RESET_TRACE, u"AD_RESET_TRACE"},
    {AD_RESET_USR02, u"AD_RESET_USR02"},
    {AD_WALL_CREATE, u"AD_WALL_CREATE"},
    {AD_WALL_DELETE, u"AD_WALL_DELETE"},
    {AD_WALL_MODIFY, u"AD_WALL_MODIFY"},
    {AD_SERVER_STATE, u"AD_SERVER_STATE"},
    {AD_SELFIDENT, u"AD_SELFIDENT"},
    {AD_DP_TRACE_CHANGE, u"AD_DP_TRACE_CHANGE"},
    {AD_DP_DUMP_NIHDL, u"AD_DP_DUMP_NIHDL"},
    {AD_DP_CALL_DELAYED, u"AD_DP_CALL_DELAYED"},
    {AD_GW_ADM, u"AD_GW_ADM"},
    {AD_DP_WAKEUP_MODE, u"AD_DP_WAKEUP_MODE"},
    {AD_SYSTEM_EVENT, u"AD_SYSTEM_EVENT"},
    {AD_SHARED_PARAM_ALL_WPS, u"AD_SHARED_PARAM_ALL_WPS"},
    {AD_SECSESSION_UPDATE, u"AD_SECSESSION_UPDATE"},
    {AD_SECSESSION_TERMINATE, u"AD_SECSESSION_TERMINATE"},
};
constexpr int kOpcodeCount = sizeof(kOpcodeNames) / sizeof(kOpcodeNames[0]);
static_assert(kOpcodeCount == 55, "55 named opcodes");

constexpr int32_t MaxOpcode() {
  int32_t m = 0;
  for (const AdNameRow& row : kOpcodeNames) m = row.value > m ? row.value : m;
  return m;
}

constexpr AdNameRow kErrNames[] = {
    {ADCALLBACKNOTDEFINED, u"ADCALLBACKNOTDEFINED"},
    {AD_OK, u"WEQ_O_K"},
    {ADEINVAL, u"ADEINVAL"},
    {ADEBLKTOOLARGE, u"ADEBLKTOOLARGE"},
    {ADEHEAD_DESTROYED, u"ADEHEAD_DESTROYED"},
    {ADEHEAPOVERFLOW, u"ADEHEAPOVERFLOW"},
    {ADACCESSDENIED, u"ADACCESSDENIED"},
};

// The reverse opcode index: MaxOpcode() + 2 entries, each the row of its
// opcode in kOpcodeNames or -1. Built once; NULL for good when its
// allocation failed.
std::once_flag gIndexOnce;
int* gIndex = nullptr;

void BuildIndex() {
  constexpr int32_t kEntries = MaxOpcode() + 2;
  int* index = static_cast<int*>(malloc(sizeof(int) * kEntries));
  if (index == nullptr) return;
  for (int32_t i = 0; i < kEntries; ++i) index[i] = -1;
  for (int row = 0; row < kOpcodeCount; ++row) index[kOpcodeNames[row].value] = row;
  gIndex = index;
}

thread_local WEQ_UC tOpcodeText[32];

// --- Registry ---------------------------------------------------------------

// One entry per opcode byte. Entries are written by the one-time
// registration and by AdRegisterCvtFunctions; the converters are atomics so
// that a conversion on one thread may meet a registration on another.
struct AdCvtEntry {
  std::atomic<int> opcode{-1};
  std::atomic<AD_CVT_FUNC> toExt{nullptr};
  std::atomic<AD_CVT_FUNC> toInt{nullptr};
};
AdCvtEntry gRegistry[256];

std::once_flag gRegisterOnce;

void FirstConversion() {
  std::call_once(gRegisterOnce, [] {
    Utf8ToUcsBlankPadInit();
    UcsToUtf8BlankPadInit();
    AdIRegisterAllCvt();
  });
}

int CallRegistered(const WEQ_UC* caller, int opcode, void* src, void* dst, bool toExt) {
  AD_TRC_DETAIL(u"%s: opcode %d\n", caller, opcode);
  AD_CVT_FUNC fn = nullptr;
  if (opcode >= 0 && opcode < 256) {
    const AdCvtEntry& e = gRegistry[opcode];
    fn = (toExt ? e.toExt : e.toInt).load(std::memory_order_acquire);
    if (e.opcode.load(std::memory_order_acquire) != opcode) fn = nullptr;
  }
  if (fn == nullptr) {
    AD_TRC_DETAIL(u"%s: opcode %d exit rc=ADEINVAL\n", caller, opcode);
    return ADEINVAL;
  }
  AD_TRC_DETAIL(u"%s: opcode %d call %p\n", caller, opcode, fn);
  fn(src, dst);
  AD_TRC_DETAIL(u"%s: opcode %d exit rc=WEQ_O_K\n", caller, opcode);
  return AD_OK;
}

// --- Trace level -----------------------------------------------------------

std::once_flag gTraceOnce;
std::atomic<int> gTraceLevel{0};

// --- Writer and reader state (unguarded: see ad.h) ---------------------------

std::once_flag gScratchOnce;
WEQ_RAW* gScratch = nullptr;
int gErrnoAtAlloc = 0;
int32_t gWriteCount = 0;
int32_t gWriteFree = 0;

struct ReadPosition {
  const WEQ_RAW* block = nullptr;
  int32_t count = 0;
  int32_t next = 0;
  AD_REC_EXT ext{};
  AD_REC rec{};
};
ReadPosition gRead;

AD_HEADER* Head() { return reinterpret_cast<AD_HEADER*>(gScratch); }

void StartBlock() {
  AdIInitHead(Head());
  gWriteCount = 0;
  // The area less the header and two records.
  gWriteFree = AD_SCRATCH_LEN - AD_HEADER_LEN - 2 * AD_REC_LEN;
}

// Appends rec in external form; the caller has checked the room.
void Append(AD_REC* rec) {
  AD_REC_EXT ext;
  memset(&ext, 0, 4);
  memset(ext.body, ' ', sizeof ext.body);
  AdCvtRecToExt(rec, &ext);
  memcpy(gScratch + AD_HEADER_LEN + gWriteCount * AD_REC_LEN, &ext, AD_REC_LEN);
  ++gWriteCount;
  AdIIntToField(gWriteCount, Head()->rec_no, sizeof Head()->rec_no);
  gWriteFree -= AD_REC_LEN;
}

// The external record at index of the kept block, converted into the
// reader's internal record.
void ConvertAt(int32_t index) {
  memcpy(&gRead.ext, gRead.block + AD_HEADER_LEN + static_cast<size_t>(index) * AD_REC_LEN,
         AD_REC_LEN);
  AdCvtRecToInt(&gRead.ext, &gRead.rec);
}

// Checks a block at the first call; -3 with its error line when it fails.
int CheckBlock(const WEQ_RAW* block, int32_t blockLen) {
  if (block == nullptr || blockLen < AD_HEADER_LEN) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdReadRec: block too short (%d)", block == nullptr ? -1 : blockLen);
    return ADEHEAD_DESTROYED;
  }
  AD_HEADER head;
  memcpy(&head, block, sizeof head);
  if (memcmp(head.eyecatcher, AD_EYECATCHER, sizeof head.eyecatcher) != 0) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdReadRec: header destroyed");
    return ADEHEAD_DESTROYED;
  }
  if (head.version > AD_VERSION) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdReadRec: %d wrong version (%d expected)", head.version,
                AD_VERSION);
    return ADEHEAD_DESTROYED;
  }
  int32_t recSize = AdIFieldToInt(head.rec_size, sizeof head.rec_size);
  if (recSize != AD_REC_LEN) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdReadRec: %d wrong recsize (%d expected)", recSize, AD_REC_LEN);
    return ADEHEAD_DESTROYED;
  }
  // The count is checked against what the block can hold before it is
  // multiplied, so that no count wraps to a matching length.
  int32_t recNo = AdIFieldToInt(head.rec_no, sizeof head.rec_no);
  if (recNo < 0 || recNo > (blockLen - AD_HEADER_LEN) / AD_REC_LEN ||
      AD_HEADER_LEN + recNo * AD_REC_LEN != blockLen) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdReadRec: len %d, header %lld", blockLen,
                static_cast<long long>(recNo) * AD_REC_LEN);
    return ADEHEAD_DESTROYED;
  }
  gRead.block = block;
  gRead.count = recNo;
  gRead.next = 0;
  return AD_OK;
}

}  // namespace

// --- Decimal fields and header --------------------------------------------------

int AdIIntToField(int32_t value, char* field, int width) { return IntToField(value, field, width); }
int AdIIntToUcsField(int32_t value, WEQ_UC* field, int width) {
  return IntToField(value, field, width);
}
int32_t AdIFieldToInt(const char* field, int width) { return FieldToInt(field, width); }
int32_t AdIUcsFieldToInt(const WEQ_UC* field, int width) { return FieldToInt(field, width); }

void AdIInitHead(AD_HEADER* head) {
  memset(head->eyecatcher, 0, sizeof head->eyecatcher);
  memcpy(head->eyecatcher, AD_EYECATCHER, sizeof AD_EYECATCHER - 1);
  head->version = AD_VERSION;
  head->type = AD_REQUEST;
  AdIIntToField(AD_REC_LEN, head->rec_size, sizeof head->rec_size);
  AdIIntToField(0, head->rec_no, sizeof head->rec_no);
}

// --- Trace level ---------------------------------------------------------------

int AdITraceLevel(void) {
  std::call_once(gTraceOnce, [] {
    const WEQ_UC* value = weqparamGet(u"ad/TRACE");
    gTraceLevel.store(value != nullptr ? strtolU(value, nullptr, 10) : 0, std::memory_order_relaxed);
  });
  return gTraceLevel.load(std::memory_order_relaxed);
}

// --- Names ------------------------------------------------------------------------

const WEQ_UC* AdOpcodeName(int opcode) {
  std::call_once(gIndexOnce, BuildIndex);
  if (gIndex != nullptr && opcode >= 0 && opcode <= MaxOpcode() && gIndex[opcode] >= 0)
    return kOpcodeNames[gIndex[opcode]].name;
  snprintfTruncU16(tOpcodeText, 32, u"AD_OPCODE_%d", opcode);
  return tOpcodeText;
}

WEQ_UC* AdErrName(int32_t code, WEQ_UC* buffer) {
  if (buffer == nullptr) return nullptr;
  for (const AdNameRow& row : kErrNames)
    if (row.value == code) {
      snprintfTruncU16(buffer, 32, u"%s", row.name);
      return buffer;
    }
  snprintfTruncU16(buffer, 32, u"%d", code);
  return buffer;
}

// --- Registry and record conversion ------------------------------------------------

int AdRegisterCvtFunctions(int opcode, AD_CVT_FUNC toExt, AD_CVT_FUNC toInt) {
  if (opcode < 0 || opcode > 255) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdRegisterCvtFunctions: opcode %d out of range", opcode);
    return ADEINVAL;
  }
  AD_TRC(u"%s( %d(%s), %p%s,%p%s)\n", u"AdRegisterCvtFunctions", opcode, AdOpcodeName(opcode),
         toExt, toExt == AdCvtNone ? u"(AdCvtNone)" : u"", toInt,
         toInt == AdCvtNone ? u"(AdCvtNone)" : u"");
  AdCvtEntry& e = gRegistry[opcode];
  e.toExt.store(toExt, std::memory_order_release);
  e.toInt.store(toInt, std::memory_order_release);
  e.opcode.store(opcode, std::memory_order_release);
  return AD_OK;
}

int AdCallRegisteredCvtToExt(int opcode, void* intBody, void* extBody) {
  return CallRegistered(u"AdCallRegisteredCvtToExt", opcode, intBody, extBody, true);
}

int AdCallRegisteredCvtToInt(int opcode, void* extBody, void* intBody) {
  return CallRegistered(u"AdCallRegisteredCvtToInt", opcode, extBody, intBody, false);
}

void AdCvtRecToExt(AD_REC* intRec, AD_REC_EXT* extRec) {
  if (intRec == nullptr || extRec == nullptr) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdCvtRecToExt: record NULL");
    return;
  }
  AD_TRC(u"%s: opcode %d (%s), ser %d, ex %d, errno %d\n", u"AdCvtRecToExt", intRec->opcode,
         AdOpcodeName(intRec->opcode), intRec->serial, intRec->executed, intRec->errnum);
  FirstConversion();
  memcpy(extRec, intRec, 4);
  if (AdCallRegisteredCvtToExt(intRec->opcode, intRec->body, extRec->body) != AD_OK)
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: unknown opcode %d (%s), ser %d, ex %d, errno %d\n",
                u"AdCvtRecToExt", intRec->opcode, AdOpcodeName(intRec->opcode), intRec->serial,
                intRec->executed, intRec->errnum);
}

void AdCvtRecToInt(const AD_REC_EXT* extRec, AD_REC* intRec) {
  if (intRec == nullptr || extRec == nullptr) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdCvtRecToInt: record NULL");
    return;
  }
  AD_TRC(u"%s: opcode %d (%s), ser %d, ex %d, errno %d\n", u"AdCvtRecToInt", extRec->opcode,
         AdOpcodeName(extRec->opcode), extRec->serial, extRec->executed, extRec->errnum);
  FirstConversion();
  memcpy(intRec, extRec, 4);
  // The converters take a writable source; the external record is only read.
  if (AdCallRegisteredCvtToInt(extRec->opcode, const_cast<uint8_t*>(extRec->body), intRec->body) !=
      AD_OK)
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: unknown opcode %d (%s), ser %d, ex %d, errno %d\n",
                u"AdCvtRecToInt", extRec->opcode, AdOpcodeName(extRec->opcode), extRec->serial,
                extRec->executed, extRec->errnum);
}

// --- Records ----------------------------------------------------------------------

void AdInitRec(AD_REC* record) {
  if (record == nullptr) return;
  record->opcode = record->serial = record->executed = record->errnum = 0;
  for (WEQ_UC& c : record->body) c = u' ';
}

int AdGetSelfIdentRecord(AD_REC* record) {
  if (record == nullptr) return ADEINVAL;
  AdInitRec(record);
  record->opcode = AD_SELFIDENT;
  // Three fields of 3, 32 and 40 characters and a 0 character: blanks, then
  // 16 blanks and 16 zeros, then 8 blanks and 32 zeros.
  WEQ_UC* text = record->body;
  for (int i = 0; i < 76; ++i) text[i] = 0;
  for (int i = 0; i < 3 + 16; ++i) text[i] = u' ';
  for (int i = 35; i < 35 + 8; ++i) text[i] = u' ';
  AD_TRC(u"%s: >%s<\n", u"AdGetSelfIdentRecord", static_cast<const WEQ_UC*>(text));
  return AD_OK;
}

// --- Writing ------------------------------------------------------------------------

int AdWriteRec(AD_REC* record, int first, WEQ_RAW** block, int32_t* blockLen) {
  std::call_once(gScratchOnce, [] {
    gScratch = static_cast<WEQ_RAW*>(malloc(AD_SCRATCH_LEN));
    gErrnoAtAlloc = errno;
    // A block appended to before any was started is still a valid block.
    if (gScratch != nullptr) StartBlock();
  });
  if (gScratch == nullptr) {
    errno = gErrnoAtAlloc;
    DPTRC_ERRNO(CTrcGlobalHdl, u"AdWriteRec: malloc %d bytes", AD_SCRATCH_LEN);
    return ADEHEAPOVERFLOW;
  }
  bool startedWithoutSelfIdent = false;
  if (first == 1) {
    StartBlock();
    if (record == nullptr) return AD_OK;
    if (block == nullptr || blockLen == nullptr) {
      DPTRC_ERROR(CTrcGlobalHdl, u"AdWriteRec: parameter invalid (block or blockLen NULL)");
      return ADEINVAL;
    }
    if (record->opcode != AD_SELFIDENT && record->opcode != AD_RZL_STRG) {
      AD_REC self;
      AdGetSelfIdentRecord(&self);
      Append(&self);
      *block = gScratch;
      *blockLen = AD_HEADER_LEN + gWriteCount * AD_REC_LEN;
    } else {
      startedWithoutSelfIdent = true;
    }
  } else if (record == nullptr || block == nullptr || blockLen == nullptr) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdWriteRec: parameter invalid (record, block or blockLen NULL)");
    return ADEINVAL;
  }
  if (!startedWithoutSelfIdent && gWriteFree < AD_REC_LEN) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdWriteRec: scratch area too small (%d)", AD_SCRATCH_LEN);
    return ADEBLKTOOLARGE;
  }
  Append(record);
  *block = gScratch;
  *blockLen = AD_HEADER_LEN + gWriteCount * AD_REC_LEN;
  return AD_OK;
}

// --- Reading ------------------------------------------------------------------------

int AdReadRec(const WEQ_RAW* block, int32_t blockLen, uint8_t* state, AD_REC** record) {
  if (state == nullptr || record == nullptr) {
    DPTRC_ERROR(CTrcGlobalHdl, u"AdReadRec: parameter invalid (state or record NULL)");
    return ADEINVAL;
  }
  if (*state == AD_READ_FIRST) {
    int rc = CheckBlock(block, blockLen);
    if (rc != AD_OK) {
      // Nothing of an older block may be read against this one.
      AdIResetReader();
      return rc;
    }
  }
  if (gRead.next >= gRead.count) {
    *state = AD_READ_DONE;
    return AD_OK;
  }
  ConvertAt(gRead.next);
  if (gRead.next == 0 && gRead.rec.opcode == AD_SELFIDENT) {
    gRead.next = 1;
    if (gRead.count < 2) {
      *state = AD_READ_DONE;
      return AD_OK;
    }
    ConvertAt(1);
  }
  ++gRead.next;
  *record = &gRead.rec;
  *state = gRead.next < gRead.count ? AD_READ_MORE : AD_READ_DONE;
  return AD_OK;
}

void AdIResetReader(void) {
  gRead.block = nullptr;
  gRead.count = 0;
  gRead.next = 0;
}
