#include "trc_checker.h"

#include <ctype.h>

namespace trccheck {
namespace {

bool Starts(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

bool Digits(const std::string& s, size_t from, size_t to) {
  if (to > s.size()) return false;
  for (size_t i = from; i < to; ++i) {
    if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

// "Www Mmm dd hh:mm:ss yyyy"
bool IsAsctime(const std::string& s) {
  static const std::string kDays = "Sun Mon Tue Wed Thu Fri Sat ";
  static const std::string kMonths = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec ";
  return s.size() == 24 && kDays.find(s.substr(0, 4)) % 4 == 0 &&
         kMonths.find(s.substr(4, 4)) % 4 == 0 && (s[8] == ' ' || Digits(s, 8, 9)) &&
         Digits(s, 9, 10) && s[10] == ' ' && Digits(s, 11, 13) && s[13] == ':' &&
         Digits(s, 14, 16) && s[16] == ':' && Digits(s, 17, 19) && s[19] == ' ' &&
         Digits(s, 20, 24);
}

// Splits off the suffix " [<12 characters> <0 to 5 digits>]".
bool SplitSuffix(Line& l, size_t from) {
  const std::string& b = l.body;
  if (b.empty() || b.back() != ']') return false;
  size_t end = b.size() - 1;
  for (size_t nd = 0; nd <= 5 && nd + 16 <= end; ++nd) {
    size_t blank = end - nd - 1, start = blank - 14;
    if (b[blank] == ' ' && Digits(b, blank + 1, end) && b.compare(start, 2, " [") == 0 &&
        start >= from) {
      l.file12 = b.substr(start + 2, 12);
      l.lineNo = b.substr(blank + 1, nd);
      l.text = b.substr(from, start - from);
      return true;
    }
  }
  return false;
}

void ClassifyBody(Line& l) {
  const std::string& b = l.body;
  l.kind = Kind::kInfo;
  l.text = b;
  if (IsAsctime(b)) {
    l.kind = Kind::kStamp;
  } else if (Starts(b, "***LOG ") && b.compare(10, 3, "=> ") == 0) {
    l.kind = Kind::kLog;
    l.file12 = b.substr(7, 3);
    l.text = b.substr(13);
  } else if (Starts(b, "*** WARNING => ") && SplitSuffix(l, 15)) {
    l.kind = Kind::kWarning;
  } else if (Starts(b, "*** ERROR => ") && SplitSuffix(l, 13)) {
    l.kind = Kind::kError;
    // An errno line: " (<number>: <text>)" ends the message.
    size_t open = l.text.empty() || l.text.back() != ')' ? std::string::npos : l.text.rfind(" (");
    for (; open != std::string::npos;
         open = open ? l.text.rfind(" (", open - 1) : std::string::npos) {
      size_t p = open + 2 + (l.text[open + 2] == '-'), q = p;
      while (q < l.text.size() && isdigit(static_cast<unsigned char>(l.text[q]))) ++q;
      if (q == p || l.text.compare(q, 2, ": ") != 0) continue;
      l.kind = Kind::kErrno;
      l.err = std::stoi(l.text.substr(open + 2, q - open - 2));
      l.errText = l.text.substr(q + 2, l.text.size() - q - 3);
      l.text.resize(open);
      break;
    }
  }
}

Line Classify(const std::string& raw) {
  Line l;
  l.raw = raw;
  const std::string kHead = "trc file: \"", kLevel = "\", trc level: ", kRel = ", release: \"720\"";
  size_t lv = raw.rfind(kLevel), close = raw.find("] ");
  if (raw.empty()) {
    l.kind = Kind::kEmpty;
  } else if (Starts(raw, kHead) && lv != std::string::npos && raw.size() > kRel.size() &&
             raw.compare(raw.size() - kRel.size(), kRel.size(), kRel) == 0) {
    l.kind = Kind::kHeader;
    l.text = raw.substr(kHead.size(), lv - kHead.size());
    l.headerLevel = std::stoi(raw.substr(lv + kLevel.size()));
  } else if (Starts(raw, "[Thr ") && close != std::string::npos && close > 5 &&
             (raw.substr(5, close - 5) == "???" || Digits(raw, 5, close))) {
    l.tag = raw.substr(5, close - 5);
    l.body = raw.substr(close + 2);
    ClassifyBody(l);
  } else if (IsAsctime(raw)) {
    l.kind = Kind::kStamp;
    l.text = raw;
  }
  return l;
}

}  // namespace

std::vector<Line> Parse(const std::string& data) {
  std::vector<Line> out;
  for (size_t start = 0; start < data.size();) {
    size_t nl = data.find('\n', start);
    if (nl == std::string::npos) nl = data.size();
    out.push_back(Classify(data.substr(start, nl - start)));
    start = nl + 1;
  }
  return out;
}

std::vector<Line> OfKind(const std::vector<Line>& lines, Kind kind) {
  std::vector<Line> out;
  for (const Line& l : lines) {
    if (l.kind == kind) out.push_back(l);
  }
  return out;
}

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int n = b < 0x80                 ? 0
            : b >= 0xC2 && b <= 0xDF ? 1
            : b >= 0xE0 && b <= 0xEF ? 2
            : b >= 0xF0 && b <= 0xF4 ? 3
                                     : -1;
    if (n < 0 || i + n >= s.size() + (n == 0)) return false;
    char32_t cp = n == 0 ? b : b & (0x3F >> n);
    for (int k = 1; k <= n; ++k) {
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

}  // namespace trccheck
