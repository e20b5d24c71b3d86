// ni_peer: the network tests' peer program. It listens on loopback (port 0
// by default: the system chooses), prints "PORT <n>" on standard output,
// then plays one role. The roles echo, reset, hold and refuse log what
// they saw on standard error as "LOG <text>" lines; the framed echo, the
// router and the sender write the protocol peers' log lines (peerlog.h)
// on standard output after "PORT", one write per line, so that lines of
// several threads never mix.
//
//   ni_peer <role> [--family 4|6] [--port <n>] [--listen <addr>:<port>]
//                  [--backlog <n>] [--lifetime <seconds>] [--parent <pid>]
//                  [role switches]
//
// It ends by itself after --lifetime seconds (default 30) and when the
// process that started it (--parent) has gone. Roles:
//   echo   accept connections one after another; send back every byte
//          until the peer closes. --framed 1: read NI frames instead
//          ("IN frame len= head="), answer NI_PING with NI_PONG and send
//          every other frame back ("EVENT closed frames=").
//   reset  accept each connection and close it at once with a reset
//   hold   accept connections and keep them open without reading
//   refuse listen with the given backlog and never accept
//   router an NI router, each client on a thread of its own (below)
//   sender passes a socket to the NI listener at --connect (below); its
//          "PORT" is the port of the socket it passes
//
// Router: reads one framed NI_ROUTE ("IN route bytes= version= ni= count=
// mode= reserved= hops= len= next= ok= why=", then "IN entry index= offset=
// host= service= password=" per entry), takes the entry at the next-entry
// offset as the hop to connect to (its own is the one before), authorises,
// resolves the hop's host from its name table, connects ("EVENT connected
// target= host="), and then either forwards NI_ROUTE with the offset moved
// behind that entry and the hop counter lowered ("OUT route hops= next=")
// when more than that hop remains, or answers NI_PONG itself ("OUT pong");
// then it relays bytes both ways ("EVENT relay-ended up= down="). A
// failure goes back as NI_RTERR opcode 0 with an error record of its own
// ("OUT rterr rc= text= version="), and the client is closed. Switches:
//   --names n=a:p[,...]  name table: host n is address a, port p (without
//                        ":p" the entry's service, a number, is the port)
//   --password <pw>      the password its own entry must carry (-94)
//   --deny <n>[,...]     hops it refuses to connect to (-94)
//   --max-clients <n>    clients served at once; one more gets -100
//   --fail <rc>          answers every route with this code
//   --answer pong|never|close|delay:<ms>|refuse:<rc>
//                        what the last router sends once connected
//                        ("EVENT never", "EVENT close", "EVENT delayed ms=
//                        early=" with the bytes the client sent meanwhile)
//   --before data|ping|version|text100|textffff[,...]
//                        messages sent ahead of the answer ("OUT before
//                        what="): user data, a keep-alive request and a
//                        version request (their answers "IN answer what=
//                        bytes= got="), an NI_RTERR with a text length
//                        beyond its frame
//   --trickle 1          every answer one byte per send
//   --ni-version <v>     the NI version of its NI_RTERR (below 29 the
//                        opcode byte 1 that it then carries means nothing)
//
// Sender: makes the socket to pass (--kind connected: one end of a
// loopback connection whose other end it echoes on; --kind listening: a
// loopback listener), connects to --connect <addr>:<port> ("EVENT
// connected"), sends NI_RTERR opcode 8 with six bytes of pass data ("OUT
// pass opcode= data="), expects opcode 5 with the process id of its parent
// ("IN reply stage=pass opcode= rc= version= data= text=", or "none=";
// "EVENT pid got= parent= match="), sends the hand-off record of the
// socket ("OUT records count= len=") and keeps the socket until opcode 6
// or opcode 0 ("IN reply stage=records ...", then "EVENT taken" or "EVENT
// refused"); a taken connected socket's other end echoes ("EVENT
// echo-closed bytes="). Switches: --buffered 0|1, --talkmode <n>,
// --blockmode 0|1, --state <n> (pass data); --sockets <n> (records sent,
// and byte 5);
// --data-len <n> (pass data bytes sent); --opcode <n> (in place of 8);
// --record-len <n> (a record shorter than 628 is followed by the end of
// its sending side); --unix 1 (passes a local-domain socket); --dgram 1
// (passes a datagram socket).
//
// The program shares no code with the library.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "peers/errrec.h"
#include "peers/nictlcodec.h"
#include "peers/peerlog.h"

