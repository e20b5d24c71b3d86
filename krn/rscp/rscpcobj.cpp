// The converter object: its template, set-up, option setters and state
// snapshots, and the system code page answer.
#include <stddef.h>
#include <string.h>

#include "krn/rscp/rscp_int.h"
#include "krn/rscp/rscpc_int.h"

// The object is an external format: every offset is fixed.
static_assert(sizeof(rscpCObj_t) == 172);
static_assert(offsetof(rscpCObj_t, cache_version) == 0 && offsetof(rscpCObj_t, from_cp) == 4);
static_assert(offsetof(rscpCObj_t, to_cp) == 12 && offsetof(rscpCObj_t, subst_char16) == 20);
static_assert(offsetof(rscpCObj_t, use_subst) == 22 && offsetof(rscpCObj_t, ccci_use_1_subst) == 23);
static_assert(offsetof(rscpCObj_t, reserved24) == 24 && offsetof(rscpCObj_t, use_1_copy) == 25);
static_assert(offsetof(rscpCObj_t, reserved26) == 26 && offsetof(rscpCObj_t, subst_count) == 28);
static_assert(offsetof(rscpCObj_t, rscpbroken) == 32 && offsetof(rscpCObj_t, rscpfill) == 36);
static_assert(offsetof(rscpCObj_t, no_direct) == 40 && offsetof(rscpCObj_t, reserved41) == 41);
static_assert(offsetof(rscpCObj_t, useF1) == 44 && offsetof(rscpCObj_t, drop) == 48);
static_assert(offsetof(rscpCObj_t, rscpCtrlCodeCv) == 52 && offsetof(rscpCObj_t, rscpWEQOwnChCv) == 56);
static_assert(offsetof(rscpCObj_t, method) == 60 && offsetof(rscpCObj_t, in_looked_up) == 64);
static_assert(offsetof(rscpCObj_t, out_looked_up) == 65 && offsetof(rscpCObj_t, reserved66) == 66);
static_assert(offsetof(rscpCObj_t, in_t1) == 68 && offsetof(rscpCObj_t, out_t1) == 72);
static_assert(offsetof(rscpCObj_t, reserved76) == 76 && offsetof(rscpCObj_t, in_maxln) == 80);
static_assert(offsetof(rscpCObj_t, out_maxln) == 81 && offsetof(rscpCObj_t, lang_key) == 82);
static_assert(offsetof(rscpCObj_t, lang_key_set) == 84 && offsetof(rscpCObj_t, lang_cp_used) == 85);
static_assert(offsetof(rscpCObj_t, lang_cp_set) == 86 && offsetof(rscpCObj_t, reserved87) == 87);
static_assert(offsetof(rscpCObj_t, lang_cp) == 88 && offsetof(rscpCObj_t, in_nls) == 96);
static_assert(offsetof(rscpCObj_t, in_minor) == 100 && offsetof(rscpCObj_t, in_mixed) == 102);
static_assert(offsetof(rscpCObj_t, reserved103) == 103 && offsetof(rscpCObj_t, out_nls) == 104);
static_assert(offsetof(rscpCObj_t, out_minor) == 108 && offsetof(rscpCObj_t, reserved110) == 110);
static_assert(offsetof(rscpCObj_t, h_last_NLS_to_4000) == 112 && offsetof(rscpCObj_t, out_mixed) == 116);
static_assert(offsetof(rscpCObj_t, reserved117) == 117 && offsetof(rscpCObj_t, in_nls_loop) == 120);
static_assert(offsetof(rscpCObj_t, in_space) == 124 && offsetof(rscpCObj_t, in_space_len) == 128);
static_assert(offsetof(rscpCObj_t, out_space) == 132 && offsetof(rscpCObj_t, out_space_len) == 136);
static_assert(offsetof(rscpCObj_t, in_cp_subst) == 140 && offsetof(rscpCObj_t, in_cp_substituted) == 148);
static_assert(offsetof(rscpCObj_t, out_cp_substituted) == 149 && offsetof(rscpCObj_t, out_cp_subst) == 150);
static_assert(offsetof(rscpCObj_t, reserved158) == 158 && offsetof(rscpCObj_t, subst_char) == 160);
static_assert(offsetof(rscpCObj_t, shift_state) == 164 && offsetof(rscpCObj_t, shortcut_t1) == 168);

namespace {

constexpr rscpCObj_t MakeObjTemplate() {
  rscpCObj_t t{};
  for (int i = 0; i < 4; ++i) {
    t.from_cp[i] = t.to_cp[i] = t.lang_cp[i] = t.in_cp_subst[i] = t.out_cp_subst[i] = u'0';
  }
  t.subst_char16 = 35;
  t.subst_char = 35;
  t.drop = 1;
  t.rscpWEQOwnChCv = 1;
  t.lang_key = u' ';
  return t;
}
constexpr rscpCObj_t kObjTemplate = MakeObjTemplate();

struct ObjMode {
  uint8_t useSubst;
  uint8_t use1Copy;
};
constexpr ObjMode kObjModes[4] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};

// Bits of shift_state that a snapshot carries.
constexpr uint32_t kObjStateBits = 0x0FFFFFFF;

}  // namespace

rscpRc_t rscpCInit(rscpCObj_t* obj, const rscpCp_t* from, const rscpCp_t* to, int32_t mode, int32_t broken,
                   int32_t fill) {
  const rscpRc_t started = rscpi_init_just_in_case(u"rscpCInit");
  memcpy(obj, &kObjTemplate, sizeof(rscpCObj_t));
  memcpy(obj->from_cp, *from, sizeof(rscpCp_t));
  memcpy(obj->to_cp, *to, sizeof(rscpCp_t));
  if (mode >= 0 && mode < 4) {
    obj->use_subst = kObjModes[mode].useSubst;
    obj->use_1_copy = kObjModes[mode].use1Copy;
    obj->ccci_use_1_subst = 0;
  }
  obj->rscpbroken = static_cast<uint32_t>(broken);
  obj->rscpfill = static_cast<uint32_t>(fill);
  obj->no_direct = 0;
  obj->useF1 = 1;
  obj->drop = 1;
  obj->rscpCtrlCodeCv = 0;
  obj->rscpWEQOwnChCv = 1;
  return started;
}

rscpRc_t rscpCLoadTables(rscpCObj_t* obj) { return lookup_convert_tables(obj, 1, 1, 1, -1); }

rscpRc_t rscpCSetCtrlCodeCv(rscpCObj_t* obj, int32_t value) {
  obj->rscpCtrlCodeCv = static_cast<uint32_t>(value);
  return 0;
}

rscpRc_t rscpCSetOwnChCv(rscpCObj_t* obj, int32_t value) {
  obj->rscpWEQOwnChCv = static_cast<uint32_t>(value);
  return 0;
}

rscpRc_t rscpCDeactivate(rscpCObj_t* obj) {
  obj->method = RSCP_M_DEACTIVATED;
  return 0;
}

void rscpCSaveState(const rscpCObj_t* obj, uint32_t snapshot[2]) {
  snapshot[0] = obj->cache_version;
  snapshot[1] = (snapshot[1] & ~kObjStateBits) | (obj->shift_state & kObjStateBits);
}

bool rscpCSameState(const rscpCObj_t* obj, const uint32_t snapshot[2]) {
  return obj->cache_version == snapshot[0] && (obj->shift_state & kObjStateBits) == (snapshot[1] & kObjStateBits);
}

rscpRc_t rscpGetSystemCodePage(rscpCp_t* cp) {
  memcpy(*cp, u"4103", sizeof(rscpCp_t));
  return RSCPENOOBJ;
}
