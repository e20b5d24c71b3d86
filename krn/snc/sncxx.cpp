// SNC API: the global state, the SNC trace and the settings that may be
// made before the layer is initialised.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"

namespace {
constexpr const char* kSncModule = "sncxx";
constexpr size_t kTrcLine = 1024;  // an 8-bit line with its terminator
}  // namespace

SncGlobal gSnc;
std::atomic<CTRC_HDL> gSncTrcHdl{nullptr};

namespace {

void WriteLine(const char* text) {
  WEQ_UC wide[kTrcLine];
  SncPWiden(wide, kTrcLine, text);
  DpTrcLock();
  DpTrc(gSncTrcHdl.load(std::memory_order_acquire), u"%s", wide);
  DpTrcUnlock();
}

}  // namespace

void SncPWiden(WEQ_UC* dst, size_t size, const char* src) {
  size_t i = 0;
  for (; i + 1 < size && src[i] != 0; ++i) dst[i] = static_cast<unsigned char>(src[i]);
  dst[i] = 0;
}

void SncPTrc(const char* fmt, ...) {
  char line[kTrcLine];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  // A cut entry still ends its line, so that the next entry starts a line.
  if (n >= static_cast<int>(sizeof line)) line[sizeof line - 2] = '\n';
  WriteLine(line);
}

void SncPTrcErr(const char* module, int line, const char* fmt, ...) {
  char text[kTrcLine];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  size_t n = strlen(text);
  if (n > 0 && text[n - 1] == '\n') text[n - 1] = 0;
  char out[kTrcLine];
  snprintf(out, sizeof out, "*** ERROR => %.980s [%-10.10s %3d]\n", text, module, line);
  WriteLine(out);
}

SNC_RC SncSetTraceFile(CTRC_HDL hdl) {
  SncGlobalLock lock;
  gSncTrcHdl.store(hdl, std::memory_order_release);
  return WEQ_O_K;
}

SNC_RC SncSetParam(int32_t param, const void* value, size_t length) {
  SncGlobalLock lock;
  SNC_TRC(3, "->> %.32s(param=%d, value=%p, length=%lu)\n", "SncSetParam", param, value,
          static_cast<unsigned long>(length));
  SNC_RC rc = WEQ_O_K;
  if (param != SNC_PARAM_GSSAPI_LIB) {
    rc = SNCERR_UNKNOWN_PARAM;
  } else if (gSnc.initialized.load(std::memory_order_acquire)) {
    rc = SNCERR_PARAM_DENIED;
  } else {
    const char* text = static_cast<const char*>(value);
    size_t n = text == nullptr ? 0 : length != 0 ? strnlen(text, length) : strlen(text);
    if (n >= sizeof gSnc.userLib) {
      rc = SNCERR_FUNC_ARGS;
    } else {
      // An empty value forgets the name, so that the configured one applies.
      if (n > 0) memcpy(gSnc.userLib, text, n);
      gSnc.userLib[n] = 0;
    }
  }
  if (rc != WEQ_O_K) {
    SncPSetErrInfo(kSncModule, __LINE__, rc, "SncSetParam()");
    SNC_TRC(1, "%.32s%.32s()==%.40s\n", "<<- ERROR: ", "SncSetParam", SncErrName(rc));
  } else {
    SNC_TRC(2, "%.32s%.32s()==%.40s\n", "<<- ", "SncSetParam", SncErrName(rc));
  }
  return rc;
}

SNC_RC SncSetParamU16(int32_t param, const void* value, size_t length) {
  if (param != SNC_PARAM_GSSAPI_LIB || value == nullptr) return SncSetParam(param, value, length);
  constexpr size_t kMax = 1024;
  char narrow[kMax + 1];
  const WEQ_UC* text = static_cast<const WEQ_UC*>(value);
  size_t limit = length != 0 && length < kMax ? length : kMax;
  size_t i = 0;
  for (; i < limit && text[i] != 0; ++i) narrow[i] = static_cast<char>(text[i] & 0xFF);
  narrow[i] = 0;
  return SncSetParam(param, narrow, 0);
}
