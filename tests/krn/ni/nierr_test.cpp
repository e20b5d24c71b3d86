// NI return codes, NiErrSet and the failure reporter: codes, names and
// texts from the documented table, the error information's fields and the
// trace lines read back with the trace checker.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ni/ni.h"
#include "krn/ni/ni_int.h"
#include "krn/si/si.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

using tovtest::ToUtf8;

std::string Fld(int f) { return ToUtf8(ErrGetFld(f)); }

// --- Codes, names and texts --------------------------------------------------------

const std::string kCaller = "internal error\n(this retcode should be handled by caller of NI-layer)";

// The documented table: code, name, text ("" where the text is unknown).
const std::vector<std::tuple<int, std::string, std::string>>& Table() {
  static const std::vector<std::tuple<int, std::string, std::string>> t = {
      {0, "WEQ_O_K", ""},
      {-1, "NIEINTERN", "internal error"},
      {-2, "NIEHOST_UNKNOWN", "hostname '%s' unknown"},
      {-3, "NIESERV_UNKNOWN", "service '%s' unknown"},
      {-4, "NIESERV_USED", "service '%s' in use"},
      {-5, "NIETIMEOUT", "timeout occured"},
      {-6, "NIECONN_BROKEN", "connection to partner '%s' broken"},
      {-7, "NIETOO_SMALL", kCaller},
      {-8, "NIEINVAL", kCaller},
      {-10, "NIECONN_REFUSED", "partner '%s' not reached"},
      {-11, "NIEPING", kCaller},
      {-12, "NIECONN_PENDING", "timeout while pending for route completion"},
      {-13, "NIEVERSION", "invalid client version"},
      {-15, "NIENOFREEPORT", "no free connect port found within range"},
      {-16, "NIEMYHOST_VERIFY", "verify own hostname '%s' failed"},
      {-17, "NIESNC_FAILURE", "SNC processing failed:\n%s"},
      {-18, "NIEOPCODE", "Opcode received"},
      {-19, "NIEQUE_FULL", "Queue overflow"},
      {-20, "NIETOO_BIG", "Network packet too big"},
      {-21, "NIEACCEPT", "Accepted handle pending"},
      {-22, "NIEPASSED", "Handle passed to other process"},
      {-23, "NIENO_ANSWER", ""},
      {-24, "NIECALL", "Unexpected function call"},
      {-90, "NIEROUT_HOST_UNKNOWN", "hostname '%s' unknown"},
      {-91, "NIEROUT_SERV_UNKNOWN", "service '%s' unknown"},
      {-92, "NIEROUT_CONN_REFUSED", "partner '%s' not reached"},
      {-93, "NIEROUT_INTERN", "internal error"},
      {-94, "NIEROUT_PERM_DENIED", "%s: route permission denied (%s to %s, %s)"},
      {-95, "NIEROUT_CONN_BROKEN", "connection to %s, %s broken"},
      {-96, "NIEROUT_VERSION", "invalid client version"},
      {-97, "NIEROUT_CANCELED", "route canceled by administator"},
      {-98, "NIEROUT_SHUTDOWN", "router shutdown"},
      {-99, "NIEROUT_INFO_DENIED", "info access denied (%s to %s, %s)"},
      {-100, "NIEROUT_OVERFLOW", "maximum number of clients reached"},
      {-101, "NIEROUT_MODE_DENIED", "talkmode Native2 not allowed"},
      {-102, "NIEROUT_NOCLIENT", "invalid client requested"},
      {-103, "NIEROUT_EXTERN", ""},
      {-104, "NIEROUT_SNC_FAILURE", "SNC processing failed:\n%s"},
  };
  return t;
}

