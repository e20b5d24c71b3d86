// Socket select sets: each implementation in a model-based random run over
// loopback TCP pairs, its ready sockets checked against raw poll(), its
// positions against a table kept only from the callbacks; the same script
// on all three; sockets closed, reset or renumbered underneath; capacity,
// compaction, failing waits, the dumps and the default choice.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "krn/fi/fi_int.h"
#include "krn/si/si.h"
#include "krn/si/si_int.h"
#include "krn/si/sisel/sisel.h"
#include "krn/si/sisel/sisel_int.h"
#include "peers/tcp_pair.h"
#include "support/testsupport.h"

namespace {

// The owner's side: a position table kept from the callbacks alone, as the
// NI select set keeps its own.
class Recorder : public SISEL_SPEC::CB_FUNCS {
 public:
  std::vector<int32_t> table;  // position -> socket number, -1 free
  int32_t adding = -1;         // the socket the next AddMsg stands for
  std::vector<std::string> faults;
  int moves = 0, resets = 0, creates = 0;
  int32_t stored = -1;

  void CreateMsg(uint32_t n) override {
    table.assign(n, -1);
    ++creates;
  }
  void AddMsg(uint32_t pos) override {
    if (pos >= table.size() || table[pos] != -1) return Fault("add at a taken position", pos);
    table[pos] = adding;
  }
  void MoveMsg(uint32_t from, uint32_t to) override {
    if (from >= table.size() || to >= table.size() || table[from] == -1 || table[to] != -1)
      return Fault("move between bad positions", from);
    table[to] = table[from];
    table[from] = -1;
    ++moves;
  }
  void RemoveMsg(uint32_t pos) override {
    if (pos >= table.size() || table[pos] == -1) return Fault("remove of a free position", pos);
    table[pos] = -1;
  }
  void ResetMsg() override {
    table.assign(table.size(), -1);
    ++resets;
  }
  void StorePos(uint32_t pos) override { stored = (int32_t)pos; }
  void DumpPos(CTRC_HDL hdl, int32_t pos) override {
    if (pos < 0)
      DpTrcCont(hdl, u" | owner");
    else
      DpTrcCont(hdl, u" | own %d", table[pos]);
  }
  size_t Used() const {
    size_t n = 0;
    for (int32_t s : table) n += s != -1;
    return n;
  }

 private:
  void Fault(const char* what, uint32_t pos) { faults.push_back(std::string(what) + " " + std::to_string(pos)); }
};

// What Next handed out.
struct Got {
  SI_RC rc;
  uint8_t rd, ex, wr;
  SI_SOCKET* sock;
  void* data;
  int32_t pos;  // from StorePos
};

// One set of a given implementation, owned as the NI select set owns it.
struct Set {
  SISEL_IMPL impl;
  SISEL_SPEC* spec = nullptr;
  Recorder rec;
  uint8_t type;

