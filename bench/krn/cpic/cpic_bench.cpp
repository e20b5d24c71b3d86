// Client conversations through gw_peer, beside a raw framed socket client
// written here from the wire format (POSIX, the same header and block
// bytes) against the same peer in the same run:
//   RoundTrip/n      STSEND then STRCV of n bytes (buffering on: one
//                    request of data and receive request, one answer);
//   BulkSend/32000   32,000-byte sends to a sink, buffering off (five
//                    asynchronous, then one that waits for the answer);
//   BulkReceive/32000  32,000-byte receives from a source;
//   Threads/16       16 conversations on 16 threads, each opened, 50 round
//                    trips of 4 KiB, deallocated;
//   ServerRoundTrip/n  a client conversation of ours relayed to our own
//                    registered server, which echoes, beside the client's
//                    round trip to the peer's echo partner.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/ni/ni.h"
#include "krn/thr/thr.h"
#include "peers/peer_spawn.h"

namespace {

constexpr int kThreadRounds = 50;


// One gw_peer for the run (quiet: it logs nothing per message). Made by the
// main thread: the peer ends with the thread that started it.
peers::PeerProcess& Peer() {
  static peers::PeerProcess* p =
      new peers::PeerProcess("gateway", {"--quiet", "--lifetime", "600"}, 5000, peers::GwPeerPath());
  return *p;
}

std::u16string Service() {
  std::u16string s;
  for (char c : std::to_string(Peer().port())) s.push_back(static_cast<char16_t>(c));
  return s;
}

void StartLayer(bool buffering) {
  static bool started = [] {
    ThrProcInit();
    return true;
  }();
  (void)started;
  setenv("CPIC_BUFFERING", buffering ? "1" : "0", 1);
  CpicIResetProcess();
}

bool OpenConv(char* id, const char16_t* tp) {
  std::u16string serv = Service();
  if (WEQ_STINIT3(id, u"BENCH", u"lu", tp, u"127.0.0.1", serv.c_str(), u'I', 0, nullptr, nullptr) != CM_OK)
    return false;
  return STALLC(id, nullptr) == CM_OK;
}

// --- The raw client --------------------------------------------------------------------

void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24), p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8), p[3] = static_cast<uint8_t>(v);
}
uint32_t Get32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

