// Starting ni_peer for a test: one helper that spawns it with a role and
// its switches, reads "PORT <n>" within a deadline, and kills and reaps it
// when the test is done.
#ifndef TESTS_PEERS_PEER_SPAWN_H
#define TESTS_PEERS_PEER_SPAWN_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace peers {

class PeerProcess {
 public:
  // Starts ni_peer with role and extra arguments ("--family", "6", ...);
  // port 0 on loopback unless the arguments say otherwise. Waits at most
  // deadline_ms for its "PORT" line; ok() tells whether it came.
  // program: the peer program's path; empty for ni_peer.
  PeerProcess(const std::string& role, const std::vector<std::string>& args = {}, int deadline_ms = 5000,
              const std::string& program = "");
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // Waits up to ms for the peer to end by itself and reaps it: true when it
  // did, with its exit status in *status.
  bool WaitExit(int ms, int* status);

  // Waits up to ms for a line "LOG <prefix>..." on the peer's standard
  // error (lines read earlier count too): true with the text after "LOG "
  // in *line.
  bool WaitLog(const std::string& prefix, int ms, std::string* line = nullptr);

  // Kills and reaps the peer now; returns what it logged on standard
  // error. Called by the destructor otherwise.
  std::string Stop();

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int out_ = -1;  // the peer's standard output
  int err_ = -1;  // the peer's standard error
  std::string log_;  // read from it so far
};

// Paths of the ni_peer and gw_peer programs of this build.
std::string NiPeerPath();
std::string GwPeerPath();

}  // namespace peers

#endif
