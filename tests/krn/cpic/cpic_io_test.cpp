// A conversation's messages to and from gw_peer over NI: the receive with
// its pings, partial messages, short, wrong-version and oversize messages,
// codes and error records; the send in every header version, the send of
// the thread's error information and a broken connection; the read of
// pending messages; the header and raw dumps.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "krn/cpic/cpic_peer_fixture.h"
#include "krn/dptrc/trc_checker.h"
#include "peers/errrec.h"
#include "peers/gwcodec.h"

namespace {

using cpictest::Fld;
using cpictest::TraceFile;
using tovtest::ToUtf8;

struct Rcv {
  int rc = 99;
  int len = -1;
  uint8_t pings = 0;
  CM_RETURN_CODE cm = -1;
  long ms = 0;
  std::string data;
};

class CpicIo : public cpictest::PeerConversation {
 protected:
  // The peer resets the connection; the layer's own requests go out until
  // the connection is found broken: that send's result.
  int SendUntilBroken() {
    EXPECT_TRUE(peer().Control("inject reset"));
    EXPECT_EQ(peer().Wait("OUT", "RESET").dir, "OUT");
    int rc = CM_OK;
    for (int i = 0; i < 50 && rc == CM_OK; ++i) rc = STISendToGw(F_WEQ_UNACCPTP, e_);
    return rc;
  }
  Rcv Receive(int timeout, int capacity = 1000) {
    Rcv r;
    uint8_t* msg = STIMsgBuf(e_);
    std::vector<uint8_t> dst(static_cast<size_t>(capacity) + 1, 0xEE);
    auto start = std::chrono::steady_clock::now();
    r.rc = STIAsRcvFromGw(e_, msg, dst.data(), capacity, &r.len, timeout, &r.pings, &r.cm);
    r.ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    int hl = STIHdrLen(e_);
    if (r.rc == 0 && r.len > hl) r.data.assign(reinterpret_cast<char*>(dst.data()), static_cast<size_t>(r.len - hl));
    EXPECT_EQ(dst[static_cast<size_t>(capacity)], 0xEE) << "written beyond the capacity";
    return r;
  }
};

// The receive against one table of the peer's messages.
TEST_F(CpicIo, ReceiveByThePeersMessages) {
  struct Case {
    const char* name;
    std::string inject;
    int timeout, capacity;
    int rc;
    CM_RETURN_CODE cm;
    int errRc;  // the thread's error code afterwards, 0 for none
  };
  const Case cases[] = {
      {"data", "hdr data=414243", 1000, 100, 0, 0, 0},
      {"short", "hdr short=40", 1000, 100, -1, -1, 239},
      {"wrong version", "hdr ver=5", 1000, 100, -2, -1, 246},
      {"cancel", "cancel", 1000, 100, 0, 10002, 0},
      {"deallocated", "hdr appcrc=18", 1000, 100, 0, 18, 0},
      {"other code", "hdr appcrc=3 weqrc=726", 1000, 100, 0, 3, 772},
      {"oversize", "hdr datalen=500", 1000, 100, -1, -1, 240},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(Open(), nullptr);
    ErrClear();
    ASSERT_TRUE(peer().Control("inject " + c.inject));
    Rcv r = Receive(c.timeout, c.capacity);
    EXPECT_EQ(r.rc, c.rc) << peer().Text();
    if (c.rc == 0) {
      EXPECT_EQ(r.cm, c.cm);
    }
    EXPECT_EQ(Fld(ERR_FLD_RC), c.errRc != 0 ? std::to_string(c.errRc) : "");
    if (c.cm == 10002) {
      EXPECT_EQ(e_->f.cancelReceived, 1);
    }
    if (c.errRc == 246) {
      EXPECT_NE(Fld(ERR_FLD_DETAIL).find("client version 6, gateway version 5"), std::string::npos)
          << Fld(ERR_FLD_DETAIL);
    }
    if (c.errRc == 239) {
      EXPECT_EQ(Fld(ERR_FLD_DETAIL), "received incomplete data (40 bytes)");
    }
    if (c.errRc == 772) {
      EXPECT_EQ(Fld(ERR_FLD_ERROR),
                "Return codes ( function=STIAsRcvFromGw / CPIC-RC=CM_CONVERSATION_TYPE_MISMATCH / "
                "WEQ-RC=GW_T8_NOT_CONNECTED )");
      EXPECT_EQ(Fld(ERR_FLD_LOCATION),
                "WEQ-Gateway on host " + ToUtf8(gwtest::LoopbackHost()) + " / " + std::to_string(peer().port()));
      EXPECT_EQ(ToUtf8(ErrGetLocation()), "CPIC (TCP/IP) on local host testhost with Unicode");
    }
    if (c.name == std::string("data")) {
      EXPECT_EQ(r.data, "ABC");
      EXPECT_EQ(r.len, STIHdrLen(e_) + 3);
    }
    Release();
  }
}

// A gateway ping 400 ms into a receive of 1000 ms: the receive goes on for
// the rest, about 600 ms, and counts the ping.
TEST_F(CpicIo, GatewayPingLeavesTheRestOfTheTimeout) {
  ASSERT_NE(Open(), nullptr);
  TraceFile trace(e_, 2);
  ASSERT_TRUE(peer().Control("inject ping206 convid=12345678 delay=400"));
  Rcv r = Receive(1000);
  EXPECT_EQ(r.rc, -3);
  EXPECT_EQ(r.pings, 1);
  EXPECT_GE(r.ms, 950);
  EXPECT_LT(r.ms, 1400) << "the timeout is counted from the receive's start";
  std::string text = trace.Text();
  size_t at = text.find("STIAsRcvFromGw: timeout value adjusted: ");
  ASSERT_NE(at, std::string::npos) << text;
  int left = atoi(text.c_str() + at + strlen("STIAsRcvFromGw: timeout value adjusted: "));
  EXPECT_GE(left, 350);
  EXPECT_LE(left, 610);
  EXPECT_NE(text.find("STIAsRcvFromGw: ping received (12345678)"), std::string::npos);
}

// NI_PING is answered by NI and counted; pings well under a second apart,
// for longer than the time-out, still let a finite receive end by it.
TEST_F(CpicIo, NiPingsAreAnsweredAndTheTimeoutStillEnds) {
  ASSERT_NE(Open(), nullptr);
  std::string pings = "inject niping delay=100";
  for (int i = 0; i < 9; ++i) pings += " ; niping delay=100";
  ASSERT_TRUE(peer().Control(pings));
  Rcv r = Receive(300);
  EXPECT_EQ(r.rc, -3);
  EXPECT_GE(r.pings, 1);
  EXPECT_LT(r.ms, 700);
  EXPECT_EQ(peer().Wait("IN", "NIPONG").dir, "IN") << peer().Text();
}

// In the select set a receive returns after a ping of either kind.
TEST_F(CpicIo, PingInTheSelectSetReturns) {
  ASSERT_NE(Open(), nullptr);
  e_->f.inSelectSet = 1;
  for (const char* ping : {"ping206", "niping"}) {
    SCOPED_TRACE(ping);
    ASSERT_TRUE(peer().Control(std::string("inject ") + ping));
    Rcv r = Receive(3000);
    EXPECT_EQ(r.rc, -3);
    EXPECT_EQ(r.pings, 1);
    EXPECT_LT(r.ms, 1500);
  }
}

// A message whose second half comes after the first receive's time-out:
// the part kept in the buffer is completed by the next receive.
TEST_F(CpicIo, PartialMessageCompletedByTheNextReceive) {
  ASSERT_NE(Open(), nullptr);
  ASSERT_TRUE(peer().Control("inject hdr appcrc=0 datalen=100 pieces=2 pause=1000"));
  ASSERT_EQ(peer().Wait("OUT", "PIECE").dir, "OUT");
  Rcv first = Receive(100);
  EXPECT_EQ(first.rc, -3);
  EXPECT_GT(e_->f.partialLen, 0);
  ASSERT_EQ(peer().Wait("OUT", "APPC").get("sent"), "1");
  Rcv second = Receive(2000);
  ASSERT_EQ(second.rc, 0) << peer().Text();
  EXPECT_EQ(second.len, STIHdrLen(e_) + 100);
  ASSERT_EQ(second.data.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(static_cast<uint8_t>(second.data[static_cast<size_t>(i)]), (i * 7 + 3) & 0xFF);
  EXPECT_EQ(e_->f.partialLen, 0);
}

// An oversize message fails the receive and is dropped whole: the next
// message is read as a message.
TEST_F(CpicIo, OversizeMessageKeepsTheConnectionFramed) {
  ASSERT_NE(Open(), nullptr);
  ASSERT_TRUE(peer().Control("inject hdr datalen=5000 ; hdr appcrc=0 data=58595a"));
  Rcv big = Receive(2000, 100);
  EXPECT_EQ(big.rc, -1);
  EXPECT_EQ(Fld(ERR_FLD_RC), "240");
  Rcv next = Receive(2000, 100);
  ASSERT_EQ(next.rc, 0);
  EXPECT_EQ(next.data, "XYZ");
}

// Error records of the gateway: whole up to what the reader takes (also
// when the receive's capacity holds only part of them), the rest dropped;
// a damaged one is kept as damaged; the next message stays framed.
TEST_F(CpicIo, ErrorRecordsOfTheGateway) {
  struct Case {
    std::string fields;
    int capacity;
    int expect;  // ErrIGet of the thread's record afterwards
    size_t units;
  };
  const Case cases[] = {
      {"errsize=30", 1000, ERR_DAMAGED, 30},
      {"errsize=500", 1000, ERR_OK, 0},
      {"errsize=1400", 1000, ERR_OK, 0},
      {"errsize=1400", 100, ERR_OK, 0},
      {"errtext=broken errdamaged=1", 1000, ERR_DAMAGED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields + " capacity " + std::to_string(c.capacity));
    ASSERT_NE(Open(), nullptr);
    ErrClear();
    ASSERT_TRUE(peer().Control("inject hdr appcrc=20 weqrc=726 " + c.fields + " ; hdr appcrc=0 data=4f4b"));
    Rcv r = Receive(2000, c.capacity);
    EXPECT_EQ(r.rc, 0) << peer().Text();
    EXPECT_EQ(r.cm, 20);
    EXPECT_EQ(ErrIGet(nullptr), c.expect);
    if (c.expect == ERR_OK) {
      EXPECT_EQ(Fld(ERR_FLD_RC), "726");
      EXPECT_EQ(Fld(ERR_FLD_COMPONENT), "GATEWAY");
    }
    if (c.units > 0) {
      const WEQ_UC* rec;
      size_t units = 0;
      ErrGetAttr(&rec, &units);
      EXPECT_EQ(units, c.units);
    }
    Rcv next = Receive(2000, 100);
    EXPECT_EQ(next.rc, 0);
    EXPECT_EQ(next.data, "OK");
    Release();
  }
  // Beyond what the reader takes: the record stays as it was, the message
  // is read to its end.
  ASSERT_NE(Open(), nullptr);
  ErrSetInfo(u"TEST", 1, u"t", 1, u"before", 5, nullptr);
  ASSERT_TRUE(peer().Control("inject hdr appcrc=20 weqrc=726 errsize=1700 ; hdr appcrc=0 data=4f4b"));
  EXPECT_EQ(Receive(2000, 2000).rc, 0);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "before");
  EXPECT_EQ(Receive(2000, 100).data, "OK");
}

TEST_F(CpicIo, ClosedConnectionDisconnectedEntryAndBlockingTimeout) {
  ASSERT_NE(Open(), nullptr);
  ASSERT_TRUE(peer().Control("inject close"));
  ASSERT_EQ(peer().Wait("OUT", "CLOSE").dir, "OUT");
  EXPECT_EQ(Receive(2000).rc, -1);
  EXPECT_EQ(Fld(ERR_FLD_RC), std::to_string(NIECONN_BROKEN));
  NI_HDL h = e_->f.readHdl;
  e_->f.readHdl = NI_INVALID_HDL;
  EXPECT_EQ(Receive(2000).rc, -1);
  EXPECT_EQ(Fld(ERR_FLD_RC), "237");
  e_->f.readHdl = h;
  Release();
  // A blocking receive that NI ends early (single-read mode, a message in
  // two pieces) is an error of its own, not a time-out of the caller's.
  ASSERT_NE(Open(), nullptr);
  ASSERT_EQ(NiSetSingleRead(e_->f.readHdl, 1), WEQ_O_K);
  ASSERT_TRUE(peer().Control("inject hdr datalen=100 pieces=2 pause=300"));
  EXPECT_EQ(Receive(-1).rc, -1);
  EXPECT_EQ(Fld(ERR_FLD_RC), "779");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "timeout during blocking read");
}

