// SNC sessions end to end over the test GSS-API library: two sessions in
// one process and a shuttle that carries every frame from one to the other
// and records its type ("I:INIT A:ACCEPT"). Handshakes with either side
// first, with and without mutual authentication and over several rounds;
// data at each protection level; refresh on the library's virtual clock;
// frames this side never sends; every GSS call failed in turn; tampered and
// replayed data; and the entries' checks.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/snc/snc.h"
#include "krn/snc/snc_int.h"
#include "snc_test_util.h"

namespace {

using namespace snctest;
using tovtest::ToUtf8;

using SncSessions = FakeSessions;

// Handshakes: who sends first, mutual authentication, several rounds.
TEST_F(SncSessions, Handshakes) {
  struct Case {
    const char* what;
    bool iniFirst;
    int authType, rounds;
    std::string log;
  };
  const Case cases[] = {
      {"initiator first, mutual", true, 1, 1, "I:INIT A:ACCEPT I:DATA_WRAP"},
      {"initiator first, one token", true, 0, 1, "I:INIT A:ACCEPT_ACK I:DATA_WRAP"},
      {"acceptor first, mutual", false, 1, 1, "A:INIT_REQ I:INIT A:ACCEPT I:INIT_ACK A:DATA_WRAP"},
      {"acceptor first, one token", false, 0, 1, "A:INIT_REQ I:INIT A:DATA_WRAP"},
      {"three rounds, mutual", true, 1, 3, "I:INIT A:ACCEPT I:INIT A:ACCEPT I:INIT A:ACCEPT I:DATA_WRAP"},
      {"three rounds, acceptor first", false, 0, 3, "A:INIT_REQ I:INIT A:ACCEPT I:INIT A:ACCEPT I:INIT A:DATA_WRAP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ctl_->rounds = c.rounds;
    p_ = Pair{};
    Open(c.authType);
    ASSERT_EQ(p_.Send(c.iniFirst, "hello"), WEQ_O_K) << p_.log;
    EXPECT_EQ(p_.log, c.log);
    EXPECT_EQ(Got(c.iniFirst ? 1 : 0), "hello|");
    EXPECT_EQ((std::vector<int>{S(p_.ini)->state, S(p_.acc)->state}),
              (std::vector<int>{SNC_STATE_ESTABLISHED, SNC_STATE_ESTABLISHED}));
    // The acceptor's ACL key is the initiator's canonical name.
    EXPECT_EQ(std::string(S(p_.acc)->peerName.prName), "p:user@TEST.REALM");
    ASSERT_EQ(p_.Send(!c.iniFirst, "back"), WEQ_O_K);
    EXPECT_EQ(Got(c.iniFirst ? 0 : 1), "back|");
    Done();
  }
}

// Data at each level: the frame type, the text delivered, the level.
TEST_F(SncSessions, DataAtEachLevel) {
  struct Case {
    int qop;
    const char* frame;
  };
  for (const Case& c : {Case{1, "DATA_OPEN"}, Case{2, "DATA_MIC"}, Case{3, "DATA_WRAP"}}) {
    p_ = Pair{};
    Open();
    SetQop(c.qop, 3, c.qop);
    ASSERT_EQ(p_.Send(true, "x"), WEQ_O_K);
    p_.log.clear();
    const std::string big(70000, 'b');
    for (const std::string& text : {std::string("one"), big, std::string("three")}) {
      ASSERT_EQ(p_.Send(true, text), WEQ_O_K) << c.qop;
      ASSERT_EQ(p_.Send(false, text + "!"), WEQ_O_K) << c.qop;
    }
    EXPECT_EQ(p_.log, std::string("I:") + c.frame + " A:" + c.frame + " I:" + c.frame + " A:" + c.frame + " I:" +
                          c.frame + " A:" + c.frame);
    EXPECT_EQ(Got(1), "x|one|" + big + "|three|");
    EXPECT_EQ(Got(0), "one!|" + big + "!|three!|");
    EXPECT_EQ((std::vector<int>{S(p_.acc)->dataLevel, S(p_.acc)->lastDataLevel}), (std::vector<int>{c.qop, c.qop}));
    Done();
  }
}

// A context of 700 seconds: at 700 left data goes out; at 590 the
// initiator's watermark drops to 480: with credentials of 100 seconds it
// keeps the context, with indefinite ones it refreshes (the new context
// starts with the watermark again); the acceptor checks the same user
// again.
TEST_F(SncSessions, RefreshByTheInitiator) {
  ctl_->ctxLifetime = 700;
  Open();
  ASSERT_EQ(p_.Send(true, "a"), WEQ_O_K);
  p_.log.clear();
  ASSERT_EQ(p_.Send(true, "b"), WEQ_O_K);
  EXPECT_EQ(p_.log, "I:DATA_WRAP");
  ctl_->clock = 110;
  ctl_->credLifetime = 100;
  p_.log.clear();
  ASSERT_EQ(p_.Send(true, "c"), WEQ_O_K) << p_.log;
  EXPECT_EQ(p_.log, "I:DATA_WRAP");
  EXPECT_EQ(S(p_.ini)->refWatermark, 480);
  ctl_->credLifetime = 0;
  ctl_->clock = 230;
  p_.log.clear();
  ASSERT_EQ(p_.Send(true, "d"), WEQ_O_K) << p_.log;
  EXPECT_EQ(p_.log, "I:INIT A:ACCEPT I:DATA_WRAP");
  EXPECT_EQ(S(p_.ini)->refWatermark, 600);
  EXPECT_EQ(Got(1), "a|b|c|d|");
  // Another user at the next refresh: the acceptor refuses, no more data.
  ctl_->clock = 230 + 300;
  ctl_->initUser = "mallory";
  p_.log.clear();
  EXPECT_EQ(p_.Send(true, "d"), SNCERR_REFRESH_WRONG_CRED) << p_.log;
  EXPECT_EQ(S(p_.acc)->state, SNC_STATE_ERROR);
  EXPECT_EQ(Got(1), "a|b|c|d|");
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "SNCERR_REFRESH_WRONG_CRED");
}

// The acceptor asks for the refresh (its watermark 240 lower each time);
// with credentials near their end the initiator rejects it, until the
// watermark is below the remaining lifetime and data flows on.
TEST_F(SncSessions, RefreshAskedByTheAcceptor) {
  ctl_->ctxLifetime = 700;
  Open();
  ASSERT_EQ(p_.Send(true, "a"), WEQ_O_K);
  ctl_->clock = 110;
  p_.log.clear();
  ASSERT_EQ(p_.Send(false, "b"), WEQ_O_K) << p_.log;
  EXPECT_EQ(p_.log, "A:INIT_REQ I:INIT A:ACCEPT I:INIT_ACK A:DATA_WRAP");
  EXPECT_EQ(S(p_.acc)->refWatermark, 600);
  ctl_->clock = 110 + 400;
  ctl_->credLifetime = 100;
  p_.log.clear();
  ASSERT_EQ(p_.Send(false, "c"), WEQ_O_K) << p_.log;
  EXPECT_EQ(p_.log, "A:INIT_REQ I:REJECTED A:INIT_REQ I:REJECTED A:DATA_WRAP");
  EXPECT_EQ(S(p_.acc)->refWatermark, 120);
  EXPECT_EQ(Got(0), "b|c|");
  EXPECT_EQ(S(p_.acc)->state, SNC_STATE_ESTABLISHED);
}

// A peer of protocol version 1 never triggers a refresh.
TEST_F(SncSessions, OldPeerNeverRefreshes) {
  ctl_->ctxLifetime = 700;
  Open();
  p_.version = 1;
  ASSERT_EQ(p_.Send(true, "a"), WEQ_O_K);
  EXPECT_EQ((std::vector<int>{S(p_.ini)->refWatermark, S(p_.acc)->refWatermark}), (std::vector<int>{-1, -1}));
  ctl_->clock = 650;
  p_.log.clear();
  ASSERT_EQ(p_.Send(true, "b"), WEQ_O_K);
  EXPECT_EQ(p_.log, "I:DATA_WRAP");
}

// Tampered and replayed data deliver nothing; DATA_OPEN under a minimum of
// 2 delivers its data with SNCERR_INSECURE.
TEST_F(SncSessions, TamperReplayAndInsecure) {
  for (int qop : {2, 3}) {
    p_ = Pair{};
    Open();
    SetQop(qop, 3, qop);
    ASSERT_EQ(p_.Send(true, "first"), WEQ_O_K);
    const Bytes replay = p_.sent[0].back();
    p_.tamper = [](Bytes& f, bool) { f[f.size() - 1] ^= 1; };
    EXPECT_EQ(p_.Send(true, "second"), SNCERR_GSSAPI);
    p_.tamper = nullptr;
    p_.last = WEQ_O_K;
    p_.Deliver(false, replay.data(), replay.size());
    EXPECT_EQ(p_.last, SNCERR_GSSAPI) << qop;
    EXPECT_EQ(Got(1), "first|") << qop;
    EXPECT_NE(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)).find(qop == 2 ? "Integrity check on data failed"
                                                              : "Recovery of privacy protected data failed"),
              std::string::npos);
    Done();
  }
  p_ = Pair{};
  Open();
  ASSERT_EQ(p_.Send(true, "x"), WEQ_O_K);
  S(p_.ini)->qopUse = 1;
  EXPECT_EQ(p_.Send(true, "open"), SNCERR_INSECURE);
  EXPECT_EQ(Got(1), "x|open|");
}

