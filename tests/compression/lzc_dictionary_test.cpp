// The LZC compressor against a plain model of the stream's dictionary: one
// open-addressing table of 9001 slots with double hashing, whose probes
// also stop at the slot that holds the string of two zero bytes. The model
// is written from the stream definition and kept simple; the library keeps
// the same dictionary in other structures, and every byte of its streams
// must be the model's. The inputs make that slot matter: many zero pairs,
// and strings whose first probe is slot 0 (ent == c << 5).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compression/csr.h"
#include "compression/lzc.h"

namespace {

using Bytes = std::vector<WEQ_RAW>;

Bytes ModelCompress(const Bytes& in) {
  constexpr int kHSize = 9001;
  int n_bits = 9, maxcode = 511, free_ent = 257, clear_flg = 0, ratio = 0, checkpoint = 4096;
  int bytes_out = 8, offset = 0;
  std::vector<int32_t> htab(kHSize, -1);
  std::vector<uint16_t> codetab(kHSize);
  uint8_t group[16] = {};
  const uint32_t n = static_cast<uint32_t>(in.size());
  Bytes out = {static_cast<WEQ_RAW>(n), static_cast<WEQ_RAW>(n >> 8), static_cast<WEQ_RAW>(n >> 16),
               static_cast<WEQ_RAW>(n >> 24), 0x11, 0x1F, 0x9D, 0x8D};
  auto write = [&](int k) {
    out.insert(out.end(), group, group + k);
    bytes_out += k;
    offset = 0;
  };
  auto output = [&](int code) {
    if (code < 0) {
      if (offset > 0) write((offset + 7) / 8);
      return;
    }
    for (int b = 0; b < n_bits; ++b, ++offset) {  // bit by bit, least significant first
      uint8_t& byte = group[offset / 8];
      if (offset % 8 == 0) byte = 0;
      byte |= static_cast<uint8_t>(((code >> b) & 1) << (offset % 8));
    }
    if (offset == n_bits * 8) write(n_bits);
    if (free_ent > maxcode || clear_flg > 0) {
      if (offset > 0) write(n_bits);  // whole, with what the buffer held before
      n_bits = clear_flg > 0 ? 9 : n_bits + 1;
      clear_flg = 0;
      maxcode = n_bits == 13 ? 8192 : (1 << n_bits) - 1;
    }
  };
  int ent = in[0];
  for (size_t pos = 1; pos < in.size(); ++pos) {
    const int c = in[pos];
    const int32_t fcode = (c << 13) + ent;
    int i = (c << 5) ^ ent;
    bool found = htab[i] == fcode;
    if (!found && htab[i] >= 0) {
      const int disp = i == 0 ? 1 : kHSize - i;
      do {
        i -= disp;
        if (i < 0) i += kHSize;
      } while (htab[i] != fcode && htab[i] > 0);
      found = htab[i] == fcode;
    }
    if (found) {
      ent = codetab[i];
      continue;
    }
    output(ent);
    ent = c;
    if (free_ent < 8192) {
      codetab[i] = static_cast<uint16_t>(free_ent++);
      htab[i] = fcode;
    } else if (static_cast<int>(pos + 1) >= checkpoint) {
      const int in_count = static_cast<int>(pos + 1);
      checkpoint = in_count + 4096;
      const int rat = in_count >= 0x800000 ? (bytes_out >> 8 == 0 ? 0x7FFFFFFF : in_count / (bytes_out >> 8))
                                           : (in_count << 8) / bytes_out;
      if (rat > ratio) {
        ratio = rat;
      } else {
        ratio = 0;
        std::fill(htab.begin(), htab.end(), -1);
        free_ent = 257;
        clear_flg = 1;
        output(256);
      }
    }
  }
  output(ent);
  output(-1);
  return out;
}

Bytes LibraryCompress(const Bytes& in, int piece) {
  auto s = std::make_unique<CSR_LZC_CSTATE>();
  Bytes out(in.size() * 2 + 64);
  size_t ip = 0, op = 0;
  for (int opt = CSR_OPT_NEW_STREAM;; opt = 0) {
    int r = 0, w = 0;
    int k = static_cast<int>(std::min<size_t>(piece, in.size() - ip));
    int rc = CsRLzcCompress(s.get(), static_cast<int>(in.size()), in.data() + ip, k, out.data() + op,
                            static_cast<int>(out.size() - op), opt, &r, &w);
    ip += r;
    op += w;
    if (rc != CSR_MORE_INPUT) {
      EXPECT_EQ(rc, CSR_END_OF_STREAM);
      break;
    }
  }
  out.resize(op);
  return out;
}

struct Corpus {
  std::string name;
  Bytes data;
};

std::vector<Corpus> Corpora() {
  std::vector<Corpus> v;
  for (uint32_t seed = 1; seed <= 24; ++seed) {
    std::mt19937 rng(seed);
    // Zero, the bytes c with a string of code c << 5 before them, and a few
    // others: key 0 and the strings that probe slot 0 first meet often.
    static const WEQ_RAW kAlphabet[] = {0, 1, 32, 64, 2, 0, 0, 96, 3, 4, 128};
    const size_t n = seed % 3 == 0 ? 20000 + rng() % 200000 : 500 + rng() % 6000;
    Bytes b(n);
    const uint32_t k = 2 + seed % 10;
    for (auto& c : b) c = kAlphabet[rng() % k];
    v.push_back({"alphabet" + std::to_string(seed), b});
  }
  std::mt19937 rng(7);
  Bytes zeros(150000), text, noise(120000);
  for (auto& c : zeros) c = rng() % 5 == 0 ? static_cast<WEQ_RAW>(rng()) : 0;
  for (auto& c : noise) c = static_cast<WEQ_RAW>(rng());
  static const char* const kWords[] = {"stream ", "table ", "code ", "group ", "\n", "the ", "a "};
  while (text.size() < 200000) {
    const char* w = kWords[rng() % 7];
    text.insert(text.end(), w, w + strlen(w));
  }
  v.push_back({"sparse_zeros", zeros});
  v.push_back({"noise", noise});
  v.push_back({"text", text});
  return v;
}

TEST(LzcDictionary, StreamsEqualThePlainTable) {
  for (const Corpus& c : Corpora()) {
    const Bytes model = ModelCompress(c.data);
    for (int piece : {1 << 24, 999}) {
      EXPECT_TRUE(LibraryCompress(c.data, piece) == model) << c.name << " in pieces of " << piece;
    }
  }
}

}  // namespace