// Sends in every header version, both ways: the peer decodes each field of
// what the layer converted, and the layer reads the peer's header of that
// version with its data behind the version's length.
TEST_F(CpicIo, EveryHeaderVersionBothWays) {
  for (int v = 1; v <= 6; ++v) {
    SCOPED_TRACE(v);
    ASSERT_NE(Open({"--hdr-version", std::to_string(v)}), nullptr);
    ASSERT_EQ(e_->f.hdrVersion, v);
    uint8_t* h = STIMsgBuf(e_);
    peers::AppcHeader want;
    want.req = F_WEQ_SEND, want.protocol = 2, want.info2 = 0x09, want.trace = 2, want.info3 = 0x81;
    want.info4 = 0x01, want.gwReq = 0x01020304, want.paramLen = 8, want.info = 0x05, want.vector = 0x0C;
    want.convId = "12345678", want.commIdx = 5, want.connIdx = 7;
    want.area = std::string("\x00\x00\x00\x03", 4) + std::string(24, 'a');
    std::string msg = peers::AppcEncode(want, 80) + "DATA" + std::string("\x00\x00\x00\x04\x00\x00\x01\x00", 8);
    memcpy(h, msg.data(), msg.size());
    ASSERT_EQ(STIAsSendToGw(e_, h, nullptr, static_cast<uint8_t>(v), GwAppcHdrLen(static_cast<uint8_t>(v)),
                            static_cast<int>(msg.size())),
              CM_OK);
    // Version 1 carries neither index, version 5 (78 bytes) CommIdx only.
    gwtest::ExpectFields(
        peer().Wait("IN", "APPC"),
        {{"len", std::to_string(peers::AppcLen(v) + 12)}, {"ver", std::to_string(v)}, {"verok", "1"},
         {"req", "203"}, {"proto", "2"}, {"mode", "0"}, {"uid", "-1"}, {"errlen", "0"}, {"info2", "9"},
         {"trace", "2"}, {"info3", "129"}, {"info4", "1"}, {"gwreq", "16909060"}, {"parlen", "8"}, {"info", "5"},
         {"vector", "12"}, {"appcrc", "0"}, {"weqrc", "0"}, {"convid", "12345678"},
         {"area", peers::HexOf(want.area)}, {"commidx", v >= 2 ? "5" : "-1"},
         {"connidx", v >= 2 && v != 5 ? "7" : "-1"}, {"zeros", "1"}, {"data", peers::HexOf("DATA")},
         {"p.sendlen", "4"}, {"p.reqlen", "256"}});

    ASSERT_TRUE(peer().Control("inject hdr req=9 appcrc=0 results=1,3,2,0 data=616263"));
    Rcv r = Receive(2000);
    ASSERT_EQ(r.rc, 0) << peer().Text();
    EXPECT_EQ(r.len, peers::AppcLen(v) + 3);
    EXPECT_EQ(r.data, "abc");
    EXPECT_EQ(h[0], 6) << "the header reads as version 6 afterwards";
    EXPECT_EQ(peers::GetBe32(std::string(reinterpret_cast<char*>(h), 80), peers::kAppcRcvLen), 3u);
    Release();
  }
}

