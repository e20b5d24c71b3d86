// The client verbs against gw_peer: the initialise request as the peer
// decoded it, side information and argument limits, the allocate with its
// time-out and code page, sends and receives with and without buffering
// and the first synchronous send, the header versions, the refusals of
// bad arguments, and the failures of the gateway at each step. gw_peer
// checks every request strictly; a wrong one fails the test.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "krn/cpic/cpic_client_fixture.h"
#include "peers/gwcodec.h"
#include "peers/peer_spawn.h"
#include "peers/peerlog.h"

namespace {

using cpictest::ConvId;
using cpictest::ErrFld;
using cpictest::Received;
using cpictest::TraceFile;
using tovtest::ToUtf8;

class CpicClient : public cpictest::ClientTest {
 protected:
  // The request codes the peer received, in order.
  std::vector<int> Requests() {
    EXPECT_TRUE(peer().Control("stats"));
    peer().Wait("EVENT", "STATS");
    std::vector<int> out;
    for (const peers::LogLine& l : peer().log().lines())
      if (l.dir == "IN" && l.kind == "APPC") out.push_back(static_cast<int>(l.num("req")));
    return out;
  }
  int Count(int req) {
    int n = 0;
    for (int r : Requests()) n += r == req;
    return n;
  }
};

std::string Hex(const std::string& s) { return peers::HexOf(s); }
std::string Padded(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }

// --- Initialise ----------------------------------------------------------------------

// Where the partner comes from: every key given reads no file; an open key
// reads the file of the destination, which may name the gateway.
TEST_F(CpicClient, SideInformation) {
  tovtest::TempDir dir;
  StartPeer();
  std::string port = ToUtf8(serv_);
  tovtest::WriteFile(dir.File("si"), "DEST=DEST1\nGWHOST=" + ToUtf8(host_) + "\nGWSERV=" + port +
                                         "\nPROTOCOL=I\nDEST=NOSERV\nGWHOST=h\nPROTOCOL=I\n");
  struct Case {
    const char* name;
    std::string file;
    const char16_t *dest, *host, *serv;
    int32_t trace;
    CM_RETURN_CODE rc;
    const char* errRc;
  };
  const std::u16string h = host_, s = serv_;
  const Case cases[] = {
      {"all given, missing file", dir.File("missing"), u"DEST1", h.c_str(), s.c_str(), 0, CM_OK, ""},
      {"open key, missing file", dir.File("missing"), u"DEST1", h.c_str(), s.c_str(), -1, CM_OK, ""},
      {"open key, no destination", dir.File("si"), u"", h.c_str(), s.c_str(), -1, C_NO_SYMDEST, "775"},
      {"gateway from the file", dir.File("si"), u"DEST1", u"", u"", -1, CM_OK, ""},
      {"no service in the file", dir.File("si"), u"NOSERV", u"", u"", -1, CM_PRODUCT_SPECIFIC_ERROR, "480"},
      {"no entry", dir.File("si"), u"OTHER", u"", u"", -1, CM_PRODUCT_SPECIFIC_ERROR, "472"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart({{"SIDE_INFO", c.file}});
    ConvId id;
    CM_RETURN_CODE rc = WEQ_STINIT3(id, c.dest, u"lu", u"echo", c.host, c.serv, u'I', c.trace, nullptr, nullptr);
    EXPECT_EQ(rc, c.rc) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(ErrFld(ERR_FLD_RC), c.errRc);
    if (rc == CM_OK) {
      EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
    }
    EXPECT_EQ(STIActiveConvs(), 0);
  }
  EXPECT_EQ(Count(1), 3) << "a connect where none may be";
}

// The limits of the arguments: 769 with the parameter's name, 19, and no
// connection; the longest host and service pass on to the connect.
TEST_F(CpicClient, ArgumentLimits) {
  StartPeer();
  std::u16string host2048(2048, u'h'), host2049(2049, u'h'), serv19(19, u'9'), serv20(20, u'9');
  struct Case {
    const char* name;
    std::u16string host, serv;
    WEQ_UC prot;
    bool nullId;
    CM_RETURN_CODE rc;
    const char* param;
  };
  const Case cases[] = {
      {"host of 2048", host2048, serv_, u'I', false, CM_PRODUCT_SPECIFIC_ERROR, ""},
      {"host of 2049", host2049, serv_, u'I', false, CM_PARAMETER_ERROR, "gwhost_length"},
      {"service of 19", host_, serv19, u'I', false, CM_PRODUCT_SPECIFIC_ERROR, ""},
      {"service of 20", host_, serv20, u'I', false, CM_PARAMETER_ERROR, "gwserv_length"},
      {"no id", host_, serv_, u'I', true, CM_PARAMETER_ERROR, "convid"},
      {"protocol letter", host_, serv_, u'X', false, CM_PARAMETER_ERROR, "prot"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConvId id;
    ErrClear();
    CM_RETURN_CODE rc = WEQ_STINIT3(c.nullId ? nullptr : id.id, u"D", u"lu", u"tp", c.host.c_str(), c.serv.c_str(),
                                    c.prot, 0, nullptr, nullptr);
    EXPECT_EQ(rc, c.rc);
    if (c.param[0] != 0) {
      EXPECT_EQ(ErrFld(ERR_FLD_RC), "769");
      EXPECT_NE(ErrFld(ERR_FLD_ERROR).find(std::string("parameter=") + c.param), std::string::npos)
          << ErrFld(ERR_FLD_ERROR);
    }
    EXPECT_EQ(STIActiveConvs(), 0);
  }
  EXPECT_EQ(Count(1), 0);
}

// Two conversations that the gateway gives one id: distinct own ids, and
// the requests of both keep the gateway's id (the peer checks it).
TEST_F(CpicClient, OneGatewayIdForTwoConversations) {
  StartPeer();
  ASSERT_TRUE(peer().Control("switch oneid=1"));
  ConvId a, b;
  ASSERT_EQ(Open(a), CM_OK);
  ASSERT_EQ(Open(b), CM_OK);
  EXPECT_EQ(a.str(), "12345678");
  EXPECT_EQ(b.str(), "22345678");
  EXPECT_EQ(Send(b, "to b"), CM_OK);
  EXPECT_EQ(Receive(b).data, "to b");
  EXPECT_EQ(Request(203).get("convid"), "12345678");
  EXPECT_EQ(STDEAL(a, nullptr), CM_OK);
  EXPECT_EQ(STDEAL(b, nullptr), CM_OK);
}

// A gateway that confirms the initialise with a blank id: the conversation
// gets an own id (the blank one names none), its requests carry the
// gateway's.
TEST_F(CpicClient, BlankGatewayIdGetsAnOwnId) {
  StartPeer();
  ASSERT_TRUE(peer().Control("rule 1 next hdr"));
  ConvId id, blank;
  ASSERT_EQ(Init(id), CM_OK);
  EXPECT_EQ(id.str(), "00000001");
  EXPECT_EQ(STDEAL(blank, nullptr), CM_OK);
  EXPECT_EQ(STIActiveConvs(), 1);
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
  EXPECT_EQ(Request(11).get("convid"), blank.str());
}

// A route in the LU: the gateway is reached through NI's router peer, the
// router sees the route's hops, and the request names the route's last host
// as LU and its service as TP; the conversation then runs through it.
TEST_F(CpicClient, RouteInTheLu) {
  StartPeer();
  const std::string gwPort = ToUtf8(serv_);
  peers::PeerProcess router("router", {"--names", "gwhost=127.0.0.1"});
  ASSERT_TRUE(router.ok());
  peers::PeerLog rlog(router);
  const std::string route = "/H/127.0.0.1/S/" + std::to_string(router.port()) + "/H/gwhost/S/" + gwPort;
  ConvId id;
  ASSERT_EQ(Init(id, u"ignored.tp", tovtest::FromUtf8(route)), CM_OK) << ErrFld(ERR_FLD_ERROR);
  peers::LogLine l;
  ASSERT_TRUE(rlog.Wait("IN", "route", &l, 3000));
  EXPECT_EQ(l.num("ok"), 1) << l.get("why");
  EXPECT_EQ(l.num("count"), 2);
  ASSERT_TRUE(rlog.Wait("IN", "entry", &l, 1000, "index", "1"));
  EXPECT_EQ(l.get("host") + " " + l.get("service"), "gwhost " + gwPort);
  ASSERT_TRUE(rlog.Wait("OUT", "pong", nullptr, 1000));
  peers::LogLine r = Request(1);
  EXPECT_EQ(r.get("check"), "ok");
  EXPECT_EQ(r.get("p.longlu"), Padded("gwhost", 128));
  EXPECT_EQ(r.get("p.longtp"), Padded(gwPort, 64));
  ASSERT_EQ(STALLC(id, nullptr), CM_OK);
  EXPECT_EQ(Send(id, "through the router"), CM_OK);
  EXPECT_EQ(Receive(id).data, "through the router");
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
  EXPECT_TRUE(rlog.Wait("EVENT", "relay-ended", nullptr, 3000));
  // A service of 20 units or more in the route is refused before any
  // connect.
  ConvId longServ;
  EXPECT_EQ(Init(longServ, u"tp", tovtest::FromUtf8("/H/127.0.0.1/S/1/H/gwhost/S/" + std::string(20, '7'))),
            CM_PARAMETER_ERROR);
  EXPECT_EQ(ErrFld(ERR_FLD_RC), "769");
  EXPECT_FALSE(rlog.Wait("EVENT", "accepted", nullptr, 100));
}

// The gateway refuses the initialise with a code and its error record: the
// entry is released and the code returned, the record kept.
TEST_F(CpicClient, RefusedInitialiseKeepsTheGatewaysRecord) {
  StartPeer();
  ASSERT_TRUE(peer().Control("rule 1 next hdr appcrc=17 weqrc=726 errtext=not%20today"));
  ConvId id;
  EXPECT_EQ(Init(id), CM_DEALLOCATED_ABEND);
  EXPECT_EQ(ErrFld(ERR_FLD_ERROR), "not today");
  EXPECT_EQ(ErrFld(ERR_FLD_RC), "726");
  EXPECT_EQ(peer().Wait("EVENT", "CLOSED").dir, "EVENT");
}

// --- Allocate -------------------------------------------------------------------------

TEST_F(CpicClient, AllocateTimeoutRepeatOnlyWaits) {
  StartPeer();
  ConvId id;
  ASSERT_EQ(Init(id), CM_OK);
  ASSERT_TRUE(peer().Control("rule 5 next hdr delay=700 cp=4103"));
  ASSERT_EQ(WEQ_CMTIMEOUT2(id, 200, nullptr), CM_OK);
  EXPECT_EQ(STALLC(id, nullptr), CM_WEQ_TIMEOUT_RETRY);
  EXPECT_EQ(Entry(id)->f.interruptedFunc, CPIC_FN_CMALLC);
  CM_RETURN_CODE rc = CM_WEQ_TIMEOUT_RETRY;
  for (int i = 0; i < 20 && rc == CM_WEQ_TIMEOUT_RETRY; ++i) rc = STALLC(id, nullptr);
  EXPECT_EQ(rc, CM_OK);
  EXPECT_EQ(Count(5), 1) << "the repeat sent the allocate again";
  EXPECT_EQ(std::string(Entry(id)->f.partnerCp, 4), "4103");
  EXPECT_EQ(Entry(id)->f.interruptedFunc, 0);
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
}

// --- Send and receive -------------------------------------------------------------------

// Buffering on: the first send is held and leaves with the receive request
// in one request; off: each verb has its own.
TEST_F(CpicClient, BufferingOnAndOff) {
  for (const char* buffering : {"1", "0"}) {
    SCOPED_TRACE(buffering);
    Restart({{"CPIC_BUFFERING", buffering}});
    StartPeer();
    ConvId id;
    ASSERT_EQ(Open(id), CM_OK);
    ASSERT_EQ(Send(id, "abc"), CM_OK);
    Received r = Receive(id, 100);
    EXPECT_EQ(r.rc, CM_OK);
    EXPECT_EQ(r.data, "abc");
    EXPECT_EQ(r.status, CM_SEND_RECEIVED);
    if (buffering[0] == '1') {
      gwtest::ExpectFields(Request(203), {{"data", Hex("abc")}, {"p.sendlen", "3"}, {"p.reqlen", "100"},
                                          {"vector", "12"}, {"info", "5"}});
      EXPECT_EQ(Requests(), (std::vector<int>{1, 5, 203}));
    } else {
      gwtest::ExpectFields(Request(9), {{"area", Hex(std::string("\0\0\0\x64", 4)) + std::string(48, '0')}});
      EXPECT_EQ(Requests(), (std::vector<int>{1, 5, 8, 9}));
    }
    EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
  }
}

// Five sends in a row go asynchronously and the sixth waits, with buffering
// off; with it on, the held first block counts nothing: the seventh send
// waits, the sixth block on the wire.
TEST_F(CpicClient, FirstSynchronousSend) {
  struct Case {
    const char* buffering;
    std::vector<int> wire;
  };
  const Case cases[] = {{"0", {1, 5, 8, 8, 8, 8, 8, 7, 8, 205}}, {"1", {1, 5, 8, 8, 8, 8, 8, 8, 7, 8, 205}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.buffering);
    Restart({{"CPIC_BUFFERING", c.buffering}});
    StartPeer({"--accept-info", "80"});
    ConvId id;
    ASSERT_EQ(Open(id), CM_OK);
    int sends = c.buffering[0] == '1' ? 8 : 7;
    for (int i = 0; i < sends; ++i) ASSERT_EQ(Send(id, "m" + std::to_string(i)), CM_OK) << i;
    ASSERT_EQ(STSYNC(id, nullptr), CM_OK);
    EXPECT_EQ(Requests(), c.wire);
    EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
  }
}

// A synchronous answer that asks for a synchronisation: the send follows
// it with 205 and returns what that gives.
TEST_F(CpicClient, SyncRequestLeadsToSync) {
  Restart({{"CPIC_BUFFERING", "0"}});
  StartPeer();
  ConvId id;
  ASSERT_EQ(Open(id), CM_OK);
  ASSERT_TRUE(peer().Control("rule 7 next hdr info=8"));
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Send(id, "x"), CM_OK);
  EXPECT_EQ(Requests(), (std::vector<int>{1, 5, 8, 8, 8, 8, 8, 7, 205}));
  EXPECT_EQ(STSYNC(id, nullptr), CM_OK);
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
}

// Lengths at their limits, and the deallocate that sends the held block
// before its own request.
TEST_F(CpicClient, LengthsAndHeldDataBeforeDeallocate) {
  StartPeer();
  ConvId id;
  ASSERT_EQ(Open(id), CM_OK);
  std::string big(32000, 'b');
  ASSERT_EQ(Send(id, big), CM_OK);
  Received r = Receive(id, 32000);
  EXPECT_EQ(r.rc, CM_OK);
  EXPECT_EQ(r.data, big);
  ErrClear();
  EXPECT_EQ(Send(id, big + "!"), CM_PARAMETER_ERROR);
  EXPECT_NE(ErrFld(ERR_FLD_ERROR).find("parameter=send_length"), std::string::npos);
  ErrClear();
  EXPECT_EQ(Receive(id, 32001).rc, CM_PARAMETER_ERROR);
  EXPECT_NE(ErrFld(ERR_FLD_ERROR).find("parameter=requested_length"), std::string::npos);
  ASSERT_EQ(Send(id, "held"), CM_OK);
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
  EXPECT_EQ(Request(8).get("data"), Hex("held"));
  Request(11);
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK) << "an unknown id";
}

// A partner that deallocates: the receive releases the conversation and
// returns 18; the next verb on the id gets 19 with 473.
TEST_F(CpicClient, DeallocatedNormalReleases) {
  StartPeer();
  ConvId id;
  ASSERT_EQ(Open(id, u"dealloc"), CM_OK);
  ASSERT_EQ(Send(id, "bye"), CM_OK);
  EXPECT_EQ(Receive(id).rc, CM_DEALLOCATED_NORMAL);
  EXPECT_EQ(STIActiveConvs(), 0);
  EXPECT_EQ(Send(id, "x"), CM_PARAMETER_ERROR);
  EXPECT_EQ(ErrFld(ERR_FLD_RC), "473");
  EXPECT_EQ(peer().Wait("EVENT", "CLOSED").dir, "EVENT");
}

// A frame whose length has the top bit set, with more bytes behind it:
// the receive fails with 20 and the release's read of what is pending ends
// after the gateway's short silence, not after the connect time-out.
TEST_F(CpicClient, DamagedFrameEndsTheReceiveAtOnce) {
  StartPeer();
  ConvId id;
  ASSERT_EQ(Open(id), CM_OK);
  ASSERT_EQ(Send(id, "x"), CM_OK);
  std::string body = Hex(std::string(1, '\x06') + std::string(79, '\0'));
  ASSERT_TRUE(peer().Control("rule 203 next raw frame=0 hex=80000050" + body));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Receive(id).rc, CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
            1000);
  EXPECT_EQ(STIActiveConvs(), 0);
}

