// The network form of the error information: the record's units as UTF-8,
// read back from UTF-8 or EBCDIC.
#include <limits.h>
#include <string.h>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc_int.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/err_int.h"
#include "krn/rscp/rscpu.h"

namespace {

// "*ERR*" in EBCDIC: a record in that form is read byte by byte.
constexpr WEQ_RAW kEyecatcherEbcdic[5] = {0x5C, 0xC5, 0xD9, 0xD9, 0x5C};
// Bytes of the longest record in each form: a unit takes up to three
// bytes of UTF-8 (a pair of units four) and one of EBCDIC.
constexpr size_t kMaxUtf8Bytes = 3 * ERR_INFO_MAX_UNITS;
constexpr size_t kMaxEbcdicBytes = ERR_INFO_MAX_UNITS;

int TooLarge(size_t length) {
  DPTRC_ERROR(CTrcGlobalHdl, u"ErrCpNetToInt2: internal area too small (%d<%d)", ERR_INFO_MAX_UNITS,
              length);
  return ERR_TOO_LARGE;
}

}  // namespace

int ErrCpIntToNet(void* buf, size_t* length, size_t size) {
  if (length != nullptr) *length = 0;
  const WEQ_UC* record;
  size_t units;
  if (ErrGetAttr(&record, &units) != ERR_OK) return ERR_OK;
  if (buf == nullptr) return ERR_CONVERSION;
  int out = 0;
  int cap = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  if (U16nToUtf8n(static_cast<char*>(buf), cap, &out, record, static_cast<int>(units)) != 0) {
    return ERR_CONVERSION;
  }
  if (length != nullptr) *length = static_cast<size_t>(out);
  return ERR_OK;
}

int ErrCpNetToInt(const void* buf, size_t length) {
  const WEQ_RAW* bytes = static_cast<const WEQ_RAW*>(buf);
  if (bytes == nullptr) length = 0;
  bool ebcdic = length >= sizeof kEyecatcherEbcdic &&
                memcmp(bytes, kEyecatcherEbcdic, sizeof kEyecatcherEbcdic) == 0;
  // Decoded first, limited to what a record can hold: a valid record with
  // text outside ASCII takes more bytes than units.
  if (length > (ebcdic ? kMaxEbcdicBytes : kMaxUtf8Bytes)) return TooLarge(length);
  ErrThrAdm* adm = ErrIAdm();
  if (adm == nullptr) return ERR_NO_MEMORY;
  WEQ_UC units[ERR_INFO_MAX_UNITS];
  size_t n = 0;
  if (ebcdic) {
    EbcdicnToU16n(units, bytes, static_cast<int>(length));
    n = length;
  } else if (length > 0) {
    int out = 0;
    int rc = Utf8nToU16n(units, ERR_INFO_MAX_UNITS, &out, reinterpret_cast<const char*>(bytes),
                         static_cast<int>(length));
    if (rc == RSCPU_DEST_FULL) return TooLarge(length);
    if (rc != 0) {
      memset(adm->record, 0, (ERR_INFO_MAX_UNITS + 1) * sizeof(WEQ_UC));
      adm->length = 0;
      return ERR_CONVERSION;
    }
    n = static_cast<size_t>(out);
  }
  memset(adm->record, 0, (ERR_INFO_MAX_UNITS + 1) * sizeof(WEQ_UC));
  memcpy(adm->record, units, n * sizeof(WEQ_UC));
  adm->length = static_cast<uint32_t>(n);
  if (!ErrIHasEyecatchers(adm->record, n)) {
    DPTRC_ERROR(CTrcGlobalHdl, u"ErrCpNetToInt: bad err info (eyecatcher destroyed)");
    ErrIDumpDamaged(bytes, length);
    return ERR_DAMAGED;
  }
  return ERR_OK;
}
