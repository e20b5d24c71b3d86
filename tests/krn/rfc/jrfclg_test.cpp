// The LG natives on the in-process JNI host: the end of every path
// (LgCallDone, the code in the error information), the string and name
// conversions at their limits and the copies back to Java. A stand-in layer
// answers where a message server would; one case asks ms_peer.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "flat/weqparam.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/lg/lg_int.h"
#include "krn/ni/ni.h"
#include "krn/rfc/jrfc_int.h"
#include "krn/thr/thr.h"
#include "peers/mspeer_run.h"
#include "support/jnihost.h"
#include "support/testsupport.h"

namespace {

using tovtest::JniHost;

// The stand-in layer: what it was asked and what it answers.
struct Fake {
  LG_RC setParam = 0, list = 0, group = 0;
  std::vector<std::u16string> groups{u"PUBLIC", u"G2"};
  std::u16string addr = u"10.0.0.1", snc = u"p:CN=X";
  uint16_t port = 3300;
  std::vector<std::u16string> asked;
  int lists = 0, done = 0;
  std::vector<LG_RC> errs;
};
Fake* gFake = nullptr;
LG_CLASS_ENTRY gGroups[4];

LG_RC FakeSetParam(uint8_t, int32_t) { return gFake->setParam; }
LG_RC FakeList(const WEQ_UC*, const WEQ_UC*, LG_APPSRV_ENTRY**, int32_t* asCount, LG_CLASS_ENTRY** cl,
               int32_t* clCount) {
  ++gFake->lists;
  *asCount = 0;
  *clCount = static_cast<int32_t>(gFake->groups.size());
  for (size_t i = 0; i < gFake->groups.size(); ++i) strcpy_sU16(gGroups[i].name, 21, gFake->groups[i].c_str());
  *cl = gGroups;
  return gFake->list;
}
LG_RC FakeGroup(const WEQ_UC*, const WEQ_UC*, const WEQ_UC* group, WEQ_UC* addr, int addrLen, uint16_t* port,
                WEQ_UC*, int, uint8_t*, WEQ_UC*, int) {
  gFake->asked.push_back(group);
  if (gFake->group != 0) return gFake->group;
  strcpy_sU16(addr, static_cast<size_t>(addrLen), gFake->addr.c_str());
  *port = gFake->port;
  return 0;
}
LG_RC FakeSncGroup(const WEQ_UC* h, const WEQ_UC* s, const WEQ_UC* group, WEQ_UC* addr, int addrLen, uint16_t* port,
                   WEQ_UC*, int, WEQ_UC* snc, int sncLen, uint8_t*, WEQ_UC*, int) {
  LG_RC rc = FakeGroup(h, s, group, addr, addrLen, port, nullptr, 0, nullptr, nullptr, 0);
  if (rc == 0) strcpy_sU16(snc, static_cast<size_t>(sncLen), gFake->snc.c_str());
  return rc;
}
LG_RC FakeDone() { return ++gFake->done, 0; }
void FakeErr(LG_RC rc) { gFake->errs.push_back(rc); }
constexpr JrfcLgCalls kFake = {FakeSetParam, FakeList, FakeGroup, FakeSncGroup, FakeDone, FakeErr};

class LgNatives : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    weqparamQuiet();
    ASSERT_EQ(ThrProcInit(), 0);
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
  }
  void SetUp() override {
    gFake = &fake;
    jrfcISetLgCalls(&kFake);
    ErrClear();
  }
  void TearDown() override {
    jrfcISetLgCalls(nullptr);
    LgIResetProcess();
    host.EndNative();
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front();
  }
  jint Get(const std::u16string& group, const std::u16string& h = u"mshost", const std::u16string& s = u"3600") {
    addr = host.NewBytes(std::vector<uint8_t>(100, 0x7F));
    port = host.NewInts({-7});
    jint rc = Java_com_weq_conn_rfc_driver_LG_nativeGet_1MS(host.env(), nullptr, host.NewString(group),
                                                            host.NewString(h), host.NewString(s), addr, port);
    host.EndNative();
    return rc;
  }
  jint GetSnc(const std::u16string& group) {
    addr = host.NewBytes(std::vector<uint8_t>(100, 0x7F));
    snc = host.NewBytes(std::vector<uint8_t>(300, 0x7F));
    port = host.NewInts({-7});
    jint rc = Java_com_weq_conn_rfc_driver_LG_nativeGet_1MS_1SNC(host.env(), nullptr, host.NewString(group),
                                                                 host.NewString(u"mshost"), host.NewString(u"3600"),
                                                                 host.NewString(u"unused"), snc, addr, port);
    host.EndNative();
    return rc;
  }
  std::string AddrText() const {
    std::vector<uint8_t> b = host.Bytes(addr);
    return std::string(b.begin(), b.end()).c_str();
  }

  JniHost host;
  Fake fake;
  jbyteArray addr = nullptr, snc = nullptr;
  jintArray port = nullptr;
};