// Context flags the library does not grant, and wraps without privacy.
TEST_F(SncSessions, MissingFeatures) {
  struct Case {
    const char* what;
    unsigned mask;
    int noConf, grow;
    SNC_RC rc;
  };
  const Case cases[] = {
      {"no mutual authentication", GSS_C_MUTUAL_FLAG, 0, 0, SNCERR_MISSING_FEATURE},
      {"no confidentiality", GSS_C_CONF_FLAG, 0, 0, SNCERR_MISSING_FEATURE},
      {"no integrity", GSS_C_INTEG_FLAG, 0, 0, SNCERR_MISSING_FEATURE},
      {"wrap without privacy", 0, 1, 0, SNCERR_GSSAPI},
      {"unwrap grows", 0, 0, 1, SNCERR_GSSAPI},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    p_ = Pair{};
    ctl_->flagMask = c.mask, ctl_->noConf = c.noConf, ctl_->unwrapGrow = c.grow;
    Open();
    EXPECT_EQ(p_.Send(true, "x"), c.rc) << p_.log;
    EXPECT_EQ(Got(1), "");
    ctl_->flagMask = 0, ctl_->noConf = 0, ctl_->unwrapGrow = 0;
    Done();
  }
}

// Every GSS call of the handshake and the data path failed in turn: the
// call's side ends in ERROR, later calls give SNCERR_DEAD, the library's
// texts are in the error information, and nothing stays alive.
TEST_F(SncSessions, EachGssCallFailing) {
  struct Case {
    int fn;
    SNC_RC rc;
    int tolerated;  // the call whose failure the layer traces and goes on
  };
  // The acceptor reads the target's canonical name from the INIT with the
  // second export; a failure there only costs it the name.
  const Case cases[] = {{kFnInit, SNCERR_GSSAPI, 0},        {kFnAccept, SNCERR_GSSAPI, 0},
                        {kFnAcquireCred, SNCERR_GSSAPI, 0}, {kFnContextTime, SNCERR_GSSAPI, 0},
                        {kFnWrap, SNCERR_GSSAPI, 0},        {kFnUnwrap, SNCERR_GSSAPI, 0},
                        {kFnImportName, SNCERR_GSSAPI, 0},  {kFnExportName, SNCERR_GSSAPI, 2}};
  for (const Case& c : cases) {
    for (int at = 1; at <= 2; ++at) {
      SCOPED_TRACE(std::to_string(c.fn) + " call " + std::to_string(at));
      p_ = Pair{};
      *ctl_ = FakeGssCtl{};
      ctl_->mechs[0] = kFakeKrb5, ctl_->nmechs = 1, ctl_->realm = "TEST.REALM";
      ASSERT_EQ(SncSessionInit(&p_.ini), WEQ_O_K);
      ASSERT_EQ(SncSessionInit(&p_.acc), WEQ_O_K);
      ASSERT_EQ(SncSessionAcceptor(p_.acc, 0), WEQ_O_K);
      ctl_->failFn = c.fn, ctl_->failAt = at;
      SNC_RC rc = SncSessionInitiator(p_.ini, 1, 0, "p:host/server");
      if (rc == WEQ_O_K) rc = p_.Send(true, "data");
      if (rc == WEQ_O_K) rc = p_.Send(true, "more");
      if (rc == WEQ_O_K) rc = p_.Send(false, "back");
      if (ctl_->calls[c.fn] < at || at == c.tolerated) {  // the call never came this far, or was tolerated
        EXPECT_EQ(rc, WEQ_O_K);
      } else {
        EXPECT_EQ(rc, c.rc) << p_.log;
        EXPECT_NE(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)).find("\nGSS-API(maj): fake major status 0x"),
                  std::string::npos)
            << ToUtf8(ErrGetFld(ERR_FLD_DETAIL));
        const bool broken = S(p_.ini)->state == SNC_STATE_ERROR || S(p_.acc)->state == SNC_STATE_ERROR;
        if (broken) {
          SNC_HDL dead = S(p_.ini)->state == SNC_STATE_ERROR ? p_.ini : p_.acc;
          uint8_t done = 0;
          const void* out = nullptr;
          size_t outLen = 0;
          EXPECT_EQ(SncProcessOutput(dead, "z", 1, &done, &out, &outLen), SNCERR_DEAD);
        }
      }
      ctl_->failFn = 0;
      Done();
    }
  }
}

