// Four inputs from one byte string, chosen by the first byte modulo 4:
//   0: an incoming field with flags and a capacity for GwConvFromNet and
//      GwNetStrForTrc: nothing written past the capacity, the length within
//      it, the trace text terminated within the field length + 1;
//   1: 16-bit text for GwConvToNet into a field of exactly its capacity;
//   2: a header of a random version converted to another in a block with
//      exactly the room the conversion needs: it ends where the data begins
//      and the data is untouched;
//   3: a connect answer (up to 700 bytes) for GwIConnCheckAnsw with both
//      request versions, and for GwIConnect over replaced NI slots: a
//      failure leaves both handles -1 with the connection closed once.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "fuzz/check.h"

namespace {

void FromNet(const uint8_t* data, size_t size) {
  if (size < 2) return;
  int capacity = data[0] % 40;
  int terminate = data[1] & 1, blank = (data[1] >> 1) & 1;
  data += 2, size -= 2;
  std::vector<char> field(data, data + size);
  std::vector<WEQ_UC> dst(static_cast<size_t>(capacity) + 1, 0xBEEF);
  int len = -77;
  int rc = GwConvFromNet(dst.data(), &len, capacity, field.data(), static_cast<int>(size), terminate, blank);
  FUZZ_CHECK(dst[static_cast<size_t>(capacity)] == 0xBEEF);
  if (rc == 0 || rc == 32) {
    FUZZ_CHECK(len >= 0 && len <= capacity);
    if (terminate && capacity > 0) FUZZ_CHECK(len < capacity && dst[static_cast<size_t>(len)] == 0);
  } else {
    FUZZ_CHECK(len == -77);
  }
  const WEQ_UC* t = GwNetStrForTrc(field.data(), static_cast<int>(size), terminate, blank);
  size_t n = 0;
  while (t[n] != 0) ++n;
  FUZZ_CHECK(n <= size);
}

void ToNet(const uint8_t* data, size_t size) {
  if (size < 2) return;
  int capacity = data[0] % 40;
  int terminate = data[1] & 1, blank = (data[1] >> 1) & 1;
  data += 2, size -= 2;
  std::vector<WEQ_UC> src(size / 2);
  if (!src.empty()) memcpy(src.data(), data, src.size() * 2);
  std::vector<char> field(static_cast<size_t>(capacity) + 1, '#');
  int len = -77;
  int rc = GwConvToNet(field.data(), &len, capacity, src.data(), static_cast<int>(src.size()), terminate, blank);
  FUZZ_CHECK(field[static_cast<size_t>(capacity)] == '#');
  if (rc == 0 || rc == 32) {
    FUZZ_CHECK(len >= 0 && len <= capacity);
    if (terminate && capacity > 0) FUZZ_CHECK(len >= 1 && field[static_cast<size_t>(len - 1)] == 0);
  } else {
    FUZZ_CHECK(len == -77);
  }
}

void Header(const uint8_t* data, size_t size) {
  if (size < 2) return;
  uint8_t from = data[0] % 9, to = data[1] % 9;
  data += 2, size -= 2;
  int oldLen = GwAppcHdrLen(from);
  int newLen = from == to ? oldLen : GwAppcHdrLen(to);
  int front = newLen > oldLen ? newLen - oldLen : 0;
  size_t dataLen = size + 1;  // the version byte of a header without length lies here
  std::unique_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(front + oldLen) + dataLen]);
  uint8_t* hdr = block.get() + front;
  for (int i = 0; i < oldLen; ++i) hdr[i] = static_cast<uint8_t>(i < static_cast<int>(size) ? data[i] : i);
  if (size > 0) memcpy(hdr + oldLen, data, size);
  hdr[oldLen + static_cast<int>(size)] = 0x5A;
  hdr[0] = from;
  int msgLen = oldLen + static_cast<int>(dataLen);
  uint8_t* out = GwOutCheck(hdr, to, &msgLen);
  FUZZ_CHECK(out + newLen == hdr + oldLen);
  FUZZ_CHECK(msgLen == newLen + static_cast<int>(dataLen));
  // Without header bytes and data the marker is the version byte itself.
  if (oldLen > 0 || size > 0) FUZZ_CHECK(out[newLen + static_cast<int>(size)] == 0x5A);
}

struct FuzzGateway {
  const uint8_t* answer;
  size_t len;
  int closes;
};

void Answer(const uint8_t* data, size_t size) {
  if (size > 700) size = 700;
  std::vector<uint8_t> a(data, data + size);
  for (uint8_t v : {uint8_t{2}, uint8_t{3}}) {
    uint8_t ver = 0xEE, info = 0xEE;
    int echo = -1;
    int rc = GwIConnCheckAnsw(a.data(), static_cast<int>(size), v, &ver, &info, &echo);
    if (rc == 0) FUZZ_CHECK(GwAppcHdrLen(ver) > 0 && (echo == 0 || echo == 1));
    else FUZZ_CHECK(ver == 0xEE && info == 0xEE);
  }
  GwNiOps ops = GwIDefaultOps();
  ops.connect.fn = [](const WEQ_UC*, const WEQ_UC*, int32_t, NI_HDL* h, uint32_t, void*) -> NI_RC {
    *h = 3;
    return 0;
  };
  ops.write.fn = [](NI_HDL, const void*, int len, int, uint32_t* w, void*) -> NI_RC {
    *w = static_cast<uint32_t>(len);
    return 0;
  };
  ops.read.fn = [](NI_HDL, void* buf, int len, int, uint32_t* r, void* ctx) -> NI_RC {
    auto* g = static_cast<FuzzGateway*>(ctx);
    if (g->len > static_cast<size_t>(len)) return NIETOO_SMALL;
    if (g->len > 0) memcpy(buf, g->answer, g->len);
    *r = static_cast<uint32_t>(g->len);
    return 0;
  };
  ops.close.fn = [](NI_HDL, void* ctx) -> NI_RC {
    static_cast<FuzzGateway*>(ctx)->closes++;
    return 0;
  };
  GwISetOps(&ops);
  FuzzGateway g{a.data(), size, 0};
  NI_NODEADDR local{};
  local.addr[15] = 1;
  NI_HDL h = 0, h2 = 0;
  int rc = GwIConnect(11, u"gw", nullptr, u"3300", u"me", &local, u"prog", &h, &h2, 0, nullptr, nullptr, 10, 0,
                      -1, nullptr, &g);
  GwISetOps(nullptr);
  if (rc == 0) FUZZ_CHECK(h == 3 && h2 == 3 && g.closes == 0);
  else FUZZ_CHECK(h == NI_INVALID_HDL && h2 == NI_INVALID_HDL && g.closes == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  switch (data[0] % 4) {
    case 0: FromNet(data + 1, size - 1); break;
    case 1: ToNet(data + 1, size - 1); break;
    case 2: Header(data + 1, size - 1); break;
    default: Answer(data + 1, size - 1); break;
  }
  return 0;
}
