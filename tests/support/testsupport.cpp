#include "support/testsupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace tovtest {

std::u16string FromUtf8(const std::string& s) {
  std::u16string out;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int need = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    char32_t cp = need == 0 ? b : need == 1 ? (b & 0x1F) : need == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = need >= 0;
    for (int k = 1; ok && k <= need; ++k) {
      if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
        ok = false;
      } else {
        cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
      }
    }
    if (!ok) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    i += need + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string ToUtf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string Show(const std::u16string& s) {
  std::string out;
  char buf[8];
  for (char16_t c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out;
}

std::string Show(const char16_t* s) { return s ? Show(std::u16string(s)) : "(null)"; }

namespace {

void Drain(int fd, std::string* into) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) into->append(buf, static_cast<size_t>(n));
}

}  // namespace

ChildResult RunInChild(const std::function<int()>& fn, int timeout_s) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    int rc = fn();
    std::fflush(nullptr);
    _exit(rc);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  ChildResult r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    int n = poll(fds, 2, left);
    if (n < 0) continue;
    for (int k = 0; k < 2; ++k) {
      if (!fds[k].revents) continue;
      std::string* into = k == 0 ? &r.out : &r.err;
      char buf[4096];
      ssize_t got = read(fds[k].fd, buf, sizeof buf);
      if (got > 0) {
        into->append(buf, static_cast<size_t>(got));
      } else {
        (k == 0 ? out_open : err_open) = false;
      }
    }
  }
  Drain(out_pipe[0], &r.out);
  Drain(err_pipe[0], &r.err);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    r.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.signal = WTERMSIG(status);
  }
  return r;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tovtest.XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Filter(const std::string& cmd, const std::string& input, int* status) {
  TempDir dir;
  WriteFile(dir.File("in"), input);
  const int st = std::system((cmd + " <" + dir.File("in") + " >" + dir.File("out")).c_str());
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return ReadFile(dir.File("out"));
}

CaptureFd::CaptureFd(int fd) : fd_(fd) {
  char name[] = "/tmp/tovcapture.XXXXXX";
  file_ = mkstemp(name);
  if (file_ < 0) throw std::runtime_error("mkstemp");
  unlink(name);
  std::fflush(nullptr);
  saved_ = dup(fd_);
  if (saved_ < 0 || dup2(file_, fd_) < 0) throw std::runtime_error("dup");
}

CaptureFd::~CaptureFd() {
  if (saved_ >= 0) Take();
  if (file_ >= 0) close(file_);
}

std::string CaptureFd::Take() {
  if (saved_ < 0) return {};
  std::fflush(nullptr);
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
  std::string out;
  char buf[4096];
  ssize_t n;
  off_t at = 0;
  while ((n = pread(file_, buf, sizeof buf, at)) > 0) {
    out.append(buf, static_cast<size_t>(n));
    at += n;
  }
  return out;
}

int HeavyFactor() {
  const char* v = getenv("TOV_TEST_HEAVY");
  int f = v ? atoi(v) : 1;
  return f > 0 ? f : 1;
}

}  // namespace tovtest
