// The sources of the profile parameter store besides its built-in table:
// the instance profile, DEFAULT.PFL, the host paths and the defaults
// derived from the memory size. All run while the store is being built,
// under its init lock.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <new>

#include "flat/weqparam.h"
#include "flat/weqparam_int.h"
#include "i18n/wequ16/u16file.h"
#include "i18n/wequ16/u16fmt.h"
#include "i18n/wequ16/u16str.h"
#include "krn/ntport/ntport.h"

namespace {

constexpr WEQ_UC kPrefix[] = u"";

// Units a profile line may use for name, value and their terminators.
constexpr size_t kLineUnits = 4096;
constexpr size_t kMaxNameUnits = kLineUnits - 2;
constexpr int kMaxIllegal = 100;
constexpr size_t kProfileNameUnits = 255;
constexpr int kPflLineUnits = 4095;  // 4094 units and a terminator per read
constexpr size_t kMemsizeUnits = 127;
constexpr size_t kHostPathUnits = 1024;

bool IsBlank(WEQ_UC c) { return c == u' ' || c == u'\t'; }
bool IsEol(int c) { return c == u'\r' || c == u'\n'; }

size_t TrimBlanks(const WEQ_UC* s, size_t n) {
  while (n > 0 && IsBlank(s[n - 1])) --n;
  return n;
}

bool TwoDigits(const WEQ_UC* s, size_t n) {
  return n == 2 && s[0] >= u'0' && s[0] <= u'9' && s[1] >= u'0' && s[1] <= u'9';
}

// A decimal number as the C library's atol reads it: leading white space,
// a sign, digits up to the first other unit. Saturates far below the int64
// range, so that the derivations below cannot overflow.
int64_t ParseDecimal(const WEQ_UC* s) {
  constexpr int64_t kLimit = int64_t{1} << 62;
  while (*s == u' ' || (*s >= u'\t' && *s <= u'\r')) ++s;
  bool negative = *s == u'-';
  if (*s == u'-' || *s == u'+') ++s;
  int64_t v = 0;
  for (; *s >= u'0' && *s <= u'9'; ++s) v = v >= kLimit / 10 ? kLimit : v * 10 + (*s - u'0');
  return negative ? -v : v;
}

// The current raw value of a parameter (a counted lookup), "" when unset.
const WEQ_UC* RawValue(const WEQ_UC* name) {
  const weqparamRec* r = weqparamILookup(name);
  return r && r->currentRaw ? r->currentRaw : u"";
}

// --- Reading units -----------------------------------------------------------

// A UTF-8 file one 16-bit unit at a time: a character above U+FFFF gives
// its two surrogate units; an invalid sequence gives '#', marked illegal.
class UnitReader {
 public:
  explicit UnitReader(FILE* f) : f_(f) {}

  int Next(bool* illegal) {
    if (pushed_) {
      pushed_ = false;
      *illegal = pushedIllegal_;
      return pushedUnit_;
    }
    *illegal = false;
    if (low_ != 0) {
      int u = low_;
      low_ = 0;
      return u;
    }
    int err = 0;
    int c = Utf8GetChar(f_, nullptr, &err);
    if (c < 0) return -1;
    if (err != 0 || c > 0x10FFFF) {
      *illegal = true;
      return u'#';
    }
    if (c > 0xFFFF) {
      c -= 0x10000;
      low_ = 0xDC00 + (c & 0x3FF);
      return 0xD800 + (c >> 10);
    }
    return c;
  }

  void Unget(int unit, bool illegal) {
    pushed_ = true;
    pushedUnit_ = unit;
    pushedIllegal_ = illegal;
  }

 private:
  FILE* f_;
  int low_ = 0;
  bool pushed_ = false;
  int pushedUnit_ = 0;
  bool pushedIllegal_ = false;
};

// --- The instance profile ------------------------------------------------------

class InstanceProfile {
 public:
  InstanceProfile(const WEQ_UC* file, FILE* f) : file_(file), in_(f) {}

  void Read() {
    WeqpState& st = weqparamIState();
    for (;;) {
      bool illegal = false;
      int c = in_.Next(&illegal);
      if (c < 0) {
        AtEnd();
        return;
      }
      if (illegal) {
        if (++st.illegal > kMaxIllegal) {
          WEQP_MSG(u"%sweqparam(18): %s: reading canceld after %d illegal bytes\n",
                   kPrefix, file_, st.illegal);
          return;
        }
        if (!ReportIllegal()) continue;
      }
      Unit(c, illegal);
      if (st.broken) return;
    }
  }

