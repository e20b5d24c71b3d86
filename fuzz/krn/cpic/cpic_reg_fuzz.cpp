// The registered server program with fuzz bytes for the gateway: a version-3
// registration (with or without an SNC block) whose accept reads a request
// built from the input (request code, lengths, the SNC part and trace
// record flags and bytes, the trace byte, codes) or raw bytes, pieces, pings
// and a broken connection; a conversation that comes is received on once
// and released (its hand-back included) and the registration unregistered;
// then a count of registrations reads an answer of fuzz bytes. Every verb
// ends, and afterwards no conversation entry is left.
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
using cpicfuzz::Collect;
using cpicfuzz::g_gateway;

constexpr uint8_t kReqs[] = {207, 207, 207, 211, 206, 9, 0, 18};

// A request of the gateway to the registration.
std::string Handover(Bytes& in, uint8_t version) {
  int hl = GwAppcHdrLen(version);
  std::string h(static_cast<size_t>(hl), '\0');
  uint8_t sel = in.Byte();
  h[0] = static_cast<char>(version);
  h[1] = static_cast<char>(kReqs[sel & 7]);
  h[10] = static_cast<char>((sel & 8) ? 0x20 : 0);   // SNC part
  h[16] = static_cast<char>((sel & 16) ? 0x80 : 0);  // trace record
  h[11] = static_cast<char>(in.Byte() % 4);          // trace byte
  // WeqRc: the gateway's shutdown, or fuzz bytes.
  uint32_t weq = (sel & 32) ? 731u : static_cast<uint32_t>(in.Be16());
  for (int i = 0; i < 4; ++i) h[36 + static_cast<size_t>(i)] = static_cast<char>(weq >> (24 - 8 * i));
  h.replace(40, 8, (in.Take(8) + std::string(8, '7')).substr(0, 8));
  // The data the flags ask for, or a fuzzed length of it.
  size_t data = (sel & 8 ? 776 : 0) + (sel & 16 ? 45 : 0);
  if (sel & 64) data = in.Be16() % 1200;
  return h + in.Take(data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cpicfuzz::SetUpOnce(true);
  Bytes in{data, size};
  g_gateway = cpicfuzz::Gateway();
  g_gateway.connectVersion = static_cast<uint8_t>(1 + in.Byte() % 6);
  uint8_t setup = in.Byte();
  std::string counts = in.Take(in.Byte() % 20);
  while (in.n > 0) {
    switch (in.Byte() % 5) {
      case 0: g_gateway.events.emplace_back(0, Handover(in, g_gateway.connectVersion)); break;
      case 1: g_gateway.events.emplace_back(0, in.Take(in.Be16() % 1000)); break;
      case 2: g_gateway.events.emplace_back(1, in.Take(in.Byte())); break;
      case 3: g_gateway.events.emplace_back(2, std::string()); break;
      default: g_gateway.events.emplace_back(3, std::string()); break;
    }
  }

  CPIC_SNC_PARAMS snc{};
  snc.first = 1;
  snc.mode = setup % 3;
  int32_t h = -1;
  CM_RETURN_CODE rc =
      WEQ_CMREGTP3(u"FUZZTP", u"gw", u"3300", &h, (setup & 4) ? &snc : nullptr, nullptr);
  if (rc == CM_OK) {
    char id[8];
    for (int i = 0; i < 3; ++i) {
      bool wait = (setup & 8) == 0;
      rc = WEQ_CMACCPTP3(h, wait ? 0 : -2, id, nullptr, nullptr);
      Collect();
      // A conversation came (its id may be blank too, as the gateway chose).
      if (rc == CM_OK && wait) {
        std::string buf(32000, '\0');
        int32_t req = 32000, dr, len = -1, st, rts;
        rc = STRCV(id, buf.data(), &req, &dr, &len, &st, &rts, nullptr);
        if (rc == CM_OK) FUZZ_CHECK(len >= 0 && len <= req);
        STDEAL(id, nullptr);
        Collect();
      }
      setup = static_cast<uint8_t>(setup >> 1);
    }
    WEQ_CMUNREGTP3(h, nullptr);
    Collect();
  }
  FUZZ_CHECK(STIActiveConvs() == 0);

  // The count: its answer is what the input holds.
  g_gateway = cpicfuzz::Gateway();
  g_gateway.events.emplace_back(0, counts);
  int32_t n[4] = {-1, -1, -1, -1};
  rc = WEQ_CMNOREGTP(u"FUZZTP", u"gw", u"3300", &n[0], &n[1], &n[2], &n[3], nullptr);
  FUZZ_CHECK(rc == CM_OK ? counts.size() == 8 : rc == CM_PRODUCT_SPECIFIC_ERROR);
  if (counts.size() == 8) FUZZ_CHECK(rc == CM_OK);
  FUZZ_CHECK(STIActiveConvs() == 0);
  ErrClear();
  return 0;
}
