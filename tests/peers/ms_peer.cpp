// ms_peer: a message server for the message server client's tests. It
// listens on loopback (port 0: the system chooses), prints "PORT <n>" on
// standard output and serves any number of connections at once: logins,
// old logins, logouts, administration blocks, opcode requests and plain
// messages, each message framed by a 4-byte big-endian length. It answers
// each message that waits for an answer once and sends nothing unasked.
//
//   ms_peer serve [--family 4|6] [--scenario <file>] [--log <file>]
//                 [--fault <spec>]... [--rcvbuf <bytes>]
//                 [--lifetime <seconds>] [--parent <pid>]
//
// Answers come from "MSG_SERVER" and go to the sender's name. A
// connection's layout is 3 after an old login (70-byte header, iflag 3 at
// 47) or a version-3 login answer, else 4 (110 bytes), whatever the
// version byte says.
//
// Scenario file: one directive a line, '#' starts a comment, unknown
// directives are logged and skipped (later tests add their own):
//   reply-version <n>      version byte of the answers (default 4)
//   login-data <hex>       data behind the login answer
//   echo <name>            plain messages to this name come back (default ECHO)
//
// Fault switches: <kind>:<action>[=<arg>][:<count>|:all] (count 1 by
// default), as --fault arguments or as control lines "fault <spec>" on
// standard input, each acknowledged by "ACK <line>" on standard output.
// Kinds: login, oldlogin, logout, admin, op, op<opcode>, msg, reply, any.
// Actions on the answer to such a message:
//   close        close the connection instead of answering
//   drop         no answer
//   delay=<ms>   answer later
//   wakeup       a wakeup (a 12-byte eye-catcher) before the answer
//   wakeup-only  a wakeup instead of the answer
//   ping         NI_PING before the answer; ping-only: instead of it
//   mserrno=<n>  the answer's mserrno (a login answer then carries no data)
//   toname=<t>, fromname=<t>, version=<n>, iflag=<n>, types=<n>: fields
//   v3reply      answer in layout 3 and keep the connection at 3
//   ebcdic       the eye-catcher in EBCDIC
//   truncate=<n> only the first n bytes of the answer
//   prefix=<n>   a frame announcing n bytes, then the answer's bytes
//   v3big=<n>    a layout-3 message of n bytes instead of the answer
//   http         an HTTP error text instead of the answer (no framing)
//   closemid     half of the framed answer, then close
//   size=<n>     n data bytes in the answer (a counting pattern)
//   stopread     read nothing more on this connection until "resume"
//   flood=<ms>   wakeups every 2 ms for that long instead of the answer
// Other control lines: "clear" (no faults), "resume", "stats" (answered
// "ACK stats <counter>=<n> ...").
//
// The log (--log, else standard error) has one line per event: CONN,
// CLOSE, IN and OUT (the decoded header, data length and hex of the whole
// message), AD (each record of an administration block), PING, PONG,
// WAKEUP, RAW, FAULT, STOP, RESUME, SCENARIO. Fields are key=value; text
// fields are trimmed and percent-escaped (bytes outside '!'..'~' and '%'
// as %XX). The program shares no code with the library.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "peers/adcodec.h"
#include "peers/mscodec.h"
#include "peers/niframe.h"
#include "peers/peers.h"

namespace {

using mspeer::Header;

struct Fault {
  std::string kind, action, arg;
  int count = 1;  // -1: every message of the kind
  std::string spec;
};

struct Scenario {
  int replyVersion = 4;
  std::string loginData;
  std::vector<std::string> echo{"ECHO"};
};

struct Conn {
  int fd = -1;
  int id = 0;
  int layout = 0;  // 0 until the first message
  std::string name;
  peers::FrameParser parser;
  bool stopped = false;
  bool closing = false;
};

struct Pending {
  int connId;
  std::string bytes;
  int64_t due;
  bool closeAfter;
};

struct Options {
  int family = AF_INET;
  std::string scenario, log;
  std::vector<std::string> faults;
  int rcvbuf = 0;
  int lifetime = 60;
  pid_t parent = 0;
};

FILE* gLog = stderr;
int64_t gStart = 0;
std::map<std::string, long> gCount;
std::vector<Fault> gFaults;
Scenario gScenario;

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(gLog, "%lld ", static_cast<long long>(NowMs() - gStart));
  vfprintf(gLog, fmt, ap);
  fputc('\n', gLog);
  fflush(gLog);
  va_end(ap);
}