 private:
  enum State { kStart, kComment, kName, kValueLead, kValue };

  // The message for an illegal sequence where it stands; false when the
  // unit is used up by it (at the start of an entry, which becomes a comment).
  bool ReportIllegal() {
    switch (state_) {
      case kStart:
        WEQP_MSG(u"%sweqparam(18): %s: line %d starts with illegal byte sequence\n",
                 kPrefix, file_, line_);
        state_ = kComment;
        return false;
      case kName:
        WEQP_MSG(u"%sweqparam(17): %s: line %d illegal byte sequence in name\n",
                 kPrefix, file_, line_);
        return true;
      case kValueLead:
      case kValue:
        WEQP_MSG(u"%sweqparam(16): %s: line %d illegal byte sequence in value\n",
                 kPrefix, file_, line_);
        return true;
      case kComment:
        return false;
    }
    return false;
  }

  void EndOfLine(int c) {
    if (c == u'\n') ++line_;
    state_ = kStart;
  }

  void Unit(int c, bool illegal) {
    const WEQ_UC u = static_cast<WEQ_UC>(c);
    switch (state_) {
      case kStart:
        if (c == u'\n') ++line_;
        if (IsBlank(u) || IsEol(c)) return;
        if (c == u'#' && !illegal) {
          state_ = kComment;
          return;
        }
        if (c == u'G' && !illegal) {
          bool nextIllegal = false;
          int next = in_.Next(&nextIllegal);
          if (next == u'R' && !nextIllegal) {
            state_ = kComment;  // a "GR" line is skipped whole
            return;
          }
          if (next >= 0) in_.Unget(next, nextIllegal);
        }
        nameLen_ = 0;
        state_ = kName;
        Unit(c, illegal);
        return;
      case kComment:
        if (IsEol(c)) EndOfLine(c);
        return;
      case kName:
        if (c == u'=') {
          nameLen_ = TrimBlanks(name_, nameLen_);
          valueLen_ = 0;
          state_ = kValueLead;
        } else if (IsEol(c)) {
          WEQP_MSG(u"%sweqparam(6): %s: missing '=' in line %d\n", kPrefix, file_,
                   line_);
          EndOfLine(c);
        } else if (nameLen_ == kMaxNameUnits) {
          // A name that fills the line's room: the line cannot be taken.
          WEQP_MSG(u"%sweqparam(7): %s: line %d is too long\n", kPrefix, file_, line_);
          state_ = kComment;
        } else {
          name_[nameLen_++] = u;
        }
        return;
      case kValueLead:
        if (IsBlank(u)) return;
        state_ = kValue;
        [[fallthrough]];
      case kValue:
        if (IsEol(c)) {
          Take();
          EndOfLine(c);
        } else if (nameLen_ + valueLen_ == kMaxNameUnits) {
          // The value fills the line's room: it is taken as far as it goes
          // and the rest of the line is read as a further entry.
          Take();
          state_ = kStart;
          Unit(c, illegal);
        } else {
          value_[valueLen_++] = u;
        }
        return;
    }
  }

  void AtEnd() {
    if (state_ == kName) {
      WEQP_MSG(u"%sweqparam(6): %s: missing '=' in line %d\n", kPrefix, file_, line_);
    } else if (state_ == kValueLead) {
      WEQP_MSG(u"%sweqparam(7): %s: line %d is too long\n", kPrefix, file_, line_);
    } else if (state_ == kValue) {
      Take();
    }
  }

  void Take() {
    valueLen_ = TrimBlanks(value_, valueLen_);
    if (nameLen_ == 0) return;
    name_[nameLen_] = 0;
    value_[valueLen_] = 0;
    WeqpState& st = weqparamIState();
    if (strcmpU(name_, u"WEQSYSTEM") == 0) {
      if (TwoDigits(value_, valueLen_) && !st.sysNoFromProfile) {
        st.sysNo[0] = value_[0];
        st.sysNo[1] = value_[1];
        st.sysNoFromProfile = true;
      }
    } else {
      const WEQ_UC* v = weqparamIPoolCopy(value_, valueLen_);
      if (v == nullptr) return;
      weqparamRec* r = weqparamIFind(name_);
      if (r == nullptr) r = weqparamIAppend(name_, 30, true);
      if (r == nullptr) return;
      weqparamISetStage(r, kWeqpInstanceRaw, v);
      if (strcmpU(name_, u"WEQSYSTEMNAME") == 0 && !st.sysNameTaken) {
        weqparamISetBuf(WeqpBuf::kSystemName, v);
        st.sysNameTaken = true;
      }
    }
    weqparamISetCount(WeqpBuf::kNPfFile, ++taken_);
  }

