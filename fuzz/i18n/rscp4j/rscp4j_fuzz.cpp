// The 18 ConverterJNI natives on the in-process JNI host, driven by the
// input: converter images of real pairs mutated by it (or wholly its
// bytes), random inputs, ranges and table arrays of any length. Any crash,
// sanitizer report, breach of JNI's rules, pending exception, code the
// converter does not define, or count outside the input is a finding.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/input.h"
#include "fuzz/quiet.h"
#include "i18n/rscp4j/rscp4j.h"
#include "krn/rscp/rscp_int.h"
#include "krn/thr/thr.h"
#include "support/jnihost.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Require(bool ok) {
  if (!ok) abort();
}

using Input = tovfuzz::Input;

// Up to most bytes, as many as the input's next two bytes say.
Bytes Take(Input& in, size_t most) {
  const size_t k = std::min<size_t>(in.n, in.U(2) % (most + 1));
  Bytes b(in.p, in.p + k);
  in.p += k;
  in.n -= k;
  return b;
}

const char* const kPairs[][2] = {{"1100", "4103"}, {"4103", "1100"}, {"8000", "4103"}, {"4103", "8000"},
                                 {"4110", "4103"}, {"4103", "4110"}, {"4102", "4103"}, {"1100", "4104"},
                                 {"8400", "4110"}, {"8100", "4103"}, {"0100", "4102"}, {"4103", "4103"},
                                 {"1101", "4103"}, {"8450", "4103"}, {"8200", "4103"}, {"4110", "8300"}};
std::vector<Bytes> gImages;

bool Defined(jint rc) {
  switch (rc) {
    case 0: case RSCPEINTERN: case RSCPEIO: case RSCPEINVAL: case RSCPETOOLONG: case RSCPECALL: case RSCPENOOBJ:
    case RSCPEBUSY: case RSCPEUNIQ: case RSCPENOCONV: case RSCPEBADO:
      return true;
    default:
      return false;
  }
}

// Arrays of k elements, NULL for a negative k.
jcharArray CharArray(tovtest::JniHost& h, int k) {
  return k < 0 ? nullptr : h.NewChars(std::u16string(static_cast<size_t>(k), u'x'));
}
jbyteArray ByteArray(tovtest::JniHost& h, int k) { return k < 0 ? nullptr : h.NewBytes(Bytes(static_cast<size_t>(k))); }

