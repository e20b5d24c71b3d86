// Wakeup servers under threads: clients attach, send and detach on many
// threads while the owner closes the server at a moment of its choosing.
// Every call ends with success or NIECONN_BROKEN, a closed server's record
// lives exactly until its last client leaves (a use after free would stop
// the sanitizers), and no record or descriptor is left. Several threads'
// sends each wake the owner blocked in a select set that holds the server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "krn/ni/ni.h"
#include "krn/ni/nixx_int.h"
#include "krn/ni/nixxwu_int.h"
#include "krn/si/si.h"
#include "krn/thr/thr.h"
#include "peers/peers.h"

namespace {

using Clock = std::chrono::steady_clock;

class NiWakeupThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    ASSERT_EQ(NiInit3(256), WEQ_O_K);
    freeBefore_ = NiIFreeHandles();
    fdsBefore_ = peers::OpenFdCount();
  }
  void TearDown() override { NiExit(); }
  int32_t freeBefore_ = 0;
  int fdsBefore_ = 0;
};

TEST_F(NiWakeupThreads, AttachSendDetachRaceAgainstClose) {
  constexpr int kRounds = 40, kThreads = 6;
  std::atomic<int> unexpected{0}, attached{0}, refused{0}, broken{0};
  for (int round = 0; round < kRounds; ++round) {
    NI_WAKEUP_SERVER* srv = nullptr;
    ASSERT_EQ(NiWakeupOpen(&srv), WEQ_O_K);
    NI_WAKEUP_SERVER* shared = srv;
    // The anchor client keeps a closed server's record alive for the
    // threads that still hold its pointer; its detach, after the threads
    // have ended, frees it.
    NI_WAKEUP_CLIENT* anchor = nullptr;
    ASSERT_EQ(NiWakeupAttach(srv, &anchor), WEQ_O_K);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < kThreads + 1) std::this_thread::yield();
        // A client, its sends, and a second client attached while the
        // first is held, so that attaches meet a server closed with
        // clients still attached.
        NI_WAKEUP_CLIENT* cli = nullptr;
        NI_RC rc = NiWakeupAttach(shared, &cli);
        if (rc == NIECONN_BROKEN) {
          refused.fetch_add(1);
          return;
        }
        if (rc != WEQ_O_K) {
          unexpected.fetch_add(1);
          return;
        }
        attached.fetch_add(1);
        char msg[24] = {};
        snprintf(msg, sizeof msg, "round %d thread %d", round, t);
        for (int i = 0; i < 3; ++i) {
          rc = NiWakeupExec2(cli, msg, 24);
          if (rc == NIECONN_BROKEN) {
            broken.fetch_add(1);
          } else if (rc != WEQ_O_K) {
            unexpected.fetch_add(1);
          }
        }
        NI_WAKEUP_CLIENT* second = nullptr;
        rc = NiWakeupAttach(shared, &second);
        if (rc == WEQ_O_K) {
          attached.fetch_add(1);
          if (NiWakeupDetach(&second) != WEQ_O_K) unexpected.fetch_add(1);
        } else if (rc == NIECONN_BROKEN) {
          refused.fetch_add(1);
        } else {
          unexpected.fetch_add(1);
        }
        if (NiWakeupDetach(&cli) != WEQ_O_K) unexpected.fetch_add(1);
      });
    }
    ready.fetch_add(1);
    while (ready.load() < kThreads + 1) std::this_thread::yield();
    if (round % 2 == 1) std::this_thread::yield();
    EXPECT_EQ(NiWakeupClose(&srv), WEQ_O_K);
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(shared->mClients, 1);
    EXPECT_EQ(NiWakeupDetach(&anchor), WEQ_O_K);
  }
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(attached.load(), 0);
  EXPECT_EQ(NiIFreeHandles(), freeBefore_);
  EXPECT_EQ(peers::OpenFdCount(), fdsBefore_);
}

TEST_F(NiWakeupThreads, EachSendOfSeveralThreadsWakesTheBlockedOwner) {
  constexpr int kSenders = 4;
  NI_WAKEUP_SERVER* srv = nullptr;
  ASSERT_EQ(NiWakeupOpen(&srv), WEQ_O_K);
  const NI_HDL wake = NiWakeupGetNiHdl(srv);
  NISEL* set = nullptr;
  ASSERT_EQ(NiSelNewSet2(&set, 4), WEQ_O_K);
  ASSERT_EQ(NiSelSet(set, wake, NI_READ, nullptr), WEQ_O_K);
  std::atomic<int> turn{-1}, failures{0}, collected{0};
  std::atomic<int64_t> sentAt{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kSenders; ++t) {
    senders.emplace_back([&, t] {
      NI_WAKEUP_CLIENT* cli = nullptr;
      if (NiWakeupAttach(srv, &cli) != WEQ_O_K) {
        failures.fetch_add(1);
        return;
      }
      auto end = Clock::now() + std::chrono::seconds(10);
      while (turn.load() != t && Clock::now() < end) std::this_thread::yield();
      char msg[24] = {};
      snprintf(msg, sizeof msg, "sender %d", t);
      sentAt.store(Clock::now().time_since_epoch().count());
      if (NiWakeupExec2(cli, msg, 24) != WEQ_O_K) failures.fetch_add(1);
      // Attached until the owner has its datagram: a detached client's
      // datagrams are dropped.
      while (collected.load() <= t && Clock::now() < end) std::this_thread::yield();
      if (NiWakeupDetach(&cli) != WEQ_O_K) failures.fetch_add(1);
    });
  }
  for (int t = 0; t < kSenders; ++t) {
    turn.store(t);
    // Blocked without limit in the set until this sender's datagram arrives.
    NI_RC sel = NiSelSelect(set, NI_BLOCK);
    int64_t woke = Clock::now().time_since_epoch().count();
    EXPECT_EQ(sel, WEQ_O_K);
    EXPECT_EQ(NiSelNext(set, nullptr, nullptr, nullptr, nullptr), wake);
    EXPECT_LT(std::chrono::nanoseconds(woke - sentAt.load()), std::chrono::milliseconds(50));
    char buf[24];
    uint32_t got = 0;
    NI_RC rc = NiWakeupCollect2(srv, buf, sizeof buf, &got);
    EXPECT_EQ(rc, WEQ_O_K);
    collected.store(t + 1);
    if (rc != WEQ_O_K) break;
    EXPECT_EQ(got, 24u);
    EXPECT_EQ(std::string(buf), "sender " + std::to_string(t));
  }
  collected.store(kSenders);
  for (std::thread& th : senders) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(NiSelClear(set, wake, 255), WEQ_O_K);
  delete set;
  EXPECT_EQ(NiWakeupClose(&srv), WEQ_O_K);
  EXPECT_EQ(NiIFreeHandles(), freeBefore_);
  EXPECT_EQ(peers::OpenFdCount(), fdsBefore_);
}

}  // namespace
