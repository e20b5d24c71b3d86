// Shared pieces of the SNC tests: the test GSS-API library's control block,
// child processes with the SNC trace on standard error, and the frame
// fixtures' record types.
#ifndef TESTS_KRN_SNC_SNC_TEST_UTIL_H
#define TESTS_KRN_SNC_SNC_TEST_UTIL_H

#include <dlfcn.h>
#include <stdint.h>

#include <array>
#include <string>
#include <vector>

#include "krn/dptrc/dptrc.h"
#include "krn/snc/snc_int.h"
#include "krn/thr/thr.h"
#include "snc_fakegss.h"
#include "support/testsupport.h"

namespace snctest {

using Bytes = std::vector<uint8_t>;

// The control block of the test library at path, loaded for the caller
// (the layer's own load of the same path shares it); NULL when it fails.
inline FakeGssCtl* FakeCtl(const char* path) {
  void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  return h != nullptr ? static_cast<FakeGssCtl*>(dlsym(h, "fakegss_ctl")) : nullptr;
}

// Runs fn in a child with the thread library started and the trace level
// set; the SNC trace goes to the child's standard error.
template <class F>
tovtest::ChildResult InChild(int level, F fn) {
  return tovtest::RunInChild([&] {
    ThrProcInit();
    CTrcLevel.store(level);
    return fn();
  });
}

// A trace without the thread tag "[Thr <id>] " that begins each line, so
// that lines written as one entry read as the entry's text.
inline std::string Untagged(const std::string& trace) {
  std::string out;
  size_t at = 0;
  while (at < trace.size()) {
    size_t end = trace.find('\n', at);
    end = end == std::string::npos ? trace.size() : end + 1;
    std::string line = trace.substr(at, end - at);
    const size_t close = line.find("] ");
    if (line.rfind("[Thr ", 0) == 0 && close != std::string::npos) line.erase(0, close + 2);
    out += line;
    at = end;
  }
  return out;
}

inline std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += std::string{d[p[i] >> 4], d[p[i] & 15]} + (i + 1 < n ? " " : "");
  return s;
}

struct BuildFixture {
  const char* name;
  int type, sessionFlags, flags;
  int qop[3];
  int adapter;
  Bytes token, data;
  std::array<Bytes, 8> items;
  Bytes frame;
};

struct ParseFixture {
  const char* name;
  Bytes in;
  bool ok;
  int type, version, hdrLen;
  uint32_t token[2], data[2];  // offset, length
  uint32_t frameLen;
  int qop[3];
  uint32_t mask;
  std::array<std::array<uint32_t, 2>, 8> items;  // offset, length
};

}  // namespace snctest

#endif
