// The lists of the message server's groups and servers, and the lookup's
// failures with what they record, against ms_peer.
#include <chrono>

#include "krn/dptrc/trc_checker.h"
#include "lg_test_util.h"

namespace {

using lgtest::Result;
using lgtest::Seen;
using lgtest::U8;

int64_t Ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Lists {
  LG_RC rc = 99;
  LG_APPSRV_ENTRY* as = nullptr;
  int32_t asCount = -1;
  LG_CLASS_ENTRY* cl = nullptr;
  int32_t clCount = -1;
};

Lists Info(const mspeer::MsPeer& p, bool servers = true, bool groups = true) {
  Lists l;
  l.rc = LgApplSrvInfo(p.Host().c_str(), p.Serv().c_str(), servers ? &l.as : nullptr, &l.asCount,
                       groups ? &l.cl : nullptr, &l.clCount);
  return l;
}

class LgLists : public lgtest::Lookup {};

// Versions 1 to 4 fill an element each; version 5, a blank key and a plain
// text are passed over.
TEST_F(LgLists, GroupsOfEveryVersionAndTheServers) {
  mspeer::MsPeer peer(
      "group G1 1 127.0.0.1 3201 711 3 0 3600 100\n"
      "group G2 2 10.0.0.2 3202 720 4 201 300 7\n"
      "group G3 3 fd00::3 3203 730\n"
      "group G4 4 fd00::4 3204 74 5 202 32768 9\n"
      "favourite V5 5 10.0.0.5 3205 750\n"
      "group - 4 10.0.0.6 3206 760\n"
      "text PLAIN hello\n"
      "appserver A 127.0.0.1 3301 100 0 3 1\n"
      "client B hostb sapdp01 3 10.0.0.9 3302 1 6\n"
      "client NOTYPES hostc sapdp02 0 10.0.0.10 3303 1 0\n");
  ASSERT_TRUE(peer.ok());
  Lists l = Info(peer);
  ASSERT_EQ(l.rc, 0);
  ASSERT_EQ(l.clCount, 4);
  const char* want[4][4] = {{"G1", "127.0.0.1", "3201", "711"},
                            {"G2", "10.0.0.2", "3202", "720"},
                            {"G3", "fd00::3", "3203", "730"},
                            {"G4", "fd00::4", "3204", "74"}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(U8(l.cl[i].name), want[i][0]);
    EXPECT_EQ(U8(l.cl[i].addr), want[i][1]);
    EXPECT_EQ(U8(l.cl[i].port), want[i][2]);
    EXPECT_EQ(U8(l.cl[i].release), want[i][3]);
  }
  // Servers that announce message types only.
  ASSERT_EQ(l.asCount, 2);
  EXPECT_EQ(U8(l.as[0].name), "A");
  EXPECT_EQ(U8(l.as[0].addr), "127.0.0.1");
  EXPECT_EQ(U8(l.as[0].serv), "sapdp00");
  EXPECT_EQ(U8(l.as[0].port), "3301");
  EXPECT_EQ(U8(l.as[0].type), "SVA ");
  EXPECT_EQ(U8(l.as[1].host), "hostb");
  EXPECT_EQ(U8(l.as[1].type), "SVA SVB WEQ J2EE ");
  EXPECT_TRUE(peer.WaitCount(1, "IN", "kind", "logout"));
  // The load-balancing values of each version.
  ASSERT_EQ(LgIAttach(peer.Host().c_str(), peer.Serv().c_str()), 0);
  LG_GROUP_REC* g = nullptr;
  int32_t n = 0;
  ASSERT_EQ(LgIClListLb(&g, &n, nullptr), 0);
  ASSERT_EQ(n, 4);
  struct {
    int32_t number, type, timeout, count;
  } lb[4] = {{3, 0, 3600, 100}, {4, 201, 300, 7}, {0, 0, 0, 0}, {5, 202, -32768, 9}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(g[i].groupNo, lb[i].number) << i;
    EXPECT_EQ(g[i].lbType, lb[i].type) << i;
    EXPECT_EQ(g[i].timeout, lb[i].timeout) << i;
    EXPECT_EQ(g[i].logonCount, lb[i].count) << i;
    EXPECT_EQ(g[i].logonStart, lb[i].count) << i;
    EXPECT_EQ(g[i].mshost, nullptr);
    EXPECT_EQ(g[i].serverCount, 0);
  }
  // One group: its own read; a missing one gives none.
  ASSERT_EQ(LgIClListLb(&g, &n, u"G2"), 0);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(U8(g[0].addr), "10.0.0.2");
  ASSERT_EQ(LgIClListLb(&g, &n, u"NONE"), 0);
  EXPECT_EQ(n, 0);
  LgIDetach(lg_mshost);
}

TEST_F(LgLists, PagesOlderServersAndListParts) {
  std::string many;
  for (int i = 0; i < 291; ++i) many += "group G" + std::to_string(i) + " 4 10.0.0.1 3200 740\n";
  {
    mspeer::MsPeer peer(many);
    ASSERT_TRUE(peer.ok());
    Lists l = Info(peer, false);
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.clCount, 291);
    EXPECT_EQ(U8(l.cl[290].name), "G290");
    std::vector<mspeer::Event> reads = peer.Events("STRG", "type", "16");
    EXPECT_EQ(reads.size(), 2u);
    EXPECT_EQ(peer.Events("STRG", "type", "12").size(), 0u);
  }
  {
    // A message server that reads no pages: everything in one block.
    mspeer::MsPeer peer("strg-no-offset\ngroup A 1 10.0.0.1 3200 740\ngroup B 3 ::1 3201 741\n");
    ASSERT_TRUE(peer.ok());
    Lists l = Info(peer, false);
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.clCount, 2);
    EXPECT_EQ(U8(l.cl[1].addr), "::1");
    EXPECT_EQ(peer.Events("STRG", "type", "12").size(), 1u);
  }
  {
    mspeer::MsPeer peer(
        "list-parts 3\n"
        "appserver A 127.0.0.1 3301 1 0 1 1\nappserver B 127.0.0.1 3302 1 0 1 1\n"
        "appserver C 127.0.0.1 3303 1 0 1 1\nappserver D 127.0.0.1 3304 1 0 1 1\n");
    ASSERT_TRUE(peer.ok());
    Lists l = Info(peer, true, false);
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.asCount, 4);
    EXPECT_EQ(U8(l.as[3].port), "3304");
  }
  {
    // A storage that answers every page in full ends at the bound.
    mspeer::MsPeer peer("group G 4 10.0.0.1 3200 740\n", {"admin:fullpages:all"});
    ASSERT_TRUE(peer.ok());
    Lists l = Info(peer, false);
    EXPECT_EQ(l.rc, LGEINTERN);
    EXPECT_EQ(peer.Events("STRG", "type", "16").size(), static_cast<size_t>(LG_MAX_PAGES));
  }
}

