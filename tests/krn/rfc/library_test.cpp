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
