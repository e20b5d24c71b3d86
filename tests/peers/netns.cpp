// Network namespace runner of netns.h.
#include "peers/netns.h"

#include <net/if.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace peers {

namespace {

constexpr int kNoNamespace = 90;

bool LoopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq ifr{};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool NetnsAvailable() {
  static const bool available = RunInNetns([] { return 0; }, 10).exit_code == 0;
  return available;
}

tovtest::ChildResult RunInNetns(const std::function<int()>& fn, int timeout_s) {
  return tovtest::RunInChild(
      [&fn] {
        if (unshare(CLONE_NEWNET) != 0 || !LoopbackUp()) return kNoNamespace;
        return fn();
      },
      timeout_s);
}

}  // namespace peers