class RawClient {
 public:
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  bool Open(const char* tp) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Peer().port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // The connect record (version 2) and its answer.
    uint8_t rec[64] = {2, 3, 127, 0, 0, 1};
    memcpy(rec + 10, "RAW", 4);
    memcpy(rec + 20, "1100", 4);
    memcpy(rec + 30, "rawhost RAW             ", 24);
    rec[54] = 6, rec[55] = 0xCB, rec[56] = 0xFF, rec[57] = 0xFF;
    if (!Write(rec, sizeof rec) || !Read()) return false;
    // The initialise with its parameter block, and the allocate.
    uint8_t init[80 + 340] = {};
    Header(init, 1, 0x05, 0);
    init[27] = 0x54, init[26] = 0x01;
    memset(init + 40, ' ', 8);
    memcpy(init + 48, "BENCH   lu              ", 24);
    size_t tl = strlen(tp);
    memcpy(init + 64, tp, tl < 8 ? tl : 8);
    init[72] = 'I', init[73] = 1, init[76] = 0, init[77] = 0;
    memset(init + 80 + 276, ' ', 64);
    memcpy(init + 80 + 276, tp, tl);
    Put32(init + 22, 0);
    if (!Write(init, sizeof init) || !Read()) return false;
    memcpy(gwId_, in_.data() + 40, 8);
    connIdx_ = static_cast<uint16_t>(in_[78] << 8 | in_[79]);
    value_ = 1;
    uint8_t alloc[80] = {};
    Header(alloc, 5, 0x01, 0);
    return Write(alloc, sizeof alloc) && Read();
  }
  // Data and a receive request in one request, and its answer.
  bool RoundTrip(const std::string& data, uint32_t requested) {
    Message(203, 0x05, 0x0C, data, true, requested);
    if (!Read()) return false;
    value_ = Get32(in_.data() + 22);
    return true;
  }
  bool Send(const std::string& data, bool sync) {
    msg_.resize(80);
    Header(msg_.data(), sync ? 7 : 8, sync ? 0x01 : 0, 0);
    Put32(msg_.data() + 48, static_cast<uint32_t>(data.size()));
    if (!WriteWith(data)) return false;
    return !sync || Read();
  }
  bool Receive(uint32_t requested) {
    uint8_t h[80] = {};
    Header(h, 9, 0x01, 0);
    Put32(h + 48, requested);
    if (!Write(h, sizeof h) || !Read()) return false;
    value_ = Get32(in_.data() + 22);
    return true;
  }
  void Deallocate() {
    uint8_t h[80] = {};
    Header(h, 11, 0, 0);
    Write(h, sizeof h);
  }
  size_t last() const { return in_.size(); }

 private:
  void Header(uint8_t* h, uint8_t req, uint8_t info, uint8_t vector) {
    memset(h, 0, 80);
    h[0] = 6, h[1] = req, h[2] = 2, h[4] = 0xFF, h[5] = 0xFF;
    Put32(h + 22, value_);
    h[30] = info, h[31] = vector;
    memcpy(h + 40, gwId_, 8);
    h[76] = 0xFF, h[77] = 0xFF;
    h[78] = static_cast<uint8_t>(connIdx_ >> 8), h[79] = static_cast<uint8_t>(connIdx_);
  }
  void Message(uint8_t req, uint8_t info, uint8_t vector, const std::string& data, bool block, uint32_t requested) {
    msg_.resize(80);
    Header(msg_.data(), req, info, vector);
    msg_[27] = 8;
    (void)block;
    uint8_t tail[8];
    Put32(tail, static_cast<uint32_t>(data.size()));
    Put32(tail + 4, requested);
    WriteWith(data, tail, 8);
  }
  bool WriteWith(const std::string& data, const uint8_t* tail = nullptr, size_t tailLen = 0) {
    uint8_t len[4];
    Put32(len, static_cast<uint32_t>(80 + data.size() + tailLen));
    iovec iov[4] = {{len, 4}, {msg_.data(), 80}, {const_cast<char*>(data.data()), data.size()},
                    {const_cast<uint8_t*>(tail), tailLen}};
    return WriteV(iov, tail != nullptr ? 4 : 3);
  }
  bool Write(const void* p, size_t n) {
    uint8_t len[4];
    Put32(len, static_cast<uint32_t>(n));
    iovec iov[2] = {{len, 4}, {const_cast<void*>(p), n}};
    return WriteV(iov, 2);
  }
  bool WriteV(iovec* iov, int cnt) {
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = static_cast<size_t>(cnt);
    size_t left = 0;
    for (int i = 0; i < cnt; ++i) left += iov[i].iov_len;
    while (left > 0) {
      ssize_t s = sendmsg(fd_, &m, MSG_NOSIGNAL);
      if (s <= 0) return false;
      left -= static_cast<size_t>(s);
      while (s > 0 && m.msg_iovlen > 0) {
        size_t take = std::min(static_cast<size_t>(s), m.msg_iov->iov_len);
        m.msg_iov->iov_base = static_cast<char*>(m.msg_iov->iov_base) + take;
        m.msg_iov->iov_len -= take;
        s -= static_cast<ssize_t>(take);
        if (m.msg_iov->iov_len == 0) ++m.msg_iov, --m.msg_iovlen;
      }
    }
    return true;
  }
  bool RecvAll(void* p, size_t n) {
    auto* c = static_cast<char*>(p);
    while (n > 0) {
      ssize_t r = recv(fd_, c, n, 0);
      if (r <= 0) return false;
      c += r, n -= static_cast<size_t>(r);
    }
    return true;
  }
  bool Read() {
    uint8_t len[4];
    if (!RecvAll(len, 4)) return false;
    in_.resize(Get32(len));
    return RecvAll(in_.data(), in_.size());
  }

  int fd_ = -1;
  char gwId_[8] = {};
  uint16_t connIdx_ = 0xFFFF;
  uint32_t value_ = 0;
  std::vector<uint8_t> msg_;
  std::vector<uint8_t> in_;
};

