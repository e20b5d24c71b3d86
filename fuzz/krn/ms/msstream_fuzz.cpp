// A message server's bytes, framing included, into MsAttach and, after a
// valid login answer, into MsReceive with short time-outs, through the
// in-process replay server. Byte 0: bit 0 a valid login answer first, bits
// 1-2 the number of receives (0-3), bit 3 the server closes after its
// bytes; byte 1 bit 0 the receive time-out (0, a receive that does not
// wait, or 1 ms); the rest the raw bytes.
// The attach never reconnects (dom 1 has no old login) unless a version
// retry asks for it. Invariants: an attach that gives 0 leaves the handle
// attached, any other result detached without a connection; a receive
// that delivers a message leaves the handle attached and hands over a
// length within the limit, whatever code the message's header carries
// (the receive's result is that code, so a server may send MSENILAYER
// too); a receive that delivers nothing and fails with MSENILAYER, a
// failure of the layer itself, detaches; nothing crashes or leaks.
//
// The server sends all its bytes at once in answer to the login, so that
// once the attach is over nothing more is on its way: every wait after it
// only runs out (the rest of a message begun waits 1 ms, and a receive
// after one that found no message does not wait). The login answer itself
// comes within a fraction of the attach's 5 ms (2 ms for raw bytes, which
// may never make one). Each wait that runs out costs its whole time.
#include <stdint.h>
#include <stdlib.h>

#include <string>

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
  bool valid = data[0] & 1;
  int receives = (data[0] >> 1) & 3;
  bool closeAtEnd = data[0] & 8;
  int timeout = data[1] & 1;
  std::string raw(reinterpret_cast<const char*>(data + 2), size - 2);

  std::vector<msreplay::Step> steps;
  steps.push_back({true, valid ? msreplay::LoginAnswer() + raw : raw});
  server.Play(steps, closeAtEnd);
  MS_HDL* h = MsGetDefaultHdl();
  MsIHdlReset(h);
  h->ms_timeS = h->ms_timeL = valid ? 5 : 2;
  std::u16string serv = server.Serv();
  int rc = MsIAttachEx(h, u"-", u"-", 0, u"127.0.0.1", serv.c_str(), 4, 1, nullptr, 0, 0, 0, 8, nullptr, 0,
                       nullptr, nullptr, nullptr, 0);
  if ((rc == 0) != (h->attached == 1)) abort();
  if (rc != 0 && h->hdl != NI_INVALID_HDL) abort();
  h->ms_timeS = h->ms_timeL = 1;
  for (int i = 0; rc == 0 && i < receives && h->attached; ++i) {
    WEQ_RAW* p = nullptr;
    int32_t len = 0;
    int r = MsReceive(&p, &len, nullptr, nullptr, nullptr, timeout);
    const bool delivered = p != nullptr;
    if (r == 0 && !delivered) abort();
    if (delivered && (!h->attached || len < 0 || len > MS_MAX_DATA_LEN)) abort();
    if (!delivered && r == MSENILAYER && h->attached) abort();
    if (r == MSENOMSG) timeout = 0;
  }
  MsIDetach(h);
  server.Finish();
  MsIHdlReset(h);
  return 0;
}
