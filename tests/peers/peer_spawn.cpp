// Spawning the peer programs (peer_spawn.h).
#include "peers/peer_spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
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
std::string MsPeerPath() { return std::string(TOV_PEER_DIR) + "/ms_peer"; }

PeerProcess::PeerProcess(const std::string& role, const std::vector<std::string>& args, int deadline_ms,
                         const std::string& program) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
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
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  if (posix_spawn(&pid_, cargv[0], &fa, nullptr, cargv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  out_ = out[0];
  err_ = err[0];
  in_ = in[1];
  if (pid_ < 0) return;
  // A peer that ends early must not end the test by a broken pipe.
  signal(SIGPIPE, SIG_IGN);

  std::string line;
  if (ReadLine(&line, deadline_ms) && line.rfind("PORT ", 0) == 0) port_ = atoi(line.c_str() + 5);
}

bool PeerProcess::ReadLine(std::string* line, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    size_t nl = outBuf_.find('\n');
    if (nl != std::string::npos) {
      *line = outBuf_.substr(0, nl);
      outBuf_.erase(0, nl + 1);
      return true;
    }
    if (out_ < 0) return false;
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    pollfd p{out_, POLLIN, 0};
    int r = poll(&p, 1, left < 0 ? 0 : left);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char c[4096];
    ssize_t n = read(out_, c, sizeof(c));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    outBuf_.append(c, static_cast<size_t>(n));
  }
}

bool PeerProcess::WriteLine(const std::string& line) {
  if (in_ < 0) return false;
  std::string l = line + "\n";
  size_t done = 0;
  while (done < l.size()) {
    ssize_t n = write(in_, l.data() + done, l.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string PeerProcess::Control(const std::string& line, int deadline_ms) {
  if (!WriteLine(line)) return "";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  // Lines before the answer (log lines of a peer that logs to standard
  // output) are passed over.
  for (std::string answer;;) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0 || !ReadLine(&answer, left)) return "";
    if (answer.rfind("ACK " + line, 0) == 0 || answer.rfind("NAK " + line, 0) == 0) return answer;
  }
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

std::string PeerProcess::Stop() {
  std::string log;
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
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
  return log;
}

PeerProcess::~PeerProcess() { Stop(); }

}  // namespace peers
