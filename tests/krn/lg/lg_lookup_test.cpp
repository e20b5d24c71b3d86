// Lookups against ms_peer: the choice by load-balancing type, the group
// cache, what the outputs hold, and the special group. The expectations
// are worked out by hand from the rules of the choice.
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <map>

#include "krn/dptrc/trc_checker.h"
#include "lg_test_util.h"
#include "peers/peer_spawn.h"
#include "peers/peerlog.h"

namespace {

using lgtest::Result;
using lgtest::Seen;

// Members A, B, C of group 3 and the top server D of group 4, each answering
// a connection with its name.
const char kServers[] =
    "appserver A 127.0.0.1 listen 100 0 3 10\n"
    "appserver B 127.0.0.1 listen 60 -20 3 5\n"
    "appserver C 127.0.0.1 listen 80 5 3 0\n"
    "appserver D 127.0.0.1 listen 500 0 4 50\n";

// Group G at 127.0.0.1 (whose favourite holds 0 units), version 4, group 3.
std::string GroupG(int type, int timeout = 3600, int count = 100) {
  return "group G 4 127.0.0.1 3200 740 3 " + std::to_string(type) + " " + std::to_string(timeout) + " " +
         std::to_string(count) + "\n";
}

const LG_GROUP_REC* Entry(const std::u16string& group) {
  for (int i = 0; i < LG_CACHE_SIZE; ++i) {
    const LG_GROUP_REC& e = LgICache()[i];
    if (e.inUse && group == e.name) return &e;
  }
  return nullptr;
}

const LG_APPSRV_REC* Server(const LG_GROUP_REC* e, const std::string& name) {
  for (int32_t i = 0; e != nullptr && i < e->serverCount; ++i)
    if (lgtest::U8(e->servers[i].entry.name) == name) return &e->servers[i];
  return nullptr;
}

class LgSelection : public lgtest::Lookup {};

// A q100 d0, C q80 d5, B q60 d-20; ties keep the earlier server of the
// sorted list (A, C, B).
TEST_F(LgSelection, BestQualityInTurnAndOnlyTheFirstLookupAsks) {
  const std::string want = "AAACCACCACB";
  const int qualities[] = {90, 80, 70, 75, 70, 60, 65, 60, 50, 55, 40};
  for (int type : {0, 100, 150, 200}) {
    LgIResetProcess();
    mspeer::MsPeer peer(GroupG(type) + kServers);
    ASSERT_TRUE(peer.ok());
    std::string got;
    for (int i = 0; i < 11; ++i) {
      Result r = Run(peer, u"G");
      ASSERT_EQ(r.rc, 0) << type;
      EXPECT_EQ(r.lbUsed, 1);
      EXPECT_EQ(r.release, "740");
      EXPECT_EQ(r.name, lgtest::Reach(r.addr, r.port)) << "the server answers at the address and port";
      got += r.name;
      const LG_APPSRV_REC* s = Server(Entry(u"G"), r.name);
      ASSERT_NE(s, nullptr);
      EXPECT_EQ(s->ints[LG_INT_QUALITY], qualities[i]) << type << " lookup " << i;
    }
    EXPECT_EQ(got, want) << "type " << type;
    lgtest::Traffic t = Seen(peer, "G");
    EXPECT_EQ(t.groupReads, 1u);
    EXPECT_EQ(t.lists, 1u);
    EXPECT_EQ(t.reads21, 4u);                // the integers of A, B, C, D
    EXPECT_EQ(t.reads22 - t.groupReads, 4u);  // their short texts
    EXPECT_EQ(t.logins, 1u);
    EXPECT_TRUE(peer.WaitCount(1, "IN", "kind", "logout"));
  }
}

TEST_F(LgSelection, RoundRobinInTheOrderOfTheRandomNumbers) {
  LgISetRandom(lgtest::NextInjected);
  for (int type : {201, 230, 255}) {
    LgIResetProcess();
    LgISetRandom(lgtest::NextInjected);
    // A, B, C draw 501, 1000 and 1.
    lgtest::Injected() = {16384, 32767, 0};
    mspeer::MsPeer peer(GroupG(type) + kServers);
    ASSERT_TRUE(peer.ok());
    std::string got;
    for (int i = 0; i < 7; ++i) got += Run(peer, u"G").name;
    EXPECT_EQ(got, "BACBACB") << type;
    const LG_GROUP_REC* e = Entry(u"G");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(Server(e, "B")->random, 1000);
    EXPECT_EQ(Server(e, "A")->random, 501);
    EXPECT_EQ(Server(e, "C")->random, 1);
    EXPECT_EQ(Server(e, "B")->ints[LG_INT_QUALITY], 997);
    EXPECT_EQ(Server(e, "C")->ints[LG_INT_QUALITY], 998);
  }
}

TEST_F(LgSelection, WeightedRoundRobinByDialogProcesses) {
  // Weights A 10, B 5, C 0: A and B start at 10000000 with deltas -1000
  // and -2000, C at 1 with -1.
  mspeer::MsPeer peer(GroupG(202) + kServers);
  ASSERT_TRUE(peer.ok());
  std::map<std::string, int> times;
  for (int i = 0; i < 6; ++i) ++times[Run(peer, u"G").name];
  EXPECT_EQ(times["A"], 4);
  EXPECT_EQ(times["B"], 2);
  EXPECT_EQ(times["C"], 0);
  EXPECT_EQ(times["D"], 0);
  const LG_GROUP_REC* e = Entry(u"G");
  EXPECT_EQ(Server(e, "A")->ints[LG_INT_DELTA], -1000);
  EXPECT_EQ(Server(e, "B")->ints[LG_INT_DELTA], -2000);
  EXPECT_EQ(Server(e, "C")->ints[LG_INT_DELTA], -1);
  EXPECT_EQ(Server(e, "C")->ints[LG_INT_QUALITY], 1);
  EXPECT_EQ(Server(e, "A")->ints[LG_INT_QUALITY], 10000000 - 4000);
}

struct DeltaCase {
  const char* group;
  const char* server;
  uint16_t port;
  int32_t quality, delta;
};

// One member per group; group numbers 33 and 1 share bit 31, 32 is bit 0.
TEST_F(LgSelection, DeltaEdgesOverflowAndGroupNumbers) {
  mspeer::MsPeer peer(
      "group E0 4 127.0.0.1 3200 740 5 0 3600 100\n"
      "group E25 4 127.0.0.1 3200 740 6 0 3600 100\n"
      "group E7 4 127.0.0.1 3200 740 7 0 3600 100\n"
      "group EO 4 127.0.0.1 3200 740 8 0 3600 100\n"
      "group G33 4 127.0.0.1 3200 740 33 0 3600 100\n"
      "group G32 4 127.0.0.1 3200 740 32 0 3600 100\n"
      "appserver X 127.0.0.1 3301 0 0 5 1\n"
      "appserver Y 127.0.0.1 3302 25 0 6 1\n"
      "appserver Z 127.0.0.1 3303 50 7 7 1\n"
      "appserver O 127.0.0.1 3304 -2147483643 -10 8 1\n"
      "appserver M 127.0.0.1 3305 10 0 1 1\n"
      "appserver N 127.0.0.1 3306 10 0 32 1\n");
  ASSERT_TRUE(peer.ok());
  const DeltaCase cases[] = {
      {"E0", "X", 3301, -1, -1},           // 0/10 and 0/2 are 0
      {"E25", "Y", 3302, 23, -2},          // 25/10 = 2, negated
      {"E7", "Z", 3303, 43, -7},           // a delta above 0 is negated
      {"EO", "O", 3304, INT32_MIN, -10},   // held at the bottom of the range
      {"G33", "M", 3305, 9, -1},
      {"G32", "N", 3306, 9, -1},
  };
  for (const DeltaCase& c : cases) {
    std::u16string g = tovtest::FromUtf8(c.group);
    Result r = Run(peer, g);
    ASSERT_EQ(r.rc, 0) << c.group;
    EXPECT_EQ(r.name, c.server) << c.group;
    EXPECT_EQ(r.port, c.port);
    const LG_APPSRV_REC* s = Server(Entry(g), c.server);
    ASSERT_NE(s, nullptr) << c.group;
    EXPECT_EQ(s->ints[LG_INT_QUALITY], c.quality) << c.group;
    EXPECT_EQ(s->ints[LG_INT_DELTA], c.delta) << c.group;
  }
  // O at the bottom is no candidate any more: the group's own address.
  Result r = Run(peer, u"EO");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.lbUsed, 0);
  EXPECT_EQ(r.port, 3200);
}

