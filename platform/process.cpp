// Held process start; see process.h.
#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

bool ProcBlank(char c) { return c == ' ' || c == '\t'; }

// An executable regular file at path: 0, else the errno.
int ProcRunnable(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EACCES;
  return access(path.c_str(), X_OK) == 0 ? 0 : errno;
}

// The file that the program name stands for, or the errno of the search.
int ProcFind(const std::string& name, std::string* path) {
  if (name.empty()) return ENOENT;
  if (name.find('/') != std::string::npos) {
    *path = name;
    return ProcRunnable(name);
  }
  const char* env = getenv("PATH");
  std::string_view dirs = env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin";
  int err = ENOENT;
  while (true) {
    size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    int rc = ProcRunnable(candidate);
    if (rc == 0) {
      *path = candidate;
      return 0;
    }
    if (rc != ENOENT) err = rc;
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return err;
}

void ProcCloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Everything from first to last closed; a range with first > last is empty.
void ProcCloseRange(int first, int last) {
  if (first > last) return;
  syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0u);
}

ssize_t ProcReadFull(int fd, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, static_cast<char*>(buf) + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

void ProcWriteFull(int fd, const void* buf, size_t n) {
  size_t put = 0;
  while (put < n) {
    ssize_t w = write(fd, static_cast<const char*>(buf) + put, n - put);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    put += static_cast<size_t>(w);
  }
}

// The grandchild: waits at the gate, then executes the program. Only
// async-signal-safe calls from here on.
[[noreturn]] void ProcHeld(int gateIn, int statusOut, const char* path, char* const* argv) {
  int lo = gateIn < statusOut ? gateIn : statusOut;
  int hi = gateIn < statusOut ? statusOut : gateIn;
  // Descriptors that other threads opened meanwhile go at once.
  ProcCloseRange(3, lo - 1);
  ProcCloseRange(lo + 1, hi - 1);
  ProcCloseRange(hi + 1, ~0u >> 1);
  char go = 0;
  ssize_t r;
  do {
    r = read(gateIn, &go, 1);
  } while (r < 0 && errno == EINTR);
  if (r != 1 || go != 'g') _exit(0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  // Both pipes are close-on-exec: the status pipe reads end of file when
  // the exec succeeds.
  execve(path, argv, environ);
  int err = errno;
  ProcWriteFull(statusOut, &err, sizeof err);
  _exit(127);
}

}  // namespace

std::vector<std::string> PlatCmdLineSplit(std::string_view cmd) {
  std::vector<std::string> args;
  size_t i = 0;
  size_t n = cmd.size();
  // The program name.
  std::string prog;
  bool quoted = false;
  for (; i < n; ++i) {
    char c = cmd[i];
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && ProcBlank(c)) break;
    prog.push_back(c);
  }
  args.push_back(prog);
  while (true) {
    while (i < n && ProcBlank(cmd[i])) ++i;
    if (i >= n) break;
    std::string arg;
    quoted = false;
    while (i < n) {
      char c = cmd[i];
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && cmd[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && cmd[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
          // An even count leaves the quote for the next round.
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && cmd[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && ProcBlank(c)) break;
      arg.push_back(c);
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

int PlatProcCreateSuspended(const char* cmdLine, PlatProc* proc) {
  if (cmdLine == nullptr || proc == nullptr) return EINVAL;
  std::vector<std::string> args = PlatCmdLineSplit(cmdLine);
  if (args.empty() || args[0].empty()) return EINVAL;
  std::string path;
  int rc = ProcFind(args[0], &path);
  if (rc != 0) return rc;
  // Everything the grandchild needs is made before the fork.
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int gate[2] = {-1, -1};
  int status[2] = {-1, -1};
  int pidPipe[2] = {-1, -1};
  if (pipe2(gate, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0 ||
      pipe2(pidPipe, O_CLOEXEC) != 0) {
    rc = errno;
    for (int* p : {gate, status, pidPipe}) {
      ProcCloseFd(&p[0]);
      ProcCloseFd(&p[1]);
    }
    return rc;
  }
  pid_t middle = fork();
  if (middle == 0) {
    pid_t held = fork();
    if (held == 0) ProcHeld(gate[0], status[1], path.c_str(), argv.data());
    int report = held > 0 ? static_cast<int>(held) : -errno;
    ProcWriteFull(pidPipe[1], &report, sizeof report);
    _exit(0);
  }
  rc = middle < 0 ? errno : 0;
  ProcCloseFd(&gate[0]);
  ProcCloseFd(&status[1]);
  ProcCloseFd(&pidPipe[1]);
  int report = 0;
  if (middle > 0) {
    if (ProcReadFull(pidPipe[0], &report, sizeof report) != sizeof report) report = -ECHILD;
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (report <= 0) rc = -report;
  }
  ProcCloseFd(&pidPipe[0]);
  if (rc != 0) {
    ProcCloseFd(&gate[1]);
    ProcCloseFd(&status[0]);
    return rc;
  }
  proc->pid = static_cast<pid_t>(report);
  proc->gate = gate[1];
  proc->status = status[0];
  return 0;
}

int PlatProcResume(PlatProc* proc) {
  if (proc == nullptr || proc->gate < 0) return EINVAL;
  char go = 'g';
  // A held process that was killed meanwhile must not raise SIGPIPE here.
  sigset_t pipeSet;
  sigset_t old;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  ssize_t w;
  do {
    w = write(proc->gate, &go, 1);
  } while (w < 0 && errno == EINTR);
  const int writeErr = w == 1 ? 0 : errno;
  if (writeErr == EPIPE) {
    struct timespec zero = {0, 0};
    sigtimedwait(&pipeSet, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ProcCloseFd(&proc->gate);
  if (w != 1) {
    // Nobody reads the gate: the held process ended without its program.
    ProcCloseFd(&proc->status);
    return writeErr == EPIPE || writeErr == 0 ? ESRCH : writeErr;
  }
  int err = 0;
  ssize_t got = ProcReadFull(proc->status, &err, sizeof err);
  ProcCloseFd(&proc->status);
  return got == sizeof err ? err : 0;
}

void PlatProcDiscard(PlatProc* proc) {
  if (proc == nullptr) return;
  ProcCloseFd(&proc->gate);
  ProcCloseFd(&proc->status);
}
