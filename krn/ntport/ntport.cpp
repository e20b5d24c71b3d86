// Socket start, system version, parent process id, bounded copy and the
// process's argument vector.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "krn/ntport/ntport.h"
#include "krn/ntport/ntport_int.h"
#include "krn/rscp/rscpu.h"

namespace {

// Guards the cached argument vector; a leaf: nothing is called under it
// but the allocator and the file reads of the command line.
std::mutex g_argvMtx;
WEQ_UC** g_argv = nullptr;
int g_argc = 0;

// The raw command line: NUL-separated arguments.
bool ReadCommandLine(std::string* out) {
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    out->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

void FreeVector(WEQ_UC** v) {
  if (v == nullptr) return;
  for (WEQ_UC** p = v; *p != nullptr; ++p) free(*p);
  free(v);
}

// One argument as a zero-filled heap string; invalid UTF-8, also a
// sequence cut short at its end, becomes U+FFFD.
WEQ_UC* ConvertArgument(const char* arg, size_t len) {
  // A UTF-8 byte never gives more than one unit; +1 for a trailing
  // replacement, +1 for the terminator.
  WEQ_UC* s = static_cast<WEQ_UC*>(calloc(len + 2, sizeof(WEQ_UC)));
  if (s == nullptr) return nullptr;
  int out = 0;
  int rc = Utf8nToU16n(s, static_cast<int>(len + 1), &out, arg, static_cast<int>(len));
  if (rc == RSCPU_SRC_PARTIAL) s[out++] = 0xFFFD;
  s[out] = 0;
  return s;
}

}  // namespace

// Sockets need no start here, and no protocol entry offers quality of
// service, so the set-up ends at once with quality of service off; there is
// nothing to remember between calls.
int SiQosInit(void) { return 0; }

int SiQosActive(void) { return 0; }

int NT_OsVersionCheck(void) { return 0; }

long NT_getppid(void) {
  const char* v = getenv("PPID");
  if (v == nullptr) return 0;
  char digits[20];
  size_t n = strnlen(v, sizeof digits - 1);
  memcpy(digits, v, n);
  digits[n] = 0;
  return strtol(digits, nullptr, 10);
}

size_t NT_wcsncpyn(WEQ_UC* dst, const WEQ_UC* src, size_t count) {
  size_t n = 0;
  while (n < count) {
    dst[n] = src[n];
    ++n;
    if (src[n - 1] == 0) break;
  }
  return n;
}

WEQ_UC** NT_GetArgv(int* argc) {
  std::lock_guard<std::mutex> lock(g_argvMtx);
  if (g_argv == nullptr) {
    std::string line;
    if (!ReadCommandLine(&line)) {
      if (argc) *argc = 0;
      return nullptr;
    }
    size_t count = 0;
    for (char c : line) count += c == 0;
    if (!line.empty() && line.back() != 0) ++count;  // a last argument without its NUL
    WEQ_UC** v = static_cast<WEQ_UC**>(calloc(count + 1, sizeof(WEQ_UC*)));
    bool ok = v != nullptr;
    for (size_t i = 0, at = 0; ok && i < count; ++i) {
      size_t len = strnlen(line.data() + at, line.size() - at);
      v[i] = ConvertArgument(line.data() + at, len);
      ok = v[i] != nullptr;
      at += len + 1;
    }
    if (!ok) {
      FreeVector(v);
      if (argc) *argc = 0;
      return nullptr;
    }
    g_argv = v;
    g_argc = static_cast<int>(count);
  }
  if (argc) *argc = g_argc;
  return g_argv;
}

void NT_FreeArgv(void) {
  std::lock_guard<std::mutex> lock(g_argvMtx);
  FreeVector(g_argv);
  g_argv = nullptr;
  g_argc = 0;
}
