// The message server codec of the test peers: message headers in both
// layouts, opcode headers, client-list records, logon records and the
// bodies of the key, name and release requests, written from the wire
// tables alone. It shares nothing with the library and includes none of
// its headers; ms_peer, the fuzz targets' replay server and the tests use
// it as their own view of the bytes.
//
// Everything is bytes in std::string. Numbers on the wire are big-endian;
// texts are 7-bit, blank-padded fields without terminator.
#ifndef TESTS_PEERS_MSCODEC_H
#define TESTS_PEERS_MSCODEC_H

#include <stdint.h>

#include <array>
#include <string>

namespace mspeer {

constexpr size_t kHeader4 = 110;  // header of layout 4
constexpr size_t kHeader3 = 70;   // header of layout 3
constexpr size_t kMaxData = 32000;

extern const std::string kEye;        // "**MESSAGE**" and a 0 byte
extern const std::string kEyeEbcdic;  // the same in EBCDIC

// flag values a peer meets.
constexpr uint8_t kMsgPlain = 1, kMsgRequest = 2, kMsgReply = 3, kMsgAdmin = 4;
constexpr uint8_t kOpByName = 1, kOpByType = 2, kOpOldLogin = 3, kOpLogout = 4, kOpAdmin = 5,
                  kOpLogin = 8;

// One header. Names are the field's bytes: on encoding a shorter text is
// padded with blanks (40 bytes in layout 4, cut to 20 in layout 3); on
// decoding they are the raw field.
struct Header {
  uint8_t version = 4;
  int8_t mserrno = 0;
  std::string toname = "-";
  uint8_t msgtypes = 0;
  uint8_t dom = 0;
  std::string key = std::string(8, '\0');
  uint8_t msflag = 0;
  uint8_t iflag = 0;
  std::string fromname = "-";
  uint16_t port = 0;
  bool ebcdic = false;  // the eye-catcher in EBCDIC
};

// A message of the given layout (4: 110-byte header, 3: 70 bytes).
std::string Encode(const Header& h, const std::string& data, int layout = 4);
// Takes a message apart; false (with the reason) when it is shorter than
// the layout's header or lacks the eye-catcher.
bool Decode(const std::string& msg, int layout, Header* h, std::string* data, std::string* why = nullptr);

// A field's text: up to its first 0 byte, without trailing blanks.
std::string Trim(const std::string& field);
// Text padded with blanks (or cut) to width bytes.
std::string Pad(const std::string& text, size_t width);

// Big-endian integers.
std::string Be16(uint16_t v);
std::string Be32(uint32_t v);
uint16_t GetBe16(const std::string& s, size_t at);
uint32_t GetBe32(const std::string& s, size_t at);

// --- Opcode requests -------------------------------------------------------------

// The 4-byte opcode header: opcode, op return code, version, mode.
std::string OpHeader(uint8_t opcode, uint8_t rc, uint8_t version, uint8_t mode);

// A client-list record: versions 1-4 (67, 115, 150, 160 bytes).
struct Client {
  std::string name, host, serv;
  uint8_t types = 0;
  std::array<uint8_t, 16> v6{};
  std::array<uint8_t, 4> v4{};
  uint16_t port = 0;
  uint8_t state = 0;
  uint32_t sys = 0;  // system services, big-endian on the wire
};
size_t ClientRecordSize(int version);  // 0 for another version
std::string ClientRecord(const Client& c, int version);

// A logon record: protocol, port, IPv4, four counted texts, the optional
// IPv6 address (16 and the bytes) and the end mark FF FF.
struct Logon {
  uint16_t prot = 0;
  uint16_t port = 0;
  std::array<uint8_t, 4> v4{};
  std::string name, protname, host, misc;
  bool hasV6 = false;
  std::array<uint8_t, 16> v6{};
};
std::string LogonRecord(const Logon& l);
// Reads one record from at; false when it runs past the end or lacks its
// end mark.
bool ParseLogon(const std::string& s, size_t at, Logon* l);

// The release information request (70 bytes with its opcode header).
struct Release {
  std::string client;  // 40 bytes as sent
  uint32_t property = 0;
  std::string release;  // 10 bytes as sent
  uint32_t number = 0, patchLevel = 0, patchNumber = 0;
};
bool ParseRelease(const std::string& request, Release* r);

// The key request and reply (282 bytes): IPv4 at 4, port at 8, key text at
// 10 (256 bytes), the 16-byte address at 266.
struct KeyRequest {
  std::array<uint8_t, 4> v4{};
  uint16_t port = 0;
  std::array<uint8_t, 16> v6{};
};
bool ParseKeyRequest(const std::string& request, KeyRequest* k);
std::string KeyReply(const KeyRequest& k, const std::string& key, uint8_t rc = 0);

// The name request (27 bytes): version 2 has the address at 4 and the port
// at 20, version 1 the IPv4 address at 4 and the port at 8. The reply's
// name length and name are at 22 and 26 (version 2) or 10 and 14.
struct NameRequest {
  uint8_t version = 2;
  std::array<uint8_t, 16> addr{};  // version 1: IPv4-mapped
  uint16_t port = 0;
};
bool ParseNameRequest(const std::string& request, NameRequest* n);
std::string NameReply(uint8_t version, const std::string& name, uint8_t rc = 0);

// An IPv4 text ("10.1.2.3") or IPv6 text as 16 bytes (IPv4-mapped for
// IPv4); false for anything else.
bool Addr16(const std::string& text, std::array<uint8_t, 16>* out);
bool IsMapped(const std::array<uint8_t, 16>& a);

// Bytes as lower-case hexadecimal without separators, and back.
std::string HexOf(const std::string& bytes);
std::string FromHex(const std::string& hex);

}  // namespace mspeer

#endif
