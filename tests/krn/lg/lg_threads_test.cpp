// Lookups of eight threads at once while a ninth changes the time-out: the
// layer's mutex lets one lookup talk to the message server at a time.
#include <atomic>
#include <thread>

#include "lg_test_util.h"

namespace {

class LgThreads : public lgtest::Lookup {};

TEST_F(LgThreads, EightThreadsNeverShareTheMessageServer) {
  // A group without load balancing: every lookup connects, reads, detaches.
  mspeer::MsPeer peer("group G 4 10.0.0.9 3209 740\nappserver A 127.0.0.1 3301 100 0 3 1\n");
  ASSERT_TRUE(peer.ok());
  std::atomic<int> wrong{0};
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    for (int32_t v = 5000; !stop.load(); v = v == 5000 ? 6000 : 5000) LgSetParam(LG_PARAM_TIMEOUT, v);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        lgtest::Result r = Run(peer, u"G");
        if (r.rc != 0 || r.addr != "10.0.0.9" || r.port != 3209) wrong.fetch_add(1);
      }
    });
  for (std::thread& t : threads) t.join();
  stop = true;
  setter.join();
  EXPECT_EQ(wrong.load(), 0);
  ASSERT_TRUE(peer.WaitCount(160, "IN", "kind", "logout"));
  // Each session logs off before the next logs on: the logout was written
  // before the next connect began, and the peer reads its connections in
  // the order they came.
  int open = 0, most = 0;
  for (const mspeer::Event& e : peer.Events("IN")) {
    if (e["kind"] == "login") most = std::max(most, ++open);
    if (e["kind"] == "logout") --open;
  }
  EXPECT_EQ(most, 1);
  EXPECT_EQ(peer.Events("CONN").size(), 160u);
}

}  // namespace
