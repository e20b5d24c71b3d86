#include "trc_checker.h"

#include <ctype.h>

namespace trccheck {
namespace {

bool StartsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

bool AllDigits(const std::string& s, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

// "Www Mmm dd hh:mm:ss yyyy", 24 characters.
bool IsAsctime(const std::string& s) {
  static const std::string kDays = "SunMonTueWedThuFriSat";
  static const std::string kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (s.size() != 24) return false;
  std::string day = s.substr(0, 3), month = s.substr(4, 3);
  bool names = kDays.find(day) % 3 == 0 && kDays.find(day) != std::string::npos &&
               kMonths.find(month) % 3 == 0 && kMonths.find(month) != std::string::npos;
  return names && s[3] == ' ' && s[7] == ' ' && (s[8] == ' ' || isdigit(static_cast<unsigned char>(s[8]))) &&
         AllDigits(s, 9, 10) && s[10] == ' ' && AllDigits(s, 11, 13) && s[13] == ':' &&
         AllDigits(s, 14, 16) && s[16] == ':' && AllDigits(s, 17, 19) && s[19] == ' ' &&
         AllDigits(s, 20, 24);
}

// The location suffix " [<12 characters> <0 to 5 digits>]" at the end of b:
// its start, or npos.
size_t SuffixAt(const std::string& b, std::string* file12, std::string* lineNo) {
  if (b.empty() || b.back() != ']') return std::string::npos;
  size_t end = b.size() - 1;
  size_t digits = 0;
  while (digits < 5 && digits < end && isdigit(static_cast<unsigned char>(b[end - 1 - digits]))) ++digits;
  // Fewer digits may leave a digit of the file field in front: try each.
  for (size_t nd = digits + 1; nd-- > 0;) {
    if (end < nd + 1 + 12 + 2) continue;
    size_t blank = end - nd - 1;
    size_t start = blank - 12 - 2;
    if (b[blank] != ' ' || b.compare(start, 2, " [") != 0) continue;
    *file12 = b.substr(start + 2, 12);
    *lineNo = b.substr(blank + 1, nd);
    return start;
  }
  return std::string::npos;
}

bool ParseHeader(const std::string& raw, Line& l) {
  static const std::string kA = "trc file: \"", kB = "\", trc level: ", kC = ", release: \"";
  if (!StartsWith(raw, kA) || raw.back() != '"') return false;
  size_t b = raw.rfind(kB);
  size_t c = raw.rfind(kC);
  if (b == std::string::npos || c == std::string::npos || c < b) return false;
  size_t levelAt = b + kB.size();
  if (c == levelAt) return false;
  size_t signs = raw[levelAt] == '-' ? 1 : 0;
  if (!AllDigits(raw, levelAt + signs, c)) return false;
  l.kind = Kind::kHeader;
  l.headerName = raw.substr(kA.size(), b - kA.size());
  l.headerLevel = std::stoi(raw.substr(levelAt, c - levelAt));
  l.headerRelease = raw.substr(c + kC.size(), raw.size() - 1 - c - kC.size());
  return true;
}

// "[Thr <digits or ???>] ": the id and the length of the tag, or 0.
size_t TagLength(const std::string& raw, std::string* id) {
  if (!StartsWith(raw, "[Thr ")) return 0;
  size_t close = raw.find("] ", 5);
  if (close == std::string::npos || close == 5) return 0;
  std::string v = raw.substr(5, close - 5);
  if (v != "???" && !AllDigits(v, 0, v.size())) return 0;
  *id = v;
  return close + 2;
}

void ClassifyBody(Line& l) {
  static const std::string kError = "*** ERROR => ", kWarning = "*** WARNING => ", kLog = "***LOG ";
  const std::string& b = l.body;
  l.kind = Kind::kInfo;
  l.text = b;
  if (IsAsctime(b)) {
    l.kind = Kind::kStamp;
    return;
  }
  if (StartsWith(b, kLog) && b.size() >= kLog.size() + 6 && b.compare(kLog.size() + 3, 3, "=> ") == 0) {
    l.kind = Kind::kLog;
    l.file12 = b.substr(kLog.size(), 3);  // the message id
    l.text = b.substr(kLog.size() + 6);
    return;
  }
  bool error = StartsWith(b, kError);
  bool warning = StartsWith(b, kWarning);
  if (!error && !warning) return;
  std::string file12, lineNo;
  size_t suffix = SuffixAt(b, &file12, &lineNo);
  if (suffix == std::string::npos) return;
  size_t from = (error ? kError : kWarning).size();
  if (suffix < from) return;
  l.kind = error ? Kind::kError : Kind::kWarning;
  l.file12 = file12;
  l.lineNo = lineNo;
  l.text = b.substr(from, suffix - from);
  if (!error || l.text.empty() || l.text.back() != ')') return;
  // " (<errno>: <text>)" before the suffix.
  size_t open = l.text.rfind(" (");
  while (open != std::string::npos) {
    size_t p = open + 2;
    if (p < l.text.size() && l.text[p] == '-') ++p;
    size_t digitsEnd = p;
    while (digitsEnd < l.text.size() && isdigit(static_cast<unsigned char>(l.text[digitsEnd]))) ++digitsEnd;
    if (digitsEnd > p && l.text.compare(digitsEnd, 2, ": ") == 0) {
      l.kind = Kind::kErrno;
      l.err = std::stoi(l.text.substr(open + 2, digitsEnd - open - 2));
      l.errText = l.text.substr(digitsEnd + 2, l.text.size() - 1 - digitsEnd - 2);
      l.text = l.text.substr(0, open);
      return;
    }
    open = open == 0 ? std::string::npos : l.text.rfind(" (", open - 1);
  }
}

Line Classify(const std::string& raw) {
  Line l;
  l.raw = raw;
  if (raw.empty()) {
    l.kind = Kind::kEmpty;
  } else if (raw == std::string(51, '-')) {
    l.kind = Kind::kHeaderRule;
  } else if (ParseHeader(raw, l)) {
  } else if (size_t n = TagLength(raw, &l.tag)) {
    l.body = raw.substr(n);
    ClassifyBody(l);
  } else if (IsAsctime(raw)) {
    l.kind = Kind::kStamp;  // the stamp of an entry without tag
    l.text = raw;
  }
  return l;
}

}  // namespace

std::vector<Line> Parse(const std::string& data, bool* endsWithNewline) {
  std::vector<Line> out;
  size_t start = 0;
  while (start < data.size()) {
    size_t nl = data.find('\n', start);
    if (nl == std::string::npos) {
      out.push_back(Classify(data.substr(start)));
      if (endsWithNewline) *endsWithNewline = false;
      return out;
    }
    out.push_back(Classify(data.substr(start, nl - start)));
    start = nl + 1;
  }
  if (endsWithNewline) *endsWithNewline = true;
  return out;
}

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int n;
    char32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3;
      cp = b & 0x07;
    } else {
      return false;
    }
    for (int k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return false;
      unsigned char c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

std::vector<Line> OfKind(const std::vector<Line>& lines, Kind kind) {
  std::vector<Line> out;
  for (const Line& l : lines) {
    if (l.kind == kind) out.push_back(l);
  }
  return out;
}

}  // namespace trccheck
