// Helpers shared by the test executables. Nothing here calls the library:
// conversions are written independently so that a fault in the library's
// own code cannot hide behind the same fault in a helper.
#ifndef TESTS_SUPPORT_TESTSUPPORT_H
#define TESTS_SUPPORT_TESTSUPPORT_H

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace tovtest {

// UTF-8 <-> UTF-16 for test expectations (lone surrogates pass through as
// their 3-byte forms; invalid UTF-8 becomes U+FFFD).
std::u16string FromUtf8(const std::string& s);
std::string ToUtf8(const std::u16string& s);

// Readable form of 16-bit text for failure messages: ASCII as is, the rest
// as \uXXXX.
std::string Show(const std::u16string& s);
std::string Show(const char16_t* s);

// Result of a function run in a forked child process.
struct ChildResult {
  int exit_code = -1;  // exit status, or -1 when it did not exit normally
  int signal = 0;      // terminating signal, 0 when it exited
  std::string out;     // everything it wrote to standard output
  std::string err;     // everything it wrote to standard error
};

// Runs fn in a fresh fork of this process with its standard output and
// error captured; the child exits with fn's result. For process-wide
// once-only state (environment read once, lazy loaders). The child is killed
// after timeout_s seconds.
ChildResult RunInChild(const std::function<int()>& fn, int timeout_s = 60);

// A private temporary directory, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

// The standard output of a shell command given input on its standard
// input; *status is its exit status, or -1 when it did not exit.
std::string Filter(const std::string& cmd, const std::string& input, int* status);

// Sends everything written to a file descriptor (standard error by default)
// into a private temporary file until Take() or destruction, which restore
// the descriptor. stdio's buffers are flushed on both edges.
class CaptureFd {
 public:
  explicit CaptureFd(int fd = 2);
  ~CaptureFd();
  CaptureFd(const CaptureFd&) = delete;
  CaptureFd& operator=(const CaptureFd&) = delete;
  // Restores the descriptor and returns what was written while captured.
  std::string Take();

 private:
  int fd_;
  int saved_ = -1;
  int file_ = -1;
};

// Scale factor for long-running sweeps: 1 normally, larger with
// TOV_TEST_HEAVY=<n> for runs outside CI.
int HeavyFactor();

}  // namespace tovtest

// GoogleTest (1.12 and later) prints std::u16string itself; an overload of
// PrintTo for it here would make every comparison of two u16strings
// ambiguous.

#endif
