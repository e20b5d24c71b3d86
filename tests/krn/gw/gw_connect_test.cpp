// The gateway connect over a scripted gateway behind the NI operation
// table: the request as a decoder of the record's layout reads it, the
// answer's options and echo, error codes with the gateway's error
// information, short and unknown answers, NI failures and the
// identification block; after every failure the connection is closed and
// both handles are -1.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using tovtest::ToUtf8;

// What the scripted gateway does and what it saw.
struct Gateway {
  NI_RC connectRc = 0;
  NI_HDL handle = 9;
  std::vector<NI_RC> writeRcs;  // by write, 0 beyond the list
  NI_RC readRc = 0;
  std::vector<uint8_t> answer;
  std::vector<std::vector<uint8_t>> written;
  std::u16string host, service;
  uint32_t family = 99;
  int timeout = -1;
  int closes = 0;
  NI_HDL closed = -2;
};

GwNiOps ScriptedOps() {
  GwNiOps ops = GwIDefaultOps();
  ops.connect.fn = [](const WEQ_UC* host, const WEQ_UC* service, int32_t timeout, NI_HDL* hdl, uint32_t family,
                      void* ctx) -> NI_RC {
    auto* g = static_cast<Gateway*>(ctx);
    g->host = host, g->service = service, g->family = family, g->timeout = timeout;
    *hdl = g->connectRc == 0 ? g->handle : NI_INVALID_HDL;
    return g->connectRc;
  };
  ops.write.fn = [](NI_HDL, const void* data, int len, int, uint32_t* written, void* ctx) -> NI_RC {
    auto* g = static_cast<Gateway*>(ctx);
    size_t i = g->written.size();
    NI_RC rc = i < g->writeRcs.size() ? g->writeRcs[i] : 0;
    auto* p = static_cast<const uint8_t*>(data);
    g->written.emplace_back(p, p + len);
    *written = rc == 0 ? static_cast<uint32_t>(len) : 0;
    return rc;
  };
  ops.read.fn = [](NI_HDL, void* buf, int len, int, uint32_t* read, void* ctx) -> NI_RC {
    auto* g = static_cast<Gateway*>(ctx);
    if (g->readRc != 0) return g->readRc;
    size_t n = std::min(g->answer.size(), static_cast<size_t>(len));
    if (n > 0) memcpy(buf, g->answer.data(), n);
    *read = static_cast<uint32_t>(n);
    return 0;
  };
  ops.close.fn = [](NI_HDL hdl, void* ctx) -> NI_RC {
    auto* g = static_cast<Gateway*>(ctx);
    g->closes++;
    g->closed = hdl;
    return 0;
  };
  return ops;
}

// An answer to a request of the given version.
std::vector<uint8_t> Answer(int version, uint8_t hdrVersion, uint8_t info, int echo, int32_t code = 0) {
  std::vector<uint8_t> a(version == 3 ? 136 : 64, 0);
  a[0] = static_cast<uint8_t>(version);
  a[54] = hdrVersion;
  a[55] = info;
  size_t e = version == 3 ? 130 : 58;
  a[e] = static_cast<uint8_t>(code >> 24), a[e + 1] = static_cast<uint8_t>(code >> 16);
  a[e + 2] = static_cast<uint8_t>(code >> 8), a[e + 3] = static_cast<uint8_t>(code);
  a[version == 3 ? 134 : 62] = static_cast<uint8_t>(echo);
  return a;
}

NI_NODEADDR Addr(std::initializer_list<int> bytes) {
  NI_NODEADDR a{};
  int i = 0;
  for (int b : bytes) a.addr[i++] = static_cast<WEQ_RAW>(b);
  return a;
}
const NI_NODEADDR kV4 = Addr({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1});
const NI_NODEADDR kV6 = Addr({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

class GwConnect : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    GwNiOps ops = ScriptedOps();
    GwISetOps(&ops);
    ErrClear();
  }
  void TearDown() override { GwISetOps(nullptr); }

  int Connect(uint8_t type, const NI_NODEADDR* local, const WEQ_UC* service = u"myprog",
              const WEQ_UC* localHost = u"clienthost") {
    hdl_ = 55, hdl2_ = 66, version_ = 0, info_ = 0;
    return GwIConnect(type, u"gwhost", nullptr, u"sapgw00", localHost, local, service, &hdl_, &hdl2_, 0,
                      &version_, &info_, 500, 0, -1, u"1100", &gw_);
  }
  void ExpectClosed() {
    EXPECT_EQ(hdl_, NI_INVALID_HDL);
    EXPECT_EQ(hdl2_, NI_INVALID_HDL);
    EXPECT_EQ(gw_.closes, 1);
    EXPECT_EQ(gw_.closed, gw_.handle);
  }
  Gateway gw_;
  NI_HDL hdl_ = 0, hdl2_ = 0;
  uint8_t version_ = 0, info_ = 0;
};

