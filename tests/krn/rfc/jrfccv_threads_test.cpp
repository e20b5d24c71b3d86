// CpicDriver natives from 8 threads at once, each with its own JNI host and
// conversation through gw_peer's echo partner: 200 messages tagged with the
// thread and the message number come back to their own thread intact.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "krn/cpic/cpic_client_fixture.h"
#include "krn/rfc/jrfc_int.h"
#include "support/jnihost.h"

#define JNT(method) Java_com_weq_conn_rfc_driver_CpicDriver_##method

namespace {

using tovtest::JniHost;

class NativesThreads : public cpictest::ClientTest {};

// What one thread's conversation got wrong ("" when nothing).
std::string Converse(int t, const std::u16string& host, const std::u16string& serv, int messages) {
  JniHost h;
  JNIEnv* env = h.env();
  auto s = [&](const std::u16string& v) { return h.NewString(v); };
  jbyteArray id = h.NewBytes(std::vector<uint8_t>(8, ' '));
  jint rc = JNT(nativeWEQ_1CMINIT3)(env, nullptr, id, s(u"D"), s(u"lu"), s(u"echo"), s(host), s(serv), s(u"I"), 0, 0,
                                    0, nullptr, nullptr, nullptr);
  if (rc == 0) rc = JNT(nativeCMALLC)(env, nullptr, id);
  if (rc != 0) return "open " + std::to_string(rc);
  std::string bad;
  jbyteArray buf = h.NewBytes(std::vector<uint8_t>(2000));
  jintArray res = h.NewInts({0, 0, 0});
  for (int m = 0; m < messages && bad.empty(); ++m) {
    std::string tag = "thread " + std::to_string(t) + " message " + std::to_string(m) + std::string(m % 97, '.');
    std::vector<uint8_t> data(tag.begin(), tag.end());
    if ((rc = JNT(nativeCMSEND)(env, nullptr, id, h.NewBytes(data), static_cast<jint>(data.size()))) != 0) {
      bad = "send " + std::to_string(rc);
      break;
    }
    // A time-out now and then: the read is repeated until the answer came.
    jint got;
    int tries = 0;
    while ((got = JNT(nativeCpic_1coxread)(env, nullptr, id, m % 5 == 0 ? 1 : 0, buf, res)) == -1 && ++tries < 100000) {
    }
    std::vector<int32_t> r = h.Ints(res);
    std::vector<uint8_t> back = h.Bytes(buf);
    if (got != 0 || r[2] != static_cast<int32_t>(data.size()) ||
        std::string(back.begin(), back.begin() + static_cast<long>(data.size())) != tag) {
      bad = "message " + std::to_string(m) + " came back as rc " + std::to_string(got) + " length " +
            std::to_string(r[2]);
    }
  }
  h.EndNative();
  if (!h.Violations().empty()) bad += " " + h.Violations().front();
  rc = JNT(nativeCMDEAL)(env, nullptr, id);
  h.EndNative();
  if (bad.empty() && rc != 0) bad = "deallocate " + std::to_string(rc);
  return bad;
}

TEST_F(NativesThreads, EightConversationsOfTaggedMessages) {
  StartPeer({"--quiet"});
  constexpr int kThreads = 8;
  const int messages = 200;
  std::vector<std::string> bad(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { bad[t] = Converse(t, host_, serv_, messages); });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], "") << "thread " << t;
}

}  // namespace
