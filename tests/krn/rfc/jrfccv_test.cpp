// The CpicDriver natives on the in-process JNI host, against gw_peer where a
// gateway is needed (the Java tests take the roads and capacities): the lengths
// the natives bound before the layer sees them, conversation ids of every
// length, each JNI call of each native failed in turn (its value, its trace
// line, nothing held or pending), registration without a handle array, and
// the natives that need no conversation.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_client_fixture.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/dptrc.h"
#include "krn/dptrc/err.h"
#include "krn/rfc/jrfc_int.h"
#include "support/jnihost.h"
#include "support/testsupport.h"

#define JN(method) Java_com_weq_conn_rfc_driver_CpicDriver_##method

namespace {

using Bytes = std::vector<uint8_t>;
using cpictest::ErrFld;
using tovtest::JniHost;
using tovtest::JniOp;

// Error lines of the natives go to a file of the test's; its text read back.
class JrfcTrace {
 public:
  JrfcTrace() : level_(CTrcLevel.load()), hdl_(CTrcGlobalHdl.load()), f_(tmpfile()) {
    CTrcGlobalHdl.store(f_);
    CTrcLevel.store(1);
  }
  ~JrfcTrace() {
    CTrcLevel.store(level_);
    CTrcGlobalHdl.store(hdl_);
    fclose(f_);
  }
  // What was written since the last call. The natives that set the CPI-C
  // trace move the process trace elsewhere: it comes back here.
  std::string Take() {
    CTrcGlobalHdl.store(f_);
    CTrcLevel.store(1);
    fflush(f_);
    std::string out;
    fseek(f_, static_cast<long>(pos_), SEEK_SET);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f_)) > 0) out.append(buf, n);
    pos_ += out.size();
    return out;
  }

 private:
  int level_;
  CTRC_HDL hdl_;
  FILE* f_;
  size_t pos_ = 0;
};

class Natives : public cpictest::ClientTest {
 protected:
  void SetUp() override { SetUpWith({{"CPIC_BUFFERING", "0"}}); }
  // Each native call is closed as the JVM closes it: nothing pending, no
  // element or string held.
  void End() {
    host.EndNative();
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front();
  }
  jstring S(const std::u16string& s) { return host.NewString(s); }
  jbyteArray Id() { return host.NewBytes(Bytes(8, ' ')); }

  jint Init(jbyteArray id, const std::u16string& tp = u"echo", jint sncMode = 0) {
    jint rc = JN(nativeWEQ_1CMINIT3)(env, nullptr, id, S(u"DEST"), S(u"partner"), S(tp), S(host_), S(serv_),
                                     S(u"I"), 0, sncMode, 0, S(u"own"), S(u"p:partner"), S(u"/no/lib.so"));
    End();
    return rc;
  }
  jint Open(jbyteArray id, const std::u16string& tp = u"echo") {
    jint rc = Init(id, tp);
    if (rc != 0) return rc;
    rc = JN(nativeCMALLC)(env, nullptr, id);
    End();
    return rc;
  }
  jint Send(jbyteArray id, const Bytes& data, jint length = -2) {
    jint rc = JN(nativeCMSEND)(env, nullptr, id, host.NewBytes(data),
                               length == -2 ? static_cast<jint>(data.size()) : length);
    End();
    return rc;
  }
  struct Rcv {
    jint rc;
    std::vector<int32_t> result;
    Bytes data;
  };
  Rcv Coxread(jbyteArray id, jint timeout, size_t room = 32000) {
    jbyteArray buf = host.NewBytes(Bytes(room, 0xEE));
    jintArray res = host.NewInts({-7, -7, -7});
    Rcv r{JN(nativeCpic_1coxread)(env, nullptr, id, timeout, buf, res), host.Ints(res), host.Bytes(buf)};
    End();
    return r;
  }
  Rcv Rflush(jbyteArray id, jint requested, size_t room) {
    jbyteArray buf = host.NewBytes(Bytes(room, 0xEE));
    jintArray res = host.NewInts({-7, -7, -7});
    Rcv r{JN(nativeRflushCMRCV)(env, nullptr, id, buf, requested, res), host.Ints(res), host.Bytes(buf)};
    End();
    return r;
  }
  jint Deal(jbyteArray id) {
    jint rc = JN(nativeCMDEAL)(env, nullptr, id);
    End();
    return rc;
  }
  int Count(int req) {
    peer().Control("stats");
    peer().Wait("EVENT", "STATS");
    int n = 0;
    for (const peers::LogLine& l : peer().log().lines()) n += l.dir == "IN" && l.kind == "APPC" && l.num("req") == req;
    return n;
  }

