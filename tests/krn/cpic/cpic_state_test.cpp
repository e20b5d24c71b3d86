// Whether a verb may work on a conversation now, the receive timeout of a
// conversation, the keep-alive settings (also before the layer's start) and
// the keep-alive of one conversation against gw_peer, the buffer states'
// names.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "krn/cpic/cpic_peer_fixture.h"
#include "krn/dptrc/trc_checker.h"

namespace {

using cpictest::Fld;
using cpictest::TraceFile;
using tovtest::ToUtf8;

class CpicState : public cpictest::PeerConversation {
 protected:
  CPIC_CONV_ENTRY* Take(const char* gwId = "00000001") {
    int32_t index = -1;
    EXPECT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
    CPIC_CONV_ENTRY* e = STIConvAt(index);
    STIAssignConvId(e, gwId, u"test");
    return e;
  }
};

// The check as one table: the interrupted function, the send-receive state
// and the calling function; the result and the state afterwards.
TEST_F(CpicState, CheckTable) {
  struct Case {
    uint8_t interrupted;
    int32_t state;
    uint8_t code;
    CM_RETURN_CODE rc;
    int32_t stateAfter;
  };
  const Case cases[] = {
      {CPIC_FN_CMRCV, 1, CPIC_FN_CMSEND, 0, 1},          // a receive that timed out blocks nothing
      {CPIC_FN_CMALLC, 1, CPIC_FN_CMSEND, 20, 1},        // an allocate must be continued
      {CPIC_FN_CMALLC, 1, CPIC_FN_CMALLC, 0, 1},         // ... by itself
      {CPIC_FN_CMALLC, 1, CPIC_FN_CMDEAL, 0, 1},         // or ended
      {CPIC_FN_CMALLC, 1, CPIC_FN_CM_CANCEL, 0, 1},      // or cancelled
      {CPIC_FN_CM_WEQ_SYNC, 1, CPIC_FN_CMSEND, 0, 1},    // a send continues a sync
      {CPIC_FN_CM_WEQ_SYNC, 1, CPIC_FN_CMRCV, 20, 1},    // a receive does not
      {0, 2, CPIC_FN_CMSEND, 25, 2},                     // the partner may send
      {0, 2, CPIC_FN_CMRCV, 0, 1},                       // a receive passes and takes the turn
      {0, 2, CPIC_FN_CM_ACCPTP, 0, 2},
      {CPIC_FN_CMALLC, 2, CPIC_FN_CMSRT, 0, 2},          // always allowed
      {CPIC_FN_CMALLC, 2, CPIC_FN_CM_SNCMODE, 0, 2},
      {0, 0, CPIC_FN_CM_LISTEN3, 0, 0},
  };
  ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
  CPIC_CONV_ENTRY* e = Take();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.interrupted) << "/" << c.state << "/" << int(c.code));
    ErrClear();
    e->f.interruptedFunc = c.interrupted;
    e->f.sendRcvState = c.state;
    CM_RETURN_CODE out = -1;
    EXPECT_EQ(STIT8LocCheckState("00000001", c.code, e, &out), c.rc);
    EXPECT_EQ(out, c.rc);
    EXPECT_EQ(e->f.sendRcvState, c.stateAfter);
    // Only the state check records an error.
    EXPECT_EQ(Fld(ERR_FLD_RC), c.rc == 25 ? "471" : "");
    if (c.rc == 25) {
      EXPECT_EQ(Fld(ERR_FLD_ERROR), "program state check for conversation 00000001");
      EXPECT_EQ(Fld(ERR_FLD_DETAIL), "called function CMSEND in state RECEIVE");
    }
  }
  STIResetConv(e, true);
}

TEST_F(CpicState, RefusalNamesBothFunctions) {
  CPIC_CONV_ENTRY* e = Take();
  TraceFile trace(e, 1);
  e->f.interruptedFunc = CPIC_FN_CMALLC;
  EXPECT_EQ(STIT8LocCheckState("00000001", CPIC_FN_CMSEND, e, nullptr), CM_PRODUCT_SPECIFIC_ERROR);
  std::vector<trccheck::Line> lines = trccheck::Parse(trace.Text(), false);
  ASSERT_EQ(lines.size(), 1u) << trace.Text();
  EXPECT_EQ(lines[0].kind, 'E');
  EXPECT_EQ(lines[0].text, "STIT8LocCheckState: continue with interrupted function CMALLC instead of CMSEND");
  STIResetConv(e, true);
}

