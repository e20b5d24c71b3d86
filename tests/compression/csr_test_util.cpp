#include "csr_test_util.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "compression/csr.h"
#include "krn/thr/thr.h"

namespace csrtest {

namespace {

// A copy of n bytes at p in a block of exactly n bytes (one byte for n 0,
// so that the pointer is never NULL).
std::unique_ptr<uint8_t[]> Exact(size_t n) {
  return std::unique_ptr<uint8_t[]>(new uint8_t[std::max<size_t>(n, 1)]);
}

std::unique_ptr<uint8_t[]> Exact(const uint8_t* p, size_t n) {
  std::unique_ptr<uint8_t[]> b = Exact(n);
  memcpy(b.get(), p, n);
  return b;
}

uint32_t Le32(const uint8_t* p) {
  return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

void InitThreads() { ThrProcInit(); }

Run Compress(const Bytes& data, int options, const SizeFn& in_size, const SizeFn& out_room) {
  Run run;
  int h = 0;
  if ((run.rc = CsRGetHandle(&h)) != 0) return run;
  int total = static_cast<int>(data.size());
  auto header = Exact(8);
  run.rc = CsRInitCompress(h, header.get(), total, options);
  if (run.rc == 0) {
    run.out.assign(header.get(), header.get() + 8);
    // Far more calls than any sound run needs: a stream that stops making
    // progress ends the run instead of the test.
    const size_t limit = 4 * data.size() + 10000;
    while (run.calls < limit) {
      size_t n = std::min(in_size(), data.size() - run.read);
      size_t room = out_room();
      auto in = Exact(data.data() + run.read, n);
      auto out = Exact(room);
      int r = -1, w = -1;
      run.rc = CsRCompress(h, total, in.get(), static_cast<int>(n), out.get(), static_cast<int>(room),
                           0, &r, &w);
      ++run.calls;
      run.results.push_back(run.rc);
      if (run.rc < 0) break;
      run.read += r;
      run.out.insert(run.out.end(), out.get(), out.get() + w);
      if (run.rc == CSR_END_OF_STREAM) break;
    }
  }
  CsRCloseHandle(h);
  return run;
}

Run Decompress(const Bytes& stream, const SizeFn& in_size, const SizeFn& out_room,
               bool whole_first) {
  Run run;
  int h = 0;
  if ((run.rc = CsRGetHandle(&h)) != 0) return run;
  if (whole_first) {
    auto in = Exact(stream.data(), stream.size());
    size_t room = out_room();
    auto out = Exact(room);
    int r = -1, w = -1;
    run.rc = CsRDecompress(h, in.get(), static_cast<int>(stream.size()), out.get(),
                           static_cast<int>(room), CSR_OPT_NEW_STREAM, &r, &w);
    if (run.rc >= 0) {
      run.read = r;
      run.out.assign(out.get(), out.get() + w);
    }
  } else {
    auto header = Exact(stream.data(), std::min<size_t>(8, stream.size()));
    run.rc = CsRInitDecompress(h, header.get());
    run.read = 8;
  }
  int idle = 0;  // calls in a row that took and gave nothing
  const size_t limit = 4 * stream.size() + 10000;
  while (run.rc >= 0 && run.rc != CSR_END_OF_STREAM && run.calls < limit && idle < 3) {
    size_t n = std::min(in_size(), stream.size() - run.read);
    size_t room = out_room();
    auto in = Exact(stream.data() + run.read, n);
    auto out = Exact(room);
    int r = -1, w = -1;
    run.rc = CsRDecompress(h, in.get(), static_cast<int>(n), out.get(), static_cast<int>(room), 0,
                           &r, &w);
    ++run.calls;
    run.results.push_back(run.rc);
    if (run.rc < 0) break;
    run.read += r;
    run.out.insert(run.out.end(), out.get(), out.get() + w);
    idle = r == 0 && w == 0 ? idle + 1 : 0;
  }
  CsRCloseHandle(h);
  return run;
}

std::string Parse(const Bytes& s, Framed* f) {
  *f = Framed{};
  if (s.size() < 16) return "shorter than header and trailer";
  if (!(s[4] & 8)) return "header without block mode";
  f->header.assign(s.begin(), s.begin() + 8);
  size_t pos = 8;
  while (s.size() - pos > 8) {  // a block, then at least the trailer
    if (s.size() - pos < 17) return "cut inside a block at " + std::to_string(pos);
    uint32_t n = Le32(&s[pos]);
    if (n == 0) return "block of length 0 at " + std::to_string(pos);
    if (n > s.size() - pos - 16) return "block runs into the trailer at " + std::to_string(pos);
    f->crcs.push_back(Le32(&s[pos + 4]));
    f->payloads.emplace_back(s.begin() + pos + 8, s.begin() + pos + 8 + n);
    pos += 8 + n;
  }
  if (s.size() - pos != 8) return "no trailer";
  f->trailer_total = Le32(&s[pos]);
  f->trailer_crc = Le32(&s[pos + 4]);
  return "";
}

uint32_t Register(const Bytes& data) {
  return ~static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

Bytes Unframed(const Framed& f) {
  Bytes b = f.header;
  b[4] &= ~8;
  for (const Bytes& p : f.payloads) b.insert(b.end(), p.begin(), p.end());
  return b;
}

Bytes Mixed(size_t n, uint32_t seed) {
  Bytes b;
  for (uint32_t i = 0; b.size() < n; ++i) {
    Bytes part = i % 3 == 0 ? lzhtest::Text(7000, seed + i)
                 : i % 3 == 1 ? lzhtest::Runs(5000, seed + i)
                              : lzhtest::RandomBytes(1500, seed + i);
    b.insert(b.end(), part.begin(), part.end());
  }
  b.resize(n);
  return b;
}

}  // namespace csrtest
