// Random bytes and capacities through every Japanese kernel and both length
// functions, on buffers of exactly the given sizes so that any read or write
// past them trips the sanitizer. Checked: results are the documented codes,
// lengths stay inside their buffers, the public form agrees with the
// internal one, and a kernel never writes its input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "krn/rscp/rscpdat_int.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int kernel = data[0] % rscpdat::kJkCount;
  const int32_t cap = int32_t(data[1]) * 3 / 2;
  const std::vector<uint8_t> in(data + 2, data + size);
  const int32_t n = int32_t(in.size());

  std::vector<uint8_t> exact(in);  // its own heap block, exactly sized
  std::vector<uint8_t> out(static_cast<size_t>(cap));
  int32_t outlen = cap, inlen = n;
  const int rc = rscpdat::JkPublic(rscpdat::Jk(kernel))(out.data(), &outlen, exact.data(), &inlen);
  Require(rc == 0 || rc == 32 || (rc == 2048 && rscpdat::Jk(kernel) == rscpdat::Jk::kSjisL1ToEuc));
  Require(outlen >= 0 && outlen <= cap);
  Require(exact == in);
  Require(inlen >= 0 && inlen <= n);

  std::vector<uint8_t> again(static_cast<size_t>(cap));
  const auto r = rscpdat::JkRun(rscpdat::Jk(kernel), again.data(), cap, exact.data(), n);
  Require(r.rc == rc && r.consumed <= n && r.produced <= cap);
  Require(std::equal(again.begin(), again.begin() + r.produced, out.begin()));

  // The same bytes, converted in one buffer, where the kernel allows it.
  if (rscpdat::Jk(kernel) == rscpdat::Jk::kSjisToEuc) {
    std::vector<uint8_t> one(std::max<size_t>(in.size(), size_t(cap)));
    std::copy(in.begin(), in.end(), one.begin());
    int32_t ol = cap, il = n;
    const int rc2 = rscpSjisToEuc(one.data(), &ol, one.data(), &il);
    Require(rc2 == 0 || rc2 == 32);
    Require(il <= std::min(n, 256) && ol <= cap);
  }

  const int eucLen = rscpEucCharLen(exact.data(), n);
  Require(eucLen >= 0 && eucLen <= std::min(n, 2));
  const int jisLen = rscpJisCharLen(exact.data(), n);
  Require(jisLen >= 0 && jisLen <= n + 1);
  return 0;
}
