// A client conversation whose gateway answers are fuzz bytes: the
// initialise (over a connect whose answer names the header version and
// options), then allocates, sends, receives, syncs, partner names, error
// information and a deallocate in the order the input gives, every answer
// served through the entry's read function (writes are dropped). The
// answers are whole headers with fuzzed fields and data, raw bytes, pieces
// cut by time-outs, pings or a broken connection. Every verb ends, no
// receive writes past its requested length or reports more, and after the
// deallocate no conversation entry is left.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "fuzz/krn/cpic/cpic_fuzz_gateway.h"

namespace {

using cpicfuzz::Bytes;
using cpicfuzz::g_gateway;

constexpr int32_t kCodes[] = {0, 18, 17, 10002, 27, 26, 3, 1};

// A whole answer header of the connect's version with fuzzed fields.
std::string Answer(Bytes& in, uint8_t version) {
  int hl = GwAppcHdrLen(version);
  std::string h(static_cast<size_t>(hl), '\0');
  uint8_t sel = in.Byte();
  h[0] = static_cast<char>((sel & 0x80) ? in.Byte() : version);
  h[1] = static_cast<char>(in.Byte());
  h[16] = static_cast<char>(in.Byte());  // Info3
  h[30] = static_cast<char>(in.Byte());  // Info
  auto put32 = [&](size_t off, uint32_t v) {
    if (off + 4 > h.size()) return;
    for (int i = 0; i < 4; ++i) h[off + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
  };
  put32(32, static_cast<uint32_t>(kCodes[sel & 7]));
  put32(36, (sel & 8) ? 726u : 0u);
  put32(22, in.Be16());
  for (size_t off : {52u, 56u, 60u, 64u}) put32(off, (sel & 0x40) ? in.Be16() : in.Byte() % 5);
  std::string data = in.Take(in.Be16() % 40000);
  return h + data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cpicfuzz::SetUpOnce(false);
  Bytes in{data, size};
  g_gateway = cpicfuzz::Gateway();
  g_gateway.connectVersion = static_cast<uint8_t>(1 + in.Byte() % 6);
  g_gateway.acceptInfo = in.Byte();
  uint8_t setup = in.Byte();
  std::string ops = in.Take(in.Byte() % 24);
  while (in.n > 0) {
    uint8_t k = in.Byte();
    switch (k % 5) {
      case 0: g_gateway.events.emplace_back(0, Answer(in, g_gateway.connectVersion)); break;
      case 1: g_gateway.events.emplace_back(0, in.Take(in.Be16() % 300)); break;
      case 2: g_gateway.events.emplace_back(1, in.Take(in.Byte())); break;
      case 3: g_gateway.events.emplace_back(2, std::string()); break;
      default: g_gateway.events.emplace_back(3, std::string()); break;
    }
  }

  char id[8];
  CM_RETURN_CODE rc = WEQ_STINIT3(id, u"FUZZ", u"lu", u"tp", u"gw", u"3300", u'I', 0, nullptr, nullptr);
  if (rc == CM_OK) {
    if (CPIC_CONV_ENTRY* e = STISearchConv(id, 0, 0)) {
      e->f.bufferState = (setup & 1) ? BUFFER_EMPTY : BUFFER_DISABLED;
      e->f.rcvTimeout = (setup & 2) ? 0 : -1;
      e->f.rcvTimeoutGiven = (setup >> 2) & 1;
    }
    std::string buf(41000, '\0');
    for (unsigned char op : ops) {
      int32_t len = static_cast<int32_t>((op >> 3) * 1300), rts = 0, dr = 0, rl = 0, st = 0;
      switch (op & 7) {
        case 0: rc = STALLC(id, nullptr); break;
        case 1: rc = STSEND(id, buf.data(), &len, &rts, nullptr); break;
        case 2: {
          buf[static_cast<size_t>(len)] = '\x5A';
          rc = STRCV(id, buf.data(), &len, &dr, &rl, &st, &rts, nullptr);
          FUZZ_CHECK(buf[static_cast<size_t>(len)] == '\x5A');
          if (rc == CM_OK) FUZZ_CHECK(rl >= 0 && rl <= len);
          break;
        }
        case 3: rc = STSYNC(id, nullptr); break;
        case 4: rc = STSPLN(id, u"partner", &len, nullptr); break;
        case 5: rc = WEQ_CMSENDERRINFO(id, 726, 17, nullptr); break;
        case 6: rc = WEQ_CMTIMEOUT2(id, (op & 8) ? 0 : -1, nullptr); break;
        default: rc = STDEAL(id, nullptr); break;
      }
    }
    STDEAL(id, nullptr);
  }
  FUZZ_CHECK(STIActiveConvs() == 0);
  ErrClear();
  return 0;
}
