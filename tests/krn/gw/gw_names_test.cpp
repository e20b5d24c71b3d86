// Names of the gateway protocol's codes and the texts of its flag bytes.
#include <gtest/gtest.h>

#include <string>

#include "krn/cpic/cpic.h"
#include "krn/gw/gw.h"
#include "support/testsupport.h"

namespace {

using tovtest::ToUtf8;

std::string S(const WEQ_UC* s) { return ToUtf8(s); }

TEST(GwNames, Enumerations) {
  struct Case {
    const WEQ_UC* (*fn)(int);
    int value;
    const char* want;
  };
  const Case cases[] = {
      {[](int v) { return GwClientInfoName(static_cast<uint8_t>(v)); }, 0, "NO_CLIENT_INFO"},
      {[](int v) { return GwClientInfoName(static_cast<uint8_t>(v)); }, 2, "T8_CLIENT"},
      {[](int v) { return GwClientInfoName(static_cast<uint8_t>(v)); }, 3, "3"},
      {GwRegStateName, 4, "SECU_ERROR"},
      {GwRegStateName, 5, "NOREG_ERROR"},
      {GwRegStateName, -1, "-1"},
      {[](int v) { return GwRequestName(static_cast<uint8_t>(v)); }, 202, "WEQ_INIT"},
      {[](int v) { return GwRequestName(static_cast<uint8_t>(v)); }, 204, "AWEQ_SEND"},
      {[](int v) { return GwRequestName(static_cast<uint8_t>(v)); }, 1, "INITIALIZE_CONVERSATION"},
      {[](int v) { return GwRequestName(static_cast<uint8_t>(v)); }, 214, "WEQ_CANCELED"},
      {[](int v) { return GwRequestName(static_cast<uint8_t>(v)); }, 2, "2"},
      {[](int v) { return GwRequestName(static_cast<uint8_t>(v)); }, 215, "215"},
      {[](int v) { return GwProtocolName(static_cast<uint8_t>(v)); }, 1, "T7PR"},
      {[](int v) { return GwProtocolName(static_cast<uint8_t>(v)); }, 'I', "INT"},
      {[](int v) { return GwProtocolName(static_cast<uint8_t>(v)); }, 3, "EXT"},
      {[](int v) { return GwProtocolName(static_cast<uint8_t>(v)); }, 'R', "REG"},
      {[](int v) { return GwProtocolName(static_cast<uint8_t>(v)); }, 5, "5"},
      {[](int v) { return GwProtocolName(static_cast<uint8_t>(v)); }, 'D', "68"},
      {GwErrorName, 0, "WEQ_O_K"},
      {GwErrorName, 246, "WRONG_APPCHDR_VERSION"},
      {GwErrorName, 752, "GW_WRONG_SERVER"},
      {GwErrorName, 777, "777"},
      {GwErrorName, 671, "671"},
  };
  for (const Case& c : cases) EXPECT_EQ(S(c.fn(c.value)), c.want) << c.value;
}

// The letters and numbers of a conversation type print alike.
TEST(GwNames, TypeLettersAndNumbersAgree) {
  const std::pair<int, int> pairs[] = {{2, 'I'}, {3, 'E'}, {4, 'C'}, {6, 'F'}, {7, 'R'}};
  for (auto [num, letter] : pairs) {
    std::string a = S(GwProtocolName(static_cast<uint8_t>(num)));
    EXPECT_EQ(a, S(GwProtocolName(static_cast<uint8_t>(letter))));
    EXPECT_NE(a, std::to_string(num));
  }
}

// The 89 named codes print as the CPI-C layer's table names them; every
// other code, also those the CPI-C table names, prints as its number.
TEST(GwNames, ErrorNamesFollowTheReturnCodeTable) {
  const int named[] = {0,   221, 222, 223, 224, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 235, 236, 237,
                       238, 239, 240, 241, 242, 243, 244, 245, 246, 247, 248, 249, 498, 630, 631, 632, 633, 634,
                       635, 636, 637, 638, 639, 640, 664, 665, 666, 667, 668, 669, 670, 672, 673, 674, 676, 677,
                       678, 679, 720, 721, 722, 723, 724, 725, 726, 727, 728, 729, 730, 731, 732, 733, 734, 735,
                       736, 737, 738, 739, 740, 741, 742, 743, 744, 745, 746, 747, 748, 749, 750, 751, 752};
  ASSERT_EQ(sizeof named / sizeof named[0], 89u);
  int count = 0;
  WEQ_UC buf[CPIC_NAME_LEN];
  for (int v = -5; v <= 1000; ++v) {
    bool isNamed = std::find(std::begin(named), std::end(named), v) != std::end(named);
    std::string got = S(GwErrorName(v));
    if (isNamed) {
      ++count;
      EXPECT_EQ(got, S(CpicGwRcName(v, buf))) << v;
    } else {
      EXPECT_EQ(got, std::to_string(v)) << v;
    }
  }
  EXPECT_EQ(count, 89);
}

TEST(GwNames, DecimalTextsAreKeptPerOperation) {
  const WEQ_UC* req = GwRequestName(99);
  const WEQ_UC* err = GwErrorName(999);
  EXPECT_EQ(S(req), "99");
  EXPECT_EQ(S(err), "999");
  GwRequestName(98);
  EXPECT_EQ(S(req), "98") << "one buffer per operation, reused";
  EXPECT_EQ(S(err), "999");
}

TEST(GwFlags, Texts) {
  struct Case {
    WEQ_UC* (*fn)(uint8_t, WEQ_UC*);
    uint8_t flags;
    const char* want;
  };
  const Case cases[] = {
      {GwInfo2FlagsText, 0x09, "WITH_LONG_LU_NAME GW_SNC_ACTIVE "},
      {GwInfoFlagsText, 0x90, "WITH_ERR_INFO T8_CPIC_LOGIN_WITH_TERM"},
      {GwInfoFlagsText, 0x00, ""},
      {GwInfo3FlagsText, 0x81, "GW_WITH_CODE_PAGE GW_DIST_TRACE"},
      {GwInfo3FlagsText, 0x40, "GW_EXTENDED_INIT_OPTIONS "},
      {GwInfo4FlagsText, 0xFF, "GW_WITH_DBG_CTL "},
      {GwInfo4FlagsText, 0xFE, ""},
      {GwVectorText, 0xE8, "F_V_RECEIVE 0x20 0x40 0x80 "},
      {GwAcceptInfoText, 0x14, "SNC CODE_PAGE "},
      {GwAcceptInfoText, 0xA0, "NIPING GW_ACCEPT_DIST_TRACE"},
      {GwInfo2FlagsText, 0x80, "GW_NO_STATE_CHECK "},
  };
  for (const Case& c : cases) {
    WEQ_UC buf[GW_FLAGS_TEXT_LEN];
    for (WEQ_UC& u : buf) u = u'#';
    EXPECT_EQ(c.fn(c.flags, buf), buf);
    EXPECT_EQ(S(buf), c.want) << static_cast<int>(c.flags);
    EXPECT_EQ(S(c.fn(c.flags, nullptr)), "");
  }
}

// All bits of Info give the longest text: 150 units and the terminator.
TEST(GwFlags, FullInfoByteFitsTheDocumentedBuffer) {
  WEQ_UC buf[GW_FLAGS_TEXT_LEN + 8];
  for (WEQ_UC& u : buf) u = u'#';
  GwInfoFlagsText(0xFF, buf);
  EXPECT_EQ(std::u16string(buf).size(), 150u);
  EXPECT_EQ(buf[150], 0);
  EXPECT_EQ(buf[151], u'#');
  // No other flag byte needs more.
  for (auto fn : {GwInfo2FlagsText, GwInfo3FlagsText, GwInfo4FlagsText, GwVectorText, GwAcceptInfoText}) {
    fn(0xFF, buf);
    EXPECT_LE(std::u16string(buf).size(), 150u);
  }
}

}  // namespace