  JniHost host;
  JNIEnv* env = host.env();
};

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
  return b;
}

// --- The client road ------------------------------------------------------------------------

// A receive asked for more than the array holds is cut to the array; the
// rest of the message waits for the next receive.
TEST_F(Natives, ReceiveCutToTheArray) {
  StartPeer();
  jbyteArray id = Id();
  ASSERT_EQ(Open(id), CM_OK);
  Bytes data = Pattern(100, 7);
  ASSERT_EQ(Send(id, data), CM_OK);
  Rcv first = Rflush(id, 1000, 40);
  EXPECT_EQ(first.rc, CM_OK);
  EXPECT_EQ(first.result[0], CM_INCOMPLETE_DATA_RECEIVED);
  EXPECT_EQ(first.result[2], 40);
  EXPECT_EQ(first.data, Bytes(data.begin(), data.begin() + 40));
  Rcv rest = Rflush(id, 1000, 1000);
  EXPECT_EQ(rest.rc, CM_OK);
  EXPECT_EQ(rest.result[0], CM_COMPLETE_DATA_RECEIVED);
  EXPECT_EQ(rest.result[2], 60);
  EXPECT_EQ(Bytes(rest.data.begin(), rest.data.begin() + 60), Bytes(data.begin() + 40, data.end()));
  // A negative length reaches the layer, which refuses it.
  EXPECT_EQ(Rflush(id, -1, 10).rc, CM_PARAMETER_ERROR);
  EXPECT_EQ(ErrFld(ERR_FLD_RC), "769");
  EXPECT_EQ(Deal(id), CM_OK);
}

// A send length below 0 or beyond the array: 19 with the layer's record of
// a bad send length, nothing sent; the conversation goes on.
TEST_F(Natives, SendLengthBeyondTheArray) {
  StartPeer();
  jbyteArray id = Id();
  ASSERT_EQ(Open(id), CM_OK);
  for (jint length : {-1, 11, 32001}) {
    SCOPED_TRACE(length);
    ErrClear();
    EXPECT_EQ(Send(id, Pattern(10, 1), length), CM_PARAMETER_ERROR);
    EXPECT_EQ(ErrFld(ERR_FLD_RC), "769");
    EXPECT_NE(ErrFld(ERR_FLD_ERROR).find("send_length"), std::string::npos) << ErrFld(ERR_FLD_ERROR);
  }
  EXPECT_EQ(Count(7), 0) << "something was sent";
  ASSERT_EQ(Send(id, Pattern(10, 1), 4), CM_OK);
  Rcv r = Coxread(id, 0, 100);
  EXPECT_EQ(r.result[2], 4);
  EXPECT_EQ(Deal(id), CM_OK);
}

