// The gateway protocol's records as a peer writes and reads them, from the
// wire formats alone: the APPC header in every version with its parameter
// blocks, the connect record and its answer, the identification block and
// the old connect's datagram. All numbers are big-endian; texts are 8-bit,
// blank-padded unless said otherwise.
#ifndef TESTS_PEERS_GWCODEC_H
#define TESTS_PEERS_GWCODEC_H

#include <stdint.h>

#include <string>

namespace peers {

uint32_t GetBe32(const std::string& b, size_t off);
int16_t GetBe16(const std::string& b, size_t off);
void PutBe32(std::string* b, size_t off, uint32_t v);
void PutBe16(std::string* b, size_t off, uint16_t v);

// --- APPC header ---------------------------------------------------------------

// 76, 100, 100, 138, 78, 80 for versions 1 to 6; 0 for any other.
int AppcLen(int version);

struct AppcHeader {
  int version = 6;
  int req = 0;
  int protocol = 0;
  int mode = 0;
  int uid = -1;
  int errLen = 0;
  int info2 = 0;
  int trace = 0;
  int info3 = 0;
  int info4 = 0;
  uint32_t gwReq = 0;
  int paramLen = 0;
  int info = 0;
  int vector = 0;
  int32_t appcRc = 0;
  int32_t weqRc = 0;
  std::string convId = "        ";
  std::string area = std::string(28, '\0');  // bytes 48-75
  // -1 where the version has none: version 1 neither, version 5 (78
  // bytes) only CommIdx.
  int commIdx = -1;
  int connIdx = -1;
  // Decoded only: the unnamed bytes (6-7, 12-15, 17-20, 28-29 and from 80
  // on) are all 0.
  bool zeros = true;
};

// A header of len bytes (its version's length): the fields above, CommIdx
// and ConnIdx only where len reaches them, 0 from byte 80 on.
std::string AppcEncode(const AppcHeader& h, int len);
// Reads the first len bytes of msg; false when msg is shorter or len is
// below 76.
bool AppcDecode(const std::string& msg, int len, AppcHeader* h);

// Request-area fields of answers (offsets in the header).
constexpr size_t kAppcDataRcv = 52, kAppcRcvLen = 56, kAppcStatusRcv = 60, kAppcRtsRcv = 64, kAppcCodePage = 69;

// The parameter block of an initialise request (340 bytes).
struct InitBlock {
  std::string trace;   // 45 bytes
  std::string longLu;  // 128
  std::string addr16;  // 16
  std::string user;    // 12
  uint32_t sendLen = 0;
  uint32_t reqLen = 0;
  std::string ipv4;    // 4
  std::string longTp;  // 64
  bool zeros = true;   // every other byte 0
};
bool InitBlockDecode(const std::string& block, InitBlock* b);

// --- Gateway connect -------------------------------------------------------------

struct ConnRecord {
  int version = -1;
  int type = -1;
  std::string ipv4;       // 4 bytes
  std::string service10;  // up to the 0 byte
  bool service10Ended = false;
  std::string codePage;   // 4
  std::string host8, service8;
  bool blanks46 = false;
  int hdrVersion = -1;
  int acceptInfo = -1;
  int index = 0;
  std::string addr16;     // version 3
  bool zeros = true;      // the unnamed bytes, error code and echo 0
};
// A request of version 2 (64 bytes) or 3 (136 bytes).
bool ConnDecode(const std::string& r, ConnRecord* c);
// An answer of the request's version.
std::string ConnAnswer(int version, int hdrVersion, int acceptInfo, const std::string& codePage, int32_t error,
                       bool echo);

// The identification block (512 bytes): two terminated texts at 0 and 128,
// every other byte a blank.
struct IdentBlock {
  std::string host, service;
  bool ended = false;   // both texts have their 0 byte within their field
  size_t blanks = 0;    // blanks outside the texts and their terminators
};
bool IdentDecode(const std::string& b, IdentBlock* id);

// The old connect's datagram (100 bytes).
struct OldDgram {
  std::string hostIp4, hostIp4b, statedIp4;  // 4 bytes each
  int readPort = 0, writePort = 0;
  std::string host8, service8;
  int b0 = -1, b1 = -1, b70 = -1;
  bool blanks71 = false;
  bool zeros = true;
};
bool OldDgramDecode(const std::string& d, OldDgram* o);

std::string DottedIp4(const std::string& four);

}  // namespace peers

#endif
