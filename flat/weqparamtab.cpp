// The built-in defaults table, the directory table and the writable
// default buffers of the profile parameter store.
#include <string.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "flat/weqparam_int.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"

const WEQ_UC kWeqpPropertiesExt[] = u"$(DIR_EXECUTABLE)$(DIR_SEP)instance_ext.properties";
const WEQ_UC kWeqpPropertiesPlain[] = u"$(DIR_EXECUTABLE)$(DIR_SEP)instance.properties";

// In no particular order: the store sorts its copy.
const WeqpDefaultRow kWeqpDefaults[] = {
    // Bookkeeping, written by the store itself.
    {u"__WEQPROFILE_n_DEFAULT", u"00000", WeqpBuf::kNDefault},
    {u"__WEQPROFILE_n_PF_FILE", u"00000", WeqpBuf::kNPfFile},
    {u"__WEQPROFILE_C", u"@(#) $Id: flat/weqparam.cpp $", WeqpBuf::kNone},
    {u"__WEQPROFILE_CALLS", u"00000", WeqpBuf::kCalls},
    {u"__WEQPROFILE_CALL_LAST_NAME", u"", WeqpBuf::kLastName},
    {u"__WEQPROFILE_MALLOCS", u"0", WeqpBuf::kMallocs},
    {u"WEQPROFILE_IN_EFFECT", u"", WeqpBuf::kProfileInEffect},
    {u"WEQPROFILE", u"", WeqpBuf::kNone},
    {u"__WEQPROFILE_DEFAULT", u"", WeqpBuf::kDefaultPfl},
    // System, instance and hosts.
    {u"WEQon", u"WEQonNT ", WeqpBuf::kNone},
    {u"WEQSYSTEM", u"$$", WeqpBuf::kNone},
    {u"WEQSYSTEMNAME", u"", WeqpBuf::kSystemName},
    {u"INSTANCE_SRVTYPE", u"D", WeqpBuf::kNone},
    {u"INSTANCE_NAME", u"$(INSTANCE_SRVTYPE)$$", WeqpBuf::kNone},
    {u"PHYS_MEMSIZE", u"64", WeqpBuf::kNone},
    {u"WEQLOCALHOST", u"", WeqpBuf::kNone},
    {u"WEQGLOBALHOST", u"$(WEQLOCALHOST)", WeqpBuf::kNone},
    {u"WEQTRANSHOST", u"$(WEQGLOBALHOST)", WeqpBuf::kNone},
    {u"LOCALHOSTPATH", u"", WeqpBuf::kLocalHostPath},
    {u"LOCALHOSTSIDPATH", u"", WeqpBuf::kLocalHostSidPath},
    {u"GLOBALHOSTPATH", u"", WeqpBuf::kGlobalHostPath},
    // Directories.
    {u"DIR_SEP", u"\\", WeqpBuf::kNone},
    {u"DIR_INSTALL", u"$(GLOBALHOSTPATH)$(WEQSYSTEMNAME)\\SYS", WeqpBuf::kNone},
    {u"DIR_INSTANCE", u"$(LOCALHOSTSIDPATH)$(WEQSYSTEMNAME)\\$(INSTANCE_NAME)", WeqpBuf::kNone},
    {u"DIR_EXECUTABLE", u"$(DIR_INSTANCE)\\exe", WeqpBuf::kNone},
    {u"DIR_PROFILE", u"(Default)", WeqpBuf::kNone},
    {u"__1_DIR_PROFILE", u"$(DIR_INSTALL)", WeqpBuf::kNone},
    {u"__2_DIR_PROFILE", u"profile", WeqpBuf::kNone},
    {u"DIR_EXE_ROOT", u"(Default)", WeqpBuf::kNone},
    {u"__1_DIR_EXE_ROOT", u"$(DIR_INSTALL)", WeqpBuf::kNone},
    {u"__2_DIR_EXE_ROOT", u"exe", WeqpBuf::kNone},
    {u"jstartup/instance_properties", kWeqpPropertiesExt, WeqpBuf::kProperties},
    // Derived from the memory size.
    {u"em/initial_size_MB", u"32", WeqpBuf::kEmInitial},
    {u"em/global_area_MB", u"96", WeqpBuf::kEmGlobal},
    {u"rdisp/ROLL_SHM", u"2048", WeqpBuf::kRollShm},
    {u"rdisp/ROLL_MAXFS", u"2048", WeqpBuf::kRollMaxfs},
    {u"rdisp/PG_SHM", u"2048", WeqpBuf::kPgShm},
    {u"rdisp/PG_MAXFS", u"2048", WeqpBuf::kPgMaxfs},
    {u"qema/heap_area_total", u"67108864", WeqpBuf::kHeapTotal},
    {u"zdate/DSTswitch_contloctime", u"on", WeqpBuf::kNone},
    // Secure network communication.
    {u"snc/enable", u"0", WeqpBuf::kNone},
    {u"snc/identity/as", u"", WeqpBuf::kNone},
    {u"snc/gssapi_lib", u"", WeqpBuf::kNone},
    {u"snc/accept_insecure_gui", u"0", WeqpBuf::kNone},
    {u"snc/accept_insecure_rfc", u"0", WeqpBuf::kNone},
    {u"snc/accept_insecure_cpic", u"0", WeqpBuf::kNone},
    {u"snc/accept_insecure_t8int_rfc", u"1", WeqpBuf::kNone},
    {u"snc/t8int_rfc_secure", u"0", WeqpBuf::kNone},
    {u"snc/t8int_rfc_qop", u"8", WeqpBuf::kNone},
    {u"snc/permit_insecure_start", u"0", WeqpBuf::kNone},
    {u"snc/data_protection/min", u"2", WeqpBuf::kNone},
    {u"snc/data_protection/max", u"3", WeqpBuf::kNone},
    {u"snc/data_protection/use", u"9", WeqpBuf::kNone},
    {u"snc/force_login_screen", u"0", WeqpBuf::kNone},
    {u"snc/extid_login_diag", u"0", WeqpBuf::kNone},
    {u"snc/extid_login_rfc", u"0", WeqpBuf::kNone},
};
const size_t kWeqpDefaultCount = std::size(kWeqpDefaults);
static_assert(std::size(kWeqpDefaults) <= kWeqpDefaultMax);

