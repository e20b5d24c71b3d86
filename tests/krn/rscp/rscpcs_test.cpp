// The cache report: the texts of each section for a small cache with two
// loaded pages, formatted here with the C library's printf from the
// header's fields; no cache; the listing of pages without tables; the
// gauge's empty span.
#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "rscpcc_fixture.h"
#include "rscpmc_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

using tovtest::CaptureFd;

std::vector<std::string> Report(int sections) {
  std::vector<std::string> lines;
  EXPECT_EQ(rscpcs_cache_status(
                sections,
                [](const WEQ_UC* line, int length, void* arg) {
                  EXPECT_LE(length, 100);
                  static_cast<std::vector<std::string>*>(arg)->push_back(
                      tovtest::ToUtf8(std::u16string(line, static_cast<size_t>(length))));
                },
                &lines),
            0);
  return lines;
}

std::string F(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string F(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string U8(const WEQ_UC* s, size_t n) { return tovtest::ToUtf8(std::u16string(s, n)); }

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool AnyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

class Dump : public ControlTest {
 protected:
  void StartSmall() {
    Params({{u"rsts/ccc/cachesize", u"400000"}});
    CaptureFd err;
    ASSERT_EQ(rscpi_init(-1), 0);
    ASSERT_EQ(Load(5, "1100"), 0);
    ASSERT_EQ(Load(21, "1100"), 0);
    ASSERT_EQ(Load(6, "8000"), 0);
    err.Take();
    c_ = Cache();
  }
  rscpCCC_t* c_ = nullptr;
};

TEST_F(Dump, WithoutCacheOnlyTheRuleAndNotAllocated) {
  const auto lines = Report(0xFFFF);
  const std::vector<std::string> expected = {"-----------------" + std::string(12, '-') + "---", "| <not allocated>"};
  EXPECT_EQ(lines, expected);
}

TEST_F(Dump, MemoryMap) {
  StartSmall();
  const auto lines = Report(1);
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ(lines[0], F("-----------------%-*.*s---", 12, 12, ">>RSCPCCC<< "));
  EXPECT_EQ(lines[1], "| Char code cache");
  EXPECT_EQ(lines[2], F("| kind of memory             %-*.*s", 12, 12, "malloc"));
  EXPECT_EQ(lines[3], F("| state              %15.15s", "initialized"));
  // A cache built with the protect option is read-only outside writers.
  ASSERT_EQ(c_->protect, 1);
  EXPECT_EQ(lines[4], F("| address                 0x%08lx  %s", (unsigned long)(uintptr_t)c_, "(read-only)"));
  c_->protect = 0;
  EXPECT_EQ(Report(1)[4], F("| address                 0x%08lx  %s", (unsigned long)(uintptr_t)c_, "(read-write)"));
  for (const std::string& l : {
           F("| noof char codes            %7d", c_->noof_char_codes),
           F("| max weq code               %7d", (int)c_->max_weq_code),
           F("| max enhanced uchar         %7d", (int)c_->max_enhanced_uchar),
           F("| TCP01 mappings             %7d", c_->tcp01_mappings),
           F("| end   of CCCT1  %8ld |---", (long)c_->end_t1),
           F("| noof char CCCT1s      |--| %7d", c_->noof_t1),
           F("| start of CCCT2  %8ld |---", (long)c_->first_t2),
           F("| end   of CCCT2  %8ld |---", (long)c_->end_t2),
           F("| start of long c.%8ld |---", (long)c_->first_t7),
           F("| end   of long c.%8ld |---", (long)c_->end_t7),
           F("| length          %8ld", 400000L),
           F("| TCP07 area size %9ld", 40000L),
       }) {
    EXPECT_TRUE(Contains(lines, l)) << l;
  }
  EXPECT_EQ(lines.back(), F("| TCP07 area size %9ld", 40000L));
  // Free space between the areas, with its gauge behind the byte count.
  EXPECT_TRUE(AnyStartsWith(lines, F("| free                  ---|%8ld bytes ", (long)(c_->first_t2 - c_->end_t1))));
  EXPECT_FALSE(AnyStartsWith(lines, "| layout version")) << "one section only";
}

TEST_F(Dump, GaugeOfAnEmptySpanAtZero) {
  WEQ_UC g[25];
  rscpdgb__draw_gauge(g, 25, 0, 0, 400000);
  EXPECT_EQ(U8(g, 25), "\\" + std::string(24, '_'));
}

TEST_F(Dump, CodePageTableListsLoadedPagesAndWithBit32AllPages) {
  StartSmall();
  const auto lines = Report(2);
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[0], std::string(82, '-'));
  EXPECT_EQ(lines[1], "| S=control codes and WEQ's characters");
  EXPECT_EQ(lines[2], "| c=control codes");
  EXPECT_EQ(lines[3], "| s=WEQ's characters");
  const rscpCpEntry_t* e = Entry("1100");
  ASSERT_NE(e, nullptr);
  char blank[9] = {};
  for (uint32_t i = 0; i < e->blankLen && i < 4; ++i) snprintf(blank + 2 * i, 3, "%02x", e->blank[i]);
  const std::string main1100 =
      F("| %-*.*s%-*.*s%4d%8ld %3d %2d %3d %7d%7d  %4d,%-4d %2d%2d%c%c %1d:%s", 4, 4, "1100", 1, 1, " ",
        e->in[0].root, (long)e->out[0].t2, e->in[0].noofT1, 1, e->out[0].noofT3, (int)e->in[0].noofChars,
        (int)e->out[0].noofChars, e->major, e->minor, e->bit, e->enc, e->mixed ? 'A' : ' ',
        e->classDigit ? 'X' : '_', (int)e->blankLen, blank);
  EXPECT_TRUE(Contains(lines, main1100)) << main1100;
  const rscpCpEntry_t* j = Entry("8000");
  // 8000's base variant is its first loaded slot; its control-code variant
  // follows as an input-only line.
  EXPECT_TRUE(AnyStartsWith(lines, "| 8000 " + F("%4d", j->in[0].root)));
  EXPECT_TRUE(Contains(lines, F("| %-*.*s%-*.*s%4d         %3d        %7d             ,             :", 4, 4, "8000",
                                1, 1, "c", j->in[1].root, j->in[1].noofT1, (int)j->in[1].noofChars)));
  EXPECT_EQ(lines.size(), 6u + 3u) << "two pages, three lines";
  EXPECT_FALSE(AnyStartsWith(lines, "| 0100"));
  const auto all = Report(2 | 32);
  EXPECT_EQ(all.size(), 6u + c_->noof_char_codes + 1u);
  EXPECT_TRUE(AnyStartsWith(all, "| 0100    0       0   0  0   0       0      0"));
}

TEST_F(Dump, ReorganisationLookupsAndCounters) {
  StartSmall();
  ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, u"because", -1, -1), 0);
  CaptureFd err;
  ASSERT_EQ(rscpnr__need_reorg(0, -1), 0);
  err.Take();
  c_ = Cache();
  c_->lookups = 42;
  c_->bytesIn = 5000000000ull;
  const auto lines = Report(64 | 0x200);
  const std::vector<std::string> reorg = {
      F("| layout version  %9ld", 200911172L),
      F("| creation date    %-*.*s", 16, 16, U8(c_->createdate, 16).c_str()),
      F("| last reorg date  %-*.*s", 16, 16, U8(c_->lastreorgdate, 16).c_str()),
      F("| reorg_version   %9ld", (long)c_->reorg_version),
      F("| noof_reorgs     %9ld", 1L),
      F("| reorg_done      %9s", "TRUE"),
      F("| reorg_reason    %-*.*s", 36, 36, "because"),
      F("| created by      %9ld (parent PId %ld)", (long)c_->pidCreate, (long)c_->ppidCreate),
      F("| invalidated by  %9ld (parent PId %ld)", (long)getpid(), (long)c_->ppidInval),
      F("| reorganized by  %9ld (parent PId %ld)", (long)getpid(), (long)c_->ppidReorg),
      F("| dd_reorg_version%9ld", 0L),
  };
  auto at = std::find(lines.begin(), lines.end(), reorg[0]);
  ASSERT_NE(at, lines.end());
  for (size_t i = 0; i < reorg.size(); ++i, ++at) {
    ASSERT_NE(at, lines.end());
    EXPECT_EQ(*at, reorg[i]);
  }
  EXPECT_TRUE(Contains(lines, F("| was_overflow    %9s", "FALSE")));
  EXPECT_TRUE(Contains(lines, F("| attaches        %9ld", 1L)));
  EXPECT_TRUE(Contains(lines, F("| lookups         %9ld +%20ld", 42L, 0L)));
  EXPECT_TRUE(Contains(lines, F("| %-16.16s%9ld +%20ld", "clone for RFC", 0L, 0L)));
  EXPECT_TRUE(Contains(lines, F("| conv.bytes (in) %20s +%20s", "5000000000", "0")));
  EXPECT_TRUE(Contains(lines, F("| mbc_copy        %9d", c_->mbc_copy)));
  EXPECT_TRUE(Contains(lines, F("| db_cp_count     %9ld", (long)c_->db_cp_count)));
  EXPECT_TRUE(Contains(lines, F("| ruleInfo_count  %d", (int)c_->ruleInfo_count)));
  EXPECT_FALSE(AnyStartsWith(lines, "| Char code cache"));
}