// Frames this side never sends, from the fixture encoder's layout.
TEST_F(SncSessions, FramesNeverSent) {
  Open();
  ASSERT_EQ(p_.Send(true, "a"), WEQ_O_K);
  auto frame = [](int type, const Bytes& data, const std::vector<Bytes>& items = {}) {
    SncSession s{};
    SncBytes it[SNC_FRAME_ITEMS] = {};
    for (size_t i = 0; i < items.size(); ++i) it[i] = {items[i].empty() ? nullptr : items[i].data(),
                                                       static_cast<uint32_t>(items[i].size())};
    MakeFrame(&s, {}, {data.empty() ? nullptr : data.data(), static_cast<uint32_t>(data.size())}, type, 0, it, &s.out);
    Bytes f(s.out.data, s.out.data + s.out.used);
    SncPFreeOutBuf(&s.out);
    return f;
  };
  const Bytes one = {0};
  const Bytes canon(S(p_.acc)->peerName.xpName, S(p_.acc)->peerName.xpName + S(p_.acc)->peerName.xpLen);
  struct Case {
    const char* what;
    Bytes frame;
    bool toIni;
    SNC_RC rc;
    int state;
  };
  const std::string pr = "p:someone@ELSE";
  const Case cases[] = {
      {"type 20", frame(FR_DATA_OPEN, {'x'}), true, WEQ_O_K, SNC_STATE_ESTABLISHED},
      {"REVERSE_REQ", frame(FR_REVERSE_REQ, {'x'}), true, SNCERR_WRONG_FRAME, SNC_STATE_ESTABLISHED},
      {"INIT_ACK at the initiator", frame(FR_INIT_ACK, {}), true, SNCERR_WRONG_FRAME, SNC_STATE_ESTABLISHED},
      {"REJECTED established", frame(FR_REJECTED, {}), true, WEQ_O_K, SNC_STATE_ESTABLISHED},
      {"ERROR 40", frame(FR_ERROR, one, {canon, {}, Bytes(pr.begin(), pr.end()), {0, 40}}), true,
       SNCERR_WRONG_TARGET, SNC_STATE_ERROR},
      {"SHUTDOWN_MSG", frame(FR_SHUTDOWN_MSG, {'b', 'y', 'e'}), false, SNCERR_SHUTDOWN_MSG, SNC_STATE_DEAD},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes f = c.frame;
    if (std::string(c.what) == "type 20") f[8] = 20;
    p_.last = WEQ_O_K;
    p_.Deliver(c.toIni, f.data(), f.size());
    EXPECT_EQ(p_.last, c.rc);
    EXPECT_EQ(S(c.toIni ? p_.ini : p_.acc)->state, c.state);
  }
  EXPECT_EQ(Hex(S(p_.ini)->peerName.xpName, S(p_.ini)->peerName.xpLen), Hex(canon.data(), canon.size()));
  EXPECT_EQ(Got(1), "a|bye|");
  p_.last = WEQ_O_K;
  const Bytes shut = frame(FR_SHUTDOWN, {});
  p_.Deliver(false, shut.data(), shut.size());
  EXPECT_EQ(p_.last, SNCERR_DEAD);
  // An ERROR frame whose code is 0 is one without a code.
  Done();
  p_ = Pair{};
  Open();
  ASSERT_EQ(p_.Send(true, "a"), WEQ_O_K);
  const Bytes zero = frame(FR_ERROR, one, {{}, {}, {}, {0, 0}});
  p_.Deliver(false, zero.data(), zero.size());
  EXPECT_EQ((std::vector<int>{p_.last, S(p_.acc)->state}), (std::vector<int>{-10, SNC_STATE_ERROR}));
}