// The 129th list of a kind frees the first; the one before leaves it.
TEST_F(LgLists, TheRingKeeps128Lists) {
  mspeer::MsPeer peer("group G 4 10.0.0.1 3200 740\n");
  ASSERT_TRUE(peer.ok());
  trccheck::TraceFile trace(2);
  std::vector<const void*> lists;
  for (int i = 0; i < 128; ++i) lists.push_back(Info(peer, false).cl);
  EXPECT_EQ(trace.Read().find("LgIClList: free some memory"), std::string::npos);
  Lists last = Info(peer, false);
  ASSERT_EQ(last.rc, 0);
  std::string t = trace.Read();
  EXPECT_NE(t.find("LgIClList: free some memory (0)"), std::string::npos);
  EXPECT_EQ(t.find("LgIClList: free some memory (1)"), std::string::npos);
  EXPECT_EQ(U8(last.cl[0].name), "G");
}

class LgFailures : public lgtest::Lookup {};

TEST_F(LgFailures, GroupsNamesAndResolution) {
  mspeer::MsPeer peer("group ABCDEFGHIJKLMNOPQRST 4 10.0.0.1 3200 740\n");
  ASSERT_TRUE(peer.ok());
  Result r = Run(peer, u"NOPE");
  EXPECT_EQ(r.rc, LGEGRPNOTFOUND);
  EXPECT_EQ(r.addr, "");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)), "Group NOPE not found");
  // 20 characters are a name; 21 are refused before anything is sent.
  EXPECT_EQ(Run(peer, u"ABCDEFGHIJKLMNOPQRST").rc, 0);
  size_t conns = peer.Events("CONN").size();
  r = Run(peer, u"ABCDEFGHIJKLMNOPQRSTU");
  EXPECT_EQ(r.rc, LGEGRPNOTFOUND);
  EXPECT_EQ(r.addr, "#") << "outputs untouched";
  EXPECT_EQ(peer.Events("CONN").size(), conns);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-6");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)),
            "internal error (this retcode should be handled by caller of LG-layer) , group name too large");
  // A service without a number: -102 with NI's code kept.
  r = Run(peer.Host(), u"no_such_service_x", u"G");
  EXPECT_EQ(r.rc, LGENILAYER);
  EXPECT_EQ(r.addr, "#");
  EXPECT_EQ(LgIKeptNiRc.load(), NIESERV_UNKNOWN);
  ErrClear();
  LgErrSet(LGENILAYER);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "NI (network interface)");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-3");
}

