// The AD trace level: ad/TRACE, read once per process, raises ordinary and
// detail lines to lower trace levels. Each combination runs in a child
// process of its own, since the parameter is read only once; this process
// never converts a record itself.
#include <gtest/gtest.h>

#include <string>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "krn/ad/ad.h"
#include "krn/ad/ad_int.h"
#include "krn/dptrc/trc_checker.h"
#include "support/testsupport.h"

namespace {

struct Seen {
  bool ordinary = false, detail = false, error = false;
};

// In a child: ad/TRACE (NULL: unset) from an instance profile and the
// trace level; converts one
// record and one unknown opcode and reports which lines came as "ODE" or
// "-" per kind on standard output.
tovtest::ChildResult RunConversions(const char16_t* adTrace, int level) {
  tovtest::TempDir dir;
  if (adTrace != nullptr)
    tovtest::WriteFile(dir.File("instance.pfl"), "ad/TRACE = " + tovtest::ToUtf8(adTrace) + "\n");
  return tovtest::RunInChild([&] {
    weqparamIReset();
    weqparamQuiet();
    if (adTrace != nullptr) weqparamIAddArg(u"WEQPROFILE", tovtest::FromUtf8(dir.File("instance.pfl")).c_str());
    std::string out;
    {
      trccheck::TraceFile trc(level);
      AD_REC r;
      AdInitRec(&r);
      r.opcode = AD_RZL_STRG;
      AD_REC_EXT e;
      AdCvtRecToExt(&r, &e);
      r.opcode = 200;
      AdCvtRecToExt(&r, &e);
      Seen s;
      for (const trccheck::Line& l : trc.Body()) {
        if (l.kind == 'E' && l.text.rfind("AdCvtRecToExt: unknown opcode 200", 0) == 0) s.error = true;
        if (l.kind == 'I' && l.text == "AdCvtRecToExt: opcode 21 (AD_RZL_STRG), ser 0, ex 0, errno 0")
          s.ordinary = true;
        if (l.kind == 'I' && l.text == "AdCallRegisteredCvtToExt: opcode 21") s.detail = true;
      }
      out = std::string(s.ordinary ? "O" : "-") + (s.detail ? "D" : "-") + (s.error ? "E" : "-");
    }
    printf("%s", out.c_str());
    return 0;
  });
}

struct Case {
  const char16_t* adTrace;
  int level;
  const char* seen;
};

class AdTraceLevel : public ::testing::TestWithParam<Case> {};

TEST_P(AdTraceLevel, LinesWrittenAtEachLevel) {
  const Case& c = GetParam();
  tovtest::ChildResult r = RunConversions(c.adTrace, c.level);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, c.seen);
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, AdTraceLevel,
    ::testing::Values(Case{nullptr, 1, "--E"}, Case{nullptr, 2, "O-E"}, Case{nullptr, 3, "ODE"},
                      Case{u"0", 1, "--E"}, Case{u"0", 2, "O-E"}, Case{u"0", 3, "ODE"},
                      Case{u"2", 1, "O-E"}, Case{u"2", 2, "O-E"}, Case{u"2", 3, "ODE"},
                      Case{u"4", 1, "ODE"}, Case{u"4", 2, "ODE"}, Case{u"4", 3, "ODE"},
                      Case{u"4", 0, "---"}, Case{u"junk", 2, "O-E"}),
    [](const ::testing::TestParamInfo<Case>& i) {
      std::string t = i.param.adTrace == nullptr ? "unset" : tovtest::ToUtf8(i.param.adTrace);
      return "ad" + t + "_level" + std::to_string(i.param.level);
    });

}  // namespace
