// rscpconv FROM TO [options] < in > out: sets up a converter object the way
// the Java bindings do, chooses the method, reports the choice (method,
// tables, substitutions) on standard error and converts standard input to
// standard output. Options change one object field each; --method forces a
// method on the chosen object. The input goes to the converter in pieces of
// --piece bytes into an output of --room bytes: a full output is written
// out and the call resumed, and with --broken 2 a character cut at the end
// of a piece waits for the next one. On a failure it prints the code and
// the error stack and exits with 1. Test code: built with the tests, never
// shipped.
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
        "                [--usef1 N] [--nodirect] [--key C] [--langcp NNNN] [--piece N] [--room N]\n"
        "                [--method N]\n",
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
  long method = -1;
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
    else if (a == "--method") method = strtol(value(), nullptr, 0);
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
  rscpRc_t rc = rscpCLoadTables(&o);
  if (method >= 0) o.method = static_cast<uint32_t>(method);
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
  if (piece < 1 || room < 1) Usage();
  std::string in, out(static_cast<size_t>(room), '\0');
  bool eof = rc != 0;
  long calls = 0;
  while (rc == 0 && !(eof && in.empty())) {
    if (!eof && in.size() < static_cast<size_t>(piece)) {
      std::string buf(static_cast<size_t>(piece) - in.size(), '\0');
      const size_t n = fread(buf.data(), 1, buf.size(), stdin);
      in.append(buf.data(), n);
      eof = n == 0;
      if (!eof) continue;
      if (in.empty()) break;
    }
    const WEQ_RAW* ip = reinterpret_cast<const WEQ_RAW*>(in.data());
    WEQ_RAW* op = reinterpret_cast<WEQ_RAW*>(out.data());
    rc = rscpCConvert(&o, &op, op + out.size(), &ip, ip + in.size());
    ++calls;
    fwrite(out.data(), 1, static_cast<size_t>(op - reinterpret_cast<WEQ_RAW*>(out.data())), stdout);
    const size_t used = static_cast<size_t>(ip - reinterpret_cast<const WEQ_RAW*>(in.data()));
    in.erase(0, used);
    if (rc == RSCPETOOLONG && (used > 0 || op > reinterpret_cast<WEQ_RAW*>(out.data()))) {
      rc = 0;  // written out: go on with the rest
    } else if (rc == RSCPEUNIQ && broken == 2 && !eof) {
      rc = 0;  // a character cut at the end of the piece: read on
      std::string buf(static_cast<size_t>(piece), '\0');
      const size_t n = fread(buf.data(), 1, buf.size(), stdin);
      in.append(buf.data(), n);
      eof = n == 0;
    } else if (rc == 0 && eof) {
      break;
    }
  }
  fflush(stdout);
  fprintf(stderr, "calls %ld subst %u\n", calls, o.subst_count);
  if (rc != 0) {
    fprintf(stderr, "rc %d\n", rc);
    PrintStack();
    rscpf_finish(-1);
    return 1;
  }
  rscpf_finish(-1);
  return 0;
}