// Two frames in one input: the answer of the first is handed out when the
// second needs none; when both need one, neither is.
TEST_F(SncSessions, TwoFramesInOneInput) {
  Open(0);
  uint8_t done = 0;
  const void* out = nullptr;
  size_t outLen = 0;
  ASSERT_EQ(SncProcessOutput(p_.ini, "x", 1, &done, &out, &outLen), WEQ_O_K);
  Bytes init(static_cast<const uint8_t*>(out), static_cast<const uint8_t*>(out) + outLen);
  SncSession s{};
  MakeFrame(&s, {}, {}, FR_REJECTED, 0, nullptr, &s.out);
  Bytes both = init;
  both.insert(both.end(), s.out.data, s.out.data + s.out.used);
  const void *data = nullptr, *back = nullptr;
  size_t dataLen = 0, backLen = 0;
  ASSERT_EQ(SncProcessInput(p_.acc, both.data(), both.size(), &data, &dataLen, &back, &backLen), WEQ_O_K);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(SncPFrameName(static_cast<const uint8_t*>(back)[8]), std::string("ACCEPT_ACK"));
  SncPFreeOutBuf(&s.out);
  Done();
  p_ = Pair{};
  Open(1);
  SncSession* a = S(p_.acc);
  ASSERT_EQ(SncProcessOutput(p_.acc, "y", 1, &done, &out, &outLen), WEQ_O_K);  // INIT_REQ
  ASSERT_EQ(SncProcessOutput(p_.ini, "x", 1, &done, &out, &outLen), WEQ_O_K);  // INIT
  // The INIT, and the same INIT again as the start of a refresh: each
  // needs an ACCEPT.
  Bytes two(static_cast<const uint8_t*>(out), static_cast<const uint8_t*>(out) + outLen);
  Bytes again = two;
  again[23] |= SNC_FLAG_REFRESH;
  two.insert(two.end(), again.begin(), again.end());
  EXPECT_EQ(SncProcessInput(p_.acc, two.data(), two.size(), &data, &dataLen, &back, &backLen), SNCERR_INTERNAL);
  EXPECT_EQ(back, nullptr);
  (void)a;
}

