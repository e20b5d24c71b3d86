// A reader of trace files written from the trace's documented line forms,
// independent of the trace's own code: it splits a file into lines and
// classifies each one with its parts.
#ifndef TESTS_KRN_DPTRC_TRC_CHECKER_H
#define TESTS_KRN_DPTRC_TRC_CHECKER_H

#include <string>
#include <vector>

namespace trccheck {

enum class Kind {
  kEmpty,     // an empty line
  kHeader,    // trc file: "<name>", trc level: <n>, release: "720"
  kStamp,     // [Thr <id>] <24-character asctime text>, or the text alone
  kInfo,      // [Thr <id>] <text>
  kError,     // [Thr <id>] *** ERROR => <text> [<file12> <line>]
  kWarning,   // [Thr <id>] *** WARNING => <text> [<file12> <line>]
  kErrno,     // [Thr <id>] *** ERROR => <text> (<errno>: <text>) [<file12> <line>]
  kLog,       // [Thr <id>] ***LOG <id3>=> <text>
  kUntagged,  // anything else (the header's rules among them)
};

struct Line {
  Kind kind = Kind::kUntagged;
  std::string raw, tag, body;  // the line, its thread id, what follows the tag
  std::string text;            // the message without prefix and suffix
  std::string file12, lineNo;  // location of a located line; message id of a log line
  int err = 0;                 // errno line: number and text
  std::string errText;
  int headerLevel = -1;  // header: level and file name (in text)
};

std::vector<Line> Parse(const std::string& data);
std::vector<Line> OfKind(const std::vector<Line>& lines, Kind kind);
// Well-formed UTF-8: no overlong forms, no surrogates, at most U+10FFFF.
bool ValidUtf8(const std::string& bytes);

}  // namespace trccheck

#endif