TEST(NiCodes, EveryCodeFromMinus200To10HasItsDocumentedNameAndText) {
  trccheck::TraceFile trace(1);
  std::map<int, std::pair<std::string, std::string>> known;
  for (const auto& [rc, name, text] : Table()) known[rc] = {name, text};
  std::string expectLines;
  for (int rc = -200; rc <= 10; ++rc) {
    auto it = known.find(rc);
    std::string name = ToUtf8(NiIErrorName(rc, trace.f));
    std::string text = ToUtf8(NiIErrorText(rc, trace.f));
    if (it == known.end()) {
      EXPECT_EQ(name, "*** ERROR ***") << rc;
      expectLines += "NiIErrorName: unknown error " + std::to_string(rc) + "\n";
    } else {
      EXPECT_EQ(name, it->second.first) << rc;
      EXPECT_EQ(ToUtf8(NiErrorName(rc)), name) << rc;
    }
    if (it == known.end() || it->second.second.empty()) {
      EXPECT_EQ(text, "*** ERROR ***") << rc;
      expectLines += "NiIErrorText: unknown error " + std::to_string(rc) + "\n";
    } else {
      EXPECT_EQ(text, it->second.second) << rc;
    }
  }
  std::string got;
  for (const trccheck::Line& l : trace.Body()) got += l.text + "\n";
  EXPECT_EQ(got, expectLines);
}

TEST(NiCodes, UnknownCodesAreQuietWithTheTraceOff) {
  trccheck::TraceFile trace(1);
  CTrcLevel.store(0);
  EXPECT_EQ(ToUtf8(NiIErrorName(-9, trace.f)), "*** ERROR ***");
  EXPECT_EQ(ToUtf8(NiIErrorText(-14, trace.f)), "*** ERROR ***");
  EXPECT_TRUE(trace.Body().empty());
}

TEST(NiCodes, SocketLayerNameTables) {
  const char* names[] = {"SI_OK",           "SI_EINVAL",       "SI_EINVAL_SOCK",  "SI_EINVAL_FAMI", "SI_EINVAL_OPT",
                         "SI_EINTR",        "SI_ESYSCALL",     "SI_EADDR_NAVAIL", "SI_EPORT_INUSE", nullptr,
                         "SI_ECONN_REFUSE", "SI_ECONN_INPROG", "SI_ECONN_BROKEN", "SI_ETIMEOUT",    "SI_EINTERN",
                         "SI_ENOTIMPL",     "SI_EMEMORY",      "SI_EMFILE"};
  for (int rc = 0; rc < 18; ++rc) {
    if (names[rc] == nullptr) {
      EXPECT_EQ(NiISiRcName(rc), nullptr);
    } else {
      EXPECT_EQ(ToUtf8(NiISiRcName(rc)), names[rc]);
    }
  }
  EXPECT_EQ(NiISiRcName(18), nullptr);
  EXPECT_EQ(NiISiRcName(-1), nullptr);
  SI_SOCKET s{3, 1, 1, 0};
  EXPECT_EQ(ToUtf8(NiISiFamilyName(&s)), "AF_UNIX");
  s.family = 2;
  EXPECT_EQ(ToUtf8(NiISiFamilyName(&s)), "AF_INET");
  s.family = 23;
  EXPECT_EQ(ToUtf8(NiISiFamilyName(&s)), "AF_INET6");
  s.family = 10;  // the system's own number for IPv6 is not the layer's
  EXPECT_EQ(NiISiFamilyName(&s), nullptr);
  for (int t = 0; t <= 4; ++t) {
    s.type = t;
    const WEQ_UC* n = NiISiTypeName(&s);
    const char* want[] = {nullptr, "SOCK_STREAM", "SOCK_DGRAM", "SOCK_RAW", nullptr};
    if (want[t] == nullptr) {
      EXPECT_EQ(n, nullptr);
    } else {
      EXPECT_EQ(ToUtf8(n), want[t]);
    }
  }
}

// --- NiErrSet -----------------------------------------------------------------------