  Set(uint8_t t, uint32_t cap) : type(t) {
    EXPECT_EQ(impl.SiSelAddSpecImpl(&type), SI_OK);
    spec = impl.Spec();
    spec->mCallbacks = &rec;
    EXPECT_EQ(impl.Init(cap), SI_OK);
  }
  ~Set() {
    if (spec != nullptr) spec->mCallbacks = nullptr;
  }
  SI_RC Add(SI_SOCKET* s, uint8_t mode, void* data, uint8_t replace = 0) {
    rec.adding = s->socketNo;
    return impl.Set(s, mode, data, replace);
  }
  // Every socket Next hands out until it gives none (at most limit).
  std::vector<Got> Drain(size_t limit = 100000) {
    std::vector<Got> out;
    for (size_t i = 0; i < limit; ++i) {
      Got g{};
      rec.stored = -1;
      g.rc = impl.Next(&g.rd, &g.ex, &g.wr, &g.sock, &g.data);
      g.pos = rec.stored;
      if (g.sock == nullptr) {
        EXPECT_EQ(g.rc, SI_OK);
        break;
      }
      out.push_back(g);
    }
    return out;
  }
};

// A loopback pair; rec names our end.
struct Pair {
  peers::Fd ours, theirs;
  SI_SOCKET rec{};
  bool Open() {
    if (!peers::TcpPair(AF_INET, &ours, &theirs)) return false;
    rec = SI_SOCKET{ours.get(), SI_AF_INET, SI_SOCK_STREAM, 0};
    return true;
  }
  bool Poke() {
    const char b = 'x';
    return send(theirs.get(), &b, 1, MSG_NOSIGNAL) == 1 && (peers::WaitEvents(ours.get(), POLLIN, 5000) & POLLIN);
  }
  void DrainInput() {
    char buf[64];
    while (recv(ours.get(), buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
  }
};

std::vector<std::unique_ptr<Pair>> OpenPairs(size_t n) {
  std::vector<std::unique_ptr<Pair>> v;
  for (size_t i = 0; i < n; ++i) {
    v.push_back(std::make_unique<Pair>());
    EXPECT_TRUE(v.back()->Open()) << i;
  }
  return v;
}

const char* TypeName(uint8_t t) { return t == 0 ? "POLL" : t == 1 ? "SEL_NT" : "SEL_NT_FC"; }

class SiSelBase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(SiInit(nullptr), SI_OK); }
  void SetUp() override { SiITestReset(); }
  void TearDown() override { SiITestReset(); }
};

// --- The model run ---------------------------------------------------------------------

// Readiness of one batch: pair index -> (read, write).
using Ready = std::map<int, std::pair<bool, bool>>;

struct Member {
  uint8_t modes;  // SISEL_READ | SISEL_WRITE
  void* data;
};

// Checks every pair against the model: membership, modes, user data, and
// the position the set gives against the owner's table.
void CheckAgainstModel(Set& s, std::vector<std::unique_ptr<Pair>>& pairs, const std::map<int, Member>& model,
                       int op) {
  for (size_t i = 0; i < pairs.size(); ++i) {
    SI_SOCKET* r = &pairs[i]->rec;
    auto it = model.find((int)i);
    ASSERT_EQ(s.impl.IsMember(r), it != model.end()) << "op " << op << " pair " << i;
    uint8_t mode = 0xEE;
    void* data = nullptr;
    uint32_t pos = 99999;
    if (it == model.end()) {
      ASSERT_EQ(s.impl.GetMode(r, &mode), SI_EINVAL);
      ASSERT_EQ(s.spec->GetSocketPos(r, &pos), SI_EINVAL);
      continue;
    }
    ASSERT_EQ(s.impl.GetMode(r, &mode), SI_OK);
    ASSERT_EQ(mode, it->second.modes) << "op " << op << " pair " << i;
    ASSERT_EQ(s.impl.GetData(r, &data), SI_OK);
    ASSERT_EQ(data, it->second.data);
    ASSERT_EQ(s.spec->GetSocketPos(r, &pos), SI_OK);
    ASSERT_LT(pos, s.rec.table.size());
    ASSERT_EQ(s.rec.table[pos], r->socketNo) << "op " << op << " pair " << i;
    ASSERT_EQ(s.spec->GetSocket(pos), r->socketNo);
  }
  ASSERT_EQ(s.rec.Used(), model.size()) << "op " << op;
  ASSERT_TRUE(s.rec.faults.empty()) << s.rec.faults.front();
}

// One ready batch: pokes a random subset, compares what Select and Next
// report with what raw poll() says of the members' wanted events, and
// drains the input again.
Ready ReadyBatch(Set& s, std::vector<std::unique_ptr<Pair>>& pairs, const std::map<int, Member>& model,
                 std::mt19937& rng, int op) {
  std::set<int> poked;
  for (size_t i = 0; i < pairs.size(); ++i)
    if (rng() % 3 == 0) {
      EXPECT_TRUE(pairs[i]->Poke());
      poked.insert((int)i);
    }
  std::vector<pollfd> raw;
  std::vector<int> idx;
  for (const auto& [i, m] : model) {
    if (m.modes == 0) continue;
    raw.push_back(pollfd{pairs[i]->ours.get(),
                         (short)(((m.modes & SISEL_READ) ? POLLIN : 0) | ((m.modes & SISEL_WRITE) ? POLLOUT : 0)), 0});
    idx.push_back(i);
  }
  EXPECT_GE(poll(raw.data(), raw.size(), 0), 0);
  Ready want;
  size_t pairsReady = 0;
  for (size_t k = 0; k < raw.size(); ++k) {
    const bool rd = raw[k].revents & POLLIN, wr = raw[k].revents & POLLOUT;
    if (rd || wr) want[idx[k]] = {rd, wr};
    pairsReady += rd + wr;
  }
  uint32_t count = 12345;
  EXPECT_EQ(s.impl.Select(0, &count), SI_OK);
  // poll counts sockets, the select-based waits count (socket, mask) pairs.
  EXPECT_EQ(count, s.type == SISEL_TYPE_POLL ? want.size() : pairsReady) << "op " << op;
  Ready got;
  for (const Got& g : s.Drain()) {
    EXPECT_EQ(g.rc, SI_OK);
    int which = -1;
    for (size_t i = 0; i < pairs.size(); ++i)
      if (&pairs[i]->rec == g.sock) which = (int)i;
    EXPECT_GE(which, 0);
    EXPECT_FALSE(got.count(which)) << "handed out twice: pair " << which;
    EXPECT_EQ(g.ex, 0);
    EXPECT_EQ(g.data, model.at(which).data);
    EXPECT_GE(g.pos, 0);
    if (g.pos >= 0) {
      EXPECT_EQ(s.rec.table[g.pos], g.sock->socketNo);
    }
    got[which] = {g.rd != 0, g.wr != 0};
  }
  EXPECT_EQ(got, want) << TypeName(s.type) << " op " << op;
  for (int i : poked) pairs[i]->DrainInput();
  return got;
}

std::vector<Ready> RunScript(uint8_t type, uint32_t seed, size_t nPairs, int ops, int* moves = nullptr) {
  std::vector<std::unique_ptr<Pair>> pairs = OpenPairs(nPairs);
  Set s(type, (uint32_t)nPairs);
  std::vector<int> tags(nPairs * 2);
  std::map<int, Member> model;
  std::mt19937 rng(seed);
  std::vector<Ready> batches;
  const uint8_t modes[] = {0, SISEL_READ, SISEL_WRITE, SISEL_READ | SISEL_WRITE, SISEL_EXCEPT,
                           SISEL_READ | SISEL_EXCEPT};
  for (int op = 0; op < ops && !::testing::Test::HasFatalFailure(); ++op) {
    const int i = (int)(rng() % nPairs);
    SI_SOCKET* r = &pairs[i]->rec;
    auto it = model.find(i);
    const bool member = it != model.end();
    unsigned what = rng() % 100;
    // Phases that fill the set and phases that empty it, so that holes
    // pile up and SISEL_POLL compacts.
    if ((op / 150) % 2 == 1 && what < 40) what = 55 + what % 17;
    if (what < 40) {
      const uint8_t mode = modes[rng() % 6];
      const uint8_t replace = rng() % 2;
      void* data = &tags[i * 2 + (rng() % 2)];
      EXPECT_EQ(s.Add(r, mode, data, replace), SI_OK);
      Member& m = model.try_emplace(i, Member{0, data}).first->second;  // a member keeps its data
      if (replace == 1) m.modes = 0;
      m.modes |= mode & (SISEL_READ | SISEL_WRITE);
    } else if (what < 55) {
      const uint8_t mode = modes[1 + rng() % 3];
      EXPECT_EQ(s.impl.Clear(r, mode), member ? SI_OK : SI_EINVAL);
      if (member) it->second.modes &= (uint8_t)~mode;
    } else if (what < 72) {
      EXPECT_EQ(s.impl.Remove(r, rng() % 2), member ? SI_OK : SI_EINVAL);
      model.erase(i);
    } else if (what < 77) {
      EXPECT_EQ(s.spec->RemoveBySockNo(r->socketNo, rng() % 2), member ? SI_OK : SI_EINVAL);
      model.erase(i);
    } else if (what < 78) {
      EXPECT_EQ(s.impl.RemoveAll(), SI_OK);
      model.clear();
    } else if (what < 79) {
      EXPECT_EQ(s.impl.ClearSet(), SI_OK);
      for (auto& [k, m] : model) m.modes = 0;
    } else if (what < 88) {
      batches.push_back(ReadyBatch(s, pairs, model, rng, op));
    } else {
      continue;  // an idle step keeps the script of all three in step
    }
    CheckAgainstModel(s, pairs, model, op);
  }
  if (moves != nullptr) *moves = s.rec.moves;
  return batches;
}

class SiSelEach : public SiSelBase, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(SiSelEach, ModelRunAgainstRawPoll) {
  const int ops = 1500 * tovtest::HeavyFactor();
  int moves = 0;
  std::vector<Ready> batches = RunScript(GetParam(), 4711, 24, ops, &moves);
  // Only SISEL_POLL compacts, and the run makes it do so.
  if (GetParam() == SISEL_TYPE_POLL) {
    EXPECT_GT(moves, 0);
  } else {
    EXPECT_EQ(moves, 0);
  }
  size_t reported = 0;
  for (const Ready& b : batches) reported += b.size();
  EXPECT_GT(batches.size(), 100u);
  EXPECT_GT(reported, 200u);  // the run did see ready sockets
}

TEST_F(SiSelBase, SameScriptSameReadySetsOnAllThree) {
  const std::vector<Ready> poll = RunScript(SISEL_TYPE_POLL, 99, 16, 600);
  const std::vector<Ready> nt = RunScript(SISEL_TYPE_SEL_NT, 99, 16, 600);
  const std::vector<Ready> fc = RunScript(SISEL_TYPE_SEL_NT_FC, 99, 16, 600);
  ASSERT_GT(poll.size(), 20u);
  EXPECT_EQ(poll, nt);
  EXPECT_EQ(poll, fc);
}

// --- Rules at the edges --------------------------------------------------------------

TEST_P(SiSelEach, CapacityAndRefusals) {
  Set zero(GetParam(), 0);
  EXPECT_EQ(zero.impl.GetMaxEntries(), 2u);
  EXPECT_EQ(zero.rec.table.size(), 2u);
  EXPECT_EQ(zero.impl.Init(SISEL_MAX_ENTRIES + 1), SI_EINVAL);

  std::vector<std::unique_ptr<Pair>> p = OpenPairs(4);
  Set s(GetParam(), 3);
  int data[4];
  for (int i = 0; i < 3; ++i) ASSERT_EQ(s.Add(&p[i]->rec, SISEL_READ, &data[i]), SI_OK);
  EXPECT_EQ(s.Add(&p[3]->rec, SISEL_READ, &data[3]), SI_EINVAL);  // capacity + 1
  EXPECT_FALSE(s.impl.IsMember(&p[3]->rec));
  SI_SOCKET negative{-5, SI_AF_INET, SI_SOCK_STREAM, 0};
  EXPECT_EQ(s.impl.Remove(&p[2]->rec, 0), SI_OK);
  EXPECT_EQ(s.Add(&negative, SISEL_READ, nullptr), SI_EINVAL);

  // Operations on a socket that is not a member.
  SI_SOCKET* out = &negative;
  uint8_t b = 0;
  void* d = nullptr;
  uint32_t pos = 0;
  SI_SOCKET* x = &p[3]->rec;
  EXPECT_EQ(s.impl.Clear(x, SISEL_READ), SI_EINVAL);
  EXPECT_EQ(s.impl.Remove(x, 1), SI_EINVAL);
  EXPECT_EQ(s.impl.GetMode(x, &b), SI_EINVAL);
  EXPECT_EQ(s.impl.GetStat(x, &b), SI_EINVAL);
  EXPECT_EQ(s.impl.GetData(x, &d), SI_EINVAL);
  EXPECT_EQ(s.impl.SetData(x, d), SI_EINVAL);
  EXPECT_EQ(s.spec->GetSocketPos(x, &pos), SI_EINVAL);
  EXPECT_EQ(s.spec->GetStatEx(x, &b, &out, &d), SI_EINVAL);
  EXPECT_EQ(s.spec->RemoveBySockNo(x->socketNo, 0), SI_EINVAL);
  EXPECT_EQ(s.impl.Set(nullptr, SISEL_READ, nullptr, 0), SI_EINVAL);

  // Replace 1 with write on a reader leaves only write; without replace the
  // modes add up; a member keeps the data of its first registration.
  SI_SOCKET* a = &p[0]->rec;
  ASSERT_EQ(s.Add(a, SISEL_WRITE, &data[3], 1), SI_OK);
  ASSERT_EQ(s.impl.GetMode(a, &b), SI_OK);
  EXPECT_EQ(b, SISEL_WRITE);
  ASSERT_EQ(s.Add(a, SISEL_READ, nullptr, 0), SI_OK);
  ASSERT_EQ(s.impl.GetMode(a, &b), SI_OK);
  EXPECT_EQ(b, SISEL_READ | SISEL_WRITE);
  ASSERT_EQ(s.impl.GetData(a, &d), SI_OK);
  EXPECT_EQ(d, &data[0]);
  ASSERT_EQ(s.impl.SetData(a, &data[3]), SI_OK);
  ASSERT_EQ(s.spec->GetStatEx(a, &b, &out, &d), SI_OK);
  EXPECT_EQ(out, a);
  EXPECT_EQ(d, &data[3]);
  EXPECT_EQ(s.rec.faults.size(), 0u);

  // Before an implementation exists the forwarding set refuses everything.
  SISEL_IMPL bare;
  EXPECT_EQ(bare.Init(4), SI_EINVAL);
  EXPECT_EQ(bare.Set(a, 1, nullptr, 0), SI_EINVAL);
  EXPECT_FALSE(bare.IsMember(a));
  EXPECT_EQ(bare.GetMaxEntries(), 0u);
  const uint8_t bad = 3;
  EXPECT_EQ(bare.SiSelAddSpecImpl(&bad), SI_EINVAL);
  EXPECT_EQ(bare.Spec(), nullptr);
}

TEST_P(SiSelEach, PositionsAreReused) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(4);
  Set s(GetParam(), 8);
  uint32_t pos[4];
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(s.Add(&p[i]->rec, SISEL_READ, nullptr), SI_OK);
    ASSERT_EQ(s.spec->GetSocketPos(&p[i]->rec, &pos[i]), SI_OK);
  }
  EXPECT_EQ(std::set<uint32_t>(pos, pos + 3).size(), 3u);
  ASSERT_EQ(s.impl.Remove(&p[1]->rec, 0), SI_OK);
  ASSERT_EQ(s.Add(&p[3]->rec, SISEL_READ, nullptr), SI_OK);
  ASSERT_EQ(s.spec->GetSocketPos(&p[3]->rec, &pos[3]), SI_OK);
  EXPECT_EQ(pos[3], pos[1]);  // the freed position first
  EXPECT_EQ(s.spec->GetSocket(pos[1]), p[3]->rec.socketNo);
  if (GetParam() == SISEL_TYPE_SEL_NT_FC) return;
  // The array implementations: the last position shrinks the high
  // position without touching the free list; positions at or above it
  // have no socket.
  uint32_t high = 0;
  void* freeList = nullptr;
  auto look = [&] {
    if (GetParam() == SISEL_TYPE_POLL) {
      auto* sp = static_cast<SISEL_POLL*>(s.spec);
      high = sp->mSlots.high;
      freeList = sp->mSlots.freeList;
    } else {
      auto* sn = static_cast<SISEL_SEL_NT*>(s.spec);
      high = sn->mSlots.high;
      freeList = sn->mSlots.freeList;
    }
  };
  look();
  EXPECT_EQ(high, 3u);
  EXPECT_EQ(s.spec->GetSocket(3), -1);
  ASSERT_EQ(s.impl.Remove(&p[2]->rec, 0), SI_OK);  // at position 2, the last
  look();
  EXPECT_EQ(high, 2u);
  EXPECT_EQ(freeList, nullptr);
  EXPECT_EQ(s.spec->GetSocket(2), -1);
  ASSERT_EQ(s.impl.Remove(&p[0]->rec, 0), SI_OK);  // position 0 is not the last
  look();
  EXPECT_EQ(high, 2u);
  EXPECT_NE(freeList, nullptr);
}