// Every member choice of every process against one peer, at once.
TEST_F(LgSelection, FourProcessesEachWithItsOwnSequence) {
  mspeer::MsPeer peer(GroupG(0) + kServers);
  ASSERT_TRUE(peer.ok());
  std::u16string host = peer.Host(), serv = peer.Serv();
  std::vector<pid_t> kids;
  for (int k = 0; k < 4; ++k) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      LgIResetProcess();
      std::string got;
      for (int i = 0; i < 11; ++i) {
        Result r = Run(host, serv, u"G");
        if (r.rc != 0) _exit(2);
        got += r.name;
      }
      _exit(got == "AAACCACCACB" ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(Seen(peer, "G").groupReads, 4u);
}

// The lines of a lookup that reads and of one that finds the group.
TEST_F(LgSelection, TraceOfAReadAndAHit) {
  mspeer::MsPeer peer(GroupG(0) + kServers);
  ASSERT_TRUE(peer.ok());
  trccheck::TraceFile trace(3);
  ASSERT_EQ(Run(peer, u"G").name, "A");
  ASSERT_EQ(Run(peer, u"G").name, "A");
  std::string t = trace.Read();
  std::string serv = tovtest::ToUtf8(peer.Serv());
  const std::string lines[] = {
      "LgIGroupX: host=127.0.0.1 serv=" + serv + " group=G\n",
      "LgIGroupX: G not stored, retrieve info from msg server (127.0.0.1/" + serv + ")\n",
      "LgIGetAppSrv: 3 app server in group G\n",
      "LgIGroupX: fav type = BEST (0)\n",
      "LgIGroupX: (after)  C (random=",
      "LgIGroupX: use best of algorithm\n",
      "LgIGroupX: A : group=00100000000000000000000000000000 qual=100 delta=0\n",
      "LgIGroupX: delta quality = 0 (100), adjust =10\n",
      "LgIGroupX: found A , old qual=100 new qual=90\n",
      "LgIGroupX: group=G: addr=127.0.0.1 serv=3200 release=740\n",
      "LgIGroupX: lb=ACTIVE name=A\n",
      "LgIDetach: detach from 127.0.0.1/" + serv + "\n",
      "LgIGroupX: found stored logon group 127.0.0.1/" + serv + "/G/0\n",
      "LgIGroupX: host=127.0.0.1 serv=" + serv + " group=G id=3, type=0, #logon=100,timeout=3600 secs\n",
  };
  for (const std::string& l : lines) EXPECT_NE(t.find(l), std::string::npos) << l;
  EXPECT_EQ(t.find("(bad argument)"), std::string::npos);
  EXPECT_EQ(t.find("(missing argument)"), std::string::npos);
}

class LgCache : public lgtest::Lookup {};

// Groups without load balancing: version 3, logon count 0, time-out 0 and
// the time-out 0x8000 (negative).
TEST_F(LgCache, WithoutLoadBalancingEveryLookupRereads) {
  mspeer::MsPeer peer(std::string(kServers) +
                      "group V3 3 10.0.0.3 3203 730\n"
                      "group C0 4 10.0.0.4 3204 740 3 0 3600 0\n"
                      "group T0 4 10.0.0.5 3205 750 3 0 0 100\n"
                      "group T8 4 10.0.0.6 3206 760 3 0 32768 100\n"
                      "name 10.0.0.3 3203 NAME_V3\n");
  ASSERT_TRUE(peer.ok());
  const char* groups[] = {"V3", "C0", "T0", "T8"};
  for (int g = 0; g < 4; ++g) {
    for (int i = 0; i < 2; ++i) {
      Result r = Run(peer, tovtest::FromUtf8(groups[g]));
      ASSERT_EQ(r.rc, 0) << groups[g];
      EXPECT_EQ(r.lbUsed, 0);
      EXPECT_EQ(r.addr, "10.0.0." + std::to_string(3 + g));
      EXPECT_EQ(r.port, 3203 + g);
      EXPECT_EQ(r.release, std::to_string(730 + 10 * g));
      EXPECT_EQ(r.name, g == 0 ? "NAME_V3" : "") << "the name comes from the message server";
    }
    EXPECT_EQ(Seen(peer, groups[g]).groupReads, 2u) << groups[g];
  }
  lgtest::Traffic t = Seen(peer);
  EXPECT_EQ(t.lists, 0u);
  EXPECT_EQ(t.names, 8u);
  // Without a name buffer nobody asks for it.
  Result r = Run(peer.Host(), peer.Serv(), u"V3", false, 46, 5, 41, false);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(Seen(peer).names, 8u);
  EXPECT_EQ(Entry(u"V3"), nullptr);
}

TEST_F(LgCache, LogonCountAndTimeOut) {
  LgISetClock(lgtest::ReadClock);
  int64_t t0 = lgtest::Clock();
  mspeer::MsPeer peer(std::string(kServers) + "group N2 4 127.0.0.1 3200 740 3 0 3600 2\n" + GroupG(0));
  ASSERT_TRUE(peer.ok());
  size_t reads[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Run(peer, u"N2").rc, 0);
    reads[i] = Seen(peer, "N2").groupReads;
  }
  EXPECT_EQ(reads[0], 1u);
  EXPECT_EQ(reads[1], 1u);
  EXPECT_EQ(reads[2], 2u) << "count 2 rereads on the third lookup";
  // Time-out 3600: read at t0, still at t0 + 3600, reread at t0 + 3601.
  ASSERT_EQ(Run(peer, u"G").rc, 0);
  lgtest::Clock() = t0 + 3600;
  ASSERT_EQ(Run(peer, u"G").rc, 0);
  EXPECT_EQ(Seen(peer, "G").groupReads, 1u);
  lgtest::Clock() = t0 + 3601;
  ASSERT_EQ(Run(peer, u"G").rc, 0);
  EXPECT_EQ(Seen(peer, "G").groupReads, 2u);
  EXPECT_EQ(Entry(u"G")->firstRead, t0 + 3601);
}

