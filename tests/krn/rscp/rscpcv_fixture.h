// Shared by the conversion tests: chosen converter objects, one conversion
// call into an output with canaries behind it, a conversion resumed after
// every full output, and the newest error entry.
#ifndef TESTS_KRN_RSCP_RSCPCV_FIXTURE_H
#define TESTS_KRN_RSCP_RSCPCV_FIXTURE_H

#include <string.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "krn/rscp/rscpcv_int.h"
#include "rscpc_fixture.h"
#include "rscpc_oracle.h"

namespace rscptest {

// An object for from -> to as the bindings set it up, chosen.
inline rscpCObj_t Chosen(const char* from, const char* to) {
  rscpCObj_t o = JavaObject(from, to);
  EXPECT_EQ(rscpCLoadTables(&o), 0) << from << "->" << to;
  return o;
}

inline std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s += static_cast<char>(x);
  return s;
}

// One call: its result and how far both pointers moved.
struct Call {
  rscpRc_t rc = 0;
  size_t in = 0;     // bytes consumed
  size_t out = 0;    // bytes produced (or filled)
  std::string bytes;  // the output up to the output pointer
};

// Converts in into room bytes; the 16 bytes behind the room must stay
// untouched.
inline Call Convert(rscpCObj_t& o, const std::string& in, size_t room) {
  std::vector<uint8_t> src(in.begin(), in.end());
  std::vector<uint8_t> dst(room + 16, 0xEE);
  const WEQ_RAW* ip = src.data();
  WEQ_RAW* op = dst.data();
  Call c;
  c.rc = rscpCConvert(&o, &op, dst.data() + room, &ip, src.data() + src.size());
  c.in = static_cast<size_t>(ip - src.data());
  c.out = static_cast<size_t>(op - dst.data());
  c.bytes.assign(reinterpret_cast<const char*>(dst.data()), c.out);
  for (size_t i = room; i < dst.size(); ++i) EXPECT_EQ(dst[i], 0xEE) << "written behind the output at " << i;
  return c;
}

// Converts in with room bytes per call, resuming with the rest after every
// full output; rc is the first result other than 32, or 32 when a call
// moved nothing.
inline Call ConvertResumed(rscpCObj_t& o, const std::string& in, size_t room) {
  Call all;
  for (int guard = 0; guard < 1 << 20; ++guard) {
    const Call c = Convert(o, in.substr(all.in), room);
    all.in += c.in;
    all.out += c.out;
    all.bytes += c.bytes;
    all.rc = c.rc;
    if (c.rc != RSCPETOOLONG || (c.in == 0 && c.out == 0)) break;
  }
  return all;
}

// A stale object whose choice now fails (its input page is unknown):
// nothing moves, and the cache mutex is free for another thread's choice
// afterwards.
inline rscpErrEntry_t Newest();
inline void ExpectFailedRefreshMovesNothing(rscpCObj_t o) {
  o.cache_version += 1000;
  SetCp(o.from_cp, "0042");
  const Call c = Convert(o, "ABCD", 8);
  EXPECT_EQ(c.rc, RSCPENOCONV) << o.method;
  EXPECT_EQ(c.in + c.out, 0u) << o.method;
  EXPECT_EQ(std::u16string(Newest().msgCode, 3), u"F43") << o.method;
  auto other = std::async(std::launch::async, [] {
    rscpCObj_t x = JavaObject("8000", "4110");
    return rscpCLoadTables(&x);
  });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(other.get(), 0);
}

// One call with room enough, strict as the references: no substitution,
// a cut character reported as such.
inline Outcome Strict(rscpCObj_t o, const std::string& in) {
  o.use_subst = 0, o.use_1_copy = 0, o.rscpbroken = 0;
  const Call c = Convert(o, in, in.size() * 4 + 16);
  return {c.rc == 0 ? Outcome::kOk : c.rc == RSCPEUNIQ ? Outcome::kCut : Outcome::kBad, c.rc == 0 ? c.bytes : ""};
}

// The newest entry of the calling thread's error stack.
inline rscpErrEntry_t Newest() {
  const rscpErrStack_t* s = rscpeg__get_thr_errors();
  if (s->count == 0) return rscpErrEntry_t{};
  return s->entries[(s->count > RSCP_ERR_ENTRIES ? RSCP_ERR_ENTRIES : s->count) - 1];
}
inline std::u16string Code(const rscpErrEntry_t& e) { return std::u16string(e.msgCode, 3); }
inline std::u16string P1(const rscpErrEntry_t& e) { return std::u16string(e.param1, e.param1Len); }
inline std::u16string P2(const rscpErrEntry_t& e) { return std::u16string(e.param2, e.param2Len); }

}  // namespace rscptest

#endif
