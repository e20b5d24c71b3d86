// A reader of trace files, written from the trace's documented line forms
// and independent of the trace's own code: it splits a file into lines and
// classifies each one (header, time stamp, information, error, warning,
// errno, log) with its parts, so that tests assert on what a reader of the
// file would see.
#ifndef TESTS_KRN_DPTRC_TRC_CHECKER_H
#define TESTS_KRN_DPTRC_TRC_CHECKER_H

#include <string>
#include <vector>

namespace trccheck {

enum class Kind {
  kEmpty,       // an empty line
  kHeaderRule,  // 51 hyphens
  kHeader,      // trc file: "<name>", trc level: <n>, release: "<r>"
  kStamp,       // [Thr <id>] <24-character asctime text>
  kInfo,        // [Thr <id>] <text>
  kError,       // [Thr <id>] *** ERROR => <text> [<file12> <line>]
  kWarning,     // [Thr <id>] *** WARNING => <text> [<file12> <line>]
  kErrno,       // [Thr <id>] *** ERROR => <text> (<errno>: <text>) [<file12> <line>]
  kLog,         // [Thr <id>] ***LOG <id3>=> <text>...
  kUntagged,    // anything else
};

struct Line {
  Kind kind = Kind::kUntagged;
  std::string raw;      // the line without its newline
  std::string tag;      // thread id of the tag ("???" possible), empty when none
  std::string body;     // the line after the tag
  std::string text;     // the message text (for located lines: without prefix and suffix)
  std::string file12;   // the 12-character file field of a located line
  std::string lineNo;   // its line number text
  int err = 0;          // errno of an errno line
  std::string errText;  // its text
  std::string headerName;  // for kHeader
  int headerLevel = -1;
  std::string headerRelease;
};

// Splits data at '\n'; a last line without newline is kept (and flagged).
std::vector<Line> Parse(const std::string& data, bool* endsWithNewline = nullptr);

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates, at
// most U+10FFFF).
bool ValidUtf8(const std::string& bytes);

// Lines of the given kind.
std::vector<Line> OfKind(const std::vector<Line>& lines, Kind kind);

}  // namespace trccheck

#endif
