// The initialise request as gw_peer decoded it, over IPv4 and (with NI's
// IPv6 in use) over IPv6: the distributed-trace record, long names, the
// user, the partner's address, the kind of client and the entry's index.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "krn/cpic/cpic_client_fixture.h"
#include "peers/gwcodec.h"

namespace {

using cpictest::ConvId;
using tovtest::ToUtf8;

class CpicInit : public cpictest::ClientTest {};

std::string Hex(const std::string& s) { return peers::HexOf(s); }
std::string Padded(const std::string& s, size_t n) { return (s + std::string(n, ' ')).substr(0, n); }

// The initialise request as the peer decoded it, by the options of the layer
// and the gateway: the distributed-trace record, long names, the user, the
// partner's address, the kind of client and the entry's index.
TEST_F(CpicInit, RequestAsThePeerDecodedIt) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> peerArgs;
    std::u16string lu;
    std::vector<std::pair<const char*, std::string>> want;
  };
  const std::string longLu = "partner.host.with.a.long.name";
  const Case cases[] = {
      {"distributed trace",
       {{"USERNAME", "tester"}},
       {"--accept-info", "80"},
       u"partner.host.with.a.long.name",
       {{"info", "5"}, {"info2", "1"}, {"info3", "128"}, {"gwreq", "1"}, {"p.user", "tester      "},
        {"p.longlu", Padded(longLu, 128)}, {"p.longtp", Padded("echo.program.of.the.peer", 64)}}},
      {"no distributed trace",
       {{"USERNAME", "tester"}},
       {},
       u"partner",
       {{"info3", "0"}, {"gwreq", "0"}, {"p.dt", std::string(90, '0')}, {"p.longlu", Padded("partner", 128)}}},
      {"IPv4 partner", {{"CPIC_WITH_LU_ADDR", "1"}}, {}, u"127.0.0.1",
       {{"info", "7"}, {"info2", "1"}, {"p.ipv4", "127.0.0.1"}, {"p.user", Padded(host, 12)}}},
      // ::1 resolves only while NI uses IPv6.
      {"IPv6 partner", {{"CPIC_WITH_LU_ADDR", "1"}}, {}, u"::1",
       gwtest::Family() == 6
           ? std::vector<std::pair<const char*, std::string>>{{"info", "5"}, {"info2", "3"},
                                                              {"p.addr16", std::string(30, '0') + "01"}}
           : std::vector<std::pair<const char*, std::string>>{{"info", "5"}, {"info2", "1"},
                                                              {"p.addr16", std::string(32, '0')}}},
      {"no address for '*'", {{"CPIC_WITH_LU_ADDR", "1"}}, {}, u"*", {{"info", "5"}, {"info2", "1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart(c.env);
    StartPeer(c.peerArgs);
    ConvId id;
    ASSERT_EQ(Init(id, u"echo.program.of.the.peer", c.lu), CM_OK) << peer().Text();
    peers::LogLine l = Request(1);
    gwtest::ExpectFields(l, {{"check", "ok"}, {"len", "420"}, {"proto", "2"}, {"commidx", "0"}, {"connidx", "-1"},
                             {"convid", "        "}, {"parlen", "340"}, {"p.zeros", "1"}});
    for (const auto& [k, v] : c.want) EXPECT_EQ(l.get(k), v) << k;
    // The request area: DEST, the first 8 of LU and TP, the letter and the
    // client kind.
    std::string lu8 = Padded(ToUtf8(c.lu), 8).substr(0, 8);
    EXPECT_EQ(l.get("area").substr(0, 52), Hex("DEST1   " + lu8 + "echo.pro" + "I\x01"));
    if (l.get("info3") == "128") {
      // The record: version 1, "CPIC", root id, connection id, sequence 1.
      std::string dt = peers::FromHex(l.get("p.dt"));
      EXPECT_EQ(dt.substr(0, 9), std::string("\x01", 1) + "CPIC    ");
      EXPECT_EQ(peers::GetBe32(dt, 41), 1u);
      EXPECT_EQ(std::string(CpicIGlobals().rootId, 16), dt.substr(9, 16));
    }
    EXPECT_EQ(STDEAL(id, nullptr), CM_OK);
  }
}

}  // namespace
