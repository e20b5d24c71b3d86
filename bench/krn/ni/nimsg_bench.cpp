// NI message I/O over loopback at the default NI parameters: NiWrite to a
// thread that reads with NiRead, beside raw framing loops (one sendmsg of
// header and data, a blocking recv loop for header and data) over sockets
// whose buffers the system sizes by itself. Sizes 64 B to 16 MiB; the
// counter "sends/msg" counts the gathered sends of the socket layer per
// message. The reference "raw" sets TCP_NODELAY, as NI does on every
// stream socket; "raw_nagle" leaves Nagle's algorithm on, which merges
// small messages into fewer segments, to show what that option costs. A
// 64-byte round trip measures the latency.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "krn/ni/ni.h"
#include "krn/si/si_int.h"
#include "krn/thr/thr.h"

namespace {

// A connected loopback pair of raw sockets.
bool RawPair(int* a, int* b) {
  int lis = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(lis, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lis, 1) != 0) return false;
  getsockname(lis, reinterpret_cast<sockaddr*>(&addr), &len);
  *a = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(*a, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  *b = accept(lis, nullptr, nullptr);
  close(lis);
  return *b >= 0;
}

bool RecvAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void BM_NiWriteRead(benchmark::State& st) {
  ThrProcInit();
  NiInit3(64);
  const int size = static_cast<int>(st.range(0));
  uint16_t port = 0;
  NI_HDL lis = NI_INVALID_HDL, srv = NI_INVALID_HDL, cli = NI_INVALID_HDL;
  NiServerHandleForPort(&port, &lis);
  std::u16string serv;
  for (char c : std::to_string(port)) serv.push_back(static_cast<char16_t>(c));
  NiHandle(u"127.0.0.1", serv.c_str(), 5000, &cli);
  NiAccept(lis, 5000, &srv, nullptr, nullptr);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<char> buf(static_cast<size_t>(size) + 16);
    for (;;) {
      uint32_t got = 0;
      NI_RC rc = NiRead(srv, buf.data(), static_cast<int>(buf.size()), NI_BLOCK, &got);
      if (rc != WEQ_O_K || got == 1) break;  // a 1-byte message ends it
    }
  });
  std::string data(static_cast<size_t>(size), 'x');
  SiITestReset();
  int64_t n = 0;
  for (auto _ : st) {
    uint32_t w = 0;
    NiWrite(cli, data.data(), size, NI_BLOCK, &w);
    ++n;
  }
  st.counters["sends/msg"] = static_cast<double>(SiITestCalls(SI_FN_SENDV)) / static_cast<double>(n);
  uint32_t w = 0;
  NiWrite(cli, "e", 1, NI_BLOCK, &w);
  reader.join();
  st.SetBytesProcessed(n * size);
  NiCloseHandle(cli);
  NiCloseHandle(srv);
  NiCloseHandle(lis);
  NiExit();
}
BENCHMARK(BM_NiWriteRead)->Arg(64)->Arg(4096)->Arg(65536)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime();