// Frames that deliver nothing are followed by the rest of the input: a
// token or an acknowledgement with the data behind it, led by either side,
// with and without an answer to send back; data behind data is left
// unread with SNCERR_BUFFER_TOO_SMALL at every level, and the trace names
// the count of bytes left.
TEST_F(SncSessions, FramesInOneInput) {
  Open(1);
  ExpectAnswerThenData(p_.ini, p_.acc, "ACCEPT");
  Done();
  p_ = Pair{};
  Open(0);
  ExpectAnswerThenData(p_.ini, p_.acc, "ACCEPT_ACK");
  Done();
  // Led by the acceptor: the initiator's INIT with its first data; with
  // mutual authentication the acceptor's ACCEPT with its first data, which
  // leaves INIT_ACK to send back.
  for (int auth : {0, 1}) {
    SCOPED_TRACE(auth);
    p_ = Pair{};
    Open(auth);
    Received r = Receive(p_.ini, Produce(p_.acc, "y"));
    ASSERT_EQ(Kind(r.back), "INIT");
    SNC_HDL from = p_.ini, to = p_.acc;
    Bytes first = r.back;
    if (auth == 1) {
      r = Receive(p_.acc, r.back);
      ASSERT_EQ(Kind(r.back), "ACCEPT");
      first = r.back, from = p_.acc, to = p_.ini;
    }
    bool done = false;
    const Bytes data = Produce(from, "data", &done);
    ASSERT_TRUE(done);
    r = Receive(to, Joined(first, data));
    EXPECT_EQ(r.rc, WEQ_O_K);
    EXPECT_EQ(Text(r.data), "data");
    EXPECT_EQ(Kind(r.back), auth == 1 ? "INIT_ACK" : "-");
    if (auth == 1) {
      EXPECT_EQ(Receive(from, r.back).rc, WEQ_O_K);
    }
    EXPECT_EQ(Text(Receive(p_.ini, Produce(p_.acc, "y")).data), "y");
    EXPECT_EQ(Text(Receive(p_.acc, Produce(p_.ini, "x")).data), "x");
    Done();
  }
  for (int qop : {1, 2, 3}) {
    SCOPED_TRACE(qop);
    p_ = Pair{};
    Open();
    SetQop(qop, 3, qop);
    ASSERT_EQ(p_.Send(true, "x"), WEQ_O_K);
    ExpectDataThenData(p_.ini, p_.acc);
    ExpectDataThenData(p_.acc, p_.ini);
    Done();
  }
  tovtest::ChildResult c = InChild(1, [this] {
    ErrClear();  // the failures above are this thread's too
    p_ = Pair{};
    Open();
    if (p_.Send(true, "x") != WEQ_O_K) return 2;
    const Bytes one = Produce(p_.ini, "one"), two = Produce(p_.ini, "two!");
    printf("%zu %d\n", two.size(), Receive(p_.acc, Joined(one, two)).rc);
    return 0;
  });
  ASSERT_EQ(c.exit_code, 0) << c.err;
  const std::string left = c.out.substr(0, c.out.find(' '));
  EXPECT_EQ(c.out, left + " " + std::to_string(SNCERR_BUFFER_TOO_SMALL) + "\n");
  EXPECT_NE(c.err.find("SncProcessInput(): Ooops, remaining input data= " + left + " !?"), std::string::npos) << c.err;
  EXPECT_NE(c.err.find("<<- ERROR: SncProcessInput()==SNCERR_BUFFER_TOO_SMALL"), std::string::npos) << c.err;
}

