// The six compression natives on the in-process JNI host, driven by the
// input: random arrays, offsets, lengths, options, handles, and a valid
// stream mutated by the input. Any crash, sanitizer report, breach of JNI's
// rules or pending exception is a finding.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "compression/csr.h"
#include "compression/csr_pool_int.h"
#include "fuzz/input.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/thr/thr.h"
#include "support/jnihost.h"

namespace {

using Input = tovfuzz::Input;

std::vector<uint8_t> gStream;  // a valid LZH stream of 3000 bytes

// The pool keeps a closed handle's work area (700 KB) only while the next
// lower slot has one, and the first slot's lower neighbour is never handed
// out: handles taken and closed by each input would allocate and free a
// work area every time, most of the target's time. The target holds the
// first handle, as a longer-lived user of the pool would, so that the
// slots above keep theirs; an input that closes it gives the first slot to
// its own handles, and the next input takes it again.
void HoldFirstHandle() {
  constexpr int kFirstSlot = CSR_HANDLE_FIRST - 300;  // a handle is its slot + 300
  CSR_HANDLE h;
  if (!CsRIHasWorkArea(kFirstSlot)) CsRGetHandle(&h);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ThrProcInit();
  tovtest::JniHost host;
  JNIEnv* env = host.env();
  jint h = Java_com_weq_conn_rfc_engine_Compress_CsRGetHandle(env, nullptr);
  jbyteArray hdr = host.NewBytes(std::vector<uint8_t>(8));
  std::vector<uint8_t> data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>("abcabd"[i % 6] + i % 7);
  Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(env, nullptr, h, hdr, 3000);
  gStream = host.Bytes(hdr);
  jbyteArray in = host.NewBytes(data);
  jbyteArray out = host.NewBytes(std::vector<uint8_t>(2080));
  jintArray res = host.NewInts({0, 0, 0});
  Java_com_weq_conn_rfc_engine_Compress_CsRCompress(env, nullptr, h, 3000, in, 0, 3000, out, 0, 2080, 0, res);
  std::vector<uint8_t> o = host.Bytes(out);
  gStream.insert(gStream.end(), o.begin(), o.begin() + host.Ints(res)[1]);
  Java_com_weq_conn_rfc_engine_Compress_CsRCloseHandle(env, nullptr, h);
  HoldFirstHandle();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HoldFirstHandle();
  Input in{data, size};
  tovtest::JniHost host;
  JNIEnv* env = host.env();
  std::vector<jint> handles;
  std::vector<uint8_t> stream = gStream;
  for (int steps = 0; steps < 64 && in.n > 0; ++steps) {
    jint h = handles.empty() || in.U(1) < 8 ? static_cast<jint>(250 + in.U(2) % 600)
                                           : handles[in.U(1) % handles.size()];
    switch (in.U(1) % 8) {
      case 0: {
        jint got = Java_com_weq_conn_rfc_engine_Compress_CsRGetHandle(env, nullptr);
        if (got > 0) handles.push_back(got);
        break;
      }
      case 1:
        Java_com_weq_conn_rfc_engine_Compress_CsRCloseHandle(env, nullptr, h);
        break;
      case 2: {
        jbyteArray out = in.U(1) < 8 ? nullptr : host.NewBytes(std::vector<uint8_t>(in.U(1) % 16));
        Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(env, nullptr, h, out,
                                                              static_cast<jint>(in.U(2)) - 100);
        break;
      }
      case 3: {
        std::vector<uint8_t> plain(in.U(2) % 5000);
        for (auto& b : plain) b = static_cast<uint8_t>(in.U(1));
        jbyteArray a = host.NewBytes(plain);
        jbyteArray out = host.NewBytes(std::vector<uint8_t>(in.U(2) % 2500));
        jintArray res = in.U(1) < 8 ? nullptr : host.NewInts(std::vector<int32_t>(in.U(1) % 5));
        Java_com_weq_conn_rfc_engine_Compress_CsRCompress(
            env, nullptr, h, static_cast<jint>(in.U(2)) - 16, a, in.Bound(4128), in.Bound(4128), out,
            in.Bound(2080), in.Bound(2080), static_cast<jint>(in.U(1)), res);
        break;
      }
      case 4: {
        // Flip bits of the stream, then start a decompression on it.
        for (uint32_t m = in.U(1) % 4; m > 0; --m) stream[in.U(2) % stream.size()] ^= static_cast<uint8_t>(in.U(1));
        jbyteArray a = host.NewBytes(std::vector<uint8_t>(stream.begin(), stream.begin() + in.U(1) % 12));
        Java_com_weq_conn_rfc_engine_Compress_CsRInitDecompress(env, nullptr, h, a);
        break;
      }
      default: {
        size_t from = 8 + in.U(2) % (stream.size() - 8);
        jbyteArray a = host.NewBytes(std::vector<uint8_t>(stream.begin() + static_cast<long>(from), stream.end()));
        jbyteArray out = host.NewBytes(std::vector<uint8_t>(in.U(2) % 5000));
        jintArray res = host.NewInts(std::vector<int32_t>(3));
        Java_com_weq_conn_rfc_engine_Compress_CsRDecompress(env, nullptr, h, a, in.Bound(2080),
                                                            in.Bound(2080), out, in.Bound(4128),
                                                            static_cast<jint>(in.U(1) & 1), res);
        break;
      }
    }
    host.EndNative();
    if (!host.Violations().empty()) {
      fprintf(stderr, "JNI rule broken: %s\n", host.Violations().front().c_str());
      abort();
    }
  }
  for (jint h : handles) Java_com_weq_conn_rfc_engine_Compress_CsRCloseHandle(env, nullptr, h);
  return 0;
}