// Timeout 1 asks for what is there: -1 at once with the result untouched,
// the conversation blocking again; a cancel of either kind after it gives 0
// and the next read sends a new request.
TEST_F(Natives, TimedOutReadAndCancel) {
  for (jint type : {0, 1}) {
    SCOPED_TRACE(type);
    StartPeer();
    jbyteArray id = Id();
    ASSERT_EQ(Open(id), CM_OK);
    ASSERT_EQ(Send(id, Bytes{1, 2, 3}), CM_OK);
    ASSERT_TRUE(peer().Control("rule 9 next silent"));
    CPIC_CONV_ENTRY* before = STISearchConv(reinterpret_cast<const char*>(host.Bytes(id).data()), 0, 0);
    ASSERT_NE(before, nullptr);
    // A buffer that cannot be had: 1, and no time-out left behind.
    host.FailCall(JniOp::GetByteArrayElements, 2);
    EXPECT_EQ(Coxread(id, 50).rc, 1);
    EXPECT_EQ(before->f.rcvTimeout, -1);
    EXPECT_EQ(Count(9), 0) << "a receive without a buffer";
    Rcv r = Coxread(id, 1);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.result, (std::vector<int32_t>{-7, -7, -7}));
    CPIC_CONV_ENTRY* e = STISearchConv(reinterpret_cast<const char*>(host.Bytes(id).data()), 0, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->f.rcvTimeout, -1) << "not blocking again";
    EXPECT_EQ(JN(nativeWEQ_1CMCANCEL)(env, nullptr, id, type), CM_OK) << ErrFld(ERR_FLD_ERROR);
    End();
    EXPECT_EQ(Request(213).get("info3"), type == 0 ? "4" : "8");
    Rcv again = Coxread(id, 0);
    EXPECT_EQ(again.rc, CM_OK);
    EXPECT_EQ(Count(9), 2);
    EXPECT_EQ(Deal(id), CM_OK);
  }
}

// A read buffer beyond the largest receive: the layer's refusal (19 with its
// record of a bad requested length, the result zeroed), nothing asked of the
// gateway and no time-out left behind, so that a blocking read then waits
// for the answer.
TEST_F(Natives, ReadBufferBeyondTheLargestReceive) {
  StartPeer();
  jbyteArray id = Id();
  ASSERT_EQ(Open(id), CM_OK);
  Bytes data = Pattern(100, 3);
  ASSERT_EQ(Send(id, data), CM_OK);
  for (jint timeout : {0, 50, 1}) {
    SCOPED_TRACE(timeout);
    Rcv big = Coxread(id, timeout, CPIC_MAX_DATA + 1);
    EXPECT_EQ(big.rc, CM_PARAMETER_ERROR);
    EXPECT_EQ(ErrFld(ERR_FLD_RC), "769");
    EXPECT_EQ(big.result, (std::vector<int32_t>{0, 0, 0}));
    CPIC_CONV_ENTRY* e = STISearchConv(reinterpret_cast<const char*>(host.Bytes(id).data()), 0, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->f.rcvTimeout, -1) << "a time-out left behind";
  }
  EXPECT_EQ(Count(9), 0) << "a receive beyond the largest";
  Rcv r = Coxread(id, 0, CPIC_MAX_DATA);
  EXPECT_EQ(r.rc, CM_OK);
  EXPECT_EQ(r.result[2], 100);
  EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 100), data);
  EXPECT_EQ(Deal(id), CM_OK);
}

// SNC mode 0 reads no SNC string and asks for no SNC, whatever is given.
TEST_F(Natives, SncModeZeroIgnoresItsStrings) {
  StartPeer();
  jbyteArray id = Id();
  ASSERT_EQ(JN(nativeWEQ_1CMINIT3)(env, nullptr, id, S(u"D"), S(u"lu"), S(u"echo"), S(host_), S(serv_), S(u"I"), 0,
                                   0, 3, S(std::u16string(400, u'o')), S(u"p:x"), nullptr),
            CM_OK);
  End();
  EXPECT_EQ(Request(1).get("info2"), "1");
  EXPECT_EQ(JN(nativeSncMode)(env, nullptr, id), 0);
  End();
  EXPECT_EQ(JN(nativeSncPartnerName)(env, nullptr, id), nullptr);
  End();
  jbyteArray key = host.NewBytes(Bytes(4, 0x55));
  EXPECT_EQ(JN(nativeSncPartnerAclKey)(env, nullptr, id, key), -1);
  End();
  EXPECT_EQ(host.Bytes(key), Bytes(4, 0x55));
  EXPECT_EQ(JN(nativeSncPartnerAclKey)(env, nullptr, id, nullptr), -1);
  End();
  // Mode 1 with an SNC string that does not fit fails before the layer.
  jbyteArray id2 = Id();
  EXPECT_EQ(JN(nativeWEQ_1CMINIT3)(env, nullptr, id2, S(u"D"), S(u"lu"), S(u"echo"), S(host_), S(serv_), S(u"I"), 0,
                                   1, 0, S(std::u16string(257, u'o')), S(u"p:x"), S(u"")),
            1);
  End();
  EXPECT_EQ(Count(1), 1);
  EXPECT_EQ(Deal(id), CM_OK);
}

