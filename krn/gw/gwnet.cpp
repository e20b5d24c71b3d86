// Net-format text fields, and the calling thread's storage of the library.
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "krn/rscp/rscpu.h"
#include "krn/thr/thr.h"

namespace {

ThrKey g_gwThrKey = THR_KEY_NONE;
std::atomic<bool> g_gwNetAllocFail{false};
constexpr WEQ_UC kGwEmptyText[1] = {0};

void GwFreeThrData(void* value) {
  auto* data = static_cast<GwThrData*>(value);
  if (data == nullptr) return;
  for (WEQ_UC* buf : data->ring) free(buf);
  free(data);
}

// How many units of the source a conversion takes: all of it with both
// flags off, otherwise up to a 0 (or, stopAtBlank, a blank).
template <class Ch>
int GwTextExtent(const Ch* src, int srcLen, int terminate, int stopAtBlank) {
  int len = src != nullptr && srcLen > 0 ? srcLen : 0;
  if (!terminate && !stopAtBlank) return len;
  int n = 0;
  while (n < len && src[n] != 0 && !(stopAtBlank && src[n] == ' ')) ++n;
  return n;
}

}  // namespace

GwThrData* GwIThrData(void) {
  // The key is made once with its destructor, before any thread reads it:
  // a key made on demand by a read would have none.
  static const bool keyMade = [] {
    ThrRc krc = ThrKeyGet(&g_gwThrKey, GwFreeThrData);
    return krc == 0 || krc == 3;
  }();
  if (!keyMade) return nullptr;
  auto* data = static_cast<GwThrData*>(ThrKeyVarGet(&g_gwThrKey));
  if (data != nullptr) return data;
  data = static_cast<GwThrData*>(calloc(1, sizeof(GwThrData)));
  if (data == nullptr) return nullptr;
  if (ThrKeyVarSet(&g_gwThrKey, data) != 0) {
    free(data);
    return nullptr;
  }
  return data;
}

int GwINetTrcCap(int i) {
  GwThrData* data = GwIThrData();
  return data != nullptr && i >= 0 && i < GW_NET_TRC_RING ? data->ringCap[i] : -1;
}

void GwISetNetTrcAllocFail(bool fail) { g_gwNetAllocFail.store(fail); }

int GwConvToNet(char* field, int* outLen, int capacity, const WEQ_UC* src, int srcLen, int terminate,
                int stopAtBlank) {
  int len = GwTextExtent(src, srcLen, terminate, stopAtBlank);
  if (field == nullptr || capacity < 0) capacity = 0;
  int room = terminate ? capacity - 1 : capacity;
  if (room < 0) room = 0;
  int bytes = 0;
  int rc = U16nToUtf8n(field, room, &bytes, src, len);
  if (rc != 0 && rc != 32) return rc;
  int reported = bytes;
  if (terminate) {
    if (capacity > 0) {
      field[bytes] = 0;
      reported = bytes + 1;
    }
  } else if (!stopAtBlank) {
    if (bytes < capacity) memset(field + bytes, ' ', static_cast<size_t>(capacity - bytes));
    reported = capacity;
  }
  if (outLen != nullptr) *outLen = reported;
  return rc;
}

int GwConvFromNet(WEQ_UC* dst, int* outLen, int capacity, const char* field, int fieldLen, int terminate,
                  int stopAtBlank) {
  int len = GwTextExtent(field, fieldLen, terminate, stopAtBlank);
  if (dst == nullptr || capacity < 0) capacity = 0;
  int room = terminate ? capacity - 1 : capacity;
  if (room < 0) room = 0;
  int units = 0;
  int rc = Utf8nToU16n(dst, room, &units, field, len);
  if (rc != 0 && rc != 32) return rc;
  if (terminate) {
    if (capacity > 0) dst[units] = 0;
  } else if (units > 0 && dst[units - 1] == 0) {
    --units;
  }
  if (outLen != nullptr) *outLen = units;
  return rc;
}

const WEQ_UC* GwNetStrForTrc(const char* field, int fieldLen, int terminate, int stopAtBlank) {
  GwThrData* data = GwIThrData();
  if (data == nullptr) return kGwEmptyText;
  int slot = data->next;
  data->next = (slot + 1) % GW_NET_TRC_RING;
  if (fieldLen < 0) fieldLen = 0;
  int need = fieldLen + 1;
  WEQ_UC*& buf = data->ring[slot];
  int& cap = data->ringCap[slot];
  if (buf == nullptr || cap < need || cap - need > 1000) {
    void* grown = g_gwNetAllocFail.load() ? nullptr : realloc(buf, sizeof(WEQ_UC) * static_cast<size_t>(need));
    if (grown == nullptr) {
      free(buf);
      buf = nullptr;
      cap = 0;
      return kGwEmptyText;
    }
    buf = static_cast<WEQ_UC*>(grown);
    cap = need;
  }
  int units = 0;
  // need units hold every unit the field's bytes can give and the terminator.
  int rc = GwConvFromNet(buf, &units, terminate ? cap : cap - 1, field, fieldLen, terminate, stopAtBlank);
  if (rc != 0 && rc != 32) return kGwEmptyText;
  buf[units] = 0;
  return buf;
}
