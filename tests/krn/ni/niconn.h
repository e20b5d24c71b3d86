// NI handles for the buffered-layer and select-set tests, each connected
// over loopback to the test's own raw end of the connection.
#ifndef TESTS_KRN_NI_NICONN_H
#define TESTS_KRN_NI_NICONN_H

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "krn/ni/ni.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nixx_int.h"
#include "peers/niframe.h"
#include "peers/peers.h"

namespace niconn {

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

inline NITAB* Rec(NI_HDL h) { return NiIHdlLookup(h); }
inline NIBUF_EXT* Ext(NI_HDL h) { return NiIHdlLookup(h) != nullptr ? NiIHdlLookup(h)->mBuf : nullptr; }

// Reads the user messages "u0", "u1", ... in their order until "stop",
// counting the keep-alive requests NI reports on the way in *pings.
inline void ReadTaggedUntilStop(NI_HDL hdl, int* pings, int* user) {
  std::string buf(64, '\0');
  for (;;) {
    uint32_t got = 0;
    NI_RC rc = NiRead(hdl, buf.data(), 64, 20000, &got);
    if (rc == NIEPING) {
      ++*pings;
      continue;
    }
    if (rc != WEQ_O_K) {
      ADD_FAILURE() << "NiRead " << rc;
      return;
    }
    std::string m = buf.substr(0, got);
    if (m == "stop") return;
    EXPECT_EQ(m, "u" + std::to_string(*user));
    ++*user;
  }
}

struct Conn {
  NI_HDL hdl = NI_INVALID_HDL;
  peers::Fd peer;
  peers::FrameParser parser;
  void Close() {
    if (hdl != NI_INVALID_HDL) NiCloseHandle(hdl);
    hdl = NI_INVALID_HDL;
    peer.Reset();
  }
  bool Send(const std::string& bytes) { return peers::SendAll(peer.get(), bytes.data(), bytes.size()); }
  bool SendMsg(const std::string& data) { return Send(peers::FrameEncode(data)); }
  // The next message the peer reads, or "<none>" after ms.
  std::string Frame(int ms = 5000) {
    std::string m;
    return peers::RecvFrame(peer.get(), &parser, &m, ms) ? m : std::string("<none>");
  }
};

// Writes text on a handle and reads back what an echo at the far end
// returns (in pieces, for raw handles): what came within 5 s.
inline std::string Echo(NI_HDL h, const std::string& text) {
  uint32_t n = 0;
  if (NiWrite(h, text.data(), static_cast<int>(text.size()), 5000, &n) != WEQ_O_K) return "<write failed>";
  std::string back;
  char buf[256];
  while (back.size() < text.size() && NiRead(h, buf, sizeof buf, 5000, &n) == WEQ_O_K) back.append(buf, n);
  return back;
}

// A loopback listener of the test; Open connects NI handles to it.
struct Endpoint {
  Endpoint() { lis = peers::Listener(AF_INET, &port, 256); }
  // A buffered (NiBufHandle) or plain (NiHandle) connection.
  bool Open(Conn* c, bool buffered) {
    std::u16string serv = U16(std::to_string(port));
    NI_RC rc = buffered ? NiBufHandle(u"127.0.0.1", serv.c_str(), 5000, &c->hdl)
                        : NiHandle(u"127.0.0.1", serv.c_str(), 5000, &c->hdl);
    if (rc != WEQ_O_K || !peers::WaitReadable(lis.get(), 5000)) return false;
    c->peer = peers::Fd(accept4(lis.get(), nullptr, nullptr, SOCK_CLOEXEC));
    return c->peer.valid();
  }
  peers::Fd lis;
  uint16_t port = 0;
};

}  // namespace niconn

#endif
