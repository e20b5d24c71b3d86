// Reply streams into the requests: after a valid login answer, the replay
// server answers one request with the fuzz bytes (framing included). Byte
// 0 chooses the request (client list, next logon data, security key, name
// by address, profile parameter), byte 1 the time-out (5-20 ms); the rest
// is the stream. Every call must end within its time-outs with a code of
// the client or an op return code, leave outputs either untouched or
// pointing at text that ends, and never read or write out of bounds.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "i18n/wequ16/u16str.h"
#include "krn/ms/ms.h"
#include "krn/ms/ms_int.h"
#include "krn/ni/ni.h"
#include "krn/thr/thr.h"
#include "msreplay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = ThrProcInit() == 0 && NiInit3(64) == WEQ_O_K;
  static msreplay::Server server;
  if (!started || !server.ok()) abort();
  if (size < 2 || size > 70000) return 0;
  int which = data[0] % 5;
  int32_t timeout = 5 + data[1] % 16;
  std::string raw(reinterpret_cast<const char*>(data + 2), size - 2);
  std::vector<msreplay::Step> steps = {{true, msreplay::LoginAnswer()}};
  if (which == 0) steps.push_back({true, ""});  // the announcement of a long list
  steps.push_back({true, raw});
  server.Play(steps, true);
  MS_HDL* h = MsGetDefaultHdl();
  MsIHdlReset(h);
  h->ms_timeS = h->ms_timeL = 50;
  std::u16string serv = server.Serv();
  if (MsIAttachEx(h, u"-", u"-", 0, u"127.0.0.1", serv.c_str(), 4, 1, nullptr, 0, 0, 0, 8, nullptr, 0, nullptr,
                  nullptr, nullptr, 0) != 0)
    abort();
  h->ms_timeL = timeout;
  NI_NODEADDR addr{};
  addr.addr[10] = addr.addr[11] = 0xFF;
  addr.addr[12] = 10;
  switch (which) {
    case 0: {
      MSXXLIST* list = nullptr;
      int32_t count = -1;
      int rc = MsClientList(&list, &count, timeout, 0);
      if (rc == 0 && (count < 0 || (count > 0 && list == nullptr))) abort();
      break;
    }
    case 1: {
      WEQ_UC host[8] = {}, misc[8] = {};
      uint16_t port;
      MsGetNextLogon(4, host, 8, &addr, &port, misc, 8, 1, timeout);
      if (strnlenU16(host, 8) >= 8 || strnlenU16(misc, 8) >= 8) abort();
      break;
    }
    case 2: {
      const WEQ_UC* key = nullptr;
      int rc = MsGetSecurityKeyByNodeAddr(&addr, 3300, &key, 1, timeout);
      if (rc == 0 && (key == nullptr || strnlenU16(key, 257) > 256)) abort();
      break;
    }
    case 3: {
      const WEQ_UC* name = nullptr;
      int rc = MsGetNameByIpAdr(&addr, 3300, &name, 1, timeout);
      if (rc == 0 && name == nullptr) abort();
      break;
    }
    default: {
      WEQ_UC value[8] = {u'#'};
      MsGetParamValue(u"p", value, 8);
      if (strnlenU16(value, 8) >= 8) abort();
      break;
    }
  }
  MsIDetach(h);
  server.Finish();
  MsIHdlReset(h);
  return 0;
}
