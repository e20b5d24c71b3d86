// The conversion engine. BM_choose sets up a converter object and chooses
// the method for a pair whose tables are loaded already (8000 -> 4103), as
// every ConverterJNI set-up does; beside it, opening and closing a converter
// for the same pair in ICU and in glibc iconv. BM_cv_<from>_<to> convert
// 64 B, 4 KiB and 1 MiB of text: Latin-1 and Shift-JIS to UTF-16LE through
// the table walk and Latin-1 to itself by copying, beside glibc iconv and
// ICU (ucnv_toUChars, ICU's own UTF-16) for the same pairs, and memcpy for
// the copy. The methods without tables beside the same references:
// 0100 -> 1100 through an F1 table (useF1 2; ICU converts byte to byte with
// ucnv_convertEx and its pivot), UTF-8 to and from UTF-16LE, and UTF-16BE to
// UTF-16LE beside a plain byte-swap loop (__bswap). The multi-byte methods
// (Shift-JIS to EUC-JP by the direct path, Shift-JIS to ISO-2022-JP in
// runs, ISO-2022-JP to Shift-JIS by the JIS kernel) and GB 18030 to
// UTF-16LE by the range rules, beside glibc iconv and ICU (ucnv_convertEx
// with a pivot) for the same pairs. The sixteen-bit input methods: UTF-16LE
// into Latin-1, Shift-JIS, GB 18030 and ISO-2022-JP, and the ISO-2022 table
// method back into UTF-16LE, beside glibc iconv and ICU (ucnv_fromUChars,
// ucnv_toUChars). Shift-JIS to and from UTF-16LE at 4 KiB also on 1, 2, 4
// and 8 threads at once, each with its own object (throughput of all
// threads together, in wall time).
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <string.h>
#include <unicode/ucnv.h>

#include <string>
#include <vector>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/thr/thr.h"

