// Two inputs from one byte string, chosen by the first byte:
//   even: a conversation's settings (header version, capacity, a partial
//         length left by an earlier receive, the time-out, the select-set
//         mark, trace levels) and a stream of events of the connection:
//         framed messages (delivered whole, in pieces to a small buffer,
//         or cut by a time-out), pings, a broken connection. The stream is
//         read by STIAsRcvFromGw, then by StIReadPendingData. Nothing is
//         written past the capacity of the data or the message buffer, the
//         partial length stays within what the buffer holds, and every call
//         ends.
//   odd:  a side-information file and a destination for STIReadSideInfo
//         with the initialise verb's keys: every string stays terminated
//         within its capacity.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "fuzz/input.h"
#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/thr/thr.h"

namespace {

// The connection as the entry's read function sees it: NI's read over a
// list of events. A message longer than the buffer gives NIETOO_SMALL and
// keeps its rest, as NI does.
struct FakeStream {
  enum Kind : uint8_t { kMessage, kTimeoutAfter, kPing, kBroken };
  struct Event {
    Kind kind;
    std::string bytes;  // kMessage: the whole message; kTimeoutAfter: bytes delivered first
  };
  std::vector<Event> events;
  size_t next = 0;
  std::string pending;  // rest of the current message
  bool inMessage = false;
  int reads = 0;
};

FakeStream g_stream;

NI_RC FakeRead(NI_HDL, void* buf, int len, int, uint32_t* readLen, int32_t) {
  FakeStream& s = g_stream;
  *readLen = 0;
  // Bounded: a loop that does not end is a finding of its own.
  FUZZ_CHECK(++s.reads < 100000);
  if (len < 0) return NIEINVAL;
  if (!s.inMessage) {
    if (s.next >= s.events.size()) return NIECONN_BROKEN;
    const FakeStream::Event& ev = s.events[s.next++];
    switch (ev.kind) {
      case FakeStream::kPing: return NIEPING;
      case FakeStream::kBroken: return NIECONN_BROKEN;
      case FakeStream::kTimeoutAfter: {
        // Part of the next message, then a time-out; the rest stays.
        if (s.next >= s.events.size() || s.events[s.next].kind != FakeStream::kMessage) return NIETIMEOUT;
        const std::string& m = s.events[s.next++].bytes;
        size_t give = std::min(std::min(ev.bytes.size(), m.size()), static_cast<size_t>(len));
        memcpy(buf, m.data(), give);
        *readLen = static_cast<uint32_t>(give);
        s.pending = m.substr(give);
        s.inMessage = !s.pending.empty();
        return give == m.size() ? WEQ_O_K : NIETIMEOUT;
      }
      case FakeStream::kMessage:
        s.pending = ev.bytes;
        s.inMessage = true;
        break;
    }
  }
  size_t give = std::min(s.pending.size(), static_cast<size_t>(len));
  if (give > 0) memcpy(buf, s.pending.data(), give);
  *readLen = static_cast<uint32_t>(give);
  s.pending.erase(0, give);
  if (!s.pending.empty()) return NIETOO_SMALL;
  s.inMessage = false;
  return WEQ_O_K;
}

NI_RC FakeWrite(NI_HDL, const void*, int len, int, uint32_t* written, int32_t) {
  *written = static_cast<uint32_t>(len);
  return WEQ_O_K;
}

NI_RC FakeClose(NI_HDL, int32_t) { return WEQ_O_K; }

CPIC_CONV_ENTRY* Entry() {
  static CPIC_CONV_ENTRY* e = [] {
    ThrProcInit();
    STIAllocConvMem(2);
    int32_t index = -1;
    STIGetFreeConv(u"fuzz", &index);
    CPIC_CONV_ENTRY* entry = STIConvAt(index);
    entry->f.readFn = FakeRead;
    entry->f.writeFn = FakeWrite;
    entry->f.closeFn = FakeClose;
    entry->f.traceHdl = fopen("/dev/null", "w");
    return entry;
  }();
  return e;
}

using Reader = tovfuzz::Input;

void Stream(const uint8_t* data, size_t size) {
  Reader r{data, size};
  CPIC_CONV_ENTRY* e = Entry();
  uint8_t version = r.Byte() % 9;
  int capacity = r.Be16() % (CPIC_MSG_BUF_LEN - 138);
  int timeout = static_cast<int8_t>(r.Byte());  // negative: blocking; 0 included
  uint8_t flags = r.Byte();
  e->f.hdrVersion = version;
  e->f.hdrLen = (flags & 1) ? GwAppcHdrLen(version) : 0;
  e->f.inSelectSet = (flags >> 1) & 1;
  e->f.traceRaw = (flags >> 2) & 1;
  e->f.traceAppcHdr = (flags >> 3) & 1;
  e->traceLevel.store((flags >> 4) & 3);
  CTrcLevel.store((flags >> 6) & 3);
  CTrcGlobalHdl.store(e->f.traceHdl);
  int hl = STIHdrLen(e);
  e->f.partialLen = r.Be16() % (capacity + hl + 8);
  e->f.readHdl = e->f.writeHdl = 1;
  e->f.connectTimeout = 10;

  g_stream = FakeStream();
  while (r.n > 0) {
    uint8_t k = r.Byte();
    FakeStream::Event ev{static_cast<FakeStream::Kind>(k % 4), {}};
    if (ev.kind == FakeStream::kMessage) ev.bytes = r.Take(r.Be16() % 2048);
    if (ev.kind == FakeStream::kTimeoutAfter) ev.bytes.assign(r.Byte(), 'x');
    g_stream.events.push_back(std::move(ev));
  }

  uint8_t* msg = STIMsgBuf(e);
  std::vector<uint8_t> dst(static_cast<size_t>(capacity) + 1, 0xA5);
  int len = -1;
  uint8_t pings = 0;
  CM_RETURN_CODE cm = -1;
  int rc = STIAsRcvFromGw(e, msg, (flags & 0x80) ? dst.data() : nullptr, capacity, &len, timeout, &pings, &cm);
  FUZZ_CHECK(rc == 0 || rc == -1 || rc == -2 || rc == -3);
  FUZZ_CHECK(dst[static_cast<size_t>(capacity)] == 0xA5);
  FUZZ_CHECK(len >= 0 && len <= capacity + hl);
  FUZZ_CHECK(e->f.partialLen >= 0 && e->f.partialLen <= capacity + hl);
  int pending = StIReadPendingData(e);
  FUZZ_CHECK(pending == 0 || pending == CM_DEALLOCATED_ABEND || pending == CM_DEALLOCATED_NORMAL);
  CTrcLevel.store(0);
  e->traceLevel.store(0);
  e->f.partialLen = 0;
  ErrClear();
}

struct SideKeys {
  WEQ_UC s[4][40];
  uint8_t c[2];
  int32_t n;
  int16_t h;
  CPIC_SI_PARAM table[9];
  SideKeys() {
    memset(s, 0x5A, sizeof s);
    const WEQ_UC* names[] = {u"GWHOST", u"GWSERV", u"LU", u"TP"};
    for (int i = 0; i < 4; ++i) table[i] = CPIC_SI_PARAM{names[i], 0, s[i], 8 + 8 * i, CPIC_SI_STRING, 0, 0, 0};
    table[4] = CPIC_SI_PARAM{u"PROTOCOL", 0, &c[0], 1, CPIC_SI_CHAR, 0, 0, 0};
    table[5] = CPIC_SI_PARAM{u"SNC_MODE", 0, &c[1], 0, CPIC_SI_DIGIT, 0, 0, 0};
    table[6] = CPIC_SI_PARAM{u"CPIC_TRACE", 0, &n, 0, CPIC_SI_INT, 0, 0, 0};
    table[7] = CPIC_SI_PARAM{u"BUFFERING", 0, &h, 0, CPIC_SI_SHORT, 0, 0, 0};
    table[8] = CPIC_SI_PARAM{};
  }
};

void Side(const uint8_t* data, size_t size) {
  static std::string path = [] {
    char tmpl[] = "/tmp/fuzz_sideinfo_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    return std::string(tmpl);
  }();
  Reader r{data, size};
  uint8_t flags = r.Byte();
  std::string destBytes = r.Take(r.Byte() % 24);
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  fwrite(r.p, 1, r.n, f);
  fclose(f);
  std::u16string dest;
  for (unsigned char ch : destBytes) dest += static_cast<char16_t>(ch);
  std::u16string file(path.begin(), path.end());
  SideKeys k;
  GW_RETURN_CODE gw = -1;
  STIResetSideInfo();
  CM_RETURN_CODE rc = STIReadSideInfo(file.c_str(), (flags & 1) ? nullptr : dest.c_str(), k.table, (flags >> 1) & 1,
                                      &gw, (flags >> 2) & 3, Entry()->f.traceHdl);
  FUZZ_CHECK(rc == CM_OK || rc == CM_PROGRAM_PARAMETER_CHECK || rc == CM_PRODUCT_SPECIFIC_ERROR);
  for (int i = 0; i < 4; ++i) {
    const CPIC_SI_PARAM& p = k.table[i];
    if (!p.assigned) continue;
    FUZZ_CHECK(p.capacity >= 0 && p.capacity <= 8 + 8 * i);
    FUZZ_CHECK(k.s[i][p.capacity] == 0);
    for (int j = 8 + 8 * i + 1; j < 40; ++j) FUZZ_CHECK(k.s[i][j] == 0x5A5A);
  }
  STIResetSideInfo();
  ErrClear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] % 2 == 0) Stream(data + 1, size - 1);
  else Side(data + 1, size - 1);
  return 0;
}
