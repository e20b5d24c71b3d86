// Return codes and name tables of the CPI-C layer, the error pattern every
// failure follows, the thread's error text for Java, and the conversion of
// fixed 8-bit fields.
#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/err.h"
#include "krn/rscp/rscpu.h"

namespace {

struct NameRow {
  uint32_t value;
  const WEQ_UC* name;
};

constexpr NameRow kRcNames[] = {
    {0, u"CM_OK"},
    {1, u"CM_ALLOCATE_FAILURE_NO_RETRY"},
    {2, u"CM_ALLOCATE_FAILURE_RETRY"},
    {3, u"CM_CONVERSATION_TYPE_MISMATCH"},
    {6, u"CM_SECURITY_NOT_VALID"},
    {8, u"CM_SYNC_LVL_NOT_SUPPORTED_PGM"},
    {9, u"CM_TPN_NOT_RECOGNIZED"},
    {10, u"CM_TP_NOT_AVAILABLE_NO_RETRY"},
    {11, u"CM_TP_NOT_AVAILABLE_RETRY"},
    {17, u"CM_DEALLOCATED_ABEND"},
    {18, u"CM_DEALLOCATED_NORMAL"},
    {19, u"CM_PARAMETER_ERROR"},
    {20, u"CM_PRODUCT_SPECIFIC_ERROR"},
    {21, u"CM_PROGRAM_ERROR_NO_TRUNC"},
    {22, u"CM_PROGRAM_ERROR_PURGING"},
    {23, u"CM_PROGRAM_ERROR_TRUNC"},
    {24, u"CM_PROGRAM_PARAMETER_CHECK"},
    {25, u"CM_PROGRAM_STATE_CHECK"},
    {26, u"CM_RESOURCE_FAILURE_NO_RETRY"},
    {27, u"CM_RESOURCE_FAILURE_RETRY"},
    {28, u"CM_UNSUCCESSFUL"},
    {35, u"CM_OPERATION_INCOMPLETE"},
    {36, u"CM_SYSTEM_EVENT"},
    {10001, u"CM_WEQ_TIMEOUT_RETRY"},
    {10002, u"CM_CANCEL_REQUEST"},
    {10003, u"CM_WEQ_PING_RECEIVED"},
};

constexpr NameRow kFuncNames[] = {
    {0, u"CM_NO_FUNCTION"},
    {1, u"CMINIT"},
    {3, u"CMACCP"},
    {5, u"CMALLC"},
    {7, u"CMSEND"},
    {9, u"CMRCV"},
    {11, u"CMDEAL"},
    {17, u"CMSTPN"},
    {19, u"CMSPLN"},
    {21, u"CMSCSP"},
    {23, u"CMSCSU"},
    {25, u"CMSCST"},
    {27, u"CMCFM"},
    {29, u"CMFLUS"},
    {31, u"CMCFMD"},
    {33, u"CMPTR"},
    {35, u"CMETPN"},
    {37, u"CMELUN"},
    {39, u"CMEMN"},
    {41, u"CMSMN"},
    {43, u"CM_GET_SIDE_INFO"},
    {45, u"CM_SET_KEEP_SESSION"},
    {46, u"CM_WEQ_SYNC"},
    {47, u"CMSRT"},
    {48, u"CMSCT"},
    {49, u"CM_ACCPTP"},
    {50, u"CM_REGTP"},
    {51, u"CM_UNREGTP"},
    {52, u"CM_SNCNAME"},
    {53, u"CM_ACLKEY"},
    {54, u"CM_SNCNAMETOACLKEY"},
    {55, u"CM_ACLKEYTOSNCNAME"},
    {56, u"CM_SENDERROR"},
    {57, u"CM_SNCMODE"},
    {58, u"CM_UNACCPTP"},
    {59, u"CM_CANCEL"},
    {60, u"CM_CANCELED"},
    {61, u"CM_SENDERRINFO"},
    {62, u"CM_LISTEN3"},
    {63, u"CM_SETTRACE"},
    {64, u"CM_DELETE"},
    {65, u"CM_GETDT"},
};

constexpr NameRow kStatusRcvNames[] = {
    {0, u"CM_NO_STATUS_RECEIVED"},       {1, u"CM_SEND_RECEIVED"},
    {2, u"CM_CONFIRM_RECEIVED"},         {3, u"CM_CONFIRM_SEND_RECEIVED"},
    {4, u"CM_CONFIRM_DEALLOC_RECEIVED"},
};
constexpr NameRow kDataRcvNames[] = {
    {0, u"CM_NO_DATA_RECEIVED"},
    {1, u"CM_DATA_RECEIVED"},
    {2, u"CM_COMPLETE_DATA_RECEIVED"},
    {3, u"CM_INCOMPLETE_DATA_RECEIVED"},
};
constexpr NameRow kRtsRcvNames[] = {
    {0, u"CM_REQ_TO_SEND_NOT_RECEIVED"},
    {1, u"CM_REQ_TO_SEND_RECEIVED"},
};
constexpr NameRow kCancelTypeNames[] = {
    {0, u"WEQ_CM_CANCEL_HARD"},
    {1, u"WEQ_CM_CANCEL_SOFT"},
};

template <size_t N>
constexpr const WEQ_UC* Find(const NameRow (&rows)[N], uint32_t value) {
  for (const NameRow& r : rows) {
    if (r.value == value) return r.name;
  }
  return nullptr;
}

template <size_t N>
constexpr size_t LongestName(const NameRow (&rows)[N]) {
  size_t m = 0;
  for (const NameRow& r : rows) {
    size_t n = 0;
    while (r.name[n] != 0) ++n;
    if (n > m) m = n;
  }
  return m;
}

constexpr size_t LongestGwName() {
  size_t m = 0;
  for (const CpicGwRow& r : kCpicGwRows) {
    size_t n = 0;
    while (r.name[n] != 0) ++n;
    if (n > m) m = n;
  }
  return m;
}

// The callers' buffers hold CPIC_NAME_LEN units: every name with its
// terminator must fit, as a decimal 32-bit value does.
static_assert(LongestName(kRcNames) < CPIC_NAME_LEN && LongestName(kFuncNames) < CPIC_NAME_LEN &&
              LongestName(kStatusRcvNames) < CPIC_NAME_LEN && LongestName(kDataRcvNames) < CPIC_NAME_LEN &&
              LongestName(kRtsRcvNames) < CPIC_NAME_LEN && LongestName(kCancelTypeNames) < CPIC_NAME_LEN &&
              LongestGwName() < CPIC_NAME_LEN);

constexpr bool RowsAscending() {
  for (size_t i = 1; i < kCpicGwRowCount; ++i) {
    if (kCpicGwRows[i - 1].code >= kCpicGwRows[i].code) return false;
  }
  return kCpicGwRows[0].code == 0;
}
static_assert(RowsAscending(), "one row per code, ascending, 0 first");

// The name, or the value in decimal, into buf.
const WEQ_UC* NameOrNumber(const WEQ_UC* name, int64_t value, WEQ_UC* buf) {
  if (name != nullptr) {
    strcpy_sU16(buf, CPIC_NAME_LEN, name);
  } else {
    snprintfU16(buf, CPIC_NAME_LEN, u"%lld", static_cast<long long>(value));
  }
  return buf;
}

template <size_t N>
const WEQ_UC* Unsigned(const NameRow (&rows)[N], uint32_t value, WEQ_UC* buf) {
  if (buf == nullptr) return nullptr;
  return NameOrNumber(Find(rows, value), static_cast<int32_t>(value), buf);
}

}  // namespace

