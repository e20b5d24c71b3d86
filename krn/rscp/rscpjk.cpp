// Japanese double-byte kernels: Shift-JIS, EUC-JP, 7-bit JIS, the printer
// forms 8200/8210/8211 and fixed two-byte JIS, converted arithmetically.
//
// Every kernel runs in an internal form that reports the bytes produced and
// consumed; the public functions adapt it to (out, &outlen, in, &inlen).
// Nothing reads past the input's end: a double-byte character whose second
// byte is missing is treated by the kernel's own rule for a byte that starts
// no pair, or left unconsumed where the kernel has no such rule.
#include <algorithm>
#include <array>
#include <cstring>

#include "krn/rscp/rscpdat_int.h"
#include "krn/rscp/rscpu.h"

namespace {

using rscpdat::Jk;
using rscpdat::JkResult;

constexpr int kFull = RSCPETOOLONG;
constexpr uint8_t kEsc = 0x1B;

bool LeadFull(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF); }
bool LeadL1(uint8_t b) { return b >= 0x81 && b <= 0x9F; }
bool Trail(uint8_t b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }
bool Kana(uint8_t b) { return b >= 0xA1 && b <= 0xDF; }
bool EucByte(uint8_t b) { return b >= 0xA1 && b <= 0xFE; }

// A lead byte of the given range at in[i] with a valid trail behind it.
template <bool kL1>
bool SjisPairAt(const uint8_t* in, int32_t i, int32_t inlen) {
  return (kL1 ? LeadL1(in[i]) : LeadFull(in[i])) && i + 1 < inlen && Trail(in[i + 1]);
}

// A two-byte EUC unit at in[i]: 0x8E or 0xA1 and above, then 0xA1-0xFE.
bool EucUnitAt(const uint8_t* in, int32_t i, int32_t inlen) {
  return (in[i] == 0x8E || in[i] >= 0xA1) && i + 1 < inlen && EucByte(in[i + 1]);
}

// Byte arithmetic modulo 256, as the published forms define it.
void SjisToJis(uint8_t s1, uint8_t s2, uint8_t* j1, uint8_t* j2) {
  *j1 = uint8_t(2 * (s1 - (s1 < 0xA0 ? 0x70 : 0xB0)) - (s2 < 0x9F ? 1 : 0));
  *j2 = uint8_t(s2 >= 0x9F ? s2 - 0x7E : s2 <= 0x7F ? s2 - 0x1F : s2 - 0x20);
}

void JisToSjis(uint8_t j1, uint8_t j2, bool only70, uint8_t* s1, uint8_t* s2) {
  *s1 = uint8_t(((j1 + 1) >> 1) + (only70 || j1 < 0x5F ? 0x70 : 0xB0));
  *s2 = uint8_t((j1 & 1) == 0 ? j2 + 0x7E : j2 < 0x60 ? j2 + 0x1F : j2 + 0x20);
}

// The output side of one call.
struct Sink {
  uint8_t* p;
  int32_t cap;
  int32_t n = 0;
  bool Room(int32_t k) const { return cap - n >= k; }
  void Put(uint8_t b) { p[n++] = b; }
  void Put(uint8_t a, uint8_t b) {
    p[n++] = a;
    p[n++] = b;
  }
  void Put(const uint8_t* s, int32_t k) {
    std::memcpy(p + n, s, size_t(k));
    n += k;
  }
};

constexpr uint8_t kJisIn[] = {kEsc, '$', 'B'};
constexpr uint8_t kJisOut[] = {kEsc, '(', 'J'};

JkResult SjisToEuc(uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen) {
  // Output may overwrite the input: read from a private copy of its start.
  uint8_t copy[256];
  if (out == in && inlen > 0) {
    inlen = std::min<int32_t>(inlen, sizeof copy);
    std::memcpy(copy, in, size_t(inlen));
    in = copy;
  }
  if (cap <= 0) return {kFull, 0, 0, true};
  Sink o{out, cap};
  int32_t i = 0;
  while (i < inlen && o.n < cap) {
    const uint8_t b = in[i];
    if (SjisPairAt<false>(in, i, inlen)) {
      if (!o.Room(2)) return {kFull, o.n, i, true};
      uint8_t j1, j2;
      SjisToJis(b, in[i + 1], &j1, &j2);
      o.Put(uint8_t(j1 + 0x80), uint8_t(j2 + 0x80));
      i += 2;
    } else if (Kana(b)) {
      if (!o.Room(2)) return {kFull, o.n, i, true};
      o.Put(0x8E, b);
      // A katakana byte that is the first of the last two ends the call;
      // the byte behind it stays unconsumed for the caller's next call.
      const bool firstOfLastTwo = inlen - i == 2;
      ++i;
      if (firstOfLastTwo) break;
    } else {
      o.Put(b);
      ++i;
    }
  }
  return {WEQ_O_K, o.n, i, false};
}

