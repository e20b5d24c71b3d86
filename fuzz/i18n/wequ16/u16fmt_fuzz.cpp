// Random formats and typed arguments into bounded buffers of every size
// from 0 up: nothing is written outside the buffer (the sanitizers see the
// exact block), the terminator is inside it, a cut is reported, and the
// text at each size is the start of the text in a roomy buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/input.h"
#include "fuzz/quiet.h"
#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16fmt_int.h"

namespace {

constexpr char16_t kAlphabet[] = u"%%%%%-+ #0123456789.*hlLjztI64diuxXocspnfFeEgGaAS ab\u00e9\U0001F600";
constexpr size_t kAlphabetLen = sizeof kAlphabet / sizeof kAlphabet[0] - 1;

using tovfuzz::Input;

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (tovfuzz::Quiet(), true);  // the report of each bad format
  (void)quiet;
  Input in{data, size};
  uint8_t mode = in.Byte();
  U16ReportLevel = (mode & 1) ? 4 : 0;
  U16FmtISetStrictArgs(mode & 2);

  // The format: units from an alphabet of format characters, or raw units.
  std::vector<WEQ_UC> format;
  for (size_t i = 0, len = in.Byte() % 48; i < len; ++i) {
    uint8_t b = in.Byte();
    format.push_back(b < 200 ? kAlphabet[b % kAlphabetLen] : static_cast<WEQ_UC>(0xD800 + b));
  }
  format.push_back(0);

  // Up to eight arguments of random kinds.
  static const WEQ_UC kText[] = u"text \u00e9\U0001F600 and more text";
  int target = 0;
  U16FmtArg args[8];
  size_t nargs = in.Byte() % 9;
  for (size_t i = 0; i < nargs; ++i) {
    uint8_t k = in.Byte();
    int64_t v = 0;
    for (int j = 0; j < 8; ++j) v = (v << 8) | in.Byte();
    switch (k % 9) {
      case 0: args[i] = U16FmtMakeArg(static_cast<int32_t>(v)); break;
      case 1: args[i] = U16FmtMakeArg(static_cast<uint32_t>(v)); break;
      case 2: args[i] = U16FmtMakeArg(v); break;
      case 3: args[i] = U16FmtMakeArg(static_cast<uint64_t>(v)); break;
      case 4: {
        double d;
        std::memcpy(&d, &v, sizeof d);
        args[i] = U16FmtMakeArg(d);
        break;
      }
      case 5: args[i] = U16FmtMakeArg(kText + (static_cast<uint64_t>(v) % 20)); break;
      case 6: args[i] = U16FmtMakeArg(&target); break;
      case 7: args[i] = U16FmtMakeArg(nullptr); break;
      default: args[i] = U16FmtMakeArg(static_cast<const void*>(kText)); break;
    }
  }
  U16FmtArgs list{args, nargs};

  // The reference: a roomy buffer; skipped when even that is cut.
  constexpr size_t kRoomy = 4096;
  std::unique_ptr<WEQ_UC[]> full(new WEQ_UC[kRoomy]);
  int flen = vsnprintfTruncU16(full.get(), kRoomy, format.data(), list);
  bool reference = flen >= 0 && static_cast<size_t>(flen) < kRoomy;

  size_t sizes[] = {0, 1, 2, 3, static_cast<size_t>(in.Byte() % 64), static_cast<size_t>(in.Byte())};
  for (size_t n : sizes) {
    std::unique_ptr<WEQ_UC[]> buf(new WEQ_UC[n ? n : 1]);
    size_t sz = n;
    int core = vsnprintfU16(nullptr, buf.get(), &sz, format.data(), list);
    if (n == 0) {
      Check(core == 0);
      continue;
    }
    if (core >= 0) {
      Check(static_cast<size_t>(core) < n && buf[core] == 0);
      if (reference) {
        Check(std::memcmp(buf.get(), full.get(), core * sizeof(WEQ_UC)) == 0);
        Check(static_cast<size_t>(core) == (static_cast<size_t>(flen) < n ? flen : n - 1));
      }
    }
    int fit = vsnprintfFitU16(buf.get(), n, format.data(), list);
    Check(fit == -1 || (static_cast<size_t>(fit) < n && buf[fit] == 0));
    if (fit == -1) Check(buf[0] == 0);
    if (reference) Check(fit == (static_cast<size_t>(flen) < n ? flen : -1));
    int trunc = vsnprintfTruncU16(buf.get(), n, format.data(), list);
    Check(trunc >= -1 && trunc <= static_cast<int>(n));
    if (reference) Check(trunc == (static_cast<size_t>(flen) < n ? flen : static_cast<int>(n)));
  }
  return 0;
}
