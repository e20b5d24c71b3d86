// Shared by the engine's tests: a started converter and converter objects
// set up as the Java bindings set them.
#ifndef TESTS_KRN_RSCP_RSCPC_FIXTURE_H
#define TESTS_KRN_RSCP_RSCPC_FIXTURE_H

#include <string.h>

#include <string>

#include "krn/rscp/rscpc_int.h"
#include "rscpmc_fixture.h"

namespace rscptest {

inline void SetCp(rscpCp_t& cp, const char* text) {
  for (int i = 0; i < 4; ++i) cp[i] = static_cast<WEQ_UC>(text[i]);
}
inline std::string CpText(const WEQ_UC* cp) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>(cp[i]);
  return s;
}

// An object for from -> to with the options of the Java bindings: mode 1
// (substitution), like_miss for broken input, never fill, control codes
// try, own characters ignore.
inline rscpCObj_t JavaObject(const char* from, const char* to) {
  rscpCp_t f, t;
  SetCp(f, from);
  SetCp(t, to);
  rscpCObj_t o;
  rscpCInit(&o, &f, &t, 1, 1, 0);
  rscpCSetCtrlCodeCv(&o, 1);
  rscpCSetOwnChCv(&o, 0);
  return o;
}

class EngineTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    ASSERT_EQ(rscpi_init(-1), 0);
  }
  void TearDown() override {
    rscphTestSetLocaleCp(nullptr);
    ControlTest::TearDown();
  }
  // The newest error entry's message code and return code.
  static std::u16string LastCode() {
    const rscpErrStack_t* s = rscpeg__get_thr_errors();
    if (s->count == 0) return u"";
    const int i = s->count > RSCP_ERR_ENTRIES ? RSCP_ERR_ENTRIES - 1 : s->count - 1;
    return std::u16string(s->entries[i].msgCode, 3);
  }
};

}  // namespace rscptest

#endif
