// The switches and counters of the test GSS-API library (snc_fakegss.cpp).
// A test reaches them by opening the same library file with dlopen and
// looking up "fakegss_ctl"; the library under test shares that copy.
#ifndef TESTS_KRN_SNC_SNC_FAKEGSS_H
#define TESTS_KRN_SNC_SNC_FAKEGSS_H

// Mechanisms the library can report, by index.
enum FakeMech { kFakeKrb5Old = 0, kFakeKrb5 = 1, kFakeSecude = 2, kFakeNtlm = 3, kFakeUnknown = 4 };

// How gss_display_name answers.
enum FakeDisplay {
  kFakeDisplayPrincipal = 0,  // the Kerberos principal name type
  kFakeDisplayNoOid = 1,      // no name type
  kFakeDisplayOddOid = 2,     // a name type no adapter knows
  kFakeDisplayEmpty = 3,      // an empty text
  kFakeDisplayUser = 4,       // the standard user name type
};

struct FakeGssCtl {
  int mechs[4];  // what gss_indicate_mechs reports, in this order
  int nmechs;
  int failIndicate;  // gss_indicate_mechs fails
  int extType;       // the external adapter's type (0: ignore it)
  int extInitFail;   // weqsnc_init_adapter refuses
  int display;       // FakeDisplay
  int failImport, failCanon, failExport;
  const char* realm;  // appended to names without one
  long liveNames, liveBuffers, liveSets;  // objects handed out and not yet released
  long loads;                             // times the library's constructor ran
};

#endif