TEST(NiErrSetTest, RecordsTheCodeOnceAtTheSameLocation) {
  ErrClear();
  ErrSetLocation(u"conversation %d", 1);
  NiErrSet(NIETIMEOUT);
  EXPECT_EQ(Fld(ERR_FLD_COMPONENT), "NI (network interface)");
  EXPECT_EQ(Fld(ERR_FLD_VERSION), "40");
  EXPECT_EQ(Fld(ERR_FLD_RC), "-5");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiErrSet");
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "timeout occured");
  EXPECT_EQ(Fld(ERR_FLD_LOCATION), "conversation 1");
  std::string counter = Fld(ERR_FLD_COUNTER);
  NiErrSet(NIETIMEOUT);
  EXPECT_EQ(Fld(ERR_FLD_COUNTER), counter);  // the same error: not recorded again
  NiErrSet(NIECONN_BROKEN);                   // another code is
  EXPECT_NE(Fld(ERR_FLD_COUNTER), counter);
  EXPECT_EQ(Fld(ERR_FLD_RC), "-6");
  // Placeholders nobody fills stay as they read.
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "connection to partner '%s' broken");
  counter = Fld(ERR_FLD_COUNTER);
  ErrSetLocation(u"conversation %d", 2);
  NiErrSet(NIECONN_BROKEN);  // a new location records again
  EXPECT_NE(Fld(ERR_FLD_COUNTER), counter);
  EXPECT_EQ(Fld(ERR_FLD_LOCATION), "conversation 2");
  ErrSetLocation(u"");
  ErrClear();
}

TEST(NiErrSetTest, SncCodesChangeOnlyCodeAndComponentOfTheRecord) {
  for (NI_RC rc : {NIESNC_FAILURE, NIEROUT_SNC_FAILURE}) {
    ErrClear();
    ErrSetInfo(u"SNC (Secure Network Communication)", 7, u"sncxx", 99, u"gss said %s", -4, u"detail %d",
               u"no", 12);
    std::vector<std::string> before;
    for (int f = 0; f < ERR_FLD_COUNT; ++f) before.push_back(Fld(f));
    NiErrSet(rc);
    for (int f = 0; f < ERR_FLD_COUNT; ++f) {
      if (f == ERR_FLD_RC) {
        EXPECT_EQ(Fld(f), std::to_string(rc));
      } else if (f == ERR_FLD_COMPONENT) {
        EXPECT_EQ(Fld(f), "NI (network interface)");
      } else {
        EXPECT_EQ(Fld(f), before[f]) << "field " << f;
      }
    }
  }
  ErrClear();
}

// --- The failure reporter -------------------------------------------------------------

// A handle record of a connection to peer:port.
void Handle(NITAB& h, int32_t hdl, uint8_t state, const char* peer, uint16_t port, SI_SOCKET sock,
            CTRC_HDL* trc) {
  h.mHdl = hdl;
  h.mType = state;
  h.mTrcHdl = trc;
  h.con.mPeerAddr.addr[10] = h.con.mPeerAddr.addr[11] = 0xFF;
  inet_pton(AF_INET, peer, h.con.mPeerAddr.addr + 12);
  h.con.mPeerServNo = htons(port);
  h.con.mSocket = sock;
}

struct Report {
  NI_RC rc;
  std::vector<trccheck::Line> lines;
};

class NiReport : public ::testing::Test {
 protected:
  void SetUp() override {
    // The caches set themselves up on the first look-up, with trace lines
    // of their own; that happens here, before any report is counted.
    WEQ_UC serv[32];
    NiIGetServName(0, serv, 32, NI_HS_MODE_BUFONLY, trace_.f);
    ErrClear();
  }
  void TearDown() override { ErrClear(); }
  trccheck::TraceFile trace_{2};
  CTRC_HDL hdlTrc_ = trace_.f;

