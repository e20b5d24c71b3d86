// Passing a socket between processes: a forked child hands its socket over
// a channel and the parent uses it; records of wrong length, records naming
// this process and descriptors that are not what the record says are
// refused without keeping a descriptor.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "krn/dptrc/trc_checker.h"
#include "krn/si/si.h"
#include "krn/si/si_int.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace {

using peers::Fd;

// A record built from its documented layout: magic "TOVSOCK1", then
// little-endian sender pid, descriptor, family, type and protocol, the
// rest zero.
std::string Record(uint32_t pid, int32_t fd, int32_t family, int32_t type, size_t len = 628) {
  std::string r(len, '\0');
  memcpy(r.data(), "TOVSOCK1", std::min<size_t>(8, len));
  auto put = [&r](size_t at, uint32_t v) {
    for (int i = 0; i < 4 && at + i < r.size(); ++i) r[at + i] = static_cast<char>(v >> (8 * i));
  };
  put(8, pid);
  put(12, static_cast<uint32_t>(fd));
  put(16, static_cast<uint32_t>(family));
  put(20, static_cast<uint32_t>(type));
  return r;
}

// Runs fn in a forked child on a thread of its own, so that this process
// can talk to the child meanwhile; Join returns the child's exit code.
class Child {
 public:
  explicit Child(std::function<int()> fn)
      : thread_([this, fn = std::move(fn)] { result_ = tovtest::RunInChild(fn, 20); }) {}
  ~Child() {
    if (thread_.joinable()) thread_.join();
  }
  int Join() {
    thread_.join();
    return result_.exit_code;
  }
  const std::string& Err() const { return result_.err; }

 private:
  tovtest::ChildResult result_;
  std::thread thread_;
};

// The child's side: waits for the parent's byte that says the socket was
// taken (or refused), so that the descriptor is still there meanwhile.
int AwaitAck(int channel) {
  char ack;
  return peers::WaitReadable(channel, 10000) && recv(channel, &ack, 1, 0) == 1 ? 0 : 9;
}

class SiPass : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SiInit(nullptr), SI_OK);
    ASSERT_TRUE(peers::SocketPair(&ours_, &theirs_));
    channel_ = SI_SOCKET{ours_.get(), SI_AF_INET, SI_SOCK_STREAM, 0};
  }
  // Receives one record, giving the channel at most 10 s to show input.
  SI_RC Receive(SI_SOCKET* got) {
    if (!peers::WaitReadable(ours_.get(), 10000)) return -1;
    return SiRecvSocket(&channel_, got);
  }
  void Ack() { ASSERT_EQ(send(ours_.get(), "k", 1, MSG_NOSIGNAL), 1); }

  Fd ours_, theirs_;
  SI_SOCKET channel_;
};

TEST_F(SiPass, ASocketHandedOverByAForkedChildWorksHere) {
  for (int32_t fam : {SI_AF_INET, SI_AF_INET6}) {
    int sys = fam == SI_AF_INET ? AF_INET : AF_INET6;
    uint16_t port = 0;
    Fd l = peers::Listener(sys, &port);
    ASSERT_TRUE(l.valid());
    int child = theirs_.get();
    uint32_t me = static_cast<uint32_t>(getpid());
    Child c([child, fam, port, me] {
      SI_SOCKET s{};
      if (SiSocket(fam, SI_SOCK_STREAM, 0, &s) != SI_OK) return 1;
      std::string lo = peers::LoopbackBytes(fam == SI_AF_INET ? AF_INET : AF_INET6);
      uint16_t net = SiHtons(port);
      if (SiConnect(&s, reinterpret_cast<const WEQ_RAW*>(lo.data()), static_cast<uint32_t>(lo.size()), &net) !=
          SI_OK) {
        return 2;
      }
      SI_SOCKET ch{child, SI_AF_INET, SI_SOCK_STREAM, 0};
      if (SiSendSocket(&ch, &s, &me) != SI_OK) return 3;
      return AwaitAck(child);
    });
    SI_SOCKET got{};
    trccheck::TraceFile trace(1);
    ASSERT_EQ(Receive(&got), SI_OK) << trace.After();
    Ack();
    EXPECT_EQ(c.Join(), 0) << c.Err();
    // The child has gone; the socket lives on here.
    EXPECT_EQ(got.family, fam);
    EXPECT_EQ(got.type, SI_SOCK_STREAM);
    EXPECT_EQ(got.sysErr, 0);
    EXPECT_NE(fcntl(got.socketNo, F_GETFD) & FD_CLOEXEC, 0);
    Fd far(accept(l.get(), nullptr, nullptr));
    ASSERT_TRUE(far.valid());
    uint32_t sent = 0;
    ASSERT_EQ(SiSend(&got, "hello", 5, 0, &sent), SI_OK);
    EXPECT_EQ(peers::ReadFor(far.get(), 5, 5000), "hello");
    ASSERT_TRUE(peers::WriteAll(far.get(), "back"));
    ASSERT_EQ(SiPeek(&got, SI_PEEK_READ, 5000), SI_OK);
    char buf[8];
    uint32_t n = 0;
    ASSERT_EQ(SiRecv(&got, buf, sizeof(buf), 0, &n), SI_OK);
    EXPECT_EQ(std::string(buf, n), "back");
    SiClose(&got);
  }
}