  const WEQ_UC* file_;
  UnitReader in_;
  State state_ = kStart;
  int line_ = 1;
  int taken_ = 0;
  WEQ_UC name_[kLineUnits];
  size_t nameLen_ = 0;
  WEQ_UC value_[kLineUnits];
  size_t valueLen_ = 0;
};

void SystemNumberFromEnvironment() {
  WeqpState& st = weqparamIState();
  if (st.sysNoFromProfile || st.sysNo[0] != u'?' || st.sysNo[1] != u'?') return;
  const char* e = getenv("WEQSYSTEM");
  if (e != nullptr && strlen(e) == 2 && e[0] >= '0' && e[0] <= '9' && e[1] >= '0' &&
      e[1] <= '9') {
    st.sysNo[0] = static_cast<WEQ_UC>(e[0]);
    st.sysNo[1] = static_cast<WEQ_UC>(e[1]);
    return;
  }
  if (e != nullptr) {
    WEQP_MSG(u"%sweqparam(9): environment variable $%s format error.\n", kPrefix,
             u"WEQSYSTEM");
  }
  st.sysNo[0] = st.sysNo[1] = u'0';
}

void OpenFailed(const WEQ_UC* name) {
  int saved = errno;
  WEQ_UC text[kProfileNameUnits + 40];
  snprintfTruncU16(text, std::size(text), u"weqparam(2): fopenU(\"%s\",\"r\")", name);
  errno = saved;
  perrorU16(text);
  if (weqparamIWarnings()) WEQP_MSG(u"%sNo Profile used.\n", kPrefix);
}

void ReadInstanceFile() {
  const weqparamRec* arg = weqparamIFind(u"WEQPROFILE");
  const WEQ_UC* given = arg && arg->currentRaw ? arg->currentRaw : u"";
  size_t n = strlenU(given);
  while (n > 0 && given[n - 1] < 32) --n;
  if (n == 0) {
    if (weqparamIWarnings()) WEQP_MSG(u"%sweqparam(1c): No Profile used.\n", kPrefix);
    return;
  }
  // A longer name is refused rather than cut: a cut name could open
  // another file.
  WEQ_UC name[kProfileNameUnits + 1];
  if (n > kProfileNameUnits) {
    memcpy(name, given, kProfileNameUnits * sizeof(WEQ_UC));
    name[kProfileNameUnits] = 0;
    errno = ENAMETOOLONG;
    OpenFailed(name);
    return;
  }
  memcpy(name, given, n * sizeof(WEQ_UC));
  name[n] = 0;
  FILE* f = fopenU16(name, u"r");
  if (f == nullptr) {
    OpenFailed(name);
    return;
  }
  weqparamISetBuf(WeqpBuf::kProfileInEffect, name);
  // Two line buffers of 4096 units: kept off the stack of the querying thread.
  auto* reader = static_cast<InstanceProfile*>(malloc(sizeof(InstanceProfile)));
  if (reader != nullptr) {
    new (reader) InstanceProfile(name, f);
    reader->Read();
    reader->~InstanceProfile();
    free(reader);
  } else {
    perrorU16(u"weqparam(11): malloc");
  }
  fclose(f);
}

// --- DEFAULT.PFL ---------------------------------------------------------------

enum class LineResult { kSkipped, kTaken, kEndOfFile };

// One line of DEFAULT.PFL without its end.
LineResult TakeDefaultLine(const WEQ_UC* line, size_t len) {
  if (len == 0 || line[0] == u'#') return LineResult::kSkipped;
  const WEQ_UC* eq = std::find(line, line + len, u'=');
  if (eq == line + len) return LineResult::kSkipped;
  auto isDelim = [](WEQ_UC c) { return IsBlank(c) || c == u'='; };
  const WEQ_UC* name = std::find_if_not(line, line + len, isDelim);
  if (name == line + len) return LineResult::kEndOfFile;
  const WEQ_UC* nameEnd = std::find_if(name, line + len, isDelim);
  const WEQ_UC* value = eq + 1;
  const WEQ_UC* valueEnd = line + len;
  while (value < valueEnd && IsBlank(*value)) ++value;
  valueEnd = value + TrimBlanks(value, static_cast<size_t>(valueEnd - value));

  WEQ_UC key[kPflLineUnits];
  size_t keyLen = static_cast<size_t>(nameEnd - name);
  memcpy(key, name, keyLen * sizeof(WEQ_UC));
  key[keyLen] = 0;
  const WEQ_UC* v = weqparamIPoolCopy(value, static_cast<size_t>(valueEnd - value));
  if (v == nullptr) return LineResult::kSkipped;

  weqparamRec* r = weqparamIFind(key);
  if (strcmpU(key, u"WEQSYSTEM") == 0) {
    if (r != nullptr) r->systemRaw = v;  // the system number's own rules apply
  } else if (r != nullptr) {
    weqparamISetStage(r, kWeqpSystemRaw, v);
    // The current layer of DIR_PROFILE and of what it refers to was
    // resolved before this file could be read. When the new value reached
    // such a layer's raw stage, the layer is opened again, so that the
    // value is not lost behind the earlier resolution; DIR_PROFILE itself
    // keeps the directory the file was read from.
    if (r->currentDone && r->currentRaw == v && strcmpU(key, u"DIR_PROFILE") != 0) {
      r->currentSubst = r->currentFinal = r->value = v;
      r->currentDone = 0;
    }
  } else {
    r = weqparamIAppend(key, 1, false);
    if (r == nullptr) return LineResult::kSkipped;
    weqparamISetStage(r, kWeqpSystemRaw, v);
  }
  return LineResult::kTaken;
}

// --- Memory-derived defaults -----------------------------------------------------

enum class MemRule { kInitial, kRoll, kPgShm, kPgMaxfs, kGlobal };

struct MemRow {
  const WEQ_UC* name;
  WeqpBuf buf;
  MemRule rule;
};

// In the order the derivation runs.
constexpr MemRow kMemRows[] = {
    {u"em/initial_size_MB", WeqpBuf::kEmInitial, MemRule::kInitial},
    {u"rdisp/ROLL_SHM", WeqpBuf::kRollShm, MemRule::kRoll},
    {u"rdisp/ROLL_MAXFS", WeqpBuf::kRollMaxfs, MemRule::kRoll},
    {u"rdisp/PG_SHM", WeqpBuf::kPgShm, MemRule::kPgShm},
    {u"rdisp/PG_MAXFS", WeqpBuf::kPgMaxfs, MemRule::kPgMaxfs},
    {u"em/global_area_MB", WeqpBuf::kEmGlobal, MemRule::kGlobal},
};

// Physical memory in MB; 0 when the system does not tell. The kilobyte
// figure saturates at 32 bits rather than wrapping.
int64_t PhysicalMB() {
  uint64_t bytes = 0;
  if (!NT_PhysMemTotal(&bytes)) return 0;
  uint64_t kb = std::min<uint64_t>(bytes >> 10, UINT32_MAX);
  return static_cast<int64_t>(kb >> 10);
}

void WriteNumber(WeqpBuf b, int64_t v) {
  snprintfTruncU16(weqparamIBuf(b), weqparamIBufUnits(b), u"%ld", v);
}

}  // namespace