// A full cache gives up the entry used longest ago, the later of two
// equally old ones.
TEST_F(LgCache, ThirtyThreeGroupsEvictTheLongestUnused) {
  std::string scen = "appserver A 127.0.0.1 3301 100 0 3 1\n";
  auto name = [](int i) { return std::string(i < 10 ? "G0" : "G") + std::to_string(i); };
  for (int i = 1; i <= 33; ++i) scen += "group " + name(i) + " 4 127.0.0.1 3200 740 3 0 3600 100\n";
  for (bool sameTime : {false, true}) {
    LgIResetProcess();
    LgISetClock(lgtest::ReadClock);
    int64_t t0 = lgtest::Clock();
    mspeer::MsPeer peer(scen);
    ASSERT_TRUE(peer.ok());
    for (int i = 1; i <= 33; ++i) {
      lgtest::Clock() = sameTime ? t0 : t0 + i;
      ASSERT_EQ(Run(peer, tovtest::FromUtf8(name(i))).rc, 0) << i;
    }
    // By time G01 went, with equal times the highest index (G32).
    int gone = sameTime ? 32 : 1, kept = sameTime ? 31 : 2;
    EXPECT_EQ(Entry(tovtest::FromUtf8(name(gone))), nullptr);
    ASSERT_EQ(Run(peer, tovtest::FromUtf8(name(kept))).rc, 0);
    EXPECT_EQ(Seen(peer, name(kept)).groupReads, 1u) << sameTime;
    ASSERT_EQ(Run(peer, tovtest::FromUtf8(name(gone))).rc, 0);
    EXPECT_EQ(Seen(peer, name(gone)).groupReads, 2u) << sameTime;
  }
}

