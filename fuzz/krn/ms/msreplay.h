// An in-process loopback server for the fuzz targets of the message server
// client: it accepts one connection per round and replays a script on it,
// each step waiting for one framed message of the client (or not) and then
// sending its bytes as they are, framing included. Built on the peers'
// framing and message server codecs; nothing of the library. The server
// sleeps in poll() on its descriptors and a wake-up pipe, so that a round
// costs no more than its exchanges: Play and Finish wake it at once.
#ifndef FUZZ_KRN_MS_MSREPLAY_H
#define FUZZ_KRN_MS_MSREPLAY_H

#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace peers {
class FrameParser;
}

namespace msreplay {

struct Step {
  bool await = true;  // wait for one client message first
  std::string bytes;  // sent raw
};

class Server {
 public:
  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool ok() const { return listener_ >= 0; }
  uint16_t port() const { return port_; }
  std::u16string Serv() const;

  // Starts a round with its script: every connection that comes during the
  // round (a client may reconnect, as the old login and the version retry
  // do) takes the steps that are left. After the last step the server reads
  // (and keeps) what the client sends until it closes, or closes itself
  // when closeAtEnd is set.
  void Play(const std::vector<Step>& steps, bool closeAtEnd = false);
  // Ends the round: the connection being served is closed (a step that
  // waits for the client gives up) and the server waits for the next
  // round; returns the client messages read. Waits at most ms for that.
  std::vector<std::string> Finish(int ms = 2000);

 private:
  void Loop();
  void Serve(int fd);
  bool Armed();
  void Wake();
  // Waits until fd is readable (true), or the wake-up pipe was written or
  // ms passed (false; ms < 0 waits without end).
  bool WaitReadable(int fd, int ms);
  // Empties the wake-up pipe; true when it held a wake-up.
  bool DrainWake();
  // One client message into *msg within ms (< 0: no limit); false on close,
  // a bad header, time-out or the end of the round.
  bool Receive(int fd, peers::FrameParser* parser, std::string* msg, int ms);

  int listener_ = -1;
  int wake_[2] = {-1, -1};  // read end, write end
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool quit_ = false;
  bool armed_ = false;
  bool done_ = true;
  bool closeAtEnd_ = false;
  std::vector<Step> steps_;
  size_t next_ = 0;  // the next step of the round
  std::vector<std::string> received_;
};

// A framed login answer from MSG_SERVER to toname (layout 4, version 4).
std::string LoginAnswer(const std::string& toname = "-");
// A framed message of layout 4 from MSG_SERVER: msflag, iflag, the data.
std::string Message(uint8_t msflag, uint8_t iflag, const std::string& data, const std::string& toname = "-",
                    int8_t mserrno = 0);

}  // namespace msreplay

#endif