JkResult SjisL1ToEuc(uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen) {
  if (cap <= 0) return {kFull, 0, 0, true};
  Sink o{out, cap};
  int32_t i = 0;
  while (i < inlen && o.n < cap) {
    if (!SjisPairAt<true>(in, i, inlen)) return {RSCPENOCONV, o.n, i, false};
    if (!o.Room(2)) return {kFull, o.n, i, true};
    uint8_t j1, j2;
    SjisToJis(in[i], in[i + 1], &j1, &j2);
    o.Put(uint8_t(j1 + 0x80), uint8_t(j2 + 0x80));
    i += 2;
  }
  return {WEQ_O_K, o.n, i, false};
}

// Tables for the hot loops: the Shift-JIS lead byte of each JIS row byte,
// and the trail byte of each EUC second byte after an odd or an even row
// (0 where the second byte is none).
struct EucTables {
  std::array<uint8_t, 256> lead{}, trailOdd{}, trailEven{};
  constexpr EucTables() {
    for (int j = 0; j < 256; ++j) lead[size_t(j)] = uint8_t(((j + 1) >> 1) + (j < 0x5F ? 0x70 : 0xB0));
    for (int e = 0xA1; e <= 0xFE; ++e) {
      const int j2 = e - 0x80;
      trailOdd[size_t(e)] = uint8_t(j2 < 0x60 ? j2 + 0x1F : j2 + 0x20);
      trailEven[size_t(e)] = uint8_t(j2 + 0x7E);
    }
  }
};
constexpr EucTables kEuc;

JkResult EucToSjis(uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen) {
  const uint8_t* p = in;
  const uint8_t* const end = in + inlen;
  uint8_t* o = out;
  uint8_t* const oend = out + std::max<int32_t>(cap, 0);
  while (p < end && o < oend) {
    const uint8_t b = *p;
    if (b >= 0xA1 && p + 1 < end) {
      const uint8_t j1 = uint8_t(b - 0x80);
      const uint8_t t = (j1 & 1 ? kEuc.trailOdd : kEuc.trailEven)[p[1]];
      if (t) {
        if (oend - o < 2) return {kFull, int32_t(o - out), int32_t(p - in), true};
        o[0] = kEuc.lead[j1];
        o[1] = t;
        o += 2;
        p += 2;
        continue;
      }
    } else if (b == 0x8E && p + 1 < end && EucByte(p[1])) {
      *o++ = p[1];
      p += 2;
      continue;
    }
    *o++ = b;
    ++p;
  }
  return {WEQ_O_K, int32_t(o - out), int32_t(p - in), false};
}

enum class JisTarget { kSjis, kSjisL1, kEuc };

