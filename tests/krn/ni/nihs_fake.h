// A resolver with fixed answers and call counts, and a seconds clock the
// test moves, for the host and service cache tests. Installed by a
// FakeScope; the answers live in process-wide maps (the resolver table takes
// plain functions).
#ifndef TESTS_KRN_NI_NIHS_FAKE_H
#define TESTS_KRN_NI_NIHS_FAKE_H

#include <arpa/inet.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "krn/ni/nihs_int.h"

namespace nihsfake {

struct Host {
  std::vector<NI_NODEADDR> addrs;
  std::u16string canon;
};

struct State {
  std::mutex mu;
  std::map<std::u16string, Host> hosts;
  std::map<std::string, std::u16string> names;  // 16 address bytes -> name
  std::map<std::u16string, uint16_t> servs;     // name -> port (network order)
  std::map<uint16_t, std::u16string> ports;     // port (network order) -> name
  std::atomic<int> byName{0}, byAddr{0}, servByName{0}, servByPort{0};
  // Runs inside a resolver call, with the cache's mutex released.
  std::function<void()> during;
};

inline State& S() {
  static State s;
  return s;
}

inline std::atomic<int64_t>& Now() {
  static std::atomic<int64_t> now{1700000000};
  return now;
}

inline std::string Key(const NI_NODEADDR& a) {
  return std::string(reinterpret_cast<const char*>(a.addr), 16);
}

inline NI_NODEADDR V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  NI_NODEADDR n{};
  n.addr[10] = n.addr[11] = 0xFF;
  n.addr[12] = a;
  n.addr[13] = b;
  n.addr[14] = c;
  n.addr[15] = d;
  return n;
}

inline NI_NODEADDR V6(uint16_t first, uint16_t last) {
  NI_NODEADDR n{};
  n.addr[0] = static_cast<WEQ_RAW>(first >> 8);
  n.addr[1] = static_cast<WEQ_RAW>(first);
  n.addr[14] = static_cast<WEQ_RAW>(last >> 8);
  n.addr[15] = static_cast<WEQ_RAW>(last);
  return n;
}

inline void RunDuring() {
  std::function<void()> f;
  {
    std::lock_guard<std::mutex> l(S().mu);
    f = S().during;
  }
  if (f) f();
}

inline NI_RC HostByName(const WEQ_UC* name, int ipv4Only, int, NI_NODEADDR* addrs, int* count, WEQ_UC* canon,
                        int canonLen, CTRC_HDL) {
  ++S().byName;
  RunDuring();
  std::lock_guard<std::mutex> l(S().mu);
  int capacity = *count;
  *count = 0;
  auto it = S().hosts.find(name);
  if (it == S().hosts.end()) return NIEHOST_UNKNOWN;
  int total = 0;
  for (const NI_NODEADDR& a : it->second.addrs) {
    if (ipv4Only && !NiIIsMapped(a)) continue;
    if (total < capacity) addrs[total] = a;
    ++total;
  }
  if (canon != nullptr && canonLen > 0) {
    std::u16string c = it->second.canon.substr(0, static_cast<size_t>(canonLen - 1));
    memcpy(canon, c.c_str(), (c.size() + 1) * sizeof(WEQ_UC));
  }
  *count = total;
  if (total == 0) return NIEHOST_UNKNOWN;
  return total > capacity ? NIETOO_SMALL : WEQ_O_K;
}

inline NI_RC HostByAddr(const NI_NODEADDR* a, int, WEQ_UC* name, int len, CTRC_HDL) {
  ++S().byAddr;
  RunDuring();
  std::lock_guard<std::mutex> l(S().mu);
  auto it = S().names.find(Key(*a));
  if (it == S().names.end()) return NIEHOST_UNKNOWN;
  if (static_cast<int>(it->second.size()) >= len) return NIETOO_SMALL;
  memcpy(name, it->second.c_str(), (it->second.size() + 1) * sizeof(WEQ_UC));
  return WEQ_O_K;
}

inline NI_RC ServByName(const WEQ_UC* name, uint16_t* port, CTRC_HDL) {
  ++S().servByName;
  RunDuring();
  std::lock_guard<std::mutex> l(S().mu);
  auto it = S().servs.find(name);
  if (it == S().servs.end()) return NIESERV_UNKNOWN;
  *port = it->second;
  return WEQ_O_K;
}

inline NI_RC ServByPort(uint16_t port, WEQ_UC* name, int len, CTRC_HDL) {
  ++S().servByPort;
  RunDuring();
  std::lock_guard<std::mutex> l(S().mu);
  auto it = S().ports.find(port);
  if (it == S().ports.end()) return NIESERV_UNKNOWN;
  if (static_cast<int>(it->second.size()) >= len) return NIETOO_SMALL;
  memcpy(name, it->second.c_str(), (it->second.size() + 1) * sizeof(WEQ_UC));
  return WEQ_O_K;
}

inline int64_t Clock() { return Now().load(); }

// Installs the fake resolver and clock with empty answers; the destructor
// restores the system's and drops the caches.
struct FakeScope {
  explicit FakeScope(uint32_t usage = NI_PROTO_FAM_IPv4) {
    static const NiIResolverOps kOps = {&HostByName, &HostByAddr, &ServByName, &ServByPort};
    Reset();
    NiIHSBufExit();
    NiIResetAddrState();
    NiIPProtoUsage.store(usage);
    NiISetResolver(&kOps);
    NiISetHSSecondsClock(&Clock);
  }
  ~FakeScope() {
    NiIHSBufExit();
    NiISetResolver(nullptr);
    NiISetHSSecondsClock(nullptr);
    NiIResetAddrState();
    Reset();
  }
  static void Reset() {
    std::lock_guard<std::mutex> l(S().mu);
    S().hosts.clear();
    S().names.clear();
    S().servs.clear();
    S().ports.clear();
    S().during = nullptr;
    S().byName = S().byAddr = S().servByName = S().servByPort = 0;
  }
  void AddHost(const std::u16string& name, std::vector<NI_NODEADDR> addrs, std::u16string canon = u"") {
    std::lock_guard<std::mutex> l(S().mu);
    S().hosts[name] = Host{std::move(addrs), canon};
  }
  void AddName(const NI_NODEADDR& a, const std::u16string& name) {
    std::lock_guard<std::mutex> l(S().mu);
    S().names[Key(a)] = name;
  }
  void AddServ(const std::u16string& name, uint16_t hostPort) {
    std::lock_guard<std::mutex> l(S().mu);
    S().servs[name] = htons(hostPort);
    S().ports[htons(hostPort)] = name;
  }
  void During(std::function<void()> f) {
    std::lock_guard<std::mutex> l(S().mu);
    S().during = std::move(f);
  }
  void Advance(int64_t s) { Now() += s; }
};

}  // namespace nihsfake

#endif
