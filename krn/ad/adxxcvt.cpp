// Body converters of the AD records: one table of field layouts for the
// plain opcodes, and the storage and EM-ADM converters whose layout depends
// on the body itself.
#include <string.h>

#include <initializer_list>
#include <utility>

#include "flat/nlsui.h"
#include "i18n/wequ16/blankfld.h"
#include "i18n/wequ16/u16fmt.h"
#include "krn/ad/ad.h"
#include "krn/ad/ad_int.h"
#include "krn/ni/ni.h"
#include "krn/rscp/rscpu.h"

namespace {

// --- Field layouts -------------------------------------------------------------

enum class Fk : uint8_t { kText, kRaw };

// One field: internal byte offset, external byte offset, width (characters
// of text, bytes of raw data).
struct AdField {
  Fk kind;
  uint8_t in;
  uint8_t ex;
  uint8_t w;
};

struct AdLayout {
  uint8_t opcode;
  uint8_t n;
  AdField f[14];
};

// Text fields without gaps from offset 0: a field at external offset o lies
// at internal byte offset 2 * o.
constexpr AdLayout Text(uint8_t opcode, std::initializer_list<uint8_t> widths) {
  AdLayout l{opcode, 0, {}};
  int ex = 0;
  for (uint8_t w : widths) {
    l.f[l.n++] = {Fk::kText, static_cast<uint8_t>(2 * ex), static_cast<uint8_t>(ex), w};
    ex += w;
  }
  return l;
}

constexpr AdLayout Mixed(uint8_t opcode, std::initializer_list<AdField> fields) {
  AdLayout l{opcode, 0, {}};
  for (const AdField& f : fields) l.f[l.n++] = f;
  return l;
}

constexpr AdField T(uint8_t w, uint8_t in, uint8_t ex) { return {Fk::kText, in, ex, w}; }
constexpr AdField R(uint8_t w, uint8_t in, uint8_t ex) { return {Fk::kRaw, in, ex, w}; }

constexpr AdLayout kLayouts[] = {
    Text(AD_GENERAL, {3, 3, 3, 3, 3, 13, 3, 3}),
    Text(AD_PROFILE, {100}),
    Text(AD_WPSTAT, {3, 4, 11, 5, 3, 3, 5, 5, 11, 8, 3, 12, 3, 10}),
    Text(AD_QUEUE, {4, 11, 11, 11, 11, 11}),
    Text(AD_STARTSTOP, {3, 20, 2, 64}),
    Text(AD_WPCONF, {3, 3, 3, 3, 3, 3}),
    Text(AD_USRLST, {3, 12, 12, 4, 8, 11, 3, 3, 11, 1}),
    Text(AD_WPKILL, {11, 1, 3, 12}),
    Text(AD_TIMEINFO, {11, 14, 6, 11}),
    Text(AD_TM_RECONNECT, {11, 5, 11, 5}),
    Text(AD_DB_RECONNECT, {32, 5}),
    Text(AD_WPCONF2, {3, 3, 3, 3, 3, 3, 3}),
    Text(AD_GENERAL2, {3, 3, 3, 3, 3, 13, 3, 3, 3, 3, 3}),
    Text(AD_SET_LIST_PARAM, {11, 11}),
    Text(AD_SHUTDOWN_INFO, {100}),
    Text(AD_SHUTDOWN_ERROR, {100}),
    Text(AD_DISPLACE, {3, 3}),
    Text(AD_DEL_USER, {50, 10, 11}),
    Text(AD_RESET_USR02, {3, 12}),
    Text(AD_SELFIDENT, {100}),
    Text(AD_DP_CALL_DELAYED, {11}),
    Mixed(AD_ARFC_NOREQ, {T(11, 0, 0), T(11, 22, 11), T(11, 44, 22), T(11, 66, 33), T(3, 88, 44),
                          T(11, 94, 47), R(4, 116, 58), T(20, 120, 62), R(8, 160, 82),
                          R(8, 168, 90)}),
    Mixed(AD_SHARED_PARAMETER, {T(96, 0, 0), R(2, 192, 96)}),
    Mixed(AD_SHARED_PARAM_ALL_WPS, {T(96, 0, 0), R(2, 192, 96)}),
    Mixed(AD_DP_TRACE_CHANGE, {T(11, 0, 0), R(1, 22, 11)}),
    Mixed(AD_DP_DUMP_NIHDL, {T(11, 0, 0), R(1, 22, 11)}),
    Mixed(AD_SECSESSION_UPDATE, {T(3, 0, 0), R(64, 6, 3)}),
    Mixed(AD_SECSESSION_TERMINATE, {T(3, 0, 0), R(56, 6, 3)}),
    Mixed(AD_COUNT_WPS, {R(68, 0, 0)}),
    Mixed(AD_QUEUE2, {R(80, 0, 0)}),
    Mixed(AD_SHUTDOWN_STATE, {R(4, 0, 0)}),
};
constexpr size_t kLayoutCount = sizeof(kLayouts) / sizeof(kLayouts[0]);

// Opcodes whose bodies are copied as they are.
constexpr uint8_t kPlainCopy[] = {14, 15, 19, 32, 33, 40, 42, 44, 45, 47, 49, 50, 51, 52, 53, 64, 65, 66};

WEQ_RAW* Bytes(void* body) { return static_cast<WEQ_RAW*>(body); }
// The characters of an internal body from an even byte offset on.
WEQ_UC* Chars(void* body, int byteOffset) {
  return reinterpret_cast<WEQ_UC*>(static_cast<WEQ_RAW*>(body) + byteOffset);
}

// A text field of w characters into w blank-padded UTF-8 bytes and back;
// each field starts afresh, so a field never shifts the next.
void TextToExt(const WEQ_UC* src, WEQ_RAW* dst, int w) {
  char* d = reinterpret_cast<char*>(dst);
  memset(d, ' ', static_cast<size_t>(w));
  UcsToUtf8BlankPad(&d, d + w, &src, src + w);
}
void TextToInt(const WEQ_RAW* src, WEQ_UC* dst, int w) {
  for (int i = 0; i < w; ++i) dst[i] = u' ';
  const char* s = reinterpret_cast<const char*>(src);
  Utf8ToUcsBlankPad(&dst, dst + w, &s, s + w);
}

void LayoutToExt(const AdLayout& l, void* src, void* dst) {
  for (int i = 0; i < l.n; ++i) {
    const AdField& f = l.f[i];
    if (f.kind == Fk::kText)
      TextToExt(Chars(src, f.in), Bytes(dst) + f.ex, f.w);
    else
      memcpy(Bytes(dst) + f.ex, Bytes(src) + f.in, f.w);
  }
}
void LayoutToInt(const AdLayout& l, void* src, void* dst) {
  for (int i = 0; i < l.n; ++i) {
    const AdField& f = l.f[i];
    if (f.kind == Fk::kText)
      TextToInt(Bytes(src) + f.ex, Chars(dst, f.in), f.w);
    else
      memcpy(Bytes(dst) + f.in, Bytes(src) + f.ex, f.w);
  }
}

// One converter pair per layout row: the registry passes only the bodies.
template <size_t I>
int ToExtAt(void* src, void* dst) {
  LayoutToExt(kLayouts[I], src, dst);
  return 0;
}
template <size_t I>
int ToIntAt(void* src, void* dst) {
  LayoutToInt(kLayouts[I], src, dst);
  return 0;
}
template <size_t... I>
void RegisterLayouts(std::index_sequence<I...>) {
  (AdRegisterCvtFunctions(kLayouts[I].opcode, ToExtAt<I>, ToIntAt<I>), ...);
}

// --- Storage records -------------------------------------------------------------

enum class StrgClass : uint8_t { kRaw, kIntegers, kOffsets, kText, kUnknown };

struct PermRow {
  uint8_t type;
  const WEQ_UC* name;
  StrgClass sent;      // class when sending
  StrgClass received;  // class on receipt
};

constexpr PermRow kPermTypes[] = {
    {PERM_TYPE_READALL, u"TYPE_READALL", StrgClass::kRaw, StrgClass::kRaw},
    {PERM_TYPE_READALL_I, u"TYPE_READALL_I", StrgClass::kIntegers, StrgClass::kIntegers},
    {PERM_TYPE_READALL_C, u"TYPE_READALL_C", StrgClass::kText, StrgClass::kText},
    {PERM_TYPE_READALL_LC, u"TYPE_READALL_LC", StrgClass::kText, StrgClass::kText},
    {PERM_TYPE_READALL_OFFSET_I, u"TYPE_READALL_OFFSET_I", StrgClass::kOffsets, StrgClass::kOffsets},
    {PERM_TYPE_READALL_OFFSET_C, u"TYPE_READALL_OFFSET_C", StrgClass::kOffsets, StrgClass::kOffsets},
    {PERM_TYPE_READALL_OFFSET_LC, u"TYPE_READALL_OFFSET_LC", StrgClass::kOffsets,
     StrgClass::kOffsets},
    {PERM_TYPE_READALL_OFFSET, u"TYPE_READALL_OFFSET", StrgClass::kOffsets, StrgClass::kOffsets},
    {PERM_TYPE_READ_I, u"TYPE_READ_I", StrgClass::kIntegers, StrgClass::kIntegers},
    {PERM_TYPE_READ_C, u"TYPE_READ_C", StrgClass::kText, StrgClass::kText},
    {PERM_TYPE_READ_LC, u"TYPE_READ_LC", StrgClass::kText, StrgClass::kText},
    {PERM_TYPE_WRITE_I, u"TYPE_WRITE_I", StrgClass::kIntegers, StrgClass::kIntegers},
    {PERM_TYPE_WRITE_C, u"TYPE_WRITE_C", StrgClass::kText, StrgClass::kText},
    {PERM_TYPE_WRITE_LC, u"TYPE_WRITE_LC", StrgClass::kText, StrgClass::kText},
    {PERM_TYPE_DEL_I, u"TYPE_DEL_I", StrgClass::kIntegers, StrgClass::kIntegers},
    {PERM_TYPE_DEL_C, u"TYPE_DEL_C", StrgClass::kText, StrgClass::kText},
    {PERM_TYPE_DEL_LC, u"TYPE_DEL_LC", StrgClass::kText, StrgClass::kText},
    // The create types are not converted on receipt.
    {PERM_TYPE_CREATE_I, u"TYPE_CREATE_I", StrgClass::kIntegers, StrgClass::kUnknown},
    {PERM_TYPE_CREATE_C, u"TYPE_CREATE_C", StrgClass::kText, StrgClass::kUnknown},
    {PERM_TYPE_CREATE_LC, u"TYPE_CREATE_LC", StrgClass::kText, StrgClass::kUnknown},
    {PERM_TYPE_DUMP, u"TYPE_DUMP", StrgClass::kRaw, StrgClass::kRaw},
};

const PermRow* FindPerm(int type) {
  for (const PermRow& row : kPermTypes)
    if (row.type == type) return &row;
  return nullptr;
}

thread_local WEQ_UC tPermText[32];

// External offsets of the storage body; internal ones are in ad.h.
constexpr int kExName = 4;
constexpr int kExValue = 24;
constexpr int kValueLen = 76;

// Favourite: internal and external offsets.
constexpr WEQ_UC kFavEye[] = u"LG_EYECAT";
constexpr int kFavEyeLen = 9;
constexpr int kInFavVersion = 62, kExFavVersion = 33;
constexpr int kInFavAddr4 = 63, kExFavAddr4 = 34, kFavAddr4Len = 8;
constexpr int kInFavServ = 71, kExFavServ = 42;
constexpr int kInFavRel = 74, kExFavRel = 44, kFavRelLen = 4;
constexpr int kInFavAddr16 = 82, kExFavAddr16 = 48;

int32_t BigEndian32(const WEQ_RAW* p) {
  return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                              (uint32_t{p[2]} << 8) | uint32_t{p[3]});
}

