// gw_peer: a gateway for the connect tests. It listens on loopback (port 0:
// the system chooses), prints "PORT <n>" on standard output, accepts one
// connection, reads the framed connect record, answers it by its switches,
// reads the echo and the identification block when they are due, and
// ends. Every frame in or out is logged on standard error as one
// "LOG IN|OUT <what> <fields> hex=<bytes>" line.
//
//   gw_peer connect [--family 4|6] [--hdr-version <n>] [--accept-info <hex>]
//                   [--code-page <4 chars>] [--echo] [--error <code>]
//                   [--error-text <text>]
//                   [--fault none|close|reset|short|long|delay]
//                   [--lifetime <seconds>] [--parent <pid>]
//
// Smallest choices: the answer has the version of the request (2: 64
// bytes, 3: 136 bytes) with every field 0 apart from those the switches
// set; "short" answers 40 bytes, "long" 700 bytes (more than a client
// reads), with --error-text an error answer carries an error record
// behind it (21 UTF-8 strings, each ended by a 0 byte, from "*ERR*" to
// "*ERR*": record version "1", the text, the code, component "GATEWAY",
// the rest empty), "delay" waits 3 s before answering, "close" reads the request and
// closes without an answer, "reset" closes with a reset. Messages are
// framed by a 4-byte big-endian length. The program shares no code with
// the library.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct GwPeerOptions {
  int family = AF_INET;
  int hdrVersion = 6;
  int acceptInfo = 0;
  std::string codePage = "    ";
  bool echo = false;
  long error = 0;
  std::string errorText;
  std::string fault = "none";
  int lifetime = 30;
  pid_t parent = 0;
};

void GwLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void GwLog(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("LOG ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  fflush(stderr);
  va_end(ap);
}

std::string Hex(const std::string& b) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : b) out += kDigits[c >> 4], out += kDigits[c & 15];
  return out;
}

// A fixed text field as printable text (blanks kept, a 0 byte ends it).
std::string Field(const std::string& b, size_t off, size_t n) {
  std::string out;
  for (size_t i = off; i < off + n && i < b.size() && b[i] != 0; ++i) out += b[i];
  return out;
}

uint32_t Be32(const std::string& b, size_t off) {
  return (uint32_t(uint8_t(b[off])) << 24) | (uint32_t(uint8_t(b[off + 1])) << 16) |
         (uint32_t(uint8_t(b[off + 2])) << 8) | uint8_t(b[off + 3]);
}

bool ReadAll(int fd, char* p, size_t n, int ms) {
  while (n > 0) {
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, ms) <= 0) return false;
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r, n -= static_cast<size_t>(r);
  }
  return true;
}

bool RecvFrame(int fd, std::string* msg) {
  char head[4];
  if (!ReadAll(fd, head, 4, 10000)) return false;
  uint32_t len = Be32(std::string(head, 4), 0);
  if (len > (1u << 20)) return false;
  msg->assign(len, '\0');
  return len == 0 || ReadAll(fd, msg->data(), len, 10000);
}

bool SendFrame(int fd, const std::string& data) {
  std::string f(4, '\0');
  uint32_t n = static_cast<uint32_t>(data.size());
  f[0] = char(n >> 24), f[1] = char(n >> 16), f[2] = char(n >> 8), f[3] = char(n);
  f += data;
  return write(fd, f.data(), f.size()) == static_cast<ssize_t>(f.size());
}

// The fields of a connect record as its layout gives them.
void LogConnect(const std::string& r) {
  int version = r.empty() ? -1 : uint8_t(r[0]);
  if (r.size() < 64) {
    GwLog("IN CONNECT short len=%zu hex=%s", r.size(), Hex(r).c_str());
    return;
  }
  char ip[16];
  snprintf(ip, sizeof ip, "%d.%d.%d.%d", uint8_t(r[2]), uint8_t(r[3]), uint8_t(r[4]), uint8_t(r[5]));
  std::string addr = r.size() >= 136 ? Hex(r.substr(58, 16)) : "-";
  bool zeros = r.substr(6, 4) == std::string(4, '\0') && r.substr(24, 6) == std::string(6, '\0');
  if (r.size() >= 136) zeros = zeros && r.substr(74, 62) == std::string(62, '\0');
  else zeros = zeros && r.substr(58, 6) == std::string(6, '\0');
  GwLog("IN CONNECT len=%zu version=%d type=%d ip=%s service10=%s codepage=%s host8=%s service8=%s blanks=%d "
        "hdrversion=%d accept=0x%02X index=%d addr=%s zeros=%d hex=%s",
        r.size(), version, uint8_t(r[1]), ip, Field(r, 10, 10).c_str(), Field(r, 20, 4).c_str(),
        Field(r, 30, 8).c_str(), Field(r, 38, 8).c_str(), r.substr(46, 8) == std::string(8, ' '), uint8_t(r[54]),
        uint8_t(r[55]), int16_t((uint8_t(r[56]) << 8) | uint8_t(r[57])), addr.c_str(), zeros ? 1 : 0,
        Hex(r).c_str());
}

