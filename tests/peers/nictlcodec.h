// The router and control messages of the NI wire as a peer sees them,
// written from the wire format alone: NI_ROUTE (the hops of a route),
// NI_RTERR (error information, version and handle-passing requests; its
// error records are errrec.h's), and the socket hand-off record that a
// passing process sends. Multi-byte numbers of NI_ROUTE and NI_RTERR
// are big-endian.
#ifndef TESTS_PEERS_NICTLCODEC_H
#define TESTS_PEERS_NICTLCODEC_H

#include <stdint.h>

#include <string>
#include <vector>

namespace peers {

// --- NI_ROUTE --------------------------------------------------------------------
//  0 "NI_ROUTE"  8 0  9 route version  10 NI version  11 entries  12 mode
// 13 two zero bytes  15 hop counter  16 entry area length  20 next offset
// 24 entries: host, service, password, each ended by a zero byte.

struct RouteEntry {
  std::string host, service, password;
  uint32_t offset = 0;  // where it starts in the entry area
};

struct RouteMsg {
  uint8_t zero8 = 0, routeVersion = 2, niVersion = 40, count = 0, mode = 0;
  uint8_t zero13 = 0, zero14 = 0, hops = 0;
  uint32_t areaLen = 0, next = 0;
  std::vector<RouteEntry> entries;
};

// Reads a whole message; false with *why on anything that is not as the
// format says (the fields that were read are kept).
bool DecodeRoute(const std::string& bytes, RouteMsg* msg, std::string* why);
// Builds one from msg.entries and the header fields (count, hops and
// length from the entries when zero).
std::string EncodeRoute(const RouteMsg& msg);

// --- NI_RTERR --------------------------------------------------------------------
//  0 "NI_RTERR"  8 0  9 NI version  10 opcode  11 0  12 return code
// 16 text length L  20 error record (network form)  20+L data  then 4 zero bytes.

struct RtErr {
  uint8_t niVersion = 40;
  uint8_t opcode = 0;
  int32_t rc = 0;
  std::string text;  // an error record in network form (errrec.h)
  std::string data;
};

std::string EncodeRtErr(const RtErr& m);
// A whole message whose text length fits; false otherwise.
bool DecodeRtErr(const std::string& bytes, RtErr* m);

// --- Socket hand-off record ------------------------------------------------------
// 628 bytes (a short form of 372 is read too), little-endian: magic
// "TOVSOCK1", the sender's process id, its descriptor, family (2 IPv4, 23
// IPv6, 1 local), type (1 stream), protocol, 88 reserved bytes, from 116 the
// protocol name "TCP/IP", zero-filled.
std::string HandoffRecord(uint32_t pid, int32_t fd, int32_t family, int32_t type, size_t len = 628);

}  // namespace peers

#endif