// An acceptor without an own name takes the target that the INIT names as
// its own; one with an own name that is not the target refuses the
// context. A step that continues without a token cannot be sent.
TEST_F(SncSessions, TargetAndEmptyTokens) {
  for (bool named : {false, true}) {
    p_ = Pair{};
    ASSERT_EQ(SncSessionInit(&p_.ini), WEQ_O_K);
    ASSERT_EQ(SncSessionInit(&p_.acc), WEQ_O_K);
    ASSERT_EQ(SncSessionInitiator(p_.ini, 1, 0, "p:other/server"), WEQ_O_K);
    if (named) {
      ASSERT_EQ(SncSetMyName(p_.acc, "p:host/server"), WEQ_O_K);
    }
    ASSERT_EQ(SncSessionAcceptor(p_.acc, 0), WEQ_O_K);
    EXPECT_EQ(p_.Send(true, "a"), named ? SNCERR_GSSAPI : WEQ_O_K);
    EXPECT_EQ(S(p_.acc)->state, named ? SNC_STATE_ERROR : SNC_STATE_ESTABLISHED);
    EXPECT_EQ(std::string(S(p_.acc)->myName.prName), named ? "p:host/server@TEST.REALM" : "p:other/server@TEST.REALM");
    if (named) {
      EXPECT_NE(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)).find("Unable to establish the security context"), std::string::npos);
    }
    Done();
  }
  for (bool iniFirst : {true, false}) {
    p_ = Pair{};
    ctl_->rounds = 2, ctl_->emptyContinue = 1;
    Open();
    EXPECT_EQ(p_.Send(iniFirst, "a"), SNCERR_INTERNAL) << p_.log;
    EXPECT_EQ(Got(0) + Got(1), "");
    Done();
  }
}

