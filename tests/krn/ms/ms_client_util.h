// Helpers of the message server client's tests against ms_peer: the NI
// start, the default handle reset around every test, and the expectations
// written by hand from the header table.
#ifndef TESTS_KRN_MS_MS_CLIENT_UTIL_H
#define TESTS_KRN_MS_MS_CLIENT_UTIL_H

#include <gtest/gtest.h>
#include <string.h>

#include <array>
#include <chrono>
#include <string>

#include "krn/dptrc/err.h"
#include "krn/ms/ms.h"
#include "krn/ms/ms_int.h"
#include "krn/ni/ni.h"
#include "krn/thr/thr.h"
#include "peers/adcodec.h"
#include "peers/mscodec.h"
#include "peers/mspeer_run.h"
#include "support/testsupport.h"

namespace mstest {

inline std::string U8(const WEQ_UC* s) { return s == nullptr ? "(null)" : tovtest::ToUtf8(s); }

// A 110-byte header as the client builds it, from the table's fields.
inline std::string ClientHeader(uint8_t version, uint8_t iflag, uint8_t msflag, const std::string& to,
                                const std::string& from, uint8_t types = 0, uint16_t port = 0,
                                const std::string& key = std::string(8, '\0'), int8_t mserrno = 0) {
  std::string h("**MESSAGE**\0", 12);
  h += static_cast<char>(version);
  h += static_cast<char>(mserrno);
  h += to;
  h += static_cast<char>(types);
  h += std::string(3, '\0');  // reserved, dom 0, reserved
  h += key;
  h += static_cast<char>(msflag);
  h += static_cast<char>(iflag);
  h += from;
  h += static_cast<char>(port >> 8);
  h += static_cast<char>(port & 0xFF);
  return h;
}

// "-" and 39 blanks; a name padded with blanks; a name ended by zeros.
inline std::string Anon() { return "-" + std::string(39, ' '); }
inline std::string Blank40(const std::string& n) { return mspeer::Pad(n, 40); }
inline std::string Zero40(const std::string& n) { return n + std::string(40 - n.size(), '\0'); }

// An address text (IPv4 or IPv6) as a node address, IPv4-mapped for IPv4.
inline NI_NODEADDR Node(const std::string& text) {
  std::array<uint8_t, 16> a{};
  EXPECT_TRUE(mspeer::Addr16(text, &a));
  NI_NODEADDR n;
  memcpy(n.addr, a.data(), 16);
  return n;
}

inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Every test starts NI and a fresh default handle with short time-outs,
// and leaves the handle detached and reset.
class Client : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(ThrProcInit(), 0);
    ASSERT_EQ(NiInit3(256), WEQ_O_K);
  }
  void SetUp() override {
    h = MsGetDefaultHdl();
    MsIHdlReset(h);
    h->ms_timeS = h->ms_timeL = 3000;
    ErrClear();
  }
  void TearDown() override {
    MsIDetach(h);
    MsIHdlReset(h);
  }
  int Attach(const mspeer::MsPeer& p, const std::u16string& name = u"-", const std::u16string& serv = u"-",
             uint8_t types = 0) {
    return MsAttach(name.c_str(), serv.c_str(), types, p.Host().c_str(), p.Serv().c_str());
  }
  // A plain message by name (msflag 1, iflag 1).
  int SendTo(const std::u16string& to, const std::string& data, uint8_t msflag = MS_MSG, uint8_t iflag = 1) {
    const WEQ_RAW key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    return MsISnd2(h, data.data(), static_cast<int32_t>(data.size()), nullptr, 0, to.c_str(), 0, key, msflag,
                   iflag, 0);
  }
  // MsReceive's result, with the data as a string.
  int Receive(std::string* data, int32_t timeout = 3000, std::u16string* from = nullptr) {
    WEQ_RAW* p = nullptr;
    int32_t len = -1;
    WEQ_RAW key[8];
    uint8_t msflag = 0;
    WEQ_UC fromname[41];
    int rc = MsReceive(&p, &len, key, &msflag, fromname, timeout);
    if (data != nullptr) *data = p != nullptr && len >= 0 ? std::string(reinterpret_cast<char*>(p), static_cast<size_t>(len)) : "";
    if (from != nullptr && rc == 0) *from = fromname;
    return rc;
  }

  MS_HDL* h = nullptr;
};

}  // namespace mstest

#endif
