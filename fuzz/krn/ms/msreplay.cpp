// The replay server of msreplay.h over POSIX sockets.
#include "msreplay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "peers/mscodec.h"
#include "peers/niframe.h"

namespace msreplay {

namespace {

// Reads one client message within ms into *msg; false on close or time-out.
bool ReadMessage(int fd, peers::FrameParser* parser, std::string* msg, int ms) {
  return peers::RecvFrame(fd, parser, msg, ms);
}

}  // namespace

Server::Server() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
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
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
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
  cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; });
  return received_;
}

bool Server::Armed() {
  std::lock_guard<std::mutex> lock(mu_);
  return armed_ && !quit_;
}

void Server::Loop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return quit_ || armed_; });
      if (quit_) return;
    }
    pollfd p{listener_, POLLIN, 0};
    while (Armed()) {
      if (poll(&p, 1, 2) <= 0) continue;
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
      if (!ReadMessage(fd, &parser, &msg, 1000)) return;
      keep(msg);
    }
    if (!s.bytes.empty() && !peers::SendAll(fd, s.bytes.data(), s.bytes.size())) return;
    std::lock_guard<std::mutex> lock(mu_);
    if (closeAtEnd && next_ >= steps_.size()) return;
  }
  // The rest of the round: keep what comes until the client closes.
  for (;;) {
    if (ReadMessage(fd, &parser, &msg, 2)) {
      keep(msg);
      continue;
    }
    if (parser.bad() || !Armed()) return;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
      char c;
      if (recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return;  // closed
    }
  }
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