  Report Run(SI_RC si, uint16_t fn, const NITAB* h, const SI_SOCKET* s, int32_t err, const WEQ_UC* extra,
             const WEQ_RAW* addr, uint16_t portHost, uint8_t errorFlag = 0, const WEQ_UC* func = u"NiIFunc") {
    uint16_t port = htons(portHost);
    size_t before = trace_.Body(true).size();
    NI_RC rc = NiIReportSiError(si, fn, h, s, err, extra, addr, addr != nullptr ? &port : nullptr, func, u"nixxi",
                                1234, errorFlag);
    std::vector<trccheck::Line> all = trace_.Body(true), fresh;
    for (size_t i = before; i < all.size(); ++i) {
      if (all[i].kind != 'S' && all[i].kind != '0') fresh.push_back(all[i]);
    }
    return {rc, fresh};
  }
};

const WEQ_RAW kLo4[4] = {127, 0, 0, 1};

TEST_F(NiReport, FailedBindChoosesServiceInUseOrOwnHostByFamily) {
  SI_SOCKET ip{7, SI_AF_INET, SI_SOCK_STREAM, 0};
  Report r = Run(SI_EADDR_NAVAIL, SI_FN_BIND, nullptr, &ip, EADDRNOTAVAIL, nullptr, kLo4, 3300);
  EXPECT_EQ(r.rc, NIEMYHOST_VERIFY);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "verify own hostname '127.0.0.1:3300' failed");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiIFunc: 127.0.0.1:3300");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "bind");
  EXPECT_EQ(Fld(ERR_FLD_ERRNO), std::to_string(EADDRNOTAVAIL));
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].kind, 'I');
  EXPECT_EQ(r.lines[0].text, "NiIFunc: SiBind failed (SI_EADDR_NAVAIL/99; 127.0.0.1:3300)");

  SI_SOCKET uds{7, SI_AF_UNIX, SI_SOCK_STREAM, 0};
  const char path[] = "/tmp/.weqstream3300";
  r = Run(SI_ECONN_REFUSE, SI_FN_BIND2, nullptr, &uds, EADDRINUSE, nullptr, reinterpret_cast<const WEQ_RAW*>(path),
          3300);
  EXPECT_EQ(r.rc, NIESERV_USED);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "service '/tmp/.weqstream3300' in use");

  // An IPv6 address is followed by '.' and its port.
  SI_SOCKET ip6{7, SI_AF_INET6, SI_SOCK_STREAM, 0};
  WEQ_RAW lo6[16] = {};
  lo6[15] = 1;
  r = Run(SI_EPORT_INUSE, SI_FN_BIND, nullptr, &ip6, EADDRINUSE, nullptr, lo6, 80);
  EXPECT_EQ(r.rc, NIESERV_USED);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "service '::1.80' in use");
}

TEST_F(NiReport, ConnectFailuresReportThePartnerAndTheConnectName) {
  SI_SOCKET s{9, SI_AF_INET, SI_SOCK_STREAM, 0};
  NITAB h{};
  Handle(h, 81, NI_CONN_WAIT, "10.1.2.3", 3299, s, &hdlTrc_);
  // Without a host cache the peer is shown by its address and port.
  Report r = Run(SI_ECONN_REFUSE, SI_FN_CONNECT, &h, &s, ECONNREFUSED, nullptr, kLo4, 3299);
  EXPECT_EQ(r.rc, NIECONN_REFUSED);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "partner '10.1.2.3:3299' not reached");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiPConnect: 127.0.0.1:3299");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "connect");
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[0].text, "NiPConnect: SiConnect failed for hdl 81/sock 9");
  EXPECT_EQ(r.lines[1].text, "    (SI_ECONN_REFUSE/111; I4; ST; 127.0.0.1:3299)");

  r = Run(SI_EADDR_NAVAIL, SI_FN_PEEKPENDCONN, &h, &s, ENETUNREACH, u"extra", nullptr, 0);
  EXPECT_EQ(r.rc, NIECONN_REFUSED);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiPConnect2");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "connect");
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[1].text, "    (SI_EADDR_NAVAIL/101; I4; ST; extra)");

  // A listening handle names the address given, not its (absent) peer.
  NITAB l{};
  Handle(l, 8, NI_LISTEN, "0.0.0.0", 0, s, &hdlTrc_);
  r = Run(SI_ECONN_REFUSE, SI_FN_ACCEPT, &l, &s, ECONNREFUSED, nullptr, kLo4, 4000);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "partner '127.0.0.1:4000' not reached");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "accept");

  // A connect that timed out is a partner not reached; a receive a time-out.
  r = Run(SI_ETIMEOUT, SI_FN_CONNECT2, &h, &s, ETIMEDOUT, nullptr, nullptr, 0);
  EXPECT_EQ(r.rc, NIECONN_REFUSED);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "partner '10.1.2.3:3299' not reached");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiIFunc");
  r = Run(SI_ETIMEOUT, SI_FN_RECV, &h, &s, EAGAIN, nullptr, nullptr, 0);
  EXPECT_EQ(r.rc, NIETIMEOUT);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "timeout occured");
  r = Run(SI_EPORT_INUSE, SI_FN_CONNECT, &h, &s, EADDRINUSE, nullptr, nullptr, 0);
  EXPECT_EQ(r.rc, NIESERV_USED);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "service '0' in use");
}

