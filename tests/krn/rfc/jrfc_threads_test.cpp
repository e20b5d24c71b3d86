// The bindings under concurrency: first INIT calls at once, threads that
// end before and after INIT, and compression natives on many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "compression/csr.h"
#include "krn/dptrc/err.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/rscp/rscp.h"
#include "support/jnihost.h"
#include "support/testsupport.h"

namespace {

using tovtest::ChildResult;
using tovtest::RunInChild;

std::atomic<int> gConverterCalls{0}, gAttachCalls{0};
rscpRc_t CountingConverter(int) {
  gConverterCalls++;
  std::this_thread::yield();
  return 0;
}
int CountingAttach(WEQ_UC**) {
  gAttachCalls++;
  return 1;
}
int ThreadAttach() { return 1; }
const JrfcLayerCalls kCounting = {ThrProcInit, CountingConverter, CountingAttach, ThreadAttach,
                                  ThrCSInit};

ChildResult WithFakes(const std::function<int()>& fn) {
  return RunInChild([&] {
    LibraryProcessAttach();
    jrfcISetLayerCalls(&kCounting);
    return fn();
  });
}

TEST(Init, ConcurrentFirstCallsStartTheLayersOnce) {
  ChildResult r = WithFakes([] {
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    std::atomic<bool> go{false};
    for (int i = 0; i < 16; ++i) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (jrfcInit() != 0) bad++;
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    return bad == 0 && gConverterCalls == 1 && gAttachCalls == 1 ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(Unload, ThreadsEndingBeforeAndAfterInitLeaveNoRecords) {
  ChildResult r = RunInChild([] {
    LibraryProcessAttach();
    JrfcLiveCounts start = jrfcILiveCounts();
    auto touch = [] {
      rscpGetThrCtx();
      ErrSetLocation(u"touched");
    };
    std::thread(touch).join();  // before INIT: the hook must be harmless
    JrfcLiveCounts before = jrfcILiveCounts();
    if (before.rscpCtx != start.rscpCtx || before.errInfo != start.errInfo ||
        before.thrTables != start.thrTables) {
      return 3;
    }
    if (jrfcInit() != 0) return 1;
    // INIT's own thread keeps its records.
    start = jrfcILiveCounts();
    std::vector<std::thread> threads;
    for (int i = 0; i < 32; ++i) threads.emplace_back(touch);
    for (auto& t : threads) t.join();
    // join returns once the thread's destructors have run.
    JrfcLiveCounts end = jrfcILiveCounts();
    if (end.rscpCtx != start.rscpCtx || end.errInfo != start.errInfo ||
        end.thrTables != start.thrTables) {
      fprintf(stderr, "ctx %ld/%ld err %ld/%ld tables %ld/%ld\n", start.rscpCtx, end.rscpCtx,
              start.errInfo, end.errInfo, start.thrTables, end.thrTables);
      return 2;
    }
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(CompressThreads, EachThreadItsOwnStreams) {
  ThrProcInit();
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &bad] {
      tovtest::JniHost host;
      JNIEnv* env = host.env();
      std::mt19937 g(static_cast<unsigned>(t));
      for (int round = 0; round < 20; ++round) {
        std::vector<uint8_t> data(1000 + g() % 6000);
        for (auto& b : data) b = static_cast<uint8_t>(g() % 16);
        jint h = Java_com_weq_conn_rfc_engine_Compress_CsRGetHandle(env, nullptr);
        jbyteArray hdr = host.NewBytes(std::vector<uint8_t>(8));
        const int total = static_cast<int>(data.size());
        if (Java_com_weq_conn_rfc_engine_Compress_CsRInitCompress(env, nullptr, h, hdr, total) != 0) {
          bad++;
        }
        std::vector<uint8_t> stream = host.Bytes(hdr);
        jintArray res = host.NewInts({0, 0, 0});
        int pos = 0;
        for (int guard = 0; guard < 1000; ++guard) {
          int inLen = std::min(total - pos, 4128);
          jbyteArray in = host.NewBytes(std::vector<uint8_t>(data.begin() + pos, data.begin() + pos + inLen));
          jbyteArray out = host.NewBytes(std::vector<uint8_t>(2080));
          Java_com_weq_conn_rfc_engine_Compress_CsRCompress(env, nullptr, h, total, in, 0, inLen, out, 0,
                                                            2080, 0, res);
          std::vector<int32_t> r = host.Ints(res);
          std::vector<uint8_t> o = host.Bytes(out);
          stream.insert(stream.end(), o.begin(), o.begin() + r[1]);
          pos += r[0];
          if (r[2] != CSR_OUTPUT_FULL && r[2] != CSR_MORE_INPUT) break;
        }
        Java_com_weq_conn_rfc_engine_Compress_CsRCloseHandle(env, nullptr, h);
        if (pos != total || stream.size() < 9) bad++;
        host.EndNative();
      }
      if (!host.Violations().empty()) bad++;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
