// The CpicDriver natives on protected conversations over the test GSS-API
// library: a client and a registered server of ours, both driven through
// the natives on the in-process JNI host, talking through gw_peer's relay.
// The blocks the natives build (SNC mode 0 reads none of its strings; mode
// 1 with QOP 0 and no own name asks for the default identity at the
// highest level), the partner's mode, name and ACL key as Java receives
// them, into arrays that fit exactly, fall one byte short or are NULL.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic_snc_fixture.h"
#include "krn/rfc/jrfc_int.h"
#include "support/jnihost.h"

#define JS(method) Java_com_weq_conn_rfc_driver_CpicDriver_##method

namespace {

using Bytes = std::vector<uint8_t>;
using cpictest::ErrFld;
using tovtest::JniHost;

#ifdef SNC_FAKEGSS_V2

class NativesSnc : public cpicsnctest::SncConversation {
 protected:
  void End(JniHost& h) {
    h.EndNative();
    EXPECT_TRUE(h.Violations().empty()) << h.Violations().front();
  }
  static std::u16string Lib() { return tovtest::FromUtf8(kLib); }
};

// SNC mode 0 with every SNC string given: no SNC in the initialise, no call
// into the library; mode 1, QOP 0 and an empty own name: the block asks for
// the default identity (a blank own name) at QOP 8.
TEST_F(NativesSnc, BlocksOfTheInitialise) {
  StartPeer();
  JniHost h;
  JNIEnv* env = h.env();
  auto S = [&](const std::u16string& s) { return h.NewString(s); };
  jbyteArray plain = h.NewBytes(Bytes(8, ' '));
  ASSERT_EQ(JS(nativeWEQ_1CMINIT3)(env, nullptr, plain, S(u"D"), S(u"lu"), S(u"sink"), S(host_), S(serv_), S(u"I"), 0,
                                   0, 3, S(u"p:own"), S(cpicsnctest::kServerName), S(Lib())),
            CM_OK);
  End(h);
  EXPECT_EQ(Request(1).num("info2") & 0x20, 0) << "SNC asked for";
  long calls = 0;
  for (long c : ctl_->calls) calls += c;
  EXPECT_EQ(calls, 0) << "a call into the library";
  EXPECT_EQ(JS(nativeSncMode)(env, nullptr, plain), 0);
  EXPECT_EQ(JS(nativeCMDEAL)(env, nullptr, plain), CM_OK);
  End(h);

  jbyteArray prot = h.NewBytes(Bytes(8, ' '));
  ASSERT_EQ(JS(nativeWEQ_1CMINIT3)(env, nullptr, prot, S(u"D"), S(u"lu"), S(u"sink"), S(host_), S(serv_), S(u"I"), 0,
                                   1, 0, S(u""), S(cpicsnctest::kServerName), S(Lib())),
            CM_OK)
      << ErrFld(ERR_FLD_ERROR);
  End(h);
  Bytes id = h.Bytes(prot);
  CPIC_CONV_ENTRY* e = STISearchConv(reinterpret_cast<const char*>(id.data()), 0, 0);
  ASSERT_NE(e, nullptr);
  ASSERT_NE(e->f.sncParams, nullptr);
  EXPECT_EQ(e->f.sncParams->qop, 8);
  // The blank own name was read as the default identity, which has no name.
  EXPECT_EQ(std::u16string(e->f.sncParams->myName), u"");
  EXPECT_EQ(e->f.sncParams->role, 1);
  EXPECT_EQ(std::u16string(e->f.sncParams->partnerName), cpicsnctest::kServerName);
  EXPECT_EQ(std::u16string(e->f.sncParams->libPath), Lib());
  EXPECT_NE(Request(1).num("info2") & 0x20, 0) << "no SNC asked for";
  EXPECT_EQ(JS(nativeSncMode)(env, nullptr, prot), 1);
  EXPECT_EQ(JS(nativeCMDEAL)(env, nullptr, prot), CM_OK);
  End(h);
}

// A protected road through the natives: the server's mode, the client's
// default identity as the server's partner name, its ACL key as the layer
// gives it into arrays exact, one short and NULL; the data arrives whole.
TEST_F(NativesSnc, PartnerFactsThroughTheNatives) {
  StartPeer();
  JniHost sh;
  JNIEnv* senv = sh.env();
  jintArray handle = sh.NewInts({-1});
  ASSERT_EQ(JS(nativeWEQ_1CMREGTP3)(senv, nullptr, sh.NewString(u"SERVER"), sh.NewString(host_),
                                    sh.NewString(serv_), handle, sh.NewString(u""), sh.NewString(Lib()), 0, JNI_TRUE),
            0)
      << ErrFld(ERR_FLD_ERROR);
  End(sh);
  int32_t h = sh.Ints(handle)[0];
  EXPECT_EQ(peer().Wait("EVENT", "REGISTER").get("tp"), "SERVER");
  jbyteArray none = sh.NewBytes(Bytes(8, ' '));
  ASSERT_EQ(JS(nativeWEQ_1CMACCPTP3)(senv, nullptr, none, h, -2), CM_OK);
  End(sh);
  const std::string ask = Pattern(20000);
  std::string reply;
  std::thread client([&] {
    JniHost ch;
    JNIEnv* env = ch.env();
    auto S = [&](const std::u16string& s) { return ch.NewString(s); };
    jbyteArray id = ch.NewBytes(Bytes(8, ' '));
    jint rc = JS(nativeWEQ_1CMINIT3)(env, nullptr, id, S(u"D"), S(u"lu"), S(u"SERVER"), S(host_), S(serv_), S(u"I"),
                                     0, 1, 0, S(u""), S(cpicsnctest::kServerName), S(Lib()));
    if (rc == 0) rc = JS(nativeCMALLC)(env, nullptr, id);
    EXPECT_EQ(rc, CM_OK) << ErrFld(ERR_FLD_ERROR);
    if (rc != 0) return;
    EXPECT_EQ(JS(nativeCMSEND)(env, nullptr, id, ch.NewBytes(Bytes(ask.begin(), ask.end())),
                               static_cast<jint>(ask.size())),
              CM_OK);
    jbyteArray buf = ch.NewBytes(Bytes(32000));
    jintArray res = ch.NewInts({0, 0, 0});
    EXPECT_EQ(JS(nativeCpic_1coxread)(env, nullptr, id, 0, buf, res), CM_OK);
    Bytes b = ch.Bytes(buf);
    reply.assign(b.begin(), b.begin() + ch.Ints(res)[2]);
    EXPECT_EQ(JS(nativeSncMode)(env, nullptr, id), 1);
    jstring server = JS(nativeSncPartnerName)(env, nullptr, id);
    EXPECT_EQ(server == nullptr ? u"(null)" : ch.Text(server), std::u16string(cpicsnctest::kServerName) + u"@TEST.REALM");
    EXPECT_EQ(JS(nativeCMDEAL)(env, nullptr, id), CM_OK);
    ch.EndNative();
    EXPECT_TRUE(ch.Violations().empty());
  });
  EXPECT_EQ(NextReady(5000), h);
  jbyteArray acc = sh.NewBytes(Bytes(8, ' '));
  ASSERT_EQ(JS(nativeWEQ_1CMACCPTP3)(senv, nullptr, acc, h, 5), CM_OK) << ErrFld(ERR_FLD_ERROR);
  End(sh);
  EXPECT_EQ(JS(nativeSncMode)(senv, nullptr, acc), 1);
  jbyteArray buf = sh.NewBytes(Bytes(32000));
  jintArray res = sh.NewInts({0, 0, 0});
  std::string got;
  while (got.size() < ask.size()) {
    ASSERT_EQ(JS(nativeCpic_1coxread)(senv, nullptr, acc, 0, buf, res), CM_OK) << ErrFld(ERR_FLD_ERROR);
    Bytes b = sh.Bytes(buf);
    got.append(b.begin(), b.begin() + sh.Ints(res)[2]);
    if (sh.Ints(res)[1] == CM_SEND_RECEIVED) break;
  }
  End(sh);
  EXPECT_EQ(got, ask);
  jstring partner = JS(nativeSncPartnerName)(senv, nullptr, acc);
  ASSERT_NE(partner, nullptr);
  EXPECT_EQ(tovtest::ToUtf8(sh.Text(partner)), "p:user@TEST.REALM") << "not the default identity";
  // The key as the layer gives it, then into arrays of every kind.
  uint8_t direct[512];
  uint32_t keyLen = 0;
  Bytes idb = sh.Bytes(acc);
  ASSERT_EQ(WEQ_CMACLKEY(reinterpret_cast<const char*>(idb.data()), direct, 512, &keyLen, nullptr), CM_OK);
  ASSERT_GT(keyLen, 0u);
  jbyteArray exact = sh.NewBytes(Bytes(keyLen, 0xEE));
  EXPECT_EQ(JS(nativeSncPartnerAclKey)(senv, nullptr, acc, exact), static_cast<jint>(keyLen));
  EXPECT_EQ(sh.Bytes(exact), Bytes(direct, direct + keyLen));
  jbyteArray shorter = sh.NewBytes(Bytes(keyLen - 1, 0xEE));
  EXPECT_EQ(JS(nativeSncPartnerAclKey)(senv, nullptr, acc, shorter), -1);
  EXPECT_EQ(ErrFld(ERR_FLD_RC), "770");
  EXPECT_EQ(JS(nativeSncPartnerAclKey)(senv, nullptr, acc, nullptr), -1);
  End(sh);
  EXPECT_GT(ctl_->calls[kFnWrap], 0) << "nothing protected";
  EXPECT_EQ(JS(nativeCMSEND)(senv, nullptr, acc, sh.NewBytes({'y', 'o', 'u'}), 3), CM_OK);
  EXPECT_EQ(JS(nativeCpic_1coxread)(senv, nullptr, acc, 0, buf, res), CM_DEALLOCATED_NORMAL);
  End(sh);
  client.join();
  EXPECT_EQ(reply, "you");
  Drain();
  EXPECT_EQ(JS(nativeWEQ_1CMUNREGTP3)(senv, nullptr, h), CM_OK);
  Drain();
}

#endif

}  // namespace