// A peer that reset the connection: the send fails and the write handle
// goes; the next send fails at once with 237.
TEST_F(CpicIo, SendAfterAResetThen237) {
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(SendUntilBroken(), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(e_->f.writeHdl, NI_INVALID_HDL);
  EXPECT_EQ(Fld(ERR_FLD_RC), std::to_string(NIECONN_BROKEN));
  EXPECT_EQ(STISendToGw(F_WEQ_UNACCPTP, e_), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(Fld(ERR_FLD_RC), "237");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "disconnected from WEQ gateway");
}

// After the old connect the entry writes on a connection of its own: when
// that breaks, it is closed, not left behind.
TEST_F(CpicIo, BrokenWriteConnectionOfTheOldConnectIsClosed) {
  ASSERT_NE(Open({}, true), nullptr);
  ASSERT_NE(e_->f.readHdl, e_->f.writeHdl);
  int32_t free = NiIFreeHandles();
  EXPECT_EQ(SendUntilBroken(), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(e_->f.writeHdl, NI_INVALID_HDL);
  EXPECT_EQ(NiIFreeHandles(), free + 1) << "the write connection's handle is free again";
}

// The distributed-trace record: a copy of the caller's, or a new one of the
// layer's ids; its sequence number is the request value of the requests.
TEST_F(CpicIo, DistributedTraceRecord) {
  int32_t index = -1;
  ASSERT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
  CPIC_CONV_ENTRY* e = STIConvAt(index);
  CpicGlobals& g = CpicIGlobals();
  g.trcRecVersion = 1;
  memcpy(g.componentId, "CPIC    ", 8);
  memcpy(g.rootId, "5F0000015F000001", 16);
  STIMakeTraceRecord(u"WEQ_STINIT3", nullptr, e);
  std::string r(reinterpret_cast<char*>(e->f.traceRecord), CPIC_TRACE_RECORD_LEN);
  EXPECT_EQ(r[0], 1);
  EXPECT_EQ(r.substr(1, 8), "CPIC    ");
  EXPECT_EQ(r.substr(9, 16), "5F0000015F000001");
  EXPECT_EQ(r.substr(25, 8), r.substr(33, 8)) << "the time in seconds, twice";
  EXPECT_EQ(peers::GetBe32(r, 41), 1u);
  EXPECT_EQ(e->f.gwRequestValue, 1u);
  CPIC_DT_RECORD given{2, {u'J', u'A', u'V', u'A'}, {}, {}, 0x01020304};
  memcpy(given.rootId, "rootrootrootroot", 16);
  memcpy(given.connId, "connconnconnconn", 16);
  STIMakeTraceRecord(u"WEQ_STINIT3", &given, e);
  r.assign(reinterpret_cast<char*>(e->f.traceRecord), CPIC_TRACE_RECORD_LEN);
  EXPECT_EQ(r[0], 2);
  EXPECT_EQ(r.substr(1, 8), "JAVA    ");
  EXPECT_EQ(r.substr(9, 32), "rootrootrootrootconnconnconnconn");
  EXPECT_EQ(peers::GetBe32(r, 41), 0x01020304u);
  EXPECT_EQ(e->f.gwRequestValue, 0x01020304u);
  STIResetConv(e, true);
}

TEST_F(CpicIo, OwnRequestAsThePeerReadsIt) {
  ASSERT_NE(Open(), nullptr);
  ASSERT_EQ(STISendToGw(F_WEQ_ACCPTP, e_), CM_OK);
  gwtest::ExpectFields(peer().Wait("IN", "APPC"),
                       {{"len", "80"}, {"req", "209"}, {"proto", "2"}, {"uid", "-1"}, {"gwreq", "41"}, {"info", "1"},
                        {"convid", "12345678"}, {"commidx", "-1"}, {"connidx", "7"}, {"zeros", "1"},
                        {"datalen", "0"}, {"area", "00000050" + std::string(48, '0')}});
}

// The thread's error information goes to the gateway in network form with
// the own host as location, and the thread has its record back afterwards;
// a record over 1000 bytes in that form goes whole.
TEST_F(CpicIo, ErrorInformationToTheGateway) {
  ASSERT_NE(Open(), nullptr);
  ErrSetInfo(u"TEST", 2, u"mod", 12, u"the caller's text \u00e9", 4711, u"detail %d", 9);
  ASSERT_EQ(STISendErrInfo(e_, "87654321", 6, F_DEALLOCATE, 450, 17), CM_OK);
  peers::LogLine in = peer().Wait("IN", "APPC");
  gwtest::ExpectFields(in, {{"req", "11"}, {"proto", "3"}, {"appcrc", "17"}, {"weqrc", "450"},
                            {"convid", "87654321"}, {"info", "17"}, {"errlen", in.get("err.len")}, {"err.ok", "1"},
                            {"err.text", "the caller's text \xc3\xa9"}, {"err.rc", "4711"}, {"err.detail", "detail 9"},
                            {"err.location", "CPIC (TCP/IP) on host testhost"}, {"datalen", "0"}});
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "the caller's text \xc3\xa9");
  EXPECT_EQ(Fld(ERR_FLD_LOCATION), "CPIC (TCP/IP) with Unicode");
  EXPECT_EQ(Fld(ERR_FLD_RC), "4711");

  // A record of more than 1000 bytes in network form goes whole.
  std::u16string wide(300, u'\u65e5');
  ErrSetInfo(u"TEST", 2, u"mod", 12, u"%s", 4712, nullptr, wide.c_str());
  ASSERT_EQ(STISendErrInfo(e_, "87654321", 6, F_DEALLOCATE, 450, 17), CM_OK);
  peers::LogLine big = peer().Wait("IN", "APPC");
  EXPECT_EQ(big.get("err.ok"), "1") << big.raw.substr(0, 300);
  EXPECT_GT(big.num("err.len"), 1000);
  EXPECT_EQ(big.get("err.text").size(), 900u);

  // Without error information the header goes alone; without a connection
  // nothing goes and the call says so.
  ErrClear();
  ASSERT_EQ(STISendErrInfo(e_, "87654321", 6, F_DEALLOCATE, 474, 17), CM_OK);
  EXPECT_EQ(peer().Wait("IN", "APPC").num("info"), 0x01);
  NI_HDL w = e_->f.writeHdl;
  e_->f.writeHdl = NI_INVALID_HDL;
  ErrSetInfo(u"TEST", 2, u"mod", 12, u"kept", 5, nullptr);
  EXPECT_EQ(STISendErrInfo(e_, "87654321", 6, F_DEALLOCATE, 474, 17), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "kept");
  e_->f.writeHdl = w;
}

// The read of pending messages: 474 and 731 notices, pings skipped, a long
// message read in pieces and none of its pieces taken for a header, and the
// end after the gateway's silence, also within a message.
TEST_F(CpicIo, PendingMessages) {
  // A header that says "gateway shutdown": as data it must stay data.
  peers::AppcHeader fake;
  fake.weqRc = 731;
  std::string fakeHex = peers::HexOf(peers::AppcEncode(fake, 80));
  struct Case {
    std::string inject;
    int result;
    std::string errRc;
  };
  const Case cases[] = {
      {"notice weqrc=474", CM_DEALLOCATED_ABEND, "474"},
      {"notice weqrc=731", CM_DEALLOCATED_NORMAL, "731"},
      {"ping206 ; niping ; notice weqrc=12", 0, ""},
      {"hdr data=" + fakeHex + fakeHex + fakeHex + " pieces=3 pause=40 ; notice weqrc=474", CM_DEALLOCATED_ABEND,
       "474"},
      {"hdr short=80 data=" + fakeHex + fakeHex, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inject);
    ASSERT_NE(Open(), nullptr);
    ErrSetInfo(u"TEST", 1, u"t", 1, u"earlier", 1, nullptr);
    ASSERT_TRUE(peer().Control("inject " + c.inject));
    // Everything is out before the read begins.
    size_t messages = 1;
    for (char ch : c.inject) messages += ch == ';';
    for (size_t n = 0; n < messages;) {
      peers::LogLine l;
      ASSERT_TRUE(peer().log().Next(&l, 3000)) << peer().Text();
      n += l.dir == "OUT" && l.kind != "PIECE";
    }
    EXPECT_EQ(StIReadPendingData(e_), c.result);
    EXPECT_EQ(Fld(ERR_FLD_RC), c.errRc);
    Release();
  }
  // Silence, here after the first half of a message whose second half
  // comes much later, ends the read after its short wait.
  ASSERT_NE(Open(), nullptr);
  ASSERT_TRUE(peer().Control("inject hdr datalen=200 pieces=2 pause=5000"));
  ASSERT_EQ(peer().Wait("OUT", "PIECE").dir, "OUT");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StIReadPendingData(e_), 0);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
            500);
}