// --- Round trips -----------------------------------------------------------------------------


void BM_RoundTrip__raw(benchmark::State& st) {
  RawClient c;
  if (!c.Open("echo")) return st.SkipWithError("no raw conversation");
  std::string data(static_cast<size_t>(st.range(0)), 'r');
  for (auto _ : st) {
    if (!c.RoundTrip(data, 32000) || c.last() != 80 + data.size()) return st.SkipWithError("raw round trip");
  }
  c.Deallocate();
  st.SetBytesProcessed(st.iterations() * st.range(0) * 2);
}
BENCHMARK(BM_RoundTrip__raw)->Arg(64)->Arg(4096)->UseRealTime();

// --- Registered server ------------------------------------------------------------------------
//
// A client conversation of ours that the peer relays to our own registered
// server, which echoes each message, beside the client's round trip to the
// peer's echo partner (BM_ServerRoundTrip__client). The relay crosses the
// peer twice per round trip where the echo crosses it once.

void EchoServer(int32_t sock) {
  char acc[8];
  if (WEQ_CMACCPTP(sock, 30, acc, nullptr) != CM_OK) return;
  std::string buf(32000, '\0');
  for (;;) {
    int32_t req = 32000, dr, len, st, rts;
    if (STRCV(acc, buf.data(), &req, &dr, &len, &st, &rts, nullptr) != CM_OK) return;
    if (STSEND(acc, buf.data(), &len, &rts, nullptr) != CM_OK) return;
  }
}

void ClientRoundTrips(benchmark::State& st, const char16_t* tp) {
  char id[8];
  if (!OpenConv(id, tp)) return st.SkipWithError("no conversation");
  std::string data(static_cast<size_t>(st.range(0)), 'r'), buf(32000, '\0');
  for (auto _ : st) {
    int32_t len = static_cast<int32_t>(data.size()), rts, req = 32000, dr, rl, status;
    STSEND(id, data.data(), &len, &rts, nullptr);
    if (STRCV(id, buf.data(), &req, &dr, &rl, &status, &rts, nullptr) != CM_OK || rl != len)
      return st.SkipWithError("receive failed");
  }
  STDEAL(id, nullptr);
  st.SetBytesProcessed(st.iterations() * st.range(0) * 2);
}

void BM_ServerRoundTrip(benchmark::State& st) {
  StartLayer(true);
  std::u16string serv = Service();
  int32_t sock = -1;
  if (WEQ_CMREGTP2(u"BENCHSRV", u"127.0.0.1", serv.c_str(), &sock, nullptr, nullptr) != CM_OK)
    return st.SkipWithError("no registration");
  std::thread server(EchoServer, sock);
  ClientRoundTrips(st, u"BENCHSRV");
  server.join();
  WEQ_CMUNREGTP(sock, nullptr);
}
BENCHMARK(BM_ServerRoundTrip)->Arg(64)->Arg(4096)->UseRealTime();

void BM_ServerRoundTrip__client(benchmark::State& st) {
  StartLayer(true);
  ClientRoundTrips(st, u"echo");
}
BENCHMARK(BM_ServerRoundTrip__client)->Arg(64)->Arg(4096)->UseRealTime();

void BM_RoundTrip(benchmark::State& st) {
  StartLayer(true);
  ClientRoundTrips(st, u"echo");
}
BENCHMARK(BM_RoundTrip)->Arg(64)->Arg(4096)->UseRealTime();

// --- Bulk -------------------------------------------------------------------------------------

