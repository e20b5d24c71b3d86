// The test-only code page data set (generated into rscpf5_tset_cat.cpp from
// the manifest's test section): well-formed pages beside faults on purpose,
// for tests that put it behind the data seam.
#ifndef TESTS_KRN_RSCP_RSCPF5_TSET_H
#define TESTS_KRN_RSCP_RSCPF5_TSET_H

#include "krn/rscp/rscpdat_int.h"

namespace rscpf5test {

extern const char rscpF5TTcp00[];
extern const uint8_t rscpF5TTcp01[];
extern const uint32_t rscpF5TTcp01LastMax;
extern const rscpSegDirEntry_t rscpF5TSegDir[];
extern const int32_t rscpF5TDate[3];

inline const rscpdat::DataSet& TestData() {
  static const rscpdat::DataSet set{rscpF5TTcp00, rscpF5TTcp01, rscpF5TTcp01LastMax, rscpF5TSegDir, rscpF5TDate};
  return set;
}

// Installs the test set for one scope.
class UseTestData {
 public:
  UseTestData() { rscpdat::SetActiveData(&TestData()); }
  ~UseTestData() { rscpdat::SetActiveData(nullptr); }
  UseTestData(const UseTestData&) = delete;
  UseTestData& operator=(const UseTestData&) = delete;
};

}  // namespace rscpf5test

#endif
