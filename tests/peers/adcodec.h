// The AD block codec of the test peers: administration blocks and records as
// they travel between a client and the message server, written from the
// wire format alone. It shares nothing with the library and includes none
// of its headers; the message server peer builds its replies with it and the
// tests read the library's blocks with it.
//
// Everything here is bytes: a block is a std::string of 36 + 104 x n bytes,
// a record 104 bytes (opcode, serial, executed, errno, 100-byte body), text
// is UTF-8. Field layouts give the internal offset (bytes of the library's
// 16-bit body) beside the external one, so a test can also place text where
// the library holds it.
#ifndef TESTS_PEERS_ADCODEC_H
#define TESTS_PEERS_ADCODEC_H

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

namespace adpeer {

constexpr int kHeaderLen = 36;
constexpr int kRecordLen = 104;
constexpr int kBodyLen = 100;

// Opcodes the codec knows by layout class.
constexpr uint8_t kOpStorage = 21;
constexpr uint8_t kOpEm = 25;
constexpr uint8_t kOpEs = 26;
constexpr uint8_t kOpSelfIdent = 60;

// --- Blocks ---------------------------------------------------------------------

// A block header: "AD-EYECATCH" and a 0 byte, version, type, record size and
// record count as right-aligned decimal text of 11 bytes.
std::string Header(int recordCount, uint8_t version = 1, uint8_t type = 1, int recordSize = 104);

// A block of the given 104-byte records.
std::string Block(const std::vector<std::string>& records, uint8_t version = 1, uint8_t type = 1);

// A block taken apart: false (with the reason) for a wrong eye catcher,
// version above 1, record size other than 104, or a length that does not
// match the count.
struct Parsed {
  uint8_t version = 0;
  uint8_t type = 0;
  std::vector<std::string> records;
};
bool ParseBlock(const std::string& block, Parsed* out, std::string* why);

// A record from its four header bytes and its body (padded with blanks to
// 100 bytes, cut beyond).
std::string Record(uint8_t opcode, const std::string& body, uint8_t serial = 0,
                   uint8_t executed = 0, uint8_t errnum = 0);

// --- Field layouts ------------------------------------------------------------------

enum class Kind : uint8_t { kText, kRaw };
struct Field {
  Kind kind;
  int in;     // internal byte offset
  int ex;     // external byte offset
  int width;  // characters of text (as many bytes external), bytes of raw data
};

// How an opcode's body is converted.
enum class Class : uint8_t {
  kLayout,        // text and raw fields of Layout()
  kPlainCopy,     // the first 100 bytes as they are
  kStorage,       // opcode 21
  kEmAdm,         // opcodes 25 and 26
  kUnregistered,  // not converted at all
};
Class ClassOf(uint8_t opcode);

// The fields of a kLayout opcode (empty for the others).
std::vector<Field> Layout(uint8_t opcode);

// Every opcode that is not kUnregistered.
std::vector<uint8_t> RegisteredOpcodes();

// A text in a field of width bytes: the longest prefix of whole characters
// that fits, then blanks.
std::string PadText(const std::string& utf8, int width);

// An external body from the values of a kLayout opcode's fields (text as
// UTF-8, raw as bytes; missing values are blanks), and back (text fields
// keep their blanks).
std::string LayoutBody(uint8_t opcode, const std::vector<std::string>& values);
std::vector<std::string> LayoutValues(uint8_t opcode, const std::string& body);

// --- Storage bodies --------------------------------------------------------------------

enum class StorageClass : uint8_t { kRaw, kIntegers, kOffsets, kText, kUnknown };
// The class of a storage type as the client sends it and as it receives it
// (the create types 51-53 are not converted on receipt).
StorageClass StorageClassOf(uint8_t type, bool clientReceives);

struct Storage {
  uint8_t type = 0, nameLen = 20, valueOffset = 0, valueLen = 0;
  std::string name;   // UTF-8, padded to 20 bytes
  std::string value;  // 76 bytes external: text padded, or raw bytes
};
std::string StorageBody(const Storage& s);
Storage ParseStorage(const std::string& body);

// Ten integers big-endian, and four (offset requests), as a 76-byte value.
std::string IntegerValue(const std::array<int32_t, 10>& v);
std::array<int32_t, 10> Integers(const std::string& value);
std::string OffsetValue(uint32_t marker, uint32_t start, uint32_t count);

// A logon-group favourite, the text value whose first 9 bytes are
// "LG_EYECAT". Versions 1 and 2 hold an IPv4 address in the first 4 bytes of
// addr8 and the group values in addr16's first 6 bytes; version 4 its group
// values in bytes 2-7 of addr8 and an IPv6 address in addr16; version 3
// only the IPv6 address.
struct Favourite {
  uint8_t version = 1;
  std::array<uint8_t, 8> addr8{};
  uint16_t service = 0;
  std::string release;  // 4 bytes, blank-padded
  std::array<uint8_t, 16> addr16{};
};
// The 76-byte value as the message server sends it: blanks behind the
// favourite's fields.
std::string FavouriteValue(const Favourite& f);
bool ParseFavourite(const std::string& value, Favourite* out);

// Favourite offsets within the value (external) and the internal body.
constexpr int kFavExVersion = 9, kFavInVersion = 62;

// --- Special records ------------------------------------------------------------------------

// The self-identification body: 19 blanks, 16 zeros, 8 blanks, 33 zeros, 24
// blanks.
std::string SelfIdentBody();

// An EM-ADM body of operation 2 or 3; operation 1 is the text "  1" and
// the 56 raw bytes held in raw32.
struct EmAdm {
  int op = 2;
  std::string raw4, key, info, raw8, raw3, privTime, raw32, raw4b;  // bytes as sent
};
std::string EmAdmBody(const EmAdm& e);
EmAdm ParseEmAdm(const std::string& body);

// Hexadecimal bytes "41 42 20*14 ..." ("XX*n" repeats a byte) as bytes.
std::string Hex(const std::string& text);
// Bytes as spaced hexadecimal, for messages.
std::string ToHex(const std::string& bytes);

}  // namespace adpeer

#endif
