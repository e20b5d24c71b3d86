// The connection of the NI fuzz targets: an NI handle whose socket is one
// end of a local socket pair, the other end the target's, both
// non-blocking, with room for a large stream in each direction.
#ifndef FUZZ_KRN_NI_NIFUZZ_H
#define FUZZ_KRN_NI_NIFUZZ_H

#include <stdlib.h>
#include <sys/socket.h>

#include "krn/ni/nixx_int.h"

// A connected handle record on sv[0]; sv[1] is the far end. NULL when the
// pair or the record cannot be made.
inline NITAB* NiFuzzConnection(int sv[2]) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return nullptr;
  int big = 1 << 18;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  NITAB* rec = nullptr;
  if (NiICreateHandle(&rec, NI_INITIAL_CON, nullptr) != WEQ_O_K) return nullptr;
  rec->con.mSocket.socketNo = sv[0];
  rec->con.mSocket.family = SI_AF_INET;
  rec->con.mSocket.type = SI_SOCK_STREAM;
  rec->mBlockMode = 0;
  NiISetState(rec, NI_CONNECTED, u"fuzz");
  return rec;
}

#endif
