// CPI-C and gateway return codes: names, texts and detail formats against the
// documented tables, the error pattern's record, the thread's text for Java,
// the fixed-field conversion against iconv, protocol letters and routes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;

std::string Fld(int f) { return ToUtf8(ErrGetFld(f)); }

// --- Names -------------------------------------------------------------------------

bool InBand(int v) {
  return (v >= 221 && v <= 249) || (v >= 450 && v <= 499) || (v >= 630 && v <= 640) ||
         (v >= 664 && v <= 679 && v != 671 && v != 675) || (v >= 720 && v <= 752) || (v >= 760 && v <= 784);
}

TEST(CpicCodes, GatewayNamesTextsAndDetailsCoverTheDocumentedBands) {
  int names = 0, texts = 0, details = 0;
  WEQ_UC buf[CPIC_NAME_LEN];
  for (int v = -300; v <= 1200; ++v) {
    std::string name = ToUtf8(CpicGwRcName(v, buf));
    bool named = name != std::to_string(v);
    EXPECT_EQ(named, v == 0 || InBand(v)) << v;
    if (named && v != 0) ++names;
    if (*CpicErrTxt(v) != 0) {
      ++texts;
      EXPECT_TRUE(InBand(v)) << v;
    }
    if (*CpicErrDetailFmt(v) != 0) {
      ++details;
      EXPECT_NE(*CpicErrTxt(v), 0) << "a detail without text: " << v;
    }
  }
  EXPECT_EQ(names, 162);
  EXPECT_EQ(texts, 126);
  EXPECT_EQ(details, 10);
}

TEST(CpicCodes, NamedValuesAndDecimalFallbacks) {
  struct Case {
    const char* what;
    int value;
    std::string name;
  };
  const std::vector<Case> cases = {
      {"rc", 0, "CM_OK"},
      {"rc", 8, "CM_SYNC_LVL_NOT_SUPPORTED_PGM"},
      {"rc", 10003, "CM_WEQ_PING_RECEIVED"},
      {"rc", 10001, "CM_WEQ_TIMEOUT_RETRY"},
      {"rc", 4, "4"},
      {"rc", 29, "29"},
      {"rc", -1, "-1"},
      {"rc", INT32_MIN, "-2147483648"},
      {"gw", 0, "WEQ_O_K"},
      {"gw", 500, "500"},
      {"gw", 671, "671"},
      {"gw", 752, "GW_WRONG_SERVER"},
      {"gw", 784, "C_CS_ERROR"},
      {"gw", 727, "GW_SNC_REQUIRED_FOR_LU_TP"},
      {"gw", -5, "-5"},
      {"func", 2, "2"},
      {"func", 0, "CM_NO_FUNCTION"},
      {"func", 54, "CM_SNCNAMETOACLKEY"},
      {"func", 65, "CM_GETDT"},
      {"func", 255, "255"},
      {"status", 4, "CM_CONFIRM_DEALLOC_RECEIVED"},
      {"status", 5, "5"},
      {"data", 3, "CM_INCOMPLETE_DATA_RECEIVED"},
      {"rts", 1, "CM_REQ_TO_SEND_RECEIVED"},
      {"rts", 2, "2"},
      {"cancel", 1, "WEQ_CM_CANCEL_SOFT"},
      {"cancel", 0, "WEQ_CM_CANCEL_HARD"},
  };
  for (const Case& c : cases) {
    WEQ_UC buf[CPIC_NAME_LEN];
    memset(buf, 0xAB, sizeof(buf));
    std::string what = c.what;
    const WEQ_UC* r = what == "rc"       ? CpicRcName(c.value, buf)
                      : what == "gw"     ? CpicGwRcName(c.value, buf)
                      : what == "func"   ? CpicFuncName(static_cast<uint8_t>(c.value), buf, CPIC_NAME_LEN)
                      : what == "status" ? CpicStatusRcvName(c.value, buf)
                      : what == "data"   ? CpicDataRcvName(c.value, buf)
                      : what == "rts"    ? CpicRtsRcvName(c.value, buf)
                                         : CpicCancelTypeName(c.value, buf);
    EXPECT_EQ(r, buf) << c.what << " " << c.value;
    EXPECT_EQ(ToUtf8(buf), c.name) << c.what << " " << c.value;
  }
}