TEST_F(Dump, SourcesAndDatabaseCodePages) {
  StartSmall();
  c_->db_cp_count = 2;
  memcpy(c_->db_cp_list[0], u"0100", 8);
  memcpy(c_->db_cp_list[1], u"4103", 8);
  const auto rules = Report(64);
  EXPECT_TRUE(Contains(rules, F("|    %3d:          %-*.*s", 1, 4, 4, "4103")));
  const auto lines = Report(16);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], F("| %-*.*s |%-6.6s|%-6.6s|%-*.*s|ISO-2022  |max char length", 4, 4, "CP", "source_of_TCP00",
                        "source_of_code_page", 5, 5, "segid"));
  EXPECT_EQ(lines.back(), F("| %-*.*s | %*.*s|   system c.p.", 4, 4, "", 14, 14, "about segments"));
  EXPECT_TRUE(AnyStartsWith(lines, "| 1100 |")) << lines[2];
  const rscpCpEntry_t* e = Entry("1100");
  const std::string lens = F("__=%.3d, C_=%.3d, _S=%.3d, CS=%.3d", e->in[0].maxLen, e->in[1].maxLen, e->in[2].maxLen,
                             e->in[3].maxLen);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.rfind("| 1100 |", 0) == 0 && l.find("|..........|" + lens + "|") != std::string::npos;
  }));
}

TEST_F(Dump, OutsideInitialisedStateOnlyTheMemoryMap) {
  StartSmall();
  rscpSetState(RSCP_STATE_REINIT);
  const auto lines = Report(0xFFFF);
  EXPECT_EQ(lines[3], F("| state              %15.15s", "reinitialize"));
  EXPECT_EQ(lines.back(), F("| TCP07 area size %9ld", 40000L));
  rscpSetState(RSCP_STATE_INIT);
}

}  // namespace
}  // namespace rscptest
