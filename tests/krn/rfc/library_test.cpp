// The shared object as the JVM sees it: what it exports, and that it loads,
// starts and stops in a process of its own.
#include <dlfcn.h>
#include <jni.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "support/testsupport.h"

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
  std::set<std::string> names;
  std::string cmd = "nm -D --defined-only '" + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return names;
  char line[1024];
  while (fgets(line, sizeof line, p)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    size_t blank = s.rfind(' ');
    names.insert(blank == std::string::npos ? s : s.substr(blank + 1));
  }
  pclose(p);
  return names;
}

// The natives of the Java classes, by class and method name, and whether
// this build has them yet.
struct Native {
  const char* cls;
  const char* method;
  bool built;
};
const char kDriver[] = "com/weq/conn/rfc/driver/CpicDriver";
const char kLg[] = "com/weq/conn/rfc/driver/LG";
const char kCompress[] = "com/weq/conn/rfc/engine/Compress";
const char kConverter[] = "com/weq/i18n/cp/ConverterJNI";
const Native kNatives[] = {
    {kDriver, "INIT", true},
    {kDriver, "nativeWEQ_CMINIT3", false},
    {kDriver, "nativeCMALLC", false},
    {kDriver, "nativeCMSEND", false},
    {kDriver, "nativeCpic_coxread", false},
    {kDriver, "nativeRflushCMRCV", false},
    {kDriver, "nativeCMSPLN", false},
    {kDriver, "nativeCMDEAL", false},
    {kDriver, "nativeWEQ_CMCANCEL", false},
    {kDriver, "nativeCoxclose", false},
    {kDriver, "nativeCoxabort", false},
    {kDriver, "nativeWEQ_CMREGTP2", false},
    {kDriver, "nativeWEQ_CMREGTP3", false},
    {kDriver, "nativeWEQ_CMUNREGTP3", false},
    {kDriver, "nativeWEQ_CMLISTEN", false},
    {kDriver, "nativeWEQ_CMLISTEN3", false},
    {kDriver, "nativeWEQ_CMGETNEXTHDL", false},
    {kDriver, "nativeWEQ_CMACCPTP", false},
    {kDriver, "nativeWEQ_CMACCPTP3", false},
    {kDriver, "nativeWEQ_CMNOREGTP", false},
    {kDriver, "WEQ_CMPERR", false},
    {kDriver, "nativeSetCpicTrace", false},
    {kDriver, "nativeGetCpicTrace", false},
    {kDriver, "getTraceFileName", false},
    {kDriver, "nativeSncMode", false},
    {kDriver, "nativeSncPartnerName", false},
    {kDriver, "nativeSncPartnerAclKey", false},
    {kDriver, "nativeCpicGetVersion", false},
    {kDriver, "nativeWEQ_CMMAXCONV", false},
    {kDriver, "nativeWEQ_CMSETPING", false},
    {kDriver, "nativeCreateUUID", false},
    {kDriver, "nativeLaunchWeqGui", true},
    {kLg, "nativeGet_MS", true},
    {kLg, "nativeGet_MS_SNC", true},
    {kCompress, "CsRGetHandle", true},
    {kCompress, "CsRCloseHandle", true},
    {kCompress, "CsRInitCompress", true},
    {kCompress, "CsRCompress", true},
    {kCompress, "CsRInitDecompress", true},
    {kCompress, "CsRDecompress", true},
    {kConverter, "CheckRequiredVersion", true},
    {kConverter, "GetVersion", true},
    {kConverter, "ConvertInit", true},
    {kConverter, "ConvertFinish", true},
    {kConverter, "GetLastError", true},
    {kConverter, "GetSystemCodePage", true},
    {kConverter, "GetShortcutType", true},
    {kConverter, "GetSb2UcTab", true},
    {kConverter, "GetDb2UcTab", true},
    {kConverter, "GetUc2SbTab", true},
    {kConverter, "GetUc2DbTab", true},
    {kConverter, "ConvertCToX", true},
    {kConverter, "ConvertXToC", true},
    {kConverter, "ConvertXToX", true},
    {kConverter, "ConvertXToCArr", true},
    {kConverter, "ConvertXToCArrR", true},
    {kConverter, "ConvertCToXArr", true},
    {kConverter, "ConvertCToXArrR", true},
};

// The short JNI name: "Java_", the class with '/' as '_', '_', the method;
// '_' within a name becomes "_1".
std::string JniName(const char* cls, const char* method) {
  std::string out = "Java_";
  auto put = [&out](const char* s) {
    for (; *s; ++s) {
      if (*s == '/') {
        out += '_';
      } else if (*s == '_') {
        out += "_1";
      } else {
        out += *s;
      }
    }
  };
  put(cls);
  out += '_';
  put(method);
  return out;
}

TEST(Library, ExportsTheNativesOfTheJavaClasses) {
  ASSERT_EQ(sizeof(kNatives) / sizeof(kNatives[0]), 58u);
  EXPECT_EQ(JniName(kDriver, "nativeWEQ_CMINIT3"),
            "Java_com_weq_conn_rfc_driver_CpicDriver_nativeWEQ_1CMINIT3");
  std::set<std::string> names = DefinedDynamicSymbols(TOV_LIBTOVNATIVE);
  std::set<std::string> known;
  for (const Native& n : kNatives) {
    std::string name = JniName(n.cls, n.method);
    EXPECT_TRUE(known.insert(name).second) << "listed twice: " << name;
    EXPECT_TRUE(!n.built || names.count(name)) << "missing: " << name;
  }
  for (const std::string& n : names) {
    EXPECT_TRUE(n.rfind("Java_", 0) != 0 || known.count(n)) << "not a native of the classes: " << n;
  }
}

TEST(Library, ExportsOnlyTheJniNamesAndItsLoadAndUnload) {
  std::set<std::string> names = DefinedDynamicSymbols(TOV_LIBTOVNATIVE);
  ASSERT_FALSE(names.empty()) << "nm found no symbols in " << TOV_LIBTOVNATIVE;
  EXPECT_TRUE(names.count("JNI_OnLoad"));
  EXPECT_TRUE(names.count("JNI_OnUnload"));
  for (const std::string& n : names) {
    EXPECT_TRUE(n == "JNI_OnLoad" || n == "JNI_OnUnload" || n.rfind("Java_", 0) == 0)
        << "exported: " << n;
  }
}

TEST(Library, LoadsStartsAndStopsInAFreshProcess) {
  tovtest::ChildResult r = tovtest::RunInChild([] {
    void* lib = dlopen(TOV_LIBTOVNATIVE, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
      fprintf(stderr, "%s\n", dlerror());
      return 1;
    }
    auto onLoad = reinterpret_cast<jint (*)(JavaVM*, void*)>(dlsym(lib, "JNI_OnLoad"));
    auto onUnload = reinterpret_cast<void (*)(JavaVM*, void*)>(dlsym(lib, "JNI_OnUnload"));
    if (onLoad == nullptr || onUnload == nullptr) return 2;
    if (onLoad(nullptr, nullptr) != JNI_VERSION_1_8) return 3;
    onUnload(nullptr, nullptr);
    // A second load after an unload starts over.
    if (onLoad(nullptr, nullptr) != JNI_VERSION_1_8) return 4;
    onUnload(nullptr, nullptr);
    return dlclose(lib) == 0 ? 0 : 5;
  });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

}  // namespace