// 7-bit JIS in, starting in the mode *db (double-byte or not) and leaving
// there the mode the input ends in; the public kernels start single-byte
// on every call. Designations produce nothing and are taken even when the
// output is full, so that a text ending in ESC ( B fits an output of
// exactly its converted size. With cutEscapes an escape sequence that the
// input cuts is left unconsumed, as a pair is.
template <JisTarget kT>
JkResult JisRead(uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen, bool* mode = nullptr,
                 bool cutEscapes = false) {
  Sink o{out, cap};
  bool db = mode != nullptr && *mode;
  int32_t i = 0;
  const auto done = [&](int rc, bool keep) {
    if (mode != nullptr) *mode = db;
    return JkResult{rc, o.n, i, keep};
  };
  while (i < inlen) {
    const uint8_t b = in[i];
    if (cutEscapes && b == kEsc && inlen - i < 3 &&
        (inlen - i == 1 || in[i + 1] == '$' || in[i + 1] == '(')) {
      break;
    }
    if (b == kEsc && inlen - i >= 3) {
      if (in[i + 1] == '$' && in[i + 2] == 'B') {
        db = true;
        i += 3;
        continue;
      }
      if (in[i + 1] == '(' && (in[i + 2] == 'J' || in[i + 2] == 'B')) {
        db = false;
        i += 3;
        continue;
      }
    }
    if (o.n >= cap) return done(kFull, false);
    if (b < 0x20) {
      o.Put(b);
      ++i;
    } else if (db) {
      if (i + 1 >= inlen) break;  // the pair's second byte is still to come
      if (!o.Room(2)) return done(kFull, true);
      const uint8_t j2 = in[i + 1];
      if constexpr (kT == JisTarget::kEuc) {
        o.Put(uint8_t(b + 0x80), uint8_t(j2 + 0x80));
      } else {
        uint8_t s1, s2;
        JisToSjis(b, j2, kT == JisTarget::kSjisL1, &s1, &s2);
        o.Put(s1, s2);
      }
      i += 2;
    } else if (kT == JisTarget::kEuc && Kana(b)) {
      if (!o.Room(2)) return done(kFull, true);
      o.Put(0x8E, b);
      ++i;
    } else {
      o.Put(b);
      ++i;
    }
  }
  return done(WEQ_O_K, false);
}

// A writer that wraps double-byte runs in DB-in and DB-out sequences. Mode
// 0 (none yet), 1 single-byte, 2 double-byte. Pieces go out whole: a
// sequence and the character behind it fit together or not at all.
struct ShiftForm {
  const uint8_t* dbIn;
  int32_t dbInLen;
  const uint8_t* dbOut;
  int32_t dbOutLen;
  int startMode;
};

template <bool kL1>
JkResult SjisToShifted(const ShiftForm& f, uint8_t* out, int32_t cap, const uint8_t* in,
                       int32_t inlen) {
  if (cap <= 0) return {kFull, 0, 0, true};
  Sink o{out, cap};
  int mode = f.startMode;
  int32_t i = 0;
  while (i < inlen && o.n < cap) {
    if (SjisPairAt<kL1>(in, i, inlen)) {
      if (!o.Room((mode != 2 ? f.dbInLen : 0) + 2)) return {kFull, o.n, i, true};
      if (mode != 2) o.Put(f.dbIn, f.dbInLen);
      mode = 2;
      uint8_t j1, j2;
      SjisToJis(in[i], in[i + 1], &j1, &j2);
      o.Put(j1, j2);
      i += 2;
    } else {
      if (!o.Room((mode != 1 ? f.dbOutLen : 0) + 1)) return {kFull, o.n, i, true};
      if (mode != 1) o.Put(f.dbOut, f.dbOutLen);
      mode = 1;
      o.Put(in[i]);
      ++i;
    }
  }
  if (mode == 2) {
    if (!o.Room(f.dbOutLen)) return {kFull, o.n, i, true};
    o.Put(f.dbOut, f.dbOutLen);
  }
  return {WEQ_O_K, o.n, i, false};
}

JkResult EucToJis(uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen) {
  static constexpr ShiftForm kForm{kJisIn, 3, kJisOut, 3, 0};
  if (cap <= 0) return {kFull, 0, 0, true};
  Sink o{out, cap};
  int mode = 0;
  int32_t i = 0;
  while (i < inlen && o.n < cap) {
    const uint8_t b = in[i];
    const bool unit = EucUnitAt(in, i, inlen);
    if (unit && b != 0x8E) {
      if (!o.Room((mode != 2 ? kForm.dbInLen : 0) + 2)) return {kFull, o.n, i, true};
      if (mode != 2) o.Put(kForm.dbIn, kForm.dbInLen);
      mode = 2;
      o.Put(uint8_t(b - 0x80), uint8_t(in[i + 1] - 0x80));
      i += 2;
    } else {
      if (!o.Room((mode != 1 ? kForm.dbOutLen : 0) + 1)) return {kFull, o.n, i, true};
      if (mode != 1) o.Put(kForm.dbOut, kForm.dbOutLen);
      mode = 1;
      o.Put(unit ? in[i + 1] : b);  // 8-bit katakana keeps its byte
      i += unit ? 2 : 1;
    }
  }
  if (mode == 2) {
    if (!o.Room(kForm.dbOutLen)) return {kFull, o.n, i, true};
    o.Put(kForm.dbOut, kForm.dbOutLen);
  }
  return {WEQ_O_K, o.n, i, false};
}

