// Routing: route strings into NI_ROUTE read back with the peer toolkit's
// own decoder, the limits of the entry area and the hop count, the table
// of hops, malformed entry areas, and connects end to end through one or
// two ni_peer routers to an echo peer, with every answer a router gives.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "krn/dptrc/err.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/niroute_int.h"
#include "niconn.h"
#include "nihs_fake.h"
#include "peers/nictlcodec.h"
#include "peers/peer_spawn.h"
#include "peers/peerlog.h"
#include "support/testsupport.h"
#include "../dptrc/trc_checker.h"

namespace {

using niconn::Ext;
using niconn::U16;
using peers::PeerProcess;
using tovtest::ToUtf8;

std::string ErrText() { return ToUtf8(ErrGetFld(ERR_FLD_ERROR)); }

std::string Wire(const NI_ROUTE_MSG& m) {
  return std::string(reinterpret_cast<const char*>(m.data), NiIRouteMsgLen(&m));
}

// A route string built by NI as the toolkit decodes it: its entries as
// "host|service|password" joined by ";", and its header.
std::string Decoded(const char16_t* route, const char16_t* serv, peers::RouteMsg* msg = nullptr) {
  static NI_ROUTE_MSG m;
  peers::RouteMsg d;
  std::string why, out;
  EXPECT_EQ(NiBufIHostToRoute(route, serv, 0, NiITrcHdl(), &m), WEQ_O_K);
  EXPECT_TRUE(peers::DecodeRoute(Wire(m), &d, &why)) << why;
  for (const auto& e : d.entries) out += (out.empty() ? "" : ";") + e.host + "|" + e.service + "|" + e.password;
  if (msg != nullptr) *msg = d;
  return out;
}

class NiRoute : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(NiInit(), WEQ_O_K); }
  void TearDown() override { NiExit(); }
};

TEST_F(NiRoute, RouteStringsBecomeTheirEntriesByteForByte) {
  const struct {
    const char16_t *route, *serv;
    const char* hops;
  } cases[] = {
      {u"/H/host1/H/host2/S/3300", u"3301", "host1|3299|;host2|3300|"},
      // "/W/" gives the next hop its password, whose "/P/" then is text.
      {u"/H/r1/W/secret/H/far/S/3300/P/own", u"3300", "r1|3299|;far|3300/P/own|secret"},
      // Both markers in one hop: "/P/" counts, "/W/" stays text where it lies.
      {u"/H/a/W/x/P/y/H/b", u"sapgw00", "a/W/x|3299|y;b|sapgw00|"},
      {u"/H/a/P/y/W/x/H/b", u"sapgw00", "a|3299|y/W/x;b|sapgw00|"},
      {u"/H/a/P/pw/S/3301/H/b", u"s", "a|3301|pw;b|s|"},
      {u"/H/a/H/b/W/z", u"s", "a|3299|;b|s|"},
      {u"plainhost", u"3200", "plainhost|3200|"},
      {u"/H/a", nullptr, "a||"},
      {u"/H/", u"s", "|s|"},
      {u"/H/h\u00e9st/S/3299/P/p\u4e2d\U0001F600", u"s", "h#st|3299|p###"},
      {u"/H/ a /S/ 3299 ", u"s", " a | 3299 |"},
  };
  for (const auto& c : cases) {
    peers::RouteMsg m;
    EXPECT_EQ(Decoded(c.route, c.serv, &m), c.hops) << tovtest::Show(c.route);
    EXPECT_EQ(m.hops, m.count);
    EXPECT_EQ(m.next, 0u);
  }
  // The header as the wire table has it, the mode byte included.
  NI_ROUTE_MSG m;
  ASSERT_EQ(NiBufIHostToRoute(u"/H/ab/H/c/S/9", u"9", 1, NiITrcHdl(), &m), WEQ_O_K);
  EXPECT_EQ(peers::HexOf(Wire(m)), "4e495f524f555445" "00" "02" "28" "02" "01" "0000" "02" "0000000e" "00000000"
                                   "616200" "3332393900" "00" "6300" "3900" "00");
}

