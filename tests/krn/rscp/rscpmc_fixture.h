// Shared by the control tests: a fixture that starts and finishes the
// converter the way the library's INIT and unload do, a recorder of the
// sleeps that a rebuild asks for, and a finder of directory entries.
#ifndef TESTS_KRN_RSCP_RSCPMC_FIXTURE_H
#define TESTS_KRN_RSCP_RSCPMC_FIXTURE_H

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <string>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpld_int.h"
#include "krn/rscp/rscpmc_int.h"
#include "rscp_testutil.h"

namespace rscptest {

// Seconds asked of the sleep seam since the last reset; nothing sleeps.
inline std::atomic<int> gAskedSleeps{0};
inline std::atomic<uint32_t> gAskedSeconds{0};
inline int RecordSleep(uint32_t seconds) {
  gAskedSleeps.fetch_add(1);
  gAskedSeconds.store(seconds);
  return 0;
}

class ControlTest : public ConverterTest {
 protected:
  void SetUp() override {
    ConverterTest::SetUp();
    gAskedSleeps = 0;
    gAskedSeconds = 0;
    rscphTestSetSleep(RecordSleep);
  }
  void TearDown() override {
    rscpf_finish(-1);
    ConverterTest::TearDown();
  }
  void Params(const std::map<std::u16string, std::u16string>& values) {
    std::map<std::u16string, rscphTestParam> p;
    for (const auto& [k, v] : values) p[k].value = v;
    rscphTestSetParams(p);
  }
  rscpCCC_t* Cache() const { return rscpIGetPublishedCache(); }
  static rscpCpEntry_t* Entry(const char* cp) {
    rscpCCC_t* c = rscpGetCache();
    rscpCpEntry_t* dir = rscpDirectory(c);
    for (int i = 0; i < c->noof_char_codes; ++i) {
      bool same = true;
      for (int k = 0; k < 4; ++k) same = same && dir[i].cp[k] == static_cast<WEQ_UC>(cp[k]);
      if (same) return &dir[i];
    }
    return nullptr;
  }
  // Loads one variant as the method chooser does: under the mutex and the
  // write permission.
  static rscpRc_t Load(int kind, const char* cp) {
    if (rscpRc_t rc = rscpGetSemaAndWritePermission(1)) return rc;
    rscpCpEntry_t* e = Entry(cp);
    const rscpRc_t rc = e == nullptr ? RSCPENOOBJ : rscplcp__load_codepage(kind, e);
    rscpReleaseWritePermissionAndSema(1);
    return rc;
  }
};

// Sets an environment variable for one scope (unset when value is NULL).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    if (value != nullptr) setenv(name, value, 1); else unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1); else unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

}  // namespace rscptest

#endif