namespace {

struct Options {
  std::string role;
  int family = AF_INET;
  std::string address;  // empty: loopback of the family
  int port = 0;
  int backlog = 16;
  int lifetime = 30;
  pid_t parent = 0;
  std::map<std::string, std::string> sw;  // role switches
  std::string Get(const std::string& k, const std::string& def = "") const {
    auto it = sw.find(k);
    return it != sw.end() ? it->second : def;
  }
  int Int(const std::string& k, int def) const {
    auto it = sw.find(k);
    return it != sw.end() ? atoi(it->second.c_str()) : def;
  }
};

void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* fmt, ...) {
  char line[2048];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line + 4, sizeof line - 5, fmt, ap);
  va_end(ap);
  memcpy(line, "LOG ", 4);
  size_t len = 4 + static_cast<size_t>(n < 0 ? 0 : n > static_cast<int>(sizeof line) - 6 ? sizeof line - 6 : n);
  line[len++] = '\n';
  ssize_t w = write(2, line, len);
  (void)w;
}

// One line of the protocol roles' log on standard output, written whole.
void Emit(const peers::LogOut& line) {
  std::string s = line.str() + "\n";
  ssize_t w = write(1, s.data(), s.size());
  (void)w;
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t at = 0;
  while (!s.empty()) {
    size_t end = s.find(sep, at);
    out.push_back(s.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

int AcceptOne(int listener) {
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

bool SendBytes(int fd, const std::string& data, bool trickle = false) {
  size_t done = 0;
  while (done < data.size()) {
    size_t want = trickle ? 1 : data.size() - done;
    ssize_t n = send(fd, data.data() + done, want, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
    // Apart in time, so that the reader meets each byte on its own.
    if (trickle) SleepMs(2);
  }
  return true;
}

std::string Framed(const std::string& data) {
  std::string out;
  uint32_t n = static_cast<uint32_t>(data.size());
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(n >> s));
  return out + data;
}

// Reads exactly n bytes within the deadline; false on time-out or close.
bool ReadExact(int fd, size_t n, int64_t deadline, std::string* out) {
  out->clear();
  char buf[4096];
  while (out->size() < n) {
    int left = static_cast<int>(deadline - NowMs());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return false;
    size_t want = n - out->size() < sizeof buf ? n - out->size() : sizeof buf;
    ssize_t r = recv(fd, buf, want, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    out->append(buf, static_cast<size_t>(r));
  }
  return true;
}

// One NI frame, nothing read beyond it. 0 ok, 1 time-out, 2 closed or a
// bad header.
int ReadNiFrame(int fd, int ms, std::string* msg) {
  int64_t deadline = NowMs() + ms;
  std::string hdr;
  if (!ReadExact(fd, 4, deadline, &hdr)) {
    pollfd p{fd, POLLIN, 0};
    char c;
    bool closed = hdr.size() > 0 || (poll(&p, 1, 0) > 0 && recv(fd, &c, 1, MSG_PEEK) <= 0);
    return closed ? 2 : 1;
  }
  uint32_t n = (uint32_t{static_cast<unsigned char>(hdr[0])} << 24) | (uint32_t{static_cast<unsigned char>(hdr[1])} << 16) |
               (uint32_t{static_cast<unsigned char>(hdr[2])} << 8) | static_cast<unsigned char>(hdr[3]);
  if (n & 0x80000000u) return 2;
  return ReadExact(fd, n, deadline, msg) ? 0 : 2;
}

void NoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// "a.b.c.d:p" or "[v6]:p" into a socket address.
bool ParseAddr(const std::string& text, sockaddr_storage* sa, socklen_t* len) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  int port = atoi(text.c_str() + colon + 1);
  *sa = sockaddr_storage{};
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(sa);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    *len = sizeof *in6;
    return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6->sin6_addr) == 1;
  }
  auto* in = reinterpret_cast<sockaddr_in*>(sa);
  in->sin_family = AF_INET;
  in->sin_port = htons(static_cast<uint16_t>(port));
  *len = sizeof *in;
  return inet_pton(AF_INET, host.c_str(), &in->sin_addr) == 1;
}

int ConnectTo(const sockaddr_storage& sa, socklen_t len) {
  int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int LocalPort(int fd) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(sa).sin_port
                                       : reinterpret_cast<sockaddr_in6&>(sa).sin6_port);
}

// --- echo, reset, hold, refuse ----------------------------------------------------

void EchoFrames(int fd) {
  size_t frames = 0;
  std::string msg;
  while (ReadNiFrame(fd, 3600 * 1000, &msg) == 0) {
    ++frames;
    Emit(peers::LogOut("IN", "frame").Num("len", static_cast<long long>(msg.size())).Hex("head", msg.substr(0, 16)));
    bool ping = msg == std::string("NI_PING\0", 8);
    if (!SendBytes(fd, Framed(ping ? std::string("NI_PONG\0", 8) : msg))) break;
  }
  Emit(peers::LogOut("EVENT", "closed").Num("frames", static_cast<long long>(frames)));
}

int Echo(int listener, const Options& o) {
  for (;;) {
    int fd = AcceptOne(listener);
    if (fd < 0) return 3;
    Log("accepted");
    if (o.Int("--framed", 0) != 0) {
      EchoFrames(fd);
      close(fd);
      continue;
    }
    size_t total = 0;
    char buf[65536];
    for (;;) {
      ssize_t n = recv(fd, buf, sizeof(buf), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      total += static_cast<size_t>(n);
      for (ssize_t done = 0; done < n;) {
        ssize_t w = send(fd, buf + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
        if (w <= 0) break;
        done += w;
      }
    }
    Log("closed after %zu bytes", total);
    close(fd);
  }
}

int Reset(int listener, const Options&) {
  for (;;) {
    int fd = AcceptOne(listener);
    if (fd < 0) return 3;
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
    Log("reset");
  }
}

int Hold(int listener, const Options&) {
  std::vector<int> held;
  for (;;) {
    int fd = AcceptOne(listener);
    if (fd < 0) return 3;
    held.push_back(fd);
    Log("holding %zu", held.size());
  }
}

int Refuse(int, const Options&) {
  for (;;) pause();
}

// --- router ------------------------------------------------------------------------

constexpr int kNiVersion = 40;
constexpr int kRouterWaitMs = 10000;

struct Router {
  const Options* o;
  std::map<std::string, std::string> names;  // host -> "addr:port" or "addr"
  std::vector<std::string> deny;
  std::atomic<int> active{0};
};

// Sends NI_RTERR opcode 0 with rc and an error record of its own.
void SendRtErr(int fd, const Options& o, int32_t rc, const std::string& text) {
  peers::RtErr m;
  m.niVersion = static_cast<uint8_t>(o.Int("--ni-version", kNiVersion));
  // A sender below NI version 29 has no opcodes: this byte must not count.
  m.opcode = m.niVersion < 29 ? 1 : 0;
  m.rc = rc;
  std::vector<std::string> f(peers::kErrFields);
  f[1] = "1";
  f[peers::kErrText] = text;
  f[peers::kErrRc] = std::to_string(rc);
  f[peers::kErrComponent] = "NI (router peer)";
  f[5] = "720";
  m.text = peers::ErrRecEncode(f);
  Emit(peers::LogOut("OUT", "rterr").Num("rc", rc).Text("text", text).Num("version", m.niVersion));
  SendBytes(fd, Framed(peers::EncodeRtErr(m)), o.Int("--trickle", 0) != 0);
}

void Relay(int a, int b) {
  size_t up = 0, down = 0;
  char buf[65536];
  pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  bool open = true;
  while (open) {
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2 && open; ++i) {
      if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || !SendBytes(p[1 - i].fd, std::string(buf, static_cast<size_t>(n)))) {
        open = false;
        break;
      }
      (i == 0 ? up : down) += static_cast<size_t>(n);
    }
  }
  Emit(peers::LogOut("EVENT", "relay-ended").Num("up", static_cast<long long>(up)).Num("down", static_cast<long long>(down)));
}

// The messages the last router sends ahead of its answer.
bool SendBefore(int fd, const Options& o) {
  bool trickle = o.Int("--trickle", 0) != 0;
  for (const std::string& what : Split(o.Get("--before"), ',')) {
    std::string msg;
    if (what == "data") {
      SendBytes(fd, Framed("user data before the answer"), trickle);
      Emit(peers::LogOut("OUT", "before").Text("what", what));
    } else if (what == "ping") {
      SendBytes(fd, Framed(std::string("NI_PING\0", 8)), trickle);
      Emit(peers::LogOut("OUT", "before").Text("what", what));
      int r = ReadNiFrame(fd, kRouterWaitMs, &msg);
      Emit(peers::LogOut("IN", "answer").Text("what", what).Hex("bytes", msg).Num("got", r == 0));
    } else if (what == "version") {
      peers::RtErr req;
      req.opcode = 1;
      req.rc = -13;
      std::string bytes = peers::EncodeRtErr(req);
      SendBytes(fd, Framed(bytes.substr(0, 24)), trickle);
      Emit(peers::LogOut("OUT", "before").Text("what", what));
      int r = ReadNiFrame(fd, kRouterWaitMs, &msg);
      Emit(peers::LogOut("IN", "answer").Text("what", what).Hex("bytes", msg).Num("got", r == 0));
    } else if (what == "text100" || what == "textffff") {
      peers::RtErr bad;
      bad.rc = -94;
      std::string bytes = peers::EncodeRtErr(bad);
      uint32_t len = what == "text100" ? 100 : 0xFFFFFFF0u;
      for (int i = 0; i < 4; ++i) bytes[16 + i] = static_cast<char>(len >> (24 - 8 * i));
      SendBytes(fd, Framed(bytes), trickle);
      Emit(peers::LogOut("OUT", "before").Text("what", what).Num("textlen", len).Num("bytes", static_cast<long long>(bytes.size())));
    } else if (!what.empty()) {
      Emit(peers::LogOut("EVENT", "unknown-switch").Text("before", what));
      return false;
    }
  }
  return true;
}

// Checks a route and finds the hop to connect to; rc 0, or the code and
// text of the refusal.
int32_t CheckRoute(Router* r, const peers::RouteMsg& m, size_t* nextIdx, std::string* text) {
  const Options& o = *r->o;
  if (m.routeVersion != 2 || m.niVersion < 29) {
    *text = "route version " + std::to_string(m.routeVersion) + " not supported";
    return -96;
  }
  size_t idx = 0;
  while (idx < m.entries.size() && m.entries[idx].offset != m.next) ++idx;
  if (idx == 0 || idx >= m.entries.size() || m.hops == 0 || m.hops > m.entries.size() - idx) {
    *text = "no hop at offset " + std::to_string(m.next) + " with " + std::to_string(m.hops) + " hops";
    return -93;
  }
  *nextIdx = idx;
  const peers::RouteEntry& own = m.entries[idx - 1];
  const peers::RouteEntry& hop = m.entries[idx];
  if (!o.Get("--password").empty() && own.password != o.Get("--password")) {
    *text = "route permission denied (password of " + own.host + ")";
    return -94;
  }
  for (const std::string& d : r->deny) {
    if (d == hop.host) {
      *text = "route permission denied (to " + hop.host + ", " + hop.service + ")";
      return -94;
    }
  }
  if (o.sw.count("--fail") != 0) {
    *text = "route refused as asked (" + o.Get("--fail") + ")";
    return o.Int("--fail", -93);
  }
  return 0;
}

void ServeClient(Router* r, int fd) {
  const Options& o = *r->o;
  NoDelay(fd);
  int n = ++r->active;
  std::string bytes;
  int got = ReadNiFrame(fd, kRouterWaitMs, &bytes);
  if (got != 0) {
    Emit(peers::LogOut("EVENT", "no-route").Text("why", got == 1 ? "time-out" : "closed"));
    close(fd);
    --r->active;
    return;
  }
  peers::RouteMsg m;
  std::string why;
  bool ok = peers::DecodeRoute(bytes, &m, &why);
  Emit(peers::LogOut("IN", "route")
           .Num("bytes", static_cast<long long>(bytes.size()))
           .Num("version", m.routeVersion)
           .Num("ni", m.niVersion)
           .Num("count", m.count)
           .Num("mode", m.mode)
           .Text("reserved", std::to_string(m.zero8) + "," + std::to_string(m.zero13) + "," + std::to_string(m.zero14))
           .Num("hops", m.hops)
           .Num("len", m.areaLen)
           .Num("next", m.next)
           .Num("ok", ok)
           .Text("why", why));
  for (size_t i = 0; i < m.entries.size(); ++i)
    Emit(peers::LogOut("IN", "entry")
             .Num("index", static_cast<long long>(i))
             .Num("offset", m.entries[i].offset)
             .Text("host", m.entries[i].host)
             .Text("service", m.entries[i].service)
             .Text("password", m.entries[i].password));
  size_t idx = 0;
  std::string text;
  int32_t rc = 0;
  if (!ok) {
    rc = -93;
    text = "invalid route (" + why + ")";
  } else if (o.sw.count("--max-clients") != 0 && n > o.Int("--max-clients", 0)) {
    rc = -100;
    text = "maximum number of clients reached";
  } else {
    rc = CheckRoute(r, m, &idx, &text);
  }
  int next = -1;
  if (rc == 0) {
    const peers::RouteEntry& hop = m.entries[idx];
    auto it = r->names.find(hop.host);
    std::string target;
    if (it == r->names.end()) {
      rc = -90;
      text = "hostname '" + hop.host + "' unknown";
    } else {
      target = it->second;
      if (target.find(':') == std::string::npos || target.back() == ']') {
        bool numeric = !hop.service.empty() && hop.service.find_first_not_of("0123456789") == std::string::npos;
        if (!numeric) {
          rc = -91;
          text = "service '" + hop.service + "' unknown";
        }
        target += ":" + hop.service;
      }
    }
    sockaddr_storage sa{};
    socklen_t len = 0;
    if (rc == 0 && ParseAddr(target, &sa, &len) && (next = ConnectTo(sa, len)) < 0) {
      rc = -92;
      text = "partner '" + target + "' not reached";
    }
    if (rc == 0) Emit(peers::LogOut("EVENT", "connected").Text("target", target).Text("host", hop.host));
  }
  if (rc != 0) {
    SendRtErr(fd, o, rc, text);
    close(fd);
    --r->active;
    return;
  }
  NoDelay(next);
  if (m.hops > 1) {
    peers::RouteMsg fwd = m;
    fwd.next = m.entries[idx].offset + static_cast<uint32_t>(m.entries[idx].host.size() + m.entries[idx].service.size() +
                                                             m.entries[idx].password.size() + 3);
    fwd.hops = static_cast<uint8_t>(m.hops - 1);
    SendBytes(next, Framed(peers::EncodeRoute(fwd)));
    Emit(peers::LogOut("OUT", "route").Num("hops", fwd.hops).Num("next", fwd.next));
  } else {
    bool trickle = o.Int("--trickle", 0) != 0;
    std::string answer = o.Get("--answer", "pong");
    if (!SendBefore(fd, o)) answer = "close";
    if (answer.rfind("delay:", 0) == 0) {
      int ms = atoi(answer.c_str() + 6);
      int64_t end = NowMs() + ms;
      while (NowMs() < end) SleepMs(5);
      int early = 0;
      ioctl(fd, FIONREAD, &early);
      Emit(peers::LogOut("EVENT", "delayed").Num("ms", ms).Num("early", early));
      answer = "pong";
    }
    if (answer == "pong") {
      SendBytes(fd, Framed(std::string("NI_PONG\0", 8)), trickle);
      Emit(peers::LogOut("OUT", "pong"));
    } else if (answer.rfind("refuse:", 0) == 0) {
      SendRtErr(fd, o, atoi(answer.c_str() + 7), "route refused by the router peer");
      answer = "close";
    } else if (answer == "never") {
      Emit(peers::LogOut("EVENT", "never"));
    }
    if (answer == "close") {
      Emit(peers::LogOut("EVENT", "close"));
      close(next);
      close(fd);
      --r->active;
      return;
    }
  }
  Relay(fd, next);
  close(next);
  close(fd);
  --r->active;
}

int RouterRole(int listener, const Options& o) {
  static Router r;
  r.o = &o;
  for (const std::string& pair : Split(o.Get("--names"), ',')) {
    size_t eq = pair.find('=');
    if (eq != std::string::npos) r.names[pair.substr(0, eq)] = pair.substr(eq + 1);
  }
  r.deny = Split(o.Get("--deny"), ',');
  for (;;) {
    int fd = AcceptOne(listener);
    if (fd < 0) return 3;
    Emit(peers::LogOut("EVENT", "accepted"));
    std::thread(ServeClient, &r, fd).detach();
  }
}

// --- sender ------------------------------------------------------------------------

constexpr int kSenderWaitMs = 10000;

// A loopback listener of the family; its port in *port.
int LoopListener(int family, int* port) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage sa{};
  socklen_t len;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&sa);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&sa);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    len = sizeof *in6;
  }
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || listen(fd, 16) != 0) return -1;
  *port = LocalPort(fd);
  return fd;
}