TEST_F(LgFailures, MessageServersThatDoNotServe) {
  // Nothing listening: the message server's record names NI's failure.
  uint16_t free = peers::FreePort(AF_INET);
  Result r = Run(u"127.0.0.1", tovtest::FromUtf8(std::to_string(free)), u"G");
  EXPECT_EQ(r.rc, LGEMSLAYER);
  ErrClear();
  LgErrSet(LGEMSLAYER);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "NI (network interface)");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), std::to_string(NIECONN_REFUSED));
  // An HTTP server.
  mspeer::MsPeer http("", {"login:http"});
  ASSERT_TRUE(http.ok());
  EXPECT_EQ(Run(http, u"G").rc, LGEMSLAYER);
  EXPECT_FALSE(lg_attached);
  // Silence: -4 within the time-out, the message server's code unchanged.
  mspeer::MsPeer silent("group G 4 10.0.0.1 3200 740\n", {"admin:drop"});
  ASSERT_TRUE(silent.ok());
  ASSERT_EQ(LgSetParam(LG_PARAM_TIMEOUT, 300), 0);
  LgIKeptMsRc.store(77);
  int64_t t0 = Ms();
  r = Run(silent, u"G");
  int64_t took = Ms() - t0;
  EXPECT_EQ(r.rc, LGETIMEOUT);
  EXPECT_GE(took, 290);
  EXPECT_LT(took, 2000);
  EXPECT_EQ(LgIKeptMsRc.load(), 77);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)), "timeout (300 msecs) while waiting for info from message server");
}

// An integer answer that comes after the time-out is not taken for the
// next request's: the list read ends and the connection goes.
TEST_F(LgFailures, ALateIntegerAnswerEndsTheRead) {
  mspeer::MsPeer peer(
      "group G 4 10.0.0.1 3200 740 3 0 3600 100\n"
      "appserver A 127.0.0.1 3301 100 0 3 1 IP=10.1.1.1\n"
      "appserver B 127.0.0.1 3302 50 0 3 1 IP=10.2.2.2\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(LgSetParam(LG_PARAM_TIMEOUT, 300), 0);
  ASSERT_TRUE(peer.Fault("strg21:delay=600"));
  Result r = Run(peer, u"G");
  EXPECT_EQ(r.rc, LGETIMEOUT);
  EXPECT_TRUE(peer.WaitCount(1, "CLOSE", "by", "client"));
  EXPECT_FALSE(lg_attached);
  r = Run(peer, u"G");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.name, "A");
  EXPECT_EQ(r.addr, "10.1.1.1");
}

struct NullCase {
  const char* what;
  bool group, addr, port, snc;
  const char* reason;
};