TEST_F(NiReport, BrokenConnectionNamesBothEndsOfARealSocket) {
  uint16_t port = 0;
  peers::Fd l = peers::Listener(AF_INET, &port);
  peers::Fd c = peers::Connect(AF_INET, port);
  ASSERT_TRUE(c.valid());
  sockaddr_in local{};
  socklen_t len = sizeof(local);
  getsockname(c.get(), reinterpret_cast<sockaddr*>(&local), &len);
  SI_SOCKET s{c.get(), SI_AF_INET, SI_SOCK_STREAM, 0};
  NITAB h{};
  Handle(h, 17, NI_CONNECTED, "127.0.0.1", port, s, &hdlTrc_);
  Report r = Run(SI_ECONN_BROKEN, SI_FN_RECV, &h, &s, ECONNRESET, nullptr, nullptr, 0);
  std::string ends = "P=127.0.0.1:" + std::to_string(port) + "; L=127.0.0.1:" + std::to_string(ntohs(local.sin_port));
  EXPECT_EQ(r.rc, NIECONN_BROKEN);
  EXPECT_EQ(Fld(ERR_FLD_DETAIL), "connection to partner '127.0.0.1:" + std::to_string(port) + "' broken");
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiIFunc: " + ends);
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[0].text, "NiIFunc: SiRecv failed for hdl 17/sock " + std::to_string(c.get()));
  EXPECT_EQ(r.lines[1].text, "    (SI_ECONN_BROKEN/104; I4; ST; " + ends + ")");

  // A socket whose local end cannot be read shows "???".
  SI_SOCKET gone{1 << 20, SI_AF_INET, SI_SOCK_STREAM, 0};
  r = Run(SI_ECONN_BROKEN, SI_FN_SEND, &h, &gone, EPIPE, nullptr, nullptr, 0);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiIFunc: P=127.0.0.1:" + std::to_string(port) + "; L=???");
}