// A receive time-out of 0 returns 10001 at once; the repeat waits for the
// answer without sending the request again.
TEST_F(CpicClient, ReceiveTimeoutZero) {
  Restart({{"CPIC_BUFFERING", "0"}});
  StartPeer();
  ConvId id;
  ASSERT_EQ(Open(id), CM_OK);
  ASSERT_EQ(Send(id, "late"), CM_OK);
  ASSERT_EQ(WEQ_CMTIMEOUT2(id, 0, nullptr), CM_OK);
  EXPECT_EQ(Receive(id).rc, CM_WEQ_TIMEOUT_RETRY);
  EXPECT_EQ(Entry(id)->f.interruptedFunc, CPIC_FN_CMRCV);
  ASSERT_EQ(WEQ_CMTIMEOUT2(id, -1, nullptr), CM_OK);
  Received r = Receive(id);
  EXPECT_EQ(r.rc, CM_OK);
  EXPECT_EQ(r.data, "late");
  EXPECT_EQ(Count(9), 1);
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
}

// The partner LU name: its first 8 characters and length in the header, the
// whole name blank-padded in the block; never more than the name.
TEST_F(CpicClient, PartnerLuName) {
  StartPeer();
  ConvId id;
  ASSERT_EQ(Open(id), CM_OK);
  struct Case {
    int32_t length;
    CM_RETURN_CODE rc;
    int sent;  // units on the wire, -1 for none
  };
  const Case cases[] = {{12, CM_OK, 12}, {40, CM_OK, 12}, {5, CM_OK, 5}, {-1, CM_PARAMETER_ERROR, -1},
                        {129, CM_PARAMETER_ERROR, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(STSPLN(id, u"PARTNERLU123", &c.length, nullptr), c.rc);
    if (c.sent < 0) {
      EXPECT_NE(ErrFld(ERR_FLD_ERROR).find("parameter=lu_name_length"), std::string::npos);
      continue;
    }
    peers::LogLine l = Request(15);
    std::string name = std::string("PARTNERLU123").substr(0, static_cast<size_t>(c.sent));
    std::string area(8, ' ');
    area.replace(0, name.size() < 8 ? name.size() : 8, name.substr(0, 8));
    std::string len(4, '\0');
    peers::PutBe32(&len, 0, static_cast<uint32_t>(c.sent));
    EXPECT_EQ(l.get("area").substr(0, 24), Hex(area + len));
    EXPECT_EQ(l.get("p"), Hex(Padded(name, 128) + std::string(16, '\0')));
  }
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
}

// A whole conversation in every header version the gateway may speak.
TEST_F(CpicClient, HeaderVersionsEndToEnd) {
  for (int v = 1; v <= 6; ++v) {
    SCOPED_TRACE(v);
    StartPeer({"--hdr-version", std::to_string(v)});
    ConvId id;
    ASSERT_EQ(Open(id), CM_OK) << peer().Text();
    EXPECT_EQ(Entry(id)->f.hdrVersion, v);
    for (const std::string& m : {std::string("one"), std::string(5000, 'v')}) {
      ASSERT_EQ(Send(id, m), CM_OK);
      Received r = Receive(id);
      EXPECT_EQ(r.rc, CM_OK);
      EXPECT_EQ(r.data, m);
    }
    EXPECT_EQ(STSYNC(id, nullptr), CM_OK);
    EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
    EXPECT_EQ(Bad(), 0) << BadLines();
  }
}

// --- Refusals ----------------------------------------------------------------------------

// A NULL id is refused before any search (769, 19); an unknown one as each
// verb says.
TEST_F(CpicClient, NullAndUnknownIds) {
  int32_t len = 1, rts = 0, req = 10, dr, rl, st;
  char buf[16];
  const char unknown[8] = {'9', '9', '9', '9', '9', '9', '9', '9'};
  struct Case {
    const char* verb;
    std::function<CM_RETURN_CODE(const char*)> call;
    CM_RETURN_CODE unknownRc;
    const char* unknownErr;
  };
  const Case cases[] = {
      {"STALLC", [&](const char* i) { return STALLC(i, nullptr); }, 19, "473"},
      {"STSEND", [&](const char* i) { return STSEND(i, "x", &len, &rts, nullptr); }, 19, "473"},
      {"STSPLN", [&](const char* i) { return STSPLN(i, u"lu", &len, nullptr); }, 19, "473"},
      {"STSYNC", [&](const char* i) { return STSYNC(i, nullptr); }, 19, "473"},
      {"STRCV", [&](const char* i) { return STRCV(i, buf, &req, &dr, &rl, &st, &rts, nullptr); }, 19, "473"},
      {"STISEND",
       [&](const char* i) {
         return STISEND(i, "x", buf, &len, &req, &dr, &rl, &st, &rts, nullptr, CPIC_FN_CMRCV, F_V_SEND_DATA);
       },
       19, "473"},
      {"STDEAL", [&](const char* i) { return STDEAL(i, nullptr); }, 0, ""},
      {"WEQ_CMSENDERRINFO", [&](const char* i) { return WEQ_CMSENDERRINFO(i, 726, 17, nullptr); }, 19, ""},
      {"WEQ_CMCANCEL", [&](const char* i) { return WEQ_CMCANCEL(i, &len, nullptr); }, 19, "473"},
      {"WEQ_CMLISTEN3", [&](const char* i) { return WEQ_CMLISTEN3(i, &req, nullptr); }, 19, "473"},
  };
  ASSERT_EQ(STIAllocConvMem(4), CM_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verb);
    ErrClear();
    EXPECT_EQ(c.call(nullptr), CM_PARAMETER_ERROR);
    EXPECT_EQ(ErrFld(ERR_FLD_RC), "769");
    EXPECT_NE(ErrFld(ERR_FLD_ERROR).find("parameter=convid / value=<NULL>"), std::string::npos);
    ErrClear();
    EXPECT_EQ(c.call(unknown), c.unknownRc);
    EXPECT_EQ(ErrFld(ERR_FLD_RC), c.unknownErr);
  }
}