struct PathCase {
  const char* what;
  LG_RC setParam, list, group;
  bool noGroups;
  jint rc;
  int done;
  std::vector<LG_RC> errs;
};

// Every path after LgSetParam ends with one LgCallDone; failed layer calls
// put their code into the error information.
TEST_F(LgNatives, EveryPathEndsWithLgCallDone) {
  const PathCase cases[] = {
      {"time-out refused", LGEINVAL, 0, 0, false, 1, 0, {}},
      {"list failed", 0, LGEMSLAYER, 0, false, 1, 1, {LGEMSLAYER}},
      {"no group listed", 0, 0, 0, true, 3, 1, {}},
      {"lookup failed", 0, 0, LGEGRPNOTFOUND, false, 1, 1, {LGEGRPNOTFOUND}},
      {"success", 0, 0, 0, false, 0, 1, {}},
  };
  for (const PathCase& c : cases) {
    fake.setParam = c.setParam, fake.list = c.list, fake.group = c.group;
    fake.groups = c.noGroups ? std::vector<std::u16string>{} : std::vector<std::u16string>{u"PUBLIC"};
    fake.done = 0;
    fake.errs.clear();
    EXPECT_EQ(Get(u"any"), c.rc) << c.what;
    EXPECT_EQ(fake.done, c.done) << c.what;
    EXPECT_EQ(fake.errs, c.errs) << c.what;
    if (c.rc != 0) {
      EXPECT_EQ(host.Ints(port), std::vector<int32_t>{-7}) << c.what;
    }
  }
  // An address that does not fit gives the conversion's code.
  fake = Fake{};
  fake.addr = std::u16string(45, u'\u65e5');
  fake.done = 0;
  EXPECT_EQ(Get(u"G"), 32);
  EXPECT_EQ(fake.done, 1);
  EXPECT_EQ(host.Bytes(addr), std::vector<uint8_t>(100, 0x7F));
}

TEST_F(LgNatives, SncNamesAsUtf8WithoutTerminator) {
  fake.snc = u"CN=\u00c4\U0001F600 \u65e5";
  ASSERT_EQ(GetSnc(u"G"), 0);
  std::string utf8 = "CN=\xc3\x84\xf0\x9f\x98\x80 \xe6\x97\xa5";
  std::vector<uint8_t> want(300, 0x7F);
  memcpy(want.data(), utf8.data(), utf8.size());
  EXPECT_EQ(host.Bytes(snc), want) << "no terminator, the tail kept";
  EXPECT_EQ(AddrText(), "10.0.0.1");
  // 255 bytes fit with their terminator, 256 do not: arrays unchanged.
  fake.snc = std::u16string(85, u'\u65e5');
  EXPECT_EQ(GetSnc(u"G"), 0);
  EXPECT_EQ(host.Bytes(snc)[254], 0xA5);
  EXPECT_EQ(host.Bytes(snc)[255], 0x7F);
  fake.snc = std::u16string(128, u'\u00e4');
  EXPECT_EQ(GetSnc(u"G"), 32);
  EXPECT_EQ(host.Bytes(snc), std::vector<uint8_t>(300, 0x7F));
  EXPECT_EQ(host.Bytes(addr), std::vector<uint8_t>(100, 0x7F));
  EXPECT_EQ(host.Ints(port), std::vector<int32_t>{-7});
  EXPECT_EQ(fake.asked.back(), u"G") << "no any rule for SNC";
  EXPECT_EQ(GetSnc(u"any"), 32);
  EXPECT_EQ(fake.asked.back(), u"any");
}

// An unknown group at a message server: 1, and LG's code in the thread's
// error information.
TEST_F(LgNatives, TheLayersCodeStaysWithTheThread) {
  jrfcISetLgCalls(nullptr);
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  EXPECT_EQ(Get(u"NOPE", peer.Host(), peer.Serv()), 1);
  EXPECT_EQ(tovtest::ToUtf8(ErrGetFld(ERR_FLD_COMPONENT)), "LG");
  EXPECT_EQ(tovtest::ToUtf8(ErrGetFld(ERR_FLD_RC)), "-6");
  EXPECT_EQ(lg_timeout.load(), 10000);
}

}  // namespace
