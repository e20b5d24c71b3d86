// Select sets created on several threads at once: each set's index takes
// its handle from its own block, so no thread's sets depend on another's
// and a 65th set works as the first did.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "krn/fi/fi_int.h"
#include "krn/si/si.h"
#include "krn/si/sisel/sisel.h"
#include "krn/thr/thr.h"
#include "peers/tcp_pair.h"

namespace {

// One thread's work: 65 sets of every implementation in turn, each with the
// same ready socket, all alive at once; returns the failures it saw.
int MakeSets(SI_SOCKET* sock, std::latch* go) {
  int failures = 0;
  std::vector<std::unique_ptr<SISEL_IMPL>> sets;
  go->arrive_and_wait();
  for (int i = 0; i < 65; ++i) {
    auto s = std::make_unique<SISEL_IMPL>();
    const uint8_t type = (uint8_t)(i % 3);
    if (s->SiSelAddSpecImpl(&type) != SI_OK || s->Init(4) != SI_OK ||
        s->Set(sock, SISEL_WRITE, nullptr, 0) != SI_OK) {
      ++failures;
      continue;
    }
    sets.push_back(std::move(s));
  }
  for (auto& s : sets) {
    uint32_t count = 0;
    uint8_t rd = 0, ex = 0, wr = 0;
    SI_SOCKET* got = nullptr;
    if (s->Select(1000, &count) != SI_OK || count != 1) ++failures;
    if (s->Next(&rd, &ex, &wr, &got, nullptr) != SI_OK || got == nullptr || wr != 1) ++failures;
    if (got != sock) ++failures;
  }
  return failures;
}

TEST(SiSelThreads, TwoThreadsCreate65SetsEach) {
  ASSERT_EQ(ThrProcInit(), 0u);
  ASSERT_EQ(SiInit(nullptr), SI_OK);
  peers::Fd a[2], b[2];
  SI_SOCKET rec[2];
  for (int t = 0; t < 2; ++t) {
    ASSERT_TRUE(peers::TcpPair(AF_INET, &a[t], &b[t]));
    rec[t] = SI_SOCKET{a[t].get(), SI_AF_INET, SI_SOCK_STREAM, 0};
  }
  for (int round = 0; round < 3; ++round) {
    std::latch go(2);
    int failures[2] = {-1, -1};
    std::thread t0([&] { failures[0] = MakeSets(&rec[0], &go); });
    std::thread t1([&] { failures[1] = MakeSets(&rec[1], &go); });
    t0.join();
    t1.join();
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
    EXPECT_EQ(FiISharedInUse(), 0u);  // no set took a process-wide slot
  }
}

}  // namespace