// The refusals of a send by state have their own detail texts.
TEST_F(CpicClient, SendStateRefusals) {
  StartPeer();
  ConvId id;
  ASSERT_EQ(Open(id), CM_OK);
  Entry(id)->f.bufferState = BUFFER_LISTEN3;
  EXPECT_EQ(Send(id, "x"), CM_PROGRAM_STATE_CHECK);
  EXPECT_EQ(ErrFld(ERR_FLD_ERROR), "program state check for conversation " + id.str());
  EXPECT_EQ(ErrFld(ERR_FLD_DETAIL), "state=BUFFER_LISTEN3");
  Entry(id)->f.bufferState = BUFFER_EMPTY;
  ASSERT_TRUE(peer().Control("rule 203 next cancel"));
  ASSERT_EQ(Send(id, "x"), CM_OK);
  EXPECT_EQ(Receive(id).rc, CM_CANCEL_REQUEST);
  EXPECT_EQ(Send(id, "y"), CM_PROGRAM_STATE_CHECK);
  EXPECT_EQ(ErrFld(ERR_FLD_DETAIL), "cancel request received");
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
}

// A block held when the gateway's cancel request came cannot leave; the
// deallocate ends the conversation all the same and reports why.
TEST_F(CpicClient, DeallocateEndsAConversationWhoseHeldBlockCannotLeave) {
  StartPeer();
  ConvId id;
  ASSERT_EQ(Open(id), CM_OK);
  ASSERT_EQ(Send(id, "held"), CM_OK);
  ASSERT_TRUE(peer().Control("rule 205 next cancel"));
  EXPECT_EQ(STSYNC(id, nullptr), CM_CANCEL_REQUEST);
  EXPECT_EQ(STDEAL(id, nullptr), CM_PROGRAM_STATE_CHECK);
  EXPECT_EQ(STIActiveConvs(), 0);
  Request(11);
  EXPECT_EQ(Count(8), 0) << "the held block went out";
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
}

