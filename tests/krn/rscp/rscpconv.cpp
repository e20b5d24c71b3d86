// rscpconv FROM TO [options] < in > out: sets up a converter object the way
// the Java bindings do, chooses the method and reports the choice (method,
// tables, substitutions) on standard error. Options change one object field
// each; --piece and --room give the input piece and output room of the
// conversion steps. On a failure it prints the code and the error stack and
// exits with 1. Test code: built with the tests, never shipped.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"
#include "krn/thr/thr.h"

namespace {

void Usage() {
  fputs("usage: rscpconv FROM TO [--mode N] [--broken N] [--fill N] [--ctrl N] [--own N] [--drop N]\n"
        "                [--usef1 N] [--nodirect] [--key C] [--langcp NNNN] [--piece N] [--room N]\n",
        stderr);
  exit(2);
}

std::string Narrow(const WEQ_UC* s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n && s[i] != 0; ++i) out += s[i] < 0x80 ? static_cast<char>(s[i]) : '?';
  return out;
}

void Cp(rscpCp_t& cp, const char* text) {
  if (strlen(text) != 4) Usage();
  for (int i = 0; i < 4; ++i) cp[i] = static_cast<WEQ_UC>(text[i]);
}

void PrintStack() {
  rscpeps__print_error_stack(
      rscpeg__get_thr_errors(),
      [](const WEQ_UC* line, int length, void*) {
        fprintf(stderr, "%s\n", Narrow(line, static_cast<size_t>(length)).c_str());
      },
      nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) Usage();
  ThrProcInit();
  rscpCp_t from, to;
  Cp(from, argv[1]);
  Cp(to, argv[2]);
  long mode = 1, broken = 1, fill = 0, ctrl = 1, own = 0, drop = -1, useF1 = -1, piece = 4096, room = 8192;
  bool noDirect = false;
  const char* key = nullptr;
  const char* langCp = nullptr;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Usage();
      return argv[++i];
    };
    if (a == "--mode") mode = strtol(value(), nullptr, 0);
    else if (a == "--broken") broken = strtol(value(), nullptr, 0);
    else if (a == "--fill") fill = strtol(value(), nullptr, 0);
    else if (a == "--ctrl") ctrl = strtol(value(), nullptr, 0);
    else if (a == "--own") own = strtol(value(), nullptr, 0);
    else if (a == "--drop") drop = strtol(value(), nullptr, 0);
    else if (a == "--usef1") useF1 = strtol(value(), nullptr, 0);
    else if (a == "--nodirect") noDirect = true;
    else if (a == "--key") key = value();
    else if (a == "--langcp") langCp = value();
    else if (a == "--piece") piece = strtol(value(), nullptr, 0);
    else if (a == "--room") room = strtol(value(), nullptr, 0);
    else Usage();
  }
  if (rscpi_init(-1) != 0) {
    PrintStack();
    return 1;
  }
  rscpCObj_t o;
  rscpCInit(&o, &from, &to, static_cast<int32_t>(mode), static_cast<int32_t>(broken), static_cast<int32_t>(fill));
  rscpCSetCtrlCodeCv(&o, static_cast<int32_t>(ctrl));
  rscpCSetOwnChCv(&o, static_cast<int32_t>(own));
  if (drop >= 0) o.drop = static_cast<uint32_t>(drop);
  if (useF1 >= 0) o.useF1 = static_cast<uint32_t>(useF1);
  o.no_direct = noDirect ? 1 : 0;
  if (key != nullptr) o.lang_key = static_cast<uint16_t>(key[0]), o.lang_key_set = 1;
  if (langCp != nullptr) Cp(o.lang_cp, langCp), o.lang_cp_set = 1;
  const rscpRc_t rc = rscpCLoadTables(&o);
  fprintf(stderr, "method %u %s\n", o.method, Narrow(rscpNameOfMethod(o.method), 64).c_str());
  fprintf(stderr, "in %s nls %u loop %u t1 %u maxln %u mixed %u\n", Narrow(o.from_cp, 4).c_str(), o.in_nls,
          o.in_nls_loop, o.in_t1, o.in_maxln, o.in_mixed);
  fprintf(stderr, "out %s nls %u t2 %u maxln %u mixed %u\n", Narrow(o.to_cp, 4).c_str(), o.out_nls, o.out_t1,
          o.out_maxln, o.out_mixed);
  fprintf(stderr, "subst in %s%s out %s%s key '%c' langcp %s used %u\n",
          o.in_cp_substituted ? "" : "-", o.in_cp_substituted ? Narrow(o.in_cp_subst, 4).c_str() : "",
          o.out_cp_substituted ? "" : "-", o.out_cp_substituted ? Narrow(o.out_cp_subst, 4).c_str() : "",
          o.lang_key < 0x80 && o.lang_key >= 0x20 ? static_cast<char>(o.lang_key) : '?',
          Narrow(o.lang_cp, 4).c_str(), o.lang_cp_used);
  fprintf(stderr, "piece %ld room %ld\n", piece, room);
  // The conversion call follows the choice once the engine converts; the
  // input is read so that pipelines behave as they will then.
  char buf[4096];
  while (fread(buf, 1, sizeof(buf), stdin) > 0) {
  }
  if (rc != 0) {
    fprintf(stderr, "rc %d\n", rc);
    PrintStack();
    rscpf_finish(-1);
    return 1;
  }
  rscpf_finish(-1);
  return 0;
}
