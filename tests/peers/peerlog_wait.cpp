// The test's reading of a running peer's log (peerlog.h).
#include <chrono>

#include "peers/peer_spawn.h"
#include "peers/peerlog.h"

namespace peers {

bool PeerLog::Next(LogLine* out, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (next_ >= lines_.size()) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    std::string raw;
    if (left < 0 || !peer_.ReadLine(&raw, left)) return false;
    LogLine l;
    if (ParseLogLine(raw, &l)) lines_.push_back(std::move(l));
  }
  *out = lines_[next_++];
  return true;
}

bool PeerLog::Wait(const std::string& dir, const std::string& kind, LogLine* out, int ms, const std::string& key,
                   const std::string& value) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    LogLine l;
    if (!Next(&l, left < 0 ? 0 : left)) return false;
    if (l.dir == dir && l.kind == kind && (key.empty() || l.get(key) == value)) {
      if (out != nullptr) *out = l;
      return true;
    }
  }
}

std::string PeerLog::Text() const {
  std::string out;
  for (const LogLine& l : lines_) out += l.raw + "\n";
  return out;
}

bool PeerLog::Control(const std::string& line) { return peer_.WriteLine(line); }

}  // namespace peers
