// Marshalling routines on the in-process JNI host: what reaches the native
// buffers and Java, the cut copies and their warning line, and every JNI
// failure turned into the routine's failure value with nothing left pending.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "krn/dptrc/dptrc.h"
#include "krn/rfc/jrfc_int.h"
#include "support/jnihost.h"
#include "support/testsupport.h"

namespace {

using tovtest::JniHost;
using tovtest::JniOp;

// Trace lines at the given level go to standard error, captured.
class TraceTo {
 public:
  explicit TraceTo(int level) : saved_(CTrcLevel.load()), hdl_(CTrcGlobalHdl.load()) {
    CTrcGlobalHdl.store(nullptr);
    CTrcLevel.store(level);
  }
  ~TraceTo() {
    CTrcLevel.store(saved_);
    CTrcGlobalHdl.store(hdl_);
  }

 private:
  int saved_;
  CTRC_HDL hdl_;
};

class Marshal : public ::testing::Test {
 protected:
  void TearDown() override {
    host.EndNative();
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front();
  }
  JniHost host;
};

struct StringCase {
  const char* name;
  std::u16string text;
  std::u16string expected;  // what the native buffer holds
};

TEST_F(Marshal, StringsReachTheBufferAsTheirUnits) {
  const StringCase cases[] = {
      {"ascii", u"gwhost", u"gwhost"},
      {"bmp", u"Gr\u00fc\u00dfe \u65e5\u672c", u"Gr\u00fc\u00dfe \u65e5\u672c"},
      {"supplementary pair", u"a\U0001F600b\U00010400", u"a\U0001F600b\U00010400"},
      {"empty", u"", u""},
      // Java's NUL travels as C0 80, an overlong form that the converter
      // replaces; the text is not cut there.
      {"embedded NUL", std::u16string(u"a\0b", 3), u"a\ufffdb"},
  };
  for (const StringCase& c : cases) {
    WEQ_UC buf[64];
    jstring s = host.NewString(c.text);
    EXPECT_EQ(jrfcStringToUcs(host.env(), s, buf, 64, JRFC_WHERE), 0) << c.name;
    EXPECT_EQ(std::u16string(buf), c.expected) << c.name;
    host.EndNative();
  }
}

TEST_F(Marshal, CapacityCountsTheTerminator) {
  for (int len : {1, 7, 100}) {
    std::u16string text(static_cast<size_t>(len), u'x');
    std::vector<WEQ_UC> buf(static_cast<size_t>(len) + 1, u'#');
    jstring s = host.NewString(text);
    EXPECT_EQ(jrfcStringToUcs(host.env(), s, buf.data(), len + 1, JRFC_WHERE), 0) << len;
    EXPECT_EQ(std::u16string(buf.data()), text);
    // One unit short: the converter's "too long" code, the native must not
    // go on with a cut text.
    EXPECT_EQ(jrfcStringToUcs(host.env(), s, buf.data(), len, JRFC_WHERE), 32) << len;
    host.EndNative();
  }
}

TEST_F(Marshal, StringFailuresAreOneAndLeaveNothingPending) {
  TraceTo trace(1);
  WEQ_UC buf[16];
  tovtest::CaptureFd err;
  EXPECT_EQ(jrfcStringToUcs(nullptr, host.NewString(u"a"), buf, 16, u"caller.cpp", 7), 1);
  EXPECT_EQ(jrfcStringToUcs(host.env(), nullptr, buf, 16, u"caller.cpp", 8), 1);
  host.FailCall(JniOp::GetStringUTFChars);
  EXPECT_EQ(jrfcStringToUcs(host.env(), host.NewString(u"a"), buf, 16, u"caller.cpp", 9), 1);
  EXPECT_EQ(host.Pending(), "");
  std::string text = err.Take();
  EXPECT_NE(text.find("JRFC> env == NULL: caller.cpp 7"), std::string::npos) << text;
  EXPECT_NE(text.find("JRFC> jstr == NULL: caller.cpp 8"), std::string::npos) << text;
  EXPECT_NE(text.find("JRFC> GetStringUTFChars failed: caller.cpp 9"), std::string::npos) << text;
}

TEST_F(Marshal, TextsBackToJavaKeepEveryUnit) {
  const std::u16string texts[] = {u"", u"plain", u"\u00e4\u4e2d", u"x\U0001F600y\U0010FFFD"};
  for (const std::u16string& t : texts) {
    jstring s = jrfcUcsToString(host.env(), t.c_str(), JRFC_WHERE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(host.Text(s), t) << tovtest::Show(t);
  }
  jstring empty = jrfcUcsToString(host.env(), nullptr, JRFC_WHERE);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(host.Text(empty), u"");
  // Java's own UTF-8 reading is never asked.
  EXPECT_EQ(host.Calls(JniOp::NewStringUTF), 0);
}

TEST_F(Marshal, TextsBackToJavaFailWithNull) {
  TraceTo trace(1);
  tovtest::CaptureFd err;
  EXPECT_EQ(jrfcUcsToString(nullptr, u"a", u"c.cpp", 1), nullptr);
  host.FailCall(JniOp::NewString);
  EXPECT_EQ(jrfcUcsToString(host.env(), u"abc", u"c.cpp", 2), nullptr);
  EXPECT_EQ(host.Pending(), "");
  // The UTF-8 form of the text must fit 2048 bytes with its terminator.
  std::u16string fits(2047, u'a');
  std::u16string over(683, u'\u4e2d');  // 2049 bytes
  EXPECT_NE(jrfcUcsToString(host.env(), fits.c_str(), u"c.cpp", 3), nullptr);
  EXPECT_EQ(jrfcUcsToString(host.env(), over.c_str(), u"c.cpp", 4), nullptr);
  std::string text = err.Take();
  EXPECT_NE(text.find("JRFC> env == NULL: c.cpp 1"), std::string::npos) << text;
  EXPECT_NE(text.find("JRFC> NewStringUTF failed: c.cpp 2"), std::string::npos) << text;
  EXPECT_NE(text.find("could not convert Utf8-String: abc to jstring"), std::string::npos) << text;
  EXPECT_NE(text.find("Could not convert String:"), std::string::npos) << text;
}

// Native count against Java length for the three copies.
struct CopyCase {
  int native;
  int java;
  bool cut;
};
const CopyCase kCopyCases[] = {{100, 40, true}, {40, 100, false}, {0, 5, false}, {5, 0, true},
                               {64, 64, false}};

std::vector<uint8_t> Pattern(int n, uint8_t seed) {
  std::vector<uint8_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

TEST_F(Marshal, CopiesTakeTheShorterAndWarnWhenCut) {
  TraceTo trace(1);
  for (const CopyCase& c : kCopyCases) {
    std::vector<uint8_t> src = Pattern(c.native + 1, 1);  // never empty: NULL is a failure
    std::vector<uint8_t> before = Pattern(c.java, 200);

    tovtest::CaptureFd err;
    jbyteArray to = host.NewBytes(before);
    EXPECT_EQ(jrfcCopyToByteArray(src.data(), c.native, host.env(), to, u"f.cpp", 11), 0);
    std::vector<uint8_t> expected = before;
    for (int i = 0; i < std::min(c.native, c.java); ++i) expected[i] = src[i];
    EXPECT_EQ(host.Bytes(to), expected) << c.native << "->" << c.java;

    std::vector<int32_t> isrc(static_cast<size_t>(c.native) + 1);
    for (int i = 0; i < c.native; ++i) isrc[i] = -i * 1000;
    jintArray ito = host.NewInts(std::vector<int32_t>(static_cast<size_t>(c.java), 9));
    EXPECT_EQ(jrfcCopyToIntArray(isrc.data(), c.native, host.env(), ito, u"f.cpp", 12), 0);
    std::vector<int32_t> iexp(static_cast<size_t>(c.java), 9);
    for (int i = 0; i < std::min(c.native, c.java); ++i) iexp[i] = isrc[i];
    EXPECT_EQ(host.Ints(ito), iexp);

    // From Java: the array is the source, the native buffer the limit.
    std::vector<uint8_t> target(static_cast<size_t>(c.native) + 1, 0xEE);
    jbyteArray from = host.NewBytes(before);
    EXPECT_EQ(jrfcCopyFromByteArray(host.env(), from, target.data(), c.native, u"f.cpp", 13), 0);
    for (int i = 0; i <= c.native; ++i) {
      EXPECT_EQ(target[i], i < std::min(c.native, c.java) ? before[i] : 0xEE) << i;
    }
    std::string text = err.Take();
    std::string line = "JRFC> Warning GetArrayLength " + std::to_string(c.java) +
                       " does not match with leng " + std::to_string(c.native);
    EXPECT_EQ(text.find(line + " f.cpp 11") != std::string::npos, c.cut) << text;
    EXPECT_EQ(text.find(line + " f.cpp 12") != std::string::npos, c.cut) << text;
    bool fromCut = c.java > c.native;
    std::string fromLine = "JRFC> Warning GetArrayLength " + std::to_string(c.java) +
                           " does not match with leng " + std::to_string(c.native) + " f.cpp 13";
    EXPECT_EQ(text.find(fromLine) != std::string::npos, fromCut) << text;
    host.EndNative();
  }
}

TEST_F(Marshal, CutCopiesAreSilentBelowLevelOne) {
  TraceTo trace(0);
  tovtest::CaptureFd err;
  uint8_t src[100] = {};
  EXPECT_EQ(jrfcCopyToByteArray(src, 100, host.env(), host.NewBytes(std::vector<uint8_t>(40)),
                                JRFC_WHERE),
            0);
  EXPECT_EQ(err.Take(), "");
}

TEST_F(Marshal, CopyFailuresAreOne) {
  TraceTo trace(1);
  tovtest::CaptureFd err;
  uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  jint ints[2] = {1, 2};
  jbyteArray b = host.NewBytes(std::vector<uint8_t>(8));
  jintArray i = host.NewInts(std::vector<int32_t>(2));
  EXPECT_EQ(jrfcCopyToByteArray(nullptr, 8, host.env(), b, u"g.cpp", 1), 1);
  EXPECT_EQ(jrfcCopyToByteArray(buf, 8, host.env(), nullptr, u"g.cpp", 2), 1);
  EXPECT_EQ(jrfcCopyToIntArray(nullptr, 2, host.env(), i, u"g.cpp", 3), 1);
  EXPECT_EQ(jrfcCopyToIntArray(ints, 2, host.env(), nullptr, u"g.cpp", 4), 1);
  EXPECT_EQ(jrfcCopyFromByteArray(host.env(), nullptr, buf, 8, u"g.cpp", 5), 1);
  EXPECT_EQ(jrfcCopyFromByteArray(host.env(), b, nullptr, 8, u"g.cpp", 6), 1);
  // A JNI copy that throws: 1, and the exception does not reach Java.
  host.FailCall(JniOp::SetByteArrayRegion);
  EXPECT_EQ(jrfcCopyToByteArray(buf, 8, host.env(), b, u"g.cpp", 7), 1);
  EXPECT_EQ(host.Pending(), "");
  host.FailCall(JniOp::SetIntArrayRegion);
  EXPECT_EQ(jrfcCopyToIntArray(ints, 2, host.env(), i, u"g.cpp", 8), 1);
  host.FailCall(JniOp::GetByteArrayRegion);
  EXPECT_EQ(jrfcCopyFromByteArray(host.env(), b, buf, 8, u"g.cpp", 9), 1);
  EXPECT_EQ(host.Pending(), "");
  EXPECT_EQ(host.Bytes(b), std::vector<uint8_t>(8));
  std::string text = err.Take();
  for (const char* line : {"JRFC> src == NULL: g.cpp 1", "JRFC> j_barr == NULL: g.cpp 2",
                           "JRFC> src == NULL: g.cpp 3", "JRFC> j_iarr == NULL: g.cpp 4",
                           "JRFC> j_barr == NULL: g.cpp 5", "JRFC> target == NULL: g.cpp 6"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

// The host itself: a breach is seen, so that a clean run means something.
TEST(JniHostRules, BreachesAreRecorded) {
  JniHost host;
  JNIEnv* env = host.env();
  jbyteArray b = host.NewBytes(std::vector<uint8_t>(4));
  jbyte buf[8];
  env->GetByteArrayRegion(b, 2, 4, buf);  // past the end
  EXPECT_EQ(host.Pending(), "java.lang.ArrayIndexOutOfBoundsException");
  env->GetArrayLength(b);  // with the exception pending
  jint* held = env->GetIntArrayElements(host.NewInts({1}), nullptr);
  ASSERT_NE(held, nullptr);
  host.EndNative();
  ASSERT_EQ(host.Violations().size(), 4u);
  EXPECT_NE(host.Violations()[0].find("pending"), std::string::npos);
  EXPECT_NE(host.Violations()[2].find("pending"), std::string::npos);
  EXPECT_NE(host.Violations()[3].find("holding array elements"), std::string::npos);
  EXPECT_EQ(tovtest::ModifiedUtf8(std::u16string(u"\0\U0001F600", 3)),
            std::string("\xC0\x80\xED\xA0\xBD\xED\xB8\x80"));
}

}  // namespace