TEST(CpicCodes, NullBuffersAndShortFunctionBuffers) {
  EXPECT_EQ(ToUtf8(CpicRcName(0, nullptr)), "");
  EXPECT_EQ(CpicGwRcName(0, nullptr), nullptr);
  EXPECT_EQ(CpicFuncName(1, nullptr, 10), nullptr);
  EXPECT_EQ(CpicStatusRcvName(0, nullptr), nullptr);
  EXPECT_EQ(CpicDataRcvName(0, nullptr), nullptr);
  EXPECT_EQ(CpicRtsRcvName(0, nullptr), nullptr);
  EXPECT_EQ(CpicCancelTypeName(0, nullptr), nullptr);
  // "CMINIT" needs 7 units with its terminator: 6 leaves the buffer empty.
  WEQ_UC small[8] = {u'x', u'x', u'x'};
  EXPECT_EQ(ToUtf8(CpicFuncName(1, small, 7)), "CMINIT");
  EXPECT_EQ(ToUtf8(CpicFuncName(1, small, 6)), "");
}

TEST(CpicCodes, TextsAndDetailFormatsOfSingleCodes) {
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      {466, "max no of %d conversations exceeded", ""},
      {752, "", ""},
      {457, "allocate to LU %s, TP %s failed", "failed with primary rc: 0x%x, secondary rc: 0x%lx"},
      {761, "receive failed, %s", "failed with cpic rc: %d, primary rc: 0x%x, secondary rc: 0x%lx"},
      {239, "read from WEQ gateway failed", "received incomplete data (%d bytes)"},
      {736, "duplicate conversation id %.8s from %s/%s and %s/%s received", ""},
      {774, "%s / CPIC-RC=%s / WEQ-RC=%s ", ""},
      {780, "failover error occured (%s)", ""},
      {1, "", ""},
      {0, "", ""},
      {-1, "", ""},
      {671, "", ""},
  };
  for (const auto& [code, text, detail] : cases) {
    EXPECT_EQ(ToUtf8(CpicErrTxt(code)), text) << code;
    EXPECT_EQ(ToUtf8(CpicErrDetailFmt(code)), detail) << code;
  }
}

// The compile-time check of the error pattern: formats against argument kinds.
constexpr U16FmtKind kInt[] = {U16FmtKind::kI32, U16FmtKind::kMissing};
constexpr U16FmtKind kStr[] = {U16FmtKind::kStr16, U16FmtKind::kMissing};
constexpr U16FmtKind kPrimary[] = {U16FmtKind::kStr16, U16FmtKind::kStr16, U16FmtKind::kU32, U16FmtKind::kI64,
                                   U16FmtKind::kMissing};
static_assert(CpicIArgsFit(kCpicGwRows[CpicIGwIndex(466)].text, kCpicGwRows[CpicIGwIndex(466)].detail, kInt,
                           1));
static_assert(!CpicIArgsFit(kCpicGwRows[CpicIGwIndex(466)].text, kCpicGwRows[CpicIGwIndex(466)].detail, kStr,
                            1));
static_assert(!CpicIArgsFit(kCpicGwRows[CpicIGwIndex(466)].text, kCpicGwRows[CpicIGwIndex(466)].detail, kInt,
                            0));
static_assert(!CpicIArgsFit(kCpicGwRows[CpicIGwIndex(473)].text, kCpicGwRows[CpicIGwIndex(473)].detail, kStr,
                            0));
static_assert(CpicIArgsFit(kCpicGwRows[CpicIGwIndex(457)].text, kCpicGwRows[CpicIGwIndex(457)].detail,
                           kPrimary, 4));
static_assert(!CpicIArgsFit(kCpicGwRows[CpicIGwIndex(457)].text, kCpicGwRows[CpicIGwIndex(457)].detail,
                            kPrimary, 3));
static_assert(CpicIGwIndex(671) == -1 && CpicIGwIndex(0) == 0);