TEST_P(SiSelEach, TimeOutGivesCountZero) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(2);
  Set s(GetParam(), 4);
  for (auto& x : p) ASSERT_EQ(s.Add(&x->rec, SISEL_READ, nullptr), SI_OK);
  uint32_t count = 7;
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(s.impl.Select(40, &count), SI_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(35));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(s.Drain().empty());
  // After the last socket Next keeps giving none until the next Select.
  ASSERT_TRUE(p[1]->Poke());
  ASSERT_EQ(s.impl.Select(0, &count), SI_OK);
  EXPECT_EQ(s.Drain().size(), 1u);
  EXPECT_TRUE(s.Drain().empty());
  ASSERT_EQ(s.impl.StartLoop(), SI_OK);
  // StartLoop walks the same batch again where the implementation keeps one.
  EXPECT_EQ(s.Drain().size(), GetParam() == SISEL_TYPE_SEL_NT_FC ? 0u : 1u);
}

TEST_P(SiSelEach, SocketClosedUnderneath) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(3);
  Set s(GetParam(), 4);
  for (auto& x : p) ASSERT_EQ(s.Add(&x->rec, SISEL_READ, x.get()), SI_OK);
  ASSERT_TRUE(p[2]->Poke());
  const int closedNo = p[0]->ours.get();
  close(p[0]->ours.Release());  // the owner closed it without telling the set
  uint32_t count = 0;
  ASSERT_EQ(s.impl.Select(1000, &count), SI_OK);
  EXPECT_GE(count, 1u);
  std::vector<Got> got = s.Drain();
  // The closed one comes with result 2; poll also reports the ready one,
  // the select-based sets pass over it in closed mode.
  ASSERT_EQ(got.size(), GetParam() == SISEL_TYPE_POLL ? 2u : 1u);
  bool sawClosed = false;
  for (const Got& g : got) {
    if (g.sock == &p[0]->rec) {
      sawClosed = true;
      EXPECT_EQ(g.rc, SI_EINVAL_SOCK);
      EXPECT_EQ(g.data, p[0].get());
      EXPECT_EQ(s.rec.table[g.pos], closedNo);
    } else {
      EXPECT_EQ(g.sock, &p[2]->rec);
      EXPECT_EQ(g.rc, SI_OK);
      EXPECT_EQ(g.rd, 1);
    }
  }
  EXPECT_TRUE(sawClosed);
  uint8_t st = 0;
  ASSERT_EQ(s.impl.GetStat(&p[0]->rec, &st), SI_OK);
  EXPECT_TRUE(st & SISEL_STAT_INVALID);
  // Taken out by its number; the next select is clean again.
  ASSERT_EQ(s.spec->RemoveBySockNo(closedNo, 0), SI_OK);
  ASSERT_EQ(s.impl.Select(1000, &count), SI_OK);
  got = s.Drain();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].sock, &p[2]->rec);
  EXPECT_EQ(got[0].rc, SI_OK);
}