namespace {

bool StartConverter() {
  static const bool ok = [] {
    ThrProcInit();
    return rscpi_init(-1) == 0;
  }();
  return ok;
}

void BM_choose(benchmark::State& state) {
  if (!StartConverter()) {
    state.SkipWithError("converter start failed");
    return;
  }
  rscpCp_t from = {u'8', u'0', u'0', u'0'}, to = {u'4', u'1', u'0', u'3'};
  rscpCObj_t o;
  rscpCInit(&o, &from, &to, 1, 1, 0);
  rscpCSetCtrlCodeCv(&o, 1);
  rscpCSetOwnChCv(&o, 0);
  if (rscpCLoadTables(&o) != 0) {  // the first choice loads the tables
    state.SkipWithError("choice failed");
    return;
  }
  for (auto _ : state) {
    rscpCInit(&o, &from, &to, 1, 1, 0);
    rscpCSetCtrlCodeCv(&o, 1);
    rscpCSetOwnChCv(&o, 0);
    benchmark::DoNotOptimize(rscpCLoadTables(&o));
    benchmark::DoNotOptimize(o.method);
  }
}
BENCHMARK(BM_choose);

void BM_choose__icu(benchmark::State& state) {
  for (auto _ : state) {
    UErrorCode st = U_ZERO_ERROR;
    UConverter* a = ucnv_open("windows-31j", &st);
    UConverter* b = ucnv_open("UTF-16LE", &st);
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    ucnv_close(b);
    ucnv_close(a);
  }
}
BENCHMARK(BM_choose__icu);

void BM_choose__iconv(benchmark::State& state) {
  for (auto _ : state) {
    iconv_t cd = iconv_open("UTF-16LE", "CP932");
    benchmark::DoNotOptimize(cd);
    iconv_close(cd);
  }
}
BENCHMARK(BM_choose__iconv);

// Text of n bytes in a code page, whole characters only: German for
// Latin-1, Japanese for Shift-JIS (with half-width katakana) and for the
// pairs with ISO-2022-JP (without, which it lacks), Chinese with characters
// of the four-byte ranges for GB 18030. sampleOf names the page whose
// sample a Unicode form carries. The sample is repeated; the rest is
// filled with as many of its first characters as fit (a page without
// shift states), then spaces.
std::string InPage(const char* iconvName, const std::string& utf8) {
  iconv_t cd = iconv_open(iconvName, "UTF-8");
  std::string out(utf8.size() * 4 + 8, '\0');
  char* ip = const_cast<char*>(utf8.data());
  char* op = out.data();
  size_t il = utf8.size(), ol = out.size();
  iconv(cd, &ip, &il, &op, &ol);
  iconv(cd, nullptr, nullptr, &op, &ol);
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

std::string Text(const char* iconvName, size_t n, bool noKatakana = false, const char* sampleOf = nullptr) {
  const std::string name = sampleOf != nullptr ? sampleOf : iconvName;
  const std::string sample =
      name == "ISO-8859-1" ? "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln: na\xC3\xAFve caf\xC3\xA9, 25\xC2\xB0 \xC2\xA7 7. "
      : name == "GB18030"
          ? "\xE6\x88\x91\xE4\xBB\xAC\xE5\x9C\xA8\xE5\x8C\x97\xE4\xBA\xAC\xE5\xA4\xA7\xE5\xAD\xA6\xE5\xAD\xA6"
            "\xE4\xB9\xA0\xE4\xB8\xAD\xE6\x96\x87\xE3\x80\x82\xE4\xBB\x8A\xE5\xA4\xA9\xE5\xA4\xA9\xE6\xB0\x94"
            "\xE5\xBE\x88\xE5\xA5\xBD\xEF\xBC\x8C\xE6\xB8\xA9\xE5\xBA\xA6\xE6\x98\xAF" "25\xC2\xB0" "C\xEF\xBC\x8C"
            "\xE4\xBB\xB7\xE6\xA0\xBC\xE2\x82\xAC" "100\xE3\x80\x82Stra\xC3\x9F" "e \xE8\xA1\xA8\xE6\x83\x85\xF0\x9F"
            "\x98\x80\xE3\x80\x82\xE6\xB1\x89\xE5\xAD\x97\xE7\xBC\x96\xE7\xA0\x81\xE6\xA0\x87\xE5\x87\x86"
            "GB 18030\xE3\x80\x82"
      : noKatakana ? "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9"
                     "\xE3\x83\x88 text \xE6\x96\x87\xE5\xAD\x97\xE5\x88\x97\xE3\x80\x82 "
                   : "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9"
                     "\xE3\x83\x88 text \xEF\xBD\xB1\xEF\xBD\xB2 \xE6\x96\x87\xE5\xAD\x97\xE5\x88\x97\xE3"
                     "\x80\x82 ";
  const std::string unit = InPage(iconvName, sample);
  std::string text;
  while (!unit.empty() && text.size() + unit.size() <= n) text += unit;
  if (strstr(iconvName, "2022") == nullptr) {
    for (size_t i = 0; i < sample.size();) {
      size_t len = 1;
      while (i + len < sample.size() && (static_cast<uint8_t>(sample[i + len]) & 0xC0) == 0x80) ++len;
      const std::string c = InPage(iconvName, sample.substr(i, len));
      if (text.size() + c.size() > n) break;
      text += c;
      i += len;
    }
  }
  const std::string space = InPage(iconvName, " ");
  while (!space.empty() && text.size() + space.size() <= n) text += space;
  return text;
}

struct Pair {
  const char* from;
  const char* to;
  const char* iconvFrom;
  const char* icuFrom;
  const char* iconvTo = "UTF-16LE";  // ICU: its own UTF-16 when this is UTF-16LE
  const char* icuTo = "UTF-16LE";
  bool noKatakana = false;
  uint32_t useF1 = 1;
  const char* sampleOf = nullptr;  // Unicode input: the page whose sample it carries
};
constexpr Pair kLatin{"1100", "4103", "ISO-8859-1", "ISO-8859-1"};
constexpr Pair kSjis{"8000", "4103", "CP932", "windows-31j"};
constexpr Pair kCopy{"1100", "1100", "ISO-8859-1", "ISO-8859-1"};
constexpr Pair kF1{"0100", "1100", "IBM500", "ibm-500", "ISO-8859-1", "ISO-8859-1", false, 2, "ISO-8859-1"};
constexpr Pair kUtf8{"4110", "4103", "UTF-8", "UTF-8"};
constexpr Pair kToUtf8{"4103", "4110", "UTF-16LE", "UTF-16LE", "UTF-8", "UTF-8"};
constexpr Pair kSwap{"4102", "4103", "UTF-16BE", "UTF-16BE"};
constexpr Pair kSjisEuc{"8000", "8100", "CP932", "windows-31j", "EUC-JP", "euc-jp-2007"};
constexpr Pair kSjisJis{"8000", "8200", "CP932", "windows-31j", "ISO-2022-JP", "ISO_2022,locale=ja,version=0", true};
constexpr Pair kJisSjis{"8200", "8000", "ISO-2022-JP", "ISO_2022,locale=ja,version=0", "CP932", "windows-31j", true};
constexpr Pair kGb{"8450", "4103", "GB18030", "gb18030"};
constexpr Pair kToLatin{"4103", "1100", "UTF-16LE", "UTF-16LE", "ISO-8859-1", "ISO-8859-1", false, 1, "ISO-8859-1"};
constexpr Pair kToSjis{"4103", "8000", "UTF-16LE", "UTF-16LE", "CP932", "windows-31j", false, 1, "CP932"};
constexpr Pair kToGb{"4103", "8450", "UTF-16LE", "UTF-16LE", "GB18030", "gb18030", false, 1, "GB18030"};
constexpr Pair kToJis{"4103", "8200", "UTF-16LE", "UTF-16LE", "ISO-2022-JP", "ISO_2022,locale=ja,version=0", true, 1,
                      "CP932"};
constexpr Pair kJisToU{"8200", "4103", "ISO-2022-JP", "ISO_2022,locale=ja,version=0", "UTF-16LE", "UTF-16LE", true};

void Ours(benchmark::State& state, const Pair& p) {
  if (!StartConverter()) {
    state.SkipWithError("converter start failed");
    return;
  }
  rscpCp_t f, t;
  for (int i = 0; i < 4; ++i) f[i] = static_cast<WEQ_UC>(p.from[i]), t[i] = static_cast<WEQ_UC>(p.to[i]);
  rscpCObj_t o;
  rscpCInit(&o, &f, &t, 1, 1, 0);
  rscpCSetCtrlCodeCv(&o, 1);
  rscpCSetOwnChCv(&o, 0);
  o.useF1 = p.useF1;
  if (rscpCLoadTables(&o) != 0) {
    state.SkipWithError("choice failed");
    return;
  }
  const std::string in = Text(p.iconvFrom, static_cast<size_t>(state.range(0)), p.noKatakana, p.sampleOf);
  std::vector<uint8_t> out(p.useF1 == 2 ? in.size() : in.size() * 2 + 64);  // F1: equal sizes
  for (auto _ : state) {
    const WEQ_RAW* ip = reinterpret_cast<const WEQ_RAW*>(in.data());
    WEQ_RAW* op = out.data();
    if (rscpCConvert(&o, &op, out.data() + out.size(), &ip, ip + in.size()) != 0) {
      state.SkipWithError("conversion failed");
      break;
    }
    benchmark::DoNotOptimize(op);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Iconv(benchmark::State& state, const Pair& p) {
  const std::string in = Text(p.iconvFrom, static_cast<size_t>(state.range(0)), p.noKatakana, p.sampleOf);
  iconv_t cd = iconv_open(p.iconvTo, p.iconvFrom);
  std::vector<char> out(in.size() * 2 + 64);
  for (auto _ : state) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in.data());
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    benchmark::DoNotOptimize(op);
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Icu(benchmark::State& state, const Pair& p) {
  const std::string in = Text(p.iconvFrom, static_cast<size_t>(state.range(0)), p.noKatakana, p.sampleOf);
  UErrorCode e = U_ZERO_ERROR;
  const bool toUtf16 = strcmp(p.icuTo, "UTF-16LE") == 0, fromUtf16 = strcmp(p.icuFrom, "UTF-16LE") == 0;
  UConverter* cnv = ucnv_open(fromUtf16 ? p.icuTo : p.icuFrom, &e);
  UConverter* to = toUtf16 || fromUtf16 ? nullptr : ucnv_open(p.icuTo, &e);
  std::vector<UChar> out(in.size() + 16);
  std::vector<char> bytes(in.size() * 2 + 64);
  for (auto _ : state) {
    e = U_ZERO_ERROR;
    ucnv_reset(cnv);
    if (toUtf16) {
      benchmark::DoNotOptimize(ucnv_toUChars(cnv, out.data(), static_cast<int32_t>(out.size()), in.data(),
                                             static_cast<int32_t>(in.size()), &e));
    } else if (fromUtf16) {
      benchmark::DoNotOptimize(ucnv_fromUChars(cnv, bytes.data(), static_cast<int32_t>(bytes.size()),
                                               reinterpret_cast<const UChar*>(in.data()),
                                               static_cast<int32_t>(in.size() / 2), &e));
    } else {
      ucnv_reset(to);
      char* op = bytes.data();
      const char* ip = in.data();
      ucnv_convertEx(to, cnv, &op, bytes.data() + bytes.size(), &ip, in.data() + in.size(), nullptr, nullptr,
                     nullptr, nullptr, true, true, &e);
      benchmark::DoNotOptimize(op);
    }
  }
  if (to != nullptr) ucnv_close(to);
  ucnv_close(cnv);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// ICU between two code pages: ucnv_convertEx through its pivot buffer.
void IcuPivot(benchmark::State& state, const Pair& p) {
  const std::string in = Text(p.iconvFrom, static_cast<size_t>(state.range(0)), p.noKatakana, p.sampleOf);
  UErrorCode e = U_ZERO_ERROR;
  UConverter* from = ucnv_open(p.icuFrom, &e);
  UConverter* to = ucnv_open(p.icuTo, &e);
  if (U_FAILURE(e)) {
    state.SkipWithError("ICU converter missing");
    return;
  }
  std::vector<char> out(in.size() * 2);
  UChar pivot[1024];
  for (auto _ : state) {
    e = U_ZERO_ERROR;
    char* op = out.data();
    const char* ip = in.data();
    UChar* ps = pivot;
    UChar* pt = pivot;
    ucnv_convertEx(to, from, &op, out.data() + out.size(), &ip, in.data() + in.size(), pivot, &ps, &pt,
                   pivot + 1024, true, true, &e);
    benchmark::DoNotOptimize(op);
  }
  ucnv_close(to);
  ucnv_close(from);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_cv_1100_4103(benchmark::State& s) { Ours(s, kLatin); }
void BM_cv_1100_4103__iconv(benchmark::State& s) { Iconv(s, kLatin); }
void BM_cv_1100_4103__icu(benchmark::State& s) { Icu(s, kLatin); }
void BM_cv_8000_4103(benchmark::State& s) { Ours(s, kSjis); }
void BM_cv_8000_4103__iconv(benchmark::State& s) { Iconv(s, kSjis); }
void BM_cv_8000_4103__icu(benchmark::State& s) { Icu(s, kSjis); }
void BM_cv_1100_1100(benchmark::State& s) { Ours(s, kCopy); }
void BM_cv_1100_1100__memcpy(benchmark::State& state) {
  const std::string in = Text("ISO-8859-1", static_cast<size_t>(state.range(0)));
  std::vector<char> out(in.size());
  for (auto _ : state) {
    memcpy(out.data(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_cv_0100_1100_f1(benchmark::State& s) { Ours(s, kF1); }
void BM_cv_0100_1100_f1__iconv(benchmark::State& s) { Iconv(s, kF1); }
void BM_cv_0100_1100_f1__icu(benchmark::State& s) { Icu(s, kF1); }
void BM_cv_4110_4103(benchmark::State& s) { Ours(s, kUtf8); }
void BM_cv_4110_4103__iconv(benchmark::State& s) { Iconv(s, kUtf8); }
void BM_cv_4110_4103__icu(benchmark::State& s) { Icu(s, kUtf8); }
void BM_cv_4103_4110(benchmark::State& s) { Ours(s, kToUtf8); }
void BM_cv_4103_4110__iconv(benchmark::State& s) { Iconv(s, kToUtf8); }
void BM_cv_4103_4110__icu(benchmark::State& s) { Icu(s, kToUtf8); }
void BM_cv_4102_4103(benchmark::State& s) { Ours(s, kSwap); }
void BM_cv_4102_4103__bswap(benchmark::State& state) {
  const std::string in = Text("UTF-16BE", static_cast<size_t>(state.range(0)));
  std::vector<char> out(in.size());
  for (auto _ : state) {
    // Eight bytes at a time, the bytes of each 16-bit lane swapped.
    size_t i = 0;
    for (; i + 8 <= in.size(); i += 8) {
      uint64_t x;
      memcpy(&x, in.data() + i, 8);
      x = (x & 0x00FF00FF00FF00FFull) << 8 | (x >> 8 & 0x00FF00FF00FF00FFull);
      memcpy(out.data() + i, &x, 8);
    }
    for (; i + 1 < in.size(); i += 2) out[i] = in[i + 1], out[i + 1] = in[i];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
void BM_cv_8000_8100(benchmark::State& s) { Ours(s, kSjisEuc); }
void BM_cv_8000_8100__iconv(benchmark::State& s) { Iconv(s, kSjisEuc); }
void BM_cv_8000_8100__icu(benchmark::State& s) { IcuPivot(s, kSjisEuc); }
void BM_cv_8000_8200(benchmark::State& s) { Ours(s, kSjisJis); }
void BM_cv_8000_8200__iconv(benchmark::State& s) { Iconv(s, kSjisJis); }
void BM_cv_8000_8200__icu(benchmark::State& s) { IcuPivot(s, kSjisJis); }
void BM_cv_8200_8000(benchmark::State& s) { Ours(s, kJisSjis); }
void BM_cv_8200_8000__iconv(benchmark::State& s) { Iconv(s, kJisSjis); }
void BM_cv_8200_8000__icu(benchmark::State& s) { IcuPivot(s, kJisSjis); }
void BM_cv_8450_4103(benchmark::State& s) { Ours(s, kGb); }
void BM_cv_8450_4103__iconv(benchmark::State& s) { Iconv(s, kGb); }
void BM_cv_8450_4103__icu(benchmark::State& s) { IcuPivot(s, kGb); }
void BM_cv_4103_1100(benchmark::State& s) { Ours(s, kToLatin); }
void BM_cv_4103_1100__iconv(benchmark::State& s) { Iconv(s, kToLatin); }
void BM_cv_4103_1100__icu(benchmark::State& s) { Icu(s, kToLatin); }
void BM_cv_4103_8000(benchmark::State& s) { Ours(s, kToSjis); }
void BM_cv_4103_8000__iconv(benchmark::State& s) { Iconv(s, kToSjis); }
void BM_cv_4103_8000__icu(benchmark::State& s) { Icu(s, kToSjis); }
void BM_cv_4103_8450(benchmark::State& s) { Ours(s, kToGb); }
void BM_cv_4103_8450__iconv(benchmark::State& s) { Iconv(s, kToGb); }
void BM_cv_4103_8450__icu(benchmark::State& s) { Icu(s, kToGb); }
void BM_cv_4103_8200(benchmark::State& s) { Ours(s, kToJis); }
void BM_cv_4103_8200__iconv(benchmark::State& s) { Iconv(s, kToJis); }
void BM_cv_4103_8200__icu(benchmark::State& s) { Icu(s, kToJis); }
void BM_cv_8200_4103(benchmark::State& s) { Ours(s, kJisToU); }
void BM_cv_8200_4103__iconv(benchmark::State& s) { Iconv(s, kJisToU); }
void BM_cv_8200_4103__icu(benchmark::State& s) { Icu(s, kJisToU); }

#define CV_SIZES Arg(64)->Arg(4096)->Arg(1 << 20)
BENCHMARK(BM_cv_1100_4103)->CV_SIZES;
BENCHMARK(BM_cv_1100_4103__iconv)->CV_SIZES;
BENCHMARK(BM_cv_1100_4103__icu)->CV_SIZES;
BENCHMARK(BM_cv_8000_4103)->CV_SIZES;
BENCHMARK(BM_cv_8000_4103__iconv)->CV_SIZES;
BENCHMARK(BM_cv_8000_4103__icu)->CV_SIZES;
BENCHMARK(BM_cv_1100_1100)->CV_SIZES;
BENCHMARK(BM_cv_1100_1100__memcpy)->CV_SIZES;
BENCHMARK(BM_cv_0100_1100_f1)->CV_SIZES;
BENCHMARK(BM_cv_0100_1100_f1__iconv)->CV_SIZES;
BENCHMARK(BM_cv_0100_1100_f1__icu)->CV_SIZES;
BENCHMARK(BM_cv_4110_4103)->CV_SIZES;
BENCHMARK(BM_cv_4110_4103__iconv)->CV_SIZES;
BENCHMARK(BM_cv_4110_4103__icu)->CV_SIZES;
BENCHMARK(BM_cv_4103_4110)->CV_SIZES;
BENCHMARK(BM_cv_4103_4110__iconv)->CV_SIZES;
BENCHMARK(BM_cv_4103_4110__icu)->CV_SIZES;
BENCHMARK(BM_cv_4102_4103)->CV_SIZES;
BENCHMARK(BM_cv_4102_4103__bswap)->CV_SIZES;
BENCHMARK(BM_cv_8000_8100)->CV_SIZES;
BENCHMARK(BM_cv_8000_8100__iconv)->CV_SIZES;
BENCHMARK(BM_cv_8000_8100__icu)->CV_SIZES;
BENCHMARK(BM_cv_8000_8200)->CV_SIZES;
BENCHMARK(BM_cv_8000_8200__iconv)->CV_SIZES;
BENCHMARK(BM_cv_8000_8200__icu)->CV_SIZES;
BENCHMARK(BM_cv_8200_8000)->CV_SIZES;
BENCHMARK(BM_cv_8200_8000__iconv)->CV_SIZES;
BENCHMARK(BM_cv_8200_8000__icu)->CV_SIZES;
BENCHMARK(BM_cv_8450_4103)->CV_SIZES;
BENCHMARK(BM_cv_8450_4103__iconv)->CV_SIZES;
BENCHMARK(BM_cv_8450_4103__icu)->CV_SIZES;
BENCHMARK(BM_cv_4103_1100)->CV_SIZES;
BENCHMARK(BM_cv_4103_1100__iconv)->CV_SIZES;
BENCHMARK(BM_cv_4103_1100__icu)->CV_SIZES;
BENCHMARK(BM_cv_4103_8000)->CV_SIZES;
BENCHMARK(BM_cv_4103_8000__iconv)->CV_SIZES;
BENCHMARK(BM_cv_4103_8000__icu)->CV_SIZES;
BENCHMARK(BM_cv_4103_8450)->CV_SIZES;
BENCHMARK(BM_cv_4103_8450__iconv)->CV_SIZES;
BENCHMARK(BM_cv_4103_8450__icu)->CV_SIZES;
BENCHMARK(BM_cv_4103_8200)->CV_SIZES;
BENCHMARK(BM_cv_4103_8200__iconv)->CV_SIZES;
BENCHMARK(BM_cv_4103_8200__icu)->CV_SIZES;
BENCHMARK(BM_cv_8200_4103)->CV_SIZES;
BENCHMARK(BM_cv_8200_4103__iconv)->CV_SIZES;
BENCHMARK(BM_cv_8200_4103__icu)->CV_SIZES;
#undef CV_SIZES
// 4 KiB on 1, 2, 4 and 8 threads at once.
#define CV_THREADS Arg(4096)->UseRealTime()->Threads(1)->Threads(2)->Threads(4)->Threads(8)
BENCHMARK(BM_cv_8000_4103)->CV_THREADS;
BENCHMARK(BM_cv_8000_4103__iconv)->CV_THREADS;
BENCHMARK(BM_cv_8000_4103__icu)->CV_THREADS;
BENCHMARK(BM_cv_4103_8000)->CV_THREADS;
BENCHMARK(BM_cv_4103_8000__iconv)->CV_THREADS;
BENCHMARK(BM_cv_4103_8000__icu)->CV_THREADS;
#undef CV_THREADS


}  // namespace

BENCHMARK_MAIN();
