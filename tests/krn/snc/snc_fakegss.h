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

// Function numbers for the call counters and the failure switch (the order
// of the standard's function table).
enum FakeFn {
  kFnAcquireCred = 1, kFnReleaseCred = 2, kFnInit = 3, kFnAccept = 4, kFnDelete = 6, kFnContextTime = 7,
  kFnGetMic = 8, kFnVerifyMic = 9, kFnWrap = 10, kFnUnwrap = 11, kFnDisplayStatus = 12, kFnDisplayName = 15,
  kFnImportName = 16, kFnReleaseName = 17, kFnReleaseBuffer = 18, kFnInquireCred = 20, kFnCanonicalize = 28,
  kFnExportName = 29, kFnCount = 32
};

// Credentials acquire_cred hands out.
enum FakeCred { kFakeCredGranted = 0, kFakeCredNone = 1, kFakeCredExpired = 2 };

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
  // Credentials and contexts.
  int cred;                 // FakeCred
  unsigned credLifetime;    // seconds; 0 indefinite
  const char* initUser;     // the default initiating name (NULL: "user"), the realm appended
  const char* acceptName;   // the default accepting name (NULL: "host/server")
  int rounds;               // initiator tokens per establishment (0: 1)
  int emptyContinue;        // a step that continues hands out no token
  unsigned flagMask;        // context flags that contexts do not grant
  unsigned ctxLifetime;     // seconds of a context from its completion; 0 indefinite
  long clock;               // the virtual clock in seconds
  int noConf;               // wrap and unwrap report no confidentiality
  int unwrapGrow;           // unwrap hands back more than the token held
  int failFn, failAt;       // the failAt-th call of function failFn fails
  int failRelease;          // releases report failure (and still release)
  long calls[kFnCount];     // calls per function
  long liveCreds, liveContexts;
  unsigned long initPad;  // zero bytes behind the names of every initiator token
};

#endif