TEST_P(SiSelEach, PeerResetIsReported) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(1);
  Set s(GetParam(), 2);
  ASSERT_EQ(s.Add(&p[0]->rec, SISEL_READ, nullptr), SI_OK);
  peers::ResetClose(&p[0]->theirs);
  ASSERT_NE(peers::WaitEvents(p[0]->ours.get(), POLLIN, 5000) & (POLLERR | POLLHUP), 0);
  ASSERT_EQ(s.impl.Select(1000, nullptr), SI_OK);
  std::vector<Got> got = s.Drain();
  ASSERT_EQ(got.size(), 1u);
  if (GetParam() == SISEL_TYPE_POLL) {
    // A hang-up (1) or an error (14): which one the event gives first.
    EXPECT_TRUE(got[0].rc == SI_EINVAL || got[0].rc == SI_EINTERN) << got[0].rc;
    uint8_t st = 0;
    ASSERT_EQ(s.impl.GetStat(&p[0]->rec, &st), SI_OK);
    EXPECT_TRUE(st & SISEL_STAT_ERROR);
  } else {
    // select reports it readable; the read meets the reset.
    EXPECT_EQ(got[0].rc, SI_OK);
    EXPECT_EQ(got[0].rd, 1);
  }
}

TEST_P(SiSelEach, DescriptorsAbove1024) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(3);
  std::vector<peers::Fd> high;
  std::vector<SI_SOCKET> recs(3);
  for (int i = 0; i < 3; ++i) {
    high.push_back(peers::DupAbove(p[i]->ours.get(), 1500 + 300 * i));
    ASSERT_TRUE(high.back().valid());
    ASSERT_GT(high.back().get(), 1024);
    recs[i] = SI_SOCKET{high.back().get(), SI_AF_INET, SI_SOCK_STREAM, 0};
  }
  Set s(GetParam(), 3);
  for (auto& r : recs) ASSERT_EQ(s.Add(&r, SISEL_READ, nullptr), SI_OK);
  ASSERT_TRUE(p[1]->Poke());
  uint32_t count = 0;
  ASSERT_EQ(s.impl.Select(1000, &count), SI_OK);
  EXPECT_EQ(count, 1u);
  std::vector<Got> got = s.Drain();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].sock, &recs[1]);
  EXPECT_EQ(got[0].rd, 1);
}

