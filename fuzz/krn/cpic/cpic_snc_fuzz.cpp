// SNC on conversations with fuzz bytes for the gateway, over the tests'
// GSS-API library. The first input byte picks one of two roads:
//   - a version-3 registration with an SNC block whose accept reads a
//     handover with an SNC part built from the input (names in net form,
//     QOP, mode, role); a conversation that comes is received on once, its
//     answer fuzz bytes, and released;
//   - a protected client conversation, initiator or acceptor, whose answers
//     come from a session of the target's own on the other side, each one
//     kept, changed in a byte, cut, replaced by input bytes or given a code
//     as the input says: the token exchange of the first send (STISncOut)
//     and of the first receive (STISncIn) read them.
// Every verb ends; afterwards no conversation entry and no security
// context of the library is left.
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/check.h"
#include "fuzz/krn/cpic/cpic_fuzz_gateway.h"
#include "krn/snc/snc.h"
#include "tests/krn/snc/snc_fakegss.h"

namespace {

using cpicfuzz::Bytes;
using cpicfuzz::Collect;
using cpicfuzz::g_gateway;

constexpr size_t kHdr = 80;  // header version 6
constexpr size_t kSncPart = 776;

FakeGssCtl* g_ctl = nullptr;

// The other side of a client conversation and how its answers are changed.
struct Other {
  SNC_HDL h = nullptr;
  Bytes* in = nullptr;
  bool initiator = false;  // the other side initiates (the client accepts)
};
Other g_other;

void PutBe32(std::string* s, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*s)[off + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
}

// An answer of the gateway carrying data, with the input's change.
std::string AnswerWith(const std::string& data) {
  Bytes& in = *g_other.in;
  std::string body = data;
  uint8_t how = in.Byte();
  switch (how & 7) {
    case 1:
      if (!body.empty()) body[in.Be16() % body.size()] ^= static_cast<char>(1 + in.Byte() % 255);
      break;
    case 2: body.resize(in.Be16() % (body.size() + 1)); break;
    case 3: body = in.Take(in.Be16() % 2000); break;
    default: break;
  }
  std::string h(kHdr, '\0');
  h[0] = 6;
  h[1] = static_cast<char>(203);
  h[2] = 2;
  static constexpr uint32_t kCodes[] = {0, 0, 0, 0, 18, 17, 26, 6};
  PutBe32(&h, 32, kCodes[(how >> 3) & 7]);
  PutBe32(&h, 52, 2);
  PutBe32(&h, 56, static_cast<uint32_t>(body.size()));
  PutBe32(&h, 60, (how & 0x40) ? 1 : 0);
  return h + body;
}

// Queues the answer to read next.
void Next(const std::string& answer) {
  g_gateway.events.insert(g_gateway.events.begin() + static_cast<long>(g_gateway.next),
                          {cpicfuzz::kMessage, answer});
}

// The other side's next output for text: a token or protected data.
std::string Output(const std::string& text) {
  uint8_t done = 0;
  const void* out = nullptr;
  size_t n = 0;
  if (SncProcessOutput(g_other.h, text.data(), text.size(), &done, &out, &n) != WEQ_O_K || out == nullptr)
    return std::string();
  return std::string(static_cast<const char*>(out), n);
}

// The gateway's side of a write: a token message goes to the other side,
// whose token (or, once it is done, its protected data) is the answer.
NI_RC OtherWrite(NI_HDL, const void* buf, int len, int, uint32_t* written, int32_t) {
  *written = static_cast<uint32_t>(len);
  const auto* m = static_cast<const uint8_t*>(buf);
  if (g_other.h == nullptr || len < static_cast<int>(kHdr) + 8 || m[1] != 203 || (m[10] & 0x20) == 0)
    return WEQ_O_K;
  const void *data = nullptr, *back = nullptr;
  size_t dataLen = 0, backLen = 0;
  SncProcessInput(g_other.h, m + kHdr, static_cast<size_t>(len) - kHdr - 8, &data, &dataLen, &back, &backLen);
  if (back != nullptr && backLen > 0) {
    Next(AnswerWith(std::string(static_cast<const char*>(back), backLen)));
  } else {
    Next(AnswerWith(Output(g_other.in->Take(g_other.in->Byte()))));
  }
  return WEQ_O_K;
}

void SetUp() {
  static bool done = [] {
    cpicfuzz::SetUpOnce(true);
    void* lib = dlopen(SNC_FAKEGSS_V2, RTLD_NOW | RTLD_LOCAL);
    FUZZ_CHECK(lib != nullptr);
    g_ctl = static_cast<FakeGssCtl*>(dlsym(lib, "fakegss_ctl"));
    FUZZ_CHECK(g_ctl != nullptr);
    setenv("SNC_LIB", SNC_FAKEGSS_V2, 1);
    // The other side's sessions need the layer before a conversation
    // starts it; the conversation's start then finds it started.
    uint8_t avail = 0;
    FUZZ_CHECK(SncSetParam(SNC_PARAM_GSSAPI_LIB, SNC_FAKEGSS_V2, 0) == WEQ_O_K);
    FUZZ_CHECK(SncInit(0, nullptr, &avail) == WEQ_O_K && avail == 1);
    return true;
  }();
  (void)done;
}

void ResetLibrary() {
  g_ctl->failFn = g_ctl->failAt = 0;
  for (long& c : g_ctl->calls) c = 0;
}

void Receive(const char* id) {
  std::string buf(32001, '\0');
  int32_t req = 1 + static_cast<int32_t>(g_gateway.events.size() % 32000), dr, len = -1, st, rts;
  buf[static_cast<size_t>(req)] = '\x5A';
  CM_RETURN_CODE rc = STRCV(id, buf.data(), &req, &dr, &len, &st, &rts, nullptr);
  FUZZ_CHECK(buf[static_cast<size_t>(req)] == '\x5A');
  if (rc == CM_OK) FUZZ_CHECK(len >= 0 && len <= req);
}

// A handover with the SNC part from the input, then answers of input bytes.
void AcceptRoad(Bytes& in) {
  g_gateway = cpicfuzz::Gateway();
  uint8_t setup = in.Byte();
  std::string h(kHdr, '\0');
  h[0] = 6;
  h[1] = static_cast<char>(207);
  h[10] = 0x20;
  h.replace(40, 8, "12345678");
  std::string part(kSncPart, '\0');
  for (size_t at : {2u, 259u, 516u}) {
    uint8_t pick = in.Byte();
    std::string name = (pick & 3) == 0   ? std::string("p:host/server")
                       : (pick & 3) == 1 ? std::string("p:user")
                                         : in.Take(pick % 260);
    part.replace(at, std::min<size_t>(name.size(), 257), name.substr(0, 257));
  }
  part[773] = static_cast<char>(in.Byte());
  part[774] = static_cast<char>(in.Byte() % 4);
  part[775] = static_cast<char>(in.Byte() % 3);
  g_gateway.events.emplace_back(cpicfuzz::kMessage, h + part);
  while (in.n > 0) g_gateway.events.emplace_back(cpicfuzz::kMessage, in.Take(1 + in.Be16() % 3000));

  CPIC_SNC_PARAMS snc{};
  snc.first = 1;
  snc.mode = (setup & 1) ? 1 : 2;
  snc.role = (setup >> 1) % 3;
  int32_t hdl = -1;
  if (WEQ_CMREGTP3(u"FUZZTP", u"gw", u"3300", &hdl, &snc, nullptr) != CM_OK) return;
  char id[8];
  CM_RETURN_CODE rc = WEQ_CMACCPTP3(hdl, 0, id, nullptr, nullptr);
  Collect();
  if (rc == CM_OK) {
    Receive(id);
    STDEAL(id, nullptr);
    Collect();
  }
  WEQ_CMUNREGTP3(hdl, nullptr);
  Collect();
}

// A protected client conversation against the other side.
void ClientRoad(Bytes& in) {
  g_gateway = cpicfuzz::Gateway();
  g_gateway.connectVersion = 6;
  uint8_t setup = in.Byte();
  g_other = Other{};
  g_other.in = &in;
  g_other.initiator = (setup & 1) != 0;
  FUZZ_CHECK(SncSessionInit(&g_other.h) == WEQ_O_K);
  SNC_RC orc = g_other.initiator ? SncSessionInitiator(g_other.h, 1, 0, "p:user") : SncSessionAcceptor(g_other.h, 0);
  if (orc != WEQ_O_K) {
    SncSessionDone(&g_other.h);
    return;
  }
  // The answers to the initialise and the allocate.
  std::string ok(kHdr, '\0');
  ok[0] = 6;
  ok.replace(40, 8, "12345678");
  g_gateway.events.emplace_back(cpicfuzz::kMessage, ok);
  g_gateway.events.emplace_back(cpicfuzz::kMessage, ok);
  if (setup & 2) g_gateway.events.emplace_back(cpicfuzz::kPing, std::string());

  CPIC_SNC_PARAMS snc{};
  snc.first = 1;
  snc.mode = 1;
  snc.qop = static_cast<uint8_t>((setup >> 2) & 3);
  snc.role = g_other.initiator ? 2 : 1;
  const char16_t* target = u"p:host/server";
  memcpy(snc.partnerName, target, 14 * sizeof(WEQ_UC));
  char id[8];
  CM_RETURN_CODE rc = WEQ_STINIT3(id, u"FUZZ", u"lu", u"tp", u"gw", u"3300", u'I', 0, &snc, nullptr);
  if (rc == CM_OK) {
    if (CPIC_CONV_ENTRY* e = STISearchConv(id, 0, 0)) e->f.bufferState = (setup & 16) ? BUFFER_EMPTY : BUFFER_DISABLED;
    rc = STALLC(id, nullptr);
    if (rc == CM_OK && g_other.initiator) {
      // The other side begins: its first token answers the receive.
      Next(AnswerWith(Output(in.Take(in.Byte()))));
      Receive(id);
    } else if (rc == CM_OK) {
      std::string data = in.Take(in.Be16() % 33000);
      int32_t len = static_cast<int32_t>(data.size()), rts = 0;
      rc = STSEND(id, data.data(), &len, &rts, nullptr);
      if (rc == CM_OK) {
        Next(AnswerWith(Output(in.Take(in.Byte()))));
        Receive(id);
      }
    }
    STDEAL(id, nullptr);
  }
  SncSessionDone(&g_other.h);
  g_other = Other{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUp();
  Bytes in{data, size};
  ResetLibrary();
  uint8_t road = in.Byte();
  if (road & 0x80) {
    // A GSS-API step fails at its n-th call.
    g_ctl->failFn = static_cast<int>(in.Byte() % kFnCount);
    g_ctl->failAt = 1 + in.Byte() % 3;
  }
  STISetIoFns(cpicfuzz::GatewayRead, (road & 1) ? cpicfuzz::GatewayWrite : OtherWrite, cpicfuzz::GatewayClose);
  if (road & 1) {
    AcceptRoad(in);
  } else {
    ClientRoad(in);
  }
  FUZZ_CHECK(STIActiveConvs() == 0);
  FUZZ_CHECK(g_ctl->liveContexts == 0);
  ErrClear();
  return 0;
}
