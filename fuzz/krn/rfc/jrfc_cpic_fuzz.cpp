// The CpicDriver natives on the in-process JNI host, chosen with their
// arguments by the input: conversation ids of 0 to 16 bytes or NULL, result
// and handle arrays short or NULL, send and receive lengths in and out of
// range, strings up to past their capacities, a JNI call made to fail now
// and then. The gateway's answers come from the rest of the input through
// the conversation's read function. A held array, a call under a pending
// exception, a crash or a conversation left after the final deallocate is
// a finding.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzz/krn/cpic/cpic_fuzz_gateway.h"
#include "krn/ni/ni.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/thr/thr.h"
#include "support/jnihost.h"

#define JFZ(method) Java_com_weq_conn_rfc_driver_CpicDriver_##method

namespace {

using cpicfuzz::Bytes;
using cpicfuzz::g_gateway;
using tovtest::JniHost;
using tovtest::JniOp;

struct Driver {
  JniHost& host;
  JNIEnv* env;
  Bytes& in;
  std::vector<jbyteArray> ids;  // the ids of conversations initialised

  void Check() {
    host.EndNative();
    if (!host.Violations().empty()) abort();
  }
  // A text of n units, up to a little past the capacity given.
  jstring Str(size_t cap, const std::u16string& fallback) {
    uint8_t sel = in.Byte();
    if (sel < 16) return nullptr;
    if (sel < 48) {
      size_t n = cap - 2 + in.Byte() % 4;
      return host.NewString(std::u16string(n, static_cast<char16_t>(sel < 40 ? u'x' : 0x20AC)));
    }
    return host.NewString(fallback);
  }
  jbyteArray Id() {
    uint8_t sel = in.Byte();
    if (sel < 24) return nullptr;
    if (sel < 64 || ids.empty()) return host.NewBytes(std::vector<uint8_t>(in.Byte() % 17, sel));
    return ids[sel % ids.size()];
  }
  jbyteArray Buf() {
    uint8_t sel = in.Byte();
    if (sel < 16) return nullptr;
    size_t n = sel < 64 ? in.Byte() : sel < 200 ? in.Be16() % 33000 : 32000;
    return host.NewBytes(std::vector<uint8_t>(n, 0xA5));
  }
  jintArray Ints(size_t usual) {
    uint8_t sel = in.Byte();
    if (sel < 16) return nullptr;
    return host.NewInts(std::vector<int32_t>(sel < 64 ? sel % 7 : usual, -3));
  }
  jint Len() {
    uint8_t sel = in.Byte();
    if (sel < 16) return -static_cast<jint>(in.Byte());
    if (sel < 32) return 32000 + in.Byte();
    return in.Be16() % 33000;
  }