TEST_F(LgCache, SncNamesAreAskedOncePerServer) {
  mspeer::MsPeer peer(
      "group G 4 127.0.0.1 3200 740 3 0 3600 100\n"
      "group F 4 127.0.0.1 3200 740 3 0 3600 100\n"
      "appserver A 127.0.0.1 3301 100 0 3 1\n"
      "appserver B 127.0.0.1 3302 60 0 3 1\n"
      "appserver C 127.0.0.1 3303 80 0 3 1\n"
      "key 127.0.0.1 3302 p:CN=B\n"
      "key 127.0.0.1 3303 p:CN=C\n"
      // X has no name: GS falls back on its own address and name, GN has none.
      "group GS 4 127.0.0.2 3200 740 4 0 3600 100\n"
      "group GN 4 127.0.0.3 3200 740 5 0 3600 100\n"
      "appserver X 127.0.0.1 3304 100 0 4,5 1\n"
      "key 127.0.0.2 3200 p:CN=GROUP\n");
  ASSERT_TRUE(peer.ok());
  // Read without SNC: nobody asked yet.
  Result r = Run(peer, u"G");
  EXPECT_EQ(r.name, "A");
  EXPECT_EQ(Seen(peer).keys, 0u);
  // Two SNC lookups ask A, B and C once; A has no name and is passed over.
  r = Run(peer, u"G", true);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.name, "C");
  EXPECT_EQ(r.snc, "p:CN=C");
  r = Run(peer, u"G", true);
  EXPECT_EQ(r.name, "C");
  EXPECT_EQ(Seen(peer).keys, 3u);
  // A group read with SNC asks each member at once.
  r = Run(peer, u"F", true);
  EXPECT_EQ(r.name, "C");
  EXPECT_EQ(Seen(peer).keys, 6u);
  r = Run(peer, u"F", true);
  EXPECT_EQ(Seen(peer).keys, 6u);
  r = Run(peer, u"GS", true);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.lbUsed, 0);
  EXPECT_EQ(r.snc, "p:CN=GROUP");
  EXPECT_EQ(r.addr, "127.0.0.2");
  EXPECT_EQ(r.port, 3200);
  r = Run(peer, u"GN", true);
  EXPECT_EQ(r.rc, LGENOSNCACTIVEG);
  EXPECT_EQ(r.snc, "");
  EXPECT_EQ(r.addr, "127.0.0.3");  // the rest is filled all the same
  EXPECT_EQ(r.release, "740");
  EXPECT_EQ(lgtest::U8(ErrGetFld(ERR_FLD_ERROR)), "no server with SNC found for group GN");
}

