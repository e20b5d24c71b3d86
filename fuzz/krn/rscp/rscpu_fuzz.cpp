// Random bytes through the UTF-8 decoders, the encoders and the string
// adapters. Checked: positions stay inside their buffers, results are the
// documented kinds, a conversion stopped by a full destination goes on
// where it stopped and gives what one call with room gives, and what a
// decoder took from UTF-8 an encoder turns back into the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "krn/rscp/rscpu.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

bool IsKind(int rc) { return rc == 0 || rc == 32 || rc == 512 || rc == 2048; }

using Dec16 = int (*)(const WEQ_RAW**, const WEQ_RAW*, WEQ_UC**, WEQ_UC*, const WEQ_UC*, uint32_t*);
using Dec32 = int (*)(const WEQ_RAW**, const WEQ_RAW*, uint32_t**, uint32_t*, const uint32_t*, uint32_t*);
using Enc16 = int (*)(const WEQ_UC**, const WEQ_UC*, WEQ_RAW**, WEQ_RAW*);
using Enc32 = int (*)(const uint32_t**, const uint32_t*, WEQ_RAW**, WEQ_RAW*);

const Dec16 kDec16[] = {rscpu_U8_to_U6, rscpu_U8_to_U6_noctrl, rscpu_U8_to_U6sw,
                        rscpu_U8_to_U6sw_noctrl, rscpu_U8_to_U2, rscpu_U8_to_U2_noctrl,
                        rscpu_U8_to_U2sw, rscpu_U8_to_U2sw_noctrl};
const Dec32 kDec32[] = {rscpu_U8_to_U4, rscpu_U8_to_U4_noctrl, rscpu_U8_to_U4sw,
                        rscpu_U8_to_U4sw_noctrl};
const Enc16 kEnc16[] = {rscpu_U6_to_U8, rscpu_U6_to_U8_noctrl, rscpu_U6sw_to_U8,
                        rscpu_U6sw_to_U8_noctrl, rscpu_U2_to_U8, rscpu_U2_to_U8_noctrl,
                        rscpu_U2sw_to_U8, rscpu_U2sw_to_U8_noctrl};
const Enc32 kEnc32[] = {rscpu_U4_to_U8, rscpu_U4_to_U8_noctrl, rscpu_U4sw_to_U8,
                        rscpu_U4sw_to_U8_noctrl};

// Decodes all it can with a destination of `cap` units, again and again from
// where each call stopped while the destination was the reason; returns the
// units and the bytes taken.
template <class Unit, class Fn>
int DecodeInSteps(Fn fn, const uint8_t* in, size_t n, size_t cap, const Unit* subst,
                  std::vector<Unit>& out, size_t& taken) {
  const WEQ_RAW* s = in;
  int rc = 0;
  do {
    std::vector<Unit> buf(cap);
    Unit* d = buf.data();
    uint32_t count = 0;
    rc = fn(&s, in + n, &d, d + cap, subst, &count);
    Require(IsKind(rc) && s >= in && s <= in + n && d >= buf.data() && d <= buf.data() + cap);
    if (subst) Require(rc != 2048);
    out.insert(out.end(), buf.data(), d);
    if (rc == 0) Require(s == in + n);
  } while (rc == 32 && cap >= 2);
  taken = static_cast<size_t>(s - in);
  return rc;
}

template <class Unit, class Dec, class Enc>
void CheckDecoder(Dec dec, Enc enc, const uint8_t* in, size_t n, size_t cap, bool withSubst) {
  const Unit subst = 0xFFFD;
  std::vector<Unit> whole, steps;
  size_t takenWhole = 0, takenSteps = 0;
  int rcWhole = DecodeInSteps<Unit>(dec, in, n, n + 1, withSubst ? &subst : nullptr, whole, takenWhole);
  int rcSteps = DecodeInSteps<Unit>(dec, in, n, cap, withSubst ? &subst : nullptr, steps, takenSteps);
  Require(rcWhole != 32);
  if (cap >= 2) {
    Require(rcSteps == rcWhole && takenSteps == takenWhole && steps == whole);
  }
  // Back to UTF-8 (the same byte order as the decoder's output, no pairing
  // for UCS-2): without substitutions, the bytes taken come back.
  if (enc == nullptr || withSubst) return;
  std::vector<WEQ_RAW> back(takenWhole + 8);
  const Unit* s = whole.data();
  WEQ_RAW* d = back.data();
  int rc = enc(&s, whole.data() + whole.size(), &d, back.data() + back.size());
  Require(rc == 0 && static_cast<size_t>(d - back.data()) == takenWhole &&
          std::memcmp(back.data(), in, takenWhole) == 0);
}