std::string Text(const std::vector<uint8_t>& r, size_t off, size_t n) {
  return std::string(reinterpret_cast<const char*>(r.data() + off), n);
}

// The request by the local address: an IPv4 (mapped) address gives the
// 64-byte version 2, an IPv6 address the 136-byte version 3.
TEST_F(GwConnect, RequestFieldsByLocalAddress) {
  struct Case {
    const NI_NODEADDR* local;
    size_t len;
    int version;
  };
  for (const Case& c : {Case{&kV4, 64, 2}, Case{&kV6, 136, 3}}) {
    SCOPED_TRACE(c.version);
    gw_ = Gateway();
    gw_.answer = Answer(c.version, 6, 0, 0);
    ASSERT_EQ(Connect(3, c.local, u"a_long_program_name"), 0);
    EXPECT_EQ(ToUtf8(gw_.host.c_str()), "gwhost");
    EXPECT_EQ(ToUtf8(gw_.service.c_str()), "sapgw00");
    EXPECT_EQ(gw_.family, 0u);
    EXPECT_EQ(gw_.timeout, 500);
    ASSERT_EQ(gw_.written.size(), 1u) << "type 3 sends the request only";
    const std::vector<uint8_t>& r = gw_.written[0];
    ASSERT_EQ(r.size(), c.len);
    EXPECT_EQ(r[0], c.version);
    EXPECT_EQ(r[1], 3);
    EXPECT_EQ(memcmp(r.data() + 2, c.local->addr + 12, 4), 0);
    EXPECT_EQ(Text(r, 6, 4), std::string(4, '\0'));
    EXPECT_EQ(Text(r, 10, 10), std::string("a_long_pr\0", 10));
    EXPECT_EQ(Text(r, 20, 4), "1100");
    EXPECT_EQ(Text(r, 24, 6), std::string(6, '\0'));
    EXPECT_EQ(Text(r, 30, 8), "clientho");
    EXPECT_EQ(Text(r, 38, 8), "a_long_p");
    EXPECT_EQ(Text(r, 46, 8), "        ");
    EXPECT_EQ(r[54], 6);
    EXPECT_EQ(r[55], 0xCB);
    EXPECT_EQ(r[56], 0xFF);
    EXPECT_EQ(r[57], 0xFF);
    if (c.version == 3) {
      EXPECT_EQ(memcmp(r.data() + 58, c.local->addr, 16), 0);
      for (size_t i = 74; i < 136; ++i) EXPECT_EQ(r[i], 0) << i;
    } else {
      for (size_t i = 58; i < 64; ++i) EXPECT_EQ(r[i], 0) << i;
    }
    EXPECT_EQ(hdl_, gw_.handle);
    EXPECT_EQ(hdl2_, gw_.handle);
    EXPECT_EQ(gw_.closes, 0);
  }
}

TEST_F(GwConnect, AcceptInfoAndEchoWrittenBackOnce) {
  gw_.answer = Answer(3, 5, 0x14, 1);
  ASSERT_EQ(Connect(3, &kV6), 0);
  EXPECT_EQ(version_, 5);
  EXPECT_EQ(info_, 0x14);
  ASSERT_EQ(gw_.written.size(), 2u);
  EXPECT_EQ(gw_.written[1], gw_.answer);
  WEQ_UC text[GW_FLAGS_TEXT_LEN];
  EXPECT_EQ(ToUtf8(GwAcceptInfoText(info_, text)), "SNC CODE_PAGE ");
}

