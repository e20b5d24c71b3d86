// The NI framing as the test's own end of a connection sees it: each
// message is a 4-byte big-endian length (top bit clear) and the data. The
// keep-alive messages are the framed 8 bytes "NI_PING\0" and "NI_PONG\0".
#ifndef TESTS_PEERS_NIFRAME_H
#define TESTS_PEERS_NIFRAME_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace peers {

extern const std::string kNiPing;  // the 8 bytes, NUL included
extern const std::string kNiPong;

// Header and data of one message.
std::string FrameEncode(const std::string& data);

// An incremental parser: bytes in any cuts, whole messages out. A header
// with the top bit set stops it (bad() then stays true).
class FrameParser {
 public:
  void Feed(const void* data, size_t len);
  // Takes the oldest whole message; false when none is complete.
  bool Next(std::string* msg);
  size_t pending() const { return frames_.size(); }
  bool bad() const { return bad_; }
  // Bytes of a message begun but not complete.
  size_t partial() const { return buf_.size(); }

 private:
  std::string buf_;
  std::vector<std::string> frames_;
  size_t head_ = 0;
  bool bad_ = false;
};

// Sends all bytes (blocking); false on failure.
bool SendAll(int fd, const void* data, size_t len);

// One message on a blocking descriptor: header and data gathered into one
// sendmsg, continued after partial sends; false on failure.
bool SendFrame(int fd, const void* data, size_t len);

// Reads exactly one message from a blocking descriptor into *data (its
// capacity kept); false on close, failure or a bad header.
bool ReadFrame(int fd, std::string* data);

// Reads from fd into the parser until it holds a whole message or
// deadline_ms passes (< 0: no limit); the message goes to *msg. False on
// time-out, close or a bad header, and when wake_fd (if not -1) becomes
// readable first: the caller reads it.
bool RecvFrame(int fd, FrameParser* parser, std::string* msg, int deadline_ms, int wake_fd = -1);

}  // namespace peers

#endif
