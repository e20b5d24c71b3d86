// The registered server program against gw_peer: the road of a
// registration in both versions with a client conversation of ours relayed
// to it, the count, unregistering, the gateway's cancel of the program,
// short and SNC handovers, trace inheritance, the accept's time-out and
// pings, the listener's keep-alive sweep, the listen on one conversation,
// the hand-back when the gateway is gone, and the refusals of bad names.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic_client_fixture.h"

namespace {

using cpictest::ConvId;
using cpictest::ErrFld;
using cpictest::Received;

void* User(uintptr_t v) { return reinterpret_cast<void*>(v); }

class CpicReg : public cpictest::ClientTest {
 protected:
  int32_t Register(int version, const std::u16string& tp = u"SERVER", const CPIC_SNC_PARAMS* snc = nullptr) {
    int32_t h = -1;
    CM_RETURN_CODE rc = version == 3 ? WEQ_CMREGTP3(tp.c_str(), host_.c_str(), serv_.c_str(), &h, snc, nullptr)
                                     : WEQ_CMREGTP2(tp.c_str(), host_.c_str(), serv_.c_str(), &h, snc, nullptr);
    EXPECT_EQ(rc, CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(peer().Wait("EVENT", "REGISTER").get("tp"), tovtest::ToUtf8(tp));
    return h;
  }
  // Tells the gateway that registration h waits; the registration enters
  // the select set.
  void Arm(int32_t h, uintptr_t user = 7) {
    ConvId none;
    ASSERT_EQ(WEQ_CMACCPTP3(h, -2, none, User(user), nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(none.str(), "        ");
    EXPECT_EQ(peer().Wait("EVENT", "REGWAIT").dir, "EVENT");
  }
  // A client conversation of ours allocating tp, on a thread of its own:
  // it sends msg, receives the reply and deallocates.
  std::thread Client(const std::string& msg, std::string* reply, CM_RETURN_CODE* rc,
                     const std::u16string& tp = u"SERVER") {
    return std::thread([=, this] {
      ConvId c;
      *rc = Open(c, tp);
      if (*rc != CM_OK) return;
      *rc = Send(c, msg);
      Received r = Receive(c);
      *rc = r.rc;
      *reply = r.data;
      STDEAL(c, nullptr);
    });
  }
  // The next request of code req on the registration's connection (the
  // first connection of the peer).
  peers::LogLine OnRegistration(int req) {
    for (;;) {
      peers::LogLine l = peer().Wait("IN", "APPC", 3000, "req", std::to_string(req));
      if (l.dir != "IN" || l.get("conn") == "1") return l;
    }
  }
  // The server's side: receive, reply, receive the end.
  void Serve(ConvId& acc, const std::string& want, const std::string& reply) {
    Received r = Receive(acc);
    EXPECT_EQ(r.rc, CM_OK) << ErrFld(ERR_FLD_ERROR);
    EXPECT_EQ(r.data, want);
    EXPECT_EQ(r.status, CM_SEND_RECEIVED);
    ASSERT_EQ(Send(acc, reply), CM_OK);
    EXPECT_EQ(Receive(acc).rc, CM_DEALLOCATED_NORMAL);
  }
};

// Version 3: register, wait in the select set, the listener reports the
// registration with its user value, the accept gives the conversation,
// which runs and ends; the peer sees the end and the hand-back, and the
// registration accepts again.
TEST_F(CpicReg, ServerRoadVersion3) {
  StartPeer();
  int32_t h = Register(3);
  Arm(h, 0x77);
  std::string reply;
  CM_RETURN_CODE crc = -1;
  std::thread client = Client("hello", &reply, &crc);
  void* user = nullptr;
  EXPECT_EQ(NextReady(5000, &user), h);
  EXPECT_EQ(user, User(0x77));
  gwtest::ExpectFields(peer().Wait("OUT", "APPC", 3000, "what", "handover"), {{"req", "207"}, {"info3", "128"}});
  ConvId acc;
  ASSERT_EQ(WEQ_CMACCPTP3(h, 5, acc, User(0x77), nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
  EXPECT_NE(acc.str(), "        ");
  Serve(acc, "hello", "world");
  client.join();
  EXPECT_EQ(crc, CM_OK);
  EXPECT_EQ(reply, "world");
  EXPECT_EQ(peer().Wait("IN", "APPC", 3000, "req", "11").dir, "IN");
  EXPECT_EQ(peer().Wait("IN", "APPC", 3000, "req", "210").get("check"), "ok");
  Arm(h);
  EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
  EXPECT_EQ(peer().Wait("IN", "APPC", 3000, "req", "208").get("check"), "ok");
  EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK) << "an unknown registration";
  Drain();
  EXPECT_EQ(STIActiveConvs(), 0);
}

// Version 2 hands out the socket of the registration's NI handle and takes
// it back; the server ends the conversation itself.
TEST_F(CpicReg, ServerRoadVersion2WithDescriptors) {
  StartPeer();
  int32_t sock = Register(2);
  EXPECT_NE(fcntl(sock, F_GETFD), -1) << "not a descriptor";
  NI_HDL hdl = -1;
  EXPECT_EQ(NiSockToHdl(sock, &hdl), WEQ_O_K);
  std::string reply;
  CM_RETURN_CODE crc = -1;
  std::thread client([&] {
    ConvId c;
    crc = Open(c, u"SERVER");
    if (crc == CM_OK) crc = Send(c, "ping");
    Received r = Receive(c);
    reply = r.data;
    EXPECT_EQ(r.status, CM_NO_STATUS_RECEIVED);
    EXPECT_EQ(Receive(c).rc, CM_DEALLOCATED_NORMAL);
  });
  ConvId acc;
  EXPECT_EQ(WEQ_CMACCPTP(sock, 5, acc, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
  Received r = Receive(acc);
  EXPECT_EQ(r.data, "ping");
  EXPECT_EQ(Send(acc, "pong"), CM_OK);
  EXPECT_EQ(STDEAL(acc, nullptr), CM_OK);
  client.join();
  EXPECT_EQ(crc, CM_OK);
  EXPECT_EQ(reply, "pong");
  EXPECT_EQ(peer().Wait("IN", "APPC", 3000, "req", "210").dir, "IN");
  EXPECT_EQ(WEQ_CMUNREGTP(sock, nullptr), CM_OK);
  EXPECT_EQ(WEQ_CMUNREGTP(sock, nullptr), CM_PARAMETER_ERROR) << "a socket NI no longer knows";
}

// An accept's time-out is in seconds: one whose milliseconds exceed 32
// bits waits as long as the wait can, and the handover is accepted.
TEST_F(CpicReg, AcceptWithATimeOutOfWeeks) {
  StartPeer();
  int32_t h = Register(3);
  Arm(h);
  std::string reply;
  CM_RETURN_CODE crc = -1;
  std::thread client = Client("long", &reply, &crc);
  EXPECT_EQ(NextReady(5000), h);
  ConvId acc;
  ASSERT_EQ(WEQ_CMACCPTP3(h, 2147484, acc, nullptr, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
  Serve(acc, "long", "ok");
  client.join();
  EXPECT_EQ(reply, "ok");
  EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
  Drain();
}

// The count of registrations by state, and an answer of a wrong length.
TEST_F(CpicReg, CountOfRegistrations) {
  StartPeer();
  int32_t a = Register(3), b = Register(3);
  Arm(a);
  int32_t n[4] = {-1, -1, -1, -1};
  EXPECT_EQ(WEQ_CMNOREGTP(u"SERVER", host_.c_str(), serv_.c_str(), &n[0], &n[1], &n[2], &n[3], nullptr), CM_OK);
  EXPECT_EQ(std::vector<int32_t>(n, n + 4), (std::vector<int32_t>{2, 1, 1, 0}));
  EXPECT_EQ(WEQ_CMNOREGTP(u"OTHER", host_.c_str(), serv_.c_str(), &n[0], &n[1], &n[2], &n[3], nullptr), CM_OK);
  EXPECT_EQ(n[0], 0);
  ASSERT_TRUE(peer().Control("switch countlen=6"));
  EXPECT_EQ(WEQ_CMNOREGTP(u"SERVER", host_.c_str(), serv_.c_str(), &n[0], &n[1], &n[2], &n[3], nullptr),
            CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(WEQ_CMNOREGTP(u"", host_.c_str(), serv_.c_str(), &n[0], &n[1], &n[2], &n[3], nullptr),
            CM_PARAMETER_ERROR);
  EXPECT_EQ(WEQ_CMNOREGTP(u"SERVER", host_.c_str(), serv_.c_str(), &n[0], nullptr, &n[2], &n[3], nullptr),
            CM_PARAMETER_ERROR);
  EXPECT_EQ(STIActiveConvs(), 2) << "the count left an entry";
  EXPECT_EQ(WEQ_CMUNREGTP3(a, nullptr), CM_OK);
  EXPECT_EQ(WEQ_CMUNREGTP3(b, nullptr), CM_OK);
  Drain();
}

// What the gateway hands a waiting registration instead of a conversation:
// the cancel of the program (with 731 or another code), a short handover,
// any other request; each ends the registration.
TEST_F(CpicReg, HandoversThatEndTheRegistration) {
  struct Case {
    const char* name;
    std::string control;
    bool client;
    CM_RETURN_CODE rc;
    const char* errRc;
  };
  const Case cases[] = {
      {"shutdown", "regcancel weqrc=731", false, CM_DEALLOCATED_NORMAL, "731"},
      {"cancelled", "regcancel weqrc=748", false, CM_DEALLOCATED_NORMAL, "474"},
      {"short handover", "switch shorthand=10", true, CM_DEALLOCATED_ABEND, ""},
      {"other request", "inject hdr req=9 conn=1", false, CM_PRODUCT_SPECIFIC_ERROR, "225"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartPeer();
    int32_t h = Register(3);
    Arm(h);
    ASSERT_TRUE(peer().Control(c.control));
    std::string reply;
    CM_RETURN_CODE crc = -1;
    std::thread client;
    if (c.client) client = Client("x", &reply, &crc);
    EXPECT_EQ(NextReady(5000), h);
    ConvId acc;
    EXPECT_EQ(WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr), c.rc);
    if (c.errRc[0] != 0) {
      EXPECT_EQ(ErrFld(ERR_FLD_RC), c.errRc);
    }
    EXPECT_EQ(acc.str(), "        ");
    Drain();
    EXPECT_EQ(peer().Wait("EVENT", "CLOSED").dir, "EVENT");
    if (client.joinable()) client.join();
    EXPECT_EQ(STIActiveConvs(), 0);
  }
}

// SNC on the handover: a registration with SNC off refuses a conversation
// that brings SNC (765), one with SNC on refuses one without (767); the
// partner learns why (766, 6) and the registration stays.
TEST_F(CpicReg, SncRefusals) {
  struct Case {
    uint8_t mode;
    bool sncInit;
    const char* errRc;
  };
  for (const Case& c : {Case{0, true, "765"}, Case{1, false, "767"}}) {
    SCOPED_TRACE(c.errRc);
    StartPeer();
    CPIC_SNC_PARAMS snc{};
    snc.first = 1;
    snc.mode = c.mode;
    int32_t h = Register(3, u"SERVER", &snc);
    Arm(h);
    if (c.sncInit) {
      ASSERT_TRUE(peer().Control("switch sncinit=1"));
    }
    std::string reply;
    CM_RETURN_CODE crc = -1;
    std::thread client = Client("x", &reply, &crc);
    EXPECT_EQ(NextReady(5000), h);
    ConvId acc;
    EXPECT_EQ(WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr), CM_DEALLOCATED_ABEND);
    EXPECT_EQ(ErrFld(ERR_FLD_RC), c.errRc);
    gwtest::ExpectFields(peer().Wait("IN", "APPC", 3000, "req", "11"),
                         {{"appcrc", "6"}, {"weqrc", "766"}, {"err.rc", c.errRc}});
    EXPECT_EQ(peer().Wait("IN", "APPC", 3000, "req", "210").dir, "IN");
    client.join();
    EXPECT_EQ(crc, CM_SECURITY_NOT_VALID) << "the client learns it too";
    EXPECT_EQ(STIActiveConvs(), 1) << "the registration stays";
    EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
    Drain();
  }
}

// The registration inherits the partner's higher trace level while the
// conversation runs, and loses it with the hand-back.
TEST_F(CpicReg, TraceInheritanceAndItsReset) {
  StartPeer();
  cpictest::TraceFile trace(nullptr, 0);
  int32_t h = Register(3);
  CPIC_CONV_ENTRY* reg = STISearchConv(("N" + std::to_string(h) + std::string(7, ' ')).substr(0, 8).c_str(), 0, 0);
  ASSERT_NE(reg, nullptr);
  EXPECT_EQ(reg->traceLevel.load(), 0);
  Arm(h);
  ASSERT_TRUE(peer().Control("switch trace=2"));
  std::string reply;
  CM_RETURN_CODE crc = -1;
  std::thread client = Client("x", &reply, &crc);
  EXPECT_EQ(NextReady(5000), h);
  ConvId acc;
  ASSERT_EQ(WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr), CM_OK);
  EXPECT_EQ(reg->traceLevel.load(), 2);
  EXPECT_EQ(reg->f.inheritedTrace, 1);
  Serve(acc, "x", "y");
  client.join();
  EXPECT_EQ(reg->traceLevel.load(), 0);
  EXPECT_EQ(reg->f.regState, REG_INIT);
  EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
  Drain();
}

// The accept's wait: a time-out gives 10001, a ping of the gateway (206 or
// NI's) on a waiting version-3 registration 10003; both re-arm it, so the
// listener reports the conversation that comes next.
TEST_F(CpicReg, AcceptTimeoutAndPings) {
  StartPeer();
  int32_t h = Register(3);
  Arm(h);
  ConvId acc;
  EXPECT_EQ(WEQ_CMACCPTP3(h, 0, acc, nullptr, nullptr), CM_WEQ_TIMEOUT_RETRY);
  for (const char* kind : {"206", "niping"}) {
    SCOPED_TRACE(kind);
    ASSERT_TRUE(peer().Control(std::string("regping kind=") + kind));
    EXPECT_EQ(NextReady(5000), h);
    EXPECT_EQ(WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr), CM_WEQ_PING_RECEIVED);
  }
  std::string reply;
  CM_RETURN_CODE crc = -1;
  std::thread client = Client("late", &reply, &crc);
  EXPECT_EQ(NextReady(5000), h) << "not armed again";
  ASSERT_EQ(WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr), CM_OK);
  Serve(acc, "late", "ok");
  client.join();
  EXPECT_EQ(reply, "ok");
  EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
  Drain();
}

// The listener's sweep pings the registrations that wait in the select set
// for a gateway that takes NI pings, each once per ping period.
TEST_F(CpicReg, SweepPingsWaitingRegistrationsOnly) {
  Restart({{"CPIC_PING", "1"}});
  StartPeer({"--accept-info", "20"});
  int32_t waiting = Register(3, u"A"), idle = Register(3, u"B");
  Arm(waiting);
  std::string conn;
  for (const peers::LogLine& l : peer().log().lines())
    if (l.kind == "REGWAIT") conn = l.get("conn");
  EXPECT_EQ(NextReady(300), -1);
  EXPECT_EQ(peer().Wait("IN", "NIPONG").get("conn"), conn);
  EXPECT_EQ(NextReady(300), -1);
  ASSERT_TRUE(peer().Control("stats"));
  peer().Wait("EVENT", "STATS");
  int pings = 0;
  for (const peers::LogLine& l : peer().log().lines()) pings += l.kind == "NIPONG" || l.kind == "NIPING";
  EXPECT_EQ(pings, 1) << "a second ping within the period, or one of the registration that does not wait";
  EXPECT_EQ(WEQ_CMUNREGTP3(waiting, nullptr), CM_OK);
  EXPECT_EQ(WEQ_CMUNREGTP3(idle, nullptr), CM_OK);
  Drain();
}

// The listen on one conversation: held data goes with the receive request
// and the verb returns at once; the select set reports the answer, which
// the next receive reads without a request of its own. Without held data
// only the receive request goes, for 32000 bytes when no length is given.
TEST_F(CpicReg, ListenOnAConversation) {
  StartPeer();
  int32_t h = Register(3);
  Arm(h, 5);
  CM_RETURN_CODE crc = -1;
  std::string r1, r2;
  std::thread client([&] {
    ConvId c;
    crc = Open(c, u"SERVER");
    Send(c, "one");
    r1 = Receive(c).data;
    Send(c, "two");
    r2 = Receive(c).data;
    STDEAL(c, nullptr);
  });
  EXPECT_EQ(NextReady(5000), h);
  ConvId acc;
  ASSERT_EQ(WEQ_CMACCPTP3(h, 5, acc, User(5), nullptr), CM_OK);
  EXPECT_EQ(Receive(acc).data, "one");
  ASSERT_EQ(Send(acc, "reply1"), CM_OK);
  int32_t req = 100;
  EXPECT_EQ(WEQ_CMLISTEN3(acc, &req, nullptr), CM_OK);
  gwtest::ExpectFields(OnRegistration(203), {{"vector", "12"}, {"p.reqlen", "100"}, {"data", peers::HexOf("reply1")}});
  void* user = nullptr;
  EXPECT_EQ(NextReady(5000, &user), h);
  EXPECT_EQ(user, User(5));
  EXPECT_EQ(Receive(acc).data, "two");
  EXPECT_EQ(WEQ_CMLISTEN3(acc, nullptr, nullptr), CM_OK);
  gwtest::ExpectFields(OnRegistration(9), {{"area", peers::HexOf(std::string("\0\0\x7d\0", 4)) + std::string(48, '0')}});
  EXPECT_EQ(NextReady(5000), h);
  EXPECT_EQ(Receive(acc).rc, CM_DEALLOCATED_NORMAL);
  client.join();
  EXPECT_EQ(r1, "reply1");
  EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
  Drain();
}

// The listen sends the receive request whenever none is out: with
// buffering off too. After a receive that timed out its request is out:
// the listen only arms the select set, and the answer is the next
// receive's, not read and dropped by the listen.
TEST_F(CpicReg, ListenSendsOneRequestAndLeavesTheAnswer) {
  for (const char* buffering : {"0", "1"}) {
    SCOPED_TRACE(buffering);
    Restart({{"CPIC_BUFFERING", buffering}});
    StartPeer();
    int32_t h = Register(3);
    Arm(h);
    std::atomic<bool> go{false};
    std::thread client([&] {
      ConvId c;
      ASSERT_EQ(Open(c, u"SERVER"), CM_OK);
      Send(c, "one");
      Receive(c);
      while (!go.load()) std::this_thread::yield();
      Send(c, "two");
      Receive(c);
      STDEAL(c, nullptr);
    });
    EXPECT_EQ(NextReady(5000), h);
    ConvId acc;
    ASSERT_EQ(WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr), CM_OK);
    EXPECT_EQ(Receive(acc).data, "one");
    OnRegistration(9);
    EXPECT_EQ(Send(acc, "r"), CM_OK);
    bool off = buffering[0] == '0';
    if (!off) {
      // The held reply goes with the receive request, which times out.
      EXPECT_EQ(WEQ_CMTIMEOUT2(acc, 50, nullptr), CM_OK);
      EXPECT_EQ(Receive(acc).rc, CM_WEQ_TIMEOUT_RETRY);
    }
    go.store(true);
    EXPECT_EQ(WEQ_CMLISTEN3(acc, nullptr, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
    if (off) {
      EXPECT_EQ(OnRegistration(9).dir, "IN") << "no receive request went out";
    }
    EXPECT_EQ(NextReady(5000), h);
    EXPECT_EQ(WEQ_CMTIMEOUT2(acc, 3000, nullptr), CM_OK);
    // The turn may come in an answer of its own before the partner's data.
    Received two;
    for (int i = 0; i < 3 && two.data.empty(); ++i) {
      two = Receive(acc);
      if (two.rc != CM_OK) break;
    }
    EXPECT_EQ(two.data, "two");
    EXPECT_EQ(STDEAL(acc, nullptr), CM_OK);
    client.join();
    Drain();
    EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
    Drain();
    EXPECT_EQ(Bad(), 0) << BadLines();
    peer_.reset();
  }
}

// A cancel of a timed-out receive on a conversation in the select set
// reads on past a ping of the gateway to its confirmation.
TEST_F(CpicReg, CancelReadsOnPastAPing) {
  StartPeer();
  int32_t h = Register(3);
  Arm(h);
  std::atomic<bool> done{false};
  std::thread client([&] {
    ConvId c;
    EXPECT_EQ(Open(c, u"SERVER"), CM_OK);
    while (!done.load()) std::this_thread::yield();
    STDEAL(c, nullptr);
  });
  EXPECT_EQ(NextReady(5000), h);
  ConvId acc;
  EXPECT_EQ(WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr), CM_OK);
  EXPECT_EQ(WEQ_CMTIMEOUT2(acc, 50, nullptr), CM_OK);
  EXPECT_EQ(Receive(acc).rc, CM_WEQ_TIMEOUT_RETRY);
  EXPECT_TRUE(peer().Control("rule 213 next ping206 convid=12345678 ; cancel"));
  int32_t soft = 1;
  EXPECT_EQ(WEQ_CMCANCEL(acc, &soft, nullptr), CM_OK) << ErrFld(ERR_FLD_ERROR);
  EXPECT_EQ(STIActiveConvs(), 3) << "the cancel released the conversation";
  EXPECT_EQ(STDEAL(acc, nullptr), CM_OK);
  done.store(true);
  client.join();
  Drain();
  EXPECT_EQ(WEQ_CMUNREGTP3(h, nullptr), CM_OK);
  Drain();
}

// A listen whose request cannot leave returns the failure and arms nothing.
TEST_F(CpicReg, ListenWhoseRequestCannotLeave) {
  StartPeer();
  ASSERT_EQ(STIInitSelSet(nullptr), CM_OK);
  ConvId id;
  ASSERT_EQ(Open(id), CM_OK);
  ASSERT_EQ(Send(id, "held"), CM_OK);
  STISearchConv(id, 0, 0)->f.writeHdl = NI_INVALID_HDL;
  EXPECT_EQ(WEQ_CMLISTEN3(id, nullptr, nullptr), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(ErrFld(ERR_FLD_RC), "237");
  EXPECT_EQ(STIActiveConvs(), 0);
  EXPECT_EQ(NextReady(50), -1) << "a handle was armed";
}

// A handover when the table is full: the gateway learns why, and the
// registration, whose connection is closed, is gone too.
TEST_F(CpicReg, HandoverWithoutAFreeSlot) {
  Restart({{"CPIC_MAX_CONV", "2"}});
  StartPeer();
  int32_t h = Register(3);
  Arm(h);
  std::string reply;
  CM_RETURN_CODE crc = -1;
  std::thread client = Client("x", &reply, &crc);
  EXPECT_EQ(NextReady(5000), h);
  ConvId acc;
  EXPECT_EQ(WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(ErrFld(ERR_FLD_RC), "466");
  gwtest::ExpectFields(OnRegistration(11), {{"appcrc", "17"}, {"weqrc", "450"}, {"err.rc", "466"}});
  client.join();
  EXPECT_EQ(crc, CM_DEALLOCATED_ABEND);
  Drain();
  EXPECT_EQ(STIActiveConvs(), 0) << "the registration stayed with a dead handle";
}

// The hand-back when the gateway's connection broke under a conversation:
// the registration ends in its own version, its connection is closed once,
// and nothing is left (the fixture counts handles and descriptors).
TEST_F(CpicReg, HandBackAfterTheGatewayIsGone) {
  for (int version : {3, 2}) {
    SCOPED_TRACE(version);
    StartPeer();
    int32_t h = Register(version);
    if (version == 3) Arm(h);
    std::string reply;
    CM_RETURN_CODE crc = -1;
    std::thread client = Client("x", &reply, &crc);
    if (version == 3) {
      EXPECT_EQ(NextReady(5000), h);
    }
    ConvId acc;
    ASSERT_EQ(version == 3 ? WEQ_CMACCPTP3(h, 5, acc, nullptr, nullptr) : WEQ_CMACCPTP(h, 5, acc, nullptr), CM_OK);
    EXPECT_EQ(Receive(acc).data, "x");
    ASSERT_TRUE(peer().Control("inject reset conn=1"));
    EXPECT_EQ(peer().Wait("OUT", "RESET").dir, "OUT");
    EXPECT_EQ(Send(acc, "y"), CM_OK);
    EXPECT_EQ(Receive(acc).rc, CM_PRODUCT_SPECIFIC_ERROR);
    client.join();
    Drain();
    EXPECT_EQ(STIActiveConvs(), 0) << "the registration stayed";
    EXPECT_EQ(version == 3 ? WEQ_CMUNREGTP3(h, nullptr) : WEQ_CMUNREGTP(h, nullptr),
              version == 3 ? CM_OK : CM_PARAMETER_ERROR)
        << "its handle is gone";
  }
}

// Registrations refused for their names: 769 with the parameter, nothing
// left; a registration's own release closes its connection.
TEST_F(CpicReg, NamesAndTheRegistrationsOwnRelease) {
  StartPeer();
  std::u16string tp65(65, u'T');
  struct Case {
    std::u16string tp;
    const char* param;
  };
  for (const Case& c : {Case{tp65, "tp_name_length"}, Case{u"SER*VER", "tpname"}, Case{u"", "tpname"}}) {
    int32_t h = -1;
    EXPECT_EQ(WEQ_CMREGTP3(c.tp.c_str(), host_.c_str(), serv_.c_str(), &h, nullptr, nullptr), CM_PARAMETER_ERROR);
    EXPECT_NE(ErrFld(ERR_FLD_ERROR).find(std::string("parameter=") + c.param), std::string::npos);
    EXPECT_EQ(STIActiveConvs(), 0);
  }
  int32_t h = Register(3);
  char id[9];
  snprintf(id, sizeof id, "N%-7d", h);
  EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
  Drain();
  EXPECT_EQ(peer().Wait("EVENT", "CLOSED").dir, "EVENT");
}

}  // namespace
