// The registered server program's select set over NI connections of the
// test: the verbs before the set is ready, a set-up that fails at each step
// and is tried again by the listen, the wakeup of a blocked listen by
// another thread, the close request and the handle that comes next, and a
// ready handle reported once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "krn/cpic/cpic_client_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

class CpicSel : public cpictest::ClientTest {
 protected:
  // A connected pair of NI handles on loopback; a has the listener's side.
  void Pair(NI_HDL* a, NI_HDL* b) {
    uint16_t port = 0;
    NI_HDL lis = NI_INVALID_HDL;
    ASSERT_EQ(NiServerHandleForPort(&port, &lis), WEQ_O_K);
    std::u16string serv = tovtest::FromUtf8(std::to_string(port));
    ASSERT_EQ(NiHandle(u"127.0.0.1", serv.c_str(), 3000, b), WEQ_O_K);
    ASSERT_EQ(NiAccept(lis, 3000, a, nullptr, nullptr), WEQ_O_K);
    NiCloseHandle(lis);
  }
  void Readable(NI_HDL b) {
    uint32_t w = 0;
    ASSERT_EQ(NiWrite(b, "data", 4, NI_BLOCK, &w), WEQ_O_K);
  }
  // Every handle the listener reports until none is left.
  std::multiset<int32_t> Reported(int ms) {
    std::multiset<int32_t> out;
    for (int32_t h; (h = NextReady(ms)) != -1;) out.insert(h);
    return out;
  }
};

// Before the set is ready: 28 without error information.
TEST_F(CpicSel, VerbsBeforeTheSetIsReady) {
  int32_t h = 5;
  ErrClear();
  EXPECT_EQ(WEQ_CMGETNEXTHDL(&h, nullptr, nullptr), CM_UNSUCCESSFUL);
  EXPECT_EQ(h, 5);
  EXPECT_EQ(WEQ_CMUNREGTP3(17, nullptr), CM_UNSUCCESSFUL);
  EXPECT_FALSE(ErrIsSet());
}

// A set-up that fails at any step leaves the set not ready; the verbs that
// need it refuse, and the listen tries the set-up again.
TEST_F(CpicSel, FailedSetUpIsTriedAgain) {
  for (int step = 1; step <= 4; ++step) {
    SCOPED_TRACE(step);
    Restart({});
    STISetSelFault(step);
    EXPECT_EQ(STIInitSelSet(nullptr), CM_RESOURCE_FAILURE_NO_RETRY);
    EXPECT_FALSE(STISelReady());
    int32_t h = 0;
    EXPECT_EQ(WEQ_CMGETNEXTHDL(&h, nullptr, nullptr), CM_UNSUCCESSFUL);
    EXPECT_NE(STISelSet(3, NI_READ, 0), WEQ_O_K);
    EXPECT_EQ(WEQ_CMLISTEN(0, nullptr), CM_WEQ_TIMEOUT_RETRY);
    EXPECT_TRUE(STISelReady());
    EXPECT_EQ(WEQ_CMGETNEXTHDL(&h, nullptr, nullptr), CM_OK);
    EXPECT_EQ(h, -1);
  }
}

// Another thread's request ends a blocked listen at once.
TEST_F(CpicSel, WakeupEndsABlockedListen) {
  ASSERT_EQ(STIInitSelSet(nullptr), CM_OK);
  NI_HDL a = -1, b = -1;
  Pair(&a, &b);
  std::atomic<bool> listening{false};
  Clock::time_point sent;
  std::thread other([&] {
    while (!listening.load()) std::this_thread::yield();
    sent = Clock::now();
    EXPECT_EQ(STISelSet(a, NI_READ, 9), WEQ_O_K);
  });
  listening.store(true);
  EXPECT_EQ(WEQ_CMLISTEN(5000, nullptr), CM_OK);
  auto woke = Clock::now();
  other.join();
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(woke - sent).count(), 50);
  int32_t h = 0;
  EXPECT_EQ(WEQ_CMGETNEXTHDL(&h, nullptr, nullptr), CM_OK);
  EXPECT_EQ(h, -1) << "the request is carried out, nothing is ready";
  Readable(b);
  void* user = nullptr;
  EXPECT_EQ(NextReady(3000, &user), a);
  EXPECT_EQ(user, reinterpret_cast<void*>(9));
  NiCloseHandle(a);
  NiCloseHandle(b);
}

// A close request removes and closes its handle; the listener reports the
// other ready handle, each ready handle once until it is set again.
TEST_F(CpicSel, CloseRequestAndReadyHandlesOnce) {
  ASSERT_EQ(STIInitSelSet(nullptr), CM_OK);
  NI_HDL a1 = -1, b1 = -1, a2 = -1, b2 = -1;
  Pair(&a1, &b1);
  Pair(&a2, &b2);
  ASSERT_EQ(STISelSet(a1, NI_READ, 1), WEQ_O_K);
  ASSERT_EQ(STISelSet(a2, NI_READ, 2), WEQ_O_K);
  EXPECT_EQ(Reported(50), std::multiset<int32_t>{});
  Readable(b2);
  ASSERT_EQ(STISelDelete(nullptr, a1), WEQ_O_K);
  EXPECT_EQ(Reported(200), std::multiset<int32_t>{a2});
  EXPECT_NE(NiCloseHandle(a1), WEQ_O_K) << "the close request did not close";
  EXPECT_EQ(Reported(50), std::multiset<int32_t>{}) << "reported twice";
  ASSERT_EQ(STISelSet(a2, NI_READ, 2), WEQ_O_K);
  EXPECT_EQ(Reported(200), std::multiset<int32_t>{a2});
  NiCloseHandle(a2);
  NiCloseHandle(b1);
  NiCloseHandle(b2);
}

}  // namespace
