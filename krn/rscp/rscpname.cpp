// Display names of the converter's enumerations: conversion methods, NLS
// kinds, output rules, the option letters of a converter object and the
// converter's table names.
#include <algorithm>
#include <iterator>

#include "i18n/wequ16/u16fmt.h"
#include "krn/rscp/rscp.h"

namespace {

struct Named {
  int64_t value;
  const WEQ_UC* name;
};

// The name of value in rows, else fallback.
template <size_t N>
const WEQ_UC* Find(const Named (&rows)[N], int64_t value, const WEQ_UC* fallback) {
  auto it = std::find_if(std::begin(rows), std::end(rows),
                         [value](const Named& r) { return r.value == value; });
  return it == std::end(rows) ? fallback : it->name;
}

// The name at index in a dense list starting at 0, else fallback.
template <size_t N>
const WEQ_UC* At(const WEQ_UC* const (&names)[N], int64_t index, const WEQ_UC* fallback) {
  return index >= 0 && index < static_cast<int64_t>(N) ? names[index] : fallback;
}

constexpr const WEQ_UC* kMethods[] = {
    u"unknownMeth",    u"deactivated",    u"direct",           u"static",
    u"tab",            u"l_tab",          u"mbconv_tab",       u"l_mbconv_tab",
    u"mbget_tab",      u"l_mbget_tab",    u"tab_mbtunnel",     u"tab_mbcopy",
    u"1B_to_1B",       u"U2_to_U8",       u"U2sw_to_U8",       u"U8_to_U2",
    u"U8_to_U2sw",     u"U4_to_U8",       u"U4sw_to_U8",       u"U8_to_U4",
    u"U8_to_U4sw",     u"U6_to_U8",       u"U6sw_to_U8",       u"U8_to_U6",
    u"U8_to_U6sw",     u"U2_swap",        u"U4_swap",          u"mbs16_tab",
    u"l_mbs16_tab",    u"BRUTE_A_U2B",    u"BRUTE_A_U2L",      u"BRUTE_U2B_A",
    u"BRUTE_U2L_A",    u"nu16be_get_tab", u"l_nu16be_get_tab", u"nu16le_get_tab",
    u"l_nu16le_get_tab", u"ncu16get_tab", u"l_ncu16get_tab",   u"su16get_tab",
    u"l_su16get_tab",  u"2022_tab",       u"mbconv_2022tab",   u"tab_i1b",
    u"tab_i1b_o1b",    u"tab_i1b_o1s",    u"tab_o1b",          u"tab_o1s",
    u"A7_to_U6",       u"A7_to_U6sw",
};
static_assert(std::size(kMethods) == 50);

constexpr Named kNls[] = {
    {0, u"NLS_not"},         {1, u"NLS_EUC"},           {2, u"NLS_JIS"},
    {3, u"NLS_shiftJIS"},    {4, u"NLS_tradiCh"},       {5, u"NLS_GBK_Ch"},
    {6, u"NLS_corea"},       {7, u"NLS_HK_PUA_Ch"},     {8, u"NLS_HK_U31_Ch"},
    {10, u"NLS_UCS_2h"},     {11, u"NLS_UCS_4h"},       {12, u"NLS_UTF_8"},
    {13, u"NLS_UTF_16h"},    {14, u"NLS_UCS_2l"},       {15, u"NLS_UCS_4l"},
    {16, u"NLS_UTF_16l"},    {19, u"NLS_WEQ16"},        {20, u"NLS_HXT_A"},
    {21, u"NLS_HXT_E"},      {25, u"NLS_2312_80_Ch"},   {29, u"NLS_18030_Ch"},
    {30, u"NLS_shiftJIS_L1"}, {34, u"NLS_tradiCh+sJIS_L1"}, {35, u"NLS_simplCh+sJIS_L1"},
    {36, u"NLS_corea+sJIS_L1"}, {39, u"NLS_AsianUni"},
};

constexpr Named kOutRules[] = {
    {10, u"out_rule_U2h"},    {11, u"out_rule_U4h"},    {12, u"out_rule_U8_1"},
    {13, u"out_rule_U22h"},   {14, u"out_rule_U2l"},    {15, u"out_rule_U4l"},
    {16, u"out_rule_U22l"},   {40, u"out_rule_IconA"},  {41, u"out_rule_IconE"},
    {42, u"out_rule_Icon2h"}, {43, u"out_rule_Icon2l"}, {44, u"out_rule_IconC"},
    {50, u"out_rule_U8_2"},   {51, u"out_rule_U8_3"},   {52, u"out_rule_U8_4"},
    {53, u"out_rule_UIconh"}, {54, u"out_rule_UIconl"}, {55, u"out_rule_UIcon8"},
    {56, u"out_rule_UIconH"}, {57, u"out_rule_UIconL"}, {68, u"out_rule_URange"},
    {72, u"out_rule_ZRange"},
};

constexpr const WEQ_UC* kFill[] = {u".=never", u"0=nulls", u"s=spaces", u"t=and_trunc_spaces"};
constexpr const WEQ_UC* kBroken[] = {u".=stop_finally", u"m=like_miss", u"r=stop_restartable"};
constexpr const WEQ_UC* kCtrlCodeCv[] = {u"i=illegal", u"t=try"};
constexpr const WEQ_UC* kOwnChCv[] = {u"i=ignore", u"t=try"};
constexpr Named kUseF1[] = {{1, u"n=not"}, {2, u"o=only"}, {3, u"e=enforce"}, {4, u"t=try"},
                            {5, u"c=customizable"}};
constexpr const WEQ_UC* kDrop[] = {u".=stop", u"m=like_miss", u"r=remove", u"s=space"};

constexpr const WEQ_UC* kTables[] = {
    u"TCP00",   u"TCP00A",    u"TCP01",    u"TCP09",     u"TCP0C",      u"TCP0D",
    u"TCPDB",   u"TCP0F",     u"TCP0F",    u"TCP0F",     u"TCP0I",      u"TCPSBUILD",
    u"TCPSEG",  u"TCPSPTL",   u"TCPSPTS",  u"TCPSRULE",  u"CPS_RPT",    u"UMGCCTL",
    u"UMGCCTL", u"UMGSTAT",   u"UMGPMIG",  u"UMGPMDIC",  u"UMGLANGCP",  u"UMGLNOCP",
    u"UMGSEP",  u"UMGSETTING", u"UMGCOMCHAR", u"UMGSEPCP", u"RFCDES",   u"UMGCONTAINER",
    u"UMGSETTINGS", u"UMGNTCD6",
};
static_assert(std::size(kTables) == RSCP_TABLES);

// Numeric fallbacks, one buffer per function and thread.
thread_local WEQ_UC tMethodBuf[30];
thread_local WEQ_UC tNlsBuf[30];
thread_local WEQ_UC tOutRuleBuf[30];

}  // namespace

