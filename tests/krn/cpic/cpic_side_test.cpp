// The side-information file: names of entries as numbered ranges, the
// search name, the cut rules of values, the first line and the caller's own
// values winning, COMMON_PART's defaults with the PROTOCOL mismatch, the
// failures 775, 451 and 472, the trace lines of levels 2 and 3, a file kept
// open, and COMMON_PART read once per process.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/err.h"
#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace {

using tovtest::FromUtf8;
using tovtest::ToUtf8;

// The keys the initialise verb asks for, with their storage.
struct InitKeys {
  WEQ_UC gwHost[2049] = {}, gwServ[20] = {}, lu[129] = {}, tp[65] = {}, protocol[2] = {};
  int32_t cpicTrace = -1;
  WEQ_UC sncPartner[257] = {}, sncMy[257] = {}, sncLib[257] = {};
  uint8_t sncMode = 0xEE, sncQop = 0xEE, sncRole = 0xEE;
  int32_t buffering = -1, connectTimeout = -1, traceRaw = -1, traceAppcHdr = -1;
  CPIC_SI_PARAM table[17];

  InitKeys() {
    int i = 0;
    auto key = [&](const WEQ_UC* name, void* target, int32_t cap, CPIC_SI_TYPE type) {
      table[i++] = CPIC_SI_PARAM{name, 0, target, cap, type, 0, 0, 0};
    };
    key(u"GWHOST", gwHost, 2048, CPIC_SI_STRING);
    key(u"GWSERV", gwServ, 19, CPIC_SI_STRING);
    key(u"LU", lu, 128, CPIC_SI_STRING);
    key(u"TP", tp, 64, CPIC_SI_STRING);
    key(u"PROTOCOL", protocol, 1, CPIC_SI_STRING);
    key(u"CPIC_TRACE", &cpicTrace, 0, CPIC_SI_INT);
    key(u"SNC_PARTNERNAME", sncPartner, 256, CPIC_SI_STRING);
    key(u"SNC_MYNAME", sncMy, 256, CPIC_SI_STRING);
    key(u"SNC_LIB", sncLib, 256, CPIC_SI_STRING);
    key(u"SNC_MODE", &sncMode, 0, CPIC_SI_DIGIT);
    key(u"SNC_QOP", &sncQop, 0, CPIC_SI_DIGIT);
    key(u"SNC_ROLE", &sncRole, 0, CPIC_SI_DIGIT);
    key(u"BUFFERING", &buffering, 0, CPIC_SI_INT);
    key(u"CONNECT_TIMEOUT", &connectTimeout, 0, CPIC_SI_INT);
    key(u"TRACE_RAW", &traceRaw, 0, CPIC_SI_INT);
    key(u"TRACE_APPCHDR", &traceAppcHdr, 0, CPIC_SI_INT);
    table[i] = CPIC_SI_PARAM{};
  }
  CPIC_SI_PARAM& Key(const char* name) {
    for (CPIC_SI_PARAM& p : table)
      if (p.name != nullptr && ToUtf8(p.name) == name) return p;
    return table[16];
  }
};

const char kFile[] =
    "* defaults for every destination\n"
    "DEST=COMMON_PART\n"
    "CPIC_TRACE=2\n"
    "PROTOCOL=I\n"
    "SNC_LIB=/common/libgss.so\n"
    "GWSERV=a_common_service_longer_than_19\n"
    "SEC_USER_ID=someone\n"
    "# a comment\n"
    "DEST=BIN_[1-20]\n"
    "GWHOST=gwhost1\n"
    "GWHOST=second\n"
    "  GWSERV  =\t weqgw00 ; comment\n"
    "LU=;x\n"
    "TP=\"WEQCPIC\"\n"
    "PROTOCOL=IX\n"
    "SNC_MODE=1\n"
    "SNC_QOP=89\n"
    "CONNECT_TIMEOUT=5000\n"
    "UNKNOWN_KEY=5\n"
    "TRACE_RAW=\n"
    "no equals sign here\n"
    "DEST=DESTINATION1\n"
    "GWHOST=never\n"
    "DEST=NOPROT\n"
    "GWHOST=h2\n"
    "DEST=BIN_[-5]\n"
    "GWHOST=negative\n";