bool weqparamIDeriveMemory(const WEQ_UC* name, const WEQ_UC* memsize) {
  const MemRow* row = nullptr;
  for (const MemRow& m : kMemRows) {
    if (strcasecmpU(name, m.name) == 0) row = &m;
  }
  if (row == nullptr) return false;

  WEQ_UC text[kMemsizeUnits + 1];
  strncpy_sU16(text, std::size(text), memsize ? memsize : u"", kMemsizeUnits);
  const int64_t physMB = PhysicalMB();
  int64_t m;
  if (strchrU(text, u'%') != nullptr) {
    // The digits end at the first '%' at the latest, so the number read is
    // the one before the last '%' as well.
    int64_t percent = std::clamp<int64_t>(ParseDecimal(text), 5, 200);
    m = percent * physMB / 100;
  } else {
    m = ParseDecimal(text);
  }
  m = std::min(std::max<int64_t>(m, 30), 2 * physMB);
  const int64_t k = std::max<int64_t>(((m - 128) * 25) / 128, 5);

  int64_t v = 0;
  switch (row->rule) {
    case MemRule::kInitial: v = m; break;
    case MemRule::kRoll: v = std::clamp<int64_t>(k * 100, 1024, 32768); break;
    case MemRule::kPgShm: {
      int64_t pg = (k * 5 + 125) * 8;
      v = pg >= 1024 ? std::min<int64_t>(pg, 16384) : 1024;
      break;
    }
    case MemRule::kPgMaxfs: v = 32768; break;
    case MemRule::kGlobal: v = std::clamp<int64_t>((m * 7) / 100, 96, 512); break;
  }
  WriteNumber(row->buf, v);
  return true;
}