std::u16string Units(const Bytes& b) {
  std::u16string s(b.size() / 2, u'\0');
  if (!s.empty()) memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ThrProcInit();
  // Random code pages fill the cache; its rebuilds need not wait.
  rscphTestSetSleep([](uint32_t) { return 0; });
  Require(rscpi_init(-1) == 0);
  tovtest::JniHost host;
  for (const auto& pair : kPairs) {
    jintArray err = host.NewInts({-1, -1});
    jbyteArray c = Java_com_weq_i18n_cp_ConverterJNI_ConvertInit(
        host.env(), nullptr, host.NewChars(std::u16string(pair[0], pair[0] + 4)),
        host.NewChars(std::u16string(pair[1], pair[1] + 4)), JNI_TRUE, err);
    gImages.push_back(host.Bytes(c));
  }
  // Refusals, reports and table corrections are written for most inputs.
  tovfuzz::Quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  tovtest::JniHost host;
  JNIEnv* env = host.env();
  // The converter: a real image, mutated by the input, or the input's own
  // bytes; now and then of another length or none.
  Bytes image = gImages[in.U(1) % gImages.size()];
  const uint32_t how = in.U(1);
  if (how < 32) {
    for (auto& b : image) b = static_cast<uint8_t>(in.U(1));
  } else if (how < 40) {
    image.resize(in.U(1));
  } else {
    for (uint32_t m = in.U(1) % 8; m > 0; --m) image[in.U(1) % image.size()] ^= static_cast<uint8_t>(in.U(1));
  }
  jbyteArray conv = how >= 40 && how < 44 ? nullptr : host.NewBytes(image);
  jintArray err = host.NewInts({-1, -1});
  const uint32_t native = in.U(1) % 16;
  const Bytes input = Take(in, native < 8 ? 3000 : 64);
  const jint n = static_cast<jint>(input.size());
  const std::u16string text = Units(input);
  const jint units = static_cast<jint>(text.size());
  jint room = in.Bound(300);
  if (room < 0) room = 0;
  const jint s = in.Bound(native % 2 == 0 ? n : units), e = in.Bound(native % 2 == 0 ? n : units);
  const jint os = in.Bound(room), oe = in.Bound(room);
  bool checkErr = true;
  jint count = 0;
  switch (native) {
    case 0:
      Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArrR(env, nullptr, conv, host.NewBytes(input), s, e,
                                                        host.NewChars(std::u16string(room, u'x')), os, oe, err);
      count = std::max(0, e - s);
      break;
    case 1:
      Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArrR(env, nullptr, conv, host.NewChars(text), s, e,
                                                        host.NewBytes(Bytes(room)), os, oe, err);
      count = std::max(0, e - s);
      break;
    case 2:
      Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArr(env, nullptr, conv, host.NewBytes(input), s, e,
                                                       host.NewChars(std::u16string(room, u'x')), os, oe);
      checkErr = false;
      break;
    case 3:
      Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArr(env, nullptr, conv, host.NewChars(text), s, e,
                                                       host.NewBytes(Bytes(room)), os, oe);
      checkErr = false;
      break;
    case 4:
      Java_com_weq_i18n_cp_ConverterJNI_ConvertXToC(env, nullptr, conv, host.NewBytes(input), err);
      count = n;
      break;
    case 5:
      Java_com_weq_i18n_cp_ConverterJNI_ConvertCToX(env, nullptr, conv, host.NewString(text), err);
      count = units;
      break;
    case 6:
    case 7:
      Java_com_weq_i18n_cp_ConverterJNI_ConvertXToX(env, nullptr, conv, host.NewBytes(input), err);
      count = n;
      break;
    case 8:
      Require(Defined(Java_com_weq_i18n_cp_ConverterJNI_GetSb2UcTab(env, nullptr, conv,
                                                                    CharArray(host, in.Bound(256)))));
      checkErr = false;
      break;
    case 9:
      Java_com_weq_i18n_cp_ConverterJNI_GetDb2UcTab(env, nullptr, conv, ByteArray(host, in.Bound(256)),
                                                    CharArray(host, in.Bound(256)),
                                                    CharArray(host, in.Bound(256)), err);
      break;
    case 10:
      Java_com_weq_i18n_cp_ConverterJNI_GetUc2SbTab(env, nullptr, conv, err);
      break;
    case 11:
      Java_com_weq_i18n_cp_ConverterJNI_GetUc2DbTab(env, nullptr, conv,
                                                    host.NewChars(std::u16string(in.U(1) < 16 ? 10 : 65536, u'x')), err);
      break;
    case 12: {
      const jint t = Java_com_weq_i18n_cp_ConverterJNI_GetShortcutType(env, nullptr, conv);
      Require(t >= 0 && t <= 6);
      Java_com_weq_i18n_cp_ConverterJNI_ConvertFinish(env, nullptr, conv);
      checkErr = false;
      break;
    }
    case 13:
      Java_com_weq_i18n_cp_ConverterJNI_ConvertInit(env, nullptr, host.NewChars(text.substr(0, in.U(1) % 6)),
                                                    host.NewChars(u"4103"), in.U(1) & 1, err);
      break;
    default: {
      Require(host.Text(Java_com_weq_i18n_cp_ConverterJNI_GetLastError(env, nullptr)).size() <= 1024);
      Require(host.Text(Java_com_weq_i18n_cp_ConverterJNI_GetVersion(env, nullptr)) == u"3.1.0");
      Require(host.Chars(Java_com_weq_i18n_cp_ConverterJNI_GetSystemCodePage(env, nullptr)) == u"4103");
      const jint major = in.Bound(4), minor = in.Bound(3);
      Require(Java_com_weq_i18n_cp_ConverterJNI_CheckRequiredVersion(env, nullptr, major, minor) ==
              (major < 3 || (major == 3 && minor <= 1) ? 1 : 0));
      checkErr = false;
    }
  }
  if (checkErr) {
    const std::vector<int32_t> r = host.Ints(err);
    Require(Defined(r[0]) && r[1] >= 0 && r[1] <= std::max(count, 0));
  }
  Require(host.Pending().empty());
  host.EndNative();
  Require(host.Violations().empty());
  return 0;
}