// What a trace file holds, closing it.
std::string Drain(FILE* trc) {
  fflush(trc);
  rewind(trc);
  std::string text(65536, '\0');
  text.resize(fread(text.data(), 1, text.size(), trc));
  fclose(trc);
  return text;
}

class SideInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    CpicIResetProcess();
    ErrClear();
    path_ = dir_.File("sideinfo.txt");
    tovtest::WriteFile(path_, kFile);
  }
  void TearDown() override { CpicIResetProcess(); }

  CM_RETURN_CODE Read(const char* dest, InitKeys* k, GW_RETURN_CODE* gwRc, int keepOpen = 0, int level = 0,
                      FILE* trc = nullptr) {
    std::u16string file = FromUtf8(path_), d = FromUtf8(dest != nullptr ? dest : "");
    return STIReadSideInfo(file.c_str(), dest != nullptr ? d.c_str() : nullptr, k->table, keepOpen, gwRc, level,
                           trc);
  }
  tovtest::TempDir dir_;
  std::string path_;
};

TEST_F(SideInfo, EntryNamesAndRanges) {
  struct Case {
    const char* entry;
    const char* dest;
    bool match;
  };
  const Case cases[] = {
      {"BIN_[1-20]", "BIN_7", true},   {"BIN_[1-20]", "BIN_20", true},      {"BIN_[1-20]", "BIN_007", true},
      {"BIN_[1-20]", "BIN_21", false}, {"BIN_[1-20]", "BIN_7A", false},     {"BIN_[1-20]", "bin_7", false},
      {"BIN_[1-20]", "BIN_", false},   {"BIN_[1-20]", "BIN_[1-20]", true},  {"BIN_[-5]", "BIN_", true},
      {"BIN_[-5]", "BIN_3", true},     {"BIN_[-5]", "BIN_6", false},        {"BIN_[3-]", "BIN_3", false},
      {"BIN_[1-20]", "BINX_7", false}, {"B_[1-20]", "BIN_7", false},        {"BIN_1-20]", "BIN_7", false},
      {"PLAIN", "PLAIN", true},        {"PLAIN", "PLAIN2", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " ~ " + c.dest);
    EXPECT_EQ(STIDestFound(FromUtf8(c.dest).c_str(), FromUtf8(c.entry).c_str(), 0, nullptr), c.match);
  }
}

// The Part's cases in one file: the first line and the caller win, values
// are cut, keys of COMMON_PART fill the gaps of the same type.
TEST_F(SideInfo, EntryReadIntoTheTable) {
  InitKeys k;
  k.Key("SNC_PARTNERNAME").assigned = 1;  // the caller has it
  strcpy_sU16(k.sncPartner, 257, u"p:caller");
  GW_RETURN_CODE gw = -1;
  ASSERT_EQ(Read("BIN_7 and more", &k, &gw), CM_OK) << ToUtf8(ErrGetAllTxt());
  EXPECT_EQ(gw, 0);
  EXPECT_EQ(ToUtf8(k.gwHost), "gwhost1");
  EXPECT_EQ(ToUtf8(k.gwServ), "weqgw00");
  EXPECT_EQ(k.Key("GWSERV").capacity, 7);
  EXPECT_EQ(ToUtf8(k.lu), ";x");
  EXPECT_EQ(ToUtf8(k.tp), "\"WEQCPIC");
  EXPECT_EQ(ToUtf8(k.protocol), "I");
  EXPECT_EQ(k.Key("PROTOCOL").valueLen, 2);
  EXPECT_EQ(k.sncMode, 1);
  EXPECT_EQ(k.sncQop, 8) << "a digit takes the first unit";
  EXPECT_EQ(k.connectTimeout, 5000);
  EXPECT_EQ(k.Key("CONNECT_TIMEOUT").capacity, 8);
  EXPECT_EQ(k.traceRaw, 0) << "an empty value reads as 0";
  EXPECT_EQ(ToUtf8(k.sncPartner), "p:caller");
  // From COMMON_PART: a number and a string of the same type.
  EXPECT_EQ(k.cpicTrace, 2);
  EXPECT_EQ(k.Key("CPIC_TRACE").fromCommon, 1);
  EXPECT_EQ(ToUtf8(k.sncLib), "/common/libgss.so");
  EXPECT_EQ(k.Key("SNC_LIB").fromCommon, 1);
  EXPECT_EQ(k.Key("GWSERV").fromCommon, 0);
  EXPECT_EQ(k.Key("BUFFERING").assigned, 0);
  EXPECT_EQ(k.buffering, -1);
}

