// NiBufReceive and NiRead on a buffered handle over a socket pair whose
// other end carries the fuzz input: byte 0 chooses the talk mode (bits 0-1)
// and closing after the write (bit 2), byte 1 the longest message the
// handle takes, byte 2 the read buffer lengths, the rest is the stream.
// Framed modes: every message delivered must be the next one a plain parser
// of the stream finds (keep-alive messages consumed in message mode, data
// in routed mode), in message mode up to the first control message; raw
// mode: the bytes delivered are the stream. No call may give a code outside
// the read's own.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "krn/ni/ni.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "nifuzz.h"

namespace {

[[noreturn]] void Fail() { abort(); }

struct Parsed {
  std::vector<std::string> msgs;
  bool bad = false;      // a header with the top bit set
  size_t tooLong = SIZE_MAX;  // index of the first message above the limit
  bool ctl = false;      // stopped at a control message (fuzz_nictl's business)
};

bool IsRtErr(const std::string& m) {
  if (m.size() < 24 || m.compare(0, 9, std::string("NI_RTERR\0", 9)) != 0) return false;
  auto b = [&](size_t i) { return uint32_t{static_cast<uint8_t>(m[i])}; };
  return (b(16) << 24 | b(17) << 16 | b(18) << 8 | b(19)) <= m.size() - 24;
}

Parsed ParseStream(const uint8_t* p, size_t n, bool dropKeepAlive, uint32_t maxLen) {
  Parsed out;
  size_t i = 0;
  while (n - i >= 4) {
    uint32_t len = (uint32_t{p[i]} << 24) | (uint32_t{p[i + 1]} << 16) | (uint32_t{p[i + 2]} << 8) | p[i + 3];
    if (len & 0x80000000u) {
      out.bad = true;
      break;
    }
    if (len > maxLen) {
      out.tooLong = out.msgs.size();
      break;
    }
    if (n - i - 4 < len) break;
    std::string m(reinterpret_cast<const char*>(p + i + 4), len);
    if (dropKeepAlive && IsRtErr(m)) {
      out.ctl = true;
      break;
    }
    bool keepAlive = m == std::string("NI_PING\0", 8) || m == std::string("NI_PONG\0", 8);
    if (!(dropKeepAlive && keepAlive)) out.msgs.push_back(m);
    i += 4 + len;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = ThrProcInit() == THR_ERR_OK && NiInit3(16) == WEQ_O_K;
  if (!started) Fail();
  if (size < 3 || size > 60000) return 0;
  const uint8_t mode = data[0] % 3;
  const bool closeAfter = (data[0] & 4) != 0;
  const uint32_t maxLen = data[1] == 0 ? NIBUF_MAXALLOC : uint32_t{data[1]} * 97u;
  const uint32_t lenSeed = data[2];
  const uint8_t* stream = data + 3;
  const size_t streamLen = size - 3;

  int sv[2];
  NITAB* rec = NiFuzzConnection(sv);
  if (rec == nullptr) Fail();
  if (NiBufIHdlInit(rec) != WEQ_O_K) Fail();
  NI_HDL h = rec->mHdl.load();
  NI_PARAM_DATA p{NIHP_BUF_TALKMODE, NI_DT_RAW, {}};
  p.value.raw_val = mode;
  if (NiSetHdlParamEx(h, &p) != WEQ_O_K) Fail();
  p = NI_PARAM_DATA{NIHP_MAXMSGLEN, NI_DT_UINT, {}};
  p.value.uint_val = maxLen;
  if (NiSetHdlParamEx(h, &p) != WEQ_O_K) Fail();
  size_t put = 0;
  while (put < streamLen) {
    ssize_t n = send(sv[1], stream + put, streamLen - put, MSG_NOSIGNAL);
    if (n <= 0) break;
    put += static_cast<size_t>(n);
  }
  if (closeAfter) shutdown(sv[1], SHUT_WR);

  const bool raw = mode == NI_RAW_IO;
  Parsed want = ParseStream(stream, put, mode == NI_MESG_IO, maxLen);
  std::string rawGot, cur;
  size_t next = 0;
  std::vector<char> buf(70000);
  int idle = 0;  // reads in a row that found nothing
  for (int step = 0; step < 4000; ++step) {
    // A read goes on past a control message it takes silently: what
    // follows the first one is fuzz_nictl's business.
    if (want.ctl && next == want.msgs.size() && cur.empty()) break;
    bool whole = (step + lenSeed) % 3 == 0;
    uint32_t got = 0;
    NI_RC rc;
    if (whole) {
      NIBUF* b = nullptr;
      rc = NiBufReceive(h, &b, 0);
      if ((rc == WEQ_O_K) != (b != nullptr)) Fail();
      if (b != nullptr) {
        cur.append(reinterpret_cast<char*>(b->data), static_cast<size_t>(b->len));
        got = static_cast<uint32_t>(b->len);
        NiBufFree2(&b);
      }
    } else {
      uint32_t bufLen = (lenSeed * 131u + static_cast<uint32_t>(step) * 17u) % 300u;
      rc = NiRead(h, bufLen ? buf.data() : nullptr, static_cast<int>(bufLen), 0, &got);
      if (rc == WEQ_O_K || rc == NIETOO_SMALL) {
        if (got > bufLen) Fail();
        cur.append(buf.data(), got);
      }
    }
    if (rc != NIETIMEOUT) idle = 0;
    if (rc == WEQ_O_K) {
      if (raw) {
        rawGot += cur;
      } else {
        if (next >= want.msgs.size() || cur != want.msgs[next]) Fail();
        ++next;
      }
      cur.clear();
    } else if (rc == NIETOO_SMALL) {
      if (whole) Fail();
    } else if (rc == NIETIMEOUT || rc == NIEPING) {
      if (!cur.empty()) Fail();
      if (rc == NIETIMEOUT && ++idle == 3) break;
      continue;
    } else if (rc == NIEINTERN) {
      if (raw || !want.bad || next != want.msgs.size()) Fail();
      break;
    } else if (rc == NIETOO_BIG) {
      if (raw || want.tooLong != next) Fail();
      break;
    } else if (rc == NIECONN_BROKEN) {
      if (!closeAfter) Fail();
      break;
    } else {
      Fail();
    }
  }
  if (raw && rawGot != std::string(reinterpret_cast<const char*>(stream), rawGot.size())) Fail();
  NiCloseHandle(h);
  close(sv[1]);
  return 0;
}