// A group read with SNC whose first member's name request gets no answer:
// that member is passed over, and the connection it dropped does not make
// the members behind it servers without a name. They are asked after all,
// on a new connection, before the choice.
TEST_F(LgCache, AnSncNameTimeOutLeavesTheOtherMembersToBeAsked) {
  mspeer::MsPeer peer(
      "group F 4 127.0.0.1 3200 740 3 0 3600 100\n"
      "appserver A 127.0.0.1 3301 100 0 3 1\n"
      "appserver B 127.0.0.1 3302 60 0 3 1\n"
      "appserver C 127.0.0.1 3303 80 0 3 1\n"
      "key 127.0.0.1 3301 p:CN=A\n"
      "key 127.0.0.1 3302 p:CN=B\n"
      "key 127.0.0.1 3303 p:CN=C\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(LgSetParam(LG_PARAM_TIMEOUT, 300), 0);
  ASSERT_TRUE(peer.Fault("op9:drop"));
  Result r = Run(peer, u"F", true);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.lbUsed, 1);
  EXPECT_EQ(r.name, "C");
  EXPECT_EQ(r.snc, "p:CN=C");
  EXPECT_EQ(Seen(peer).keys, 3u);
  const LG_GROUP_REC* e = Entry(u"F");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(Server(e, "A")->sncState, LG_SNC_NONE);
  EXPECT_EQ(Server(e, "B")->sncState, LG_SNC_KNOWN);
  EXPECT_EQ(lgtest::U8(Server(e, "B")->sncName), "p:CN=B");
  // The names stay with the entry: the next lookup asks nothing.
  r = Run(peer, u"F", true);
  EXPECT_EQ(r.name, "C");
  EXPECT_EQ(Seen(peer).keys, 3u);
}

