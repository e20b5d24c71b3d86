// The ConverterJNI natives on the in-process JNI host: set-up and the
// converter's layout, the error text, whole and range conversions with
// their buffers and write-back, the refusal of bad Java arguments, every
// report site through injected failures, and the exported tables.
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "i18n/rscp4j/rscp4j_int.h"
#include "krn/rscp/rscpdat.h"
#include "krn/thr/thr.h"
#include "rscp4j_host.h"
#include "support/testsupport.h"

namespace rscp4jtest {
namespace {

using tovtest::JniHost;
using tovtest::JniOp;

class ConverterStarted : public ::testing::Environment {
 public:
  void SetUp() override {
    ThrProcInit();
    ASSERT_EQ(rscpi_init(-1), 0);
  }
};
::testing::Environment* const kConverterStarted = ::testing::AddGlobalTestEnvironment(new ConverterStarted);

uint32_t U32(const Bytes& b, size_t at) {
  uint32_t v;
  memcpy(&v, b.data() + at, 4);
  return v;
}

Bytes Utf32Be(const std::u16string& s) {
  Bytes out;
  for (char16_t c : s) out.insert(out.end(), {0, 0, static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)});
  return out;
}

Bytes AllBytes(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return b;
}

class ConverterNatives : public ::testing::Test {
 protected:
  void SetUp() override { rscpeClearThrErrors(); }
  void TearDown() override {
    rscp4jITestFailAlloc(0);
    host.EndNative();
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front();
  }
  JniHost host;
  Natives n{host};
  JNIEnv* env = host.env();
};

TEST_F(ConverterNatives, ConvertInitBuildsTheConverterOfTheBindings) {
  Ints err;
  const Bytes c = n.Init("1100", "4103", &err).bytes;
  ASSERT_EQ(err, (Ints{0, 0}));
  ASSERT_EQ(c.size(), 172u);
  EXPECT_EQ(Bytes(c.begin() + 4, c.begin() + 20), Le(u"11004103"));
  EXPECT_NE(U32(c, 0), 0u) << "cache_version";
  EXPECT_EQ(c[22], 1) << "use_subst";
  EXPECT_EQ(U32(c, 32), 1u) << "rscpbroken like_miss";
  EXPECT_EQ(U32(c, 36), 0u) << "rscpfill";
  EXPECT_EQ(U32(c, 52), 1u) << "control codes try";
  EXPECT_EQ(U32(c, 56), 0u) << "own characters ignore";
  EXPECT_EQ(U32(c, 60), 4u) << "method tab";
  EXPECT_EQ(n.Init("0000", "1100").bytes, n.Init("4103", "1100").bytes);
  EXPECT_EQ(n.Init("4110", "0000").bytes, n.Init("4110", "4103").bytes);
  jintArray e = host.NewInts({9, 9});
  jbyteArray off = Java_com_weq_i18n_cp_ConverterJNI_ConvertInit(env, nullptr, host.NewChars(u"1100"),
                                                                 host.NewChars(u"4103"), JNI_FALSE, e);
  EXPECT_EQ(host.Bytes(off)[22], 0) << "mode false: no substitution";

  // Code pages of another length, NULL, or unknown: 172 zero bytes.
  const Bytes zero(172, 0);
  const struct {
    jcharArray from, to;
    Ints err;
  } bad[] = {{host.NewChars(u"110"), host.NewChars(u"4103"), {16, 0}},
             {host.NewChars(u"1100"), host.NewChars(u"41030"), {16, 0}},
             {nullptr, host.NewChars(u"4103"), {16, 0}},
             {host.NewChars(u"0042"), host.NewChars(u"4103"), {2048, 0}}};
  for (const auto& b : bad) {
    jintArray err2 = host.NewInts({-1, -1});
    jbyteArray a = Java_com_weq_i18n_cp_ConverterJNI_ConvertInit(env, nullptr, b.from, b.to, JNI_TRUE, err2);
    EXPECT_EQ(host.Bytes(a), zero);
    EXPECT_EQ(host.Ints(err2), b.err);
  }
  // err arrays: as many values as they hold, none for NULL.
  const struct {
    Ints before, after;
  } arrays[] = {{{}, {}}, {{7}, {16}}, {{7, 7, 7}, {16, 0, 7}}};
  for (const auto& a : arrays) {
    jintArray err3 = host.NewInts(a.before);
    Java_com_weq_i18n_cp_ConverterJNI_ConvertInit(env, nullptr, host.NewChars(u"1"), host.NewChars(u"4103"), JNI_TRUE,
                                                  err3);
    EXPECT_EQ(host.Ints(err3), a.after);
  }
  EXPECT_EQ(host.Bytes(Java_com_weq_i18n_cp_ConverterJNI_ConvertInit(env, nullptr, host.NewChars(u"1"),
                                                                     host.NewChars(u"4103"), JNI_TRUE, nullptr)),
            zero);
  // ConvertFinish deactivates; the converter then converts nothing.
  const Conv text = n.Chosen("4103", "4110");
  Java_com_weq_i18n_cp_ConverterJNI_ConvertFinish(env, nullptr, text.array);
  EXPECT_EQ(U32(host.Bytes(text.array), 60), 1u);
  const Natives::Out none = n.CToX(text.array, u"a");
  EXPECT_EQ(none.err, (Ints{2048, 0}));
  EXPECT_TRUE(none.bytes.empty());
}

TEST_F(ConverterNatives, RetriesStartFromTheObjectAsItCame) {
  // UTF-8 into UTF-32 takes four bytes for one: the first attempts run out
  // of room; each broken byte is substituted and counted once.
  Bytes in(3000, 'a');
  for (size_t i = 100; i < in.size(); i += 500) in[i] = 0xFF;
  const Conv conv = n.Chosen("4110", "4104");
  const Natives::Out out = n.XToX(conv.array, in);
  EXPECT_EQ(out.err, (Ints{0, 3000}));
  ASSERT_EQ(out.bytes.size(), 12000u);
  EXPECT_EQ(out.bytes[4 * 100 + 3], '#');
  EXPECT_EQ(U32(host.Bytes(conv.array), 28), 6u) << "subst_count";
}

TEST_F(ConverterNatives, ARangeCopyGivesBackAHalfCharacter) {
  // Into an odd room, the copy of UTF-16 stops inside a character: that
  // byte is not produced, and err counts the whole characters.
  const Conv copy = n.Chosen("4103", "4103");
  Natives::Range w = n.CToXArr(copy.array, u"abc", 0, 3, 6, 1, 6, true);
  EXPECT_EQ(w.rc, 4);
  EXPECT_EQ(w.err, (Ints{32, 2}));
  EXPECT_EQ(w.bytes, (Bytes{0xEE, 'a', 0, 'b', 0, 0xEE}));
  w = n.CToXArr(copy.array, u"abc", 2, 3, 6, 0, 6, false);
  EXPECT_EQ(w.rc, 2);
  EXPECT_EQ(w.bytes, (Bytes{'c', 0, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(ConverterNatives, ACopyOfAnOddInputGivesBackItsLastByte) {
  // The copy of UTF-16 into Java characters: a last byte without its
  // partner makes no character, so it is not counted as consumed, and a
  // caller that goes on from the count loses nothing.
  const Conv copy = n.Chosen("4103", "4103");
  const Bytes in = {'a', 0, 'b', 0, 'c'};
  const Natives::Out whole = n.XToC(copy.array, in);
  EXPECT_EQ(whole.text, u"ab");
  EXPECT_EQ(whole.err, (Ints{0, 4}));
  Natives::Range r = n.XToCArr(copy.array, in, 0, 5, 4, 0, 4, true);
  EXPECT_EQ(r.rc, 2);
  EXPECT_EQ(r.text, u"ab\xEEEE\xEEEE");
  EXPECT_EQ(r.err, (Ints{0, 4}));
  r = n.XToCArr(copy.array, in, 0, 3, 4, 0, 4, true);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err, (Ints{0, 2}));
}

// Every native that takes a converter, called with a bad converter or bad
// arrays: err {16, 0} where it has one, its empty, NULL or failure result,
// and nothing written.
struct RefusalCall {
  const char* name;
  // Calls the native; arrays it may write are in *written; returns its
  // result as text.
  std::function<std::string(JNIEnv*, JniHost&, jbyteArray conv, jintArray err,
                            std::vector<std::pair<jobject, Bytes>>* written)>
      call;
};

std::string ShowResult(JniHost& h, jobject o, char kind) {
  if (o == nullptr) return "NULL";
  if (kind == 's') return "\"" + tovtest::ToUtf8(h.Text(o)) + "\"";
  return "[" + std::to_string(kind == 'b' ? h.Bytes(o).size() : h.Ints(o).size()) + "]";
}

TEST_F(ConverterNatives, BadArgumentsAreRefusedBeforeAnythingIsDone) {
  const Conv good = n.Chosen("1100", "4103");
  const auto chars = [&](size_t k) { return host.NewChars(std::u16string(k, u'x')); };
  const auto bytes = [&](size_t k) { return host.NewBytes(Bytes(k, 'x')); };
  using V = std::vector<std::pair<jobject, Bytes>>;
  const auto keep = [&](V* w, jobject a) { w->emplace_back(a, host.Raw(a)); };
  const RefusalCall calls[] = {
      {"ConvertFinish", [](JNIEnv* e, JniHost&, jbyteArray c, jintArray, V*) {
         Java_com_weq_i18n_cp_ConverterJNI_ConvertFinish(e, nullptr, c);
         return std::string("void");
       }},
      {"GetShortcutType", [](JNIEnv* e, JniHost&, jbyteArray c, jintArray, V*) {
         return std::to_string(Java_com_weq_i18n_cp_ConverterJNI_GetShortcutType(e, nullptr, c));
       }},
      {"GetSb2UcTab", [&](JNIEnv* e, JniHost&, jbyteArray c, jintArray, V* w) {
         jcharArray t = chars(256);
         keep(w, t);
         return std::to_string(Java_com_weq_i18n_cp_ConverterJNI_GetSb2UcTab(e, nullptr, c, t));
       }},
      {"GetDb2UcTab", [&](JNIEnv* e, JniHost& h, jbyteArray c, jintArray err, V* w) {
         jbyteArray a = bytes(256);
         jcharArray b = chars(256), d = chars(256);
         keep(w, a), keep(w, b), keep(w, d);
         return ShowResult(h, Java_com_weq_i18n_cp_ConverterJNI_GetDb2UcTab(e, nullptr, c, a, b, d, err), 'i');
       }},
      {"GetUc2SbTab", [](JNIEnv* e, JniHost& h, jbyteArray c, jintArray err, V*) {
         return ShowResult(h, Java_com_weq_i18n_cp_ConverterJNI_GetUc2SbTab(e, nullptr, c, err), 'b');
       }},
      {"GetUc2DbTab", [&](JNIEnv* e, JniHost& h, jbyteArray c, jintArray err, V* w) {
         jcharArray t = chars(65536);
         keep(w, t);
         return ShowResult(h, Java_com_weq_i18n_cp_ConverterJNI_GetUc2DbTab(e, nullptr, c, t, err), 'i');
       }},
      {"ConvertCToX", [](JNIEnv* e, JniHost& h, jbyteArray c, jintArray err, V*) {
         return ShowResult(h, Java_com_weq_i18n_cp_ConverterJNI_ConvertCToX(e, nullptr, c, h.NewString(u"ab"), err), 'b');
       }},
      {"ConvertXToC", [&](JNIEnv* e, JniHost& h, jbyteArray c, jintArray err, V*) {
         return ShowResult(h, Java_com_weq_i18n_cp_ConverterJNI_ConvertXToC(e, nullptr, c, bytes(3), err), 's');
       }},
      {"ConvertXToX", [&](JNIEnv* e, JniHost& h, jbyteArray c, jintArray err, V*) {
         return ShowResult(h, Java_com_weq_i18n_cp_ConverterJNI_ConvertXToX(e, nullptr, c, bytes(3), err), 'b');
       }},
      {"ConvertXToCArr", [&](JNIEnv* e, JniHost&, jbyteArray c, jintArray, V* w) {
         jcharArray o = chars(8);
         keep(w, o);
         return std::to_string(Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArr(e, nullptr, c, bytes(8), 0, 8, o, 0, 8));
       }},
      {"ConvertXToCArrR", [&](JNIEnv* e, JniHost&, jbyteArray c, jintArray err, V* w) {
         jcharArray o = chars(8);
         keep(w, o);
         return std::to_string(
             Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArrR(e, nullptr, c, bytes(8), 0, 8, o, 0, 8, err));
       }},
      {"ConvertCToXArr", [&](JNIEnv* e, JniHost&, jbyteArray c, jintArray, V* w) {
         jbyteArray o = bytes(8);
         keep(w, o);
         return std::to_string(Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArr(e, nullptr, c, chars(8), 0, 8, o, 0, 8));
       }},
      {"ConvertCToXArrR", [&](JNIEnv* e, JniHost&, jbyteArray c, jintArray err, V* w) {
         jbyteArray o = bytes(8);
         keep(w, o);
         return std::to_string(
             Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArrR(e, nullptr, c, chars(8), 0, 8, o, 0, 8, err));
       }},
  };
  const std::map<std::string, std::string> refused = {
      {"ConvertFinish", "void"},  {"GetShortcutType", "0"}, {"GetSb2UcTab", "16"},      {"GetDb2UcTab", "NULL"},
      {"GetUc2SbTab", "NULL"},    {"GetUc2DbTab", "NULL"},  {"ConvertCToX", "[0]"},      {"ConvertXToC", "\"\""},
      {"ConvertXToX", "[0]"},     {"ConvertXToCArr", "1"},  {"ConvertXToCArrR", "1"},    {"ConvertCToXArr", "1"},
      {"ConvertCToXArrR", "1"}};
  const std::set<std::string> withErr = {"GetDb2UcTab", "GetUc2SbTab",    "GetUc2DbTab",    "ConvertCToX",
                                         "ConvertXToC", "ConvertXToX",    "ConvertXToCArrR", "ConvertCToXArrR"};
  const std::vector<Bytes> badConverters = {Bytes(171, 0), Bytes(173, 0), Bytes{}};
  for (const RefusalCall& c : calls) {
    for (int k = -1; k < static_cast<int>(badConverters.size()); ++k) {
      SCOPED_TRACE(std::string(c.name) + " converter " + std::to_string(k));
      rscpeClearThrErrors();
      jbyteArray conv = k < 0 ? nullptr : host.NewBytes(badConverters[static_cast<size_t>(k)]);
      jintArray err = host.NewInts({-1, -1});
      V written;
      EXPECT_EQ(c.call(env, host, conv, err, &written), refused.at(c.name));
      EXPECT_EQ(host.Ints(err), withErr.count(c.name) ? (Ints{16, 0}) : (Ints{-1, -1}));
      for (const auto& [array, before] : written) EXPECT_EQ(host.Raw(array), before);
      if (conv != nullptr) {
        EXPECT_EQ(host.Bytes(conv), badConverters[static_cast<size_t>(k)]);
      }
      const rscpErrEntry_t e = Newest();
      EXPECT_EQ(e.errClass, u'J');
      EXPECT_EQ(e.rc, 16);
      EXPECT_EQ(e.location, 30);
      EXPECT_EQ(Field(e.msgCode, 3), u"CQ4");
      host.EndNative();
    }
  }
  // Ranges: NULL arrays, negative starts, ends before starts or past the
  // array, on both sides.
  const struct {
    const char* name;
    bool nullIn, nullOut;
    jint s, e, os, oe;
  } ranges[] = {{"null in", true, false, 0, 0, 0, 4},   {"null out", false, true, 0, 4, 0, 0},
                {"negative", false, false, -1, 2, 0, 4}, {"end before start", false, false, 3, 2, 0, 4},
                {"past in", false, false, 0, 9, 0, 4},   {"out negative", false, false, 0, 4, -2, 4},
                {"out before start", false, false, 0, 4, 4, 3}, {"past out", false, false, 0, 4, 0, 9}};
  for (const auto& r : ranges) {
    SCOPED_TRACE(r.name);
    for (bool chars16 : {false, true}) {
      jbyteArray conv = host.NewBytes(good.bytes);
      jintArray err = host.NewInts({-1, -1});
      jbyteArray inB = r.nullIn ? nullptr : bytes(8);
      jcharArray inC = r.nullIn ? nullptr : chars(8);
      jcharArray outC = r.nullOut ? nullptr : chars(8);
      jbyteArray outB = r.nullOut ? nullptr : bytes(8);
      const jint got = chars16 ? Java_com_weq_i18n_cp_ConverterJNI_ConvertCToXArrR(env, nullptr, conv, inC, r.s, r.e,
                                                                                   outB, r.os, r.oe, err)
                               : Java_com_weq_i18n_cp_ConverterJNI_ConvertXToCArrR(env, nullptr, conv, inB, r.s, r.e,
                                                                                   outC, r.os, r.oe, err);
      EXPECT_EQ(got, 1);
      EXPECT_EQ(host.Ints(err), (Ints{16, 0}));
      if (!r.nullOut) {
        EXPECT_EQ(host.Raw(chars16 ? static_cast<jobject>(outB) : outC), chars16 ? Bytes(8, 'x') : Le(u"xxxxxxxx"));
      }
      EXPECT_EQ(Newest().location, 31);
      host.EndNative();
    }
  }
  // NULL input of the whole-object natives.
  const Conv text = n.Chosen("4103", "4110");
  jintArray err = host.NewInts({-1, -1});
  EXPECT_EQ(host.Bytes(Java_com_weq_i18n_cp_ConverterJNI_ConvertCToX(env, nullptr, text.array, nullptr, err)), Bytes{});
  EXPECT_EQ(host.Ints(err), (Ints{16, 0}));
  EXPECT_EQ(host.Text(Java_com_weq_i18n_cp_ConverterJNI_ConvertXToC(env, nullptr, good.array, nullptr, err)), u"");
  EXPECT_EQ(Param1(Newest()), u"buf input&0..0&!<=&-1");
}

// One injected failure: what it does, and the report it must leave.
struct Injected {
  const char* name;
  std::function<void(Natives&)> run;  // injects, calls and checks the result
  int location;
  const char16_t* module;
  const char16_t* code;
  const char16_t* param;
};

TEST_F(ConverterNatives, EveryReportSiteThroughInjectedFailures) {
  const Bytes big = AllBytes(12000);
  const auto latin = [](Natives& x) { return x.Chosen("1100", "4103"); };
  const Injected cases[] = {
      {"ConvertInit result", [](Natives& x) {
         x.host().FailCall(JniOp::NewByteArray);
         Ints err;
         EXPECT_EQ(x.Init("1100", "4103", &err).bytes, Bytes(172, 0));
         EXPECT_EQ(err, (Ints{1, 0}));
         x.host().FailCall(JniOp::NewByteArray, 1);
         x.host().FailCall(JniOp::NewByteArray, 2);
         EXPECT_EQ(x.Init("1100", "4103").array, nullptr);
       }, 1, u"rscp4jcn", u"CP8", u"172&"},
      {"ConvertXToC input", [&](Natives& x) {
         const Conv c = latin(x);
         rscp4jITestFailAlloc(1);
         const Natives::Out o = x.XToC(c.array, big);
         EXPECT_EQ(o.err, (Ints{1, 0}));
         EXPECT_EQ(o.text, u"");
       }, 2, u"rscp4jcn", u"CP8", u"12000&"},
      {"ConvertXToC result", [&](Natives& x) {
         const Conv c = latin(x);
         x.host().FailCall(JniOp::NewString);
         const Natives::Out o = x.XToC(c.array, {'a', 'b'});
         EXPECT_EQ(o.err, (Ints{1, 0}));
         EXPECT_EQ(o.text, u"");
       }, 3, u"rscp4jcn", u"CP8", u"4&"},
      {"ConvertXToCArr input", [&](Natives& x) {
         const Conv c = latin(x);
         rscp4jITestFailAlloc(1);
         const Natives::Range r = x.XToCArr(c.array, big, 0, 12000, 4, 0, 4, true);
         EXPECT_EQ(r.rc, 1);
         EXPECT_EQ(r.err, (Ints{-1, -1}));
       }, 4, u"rscp4jcn", u"CP8", u"12000&"},
      {"ConvertCToX characters", [](Natives& x) {
         const Conv c = x.Chosen("4103", "4110");
         x.host().FailCall(JniOp::GetStringChars);
         const Natives::Out o = x.CToX(c.array, u"abc");
         EXPECT_EQ(o.err, (Ints{1, 0}));
         EXPECT_TRUE(o.bytes.empty() && !o.null);
       }, 5, u"rscp4jcn", u"CP8", u"6&"},
      {"ConvertCToX result", [](Natives& x) {
         const Conv c = x.Chosen("4103", "4110");
         x.host().FailCall(JniOp::NewByteArray);
         const Natives::Out o = x.CToX(c.array, u"abc");
         EXPECT_EQ(o.err, (Ints{1, 0}));
         EXPECT_TRUE(o.bytes.empty() && !o.null);
       }, 6, u"rscp4jcn", u"CP8", u"3&"},
      {"ConvertCToXArr input", [](Natives& x) {
         const Conv c = x.Chosen("4103", "4110");
         rscp4jITestFailAlloc(1);
         EXPECT_EQ(x.CToXArr(c.array, std::u16string(11000, u'a'), 0, 11000, 4, 0, 4, false).rc, 1);
       }, 7, u"rscp4jcn", u"CP8", u"22000&"},
      {"ConvertXToX input", [&](Natives& x) {
         const Conv c = x.Chosen("1100", "4110");
         rscp4jITestFailAlloc(1);
         EXPECT_EQ(x.XToX(c.array, big).err, (Ints{1, 0}));
       }, 8, u"rscp4jcn", u"CP8", u"12000&"},
      {"ConvertXToX result", [](Natives& x) {
         const Conv c = x.Chosen("1100", "4110");
         x.host().FailCall(JniOp::NewByteArray);
         const Natives::Out o = x.XToX(c.array, {0xE9});
         EXPECT_EQ(o.err, (Ints{1, 0}));
         EXPECT_TRUE(o.bytes.empty() && !o.null);
       }, 9, u"rscp4jcn", u"CP8", u"2&"},
      {"larger output", [](Natives& x) {
         // 400 bytes into UTF-32: 1200 bytes on the heap, then no room for
         // 2400; what was converted comes back.
         const Conv c = x.Chosen("1100", "4104");
         rscp4jITestFailAlloc(2);
         const Natives::Out o = x.XToX(c.array, Bytes(400, 'a'));
         EXPECT_EQ(o.err, (Ints{1, 300}));
         EXPECT_EQ(o.bytes, Utf32Be(std::u16string(300, u'a')));
       }, 10, u"rscp4jcn", u"CP8", u"2400&"},
      {"ConvertInit code page", [](Natives& x) {
         x.host().FailCall(JniOp::GetCharArrayElements, 2);
         Ints err;
         EXPECT_EQ(x.Init("1100", "4103", &err).bytes, Bytes(172, 0));
         EXPECT_EQ(err, (Ints{1, 0}));
       }, 11, u"rscp4jcn", u"CP8", u"8&"},
      {"GetSystemCodePage result", [](Natives& x) {
         x.host().FailCall(JniOp::NewCharArray);
         EXPECT_EQ(Java_com_weq_i18n_cp_ConverterJNI_GetSystemCodePage(x.env(), nullptr), nullptr);
       }, 12, u"rscp4jcn", u"CP8", u"4&"},
      {"GetSb2UcTab table", [](Natives& x) {
         const Conv c = x.Chosen("1100", "4103");
         jcharArray t = x.host().NewChars(std::u16string(255, u'x'));
         EXPECT_EQ(Java_com_weq_i18n_cp_ConverterJNI_GetSb2UcTab(x.env(), nullptr, c.array, t), 0);
         EXPECT_EQ(x.CharsOf(t), std::u16string(255, u'x'));
       }, 0, u"rscp4jct", u"CQ4", u"buf acSb2UcTab&256&!=&255"},
  };
  for (const Injected& c : cases) {
    SCOPED_TRACE(c.name);
    rscpeClearThrErrors();
    c.run(n);
    const rscpErrEntry_t e = Newest();
    EXPECT_EQ(e.errClass, u'J');
    EXPECT_EQ(e.rc, 1);
    EXPECT_EQ(e.location, c.location);
    EXPECT_EQ(Field(e.module, 8), c.module);
    EXPECT_EQ(Field(e.msgCode, 3), c.code);
    EXPECT_EQ(Param1(e), c.param);
    const std::u16string text = n.LastError();
    EXPECT_NE(text.find(c.param), std::u16string::npos) << tovtest::Show(text);
    EXPECT_NE(text.find(std::u16string(u"module: ") + c.module), std::u16string::npos);
    EXPECT_TRUE(host.Pending().empty());
    rscp4jITestFailAlloc(0);
    host.EndNative();
  }
}

TEST_F(ConverterNatives, BuffersThatCannotBeHadFallBackToTheStack) {
  // The whole-object output: 1024 bytes on the stack, then doubled.
  const Conv wide = n.Chosen("1100", "4104");
  rscp4jITestFailAlloc(1);
  EXPECT_EQ(n.XToX(wide.array, Bytes(400, 'a')).bytes, Utf32Be(std::u16string(400, u'a')));
  // A range's output: the stack's 1024 bytes are its capacity.
  const Conv latin = n.Chosen("1100", "4103");
  rscp4jITestFailAlloc(1);
  const Natives::Range r = n.XToCArr(latin.array, Bytes(600, 'a'), 0, 600, 600, 0, 600, true);
  EXPECT_EQ(r.rc, 512);
  EXPECT_EQ(r.err, (Ints{32, 512}));
}

// The table natives' own report sites.
TEST_F(ConverterNatives, TableReportSites) {
  const Conv db = n.Chosen("8000", "4103");
  const Conv sb = n.Chosen("4103", "1100");
  const Conv ud = n.Chosen("4103", "8000");
  const auto db2uc = [&](jsize a, jsize b, jsize c, jintArray err, jbyteArray* lead = nullptr) {
    jbyteArray l = host.NewBytes(Bytes(static_cast<size_t>(a), 'x'));
    if (lead != nullptr) *lead = l;
    return Java_com_weq_i18n_cp_ConverterJNI_GetDb2UcTab(
        env, nullptr, db.array, l, host.NewChars(std::u16string(static_cast<size_t>(b), u'x')),
        host.NewChars(std::u16string(static_cast<size_t>(c), u'x')), err);
  };
  const auto uc2db = [&](jsize k, jintArray err) {
    return Java_com_weq_i18n_cp_ConverterJNI_GetUc2DbTab(env, nullptr, ud.array,
                                                         host.NewChars(std::u16string(static_cast<size_t>(k), u'x')), err);
  };
  const struct {
    const char* name;
    std::function<jobject(jintArray)> run;
    int location;
    const char16_t* param;
  } cases[] = {
      {"Db2Uc area", [&](jintArray e) { rscp4jITestFailAlloc(1); return db2uc(256, 256, 256, e); }, 1, u"262144&"},
      {"Db2Uc lead lengths", [&](jintArray e) { return db2uc(255, 256, 256, e); }, 2,
       u"buf abLeadByte2LengthTab&256&!=&255"},
      {"Db2Uc lead values", [&](jintArray e) {
         jbyteArray lead = nullptr;
         jobject r = db2uc(256, 257, 256, e, &lead);
         EXPECT_EQ(host.Bytes(lead)[0x82], 2) << "copied before the next table was checked";
         return r;
       }, 3, u"buf acLeadByte2ValueTab&256&!=&257"},
      {"Db2Uc fallbacks", [&](jintArray e) { return db2uc(256, 256, 0, e); }, 4, u"buf acBrokenDb2UcTab&256&!=&0"},
      {"Db2Uc result", [&](jintArray e) { host.FailCall(JniOp::NewIntArray); return db2uc(256, 256, 256, e); }, 5, nullptr},
      {"Uc2Sb area", [&](jintArray e) {
         rscp4jITestFailAlloc(1);
         return Java_com_weq_i18n_cp_ConverterJNI_GetUc2SbTab(env, nullptr, sb.array, e);
       }, 11, u"65536&"},
      {"Uc2Sb result", [&](jintArray e) {
         host.FailCall(JniOp::NewByteArray);
         return Java_com_weq_i18n_cp_ConverterJNI_GetUc2SbTab(env, nullptr, sb.array, e);
       }, 12, u"256&"},
      {"Uc2Db index", [&](jintArray e) { rscp4jITestFailAlloc(1); return uc2db(65536, e); }, 21, u"131072&"},
      {"Uc2Db blocks", [&](jintArray e) { rscp4jITestFailAlloc(2); return uc2db(65536, e); }, 22, u"2097152&"},
      {"Uc2Db index table", [&](jintArray e) { return uc2db(65535, e); }, 23, u"buf anUc2ValueTab&65536&!=&65535"},
      {"Uc2Db result", [&](jintArray e) { host.FailCall(JniOp::NewCharArray); return uc2db(65536, e); }, 24, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rscpeClearThrErrors();
    jintArray err = host.NewInts({-1, -1});
    EXPECT_EQ(c.run(err), nullptr);
    EXPECT_EQ(host.Ints(err), (Ints{1, 0}));
    const rscpErrEntry_t e = Newest();
    EXPECT_EQ(e.errClass, u'J');
    EXPECT_EQ(e.location, c.location);
    EXPECT_EQ(Field(e.module, 8), u"rscp4jct");
    if (c.param != nullptr) {
      EXPECT_EQ(Param1(e), c.param);
    }
    rscp4jITestFailAlloc(0);
    host.EndNative();
  }
}

// Where the Java side takes the Unicode-to-single-byte table in place of
// the conversion, each entry is what ConvertCToX writes for that value:
// the page's own code, or for a value without one the page's own
// substitution byte (EBCDIC writes '#' as 0x7B). The native hands out the
// table up to its last code; the engine's table holds every value.
TEST_F(ConverterNatives, EachUnicodeToSingleByteEntryIsWhatTheConversionWrites) {
  std::set<std::string> checked;
  for (const char* row = rscpF5Tcp00; *row != ' '; row += RSCP_TCP00_ROW) {
    const std::string cp(row, 4), major(row + 81, 2), cls(row + 7, 2);
    if (row[92] == ' ' || major != "00" || (cls != "01" && cls != "04")) continue;
    SCOPED_TRACE(cp);
    const Conv c = n.Chosen("4103", cp.c_str());
    {
      // Shortcut type 3: the Java side converts with this table. (Of the
      // others the query writes its reason to standard error.)
      tovtest::CaptureFd reason;
      if (Java_com_weq_i18n_cp_ConverterJNI_GetShortcutType(env, nullptr, c.array) != 3) continue;
    }
    jintArray e = host.NewInts({-1, -1});
    const Bytes exported = host.Bytes(Java_com_weq_i18n_cp_ConverterJNI_GetUc2SbTab(env, nullptr, c.array, e));
    ASSERT_EQ(host.Ints(e), (Ints{0, 0}));
    rscpCObj_t o;
    memcpy(&o, host.Bytes(c.array).data(), sizeof o);
    Bytes table(65536);
    int32_t used = 0;
    ASSERT_EQ(rscpCGetUc2SbTab(&o, table.data(), &used), 0);
    ASSERT_EQ(exported, Bytes(table.begin(), table.begin() + used));
    // Every value in one text but the surrogates, which go each alone.
    std::u16string text;
    for (uint32_t u = 0; u < 0x10000; ++u)
      if (u < 0xD800 || u > 0xDFFF) text += static_cast<char16_t>(u);
    const Natives::Out all = n.CToX(c.array, text);
    ASSERT_EQ(all.err, (Ints{0, static_cast<int32_t>(text.size())}));
    ASSERT_EQ(all.bytes.size(), text.size());
    int differ = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (table[text[i]] != all.bytes[i] && ++differ < 5) {
        ADD_FAILURE() << "U+" << std::hex << int(text[i]) << ": table " << int(table[text[i]]) << ", conversion "
                      << int(all.bytes[i]);
      }
    }
    EXPECT_EQ(differ, 0);
    for (char16_t u : {u'\xD800', u'\xDBFF', u'\xDC00', u'\xDFFF'})
      EXPECT_EQ(n.CToX(c.array, std::u16string(1, u)).bytes, Bytes{table[u]}) << int(u);
    checked.insert(cp);
    host.EndNative();
  }
  for (const char* cp : {"0100", "1100", "1101"}) EXPECT_TRUE(checked.count(cp)) << cp;
}

TEST(SurrogateCorrection, OnlyEntriesWithoutALowSurrogateInTheOutputOrderAreCut) {
  const struct {
    bool bigEndian;
    uint32_t in, out;
  } cases[] = {
      {false, 0xD83DDE00, 0xD83DDE00},  // LE: DE00 is a low surrogate
      {false, 0xD83D00DE, 0x00DE},      // LE: 00DE is not
      {true, 0x3DD800DE, 0x3DD800DE},   // BE: bytes DE 00 read as 0x00DE
      {true, 0xD83DDE00, 0xDE00},       // BE: bytes 00 DE are not a low surrogate
      {false, 0xFFFF, 0xFFFF},          // below 0x10000 stays
      {true, 0x3042, 0x3042},
  };
  std::vector<uint32_t> entries;
  for (const auto& c : cases) {
    uint32_t v = c.in;
    tovtest::CaptureFd err;
    EXPECT_EQ(rscp4jICorrectSurrogates(&v, 1, c.bigEndian), c.in == c.out ? 0u : 1u);
    EXPECT_EQ(v, c.out);
    char line[64];
    snprintf(line, sizeof line, "Correct wrong surrogate: 0 %x\n", c.in);
    EXPECT_EQ(err.Take(), c.in == c.out ? "" : line);
  }
  uint32_t many[3] = {0x41, 0x10041, 0xD800DC00};
  tovtest::CaptureFd err;
  EXPECT_EQ(rscp4jICorrectSurrogates(many, 3, false), 1u);
  EXPECT_EQ(err.Take(), "Correct wrong surrogate: 1 10041\n");
}

}  // namespace
}  // namespace rscp4jtest
