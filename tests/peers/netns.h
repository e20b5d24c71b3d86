// Network namespaces made by a test: a child process in a fresh namespace
// whose only interface is its own loopback, brought up. Nothing there
// reaches any network outside it.
#ifndef TESTS_PEERS_NETNS_H
#define TESTS_PEERS_NETNS_H

#include <functional>

#include "support/testsupport.h"

namespace peers {

// Whether this process may make network namespaces (asked once, in a
// child).
bool NetnsAvailable();

// Runs fn in a forked child inside a new network namespace with its
// loopback up (127.0.0.1 and ::1); the child's exit code is fn's result,
// or 90 when the namespace could not be made. Killed after timeout_s.
tovtest::ChildResult RunInNetns(const std::function<int()>& fn, int timeout_s = 30);

}  // namespace peers

#endif
