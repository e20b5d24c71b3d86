// A reader of trace files written from the trace's documented line forms,
// independent of the trace's own code, and a private trace file to read.
#ifndef TESTS_KRN_DPTRC_TRC_CHECKER_H
#define TESTS_KRN_DPTRC_TRC_CHECKER_H

#include <iconv.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "krn/dptrc/dptrc.h"
#include "support/testsupport.h"

namespace trccheck {

// A line of a trace file. Its kind:
//   'S'  [Thr <id>] <asctime text>, or the text alone
//   'I'  [Thr <id>] <text>
//   'E'  [Thr <id>] *** ERROR => <text> [<file12> <line>]
//   'W'  [Thr <id>] *** WARNING => <text> [<file12> <line>]
//   'N'  [Thr <id>] *** ERROR => <text> (<errno>: <text>) [<file12> <line>]
//   'L'  [Thr <id>] ***LOG <id3>=> <text>
//   '0'  an empty line; '?' anything else
struct Line {
  char kind = '?';
  std::string raw, tag, body;  // the line, its thread id, what follows the tag
  std::string text;            // the message without prefix and suffix
  std::string where;           // 'E', 'W', 'N': "<file12> <line>"; 'L': message id
  std::string err;             // 'N': "<errno>: <text>"
};

inline bool Digits(const std::string& s, size_t from, size_t to) {
  return from <= to && to <= s.size() && s.find_first_not_of("0123456789", from) >= to;
}

inline bool IsAsctime(const std::string& s) {
  struct tm tm;
  const char* end = s.size() == 24 ? strptime(s.c_str(), "%a %b %e %H:%M:%S %Y", &tm) : nullptr;
  return end != nullptr && *end == 0 && s[3] == ' ' && s[7] == ' ';
}

// Splits " [<12 characters> <0 to 5 digits>]" off the body after the prefix.
inline bool Located(Line& l, char kind, const std::string& prefix) {
  const std::string& b = l.body;
  size_t from = prefix.size(), blank = b.rfind(' ');
  if (b.rfind(prefix, 0) != 0 || b.back() != ']' || blank == std::string::npos || blank < from + 14 ||
      b.size() - blank > 7 || !Digits(b, blank + 1, b.size() - 1) || b.compare(blank - 14, 2, " [") != 0) {
    return false;
  }
  l.kind = kind;
  l.where = b.substr(blank - 12, b.size() - blank + 11);
  l.text = b.substr(from, blank - 14 - from);
  return true;
}

inline Line Classify(const std::string& raw) {
  Line l;
  l.raw = raw;
  size_t close = raw.find("] ");
  if (raw.empty() || IsAsctime(raw)) {
    l.kind = raw.empty() ? '0' : 'S';
  } else if (raw.rfind("[Thr ", 0) == 0 && close != std::string::npos && close > 5 &&
             (raw.substr(5, close - 5) == "???" || Digits(raw, 5, close))) {
    l.tag = raw.substr(5, close - 5);
    l.body = l.text = raw.substr(close + 2);
    l.kind = IsAsctime(l.body) ? 'S' : 'I';
    if (l.body.rfind("***LOG ", 0) == 0 && l.body.compare(10, 3, "=> ") == 0) {
      l.kind = 'L';
      l.where = l.body.substr(7, 3);
      l.text = l.body.substr(13);
    } else if (!Located(l, 'W', "*** WARNING => ") && Located(l, 'E', "*** ERROR => ")) {
      // An errno line ends its message with " (<number>: <text>)".
      size_t open = l.text.rfind(" (");
      int err = 0, n = 0;
      if (open != std::string::npos && l.text.back() == ')' &&
          sscanf(l.text.c_str() + open, " (%d: %n", &err, &n) == 1 && n > 0) {
        l.kind = 'N';
        l.err = l.text.substr(open + 2, l.text.size() - open - 3);
        l.text.resize(open);
      }
    }
  }
  return l;
}

// The lines of data; without time stamps and empty lines unless all are asked for.
inline std::vector<Line> Parse(const std::string& data, bool all = true) {
  std::vector<Line> out;
  for (size_t start = 0, nl; start < data.size(); start = nl + 1) {
    nl = std::min(data.find('\n', start), data.size());
    out.push_back(Classify(data.substr(start, nl - start)));
    if (!all && (out.back().kind == 'S' || out.back().kind == '0')) out.pop_back();
  }
  return out;
}

// The kinds of the lines, one character each.
inline std::string Kinds(const std::vector<Line>& lines) {
  std::string k;
  for (const Line& l : lines) k += l.kind;
  return k;
}

// Bytes through the C library's converter; false when any of them does not
// convert (invalid input, a character cut short, no mapping).
inline bool Iconv(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  std::string buf(in.size() * 4 + 4, '\0');
  char *ip = const_cast<char*>(in.data()), *op = buf.data();
  size_t il = in.size(), ol = buf.size();
  bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (out != nullptr) *out = buf.substr(0, buf.size() - ol);
  return ok;
}

// Well-formed UTF-8: no overlong forms, no surrogates, at most U+10FFFF.
inline bool ValidUtf8(const std::string& b) { return Iconv("UTF-16LE", "UTF-8", b, nullptr); }

// "[Thr <id>] " with the kernel's id of the calling thread.
inline std::string Tag() { return "[Thr " + std::to_string(syscall(SYS_gettid)) + "] "; }

// A trace file of its own opened with CTrcOpen at the given level; it is
// the global handle meanwhile.
struct TraceFile {
  explicit TraceFile(int level = 2) {
    CTrcLevel.store(level);
    CTrcGlobalHdl.store(f = CTrcOpen(tovtest::FromUtf8(dir.File("t.trc")).c_str(), u"w"));
  }
  ~TraceFile() {
    CTrcLevel.store(0);
    CTrcGlobalHdl.store(nullptr);
    fclose(f);
  }
  std::string Read() const {
    fflush(f);
    return tovtest::ReadFile(dir.File("t.trc"));
  }
  // What follows the header, and its lines.
  std::string After() const { return Read().substr(Read().find("---\n", 60) + 4); }
  std::vector<Line> Body(bool all = false) const { return Parse(After(), all); }

  tovtest::TempDir dir;
  FILE* f;
};

}  // namespace trccheck

#endif
