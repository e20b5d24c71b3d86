#include "rscpu_harness.h"

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace rscputest {

namespace {

using AnyFn = void (*)();
template <class F>
AnyFn Erase(F f) {
  return reinterpret_cast<AnyFn>(f);
}

// Where the calling thread's runs collect hook calls.
thread_local std::vector<HookCall>* gCalls = nullptr;
std::atomic<int> gOffset{0};

}  // namespace

int RecordingHook(int kind, WEQ_UC cls, int mask, const WEQ_UC* module, int location, int line,
             const WEQ_UC* text, const WEQ_UC* code, const WEQ_UC* p1, int l1, const WEQ_UC* p2,
             int l2) {
  if (gCalls != nullptr)
    gCalls->push_back({kind, cls, mask, module, location, line, text,
                       code == nullptr && p1 == nullptr && p2 == nullptr && l1 == 0 && l2 == 0});
  return kind + gOffset.load(std::memory_order_relaxed);
}

namespace {

constexpr uint8_t kCanary = 0xA5;
constexpr size_t kCanaryUnits = 4;

template <class In, class Out, class Call>
int CallTyped(uint8_t* in, size_t inBytes, uint8_t* out, size_t cap, Result& r, Call call) {
  const In* s = reinterpret_cast<const In*>(in);
  Out* d = reinterpret_cast<Out*>(out);
  int rc = call(&s, s + inBytes / sizeof(In), &d, d + cap, &r.count);
  r.consumed = static_cast<size_t>(s - reinterpret_cast<const In*>(in));
  r.out.assign(out, reinterpret_cast<uint8_t*>(d));
  return rc;
}

template <class In>
int RunEncoder(const Conv& c, uint8_t* in, size_t n, uint8_t* out, size_t cap, Result& r) {
  auto fn = reinterpret_cast<int (*)(const In**, const In*, WEQ_RAW**, WEQ_RAW*)>(c.fn);
  return CallTyped<In, WEQ_RAW>(in, n, out, cap, r,
                                [fn](const In** s, const In* se, WEQ_RAW** d, WEQ_RAW* de,
                                     uint32_t*) { return fn(s, se, d, de); });
}

template <class Out>
int RunDecoder(const Conv& c, uint8_t* in, size_t n, uint8_t* out, size_t cap, Result& r,
               std::optional<uint32_t> subst) {
  auto fn = reinterpret_cast<int (*)(const WEQ_RAW**, const WEQ_RAW*, Out**, Out*, const Out*,
                                     uint32_t*)>(c.fn);
  Out sub = static_cast<Out>(subst.value_or(0));
  const Out* sp = subst ? &sub : nullptr;
  return CallTyped<WEQ_RAW, Out>(in, n, out, cap, r,
                                 [fn, sp](const WEQ_RAW** s, const WEQ_RAW* se, Out** d, Out* de,
                                          uint32_t* count) { return fn(s, se, d, de, sp, count); });
}

std::vector<Conv> MakeAll() {
  auto enc = [](const char* name, Fam f, bool sw, bool nc, const char* mod, AnyFn fn) {
    return Conv{name, false, false, f, sw, nc, mod, fn};
  };
  auto dec = [](const char* name, Fam f, bool sw, bool nc, const char* mod, AnyFn fn) {
    return Conv{name, true, false, f, sw, nc, mod, fn};
  };
  return {
      enc("U6_to_U8", Fam::kU6, false, false, "rscpu86r", Erase(rscpu_U6_to_U8)),
      enc("U6_to_U8_noctrl", Fam::kU6, false, true, "rscpu86r", Erase(rscpu_U6_to_U8_noctrl)),
      enc("U6sw_to_U8", Fam::kU6, true, false, "rscpu86w", Erase(rscpu_U6sw_to_U8)),
      enc("U6sw_to_U8_noctrl", Fam::kU6, true, true, "rscpu86w", Erase(rscpu_U6sw_to_U8_noctrl)),
      enc("U4_to_U8", Fam::kU4, false, false, "rscpu84r", Erase(rscpu_U4_to_U8)),
      enc("U4_to_U8_noctrl", Fam::kU4, false, true, "rscpu84r", Erase(rscpu_U4_to_U8_noctrl)),
      enc("U4sw_to_U8", Fam::kU4, true, false, "rscpu84w", Erase(rscpu_U4sw_to_U8)),
      enc("U4sw_to_U8_noctrl", Fam::kU4, true, true, "rscpu84w", Erase(rscpu_U4sw_to_U8_noctrl)),
      enc("U2_to_U8", Fam::kU2, false, false, "rscpu82r", Erase(rscpu_U2_to_U8)),
      enc("U2_to_U8_noctrl", Fam::kU2, false, true, "rscpu82r", Erase(rscpu_U2_to_U8_noctrl)),
      enc("U2sw_to_U8", Fam::kU2, true, false, "rscpu82w", Erase(rscpu_U2sw_to_U8)),
      enc("U2sw_to_U8_noctrl", Fam::kU2, true, true, "rscpu82w", Erase(rscpu_U2sw_to_U8_noctrl)),
      dec("U8_to_U6", Fam::kU6, false, false, "rscpu86r", Erase(rscpu_U8_to_U6)),
      dec("U8_to_U6_noctrl", Fam::kU6, false, true, "rscpu86r", Erase(rscpu_U8_to_U6_noctrl)),
      dec("U8_to_U6sw", Fam::kU6, true, false, "rscpu86w", Erase(rscpu_U8_to_U6sw)),
      dec("U8_to_U6sw_noctrl", Fam::kU6, true, true, "rscpu86w", Erase(rscpu_U8_to_U6sw_noctrl)),
      dec("U8_to_U4", Fam::kU4, false, false, "rscpu84r", Erase(rscpu_U8_to_U4)),
      dec("U8_to_U4_noctrl", Fam::kU4, false, true, "rscpu84r", Erase(rscpu_U8_to_U4_noctrl)),
      dec("U8_to_U4sw", Fam::kU4, true, false, "rscpu84w", Erase(rscpu_U8_to_U4sw)),
      dec("U8_to_U4sw_noctrl", Fam::kU4, true, true, "rscpu84w", Erase(rscpu_U8_to_U4sw_noctrl)),
      dec("U8_to_U2", Fam::kU2, false, false, "rscpu82r", Erase(rscpu_U8_to_U2)),
      dec("U8_to_U2_noctrl", Fam::kU2, false, true, "rscpu82r", Erase(rscpu_U8_to_U2_noctrl)),
      dec("U8_to_U2sw", Fam::kU2, true, false, "rscpu82w", Erase(rscpu_U8_to_U2sw)),
      dec("U8_to_U2sw_noctrl", Fam::kU2, true, true, "rscpu82w", Erase(rscpu_U8_to_U2sw_noctrl)),
      Conv{"U4_to_U6", false, true, Fam::kU4, false, false, "rscpu46r", Erase(rscpu_U4_to_U6)},
  };
}

}  // namespace

void PrintTo(const Conv& c, std::ostream* os) { *os << c.name; }

const std::vector<Conv>& AllConvs() {
  static const std::vector<Conv> all = MakeAll();
  return all;
}

std::vector<Conv> Decoders() {
  std::vector<Conv> v;
  for (const Conv& c : AllConvs())
    if (c.decoder) v.push_back(c);
  return v;
}

std::vector<Conv> Encoders() {
  std::vector<Conv> v;
  for (const Conv& c : AllConvs())
    if (!c.decoder && !c.u4ToU6) v.push_back(c);
  return v;
}

const Conv& ByName(const std::string& name) {
  for (const Conv& c : AllConvs())
    if (name == c.name) return c;
  throw std::invalid_argument("no converter " + name);
}

Runner::Runner(const Conv& conv, size_t inBytes, size_t capUnits)
    : conv_(conv), inBytes_(inBytes), cap_(capUnits) {
  if (inBytes % static_cast<size_t>(conv.unitIn()) != 0)
    throw std::invalid_argument("partial input unit");
  in_ = new uint8_t[inBytes];
  out_ = new uint8_t[(capUnits + kCanaryUnits) * static_cast<size_t>(conv.unitOut())];
}

Runner::~Runner() {
  delete[] in_;
  delete[] out_;
}

const Result& Runner::Run(const uint8_t* in, std::optional<uint32_t> subst) {
  Result& r = result_;
  r.calls.clear();
  r.count = 0;
  if (inBytes_) std::memcpy(in_, in, inBytes_);
  size_t outBytes = (cap_ + kCanaryUnits) * static_cast<size_t>(conv_.unitOut());
  std::memset(out_, kCanary, outBytes);
  std::vector<HookCall>* saved = gCalls;
  gCalls = &r.calls;
  const Conv& c = conv_;
  if (c.u4ToU6) {
    auto fn = reinterpret_cast<int (*)(const uint32_t**, const uint32_t*, WEQ_UC**, WEQ_UC*)>(c.fn);
    r.rc = CallTyped<uint32_t, WEQ_UC>(in_, inBytes_, out_, cap_, r,
                                       [fn](const uint32_t** s, const uint32_t* se, WEQ_UC** d,
                                            WEQ_UC* de, uint32_t*) { return fn(s, se, d, de); });
  } else if (!c.decoder) {
    r.rc = c.fam == Fam::kU4 ? RunEncoder<uint32_t>(c, in_, inBytes_, out_, cap_, r)
                             : RunEncoder<WEQ_UC>(c, in_, inBytes_, out_, cap_, r);
  } else {
    r.rc = c.fam == Fam::kU4 ? RunDecoder<uint32_t>(c, in_, inBytes_, out_, cap_, r, subst)
                             : RunDecoder<WEQ_UC>(c, in_, inBytes_, out_, cap_, r, subst);
  }
  gCalls = saved;
  r.canaryIntact = r.out.size() <= cap_ * static_cast<size_t>(c.unitOut());
  for (size_t i = cap_ * static_cast<size_t>(c.unitOut()); i < outBytes; ++i)
    if (out_[i] != kCanary) r.canaryIntact = false;
  return r;
}

Result Convert(const Conv& c, const Bytes& in, size_t cap, std::optional<uint32_t> subst) {
  Runner runner(c, in.size(), cap);
  return runner.Run(in.data(), subst);
}

HookScope::HookScope(int offset) {
  gOffset = offset;
  rscpuSetErrorFunc(RecordingHook);
}

HookScope::~HookScope() {
  rscpuSetErrorFunc(nullptr);
  gOffset = 0;
}

std::string ModuleName(std::u16string_view text) {
  std::string t(text.begin(), text.end());
  size_t i = t.find_first_not_of(' ');
  if (i != std::string::npos && t.compare(i, 4, "@(#)") == 0) i = t.find_first_not_of(' ', i + 4);
  if (i != std::string::npos && t.compare(i, 4, "$Id:") == 0) i += 4;
  t = i == std::string::npos ? "" : t.substr(i);
  size_t slash = t.rfind('/');
  if (slash != std::string::npos) t = t.substr(slash + 1);
  t = t.substr(0, t.find_first_of(". #\t"));
  return t.substr(0, 8);
}

Bytes UnitsToBytes(const std::vector<uint32_t>& units, int size, bool swapped) {
  Bytes b;
  for (uint32_t u : units) {
    for (int i = 0; i < size; ++i) {
      // Native is little-endian on this platform.
      int shift = swapped ? 8 * (size - 1 - i) : 8 * i;
      b.push_back(static_cast<uint8_t>(u >> shift));
    }
  }
  return b;
}

std::vector<uint32_t> BytesToUnits(const Bytes& b, int size, bool swapped) {
  std::vector<uint32_t> units;
  for (size_t k = 0; k + static_cast<size_t>(size) <= b.size(); k += static_cast<size_t>(size)) {
    uint32_t u = 0;
    for (int i = 0; i < size; ++i) {
      int shift = swapped ? 8 * (size - 1 - i) : 8 * i;
      u |= static_cast<uint32_t>(b[k + static_cast<size_t>(i)]) << shift;
    }
    units.push_back(u);
  }
  return units;
}

std::string Hex(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t x : b) {
    if (!s.empty()) s += ' ';
    s += digits[x >> 4];
    s += digits[x & 15];
  }
  return s;
}

}  // namespace rscputest