// Error information to the gateway: the record travels with 11 and the
// conversation is gone; when it cannot leave, 20, and gone as well.
TEST_F(CpicClient, SendErrorInformation) {
  StartPeer();
  for (bool broken : {false, true}) {
    SCOPED_TRACE(broken);
    ConvId id;
    ASSERT_EQ(Open(id), CM_OK);
    if (broken) {
      ASSERT_TRUE(peer().Control("inject reset"));
      ASSERT_EQ(peer().Wait("OUT", "RESET").dir, "OUT");
      // The layer learns of the reset at its next write.
      Entry(id)->f.writeHdl = NI_INVALID_HDL;
    }
    ErrSetInfo(CPIC_COMPONENT, 3, u"test", 1, u"the program failed", 726, nullptr);
    EXPECT_EQ(WEQ_CMSENDERRINFO(id, 726, CM_DEALLOCATED_ABEND, nullptr),
              broken ? CM_PRODUCT_SPECIFIC_ERROR : CM_OK);
    EXPECT_EQ(STIActiveConvs(), 0);
    EXPECT_EQ(ErrFld(ERR_FLD_ERROR), "the program failed") << "the thread keeps its record";
    if (!broken) {
      gwtest::ExpectFields(Request(11), {{"appcrc", "17"}, {"weqrc", "726"}, {"info", "17"}, {"proto", "3"},
                                         {"err.ok", "1"}, {"err.text", "the program failed"}});
    }
  }
}

