// A throw-away MIT Kerberos realm for the SNC tests and benchmark: a KDC
// database, keytabs and a KDC on a free port of 127.0.0.1, all inside one
// temporary directory that goes away with the realm. The KDC runs as a
// child of this process and is stopped by its pid when the realm ends, also
// when the test failed; it dies with this process as well.
//
//   principals: user@TEST.REALM, user2@TEST.REALM (random keys) and the
//   service snc/localhost@TEST.REALM
//   keytabs:    server.keytab (the service), client.keytab (user),
//               client2.keytab (user2)
//
// UseForSnc() points this process at the realm: the GSS-API library and
// the Kerberos configuration, keytabs, a memory credential cache of its own
// and no replay cache.
#ifndef TESTS_KRN_SNC_SNC_KRB5_REALM_H
#define TESTS_KRN_SNC_SNC_KRB5_REALM_H

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace snckrb5 {

constexpr const char* kRealm = "TEST.REALM";

class Realm {
 public:
  Realm() = default;
  Realm(const Realm&) = delete;
  Realm& operator=(const Realm&) = delete;
  ~Realm() {
    Stop();
    if (!dir_.empty()) nftw(dir_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
  }

  // Builds the realm and starts its KDC; false with the reason in *why.
  bool Start(std::string* why) {
    char tmpl[] = "/tmp/snc_krb5_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return Fail(why, "mkdtemp failed");
    dir_ = tmpl;
    WriteFile(File("kadm5.acl"), "");
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = FreePort();
      if (port_ == 0) return Fail(why, "no free port on 127.0.0.1");
      WriteConfigs();
      if (attempt == 0 && !MakeDatabase(why)) return false;
      if (StartKdc()) return true;
    }
    return Fail(why, "krb5kdc did not answer on 127.0.0.1: " + ReadFile(File("kdc.log")) + ReadFile(File("run.log")));
  }

  // Start and UseForSnc for a program's main: false, after the line
  // "<program>: no realm: <reason>" on standard error, when the realm
  // cannot be made.
  bool StartForSnc(const char* program) {
    std::string why;
    if (!Start(&why)) {
      fprintf(stderr, "%s: no realm: %s\n", program, why.c_str());
      return false;
    }
    UseForSnc();
    return true;
  }

  // Stops the KDC: SIGTERM, then SIGKILL when it has not ended within 5 s.
  void Stop() {
    if (kdc_ <= 0) return;
    kill(kdc_, SIGTERM);
    if (!Reap(kdc_, 5000)) {
      kill(kdc_, SIGKILL);
      Reap(kdc_, 5000);
    }
    kdc_ = -1;
  }

  // The environment of the SNC layer and MIT's library for this realm; each
  // call gives a fresh memory credential cache.
  void UseForSnc() const {
    static int caches = 0;
    setenv("SNC_LIB", "libgssapi_krb5.so.2", 1);
    setenv("KRB5_CONFIG", File("krb5.conf").c_str(), 1);
    setenv("KRB5_KDC_PROFILE", File("kdc.conf").c_str(), 1);
    setenv("KRB5_KTNAME", ("FILE:" + File("server.keytab")).c_str(), 1);
    setenv("KRB5_CLIENT_KTNAME", ("FILE:" + File("client.keytab")).c_str(), 1);
    setenv("KRB5RCACHENAME", "none:", 1);
    setenv("KRB5RCACHEDIR", dir_.c_str(), 1);
    unsetenv("KRB5_TRACE");
    FreshCache(caches++);
    // A process loads the library once and keeps it. Tests that start the
    // layer over from scratch unload it each time, which would strand
    // what MIT keeps per thread (error texts) where no pointer reaches it:
    // one reference that is never given back keeps it mapped.
    static void* const resident = dlopen("libgssapi_krb5.so.2", RTLD_NOW | RTLD_NODELETE);
    (void)resident;
  }
  // A memory credential cache that no earlier ticket is in.
  static void FreshCache(int n) {
    const std::string name = "MEMORY:snc_test_" + std::to_string(getpid()) + "_" + std::to_string(n);
    setenv("KRB5CCNAME", name.c_str(), 1);
  }

  const std::string& dir() const { return dir_; }
  int port() const { return port_; }
  pid_t kdcPid() const { return kdc_; }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }

 private:
  static int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

  static bool Fail(std::string* why, const std::string& text) {
    if (why != nullptr) *why = text;
    return false;
  }

  static void WriteFile(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  static std::string ReadFile(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) return text;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
  }

  // A port that is free for UDP and TCP on 127.0.0.1 at this moment.
  static int FreePort() {
    for (int tries = 0; tries < 20; ++tries) {
      int t = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof a;
      if (t < 0) return 0;
      if (bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
          getsockname(t, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(t);
        return 0;
      }
      int u = socket(AF_INET, SOCK_DGRAM, 0);
      const bool udpFree = u >= 0 && bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      if (u >= 0) close(u);
      close(t);
      if (udpFree) return ntohs(a.sin_port);
    }
    return 0;
  }

  void WriteConfigs() const {
    const std::string kdc = "127.0.0.1:" + std::to_string(port_);
    WriteFile(File("krb5.conf"),
              "[libdefaults]\n"
              "  default_realm = TEST.REALM\n"
              "  dns_lookup_kdc = false\n"
              "  dns_lookup_realm = false\n"
              "  dns_canonicalize_hostname = false\n"
              "  rdns = false\n"
              "  udp_preference_limit = 1\n"
              "[realms]\n"
              "  TEST.REALM = {\n"
              "    kdc = " + kdc + "\n"
              "  }\n"
              "[logging]\n"
              "  default = FILE:" + File("krb5lib.log") + "\n"
              "  kdc = FILE:" + File("kdc.log") + "\n"
              "  admin_server = FILE:" + File("kadmin.log") + "\n");
    WriteFile(File("kdc.conf"),
              "[kdcdefaults]\n"
              "  kdc_listen = " + kdc + "\n"
              "  kdc_tcp_listen = " + kdc + "\n"
              "[realms]\n"
              "  TEST.REALM = {\n"
              "    database_name = " + File("principal") + "\n"
              "    key_stash_file = " + File("stash") + "\n"
              "    acl_file = " + File("kadm5.acl") + "\n"
              "    kdc_listen = " + kdc + "\n"
              "    kdc_tcp_listen = " + kdc + "\n"
              "    max_life = 10h\n"
              "  }\n"
              "[logging]\n"
              "  kdc = FILE:" + File("kdc.log") + "\n"
              "  admin_server = FILE:" + File("kadmin.log") + "\n"
              "  default = FILE:" + File("krb5lib.log") + "\n");
  }

  // The child's environment: this process's with the realm's files.
  std::vector<std::string> ChildEnv() const {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (strncmp(*e, "KRB5", 4) != 0) env.emplace_back(*e);
    }
    env.push_back("KRB5_CONFIG=" + File("krb5.conf"));
    env.push_back("KRB5_KDC_PROFILE=" + File("kdc.conf"));
    env.push_back("KRB5RCACHEDIR=" + dir_);
    env.push_back("KRB5CCNAME=MEMORY:kdcsetup");
    return env;
  }

  // Starts argv with its output appended to run.log; the child dies with
  // this process.
  pid_t Spawn(const std::vector<std::string>& argv) const {
    std::vector<std::string> env = ChildEnv();
    std::vector<char*> av, ev;
    for (const std::string& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    for (const std::string& e : env) ev.push_back(const_cast<char*>(e.c_str()));
    ev.push_back(nullptr);
    const std::string log = File("run.log");
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      const int in = open("/dev/null", O_RDONLY);
      if (fd >= 0) dup2(fd, 1), dup2(fd, 2);
      if (in >= 0) dup2(in, 0);
      if (chdir(dir_.c_str()) != 0) _exit(127);
      execve(av[0], av.data(), ev.data());
      _exit(127);
    }
    return pid;
  }

  // Waits for pid to end, at most ms milliseconds; its exit status in
  // *status.
  static bool Reap(pid_t pid, int ms, int* status = nullptr) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int st = 0;
    while (true) {
      const pid_t r = waitpid(pid, &st, WNOHANG);
      if (r == pid || r < 0) {
        if (status != nullptr) *status = st;
        return true;
      }
      if (std::chrono::steady_clock::now() >= end) return false;
      const timespec step{0, 5 * 1000 * 1000};
      nanosleep(&step, nullptr);
    }
  }

  bool Run(const std::vector<std::string>& argv, std::string* why) const {
    const pid_t pid = Spawn(argv);
    int st = 0;
    if (pid < 0) return Fail(why, "fork failed");
    if (!Reap(pid, 30000, &st)) {
      kill(pid, SIGKILL);
      Reap(pid, 5000);
      return Fail(why, argv[0] + " did not end");
    }
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return Fail(why, argv[0] + " failed: " + ReadFile(File("run.log")));
    return true;
  }

  bool MakeDatabase(std::string* why) const {
    if (!Run({"/usr/sbin/kdb5_util", "-r", kRealm, "create", "-s", "-P", "snc-test-master"}, why)) return false;
    const char* steps[] = {
        "addprinc -randkey user@TEST.REALM",
        "addprinc -randkey user2@TEST.REALM",
        "addprinc -randkey snc/localhost@TEST.REALM",
    };
    for (const char* q : steps) {
      if (!Run({"/usr/sbin/kadmin.local", "-r", kRealm, "-q", q}, why)) return false;
    }
    const std::pair<const char*, const char*> keytabs[] = {
        {"server.keytab", "snc/localhost@TEST.REALM"},
        {"client.keytab", "user@TEST.REALM"},
        {"client2.keytab", "user2@TEST.REALM"},
    };
    for (const auto& [file, princ] : keytabs) {
      const std::string q = "ktadd -k " + File(file) + " " + princ;
      if (!Run({"/usr/sbin/kadmin.local", "-r", kRealm, "-q", q}, why)) return false;
    }
    return true;
  }

  // Starts the KDC and waits until it takes connections on its port;
  // false when it ended first (the port was taken) or took too long.
  bool StartKdc() {
    kdc_ = Spawn({"/usr/sbin/krb5kdc", "-n", "-r", kRealm, "-P", File("kdc.pid")});
    if (kdc_ < 0) return false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end) {
      int st = 0;
      if (waitpid(kdc_, &st, WNOHANG) == kdc_) {
        kdc_ = -1;
        return false;
      }
      int s = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool up = s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      if (s >= 0) close(s);
      if (up) return true;
      const timespec step{0, 10 * 1000 * 1000};
      nanosleep(&step, nullptr);
    }
    Stop();
    return false;
  }

  std::string dir_;
  int port_ = 0;
  pid_t kdc_ = -1;
};

}  // namespace snckrb5

#endif