// --- Arrays that are NULL, short or of the wrong length ------------------------------------

// A NULL string fails its conversion before anything else: 1, or the
// conversion's 1 for the registration count; the layer is not called.
TEST_F(Natives, NullStrings) {
  StartPeer();
  JrfcTrace trace;
  for (int arg = 0; arg < 6; ++arg) {
    SCOPED_TRACE(arg);
    jstring a[6] = {S(u"D"), S(u"lu"), S(u"echo"), S(host_), S(serv_), S(u"I")};
    a[arg] = nullptr;
    jbyteArray id = Id();
    EXPECT_EQ(JN(nativeWEQ_1CMINIT3)(env, nullptr, id, a[0], a[1], a[2], a[3], a[4], a[5], 0, 0, 0, nullptr,
                                     nullptr, nullptr),
              1);
    End();
    EXPECT_NE(trace.Take().find("jstr == NULL"), std::string::npos);
  }
  // SNC mode 1 reads its strings: a NULL one fails.
  EXPECT_EQ(JN(nativeWEQ_1CMINIT3)(env, nullptr, Id(), S(u"D"), S(u"lu"), S(u"echo"), S(host_), S(serv_), S(u"I"), 0,
                                   1, 0, nullptr, S(u"p:x"), S(u"lib")),
            1);
  End();
  EXPECT_EQ(JN(nativeCMSPLN)(env, nullptr, Id(), nullptr), 1);
  End();
  jintArray counts = host.NewInts({-1});
  EXPECT_EQ(JN(nativeWEQ_1CMNOREGTP)(env, nullptr, nullptr, S(host_), S(serv_), counts), 1);
  End();
  EXPECT_EQ(host.Ints(counts), std::vector<int32_t>{-1});
  EXPECT_EQ(JN(nativeSetCpicTrace)(env, nullptr, 1, nullptr), 1);
  End();
  EXPECT_EQ(Count(1), 0);
}