std::string Esc(const std::string& field) {
  std::string t = mspeer::Trim(field), out;
  char buf[4];
  for (unsigned char c : t) {
    if (c > ' ' && c <= '~' && c != '%') {
      out += static_cast<char>(c);
    } else {
      snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out.empty() ? "%" : out;  // "%" alone: an empty field
}

std::string HeaderFields(const Header& h, int layout, size_t len, size_t dataLen) {
  char buf[512];
  snprintf(buf, sizeof buf,
           "layout=%d len=%zu ver=%d err=%d to=%s types=%d dom=%d key=%s msflag=%d iflag=%d from=%s port=%d "
           "data=%zu ebcdic=%d",
           layout, len, h.version, h.mserrno, Esc(h.toname).c_str(), h.msgtypes, h.dom,
           mspeer::HexOf(h.key).c_str(), h.msflag, h.iflag, Esc(h.fromname).c_str(), h.port, dataLen,
           h.ebcdic ? 1 : 0);
  return buf;
}

bool ParseFault(const std::string& spec, Fault* f) {
  f->spec = spec;
  size_t c1 = spec.find(':');
  if (c1 == std::string::npos) return false;
  f->kind = spec.substr(0, c1);
  std::string rest = spec.substr(c1 + 1);
  // A last part "all" or digits is the count; the argument may hold ':'.
  size_t c2 = rest.rfind(':');
  f->count = 1;
  if (c2 != std::string::npos) {
    std::string n = rest.substr(c2 + 1);
    bool digits = !n.empty() && n.find_first_not_of("0123456789") == std::string::npos;
    if (n == "all" || digits) {
      f->count = n == "all" ? -1 : atoi(n.c_str());
      rest = rest.substr(0, c2);
    }
  }
  size_t eq = rest.find('=');
  f->action = rest.substr(0, eq);
  f->arg = eq == std::string::npos ? "" : rest.substr(eq + 1);
  return !f->kind.empty() && !f->action.empty();
}

void LoadScenario(const std::string& path) {
  if (path.empty()) return;
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) {
    Log("SCENARIO missing=%s", path.c_str());
    return;
  }
  char line[4096];
  while (fgets(line, sizeof line, f) != nullptr) {
    std::string l(line);
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    if (l.empty() || l[0] == '#') continue;
    size_t sp = l.find(' ');
    std::string key = l.substr(0, sp), value = sp == std::string::npos ? "" : l.substr(sp + 1);
    if (key == "reply-version") {
      gScenario.replyVersion = atoi(value.c_str());
    } else if (key == "login-data") {
      gScenario.loginData = mspeer::FromHex(value);
    } else if (key == "echo") {
      gScenario.echo.push_back(value);
    } else {
      Log("SCENARIO unknown=%s", key.c_str());
    }
  }
  fclose(f);
}

// The kind of a received message, and the finer "op<opcode>".
std::string KindOf(const Header& h, const std::string& data, std::string* fine) {
  fine->clear();
  if (h.iflag == mspeer::kOpLogin) return "login";
  if (h.iflag == mspeer::kOpOldLogin) return "oldlogin";
  if (h.iflag == mspeer::kOpLogout) return "logout";
  if (h.msflag == mspeer::kMsgAdmin) return "admin";
  if (h.msflag == mspeer::kMsgRequest) {
    if (!data.empty()) *fine = "op" + std::to_string(static_cast<uint8_t>(data[0]));
    return "op";
  }
  if (h.msflag == mspeer::kMsgReply) return "reply";
  return "msg";
}

// The faults that apply to this message, each counted down.
std::vector<Fault> TakeFaults(const std::string& kind, const std::string& fine) {
  std::vector<Fault> out;
  for (Fault& f : gFaults) {
    if (f.count == 0 || (f.kind != kind && f.kind != fine && f.kind != "any")) continue;
    out.push_back(f);
    if (f.count > 0) --f.count;
  }
  return out;
}

const Fault* Find(const std::vector<Fault>& fs, const char* action) {
  for (const Fault& f : fs)
    if (f.action == action) return &f;
  return nullptr;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

// An answer from MSG_SERVER to the sender of h.
Header AnswerTo(const Header& h, uint8_t msflag, uint8_t iflag) {
  Header a;
  a.version = static_cast<uint8_t>(gScenario.replyVersion);
  a.toname = h.fromname;
  a.key = h.key;
  a.msflag = msflag;
  a.iflag = iflag;
  a.fromname = "MSG_SERVER";
  return a;
}

class Server {
 public:
  explicit Server(int listener) : listener_(listener) {}

  int Run() {
    for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({listener_, POLLIN, 0});
      fds.push_back({stdinOpen_ ? 0 : -1, POLLIN, 0});
      for (Conn& c : conns_) fds.push_back({c.fd, static_cast<short>(c.stopped ? 0 : POLLIN), 0});
      int timeout = -1;
      int64_t now = NowMs();
      for (const Pending& p : pending_) {
        int left = static_cast<int>(p.due > now ? p.due - now : 0);
        if (timeout < 0 || left < timeout) timeout = left;
      }
      int r = poll(fds.data(), fds.size(), timeout);
      if (r < 0 && errno != EINTR) return 3;
      SendDue();
      if (r <= 0) continue;
      if (fds[0].revents & POLLIN) Accept();
      if (fds[1].revents & (POLLIN | POLLHUP)) {
        if (!Control()) stdinOpen_ = false;
      }
      for (size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        Conn* c = ById(static_cast<int>(i - 2));
        if (c != nullptr) Read(c);
      }
      Reap();
    }
  }

 private:
  Conn* ById(int index) {
    return index >= 0 && static_cast<size_t>(index) < conns_.size() ? &conns_[static_cast<size_t>(index)] : nullptr;
  }
  Conn* ByConnId(int id) {
    for (Conn& c : conns_)
      if (c.id == id) return &c;
    return nullptr;
  }

  void Accept() {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd < 0) return;
    Conn c;
    c.fd = fd;
    c.id = ++nextId_;
    char host[64] = "?";
    int port = 0;
    if (sa.ss_family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(&sa);
      inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      port = ntohs(in->sin_port);
    } else {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&sa);
      inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
      port = ntohs(in6->sin6_port);
    }
    ++gCount["conn"];
    Log("CONN c=%d peer=%s port=%d", c.id, host, port);
    conns_.push_back(std::move(c));
  }

  bool Control() {
    char buf[4096];
    ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) return false;
    control_.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = control_.find('\n')) != std::string::npos;) {
      std::string line = control_.substr(0, nl);
      control_.erase(0, nl + 1);
      std::string ack = "ACK " + line;
      if (line.rfind("fault ", 0) == 0) {
        Fault f;
        if (ParseFault(line.substr(6), &f))
          gFaults.push_back(f);
        else
          ack = "NAK " + line;
      } else if (line == "clear") {
        gFaults.clear();
      } else if (line == "resume") {
        for (Conn& c : conns_)
          if (c.stopped) {
            c.stopped = false;
            Log("RESUME c=%d", c.id);
          }
      } else if (line == "stats") {
        for (const auto& [k, v] : gCount) ack += " " + k + "=" + std::to_string(v);
      } else {
        ack = "NAK " + line;
      }
      printf("%s\n", ack.c_str());
      fflush(stdout);
    }
    return true;
  }

  void Read(Conn* c) {
    char buf[65536];
    ssize_t n = recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      Log("CLOSE c=%d by=client", c->id);
      c->closing = true;
      return;
    }
    c->parser.Feed(buf, static_cast<size_t>(n));
    std::string msg;
    while (!c->closing && !c->stopped && c->parser.Next(&msg)) Handle(c, msg);
    if (c->parser.bad()) {
      Log("CLOSE c=%d by=peer why=bad-frame", c->id);
      c->closing = true;
    }
  }

  void Handle(Conn* c, const std::string& msg) {
    if (msg == peers::kNiPong) {
      ++gCount["pong"];
      Log("PONG c=%d", c->id);
      return;
    }
    if (msg == peers::kNiPing) {
      Log("PING c=%d from=client", c->id);
      Send(c, peers::FrameEncode(peers::kNiPong), 0, false);
      return;
    }
    if (c->layout == 0) {
      bool old = msg.size() >= mspeer::kHeader3 && msg.size() < mspeer::kHeader4 &&
                 static_cast<uint8_t>(msg[47]) == mspeer::kOpOldLogin;
      c->layout = old ? 3 : 4;
    }
    Header h;
    std::string data, why;
    if (!mspeer::Decode(msg, c->layout, &h, &data, &why)) {
      ++gCount["bad"];
      Log("BAD c=%d why=%s len=%zu hex=%s", c->id, why.c_str(), msg.size(), mspeer::HexOf(msg).c_str());
      return;
    }
    std::string fine;
    std::string kind = KindOf(h, data, &fine);
    ++gCount[kind];
    Log("IN c=%d kind=%s %s hex=%s", c->id, kind.c_str(), HeaderFields(h, c->layout, msg.size(), data.size()).c_str(),
        mspeer::HexOf(msg).c_str());
    if (kind == "login" || kind == "oldlogin") c->name = h.fromname;
    std::vector<Fault> faults = TakeFaults(kind, fine);
    for (const Fault& f : faults) Log("FAULT c=%d spec=%s", c->id, f.spec.c_str());
    if (Find(faults, "stopread") != nullptr) {
      c->stopped = true;
      Log("STOP c=%d", c->id);
    }
    if (Find(faults, "close") != nullptr) {
      Log("CLOSE c=%d by=peer", c->id);
      c->closing = true;
      return;
    }
    if (kind == "oldlogin") c->layout = 3;
    Header a;
    std::string answer;
    if (!Answer(c, kind, h, data, &a, &answer)) return;
    if (Find(faults, "drop") != nullptr) return;
    Reply(c, a, answer, faults);
  }

  // The answer to a message: false when it gets none.
  bool Answer(Conn* c, const std::string& kind, const Header& h, const std::string& data, Header* a,
              std::string* answer) {
    if (kind == "login") {
      *a = AnswerTo(h, mspeer::kMsgReply, mspeer::kOpLogin);
      *answer = gScenario.loginData;
      return true;
    }
    if (kind == "admin") {
      *a = AnswerTo(h, mspeer::kMsgAdmin, mspeer::kOpAdmin);
      return AdminAnswer(c, data, answer);
    }
    if (kind == "op") {
      *a = AnswerTo(h, mspeer::kMsgReply, mspeer::kOpByName);
      uint8_t opcode = data.empty() ? 0 : static_cast<uint8_t>(data[0]);
      uint8_t version = data.size() > 2 ? static_cast<uint8_t>(data[2]) : 0;
      *answer = mspeer::OpHeader(opcode, 1, version, 0);
      return true;
    }
    if (kind == "msg") {
      std::string to = mspeer::Trim(h.toname);
      for (const std::string& e : gScenario.echo) {
        if (to == e) {
          *a = AnswerTo(h, mspeer::kMsgPlain, mspeer::kOpByName);
          *answer = data;
          return true;
        }
      }
    }
    return false;
  }

  bool AdminAnswer(Conn* c, const std::string& block, std::string* answer) {
    adpeer::Parsed p;
    std::string why;
    if (!adpeer::ParseBlock(block, &p, &why)) {
      Log("AD c=%d bad=%s", c->id, why.c_str());
      *answer = adpeer::Block({}, 1, 2);
      return true;
    }
    std::vector<std::string> out;
    for (size_t i = 0; i < p.records.size(); ++i) {
      const std::string& r = p.records[i];
      Log("AD c=%d rec=%zu op=%d ser=%d ex=%d errno=%d body=%s", c->id, i, static_cast<uint8_t>(r[0]),
          static_cast<uint8_t>(r[1]), static_cast<uint8_t>(r[2]), static_cast<uint8_t>(r[3]),
          mspeer::HexOf(r.substr(4)).c_str());
      std::string e = r;
      e[2] = 1;  // executed
      e[3] = 1;  // nothing executes it here
      out.push_back(e);
    }
    *answer = adpeer::Block(out, 1, 2);
    return true;
  }

  void Reply(Conn* c, Header a, std::string data, const std::vector<Fault>& faults) {
    int layout = c->layout;
    for (const Fault& f : faults) {
      const char* arg = f.arg.c_str();
      if (f.action == "mserrno") {
        a.mserrno = static_cast<int8_t>(atoi(arg));
        if (a.iflag == mspeer::kOpLogin) data.clear();
      } else if (f.action == "toname") {
        a.toname = f.arg;
      } else if (f.action == "fromname") {
        a.fromname = f.arg;
      } else if (f.action == "version") {
        a.version = static_cast<uint8_t>(atoi(arg));
      } else if (f.action == "iflag") {
        a.iflag = static_cast<uint8_t>(atoi(arg));
      } else if (f.action == "types") {
        a.msgtypes = static_cast<uint8_t>(atoi(arg));
      } else if (f.action == "ebcdic") {
        a.ebcdic = true;
      } else if (f.action == "v3reply") {
        layout = c->layout = 3;
        a.version = 3;
      } else if (f.action == "size") {
        data = Pattern(static_cast<size_t>(atol(arg)));
      }
    }
    std::string msg = mspeer::Encode(a, data, layout);
    int64_t delay = 0;
    std::string before;
    for (const Fault& f : faults) {
      if (f.action == "delay") delay = atol(f.arg.c_str());
      if (f.action == "wakeup" || f.action == "wakeup-only") before += peers::FrameEncode(mspeer::kEye);
      if (f.action == "ping" || f.action == "ping-only") before += peers::FrameEncode(peers::kNiPing);
    }
    if (const Fault* f = Find(faults, "flood")) {
      // Wakeups every 2 ms for the given time, behind whatever comes now.
      int64_t span = atol(f->arg.c_str());
      for (int64_t t = 2; t <= span; t += 2) Send(c, peers::FrameEncode(mspeer::kEye), t, false);
      Log("FLOOD c=%d ms=%lld", c->id, static_cast<long long>(span));
      return;
    }
    if (!before.empty()) {
      Log("WAKEUP c=%d bytes=%zu", c->id, before.size());
      if (Find(faults, "wakeup-only") != nullptr || Find(faults, "ping-only") != nullptr) {
        Send(c, before, delay, false);
        return;
      }
    }
    std::string wire = peers::FrameEncode(msg);
    bool closeAfter = false;
    if (const Fault* f = Find(faults, "truncate")) {
      msg = msg.substr(0, static_cast<size_t>(atol(f->arg.c_str())));
      wire = peers::FrameEncode(msg);
    }
    if (const Fault* f = Find(faults, "v3big")) {
      Header b = a;
      b.version = 3;
      size_t n = static_cast<size_t>(atol(f->arg.c_str()));
      msg = mspeer::Encode(b, Pattern(n > mspeer::kHeader3 ? n - mspeer::kHeader3 : 0), 3).substr(0, n);
      wire = peers::FrameEncode(msg);
    }
    if (const Fault* f = Find(faults, "prefix")) {
      wire = mspeer::Be32(static_cast<uint32_t>(atol(f->arg.c_str()))) + msg;
    }
    if (Find(faults, "http") != nullptr) {
      wire = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      Log("RAW c=%d what=http", c->id);
    }
    if (Find(faults, "closemid") != nullptr) {
      wire = wire.substr(0, wire.size() / 2);
      closeAfter = true;
    }
    Header shown;
    std::string shownData;
    if (mspeer::Decode(msg, layout, &shown, &shownData))
      Log("OUT c=%d %s hex=%s", c->id, HeaderFields(shown, layout, msg.size(), shownData.size()).c_str(),
          mspeer::HexOf(msg).c_str());
    else
      Log("OUT c=%d len=%zu hex=%s", c->id, msg.size(), mspeer::HexOf(msg).c_str());
    Send(c, before + wire, delay, closeAfter);
  }

  void Send(Conn* c, const std::string& bytes, int64_t delay, bool closeAfter) {
    if (delay > 0) {
      pending_.push_back({c->id, bytes, NowMs() + delay, closeAfter});
      return;
    }
    Write(c, bytes, closeAfter);
  }

  void Write(Conn* c, const std::string& bytes, bool closeAfter) {
    if (!peers::SendAll(c->fd, bytes.data(), bytes.size())) {
      Log("CLOSE c=%d by=client why=send", c->id);
      c->closing = true;
      return;
    }
    if (closeAfter) {
      Log("CLOSE c=%d by=peer why=mid-message", c->id);
      c->closing = true;
    }
  }

  void SendDue() {
    int64_t now = NowMs();
    for (size_t i = 0; i < pending_.size();) {
      if (pending_[i].due > now) {
        ++i;
        continue;
      }
      Pending p = pending_[i];
      pending_.erase(pending_.begin() + static_cast<long>(i));
      if (Conn* c = ByConnId(p.connId)) Write(c, p.bytes, p.closeAfter);
    }
    Reap();
  }

  void Reap() {
    for (size_t i = 0; i < conns_.size();) {
      if (!conns_[i].closing) {
        ++i;
        continue;
      }
      ++gCount["close"];
      close(conns_[i].fd);
      conns_.erase(conns_.begin() + static_cast<long>(i));
    }
  }

  int listener_;
  bool stdinOpen_ = true;
  int nextId_ = 0;
  std::vector<Conn> conns_;
  std::vector<Pending> pending_;
  std::string control_;
};

