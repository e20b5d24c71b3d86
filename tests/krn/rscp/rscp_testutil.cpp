#include "rscp_testutil.h"

#include <errno.h>

#include "krn/thr/thr.h"
#include "support/testsupport.h"

namespace rscptest {

namespace {

// Converter code shares data between threads only once the thread library
// is active (its locks do nothing before), as after the library's load.
class ThreadLibrary : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(ThrProcInit(), 0u); }
};

[[maybe_unused]] const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ThreadLibrary);

}  // namespace

void ConverterTest::SetUp() {
  rscpResetProcess();
  rscpSetInitializer(nullptr, 0, 1);
  rscpeClearThrErrors();
  rscpGetThrCtx()->append = 0;
  errno = 0;
}

void ConverterTest::TearDown() { rscpResetProcess(); }

std::vector<std::u16string> PrintLines(const rscpErrStack_t& stack) {
  std::vector<std::u16string> lines;
  rscpeps__print_error_stack(
      &stack,
      [](const WEQ_UC* line, int length, void* arg) {
        static_cast<std::vector<std::u16string>*>(arg)->emplace_back(line, static_cast<size_t>(length));
      },
      &lines);
  return lines;
}

std::string Joined(const std::vector<std::u16string>& lines) {
  std::string s;
  for (const auto& l : lines) s += tovtest::ToUtf8(l) + "\n";
  return s;
}

std::u16string Pad(std::u16string s, size_t n) {
  s.resize(n, u' ');
  return s;
}

}  // namespace rscptest