// Every native that takes a conversation id: NULL and ids of 0 to 16 bytes
// other than 8 count as a failed pin, each native's value, nothing read.
TEST_F(Natives, ConversationIdsOfEveryLength) {
  struct Case {
    const char* name;
    std::function<jint(JNIEnv*, jbyteArray)> call;
    jint failed;
  };
  jintArray res = host.NewInts({-7, -7, -7});
  jbyteArray buf = host.NewBytes(Bytes(16));
  const Case cases[] = {
      {"CMINIT3",
       [&](JNIEnv* e, jbyteArray id) {
         return JN(nativeWEQ_1CMINIT3)(e, nullptr, id, S(u"D"), S(u"l"), S(u"t"), S(u"h"), S(u"1"), S(u"I"), 0, 0, 0,
                                       nullptr, nullptr, nullptr);
       },
       1},
      {"CMALLC", [&](JNIEnv* e, jbyteArray id) { return JN(nativeCMALLC)(e, nullptr, id); }, 1},
      {"CMSEND", [&](JNIEnv* e, jbyteArray id) { return JN(nativeCMSEND)(e, nullptr, id, buf, 4); }, 1},
      {"coxread", [&](JNIEnv* e, jbyteArray id) { return JN(nativeCpic_1coxread)(e, nullptr, id, 5, buf, res); }, 1},
      {"Rflush", [&](JNIEnv* e, jbyteArray id) { return JN(nativeRflushCMRCV)(e, nullptr, id, buf, 4, res); }, 1},
      {"CMSPLN", [&](JNIEnv* e, jbyteArray id) { return JN(nativeCMSPLN)(e, nullptr, id, S(u"lu")); }, 1},
      {"CMDEAL", [&](JNIEnv* e, jbyteArray id) { return JN(nativeCMDEAL)(e, nullptr, id); }, 1},
      {"CANCEL", [&](JNIEnv* e, jbyteArray id) { return JN(nativeWEQ_1CMCANCEL)(e, nullptr, id, 0); }, 1},
      {"LISTEN3", [&](JNIEnv* e, jbyteArray id) { return JN(nativeWEQ_1CMLISTEN3)(e, nullptr, id); }, 1},
      {"ACCPTP", [&](JNIEnv* e, jbyteArray id) { return JN(nativeWEQ_1CMACCPTP)(e, nullptr, id, 5, 0); }, 1},
      {"ACCPTP3", [&](JNIEnv* e, jbyteArray id) { return JN(nativeWEQ_1CMACCPTP3)(e, nullptr, id, 5, 0); }, 1},
      {"SncMode", [&](JNIEnv* e, jbyteArray id) { return JN(nativeSncMode)(e, nullptr, id); }, 1},
      {"SncPartnerName",
       [&](JNIEnv* e, jbyteArray id) { return JN(nativeSncPartnerName)(e, nullptr, id) == nullptr ? 1 : 0; }, 1},
      {"AclKey", [&](JNIEnv* e, jbyteArray id) { return JN(nativeSncPartnerAclKey)(e, nullptr, id, buf); }, -1},
  };
  JrfcTrace trace;
  for (const Case& c : cases) {
    for (int len = -1; len <= 16; ++len) {
      if (len == 8) continue;
      SCOPED_TRACE(std::string(c.name) + " id of " + std::to_string(len));
      jbyteArray id = len < 0 ? nullptr : host.NewBytes(Bytes(static_cast<size_t>(len), 'I'));
      int before = host.Calls(JniOp::GetByteArrayElements);
      EXPECT_EQ(c.call(env, id), c.failed);
      End();
      if (len >= 0) {
        EXPECT_EQ(host.Bytes(id), Bytes(static_cast<size_t>(len), 'I'));
      }
      // Only a buffer of the native's own may have been pinned.
      EXPECT_LE(host.Calls(JniOp::GetByteArrayElements) - before, 1);
      EXPECT_NE(trace.Take().find("conv_id == NULL (out of native memory)"), std::string::npos);
    }
  }
  EXPECT_EQ(host.Ints(res), (std::vector<int32_t>{-7, -7, -7}));
}

// Result arrays under 3 elements and handle arrays under 1 count as NULL;
// a register native given none registers nothing.
TEST_F(Natives, ShortResultAndHandleArrays) {
  StartPeer();
  JrfcTrace trace;
  jbyteArray id = Id();
  jbyteArray buf = host.NewBytes(Bytes(16));
  for (int n : {-1, 0, 2}) {
    SCOPED_TRACE(n);
    jintArray res = n < 0 ? nullptr : host.NewInts(std::vector<int32_t>(static_cast<size_t>(n), 5));
    EXPECT_EQ(JN(nativeCpic_1coxread)(env, nullptr, id, 0, buf, res), 1);
    End();
    EXPECT_NE(trace.Take().find("res_iarr is NULL"), std::string::npos);
    EXPECT_EQ(JN(nativeRflushCMRCV)(env, nullptr, id, buf, 4, res), 1);
    End();
    EXPECT_NE(trace.Take().find("result_iarr is NULL"), std::string::npos);
    if (n > 0) {
      EXPECT_EQ(host.Ints(res), std::vector<int32_t>(2, 5));
    }
  }
  for (int n : {-1, 0}) {
    SCOPED_TRACE(n);
    jintArray h = n < 0 ? nullptr : host.NewInts({});
    EXPECT_EQ(JN(nativeWEQ_1CMGETNEXTHDL)(env, nullptr, h), 1);
    End();
    EXPECT_NE(trace.Take().find("reghandle_iarr is NULL"), std::string::npos);
    for (auto reg : {JN(nativeWEQ_1CMREGTP2), JN(nativeWEQ_1CMREGTP3)}) {
      EXPECT_EQ(reg(env, nullptr, S(u"SERVER"), S(host_), S(serv_), h, nullptr, nullptr, 0, JNI_FALSE), 1);
      End();
      EXPECT_NE(trace.Take().find("reghandle_iarr is NULL"), std::string::npos);
    }
  }
  EXPECT_FALSE(peer().log().Wait("EVENT", "REGISTER", nullptr, 200)) << "a registration Java cannot end";
}

