// Spawning ni_peer (peer_spawn.h).
#include "peers/peer_spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace peers {

std::string NiPeerPath() { return std::string(TOV_PEER_DIR) + "/ni_peer"; }
std::string GwPeerPath() { return std::string(TOV_PEER_DIR) + "/gw_peer"; }

PeerProcess::PeerProcess(const std::string& role, const std::vector<std::string>& args, int deadline_ms,
                         const std::string& program) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  std::vector<std::string> argv = {program.empty() ? NiPeerPath() : program, role};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("--parent");
  argv.push_back(std::to_string(getpid()));
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  if (posix_spawn(&pid_, cargv[0], &fa, nullptr, cargv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (pid_ < 0) return;

  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  while (line.find('\n') == std::string::npos) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    pollfd p{out_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return;
    char c[64];
    ssize_t n = read(out_, c, sizeof(c));
    if (n <= 0) return;
    line.append(c, static_cast<size_t>(n));
  }
  if (line.rfind("PORT ", 0) == 0) port_ = atoi(line.c_str() + 5);
}

bool PeerProcess::WaitExit(int ms, int* status) {
  if (pid_ <= 0) return false;
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd < 0) return false;
  pollfd p{pidfd, POLLIN, 0};
  bool ended = poll(&p, 1, ms) > 0;
  close(pidfd);
  if (!ended || waitpid(pid_, status, 0) != pid_) return false;
  pid_ = -1;
  return true;
}

bool PeerProcess::WaitLog(const std::string& prefix, int ms, std::string* line) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  size_t from = 0;
  for (;;) {
    for (size_t end; (end = log_.find('\n', from)) != std::string::npos; from = end + 1) {
      if (log_.compare(from, 4, "LOG ") == 0 && log_.compare(from + 4, prefix.size(), prefix) == 0) {
        if (line != nullptr) *line = log_.substr(from + 4, end - from - 4);
        return true;
      }
    }
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    pollfd p{err_, POLLIN, 0};
    if (err_ < 0 || left <= 0 || poll(&p, 1, left) <= 0) return false;
    char buf[4096];
    ssize_t n = read(err_, buf, sizeof(buf));
    if (n <= 0) return false;
    log_.append(buf, static_cast<size_t>(n));
  }
}

std::string PeerProcess::Stop() {
  std::string log = log_;
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (err_ >= 0) {
    char buf[4096];
    ssize_t n;
    while ((n = read(err_, buf, sizeof(buf))) > 0) log.append(buf, static_cast<size_t>(n));
    close(err_);
    err_ = -1;
  }
  if (out_ >= 0) {
    close(out_);
    out_ = -1;
  }
  return log;
}

PeerProcess::~PeerProcess() { Stop(); }

}  // namespace peers
