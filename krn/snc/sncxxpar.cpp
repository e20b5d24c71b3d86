// SNC configuration: the program types, the values read from the
// environment and from profile parameters, and the choice of the GSS-API
// library's name.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "flat/weqparam.h"
#include "krn/snc/snc_int.h"
#include "platform/profile.h"

namespace {
#define SNC_MODULE "sncxxpar"
constexpr const char* kSection = "snc";
}  // namespace

const SncProgRow kSncProgRows[10] = {
    {nullptr, false, false, false, false, false},        // 0
    {"identity/as", true, true, true, false, true},      // 1
    {"identity/as", true, true, true, false, true},      // 2
    {"identity/as", true, false, false, true, true},     // 3
    {"identity/ms", false, true, false, false, true},    // 4
    {nullptr, true, false, false, false, false},         // 5
    {"identity/lpd", false, true, false, true, false},   // 6
    {"identity/gw", true, true, false, false, true},     // 7
    {"identity/gw", true, true, false, false, true},     // 8
    {nullptr, false, false, false, false, false},        // 9
};

const char* SncPQopName(int level) {
  switch (level) {
    case 0: return "None";
    case 1: return "Open";
    case 2: return "Integrity";
    case 3: return "Privacy";
    case 7: return "min default";
    case 8: return "default";
    case 9: return "max default";
    default: return "????";
  }
}

