// The first query of the profile parameter store from several threads at
// once: one store is built, every thread sees the same strings, and the
// lookup counter counts every lookup of every thread.
#include <gtest/gtest.h>

#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "i18n/wequ16/u16str.h"
#include "support/testsupport.h"

namespace {

const char16_t* const kNames[] = {
    u"DIR_PROFILE", u"DIR_EXE_ROOT", u"INSTANCE_NAME", u"CHAIN", u"snc/enable",
    u"FROM_FILE",   u"no/such/name", u"em/initial_size_MB",
};
constexpr size_t kCount = std::size(kNames);

struct Answers {
  const WEQ_UC* get[kCount];
  const WEQ_UC* def[kCount];
};

int Rounds(int base) {
#ifdef __SANITIZE_THREAD__
  base = (base + 3) / 4;
#endif
  return base * tovtest::HeavyFactor();
}

class WeqparamFirstQuery : public testing::Test {
 protected:
  void SetUp() override {
    tovtest::WriteFile(dir_.File("DEFAULT.PFL"),
                       "CHAIN = $(DIR_PROFILE)/$(FROM_FILE)\nFROM_FILE = f$$\n"
                       "snc/enable = 1\n");
  }
  void TearDown() override { weqparamIReset(); }

  void Fresh() {
    weqparamIReset();
    weqparamQuiet();
    weqparamIAddArg(u"DIR_PROFILE", tovtest::FromUtf8(dir_.path()).c_str());
  }

  // Runs threads that meet at a barrier and then query every name; the
  // first thread asks weqparamGetDefault first, the others weqparamGet.
  std::vector<Answers> Race(int threads) {
    std::vector<Answers> out(threads);
    std::barrier start(threads);
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t) {
      ts.emplace_back([&, t] {
        start.arrive_and_wait();
        for (size_t i = 0; i < kCount; ++i) {
          if (t == 0) out[t].def[i] = weqparamGetDefault(kNames[i]);
          out[t].get[i] = weqparamGet(kNames[i]);
          if (t != 0) out[t].def[i] = weqparamGetDefault(kNames[i]);
        }
      });
    }
    for (auto& th : ts) th.join();
    return out;
  }

  tovtest::TempDir dir_;
};

TEST_F(WeqparamFirstQuery, ThreadsAtOnceGetTheSameStrings) {
  const std::u16string profile = tovtest::FromUtf8(dir_.path());
  for (int round = 0; round < Rounds(60); ++round) {
    Fresh();
    const int threads = round % 2 == 0 ? 2 : 8;
    std::vector<Answers> a = Race(threads);
    for (int t = 1; t < threads; ++t) {
      for (size_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(a[t].get[i], a[0].get[i]) << "round " << round << " thread " << t << " name " << i;
        ASSERT_EQ(a[t].def[i], a[0].def[i]) << "round " << round << " thread " << t << " name " << i;
      }
    }
    ASSERT_NE(a[0].get[3], nullptr);
    ASSERT_EQ(std::u16string(a[0].get[3]), profile + u"/f00");
    ASSERT_EQ(std::u16string(a[0].get[4]), u"1");
    ASSERT_EQ(a[0].get[6], nullptr);
  }
}

TEST_F(WeqparamFirstQuery, EveryLookupOfEveryThreadIsCounted) {
  constexpr int kThreads = 8;
  constexpr int kLookups = 500;
  // The build's own lookups, from a build on one thread.
  Fresh();
  weqparamInit();
  const long built = strtolU(weqparamIFind(u"__WEQPROFILE_CALLS")->value, nullptr, 10);
  for (int round = 0; round < Rounds(8); ++round) {
    Fresh();
    std::barrier start(kThreads);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
      ts.emplace_back([&, t] {
        start.arrive_and_wait();
        weqparamInit();
        const char16_t* name = t % 2 ? u"snc/enable" : u"snc/data_protection/max";
        for (int i = 0; i < kLookups; ++i) weqparamGet(name);
      });
    }
    for (auto& th : ts) th.join();
    const weqparamRec* calls = weqparamIFind(u"__WEQPROFILE_CALLS");
    ASSERT_EQ(strtolU(calls->value, nullptr, 10), built + kThreads * kLookups) << "round " << round;
    const std::u16string last = weqparamIFind(u"__WEQPROFILE_CALL_LAST_NAME")->value;
    ASSERT_TRUE(last == u"snc/enable" || last == u"snc/data_protection/max");
  }
}

TEST_F(WeqparamFirstQuery, FreshProcessTwoThreads) {
  auto r = tovtest::RunInChild([&] {
    weqparamQuiet();
    weqparamIAddArg(u"DIR_PROFILE", tovtest::FromUtf8(dir_.path()).c_str());
    std::vector<Answers> a = Race(2);
    for (size_t i = 0; i < kCount; ++i) {
      if (a[0].get[i] != a[1].get[i] || a[0].def[i] != a[1].def[i]) return 1;
    }
    return 0;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

}  // namespace
