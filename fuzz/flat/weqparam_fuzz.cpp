// Random and mutated profile files through both profile readers and the
// build of the parameter store. The first byte chooses which files exist,
// whether warnings are on and which command-line pairs are registered; the
// second where the rest splits into the instance profile and DEFAULT.PFL.
// After each build the store must be sorted without duplicates, every
// record must answer with its own value, and no string may exceed the
// pool's longest.
//
// A reference is resolved by copying its value and scanning the text again,
// and values grow with each level of references (also through the built-in
// values, which refer to profile values several times), so that one input
// could take a quarter of a second. To keep a thousand inputs a second: the
// files get at most 8 references ("$(" and "%("; the ones after that lose
// their '(') in at most 1024 bytes (the rest of the input is not read), the
// pool keeps strings of at most 2048 units (8192 otherwise), and the store
// formats no messages. The files lie in /dev/shm where it exists.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ntport/ntport_int.h"
#include "fuzz/check.h"
#include "fuzz/quiet.h"
#include "platform/physmem.h"

namespace {

std::string g_dir;
std::u16string g_dir16;

constexpr int kMaxRefs = 8;
constexpr size_t kMaxString = 2048;
constexpr size_t kMaxInput = 2 + 1024;

// Host names from the files must not wait for a name service.
int NoResolver(const char*, NtIAddr*, int) { return -1; }

bool FixedMemory(uint64_t* bytes) {
  *bytes = uint64_t{4096} << 20;
  return true;
}

void Write(const std::string& name, const char* data, size_t n) {
  FILE* f = fopen((g_dir + "/" + name).c_str(), "wb");
  if (f == nullptr) abort();
  fwrite(data, 1, n, f);
  fclose(f);
}

// The input with the references after the first kMaxRefs cut.
std::string Bounded(const uint8_t* data, size_t n) {
  std::string s(reinterpret_cast<const char*>(data), n);
  int refs = 0;
  for (size_t i = 1; i < s.size(); ++i) {
    if (s[i] == '(' && (s[i - 1] == '$' || s[i - 1] == '%') && ++refs > kMaxRefs) s[i] = '_';
  }
  return s;
}

void CheckStore() {
  const WeqpState& st = weqparamIState();
  for (size_t i = 0; i < st.count; ++i) {
    const weqparamRec& r = st.recs[i];
    FUZZ_CHECK(r.name != nullptr);
    if (i > 0) FUZZ_CHECK(strcmpU(st.recs[i - 1].name, r.name) < 0);
    FUZZ_CHECK(r.value == r.currentFinal);
    for (const WEQ_UC* s : {r.value, r.systemFinal, r.defaultValue}) {
      if (s != nullptr) FUZZ_CHECK(strnlenU16(s, kMaxString + 1) <= kMaxString);
    }
    FUZZ_CHECK(weqparamIFind(r.name) == &r);
  }
  if (st.count > 0) {
    const WeqpState copy = st;
    FUZZ_CHECK(weqparamGet(copy.recs[0].name) == copy.recs[0].value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char shm[] = "/dev/shm/weqparam_fuzz.XXXXXX";
  char tmp[] = "/tmp/weqparam_fuzz.XXXXXX";
  const char* dir = mkdtemp(shm);
  if (dir == nullptr && (dir = mkdtemp(tmp)) == nullptr) abort();
  g_dir = dir;
  for (char c : g_dir) g_dir16.push_back(static_cast<char16_t>(c));
  atexit([] {
    unlink((g_dir + "/inst.pfl").c_str());
    unlink((g_dir + "/DEFAULT.PFL").c_str());
    rmdir(g_dir.c_str());
  });
  tovfuzz::Quiet();
  weqparamISetMessages(false);
  weqparamISetMaxString(kMaxString);
  NtISetResolver(NoResolver);
  PlatPhysMemSetProvider(FixedMemory);
  setenv("TOVF_A", "%(TOVF_B)$(DIR_PROFILE)", 1);
  setenv("TOVF_B", "\xc3\xa4$$", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  if (size > kMaxInput) size = kMaxInput;
  const uint8_t flags = data[0];
  const size_t split = (size - 2) * data[1] / 255;
  const std::string rest = Bounded(data + 2, size - 2);
  unlink((g_dir + "/inst.pfl").c_str());
  unlink((g_dir + "/DEFAULT.PFL").c_str());
  if (flags & 1) Write("inst.pfl", rest.data(), split);
  if (flags & 2) Write("DEFAULT.PFL", rest.data() + split, size - 2 - split);

  weqparamIReset();
  if (flags & 4) weqparamQuiet();
  if (flags & 8) weqparamIAddArg(u"WEQPROFILE", (g_dir16 + u"/inst.pfl").c_str());
  if (!(flags & 16)) weqparamIAddArg(u"DIR_PROFILE", g_dir16.c_str());
  if (flags & 32) weqparamIAddArg(u"WEQSYSTEMNAME", u"F$$");
  if (flags & 64) weqparamIAddOverride(u"snc/enable", u"$(INSTANCE_NAME)");
  if (flags & 128) setenv("WEQSYSTEM", "4x", 1);
  else unsetenv("WEQSYSTEM");
  weqparamInit();
  CheckStore();
  weqparamGetDefault(u"DIR_PROFILE");
  weqparamGet(u"__WEQPROFILE_CALL_LAST_NAME");
  // Everything the store holds is freed again, so that libFuzzer does not
  // take each new input for a leak and run it once more with a leak check.
  weqparamIReset();
  return 0;
}