bool IsFavouriteInt(void* body) {
  return memcmp(Chars(body, AD_STRG_VALUE), kFavEye, kFavEyeLen * sizeof(WEQ_UC)) == 0;
}

// The detail line of a favourite, from the internal body.
void TraceFavourite(void* body) {
  if (!AdIDetailOn()) return;
  const WEQ_RAW* b = Bytes(body);
  uint8_t version = b[kInFavVersion];
  NI_NODEADDR addr{};
  if (version <= 2) {
    uint32_t ipv4;
    memcpy(&ipv4, b + kInFavAddr4, 4);
    addr = NiIPv4ToAddr(ipv4);
  } else {
    memcpy(&addr, b + kInFavAddr16, sizeof addr);
  }
  WEQ_UC text[46];
  const WEQ_UC* addrText = NiAddrToStr2(&addr, text, 46, 1);
  int service = b[kInFavServ] * 256 + b[kInFavServ + 1];
  AD_TRC_DETAIL(u"LGFAV NAME=%.*s, VERS=%d, ADDR=%s, SRV=%d, REL=%.*s\n", AD_STRG_NAME_CHARS,
                static_cast<const WEQ_UC*>(Chars(body, AD_STRG_NAME)), version, addrText, service,
                kFavRelLen, static_cast<const WEQ_UC*>(Chars(body, kInFavRel)));
}

