// A registered server program under load: 4 registrations, one listening
// thread, 8 accepting threads, and 64 client conversations of ours on 64
// threads that gw_peer relays to them, 50 tagged, numbered messages each,
// echoed back by the server: none lost, duplicated or crossed. Then every
// registration is unregistered and nothing is left open.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic_client_fixture.h"

namespace {

using cpictest::ConvId;

constexpr int kRegistrations = 4;
constexpr int kAcceptors = 8;
constexpr int kClients = 64;
constexpr int kMessages = 50;

// The ready handles the listener hands to the acceptors.
class Ready {
 public:
  void Push(int32_t h) {
    std::lock_guard<std::mutex> l(mu_);
    q_.push_back(h);
    cv_.notify_one();
  }
  // -1 once stopped.
  int32_t Pop() {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return !q_.empty() || stop_; });
    if (q_.empty()) return -1;
    int32_t h = q_.front();
    q_.pop_front();
    return h;
  }
  void Stop() {
    std::lock_guard<std::mutex> l(mu_);
    stop_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<int32_t> q_;
  bool stop_ = false;
};

class CpicRegThreads : public cpictest::ClientTest {};

// Serves one conversation: every message back, until the client ends it.
void Echo(ConvId& acc, std::atomic<int>* failures) {
  std::string buf(32000, '\0');
  for (;;) {
    int32_t req = 32000, dr, len, st, rts;
    CM_RETURN_CODE rc = STRCV(acc, buf.data(), &req, &dr, &len, &st, &rts, nullptr);
    if (rc == CM_DEALLOCATED_NORMAL) return;
    if (rc != CM_OK || STSEND(acc, buf.data(), &len, &rts, nullptr) != CM_OK) {
      ADD_FAILURE() << "server: " << rc;
      ++*failures;
      STDEAL(acc, nullptr);
      return;
    }
  }
}

TEST_F(CpicRegThreads, SixtyFourClientsThroughFourRegistrations) {
  StartPeer({"--quiet"});
  ASSERT_TRUE(peer().Control("switch regwait=30000"));
  std::vector<int32_t> regs;
  for (int i = 0; i < kRegistrations; ++i) {
    int32_t h = -1;
    ASSERT_EQ(WEQ_CMREGTP3(u"RELAY", host_.c_str(), serv_.c_str(), &h, nullptr, nullptr), CM_OK);
    ConvId none;
    ASSERT_EQ(WEQ_CMACCPTP3(h, -2, none, nullptr, nullptr), CM_OK);
    regs.push_back(h);
  }
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  Ready ready;
  std::thread listener([&] {
    while (!stop.load()) {
      int32_t h = NextReady(50);
      if (h != -1) ready.Push(h);
    }
  });
  std::vector<std::thread> acceptors;
  for (int a = 0; a < kAcceptors; ++a) {
    acceptors.emplace_back([&] {
      for (int32_t h; (h = ready.Pop()) != -1;) {
        ConvId acc;
        CM_RETURN_CODE rc = WEQ_CMACCPTP3(h, 10, acc, nullptr, nullptr);
        if (rc == CM_OK) {
          Echo(acc, &failures);
          rc = WEQ_CMACCPTP3(h, -2, acc, nullptr, nullptr);
        }
        if (rc != CM_OK && rc != CM_WEQ_TIMEOUT_RETRY && rc != CM_WEQ_PING_RECEIVED) {
          ADD_FAILURE() << "accept: " << rc << " " << cpictest::ErrFld(ERR_FLD_ERROR);
          ++failures;
        }
      }
    });
  }
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(t) + 7);
      std::uniform_int_distribution<int> size(0, 3000);
      ConvId c;
      if (Open(c, u"RELAY") != CM_OK) {
        ADD_FAILURE() << "client " << t << ": " << cpictest::ErrFld(ERR_FLD_ERROR);
        ++failures;
        STDEAL(c, nullptr);
        return;
      }
      std::string buf(32000, '\0');
      for (int n = 0; n < kMessages; ++n) {
        std::string m = "client " + std::to_string(t) + " message " + std::to_string(n) + " ";
        m.append(static_cast<size_t>(size(rng)), static_cast<char>('a' + (t + n) % 26));
        int32_t len = static_cast<int32_t>(m.size()), rts, req = 32000, dr, got = -1, st;
        CM_RETURN_CODE rc = STSEND(c, m.data(), &len, &rts, nullptr);
        if (rc == CM_OK) rc = STRCV(c, buf.data(), &req, &dr, &got, &st, &rts, nullptr);
        if (rc != CM_OK || got != len || buf.compare(0, m.size(), m) != 0) {
          ADD_FAILURE() << "client " << t << " message " << n << ": rc " << rc << ", " << got << " of " << len;
          ++failures;
          break;
        }
      }
      STDEAL(c, nullptr);
    });
  }
  for (auto& c : clients) c.join();
  // The last hand-backs come after the clients' ends.
  for (int i = 0; i < 200 && STIActiveConvs() != kRegistrations; ++i) NiWait(10);
  EXPECT_EQ(STIActiveConvs(), kRegistrations);
  for (int32_t h : regs) EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
  stop.store(true);
  listener.join();
  ready.Stop();
  for (auto& a : acceptors) a.join();
  Drain();  // the closes of the registrations, now on this thread
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(STIActiveConvs(), 0);
}

}  // namespace
