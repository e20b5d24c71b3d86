// What code linked with the core archive sees beneath the Java natives: 16-bit
// text and its formatted output, UTF-8, EBCDIC and blank-padded fields,
// thread ids and clocks, profile parameters, the trace file and the error
// record. What the library does for a Java client (text conversion,
// conversations, logon groups, compression, UUIDs) is the Java example's
// (examples/java).
//
//   tov_example          writes tov_example.trc beside itself
//
// It checks what it shows and exits with 1 when something is not as shown.
#include <cstdio>
#include <cstring>
#include <string>

#include "flat/weqparam.h"
#include "i18n/wequ16/blankfld.h"
#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/perf/pfclock.h"
#include "krn/rscp/rscpu.h"
#include "krn/thr/thr.h"

namespace {

void Title(const char* t) { std::printf("\n== %s\n", t); }

// 16-bit text in, UTF-8 out through the library's own stream writer.
void Say(const WEQ_UC* text) { fprintfU16(stdout, u"%s\n", text); }

int failures = 0;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::printf("CHECK FAILED: %s\n", what);
  ++failures;
}

}  // namespace

int main(int argc, char** argv) {
  ThrProcInit();

  Title("16-bit text and formatted output");
  const WEQ_UC greeting[] = u"Gr\u00FC\u00DFe aus dem Rechenzentrum \U0001F600";
  WEQ_UC line[128];
  snprintfU16(line, 128, u"[%-10s] %d units, %ld bytes as UTF-16, pi ~ %.5f, %#x", u"greeting",
              static_cast<int>(strlenU(greeting)), static_cast<long>(sizeof greeting), 3.14159265,
              255);
  Say(greeting);
  Say(line);
  WEQ_UC tiny[12];
  int cut = snprintfTruncU16(tiny, 12, u"%s", greeting);
  fprintfU16(stdout, u"cut to a buffer of 12 units: \"%s\" (result %d)\n", tiny, cut);
  Check(strlenU(greeting) == 30, "the emoji takes two units");
  Check(strcmpU(tiny, u"Gr\u00FC\u00DFe aus d") == 0, "the cut text");

  Title("UTF-8, EBCDIC and blank-padded fields");
  char utf8[128];
  int bytes = 0;
  UcsToUtf8s(utf8, sizeof utf8, &bytes, greeting);
  std::printf("UTF-8: %d bytes:", bytes);
  for (int i = 0; i < bytes; ++i) std::printf(" %02X", static_cast<unsigned char>(utf8[i]));
  std::printf("\n");
  Check(bytes == 34 && std::memcmp(utf8 + 30, "\xF0\x9F\x98\x80", 4) == 0, "UTF-8 of the emoji");
  WEQ_RAW ebcdic[16];
  U16nToEbcdicnStrict(ebcdic, u"HELLO, world!", 13);
  std::printf("code page 500:");
  for (int i = 0; i < 13; ++i) std::printf(" %02X", ebcdic[i]);
  std::printf("\n");
  Check(std::memcmp(ebcdic, "\xC8\xC5\xD3\xD3\xD6", 5) == 0, "EBCDIC of HELLO");
  WEQ_UC field[12];
  U16sToBlankField(field, u"DEST01", 12);
  WEQ_UC fieldText[13];
  BlankFieldToUcs(fieldText, field, 12);
  fprintfU16(stdout, u"blank field of 12 units: [%.12s] holds \"%s\" (%d units)\n", field,
             fieldText, BlankFieldLen(field, 12));
  Check(strcmpU(fieldText, u"DEST01") == 0 && BlankFieldLen(field, 12) == 6, "the blank field");

  Title("threads and clocks");
  WEQ_UC id[THR_ID_STR_LEN];
  fprintfU16(stdout, u"thread id %s\n", ThrIdToStr(id, ThrCurrentId()));
  struct timeval tv;
  NT_gettimeofday(&tv, nullptr);
  std::printf("wall clock %ld.%03ld s\n", static_cast<long>(tv.tv_sec),
              static_cast<long>(tv.tv_usec / 1000));

  Title("profile parameters");
  weqparamQuiet();
  for (const WEQ_UC* name : {u"DIR_INSTANCE", u"DIR_PROFILE", u"em/initial_size_MB", u"no/such_parameter"}) {
    const WEQ_UC* v = weqparamGet(name);
    fprintfU16(stdout, u"%-20s = %s\n", name, v ? v : u"(unknown)");
  }
  Check(weqparamGet(u"no/such_parameter") == nullptr, "an unknown parameter");

  Title("trace and error information");
  // The trace file goes beside the program.
  std::string trc = argv[0];
  trc = trc.substr(0, trc.find_last_of('/') + 1) + "tov_example.trc";
  WEQ_UC trcPath[1024];
  Utf8sToUcs(trcPath, 1024, nullptr, trc.c_str());
  CTRC_HDL hdl = CTrcOpenGlobal(trcPath, 1, 2);
  DPTRC_LINE(2, hdl, u"example: %s started with %d argument(s)\n", u"tov_example", argc);
  ErrSetInfo(u"EXAMPLE", 1, u"tov_example", __LINE__, u"%s failed", -1, u"reason: %s",
             u"open", u"no such file");
  WEQ_RAW net[2048];
  size_t netLen = 0;
  ErrCpIntToNet(net, &netLen, sizeof net);
  fprintfU16(stdout, u"error text: %s\n", ErrGetAllTxt());
  std::printf("network form: %zu bytes, begins with \"%.5s\"\n", netLen,
              reinterpret_cast<const char*>(net));
  ErrTrace(hdl);
  std::fflush(hdl);
  Check(netLen > 5 && std::memcmp(net, "*ERR*", 5) == 0, "the network form");
  std::printf("trace file %s:\n", trc.c_str());
  bool detail = false;
  if (FILE* f = std::fopen(trc.c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, f)) {
      std::printf("  | %s", buf);
      detail = detail || std::strstr(buf, "DETAIL      reason: no such file") != nullptr;
    }
    std::fclose(f);
  }
  Check(detail, "the error record in the trace");
  return failures == 0 ? 0 : 1;
}