TEST_F(CpicState, ReceiveTimeoutOfAConversation) {
  CPIC_CONV_ENTRY* e = Take("00000042");
  CM_RETURN_CODE out = -5;
  EXPECT_EQ(WEQ_CMTIMEOUT2("00000042", 2500, &out), CM_OK);
  EXPECT_EQ(out, CM_OK);
  EXPECT_EQ(e->f.rcvTimeout, 2500);
  EXPECT_EQ(e->f.rcvTimeoutGiven, 1);
  EXPECT_EQ(WEQ_CMTIMEOUT2("00000042", -1, &out), CM_OK);
  EXPECT_EQ(e->f.rcvTimeout, -1);
  EXPECT_EQ(WEQ_CMTIMEOUT2("00000042", -2, &out), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(out, CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(e->f.rcvTimeout, -1) << "a refused timeout is not stored";
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "illegal parameter value ( function=WEQ_CMTIMEOUT2 / parameter=timeout / value=-2 )");
  EXPECT_EQ(WEQ_CMTIMEOUT2("99999999", 10, &out), CM_PARAMETER_ERROR);
  EXPECT_EQ(Fld(ERR_FLD_RC), "769");
  EXPECT_EQ(Fld(ERR_FLD_ERROR),
            "illegal parameter value ( function=WEQ_CMTIMEOUT2 / parameter=conversation_ID / value=99999999 )");
  EXPECT_EQ(WEQ_CMTIMEOUT2(nullptr, 10, nullptr), CM_PARAMETER_ERROR);
  STIResetConv(e, true);
}

// Both values are checked before anything is stored; accepted values reach
// the conversations taken afterwards.
TEST_F(CpicState, PingSettings) {
  CpicGlobals& g = CpicIGlobals();
  const int period = g.pingPeriod, timeout = g.pingTimeout;
  CM_RETURN_CODE out = -5;
  EXPECT_EQ(WEQ_CMSETPING(1, 1, -1, 30, &out), CM_PARAMETER_ERROR);
  EXPECT_EQ(out, CM_PARAMETER_ERROR);
  EXPECT_EQ(WEQ_CMSETPING(1, 1, 20, -1, &out), CM_PARAMETER_ERROR);
  EXPECT_EQ(g.pingPeriod, period);
  EXPECT_EQ(g.pingTimeout, timeout);
  EXPECT_EQ(g.pingActive, 0);
  EXPECT_EQ(g.pingSetByCall, 0);
  EXPECT_EQ(WEQ_CMSETPING(1, 1, 20, 30, &out), CM_OK);
  EXPECT_EQ(g.pingSetByCall, 1);
  CPIC_CONV_ENTRY* e = Take();
  EXPECT_EQ(e->f.pingActive, 1);
  EXPECT_EQ(e->f.pingReply, 1);
  EXPECT_EQ(e->f.pingPeriod, 20);
  EXPECT_EQ(e->f.pingTimeout, 30);
  STIResetConv(e, true);
}

// Set before the layer starts, the settings stand and the CPIC_PING
// variables are not read.
TEST_F(CpicState, PingSettingsBeforeTheStart) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    CpicIResetProcess();
    setenv("CPIC_PING", "1", 1);
    setenv("CPIC_PING_REPLY", "1", 1);
    setenv("CPIC_PING_PERIOD", "99", 1);
    setenv("CPIC_PING_TIMEOUT", "77", 1);
    if (WEQ_CMSETPING(0, 0, 5, 7, nullptr) != CM_OK) return 1;
    if (WEQ_STINIT(nullptr, nullptr, nullptr, u' ') != CM_OK) return 2;
    const CpicGlobals& g = CpicIGlobals();
    return g.pingActive == 0 && g.pingReply == 0 && g.pingPeriod == 5 && g.pingTimeout == 7 ? 0 : 3;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// The keep-alive of one conversation against the peer: nothing unless
// pings are on and the gateway announced NI pings; "NI_PING" or "NI_PONG"
// by the reply setting; a count of bytes sent before resumes the message;
// a time-out marks the conversation, and the next success clears the mark.
TEST_F(CpicState, KeepAliveOfAConversation) {
  ASSERT_NE(Open({"--accept-info", "20"}), nullptr);
  ASSERT_EQ(e_->f.gwOptions & NIPING, NIPING);
  e_->f.pingTimeout = 1000;
  EXPECT_EQ(STISendConvNiping(e_), WEQ_O_K);  // pings are off
  e_->f.pingActive = 1;
  e_->f.pingReply = 1;
  EXPECT_EQ(STISendConvNiping(e_), WEQ_O_K);
  EXPECT_EQ(peer().Wait("IN", "NIPING").dir, "IN") << peer().Text();
  EXPECT_EQ(peer().Wait("OUT", "NIPONG").dir, "OUT");
  e_->f.pingReply = 0;
  EXPECT_EQ(STISendConvNiping(e_), WEQ_O_K);
  EXPECT_EQ(peer().Wait("IN", "NIPONG").dir, "IN");

  e_->f.pingCount = 5;
  EXPECT_EQ(STISendConvNiping(e_), WEQ_O_K);
  peers::LogLine rest = peer().Wait("IN", "SHORT");
  EXPECT_EQ(rest.get("hex"), "4e4700") << "the 3 bytes after the first 5";
  EXPECT_EQ(e_->f.pingCount, 0u);

  ASSERT_EQ(NiSetParam(NIP_QTEST, (1u << 8) | 100u), WEQ_O_K);
  EXPECT_EQ(STISendConvNiping(e_), NIETIMEOUT);
  EXPECT_EQ(e_->f.pingTimedOut, 1);
  EXPECT_EQ(STISendConvNiping(e_), WEQ_O_K);
  EXPECT_EQ(e_->f.pingTimedOut, 0);
  NiSetParam(NIP_QTEST, 0);

  // A gateway without NI pings gets none.
  e_->f.gwOptions = 0;
  e_->f.pingReply = 1;
  EXPECT_EQ(STISendConvNiping(e_), WEQ_O_K);
  EXPECT_EQ(peer().Wait("IN", "NIPING", 200).dir, "NONE");
}

TEST_F(CpicState, BufferStateNames) {
  const char* names[] = {"BUFFER_DISABLED", "BUFFER_EMPTY", "BUFFER_DEACT", "BUFFER_DATA2",
                         "BUFFER_FLUSH",    "BUFFER_DATA",  "BUFFER_LISTEN", "BUFFER_LISTEN3"};
  WEQ_UC buf[16];
  for (int i = 0; i < 8; ++i) EXPECT_EQ(ToUtf8(STIBufferStateName(i, buf, 16)), names[i]);
  EXPECT_EQ(ToUtf8(STIBufferStateName(8, buf, 16)), "8");
  EXPECT_EQ(ToUtf8(STIBufferStateName(-3, buf, 16)), "-3");
}

}  // namespace