// Releases the library refuses are recorded as SNCERR_PLAUSI; the handles
// are gone all the same.
TEST_F(SncSessions, RefusedReleases) {
  Open();
  ASSERT_EQ(p_.Send(true, "a"), WEQ_O_K);
  ctl_->failRelease = 1;
  ErrClear();
  EXPECT_EQ(SncSessionDone(&p_.ini), WEQ_O_K);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "SNCERR_PLAUSI");
  // Context first, then the target's internal name, which is recorded last.
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)), "Cleanup: trying to release GSSAPI internal name");
  EXPECT_EQ(SncSessionDone(&p_.acc), WEQ_O_K);
  ctl_->failRelease = 0;
}

// The entries' checks before and around the state machine.
TEST_F(SncSessions, EntryChecks) {
  SNC_HDL h = nullptr;
  uint8_t done = 0;
  const void *out = nullptr, *data = nullptr, *back = nullptr;
  size_t n = 0, m = 0;
  ASSERT_EQ(SncSessionInit(&h), WEQ_O_K);
  SncSession bogus{};
  std::vector<int> got = {
      SncSessionInit(nullptr),
      SncProcessOutput(&bogus, "x", 1, &done, &out, &n),
      SncProcessOutput(h, nullptr, 1, &done, &out, &n),
      SncProcessOutput(h, "x", 1, nullptr, &out, &n),
      SncProcessInput(h, nullptr, 0, &data, &n, &back, &m),
      SncSessionInitiator(h, 2, 0, "p:x"),
      SncSessionInitiator(h, 1, 0, ""),
      SncSessionInitiator(h, 1, 0, nullptr),
      SncSessionAcceptor(&bogus, 0),
      SncProcessOutput(h, "pass", 4, &done, &out, &n),
      static_cast<int>(n) * 10 + done,
      SncSetMyName(nullptr, "p:me"),
      SncSessionAcceptor(h, 0),
      SncSetMyName(h, "p:late"),
      SncSessionInitiator(h, 1, 0, "p:x"),
      SncSessionDone(nullptr),
      SncSessionDone(&h),
      h == nullptr,
  };
  EXPECT_EQ(got, (std::vector<int>{SNCERR_FUNC_ARGS, SNCERR_BAD_SNC_HDL, SNCERR_FUNC_ARGS, SNCERR_FUNC_ARGS,
                                   SNCERR_FUNC_ARGS, SNCERR_FUNC_ARGS, SNCERR_FUNC_ARGS, SNCERR_FUNC_ARGS,
                                   SNCERR_BAD_SNC_HDL, WEQ_O_K, 41, WEQ_O_K, WEQ_O_K, SNCERR_NOT_AVAIL,
                                   SNCERR_SESSION_ACTIVE, SNCERR_FUNC_ARGS, WEQ_O_K, 1}));
  // The default session's own name goes into new sessions.
  ASSERT_EQ(SncSessionInit(&h), WEQ_O_K);
  EXPECT_EQ(std::string(S(h)->myName.prName), "p:me@TEST.REALM");
  EXPECT_NE(S(h)->myName.xpName, S(gSnc.dflt)->myName.xpName);
  EXPECT_EQ(SncSessionDone(&h), WEQ_O_K);
  EXPECT_EQ(SncSetMyName(nullptr, nullptr), WEQ_O_K);
}

}  // namespace

