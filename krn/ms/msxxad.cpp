// Message server client: a profile parameter of the message server, asked
// in an administration record.
#include <string.h>

#include "i18n/wequ16/u16str.h"
#include "krn/ad/ad.h"
#include "krn/ms/ms.h"
#include "krn/ms/ms_int.h"

int MsGetParamValue(const WEQ_UC* name, WEQ_UC* value, int32_t capacity) {
  static constexpr WEQ_UC kFn[] = u"MsGetParamValue";
  if (name == nullptr) {
    DPTRC_ERROR(MsITrc(), u"%s: no parameter name", kFn);
    return MSEINVAL;
  }
  MS_HDL* h = MsGetDefaultHdl();
  AD_REC rec;
  AdInitRec(&rec);
  rec.opcode = AD_PROFILE;
  size_t n = strnlenU16(name, AD_BODY_LEN);
  memcpy(rec.body, name, n * sizeof(WEQ_UC));
  WEQ_RAW* block = nullptr;
  int32_t blockLen = 0;
  int rc = AdWriteRec(&rec, 1, &block, &blockLen);
  if (rc != 0) return rc;
  const WEQ_RAW key[MS_KEY_LEN] = {};
  rc = MsSndAdmin(block, blockLen, key);
  if (rc != 0) return rc;
  // A silent message server ends the wait after the long time-out, which
  // the logon-group layer sets.
  WEQ_RAW* answer = nullptr;
  int32_t answerLen = 0;
  rc = MsIReceive(h, &answer, &answerLen, nullptr, nullptr, nullptr, h->ms_timeL);
  if (rc != 0) return rc;
  uint8_t state = AD_READ_FIRST;
  AD_REC* got = nullptr;
  rc = AdReadRec(answer, answerLen, &state, &got);
  if (rc != 0) return rc;
  if (got == nullptr) {
    DPTRC_LINE(1, MsITrc(), u"%s: no record in the answer\n", kFn);
    return MSENOTFOUND;
  }
  int32_t status = got->errnum;
  if (status != 0 && status != 3 && status != 6) return status;
  // "name=value" in the record's text; the value runs to a 0 character or
  // the end of the text, without its trailing blanks.
  const WEQ_UC* text = got->body;
  int eq = 0;
  while (eq < AD_BODY_LEN && text[eq] != u'=' && text[eq] != 0) ++eq;
  if (eq >= AD_BODY_LEN || text[eq] != u'=') return status;
  int end = eq + 1;
  while (end < AD_BODY_LEN && text[end] != 0) ++end;
  while (end > eq + 1 && text[end - 1] == u' ') --end;
  int32_t len = end - eq - 1;
  if (value != nullptr && capacity > 0) {
    if (len < capacity) {
      memcpy(value, text + eq + 1, static_cast<size_t>(len) * sizeof(WEQ_UC));
      value[len] = 0;
    } else {
      value[0] = 0;
    }
  }
  DPTRC_LINE(2, MsITrc(), u"%s: %s -> %d characters, status %d\n", kFn, name, len, status);
  return status;
}
