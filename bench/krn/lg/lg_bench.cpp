// Logon-group lookups against ms_peer. A lookup that rereads (a group
// without load balancing: connect, login, one storage read, logout) beside
// a raw framed exchange of the very messages the library sent, with the
// same peer; and a lookup the cache answers beside that reread.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "flat/weqparam.h"
#include "krn/lg/lg.h"
#include "krn/lg/lg_int.h"
#include "krn/ni/ni.h"
#include "krn/thr/thr.h"
#include "peers/mscodec.h"
#include "peers/mspeer_run.h"
#include "peers/niframe.h"
#include "peers/peers.h"

namespace {

// One peer for the run: group N without load balancing, group C with a
// member server.
mspeer::MsPeer& Peer() {
  static std::unique_ptr<mspeer::MsPeer> p = [] {
    weqparamQuiet();
    ThrProcInit();
    NiInit3(64);
    return std::make_unique<mspeer::MsPeer>(
        "group N 3 10.0.0.9 3209 740\n"
        "group C 4 10.0.0.8 3208 740 3 0 32767 32767\n"
        "appserver A 127.0.0.1 3301 100 0 3 1\n",
        std::vector<std::string>{}, 4, std::vector<std::string>{"--lifetime", "600"});
  }();
  return *p;
}

LG_RC Reread() {
  WEQ_UC addr[46];
  uint16_t port = 0;
  return LgGroupSec(Peer().Host().c_str(), Peer().Serv().c_str(), u"N", addr, 46, &port, nullptr, 0, nullptr,
                    nullptr, 0);
}

void BM_LgReread(benchmark::State& st) {
  if (!Peer().ok() || Reread() != 0) {
    st.SkipWithError("no lookup");
    return;
  }
  for (auto _ : st)
    if (Reread() != 0) {
      st.SkipWithError("lookup failed");
      break;
    }
}
BENCHMARK(BM_LgReread);

// The messages one reread sent, as the peer logged them.
std::vector<std::string> Sent() {
  std::vector<std::string> out;
  Peer().WaitCount(1, "IN", "kind", "logout");
  std::vector<mspeer::Event> in = Peer().Events("IN");
  // The last session: its login, storage read and logout.
  size_t from = in.size();
  while (from > 0 && in[from - 1]["kind"] != "login") --from;
  for (size_t i = from > 0 ? from - 1 : 0; i < in.size(); ++i) out.push_back(mspeer::FromHex(in[i]["hex"]));
  return out;
}

void BM_LgReread__RawFramed(benchmark::State& st) {
  if (!Peer().ok() || Reread() != 0) {
    st.SkipWithError("no lookup");
    return;
  }
  std::vector<std::string> sent = Sent();
  if (sent.size() != 3) {
    st.SkipWithError("not login, read and logout");
    return;
  }
  std::string login = peers::FrameEncode(sent[0]), read = peers::FrameEncode(sent[1]),
              logout = peers::FrameEncode(sent[2]);
  for (auto _ : st) {
    peers::Fd conn = peers::Connect(AF_INET, static_cast<uint16_t>(Peer().port()));
    int fd = conn.get();
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    peers::FrameParser parser;
    std::string msg;
    if (!conn.valid() || !peers::SendAll(fd, login.data(), login.size()) || !peers::RecvFrame(fd, &parser, &msg, 5000) ||
        !peers::SendAll(fd, read.data(), read.size()) || !peers::RecvFrame(fd, &parser, &msg, 5000) ||
        !peers::SendAll(fd, logout.data(), logout.size())) {
      st.SkipWithError("exchange failed");
      break;
    }
  }
}
BENCHMARK(BM_LgReread__RawFramed);

LG_RC Hit() {
  WEQ_UC addr[46];
  uint16_t port = 0;
  return LgGroupSec(Peer().Host().c_str(), Peer().Serv().c_str(), u"C", addr, 46, &port, nullptr, 0, nullptr,
                    nullptr, 0);
}

// Admin messages the peer has seen so far.
long AdminSeen() {
  std::string stats = Peer().Control("stats");
  size_t at = stats.find(" admin=");
  return at == std::string::npos ? 0 : atol(stats.c_str() + at + 7);
}

void BM_LgCacheHit(benchmark::State& st) {
  if (!Peer().ok() || Hit() != 0) {
    st.SkipWithError("no lookup");
    return;
  }
  // The group stays in the cache however often it is used.
  for (int i = 0; i < LG_CACHE_SIZE; ++i)
    if (LgICache()[i].inUse) LgICache()[i].logonCount = INT32_MAX;
  long before = AdminSeen();
  for (auto _ : st)
    if (Hit() != 0) {
      st.SkipWithError("lookup failed");
      break;
    }
  st.counters["peer_messages"] = static_cast<double>(AdminSeen() - before);
}
BENCHMARK(BM_LgCacheHit);

void BM_LgCacheHit__Reread(benchmark::State& st) { BM_LgReread(st); }
BENCHMARK(BM_LgCacheHit__Reread);

}  // namespace

BENCHMARK_MAIN();