// PROTOCOL is a string of one unit for the caller and a character in
// COMMON_PART: never taken from there. A string from there is cut to the
// caller's capacity.
TEST_F(SideInfo, CommonPartTypesAndCuts) {
  InitKeys k;
  FILE* trc = tmpfile();
  GW_RETURN_CODE gw = -1;
  ASSERT_EQ(Read("NOPROT", &k, &gw, 0, 2, trc), CM_OK);
  EXPECT_EQ(ToUtf8(k.gwHost), "h2");
  EXPECT_EQ(k.Key("PROTOCOL").assigned, 0);
  EXPECT_EQ(ToUtf8(k.gwServ), "a_common_service_lo");
  EXPECT_EQ(k.Key("GWSERV").capacity, 19);
  std::string text = Drain(trc);
  EXPECT_NE(text.find("STIReadSideInfo: incompatible types (12) for PROTOCOL"), std::string::npos) << text;
  EXPECT_NE(text.find("STIReadSideInfo: truncated value GWSERV from a_common_service_lon to "
                      "a_common_service_lo (from COMMON_PART)"),
            std::string::npos);
  EXPECT_NE(text.find("STIReadSideInfo: assign CPIC_TRACE=2 (from COMMON_PART)"), std::string::npos);
}

TEST_F(SideInfo, Failures) {
  InitKeys k;
  GW_RETURN_CODE gw = -1;
  EXPECT_EQ(Read(nullptr, &k, &gw), CM_PROGRAM_PARAMETER_CHECK);
  EXPECT_EQ(gw, 775);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "no sideinfo entry specified");
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_MODULE)), "cpicside");
  EXPECT_EQ(Read("", &k, &gw), CM_PROGRAM_PARAMETER_CHECK);
  EXPECT_EQ(gw, 775);

  // DESTINATION1 is searched as DESTINAT.
  EXPECT_EQ(Read("DESTINATION1", &k, &gw), CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(gw, 472);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "no sideinfo entry DESTINAT found");
  EXPECT_EQ(k.Key("GWHOST").assigned, 0);

  std::string missing = dir_.File("none");
  GW_RETURN_CODE gw2 = -1;
  EXPECT_EQ(STIReadSideInfo(FromUtf8(missing).c_str(), u"BIN_7", k.table, 0, &gw2, 0, nullptr),
            CM_PRODUCT_SPECIFIC_ERROR);
  EXPECT_EQ(gw2, 451);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERROR)), "failed to open file " + missing);
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_SYSCALL)), "fopen");
  EXPECT_EQ(ToUtf8(ErrGetFld(ERR_FLD_ERRNO)), "2");
}

// Levels 2 and 3 of the conversation's trace; one line per event.
TEST_F(SideInfo, TraceLinesByLevel) {
  for (int level : {2, 3}) {
    SCOPED_TRACE(level);
    CpicIResetProcess();
    InitKeys k;
    FILE* trc = tmpfile();
    GW_RETURN_CODE gw = -1;
    ASSERT_EQ(Read("BIN_7", &k, &gw, 0, level, trc), CM_OK);
    std::string text = Drain(trc);
    std::vector<std::string> lines;
    for (const trccheck::Line& l : trccheck::Parse(text, false)) lines.push_back(l.text);
    auto has = [&](const std::string& s) {
      for (const std::string& l : lines)
        if (l == s) return true;
      return false;
    };
    EXPECT_TRUE(has("STIReadSideInfo: file " + path_ + " opened")) << text;
    EXPECT_TRUE(has("STIReadSideInfo: search for destination >COMMON_PART<"));
    EXPECT_FALSE(has("STIReadSideInfo: no COMMON_PART found"));
    EXPECT_TRUE(has("STIReadSideInfo: search for destination >BIN_7<"));
    EXPECT_TRUE(has("STIDestFound: dest BIN_7 matches BIN_[1-20]"));
    EXPECT_TRUE(has("STIReadSideInfo: destination >BIN_7< found"));
    EXPECT_TRUE(has("STIReadSideInfo: assign GWHOST=gwhost1"));
    EXPECT_TRUE(has("STIReadSideInfo: truncated value PROTOCOL from IX to I"));
    EXPECT_TRUE(has("STIReadSideInfo: assign SNC_MODE=1"));
    EXPECT_TRUE(has("STIReadSideInfo: close sideinfo file " + path_ + " (0)"));
    EXPECT_EQ(has("STIReadSideInfo: unknown parameter UNKNOWN_KEY=5 ignored"), level == 3);
    EXPECT_EQ(has("STIReadSideInfo: CPIC_TRACE=2"), level == 3) << "key lines of the search";
    EXPECT_FALSE(has("STIReadSideInfo: assign GWHOST=second"));
  }
}

