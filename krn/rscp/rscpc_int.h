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

// Test seam: the next n side lookups that load a variant fail with 32 as
// if the cache were full (forces the second overflow of one call).
void rscpcTestFailLoads(int n);
void rscpcIReset(void);

#endif