namespace {

// SncInit, each case in a child process: the program types, the profile,
// credential checks, the default session's limits, later calls and a fresh
// start after a failure.
TEST(SncInitTypes, InChildren) {
  struct Case {
    const char* what;
    int progType;
    const char* profile;  // file contents or NULL
    void (*setup)(FakeGssCtl*);
    std::string want;                // what the child prints
    std::vector<std::string> trace;  // pieces of its trace
  };
  const Case cases[] = {
      {"type 0", 0, nullptr, nullptr, "0 1|0 1|min=2 max=3 use=3|",
       {"SncInit(): Initializing Secure Network Communication (SNC)\n",
        "      PC with Linux x86_64 (mt,ascii,WEQ_UC/size_t/void* = 16/64/64)\n",
        "    sec_avail = \"true\"\n"}},
      {"type 9 from the store", 9, nullptr, nullptr, "0 1|0 1|min=2 max=3 use=3|", {}},
      {"NTLM limits the levels", 0, nullptr, [](FakeGssCtl* c) { c->mechs[0] = kFakeNtlm; },
       "0 1|0 1|min=1 max=1 use=1|",
       {"SncIInit(): \"weqntlm\" limits snc/data_protection/max = 1 (Open)\n",
        "SncIInit(): \"weqntlm\" limits snc/data_protection/min = 1 (Open)\n"}},
      {"type 3 disabled", 3, "[snc]\nenable = 0\n", nullptr, "0 0|0 0|passed 4 done 1|myname -2|",
       {"SncInit(): snc/enable=0, external security disabled\n", "    sec_avail = \"false\"\n"}},
      {"type 1 without own name", 1, "[snc]\n", nullptr, "-1 0|-1 0|",
       {"SncInit(): Missing profile paramter \"snc/identity/as\" !\n"}},
      {"type 1 with own name", 1, "[snc]\nidentity/as = p:host/server\n", nullptr,
       "0 1|0 1|min=2 max=3 use=3|own=p:host/server@TEST.REALM|",
       {"SncInit(): Accepting  Credentials available, lifetime=Indefinite\n",
        "SncInit(): Initiating Credentials available, lifetime=Indefinite\n"}},
      {"type 5 without credentials", 5, "[snc]\n", [](FakeGssCtl* c) { c->cred = kFakeCredNone; }, "-4 0|-4 0|",
       {"SncInit(): Fatal -- Initiating Credentials not available!\n"}},
      {"type 4 with expired credentials", 4, "[snc]\nidentity/ms = p:host/server\n",
       [](FakeGssCtl* c) { c->cred = kFakeCredExpired; }, "-4 0|-4 0|",
       {"SncInit(): Fatal -- Accepting Credentials not available!\n", "Could't acquire ACCEPTING credentials for"}},
      {"no such library", 0, nullptr, [](FakeGssCtl*) { setenv("SNC_LIB", "/nonexistent/gss.so", 1); }, "-1 0|-1 0|",
       {"Unable to load GSS-API library\nnamed \"/nonexistent/gss.so\""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tovtest::TempDir tmp;
    tovtest::ChildResult r = InChild(3, [&] {
      unsetenv("SNC_LIB");
      FakeGssCtl* ctl = FakeCtl(SNC_FAKEGSS_V2);
      if (c.setup != nullptr) c.setup(ctl);
      if (getenv("SNC_LIB") == nullptr) SncSetParam(SNC_PARAM_GSSAPI_LIB, SNC_FAKEGSS_V2, 0);
      std::string file;
      if (c.profile != nullptr) {
        file = tmp.File("snc.pfl");
        tovtest::WriteFile(file, c.profile);
      }
      SNC_HDL h = nullptr;
      if (SncSessionInit(&h) != SNCERR_INIT_FIRST) return 1;
      uint8_t avail = 9;
      if (SncInit(10, nullptr, &avail) != SNCERR_FUNC_ARGS || SncInit(0, nullptr, nullptr) != SNCERR_FUNC_ARGS) return 2;
      // The first call, and a second one that reports the first's result
      // (or, after a failure, starts over with the same outcome).
      for (int i = 0; i < 2; ++i) {
        const SNC_RC rc = SncInit(c.progType, c.profile != nullptr ? file.c_str() : nullptr, &avail);
        printf("%d %d|", rc, avail);
      }
      if (gSnc.initialized) {
        if (SncSessionInit(&h) != WEQ_O_K) return 3;
        if (gSnc.active) {
          printf("min=%d max=%d use=%d|", S(h)->qopMin, S(h)->qopMax, S(h)->qopUse);
          if (S(h)->myName.prName[0] != 0) printf("own=%s|", S(h)->myName.prName);
        } else {
          uint8_t done = 0;
          const void* out = nullptr;
          size_t outLen = 0;
          SncProcessOutput(h, "data", 4, &done, &out, &outLen);
          printf("passed %zu done %d|myname %d|", out == static_cast<const void*>("data") ? outLen : outLen + 100,
                 done, SncSetMyName(h, "p:x"));
        }
        SncSessionDone(&h);
      } else if (SncSessionInit(&h) != SNCERR_INIT_FIRST) {
        return 4;
      }
      fflush(stdout);
      return 0;
    });
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, c.want);
    for (const std::string& piece : c.trace) EXPECT_NE(Untagged(r.err).find(piece), std::string::npos) << piece;
  }
}

}  // namespace
