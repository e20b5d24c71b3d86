// Opcode requests without a connection: the requests built only, against
// bytes written from the request tables; client-list records of every
// version against the peers' codec; the record text; logon records built
// and read back, with lengths that lie.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "krn/dptrc/trc_checker.h"
#include "krn/ms/ms.h"
#include "krn/ms/ms_int.h"
#include "ms_client_util.h"
#include "peers/adcodec.h"
#include "peers/mscodec.h"
#include "support/testsupport.h"

namespace {

using adpeer::Hex;

std::string OpText8(const WEQ_UC* s) { return tovtest::ToUtf8(s); }
std::string OpText8n(const WEQ_UC* s, size_t n) { return tovtest::ToUtf8(std::u16string(s, n)); }
std::string OpRaw(const WEQ_RAW* p, int32_t n) { return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)); }

class MsBuildOnly : public ::testing::Test {
 protected:
  void SetUp() override { MsIHdlInit(&h); }
  MS_HDL h;
  WEQ_RAW req[2048];
  int32_t len = -1;
};

TEST_F(MsBuildOnly, RequestsAreOnlyBuilt) {
  ASSERT_EQ(MsIClientList(&h, nullptr, nullptr, 100, 0, 0, req, &len), 0);
  EXPECT_EQ(OpRaw(req, len), Hex("05 00 68 03"));

  ASSERT_EQ(MsSetRelInfoForClient(&h, u"CLIENT", u"720", 720, 3, 0x01020304, 1, -1, req, &len), 0);
  EXPECT_EQ(adpeer::ToHex(OpRaw(req, len)),
            adpeer::ToHex(Hex("43 00 01 00 434c49454e54 00*34 00000007 373230 00*7 000002d0 00000003 01020304")));
  ASSERT_EQ(MsSetRelInfoForClient(&h, nullptr, nullptr, 0, 0, 0, 1, -1, req, &len), 0);
  EXPECT_EQ(OpRaw(req, len), Hex("43 00 01 00 00*40 00000007 00*10 00*12"));

  NI_NODEADDR v4 = mstest::Node("10.1.2.3");
  ASSERT_EQ(MsGetSecurityKeyByIpAdr(&h, &v4, NiAddrToIPv4(&v4), 3300, nullptr, 1, 100, req, &len), 0);
  EXPECT_EQ(OpRaw(req, len), Hex("09 00 02 00 0a010203 0ce4 00*256 00*10 ffff 0a010203"));
  ASSERT_EQ(MsGetSecurityKeyByIpAdr(&h, nullptr, 0, 1, nullptr, 1, 100, req, &len), 0);
  EXPECT_EQ(OpRaw(req, len), Hex("09 00 02 00 00*4 0001 00*256 00*16"));
  // An address that is not IPv4-mapped goes in the 16-byte field alone.
  NI_NODEADDR v6 = mstest::Node("2001:db8::7");
  ASSERT_EQ(MsGetSecurityKeyByIpAdr(&h, &v6, 0, 80, nullptr, 1, 100, req, &len), 0);
  EXPECT_EQ(OpRaw(req, len), Hex("09 00 02 00 00*4 0050 00*256 20010db8 00*11 07"));

  ASSERT_EQ(MsIGetNameByIpAdr(&h, &v6, 3200, nullptr, 1, 100, req, &len, 2), 0);
  EXPECT_EQ(OpRaw(req, len), Hex("46 00 02 00 20010db8 00*11 07 0c80 00*5"));
  ASSERT_EQ(MsIGetNameByIpAdr(&h, &v4, 3200, nullptr, 1, 100, req, &len, 1), 0);
  EXPECT_EQ(OpRaw(req, len), Hex("46 00 01 00 0a010203 0c80 00*17"));

  ASSERT_EQ(MsGetLogon(&h, u"SERVER", 4, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0, 1, 100, req, &len), 0);
  EXPECT_EQ(OpRaw(req, len), Hex("2c 00 01 03 0004 0000 00000000 0006 534552564552 0000 0000 0000 ffff"));
  EXPECT_EQ(h.attached, 0);
}

TEST_F(MsBuildOnly, ArgumentsRefusedBeforeAnything) {
  EXPECT_EQ(MsGetLogon(&h, nullptr, 4, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0, 1, 100, req, &len),
            MSOP_EINVAL);
  EXPECT_EQ(MsGetLogon(&h, u"X", 38, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0, 1, 100, req, &len),
            MSOP_EINVAL);
  EXPECT_EQ(MsGetLogon(&h, u"X", -1, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0, 1, 100, req, &len),
            MSOP_EINVAL);
  for (int prot : {1, 38, 0, -5})
    EXPECT_EQ(MsGetNextLogon(prot, nullptr, 0, nullptr, nullptr, nullptr, 0, 1, 100), MSOP_EINVAL) << prot;
  EXPECT_EQ(MsIOpMsflag(1, -2), MS_REQUEST);
  EXPECT_EQ(MsIOpMsflag(0, -2), MS_MSG);
  EXPECT_EQ(MsIOpMsflag(0, 100), MS_REQUEST);
  EXPECT_EQ(MsIOpMsflag(0, -1), MS_REQUEST);
}

