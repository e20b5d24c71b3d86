// Storage request bodies and reply readers.
#include "krn/adtl/adtl.h"

#include <string.h>

#include "i18n/wequ16/u16fmt.h"
#include "krn/ad/ad.h"
#include "krn/dptrc/dptrc.h"

namespace {

constexpr int kBodyBytes = 2 * AD_BODY_LEN;
// The value of a read-all request from a start index: marker, start, count,
// marker.
constexpr uint32_t kOffsetMarker = 0x1CB9;

WEQ_RAW* Bytes(WEQ_UC* body) { return reinterpret_cast<WEQ_RAW*>(body); }
const WEQ_RAW* Bytes(const WEQ_UC* body) { return reinterpret_cast<const WEQ_RAW*>(body); }

void PutBigEndian32(WEQ_RAW* p, uint32_t v) {
  p[0] = static_cast<WEQ_RAW>(v >> 24);
  p[1] = static_cast<WEQ_RAW>(v >> 16);
  p[2] = static_cast<WEQ_RAW>(v >> 8);
  p[3] = static_cast<WEQ_RAW>(v);
}

int32_t BigEndian32(const WEQ_RAW* p) {
  return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                              (uint32_t{p[2]} << 8) | uint32_t{p[3]});
}

// A zeroed body with the four storage bytes set.
void Start(WEQ_UC* body, uint8_t type, uint8_t valueLen) {
  memset(body, 0, kBodyBytes);
  WEQ_RAW* b = Bytes(body);
  b[AD_STRG_TY] = type;
  b[AD_STRG_NL] = ADTL_NAME_CHARS;
  b[AD_STRG_VO] = 0;
  b[AD_STRG_VL] = valueLen;
}

int ReadRequest(const WEQ_UC* caller, WEQ_UC* body, const WEQ_UC* name, uint8_t type,
                uint8_t valueLen) {
  if (body == nullptr || name == nullptr || name[0] == 0) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: parameter invalid (body or name NULL, or name empty)", caller);
    return AD_STRG_INVALID_ARG;
  }
  Start(body, type, valueLen);
  memcpy(Bytes(body) + AD_STRG_NAME, name, ADTL_NAME_CHARS * sizeof(WEQ_UC));
  return AD_STRG_OK;
}

// Characters before the first 0, at most n, less trailing blanks.
int TextLen(const WEQ_UC* s, int n) {
  int len = 0;
  while (len < n && s[len] != 0) ++len;
  while (len > 0 && s[len - 1] == u' ') --len;
  return len;
}

// The readers' buffers (see adtl.h).
WEQ_UC gTextName[ADTL_NAME_CHARS];
WEQ_UC gTextValue[ADTL_TEXT_CHARS];
WEQ_UC gIntgName[ADTL_NAME_CHARS];

// Copies the reply's name into buf and reports it.
void TakeName(const WEQ_UC* body, WEQ_UC* buf, const WEQ_UC** name, int* nameWidth, int* nameLen) {
  memcpy(buf, Bytes(body) + AD_STRG_NAME, ADTL_NAME_CHARS * sizeof(WEQ_UC));
  if (name != nullptr) *name = buf;
  if (nameWidth != nullptr) *nameWidth = ADTL_NAME_CHARS;
  if (nameLen != nullptr) *nameLen = TextLen(buf, ADTL_NAME_CHARS);
}

struct StrgNameRow {
  int32_t code;
  const WEQ_UC* name;
};
constexpr StrgNameRow kNames[] = {
    {AD_STRG_OK, u"WEQ_O_K"},
    {AD_STRG_ERROR, u"AD_STRG_ERROR"},
    {AD_STRG_INVALID_ARG, u"AD_STRG_INVALID_ARG"},
    {AD_STRG_NOT_INITED, u"AD_STRG_NOT_INITED"},
    {AD_RZL_STRG_NOT_FOUND, u"AD_RZL_STRG_NOT_FOUND"},
    {AD_RZL_STRG_EXISTS, u"AD_RZL_STRG_EXISTS"},
    {AD_RZL_STRG_ERROR, u"AD_RZL_STRG_ERROR"},
    {AD_RZL_ACCESS_DENIED, u"AD_RZL_ACCESS_DENIED"},
};

}  // namespace

