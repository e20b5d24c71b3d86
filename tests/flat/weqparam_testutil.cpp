#include "weqparam_testutil.h"

#include <stdio.h>
#include <stdlib.h>

#include <sstream>

#include <gtest/gtest.h>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "krn/ntport/ntport_int.h"
#include "platform/physmem.h"

namespace weqptest {

namespace {

uint64_t g_fakeBytes = 0;

bool FakePhysMem(uint64_t* bytes) {
  *bytes = g_fakeBytes;
  return true;
}

void Print(char kind, const std::string& name, const char16_t* v) {
  printf("%c\t%s\t%s\n", kind, name.c_str(), v ? Utf8(v).c_str() : "\x01");
}

std::string Lookup(const std::map<std::string, std::optional<std::string>>& m,
                   const std::string& name) {
  auto it = m.find(name);
  if (it == m.end()) return "<not asked>";
  return it->second ? *it->second : "<null>";
}

}  // namespace

std::u16string U(const std::string& s) { return tovtest::FromUtf8(s); }

std::string Utf8(const char16_t* s) { return s ? tovtest::ToUtf8(s) : "<null>"; }

std::string StoreResult::Get(const std::string& name) const { return Lookup(get, name); }

std::string StoreResult::Default(const std::string& name) const { return Lookup(def, name); }

StoreResult RunStore(const StoreSetup& setup, const std::vector<std::string>& names,
                     const std::function<int()>& extra) {
  tovtest::TempDir tmp;
  StoreResult res;
  res.dir = tmp.path();
  if (setup.defaultPfl) tovtest::WriteFile(tmp.File("DEFAULT.PFL"), *setup.defaultPfl);
  if (setup.instance) tovtest::WriteFile(tmp.File("instance.pfl"), *setup.instance);
  res.child = tovtest::RunInChild([&] {
    for (const char* v : {"WEQSYSTEM", "WEQPARAM700", "WEQPARAMMSID", "NI_USEIPv6"}) unsetenv(v);
    NtIReset();  // the parent may have bound the entries already
    for (const auto& [k, v] : setup.env) {
      if (v) setenv(k.c_str(), v->c_str(), 1);
      else unsetenv(k.c_str());
    }
    if (setup.physBytes) {
      g_fakeBytes = *setup.physBytes;
      PlatPhysMemSetProvider(*setup.physBytes ? &FakePhysMem : nullptr);
    }
    if (setup.defaultPfl) weqparamIAddArg(u"DIR_PROFILE", U(tmp.path()).c_str());
    if (setup.instance) weqparamIAddArg(u"WEQPROFILE", U(tmp.File("instance.pfl")).c_str());
    for (const auto& [k, v] : setup.args) weqparamIAddArg(U(k).c_str(), U(v).c_str());
    for (const auto& [k, v] : setup.overrides) weqparamIAddOverride(U(k).c_str(), U(v).c_str());
    if (setup.quiet) weqparamQuiet();
    weqparamInit();
    for (const auto& n : names) Print('G', n, weqparamGet(U(n).c_str()));
    for (const auto& n : names) Print('D', n, weqparamGetDefault(U(n).c_str()));
    fflush(stdout);
    return extra ? extra() : 0;
  });
  std::istringstream in(res.child.out);
  std::string line;
  while (std::getline(in, line)) {
    size_t a = line.find('\t');
    size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
    if (line.size() < 2 || (line[0] != 'G' && line[0] != 'D') || b == std::string::npos) continue;
    std::string name = line.substr(a + 1, b - a - 1);
    std::string value = line.substr(b + 1);
    auto& into = line[0] == 'G' ? res.get : res.def;
    into[name] = value == "\x01" ? std::nullopt : std::optional<std::string>(value);
  }
  return res;
}

StoreResult RunExpect(const StoreSetup& setup, const std::vector<Expect>& want) {
  std::vector<std::string> names;
  for (const Expect& e : want) names.push_back(e.name);
  StoreResult r = RunStore(setup, names);
  EXPECT_EQ(r.child.exit_code, 0) << r.child.err;
  auto expand = [&](const char* v) {
    if (v == nullptr) return std::string("<null>");
    std::string t = v;
    if (size_t at = t.find("{dir}"); at != std::string::npos) t.replace(at, 5, r.dir);
    return t;
  };
  for (const Expect& e : want) {
    EXPECT_EQ(r.Get(e.name), expand(e.get)) << e.name;
    EXPECT_EQ(r.Default(e.name), expand(e.def)) << e.name;
  }
  return r;
}

int CountLine(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  std::string l;
  int n = 0;
  while (std::getline(in, l)) n += l == line;
  return n;
}

}  // namespace weqptest