namespace {

// "%02uh %02um %02us", "Expired" for 0, "Indefinite" for 0xFFFFFFFF.
const char* LifetimeText(uint32_t s, char* buf, size_t size) {
  if (s == 0) return "Expired";
  if (s == 0xFFFFFFFFu) return "Indefinite";
  snprintf(buf, size, "%02uh %02um %02us", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

// The decimal value of an environment variable; false when it is not set.
bool EnvNumber(const char* name, long* value) {
  const char* v = getenv(name);
  if (v == nullptr || *v == 0) return false;
  *value = strtol(v, nullptr, 10);
  return true;
}

int Clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

}  // namespace

void SncIReadEnvConfig(void) {
  char buf[64];
  long v = 0;
  if (EnvNumber("SNC_REF_WATERMARK", &v)) {
    gSnc.refWatermark = v >= 21600 ? 21600 : v < 600 ? 600 : static_cast<int32_t>(v);
    SNC_TRC(2, "%.32s(): security context refresh watermark at %.64s\n", "SncInit",
            LifetimeText(static_cast<uint32_t>(gSnc.refWatermark), buf, sizeof buf));
  }
  if (EnvNumber("SNC_CTX_LIFETIME", &v)) {
    const char* text;
    if (v < 0) {
      gSnc.ctxLifetime = 0xFFFFFFFFu;
      text = "indefinite";
    } else if (v == 0) {
      gSnc.ctxLifetime = 0;
      text = "mechanism default";
    } else {
      long floor = static_cast<long>(gSnc.refWatermark) + 10;
      long life = v > floor ? v : floor;
      gSnc.ctxLifetime = life >= 0xFFFFFFFFL ? 0xFFFFFFFEu : static_cast<uint32_t>(life);
      text = LifetimeText(gSnc.ctxLifetime, buf, sizeof buf);
    }
    SNC_TRC(2, "%.32s(): will ask for security context lifetime %.64s\n", "SncInit", text);
  }
  int q = 3;
  if (EnvNumber("SNC_QOP", &v) && v >= 1 && v <= 3) {
    q = static_cast<int>(v);
    SNC_TRC(2, "%.32s(): from environment SNC_QOP=%d (%.30s)\n", "SncInit", q,
            q == 1 ? "Authentication Level" : q == 2 ? "Integrity Level" : "Privacy Level");
  }
  gSnc.qopUse = q;
  gSnc.qopMin = q < 2 ? q : 2;
  gSnc.qopMax = 3;
}

void SncIProfileParam(const char* section, const char* key, const char* dflt, bool* isDefault, char text[255],
                      int* number) {
  if (dflt == nullptr) {
    SNC_TRC(1, "SncIProfileParam(): p_default = (NULL) !?\n");
    dflt = "";
  }
  bool custom = false;
  text[0] = 0;
  if (gSnc.profileFile[0] != 0) {
    PlatProfileGetString(section, key, "void", text, 254, gSnc.profileFile);
    if (strcmp(text, "void") == 0) {
      snprintf(text, 255, "%s", dflt);
    } else {
      custom = true;
    }
  } else {
    char name[64];
    snprintf(name, sizeof name, "%.16s/%.40s", section, key);
    WEQ_UC wide[64];
    SncPWiden(wide, 64, name);
    const WEQ_UC* value = weqparamGet(wide);
    custom = value != nullptr && value[0] != 0;
    if (!custom) value = weqparamGetDefault(wide);
    if (value != nullptr && value[0] != 0) {
      // The stored text is at most 254 bytes. A unit without a byte would
      // make the value name something else: the default stands in and the
      // initialisation fails.
      if (!SncPNarrow(value, 254, text)) {
        SNC_TRC(1, "%.32s(): %.16s/%.40s holds characters beyond 8 bits\n", "SncIProfileParam", section, key);
        char detail[96];
        snprintf(detail, sizeof detail, "%.16s/%.40s not convertible to 8-bit chars", section, key);
        SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_INIT, detail);
        gSnc.profileNarrowFailed = true;
        snprintf(text, 255, "%s", dflt);
      }
    } else {
      snprintf(text, 255, "%s", dflt);
    }
  }
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  *number = isdigit(static_cast<unsigned char>(*p)) || *p == '-' || *p == '+'
                ? static_cast<int>(strtol(p, nullptr, 10))
                : 0;
  if (isDefault != nullptr) *isDefault = !custom;
  SNC_TRC(4, "  <<- SncIProfileParam(): (%.16s) %.16s/%.40s = \"%.256s\" value=%d\n", custom ? "custom" : "default",
          section, key, text, *number);
}

namespace {

// Reads one data protection value and traces it.
int ProtectionParam(const char* key, const char* dflt, int lo, int hi) {
  bool isDefault = true;
  char text[255];
  int n = 0;
  SncIProfileParam(kSection, key, dflt, &isDefault, text, &n);
  int v = Clamp(n, lo, hi);
  SNC_TRC(2, "%.32s(): %.32s %.16s/%.40s=%.32s, using %d (%.30s)\n", "SncInit", isDefault ? "missing" : "  found",
          kSection, key, text, v, SncPQopName(v));
  return v;
}

}  // namespace

void SncIReadProfileConfig(int progType, bool* enabled) {
  *enabled = true;
  const SncProgRow& row = kSncProgRows[progType];
  if (row.readEnable) {
    bool isDefault = true;
    char text[255];
    int n = 0;
    SncIProfileParam(kSection, "enable", "0", &isDefault, text, &n);
    if (n == 0) {
      SNC_TRC(2, "%.32s(): %.16s/%.40s=%d, external security disabled\n", "SncInit", kSection, "enable", n);
      *enabled = false;
      return;
    }
  }
  char dflt[16];
  int max = ProtectionParam("data_protection/max", "3", 1, 3);
  snprintf(dflt, sizeof dflt, "%d", gSnc.qopMin);
  int min = ProtectionParam("data_protection/min", dflt, 1, max);
  snprintf(dflt, sizeof dflt, "%d", gSnc.qopUse > min ? gSnc.qopUse : min);
  int use = ProtectionParam("data_protection/use", dflt, min, max);
  gSnc.qopMax = max;
  gSnc.qopMin = min;
  gSnc.qopUse = use;
}

void SncIChooseLibName(int progType) {
  snprintf(gSnc.libName, sizeof gSnc.libName, "%s", SNC_DEFAULT_LIB);
  gSnc.libSource = SNC_LIB_BUILTIN;
  const char* env = getenv("SNC_LIB");
  if (env != nullptr && *env != 0) {
    snprintf(gSnc.libName, sizeof gSnc.libName, "%s", env);
    gSnc.libSource = SNC_LIB_ENV;
  }
  bool isDefault = true;
  char text[255];
  int n = 0;
  SncIProfileParam(kSection, "gssapi_lib", "", &isDefault, text, &n);
  if (text[0] != 0) {
    snprintf(gSnc.libName, sizeof gSnc.libName, "%s", text);
    gSnc.libSource = SNC_LIB_PROFILE;
  }
  if (gSnc.userLib[0] != 0) {
    snprintf(gSnc.libName, sizeof gSnc.libName, "%s", gSnc.userLib);
    gSnc.libSource = SNC_LIB_USER;
  }
  static const char* const kSources[] = {"", "builtin default", "environment variable SNC_LIB",
                                         "profile parameter snc/gssapi_lib", "user/application supplied"};
  SNC_TRC(2, "%s(): Trying %s as a\n      gssapi library name: \"%s\".\n", "SncInit", kSources[gSnc.libSource],
          gSnc.libName);
  if (!kSncProgRows[progType].libInProfile) return;
  if (gSnc.libSource == SNC_LIB_BUILTIN || gSnc.libSource == SNC_LIB_ENV) {
    SNC_TRC(1, "%.32s(): %.16s/%.40s UNDEFINED in profile!\n      YOU DEFINITELY SHOULD SET %.16s/%.40s !!\n",
            "SncInit", kSection, "gssapi_lib", kSection, "gssapi_lib");
  } else {
    SNC_TRC(2, "%.32s(): found  %.16s/%.40s=%.256s\n", "SncInit", kSection, "gssapi_lib", gSnc.libName);
  }
  (void)SNC_MODULE;
}

#undef SNC_MODULE
