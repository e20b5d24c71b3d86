// Starting a program from a command line, held before its first
// instruction until the caller lets it run.
//
// The command line is split the way the Windows C runtime splits one into
// arguments, never by a shell. The first argument (the program) ends at a
// blank or tab outside double quotes; quotes in it only switch quoting and
// a backslash is an ordinary character. In the other arguments, 2n
// backslashes before a quote give n backslashes and the quote switches
// quoting, 2n+1 backslashes before a quote give n backslashes and a literal
// quote, backslashes before anything else stay as they are, and "" inside
// quotes gives one literal quote.
//
// The program is found before anything starts: a name with '/' as it is,
// another one along PATH; it must be an executable regular file. The new
// process is a grandchild: its parent ends at once and is reaped here, so
// the caller is left no child. Until PlatProcResume the grandchild waits on
// a gate pipe; between its fork and its exec it makes only
// async-signal-safe calls, and it inherits no descriptor beyond 0 to 2. An
// exec that fails is reported back through a status pipe.
#ifndef PLATFORM_PROCESS_H
#define PLATFORM_PROCESS_H

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

std::vector<std::string> PlatCmdLineSplit(std::string_view cmd);

// A started process that waits for PlatProcResume or PlatProcDiscard.
struct PlatProc {
  pid_t pid = -1;
  int gate = -1;    // write end of the gate pipe
  int status = -1;  // read end of the exec-status pipe
};

// Starts the held process: 0, or an errno value (ENOENT, EACCES, EINVAL
// for an empty command, or a failure of the pipes and forks).
int PlatProcCreateSuspended(const char* cmdLine, PlatProc* proc);
// Lets it run: 0 when its program was executed, else exec's errno, or
// ESRCH when the held process had ended before.
int PlatProcResume(PlatProc* proc);
// Ends it without running the program.
void PlatProcDiscard(PlatProc* proc);

#endif
