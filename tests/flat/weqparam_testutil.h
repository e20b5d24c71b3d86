// Runs the profile parameter store in a fresh child process with a chosen
// environment, registered pairs and profile files, and reads back what the
// two queries answered there.
#ifndef TESTS_FLAT_WEQPARAM_TESTUTIL_H
#define TESTS_FLAT_WEQPARAM_TESTUTIL_H

#include <stdint.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/testsupport.h"

namespace weqptest {

struct StoreSetup {
  // Environment variables of the child; nullopt unsets one. WEQSYSTEM,
  // WEQPARAM700, WEQPARAMMSID and NI_USEIPv6 start unset.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  std::vector<std::pair<std::string, std::string>> args;       // command-line pairs (UTF-8)
  std::vector<std::pair<std::string, std::string>> overrides;  // override list (UTF-8)
  bool quiet = true;
  // Written into a temporary directory, which becomes DIR_PROFILE (a
  // command-line pair) when defaultPfl is given; instance becomes the file
  // named by the pair WEQPROFILE.
  std::optional<std::string> defaultPfl;
  std::optional<std::string> instance;
  // Physical memory the bound entry reports; nullopt: the system's; 0: the
  // figure is unavailable.
  std::optional<uint64_t> physBytes;
};

struct StoreResult {
  tovtest::ChildResult child;
  std::string dir;  // the temporary directory of the profiles
  std::map<std::string, std::optional<std::string>> get, def;

  // "<null>" for a NULL answer.
  std::string Get(const std::string& name) const;
  std::string Default(const std::string& name) const;
};

// Builds the store in a child, prints both answers for every name and then
// runs extra, whose result becomes the exit code. The child's standard error is in child.err.
StoreResult RunStore(const StoreSetup& setup, const std::vector<std::string>& names,
                     const std::function<int()>& extra = {});

// One expectation: the answers of weqparamGet and weqparamGetDefault
// (nullptr: NULL).
struct Expect {
  const char* name;
  const char* get;
  const char* def;
};

// RunStore over the names of want, then compares every answer; "{dir}" in
// an expected text stands for the profiles' temporary directory.
StoreResult RunExpect(const StoreSetup& setup, const std::vector<Expect>& want);

// Occurrences of line (a whole line, without its newline) in text.
int CountLine(const std::string& text, const std::string& line);

// The 16-bit text of a UTF-8 literal, for calls into the store.
std::u16string U(const std::string& s);
std::string Utf8(const char16_t* s);

}  // namespace weqptest

#endif
