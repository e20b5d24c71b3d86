// Shared pieces of the SNC tests: the test GSS-API library's control block,
// child processes with the SNC trace on standard error, and the frame
// fixtures' record types.
#ifndef TESTS_KRN_SNC_SNC_TEST_UTIL_H
#define TESTS_KRN_SNC_SNC_TEST_UTIL_H

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <array>
#include <atomic>
#include <thread>
#include <functional>
#include <string>
#include <vector>

#include "krn/dptrc/dptrc.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "krn/thr/thr.h"
#include "snc_fakegss.h"
#include "support/testsupport.h"

namespace snctest {

using Bytes = std::vector<uint8_t>;

// The control block of the test library at path, loaded for the caller
// (the layer's own load of the same path shares it); NULL when it fails.
inline FakeGssCtl* FakeCtl(const char* path) {
  void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  return h != nullptr ? static_cast<FakeGssCtl*>(dlsym(h, "fakegss_ctl")) : nullptr;
}

// Back to the settings the library starts with (its counters cleared): the
// block outlives each test, and the next one in the process expects these.
inline void ResetFakeCtl(FakeGssCtl* ctl) {
  *ctl = FakeGssCtl{};
  ctl->mechs[0] = kFakeKrb5, ctl->nmechs = 1, ctl->extType = 7, ctl->realm = "TEST.REALM";
}

// Runs fn in a child with the thread library started and the trace level
// set; the SNC trace goes to the child's standard error.
template <class F>
tovtest::ChildResult InChild(int level, F fn) {
  return tovtest::RunInChild([&] {
    ThrProcInit();
    CTrcLevel.store(level);
    return fn();
  });
}

// A trace without the thread tag "[Thr <id>] " that begins each line, so
// that lines written as one entry read as the entry's text.
inline std::string Untagged(const std::string& trace) {
  std::string out;
  size_t at = 0;
  while (at < trace.size()) {
    size_t end = trace.find('\n', at);
    end = end == std::string::npos ? trace.size() : end + 1;
    std::string line = trace.substr(at, end - at);
    const size_t close = line.find("] ");
    if (line.rfind("[Thr ", 0) == 0 && close != std::string::npos) line.erase(0, close + 2);
    out += line;
    at = end;
  }
  return out;
}

inline std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += std::string{d[p[i] >> 4], d[p[i] & 15]} + (i + 1 < n ? " " : "");
  return s;
}

struct BuildFixture {
  const char* name;
  int type, sessionFlags, flags;
  int qop[3];
  int adapter;
  Bytes token, data;
  std::array<Bytes, 8> items;
  Bytes frame;
};

struct ParseFixture {
  const char* name;
  Bytes in;
  bool ok;
  int type, version, hdrLen;
  uint32_t token[2], data[2];  // offset, length
  uint32_t frameLen;
  int qop[3];
  uint32_t mask;
  std::array<std::array<uint32_t, 2>, 8> items;  // offset, length
};

inline SncSession* S(SNC_HDL h) { return h; }

// Runs fn(t) on n threads that start together; the result of each.
inline std::vector<std::string> OnThreads(int n, const std::function<std::string(int)>& fn) {
  std::vector<std::string> result(n);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < n) std::this_thread::yield();
      result[t] = fn(t);
    });
  }
  for (std::thread& th : threads) th.join();
  return result;
}

// Two sessions and the frames between them.
struct Pair {
  SNC_HDL ini = nullptr, acc = nullptr;
  std::string log;
  std::vector<Bytes> got[2];  // data delivered to the initiator (0) and the acceptor (1)
  SNC_RC last = WEQ_O_K;     // the last failing result of either side
  int version = 0;           // when not 0, the protocol version written into every frame
  std::function<void(Bytes&, bool fromIni)> tamper;  // changes a frame on its way
  std::vector<Bytes> sent[2];                        // frames sent by the initiator (0), the acceptor (1)