const WEQ_UC* CpicErrTxt(GW_RETURN_CODE code) {
  const CpicGwRow* r = CpicIGwRow(code);
  return r != nullptr ? r->text : u"";
}

const WEQ_UC* CpicErrDetailFmt(GW_RETURN_CODE code) {
  const CpicGwRow* r = CpicIGwRow(code);
  return r != nullptr ? r->detail : u"";
}

const WEQ_UC* CpicRcName(CM_RETURN_CODE rc, WEQ_UC* buf) {
  if (buf == nullptr) return u"";
  const WEQ_UC* name = rc >= 0 ? Find(kRcNames, static_cast<uint32_t>(rc)) : nullptr;
  return NameOrNumber(name, rc, buf);
}

const WEQ_UC* CpicGwRcName(GW_RETURN_CODE rc, WEQ_UC* buf) {
  if (buf == nullptr) return nullptr;
  const CpicGwRow* r = CpicIGwRow(rc);
  return NameOrNumber(r != nullptr ? r->name : nullptr, rc, buf);
}

const WEQ_UC* CpicFuncName(uint8_t func, WEQ_UC* buf, size_t size) {
  if (buf == nullptr) return nullptr;
  const WEQ_UC* name = Find(kFuncNames, func);
  if (name != nullptr) {
    strcpy_sU16(buf, size, name);
  } else {
    snprintfU16(buf, size, u"%d", static_cast<int>(func));
  }
  return buf;
}

const WEQ_UC* CpicStatusRcvName(uint32_t value, WEQ_UC* buf) { return Unsigned(kStatusRcvNames, value, buf); }
const WEQ_UC* CpicDataRcvName(uint32_t value, WEQ_UC* buf) { return Unsigned(kDataRcvNames, value, buf); }
const WEQ_UC* CpicRtsRcvName(uint32_t value, WEQ_UC* buf) { return Unsigned(kRtsRcvNames, value, buf); }
const WEQ_UC* CpicCancelTypeName(uint32_t value, WEQ_UC* buf) {
  return Unsigned(kCancelTypeNames, value, buf);
}

const WEQ_UC* WEQ_CMPERR(void) { return ErrIsSet() ? ErrGetAllTxt() : u"no WEQ ErrInfo available"; }

int CpicFieldToU16(WEQ_UC* dst, int* outLen, int capacity, const char* src, int srcLen, int terminate,
                   int stopAtBlank) {
  int len = src != nullptr && srcLen > 0 ? srcLen : 0;
  if (len > 0 && (terminate || stopAtBlank)) {
    int end = len;
    len = 0;
    while (len < end && src[len] != 0 && !(stopAtBlank && src[len] == ' ')) ++len;
  }
  int room = terminate ? capacity - 1 : capacity;
  if (room < 0 || dst == nullptr) room = 0;
  int units = 0;
  int rc = Utf8nToU16n(dst, room, &units, src, len);
  if (rc != 0 && rc != 32) return rc;
  if (terminate) {
    if (dst != nullptr && capacity > 0) dst[units] = 0;
  } else if (units > 0 && dst[units - 1] == 0) {
    --units;
  }
  if (outLen != nullptr) *outLen = units;
  return rc;
}

void CpicIRecordV(const CpicErrSite& site, GW_RETURN_CODE code, const WEQ_UC* text, const WEQ_UC* detail,
                  U16FmtArgs args) {
  ErrSetInfoSysV(CPIC_COMPONENT, CPIC_COMPONENT_VERSION, site.module, site.line, 0, text, code, detail,
                 site.sysCall, site.sysErr, args);
  if (site.traceAll) CPIC_TRC(2, u"%s\n", ErrGetAllTxt());
}