// The socket to pass: a listener, one end of a loopback connection whose
// other end *echoEnd receives, or one end of a local-domain pair.
int MakePassed(const Options& o, int* port, int* echoEnd, int* siFamily) {
  *siFamily = o.family == AF_INET ? 2 : 23;
  if (o.Int("--unix", 0) != 0) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    *echoEnd = sv[1];
    *siFamily = 1;
    return sv[0];
  }
  if (o.Int("--dgram", 0) != 0) return socket(o.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int lis = LoopListener(o.family, port);
  if (lis < 0 || o.Get("--kind", "connected") == "listening") return lis;
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  getsockname(lis, reinterpret_cast<sockaddr*>(&sa), &len);
  int c = ConnectTo(sa, len);
  *echoEnd = AcceptOne(lis);
  close(lis);
  return c;
}

int SenderRole(int, const Options& o) {
  int port = 0, echoEnd = -1, siFamily = 2;
  int passed = MakePassed(o, &port, &echoEnd, &siFamily);
  int extra = -1, extraEcho = -1, extraFamily = 2, extraPort = 0;
  int sockets = o.Int("--sockets", 1);
  if (sockets > 1) extra = MakePassed(o, &extraPort, &extraEcho, &extraFamily);
  if (passed < 0 || (sockets > 1 && extra < 0)) {
    fprintf(stderr, "ni_peer: cannot make the socket to pass: %s\n", strerror(errno));
    return 3;
  }
  sockaddr_storage sa{};
  socklen_t len = 0;
  int fd = ParseAddr(o.Get("--connect"), &sa, &len) ? ConnectTo(sa, len) : -1;
  if (fd < 0) {
    fprintf(stderr, "ni_peer: cannot connect to %s\n", o.Get("--connect").c_str());
    return 3;
  }
  NoDelay(fd);
  // A local-domain socket has no port: the connection's own stands in.
  printf("PORT %d\n", port != 0 ? port : LocalPort(fd));
  fflush(stdout);
  Emit(peers::LogOut("EVENT", "connected"));
  bool listening = o.Get("--kind", "connected") == "listening";
  std::string pass(6, '\0');
  pass[1] = static_cast<char>(o.Int("--state", listening ? 0x11 : 0x35));
  pass[2] = static_cast<char>(o.Int("--talkmode", 0));
  pass[3] = static_cast<char>(o.Int("--buffered", 0));
  pass[4] = static_cast<char>(o.Int("--blockmode", 0));
  pass[5] = static_cast<char>(sockets);
  pass.resize(static_cast<size_t>(o.Int("--data-len", 6)), '\0');
  peers::RtErr req;
  req.opcode = static_cast<uint8_t>(o.Int("--opcode", 8));
  req.data = pass;
  SendBytes(fd, Framed(peers::EncodeRtErr(req)));
  Emit(peers::LogOut("OUT", "pass").Num("opcode", req.opcode).Hex("data", pass));

  // Logs an answer: opcode 0 with its code and text, others with their data.
  auto answer = [&](const std::string& what, peers::RtErr* m) {
    std::string msg;
    int r = ReadNiFrame(fd, kSenderWaitMs, &msg);
    if (r != 0) {
      Emit(peers::LogOut("IN", "reply").Text("stage", what).Text("none", r == 1 ? "time-out" : "closed"));
      return false;
    }
    if (!peers::DecodeRtErr(msg, m)) {
      Emit(peers::LogOut("IN", "reply").Text("stage", what).Hex("other", msg));
      return false;
    }
    std::vector<std::string> f;
    bool record = peers::ErrRecDecode(m->text, &f);
    Emit(peers::LogOut("IN", "reply")
             .Text("stage", what)
             .Num("opcode", m->opcode)
             .Num("rc", m->rc)
             .Num("version", m->niVersion)
             .Hex("data", m->data)
             .Text("text", record ? f[peers::kErrText] : "-"));
    return true;
  };
  peers::RtErr m;
  if (!answer("pass", &m) || m.opcode != 5) return 0;
  uint32_t pid = 0;
  if (m.data.size() == 4) memcpy(&pid, m.data.data(), 4);  // the receiver's own byte order
  Emit(peers::LogOut("EVENT", "pid").Num("got", pid).Num("parent", getppid()).Num("match", pid == static_cast<uint32_t>(getppid())));
  size_t recLen = static_cast<size_t>(o.Int("--record-len", 628));
  const int type = o.Int("--dgram", 0) != 0 ? 2 : 1;
  SendBytes(fd, peers::HandoffRecord(static_cast<uint32_t>(getpid()), passed, siFamily, type, recLen));
  if (sockets > 1) SendBytes(fd, peers::HandoffRecord(static_cast<uint32_t>(getpid()), extra, extraFamily, type, recLen));
  // A short record ends where the sending side ends.
  if (recLen < 628) shutdown(fd, SHUT_WR);
  Emit(peers::LogOut("OUT", "records").Num("count", sockets).Num("len", static_cast<long long>(recLen)));
  bool taken = answer("records", &m) && m.opcode == 6;
  Emit(peers::LogOut("EVENT", taken ? "taken" : "refused"));
  close(passed);
  if (extra >= 0) close(extra);
  if (echoEnd >= 0 && taken && !listening) {
    size_t total = 0;
    char buf[65536];
    ssize_t n;
    while ((n = recv(echoEnd, buf, sizeof buf, 0)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0 && SendBytes(echoEnd, std::string(buf, static_cast<size_t>(n)))) total += static_cast<size_t>(n);
    }
    Emit(peers::LogOut("EVENT", "echo-closed").Num("bytes", static_cast<long long>(total)));
  }
  for (;;) pause();
}