// The stored message server serves lookups without a host; a lookup with
// the same texts reuses the attachment.
TEST_F(LgCache, AttachReuseAndTheStoredMessageServer) {
  mspeer::MsPeer peer(std::string(kServers) + GroupG(0) + "group G2 4 127.0.0.1 3200 740 3 0 3600 100\n" +
                      "group G3 4 127.0.0.1 3200 740 3 0 3600 100\n");
  ASSERT_TRUE(peer.ok());
  EXPECT_EQ(Run(u"", u"", u"G").rc, LGEINVAL);
  EXPECT_EQ(lgtest::U8(ErrGetFld(ERR_FLD_ERROR)),
            "internal error (this retcode should be handled by caller of LG-layer) , mshost = NULL");
  ASSERT_EQ(LgIAttach(peer.Host().c_str(), peer.Serv().c_str()), 0);
  EXPECT_EQ(Run(u"", u"", u"G").name, "A");
  EXPECT_EQ(Run(u"", u"", u"G").name, "A");
  EXPECT_TRUE(lg_attached);
  EXPECT_EQ(Run(peer, u"G2").rc, 0);
  lgtest::Traffic t = Seen(peer);
  EXPECT_EQ(t.logins, 1u);
  EXPECT_TRUE(peer.WaitCount(1, "IN", "kind", "logout")) << "a lookup with a host ends detached";
  EXPECT_FALSE(lg_attached);
  // A connection the client dropped is not kept: the next lookup attaches.
  ASSERT_EQ(LgIAttach(peer.Host().c_str(), peer.Serv().c_str()), 0);
  ASSERT_TRUE(peer.Fault("admin:close"));
  EXPECT_EQ(Run(u"", u"", u"G3").rc, LGEMSLAYER);
  Result r = Run(u"", u"", u"G3");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(Seen(peer).logins, 3u);
}

TEST_F(LgCache, AStoredHostWithAnotherService) {
  mspeer::MsPeer one(std::string(kServers) + GroupG(0)), two(std::string(kServers) + GroupG(0));
  ASSERT_TRUE(one.ok() && two.ok());
  ASSERT_EQ(LgIAttach(one.Host().c_str(), one.Serv().c_str()), 0);
  Result r = Run(u"", two.Serv(), u"G");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.name, "A");
  EXPECT_TRUE(one.WaitCount(1, "IN", "kind", "logout"));
  EXPECT_EQ(Seen(two).logins, 1u);
  EXPECT_EQ(lgtest::U8(lg_mshost), "127.0.0.1");
  EXPECT_EQ(lgtest::U8(lg_msserv), tovtest::ToUtf8(two.Serv()));
}

