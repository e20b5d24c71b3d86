// AD blocks and records from untrusted bytes. The first byte picks the run:
//   0  the rest as a block, read to its end, each record through the
//      storage reply readers;
//   1  a block built by the peers' codec from the rest, one byte mutated,
//      then read the same way;
//   2  an external record of the rest, to the internal form and back twice:
//      for plain layouts the second round must give the first's bytes;
//   3  the rest as a decimal field, read and compared with a plain reading.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "krn/ad/ad.h"
#include "krn/ad/ad_int.h"
#include "krn/adtl/adtl.h"
#include "peers/adcodec.h"

namespace {

void ReadBlock(const std::string& block) {
  uint8_t state = AD_READ_FIRST;
  // A block has at most (size - 36) / 104 records; one call more ends it.
  size_t limit = block.size() / AD_REC_LEN + 2;
  for (size_t i = 0; i < limit; ++i) {
    AD_REC* rec = nullptr;
    int rc = AdReadRec(reinterpret_cast<const WEQ_RAW*>(block.data()), static_cast<int32_t>(block.size()),
                       &state, &rec);
    if (rc != 0) return;
    if (rec != nullptr) {
      const WEQ_UC *name, *value;
      int nw, nl, vw, vl;
      int32_t values[10];
      if (AdtlStrgRspGetText(rec->body, &name, &nw, &nl, &value, &vw, &vl) == 0 &&
          (nl < 0 || nl > 20 || vl < 0 || vl > 40))
        abort();
      if (AdtlStrgRspGetIntg(rec->body, &name, &nw, &nl, values) == 0 && (nl < 0 || nl > 20)) abort();
    }
    if (state == AD_READ_DONE) return;
  }
  abort();  // the reader never said it was done
}

std::string CodecBlock(const uint8_t* data, size_t size) {
  std::vector<std::string> records;
  size_t pos = 0;
  while (pos + 1 <= size && records.size() < 300) {
    uint8_t op = data[pos++];
    size_t n = std::min<size_t>(size - pos, 100);
    std::string body(reinterpret_cast<const char*>(data + pos), n);
    pos += n;
    records.push_back(adpeer::Record(op, body));
  }
  std::string block = adpeer::Block(records);
  if (size > 2) block[(data[0] * 256u + data[1]) % block.size()] ^= static_cast<char>(data[size - 1] | 1);
  return block;
}

void RoundTrip(const uint8_t* data, size_t size) {
  AD_REC_EXT ext;
  memset(&ext, ' ', sizeof ext);
  memcpy(&ext, data, std::min(size, sizeof ext));
  AD_REC in1;
  AdInitRec(&in1);
  AdCvtRecToInt(&ext, &in1);
  AD_REC_EXT ext1;
  memset(&ext1, 0, 4);
  memset(ext1.body, ' ', sizeof ext1.body);
  AdCvtRecToExt(&in1, &ext1);
  if (adpeer::ClassOf(ext.opcode) != adpeer::Class::kLayout) return;
  AD_REC in2;
  AdInitRec(&in2);
  AdCvtRecToInt(&ext1, &in2);
  AD_REC_EXT ext2;
  memset(&ext2, 0, 4);
  memset(ext2.body, ' ', sizeof ext2.body);
  AdCvtRecToExt(&in2, &ext2);
  if (memcmp(&ext1, &ext2, sizeof ext1) != 0) abort();
}

void DecimalField(const uint8_t* data, size_t size) {
  const char* f = reinterpret_cast<const char*>(data);
  int w = static_cast<int>(std::min<size_t>(size, 40));
  int32_t got = AdIFieldToInt(f, w);
  int i = 0;
  while (i < w && f[i] == ' ') ++i;
  bool neg = i < w && f[i] == '-';
  if (neg) ++i;
  long long v = 0;
  int digits = 0;
  for (; i < w && f[i] >= '0' && f[i] <= '9' && v <= 10000000000LL; ++i, ++digits) v = v * 10 + (f[i] - '0');
  if (neg) v = -v;
  int32_t want = digits == 0 || v < INT32_MIN || v > INT32_MAX ? -1 : static_cast<int32_t>(v);
  if (got != want) abort();
  char field[12];
  if (want != -1 && AdIIntToField(want, field, 11) == 0 && AdIFieldToInt(field, 11) != want) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* rest = data + 1;
  size_t n = size - 1;
  switch (data[0] % 4) {
    case 0:
      ReadBlock(std::string(reinterpret_cast<const char*>(rest), n));
      break;
    case 1:
      ReadBlock(CodecBlock(rest, n));
      break;
    case 2:
      RoundTrip(rest, n);
      break;
    default:
      DecimalField(rest, n);
      break;
  }
  return 0;
}
