// Inside the conversion engine: the branches of the conversion call that
// live in files of their own (rscpcvu.cpp), for the method table of
// rscpcv.cpp. Only the converter's own sources and tests include this
// header.
#ifndef KRN_RSCP_RSCPCVU_INT_H
#define KRN_RSCP_RSCPCVU_INT_H

#include "krn/rscp/rscpcv_int.h"

// 1B_to_1B (12): every byte through the 256-byte table at shortcut_t1.
rscpcBranchEnd rscpcIOneByte(rscpcFrame& f);
// U2_to_U8 .. U8_to_U6sw (13 to 24): the UTF transforms by the method's row.
rscpcBranchEnd rscpcIUtf8Form(rscpcFrame& f);
// U2_swap (25) and U4_swap (26).
rscpcBranchEnd rscpcISwap(rscpcFrame& f);
// BRUTE_A_U2B, BRUTE_A_U2L, BRUTE_U2B_A, BRUTE_U2L_A (29 to 32).
rscpcBranchEnd rscpcIBrute(rscpcFrame& f);
// A7_to_U6 (48) and A7_to_U6sw (49).
rscpcBranchEnd rscpcIAscii7(rscpcFrame& f);

// Bytes of the private buffer through which a branch of the Unicode forms
// converts a misaligned buffer; a longer one is refused.
inline constexpr ptrdiff_t kRscpcAlignBuffer = 1024;

#endif
