// AD records and the name tables under several threads: the first record
// conversion of the process (converter registry, reverse opcode index, AD
// trace level) raced from many threads at once, and the name functions whose
// "no name" texts live in per-thread buffers. Each case runs in its own
// process, so the first conversion is really the first.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "krn/ad/ad.h"
#include "krn/ad/ad_test_util.h"
#include "krn/lg/lg.h"
#include "krn/ms/ms.h"
#include "krn/thr/thr.h"
#include "peers/adcodec.h"
#include "support/testsupport.h"

namespace {

class AdThreads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ThrProcInit(), 0u); }
};

constexpr int kThreads = 12;

template <class Body>
void RunAtOnce(Body body) {
  std::barrier start(kThreads);
  std::vector<std::thread> ts;
  for (int i = 0; i < kThreads; ++i)
    ts.emplace_back([&, i] {
      start.arrive_and_wait();
      body(i);
    });
  for (std::thread& t : ts) t.join();
}

TEST_F(AdThreads, FirstConversionsRaceAndAllAgree) {
  std::vector<uint8_t> ops = adpeer::RegisteredOpcodes();
  std::atomic<int> mismatches{0}, done{0};
  RunAtOnce([&](int t) {
    for (int round = 0; round < 20; ++round) {
      for (uint8_t op : ops) {
        if (adpeer::ClassOf(op) != adpeer::Class::kLayout) continue;
        AD_REC r = adtest::Rec(op);
        std::vector<std::string> want;
        for (const adpeer::Field& f : adpeer::Layout(op)) {
          if (f.kind == adpeer::Kind::kText) {
            std::u16string text = u"t" + tovtest::FromUtf8(std::to_string(t)) + u"\u00e9";
            adtest::PutText(r, f.in, text, f.width);
            text.resize(static_cast<size_t>(f.width), u' ');
            want.push_back(adtest::ExpectedField(text, f.width));
          } else {
            std::string raw(static_cast<size_t>(f.width), static_cast<char>(t));
            memcpy(adtest::Bytes(r) + f.in, raw.data(), raw.size());
            want.push_back(raw);
          }
        }
        if (adtest::ToExt(r) != adpeer::Record(op, adpeer::LayoutBody(op, want))) ++mismatches;
        ++done;
      }
    }
  });
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(done.load(), kThreads * 20 * 20);
}

TEST_F(AdThreads, NamesWithoutATableRowStayPerThread) {
  std::atomic<int> wrong{0};
  RunAtOnce([&](int t) {
    for (int i = 0; i < 2000; ++i) {
      int op = 100 + t;  // unnamed opcodes, one per thread
      const WEQ_UC* name = AdOpcodeName(op);
      const WEQ_UC* type = AdPermTypeName(200 + t);
      WEQ_UC ms[MS_NAME_LEN], lg[LG_ERR_NAME_LEN], ad[32];
      if (tovtest::ToUtf8(name) != "AD_OPCODE_" + std::to_string(op)) ++wrong;
      if (tovtest::ToUtf8(type) != std::to_string(200 + t)) ++wrong;
      if (tovtest::ToUtf8(AdOpcodeName(AD_RZL_STRG)) != "AD_RZL_STRG") ++wrong;
      if (tovtest::ToUtf8(MsErrorName(-1000 - t, ms)) != std::to_string(-1000 - t)) ++wrong;
      if (tovtest::ToUtf8(LgErrorName(-200 - t, lg)) != std::to_string(-200 - t)) ++wrong;
      if (tovtest::ToUtf8(AdErrName(-3, ad)) != "ADEHEAD_DESTROYED") ++wrong;
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