// An owner that closed its socket and set the number to -1 can no longer
// name the member by its reference; the set takes it out by the number it
// keeps, and it is reported no more.
TEST_P(SiSelEach, RemovalAfterTheOwnersNumberIsGone) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(2);
  Set s(GetParam(), 4);
  for (auto& x : p) ASSERT_EQ(s.Add(&x->rec, SISEL_READ, nullptr), SI_OK);
  ASSERT_TRUE(p[0]->Poke());
  const int32_t no = p[0]->rec.socketNo;
  p[0]->rec.socketNo = -1;
  EXPECT_EQ(s.impl.Remove(&p[0]->rec, 1), SI_EINVAL);
  EXPECT_EQ(s.rec.Used(), 2u);
  ASSERT_EQ(s.spec->RemoveBySockNo(no, 1), SI_OK);
  EXPECT_EQ(s.rec.Used(), 1u);
  SI_SOCKET again{no, SI_AF_INET, SI_SOCK_STREAM, 0};
  EXPECT_FALSE(s.impl.IsMember(&again));
  uint32_t count = 9;
  ASSERT_EQ(s.impl.Select(0, &count), SI_OK);
  EXPECT_EQ(count, 0u);  // readable, but no longer a member
  EXPECT_TRUE(s.Drain().empty());
  EXPECT_TRUE(s.rec.faults.empty());
}