mspeer::Client SampleClient() {
  mspeer::Client c;
  c.name = "APPSRV_A_01";
  c.host = "host-a.example";
  c.serv = "sapdp01";
  c.types = 0x23;
  c.v4 = {192, 168, 7, 9};
  std::array<uint8_t, 16> v6{};
  mspeer::Addr16("fd00::9", &v6);
  c.v6 = v6;
  c.port = 3201;
  c.state = 1;
  c.sys = 0x00000005;
  return c;
}

TEST(MsList, EveryRecordVersionIntoTheSameRecord) {
  mspeer::Client c = SampleClient();
  for (int v = 1; v <= 4; ++v) {
    std::string wire = mspeer::ClientRecord(c, v);
    ASSERT_EQ(wire.size(), mspeer::ClientRecordSize(v));
    MSXXLIST out;
    memset(&out, 0x5A, sizeof out);
    ASSERT_EQ(MsConvMsxxlist(&out, 4, reinterpret_cast<const WEQ_RAW*>(wire.data()), v), 0) << v;
    EXPECT_EQ(OpText8n(out.client, 40), mspeer::Pad(v == 1 ? c.name.substr(0, 20) : c.name, 40)) << v;
    EXPECT_EQ(OpText8n(out.host, 64), mspeer::Pad(c.host, 64)) << v;
    EXPECT_EQ(OpText8n(out.service, 20), mspeer::Pad(c.serv, 20)) << v;
    EXPECT_EQ(out.msgtypes, 0x23);
    EXPECT_EQ(OpRaw(out.hostaddrv4, 4), Hex("c0a80709"));
    EXPECT_EQ(OpRaw(out.servno, 2), Hex("0c81"));
    std::string want6 = v <= 2 ? Hex("00*10 ffff c0a80709") : Hex("fd00 00*13 09");
    EXPECT_EQ(OpRaw(out.hostaddr.addr, 16), want6) << v;
    EXPECT_EQ(out.status, v == 1 ? 0 : 1) << v;
    EXPECT_EQ(OpRaw(out.sysservice, 4), v == 4 ? Hex("00000005") : Hex("00000000")) << v;
  }
  std::string wire = mspeer::ClientRecord(c, 4);
  MSXXLIST out;
  EXPECT_EQ(MsConvMsxxlist(&out, 3, reinterpret_cast<const WEQ_RAW*>(wire.data()), 4), -1);
  for (int bad : {0, 5, 101, -1})
    EXPECT_EQ(MsConvMsxxlist(&out, 200, reinterpret_cast<const WEQ_RAW*>(wire.data()), bad), -1) << bad;
}

TEST(MsList, RecordText) {
  mspeer::Client c = SampleClient();
  std::string wire = mspeer::ClientRecord(c, 4);
  MSXXLIST rec;
  ASSERT_EQ(MsConvMsxxlist(&rec, 4, reinterpret_cast<const WEQ_RAW*>(wire.data()), 4), 0);
  std::string want =
      "client name           : APPSRV_A_01         \n"
      "client host           : host-a.example      \n"
      "client address (IPv6) : fd00::9\n"
      "client address (IPv4) : 192.168.7.9\n"
      "client services       : sapdp01             \n"
      "client port           : 3201\n"
      "status                : ACTIVE\n"
      "message types         : SVA SVB SVF \n"
      "system services       : NONE J2EE \n";
  WEQ_UC text[1024];
  int32_t n = 1024;
  ASSERT_EQ(MsIClientInfoText(&rec, text, &n, 2), 0);
  EXPECT_EQ(OpText8(text), want);
  EXPECT_EQ(n, static_cast<int32_t>(want.size()));
  // A small buffer gets the text cut and terminated.
  n = 8;
  ASSERT_EQ(MsIClientInfoText(&rec, text, &n, 0), 0);
  EXPECT_EQ(OpText8(text), "client ");
  EXPECT_EQ(n, 8);
  // Flag 1 writes it to the trace.
  trccheck::TraceFile trace(1);
  MsIClientInfoText(&rec, nullptr, nullptr, 1);
  std::string t;
  for (const trccheck::Line& l : trace.Body()) t += l.text + "\n";
  EXPECT_EQ(t, want);
}

