// The first query of the profile parameter store from several threads at
// once, the store reset between rounds: one store is built, every thread
// gets the same strings, and every lookup of every thread is counted.
#include <gtest/gtest.h>

#include <array>
#include <barrier>
#include <thread>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "i18n/wequ16/u16str.h"
#include "support/testsupport.h"

namespace {

const char16_t* const kNames[] = {u"DIR_PROFILE", u"DIR_EXE_ROOT", u"INSTANCE_NAME", u"CHAIN",
                                  u"snc/enable",  u"FROM_FILE",    u"no/such/name",  u"em/initial_size_MB"};
constexpr size_t kCount = std::size(kNames);

#ifdef __SANITIZE_THREAD__
constexpr int kShare = 4;  // a quarter of the rounds under ThreadSanitizer
#else
constexpr int kShare = 1;
#endif

class WeqparamFirstQuery : public testing::Test {
 protected:
  void TearDown() override { weqparamIReset(); }

  // A store not built yet over a DEFAULT.PFL; then threads that meet at a
  // barrier, each running work(t).
  template <class Work>
  void Race(int threads, Work work) {
    const std::string pfl = "CHAIN = $(DIR_PROFILE)/$(FROM_FILE)\nFROM_FILE = f$$\nsnc/enable = 1\n";
    tovtest::WriteFile(dir_.File("DEFAULT.PFL"), pfl);
    weqparamIReset();
    weqparamQuiet();
    weqparamIAddArg(u"DIR_PROFILE", tovtest::FromUtf8(dir_.path()).c_str());
    std::barrier start(threads);
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t) ts.emplace_back([&, t] { start.arrive_and_wait(), work(t); });
    for (auto& th : ts) th.join();
  }

  tovtest::TempDir dir_;
};

// Both queries of every name, the first thread asking weqparamGetDefault
// first, the others weqparamGet.
TEST_F(WeqparamFirstQuery, ThreadsAtOnceGetTheSameStrings) {
  for (int round = 0; round < 60 / kShare * tovtest::HeavyFactor(); ++round) {
    const int threads = round % 2 == 0 ? 2 : 8;
    std::vector<std::array<const WEQ_UC*, 2 * kCount>> got(static_cast<size_t>(threads));
    Race(threads, [&](int t) {
      auto& a = got[static_cast<size_t>(t)];
      for (size_t i = 0; i < kCount; ++i) {
        if (t == 0) a[kCount + i] = weqparamGetDefault(kNames[i]);
        a[i] = weqparamGet(kNames[i]);
        if (t != 0) a[kCount + i] = weqparamGetDefault(kNames[i]);
      }
    });
    for (size_t t = 1; t < got.size(); ++t) ASSERT_EQ(got[t], got[0]) << "round " << round << " thread " << t;
    ASSERT_EQ(std::u16string(got[0][3] ? got[0][3] : u"<null>"), tovtest::FromUtf8(dir_.path()) + u"/f00");
    ASSERT_TRUE(got[0][4] && std::u16string(got[0][4]) == u"1" && !got[0][6]);
  }
}

// The build's own lookups, then 8 threads of 500 each.
TEST_F(WeqparamFirstQuery, EveryLookupOfEveryThreadIsCounted) {
  long built = -1;
  for (int round = 0; round < 8 / kShare * tovtest::HeavyFactor(); ++round) {
    Race(round == 0 ? 1 : 8, [&](int t) {
      weqparamInit();
      const char16_t* name = t % 2 ? u"snc/enable" : u"snc/data_protection/max";
      for (int i = 0; i < 500 && round > 0; ++i) weqparamGet(name);
    });
    const long calls = strtolU(weqparamIFind(u"__WEQPROFILE_CALLS")->value, nullptr, 10);
    if (round == 0) built = calls;
    ASSERT_EQ(calls, built + (round > 0) * 8 * 500) << "round " << round;
    const std::u16string last = weqparamIFind(u"__WEQPROFILE_CALL_LAST_NAME")->value;
    ASSERT_TRUE(round == 0 || last == u"snc/enable" || last == u"snc/data_protection/max");
  }
}

}  // namespace
