// Eight threads convert random pairs (every kind of method, ISO-2022 input
// in random pieces) with objects of their own while a ninth invalidates the
// cache every 50 ms, so that the converting threads rebuild it under each
// other's reads: every output equals the one-thread output, and every
// generation that a rebuild retired is freed once the threads are done.
// 3 seconds, 60 with TOV_TEST_HEAVY.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rscpcv_fixture.h"
#include "support/testsupport.h"

namespace rscptest {
namespace {

struct Job {
  const char *from, *to;
  int ctrl, own;
  bool pieces;  // stop_restartable, in random pieces
  std::string in, want;
};

std::vector<Job> Jobs() {
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82\r\n"
      "abc \xE4\xB8\xAD\xE6\x96\x87 \xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xF0\x9F\x98\x80 \xEE\x80\x80 x\\~y\r\n";
  const std::string ja = "abc \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xA7\xE3\x81\x99\r\nx\\~y \xE6\xBC\xA2\xE5\xAD\x97\r\n";
  struct Spec {
    const char *from, *to, *fromName;
    int ctrl, own;
    bool pieces;
    const std::string* text;
  };
  const Spec specs[] = {{"4103", "8000", "UTF-16LE", 1, 0, false, &text}, {"4102", "1100", "UTF-16BE", 1, 0, false, &text},
                        {"4103", "8450", "UTF-16LE", 1, 0, false, &text}, {"4103", "1100", "UTF-16LE", 1, 1, false, &text},
                        {"4102", "8500", "UTF-16BE", 0, 0, false, &text}, {"8200", "4103", "ISO-2022-JP", 1, 0, true, &ja},
                        {"8200", "8000", "ISO-2022-JP", 1, 0, true, &ja}, {"8000", "8100", "CP932", 1, 0, false, &ja},
                        {"8100", "1100", "EUC-JP", 1, 0, false, &ja},     {"8100", "4000", "EUC-JP", 1, 0, false, &ja},
                        {"1100", "4103", "ISO-8859-1", 1, 0, false, &text}, {"4110", "8300", "UTF-8", 1, 0, false, &text}};
  std::vector<Job> jobs;
  for (const Spec& s : specs) {
    IconvRef enc(std::string(s.fromName) + "//TRANSLIT", "UTF-8");
    std::string in;
    for (int i = 0; i < 8; ++i) in += enc.Run(*s.text).out;
    jobs.push_back({s.from, s.to, s.ctrl, s.own, s.pieces, in, ""});
  }
  return jobs;
}

rscpCObj_t ObjectFor(const Job& j) {
  rscpCObj_t o = JavaObject(j.from, j.to);
  rscpCSetCtrlCodeCv(&o, j.ctrl);
  rscpCSetOwnChCv(&o, j.own);
  if (j.pieces) o.rscpbroken = 2;
  return o;
}

// One conversion of the job's input, whole or in pieces of 1-40 bytes (a
// character cut at a piece's end goes with the next piece); "" on failure.
std::string RunJob(rscpCObj_t& o, const Job& j, std::mt19937& rng, std::string* why) {
  std::string out;
  const auto call = [&](const std::string& in, bool last) {
    std::vector<uint8_t> src(in.begin(), in.end()), dst(in.size() * 6 + 64);
    const WEQ_RAW* ip = src.data();
    WEQ_RAW* op = dst.data();
    const rscpRc_t rc = rscpCConvert(&o, &op, dst.data() + dst.size(), &ip, src.data() + src.size());
    out.append(reinterpret_cast<char*>(dst.data()), op - dst.data());
    if (rc != 0 && (last || rc != RSCPEUNIQ)) *why = j.from + std::string(">") + j.to + " rc " + std::to_string(rc);
    return static_cast<size_t>(ip - src.data());
  };
  if (!j.pieces) {
    call(j.in, true);
    return out;
  }
  o.shift_state &= ~(0xFu << 10);
  for (size_t at = 0, carry = 0; at < j.in.size() && why->empty();) {
    const size_t n = std::min(j.in.size() - at, 1 + static_cast<size_t>(rng() % 40));
    carry = n + carry - call(j.in.substr(at - carry, n + carry), at + n == j.in.size());
    at += n;
  }
  return out;
}

class Stress : public EngineTest {};

TEST_F(Stress, EightThreadsConvertWhileANinthInvalidates) {
  std::vector<Job> jobs = Jobs();
  std::mt19937 one(1);
  for (Job& j : jobs) {
    rscpCObj_t o = ObjectFor(j);
    ASSERT_EQ(rscpCLoadTables(&o), 0) << j.from << ">" << j.to;
    std::string why;
    j.want = RunJob(o, j, one, &why);
    ASSERT_EQ(why, "");
    ASSERT_FALSE(j.want.empty());
  }
  const uint32_t firstVersion = rscpCacheVersion(rscpIGetPublishedCache());
  const auto seconds = std::chrono::seconds(tovtest::HeavyFactor() > 1 ? 60 : 3);
  const auto end = std::chrono::steady_clock::now() + seconds;
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::mutex whyMutex;
  std::string firstWhy;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(100 + t);
      std::vector<rscpCObj_t> objects;
      for (const Job& j : jobs) {
        objects.push_back(ObjectFor(j));
        if (rscpCLoadTables(&objects.back()) != 0) calls.fetch_sub(1000000);  // eight choices at once
      }
      while (!stop.load(std::memory_order_relaxed)) {
        const size_t k = rng() % jobs.size();
        std::string why;
        const std::string out = RunJob(objects[k], jobs[k], rng, &why);
        if (why.empty() && out != jobs[k].want) why = jobs[k].from + std::string(">") + jobs[k].to + " output";
        calls.fetch_add(1, std::memory_order_relaxed);
        if (!why.empty()) {
          std::lock_guard<std::mutex> lock(whyMutex);
          if (firstWhy.empty()) firstWhy = why;
          stop = true;
        }
      }
    });
  }
  int invalidations = 0;
  for (auto next = std::chrono::steady_clock::now(); next < end && !stop.load(); ++invalidations) {
    next += std::chrono::milliseconds(50);
    std::this_thread::sleep_until(next);
    ASSERT_EQ(rscpInvalidateLocked(nullptr, nullptr, u"stress", -1, -1), 0);
  }
  stop = true;
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(firstWhy, "");
  EXPECT_GT(calls.load(), 100);
  RecordProperty("calls", static_cast<int>(calls.load()));
  RecordProperty("invalidations", invalidations);
  // The threads rebuilt the cache again and again; nothing pins the old
  // generations any more, so none is left waiting to be freed.
  Chosen("1100", "4103");
  EXPECT_GT(rscpCacheVersion(rscpIGetPublishedCache()), firstVersion + invalidations / 2);
  EXPECT_EQ(rscpReclaimRetired(), 0);
}

}  // namespace
}  // namespace rscptest
