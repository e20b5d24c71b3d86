// The network form of an error-information record as a peer builds and
// reads it: 21 texts in UTF-8, each ended by a 0 byte, the first and the
// last the eyecatcher "*ERR*". Nothing else: no length, no header. A
// record holds at most 500 UTF-16 units with the terminators.
#ifndef TESTS_PEERS_ERRREC_H
#define TESTS_PEERS_ERRREC_H

#include <stddef.h>

#include <string>
#include <vector>

namespace peers {

constexpr size_t kErrFields = 21;
constexpr size_t kErrMaxUnits = 500;

// Field positions: 2 error text, 3 return code, 4 component, 9 detail, 15
// location.
enum ErrField { kErrText = 2, kErrRc = 3, kErrComponent = 4, kErrDetail = 9, kErrLocation = 15 };

// The record of the given fields (missing ones empty, the eyecatchers set).
std::string ErrRecEncode(std::vector<std::string> fields);
// The 21 fields of a record; false unless it begins and ends with the
// eyecatcher and holds exactly 21 texts.
bool ErrRecDecode(const std::string& record, std::vector<std::string>* fields);
// UTF-16 units of a UTF-8 text (a 4-byte sequence counts two).
size_t ErrRecUnits(const std::string& utf8);

// A gateway's record: version "1", the text, the code, the component
// "GATEWAY", a location, the rest empty.
std::vector<std::string> ErrRecGateway(const std::string& text, long code, const std::string& location);
// A gateway's record of exactly n bytes: its text is lengthened by CJK
// characters (3 bytes, one unit each) and ASCII. Beyond about 1400 bytes
// it holds more than 500 units; below the smallest record (42 bytes) it is
// that record cut to n bytes, without its last eyecatcher.
std::string ErrRecOfSize(size_t n, long code);

}  // namespace peers

#endif