template <bool kL1>
JkResult SjisToJis16(uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen) {
  Sink o{out, cap};
  int32_t i = 0;
  while (i < inlen) {
    const uint8_t b = in[i];
    const bool lead = kL1 ? SjisPairAt<true>(in, i, inlen) : b > 0x7F && !Kana(b);
    if (lead && i + 1 >= inlen) break;  // the pair's second byte is still to come
    if (!o.Room(2)) return {kFull, o.n, i, false};
    if (lead) {
      uint8_t j1, j2;
      SjisToJis(b, in[i + 1], &j1, &j2);
      o.Put(j1, j2);
      i += 2;
    } else {
      o.Put(0x00, b);
      ++i;
    }
  }
  return {WEQ_O_K, o.n, i, false};
}

constexpr uint8_t kFsIn[] = {0x1C, '&'};
constexpr uint8_t kFsOut[] = {0x1C, '.'};
constexpr uint8_t kGsIn[] = {0x1D, '1', ';', '1', 's', 'm', 'M'};
constexpr uint8_t kGsOut[] = {0x1D, '0', ';', '1', 's', 'm', 'M'};
constexpr ShiftForm k8200{kJisIn, 3, kJisOut, 3, 0};
constexpr ShiftForm k8210{kFsIn, 2, kFsOut, 2, 1};
constexpr ShiftForm k8211{kGsIn, 7, kGsOut, 7, 1};

// The adapter: outlen receives the bytes produced unless a full output
// leaves it at its entry value.
int Finish(const JkResult& r, int32_t* outlen) {
  if (!(r.rc == kFull && r.keep)) *outlen = r.produced;
  return r.rc;
}

template <Jk kK>
int Public(uint8_t* out, int32_t* outlen, const uint8_t* in, int32_t* inlen) {
  if (!outlen || !inlen || (!out && *outlen > 0) || (!in && *inlen > 0)) return RSCPEINVAL;
  const JkResult r = rscpdat::JkRun(kK, out, *outlen, in, std::max<int32_t>(*inlen, 0));
  if constexpr (kK == Jk::kSjisToEuc) *inlen = r.consumed;
  return Finish(r, outlen);
}

}  // namespace

namespace rscpdat {

JkResult JkRun(Jk k, uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen) {
  if (inlen < 0) inlen = 0;
  switch (k) {
    case Jk::kSjisToEuc: return SjisToEuc(out, cap, in, inlen);
    case Jk::kSjisL1ToEuc: return SjisL1ToEuc(out, cap, in, inlen);
    case Jk::kEucToSjis: return EucToSjis(out, cap, in, inlen);
    case Jk::kJisToSjis: return JisRead<JisTarget::kSjis>(out, cap, in, inlen);
    case Jk::kJisToSjisL1: return JisRead<JisTarget::kSjisL1>(out, cap, in, inlen);
    case Jk::kJisToEuc: return JisRead<JisTarget::kEuc>(out, cap, in, inlen);
    case Jk::kEucToJis: return EucToJis(out, cap, in, inlen);
    case Jk::kSjisTo8200: return SjisToShifted<false>(k8200, out, cap, in, inlen);
    case Jk::kSjisL1To8200: return SjisToShifted<true>(k8200, out, cap, in, inlen);
    case Jk::kSjisTo8210: return SjisToShifted<false>(k8210, out, cap, in, inlen);
    case Jk::kSjisL1To8210: return SjisToShifted<true>(k8210, out, cap, in, inlen);
    case Jk::kSjisTo8211: return SjisToShifted<false>(k8211, out, cap, in, inlen);
    case Jk::kSjisL1To8211: return SjisToShifted<true>(k8211, out, cap, in, inlen);
    case Jk::kSjisToJis16: return SjisToJis16<false>(out, cap, in, inlen);
    case Jk::kSjisL1ToJis16: return SjisToJis16<true>(out, cap, in, inlen);
  }
  return {RSCPENOCONV, 0, 0, false};
}

JkResult JkRunJis(Jk k, uint8_t* out, int32_t cap, const uint8_t* in, int32_t inlen, bool* db) {
  if (inlen < 0) inlen = 0;
  switch (k) {
    case Jk::kJisToSjis: return JisRead<JisTarget::kSjis>(out, cap, in, inlen, db, true);
    case Jk::kJisToSjisL1: return JisRead<JisTarget::kSjisL1>(out, cap, in, inlen, db, true);
    case Jk::kJisToEuc: return JisRead<JisTarget::kEuc>(out, cap, in, inlen, db, true);
    default: return JkRun(k, out, cap, in, inlen);
  }
}

JkFunc JkPublic(Jk k) {
  static constexpr JkFunc kTable[kJkCount] = {
      rscpSjisToEuc,    rscpSjisL1ToEuc,  rscpEucToSjis,    rscpJisToSjis,  rscpJisToSjisL1,
      rscpJisToEuc,     rscpEucToJis,     rscpSjisTo8200,   rscpSjisL1To8200, rscpSjisTo8210,
      rscpSjisL1To8210, rscpSjisTo8211,   rscpSjisL1To8211, rscpSjisToJis16,  rscpSjisL1ToJis16};
  return kTable[int(k)];
}

}  // namespace rscpdat