// Register (version 2 and 3), the counts into arrays of 2, 6 and 0
// elements and NULL, unregister; a failed accept keeps the id's bytes.
TEST_F(Natives, RegistrationsAndTheirCounts) {
  StartPeer();
  jintArray h2 = host.NewInts({0}), h3 = host.NewInts({0});
  ASSERT_EQ(JN(nativeWEQ_1CMREGTP2)(env, nullptr, S(u"SERVER"), S(host_), S(serv_), h2, nullptr, nullptr, 0, 0), 0)
      << ErrFld(ERR_FLD_ERROR);
  End();
  ASSERT_EQ(JN(nativeWEQ_1CMREGTP3)(env, nullptr, S(u"SERVER"), S(host_), S(serv_), h3, S(u"own"), nullptr, 0, 0),
            0);
  End();
  EXPECT_GT(host.Ints(h2)[0], 0);
  EXPECT_GE(host.Ints(h3)[0], 0);
  ASSERT_TRUE(peer().log().Wait("EVENT", "REGISTER", nullptr, 3000));
  ASSERT_TRUE(peer().log().Wait("EVENT", "REGISTER", nullptr, 3000));
  jintArray two = host.NewInts({-1, -1}), six = host.NewInts({-1, -1, -1, -1, 9, 9}), none = host.NewInts({});
  for (jintArray a : {two, six, none, static_cast<jintArray>(nullptr)}) {
    EXPECT_EQ(JN(nativeWEQ_1CMNOREGTP)(env, nullptr, S(u"SERVER"), S(host_), S(serv_), a), 0) << ErrFld(ERR_FLD_ERROR);
    End();
  }
  EXPECT_EQ(host.Ints(two), (std::vector<int32_t>{2, 2}));
  EXPECT_EQ(host.Ints(six), (std::vector<int32_t>{2, 2, 0, 0, 9, 9}));
  // A refused count is the layer's code; a service too long the conversion's.
  EXPECT_NE(JN(nativeWEQ_1CMNOREGTP)(env, nullptr, S(u"SERVER"), S(host_), S(std::u16string(33, u'9')), two), 0);
  End();
  jbyteArray id = host.NewBytes({'k', 'e', 'e', 'p', 'i', 'n', 'g', '!'});
  EXPECT_NE(JN(nativeWEQ_1CMACCPTP3)(env, nullptr, id, 999, 5), CM_OK);
  End();
  EXPECT_NE(JN(nativeWEQ_1CMACCPTP)(env, nullptr, id, -5, 5), CM_OK);
  End();
  EXPECT_EQ(host.Bytes(id), (Bytes{'k', 'e', 'e', 'p', 'i', 'n', 'g', '!'}));
  EXPECT_EQ(JN(nativeWEQ_1CMUNREGTP3)(env, nullptr, host.Ints(h3)[0]), CM_OK);
  End();
  JN(nativeCoxabort)(env, nullptr, nullptr, host.Ints(h2)[0], JNI_FALSE, JNI_TRUE);
  End();
  EXPECT_EQ(peer().Wait("IN", "APPC", 3000, "req", "208").dir, "IN");
  EXPECT_EQ(peer().Wait("IN", "APPC", 3000, "req", "208").dir, "IN");
  Drain();
}