  void Deliver(bool toIni, const uint8_t* p, size_t n, int depth = 0) {
    Bytes frame(p, p + n);
    if (version != 0 && frame.size() > 9) frame[9] = static_cast<uint8_t>(version);
    if (tamper) tamper(frame, !toIni);
    sent[toIni ? 1 : 0].push_back(frame);
    log += std::string(log.empty() ? "" : " ") + (toIni ? "A:" : "I:") +
           (frame.size() > 8 ? SncPFrameName(frame[8]) : "?");
    const void *data = nullptr, *back = nullptr;
    size_t dataLen = 0, backLen = 0;
    SNC_RC rc = SncProcessInput(toIni ? ini : acc, frame.data(), frame.size(), &data, &dataLen, &back, &backLen);
    if (rc != WEQ_O_K) last = rc;
    if (data != nullptr) got[toIni ? 0 : 1].emplace_back(static_cast<const uint8_t*>(data),
                                                         static_cast<const uint8_t*>(data) + dataLen);
    if (back != nullptr && depth < 40) {
      Bytes copy(static_cast<const uint8_t*>(back), static_cast<const uint8_t*>(back) + backLen);
      Deliver(!toIni, copy.data(), copy.size(), depth + 1);
    }
  }

  // Sends data from one side until it is done; the answers travel at once.
  SNC_RC Send(bool fromIni, const std::string& text) {
    for (int round = 0; round < 20; ++round) {
      uint8_t done = 0;
      const void* out = nullptr;
      size_t outLen = 0;
      SNC_RC rc = SncProcessOutput(fromIni ? ini : acc, text.data(), text.size(), &done, &out, &outLen);
      if (rc != WEQ_O_K) return last = rc;
      if (out != nullptr) {
        Bytes copy(static_cast<const uint8_t*>(out), static_cast<const uint8_t*>(out) + outLen);
        Deliver(!fromIni, copy.data(), copy.size());
      }
      if (last != WEQ_O_K) return last;
      if (done) return WEQ_O_K;
    }
    return SNCERR_INTERNAL;
  }
};

// One SncProcessInput call: its code, the data it delivered and the frame
// it gave to send back.
struct Received {
  SNC_RC rc;
  Bytes data, back;
};

inline Received Receive(SNC_HDL h, const Bytes& in) {
  const void *data = nullptr, *back = nullptr;
  size_t dataLen = 0, backLen = 0;
  Received r;
  r.rc = SncProcessInput(h, in.data(), in.size(), &data, &dataLen, &back, &backLen);
  if (data != nullptr) r.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + dataLen);
  if (back != nullptr) r.back.assign(static_cast<const uint8_t*>(back), static_cast<const uint8_t*>(back) + backLen);
  return r;
}

// The frame that SncProcessOutput makes for text; *done tells whether the
// text went out in it.
inline Bytes Produce(SNC_HDL h, const std::string& text, bool* done = nullptr) {
  uint8_t d = 0;
  const void* out = nullptr;
  size_t outLen = 0;
  EXPECT_EQ(SncProcessOutput(h, text.data(), text.size(), &d, &out, &outLen), WEQ_O_K);
  if (done != nullptr) *done = d != 0;
  return out != nullptr ? Bytes(static_cast<const uint8_t*>(out), static_cast<const uint8_t*>(out) + outLen)
                        : Bytes{};
}

