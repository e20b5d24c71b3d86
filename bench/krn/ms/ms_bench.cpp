// The message server client against ms_peer, each beside a raw framed
// exchange of the same bytes with the same peer: an administration block of
// 140 bytes sent with MsSndAdmin and its answer taken with MsReceive, and
// MsAttach plus MsDetach against connect, login, answer, logout and close.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "krn/ms/ms.h"
#include "krn/ms/ms_int.h"
#include "krn/ni/ni.h"
#include "krn/thr/thr.h"
#include "peers/adcodec.h"
#include "peers/mscodec.h"
#include "peers/niframe.h"
#include "peers/peer_spawn.h"
#include "peers/peers.h"

namespace {

// One peer for the whole run, logging nowhere.
peers::PeerProcess& Peer() {
  static std::unique_ptr<peers::PeerProcess> p = [] {
    ThrProcInit();
    NiInit3(64);
    return std::make_unique<peers::PeerProcess>(
        "serve", std::vector<std::string>{"--log", "/dev/null", "--lifetime", "600"}, 5000, peers::MsPeerPath());
  }();
  return *p;
}

std::u16string Serv() {
  std::string s = std::to_string(Peer().port());
  return std::u16string(s.begin(), s.end());
}

// A block of one storage record: 36 + 104 bytes.
std::string Block() { return adpeer::Block({adpeer::Record(21, std::string("\x16\x14\x00\x28", 4) + "KEY")}); }

// The client's bytes: an administration message goes to "-" ended by
// zeros, a login or logout to "-" padded with blanks.
std::string Framed(uint8_t iflag, uint8_t msflag, const std::string& data) {
  mspeer::Header h;
  h.iflag = iflag;
  h.msflag = msflag;
  if (msflag == 4) h.toname = std::string("-") + std::string(39, '\0');
  return peers::FrameEncode(mspeer::Encode(h, data, 4));
}

int RawConnect() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(Peer().port()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void BM_MsAdminExchange(benchmark::State& st) {
  if (!Peer().ok() || MsAttach(u"-", u"-", 0, u"127.0.0.1", Serv().c_str()) != 0) {
    st.SkipWithError("no attach");
    return;
  }
  std::string block = Block();
  const WEQ_RAW key[8] = {};
  for (auto _ : st) {
    WEQ_RAW* data = nullptr;
    int32_t len = 0;
    if (MsSndAdmin(block.data(), static_cast<int32_t>(block.size()), key) != 0 ||
        MsReceive(&data, &len, nullptr, nullptr, nullptr, 5000) != 0 || len != static_cast<int32_t>(block.size())) {
      st.SkipWithError("exchange failed");
      break;
    }
  }
  MsDetach();
}
BENCHMARK(BM_MsAdminExchange);

void BM_MsAdminExchange__RawFramed(benchmark::State& st) {
  int fd = RawConnect();
  peers::FrameParser parser;
  std::string msg, login = Framed(8, 0, ""), admin = Framed(5, 4, Block());
  if (fd < 0 || !peers::SendAll(fd, login.data(), login.size()) || !peers::RecvFrame(fd, &parser, &msg, 5000)) {
    st.SkipWithError("no login");
    return;
  }
  for (auto _ : st) {
    if (!peers::SendAll(fd, admin.data(), admin.size()) || !peers::RecvFrame(fd, &parser, &msg, 5000)) {
      st.SkipWithError("exchange failed");
      break;
    }
  }
  close(fd);
}
BENCHMARK(BM_MsAdminExchange__RawFramed);

void BM_MsAttachDetach(benchmark::State& st) {
  if (!Peer().ok()) {
    st.SkipWithError("no peer");
    return;
  }
  std::u16string serv = Serv();
  for (auto _ : st) {
    if (MsAttach(u"-", u"-", 0, u"127.0.0.1", serv.c_str()) != 0) {
      st.SkipWithError("attach failed");
      break;
    }
    MsDetach();
  }
}
BENCHMARK(BM_MsAttachDetach);

void BM_MsAttachDetach__RawFramed(benchmark::State& st) {
  std::string login = Framed(8, 0, ""), logout = Framed(4, 0, "");
  for (auto _ : st) {
    int fd = RawConnect();
    peers::FrameParser parser;
    std::string msg;
    if (fd < 0 || !peers::SendAll(fd, login.data(), login.size()) || !peers::RecvFrame(fd, &parser, &msg, 5000) ||
        !peers::SendAll(fd, logout.data(), logout.size())) {
      st.SkipWithError("exchange failed");
      if (fd >= 0) close(fd);
      break;
    }
    close(fd);
  }
}
BENCHMARK(BM_MsAttachDetach__RawFramed);

}  // namespace

BENCHMARK_MAIN();