// --- The error pattern and WEQ_CMPERR ------------------------------------------------

TEST(CpicErrors, RecordedFieldsOfTheLayersErrors) {
  ErrClear();
  EXPECT_EQ(ToUtf8(WEQ_CMPERR()), "no WEQ ErrInfo available");

  CM_RETURN_CODE rc = -7;
  EXPECT_EQ(STIConvProtocol(u'D', &rc, 1), 0u);
  EXPECT_EQ(rc, CM_PARAMETER_ERROR);
  EXPECT_EQ(Fld(ERR_FLD_RC), "769");
  EXPECT_EQ(Fld(ERR_FLD_COMPONENT), "CPIC (TCP/IP) with Unicode");
  EXPECT_EQ(Fld(ERR_FLD_VERSION), "3");
  EXPECT_EQ(Fld(ERR_FLD_MODULE), "t8cpic");
  EXPECT_EQ(Fld(ERR_FLD_ERROR),
            "illegal parameter value ( function=STIConvProtocol / parameter=prot / value=0x44 )");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "");
  std::string all = ToUtf8(WEQ_CMPERR());
  EXPECT_NE(all.find("0x44"), std::string::npos) << all;
  EXPECT_EQ(all, ToUtf8(ErrGetAllTxt()));

  EXPECT_FALSE(STICheckProtocol(u'c'));
  EXPECT_EQ(Fld(ERR_FLD_RC), "233");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "wrong protocol value c");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "STICheckProtocol");
  EXPECT_EQ(Fld(ERR_FLD_ERRNO), "");
  ErrClear();
}

TEST(CpicErrors, CodesDetailsAndASitesOwnDetail) {
  ErrClear();
  // 761: text "receive failed, %s", detail with an int, an unsigned and a long.
  CpicIRecordError<761>(CpicErrSite{u"cpicside", 42}, u"timeout", 19, 0x1Fu, 0xABCDEFL);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "receive failed, timeout");
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "failed with cpic rc: 19, primary rc: 0x1f, secondary rc: 0xabcdef");
  EXPECT_EQ(Fld(ERR_FLD_MODULE), "cpicside");
  EXPECT_EQ(Fld(ERR_FLD_LINE), "42");
  CpicIRecordErrorDetail<466>(CpicErrSite{CPIC_MODULE, 7, u"STIGetFreeConv", 12}, u"asked by %s", 3,
                              u"WEQ_STINIT3");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "max no of 3 conversations exceeded");
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "asked by WEQ_STINIT3");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "STIGetFreeConv");
  EXPECT_EQ(Fld(ERR_FLD_ERRNO), "12");
  ErrClear();
}

TEST(CpicErrors, TheWholeRecordGoesToTheCpicTraceAtLevelTwo) {
  trccheck::TraceFile file(1);
  CpicISetLevel(1);
  CpicISetHdl(file.f);
  CM_RETURN_CODE rc;
  STIConvProtocol(99, &rc, 0);
  EXPECT_EQ(file.Body().size(), 0u) << "level 1 writes no record";
  CpicISetLevel(2);
  STIConvProtocol(u'Q', &rc, 1);
  std::string body = file.After();
  EXPECT_NE(body.find("value=0x51"), std::string::npos) << body;
  EXPECT_NE(body.find("t8cpic"), std::string::npos) << body;
  CpicISetLevel(0);
  CpicISetHdl(nullptr);
  ErrClear();
}

// --- Protocol letters ------------------------------------------------------------------

TEST(CpicProtocol, LettersAndValuesBothWays) {
  const std::vector<std::pair<WEQ_UC, uint32_t>> table = {
      {u'C', 4}, {u'E', 3}, {u'F', 6}, {u'I', 2}, {u'R', 7}};
  for (auto [letter, value] : table) {
    CM_RETURN_CODE rc = -1;
    EXPECT_EQ(STIConvProtocol(letter, &rc, 1), value);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_EQ(STIConvProtocol(value, &rc, 0), letter);
    EXPECT_EQ(rc, CM_OK);
    EXPECT_TRUE(STICheckProtocol(letter));
  }
  for (uint32_t v : {0u, 1u, 5u, 8u, 0x43u, 0xFFFFFFFFu}) {
    CM_RETURN_CODE rc = -1;
    EXPECT_EQ(STIConvProtocol(v, &rc, 0), 0u) << v;
    EXPECT_EQ(rc, CM_PARAMETER_ERROR);
  }
  for (WEQ_UC l : {u'D', u'c', u'i', u' ', u'\0'}) EXPECT_FALSE(STICheckProtocol(l)) << int(l);
  ErrClear();
}