// The header dump of each request and response kind, line by line.
TEST_F(CpicIo, HeaderDumpOfRequestsAndResponses) {
  ASSERT_NE(Open(), nullptr);
  TraceFile trace(e_, 2);
  uint8_t* h = STIMsgBuf(e_);
  struct Case {
    int req, direction;
    std::string area;
    int info, info2, vector;
    std::vector<std::string> lines;
  };
  std::string initArea = "DESTNAMELUNAME  TPNAME  I\x01";
  std::string rcv(28, '\0');
  rcv[7] = 2, rcv[11] = 9, rcv[15] = 1, rcv[19] = 1, rcv[20] = 2;  // 52-67: 2, 9, 1, 1; 68: T8_CLIENT
  const Case cases[] = {
      {F_WEQ_INIT, 1, initArea, 0x05, 0x01, 0x01,
       {">> reqtype     : APPC_REQ", ">> function    : WEQ_INIT", ">> Vector      : F_V_INITIALIZE_CONVERSATION ",
        ">> Info        : SYNC_CPIC_FUNCTION WITH_GW_WEQ_PARAMS_HDR ", ">> Info2       : WITH_LONG_LU_NAME ",
        ">> DEST        : DESTNAME", ">> LU          : LUNAME  ", ">> TP          : TPNAME  ", ">> CType       : I",
        ">> Cli Info    : EXTERNAL_CLIENT", ">> long TP     : LONGTP", ">> long LU     : LONGLU"}},
      {F_SEND_DATA, 1, std::string("\x00\x00\x01\x00", 4), 0x04, 0, 0x0C,
       {">> function    : SEND_DATA", ">> Send Length : 256", ">> Send Length : 3", ">> Req Length  : 4"}},
      {F_RECEIVE, 1, std::string("\x00\x00\x00\x40", 4), 0, 0, 0, {">> Req Length  : 64"}},
      {F_SET_TP_NAME, 1, "TPNAMEXX" + std::string("\x00\x00\x00\x06", 4), 0, 0, 0,
       {">> TP          : TPNAME", ">> TP len      : 6"}},
      {F_SET_SECURITY_USER_ID, 1, "USER12345678" + std::string("\x00\x00\x00\x04", 4), 0, 0, 0,
       {">> Sec Usr     : USER", ">> SecUsrLn    : 4"}},
      {F_WEQ_SET_UID, 1, std::string("\xff\xfe\x03", 3), 0, 0, 0, {">> new UID     : -2", ">> new Mode    : 3"}},
      {F_ACCEPT_CONVERSATION, 2, rcv, 0, 0, 0,
       {">> reqtype     : APPC_RESPONSE", ">> Cli Info    : T8_CLIEN", ">> Data rec    : 2 (CM_COMPLETE_DATA_RECEIVED)",
        ">> Rec Ln      : 9", ">> Stat rec    : 1 (CM_SEND_RECEIVED)", ">> ReqToSnd    : 1 (CM_REQ_TO_SEND_RECEIVED)"}},
      {F_WEQ_SEND, 2, rcv, 0, 0, 0x08, {">> Rec Length  : 9", ">> Data rec    : 2 (CM_COMPLETE_DATA_RECEIVED)"}},
      {F_SEND_DATA, 2, rcv, 0, 0, 0, {">> Req to Send : 2 (2)"}},
  };
  std::vector<uint8_t> ext(340, 0);
  memcpy(ext.data() + 276, "LONGTP", 6);
  memcpy(ext.data() + 72, "LONGLU", 6);
  ext[3] = 3, ext[7] = 4;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.req);
    peers::AppcHeader hdr;
    hdr.req = c.req;
    hdr.protocol = 2;
    hdr.appcRc = 18;
    hdr.weqRc = 731;
    hdr.convId = "ABCDEFGH";
    hdr.info = c.info;
    hdr.info2 = c.info2;
    hdr.vector = c.vector;
    hdr.area = c.area + std::string(28 - c.area.size(), '\0');
    hdr.connIdx = 7;
    std::string b = peers::AppcEncode(hdr, 80);
    memcpy(h, b.data(), 80);
    STIAnalyzeAppcHdr(e_, h, ext.data(), c.direction);
    std::string text = trace.Text();
    for (const std::string& l : c.lines) EXPECT_NE(text.find(l + "\n"), std::string::npos) << l << "\n" << text;
    for (const char* common : {">> ConnIdx     : 7", ">> Version     : 6", ">> Protocol    : INT", ">> UID         : -1",
                               ">> WeqRc       : 731 (GW_SHUTDOWN)", ">> AppcRc      : 18 (CM_DEALLOCATED_NORMAL)",
                               ">> ConvId      : ABCDEFGH"})
      EXPECT_NE(text.find(common), std::string::npos) << common;
  }
  // Every dump line is an information line of the trace.
  for (const trccheck::Line& l : trccheck::Parse(trace.Text(), false)) EXPECT_EQ(l.kind, 'I') << l.raw;
  // Indexes only where the version has them: CommIdx alone in version 5,
  // none in version 1.
  h[76] = 0, h[77] = 5;
  for (auto [version, comm, conn] : {std::tuple<int, const char*, const char*>{5, "5", "-1"}, {1, "-1", "-1"}}) {
    h[0] = static_cast<uint8_t>(version);
    STIAnalyzeAppcHdr(e_, h, nullptr, 2);
    std::string text = trace.Text();
    std::string last = text.substr(text.rfind("analyze appc hdr"));
    EXPECT_NE(last.find(std::string(">> CommIdx     : ") + comm + "\n"), std::string::npos) << last;
    EXPECT_NE(last.find(std::string(">> ConnIdx     : ") + conn + "\n"), std::string::npos) << last;
  }
}

// Raw dumps: the header always, user data only at level 3 and at most the
// raw-trace length.
TEST_F(CpicIo, RawDumpLimits) {
  ASSERT_NE(Open(), nullptr);
  uint8_t* h = STIMsgBuf(e_);
  memset(h, 0x41, 80 + 100);
  CpicIGlobals().rawTraceLen = 20;
  for (int level : {1, 2, 3}) {
    SCOPED_TRACE(level);
    TraceFile trace(e_, level);
    STITraceRawData(e_, h, 2, 180, 2, 1);
    std::string text = trace.Text();
    bool head = text.find("received raw data from gateway (appc header)") != std::string::npos;
    bool user = text.find("received raw data from gateway (user data)") != std::string::npos;
    EXPECT_EQ(head, level >= 2);
    EXPECT_EQ(user, level >= 3);
    if (level == 3) {
      // 20 bytes: one line of 16 and one of 4 behind the user-data title.
      std::string tail = text.substr(text.find("(user data)"));
      EXPECT_NE(tail.find("000016  41414141"), std::string::npos) << tail;
      EXPECT_EQ(tail.find("000032"), std::string::npos) << tail;
    }
  }
}

}  // namespace
