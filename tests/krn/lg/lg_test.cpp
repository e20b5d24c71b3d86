// Logon-group return codes: names, texts and the recording of an error in
// the thread's error information.
#include <gtest/gtest.h>

#include <string>

#include "krn/dptrc/err.h"
#include "krn/lg/lg.h"
#include "krn/lg/lg_int.h"
#include "support/testsupport.h"

namespace {

std::string U8(const WEQ_UC* s) { return tovtest::ToUtf8(s); }

struct LgRow {
  LG_RC code;
  const char* name;
  const char* text;
};

class LgCodes : public ::testing::TestWithParam<LgRow> {};

TEST_P(LgCodes, NameAndText) {
  const LgRow& r = GetParam();
  WEQ_UC buf[LG_ERR_NAME_LEN];
  EXPECT_EQ(U8(LgErrorName(r.code, buf)), r.name);
  EXPECT_EQ(U8(LgErrorText(r.code)), r.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LgCodes,
    ::testing::Values(
        LgRow{0, "WEQ_O_K", "unknown error"}, LgRow{-1, "LGEINTERN", "internal error"},
        LgRow{-2, "LGENOMEM", "out of memory (%s)"},
        LgRow{-3, "LGEINVAL",
              "internal error (this retcode should be handled by caller of LG-layer) , %s"},
        LgRow{-4, "LGETIMEOUT", "timeout (%d msecs) while waiting for info from message server"},
        LgRow{-5, "LGENOSNCACTIVE", "SNC not active for server %s"},
        LgRow{-6, "LGEGRPNOTFOUND", "Group %s not found"},
        LgRow{-7, "LGESRVNOTFOUND", "Server %s not found"},
        LgRow{-8, "LGENOSERVER", "no server found"}, LgRow{-9, "LGENOGROUPS", "no groups found"},
        LgRow{-10, "LGENOSNCACTIVEG", "no server with SNC found for group %s"},
        LgRow{-11, "LGENOENT", "no entry found"},
        LgRow{-12, "LGEACCESSDENIED", "access denied or not allowed to perform operation"},
        LgRow{-13, "LGEINTERN2", "internal error (%s)"},
        LgRow{-101, "LGEMSLAYER", "error in MS-layer"},
        LgRow{-102, "LGENILAYER", "error in NI-layer"},
        // Codes outside the table: their number, and the common text.
        LgRow{-14, "-14", "unknown error"}, LgRow{1, "1", "unknown error"},
        LgRow{-100, "-100", "unknown error"}, LgRow{-103, "-103", "unknown error"},
        LgRow{INT32_MIN, "-2147483648", "unknown error"}));

TEST(LgCodes, LongestNameFillsTheBuffer) {
  WEQ_UC buf[LG_ERR_NAME_LEN + 1];
  buf[LG_ERR_NAME_LEN] = u'#';
  EXPECT_EQ(U8(LgErrorName(LGENOSNCACTIVEG, buf)).size(), LG_ERR_NAME_LEN - 1u);
  EXPECT_EQ(buf[LG_ERR_NAME_LEN], u'#');  // nothing written behind the room
  EXPECT_EQ(LgErrorName(-1, nullptr), nullptr);
}

struct RecordCase {
  const char* what;
  LG_RC code;
  const WEQ_UC* text;
  int32_t number;
  const char* error;
};

// Each code's placeholder takes the argument of its kind; the others none.
TEST(LgRecord, FieldsOfTheRecordedError) {
  const RecordCase cases[] = {
      {"time-out takes the number", LGETIMEOUT, u"ignored", 20000,
       "timeout (20000 msecs) while waiting for info from message server"},
      {"reason text", LGEINVAL, u"mshost = NULL", 7,
       "internal error (this retcode should be handled by caller of LG-layer) , mshost = NULL"},
      {"group name", LGEGRPNOTFOUND, u"PUBLIC", 0, "Group PUBLIC not found"},
      {"NULL text is empty", LGEINTERN2, nullptr, 0, "internal error ()"},
      {"no placeholder", LGENOSERVER, u"unused", 5, "no server found"},
      {"percent in the text stays", LGENOMEM, u"100% of 5", 0, "out of memory (100% of 5)"},
      {"code outside the table", -77, u"x", 1, "unknown error"},
  };
  for (const RecordCase& c : cases) {
    ASSERT_EQ(ErrClear(), 0);
    ASSERT_EQ(LgIErrRecord(321, c.code, u"LgIGroupX", c.text, c.number), 0) << c.what;
    EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)), c.error) << c.what;
    EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), std::to_string(c.code)) << c.what;
    EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "LG") << c.what;
    EXPECT_EQ(U8(ErrGetFld(ERR_FLD_VERSION)), "5") << c.what;
    EXPECT_EQ(U8(ErrGetFld(ERR_FLD_MODULE)), "lgxx") << c.what;
    EXPECT_EQ(U8(ErrGetFld(ERR_FLD_LINE)), "321") << c.what;
    EXPECT_EQ(U8(ErrGetFld(ERR_FLD_DETAIL)), "LgIGroupX") << c.what;
  }
}

TEST(LgRecord, MacroTakesTheSourceLineAndReasonBuffer) {
  ASSERT_EQ(ErrClear(), 0);
  LgISetReason(u"unknown param %d", 9);
  int line = __LINE__ + 1;
  ASSERT_EQ(LG_ERR_RECORD(LGEINVAL, u"LgSetParam", LgIReason(), 0), 0);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_LINE)), std::to_string(line));
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)),
            "internal error (this retcode should be handled by caller of LG-layer) , unknown param 9");
  // A detail format with a '%' would ask for an argument that is not there.
  ASSERT_EQ(LG_ERR_RECORD(LGENOSERVER, u"Lg%sX", nullptr, 0), 0);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_DETAIL)), "(bad operation name)");
}

TEST(LgRecord, ReasonBufferIsCutToItsRoom) {
  std::u16string longText(400, u'r');
  LgISetReason(u"%s", longText.c_str());
  EXPECT_EQ(std::u16string(LgIReason()).size(), LG_REASON_LEN - 1u);
}

}  // namespace

namespace {

TEST(LgNames, LoadBalancingTypes) {
  struct {
    int32_t type;
    const char* name;
  } rows[] = {{0, "BEST"},         {100, "BEST"},        {101, "RANDOM"},  {200, "RANDOM"},
              {201, "ROUND_ROBIN"}, {202, "WEIGHTED_ROUND_ROBIN"}, {203, "ROUND_ROBIN"},
              {255, "ROUND_ROBIN"}, {256, "256"},         {-1, "-1"}};
  for (const auto& r : rows) {
    WEQ_UC buf[LG_LB_NAME_LEN];
    EXPECT_EQ(U8(LgILbTypeName(r.type, buf)), r.name) << r.type;
  }
  EXPECT_EQ(U8(LgILbTypeName(0, nullptr)), "");
}

}  // namespace
