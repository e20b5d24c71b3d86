// Connected TCP pairs over loopback for the select set tests: one end for
// the code under test, one for the test to write to, reset or close.
#ifndef TESTS_PEERS_TCP_PAIR_H
#define TESTS_PEERS_TCP_PAIR_H

#include "peers/peers.h"

namespace peers {

// Connects a fresh socket to a fresh loopback listener and accepts it
// within deadline_ms; false when any step fails.
bool TcpPair(int family, Fd* ours, Fd* theirs, int deadline_ms = 5000);

// Waits up to deadline_ms until poll reports any of events on fd; returns
// the returned events (0 when the deadline passed).
short WaitEvents(int fd, short events, int deadline_ms);

}  // namespace peers

#endif
