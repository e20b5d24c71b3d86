// Running ms_peer for a test: the scenario written to a private directory,
// the peer started through the spawn helper with its log file there, the
// log read back as events (with a deadline), and the peer's control lines.
#ifndef TESTS_PEERS_MSPEER_RUN_H
#define TESTS_PEERS_MSPEER_RUN_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "peers/peer_spawn.h"
#include "support/testsupport.h"

namespace mspeer {

// One line of the peer's log: its event word and its key=value fields.
struct Event {
  std::string what;
  std::map<std::string, std::string> f;
  std::string line;
  // A field, or "" when the line has none.
  const std::string& operator[](const std::string& key) const;
  long Num(const std::string& key) const;  // a numeric field (0 when missing)
};

class MsPeer {
 public:
  // Starts ms_peer with the scenario text, the fault specs and the address
  // family (4 or 6); more arguments go behind.
  explicit MsPeer(const std::string& scenario = "", const std::vector<std::string>& faults = {}, int family = 4,
                  const std::vector<std::string>& more = {});

  bool ok() const { return proc_->ok(); }
  int port() const { return proc_->port(); }
  std::u16string Host() const { return family_ == 6 ? u"::1" : u"127.0.0.1"; }
  std::u16string Serv() const;

  // A control line ("fault login:drop", "stats"); its answer, "" on
  // time-out.
  std::string Control(const std::string& line) { return proc_->Control(line); }
  // Adds a fault and returns whether the peer took it.
  bool Fault(const std::string& spec);

  // The events logged so far.
  std::vector<Event> Log() const;
  // The events of one kind ("IN", "OUT", "CONN" ...), optionally only those
  // whose field key has value.
  std::vector<Event> Events(const std::string& what, const std::string& key = "",
                            const std::string& value = "") const;
  // Waits up to ms until pred holds for the log; false on time-out.
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred, int ms = 5000) const;
  // Waits until at least n events of the kind (and field value) are there.
  bool WaitCount(size_t n, const std::string& what, const std::string& key = "", const std::string& value = "",
                 int ms = 5000) const;

  std::string LogPath() const { return dir_.File("ms_peer.log"); }

 private:
  tovtest::TempDir dir_;
  int family_;
  std::unique_ptr<peers::PeerProcess> proc_;
};

// Filters events by a field value.
std::vector<Event> Where(const std::vector<Event>& events, const std::string& what, const std::string& key = "",
                         const std::string& value = "");

}  // namespace mspeer

#endif
