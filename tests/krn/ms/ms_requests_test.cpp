// Opcode requests, the profile parameter and the storage against ms_peer:
// what crosses the wire, what every kind of answer gives, and the waits.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "krn/ad/ad.h"
#include "krn/adtl/adtl.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/trc_checker.h"
#include "ms_client_util.h"

namespace {

using adpeer::Hex;
using mstest::Node;
using mstest::U8;

std::string Field(const WEQ_UC* s, size_t n) { return tovtest::ToUtf8(std::u16string(s, n)); }

class MsRequests : public mstest::Client {
 protected:
  // The data of the opcode requests the peer read, in order.
  std::vector<std::string> Requests(const mspeer::MsPeer& p) {
    std::vector<std::string> out;
    for (const mspeer::Event& e : p.Events("IN", "kind", "op")) out.push_back(mspeer::FromHex(e["hex"]).substr(110));
    return out;
  }
};

const char kClients[] =
    "client APP_ONE hostone.example sapdp00 1 10.0.0.1 3200 1 1\n"
    "client APP_TWO hosttwo.example sapdp01 3 10.0.0.2 3201 2 4 fd00::2\n"
    "client NOTYPES hostthree.example - 0 10.0.0.3 3202 1 0\n"
    "client STARTING hostfour.example sapdp03 2 10.0.0.4 3203 5 0\n";

TEST_F(MsRequests, RequestsOnTheWireEqualTheBuiltOnes) {
  mspeer::MsPeer peer(std::string(kClients) + "key 10.1.2.3 3300 p:CN=X\nname fd00::9 80 NAMED\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  WEQ_RAW req[2048];
  int32_t len = 0;
  std::vector<std::string> built;
  MSXXLIST* list = nullptr;
  int32_t count = 0;
  ASSERT_EQ(MsIClientList(h, nullptr, nullptr, 0, 0, 0, req, &len), 0);
  built.push_back(std::string(reinterpret_cast<char*>(req), static_cast<size_t>(len)));
  ASSERT_EQ(MsClientList(&list, &count, 3000, 0), 0);
  EXPECT_EQ(count, 4);
  NI_NODEADDR v4 = Node("10.1.2.3"), v6 = Node("fd00::9");
  ASSERT_EQ(MsGetSecurityKeyByIpAdr(h, &v4, NiAddrToIPv4(&v4), 3300, nullptr, 1, 3000, req, &len), 0);
  built.push_back(std::string(reinterpret_cast<char*>(req), static_cast<size_t>(len)));
  const WEQ_UC* key = nullptr;
  ASSERT_EQ(MsGetSecurityKeyByNodeAddr(&v4, 3300, &key, 1, 3000), 0);
  EXPECT_EQ(U8(key), "p:CN=X");
  ASSERT_EQ(MsIGetNameByIpAdr(h, &v6, 80, nullptr, 1, 3000, req, &len, 2), 0);
  built.push_back(std::string(reinterpret_cast<char*>(req), static_cast<size_t>(len)));
  const WEQ_UC* name = nullptr;
  ASSERT_EQ(MsGetNameByIpAdr(&v6, 80, &name, 1, 3000), 0);
  EXPECT_EQ(U8(name), "NAMED");
  std::vector<std::string> sent = Requests(peer);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], Hex("40 00 01 00"));  // the announcement of a long list
  EXPECT_EQ(sent[1], built[0]);
  EXPECT_EQ(sent[2], built[1]);
  EXPECT_EQ(sent[3], built[2]);
  std::vector<mspeer::Event> in = peer.Events("IN", "kind", "op");
  EXPECT_EQ(in[0]["msflag"], "1");
  EXPECT_EQ(in[1]["msflag"], "2");
  EXPECT_EQ(in[1]["to"], "MSG_SERVER");
}

