// SNC return codes from several threads at once: each thread names codes
// without a row and always reads its own code's text, and records codes in
// its own error information.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/snc/snc.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

TEST(SncCodesThreads, UnknownCodesNamedAtOnce) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  constexpr int kThreads = 8;
  const int rounds = 20000 * tovtest::HeavyFactor();
  std::atomic<int> ready{0};
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < rounds; ++i) {
        const int code = -1000 - t * 100000 - i % 977;
        const char* name = SncErrName(code);
        if (std::string(name) != "Unknown errorcode " + std::to_string(code)) ++wrong[t];
        if (i % 1000 == 0) {
          SncErrSet(code);
          if (tovtest::ToUtf8(ErrGetFld(ERR_FLD_RC)) != std::to_string(code)) ++wrong[t];
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

}  // namespace

#include "krn/snc/snc_int.h"
#include "snc_test_util.h"

namespace {

// Eight threads, each with its own pair of sessions: the handshake and
// 1,000 data frames at privacy level, all through the one global lock.
TEST(SncSessionsThreads, PairsAtOnce) {
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  FakeGssCtl* ctl = snctest::FakeCtl(SNC_FAKEGSS_V2);
  ASSERT_NE(ctl, nullptr);
  ASSERT_EQ(SncSetParam(SNC_PARAM_GSSAPI_LIB, SNC_FAKEGSS_V2, 0), WEQ_O_K);
  uint8_t avail = 0;
  ASSERT_EQ(SncInit(0, nullptr, &avail), WEQ_O_K);
  constexpr int kThreads = 8;
  const int frames = 1000 * tovtest::HeavyFactor();
  const std::vector<std::string> result = snctest::OnThreads(kThreads, [&](int t) {
    snctest::Pair p;
    if (SncSessionInit(&p.ini) != WEQ_O_K || SncSessionInit(&p.acc) != WEQ_O_K ||
        SncSessionInitiator(p.ini, 1, 0, "p:host/server") != WEQ_O_K || SncSessionAcceptor(p.acc, 0) != WEQ_O_K) {
      return std::string("setup failed");
    }
    int delivered = 0;
    for (int i = 0; i < frames; ++i) {
      const std::string text = "thread " + std::to_string(t) + " frame " + std::to_string(i);
      if (p.Send(i % 2 == 0, text) != WEQ_O_K) break;
      const auto& got = p.got[i % 2 == 0 ? 1 : 0];
      if (!got.empty() && std::string(got.back().begin(), got.back().end()) == text) ++delivered;
    }
    const std::string r = std::to_string(delivered) + " " + std::to_string(snctest::S(p.ini)->lastDataLevel) +
                std::to_string(snctest::S(p.acc)->lastDataLevel);
    SncSessionDone(&p.ini);
    SncSessionDone(&p.acc);
    return r;
  });
  EXPECT_EQ(result, std::vector<std::string>(kThreads, std::to_string(frames) + " 33"));
  EXPECT_EQ((std::vector<long>{ctl->liveNames, ctl->liveBuffers, ctl->liveCreds, ctl->liveContexts}),
            (std::vector<long>{0, 0, 0, 0}));
}

}  // namespace