TEST_F(NiReport, LinesForEachKindOfCallerAndTheErrorFlag) {
  // No handle: one line, with the extra text.
  Report r = Run(SI_EINTERN, SI_FN_SELECT, nullptr, nullptr, 2050, u"sock 5", nullptr, 0);
  EXPECT_EQ(r.rc, NIEINTERN);
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].text, "NiIFunc: SiSelect failed (SI_EINTERN/2050; sock 5)");
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "select");

  // A listen handle without socket record: its two socket numbers.
  NITAB l{};
  l.mHdl = 24;
  l.mType = NI_LISTEN;
  l.mTrcHdl = &hdlTrc_;
  l.lis.mIPSocket = SI_SOCKET{11, SI_AF_INET6, SI_SOCK_STREAM, 0};
  l.lis.mUDSocket = SI_SOCKET{-1, SI_AF_UNIX, SI_SOCK_STREAM, 0};
  r = Run(SI_EMFILE, SI_FN_ACCEPT, &l, nullptr, EMFILE, nullptr, nullptr, 0, 1);
  EXPECT_EQ(r.rc, NIEINVAL);  // not NIEINTERN
  // The caller's error: a system-log copy of the record, then an error line
  // whose second half carries the location.
  std::string raw;
  for (const trccheck::Line& line : r.lines) raw += line.raw + "\n";
  EXPECT_EQ(r.lines.front().kind, 'L') << raw;
  EXPECT_NE(raw.find("] *** ERROR => NiIFunc: SiAccept failed for hdl 24 / sock 11 - sock -1\n"
                     "    (SI_EMFILE/24; ??; ??; own high 0; max hds 0) [nixxi        1234]\n"),
            std::string::npos)
      << raw;

  // The family code's suffix, unknown ids and codes.
  SI_SOCKET odd{4, 5, 9, 0};
  NITAB h{};
  Handle(h, 3, NI_CONNECTED, "127.0.0.1", 1, odd, &hdlTrc_);
  r = Run(SI_EINVAL_FAMI, 99, &h, &odd, SI_ERR_FAMILY, nullptr, nullptr, 0);
  EXPECT_EQ(r.rc, NIEINTERN);
  EXPECT_EQ(Fld(ERR_FLD_SYSCALL), "???");
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[0].text, "NiIFunc: ??? failed for hdl 3/sock 4");
  EXPECT_EQ(r.lines[1].text, "    (SI_EINVAL_FAMI/2048; ??; ??; 5)");
  r = Run(9, SI_FN_RECV, nullptr, nullptr, 0, nullptr, nullptr, 0);
  EXPECT_EQ(r.rc, NIEINTERN);
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0].text, "NiIFunc: SiRecv failed (???" "/0)");

  // At level 1 only the caller's errors are written.
  CTrcLevel.store(1);
  EXPECT_TRUE(Run(SI_ETIMEOUT, SI_FN_RECV, nullptr, nullptr, EAGAIN, nullptr, nullptr, 0).lines.empty());
  r = Run(SI_ETIMEOUT, SI_FN_RECV, nullptr, nullptr, EAGAIN, nullptr, nullptr, 0, 1);
  ASSERT_FALSE(r.lines.empty());
  EXPECT_EQ(r.lines.back().kind, 'E');
  EXPECT_EQ(r.lines.back().text, "NiIFunc: SiRecv failed (SI_ETIMEOUT/11)");
  CTrcLevel.store(0);
  EXPECT_TRUE(Run(SI_ETIMEOUT, SI_FN_RECV, nullptr, nullptr, EAGAIN, nullptr, nullptr, 0, 1).lines.empty());
}

TEST_F(NiReport, AddressOfAnUnknownFamilyLeavesNoText) {
  SI_SOCKET odd{4, 7, SI_SOCK_STREAM, 0};
  NITAB h{};
  Handle(h, 5, NI_CONNECTED, "127.0.0.1", 1, odd, &hdlTrc_);
  Report r = Run(SI_ECONN_REFUSE, SI_FN_SEND, &h, &odd, ECONNREFUSED, nullptr, kLo4, 9);
  EXPECT_EQ(r.rc, NIECONN_REFUSED);
  EXPECT_EQ(Fld(ERR_FLD_ERROR), "NiIFunc");  // no address text
  ASSERT_EQ(r.lines.size(), 3u) << trace_.After();
  EXPECT_EQ(r.lines[0].kind, 'E');
  EXPECT_EQ(r.lines[0].text, "NiISolveSockAddr: invalid family 7 for hdl 5/sock 4");
}

// Every SI code with every kind of function id and family: a negative NI
// code recorded with its own text, the system call and errno, and one line.
class NiReportSweep : public NiReport, public ::testing::WithParamInterface<int32_t> {};

