// The table loader steps that a cache build calls, in their thinnest form:
// the catalogue enters each built-in code page with its id, sources and
// segment id (no attributes), and every other step reads nothing. The
// options the build consults answer their defaults. The full loaders and the
// option store replace this file.
#include <string.h>

#include <algorithm>

#include "krn/rscp/rscpcc_int.h"
#include "krn/rscp/rscpdat_int.h"

rscpRc_t read_TCP00(void) {
  rscpCCC_t* c = rscpGetCache();
  const char* row = rscpdat::ActiveData().tcp00;
  WEQ_UC record[RSCP_TCP00_RECORD];
  for (; row != nullptr && row[0] != ' '; row += RSCP_TCP00_ROW) {
    if (rscpRc_t rc = rscpcd__check_directory()) return rc;
    build_TCP00_record(record, row);
    rscpCpEntry_t& e = rscpDirectory(c)[c->noof_char_codes++];
    e = rscpCpEntry_t{};
    memcpy(e.cp, record, sizeof e.cp);
    e.sourceOfCodePage = record[85];
    e.sourceOfTcp00 = u'2';
    memcpy(e.segid, record + 108, sizeof e.segid);
  }
  return 0;
}

rscpRc_t rscplrc__reset_counters(void) { return 0; }
rscpRc_t read_TCP01(void) { return 0; }
rscpRc_t read_TCP0D(void) { return 0; }
rscpRc_t read_TCPDB(void) { return 0; }
rscpRc_t read_TCP0I(void) { return 0; }
rscpRc_t read_RFCDES(void) { return 0; }
rscpRc_t consolidate_TCP0I_RFCDES(void) { return 0; }

uint8_t rscpIProtectOption(void) { return 1; }
uint8_t rscpIOption25(void) { return 1; }