// The value lines of the classes that are copied as they are, from the
// internal body.
void TraceCopiedValue(const WEQ_UC* cvt, StrgClass cls, int type, void* body) {
  const WEQ_RAW* v = Bytes(body) + AD_STRG_VALUE;
  switch (cls) {
    case StrgClass::kRaw:
      AD_TRC_DETAIL(u"%s %s\n", cvt, AdPermTypeName(type));
      break;
    case StrgClass::kIntegers:
      AD_TRC_DETAIL(u"%s %s VAL %d %d %d %d %d %d %d %d %d %d\n", cvt, AdPermTypeName(type),
                    BigEndian32(v), BigEndian32(v + 4), BigEndian32(v + 8), BigEndian32(v + 12),
                    BigEndian32(v + 16), BigEndian32(v + 20), BigEndian32(v + 24),
                    BigEndian32(v + 28), BigEndian32(v + 32), BigEndian32(v + 36));
      break;
    case StrgClass::kOffsets:
      AD_TRC_DETAIL(u"%s %s VAL %d %d %d %d\n", cvt, AdPermTypeName(type), BigEndian32(v),
                    BigEndian32(v + 4), BigEndian32(v + 8), BigEndian32(v + 12));
      break;
    default:
      AD_TRC_DETAIL(u"%s unknown STRG type %d\n", cvt, type);
      break;
  }
}