// A message server behind NI's router: the route string is the host, and
// the service, a name no service table knows or a number, is never
// resolved; the cache keys the group by the sum of the service's
// characters, so that the next lookup finds it without a connection, and
// another service through the same route is another entry.
TEST_F(LgCache, ThroughTheRouterTheServiceIsTheSumOfItsCharacters) {
  mspeer::MsPeer peer(GroupG(0) + kServers);
  ASSERT_TRUE(peer.ok());
  peers::PeerProcess router("router", {"--names", "ms=127.0.0.1:" + tovtest::ToUtf8(peer.Serv())});
  ASSERT_TRUE(router.ok());
  peers::PeerLog rlog(router);
  const std::u16string route = u"/H/127.0.0.1/S/" + tovtest::FromUtf8(std::to_string(router.port())) + u"/H/ms";
  trccheck::TraceFile trace(2);
  Result r = Run(route, u"sapmsTOV", u"G");
  ASSERT_EQ(r.rc, 0) << rlog.Text();
  EXPECT_EQ(r.name, "A");
  EXPECT_EQ(r.name, lgtest::Reach(r.addr, r.port));
  const LG_GROUP_REC* e = Entry(u"G");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->servNo, 797);  // s a p m s T O V: 115 97 112 109 115 84 79 86
  EXPECT_EQ(lgtest::U8(e->mshost), tovtest::ToUtf8(route));
  peers::LogLine l;
  ASSERT_TRUE(rlog.Wait("IN", "entry", &l, 3000, "index", "1"));
  EXPECT_EQ(l.get("host") + "|" + l.get("service"), "ms|sapmsTOV");
  r = Run(route, u"sapmsTOV", u"G");
  EXPECT_EQ(r.name, "A");
  ASSERT_NE(Server(e, "A"), nullptr);
  EXPECT_EQ(Server(e, "A")->ints[LG_INT_QUALITY], 80);  // the same entry chose A twice
  lgtest::Traffic t = Seen(peer, "G");
  EXPECT_EQ(t.groupReads, 1u);
  EXPECT_EQ(t.logins, 1u);
  // "3600" sums to 201 (51 54 48 48): another entry, read through the router.
  r = Run(route, u"3600", u"G");
  EXPECT_EQ(r.rc, 0);
  ASSERT_TRUE(rlog.Wait("IN", "entry", &l, 3000, "service", "3600"));
  EXPECT_EQ(Seen(peer, "G").groupReads, 2u);
  int routes = 0;
  for (const peers::LogLine& x : rlog.lines()) routes += x.dir == "IN" && x.kind == "route";
  EXPECT_EQ(routes, 2);
  std::string text = trace.Read();
  EXPECT_NE(text.find("LgIGroupX: connect via router use internal servno=797\n"), std::string::npos);
  EXPECT_NE(text.find("LgIGroupX: connect via router use internal servno=201\n"), std::string::npos);
  EXPECT_NE(text.find("LgIGroupX: found stored logon group " + tovtest::ToUtf8(route) + "/797/G/0\n"),
            std::string::npos);
}

class LgOutputs : public lgtest::Lookup {};

TEST_F(LgOutputs, ShortTextsAddressesAndSmallBuffers) {
  mspeer::MsPeer peer(
      "group G 4 127.0.0.1 3200 740 3 0 3600 100\n"
      "group H 4 127.0.0.1 3200 740 4 0 3600 100\n"
      "group I 4 127.0.0.1 3200 740 5 0 3600 100\n"
      "appserver A 127.0.0.1 3301 100 0 3 1 mode=x IP=10.1.1.1,rest\n"
      "appserver B 127.0.0.2 3302 100 0 4 1 no address here\n"
      "appserver C 127.0.0.3 3303 100 0 5 1\n");
  ASSERT_TRUE(peer.ok());
  EXPECT_EQ(Run(peer, u"G").addr, "10.1.1.1");
  EXPECT_EQ(Run(peer, u"H").addr, "127.0.0.2") << "flag 1 without IP=: the server's own address";
  EXPECT_EQ(Run(peer, u"I").addr, "127.0.0.3");
  // Too small: empty, and still success.
  Result r = Run(peer.Host(), peer.Serv(), u"G", false, 8, 3, 1);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.addr, "");
  EXPECT_EQ(r.release, "");
  EXPECT_EQ(r.name, "");
  EXPECT_EQ(r.port, 3301);
  r = Run(peer.Host(), peer.Serv(), u"G", false, 9, 4, 2);
  EXPECT_EQ(r.addr, "10.1.1.1");
  EXPECT_EQ(r.release, "740");
  EXPECT_EQ(r.name, "A");
  // A short text that cannot be read counts as none.
  ASSERT_EQ(LgIAttach(peer.Host().c_str(), peer.Serv().c_str()), 0);
  ASSERT_TRUE(peer.Fault("strg22:mserrno=-3"));
  LG_APPSRV_REC* list = nullptr;
  int32_t count = 0;
  ASSERT_EQ(LgIAsListLb(&list, &count, false), 0);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(list[0].shortFlag, 0);
  EXPECT_EQ(lgtest::U8(list[0].shortText), "");
  EXPECT_EQ(list[1].shortFlag, 1);
  EXPECT_EQ(lgtest::U8(list[1].shortText), "no address here");
  EXPECT_EQ(list[2].shortFlag, 0);
  EXPECT_EQ(lgtest::U8(list[2].shortText), "0");
  EXPECT_EQ(list[2].ints[LG_INT_MASK], 1 << 27);
  LgIDetach(lg_mshost);
}