const WEQ_UC* rscpNameOfMethod(uint32_t method) {
  if (const WEQ_UC* n = At(kMethods, method, nullptr)) return n;
  snprintfTruncU16(tMethodBuf, std::size(tMethodBuf), u"unknown(%d)", method);
  return tMethodBuf;
}

const WEQ_UC* rscpNameOfNLS(uint32_t nls) {
  if (const WEQ_UC* n = Find(kNls, nls, nullptr)) return n;
  snprintfTruncU16(tNlsBuf, std::size(tNlsBuf), u"unknown(%d)", nls);
  return tNlsBuf;
}

const WEQ_UC* rscpNameOfOutRule(uint16_t rule) {
  if (const WEQ_UC* n = Find(kOutRules, rule, nullptr)) return n;
  snprintfTruncU16(tOutRuleBuf, std::size(tOutRuleBuf), u"unknown_out_rule(%d)", static_cast<int>(rule));
  return tOutRuleBuf;
}

const WEQ_UC* rscpNameOfFill(int32_t v) { return At(kFill, v, u"?illigal_rscpfill"); }
const WEQ_UC* rscpNameOfBroken(int32_t v) { return At(kBroken, v, u"?illigal_rscpbroken"); }
const WEQ_UC* rscpNameOfCtrlCodeCv(int32_t v) { return At(kCtrlCodeCv, v, u"?illegal_rscpCtrlCodeCv"); }
const WEQ_UC* rscpNameOfOwnChCv(int32_t v) { return At(kOwnChCv, v, u"?illegal_rscpWEQOwnChCv"); }
const WEQ_UC* rscpNameOfUseF1(int32_t v) { return Find(kUseF1, v, u"?illegal_useF1"); }
const WEQ_UC* rscpNameOfDrop(int32_t v) { return At(kDrop, v, u"?illegal_drop"); }
const WEQ_UC* rscpNameOfTable(int32_t index) { return At(kTables, index, u"unknown table"); }
