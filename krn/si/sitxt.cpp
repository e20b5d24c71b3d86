// Socket layer: function id table, private error texts and the errno map.
#include <errno.h>

#include <array>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/si/si.h"
#include "krn/si/si_int.h"

namespace {

struct FuncRow {
  const WEQ_UC* name;
  const WEQ_UC* sysCall;
};

constexpr FuncRow kFuncs[SI_FN_COUNT] = {
    {u"(none)", u"(none)"},
    {u"SiInit", u"TcpipInit"},
    {u"SiExit", u"WSACleanup"},
    {u"SiSocket", u"WSASocket, socket"},
    {u"SiSocketIPv4", u"WSASocket, socket"},
    {u"SiSocketIPv6", u"WSASocket, socket"},
    {u"SiSocketUDS", u"WSASocket, socket"},
    {u"SiClose", u"closesocket"},
    {u"SiBind", u"bind"},
    {u"SiBind2", u"bind"},
    {u"SiListen", u"listen"},
    {u"SiAccept", u"accept"},
    {u"SiAccept2", u"accept"},
    {u"SiConnect", u"connect"},
    {u"SiConnect2", u"connect"},
    {u"SiSend", u"send"},
    {u"SiSendV", u"WSASend"},
    {u"SiSendTo", u"sendto"},
    {u"SiSendTo2", u"sendto"},
    {u"SiSendMsg", u"send, WSASend, sendto"},
    {u"SiSendMsg2", u"send, WSASend, sendto"},
    {u"SiRecv", u"recv"},
    {u"SiRecvV", u"WSARecv"},
    {u"SiRecvFrom", u"recvfrom"},
    {u"SiRecvFrom2", u"recvfrom"},
    {u"SiRecvMsg", u"recv, WSARecv, recvfrom"},
    {u"SiRecvMsg2", u"recv, WSARecv, recvfrom"},
    {u"SiGetPendDataLen", u"ioctlsocket"},
    {u"SiShutdown", u"shutdown"},
    {u"SiGetSockName", u"getsockname"},
    {u"SiGetSockName2", u"getsockname"},
    {u"SiGetPeerName", u"getpeername"},
    {u"SiGetPeerName2", u"getpeername"},
    {u"SiGetSockOpt", u"getsockopt"},
    {u"SiGetSockOpt2", u"getsockopt"},
    {u"SiSetSockOpt", u"setsockopt"},
    {u"SiSetSockOpt2", u"setsockopt"},
    {u"SiGetBlockMode", u"(none)"},
    {u"SiSetBlockMode", u"ioctlsocket"},
    {u"SiGetCloseExec", u"GetHandleInformation"},
    {u"SiSetCloseExec", u"SetHandleInformation"},
    {u"SiSelect", u"select"},
    {u"SiPoll", u"(none)"},
    {u"SiPeek", u"select"},
    {u"SiPeekPendConn", u"select, getsockopt"},
    {u"SiSendSocket", u"WSADuplicateSocket, send"},
    {u"SiRecvSocket", u"recv, WSASocket, SetHandleInformation"},
};

constexpr const WEQ_UC* kPrivateTexts[] = {
    u"protocol family not supported",
    u"protocol level or option not supported",
    u"unexpected value retured from system call, which cause invalid internal status",
    u"platform does not support a implementation",
};

// One row per errno that the table names: the SI code for each operation
// class, 0 where the class does not name the errno (it then gives
// SI_ESYSCALL). The errnos stand for the rows of the socket interface the
// layer was designed against; accept's transient network errors (which
// accept(2) passes on from the new connection) mean "nothing to accept".
struct MapRow {
  int err;
  std::array<SI_RC, SI_OPC_COUNT> rc;
};

constexpr SI_RC X = 0;  // not named: SI_ESYSCALL
constexpr SI_RC kIntr = SI_EINTR, kInval = SI_EINVAL, kSock = SI_EINVAL_SOCK, kNav = SI_EADDR_NAVAIL,
                kUse = SI_EPORT_INUSE, kTmo = SI_ETIMEOUT, kBrk = SI_ECONN_BROKEN, kMem = SI_EMEMORY,
                kMfile = SI_EMFILE;

//                        socket bind  conn  accept send  sendto recv  recvfr plain peer  getopt setopt select poll
constexpr MapRow kMap[] = {
    {EINTR,           {{kIntr, kIntr, kIntr, kIntr, kIntr, kIntr, kIntr, kIntr, kIntr, kIntr, kIntr, kIntr, kIntr, kIntr}}},
    {EACCES,          {{X, kUse, X, X, X, X, X, X, X, X, X, X, X, X}}},
    {EINVAL,          {{X, kInval, kInval, kInval, X, X, X, X, X, X, kInval, kInval, kInval, kInval}}},
    {EFAULT,          {{X, X, X, X, X, X, X, X, X, X, X, X, X, kInval}}},
    {EMFILE,          {{kMfile, X, X, kMfile, X, X, X, X, X, X, X, X, X, X}}},
    {ENFILE,          {{kMfile, X, X, kMfile, X, X, X, X, X, X, X, X, X, X}}},
    {EAGAIN,          {{X, X, X, kTmo, kTmo, kTmo, kTmo, kTmo, X, X, X, X, X, X}}},
    {EINPROGRESS,     {{X, X, SI_ECONN_INPROG, X, X, X, X, X, X, X, X, X, X, X}}},
    {ENOTSOCK,        {{X, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock}}},
    {EBADF,           {{X, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock, kSock}}},
    {EMSGSIZE,        {{X, X, X, X, kMem, kMem, X, X, X, X, X, X, X, X}}},
    {ENOPROTOOPT,     {{X, X, X, kTmo, X, X, X, X, X, X, kInval, kInval, X, X}}},
    {EPROTOTYPE,      {{kInval, X, X, X, X, X, X, X, X, X, X, X, X, X}}},
    {EPROTONOSUPPORT, {{kInval, X, X, X, X, X, X, X, X, X, X, X, X, X}}},
    {ESOCKTNOSUPPORT, {{kInval, X, X, X, X, X, X, X, X, X, X, X, X, X}}},
    {EAFNOSUPPORT,    {{kInval, X, X, X, X, X, X, X, X, X, X, X, X, X}}},
    {EADDRINUSE,      {{X, kUse, kUse, X, X, X, X, X, X, X, X, X, X, X}}},
    {EADDRNOTAVAIL,   {{X, kNav, kNav, X, X, kNav, X, X, X, X, X, kNav, X, X}}},
    {ENETDOWN,        {{X, X, X, kTmo, X, X, X, X, X, X, X, kNav, X, X}}},
    {ENETUNREACH,     {{X, X, kNav, kTmo, X, kNav, X, X, X, X, X, X, X, X}}},
    {ECONNABORTED,    {{X, X, X, kBrk, kBrk, X, kBrk, X, X, X, X, X, X, X}}},
    {ECONNRESET,      {{X, X, X, kBrk, kBrk, X, kBrk, X, X, X, X, X, X, X}}},
    {EPIPE,           {{X, X, X, X, kBrk, X, kBrk, X, X, X, X, X, X, X}}},
    {ESHUTDOWN,       {{X, X, X, X, kBrk, X, kBrk, X, X, X, X, X, X, X}}},
    {ENOBUFS,         {{kMem, X, X, kMem, kMem, kMem, X, X, X, X, X, X, X, kMem}}},
    {ENOMEM,          {{kMem, X, X, kMem, kMem, kMem, X, X, X, X, X, X, X, kMem}}},
    {EISCONN,         {{X, X, kInval, X, X, X, X, X, X, X, X, X, X, X}}},
    {ENOTCONN,        {{X, X, X, X, kInval, kInval, kInval, kInval, X, kInval, X, X, X, X}}},
    {ETIMEDOUT,       {{X, X, kTmo, X, X, X, X, X, X, X, X, X, X, X}}},
    {ECONNREFUSED,    {{X, X, SI_ECONN_REFUSE, X, X, X, X, X, X, X, X, X, X, X}}},
    {EHOSTUNREACH,    {{X, X, X, kTmo, X, kNav, X, X, X, X, X, X, X, X}}},
    {EPROTO,          {{X, X, X, kTmo, X, X, X, X, X, X, X, X, X, X}}},
    {EHOSTDOWN,       {{X, X, X, kTmo, X, X, X, X, X, X, X, X, X, X}}},
    {ENONET,          {{X, X, X, kTmo, X, X, X, X, X, X, X, X, X, X}}},
    {EOPNOTSUPP,      {{X, X, X, kTmo, X, X, X, X, X, X, X, X, X, X}}},
};

static_assert(EWOULDBLOCK == EAGAIN, "one row stands for both");

}  // namespace

SI_RC SiIMapErrno(SiOpClass op, int err) {
  if (op >= SI_OPC_COUNT) return SI_ESYSCALL;
  for (const MapRow& row : kMap) {
    if (row.err == err) return row.rc[op] != X ? row.rc[op] : SI_ESYSCALL;
  }
  return SI_ESYSCALL;
}

const WEQ_UC* SiSysCallName(uint16_t id) { return id < SI_FN_COUNT ? kFuncs[id].sysCall : nullptr; }

const WEQ_UC* SiFuncName(uint16_t id) { return id < SI_FN_COUNT ? kFuncs[id].name : nullptr; }

WEQ_UC* SiErrText(int32_t err, WEQ_UC* buffer, size_t length) {
  if (buffer == nullptr || length == 0) return buffer;
  buffer[length - 1] = 0;
  if (err >= SI_ERR_FAMILY && err <= SI_ERR_NOIMPL) {
    strncpy_sU16(buffer, length, kPrivateTexts[err - SI_ERR_FAMILY], length - 1);
  } else {
    ErrGetSysTxt(err, buffer, length);
  }
  return buffer;
}
