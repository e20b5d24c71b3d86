// Starting a peer program for a test: one helper that spawns it with a role
// and its switches, reads "PORT <n>" within a deadline, hands the test the
// peer's further standard output line by line, writes control lines to its
// standard input (also as a request that waits for its acknowledgement),
// and kills and reaps it when the test is done.
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

  // Kills and reaps the peer now; returns what it logged on standard
  // error. Called by the destructor otherwise.
  std::string Stop();

  // The next line of the peer's standard output (without its newline)
  // within ms; false on time-out or when the peer closed it.
  bool ReadLine(std::string* line, int ms);
  // Writes one line (a newline is added) to the peer's standard input.
  bool WriteLine(const std::string& line);
  // Writes one control line to the peer's standard input and waits up to
  // deadline_ms for its answer on standard output, a line that begins with
  // "ACK <line>" or "NAK <line>"; returns that answer, empty on time-out.
  std::string Control(const std::string& line, int deadline_ms = 5000);

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int in_ = -1;   // the peer's standard input
  int out_ = -1;  // the peer's standard output
  int err_ = -1;  // the peer's standard error
  std::string outBuf_;  // standard output read but not yet handed out
};

// Paths of the peer programs of this build.
std::string NiPeerPath();
std::string GwPeerPath();
std::string MsPeerPath();

}  // namespace peers

#endif
