// Shared pieces of the trace and error-information tests.
#ifndef TESTS_KRN_DPTRC_TRC_TESTUTIL_H
#define TESTS_KRN_DPTRC_TRC_TESTUTIL_H

#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "krn/dptrc/dptrc.h"
#include "support/testsupport.h"
#include "trc_checker.h"

namespace trctest {

// The kernel's id of the calling thread, as the tag must show it.
inline std::string KernelTid() { return std::to_string(static_cast<long>(syscall(SYS_gettid))); }

// A trace file of its own, opened with CTrcOpen, at the given level; the
// level goes back to 0 at the end.
class TraceFile {
 public:
  explicit TraceFile(int level = 2, const char* name = "t.trc") : path_(dir_.File(name)) {
    CTrcLevel.store(level);
    f_ = CTrcOpen(tovtest::FromUtf8(path_).c_str(), u"w");
  }
  ~TraceFile() {
    CTrcLevel.store(0);
    if (f_ != nullptr && f_ != stderr) fclose(f_);
  }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  CTRC_HDL hdl() const { return f_; }
  const std::string& path() const { return path_; }
  std::string Read() const {
    fflush(f_);
    return tovtest::ReadFile(path_);
  }
  std::vector<trccheck::Line> Lines() const { return trccheck::Parse(Read()); }
  // The lines after the header (empty line, rule, header, rule).
  std::vector<trccheck::Line> Body() const {
    std::vector<trccheck::Line> l = Lines();
    return l.size() >= 4 ? std::vector<trccheck::Line>(l.begin() + 4, l.end()) : l;
  }
  // The body without time-stamp lines (and the empty lines of level 1).
  std::vector<trccheck::Line> Entries() const {
    std::vector<trccheck::Line> out;
    for (const trccheck::Line& l : Body()) {
      if (l.kind != trccheck::Kind::kStamp && l.kind != trccheck::Kind::kEmpty) out.push_back(l);
    }
    return out;
  }

 private:
  tovtest::TempDir dir_;
  std::string path_;
  FILE* f_ = nullptr;
};

}  // namespace trctest

#endif