// At trace level 2 the connect's steps are traced with the names of the
// answer's options and of the gateway's error code.
TEST_F(GwConnect, TraceLinesNameOptionsAndCodes) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    CTrcLevel.store(2);
    GwNiOps ops = ScriptedOps();
    GwISetOps(&ops);
    Gateway g;
    g.answer = Answer(3, 6, 0x14, 1);
    NI_HDL h, h2;
    uint8_t v;
    int ok = GwIConnect(3, u"gwhost", nullptr, u"sapgw00", u"me", &kV6, u"p", &h, &h2, 0, &v, nullptr, 500, 0, -1,
                        nullptr, &g);
    g = Gateway();
    g.answer = Answer(2, 6, 0, 0, 726);
    int refused = GwIConnect(3, u"gwhost", nullptr, u"sapgw00", u"me", &kV4, u"p", &h, &h2, 0, &v, nullptr, 500, 0,
                             -1, nullptr, &g);
    g = Gateway();
    g.readRc = NIETIMEOUT;
    int silent = GwIConnect(3, u"gwhost", nullptr, u"sapgw00", u"me", &kV6, u"p", &h, &h2, 0, &v, nullptr, 500, 0,
                            -1, nullptr, &g);
    g = Gateway();
    g.writeRcs = {NIECONN_BROKEN};
    int broken = GwIConnect(3, u"gwhost", nullptr, u"sapgw00", u"me", &kV6, u"p", &h, &h2, 0, &v, nullptr, 500, 0,
                            -1, nullptr, &g);
    return ok == 0 && refused == 726 && silent == 223 && broken == 224 ? 0 : 1;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char* line : {
           "GwIConnect: connect to gateway gwhost / sapgw00 (timeout=500)",
           "GwIGenConnBuffer: vers=3",
           "GwIGenConnBuffer2: vers=2",
           "GwIConnCheckAnsw: rem appc conn version: 3",
           "GwIConnCheckAnsw: rem appchdr version: 6",
           "GwIConnCheckAnsw: rem accept info: 0x14 (SNC CODE_PAGE )",
           "GwIConnCheckAnsw: rem echo data: 1",
           "GwIConnCheckAnsw: found GW_ACCEPT_SNC",
           "GwIConnect: connect to gateway gwhost / sapgw00 o.k.",
           "GwIConnCheckAnsw: received error code 726 (GW_T8_NOT_CONNECTED) from gateway",
           "GwIConnect: GwIConnCheckAnsw to gwhost / sapgw00 failed (726)",
           "GwIConnect: GwRead to gwhost / sapgw00 failed (NIETIMEOUT)",
           "GwIConnect: GwWrite to gwhost / sapgw00 failed, (NIECONN_BROKEN)",
       })
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
}

// The gateway's error code with its error information behind the record.
TEST_F(GwConnect, ErrorCodeCarriesTheGatewaysErrorInformation) {
  ErrSetInfo(u"GATEWAY", 1, u"gwpeer.c", 17, u"no T8 here", 726, u"peer detail");
  std::vector<uint8_t> net(4096);
  size_t netLen = 0;
  ASSERT_EQ(ErrCpIntToNet(net.data(), &netLen, net.size()), 0);
  net.resize(netLen);
  ErrClear();
  gw_.answer = Answer(3, 6, 0, 0, 726);
  gw_.answer.insert(gw_.answer.end(), net.begin(), net.end());
  ASSERT_LE(gw_.answer.size(), 636u);
  EXPECT_EQ(Connect(3, &kV6), 726);
  ExpectClosed();
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "no T8 here");
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_COMPONENT)), "GATEWAY");
}

TEST_F(GwConnect, ShortAndUnknownAnswersAreRefused) {
  struct Case {
    std::vector<uint8_t> answer;
    const NI_NODEADDR* local;
    int rc;
  };
  std::vector<uint8_t> hundred = Answer(3, 6, 0, 0);
  hundred.resize(100);
  std::vector<uint8_t> v2short = Answer(2, 6, 0, 0);
  v2short.resize(63);
  const Case cases[] = {
      {hundred, &kV6, 240},          {v2short, &kV4, 240},          {{}, &kV6, 240},
      {Answer(3, 0, 0, 0), &kV6, 246}, {Answer(3, 7, 0, 0), &kV6, 246}, {Answer(2, 200, 0, 0), &kV4, 246},
      {Answer(2, 6, 0, 0, 231), &kV4, 231},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.answer.size() << " bytes, rc " << c.rc);
    gw_ = Gateway();
    gw_.answer = c.answer;
    EXPECT_EQ(Connect(3, c.local), c.rc);
    ExpectClosed();
    EXPECT_EQ(version_, 0);
  }
}