// --- Fixed fields ----------------------------------------------------------------------

std::u16string Iconv16(const std::string& bytes) {
  std::string out;
  EXPECT_TRUE(trccheck::Iconv("UTF-16LE", "UTF-8", bytes, &out));
  return std::u16string(reinterpret_cast<const char16_t*>(out.data()), out.size() / 2);
}

TEST(CpicFields, DocumentedCases) {
  struct Case {
    std::string src;
    int capacity, terminate, blank;
    int rc;
    std::u16string text;  // the units written (with a terminator when one is)
    int len;
  };
  const std::vector<Case> cases = {
      {"00000001", 8, 0, 0, 0, u"00000001", 8},
      {std::string("ABC     ", 8), 9, 1, 1, 0, std::u16string(u"ABC\0", 4), 3},
      {std::string("ABC     ", 8), 9, 1, 0, 0, std::u16string(u"ABC     \0", 9), 8},
      {std::string("ABC\0DEFG", 8), 8, 0, 0, 0, std::u16string(u"ABC\0DEFG", 8), 8},
      {std::string("ABC\0DEFG", 8), 8, 0, 1, 0, u"ABC", 3},
      {std::string("ABCDEFG\0", 8), 8, 0, 0, 0, std::u16string(u"ABCDEFG\0", 8), 7},
      {"ABCDEFGH", 8, 1, 0, 32, std::u16string(u"ABCDEFG\0", 8), 7},
      {"ABCDEFGH", 4, 0, 0, 32, u"ABCD", 4},
      {"", 4, 1, 1, 0, std::u16string(u"\0", 1), 0},
  };
  for (const Case& c : cases) {
    WEQ_UC dst[16];
    for (WEQ_UC& u : dst) u = u'#';
    int len = -5;
    EXPECT_EQ(CpicFieldToU16(dst, &len, c.capacity, c.src.data(), static_cast<int>(c.src.size()), c.terminate,
                             c.blank),
              c.rc)
        << tovtest::Show(FromUtf8(c.src));
    EXPECT_EQ(std::u16string(dst, c.text.size()), c.text) << c.src;
    EXPECT_EQ(dst[c.text.size()], u'#') << "written past the text: " << c.src;
    EXPECT_EQ(len, c.len) << c.src;
  }
}

TEST(CpicFields, AgreesWithIconvOnRandomFields) {
  std::mt19937 rng(38);
  const std::vector<std::string> pieces = {"A", "z", "0", " ", "\xC3\xA4", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                           "~"};
  for (int round = 0; round < 2000 * tovtest::HeavyFactor(); ++round) {
    std::string src;
    int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) src += pieces[rng() % pieces.size()];
    std::u16string want = Iconv16(src);
    WEQ_UC dst[64];
    int len = -1;
    int terminate = static_cast<int>(rng() % 2);
    ASSERT_EQ(CpicFieldToU16(dst, &len, 64, src.data(), static_cast<int>(src.size()), terminate, 0), 0);
    ASSERT_EQ(std::u16string(dst, static_cast<size_t>(len)), want) << tovtest::Show(want);
    if (terminate) {
      ASSERT_EQ(dst[len], 0);
    }
  }
}

TEST(CpicFields, BadInputGivesTheConvertersCodeAndNoLength) {
  WEQ_UC dst[8];
  int len = 77;
  // A sequence cut short by the field's end.
  int rc = CpicFieldToU16(dst, &len, 8, "AB\xE2\x82", 4, 0, 0);
  EXPECT_NE(rc, 0);
  EXPECT_NE(rc, 32);
  EXPECT_EQ(len, 77);
  EXPECT_EQ(CpicFieldToU16(nullptr, &len, 8, "ABC", 3, 1, 1), 32);
  EXPECT_EQ(CpicFieldToU16(dst, &len, 8, nullptr, 3, 1, 1), 0);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(CpicFieldToU16(dst, &len, 0, "ABC", 3, 1, 0), 32);
}