void TraceHead(const WEQ_UC* cvt, void* body) {
  const WEQ_RAW* b = Bytes(body);
  AD_TRC_DETAIL(u"%s %s TY %d, NL %d, VO %d, VL %d, NA %.*s\n", cvt, AdPermTypeName(b[AD_STRG_TY]),
                b[AD_STRG_TY], b[AD_STRG_NL], b[AD_STRG_VO], b[AD_STRG_VL], AD_STRG_NAME_CHARS,
                static_cast<const WEQ_UC*>(Chars(body, AD_STRG_NAME)));
}

StrgClass ClassOf(int type, bool receiving) {
  const PermRow* row = FindPerm(type);
  if (row == nullptr) return StrgClass::kUnknown;
  return receiving ? row->received : row->sent;
}

// --- EM-ADM records ------------------------------------------------------------------

// A counted text field of an EM-ADM record: internal byte offset, external
// offset, characters (as many bytes).
struct EmText {
  const WEQ_UC* name;
  int in;
  int ex;
  int n;
};
constexpr EmText kEmKey{u"Key", 10, 7, 16};
constexpr EmText kEmTexts[] = {kEmKey, {u"Info", 42, 23, 16}, {u"PrivTime", 86, 50, 6}};
// Raw parts of operations 2 and 3: internal offset, external offset, bytes.
constexpr AdField kEmRaw[] = {R(4, 6, 3), R(8, 74, 39), R(3, 82, 47), R(32, 106, 56), R(4, 138, 88)};
// Operation 1 carries 56 raw bytes behind its operation text.
constexpr AdField kEmOp1Raw = R(56, 6, 3);
constexpr int kEmUnsentIn = 98, kEmUnsentChars = 4;

}  // namespace

// --- Converters with names of their own ---------------------------------------------