int AdtlStrgBldRqReadallText(WEQ_UC* body) {
  if (body == nullptr) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: parameter invalid (body NULL)", u"AdtlStrgBldRqReadallText");
    return AD_STRG_INVALID_ARG;
  }
  Start(body, PERM_TYPE_READALL_C, ADTL_TEXT_CHARS);
  return AD_STRG_OK;
}

int AdtlStrgBldRqReadallText2(WEQ_UC* body, uint32_t start, uint32_t count) {
  if (body == nullptr) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: parameter invalid (body NULL)", u"AdtlStrgBldRqReadallText2");
    return AD_STRG_INVALID_ARG;
  }
  Start(body, PERM_TYPE_READALL_OFFSET_C, ADTL_TEXT_CHARS);
  WEQ_RAW* v = Bytes(body) + AD_STRG_VALUE;
  PutBigEndian32(v, kOffsetMarker);
  PutBigEndian32(v + 4, start);
  PutBigEndian32(v + 8, count);
  PutBigEndian32(v + 12, kOffsetMarker);
  return AD_STRG_OK;
}

int AdtlStrgBldRqReadText(WEQ_UC* body, const WEQ_UC* name) {
  return ReadRequest(u"AdtlStrgBldRqReadText", body, name, PERM_TYPE_READ_C, ADTL_TEXT_CHARS);
}

int AdtlStrgBldRqReadIntg(WEQ_UC* body, const WEQ_UC* name) {
  return ReadRequest(u"AdtlStrgBldRqReadIntg", body, name, PERM_TYPE_READ_I, ADTL_INTEGERS);
}

int AdtlStrgRspGetText(const WEQ_UC* body, const WEQ_UC** name, int* nameWidth, int* nameLen,
                       const WEQ_UC** value, int* valueWidth, int* valueLen) {
  uint8_t type = body != nullptr ? Bytes(body)[AD_STRG_TY] : 0;
  if (type != PERM_TYPE_READ_C && type != PERM_TYPE_READALL_C) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: no text reply (type %d)", u"AdtlStrgRspGetText",
                body == nullptr ? -1 : type);
    return AD_STRG_INVALID_ARG;
  }
  TakeName(body, gTextName, name, nameWidth, nameLen);
  memcpy(gTextValue, Bytes(body) + AD_STRG_VALUE, ADTL_TEXT_CHARS * sizeof(WEQ_UC));
  if (value != nullptr) *value = gTextValue;
  if (valueWidth != nullptr) *valueWidth = ADTL_TEXT_CHARS;
  if (valueLen != nullptr) *valueLen = TextLen(gTextValue, ADTL_TEXT_CHARS);
  return AD_STRG_OK;
}

int AdtlStrgRspGetIntg(const WEQ_UC* body, const WEQ_UC** name, int* nameWidth, int* nameLen,
                       int32_t values[ADTL_INTEGERS]) {
  uint8_t type = body != nullptr ? Bytes(body)[AD_STRG_TY] : 0;
  if (type != PERM_TYPE_READ_I && type != PERM_TYPE_READALL_I) {
    DPTRC_ERROR(CTrcGlobalHdl, u"%s: no integer reply (type %d)", u"AdtlStrgRspGetIntg",
                body == nullptr ? -1 : type);
    return AD_STRG_INVALID_ARG;
  }
  TakeName(body, gIntgName, name, nameWidth, nameLen);
  if (values != nullptr)
    for (int i = 0; i < ADTL_INTEGERS; ++i)
      values[i] = BigEndian32(Bytes(body) + AD_STRG_VALUE + 4 * i);
  return AD_STRG_OK;
}

WEQ_UC* AdtlStrgErrName(int32_t code, WEQ_UC* buffer) {
  if (buffer == nullptr) return nullptr;
  for (const StrgNameRow& row : kNames)
    if (row.code == code) {
      snprintfTruncU16(buffer, 32, u"%s", row.name);
      return buffer;
    }
  snprintfTruncU16(buffer, 32, u"%d", code);
  return buffer;
}