TEST_F(NiRoute, ServiceMismatchAndHiddenPasswordsInTheTrace) {
  trccheck::TraceFile trace(2);
  Decoded(u"/H/host1/P/topsecret/H/host2/S/3300", u"3301");
  Decoded(u"/H/host1/H/host2/S/3300x", u"3300");
  std::string t = trace.Read();
  EXPECT_NE(t.find("service in route <3300> != servname param <3301>\n"), std::string::npos);
  EXPECT_EQ(t.find("service in route <3300x>"), std::string::npos);  // equal over the caller's length
  EXPECT_NE(t.find("RouteString </H/host1/P/***/H/host2/S/3300>"), std::string::npos);
  EXPECT_EQ(t.find("topsecret"), std::string::npos);
}

TEST_F(NiRoute, TheEntryAreaHoldsTenThousandBytesAndTheRoute255Hops) {
  // n hops of host (its length), "1", an empty password and three zeros.
  auto route = [](int n, size_t host, size_t last) {
    std::u16string r;
    for (int i = 0; i < n; ++i) r += u"/H/" + std::u16string(i == n - 1 ? last : host, u'h') + u"/S/1";
    return r;
  };
  NI_ROUTE_MSG m;
  ASSERT_EQ(NiBufIHostToRoute(route(40, 246, 246).c_str(), u"", 0, NiITrcHdl(), &m), WEQ_O_K);
  EXPECT_EQ(NiIRouteEntriesLen(&m), 10000u);
  EXPECT_EQ(NiBufIHostToRoute(route(40, 246, 247).c_str(), u"", 0, NiITrcHdl(), &m), NIETOO_SMALL);
  EXPECT_EQ(ErrText(), "NiBufIAddRouteEntry: not enough space (251>10000-9750)");
  peers::RouteMsg d;
  Decoded(route(255, 1, 1).c_str(), u"", &d);
  EXPECT_EQ(d.count, 255);
  // A 256th would wrap both byte counts to 0.
  EXPECT_EQ(NiBufIHostToRoute(route(256, 1, 1).c_str(), u"", 0, NiITrcHdl(), &m), NIETOO_SMALL);
  EXPECT_EQ(ErrText(), "NiBufIAddRouteEntry: too many entries (255>=255)");
  int32_t count = -1;
  EXPECT_EQ(NiRouteToTable(&count, route(256, 1, 1).c_str(), nullptr, 0), NIETOO_SMALL);
  EXPECT_EQ(count, -1);
}

