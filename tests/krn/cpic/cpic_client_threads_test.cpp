// 64 client conversations at once, each on its own thread against gw_peer's
// echo partner: 200 tagged, numbered messages of random sizes each, every
// byte back in order, 64 distinct ids among them; then again with one
// gateway id for all of them, which the requests keep (the peer checks).
// The blank id, which an accept that does not wait hands out, beside
// conversations being set up on other threads: it reaches none of them.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic_client_fixture.h"

namespace {

using cpictest::ConvId;
using cpictest::ErrFld;

constexpr int kThreads = 64;
constexpr int kMessages = 200;

// Bytes that the messages take slices of.
const std::string& Pool() {
  static const std::string pool = [] {
    std::string b(65536, '\0');
    uint32_t x = 1;
    for (char& c : b) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    return b;
  }();
  return pool;
}

// Message n of conversation t: its tag and number, then size bytes in all
// of a slice of the pool that depends on both (the tag is cut when size is
// below it).
std::string Message(int t, int n, size_t size) {
  std::string m = "T" + std::to_string(t) + "#" + std::to_string(n) + ":";
  size_t at = (static_cast<size_t>(t) * 7919 + static_cast<size_t>(n) * 104729) % 32768;
  if (m.size() < size) m.append(Pool(), at, size - m.size());
  m.resize(size);
  return m;
}

class CpicClientThreads : public cpictest::ClientTest {
 protected:
  // Runs the conversations; returns their own ids.
  std::set<std::string> RunAll() {
    std::vector<std::string> ids(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    // Every conversation is open before any ends, so the ids are compared
    // among live conversations.
    std::barrier opened(kThreads);
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 rng(static_cast<uint32_t>(t) + 1);
        std::uniform_int_distribution<int> size(0, 32000);
        ConvId id;
        CM_RETURN_CODE rc = Open(id);
        if (rc != CM_OK) {
          ADD_FAILURE() << "open " << t << ": " << rc << " " << cpictest::ErrFld(ERR_FLD_ERROR);
          ++failures;
          opened.arrive_and_drop();
          return;
        }
        ids[static_cast<size_t>(t)] = id.str();
        opened.arrive_and_wait();
        std::string buf(32000, '\0');
        for (int n = 0; n < kMessages; ++n) {
          std::string m = Message(t, n, static_cast<size_t>(size(rng)));
          int32_t len = static_cast<int32_t>(m.size()), rts = 0, req = 32000, dr = 0, got = -1, st = 0;
          rc = STSEND(id, m.data(), &len, &rts, nullptr);
          if (rc == CM_OK) rc = STRCV(id, buf.data(), &req, &dr, &got, &st, &rts, nullptr);
          if (rc != CM_OK || got != len || buf.compare(0, m.size(), m) != 0 || dr != CM_COMPLETE_DATA_RECEIVED) {
            ADD_FAILURE() << "conversation " << t << " message " << n << ": rc " << rc << ", " << got << " of "
                          << len << " bytes";
            ++failures;
            STDEAL(id, nullptr);
            return;
          }
        }
        EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(STIActiveConvs(), 0);
    return std::set<std::string>(ids.begin(), ids.end());
  }
};

TEST_F(CpicClientThreads, SixtyFourConversationsEchoEveryByte) {
  StartPeer({"--quiet"});
  EXPECT_EQ(RunAll().size(), static_cast<size_t>(kThreads));
}

TEST_F(CpicClientThreads, OneGatewayIdForAll) {
  StartPeer({"--quiet"});
  ASSERT_TRUE(peer().Control("switch oneid=1"));
  std::set<std::string> ids = RunAll();
  EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads));
}

// While another thread's initialise waits for the gateway's answer (its
// entry taken, no id yet), calls runs verbs with the blank id. The
// initialise then completes, and its conversation is whole.
class CpicBlankId : public cpictest::ClientTest {
 protected:
  void WhileAnInitialiseWaits(const std::function<void(ConvId&)>& calls) {
    StartPeer();
    ASSERT_TRUE(peer().Control("switch holdinit=1"));
    ConvId id;
    CM_RETURN_CODE initRc = -1;
    std::thread a([&] { initRc = Init(id); });
    ASSERT_EQ(peer().Wait("EVENT", "HELD").dir, "EVENT") << peer().Text();
    ConvId blank;
    calls(blank);
    EXPECT_TRUE(peer().Control("release"));
    a.join();
    ASSERT_EQ(initRc, CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_NE(id.str(), blank.str());
    EXPECT_EQ(STALLC(id, nullptr), CM_OK);
    EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
    // The first deallocate the peer saw is this one.
    EXPECT_EQ(Request(11).get("convid"), id.str());
  }
};

TEST_F(CpicBlankId, DeallocateSendsNothing) {
  WhileAnInitialiseWaits([](ConvId& blank) {
    ErrClear();
    EXPECT_EQ(STDEAL(blank, nullptr), CM_OK);
    EXPECT_EQ(ErrFld(ERR_FLD_RC), "");
  });
}

TEST_F(CpicBlankId, ReceiveAndTheOtherVerbsAnswerAsForAnUnknownId) {
  WhileAnInitialiseWaits([](ConvId& blank) {
    int32_t req = 100, len = 1, dr = -1, rl = -1, st = -1, rts = -1, type = 0;
    char buf[100];
    uint8_t mode = 9;
    const std::function<CM_RETURN_CODE()> verbs[] = {
        [&] { return STRCV(blank, buf, &req, &dr, &rl, &st, &rts, nullptr); },
        [&] { return STSEND(blank, "x", &len, &rts, nullptr); },
        [&] { return STALLC(blank, nullptr); },
        [&] { return STSYNC(blank, nullptr); },
        [&] { return STSPLN(blank, u"lu", &len, nullptr); },
        [&] { return WEQ_CMCANCEL(blank, &type, nullptr); },
        [&] { return WEQ_CMTIMEOUT2(blank, 5, nullptr); },
        [&] { return WEQ_CMSNCMODE(blank, &mode, nullptr); },
    };
    for (const auto& verb : verbs) {
      ErrClear();
      EXPECT_EQ(verb(), CM_PARAMETER_ERROR);
      EXPECT_TRUE(ErrFld(ERR_FLD_RC) == "473" || ErrFld(ERR_FLD_RC) == "769") << ErrFld(ERR_FLD_ERROR);
    }
    EXPECT_EQ(WEQ_CMSENDERRINFO(blank, 726, 17, nullptr), CM_PARAMETER_ERROR);
  });
}

// One thread opens and deallocates conversations in a row while another
// deallocates the blank id over and over.
TEST_F(CpicBlankId, DeallocatesOfTheBlankIdBesideConversationsInARow) {
  constexpr int kRounds = 50;
  StartPeer({"--quiet"});
  std::atomic<bool> done{false};
  std::atomic<int> blankCalls{0}, blankWrong{0};
  std::thread b([&] {
    ConvId blank;
    while (!done.load()) {
      if (STDEAL(blank, nullptr) != CM_OK) ++blankWrong;
      ++blankCalls;
    }
  });
  int failures = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < kRounds && std::chrono::steady_clock::now() < until; ++i) {
    ConvId id;
    CM_RETURN_CODE rc = Open(id);
    if (rc == CM_OK) rc = STDEAL(id, nullptr);
    if (rc != CM_OK && ++failures < 3) ADD_FAILURE() << "round " << i << ": " << rc << " " << ErrFld(ERR_FLD_ERROR);
  }
  done.store(true);
  b.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(blankWrong.load(), 0);
  EXPECT_GT(blankCalls.load(), 0);
}

}  // namespace
