// Name tables of the message server client and the texts of its codes.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "krn/ms/ms.h"
#include "support/testsupport.h"

namespace {

std::string U8(const WEQ_UC* s) { return s == nullptr ? "(NULL)" : tovtest::ToUtf8(s); }

using NameFn = std::function<WEQ_UC*(int32_t, WEQ_UC*)>;

struct NameCase {
  const char* table;
  int32_t value;
  const char* name;
};

NameFn Table(const std::string& t) {
  if (t == "opcode") return MsOpcodeName;
  if (t == "error") return MsErrorName;
  if (t == "logon") return MsLogonTypeName;
  return MsStateName;
}

class MsNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(MsNames, NumberToName) {
  const NameCase& c = GetParam();
  WEQ_UC buf[MS_NAME_LEN + 1];
  buf[MS_NAME_LEN] = u'#';
  WEQ_UC* out = Table(c.table)(c.value, buf);
  EXPECT_EQ(out, buf);
  EXPECT_EQ(U8(buf), c.name);
  EXPECT_EQ(buf[MS_NAME_LEN], u'#');
}

INSTANTIATE_TEST_SUITE_P(
    Tables, MsNames,
    ::testing::Values(
        NameCase{"opcode", 5, "MS_SERVER_LST"}, NameCase{"opcode", 73, "73"},
        NameCase{"opcode", 0, "0"}, NameCase{"opcode", 1, "MS_SERVER_CHG"},
        NameCase{"opcode", 9, "MS_GET_SECURITY_KEY2"}, NameCase{"opcode", 10, "10"},
        NameCase{"opcode", 44, "MS_GET_LOGON"}, NameCase{"opcode", 64, "MS_SERVER_LONG_LIST"},
        NameCase{"opcode", 67, "MS_SET_PROPERTY"}, NameCase{"opcode", 70, "MS_IP_PORT_TO_NAME"},
        NameCase{"opcode", 71, "MS_CHECK_ACL"}, NameCase{"opcode", 72, "72"},
        NameCase{"opcode", 74, "MS_SERVER_TEST_SOFT_SHUTDOWN"},
        NameCase{"opcode", 76, "MS_J2EE_RECONNECT_P2"}, NameCase{"opcode", 77, "77"},
        NameCase{"opcode", -1, "-1"},
        NameCase{"error", 0, "MSOP_OK"}, NameCase{"error", -24, "-24"},
        NameCase{"error", -100, "MSENILAYER"}, NameCase{"error", 30, "30"},
        NameCase{"error", -1, "MSEINTERN"}, NameCase{"error", -23, "MSENOMEM"},
        NameCase{"error", -25, "MSESOFTSHUTDOWN"}, NameCase{"error", -33, "MSETESTSOFTSHUTDOWN"},
        NameCase{"error", -34, "-34"}, NameCase{"error", -99, "-99"},
        NameCase{"error", -104, "MSERECONNECTION"}, NameCase{"error", -105, "-105"},
        NameCase{"error", 8, "8"}, NameCase{"error", 19, "MSOP_NOTSET"},
        NameCase{"error", 29, "MSOP_KERNEL_INCOMPATIBLE"},
        NameCase{"logon", 0, "MS_LOGON_DIAG_LB"}, NameCase{"logon", 19, "MS_LOGON_NNTP_E"},
        NameCase{"logon", 37, "MS_LOGON_TRXNS"}, NameCase{"logon", 38, "38"},
        NameCase{"logon", -1, "-1"},
        NameCase{"state", 0, "UNKNOWN"}, NameCase{"state", 6, "INIT"},
        NameCase{"state", 7, "7"}, NameCase{"state", -3, "-3"}),
    [](const ::testing::TestParamInfo<NameCase>& i) {
      std::string v = std::to_string(i.param.value);
      for (char& ch : v)
        if (ch == '-') ch = 'm';
      return std::string(i.param.table) + "_" + v;
    });

struct TextCase {
  int32_t code;
  const char* text;
};

TEST(MsErrorText, CodesAndTheirTexts) {
  const std::string t1 = "internal error (this retcode should be handled by caller of MS-layer)";
  const TextCase cases[] = {
      {-13, "internal error"},
      {-1, "internal error "},
      {-2, t1.c_str()},
      {-17, t1.c_str()},
      {-14, "message server shutdown"},
      {-18, "timeout (%d msecs) while waiting for complete message (%d bytes read)"},
      {-19, "timeout (%d msecs), incomplete write (%d of %d bytes)"},
      {-20, "access denied (this retcode must be handled by caller of MS-layer)"},
      {-22, "MSEHEADERINCOMPLETE: received buffer too small (%d bytes)"},
      {-23, "MSENOMEM: can't allocate %d bytes"},
      {-24, "%s"},
      {-25, "message server soft shutdown"},
      {-100, "error in NI-layer"},
      {-104, "internal error"},
      {-50, "internal error"},
      {0, "internal error"},
      {5, "internal error"},
  };
  for (const TextCase& c : cases) EXPECT_EQ(U8(MsErrorText(c.code)), c.text) << c.code;
  EXPECT_EQ(U8(MsErrorText(-11)),
            "The message is destroyed, received %d bytes.\nAre you really connected to the message "
            "server?\nPlease check your connection parameters.\n(%s / %s)");
  EXPECT_EQ(U8(MsErrorText(-29)),
            "The message received isn't from a message server.\nAre you really connected to the "
            "message server?\nPlease check your connection parameters.\n(%s / %s)");
}

TEST(MsTypesText, WordsOfSetBitsFromBitZero) {
  WEQ_UC buf[MS_TYPES_TEXT_LEN];
  EXPECT_EQ(U8(MsTypesText(0, buf)), "-");
  EXPECT_EQ(U8(MsTypesText(0x81, buf)), "SVA SVH ");
  EXPECT_EQ(U8(MsTypesText(0x03, buf)), "SVA SVB ");
  EXPECT_EQ(U8(MsTypesText(0xFF, buf)), "SVA SVB SVC SVD SVE SVF SVG SVH ");
  EXPECT_EQ(MsTypesText(1, nullptr), nullptr);
}

struct SysCase {
  std::vector<uint8_t> mask;
  size_t capacity;
  const char* text;
};

TEST(MsSysServicesText, BitsOfTheBigEndianMaskWithinTheCapacity) {
  const SysCase cases[] = {
      {{0x05}, 6, "NONE "},        // the second word does not fit
      {{0x05}, 5, ""},             // not even the first
      {{0x05}, 11, "NONE J2EE "},  // both with the terminator
      {{0x05}, 10, "NONE "},
      {{0x02}, 32, "WEQ "},
      {{0x00, 0x00, 0x01, 0x04}, 32, "J2EE 8 "},  // bit 8 is the lowest of the third byte
      {{0x80, 0x00, 0x00, 0x00}, 32, "31 "},
      {{0x00, 0x00, 0x00, 0x00}, 32, ""},
      {{0xFF}, 64, "NONE WEQ J2EE 3 4 5 6 7 "},
  };
  for (const SysCase& c : cases) {
    WEQ_UC buf[64];
    WEQ_UC* out = MsSysServicesText(c.mask.data(), static_cast<int>(c.mask.size()), buf, c.capacity);
    EXPECT_EQ(out, buf);
    EXPECT_EQ(U8(buf), c.text) << c.capacity;
  }
  uint8_t one = 1;
  WEQ_UC buf[8];
  EXPECT_EQ(MsSysServicesText(&one, 1, nullptr, 8), nullptr);
  EXPECT_EQ(MsSysServicesText(&one, 1, buf, 0), nullptr);
  EXPECT_EQ(U8(MsSysServicesText(nullptr, 1, buf, 8)), "");
}

}  // namespace