// Removing members while Next walks a batch: the member that would come
// next and the one just handed out leave the walk without losing or
// repeating any other. (SISEL_POLL's compaction ends a walk, so it removes
// without compaction here.)
TEST_P(SiSelEach, RemovalDuringTheWalk) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(6);
  for (uint8_t mayCompact : {0, 1}) {
    if (GetParam() == SISEL_TYPE_POLL && mayCompact == 1) continue;
    SCOPED_TRACE(mayCompact);
    Set s(GetParam(), 8);
    for (auto& x : p) ASSERT_EQ(s.Add(&x->rec, SISEL_WRITE, x.get()), SI_OK);
    // A first walk tells the order in which this set hands them out.
    ASSERT_EQ(s.impl.Select(1000, nullptr), SI_OK);
    std::vector<Got> order = s.Drain();
    ASSERT_EQ(order.size(), 6u);
    ASSERT_EQ(s.impl.Select(1000, nullptr), SI_OK);
    std::set<SI_SOCKET*> seen;
    for (int step = 0; step < 10; ++step) {
      Got g{};
      ASSERT_EQ(s.impl.Next(&g.rd, &g.ex, &g.wr, &g.sock, &g.data), SI_OK);
      if (g.sock == nullptr) break;
      EXPECT_TRUE(seen.insert(g.sock).second);
      EXPECT_NE(g.sock, order[1].sock);
      EXPECT_EQ(g.sock, order[step == 0 ? 0 : step + 1].sock);
      if (step == 0) {
        // The one that would come next, and this one.
        ASSERT_EQ(s.impl.Remove(order[1].sock, mayCompact), SI_OK);
        ASSERT_EQ(s.impl.Remove(g.sock, mayCompact), SI_OK);
      }
    }
    EXPECT_EQ(seen.size(), 5u);  // all but the one removed before its turn
  }
}