int AdCvtNone(void* src, void* dst) {
  memcpy(dst, src, AD_BODY_LEN);
  return 0;
}

int AdCvtRecRzlStrgToExt(void* src, void* dst) {
  static const WEQ_UC kCvt[] = u"AdCvtRecRzlStrgToExt";
  WEQ_RAW* in = Bytes(src);
  WEQ_RAW* ex = Bytes(dst);
  TraceHead(kCvt, src);
  memcpy(ex, in, 4);
  TextToExt(Chars(src, AD_STRG_NAME), ex + kExName, AD_STRG_NAME_CHARS);
  int type = in[AD_STRG_TY];
  StrgClass cls = ClassOf(type, false);
  if (cls != StrgClass::kText) {
    memcpy(ex + kExValue, in + AD_STRG_VALUE, kValueLen);
    TraceCopiedValue(kCvt, cls, type, src);
    return 0;
  }
  if (!IsFavouriteInt(src)) {
    AD_TRC_DETAIL(u"%s VAL %.*s\n", kCvt, kValueLen,
                  static_cast<const WEQ_UC*>(Chars(src, AD_STRG_VALUE)));
    TextToExt(Chars(src, AD_STRG_VALUE), ex + kExValue, kValueLen);
    return 0;
  }
  uint8_t version = in[kInFavVersion];
  ex[kExFavVersion] = version;
  if (version < 1 || version > 4) {
    AD_TRC(u"%s: unknown version %d\n", kCvt, version);
    return 0;
  }
  memcpy(ex + kExFavAddr4, in + kInFavAddr4, kFavAddr4Len);
  memcpy(ex + kExFavServ, in + kInFavServ, 2);
  memcpy(ex + kExFavAddr16, in + kInFavAddr16, 16);
  TextToExt(Chars(src, AD_STRG_NAME), ex + kExName, AD_STRG_NAME_CHARS);
  TextToExt(Chars(src, AD_STRG_VALUE), ex + kExValue, kFavEyeLen);
  TextToExt(Chars(src, kInFavRel), ex + kExFavRel, kFavRelLen);
  TraceFavourite(src);
  return 0;
}

int AdCvtRecRzlStrgToInt(void* src, void* dst) {
  static const WEQ_UC kCvt[] = u"AdCvtRecRzlStrgToInt";
  const WEQ_RAW* ex = Bytes(src);
  WEQ_RAW* in = Bytes(dst);
  memcpy(in, ex, 4);
  TextToInt(ex + kExName, Chars(dst, AD_STRG_NAME), AD_STRG_NAME_CHARS);
  TraceHead(kCvt, dst);
  int type = ex[AD_STRG_TY];
  StrgClass cls = ClassOf(type, true);
  if (cls != StrgClass::kText) {
    memcpy(in + AD_STRG_VALUE, ex + kExValue, kValueLen);
    TraceCopiedValue(kCvt, cls, type, dst);
    return 0;
  }
  if (memcmp(ex + kExValue, "LG_EYECAT", kFavEyeLen) != 0) {
    TextToInt(ex + kExValue, Chars(dst, AD_STRG_VALUE), kValueLen);
    AD_TRC_DETAIL(u"%s VAL %.*s\n", kCvt, kValueLen,
                  static_cast<const WEQ_UC*>(Chars(dst, AD_STRG_VALUE)));
    return 0;
  }
  uint8_t version = ex[kExFavVersion];
  in[kInFavVersion] = version;
  if (version < 1 || version > 4) {
    AD_TRC(u"%s: unknown version %d\n", kCvt, version);
    return 0;
  }
  memcpy(in + kInFavAddr4, ex + kExFavAddr4, kFavAddr4Len);
  memcpy(in + kInFavServ, ex + kExFavServ, 2);
  memcpy(in + kInFavAddr16, ex + kExFavAddr16, 16);
  TextToInt(ex + kExName, Chars(dst, AD_STRG_NAME), AD_STRG_NAME_CHARS);
  TextToInt(ex + kExValue, Chars(dst, AD_STRG_VALUE), kFavEyeLen);
  TextToInt(ex + kExFavRel, Chars(dst, kInFavRel), kFavRelLen);
  TraceFavourite(dst);
  return 0;
}