// Kept open, the file is rewound and read again without opening: it may
// be gone from the directory meanwhile.
TEST_F(SideInfo, KeptOpenAcrossCalls) {
  InitKeys a, b;
  FILE* trc = tmpfile();
  GW_RETURN_CODE gw = -1;
  ASSERT_EQ(Read("BIN_3", &a, &gw, 1, 2, trc), CM_OK);
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_EQ(Read("BIN_", &b, &gw, 1, 2, trc), CM_OK);
  EXPECT_EQ(ToUtf8(a.gwHost), "gwhost1");
  EXPECT_EQ(ToUtf8(b.gwHost), "negative");
  std::string text = Drain(trc);
  EXPECT_NE(text.find("STIReadSideInfo: rewind sideinfo file " + path_), std::string::npos) << text;
  EXPECT_EQ(text.find("close sideinfo file"), std::string::npos);
}

// COMMON_PART is read once per process: a later change of it is not seen,
// and a first reading that finds none stays so.
TEST_F(SideInfo, CommonPartReadOncePerProcess) {
  tovtest::ChildResult r = tovtest::RunInChild([this] {
    CpicIResetProcess();
    InitKeys first;
    GW_RETURN_CODE gw = -1;
    if (Read("NOPROT", &first, &gw) != CM_OK || first.cpicTrace != 2) return 1;
    std::string changed = kFile;
    changed.replace(changed.find("CPIC_TRACE=2"), 12, "CPIC_TRACE=3");
    tovtest::WriteFile(path_, changed);
    InitKeys second;
    if (Read("NOPROT", &second, &gw) != CM_OK) return 2;
    return second.cpicTrace == 2 ? 0 : 3;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  tovtest::WriteFile(path_, "DEST=ONLY\nGWHOST=x\n");
  tovtest::ChildResult none = tovtest::RunInChild([this] {
    CpicIResetProcess();
    InitKeys k;
    GW_RETURN_CODE gw = -1;
    FILE* trc = stderr;
    if (Read("ONLY", &k, &gw, 0, 2, trc) != CM_OK) return 1;
    tovtest::WriteFile(path_, "DEST=COMMON_PART\nCPIC_TRACE=4\nDEST=ONLY\nGWHOST=x\n");
    InitKeys k2;
    if (Read("ONLY", &k2, &gw) != CM_OK) return 2;
    return k2.cpicTrace == -1 ? 0 : 3;
  });
  EXPECT_EQ(none.exit_code, 0) << none.err;
  EXPECT_NE(none.err.find("STIReadSideInfo: no COMMON_PART found"), std::string::npos) << none.err;
}

// Without a file name the reader takes SIDE_INFO, else "sideinfo".
TEST_F(SideInfo, FileNameFromTheEnvironment) {
  tovtest::ChildResult r = tovtest::RunInChild([this] {
    CpicIResetProcess();
    setenv("SIDE_INFO", path_.c_str(), 1);
    InitKeys k;
    GW_RETURN_CODE gw = -1;
    if (STIReadSideInfo(nullptr, u"BIN_9", k.table, 0, &gw, 0, nullptr) != CM_OK) return 1;
    if (ToUtf8(k.gwHost) != "gwhost1") return 2;
    CpicIResetProcess();
    unsetenv("SIDE_INFO");
    if (chdir(dir_.path().c_str()) != 0) return 3;
    tovtest::WriteFile(dir_.File("sideinfo"), "DEST=HERE\nGWHOST=local\n");
    InitKeys k2;
    if (STIReadSideInfo(nullptr, u"HERE", k2.table, 0, &gw, 0, nullptr) != CM_OK) return 4;
    return ToUtf8(k2.gwHost) == "local" ? 0 : 5;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

}  // namespace