bool ParseArgs(int argc, char** argv, Options* o) {
  if (argc < 2 || strcmp(argv[1], "serve") != 0) return false;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--family") {
      o->family = v == "6" ? AF_INET6 : AF_INET;
    } else if (k == "--scenario") {
      o->scenario = v;
    } else if (k == "--log") {
      o->log = v;
    } else if (k == "--fault") {
      o->faults.push_back(v);
    } else if (k == "--rcvbuf") {
      o->rcvbuf = atoi(v.c_str());
    } else if (k == "--lifetime") {
      o->lifetime = atoi(v.c_str());
    } else if (k == "--parent") {
      o->parent = atoi(v.c_str());
    } else {
      return false;
    }
  }
  return (argc % 2) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    fprintf(stderr,
            "usage: ms_peer serve [--family 4|6] [--scenario f] [--log f] [--fault spec]... [--rcvbuf n] "
            "[--lifetime s] [--parent pid]\n");
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (o.parent != 0 && getppid() != o.parent) return 4;
  alarm(static_cast<unsigned>(o.lifetime));
  signal(SIGPIPE, SIG_IGN);
  gStart = NowMs();
  if (!o.log.empty()) {
    gLog = fopen(o.log.c_str(), "w");
    if (gLog == nullptr) gLog = stderr;
  }
  LoadScenario(o.scenario);
  for (const std::string& spec : o.faults) {
    Fault f;
    if (!ParseFault(spec, &f)) {
      fprintf(stderr, "ms_peer: bad fault %s\n", spec.c_str());
      return 2;
    }
    gFaults.push_back(f);
  }
  uint16_t port = 0;
  peers::Fd listener = peers::Listener(o.family, &port, 64);
  if (!listener.valid()) {
    fprintf(stderr, "ms_peer: cannot listen: %s\n", strerror(errno));
    return 3;
  }
  // Accepted connections inherit the size (a small one makes a client's
  // writes stall once the peer stops reading).
  if (o.rcvbuf > 0) setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &o.rcvbuf, sizeof(o.rcvbuf));
  Log("LISTEN port=%d", port);
  printf("PORT %d\n", port);
  fflush(stdout);
  return Server(listener.get()).Run();
}
