// Helpers of the logon-group tests against ms_peer: the process-wide start,
// a fresh layer around every test, a lookup with all its outputs, the
// injected random numbers and clock, and the peer's log read as requests.
#ifndef TESTS_KRN_LG_LG_TEST_UTIL_H
#define TESTS_KRN_LG_LG_TEST_UTIL_H

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "flat/weqparam.h"
#include "krn/dptrc/err.h"
#include "krn/lg/lg.h"
#include "krn/lg/lg_int.h"
#include "krn/ms/ms.h"
#include "krn/ni/ni.h"
#include "krn/thr/thr.h"
#include "peers/mscodec.h"
#include "peers/mspeer_run.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace lgtest {

inline std::string U8(const WEQ_UC* s) { return s == nullptr ? "(null)" : tovtest::ToUtf8(s); }

// Everything a lookup hands back.
struct Result {
  LG_RC rc = 99;
  std::string addr, release, name, snc;
  uint16_t port = 0;
  uint8_t lbUsed = 9;
};

// The numbers the test generator hands out, in turn; 0 once used up.
inline std::deque<int>& Injected() {
  static std::deque<int> q;
  return q;
}
inline int NextInjected() {
  if (Injected().empty()) return 0;
  int r = Injected().front();
  Injected().pop_front();
  return r;
}

// The test clock, in seconds.
inline int64_t& Clock() {
  static int64_t now = 1700000000;
  return now;
}
inline int64_t ReadClock() { return Clock(); }

// The storage reads, list requests and logins the peer saw.
struct Traffic {
  size_t reads22 = 0, reads21 = 0, groupReads = 0, lists = 0, logins = 0, logouts = 0, keys = 0, names = 0;
};

inline Traffic Seen(const mspeer::MsPeer& p, const std::string& group = "") {
  Traffic t;
  for (const mspeer::Event& e : p.Log()) {
    if (e.what == "STRG" && e["type"] == "22" && e["key"].find('%') == std::string::npos) {
      ++t.reads22;
      if (!group.empty() && e["key"] == group) ++t.groupReads;
    }
    if (e.what == "STRG" && e["type"] == "21" && e["key"].find('%') == std::string::npos) ++t.reads21;
    if (e.what == "OP" && e["opcode"] == "5") ++t.lists;
    if (e.what == "OP" && e["opcode"] == "70") ++t.names;
    if (e.what == "KEY") ++t.keys;
    if (e.what == "IN" && e["kind"] == "login") ++t.logins;
    if (e.what == "IN" && e["kind"] == "logout") ++t.logouts;
  }
  return t;
}

// The name an application server answers a connection with.
inline std::string Reach(const std::string& addr, uint16_t port) {
  std::array<uint8_t, 16> a{};
  if (!mspeer::Addr16(addr, &a)) return "(bad address " + addr + ")";
  int family = mspeer::IsMapped(a) ? AF_INET : AF_INET6;
  peers::Fd fd = peers::Connect(family, port);
  if (!fd.valid()) return "(no connection)";
  std::string line = peers::ReadFor(fd.get(), 64, 2000);
  size_t nl = line.find('\n');
  return nl == std::string::npos ? line : line.substr(0, nl);
}

class Lookup : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    weqparamQuiet();
    ASSERT_EQ(ThrProcInit(), 0);
    ASSERT_EQ(NiInit3(256), WEQ_O_K);
  }
  void SetUp() override {
    LgIResetProcess();
    Injected().clear();
    ErrClear();
  }
  void TearDown() override { LgIResetProcess(); }

  // LgGroupSec (sncName NULL) or LgGroupSncSec, all outputs given.
  static Result Run(const std::u16string& host, const std::u16string& serv, const std::u16string& group,
                    bool snc = false, int addrLen = 46, int releaseLen = 5, int nameLen = 41, bool withName = true) {
    Result r;
    WEQ_UC addr[64] = {u'#'}, release[16] = {u'#'}, name[64] = {u'#'}, sncName[300] = {u'#'};
    const WEQ_UC* h = host.empty() ? nullptr : host.c_str();
    const WEQ_UC* s = serv.empty() ? nullptr : serv.c_str();
    if (snc)
      r.rc = LgGroupSncSec(h, s, group.c_str(), addr, addrLen, &r.port, release, releaseLen, sncName, 300, &r.lbUsed,
                           withName ? name : nullptr, nameLen);
    else
      r.rc = LgGroupSec(h, s, group.c_str(), addr, addrLen, &r.port, release, releaseLen, &r.lbUsed,
                        withName ? name : nullptr, nameLen);
    r.addr = U8(addr);
    r.release = U8(release);
    r.name = U8(name);
    r.snc = U8(sncName);
    return r;
  }
  static Result Run(const mspeer::MsPeer& p, const std::u16string& group, bool snc = false) {
    return Run(p.Host(), p.Serv(), group, snc);
  }
};

}  // namespace lgtest

#endif