struct Role {
  const char* name;
  int (*run)(int listener, const Options& o);
  bool listens;
};

constexpr Role kRoles[] = {
    {"echo", Echo, true},     {"reset", Reset, true},   {"hold", Hold, true},
    {"refuse", Refuse, true}, {"router", RouterRole, true}, {"sender", SenderRole, false},
};

bool Parse(int argc, char** argv, Options* o) {
  if (argc < 2 || (argc % 2) != 0) return false;
  o->role = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    std::string v = argv[i + 1];
    int n = atoi(v.c_str());
    if (k == "--family") {
      o->family = n == 6 ? AF_INET6 : AF_INET;
    } else if (k == "--port") {
      o->port = n;
    } else if (k == "--listen") {
      size_t colon = v.rfind(':');
      if (colon == std::string::npos) return false;
      o->address = v.substr(0, colon);
      o->port = atoi(v.c_str() + colon + 1);
      o->family = !o->address.empty() && o->address.front() == '[' ? AF_INET6 : AF_INET;
    } else if (k == "--backlog") {
      o->backlog = n;
    } else if (k == "--lifetime") {
      o->lifetime = n;
    } else if (k == "--parent") {
      o->parent = n;
    } else if (k.rfind("--", 0) == 0) {
      o->sw[k] = v;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    fprintf(stderr, "usage: ni_peer <role> [--family 4|6] [--port n] [--listen addr:port] [--backlog n] "
                    "[--lifetime s] [--parent pid] [role switches]\n");
    return 2;
  }
  // Ends with its parent, and after its lifetime in any case.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (o.parent != 0 && getppid() != o.parent) return 4;
  alarm(static_cast<unsigned>(o.lifetime));
  signal(SIGPIPE, SIG_IGN);

  const Role* role = nullptr;
  for (const Role& r : kRoles) {
    if (o.role == r.name) role = &r;
  }
  if (role == nullptr) {
    fprintf(stderr, "ni_peer: unknown role %s\n", o.role.c_str());
    return 2;
  }
  if (!role->listens) return role->run(-1, o);
  int fd = socket(o.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_storage sa{};
  socklen_t len;
  std::string where = o.address.empty() ? (o.family == AF_INET ? "127.0.0.1" : "[::1]") : o.address;
  if (fd < 0 || !ParseAddr(where + ":" + std::to_string(o.port), &sa, &len) ||
      bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || listen(fd, o.backlog) != 0) {
    fprintf(stderr, "ni_peer: cannot listen: %s\n", strerror(errno));
    return 3;
  }
  printf("PORT %d\n", LocalPort(fd));
  fflush(stdout);
  return role->run(fd, o);
}