TEST_F(NiRoute, TheTableHoldsTheLastHopsCutToTheirFields) {
  auto rows = [](const std::u16string& route, int size) {
    std::vector<NI_ROUTE_ENTRY> t(static_cast<size_t>(size));
    if (size > 0) memset(t.data(), 0x55, t.size() * sizeof(NI_ROUTE_ENTRY));
    int32_t count = 0;
    EXPECT_EQ(NiRouteToTable(&count, route.c_str(), size > 0 ? t.data() : nullptr, size), WEQ_O_K);
    std::string out = std::to_string(count);
    for (const auto& r : t) out += ";" + ToUtf8(r.host) + "|" + ToUtf8(r.service) + (r.host[59] || r.service[29] ? "!" : "");
    return out;
  };
  const std::u16string four = u"/H/r1/S/1001/H/r2/H/r3/S/1003/P/pw/H/far/S/sapgw00";
  EXPECT_EQ(rows(four, 2), "4;r3|1003;far|sapgw00");
  EXPECT_EQ(rows(four, 0), "4");
  EXPECT_EQ(rows(u"/H/a/H/b", 2), "2;a|3299;b|");  // the empty caller's service
  std::u16string host70, serv40(40, u'7');
  for (int i = 0; i < 70; ++i) host70 += static_cast<char16_t>(u'a' + i % 26);
  EXPECT_EQ(rows(u"/H/" + host70 + u"/S/" + serv40, 1),
            "1;" + ToUtf8(host70.substr(0, 59)) + "|" + std::string(29, '7'));
  int32_t count = 0;
  NI_ROUTE_ENTRY row[1];
  const char16_t* r = four.c_str();
  EXPECT_EQ(NiRouteToTable(nullptr, r, row, 1), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiRouteToTable: parameter invalid (pCount == NULL)");
  EXPECT_EQ(NiRouteToTable(&count, nullptr, row, 1), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiRouteToTable: parameter invalid (pRouteString == NULL)");
  EXPECT_EQ(NiRouteToTable(&count, r, nullptr, 1), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiRouteToTable: parameter invalid (pRouteTable == NULL && tableSize != 0)");
  EXPECT_EQ(NiRouteToTable(&count, r, row, -1), NIEINVAL);
  EXPECT_EQ(ErrText(), "NiRouteToTable: parameter invalid (tableSize < 0)");
}

TEST_F(NiRoute, EntriesThatAreNotWholeAreRefusedAtTheFirstFault) {
  struct Case {
    std::string area;
    uint32_t len;  // the length field
    uint32_t offset;
    std::string trace;
  } cases[] = {
      {std::string("a\0s\0p\0", 6), 6, 6, "(6;6)"},
      {"abc", 3, 0, "(0;3;3)"},
      {std::string("a\0svc", 5), 5, 0, "(0;1;3;5)"},
      {std::string("a\0s\0pw", 6), 6, 0, "(0;1;1;2;6)"},
      {std::string("a\0s\0\0", 5), 10001, 0, "(0;10001)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    NI_ROUTE_MSG m{};
    memcpy(m.data, "NI_ROUTE", 8);
    m.data[11] = m.data[15] = 1;
    NiIPut32(m.data + 16, c.len);
    memcpy(m.data + NI_ROUTE_HDR_LEN, c.area.data(), c.area.size());
    trccheck::TraceFile trace(1);
    uint32_t off = c.offset;
    WEQ_UC host[NI_ROUTE_HOST_OUT];
    EXPECT_EQ(NiBufIRouteGetNext(&m, &off, 0, NiITrcHdl(), host, nullptr, nullptr, nullptr, nullptr), NIEINVAL);
    EXPECT_EQ(off, c.offset);
    EXPECT_EQ(ErrText(), "NiBufIRouteGetNext: invalid route received");
    EXPECT_NE(trace.Read().find("NiBufIRouteGetNext: invalid route received " + c.trace), std::string::npos);
  }
  // The password may end the area exactly.
  NI_ROUTE_MSG m{};
  NiIPut32(m.data + 16, 6);
  memcpy(m.data + NI_ROUTE_HDR_LEN, "a\0s\0p\0", 6);
  uint32_t off = 0;
  WEQ_UC host[NI_ROUTE_HOST_OUT], serv[NI_ROUTE_SERV_OUT], pass[NI_ROUTE_PASS_OUT];
  ASSERT_EQ(NiBufIRouteGetNext(&m, &off, 0, NiITrcHdl(), host, serv, pass, nullptr, nullptr), WEQ_O_K);
  EXPECT_EQ(off, 6u);
  EXPECT_EQ(std::u16string(pass), u"p");
}

// --- Through routers ------------------------------------------------------------------

std::string Port(const PeerProcess& p) { return std::to_string(p.port()); }

// "/H/127.0.0.1/S/<router>" then the further hops.
std::u16string Via(const PeerProcess& router, const std::string& rest) {
  return U16("/H/127.0.0.1/S/" + Port(router) + rest);
}

class NiRouteConnect : public NiRoute {
 protected:
  PeerProcess echo_{"echo"};
  std::vector<std::string> Far() const { return {"--names", "far=127.0.0.1:" + Port(echo_)}; }
  static std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
};

TEST_F(NiRouteConnect, ThroughOneRouterTheRouteIsAsTheWireTableSays) {
  PeerProcess router("router", Far());
  ASSERT_TRUE(echo_.ok() && router.ok());
  peers::PeerLog log(router);
  NI_HDL h = NI_INVALID_HDL;
  ASSERT_EQ(NiHandle(Via(router, "/P/mine/H/far").c_str(), u"3300", 5000, &h), WEQ_O_K);
  EXPECT_EQ(niconn::Echo(h, "hello through one router"), "hello through one router");
  peers::LogLine l;
  ASSERT_TRUE(log.Wait("IN", "route", &l, 5000));
  const size_t first = std::string("127.0.0.1").size() + 1 + Port(router).size() + 1 + 5;
  const size_t second = std::string("far").size() + 1 + 5 + 1;
  EXPECT_EQ(l.num("ok"), 1) << l.get("why");
  EXPECT_EQ(l.num("bytes"), static_cast<long long>(24 + first + second));
  EXPECT_EQ(l.num("count"), 2);
  EXPECT_EQ(l.num("hops"), 1);                                  // lowered for the first hop
  EXPECT_EQ(l.num("next"), static_cast<long long>(first));      // behind the first entry
  ASSERT_TRUE(log.Wait("IN", "entry", &l, 1000));
  EXPECT_EQ(l.get("host") + " " + l.get("service") + " " + l.get("password"), "127.0.0.1 " + Port(router) + " mine");
  ASSERT_TRUE(log.Wait("IN", "entry", &l, 1000));
  EXPECT_EQ(l.get("host") + " " + l.get("service") + " " + l.get("password"), "far 3300 ");
  EXPECT_TRUE(log.Wait("OUT", "pong", nullptr, 1000));
  EXPECT_EQ(Ext(h), nullptr);  // the handshake's extension is gone
  EXPECT_EQ(NiCloseHandle(h), WEQ_O_K);
  EXPECT_TRUE(log.Wait("EVENT", "relay-ended", nullptr, 5000));
}

TEST_F(NiRouteConnect, ThroughTwoRoutersTheSecondKnownOnlyToTheFirst) {
  PeerProcess r2("router", Far());
  PeerProcess r1("router", {"--names", "r2=127.0.0.1:" + Port(r2)});
  ASSERT_TRUE(r1.ok() && r2.ok());
  peers::PeerLog log1(r1), log2(r2);
  // Message mode, buffered, waiting for the answer.
  NI_HDL h = NI_INVALID_HDL;
  ASSERT_EQ(NiBufHandle(Via(r1, "/H/r2/H/far").c_str(), u"sapgw00", NI_BLOCK, &h), WEQ_O_K);
  ASSERT_NE(Ext(h), nullptr);
  EXPECT_EQ(Ext(h)->status + 10 * Ext(h)->hsCount, NIBUF_STAT_OK);
  EXPECT_EQ(niconn::Echo(h, "hello"), "hello");
  // r1 moved the offset behind "r2\03299\0\0" and lowered the count.
  const size_t first = std::string("127.0.0.1").size() + 1 + Port(r1).size() + 2;
  peers::LogLine fwd, l;
  ASSERT_TRUE(log1.Wait("OUT", "route", &fwd, 5000));
  EXPECT_EQ(fwd.num("hops"), 1);
  EXPECT_EQ(fwd.num("next"), static_cast<long long>(first + 9));
  ASSERT_TRUE(log2.Wait("IN", "route", &l, 5000));
  EXPECT_EQ(l.num("hops"), 1);
  EXPECT_EQ(l.num("next"), fwd.num("next"));
  EXPECT_EQ(l.num("count"), 3);
  ASSERT_TRUE(log2.Wait("IN", "entry", &l, 1000, "index", "2"));
  EXPECT_EQ(l.get("host") + "|" + l.get("service"), "far|sapgw00");
  EXPECT_TRUE(log2.Wait("OUT", "pong", nullptr, 1000));
  NiCloseHandle(h);

  // Raw mode at the far end: the route itself still goes framed.
  NITAB* rec = nullptr;
  ASSERT_EQ(NiBufIConnect(Via(r1, "/H/r2/H/far").c_str(), u"x", nullptr, 0, 0, NI_BLOCK, 1, 1, nullptr, &rec),
            WEQ_O_K);
  h = NiIHdlNo(rec);
  EXPECT_EQ(Ext(h)->talkMode, NI_RAW_IO);
  EXPECT_EQ(niconn::Echo(h, "raw bytes"), "raw bytes");
  ASSERT_TRUE(log2.Wait("IN", "route", &l, 5000));
  EXPECT_EQ(l.num("mode"), 1);
  NiCloseHandle(h);
}

TEST_F(NiRouteConnect, RouterRefusalsReachTheCallerWithTheRoutersText) {
  uint16_t nobody = peers::FreePort(AF_INET);
  struct Case {
    std::vector<std::string> args;
    std::string rest;
    NI_RC rc;
  } cases[] = {
      {Far(), "/H/nowhere", NIEROUT_HOST_UNKNOWN},
      {{"--names", "far=127.0.0.1:" + std::to_string(nobody)}, "/H/far", NIEROUT_CONN_REFUSED},
      {With(Far(), {"--password", "right"}), "/P/wrong/H/far", NIEROUT_PERM_DENIED},
      {With(Far(), {"--deny", "x,far"}), "/H/far", NIEROUT_PERM_DENIED},
      // An NI version below 29 leaves the opcode byte (1, a version request) unread.
      {With(Far(), {"--answer", "refuse:-97", "--ni-version", "28"}), "/H/far", NIEROUT_CANCELED},
      {With(Far(), {"--fail", "-104", "--trickle", "1"}), "/H/far", NIEROUT_SNC_FAILURE},
  };
  for (const Case& c : cases) {
    for (bool buffered : {false, true}) {
      PeerProcess router("router", c.args);
      ASSERT_TRUE(router.ok());
      peers::PeerLog log(router);
      SCOPED_TRACE(c.rest + (buffered ? " buffered" : ""));
      const int fds = peers::OpenFdCount(), free0 = NiIFreeHandles();
      NI_HDL h = 77;
      std::u16string route = Via(router, c.rest);
      EXPECT_EQ(buffered ? NiBufHandle(route.c_str(), u"1", NI_BLOCK, &h) : NiHandle(route.c_str(), u"1", 5000, &h),
                c.rc);
      peers::LogLine l;
      ASSERT_TRUE(log.Wait("OUT", "rterr", &l, 5000));
      EXPECT_EQ(l.num("rc"), c.rc);
      EXPECT_EQ(ErrText() + "|" + ToUtf8(ErrGetFld(ERR_FLD_RC)), l.get("text") + "|" + std::to_string(c.rc));
      EXPECT_EQ(h, NI_INVALID_HDL);
      EXPECT_EQ(peers::OpenFdCount() - fds + NiIFreeHandles() - free0, 0);  // nothing left behind
    }
  }
}

TEST_F(NiRouteConnect, AnUnbufferedTimeOutLeavesNoHandleOrDescriptor) {
  PeerProcess router("router", With(Far(), {"--answer", "never"}));
  ASSERT_TRUE(router.ok());
  peers::PeerLog log(router);
  const int fds = peers::OpenFdCount(), free0 = NiIFreeHandles();
  NI_HDL h = 5;
  std::u16string route = Via(router, "/H/far");
  EXPECT_EQ(NiHandle(route.c_str(), u"1", 300, &h), NIETIMEOUT);
  EXPECT_EQ(h, NI_INVALID_HDL);
  EXPECT_EQ(ErrText(), "NiBufIConnect: route connect '" + ToUtf8(route) + "' timeout");
  EXPECT_TRUE(log.Wait("EVENT", "never", nullptr, 5000));
  EXPECT_EQ(peers::OpenFdCount() - fds + NiIFreeHandles() - free0, 0);
}

TEST_F(NiRouteConnect, ABufferedConnectCompletesLaterAndItsQueueFollowsTheAnswer) {
  PeerProcess router("router", With(Far(), {"--answer", "delay:300"}));
  peers::PeerLog log(router);
  NI_HDL h = NI_INVALID_HDL;
  NI_RC rc = NiBufHandle(Via(router, "/H/far").c_str(), u"1", 0, &h);
  ASSERT_TRUE(rc == WEQ_O_K || rc == NIECONN_PENDING) << rc;
  ASSERT_NE(h, NI_INVALID_HDL);
  EXPECT_EQ(Ext(h)->status, NIBUF_STAT_CONN_WAIT);
  EXPECT_EQ(Ext(h)->localPeer, 0);
  NI_PARAM_DATA q{NIHP_MAXQUEUE, NI_DT_UINT, {}};
  q.value.uint_val = 10;
  ASSERT_EQ(NiSetHdlParamEx(h, &q), WEQ_O_K);
  for (const char* text : {"m1", "m2", "m3"}) {
    NIBUF* b = nullptr;
    ASSERT_EQ(NiBufAlloc2(&b, 2, u"t", nullptr), WEQ_O_K);
    memcpy(b->data, text, 2);
    b->len = 2;
    ASSERT_EQ(NiBufSend(h, &b, 0), WEQ_O_K);
    EXPECT_EQ(b, nullptr);
  }
  peers::LogLine l;
  ASSERT_TRUE(log.Wait("EVENT", "delayed", &l, 5000));
  EXPECT_EQ(l.num("ms"), 300);
  EXPECT_EQ(l.num("early"), 0);  // nothing of the queue went ahead of the answer
  std::vector<std::string> got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (got.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    NIBUF* b = nullptr;
    rc = NiBufReceive(h, &b, 1000);
    if (rc == WEQ_O_K) {
      got.emplace_back(reinterpret_cast<char*>(b->data), b->len);
      NiBufFree2(&b);
    } else {
      ASSERT_EQ(rc, NIETIMEOUT);
    }
  }
  EXPECT_EQ(got, (std::vector<std::string>{"m1", "m2", "m3"}));
  EXPECT_EQ(Ext(h)->status, NIBUF_STAT_OK);
  NiCloseHandle(h);
}

TEST_F(NiRouteConnect, WhatComesBeforeTheAnswer) {
  const std::string pong = peers::HexOf(std::string("NI_PONG\0", 8));
  // "NI_RTERR", 0, NI version 40, opcode 2, 0, rc -13, no text, four zero bytes.
  const std::string versionReply = "4e495f525445525200280200fffffff30000000000000000";
  struct Case {
    std::vector<std::string> args;
    NI_RC rc;
    const char *dir, *kind, *what;
    std::string key, value;  // a field of that line
  } cases[] = {
      {{"--before", "ping"}, WEQ_O_K, "IN", "answer", "ping", "bytes", pong},
      {{"--before", "version"}, WEQ_O_K, "IN", "answer", "version", "bytes", versionReply},
      {{"--before", "ping,version", "--trickle", "1"}, WEQ_O_K, "IN", "answer", "version", "bytes", versionReply},
      {{"--before", "data"}, NIEINTERN, "OUT", "before", "data", "what", "data"},
      {{"--before", "text100"}, NIEINTERN, "OUT", "before", "text100", "textlen", "100"},
      {{"--before", "textffff"}, NIEINTERN, "OUT", "before", "textffff", "textlen", "4294967280"},
      {{"--answer", "close"}, NIECONN_BROKEN, "EVENT", "close", "", "", ""},
  };
  for (const Case& c : cases) {
    for (bool buffered : {false, true}) {
      SCOPED_TRACE(c.args[1] + (buffered ? " buffered" : ""));
      PeerProcess router("router", With(Far(), c.args));
      peers::PeerLog log(router);
      NI_HDL h = NI_INVALID_HDL;
      std::u16string route = Via(router, "/H/far");
      EXPECT_EQ(buffered ? NiBufHandle(route.c_str(), u"1", NI_BLOCK, &h) : NiHandle(route.c_str(), u"1", 5000, &h),
                c.rc);
      peers::LogLine l;
      ASSERT_TRUE(c.what[0] != 0 ? log.Wait(c.dir, c.kind, &l, 5000, "what", c.what) : log.Wait(c.dir, c.kind, &l, 5000));
      if (!c.key.empty()) {
        EXPECT_EQ(l.get(c.key), c.value);
      }
      if (c.rc == NIEINTERN) {
        EXPECT_EQ(ErrText(), "NiBufIIn: invalid data received");
      }
      if (c.rc != WEQ_O_K) continue;
      if (!buffered) {
        EXPECT_EQ(niconn::Echo(h, "after " + c.args[1]), "after " + c.args[1]);
      }
      NiCloseHandle(h);
    }
  }
}

TEST(NiRouteHosts, TheHostOfAFailedHopIsAskedForAnewAndNeverCut) {
  nihsfake::FakeScope fake;
  ASSERT_EQ(NiInit(), WEQ_O_K);
  fake.AddHost(u"hosta", {nihsfake::V4(127, 0, 0, 1)});
  uint16_t nobody = peers::FreePort(AF_INET);
  NI_HDL h = NI_INVALID_HDL;
  std::u16string route = U16("/H/hosta/S/" + std::to_string(nobody) + "/H/far");
  EXPECT_EQ(NiHandle(route.c_str(), u"1", 5000, &h), NIECONN_REFUSED);
  EXPECT_EQ(nihsfake::S().byName.load(), 1);
  // The refusal keeps its own text, whatever the cache records.
  EXPECT_EQ(ErrText(), "NiPConnect2: 127.0.0.1:" + std::to_string(nobody));
  NI_NODEADDR a;
  ASSERT_EQ(NiHostToAddr(u"hosta", &a), WEQ_O_K);
  EXPECT_EQ(nihsfake::S().byName.load(), 2);  // not cached any more
  ASSERT_EQ(NiHostToAddr(u"hosta", &a), WEQ_O_K);
  EXPECT_EQ(nihsfake::S().byName.load(), 2);

  // A first hop longer than the table's 59 units is resolved whole: the
  // host its first 59 characters name (whose port 1 would refuse) is not
  // the one asked for.
  std::u16string longName(70, u'n');
  fake.AddHost(longName.substr(0, 59), {nihsfake::V4(127, 0, 0, 1)});
  for (const std::u16string& host : {longName, u"/H/" + longName + u"/S/1/H/far"}) {
    EXPECT_EQ(NiHandle(host.c_str(), u"1", 5000, &h), NIEHOST_UNKNOWN);
  }
  NiExit();
}

}  // namespace
