// Inside the conversion engine: the method chooser that completes a
// converter object for its pair, and the pure method choice that it applies
// to the looked-up fields. Only the converter's own sources and tests
// include this header.
#ifndef KRN_RSCP_RSCPC_INT_H
#define KRN_RSCP_RSCPC_INT_H

#include <bit>
#include <stdint.h>

#include "krn/rscp/rscpcc_int.h"

// The engine reads cache words and object fields in the machine's order and
// picks the UTF method variants for a little-endian machine.
static_assert(std::endian::native == std::endian::little, "the method variants assume little-endian");

// Method numbers the chooser gives by name.
enum : uint32_t {
  RSCP_M_UNKNOWN = 0,
  RSCP_M_DEACTIVATED = 1,
  RSCP_M_DIRECT = 2,
  RSCP_M_1B_TO_1B = 12,
  RSCP_M_2022_TAB = 41,
  RSCP_M_MBCONV_2022TAB = 42,
};

// Completes obj: reset 1 clears the derived fields of both sides first;
// inSide / outSide 1 look that side up again. Looks up and loads the
// tables under the 'CCC' mutex, turns a cache overflow into one
// reorganisation and one more pass, and chooses the method.
rscpRc_t lookup_convert_tables(rscpCObj_t* obj, uint8_t reset, uint8_t inSide, uint8_t outSide, int acceptMask);

// The outcome of the method matrix for the looked-up fields of an object.
struct rscpcChoice_t {
  uint32_t method;
  bool unsupported;  // the pair has no method
  bool substIn;      // the unified code page substitution of that side follows
  bool substOut;
  bool resetOut;     // output substitution off, in_nls_loop = in_nls
  bool resetIn;      // input substitution off, in_nls_loop = in_nls
};
// Pure: reads in_nls, out_nls, in_minor, out_minor, in_mixed, out_mixed,
// no_direct, rscpCtrlCodeCv, rscpWEQOwnChCv; inFlags is the input entry's
// flags word. No ISO-2022 promotion.
rscpcChoice_t rscpcIChooseMethod(const rscpCObj_t* obj, uint32_t inFlags);
// The ISO-2022 step: the promoted method, or *conflict set when the method
// cannot combine with designation sequences.
uint32_t rscpcIPromote2022(uint32_t method, bool* conflict);

// Binary search of the cache's directory for a code page (4 units).
const rscpCpEntry_t* rscpcIFindEntry(const rscpCCC_t* c, const WEQ_UC* cp);

// --- Single-byte shortcut blocks (in the chooser's locked section) ---------------------
// The record of in -> to in the input entry's list: *block its T1 block.
bool rscpcIFindShortcut(const rscpCpEntry_t* in, const WEQ_UC* to, uint16_t* block);
// Builds the record and block of in -> out from the tables of slot (the
// write permission held): 0, 32 when the cache is full (everything the
// build took given back), or another report's code.
rscpRc_t rscpcIBuildShortcut(rscpCpEntry_t* in, rscpCpEntry_t* out, int slot, uint16_t* block);

// --- F1 filter -----------------------------------------------------------------------------
// Classifies from -> to (asked by the method chooser for useF1 2 to 5): 0, 16,
// 32 and 64 no change needed; 17, 49 and 81 a table (*table and *name set,
// either may be NULL); anything else no F1 (1, 2, 4, 8 and their sums: a
// page not listed or taking no part; 11 no table; 19 not filterable).
// Starts the filter on its first call.
int rscpF1Filter(const rscpCp_t* from, const rscpCp_t* to, const uint8_t** table, const WEQ_UC** name,
                 int enforce);
// The filter's start: reads NLS_F1_FILTER_OFF and NLS_F1_STOP_UTF8 once.
void rscpF1Init(void);
// The 64-bit hash of an F1 table's name under which the cache keeps it.
uint64_t rscpcIF1Hash(const WEQ_UC* name);
// Test seam: the next filter call starts it again (environment re-read).
// Call while no filter call runs.
void rscpcF1IReset(void);

// Test seam: the next n side lookups that load a variant fail with 32 as
// if the cache were full (forces the second overflow of one call).
void rscpcTestFailLoads(int n);
void rscpcIReset(void);

#endif