std::string Answer(const GwPeerOptions& o, int version) {
  std::string a(version == 3 ? 136 : 64, '\0');
  a[0] = char(version);
  memcpy(a.data() + 20, o.codePage.data(), 4);
  a[54] = char(o.hdrVersion);
  a[55] = char(o.acceptInfo);
  size_t e = version == 3 ? 130 : 58;
  uint32_t code = static_cast<uint32_t>(o.error);
  a[e] = char(code >> 24), a[e + 1] = char(code >> 16), a[e + 2] = char(code >> 8), a[e + 3] = char(code);
  a[version == 3 ? 134 : 62] = o.echo ? 1 : 0;
  if (o.error != 0 && !o.errorText.empty()) {
    const std::string fields[21] = {"*ERR*", "1", o.errorText, std::to_string(o.error), "GATEWAY", "", "", "",
                                    "", "", "", "", "", "", "", "", "", "", "", "", "*ERR*"};
    for (const std::string& f : fields) a += f + std::string(1, '\0');
  }
  if (o.fault == "short") a.resize(40);
  if (o.fault == "long") a.resize(700, 'L');
  return a;
}

void Serve(const GwPeerOptions& o, int fd) {
  std::string req;
  if (!RecvFrame(fd, &req)) {
    GwLog("IN CONNECT none");
    return;
  }
  LogConnect(req);
  if (o.fault == "close") {
    GwLog("OUT CLOSE");
    return;
  }
  if (o.fault == "reset") {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    GwLog("OUT RESET");
    return;
  }
  if (o.fault == "delay") usleep(3000 * 1000);
  int version = req.empty() ? 3 : uint8_t(req[0]) == 2 ? 2 : 3;
  std::string a = Answer(o, version);
  bool sent = SendFrame(fd, a);
  GwLog("OUT ANSWER len=%zu sent=%d hex=%s", a.size(), sent ? 1 : 0, Hex(a).c_str());
  if (!sent || o.error != 0 || o.fault == "short" || o.fault == "long") return;
  if (o.echo) {
    std::string back;
    bool got = RecvFrame(fd, &back);
    GwLog("IN ECHO got=%d same=%d len=%zu", got ? 1 : 0, got && back == a ? 1 : 0, back.size());
  }
  int type = req.size() > 1 ? uint8_t(req[1]) : 0;
  if (type == 11 || type == 14 || type == 16) {
    std::string block;
    bool got = RecvFrame(fd, &block);
    // Every byte but the two texts and their terminators is a blank.
    size_t hl = Field(block, 0, 128).size(), sl = Field(block, 128, 64).size(), blanks = 0;
    for (size_t i = 0; i < block.size(); ++i)
      if (i > hl && !(i >= 128 && i <= 128 + sl)) blanks += block[i] == ' ';
    GwLog("IN IDENT got=%d len=%zu host=%s service=%s blanks=%zu", got ? 1 : 0, block.size(),
          Hex(Field(block, 0, 128)).c_str(), Hex(Field(block, 128, 64)).c_str(), blanks);
  }
  // Whatever the client does next is not the connect's: wait for its close.
  char c;
  pollfd pf{fd, POLLIN, 0};
  if (poll(&pf, 1, 2000) > 0 && read(fd, &c, 1) > 0) GwLog("IN MORE");
}

}  // namespace

int main(int argc, char** argv) {
  GwPeerOptions o;
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "connect") != 0) {
    fprintf(stdout, "usage: gw_peer connect [--family 4|6] [--hdr-version n] [--accept-info hex] "
                    "[--code-page cccc] [--echo] [--error code] [--error-text text] [--fault none|close|reset|short|long|delay] "
                    "[--lifetime s] [--parent pid]\n");
    return argc >= 2 && strcmp(argv[1], "--help") == 0 ? 0 : 2;
  }
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--family") o.family = atoi(next()) == 6 ? AF_INET6 : AF_INET;
    else if (a == "--hdr-version") o.hdrVersion = atoi(next());
    else if (a == "--accept-info") o.acceptInfo = static_cast<int>(strtol(next(), nullptr, 16));
    else if (a == "--code-page") o.codePage = (std::string(next()) + "    ").substr(0, 4);
    else if (a == "--echo") o.echo = true;
    else if (a == "--error") o.error = atol(next());
    else if (a == "--error-text") o.errorText = next();
    else if (a == "--fault") o.fault = next();
    else if (a == "--lifetime") o.lifetime = atoi(next());
    else if (a == "--parent") o.parent = atoi(next());
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (o.parent > 0 && getppid() != o.parent) return 3;
  alarm(static_cast<unsigned>(o.lifetime));

  int lis = socket(o.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage ss{};
  socklen_t len;
  if (o.family == AF_INET) {
    auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
    s4->sin_family = AF_INET;
    s4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *s4;
  } else {
    auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
    s6->sin6_family = AF_INET6;
    s6->sin6_addr = in6addr_loopback;
    len = sizeof *s6;
  }
  if (lis < 0 || bind(lis, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(lis, 4) != 0) return 4;
  getsockname(lis, reinterpret_cast<sockaddr*>(&ss), &len);
  int port = o.family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                                 : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  printf("PORT %d\n", port);
  fflush(stdout);
  int fd = accept(lis, nullptr, nullptr);
  if (fd < 0) return 5;
  Serve(o, fd);
  close(fd);
  close(lis);
  GwLog("END");
  return 0;
}