void RawWriteRead(benchmark::State& st, bool nodelay) {
  const size_t size = static_cast<size_t>(st.range(0));
  int a = -1, b = -1;
  if (!RawPair(&a, &b)) {
    st.SkipWithError("no loopback pair");
    return;
  }
  if (nodelay) {
    NoDelay(a);
    NoDelay(b);
  }
  std::thread reader([&] {
    std::vector<char> buf(size + 16);
    for (;;) {
      unsigned char hdr[4];
      if (!RecvAll(b, reinterpret_cast<char*>(hdr), 4)) break;
      uint32_t len = (uint32_t{hdr[0]} << 24) | (uint32_t{hdr[1]} << 16) | (uint32_t{hdr[2]} << 8) | hdr[3];
      if (!RecvAll(b, buf.data(), len) || len == 1) break;
    }
  });
  std::string data(size, 'x');
  auto frame = [&](const char* p, uint32_t len) {
    unsigned char hdr[4] = {static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
                            static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
    iovec iov[2] = {{hdr, 4}, {const_cast<char*>(p), len}};
    size_t left = 4 + len;
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = 2;
    while (left > 0) {
      ssize_t s = sendmsg(a, &m, MSG_NOSIGNAL);
      if (s <= 0) return;
      left -= static_cast<size_t>(s);
      while (s > 0 && m.msg_iovlen > 0) {  // drop what went out
        size_t take = static_cast<size_t>(s) < m.msg_iov->iov_len ? static_cast<size_t>(s) : m.msg_iov->iov_len;
        m.msg_iov->iov_base = static_cast<char*>(m.msg_iov->iov_base) + take;
        m.msg_iov->iov_len -= take;
        s -= static_cast<ssize_t>(take);
        if (m.msg_iov->iov_len == 0) {
          ++m.msg_iov;
          --m.msg_iovlen;
        }
      }
    }
  };
  int64_t n = 0;
  for (auto _ : st) {
    frame(data.data(), static_cast<uint32_t>(size));
    ++n;
  }
  frame("e", 1);
  reader.join();
  st.SetBytesProcessed(n * static_cast<int64_t>(size));
  close(a);
  close(b);
}

void BM_NiWriteRead__raw(benchmark::State& st) { RawWriteRead(st, true); }
BENCHMARK(BM_NiWriteRead__raw)->Arg(64)->Arg(4096)->Arg(65536)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime();

void BM_NiWriteRead__raw_nagle(benchmark::State& st) { RawWriteRead(st, false); }
BENCHMARK(BM_NiWriteRead__raw_nagle)->Arg(64)->Arg(4096)->Arg(65536)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime();

// Round trip of one 64-byte message: the client writes, a thread echoes it
// back, the client reads it; beside the same exchange over raw framing.
void BM_NiPingPong(benchmark::State& st) {
  ThrProcInit();
  NiInit3(64);
  uint16_t port = 0;
  NI_HDL lis = NI_INVALID_HDL, srv = NI_INVALID_HDL, cli = NI_INVALID_HDL;
  NiServerHandleForPort(&port, &lis);
  std::u16string serv;
  for (char c : std::to_string(port)) serv.push_back(static_cast<char16_t>(c));
  NiHandle(u"127.0.0.1", serv.c_str(), 5000, &cli);
  NiAccept(lis, 5000, &srv, nullptr, nullptr);
  std::thread echo([&] {
    char buf[80];
    for (;;) {
      uint32_t got = 0, w = 0;
      if (NiRead(srv, buf, sizeof buf, NI_BLOCK, &got) != WEQ_O_K || got == 1) break;
      NiWrite(srv, buf, static_cast<int>(got), NI_BLOCK, &w);
    }
  });
  char msg[64] = {}, back[80];
  for (auto _ : st) {
    uint32_t w = 0, got = 0;
    NiWrite(cli, msg, sizeof msg, NI_BLOCK, &w);
    NiRead(cli, back, sizeof back, NI_BLOCK, &got);
  }
  uint32_t w = 0;
  NiWrite(cli, "e", 1, NI_BLOCK, &w);
  echo.join();
  NiCloseHandle(cli);
  NiCloseHandle(srv);
  NiCloseHandle(lis);
  NiExit();
}
BENCHMARK(BM_NiPingPong)->UseRealTime();

void BM_NiPingPong__raw(benchmark::State& st) {
  int a = -1, b = -1;
  if (!RawPair(&a, &b)) {
    st.SkipWithError("no loopback pair");
    return;
  }
  NoDelay(a);
  NoDelay(b);
  auto send1 = [](int fd, const char* p, uint32_t len) {
    unsigned char hdr[4] = {static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
                            static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
    iovec iov[2] = {{hdr, 4}, {const_cast<char*>(p), len}};
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = 2;
    return sendmsg(fd, &m, MSG_NOSIGNAL) == static_cast<ssize_t>(4 + len);
  };
  auto recv1 = [](int fd, char* buf, uint32_t* len) {
    unsigned char hdr[4];
    if (!RecvAll(fd, reinterpret_cast<char*>(hdr), 4)) return false;
    *len = (uint32_t{hdr[0]} << 24) | (uint32_t{hdr[1]} << 16) | (uint32_t{hdr[2]} << 8) | hdr[3];
    return *len <= 80 && RecvAll(fd, buf, *len);
  };
  std::thread echo([&] {
    char buf[80];
    uint32_t len = 0;
    while (recv1(b, buf, &len) && len != 1) send1(b, buf, len);
  });
  char msg[64] = {}, back[80];
  for (auto _ : st) {
    uint32_t len = 0;
    send1(a, msg, sizeof msg);
    recv1(a, back, &len);
  }
  send1(a, "e", 1);
  echo.join();
  close(a);
  close(b);
}
BENCHMARK(BM_NiPingPong__raw)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