void CheckAdapters(const uint8_t* in, size_t n) {
  std::vector<char> text(in, in + n);
  text.push_back(0);
  int size = static_cast<int>(n % 40);
  std::vector<WEQ_UC> u(static_cast<size_t>(size) + 1, 0x5A5A);
  int out = -1;
  int rc = Utf8sToUcs(u.data(), size, &out, text.data());
  Require(IsKind(rc) && rc != 2048);
  Require(u[static_cast<size_t>(size)] == 0x5A5A);
  if (size > 0) Require(out >= 0 && out < size && u[static_cast<size_t>(out)] == 0);
  std::vector<char> b(static_cast<size_t>(size) + 1, 'Z');
  rc = UcsToUtf8s(b.data(), size, &out, u.data());
  Require(IsKind(rc) && b[static_cast<size_t>(size)] == 'Z');
  if (size > 0) Require(out >= 0 && out < size && b[static_cast<size_t>(out)] == 0);
  std::vector<WEQ_UC> c(static_cast<size_t>(size) + 1, 0x5A5A);
  rc = Utf8nToUcsn(c.data(), size, &out, text.data(), static_cast<int>(n));
  Require(IsKind(rc) && rc != 2048 && c[static_cast<size_t>(size)] == 0x5A5A && out >= 0 && out <= size);
}

template <class Unit, class Enc>
void CheckEncoder(Enc enc, const uint8_t* in, size_t n, size_t cap) {
  std::vector<Unit> units(n / sizeof(Unit));
  if (!units.empty()) std::memcpy(units.data(), in, units.size() * sizeof(Unit));
  std::vector<WEQ_RAW> out(cap);
  const Unit* s = units.data();
  WEQ_RAW* d = out.data();
  int rc = enc(&s, units.data() + units.size(), &d, out.data() + cap);
  Require(IsKind(rc) && s >= units.data() && s <= units.data() + units.size() && d >= out.data() &&
          d <= out.data() + cap);
  if (rc == 0) Require(s == units.data() + units.size());
  // What was written is valid UTF-8 of the same number of characters.
  std::vector<uint32_t> back(static_cast<size_t>(d - out.data()));
  const WEQ_RAW* bs = out.data();
  uint32_t* bd = back.data();
  Require(rscpu_U8_to_U4(&bs, d, &bd, back.data() + back.size(), nullptr, nullptr) == 0);
}

// UCS-4 to UTF-16: one unit per value up to U+FFFF, a pair up to U+10FFFF,
// U+FFFD beyond; only a full destination stops it.
void CheckU4ToU6(const uint8_t* in, size_t n, size_t cap) {
  std::vector<uint32_t> units(n / 4);
  if (!units.empty()) std::memcpy(units.data(), in, units.size() * 4);
  std::vector<WEQ_UC> out(cap);
  const uint32_t* s = units.data();
  WEQ_UC* d = out.data();
  int rc = rscpu_U4_to_U6(&s, units.data() + units.size(), &d, out.data() + cap);
  Require((rc == 0 && s == units.data() + units.size()) || (rc == 32 && s < units.data() + units.size()));
  size_t k = 0;
  for (const uint32_t* p = units.data(); p < s; ++p) {
    uint32_t v = *p;
    if (v > 0xFFFF && v <= 0x10FFFF) {
      Require(out[k] == 0xD800 + ((v - 0x10000) >> 10) && out[k + 1] == 0xDC00 + ((v - 0x10000) & 0x3FF));
      k += 2;
    } else {
      Require(out[k++] == (v > 0x10FFFF ? 0xFFFD : v));
    }
  }
  Require(out.data() + k == d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t pick = data[0];
  size_t cap = data[1] % 24;
  const uint8_t* in = data + 2;
  size_t n = size - 2;
  bool withSubst = pick & 0x80;
  switch ((pick >> 4) & 3) {
    case 0: {
      size_t i = pick % std::size(kDec16);
      // UCS-2 decoders pair with the UCS-2 encoders of the same order;
      // UTF-16 ones would pair surrogates, which were single units in UTF-8.
      Enc16 enc = i >= 4 ? kEnc16[i] : nullptr;
      CheckDecoder<WEQ_UC>(kDec16[i], enc, in, n, cap, withSubst);
      break;
    }
    case 1: {
      size_t i = pick % std::size(kDec32);
      CheckDecoder<uint32_t>(kDec32[i], kEnc32[i], in, n, cap, withSubst);
      break;
    }
    case 2:
      CheckAdapters(in, n);
      break;
    default:
      if ((pick & 12) == 12)
        CheckU4ToU6(in, n, cap);
      else if (pick & 8)
        CheckEncoder<uint32_t>(kEnc32[pick & 3], in, n, cap);
      else
        CheckEncoder<WEQ_UC>(kEnc16[pick & 7], in, n, cap);
      break;
  }
  return 0;
}