TEST_F(GwConnect, ConnectFailuresMapToGatewayCodes) {
  const std::pair<NI_RC, int> cases[] = {
      {NIECONN_REFUSED, 236}, {NIESERV_UNKNOWN, 665}, {NIEHOST_UNKNOWN, 664}, {NIETIMEOUT, 666}, {NIEINTERN, 666}};
  for (auto [ni, gwRc] : cases) {
    gw_ = Gateway();
    gw_.connectRc = ni;
    EXPECT_EQ(Connect(3, &kV6), gwRc) << ni;
    EXPECT_EQ(hdl_, NI_INVALID_HDL);
    EXPECT_EQ(hdl2_, NI_INVALID_HDL);
    EXPECT_EQ(gw_.closes, 0);
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_RC)), std::to_string(ni));
  }
  gw_ = Gateway();
  gw_.handle = -5;
  EXPECT_EQ(Connect(3, &kV6), 636);
  EXPECT_EQ(hdl_, NI_INVALID_HDL);
  // No host and no address.
  NI_HDL h = 3, h2 = 4;
  EXPECT_EQ(GwIConnect(3, u"", nullptr, u"sapgw00", u"me", &kV6, u"p", &h, &h2, 0, nullptr, nullptr, 100, 0, -1,
                       nullptr, &gw_),
            664);
  EXPECT_EQ(h, NI_INVALID_HDL);
  EXPECT_EQ(h2, NI_INVALID_HDL);
}

TEST_F(GwConnect, WriteAndReadFailuresCloseAndRecordTheOperation) {
  struct Case {
    std::vector<NI_RC> writes;
    NI_RC read;
    uint8_t type;
    int echo;
    int rc;
    const char* sysCall;
  };
  const Case cases[] = {
      {{NIETIMEOUT}, 0, 3, 0, 224, "GwWrite"},
      {{0}, NIETIMEOUT, 3, 0, 223, "GwRead"},
      {{0}, NIECONN_BROKEN, 3, 0, 223, "GwRead"},
      {{0, NIECONN_BROKEN}, 0, 3, 1, 224, "GwWrite"},
      {{0, NIETIMEOUT}, 0, 11, 0, 224, "GwWrite"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sysCall);
    gw_ = Gateway();
    gw_.writeRcs = c.writes;
    gw_.readRc = c.read;
    gw_.answer = Answer(3, 6, 0, c.echo);
    EXPECT_EQ(Connect(c.type, &kV6), c.rc);
    ExpectClosed();
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_SYSCALL)), c.sysCall);
    NI_RC ni = c.read != 0 ? c.read : c.writes.back();
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_RC)), std::to_string(ni));
    // A time-out names its length; other codes keep NI's own detail.
    if (ni == NIETIMEOUT) {
      EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)), "timeout 500 msecs");
    } else {
      EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)).find("timeout"), std::string::npos);
    }
  }
  // The compatibility flag does not change a read failure of a type that
  // has no old connect.
  gw_ = Gateway();
  gw_.readRc = NIETIMEOUT;
  NI_HDL h = 1, h2 = 1;
  EXPECT_EQ(GwIConnect(11, u"gw", nullptr, u"3300", u"me", &kV6, u"p", &h, &h2, 0, nullptr, nullptr, 100, 1, -1,
                       nullptr, &gw_),
            223);
  EXPECT_EQ(h, NI_INVALID_HDL);
}

// A failed answer read with the compatibility flag and type 3 or 4 turns to
// the old connect after closing the new connection: a route of two hops
// cannot take it (741); names that do not resolve end it before anything
// listens (local host 497; gateway host of the route's one hop 666); the
// outputs say version 6 without options once the old connect is tried. Its
// steps are traced at level 2.
TEST_F(GwConnect, OldConnectFallbackRefusals) {
  struct Case {
    const WEQ_UC* gwHost;
    const WEQ_UC* localHost;
    uint8_t type;
    int rc;
    uint8_t version;
    const char* line;
  };
  const Case cases[] = {
      {u"/H/router/S/3299/H/gw", u"localhost", 3, 741, 0,
       "GwIConnect: no old connect with route /H/router/S/3299/H/gw"},
      {u"/H/%%gw/S/3300", u"localhost", 3, 666, 6,
       "GwIConnect: new connect to /H/%%gw/S/3300 / 3300 failed rc=NIECONN_BROKEN, try old one"},
      {u"%%gw", u"localhost", 4, 666, 6, "GwIOldConnect: no address of gateway host %%gw (rc=NIEHOST_UNKNOWN)"},
      {u"gw", u"%%me", 3, 497, 6, "GwIOldConnect: GwHostToAddr (rc=NIEHOST_UNKNOWN)"},
  };
  FILE* trc = tmpfile();
  CTRC_HDL saved = CTrcGlobalHdl.load();
  CTrcGlobalHdl.store(trc);
  CTrcLevel.store(2);
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.gwHost));
    gw_ = Gateway();
    gw_.readRc = NIECONN_BROKEN;
    NI_HDL h = 1, h2 = 1;
    uint8_t version = 0, info = 0x55;
    EXPECT_EQ(GwIConnect(c.type, c.gwHost, nullptr, u"3300", c.localHost, &kV4, u"p", &h, &h2, 0, &version, &info,
                         200, 1, -1, nullptr, &gw_),
              c.rc);
    EXPECT_EQ(h, NI_INVALID_HDL);
    EXPECT_EQ(h2, NI_INVALID_HDL);
    EXPECT_EQ(gw_.closes, 1) << "the new connection is closed first";
    EXPECT_EQ(version, c.version);
    EXPECT_EQ(info, c.version == 6 ? 0 : 0x55);
    fflush(trc);
    rewind(trc);
    std::string text(65536, '\0');
    text.resize(fread(text.data(), 1, text.size(), trc));
    EXPECT_NE(text.find(c.line), std::string::npos) << text;
  }
  CTrcLevel.store(0);
  CTrcGlobalHdl.store(saved);
  fclose(trc);
}

