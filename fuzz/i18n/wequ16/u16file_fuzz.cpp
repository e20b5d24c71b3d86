// The UTF-8 reader over arbitrary bytes: fgetsU16 with a capacity from the
// input reads the same characters as Utf8GetChar one by one, never more
// than n - 1 units a call, never losing half of a pair; the writer's
// UTF-8 of what was read reads back to the same units; mbstowcsU16 keeps to
// its count. Reports go to a writer that drops them.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "i18n/wequ16/u16file.h"
#include "fuzz/check.h"

namespace {

void Drop(const char*, size_t) {}

std::u16string ByChar(const std::string& bytes) {
  FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
  std::u16string out;
  U16BadSequence bad;
  int err = 0;
  for (int c; (c = Utf8GetChar(f, &bad, &err)) != -1;) {
    FUZZ_CHECK(err == 0 || (c == '#' && bad.len >= 1 && bad.len <= 4));
    if (c > 0xFFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  fclose(f);
  return out;
}

std::u16string ByLine(const std::string& bytes, int n) {
  FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
  std::u16string out;
  std::vector<WEQ_UC> buf(static_cast<size_t>(n));
  while (fgetsU16(buf.data(), n, f) != nullptr) {
    std::u16string piece(buf.data());
    FUZZ_CHECK(piece.size() < static_cast<size_t>(n));
    for (size_t i = 0; i + 1 < piece.size(); ++i) FUZZ_CHECK(piece[i] != u'\n');
    out += piece;
  }
  fclose(f);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  U16ReportWriter = Drop;
  if (size == 0) return 0;
  const int n = 2 + data[0] % 40;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  std::u16string chars = ByChar(bytes);
  // A 0 unit ends the text a caller of fgetsU16 sees; without one, the lines
  // of any capacity above 2 join to the same units.
  if (chars.find(u'\0') == std::u16string::npos) {
    FUZZ_CHECK(ByLine(bytes, 4096) == chars);
    if (n > 2) FUZZ_CHECK(ByLine(bytes, n) == chars);
  } else {
    ByLine(bytes, n);
  }

  // What was read, written back and read again, is the same text but for
  // unpaired surrogates, which the writer writes as '#'.
  std::u16string expect;
  for (size_t i = 0; i < chars.size(); ++i) {
    char16_t c = chars[i];
    bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < chars.size() && chars[i + 1] >= 0xDC00 && chars[i + 1] <= 0xDFFF) {
      expect += chars.substr(i++, 2);
    } else {
      expect.push_back(c >= 0xD800 && c <= 0xDFFF ? u'#' : c);
    }
  }
  char* mem = nullptr;
  size_t memLen = 0;
  FILE* out = open_memstream(&mem, &memLen);
  size_t written = 0;
  FUZZ_CHECK(U16WriteUtf8(chars.data(), 1, chars.size(), out, &written, 1) ==
        static_cast<long>(chars.size()));
  fclose(out);
  FUZZ_CHECK(written == memLen);
  FUZZ_CHECK(ByChar(std::string(mem, memLen)) == expect);
  free(mem);

  std::string z = bytes.substr(0, bytes.find('\0'));
  std::vector<WEQ_UC> dst(static_cast<size_t>(n) + 1, 0x7777);
  size_t r = mbstowcsU16(dst.data(), z.c_str(), static_cast<size_t>(n));
  FUZZ_CHECK(r == static_cast<size_t>(-1) || r <= static_cast<size_t>(n));
  FUZZ_CHECK(dst[static_cast<size_t>(n)] == 0x7777);
  // The count ends the conversion before anything after it is looked at.
  const size_t all = mbstowcsU16(nullptr, z.c_str(), 0);
  if (r != static_cast<size_t>(n)) FUZZ_CHECK(r == all);
  if (all != static_cast<size_t>(-1)) {
    WEQ_UC* copy = ConvertSCCSID_w(z.c_str());
    FUZZ_CHECK(copy != ConvertSCCSID_wFailed);
    free(copy);
  } else {
    FUZZ_CHECK(ConvertSCCSID_w(z.c_str()) == ConvertSCCSID_wFailed);
  }
  return 0;
}