TEST_F(MsRequests, ClientListInEveryLayout) {
  for (int layout : {1, 2, 3, 4, 105}) {
    mspeer::MsPeer peer(std::string(kClients) + "list-layout " + std::to_string(layout) + "\n");
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(Attach(peer), 0);
    MSXXLIST* list = nullptr;
    int32_t count = -1;
    ASSERT_EQ(MsClientList(&list, &count, 3000, 0), 0) << layout;
    ASSERT_EQ(count, 4) << layout;
    EXPECT_EQ(Field(list[0].client, 7), "APP_ONE");
    EXPECT_EQ(Field(list[1].service, 7), "sapdp01");
    EXPECT_EQ(list[1].msgtypes, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(list[1].servno), 2), Hex("0c81"));
    bool old = layout == 1 || layout == 105;
    std::string v6 = layout <= 2 || old ? Hex("00*10 ffff 0a000002") : Hex("fd00 00*13 02");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(list[1].hostaddr.addr), 16), v6) << layout;
    EXPECT_EQ(list[1].status, old ? 0 : 2) << layout;
    EXPECT_EQ(list[1].sysservice[3], layout == 4 ? 4 : 0) << layout;
    MsIDetach(h);
  }
}

TEST_F(MsRequests, ClientListPartsCodesFiltersAndOldServers) {
  {
    // Three parts in order, the first of version 3, then version 4.
    mspeer::MsPeer peer(std::string(kClients) + "list-parts 3\nlist-layout 3 4\n");
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(Attach(peer), 0);
    MSXXLIST* list = nullptr;
    int32_t count = 0;
    ASSERT_EQ(MsClientList(&list, &count, 3000, 0), 0);
    ASSERT_EQ(count, 4);
    const char* names[] = {"APP_ONE", "APP_TWO", "NOTYPES", "STARTING"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Field(list[i].client, strlen(names[i])), names[i]);
    EXPECT_EQ(list[3].status, 5);
    // Both filters.
    ASSERT_EQ(MsIClientList(h, &list, &count, 3000, 1, 1, nullptr, nullptr), 0);
    ASSERT_EQ(count, 1);  // types and state 0 or 1
    EXPECT_EQ(Field(list[0].client, 7), "APP_ONE");
    ASSERT_EQ(MsIClientList(h, &list, &count, 3000, 1, 0, nullptr, nullptr), 0);
    EXPECT_EQ(count, 3);
    MsIDetach(h);
  }
  {
    mspeer::MsPeer peer(std::string(kClients) + "list-rc 11\n");
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(Attach(peer), 0);
    MSXXLIST* list = nullptr;
    int32_t count = -1;
    EXPECT_EQ(MsClientList(&list, &count, 3000, 0), 11);
    EXPECT_EQ(count, 0);
    // A partial trailing record is left out.
    ASSERT_TRUE(peer.Fault("op5:oprc=0"));
    ASSERT_TRUE(peer.Fault("op5:datalen=" + std::to_string(4 + 160 * 2 + 159)));
    EXPECT_EQ(MsClientList(&list, &count, 3000, 0), 0);
    EXPECT_EQ(count, 2);
    MsIDetach(h);
  }
  {
    mspeer::MsPeer peer(std::string(kClients) + "list-unknown\n");
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(Attach(peer), 0);
    MSXXLIST* list = nullptr;
    int32_t count = 0;
    ASSERT_EQ(MsClientList(&list, &count, 3000, 0), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(Field(list[3].client, 8), "STARTING");
    EXPECT_EQ(list[3].status, 0);
    ASSERT_EQ(peer.Events("IN", "to", "clientinfo").size(), 1u);
    EXPECT_EQ(peer.Events("IN", "to", "clientinfo")[0]["msflag"], "1");
  }
}

TEST_F(MsRequests, ClientListWithoutEndStopsAtItsBound) {
  mspeer::MsPeer peer(std::string(kClients) + "list-layout 4\n", {"op5:endless=100"});
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  MSXXLIST* list = nullptr;
  int32_t count = -1;
  EXPECT_EQ(MsClientList(&list, &count, 3000, 0), MSENOMEM);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-23");
}

TEST_F(MsRequests, LogonData) {
  mspeer::MsPeer peer(
      "logon SRV1 4 host-one.example 3300 10.0.0.1 misc-one\n"
      "logon SRV2 4 host-two.example 3301 10.0.0.2 - fd00::2\n"
      "logon SRV3 6 web.example 8000 10.0.0.3 path/x\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  WEQ_UC host[64], misc[64];
  NI_NODEADDR addr;
  uint32_t ipv4 = 0;
  uint16_t port = 0;
  ASSERT_EQ(MsGetLogon(h, u"SRV1", 4, host, 64, &addr, &ipv4, &port, misc, 64, 1, 3000, nullptr, nullptr), 0);
  EXPECT_EQ(U8(host), "host-one.example");
  EXPECT_EQ(U8(misc), "misc-one");
  EXPECT_EQ(port, 3300);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(addr.addr), 16), Hex("00*10 ffff 0a000001"));
  ASSERT_EQ(MsGetLogon(u"SRV2", 4, host, 5, &addr, &port, misc, 64, 1, 3000), 0);
  EXPECT_EQ(U8(host), "host");
  EXPECT_EQ(U8(misc), "");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(addr.addr), 16), Hex("fd00 00*13 02"));
  // "*" is the next server of the protocol, in turn.
  ASSERT_EQ(MsGetNextLogon(4, host, 64, &addr, &port, misc, 64, 1, 3000), 0);
  EXPECT_EQ(port, 3300);
  ASSERT_EQ(MsGetNextLogon(4, host, 64, &addr, &port, misc, 64, 1, 3000), 0);
  EXPECT_EQ(port, 3301);
  // Protocols 1 and 38 go nowhere.
  size_t before = peer.Events("OP").size();
  EXPECT_EQ(MsGetNextLogon(1, host, 64, &addr, &port, misc, 64, 1, 3000), 24);
  EXPECT_EQ(MsGetNextLogon(38, host, 64, &addr, &port, misc, 64, 1, 3000), 24);
  // Op codes of the answer are passed on.
  EXPECT_EQ(MsGetLogon(u"NOSUCH", 4, host, 64, &addr, &port, misc, 64, 1, 3000), 4);
  for (int oprc : {19, 1}) {
    ASSERT_TRUE(peer.Fault("op44:oprc=" + std::to_string(oprc)));
    EXPECT_EQ(MsGetLogon(u"SRV1", 4, host, 64, &addr, &port, misc, 64, 1, 3000), oprc);
  }
  // A record whose length runs past its end.
  ASSERT_TRUE(peer.Fault("op44:logonpast"));
  EXPECT_EQ(MsGetLogon(u"SRV1", 4, host, 64, &addr, &port, misc, 64, 1, 3000), MSEINVAL);
  ASSERT_TRUE(peer.WaitCount(before + 4, "OP"));
  EXPECT_EQ(peer.Events("OP").size(), before + 4);
}

