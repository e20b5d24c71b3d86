// ni_peer: the network tests' peer program. It listens on loopback (port 0
// by default: the system chooses), prints "PORT <n>" on standard output,
// then plays one role on the connections it accepts and logs what it saw
// on standard error as "LOG <text>" lines.
//
//   ni_peer <role> [--family 4|6] [--port <n>] [--backlog <n>]
//                  [--lifetime <seconds>] [--parent <pid>]
//
// It ends by itself after --lifetime seconds (default 30) and when the
// process that started it (--parent) has gone. Roles:
//   echo   accept connections one after another; send back every byte
//          until the peer closes
//   reset  accept each connection and close it at once with a reset
//   hold   accept connections and keep them open without reading
//   refuse listen with the given backlog and never accept
//
// The program shares no code with the library.
#include <arpa/inet.h>
#include <errno.h>
#include <stdarg.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct Options {
  std::string role;
  int family = AF_INET;
  int port = 0;
  int backlog = 16;
  int lifetime = 30;
  pid_t parent = 0;
};

void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("LOG ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
}

int AcceptOne(int listener) {
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

int Echo(int listener, const Options&) {
  for (;;) {
    int fd = AcceptOne(listener);
    if (fd < 0) return 3;
    Log("accepted");
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

struct Role {
  const char* name;
  int (*run)(int listener, const Options& o);
};

constexpr Role kRoles[] = {
    {"echo", Echo},
    {"reset", Reset},
    {"hold", Hold},
    {"refuse", Refuse},
};

bool Parse(int argc, char** argv, Options* o) {
  if (argc < 2) return false;
  o->role = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    int v = atoi(argv[i + 1]);
    if (k == "--family") {
      o->family = v == 6 ? AF_INET6 : AF_INET;
    } else if (k == "--port") {
      o->port = v;
    } else if (k == "--backlog") {
      o->backlog = v;
    } else if (k == "--lifetime") {
      o->lifetime = v;
    } else if (k == "--parent") {
      o->parent = v;
    } else {
      return false;
    }
  }
  return (argc % 2) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) {
    fprintf(stderr, "usage: ni_peer <role> [--family 4|6] [--port n] [--backlog n] [--lifetime s] [--parent pid]\n");
    return 2;
  }
  // Ends with its parent, and after its lifetime in any case.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (o.parent != 0 && getppid() != o.parent) return 4;
  alarm(static_cast<unsigned>(o.lifetime));

  const Role* role = nullptr;
  for (const Role& r : kRoles) {
    if (o.role == r.name) role = &r;
  }
  if (role == nullptr) {
    fprintf(stderr, "ni_peer: unknown role %s\n", o.role.c_str());
    return 2;
  }
  int fd = socket(o.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_storage sa{};
  socklen_t len;
  if (o.family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&sa);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(o.port));
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(*in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&sa);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(o.port));
    in6->sin6_addr = in6addr_loopback;
    len = sizeof(*in6);
  }
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || listen(fd, o.backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    fprintf(stderr, "ni_peer: cannot listen: %s\n", strerror(errno));
    return 3;
  }
  uint16_t port = o.family == AF_INET ? reinterpret_cast<sockaddr_in&>(sa).sin_port
                                      : reinterpret_cast<sockaddr_in6&>(sa).sin6_port;
  printf("PORT %d\n", ntohs(port));
  fflush(stdout);
  return role->run(fd, o);
}
