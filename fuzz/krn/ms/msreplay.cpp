// The replay server of msreplay.h over POSIX sockets.
#include "msreplay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "peers/mscodec.h"
#include "peers/niframe.h"

namespace msreplay {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Server::Server() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (fd >= 0) close(fd);
    return;
  }
  listener_ = fd;
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this] { Loop(); });
}

Server::~Server() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  cv_.notify_all();
  Wake();
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

std::u16string Server::Serv() const {
  std::string s = std::to_string(port_);
  return std::u16string(s.begin(), s.end());
}

void Server::Play(const std::vector<Step>& steps, bool closeAtEnd) {
  std::lock_guard<std::mutex> lock(mu_);
  steps_ = steps;
  next_ = 0;
  closeAtEnd_ = closeAtEnd;
  received_.clear();
  armed_ = true;
  done_ = false;
  cv_.notify_all();
}

std::vector<std::string> Server::Finish(int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  armed_ = false;
  cv_.notify_all();
  Wake();
  cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; });
  return received_;
}

bool Server::Armed() {
  std::lock_guard<std::mutex> lock(mu_);
  return armed_ && !quit_;
}

void Server::Wake() {
  if (wake_[1] >= 0) (void)!write(wake_[1], "w", 1);  // a full pipe wakes as well
}

bool Server::WaitReadable(int fd, int ms) {
  pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  if (poll(p, 2, ms) <= 0) return false;
  if (p[1].revents != 0) DrainWake();
  return p[0].revents != 0;
}

bool Server::DrainWake() {
  char drain[64];
  bool woken = false;
  while (read(wake_[0], drain, sizeof drain) > 0) woken = true;
  return woken;
}

bool Server::Receive(int fd, peers::FrameParser* parser, std::string* msg, int ms) {
  const int64_t end = NowMs() + ms;
  for (;;) {
    if (parser->Next(msg)) return true;
    // Checked before each wait: a wake-up that Finish wrote may have been
    // taken already.
    if (!Armed()) return false;
    const int64_t left = ms < 0 ? -1 : end - NowMs();
    if (ms >= 0 && left < 0) return false;
    if (peers::RecvFrame(fd, parser, msg, static_cast<int>(left), wake_[0])) return true;
    // Closed, a bad header or the time-out end the wait; a wake-up goes
    // round again.
    if (!DrainWake()) return false;
  }
}

void Server::Loop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return quit_ || armed_; });
      if (quit_) return;
    }
    while (Armed()) {
      if (!WaitReadable(listener_, -1)) continue;
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Serve(fd);
      close(fd);
    }
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
    cv_.notify_all();
  }
}

void Server::Serve(int fd) {
  peers::FrameParser parser;
  std::string msg;
  auto keep = [&](const std::string& m) {
    std::lock_guard<std::mutex> lock(mu_);
    received_.push_back(m);
  };
  for (;;) {
    Step s;
    bool closeAtEnd;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (next_ >= steps_.size()) break;
      s = steps_[next_++];
      closeAtEnd = closeAtEnd_;
    }
    if (s.await) {
      if (!Receive(fd, &parser, &msg, 1000)) return;
      keep(msg);
    }
    if (!s.bytes.empty() && !peers::SendAll(fd, s.bytes.data(), s.bytes.size())) return;
    std::lock_guard<std::mutex> lock(mu_);
    if (closeAtEnd && next_ >= steps_.size()) return;
  }
  // The rest of the round: keep what comes until the client closes.
  while (Receive(fd, &parser, &msg, -1)) keep(msg);
}

std::string Message(uint8_t msflag, uint8_t iflag, const std::string& data, const std::string& toname,
                    int8_t mserrno) {
  mspeer::Header h;
  h.msflag = msflag;
  h.iflag = iflag;
  h.toname = toname;
  h.fromname = "MSG_SERVER";
  h.mserrno = mserrno;
  return peers::FrameEncode(mspeer::Encode(h, data, 4));
}

std::string LoginAnswer(const std::string& toname) { return Message(mspeer::kMsgReply, mspeer::kOpLogin, "", toname); }

}  // namespace msreplay