// --- Each JNI call failed in turn -----------------------------------------------------------

// Every Get and New of every native made to fail, one at a time: the
// native gives its failure value, writes an error line and holds nothing.
// Natives run on an open conversation, each call of each kind failed
// in turn until a run makes no more such calls.
TEST_F(Natives, EachJniCallFailedInTurn) {
  StartPeer();
  jbyteArray id = Id();
  ASSERT_EQ(Open(id), CM_OK);
  struct Case {
    const char* name;
    std::function<jlong()> call;  // the native's value (a String as 0 or 1)
    jlong failed;
  };
  auto str = [](jstring s) -> jlong { return s == nullptr ? 0 : 1; };
  const Case cases[] = {
      {"CMSEND", [&] { return jlong{JN(nativeCMSEND)(env, nullptr, id, host.NewBytes(Bytes(5, 1)), 5)}; }, 1},
      {"coxread",
       [&] {
         return jlong{JN(nativeCpic_1coxread)(env, nullptr, id, 1, host.NewBytes(Bytes(64)), host.NewInts({0, 0, 0}))};
       },
       1},
      {"Rflush",
       [&] {
         return jlong{JN(nativeRflushCMRCV)(env, nullptr, id, host.NewBytes(Bytes(64)), 64, host.NewInts({0, 0, 0}))};
       },
       1},
      {"CMSPLN", [&] { return jlong{JN(nativeCMSPLN)(env, nullptr, id, S(u"lu"))}; }, 1},
      {"CANCEL", [&] { return jlong{JN(nativeWEQ_1CMCANCEL)(env, nullptr, id, 7)}; }, 1},
      {"GETNEXTHDL", [&] { return jlong{JN(nativeWEQ_1CMGETNEXTHDL)(env, nullptr, host.NewInts({0}))}; }, 1},
      {"SncMode", [&] { return jlong{JN(nativeSncMode)(env, nullptr, id)}; }, 1},
      {"AclKey", [&] { return jlong{JN(nativeSncPartnerAclKey)(env, nullptr, id, host.NewBytes(Bytes(4)))}; }, -1},
      {"CMPERR", [&] { return str(JN(WEQ_1CMPERR)(env, nullptr)); }, 0},
      {"SetCpicTrace", [&] { return jlong{JN(nativeSetCpicTrace)(env, nullptr, 0, S(u"."))}; }, 1},
      {"getTraceFileName", [&] { return str(JN(getTraceFileName)(env, nullptr)); }, 0},
      {"CpicGetVersion", [&] { return jlong{JN(nativeCpicGetVersion)(env, nullptr, host.NewInts({0, 0}))}; }, 1},
      {"CreateUUID", [&] { return jlong{JN(nativeCreateUUID)(env, nullptr, host.NewBytes(Bytes(16)))}; }, 10},
  };
  // The Get and New calls whose failure the natives report; length and
  // region calls are failed too, and must leave nothing held or pending.
  auto reported = [](JniOp op) {
    return op == JniOp::GetStringUTFChars || op == JniOp::GetByteArrayElements || op == JniOp::GetIntArrayElements ||
           op == JniOp::NewString || op == JniOp::NewStringUTF;
  };
  JrfcTrace trace;
  for (const Case& c : cases) {
    for (int op = 0; op < static_cast<int>(JniOp::kCount); ++op) {
      auto kind = static_cast<JniOp>(op);
      for (int nth = 1;; ++nth) {
        SCOPED_TRACE(std::string(c.name) + " " + tovtest::JniOpName(kind) + " #" + std::to_string(nth));
        // A run without failure counts the native's calls of this kind.
        int before = host.Calls(kind);
        c.call();
        End();
        trace.Take();
        if (nth > host.Calls(kind) - before) break;
        int beforeFail = host.Calls(kind);
        host.FailCall(kind, nth);
        jlong v = c.call();
        End();
        std::string t = trace.Take();
        // A read whose answer had not come yet takes a shorter path than
        // the counting run did; the failure meant for it is dropped, not
        // left for a later call.
        bool reached = host.Calls(kind) - beforeFail >= nth;
        host.ClearFailures();
        if (!reached || !reported(kind)) continue;
        EXPECT_EQ(v, c.failed);
        EXPECT_NE(t.find("JRFC> "), std::string::npos) << "no error line";
      }
    }
  }
  EXPECT_EQ(Deal(id), CM_OK);
}