struct SenderCase {
  const char* name;
  bool pipe;         // the child names a pipe instead of its IPv4 stream socket
  int32_t family;    // what the record says
  int32_t type;
  size_t len;
  bool taken;
};

class SiPassRecords : public SiPass, public ::testing::WithParamInterface<SenderCase> {};

TEST_P(SiPassRecords, TakenOnlyWhenTheRecordTellsTheTruth) {
  const SenderCase& sc = GetParam();
  int child = theirs_.get();
  // Counted while no child's pipes are open here.
  trccheck::TraceFile trace(1);
  int before = peers::OpenFdCount();
  Child c([child, sc] {
    int fd;
    int p[2];
    if (sc.pipe) {
      if (pipe(p) != 0) return 1;
      fd = p[0];
    } else {
      fd = socket(AF_INET, SOCK_STREAM, 0);
    }
    std::string r = Record(static_cast<uint32_t>(getpid()), fd, sc.family, sc.type, sc.len);
    if (!peers::WriteAll(child, r)) return 2;
    shutdown(child, SHUT_WR);  // the record ends here
    return AwaitAck(child);
  });
  SI_SOCKET got{-1, 0, 0, 0};
  SI_RC rc = Receive(&got);
  Ack();
  EXPECT_EQ(c.Join(), 0) << c.Err();
  if (sc.taken) {
    ASSERT_EQ(rc, SI_OK);
    EXPECT_EQ(got.family, SI_AF_INET);
    int type = 0;
    socklen_t len = sizeof(type);
    EXPECT_EQ(getsockopt(got.socketNo, SOL_SOCKET, SO_TYPE, &type, &len), 0);
    EXPECT_EQ(type, SOCK_STREAM);
    EXPECT_EQ(peers::OpenFdCount(), before + 1);
    SiClose(&got);
  } else {
    EXPECT_EQ(rc, SI_EINTERN);
    EXPECT_EQ(channel_.sysErr, SI_ERR_INTERNAL);
    EXPECT_EQ(got.socketNo, -1);
    EXPECT_EQ(peers::OpenFdCount(), before);
    std::vector<trccheck::Line> lines = trace.Body();
    ASSERT_EQ(lines.size(), 1u) << trace.After();
    EXPECT_EQ(lines[0].kind, 'E');
    EXPECT_EQ(lines[0].text.rfind("SiRecvSocket: no valid descriptor received; WSASocket failed (", 0), 0u)
        << lines[0].text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Senders, SiPassRecords,
    ::testing::Values(SenderCase{"FullRecord", false, SI_AF_INET, SI_SOCK_STREAM, 628, true},
                      SenderCase{"ShortRecord", false, SI_AF_INET, SI_SOCK_STREAM, 372, true},
                      SenderCase{"PipeNamedAsSocket", true, SI_AF_INET, SI_SOCK_STREAM, 628, false},
                      SenderCase{"WrongFamily", false, SI_AF_INET6, SI_SOCK_STREAM, 628, false},
                      SenderCase{"WrongType", false, SI_AF_INET, SI_SOCK_DGRAM, 628, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SiPass, RecordsOfOtherLengthsOrNamingThisProcessAreRefused) {
  Fd mine(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  uint32_t me = static_cast<uint32_t>(getpid());
  struct Row {
    const char* name;
    std::string bytes;
    bool lengthLine;  // refused for its length (else: no descriptor taken)
  } rows[] = {
      {"Empty", "", true},
      {"OneShortOfShort", Record(12345, 3, SI_AF_INET, SI_SOCK_STREAM, 371), true},
      {"OneShortOfFull", Record(12345, 3, SI_AF_INET, SI_SOCK_STREAM, 627), true},
      {"NamesThisProcess", Record(me, mine.get(), SI_AF_INET, SI_SOCK_STREAM), false},
      {"NamesNoProcess", Record(0, mine.get(), SI_AF_INET, SI_SOCK_STREAM), false},
      {"BadMagic", "X" + Record(12345, 3, SI_AF_INET, SI_SOCK_STREAM).substr(1), false},
      {"NegativeDescriptor", Record(12345, -1, SI_AF_INET, SI_SOCK_STREAM), false},
  };
  for (const Row& r : rows) {
    Fd a, b;
    ASSERT_TRUE(peers::SocketPair(&a, &b));
    ASSERT_TRUE(peers::WriteAll(b.get(), r.bytes));
    b.Reset();
    trccheck::TraceFile trace(1);
    int before = peers::OpenFdCount();
    SI_SOCKET ch{a.get(), SI_AF_INET, SI_SOCK_STREAM, 0}, got{-1, 0, 0, 0};
    EXPECT_EQ(SiRecvSocket(&ch, &got), SI_EINTERN) << r.name;
    EXPECT_EQ(ch.sysErr, SI_ERR_INTERNAL) << r.name;
    EXPECT_EQ(got.socketNo, -1) << r.name;
    EXPECT_EQ(peers::OpenFdCount(), before) << r.name;
    std::vector<trccheck::Line> lines = trace.Body();
    ASSERT_EQ(lines.size(), 1u) << r.name << trace.After();
    std::string want = r.lengthLine ? "SiRecvSocket: invalid received data length (" +
                                          std::to_string(r.bytes.size()) + "<>372|628)"
                                    : "SiRecvSocket: no valid descriptor received; WSASocket failed (22)";
    EXPECT_EQ(lines[0].text, want) << r.name;
  }
}

// Waits until the other end has read everything this end wrote.
bool Drained(int fd, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  int queued = 1;
  while (ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    poll(nullptr, 0, 1);
  }
  return queued == 0;
}

TEST_F(SiPass, ARecordTrickledInPiecesIsReadWhole) {
  int child = theirs_.get();
  Child c([child] {
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    std::string r = Record(static_cast<uint32_t>(getpid()), fd, SI_AF_INET6, SI_SOCK_DGRAM);
    // Each piece goes only after the receiver has taken the one before.
    for (auto [from, to] : {std::pair<size_t, size_t>{0, 100}, {100, 400}, {400, r.size()}}) {
      if (!peers::WriteAll(child, r.substr(from, to - from)) || !Drained(child, 10000)) return 2;
    }
    return AwaitAck(child);
  });
  SI_SOCKET got{-1, 0, 0, 0};
  EXPECT_EQ(Receive(&got), SI_OK) << channel_.sysErr;
  Ack();
  EXPECT_EQ(c.Join(), 0) << c.Err();
  EXPECT_EQ(got.family, SI_AF_INET6);
  EXPECT_EQ(got.type, SI_SOCK_DGRAM);
  if (got.socketNo >= 0) SiClose(&got);
}

// A short record on a blocking channel whose sender stays connected: the
// rest that never comes is waited for within the record's deadline, not
// for as long as the sender keeps the channel open.
TEST_F(SiPass, AShortRecordOnABlockingChannelEndsAtTheDeadline) {
  ASSERT_EQ(fcntl(ours_.get(), F_GETFL) & O_NONBLOCK, 0);
  ASSERT_TRUE(peers::WriteAll(theirs_.get(), Record(2147483000u, 3, SI_AF_INET, SI_SOCK_STREAM, 372)));
  std::promise<SI_RC> done;
  std::future<SI_RC> result = done.get_future();
  std::thread receiver([this, &done] {
    SI_SOCKET got{-1, 0, 0, 0};
    done.set_value(SiRecvSocket(&channel_, &got));
    if (got.socketNo >= 0) SiClose(&got);
  });
  bool returned = result.wait_for(std::chrono::seconds(12)) == std::future_status::ready;
  // Whatever happened, the receiver is let go before the verdict.
  if (!returned) shutdown(theirs_.get(), SHUT_WR);
  receiver.join();
  EXPECT_TRUE(returned) << "SiRecvSocket waited past its deadline for a rest that never came";
  // No process has that number: the record itself was read and refused.
  EXPECT_EQ(result.get(), SI_EINTERN);
  EXPECT_EQ(channel_.sysErr, SI_ERR_INTERNAL);
}

TEST_F(SiPass, OnlyASocketCanBeSent) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Fd r(p[0]), w(p[1]);
  SI_SOCKET notSocket{r.get(), SI_AF_INET, SI_SOCK_STREAM, 0}, gone{1 << 20, SI_AF_INET, SI_SOCK_STREAM, 0};
  EXPECT_EQ(SiSendSocket(&channel_, &notSocket, nullptr), SI_EINVAL_SOCK);
  EXPECT_EQ(notSocket.sysErr, ENOTSOCK);
  EXPECT_EQ(SiSendSocket(&channel_, &gone, nullptr), SI_EINVAL_SOCK);
  EXPECT_EQ(gone.sysErr, EBADF);
  EXPECT_FALSE(peers::WaitReadable(theirs_.get(), 0));  // nothing was sent
}

TEST(SiPassDecoder, VerdictsOfTheRecordDecoder) {
  pid_t self = getpid();
  struct Row {
    std::string bytes;
    SiHandoffVerdict verdict;
  } rows[] = {
      {Record(77, 5, SI_AF_INET6, SI_SOCK_RAW), SI_HANDOFF_OK},
      {Record(77, 5, SI_AF_INET, SI_SOCK_STREAM, 372), SI_HANDOFF_OK},
      {Record(77, 5, SI_AF_INET, SI_SOCK_STREAM, 373), SI_HANDOFF_BAD_LENGTH},
      {Record(77, 5, SI_AF_INET, SI_SOCK_STREAM, 629), SI_HANDOFF_BAD_LENGTH},
      {Record(static_cast<uint32_t>(self), 5, SI_AF_INET, SI_SOCK_STREAM), SI_HANDOFF_SELF},
      {Record(0x80000000u, 5, SI_AF_INET, SI_SOCK_STREAM), SI_HANDOFF_SELF},
      {Record(77, -2, SI_AF_INET, SI_SOCK_STREAM), SI_HANDOFF_BAD_FD},
      {Record(77, 5, SI_AF_UNIX, SI_SOCK_STREAM), SI_HANDOFF_BAD_KIND},
      {Record(77, 5, SI_AF_INET, 4), SI_HANDOFF_BAD_KIND},
      {Record(77, 5, SI_AF_INET, 0), SI_HANDOFF_BAD_KIND},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    SiHandoff h{};
    EXPECT_EQ(SiIDecodeHandoff(rows[i].bytes.data(), rows[i].bytes.size(), self, &h), rows[i].verdict) << i;
  }
  // The encoder's record reads back field by field.
  WEQ_RAW rec[SI_HANDOFF_LEN];
  EXPECT_EQ(SiIEncodeHandoff(SiHandoff{4242, 17, SI_AF_INET6, SI_SOCK_DGRAM, 0}, rec), 628u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec), 628), [] {
    std::string r = Record(4242, 17, SI_AF_INET6, SI_SOCK_DGRAM);
    memcpy(r.data() + 116, "TCP/IP", 6);
    return r;
  }());
}

}  // namespace