void rscpSjisPairToJis(uint8_t* b1, uint8_t* b2) { SjisToJis(*b1, *b2, b1, b2); }

void rscpEucPairToSjis(uint8_t* b1, uint8_t* b2) {
  JisToSjis(uint8_t(*b1 - 0x80), uint8_t(*b2 - 0x80), true, b1, b2);
}

rscpRc_t rscpSjisToEuc(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisToEuc>(o, ol, i, il);
}
rscpRc_t rscpSjisL1ToEuc(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisL1ToEuc>(o, ol, i, il);
}
rscpRc_t rscpEucToSjis(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kEucToSjis>(o, ol, i, il);
}
rscpRc_t rscpJisToSjis(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kJisToSjis>(o, ol, i, il);
}
rscpRc_t rscpJisToSjisL1(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kJisToSjisL1>(o, ol, i, il);
}
rscpRc_t rscpJisToEuc(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kJisToEuc>(o, ol, i, il);
}
rscpRc_t rscpEucToJis(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kEucToJis>(o, ol, i, il);
}
rscpRc_t rscpSjisTo8200(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisTo8200>(o, ol, i, il);
}
rscpRc_t rscpSjisL1To8200(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisL1To8200>(o, ol, i, il);
}
rscpRc_t rscpSjisTo8210(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisTo8210>(o, ol, i, il);
}
rscpRc_t rscpSjisL1To8210(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisL1To8210>(o, ol, i, il);
}
rscpRc_t rscpSjisTo8211(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisTo8211>(o, ol, i, il);
}
rscpRc_t rscpSjisL1To8211(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisL1To8211>(o, ol, i, il);
}
rscpRc_t rscpSjisToJis16(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisToJis16>(o, ol, i, il);
}
rscpRc_t rscpSjisL1ToJis16(uint8_t* o, int32_t* ol, const uint8_t* i, int32_t* il) {
  return Public<Jk::kSjisL1ToJis16>(o, ol, i, il);
}

int rscpEucCharLen(const uint8_t* b, int32_t available) {
  if (available < 1) return 0;
  if (b[0] < 0xA1 && b[0] != 0x8E) return 1;
  if (available == 1) return 0;
  return EucByte(b[1]) ? 2 : 1;
}

int rscpJisCharLen(const uint8_t* b, int32_t available) {
  if (available < 1) return 0;
  if (b[0] >= 0x20) return 1;
  if (available < 3) return 0;
  if (b[1] == '(' && b[2] == 'J') return 3;
  if (b[1] != '$' || b[2] != 'B') return 0;
  // Measure the double-byte run behind ESC $ B: escapes count 3, pairs 2.
  int32_t pos = 3;
  while (pos < available) {
    if (b[pos] < 0x20 && pos + 1 < available && (b[pos + 1] == '$' || b[pos + 1] == '(')) {
      const bool end = b[pos + 1] == '(' && pos + 2 < available && b[pos + 2] == 'J';
      pos += 3;
      if (end) break;
    } else {
      pos += 2;
    }
  }
  return pos;
}