std::string IconvUtf8(const std::u16string& s) {
  std::string in(reinterpret_cast<const char*>(s.data()), s.size() * 2), out;
  EXPECT_TRUE(trccheck::Iconv("UTF-8", "UTF-16LE", in, &out));
  return out;
}

// Types 11, 14 and 16 send the identification block after the answer and
// any echo; its texts are UTF-8 as iconv makes them.
TEST_F(GwConnect, IdentificationBlockForRegisteringTypes) {
  const std::u16string host = u"h\u00f6st-\u65e5\u672c";
  const std::u16string service = u"REG_\U0001F600_prog";
  for (uint8_t type : {3, 4, 11, 14, 16}) {
    SCOPED_TRACE(static_cast<int>(type));
    gw_ = Gateway();
    gw_.answer = Answer(3, 6, 0, 1);
    ASSERT_EQ(Connect(type, &kV6, service.c_str(), host.c_str()), 0);
    bool block = type == 11 || type == 14 || type == 16;
    ASSERT_EQ(gw_.written.size(), block ? 3u : 2u);
    if (!block) continue;
    const std::vector<uint8_t>& b = gw_.written[2];
    ASSERT_EQ(b.size(), 512u);
    std::string h = IconvUtf8(host), s = IconvUtf8(service);
    EXPECT_EQ(Text(b, 0, h.size() + 1), h + std::string(1, '\0'));
    EXPECT_EQ(Text(b, 128, s.size() + 1), s + std::string(1, '\0'));
    for (size_t i = h.size() + 1; i < 128; ++i) EXPECT_EQ(b[i], ' ') << i;
    for (size_t i = 128 + s.size() + 1; i < 512; ++i) ASSERT_EQ(b[i], ' ') << i;
  }
}

TEST_F(GwConnect, NamesTooLongForTheBlockFailWith777) {
  const std::u16string ascii64(64, u'S');
  const std::u16string wide(32, u'\u00e9');  // 64 bytes of UTF-8
  const std::u16string host128(128, u'h');
  struct Case {
    const std::u16string* host;
    const std::u16string* service;
    const char* field;
  };
  const std::u16string okHost = u"host", okService = u"svc";
  for (const Case& c : {Case{&okHost, &ascii64, "my_service"}, Case{&okHost, &wide, "my_service"},
                        Case{&host128, &okService, "my_hostname"}}) {
    SCOPED_TRACE(c.field);
    gw_ = Gateway();
    gw_.answer = Answer(3, 6, 0, 0);
    EXPECT_EQ(Connect(11, &kV6, c.service->c_str(), c.host->c_str()), 777);
    ExpectClosed();
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_COMPONENT)), "GWLIB (TCP/IP) with Unicode");
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_RC)), "777");
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), std::string("field = ") + c.field + ", rc=32");
    EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_DETAIL)), "converting to/from net format failed");
    EXPECT_EQ(gw_.written.size(), 1u) << "no block goes out";
  }
  // 63 bytes of service and 127 of host fit.
  const std::u16string s63(63, u'S'), h127(127, u'h');
  gw_ = Gateway();
  gw_.answer = Answer(3, 6, 0, 0);
  EXPECT_EQ(Connect(14, &kV6, s63.c_str(), h127.c_str()), 0);
}

}  // namespace