// --- Routes ------------------------------------------------------------------------------

TEST(CpicRoutes, UnderstoodAndRefusedForms) {
  struct Case {
    std::u16string route, tp;
    bool ok;
    std::string lu, tpOut, host, serv, line;
  };
  const std::vector<Case> cases = {
      {u"/H/router/S/3299/H/host/S/weqdp00", u"anything", true, "host", "weqdp00", "/H/router/S/3299/H/host",
       "weqgw00", ""},
      {u"/H/host/S/3300", u"x", true, "host", "3300", "/H/host", "3300", ""},
      {u"/H/host", u"weqdp01", true, "host", "weqdp01", "/H/host", "weqgw01", ""},
      {u"/H/r/S/1/H/host", u"weqdp0123", true, "host", "weqdp0123", "/H/r/S/1/H/host", "weqgw0123", ""},
      {u"/H/host", u"abc", false, "", "", "", "", "no service found"},
      {u"/X/host", u"weqdp01", false, "", "", "", "", "no host in route(1)"},
      {u"/X/a/S/b", u"weqdp01", false, "", "", "", "", "no host in route(2)"},
      {u"host", u"weqdp01", false, "", "", "", "", "no host in route(1)"},
      {u"", u"weqdp01", false, "", "", "", "", "no host in route(1)"},
      {u"/", u"weqdp01", false, "", "", "", "", "no host in route(1)"},
      {u"/host", u"weqdp01", false, "", "", "", "", "no host in route(1)"},
      {u"/S/b", u"weqdp01", false, "", "", "", "", "no host in route(2)"},
      {u"S/b", u"weqdp01", false, "", "", "", "", "no host in route(2)"},
      {u"H/S/b", u"weqdp01", false, "", "", "", "", "no host in route(2)"},
  };
  for (const Case& c : cases) {
    trccheck::TraceFile file(2);
    WEQ_UC lu[129] = {}, tp[129] = {}, host[129] = {}, serv[129] = {};
    EXPECT_EQ(STIAnalyzeRoute(c.route.c_str(), c.tp.c_str(), lu, 129, tp, 129, host, 129, serv, 129), c.ok)
        << ToUtf8(c.route);
    EXPECT_EQ(ToUtf8(lu), c.lu) << ToUtf8(c.route);
    EXPECT_EQ(ToUtf8(tp), c.tpOut);
    EXPECT_EQ(ToUtf8(host), c.host);
    EXPECT_EQ(ToUtf8(serv), c.serv);
    std::string body = file.After();
    EXPECT_NE(body.find("STIAnalyzeRoute: route=" + ToUtf8(c.route) + ", tp=" + ToUtf8(c.tp)),
              std::string::npos)
        << body;
    std::string want = c.ok ? "STIAnalyzeRoute: gw_service: " + c.serv : "STIAnalyzeRoute: " + c.line;
    EXPECT_NE(body.find(want), std::string::npos) << body;
  }
}

TEST(CpicRoutes, OutputsAreCutToTheirSizes) {
  WEQ_UC lu[4], tp[5], host[6], serv[3];
  ASSERT_TRUE(STIAnalyzeRoute(u"/H/router/S/3299/H/longhost/S/weqdp00", u"", lu, 4, tp, 5, host, 6, serv, 3));
  EXPECT_EQ(ToUtf8(lu), "lon");
  EXPECT_EQ(ToUtf8(tp), "weqd");
  EXPECT_EQ(ToUtf8(host), "/H/ro");
  EXPECT_EQ(ToUtf8(serv), "we");
  EXPECT_TRUE(STIAnalyzeRoute(u"/H/h/S/s", u"", nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0));
  EXPECT_FALSE(STIAnalyzeRoute(nullptr, u"weqdp01", lu, 4, tp, 5, host, 6, serv, 3));
}

}  // namespace