TEST_F(MsRequests, KeysAndNames) {
  mspeer::MsPeer peer(
      std::string("key 10.1.2.3 3300 p:CN=SERVER1, O=EXAMPLE\n"
                  "key fd00::5 3301 p:CN=SIX\n"
                  "name 10.1.2.3 3300 SHORT\n"
                  "name 10.1.2.4 3300 A_MUCH_LONGER_NAME_OF_A_CLIENT\n"
                  "name 10.1.2.5 3300 ") +
      std::string(200, 'L') + "\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  NI_NODEADDR a = Node("10.1.2.3"), b = Node("10.1.2.4"), c = Node("10.1.2.5"), six = Node("fd00::5");
  const WEQ_UC* key = nullptr;
  ASSERT_EQ(MsGetSecurityKeyByNodeAddr(&a, 3300, &key, 1, 3000), 0);
  EXPECT_EQ(U8(key), "p:CN=SERVER1, O=EXAMPLE");
  ASSERT_EQ(MsGetSecurityKeyByNodeAddr(&six, 3301, &key, 1, 3000), 0);
  EXPECT_EQ(U8(key), "p:CN=SIX");
  key = nullptr;
  EXPECT_EQ(MsGetSecurityKeyByNodeAddr(&a, 1, &key, 1, 3000), 3);
  EXPECT_EQ(key, nullptr);
  ASSERT_TRUE(peer.Fault("op9:datalen=10"));
  EXPECT_EQ(MsGetSecurityKeyByNodeAddr(&a, 3300, &key, 1, 3000), MSOP_SECURITY_KEY_NOTSET);
  EXPECT_EQ(key, nullptr);

  const WEQ_UC* name = nullptr;
  ASSERT_EQ(MsGetNameByIpAdr(&b, 3300, &name, 1, 3000), 0);
  EXPECT_EQ(U8(name), "A_MUCH_LONGER_NAME_OF_A_CLIENT");
  const WEQ_UC* first = name;
  ASSERT_EQ(MsGetNameByIpAdr(&a, 3300, &name, 1, 3000), 0);
  EXPECT_EQ(U8(name), "SHORT");
  EXPECT_EQ(name, first);  // the longer buffer serves the shorter name
  ASSERT_EQ(MsGetNameByIpAdr(&c, 3300, &name, 1, 3000), 0);
  EXPECT_EQ(U8(name), std::string(200, 'L'));  // and grows for a longer one
  EXPECT_EQ(MsGetNameByIpAdr(&a, 9, &name, 1, 3000), 4);
  for (const char* len : {"0x7FFFFFFF", "0xFFFFFFFF", "past"}) {
    ASSERT_TRUE(peer.Fault(std::string("op70:namelen=") + len));
    EXPECT_EQ(MsGetNameByIpAdr(&a, 3300, &name, 1, 3000), MSEINVAL) << len;
  }
  EXPECT_EQ(h->attached, 1);
}

TEST_F(MsRequests, NameFromAnOlderServerRepeatsInVersionOne) {
  mspeer::MsPeer peer("name-old\nname 10.1.2.3 3300 OLDNAME\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  NI_NODEADDR a = Node("10.1.2.3");
  const WEQ_UC* name = nullptr;
  ASSERT_EQ(MsGetNameByIpAdr(&a, 3300, &name, 1, 3000), 0);
  EXPECT_EQ(U8(name), "OLDNAME");
  std::vector<mspeer::Event> asks = peer.Events("NAME");
  ASSERT_EQ(asks.size(), 2u);
  EXPECT_EQ(asks[0]["ver"], "2");
  EXPECT_EQ(asks[1]["ver"], "1");
}

TEST_F(MsRequests, ProfileParameter) {
  mspeer::MsPeer peer(
      "param rdisp/msserv 0 3600   \n"
      "param0 rdisp/zero 6 abc\n"
      "param rdisp/three 3 value with blanks    \n"
      "param rdisp/one 1 x\n"
      "param-bare rdisp/bare 0\n"
      "param-none rdisp/none\n"
      "param rdisp/long 0 0123456789\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  WEQ_UC value[32];
  memcpy(value, u"untouched", 20);
  EXPECT_EQ(MsGetParamValue(u"rdisp/msserv", value, 32), 0);
  EXPECT_EQ(U8(value), "3600");
  EXPECT_EQ(MsGetParamValue(u"rdisp/zero", value, 32), 6);
  EXPECT_EQ(U8(value), "abc");
  EXPECT_EQ(MsGetParamValue(u"rdisp/three", value, 32), 3);
  EXPECT_EQ(U8(value), "value with blanks");
  memcpy(value, u"untouched", 20);
  EXPECT_EQ(MsGetParamValue(u"rdisp/one", value, 32), 1);
  EXPECT_EQ(U8(value), "untouched");
  EXPECT_EQ(MsGetParamValue(u"rdisp/bare", value, 32), 0);
  EXPECT_EQ(U8(value), "untouched");
  EXPECT_EQ(MsGetParamValue(u"rdisp/none", value, 32), MSENOTFOUND);
  EXPECT_EQ(U8(value), "untouched");
  EXPECT_EQ(MsGetParamValue(u"rdisp/long", value, 10), 0);
  EXPECT_EQ(U8(value), "");  // ten characters do not fit with their terminator
  // The request: a block with the self-identification record, then opcode 1
  // with the name in its text.
  std::vector<mspeer::Event> ad = peer.Events("AD");
  ASSERT_GE(ad.size(), 2u);
  EXPECT_EQ(ad[0]["op"], "60");
  EXPECT_EQ(ad[1]["op"], "1");
  EXPECT_EQ(mspeer::FromHex(ad[1]["body"]), mspeer::Pad("rdisp/msserv", 100));
}

TEST_F(MsRequests, WaitsAreBoundedByTheTimeOut) {
  mspeer::MsPeer peer("name 10.1.2.3 3300 WAITED\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  NI_NODEADDR a = Node("10.1.2.3");
  const WEQ_UC* name = nullptr;
  ASSERT_TRUE(peer.Fault("op70:wakeups=2"));
  ASSERT_TRUE(peer.Fault("op70:delay=150"));
  ASSERT_EQ(MsGetNameByIpAdr(&a, 3300, &name, 1, 3000), 0);
  EXPECT_EQ(U8(name), "WAITED");
  ASSERT_TRUE(peer.Fault("op70:drop"));
  int64_t start = mstest::NowMs();
  EXPECT_EQ(MsGetNameByIpAdr(&a, 3300, &name, 1, 300), MSENOMSG);
  int64_t took = mstest::NowMs() - start;
  EXPECT_GE(took, 290);
  EXPECT_LT(took, 300 + 1000);
  // The profile parameter waits up to the long time-out.
  ASSERT_TRUE(peer.Fault("admin:drop"));
  h->ms_timeL = 250;
  WEQ_UC value[8];
  start = mstest::NowMs();
  EXPECT_EQ(MsGetParamValue(u"x", value, 8), MSENOMSG);
  EXPECT_GE(mstest::NowMs() - start, 240);
  // A flood of wakeups ends at the time-out too.
  ASSERT_TRUE(peer.Fault("op70:flood=2000"));
  start = mstest::NowMs();
  EXPECT_EQ(MsGetNameByIpAdr(&a, 3300, &name, 1, 300), MSENOMSG);
  EXPECT_LT(mstest::NowMs() - start, 300 + 1000);
}

// Storage reads as the logon-group layer makes them.
struct StorageAnswer {
  int rc = 0;
  std::vector<std::pair<std::string, std::string>> texts;  // key, value
  std::vector<int> errnos;
};

StorageAnswer ReadStorage(const std::vector<AD_REC>& records) {
  StorageAnswer a;
  WEQ_RAW* block = nullptr;
  int32_t blockLen = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    AD_REC r = records[i];
    if ((a.rc = AdWriteRec(&r, i == 0 ? 1 : 2, &block, &blockLen)) != 0) return a;
  }
  const WEQ_RAW key[8] = {};
  if ((a.rc = MsSndAdmin(block, blockLen, key)) != 0) return a;
  WEQ_RAW* data = nullptr;
  int32_t len = 0;
  if ((a.rc = MsReceive(&data, &len, nullptr, nullptr, nullptr, 3000)) != 0) return a;
  uint8_t state = AD_READ_FIRST;
  do {
    AD_REC* got = nullptr;
    if ((a.rc = AdReadRec(data, len, &state, &got)) != 0) return a;
    if (got == nullptr) break;
    a.errnos.push_back(got->errnum);
    if (got->errnum != 0) continue;
    const WEQ_UC *name, *value;
    int nw, nl, vw, vl;
    if (AdtlStrgRspGetText(got->body, &name, &nw, &nl, &value, &vw, &vl) == 0)
      a.texts.push_back({Field(name, static_cast<size_t>(nl)), Field(value, static_cast<size_t>(vl))});
  } while (state != AD_READ_DONE);
  return a;
}

AD_REC StorageRecord(int (*build)(WEQ_UC*, const WEQ_UC*), const std::u16string& key, bool ebcdic = false) {
  AD_REC r;
  AdInitRec(&r);
  r.opcode = AD_RZL_STRG;
  std::u16string k = key;
  k.resize(20, u' ');
  build(r.body, k.c_str());
  // The EBCDIC twin of the key, as the logon-group layer sends it: the
  // key field's first 20 bytes converted in place.
  if (ebcdic) A7ToEbcdicInPlace(reinterpret_cast<WEQ_RAW*>(r.body) + AD_STRG_NAME, 20);
  return r;
}

TEST_F(MsRequests, StorageThroughThePeer) {
  std::string scenario = "text GROUP_A first value\ntext GROUP_B second\nint GROUP_A 1 2 3 4 5 6 7 8 9 10\n";
  for (int i = 0; i < 289; ++i) scenario += "text K" + std::to_string(i) + " v" + std::to_string(i) + "\n";
  mspeer::MsPeer peer(scenario);
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  // One text, by its plain key and its EBCDIC twin (never found).
  StorageAnswer a = ReadStorage({StorageRecord(AdtlStrgBldRqReadText, u"GROUP_A"),
                                 StorageRecord(AdtlStrgBldRqReadText, u"GROUP_A", true)});
  ASSERT_EQ(a.rc, 0);
  EXPECT_EQ(a.errnos, (std::vector<int>{0, 4}));
  ASSERT_EQ(a.texts.size(), 1u);
  EXPECT_EQ(a.texts[0].first, "GROUP_A");
  EXPECT_EQ(a.texts[0].second, "first value");
  a = ReadStorage({StorageRecord(AdtlStrgBldRqReadText, u"ABSENT")});
  EXPECT_EQ(a.errnos, (std::vector<int>{4}));
  // Pages at 0 and 290 hold all 291 texts.
  for (uint32_t start : {0u, 290u}) {
    AD_REC r;
    AdInitRec(&r);
    r.opcode = AD_RZL_STRG;
    AdtlStrgBldRqReadallText2(r.body, start, 290);
    a = ReadStorage({r});
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(a.texts.size(), start == 0 ? 290u : 1u);
    EXPECT_EQ(a.texts[0].first, start == 0 ? "GROUP_A" : "K288");
  }
  // The older request of all texts.
  AD_REC all;
  AdInitRec(&all);
  all.opcode = AD_RZL_STRG;
  AdtlStrgBldRqReadallText(all.body);
  a = ReadStorage({all});
  ASSERT_EQ(a.rc, 0);
  EXPECT_EQ(a.texts.size(), 291u);
  std::vector<mspeer::Event> strg = peer.Events("STRG");
  ASSERT_GE(strg.size(), 5u);
  EXPECT_EQ(strg[0]["type"], "22");
  EXPECT_EQ(strg.back()["type"], "12");
}

TEST_F(MsRequests, StorageIntegersFavouritesAndOddAnswers) {
  mspeer::MsPeer peer(
      "int SRV_A 1 -2 300 4 5 6 7 8 9 2147483647\n"
      "favourite GRP_FAV 4 fd00::7 3299 720 0001020304050607\n");
  ASSERT_TRUE(peer.ok());
  ASSERT_EQ(Attach(peer), 0);
  WEQ_RAW* block = nullptr;
  int32_t blockLen = 0;
  AD_REC r = StorageRecord(AdtlStrgBldRqReadIntg, u"SRV_A");
  ASSERT_EQ(AdWriteRec(&r, 1, &block, &blockLen), 0);
  const WEQ_RAW key[8] = {};
  ASSERT_EQ(MsSndAdmin(block, blockLen, key), 0);
  WEQ_RAW* data = nullptr;
  int32_t len = 0;
  ASSERT_EQ(MsReceive(&data, &len, nullptr, nullptr, nullptr, 3000), 0);
  uint8_t state = AD_READ_FIRST;
  AD_REC* got = nullptr;
  ASSERT_EQ(AdReadRec(data, len, &state, &got), 0);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->errnum, 0);
  const WEQ_UC* name;
  int nw, nl;
  int32_t ints[10];
  ASSERT_EQ(AdtlStrgRspGetIntg(got->body, &name, &nw, &nl, ints), 0);
  EXPECT_EQ(Field(name, static_cast<size_t>(nl)), "SRV_A");
  EXPECT_EQ(ints[1], -2);
  EXPECT_EQ(ints[2], 300);
  EXPECT_EQ(ints[9], 2147483647);
  // The favourite from the toolkit's encoder, led by the
  // self-identification record that the reader skips.
  ASSERT_TRUE(peer.Fault("admin:selfident"));
  StorageAnswer a = ReadStorage({StorageRecord(AdtlStrgBldRqReadText, u"GRP_FAV")});
  ASSERT_EQ(a.rc, 0);
  ASSERT_EQ(a.texts.size(), 1u);
  EXPECT_EQ(a.texts[0].second.substr(0, 9), "LG_EYECAT");
  // Answers for another key, and a block that claims 536870912 records.
  ASSERT_TRUE(peer.Fault("admin:otherkey"));
  a = ReadStorage({StorageRecord(AdtlStrgBldRqReadText, u"GRP_FAV")});
  ASSERT_EQ(a.texts.size(), 1u);
  EXPECT_EQ(a.texts[0].first, "OTHER");
  ASSERT_TRUE(peer.Fault("admin:recno"));
  a = ReadStorage({StorageRecord(AdtlStrgBldRqReadText, u"GRP_FAV")});
  EXPECT_EQ(a.rc, ADEHEAD_DESTROYED);
  ASSERT_TRUE(peer.Fault("admin:recno"));
  WEQ_UC value[8];
  EXPECT_EQ(MsGetParamValue(u"p", value, 8), ADEHEAD_DESTROYED);
  EXPECT_EQ(h->attached, 1);
}

TEST_F(MsRequests, AttachWithAReleaseText) {
  mspeer::MsPeer peer;
  ASSERT_TRUE(peer.ok());
  auto attach = [&] {
    return MsIAttachEx(h, u"RELCLIENT", u"-", 0, peer.Host().c_str(), peer.Serv().c_str(), 4, 0, u"7.20",
                       720, 5, 1234, 8, nullptr, 0, nullptr, nullptr, nullptr, 0);
  };
  ASSERT_EQ(attach(), 0);
  EXPECT_EQ(h->relCheckPassed, 1);
  std::vector<mspeer::Event> rel = peer.Events("REL");
  ASSERT_EQ(rel.size(), 1u);
  EXPECT_EQ(rel[0]["property"], "7");
  EXPECT_EQ(rel[0]["release"], "7.20");
  EXPECT_EQ(rel[0]["patch"], "1234");
  MsIDetach(h);
  // An answer 29 after an attach that passed: only the trace line.
  trccheck::TraceFile trace(1);
  ASSERT_TRUE(peer.Fault("op67:oprc=29"));
  EXPECT_EQ(attach(), 0);
  EXPECT_NE(trace.Read().find("StoC check failed, Kernel not compatible with system (rc=29)"), std::string::npos);
  MsIDetach(h);
  // A fresh handle that never passed is refused.
  MsIHdlReset(h);
  h->ms_timeS = h->ms_timeL = 3000;
  ASSERT_TRUE(peer.Fault("op67:oprc=29"));
  EXPECT_EQ(attach(), MSEACCESSDENIED);
  EXPECT_EQ(h->attached, 0);
}

}  // namespace
