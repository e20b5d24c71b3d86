// Shows what the library's subsystems do on real input. It grows with the
// library: each subsystem adds its part here.
//
//   tov_example [file]   compresses the file (default: this program itself)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "compression/csr.h"
#include "flat/weqparam.h"
#include "i18n/wequ16/blankfld.h"
#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/perf/pfclock.h"
#include "krn/perf/pfuuid.h"
#include "krn/rscp/rscpu.h"
#include "krn/thr/thr.h"

namespace {

void Title(const char* t) { std::printf("\n== %s\n", t); }

// 16-bit text in, UTF-8 out through the library's own stream writer.
void Say(const WEQ_UC* text) { fprintfU16(stdout, u"%s\n", text); }

std::vector<WEQ_RAW> ReadAll(const char* path) {
  std::vector<WEQ_RAW> data;
  if (FILE* f = std::fopen(path, "rb")) {
    WEQ_RAW buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    std::fclose(f);
  }
  return data;
}

// Compresses data with the given options in pieces of 4 KB into 1 KB output
// rooms, decompresses it the same way and checks the round trip.
void Compress(const std::vector<WEQ_RAW>& data, int options, const char* name) {
  const int total = static_cast<int>(data.size());
  std::vector<WEQ_RAW> packed(8);
  CSR_HANDLE h;
  if (CsRGetHandle(&h) != 0 || CsRInitCompress(h, packed.data(), total, options) != 0) {
    std::printf("%s: no stream\n", name);
    return;
  }
  int pos = 0, rc = CSR_MORE_INPUT;
  while (rc != CSR_END_OF_STREAM) {
    WEQ_RAW out[1024];
    int take = std::min(4096, total - pos), read = 0, written = 0;
    rc = CsRCompress(h, total, data.data() + pos, take, out, sizeof out, 0, &read, &written);
    if (rc < 0) {
      std::printf("%s: compression failed with %d\n", name, rc);
      CsRCloseHandle(h);
      return;
    }
    pos += read;
    packed.insert(packed.end(), out, out + written);
  }

  std::vector<WEQ_RAW> back;
  rc = CsRInitDecompress(h, packed.data());
  size_t at = 8;
  while (rc >= 0 && rc != CSR_END_OF_STREAM) {
    WEQ_RAW out[1024];
    int take = static_cast<int>(std::min<size_t>(4096, packed.size() - at)), read = 0, written = 0;
    rc = CsRDecompress(h, packed.data() + at, take, out, sizeof out, 0, &read, &written);
    at += static_cast<size_t>(read);
    back.insert(back.end(), out, out + written);
  }
  CsRCloseHandle(h);
  std::printf("%-22s %8d -> %8zu bytes (%5.1f%%), round trip %s (handle %d)\n", name, total,
              packed.size(), total ? 100.0 * static_cast<double>(packed.size()) / total : 0.0,
              rc == CSR_END_OF_STREAM && back == data ? "exact" : "FAILED", h);
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

  Title("UTF-8, EBCDIC and blank-padded fields");
  char utf8[128];
  int bytes = 0;
  UcsToUtf8s(utf8, sizeof utf8, &bytes, greeting);
  std::printf("UTF-8: %d bytes:", bytes);
  for (int i = 0; i < bytes; ++i) std::printf(" %02X", static_cast<unsigned char>(utf8[i]));
  std::printf("\n");
  WEQ_RAW ebcdic[16];
  U16nToEbcdicnStrict(ebcdic, u"HELLO, world!", 13);
  std::printf("code page 500:");
  for (int i = 0; i < 13; ++i) std::printf(" %02X", ebcdic[i]);
  std::printf("\n");
  WEQ_UC field[12];
  U16sToBlankField(field, u"DEST01", 12);
  WEQ_UC fieldText[13];
  BlankFieldToUcs(fieldText, field, 12);
  fprintfU16(stdout, u"blank field of 12 units: [%.12s] holds \"%s\" (%d units)\n", field,
             fieldText, BlankFieldLen(field, 12));

  Title("threads, clocks and UUIDs");
  WEQ_UC id[THR_ID_STR_LEN];
  fprintfU16(stdout, u"thread id %s\n", ThrIdToStr(id, ThrCurrentId()));
  struct timeval tv;
  NT_gettimeofday(&tv, nullptr);
  std::printf("wall clock %ld.%03ld s\n", static_cast<long>(tv.tv_sec),
              static_cast<long>(tv.tv_usec / 1000));
  WEQ_RAW uuid[16];
  int urc = UuidGenerate(uuid);
  std::printf("UUID (rc %d):", urc);
  for (WEQ_RAW b : uuid) std::printf(" %02x", b);
  std::printf("\n");

  Title("profile parameters");
  weqparamQuiet();
  for (const WEQ_UC* name : {u"DIR_INSTANCE", u"DIR_PROFILE", u"em/initial_size_MB", u"no/such_parameter"}) {
    const WEQ_UC* v = weqparamGet(name);
    fprintfU16(stdout, u"%-20s = %s\n", name, v ? v : u"(unknown)");
  }

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
  std::printf("trace file %s:\n", trc.c_str());
  if (FILE* f = std::fopen(trc.c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, f)) std::printf("  | %s", buf);
    std::fclose(f);
  }

  Title("compression");
  std::vector<WEQ_RAW> data = ReadAll(argc > 1 ? argv[1] : argv[0]);
  Compress(data, CSR_OPT_LZC, "LZC");
  Compress(data, CSR_OPT_LZC | CSR_OPT_BLOCK, "LZC, block mode");
  Compress(data, CSR_OPT_LZH | (1 << CSR_OPT_LEVEL_SHIFT), "LZH level 1");
  Compress(data, CSR_OPT_LZH | (9 << CSR_OPT_LEVEL_SHIFT) | CSR_OPT_BLOCK, "LZH level 9, block");
  return 0;
}
