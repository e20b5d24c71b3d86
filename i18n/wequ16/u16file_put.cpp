// UTF-16 to UTF-8 on the way out to C streams.
#include <emmintrin.h>
#include <errno.h>

#include <algorithm>

#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16file_int.h"
#include "i18n/wequ16/u16str.h"

namespace {

// A chunk goes to fwrite as soon as more than this many bytes are pending,
// so it never holds more than kFlushAbove + 4 bytes.
constexpr size_t kFlushAbove = 506;
constexpr size_t kChunkBytes = 512;

// Encodes units [i, stop) while they come in runs of eight ASCII units, each
// run as eight bytes at once; stops at the first run with another unit in
// it, or fewer than eight left. Returns the bytes written to out.
size_t EncodeAsciiRuns(const WEQ_UC* u, size_t& i, size_t stop, unsigned char* out) {
  const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
  size_t n = 0;
  while (stop - i >= 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, high), _mm_setzero_si128())) != 0xFFFF) break;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n), _mm_packus_epi16(v, v));
    i += 8;
    n += 8;
  }
  return n;
}

}  // namespace

long U16WriteUtf8(const WEQ_UC* units, size_t size, size_t count, FILE* stream, size_t* bytes,
                  int fail) {
  if (bytes != nullptr) *bytes = 0;
  size_t total;
  if (__builtin_mul_overflow(size, count, &total)) {
    errno = EINVAL;
    return fail ? -1 : 0;
  }
  if (total == 0) return 0;
  if (units == nullptr || stream == nullptr) {
    errno = EINVAL;
    return fail ? -1 : 0;
  }
  unsigned char chunk[kChunkBytes];
  size_t written = 0;
  size_t i = 0;
  while (i < total) {
    const size_t first = i;
    size_t pending = 0;
    while (i < total && pending <= kFlushAbove) {
      // A unit gives at most 3 bytes (a pair 4 for two units), so the next
      // `batch` units cannot take the chunk beyond kFlushAbove before their
      // last character: they need no test of the threshold.
      size_t batch = pending + 4 <= kFlushAbove ? (kFlushAbove - pending - 1) / 3 : 0;
      if (batch > 0) {
        const size_t stop = i + std::min(batch, total - i);
        while (i < stop) {
          pending += EncodeAsciiRuns(units, i, stop, chunk + pending);
          if (i < stop) pending += u16file::EncodeUnit(units, total, i, chunk + pending);
        }
        continue;
      }
      pending += u16file::EncodeUnit(units, total, i, chunk + pending);
    }
    size_t put = fwrite(chunk, 1, pending, stream);
    written += put;
    if (put < pending) {
      if (bytes != nullptr) *bytes = written;
      if (fail && put == 0) return -1;
      // A unit takes at most three bytes, so at least put / 3 units of the
      // chunk went out; at least one of it is lost, and every unit after it.
      size_t chunkUnits = i - first;
      size_t lost = chunkUnits - std::min(chunkUnits - 1, put / 3);
      size_t unwritten = lost + (total - i);
      return static_cast<long>((total - unwritten) / size);
    }
  }
  if (bytes != nullptr) *bytes = written;
  return static_cast<long>(count);
}

size_t fwriteU16(const WEQ_UC* units, size_t size, size_t count, FILE* stream) {
  return static_cast<size_t>(U16WriteUtf8(units, size, count, stream, nullptr, 0));
}

long fputsU16(const WEQ_UC* s, FILE* stream) {
  if (s == nullptr) {
    errno = EINVAL;
    return -1;
  }
  size_t n = strlenU(s);
  if (n == 0) return 0;
  size_t bytes = 0;
  // A line that was written only in part is a failure, as with fputs.
  if (U16WriteUtf8(s, n, 1, stream, &bytes, 1) != 1) return -1;
  return static_cast<long>(bytes);
}

void perrorU16(const WEQ_UC* text) {
  int err = errno;
  const WEQ_UC* message = strerrorU16(err);
  flockfile(stderr);
  if (text != nullptr && text[0] != 0) {
    fwriteU16(text, strlenU(text), 1, stderr);
    fwrite(": ", 1, 2, stderr);
  }
  if (message != nullptr) fwriteU16(message, strlenU(message), 1, stderr);
  fputc('\n', stderr);
  funlockfile(stderr);
  errno = err;
}