TEST_F(LgFailures, NullArgumentsParametersAndRecords) {
  const NullCase cases[] = {
      {"group", false, true, true, true, "group = NULL"},
      {"addr", true, false, true, true, "addr = NULL"},
      {"port", true, true, false, true, "port = NULL"},
      {"group and port: the last one", false, true, false, true, "port = NULL"},
      {"snc name", true, true, true, false, "sncname = NULL"},
  };
  for (const NullCase& c : cases) {
    WEQ_UC addr[46], snc[10];
    uint16_t port;
    for (bool sncCall : {false, true}) {
      if (!sncCall && !c.snc) continue;
      ErrClear();
      LG_RC rc = sncCall ? LgGroupSncSec(u"h", u"1", c.group ? u"G" : nullptr, c.addr ? addr : nullptr, 46,
                                         c.port ? &port : nullptr, nullptr, 0, c.snc ? snc : nullptr, 10, nullptr,
                                         nullptr, 0)
                         : LgGroupSec(u"h", u"1", c.group ? u"G" : nullptr, c.addr ? addr : nullptr, 46,
                                      c.port ? &port : nullptr, nullptr, 0, nullptr, nullptr, 0);
      EXPECT_EQ(rc, LGEINVAL) << c.what;
      EXPECT_EQ(U8(ErrGetFld(ERR_FLD_DETAIL)), sncCall ? "LgGroupSncSec" : "LgGroupSec") << c.what;
      EXPECT_NE(U8(ErrGetFld(ERR_FLD_ERROR)).find(c.reason), std::string::npos) << c.what;
    }
  }
  const WEQ_UC* name = nullptr;
  EXPECT_EQ(LgAdrPortToName(u"h", u"1", nullptr, u"1", &name), LGEINVAL);
  EXPECT_EQ(LgAdrPortToName(u"h", u"1", u"a", u"1", nullptr), LGEINVAL);
  EXPECT_NE(U8(ErrGetFld(ERR_FLD_ERROR)).find("&name = NULL"), std::string::npos);
  LG_APPSRV_ENTRY* as = nullptr;
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  EXPECT_EQ(LgApplSrvInfo(peer.Host().c_str(), peer.Serv().c_str(), &as, nullptr, nullptr, nullptr), LGEINVAL);
  EXPECT_NE(U8(ErrGetFld(ERR_FLD_ERROR)).find("&ascount = NULL"), std::string::npos);
  EXPECT_FALSE(lg_attached);
  // An unknown parameter changes nothing.
  EXPECT_EQ(LgSetParam(4, 1), LGEINVAL);
  EXPECT_NE(U8(ErrGetFld(ERR_FLD_ERROR)).find("unknown param 4"), std::string::npos);
  EXPECT_EQ(LgSetParam(2, 5), 0);
  EXPECT_EQ(lg_timeout.load(), 10000);
  EXPECT_EQ(lg_lb_timeout.load(), 5);
  EXPECT_EQ(lg_lb_requests.load(), 1000);
}

// LgErrSet leaves an error of another place and this very "LG" error alone.
TEST_F(LgFailures, ErrorSetterKeepsOtherPlacesAndItsOwnRecord) {
  ErrSetLocation(u"first place");
  ASSERT_EQ(ErrSetInfo(u"OTHER", 1, u"m", 1, u"other error", 5, nullptr), 0);
  ErrSetLocation(u"second place");
  LgErrSet(LGENOSERVER);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "OTHER");
  ErrSetLocation(u"first place");
  LgErrSet(LGEGRPNOTFOUND);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "LG");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-6");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)), "Group ? not found");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_MODULE)), "");
  ASSERT_EQ(ErrReplace(ERR_FLD_DETAIL, u"%s", u"marked"), 0);
  LgErrSet(LGEGRPNOTFOUND);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_DETAIL)), "marked") << "the same code stays as it is";
  LgErrSet(LGETIMEOUT);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)), "timeout (? msecs) while waiting for info from message server");
  LgIKeptMsRc.store(MSENOTFOUND);
  LgErrSet(LGEMSLAYER);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "MS (message handling interface, multithreaded)");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-4");
  ErrSetLocation(u"");
}

}  // namespace
