// Received frames into sessions: the first input byte picks a fresh
// acceptor, a fresh initiator whose INIT went out, or either side of an
// established pair, and the trace level (0 to 4, the trace written to
// /dev/null); the rest goes to SncProcessInput. Whatever it hands out lies
// in the input or in the session's own buffers, the peer's names that the
// session then gives are terminated within their limits, and after
// SncSessionDone the GSS-API library holds nothing of the session.
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "krn/thr/thr.h"
#include "tests/krn/snc/snc_fakegss.h"

namespace {

FakeGssCtl* gCtl = nullptr;

void Check(bool ok) {
  if (!ok) abort();
}

bool Within(const void* p, size_t n, const void* base, size_t size) {
  const uint8_t* q = static_cast<const uint8_t*>(p);
  const uint8_t* b = static_cast<const uint8_t*>(base);
  return base != nullptr && q >= b && n <= size && q - b <= static_cast<ptrdiff_t>(size - n);
}

void Setup() {
  ThrProcInit();
  void* lib = dlopen(SNC_FAKEGSS_V2, RTLD_NOW | RTLD_LOCAL);
  Check(lib != nullptr);
  gCtl = static_cast<FakeGssCtl*>(dlsym(lib, "fakegss_ctl"));
  Check(gCtl != nullptr);
  uint8_t avail = 0;
  Check(SncSetParam(SNC_PARAM_GSSAPI_LIB, SNC_FAKEGSS_V2, 0) == WEQ_O_K);
  Check(SncInit(0, nullptr, &avail) == WEQ_O_K && avail == 1);
  FILE* sink = fopen("/dev/null", "w");
  Check(sink != nullptr);
  SncSetTraceFile(sink);
}

// Carries frames between two sessions until neither has one to send.
void Shuttle(SNC_HDL from, SNC_HDL to, std::vector<uint8_t> frame) {
  for (int i = 0; i < 20 && !frame.empty(); ++i) {
    const void *data = nullptr, *back = nullptr;
    size_t dataLen = 0, backLen = 0;
    SncProcessInput(to, frame.data(), frame.size(), &data, &dataLen, &back, &backLen);
    frame.assign(static_cast<const uint8_t*>(back), static_cast<const uint8_t*>(back) + (back ? backLen : 0));
    std::swap(from, to);
  }
}

std::vector<uint8_t> Output(SNC_HDL h) {
  uint8_t done = 0;
  const void* out = nullptr;
  size_t n = 0;
  SncProcessOutput(h, "x", 1, &done, &out, &n);
  return std::vector<uint8_t>(static_cast<const uint8_t*>(out), static_cast<const uint8_t*>(out) + (out ? n : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (gCtl == nullptr) Setup();
  if (size < 1) return 0;
  const int mode = data[0] % 4;
  CTrcLevel.store((data[0] >> 3) % 5);
  SNC_HDL ini = nullptr, acc = nullptr;
  Check(SncSessionInit(&ini) == WEQ_O_K && SncSessionInit(&acc) == WEQ_O_K);
  Check(SncSessionInitiator(ini, data[0] & 4 ? 1 : 0, 0, "p:host/server") == WEQ_O_K);
  Check(SncSessionAcceptor(acc, 0) == WEQ_O_K);
  SNC_HDL target = acc;
  if (mode == 1) {
    Output(ini);
    target = ini;
  } else if (mode >= 2) {
    Shuttle(ini, acc, Output(ini));
    Shuttle(ini, acc, Output(ini));
    target = mode == 2 ? acc : ini;
  }
  const void *out = nullptr, *back = nullptr;
  size_t outLen = 0, backLen = 0;
  SncProcessInput(target, data + 1, size - 1, &out, &outLen, &back, &backLen);
  const SncSession* s = target;
  if (out != nullptr) {
    Check(Within(out, outLen, data + 1, size - 1) || Within(out, outLen, s->unwrapped.value, s->unwrapped.length));
  }
  if (back != nullptr) Check(Within(back, backLen, s->out.data, s->out.capacity) && backLen == s->out.used);
  const char* name = nullptr;
  if (SncGetPeerName(target, &name) == WEQ_O_K) Check(name != nullptr && strnlen(name, SNC_PRNAME_MAX) < SNC_PRNAME_MAX);
  const WEQ_UC* wide = nullptr;
  if (SncGetPeerNameU16(target, &wide) == WEQ_O_K) {
    size_t n = 0;
    while (n < 256 && wide[n] != 0) ++n;
    Check(n < 256 && (name == nullptr || n == strlen(name)));
  }
  const uint8_t* key = nullptr;
  size_t keyLen = 0;
  if (SncGetPeerAclKey(target, &key, &keyLen) == WEQ_O_K) Check(key != nullptr && keyLen > 0 && keyLen <= 0xFFFF);
  Check(SncSessionDone(&ini) == WEQ_O_K && SncSessionDone(&acc) == WEQ_O_K);
  Check(gCtl->liveNames == 0 && gCtl->liveBuffers == 0 && gCtl->liveCreds == 0 && gCtl->liveContexts == 0);
  return 0;
}