namespace {

constexpr const WEQ_UC* kDirNames[] = {
    u"DIR_AUDIT",     u"DIR_BINARY",  u"DIR_DATA",    u"DIR_EXECUTABLE", u"DIR_EXE_ROOT",
    u"DIR_GEN_ROOT",  u"DIR_GLOBAL",  u"DIR_HOME",    u"DIR_LIBRARY",    u"DIR_LOGGING",
    u"DIR_PROFILE",   u"DIR_SETUPS",  u"DIR_SOURCE",
};

constexpr bool UnitsLess(const WEQ_UC* a, const WEQ_UC* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a < *b;
}

constexpr bool Sorted() {
  for (size_t i = 1; i < std::size(kDirNames); ++i) {
    if (!UnitsLess(kDirNames[i - 1], kDirNames[i])) return false;
  }
  return true;
}
static_assert(Sorted(), "the directory table is searched by binary search");

// Capacities in units, terminator included, by WeqpBuf.
constexpr size_t kBufUnits[] = {
    0,     // kNone
    12,    // counts: "%5.5d" of any 32-bit value
    12,    //
    12,    //
    499,   // the last name looked up: 498 units
    24,    // a 64-bit decimal
    400,   // paths of the opened profiles: 399 units
    400,   //
    200,   // WEQSYSTEMNAME: 199 units
    1024,  // host paths
    1024,  //
    1024,  //
    24,    // memory-derived values: 64-bit decimals
    24, 24, 24, 24, 24, 24,
    64,    // the properties-file default
};
static_assert(std::size(kBufUnits) == static_cast<size_t>(WeqpBuf::kCount));
static_assert(sizeof kWeqpPropertiesExt / sizeof(WEQ_UC) <= 64);

constexpr std::array<size_t, std::size(kBufUnits) + 1> Offsets() {
  std::array<size_t, std::size(kBufUnits) + 1> o{};
  for (size_t i = 0; i < std::size(kBufUnits); ++i) o[i + 1] = o[i] + kBufUnits[i];
  return o;
}
constexpr auto kBufOffset = Offsets();

WEQ_UC g_buffers[kBufOffset.back()];

}  // namespace

bool weqparamIIsDirParam(const WEQ_UC* name) {
  auto end = std::end(kDirNames);
  auto at = std::lower_bound(std::begin(kDirNames), end, name, UnitsLess);
  return at != end && strcmpU(*at, name) == 0;
}

void weqparamIResetBuffers(void) {
  for (const WeqpDefaultRow& row : kWeqpDefaults) {
    if (row.buf != WeqpBuf::kNone) weqparamISetBuf(row.buf, row.value);
  }
}

size_t weqparamIBufUnits(WeqpBuf b) { return kBufUnits[static_cast<size_t>(b)]; }

WEQ_UC* weqparamIBuf(WeqpBuf b) { return g_buffers + kBufOffset[static_cast<size_t>(b)]; }

void weqparamISetBuf(WeqpBuf b, const WEQ_UC* text) {
  strncpy_sU16(weqparamIBuf(b), weqparamIBufUnits(b), text, weqparamIBufUnits(b) - 1);
}

void weqparamISetCount(WeqpBuf b, int64_t n) {
  // "%5.5d" (at least five digits), cut to the buffer, written by hand:
  // every lookup sets a count, and the formatter took a third of a build.
  WEQ_UC text[24];
  WEQ_UC* end = text + std::size(text);
  WEQ_UC* p = end;
  uint64_t v = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  do {
    *--p = static_cast<WEQ_UC>(u'0' + v % 10);
    v /= 10;
  } while (v != 0 || end - p < 5);
  if (n < 0) *--p = u'-';
  const size_t len = std::min(static_cast<size_t>(end - p), weqparamIBufUnits(b) - 1);
  WEQ_UC* out = weqparamIBuf(b);
  memcpy(out, p, len * sizeof(WEQ_UC));
  out[len] = 0;
}
