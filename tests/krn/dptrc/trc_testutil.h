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

// A trace file of its own opened with CTrcOpen at the given level, as the
// global handle when asked; both go back at the end.
class TraceFile {
 public:
  explicit TraceFile(int level = 2, bool global = false)
      : path_(dir_.File("t.trc")), global_(global) {
    CTrcLevel.store(level);
    f_ = CTrcOpen(tovtest::FromUtf8(path_).c_str(), u"w");
    if (global_) CTrcGlobalHdl.store(f_);
  }
  ~TraceFile() {
    CTrcLevel.store(0);
    if (global_) CTrcGlobalHdl.store(nullptr);
    fclose(f_);
  }
  CTRC_HDL hdl() const { return f_; }
  std::string Read() const {
    fflush(f_);
    return tovtest::ReadFile(path_);
  }
  // The lines after the four of the header.
  std::vector<trccheck::Line> Body() const {
    std::vector<trccheck::Line> l = trccheck::Parse(Read());
    return std::vector<trccheck::Line>(l.begin() + std::min<size_t>(4, l.size()), l.end());
  }
  // The body without time-stamp lines and the empty lines before them.
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
  bool global_;
  FILE* f_;
};

}  // namespace trctest

#endif