int EmAdmCvtToExt(void* src, void* dst) {
  static const WEQ_UC kCvt[] = u"EmAdmCvtToExt";
  WEQ_RAW* in = Bytes(src);
  WEQ_RAW* ex = Bytes(dst);
  int32_t op = AdIUcsFieldToInt(Chars(src, 0), 3);
  if (op == 1) {
    memcpy(ex, "  1", 3);
    memcpy(ex + kEmOp1Raw.ex, in + kEmOp1Raw.in, kEmOp1Raw.w);
    return 0;
  }
  if (op != 2 && op != 3) {
    AD_TRC(u"%s: Unknown EM-ADM opcode %d\n", kCvt, op);
    return 0;
  }
  AdIIntToField(op, reinterpret_cast<char*>(ex), 3);
  // The receiver takes the Key as printable text; what is not printable
  // goes out as '0', in the caller's record too.
  WEQ_UC* key = Chars(src, kEmKey.in);
  for (int i = 0; i < kEmKey.n; ++i)
    if (!isprintU(key[i])) key[i] = u'0';
  for (const EmText& t : kEmTexts) {
    int out = 0;
    int rc = UcsnToUtf8n(reinterpret_cast<char*>(ex + t.ex), t.n, &out, Chars(src, t.in), t.n);
    if (rc != 0)
      DPTRC_LINE(1, CTrcGlobalHdl, u"%s: failed to convert %s >%.*s< (%d)\n", kCvt, t.name, t.n,
                 static_cast<const WEQ_UC*>(Chars(src, t.in)), rc);
  }
  for (const AdField& f : kEmRaw) memcpy(ex + f.ex, in + f.in, f.w);
  return 0;
}

int EmAdmCvtToInt(void* src, void* dst) {
  static const WEQ_UC kCvt[] = u"EmAdmCvtToInt";
  const WEQ_RAW* ex = Bytes(src);
  WEQ_RAW* in = Bytes(dst);
  int32_t op = AdIFieldToInt(reinterpret_cast<const char*>(ex), 3);
  if (op == 1) {
    WEQ_UC* text = Chars(dst, 0);
    text[0] = text[1] = u' ';
    text[2] = u'1';
    memcpy(in + kEmOp1Raw.in, ex + kEmOp1Raw.ex, kEmOp1Raw.w);
    return 0;
  }
  if (op != 2 && op != 3) {
    AD_TRC(u"%s: Unknown EM-ADM opcode %d\n", kCvt, op);
    return 0;
  }
  AdIIntToUcsField(op, Chars(dst, 0), 3);
  for (const EmText& t : kEmTexts) {
    int out = 0;
    int rc = Utf8nToUcsn(Chars(dst, t.in), t.n, &out, reinterpret_cast<const char*>(ex + t.ex), t.n);
    if (rc != 0) DPTRC_LINE(1, CTrcGlobalHdl, u"%s: failed to convert %s (%d)\n", kCvt, t.name, rc);
  }
  WEQ_UC* unsent = Chars(dst, kEmUnsentIn);
  for (int i = 0; i < kEmUnsentChars; ++i) unsent[i] = u' ';
  for (const AdField& f : kEmRaw) memcpy(in + f.in, ex + f.ex, f.w);
  return 0;
}

const WEQ_UC* AdPermTypeName(int type) {
  const PermRow* row = FindPerm(type);
  if (row != nullptr) return row->name;
  snprintfTruncU16(tPermText, 32, u"%d", type);
  return tPermText;
}

void AdIRegisterAllCvt(void) {
  RegisterLayouts(std::make_index_sequence<kLayoutCount>());
  for (uint8_t op : kPlainCopy) AdRegisterCvtFunctions(op, AdCvtNone, AdCvtNone);
  AdRegisterCvtFunctions(AD_RZL_STRG, AdCvtRecRzlStrgToExt, AdCvtRecRzlStrgToInt);
  AdRegisterCvtFunctions(AD_EM, EmAdmCvtToExt, EmAdmCvtToInt);
  AdRegisterCvtFunctions(AD_ES, EmAdmCvtToExt, EmAdmCvtToInt);
}