TEST(MsLogonData, BuiltAgainstTheTableAndReadBack) {
  WEQ_RAW rec[MS_LOGON_REC_MAX];
  NI_NODEADDR v6 = mstest::Node("2001:db8::1");
  NI_NODEADDR v4 = mstest::Node("10.0.0.5");
  int32_t n = MsIBuildLogonData(rec, u"SRV", 4, 3300, nullptr, NiAddrToIPv4(&v4), u"RFC", u"hostx", u"m");
  EXPECT_EQ(OpRaw(rec, n), Hex("0004 0ce4 0a000005 0003 535256 0003 524643 0005 686f737478 0001 6d ffff"));
  n = MsIBuildLogonData(rec, u"SRV", 4, 0, &v6, 0, nullptr, nullptr, nullptr);
  EXPECT_EQ(OpRaw(rec, n), Hex("0004 0000 00000000 0003 535256 0000 0000 0000 0010 20010db8 00*11 01 ffff"));
  // The peers' codec reads the same record.
  mspeer::Logon l;
  ASSERT_TRUE(mspeer::ParseLogon(OpRaw(rec, n), 0, &l));
  EXPECT_TRUE(l.hasV6);
  EXPECT_EQ(l.name, "SRV");
  std::u16string longText(256, u'x');
  EXPECT_EQ(MsIBuildLogonData(rec, longText.c_str(), 4, 0, nullptr, 0, nullptr, nullptr, nullptr), MSEINVAL);

  // Read back: texts cut to the capacities, the IPv6 address replaces the
  // IPv4-mapped one.
  mspeer::Logon w;
  w.prot = 21;
  w.port = 50001;
  w.v4 = {10, 9, 8, 7};
  w.name = "NAME";
  w.protname = "J2EES";
  w.host = "long.host.name";
  w.misc = "misc-text";
  std::string wire = mspeer::LogonRecord(w);
  int32_t prot = 0;
  WEQ_UC host[6], misc[40];
  NI_NODEADDR addr;
  uint32_t ipv4 = 0;
  uint16_t port = 0;
  ASSERT_EQ(MsIExtractLogon(reinterpret_cast<const WEQ_RAW*>(wire.data()), static_cast<int32_t>(wire.size()), &prot,
                            host, 6, &addr, &ipv4, &port, misc, 40),
            0);
  EXPECT_EQ(prot, 21);
  EXPECT_EQ(port, 50001);
  EXPECT_EQ(OpText8(host), "long.");
  EXPECT_EQ(OpText8(misc), "misc-text");
  EXPECT_EQ(OpRaw(addr.addr, 16), Hex("00*10 ffff 0a090807"));
  w.hasV6 = true;
  mspeer::Addr16("fe80::1:2", &w.v6);
  wire = mspeer::LogonRecord(w);
  ASSERT_EQ(MsIExtractLogon(reinterpret_cast<const WEQ_RAW*>(wire.data()), static_cast<int32_t>(wire.size()), &prot,
                            host, 1, &addr, &ipv4, &port, misc, 1),
            0);
  EXPECT_EQ(OpText8(host), "");
  EXPECT_EQ(OpText8(misc), "");
  EXPECT_EQ(OpRaw(addr.addr, 16), Hex("fe80 00*10 0001 0002"));
  // An end mark where a field begins ends the record.
  std::string early = Hex("0002 0000 01020304 0001 41 ffff");
  host[0] = u'#';
  ASSERT_EQ(MsIExtractLogon(reinterpret_cast<const WEQ_RAW*>(early.data()), static_cast<int32_t>(early.size()),
                            &prot, host, 6, &addr, nullptr, nullptr, misc, 40),
            0);
  EXPECT_EQ(OpText8(host), "");
}

TEST(MsLogonData, LengthsPastTheEndAreRefused) {
  mspeer::Logon w;
  w.name = "NAME";
  w.host = "hostname";
  w.misc = "misc";
  w.hasV6 = true;
  std::string good = mspeer::LogonRecord(w);
  WEQ_UC host[64], misc[64];
  NI_NODEADDR addr;
  // Every cut of a good record, and every length raised past the end, is
  // refused; each in a buffer of its exact size so that a read beyond it
  // shows under ASan.
  for (size_t cut = 0; cut + 2 < good.size(); ++cut) {
    std::vector<WEQ_RAW> b(good.begin(), good.begin() + static_cast<long>(cut));
    EXPECT_EQ(MsIExtractLogon(b.data(), static_cast<int32_t>(b.size()), nullptr, host, 64, &addr, nullptr, nullptr,
                              misc, 64),
              MSEINVAL)
        << cut;
  }
  for (size_t at : {8u, 14u, 16u, 26u}) {
    std::string bad = good;
    bad[at] = static_cast<char>(0x7F);
    std::vector<WEQ_RAW> b(bad.begin(), bad.end());
    EXPECT_EQ(MsIExtractLogon(b.data(), static_cast<int32_t>(b.size()), nullptr, host, 64, &addr, nullptr, nullptr,
                              misc, 64),
              MSEINVAL)
        << at;
  }
  std::vector<WEQ_RAW> b(good.begin(), good.end());
  EXPECT_EQ(MsIExtractLogon(b.data(), static_cast<int32_t>(b.size()), nullptr, host, 64, &addr, nullptr, nullptr, misc,
                            64),
            0);
  EXPECT_EQ(OpText8(host), "hostname");
}

}  // namespace
