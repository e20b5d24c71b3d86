// NiRead and NiPeekEx over a socket pair whose other end carries the fuzz
// input: byte 0 switches single-read mode (bit 0) and closing after the
// write (bit 1), byte 1 chooses the buffer lengths, the rest is the stream.
// Every message NiRead completes must be the next one a plain parser of the
// stream finds (keep-alive messages are consumed), and no call may give a
// code outside the read's own, up to the first control message.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "krn/ni/ni.h"
#include "krn/ni/nimsg_int.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "nifuzz.h"

namespace {

[[noreturn]] void Fail() { abort(); }

// Whether a message is an NI_RTERR control message (its text fits).
bool IsRtErr(const std::string& m) {
  if (m.size() < 24 || m.compare(0, 9, std::string("NI_RTERR\0", 9)) != 0) return false;
  auto b = [&](size_t i) { return uint32_t{static_cast<uint8_t>(m[i])}; };
  return (b(16) << 24 | b(17) << 16 | b(18) << 8 | b(19)) <= m.size() - 24;
}

// The messages of the stream up to the first bad header, the first control
// message (*ctl: what it does is fuzz_nictl's business) or the end.
std::vector<std::string> Parse(const uint8_t* p, size_t n, bool* bad, bool* ctl) {
  std::vector<std::string> out;
  size_t i = 0;
  *bad = false;
  *ctl = false;
  while (n - i >= 4) {
    uint32_t len = (uint32_t{p[i]} << 24) | (uint32_t{p[i + 1]} << 16) | (uint32_t{p[i + 2]} << 8) | p[i + 3];
    if (len & 0x80000000u) {
      *bad = true;
      break;
    }
    if (n - i - 4 < len) break;
    std::string m(reinterpret_cast<const char*>(p + i + 4), len);
    if (IsRtErr(m)) {
      *ctl = true;
      break;
    }
    if (m != std::string("NI_PING\0", 8) && m != std::string("NI_PONG\0", 8)) out.push_back(m);
    i += 4 + len;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = ThrProcInit() == THR_ERR_OK && NiInit3(16) == WEQ_O_K;
  if (!started) Fail();
  if (size < 2 || size > 60000) return 0;
  bool single = data[0] & 1;
  bool closeAfter = data[0] & 2;
  uint32_t lenSeed = data[1];
  const uint8_t* stream = data + 2;
  size_t streamLen = size - 2;

  int sv[2];
  NITAB* rec = NiFuzzConnection(sv);
  if (rec == nullptr) Fail();
  NI_HDL h = rec->mHdl.load();
  if (NiSetSingleRead(h, single ? 1 : 0) != WEQ_O_K) Fail();
  size_t put = 0;
  while (put < streamLen) {
    ssize_t n = send(sv[1], stream + put, streamLen - put, MSG_NOSIGNAL);
    if (n <= 0) break;
    put += static_cast<size_t>(n);
  }
  if (closeAfter) shutdown(sv[1], SHUT_WR);

  bool bad = false, ctl = false;
  std::vector<std::string> want = Parse(stream, put, &bad, &ctl);
  size_t next = 0;
  std::string cur;
  std::vector<char> buf(70000);
  for (int step = 0; step < 4000; ++step) {
    NI_RC peek = NiPeekEx(h, 0);
    if (peek != WEQ_O_K && peek != NIETIMEOUT) Fail();
    uint32_t bufLen = (lenSeed * 131u + static_cast<uint32_t>(step) * 17u) % 300u;
    if (step % 7 == 3) bufLen = 0;
    uint32_t got = 0;
    NI_RC rc = NiRead(h, bufLen ? buf.data() : nullptr, static_cast<int>(bufLen), 0, &got);
    if (ctl && next == want.size() && cur.empty()) break;  // the control message comes next
    if (rc == WEQ_O_K || rc == NIETOO_SMALL || rc == NIETIMEOUT) {
      if (got > bufLen) Fail();
      cur.append(buf.data(), got);
      if (rc == WEQ_O_K) {
        if (next >= want.size() || cur != want[next]) Fail();
        ++next;
        cur.clear();
      }
      if (rc == NIETIMEOUT && peek == NIETIMEOUT && got == 0) break;
    } else if (rc == NIEPING) {
      if (got != 0 || !cur.empty()) Fail();
    } else if (rc == NIEINTERN) {
      if (!bad || next != want.size()) Fail();
      break;
    } else if (rc == NIECONN_BROKEN) {
      if (!closeAfter) Fail();
      break;
    } else {
      Fail();
    }
  }
  // Everything whole in the stream was delivered unless a read was stopped.
  if (next > want.size()) Fail();
  NiCloseHandle(h);
  close(sv[1]);
  return 0;
}