TEST_P(SiSelEach, DumpNamesTheSetAndItsMembers) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(2);
  Set s(GetParam(), 4);
  for (auto& x : p) ASSERT_EQ(s.Add(&x->rec, SISEL_READ, nullptr), SI_OK);
  tovtest::TempDir dir;
  const std::string path = dir.File("dump.trc");
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(s.impl.Dump(f), SI_OK);
  fclose(f);
  const std::string text = tovtest::ReadFile(path);
  const char* head[] = {"SIPOLL set ", "SISELNT set ", "SISELNTFC set "};
  EXPECT_NE(text.find(head[GetParam()]), std::string::npos) << text;
  EXPECT_NE(text.find("sockets in set: 2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("max entries   : 4\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" | owner\n"), std::string::npos) << text;
  for (auto& x : p) {
    EXPECT_NE(text.find(" | own " + std::to_string(x->rec.socketNo) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("sock " + std::to_string(x->rec.socketNo)), std::string::npos) << text;
  }
  if (GetParam() == SISEL_TYPE_SEL_NT) {
    EXPECT_NE(text.find("invalid socket: false\n"), std::string::npos);
  }
  if (GetParam() == SISEL_TYPE_POLL) {
    EXPECT_NE(text.find("free list     : empty\n"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(All, SiSelEach, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<uint8_t>& i) { return std::string(TypeName(i.param)); });

// --- SISEL_POLL only -------------------------------------------------------------------

TEST_F(SiSelBase, PollCompactsWhenHalfIsHoles) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(10);
  Set s(SISEL_TYPE_POLL, 16);
  auto* sp = static_cast<SISEL_POLL*>(s.spec);
  for (auto& x : p) ASSERT_EQ(s.Add(&x->rec, SISEL_READ, x.get()), SI_OK);
  ASSERT_TRUE(p[8]->Poke());
  ASSERT_EQ(s.impl.Select(1000, nullptr), SI_OK);
  // Holes without compaction first, then with: at 4 members and high 10
  // the set compacts, one move per relocated entry.
  for (int i = 0; i < 5; ++i) ASSERT_EQ(s.impl.Remove(&p[i]->rec, 1), SI_OK);
  EXPECT_EQ(s.rec.moves, 0);
  EXPECT_EQ(sp->mSlots.high, 10u);
  ASSERT_EQ(s.impl.Remove(&p[5]->rec, 1), SI_OK);
  EXPECT_EQ(s.rec.moves, 4);
  EXPECT_EQ(sp->mSlots.high, 4u);
  EXPECT_EQ(sp->mSlots.count, 4u);
  EXPECT_EQ(sp->mSlots.freeList, nullptr);
  EXPECT_EQ(sp->mEventPos, SISEL_NO_EVENT);
  EXPECT_TRUE(s.Drain().empty());  // compaction ended the walk
  for (int i = 6; i < 10; ++i) {
    uint32_t pos = 99;
    ASSERT_TRUE(s.impl.IsMember(&p[i]->rec));
    ASSERT_EQ(s.spec->GetSocketPos(&p[i]->rec, &pos), SI_OK);
    EXPECT_LT(pos, 4u);
    EXPECT_EQ(s.rec.table[pos], p[i]->rec.socketNo);
    void* d = nullptr;
    ASSERT_EQ(s.impl.GetData(&p[i]->rec, &d), SI_OK);
    EXPECT_EQ(d, p[i].get());
  }
  EXPECT_TRUE(s.rec.faults.empty());
  // The moved entries still select.
  ASSERT_EQ(s.impl.Select(1000, nullptr), SI_OK);
  std::vector<Got> got = s.Drain();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].sock, &p[8]->rec);
}

TEST_F(SiSelBase, PollRepeatsInterruptedAndEmptyPolls) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(1);
  Set s(SISEL_TYPE_POLL, 2);
  ASSERT_EQ(s.Add(&p[0]->rec, SISEL_WRITE, nullptr), SI_OK);
  struct Case {
    SI_RC rc;
    uint32_t armed;
    SI_RC want;
    uint64_t calls;
  } cases[] = {
      {SI_EINTR, 3, SI_OK, 4},
      {SI_ETIMEOUT, 3, SI_OK, 4},
      {SI_ETIMEOUT, 6000, SI_EINTERN, 5000},  // the limit
      {SI_ESYSCALL, 1, SI_EINTERN, 1},
      {SI_ENOTIMPL, 1, SI_EINTERN, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rc);
    SiITestReset();
    SiITestFail(SI_FN_POLL, c.armed, c.rc, c.rc == SI_EINTR ? EINTR : EAGAIN);
    uint32_t count = 5;
    EXPECT_EQ(s.impl.Select(0, &count), c.want);
    EXPECT_EQ(SiITestCalls(SI_FN_POLL), c.calls);
    EXPECT_EQ(count, c.want == SI_OK ? 1u : 0u);
    EXPECT_EQ(s.Drain().size(), c.want == SI_OK ? 1u : 0u);
  }
  // Without poll in the socket layer the select fails, the set stays usable.
  SiITestReset();
  SiITestSetPoll(false);
  EXPECT_EQ(s.impl.Select(0, nullptr), SI_EINTERN);
  SiITestSetPoll(true);
  EXPECT_EQ(s.impl.Select(0, nullptr), SI_OK);
}

// --- The select-based sets' failed waits -------------------------------------------------

TEST_F(SiSelBase, SelectFailuresOfTheSelectBasedSets) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(1);
  Set s(SISEL_TYPE_SEL_NT, 2);
  ASSERT_EQ(s.Add(&p[0]->rec, SISEL_WRITE, nullptr), SI_OK);
  // Interrupted waits are repeated.
  SiITestFail(SI_FN_SELECT, 2, SI_EINTR, EINTR);
  uint32_t count = 0;
  EXPECT_EQ(s.impl.Select(0, &count), SI_OK);
  EXPECT_EQ(SiITestCalls(SI_FN_SELECT), 3u);
  EXPECT_EQ(s.Drain().size(), 1u);
  // SI_EINVAL: a time-out that waited its time.
  SiITestFail(SI_FN_SELECT, 1, SI_EINVAL, EINVAL);
  const auto t0 = std::chrono::steady_clock::now();
  count = 5;
  EXPECT_EQ(s.impl.Select(120, &count), SI_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(115));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(s.Drain().empty());
  // Any other failure: 14, nothing handed out.
  SiITestFail(SI_FN_SELECT, 1, SI_ESYSCALL, EFAULT);
  EXPECT_EQ(s.impl.Select(0, &count), SI_EINTERN);
  EXPECT_TRUE(s.Drain().empty());
  EXPECT_EQ(s.impl.Select(0, &count), SI_OK);
  EXPECT_EQ(count, 1u);

  // The rule both select-based sets share, for each outcome.
  struct Case {
    SI_RC rc;
    SI_RC want;
    bool closed;
    uint32_t count;
  } cases[] = {
      {SI_EINVAL_SOCK, SI_OK, true, 1},
      {SI_EINVAL, SI_OK, false, 0},
      {SI_ESYSCALL, SI_EINTERN, false, 0},
      {SI_EMEMORY, SI_EINTERN, false, 0},
  };
  for (const Case& c : cases) {
    bool closed = false;
    uint32_t n = 77;
    EXPECT_EQ(SiSelIFailedWait(u"test", c.rc, 9, 0, &closed, &n), c.want) << c.rc;
    EXPECT_EQ(closed, c.closed) << c.rc;
    EXPECT_EQ(n, c.count) << c.rc;
  }
}

