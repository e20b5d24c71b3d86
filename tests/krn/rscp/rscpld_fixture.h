// Shared by the loader tests: a fixture that builds a converter cache of the
// default size with the converter in its initialised state, finds directory
// entries and loads variants; readers of the reports on the thread's stack.
#ifndef TESTS_KRN_RSCP_RSCPLD_FIXTURE_H
#define TESTS_KRN_RSCP_RSCPLD_FIXTURE_H

#include <string>
#include <vector>

#include "krn/rscp/rscpld_int.h"
#include "rscpcc_fixture.h"
#include "support/testsupport.h"

namespace rscptest {

inline constexpr int kInKinds[4] = {5, 6, 9, 10};
inline constexpr int kOutKinds[4] = {21, 22, 25, 26};

class LoadTest : public CacheTest {
 public:
  rscpCCC_t* BuildDefault(long size = RSCP_CACHESIZE_DEFAULT, long cache07 = RSCP_CACHESIZE_DEFAULT / 10) {
    rscpCCC_t* c = Build(size, cache07);
    rscpSetState(RSCP_STATE_INIT);
    return c;
  }
  rscpCpEntry_t* Entry(const char* cp) const {
    rscpCpEntry_t* dir = rscpDirectory(cache());
    for (int i = 0; i < cache()->noof_char_codes; ++i)
      if (Field(dir[i].cp, 4) == std::u16string(cp, cp + 4)) return &dir[i];
    return nullptr;
  }
  // All codes of the thread's reports, oldest first (the stack keeps five).
  static std::vector<std::u16string> Codes() {
    std::vector<std::u16string> v;
    const rscpErrStack_t* s = rscpeg__get_thr_errors();
    for (int i = 0; i < std::min<int>(s->count, RSCP_ERR_ENTRIES); ++i) v.emplace_back(s->entries[i].msgCode, 3);
    return v;
  }
  static std::u16string Text(int i) {
    const rscpErrEntry_t& e = rscpeg__get_thr_errors()->entries[i];
    size_t n = 0;
    while (n < std::size(e.text) && e.text[n] != 0) ++n;
    while (n > 0 && e.text[n - 1] == u' ') --n;
    return std::u16string(e.text, n);
  }
};

}  // namespace rscptest

#endif
