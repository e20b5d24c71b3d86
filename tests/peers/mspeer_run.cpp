// Running ms_peer (mspeer_run.h).
#include "peers/mspeer_run.h"

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <thread>

namespace mspeer {

namespace {
const std::string kNone;
}

const std::string& Event::operator[](const std::string& key) const {
  auto it = f.find(key);
  return it == f.end() ? kNone : it->second;
}

long Event::Num(const std::string& key) const { return atol((*this)[key].c_str()); }

MsPeer::MsPeer(const std::string& scenario, const std::vector<std::string>& faults, int family,
               const std::vector<std::string>& more)
    : family_(family) {
  std::string scen = dir_.File("scenario");
  tovtest::WriteFile(scen, scenario);
  std::vector<std::string> args = {"--family", std::to_string(family), "--scenario", scen, "--log", LogPath()};
  for (const std::string& f : faults) {
    args.push_back("--fault");
    args.push_back(f);
  }
  args.insert(args.end(), more.begin(), more.end());
  proc_ = std::make_unique<peers::PeerProcess>("serve", args, 5000, peers::MsPeerPath());
}

std::u16string MsPeer::Serv() const { return tovtest::FromUtf8(std::to_string(port())); }

bool MsPeer::Fault(const std::string& spec) { return Control("fault " + spec).rfind("ACK ", 0) == 0; }

std::vector<Event> MsPeer::Log() const {
  std::vector<Event> out;
  std::string data = tovtest::ReadFile(LogPath());
  for (size_t start = 0, nl; start < data.size(); start = nl + 1) {
    nl = data.find('\n', start);
    if (nl == std::string::npos) break;  // a line still being written
    std::string line = data.substr(start, nl - start);
    Event e;
    e.line = line;
    size_t p = line.find(' ');  // behind the time
    if (p == std::string::npos) continue;
    size_t q = line.find(' ', p + 1);
    e.what = line.substr(p + 1, q == std::string::npos ? std::string::npos : q - p - 1);
    while (q != std::string::npos) {
      size_t r = line.find(' ', q + 1);
      std::string kv = line.substr(q + 1, r == std::string::npos ? std::string::npos : r - q - 1);
      size_t eq = kv.find('=');
      if (eq != std::string::npos) e.f[kv.substr(0, eq)] = kv.substr(eq + 1);
      q = r;
    }
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<Event> Where(const std::vector<Event>& events, const std::string& what, const std::string& key,
                         const std::string& value) {
  std::vector<Event> out;
  for (const Event& e : events)
    if (e.what == what && (key.empty() || e[key] == value)) out.push_back(e);
  return out;
}

std::vector<Event> MsPeer::Events(const std::string& what, const std::string& key, const std::string& value) const {
  return Where(Log(), what, key, value);
}

bool MsPeer::WaitFor(const std::function<bool(const std::vector<Event>&)>& pred, int ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (pred(Log())) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // The log is a file the peer appends to; read it again shortly.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool MsPeer::WaitCount(size_t n, const std::string& what, const std::string& key, const std::string& value,
                       int ms) const {
  return WaitFor([&](const std::vector<Event>& l) { return Where(l, what, key, value).size() >= n; }, ms);
}

}  // namespace mspeer