void BM_BulkSend(benchmark::State& st) {
  StartLayer(false);
  char id[8];
  if (!OpenConv(id, u"sink")) return st.SkipWithError("no conversation");
  std::string data(static_cast<size_t>(st.range(0)), 'b');
  for (auto _ : st) {
    int32_t len = static_cast<int32_t>(data.size()), rts;
    if (STSEND(id, data.data(), &len, &rts, nullptr) != CM_OK) return st.SkipWithError("send failed");
  }
  STDEAL(id, nullptr);
  st.SetBytesProcessed(st.iterations() * st.range(0));
}
BENCHMARK(BM_BulkSend)->Arg(32000)->UseRealTime();

void BM_BulkSend__raw(benchmark::State& st) {
  RawClient c;
  if (!c.Open("sink")) return st.SkipWithError("no raw conversation");
  std::string data(static_cast<size_t>(st.range(0)), 'b');
  int n = 0;
  for (auto _ : st) {
    if (!c.Send(data, ++n % 6 == 0)) return st.SkipWithError("raw send");
  }
  c.Deallocate();
  st.SetBytesProcessed(st.iterations() * st.range(0));
}
BENCHMARK(BM_BulkSend__raw)->Arg(32000)->UseRealTime();

void BM_BulkReceive(benchmark::State& st) {
  StartLayer(false);
  char id[8];
  std::u16string tp = u"source32000";
  if (!OpenConv(id, tp.c_str())) return st.SkipWithError("no conversation");
  std::string buf(32000, '\0');
  for (auto _ : st) {
    int32_t req = static_cast<int32_t>(st.range(0)), dr, rl, status, rts;
    if (STRCV(id, buf.data(), &req, &dr, &rl, &status, &rts, nullptr) != CM_OK || rl != req)
      return st.SkipWithError("receive failed");
  }
  STDEAL(id, nullptr);
  st.SetBytesProcessed(st.iterations() * st.range(0));
}
BENCHMARK(BM_BulkReceive)->Arg(32000)->UseRealTime();

void BM_BulkReceive__raw(benchmark::State& st) {
  RawClient c;
  if (!c.Open("source32000")) return st.SkipWithError("no raw conversation");
  for (auto _ : st) {
    if (!c.Receive(static_cast<uint32_t>(st.range(0))) || c.last() != 80 + 32000u)
      return st.SkipWithError("raw receive");
  }
  c.Deallocate();
  st.SetBytesProcessed(st.iterations() * st.range(0));
}
BENCHMARK(BM_BulkReceive__raw)->Arg(32000)->UseRealTime();

// --- Threads ------------------------------------------------------------------------------------

void BM_Threads(benchmark::State& st) {
  StartLayer(true);
  Peer();
  int threads = static_cast<int>(st.range(0));
  for (auto _ : st) {
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t) {
      ts.emplace_back([] {
        char id[8];
        if (!OpenConv(id, u"echo")) return;
        std::string data(4096, 't'), buf(32000, '\0');
        for (int i = 0; i < kThreadRounds; ++i) {
          int32_t len = 4096, rts, req = 32000, dr, rl, status;
          STSEND(id, data.data(), &len, &rts, nullptr);
          STRCV(id, buf.data(), &req, &dr, &rl, &status, &rts, nullptr);
        }
        STDEAL(id, nullptr);
      });
    }
    for (auto& t : ts) t.join();
  }
  st.SetItemsProcessed(st.iterations() * threads * kThreadRounds);
}
BENCHMARK(BM_Threads)->Arg(16)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Threads__raw(benchmark::State& st) {
  Peer();
  int threads = static_cast<int>(st.range(0));
  for (auto _ : st) {
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t) {
      ts.emplace_back([] {
        RawClient c;
        if (!c.Open("echo")) return;
        std::string data(4096, 't');
        for (int i = 0; i < kThreadRounds; ++i) c.RoundTrip(data, 32000);
        c.Deallocate();
      });
    }
    for (auto& t : ts) t.join();
  }
  st.SetItemsProcessed(st.iterations() * threads * kThreadRounds);
}
BENCHMARK(BM_Threads__raw)->Arg(16)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