// --- Cancel ----------------------------------------------------------------------------------

// A receive that timed out is cancelled hard or soft: the gateway confirms,
// the conversation stays, and the next receive asks anew.
TEST_F(CpicClient, CancelATimedOutReceive) {
  Restart({{"CPIC_BUFFERING", "0"}});
  for (int32_t type : {0, 1}) {
    SCOPED_TRACE(type);
    StartPeer();
    ConvId id;
    ASSERT_EQ(Open(id), CM_OK);
    ASSERT_EQ(Send(id, "x"), CM_OK);
    ASSERT_TRUE(peer().Control("rule 9 next silent"));
    ASSERT_EQ(WEQ_CMTIMEOUT2(id, 100, nullptr), CM_OK);
    EXPECT_EQ(Receive(id).rc, CM_WEQ_TIMEOUT_RETRY);
    EXPECT_EQ(WEQ_CMCANCEL(id, &type, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(Request(213).get("info3"), type == 0 ? "4" : "8");
    EXPECT_EQ(Entry(id)->f.timeoutCount, 0u);
    EXPECT_EQ(Receive(id).rc, CM_OK);
    EXPECT_EQ(Count(9), 2);
    EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
  }
}

// What a cancel refuses, and a gateway that ends the conversation instead
// of confirming.
TEST_F(CpicClient, CancelRefusals) {
  StartPeer();
  ConvId id;
  ASSERT_EQ(Init(id), CM_OK);
  int32_t hard = 0, two = 2;
  ASSERT_TRUE(peer().Control("rule 5 next silent"));
  ASSERT_EQ(WEQ_CMTIMEOUT2(id, 0, nullptr), CM_OK);
  EXPECT_EQ(STALLC(id, nullptr), CM_WEQ_TIMEOUT_RETRY);
  EXPECT_EQ(WEQ_CMCANCEL(id, &hard, nullptr), CM_PROGRAM_STATE_CHECK);
  EXPECT_EQ(ErrFld(ERR_FLD_DETAIL), "interrupted=CMALLC");
  Entry(id)->f.timeoutCount = 0;
  Entry(id)->f.interruptedFunc = 0;
  EXPECT_EQ(WEQ_CMCANCEL(id, &hard, nullptr), CM_PROGRAM_STATE_CHECK);
  EXPECT_EQ(ErrFld(ERR_FLD_DETAIL), "without timeouts=0");
  EXPECT_EQ(WEQ_CMCANCEL(id, &two, nullptr), CM_PARAMETER_ERROR);
  EXPECT_NE(ErrFld(ERR_FLD_ERROR).find("parameter=cancel_type / value=2"), std::string::npos);
  EXPECT_EQ(WEQ_CMCANCEL(id, nullptr, nullptr), CM_PARAMETER_ERROR);
  Entry(id)->f.timeoutCount = 1;
  Entry(id)->f.interruptedFunc = CPIC_FN_CMRCV;
  ASSERT_TRUE(peer().Control("rule 213 next hdr appcrc=17 weqrc=474"));
  EXPECT_EQ(WEQ_CMCANCEL(id, &hard, nullptr), CM_DEALLOCATED_ABEND);
  EXPECT_EQ(STIActiveConvs(), 0);
}

// --- Failures of the gateway -------------------------------------------------------------

// At each step the gateway refuses, drops, resets, delays past a time-out
// or answers with wrong lengths: the step's code, and the conversation gone.
TEST_F(CpicClient, GatewayFailuresAtEachStep) {
  struct Case {
    const char* name;
    std::vector<std::string> peerArgs;
    std::string rule;
    int step;  // 0 initialise, 1 allocate, 2 receive, 3 sync
    CM_RETURN_CODE rc;
    const char* errRc;
  };
  const Case cases[] = {
      {"connect refused", {"--fault", "refuse"}, "", 0, CM_PRODUCT_SPECIFIC_ERROR, "-10"},
      {"initialise reset", {}, "rule 1 next reset", 0, CM_PRODUCT_SPECIFIC_ERROR, ""},
      {"initialise short", {}, "rule 1 next hdr short=30", 0, CM_PRODUCT_SPECIFIC_ERROR, "239"},
      {"allocate dropped", {}, "rule 5 next close", 1, CM_PRODUCT_SPECIFIC_ERROR, ""},
      {"allocate wrong version", {}, "rule 5 next hdr ver=3", 1, CM_PRODUCT_SPECIFIC_ERROR, "246"},
      {"allocate refused", {}, "rule 5 next hdr appcrc=2 weqrc=726", 1, 2, "772"},
      {"length above the data", {}, "rule 203 next hdr results=2,100,1,0 datalen=10", 2,
       CM_PRODUCT_SPECIFIC_ERROR, "239"},
      {"negative length", {}, "rule 203 next hdr results=2,-1,1,0 datalen=10", 2, CM_PRODUCT_SPECIFIC_ERROR,
       "239"},
      {"data above the request", {}, "rule 203 next hdr results=2,10,1,0 datalen=200", 2,
       CM_PRODUCT_SPECIFIC_ERROR, "240"},
      {"receive reset", {}, "rule 203 next reset", 2, CM_PRODUCT_SPECIFIC_ERROR, ""},
      {"receive abend", {}, "rule 203 next hdr appcrc=17 weqrc=474", 2, CM_DEALLOCATED_ABEND, "772"},
      {"sync dropped", {}, "rule 205 next close", 3, CM_PRODUCT_SPECIFIC_ERROR, ""},
      {"sync resource", {}, "rule 205 next hdr appcrc=27 weqrc=726", 3, CM_RESOURCE_FAILURE_RETRY, "772"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartPeer(c.peerArgs);
    if (!c.rule.empty()) {
      ASSERT_TRUE(peer().Control(c.rule));
    }
    ConvId id;
    ErrClear();
    CM_RETURN_CODE rc = Init(id);
    if (c.step >= 1 && rc == CM_OK) rc = STALLC(id, nullptr);
    if (c.step == 2 && rc == CM_OK) {
      ASSERT_EQ(Send(id, "d"), CM_OK);
      rc = Receive(id, 16).rc;
    }
    if (c.step == 3 && rc == CM_OK) rc = STSYNC(id, nullptr);
    EXPECT_EQ(rc, c.rc) << peer().Text();
    if (c.errRc[0] != 0) {
      EXPECT_EQ(ErrFld(ERR_FLD_RC), c.errRc) << ErrFld(ERR_FLD_ERROR);
    }
    EXPECT_EQ(STIActiveConvs(), 0);
    EXPECT_EQ(STDEAL(id, nullptr), CM_OK) << "gone";
  }
}

// --- Trace -----------------------------------------------------------------------------------

// Each verb's lines at level 2, from its banner to its end.
TEST_F(CpicClient, VerbTraceLines) {
  StartPeer();
  CpicTrcInit(0, 0, 0, 1, u"test");
  TraceFile trace(nullptr, 2);
  ConvId id;
  ASSERT_EQ(Init(id, u"echo", u"partner", u'I', 2), CM_OK);
  ASSERT_EQ(STALLC(id, nullptr), CM_OK);
  ASSERT_EQ(Send(id, "abc"), CM_OK);
  ASSERT_EQ(Receive(id).rc, CM_OK);
  int32_t len = 2;
  ASSERT_EQ(STSPLN(id, u"lu", &len, nullptr), CM_OK);
  ASSERT_EQ(STSYNC(id, nullptr), CM_OK);
  ASSERT_EQ(STDEAL(id, nullptr), CM_OK);
  std::string id8 = id.str();
  for (const std::string& line :
       {std::string("*************** WEQ_STINIT3 ***************"), std::string("WEQ_STINIT3: my TP_name: >WEQCPIC<"),
        std::string("WEQ_STINIT3: START: {root-id="), std::string("WEQ_STINIT3: GWHOST=") + ToUtf8(host_),
        std::string("WEQ_STINIT3: PROTOCOL=I"), "WEQ_STINIT3: ok, conversation_ID: " + id8,
        std::string("*************** STALLC ***************"), "STALLC: conversation_ID: " + id8,
        std::string("STALLC: ok"), std::string("STSEND: 3 bytes buffered"),
        std::string("STRCV: send 3 buffered bytes before receive"), std::string("STISEND: send synchronously"),
        std::string("STISEND GW_TOTAL_WEQSEND_HDR_LEN: 88"), std::string("STISEND: data_received: CM_COMPLETE_DATA_RECEIVED"),
        std::string("STISEND: received_length: 3"), std::string("STISEND: status_received: CM_SEND_RECEIVED"),
        std::string("STRCV: ok"), std::string("STSPLN: ok"), std::string("*************** STSYNC ***************"),
        std::string("STSYNC: ok"), std::string("*************** STDEAL ***************"),
        std::string("STDEAL: CM_OK")}) {
    EXPECT_TRUE(trace.Has(line)) << line;
  }
}

}  // namespace