  void Step() {
    uint8_t op = in.Byte();
    if ((op & 0xE0) == 0xE0) host.FailCall(static_cast<JniOp>(in.Byte() % static_cast<int>(JniOp::kCount)), 1 + in.Byte() % 3);
    switch (op % 20) {
      case 0: {
        jbyteArray id = host.NewBytes(std::vector<uint8_t>(8, ' '));
        jint rc = JFZ(nativeWEQ_1CMINIT3)(env, nullptr, id, Str(128, u"DEST"), Str(1025, u"lu"), Str(1025, u"tp"),
                                          Str(1025, u"gw"), Str(33, u"3300"), Str(32, u"I"), in.Byte() % 3,
                                          in.Byte() % 3, in.Byte(), Str(257, u""), Str(257, u"p:x"), Str(257, u"l"));
        if (rc == 0) ids.push_back(id);
        break;
      }
      case 1: JFZ(nativeCMALLC)(env, nullptr, Id()); break;
      case 2: JFZ(nativeCMSEND)(env, nullptr, Id(), Buf(), Len()); break;
      case 3: JFZ(nativeCpic_1coxread)(env, nullptr, Id(), in.Byte() % 4, Buf(), Ints(3)); break;
      case 4: JFZ(nativeRflushCMRCV)(env, nullptr, Id(), Buf(), Len(), Ints(3)); break;
      case 5: JFZ(nativeCMSPLN)(env, nullptr, Id(), Str(2048, u"partner")); break;
      case 6: JFZ(nativeCMDEAL)(env, nullptr, Id()); break;
      case 7: JFZ(nativeWEQ_1CMCANCEL)(env, nullptr, Id(), in.Byte() % 3); break;
      case 8: JFZ(nativeCoxclose)(env, nullptr, Id(), 100000 + in.Byte(), in.Byte() & 1, in.Byte() & 1); break;
      case 9: JFZ(nativeCoxabort)(env, nullptr, Id(), 100000 + in.Byte(), in.Byte() & 1, in.Byte() & 1); break;
      case 10: JFZ(nativeSncMode)(env, nullptr, Id()); break;
      case 11: JFZ(nativeSncPartnerName)(env, nullptr, Id()); break;
      case 12: JFZ(nativeSncPartnerAclKey)(env, nullptr, Id(), Buf()); break;
      case 13: JFZ(WEQ_1CMPERR)(env, nullptr); break;
      case 14: JFZ(nativeCreateUUID)(env, nullptr, Buf()); break;
      case 15: JFZ(nativeCpicGetVersion)(env, nullptr, Ints(2)); break;
      case 16: {
        // Register natives whose handle array is missing or empty register
        // nothing; others would keep a registration beyond the input.
        jintArray h = in.Byte() & 1 ? nullptr : host.NewInts({});
        auto reg = in.Byte() & 1 ? JFZ(nativeWEQ_1CMREGTP2) : JFZ(nativeWEQ_1CMREGTP3);
        reg(env, nullptr, Str(2049, u"TP"), Str(2049, u"gw"), Str(33, u"3300"), h, Str(257, u"own"),
            Str(257, u"lib"), static_cast<jbyte>(in.Byte()), in.Byte() & 1);
        break;
      }
      case 17: JFZ(nativeWEQ_1CMGETNEXTHDL)(env, nullptr, in.Byte() & 1 ? nullptr : host.NewInts({})); break;
      case 18: JFZ(nativeWEQ_1CMACCPTP3)(env, nullptr, Id(), 100000 + in.Byte(), 5); break;
      default: JFZ(nativeWEQ_1CMSETPING)(env, nullptr, 0, in.Byte() & 1, -1 - in.Byte(), in.Byte()); break;
    }
    Check();
  }
};

}  // namespace

// NI with a small handle table before the layer starts it with its
// default of 2048: the unregister natives look their handle up by socket
// through the whole table, a sixth of the target's time at that size.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (ThrProcInit() != THR_ERR_OK || NiInit3(64) != WEQ_O_K) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cpicfuzz::SetUpOnce(false);
  Bytes in{data, size};
  g_gateway = cpicfuzz::Gateway();
  g_gateway.connectVersion = static_cast<uint8_t>(1 + in.Byte() % 6);
  g_gateway.acceptInfo = in.Byte();
  // The natives' part of the input first, then the gateway's.
  Bytes steps{in.p, std::min<size_t>(in.n, in.Byte() * 4u)};
  in.p += steps.n;
  in.n -= steps.n;
  while (in.n > 0) {
    uint8_t k = in.Byte();
    int hl = GwAppcHdrLen(g_gateway.connectVersion);
    switch (k % 4) {
      case 0: {
        // A header of the gateway's version with fuzzed return codes and data.
        std::string h = in.Take(static_cast<size_t>(hl));
        h.resize(static_cast<size_t>(hl), '\0');
        h[0] = static_cast<char>(g_gateway.connectVersion);
        g_gateway.events.emplace_back(0, h + in.Take(in.Be16() % 33000));
        break;
      }
      case 1: g_gateway.events.emplace_back(1, in.Take(in.Byte())); break;
      case 2: g_gateway.events.emplace_back(2, std::string()); break;
      default: g_gateway.events.emplace_back(3, std::string()); break;
    }
  }
  {
    JniHost host;
    Driver d{host, host.env(), steps, {}};
    for (int i = 0; i < 48 && steps.n > 0; ++i) d.Step();
    for (jbyteArray id : d.ids) {
      std::vector<uint8_t> b = host.Bytes(id);
      STDEAL(reinterpret_cast<const char*>(b.data()), nullptr);
    }
  }
  if (STIActiveConvs() != 0) abort();
  ErrClear();
  return 0;
}