// --- Trace lines --------------------------------------------------------------------------

// The lines an operation writes, at trace level 3, into a file of its own.
class TraceCapture {
 public:
  TraceCapture() : path_(dir_.File("sisel.trc")) {
    file_ = fopen(path_.c_str(), "w");
    old_ = CTrcGlobalHdl.exchange(file_);
    level_ = CTrcLevel.exchange(3);
  }
  ~TraceCapture() {
    CTrcGlobalHdl.store(old_);
    CTrcLevel.store(level_);
    if (file_ != nullptr) fclose(file_);
  }
  std::string Text() {
    fflush(file_);
    return tovtest::ReadFile(path_);
  }

 private:
  tovtest::TempDir dir_;
  std::string path_;
  FILE* file_ = nullptr;
  CTRC_HDL old_ = nullptr;
  int level_ = 0;
};

TEST_F(SiSelBase, TraceLinesNameTheOperationAndItsValues) {
  std::vector<std::unique_ptr<Pair>> p = OpenPairs(3);
  TraceCapture trc;
  struct Step {
    uint8_t type;
    std::function<void(Set&)> run;
    const char* line;
  } steps[] = {
      {0, [](Set& s) { EXPECT_EQ(s.impl.Init(32769), SI_EINVAL); },
       "SISEL_POLL::Init: parameter too big (32769>32768)"},
      {1, [&](Set& s) {
         s.Add(&p[0]->rec, SISEL_READ, nullptr);
         s.Add(&p[1]->rec, SISEL_READ, nullptr);
         EXPECT_EQ(s.Add(&p[2]->rec, SISEL_READ, nullptr), SI_EINVAL);
       },
       "SISEL_SEL_NT::Set: maximum of sockets reached (2)"},
      {2, [](Set& s) {
         SI_SOCKET neg{-3, SI_AF_INET, SI_SOCK_STREAM, 0};
         EXPECT_EQ(s.Add(&neg, SISEL_READ, nullptr), SI_EINVAL);
       },
       "SISEL_SEL_NT_FC::Set: sock -3 negative"},
      {0, [&](Set& s) {
         s.Add(&p[0]->rec, SISEL_WRITE, nullptr);
         SiITestFail(SI_FN_POLL, 3, SI_ETIMEOUT, EAGAIN);
         EXPECT_EQ(s.impl.Select(0, nullptr), SI_OK);
       },
       "SISEL_POLL::Select: poll looped 3 times, caused by EAGAIN (limit=5000)"},
      {0, [&](Set& s) { EXPECT_EQ(s.impl.Clear(&p[1]->rec, SISEL_READ), SI_EINVAL); },
       "SISEL_POLL::Clear: sock " },
      {1, [&](Set& s) {
         s.Add(&p[0]->rec, SISEL_WRITE, nullptr);
         SiITestFail(SI_FN_SELECT, 1, SI_EINVAL_SOCK, EBADF);
         EXPECT_EQ(s.impl.Select(0, nullptr), SI_OK);
       },
       "SISEL_SEL_NT::Select: few sockets already closed"},
      {1, [&](Set& s) {
         s.Add(&p[0]->rec, SISEL_WRITE, nullptr);
         SiITestFail(SI_FN_SELECT, 1, SI_EINVAL, EINVAL);
         EXPECT_EQ(s.impl.Select(5, nullptr), SI_OK);
       },
       "SISEL_SEL_NT::Select: SiSelect returned SI_EINVAL; sleep for 5 ms"},
      {0, [&](Set& s) {
         s.Add(&p[0]->rec, SISEL_READ | SISEL_WRITE, nullptr);
       },
       "SISEL_POLL::Set: set events of sock "},
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(st.line);
    SiITestReset();
    Set s(st.type, 2);
    st.run(s);
    EXPECT_NE(trc.Text().find(st.line), std::string::npos);
  }
  const std::string text = trc.Text();
  EXPECT_NE(text.find("SISEL_POLL::Set: set events of sock " + std::to_string(p[0]->rec.socketNo) + " to: r-w"),
            std::string::npos);
  EXPECT_NE(text.find("SISEL_POLL::Clear: sock " + std::to_string(p[1]->rec.socketNo) + " not member of set"),
            std::string::npos);
}

}  // namespace
