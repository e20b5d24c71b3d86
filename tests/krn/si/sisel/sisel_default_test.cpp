// The default select set implementation, chosen from the environment
// the socket layer met at its first start in the process. Its own
// executable: no test here starts the socket layer in the parent process,
// so every child makes that first start itself.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "krn/si/si.h"
#include "krn/si/sisel/sisel.h"
#include "krn/si/sisel/sisel_int.h"
#include "support/testsupport.h"

namespace {

TEST(SiSelDefault, ChosenFromTheEnvironmentAtStartUp) {
  struct Case {
    bool usePoll, noPoll;
    int want;
  } cases[] = {
      {false, false, SISEL_TYPE_SEL_NT},
      {true, false, SISEL_TYPE_POLL},
      {false, true, SISEL_TYPE_SEL_NT},
      {true, true, SISEL_TYPE_SEL_NT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.usePoll) + std::to_string(c.noPoll));
    tovtest::ChildResult r = tovtest::RunInChild([&] {
      if (c.usePoll) setenv("WEQ_USE_WSAPOLL", "", 1);
      else unsetenv("WEQ_USE_WSAPOLL");
      if (c.noPoll) setenv("NOPOLL", "1", 1);
      else unsetenv("NOPOLL");
      if (SiInit(nullptr) != SI_OK) return 90;
      SISEL_IMPL s;
      if (s.SiSelAddSpecImpl(nullptr) != SI_OK) return 91;
      if (dynamic_cast<SISEL_POLL*>(s.Spec())) return SISEL_TYPE_POLL;
      if (dynamic_cast<SISEL_SEL_NT_FC*>(s.Spec())) return SISEL_TYPE_SEL_NT_FC;
      if (dynamic_cast<SISEL_SEL_NT*>(s.Spec())) return SISEL_TYPE_SEL_NT;
      return 92;
    });
    EXPECT_EQ(r.exit_code, c.want) << r.err;
  }
}

}  // namespace
