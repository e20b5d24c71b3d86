// 64 client conversations at once, each on its own thread against gw_peer's
// echo partner: 200 tagged, numbered messages of random sizes each, every
// byte back in order, 64 distinct ids among them; then again with one
// gateway id for all of them, which the requests keep (the peer checks).
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic_client_fixture.h"

namespace {

using cpictest::ConvId;

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

}  // namespace
