// The log lines of the protocol peers and the test's reading of them. A
// peer writes one line per frame in or out, and per event, on standard
// output:
//
//   <DIR> <KIND> key=value key=value ...
//
// DIR is IN, OUT or EVENT; values are escaped so that a line splits at
// blanks: a blank, '%', '=' and every byte outside 0x21..0x7E become %XX.
// Byte strings are logged as lower-case hex. A test reads the lines with
// a deadline and waits for the one it needs; nothing here sleeps.
#ifndef TESTS_PEERS_PEERLOG_H
#define TESTS_PEERS_PEERLOG_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace peers {

class PeerProcess;

std::string LogEscape(const std::string& raw);
std::string LogUnescape(const std::string& value);
std::string HexOf(const std::string& bytes);
std::string FromHex(const std::string& hex);

// One line as a peer writes it.
class LogOut {
 public:
  LogOut(const char* dir, const char* kind);
  LogOut& Text(const std::string& key, const std::string& value);
  LogOut& Num(const std::string& key, long long value);
  LogOut& Hex(const std::string& key, const std::string& bytes);
  LogOut& Flag(const std::string& key, int value) { return Num(key, value); }
  const std::string& str() const { return line_; }

 private:
  std::string line_;
};

// One line as a test reads it.
struct LogLine {
  std::string dir, kind, raw;
  std::map<std::string, std::string> f;  // unescaped values

  bool has(const std::string& key) const { return f.count(key) != 0; }
  // The value, or "" when the line has none.
  std::string get(const std::string& key) const;
  // The value as a number (decimal or 0x hex), or def.
  long long num(const std::string& key, long long def = -999999) const;
};

bool ParseLogLine(const std::string& line, LogLine* out);

// The log of a running peer: lines in the order written, read on demand.
class PeerLog {
 public:
  explicit PeerLog(PeerProcess& peer) : peer_(peer) {}

  // The next line not yet handed out by Next, within ms.
  bool Next(LogLine* out, int ms);
  // The first line from the read position on with this direction and kind
  // (and, when given, whose key has value) within ms; lines passed over
  // stay in lines().
  bool Wait(const std::string& dir, const std::string& kind, LogLine* out, int ms, const std::string& key = "",
            const std::string& value = "");
  // Every line read so far, and the whole log as text for messages.
  const std::vector<LogLine>& lines() const { return lines_; }
  std::string Text() const;
  // Writes one control line to the peer.
  bool Control(const std::string& line);

 private:
  PeerProcess& peer_;
  std::vector<LogLine> lines_;
  size_t next_ = 0;
};

}  // namespace peers

#endif