void weqparamIMemoryDefaults(void) {
  const WEQ_UC* memsize = RawValue(u"PHYS_MEMSIZE");
  // Bounded so that the shift to bytes stays within 64 bits.
  int64_t mb = std::clamp<int64_t>(ParseDecimal(memsize), 0, INT64_MAX >> 20);
  WriteNumber(WeqpBuf::kHeapTotal, mb << 20);
  for (const MemRow& m : kMemRows) weqparamIDeriveMemory(m.name, memsize);
}

void weqparamIReadInstanceProfile(void) {
  SystemNumberFromEnvironment();
  ReadInstanceFile();
  if (weqparamIState().broken) return;
  if (weqparamIBuf(WeqpBuf::kSystemName)[0] == 0 && weqparamIWarnings()) {
    WEQP_MSG(u"%sweqparam: WEQSYSTEMNAME neither in Profile nor in Commandline\n",
             kPrefix);
  }
}

namespace {

// Formats a host path and maps it to its local form; a path that does not
// fit keeps the buffer's earlier text.
template <class... A>
void SetHostPath(WeqpBuf b, U16Format<A...> format, const A&... args) {
  WEQ_UC path[kHostPathUnits];
  if (snprintfU16(path, std::size(path), format, args...) < 0) return;
  NT_UncToLocal(path);
  if (strlenU(path) < weqparamIBufUnits(b)) weqparamISetBuf(b, path);
}

}  // namespace

void weqparamIHostPaths(void) {
  const WEQ_UC* global = RawValue(u"WEQGLOBALHOST");
  const WEQ_UC* local = RawValue(u"WEQLOCALHOST");
  const WEQ_UC* sysName = RawValue(u"WEQSYSTEMNAME");
  const WEQ_UC* sysNo = RawValue(u"WEQSYSTEM");
  SetHostPath(WeqpBuf::kLocalHostPath, u"\\\\%s\\weqloc\\", local);
  const bool sameHost = strcasecmpU(global, local) == 0;
  if (weqparamIState().flagMsid) {
    if (sameHost) SetHostPath(WeqpBuf::kGlobalHostPath, u"\\\\%s\\weqmnt%s\\", global, sysName);
    SetHostPath(WeqpBuf::kLocalHostSidPath, u"\\\\%s\\weqloc%s_%s\\", local, sysName, sysNo);
  } else {
    if (sameHost) SetHostPath(WeqpBuf::kGlobalHostPath, u"\\\\%s\\weqmnt\\", global);
    weqparamISetBuf(WeqpBuf::kLocalHostSidPath, weqparamIBuf(WeqpBuf::kLocalHostPath));
  }
}

void weqparamIReadDefaultPfl(void) {
  weqparamRec* dir = weqparamIFind(u"DIR_PROFILE");
  if (dir == nullptr) return;
  weqparamIResolve(dir, kWeqpLayerCurrent, 1);
  dir->currentDone = 1;
  const WEQ_UC* base = dir->currentFinal ? dir->currentFinal : u"";
  size_t n = strlenU(base);
  constexpr WEQ_UC kFile[] = u"\\DEFAULT.PFL";
  auto* path = static_cast<WEQ_UC*>(malloc((n + std::size(kFile)) * sizeof(WEQ_UC)));
  if (path == nullptr) return;
  memcpy(path, base, n * sizeof(WEQ_UC));
  memcpy(path + n, kFile, sizeof kFile);
  FILE* f = fopenU16(path, u"r");
  if (f != nullptr) {
    weqparamISetBuf(WeqpBuf::kDefaultPfl, path);
    auto* line = static_cast<WEQ_UC*>(malloc(kPflLineUnits * sizeof(WEQ_UC)));
    int taken = 0;
    bool more = line != nullptr;
    while (more && fgetsU16(line, kPflLineUnits, f) != nullptr) {
      // CR and LF both end a line; a line longer than one read continues
      // as the next line.
      const WEQ_UC* at = line;
      const WEQ_UC* end = line + strlenU(line);
      while (more && at < end) {
        const WEQ_UC* eol = std::find_if(at, end, [](WEQ_UC c) { return IsEol(c); });
        LineResult res = TakeDefaultLine(at, static_cast<size_t>(eol - at));
        if (res == LineResult::kTaken) weqparamISetCount(WeqpBuf::kNDefault, ++taken);
        more = res != LineResult::kEndOfFile;
        at = eol < end ? eol + 1 : end;
      }
    }
    free(line);
    fclose(f);
  }
  free(path);
}
