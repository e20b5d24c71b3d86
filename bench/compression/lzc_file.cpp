// Compresses or decompresses a file with the library's LZC, streaming it
// through 64 KB buffers as a piecewise caller does:
//
//   lzc_file -c <in> <out>    lzc_file -d <in> <out>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>

#include "compression/csr.h"
#include "compression/lzc.h"

namespace {

constexpr int kBuf = 1 << 16;

// Feeds `in` through step(input, inlen, output, room, first call, &read,
// &written) until it reports the end or an error; one call without input
// follows the end of the file.
template <class Step>
int Pump(FILE* in, FILE* out, Step step) {
  static WEQ_RAW ibuf[kBuf], obuf[kBuf];
  int ilen = 0, ipos = 0;
  bool eof = false;
  for (int first = 1;; first = 0) {
    if (ipos == ilen && !eof) {
      ilen = static_cast<int>(fread(ibuf, 1, kBuf, in));
      ipos = 0;
      eof = ilen == 0;
    } else if (ipos > 0 && !eof) {  // keep untaken bytes and top up
      memmove(ibuf, ibuf + ipos, ilen - ipos);
      ilen -= ipos;
      ipos = 0;
      ilen += static_cast<int>(fread(ibuf + ilen, 1, kBuf - ilen, in));
    }
    int read = 0, written = 0;
    int rc = step(ibuf + ipos, ilen - ipos, obuf, kBuf, first, &read, &written);
    if (written > 0 && fwrite(obuf, 1, written, out) != static_cast<size_t>(written)) return -1;
    ipos += read;
    if (rc == CSR_END_OF_STREAM) return 0;
    if (rc < 0) return rc;
    if (rc == CSR_MORE_INPUT && eof && read == 0 && written == 0) return CSR_MORE_INPUT;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (strcmp(argv[1], "-c") != 0 && strcmp(argv[1], "-d") != 0)) {
    fprintf(stderr, "usage: lzc_file -c|-d <in> <out>\n");
    return 2;
  }
  FILE* in = fopen(argv[2], "rb");
  FILE* out = in ? fopen(argv[3], "wb") : nullptr;
  if (in == nullptr || out == nullptr) {
    perror("lzc_file");
    return 1;
  }
  int rc;
  if (argv[1][1] == 'c') {
    struct stat st;
    fstat(fileno(in), &st);
    if (st.st_size < 1 || st.st_size > 0x7FFFFFFF) {
      fprintf(stderr, "lzc_file: size %lld cannot be compressed\n", static_cast<long long>(st.st_size));
      return 1;
    }
    auto s = std::make_unique<CSR_LZC_CSTATE>();
    int total = static_cast<int>(st.st_size);
    rc = Pump(in, out, [&](const WEQ_RAW* i, int n, WEQ_RAW* o, int room, int first, int* r, int* w) {
      return CsRLzcCompress(s.get(), total, i, n, o, room, first, r, w);
    });
  } else {
    auto s = std::make_unique<CSR_LZC_DSTATE>();
    rc = Pump(in, out, [&](const WEQ_RAW* i, int n, WEQ_RAW* o, int room, int first, int* r, int* w) {
      return CsRLzcDecompress(s.get(), i, n, o, room, first, r, w);
    });
  }
  if (fclose(out) != 0) rc = -1;
  fclose(in);
  if (rc != 0) fprintf(stderr, "lzc_file: failed with %d\n", rc);
  return rc == 0 ? 0 : 1;
}