TEST_F(LgOutputs, TheSpecialGroupAny) {
  const std::string logons =
      "logon * 2 apphost 3299 10.0.0.7 -\n"
      "logon * 3 apphost 3298 10.0.0.8 -\n"
      "param WEQ_RELEASE 0 740\n"
      "key 10.0.0.8 3298 p:CN=ANY\n";
  mspeer::MsPeer peer(logons);
  ASSERT_TRUE(peer.ok());
  Result r = Run(peer, u"_A_N_Y_");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.addr, "10.0.0.7");
  EXPECT_EQ(r.port, 3299);
  EXPECT_EQ(r.release, "740");
  EXPECT_EQ(r.lbUsed, 0);
  EXPECT_EQ(r.name, "");
  r = Run(peer.Host(), peer.Serv(), u"_A_N_Y_", false, 8);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.addr, "") << "an address that does not fit";
  r = Run(peer, u"_A_N_Y_", true);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.addr, "10.0.0.8");
  EXPECT_EQ(r.snc, "p:CN=ANY");
  WEQ_UC addr[10] = {u'#'};
  uint16_t port = 0;
  EXPECT_EQ(LgGroupSec(peer.Host().c_str(), peer.Serv().c_str(), u"_A_N_Y_", addr, 10, &port, nullptr, 0, nullptr,
                       nullptr, 0),
            0);
  EXPECT_EQ(lgtest::U8(addr), "10.0.0.7");
  EXPECT_EQ(Entry(u"_A_N_Y_"), nullptr);
  struct {
    const char* scenario;
    LG_RC rc;
  } refusals[] = {{"logon-rc 19\n", LGENOSERVER}, {"logon-rc 4\n", LGEGRPNOTFOUND}, {"logon-rc 1\n", LGEGRPNOTFOUND},
                  {"logon-rc 11\n", LGEMSLAYER}};
  for (const auto& c : refusals) {
    mspeer::MsPeer p(c.scenario);
    ASSERT_TRUE(p.ok());
    r = Run(p, u"_A_N_Y_");
    EXPECT_EQ(r.rc, c.rc) << c.scenario;
    EXPECT_EQ(r.addr, "");
    EXPECT_EQ(r.release, "");
  }
  EXPECT_EQ(LgIKeptMsRc.load(), 11);
}

// The special group with SNC when the release answer comes late: the
// release stays empty, and the late answer, which arrives before the
// answer to the name request (both held back, the release less), is not
// taken for the server's SNC name.
TEST_F(LgOutputs, TheSpecialGroupAfterALateReleaseAnswer) {
  mspeer::MsPeer peer(
      "logon * 3 apphost 3298 10.0.0.8 -\n"
      "param WEQ_RELEASE 0 740\n"
      "key 10.0.0.8 3298 p:CN=ANY\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(LgSetParam(LG_PARAM_TIMEOUT, 400), 0);
  ASSERT_TRUE(peer.Fault("admin:delay=500"));
  ASSERT_TRUE(peer.Fault("op9:delay=200"));
  Result r = Run(peer, u"_A_N_Y_", true);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.addr, "10.0.0.8");
  EXPECT_EQ(r.port, 3298);
  EXPECT_EQ(r.release, "");
  EXPECT_EQ(r.snc, "p:CN=ANY");
  EXPECT_EQ(Seen(peer).logins, 2u) << "the name is asked on a new connection";
}

// A version-4 group at ::1 (IPv6 is on in this executable) answers with
// its own address and the name the message server keeps for it.
TEST_F(LgOutputs, AnIpv6GroupAddress) {
  mspeer::MsPeer peer("group V6 4 ::1 3200 740\nname ::1 3200 NAME6\n");
  ASSERT_TRUE(peer.ok());
  Result r = Run(peer, u"V6");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.addr, "::1");
  EXPECT_EQ(r.port, 3200);
  EXPECT_EQ(r.name, "NAME6");
}

}  // namespace