// --- Natives without a conversation ----------------------------------------------------------

TEST_F(Natives, VersionUuidPingAndTraceFileName) {
  jintArray one = host.NewInts({0}), three = host.NewInts({0, 0, 0});
  EXPECT_EQ(JN(nativeCpicGetVersion)(env, nullptr, one), 0);
  EXPECT_EQ(JN(nativeCpicGetVersion)(env, nullptr, three), 0);
  EXPECT_EQ(JN(nativeCpicGetVersion)(env, nullptr, nullptr), 1);
  End();
  EXPECT_EQ(host.Ints(one), std::vector<int32_t>{720});
  EXPECT_EQ(host.Ints(three), (std::vector<int32_t>{720, 38, 0}));

  for (int n : {-1, 15, 17, 0}) {
    jbyteArray u = n < 0 ? nullptr : host.NewBytes(Bytes(static_cast<size_t>(n), 0xAB));
    EXPECT_EQ(JN(nativeCreateUUID)(env, nullptr, u), 6) << n;
    End();
    if (n >= 0) {
      EXPECT_EQ(host.Bytes(u), Bytes(static_cast<size_t>(n), 0xAB));
    }
  }
  jbyteArray u = host.NewBytes(Bytes(16, 0xAB));
  EXPECT_EQ(JN(nativeCreateUUID)(env, nullptr, u), 0);
  End();
  EXPECT_NE(host.Bytes(u), Bytes(16, 0xAB));

  EXPECT_EQ(JN(nativeWEQ_1CMSETPING)(env, nullptr, 1, 0, -1, 10), CM_PARAMETER_ERROR);
  EXPECT_EQ(JN(nativeWEQ_1CMSETPING)(env, nullptr, 1, 0, 10, -1), CM_PARAMETER_ERROR);

  char want[64];
  snprintf(want, sizeof want, "jrfc%.5d_%05d.trc", static_cast<int>(getpid()), static_cast<int>(syscall(SYS_gettid)));
  jstring name = JN(getTraceFileName)(env, nullptr);
  End();
  EXPECT_EQ(tovtest::ToUtf8(host.Text(name)), want);
}

// The CPI-C trace level through the natives; a name too long for its 2049
// units fails in the conversion and leaves the setting as it was.
// The layer keeps the file open for the process: no descriptor count here.
TEST(NativesTrace, CpicTraceLevel) {
  JniHost host;
  JNIEnv* env = host.env();
  auto S = [&](const std::u16string& s) { return host.NewString(s); };
  auto End = [&] {
    host.EndNative();
    EXPECT_TRUE(host.Violations().empty());
  };
  tovtest::TempDir dir;
  EXPECT_EQ(JN(nativeSetCpicTrace)(env, nullptr, 2, S(tovtest::FromUtf8(dir.File("t.trc")))), 0);
  End();
  EXPECT_EQ(JN(nativeGetCpicTrace)(env, nullptr), 2);
  EXPECT_NE(JN(nativeSetCpicTrace)(env, nullptr, 1, S(std::u16string(2049, u'd'))), 0);
  End();
  EXPECT_EQ(JN(nativeGetCpicTrace)(env, nullptr), 2);
  EXPECT_EQ(JN(nativeSetCpicTrace)(env, nullptr, 0, S(u"")), 0);
  End();
  EXPECT_EQ(JN(nativeGetCpicTrace)(env, nullptr), 0);
}

}  // namespace
