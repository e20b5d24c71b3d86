// Inside the converter's loaders: the cache build's table steps and their
// row loaders, the option store, the on-demand loading of code page tables
// with its segment and rule loaders. Only the converter's own sources and
// its tests include this header.
//
// Every function here that writes the cache runs under the 'CCC' mutex and
// the cache's write permission; the marks, the rollback point and the
// per-build loader state belong to the one build or load in progress.
#ifndef KRN_RSCP_RSCPLD_INT_H
#define KRN_RSCP_RSCPLD_INT_H

#include <stdint.h>

#include "krn/rscp/rscpcc_int.h"

// --- Row records of the build's tables ---------------------------------------------
enum {
  RSCP_TCP0I_RECORD = 287,  // name 20, active 1, timestamp 14, value 240, source 12
  RSCP_TCP0I_NAME = 0,
  RSCP_TCP0I_ACTIVE = 20,
  RSCP_TCP0I_STAMP = 21,
  RSCP_TCP0I_VALUE = 35,
  RSCP_TCP0I_SOURCE = 275,
  RSCP_TCP0I_VALUE_LEN = 240,
  RSCP_TCP0D_RECORD = 4,    // country 3, language 1
};

// The row loaders, the same whatever the row's source. Each counts its row
// in the statistics of its table.
void load_TCP00_row(const WEQ_UC* record, int columns, WEQ_UC sourceOfTcp00);
rscpRc_t load_TCP01_row(const WEQ_UC* record);
void load_TCP0D_row(const WEQ_UC* record);
rscpRc_t finish_TCP0D(void);
rscpRc_t load_TCPDB_row(const WEQ_UC* cp);
rscpRc_t finish_TCPDB(void);
rscpRc_t load_TCP0I_row(const WEQ_UC* record);

// Counts one row of table index (0 to 31) for this thread.
void rscpICountRow(int table);

// The function that answers the database code page list.
typedef rscpRc_t (*rscpDbCpFunc_t)(rscpCp_t* out, int max, int* count);
void set_db_cp_func(rscpDbCpFunc_t func);
rscpDbCpFunc_t rscpIGetDbCpFunc(void);

// The rows of the legacy caller list made by the last build's TCP0I step
// and dropped by its consolidation (tests read the count it reached).
int rscpILegacyCallersSeen(void);

// --- Options that the loaders read ----------------------------------------------------
// The process switches of options 7 to 14 and 18 to 27 (option 7 answers
// switch 8).
int rscpIGetSwitch(int option);

// --- On-demand loading --------------------------------------------------------------------
// Table kinds: input 5, 6, 9, 10 and output 21, 22, 25, 26 for slots 0 to 3.
rscpRc_t rscplcp__load_codepage(int kind, rscpCpEntry_t* entry);
rscpRc_t rscpltb__load_table(int kind, rscpCpEntry_t* entry, uint16_t t1root, uint32_t t2, int mode,
                             int depth, int cowMode);
rscpRc_t rscplf5__load_from_f5(int kind, rscpCpEntry_t* entry, uint16_t t1root, uint32_t t2, int mode,
                               int depth, int cowMode);
rscpRc_t rscplff__probe_flat_file(rscpCpEntry_t* entry);
rscpRc_t rscplic__derive_input(rscpCpEntry_t* entry, int from, int to, int mode);
rscpRc_t rscploc__derive_output(rscpCpEntry_t* entry, int from, int to, int mode);
rscpRc_t rscpgdi__general_db_init(int acceptMask);
rscpRc_t rscpf1t__flush_one_table(const WEQ_UC* name);
// Draws a gauge of width units (no terminator) for the span from..to of total.
void rscpdgb__draw_gauge(WEQ_UC* buf, int width, int64_t from, int64_t to, int64_t total);

// A slot's root as conversions read it: acquire loads, paired with the
// loader's release store that publishes a finished variant.
uint16_t rscpIInRoot(const rscpCpEntry_t* entry, int slot);
uint32_t rscpIOutT2(const rscpCpEntry_t* entry, int slot);

// --- Segments and rules ------------------------------------------------------------------
// Load mode bits 0-1: 1 base, 2 control codes; bits 2-3: 4 without, 8 with
// own characters. Inclusion mode 1 base segment, 2 control-code segment.
rscpRc_t rscpgs__get_segment(int kind, rscpCpEntry_t* entry, const WEQ_UC* segid, uint16_t t1root,
                             uint32_t t2, int mode, int inclusion, int flag400, int flag800, int depth,
                             int cowMode);

// A shift rule's attributes, parsed.
struct rscpStrtBack_t {
  char segment[6];   // 0-terminated, at most 5 characters
  int unsj;          // un-shift Shift-JIS codes to JIS
  int uneuc;         // un-shift EUC codes to JIS
  int strtLen;
  uint8_t strt[RSCP_SHIFT_SEQ];
  int backLen;
  uint8_t back[RSCP_SHIFT_SEQ];
};
rscpRc_t rscpps__parse_strt_back(int ruleKind, const WEQ_UC* a1, int l1, const WEQ_UC* a2, int l2,
                                 rscpStrtBack_t* out);
// Fills a range record from the two attribute texts (no cache needed):
// 0, or 1 when the texts do not describe a range.
int rscppr__parse_range(const WEQ_UC* a1, int l1, const WEQ_UC* a2, int l2, rscpRangeRec_t* rec);
// The record for the texts in the cache's table (reused when the same, else
// the next one): its index, or -1 when the texts are no range.
int prepareXMLRule(const WEQ_UC* a1, int l1, const WEQ_UC* a2, int l2);
rscpRc_t rscpli2__load_iso2022(rscpCpEntry_t* entry, uint16_t t1root, int mode, int cowMode);

#endif
