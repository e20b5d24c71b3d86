// Random and mutated text into the address readers, whole NI_ADDR_POLICY
// values into the policy reader, and route strings into NiSecStr2 with
// random output lengths. The first byte picks the target.
//   address text: a text read as address and mask is written back and must
//     read again as the same address and mask (when the mask is a prefix);
//     NiStrToAddr accepts exactly the texts without prefix or wildcard.
//   policy: at most 20 rules, sorted by prefix length, within their bounds.
//   route strings: the output stays within its length and shows no
//     password after a "/P/" or "/W/" marker.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "krn/ni/nihs_int.h"

namespace {

// The policy value of the current input; NI reads it through the policy
// source (setenv would keep a copy of every value for the process's life).
std::string g_policy;
const char* PolicyText() { return g_policy.c_str(); }

void Quiet() {
  static bool done = [] {
    NiISetPolicySource(&PolicyText);
    CTrcGlobalHdl.store(fopen("/dev/null", "w"));
    CTrcLevel.store(3);
    NiIPProtoUsage.store(6);
    return true;
  }();
  (void)done;
}

std::u16string Units(const uint8_t* p, size_t n) {
  std::u16string s;
  for (size_t i = 0; i < n; ++i) {
    // Mostly the characters of address texts; any unit now and then.
    static const char kAlpha[] = "0123456789abcdefABCDEF:.:./x*/";
    uint8_t b = p[i];
    if (b == 0) break;
    s += b < 0xC0 ? static_cast<char16_t>(kAlpha[b % (sizeof kAlpha - 1)]) : static_cast<char16_t>(b * 131u);
  }
  return s;
}

bool Contiguous(const NI_NODEADDR& m) {
  bool zero = false;
  for (int i = 0; i < 128; ++i) {
    bool bit = (m.addr[i / 8] >> (7 - i % 8)) & 1;
    if (bit && zero) return false;
    zero = zero || !bit;
  }
  return true;
}

void AddressText(const uint8_t* p, size_t n) {
  std::u16string text = Units(p, n);
  NI_NODEADDR a, m;
  int flag = -1;
  NI_RC rc = NiStrToAddrMask(text.c_str(), &a, &m, &flag);
  NI_NODEADDR plain;
  NI_RC rc2 = NiStrToAddr(&plain, text.c_str());
  if ((rc2 == WEQ_O_K) != (rc == WEQ_O_K && flag == 0)) __builtin_trap();
  if (rc != WEQ_O_K) return;
  if (flag != 0 && flag != 1) __builtin_trap();
  WEQ_UC back[NI_ADDRMASK_STR_LEN];
  if (NiAddrMaskToStr(&a, &m, back, NI_ADDRMASK_STR_LEN) != WEQ_O_K) __builtin_trap();
  if (!Contiguous(m)) return;
  NI_NODEADDR a2, m2;
  if (NiStrToAddrMask(back, &a2, &m2, nullptr) != WEQ_O_K) __builtin_trap();
  if (memcmp(a.addr, a2.addr, 16) != 0 || memcmp(m.addr, m2.addr, 16) != 0) __builtin_trap();
}

void Policy(const uint8_t* p, size_t n) {
  g_policy.clear();
  for (size_t i = 0; i < n && p[i] != 0; ++i) {
    static const char kAlpha[] = "0123456789abcdef:./,;;ffff::";
    g_policy += p[i] < 0xE0 ? kAlpha[p[i] % (sizeof kAlpha - 1)] : static_cast<char>(p[i]);
  }
  NIHIMPL_LINEAR6 cache;
  if (cache.Init(4, 86400, 600, 600) != WEQ_O_K) __builtin_trap();
  NI_POLICY_RULE rules[NI_POLICY_RULES];
  int count = cache.CopyPolicy(rules);
  if (count < 0 || count > NI_POLICY_RULES) __builtin_trap();
  for (int i = 0; i < count; ++i) {
    if (rules[i].prefixLen < 0 || rules[i].prefixLen > 128) __builtin_trap();
    if (rules[i].precedence < 0 || rules[i].precedence > 1000) __builtin_trap();
    if (i > 0 && rules[i - 1].prefixLen < rules[i].prefixLen) __builtin_trap();
  }
}

void SecStr(const uint8_t* p, size_t n) {
  if (n == 0) return;
  size_t outLen = p[0];
  std::u16string in;
  static const char* kParts[] = {"/H/", "/P/", "/W/", "/S/", "host", "pw", "3299", "/", "x"};
  for (size_t i = 1; i < n; ++i)
    in += std::u16string(kParts[p[i] % 9], kParts[p[i] % 9] + strlen(kParts[p[i] % 9]));
  std::vector<WEQ_UC> out(outLen + 1, u'#');
  NI_RC rc = NiSecStr2(in.c_str(), out.data(), static_cast<int>(outLen));
  if (out[outLen] != u'#') __builtin_trap();  // nothing beyond the given length
  if (outLen <= in.size()) {
    if (rc != NIETOO_SMALL) __builtin_trap();
    return;
  }
  if (rc != WEQ_O_K) __builtin_trap();
  std::u16string got(out.data());
  if (got.size() >= outLen) __builtin_trap();
  for (size_t at = 0; (at = got.find(u'/', at)) != std::u16string::npos; ++at) {
    if (at + 3 > got.size() || got[at + 2] != u'/' || (got[at + 1] != u'P' && got[at + 1] != u'W')) continue;
    std::u16string rest = got.substr(at + 3, 3);
    if (!(rest.empty() || rest[0] == u'/' || rest == u"***")) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Quiet();
  if (size == 0) return 0;
  switch (data[0] % 3) {
    case 0: AddressText(data + 1, size - 1); break;
    case 1: Policy(data + 1, size - 1); break;
    default: SecStr(data + 1, size - 1); break;
  }
  return 0;
}