inline std::string Kind(const Bytes& frame) { return frame.size() > 8 ? SncPFrameName(frame[8]) : "-"; }
inline std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }
inline Bytes Joined(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Two frames of the peer in one input where the first delivers nothing:
// the initiator's INIT goes to the acceptor, whose answer (ACCEPT, or
// ACCEPT_ACK without mutual authentication) travels to the initiator in one
// input with the acceptor's first data frame. Both are used; nothing goes
// back; data then flows both ways.
inline void ExpectAnswerThenData(SNC_HDL ini, SNC_HDL acc, const char* answer) {
  const Bytes init = Produce(ini, "x");
  ASSERT_EQ(Kind(init), "INIT");
  const Received r = Receive(acc, init);
  ASSERT_EQ(r.rc, WEQ_O_K);
  ASSERT_EQ(Kind(r.back), answer);
  bool done = false;
  const Bytes data = Produce(acc, "from the acceptor", &done);
  ASSERT_TRUE(done) << Kind(data);
  const Received both = Receive(ini, Joined(r.back, data));
  EXPECT_EQ(both.rc, WEQ_O_K);
  EXPECT_EQ(Text(both.data), "from the acceptor");
  EXPECT_EQ(Kind(both.back), "-");
  EXPECT_EQ(S(ini)->state, SNC_STATE_ESTABLISHED);
  const Received x = Receive(acc, Produce(ini, "x", &done));
  EXPECT_TRUE(done);
  EXPECT_EQ(Text(x.data), "x");
}

// Two data frames in one input: the first is delivered with
// SNCERR_BUFFER_TOO_SMALL, the second is left unread and, handed in alone,
// is delivered in its turn; later data is unaffected.
inline void ExpectDataThenData(SNC_HDL from, SNC_HDL to) {
  const Bytes one = Produce(from, "one"), two = Produce(from, "two");
  Received r = Receive(to, Joined(one, two));
  EXPECT_EQ(r.rc, SNCERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(Text(r.data), "one");
  EXPECT_TRUE(r.back.empty());
  r = Receive(to, two);
  EXPECT_EQ(r.rc, WEQ_O_K);
  EXPECT_EQ(Text(r.data), "two");
  r = Receive(to, Produce(from, "three"));
  EXPECT_EQ(r.rc, WEQ_O_K);
  EXPECT_EQ(Text(r.data), "three");
}

#ifdef SNC_FAKEGSS_V2
// Two sessions over the test GSS-API library (version 2), started afresh
// for each test; at the end nothing of the library stays alive.
class FakeSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    ThrProcInit();
    ctl_ = FakeCtl(SNC_FAKEGSS_V2);
    ASSERT_NE(ctl_, nullptr);
    SncIResetGlobal();
    ASSERT_EQ(SncSetParam(SNC_PARAM_GSSAPI_LIB, SNC_FAKEGSS_V2, 0), WEQ_O_K);
    uint8_t avail = 0;
    ASSERT_EQ(SncInit(0, nullptr, &avail), WEQ_O_K);
    ASSERT_EQ(avail, 1);
  }
  void TearDown() override {
    Done();
    SncIResetGlobal();
    ResetFakeCtl(ctl_);
  }
  // Sessions of a pair: the initiator towards the acceptor's default name.
  void Open(int authType = 1) {
    ASSERT_EQ(SncSessionInit(&p_.ini), WEQ_O_K);
    ASSERT_EQ(SncSessionInit(&p_.acc), WEQ_O_K);
    ASSERT_EQ(SncSessionInitiator(p_.ini, authType, 0, "p:host/server"), WEQ_O_K);
    ASSERT_EQ(SncSessionAcceptor(p_.acc, 0), WEQ_O_K);
  }
  // Ends both sessions: nothing of the library stays alive.
  void Done() {
    for (SNC_HDL* h : {&p_.ini, &p_.acc}) {
      if (*h != nullptr) {
        EXPECT_EQ(SncSessionDone(h), WEQ_O_K);
      }
    }
    EXPECT_EQ((std::vector<long>{ctl_->liveNames, ctl_->liveBuffers, ctl_->liveCreds, ctl_->liveContexts}),
              (std::vector<long>{0, 0, 0, 0}));
  }
  void SetQop(int min, int max, int use) {
    for (SNC_HDL h : {p_.ini, p_.acc}) S(h)->qopMin = min, S(h)->qopMax = max, S(h)->qopUse = use;
  }
  std::string Got(int side) {
    std::string s;
    for (const Bytes& b : p_.got[side]) s += std::string(b.begin(), b.end()) + "|";
    return s;
  }
  FakeGssCtl* ctl_ = nullptr;
  Pair p_;
};
#endif

}  // namespace snctest

#endif