TEST_P(NiReportSweep, CodeFunctionAndFamily) {
  int32_t family = GetParam();
  const WEQ_RAW lo6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const WEQ_RAW* addr = family == SI_AF_INET ? kLo4 : family == SI_AF_INET6 ? lo6
                                                                         : reinterpret_cast<const WEQ_RAW*>("/p");
  const std::vector<int> allowed = {NIEINVAL,        NIEINTERN,      NIESERV_USED, NIEMYHOST_VERIFY,
                                    NIECONN_REFUSED, NIECONN_BROKEN, NIETIMEOUT};
  for (SI_RC si = 0; si <= 18; ++si) {
    for (uint16_t fn : {SI_FN_BIND, SI_FN_CONNECT, SI_FN_ACCEPT, SI_FN_RECV, SI_FN_PEEKPENDCONN, SI_FN_SENDSOCKET}) {
      for (bool withAddr : {false, true}) {
        SI_SOCKET s{6, family, SI_SOCK_STREAM, 0};
        NITAB h{};
  Handle(h, 40, NI_CONNECTED, "192.0.2.7", 3300, s, &hdlTrc_);
        Report r = Run(si, fn, &h, &s, 1000 + si, nullptr, withAddr ? addr : nullptr, 3300);
        std::string where = "code " + std::to_string(si) + " id " + std::to_string(fn);
        ASSERT_NE(std::find(allowed.begin(), allowed.end(), r.rc), allowed.end()) << where;
        EXPECT_EQ(Fld(ERR_FLD_RC), std::to_string(r.rc)) << where;
        EXPECT_EQ(Fld(ERR_FLD_COMPONENT), "NI (network interface)") << where;
        EXPECT_EQ(Fld(ERR_FLD_VERSION), "40") << where;
        EXPECT_EQ(Fld(ERR_FLD_MODULE), "nixxi") << where;
        EXPECT_EQ(Fld(ERR_FLD_LINE), "1234") << where;
        EXPECT_EQ(Fld(ERR_FLD_ERRNO), std::to_string(1000 + si)) << where;
        bool renamed = (si == SI_EADDR_NAVAIL || si == SI_ECONN_REFUSE) &&
                       (fn == SI_FN_CONNECT || fn == SI_FN_PEEKPENDCONN);
        EXPECT_EQ(Fld(ERR_FLD_SYSCALL), renamed ? "connect" : ToUtf8(SiSysCallName(fn))) << where;
        // The detail is the code's own text with its placeholder filled.
        std::string text = ToUtf8(NiIErrorText(r.rc, nullptr));
        std::string head = text.substr(0, text.find("%s"));
        EXPECT_EQ(Fld(ERR_FLD_DETAIL).rfind(head, 0), 0u) << where << ": " << Fld(ERR_FLD_DETAIL);
        ASSERT_EQ(r.lines.size(), 2u) << where << trace_.After();
        std::string fname = renamed ? (fn == SI_FN_CONNECT ? "NiPConnect" : "NiPConnect2") : "NiIFunc";
        EXPECT_EQ(r.lines[0].text, fname + ": " + ToUtf8(SiFuncName(fn)) + " failed for hdl 40/sock 6") << where;
        const char* famText = family == SI_AF_INET ? "I4" : family == SI_AF_INET6 ? "I6" : "UD";
        const WEQ_UC* rcName = NiISiRcName(si);
        EXPECT_EQ(r.lines[1].text.rfind("    (" + (rcName != nullptr ? ToUtf8(rcName) : std::string("???")) + "/" +
                                            std::to_string(1000 + si) + "; " + famText + "; ST",
                                        0),
                  0u)
            << where << ": " << r.lines[1].text;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Families, NiReportSweep, ::testing::Values(SI_AF_INET, SI_AF_INET6, SI_AF_UNIX),
                         [](const auto& info) {
                           return info.param == SI_AF_INET ? "I4" : info.param == SI_AF_INET6 ? "I6" : "UD";
                         });

}  // namespace
