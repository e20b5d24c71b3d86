// Graphical frontend launcher: starts the frontend program for a
// connection and waits until it answers with a connect string or an error
// text.
//
// The frontend is found through the environment variable WEQGUI (which
// only names it: nothing is started then) or the registry value "Path" of
// Software\WEQ\RFC\Weqgui\ZK5L on the machine. It is started held, the
// names it answers on are made, and then it runs. It writes one reply into
// a shared memory of 2048 bytes and releases a semaphore:
//   "<pid>_RfcGuiShm", "<pid>_RfcGuiSem"        direct start (pid: the new
//                                               process's)
//   "<id>_RfcGuiShm", "<id>_RfcGuiSem" and      start through the logon pad
//   "<pid>_RfcGuiSem"                           (id: the RFC id)
// The reply is "RFC_OK", one separator and the connect string, or
// "RFC_ERROR=" and an error text, in 8-bit or 16-bit text, terminated.
// The call waits at most 180 seconds; every name it made is unlinked
// before it returns. Two calls in logon-pad mode with one RFC id share the
// id names: the first creates them, the last unlinks them.
#ifndef KRN_RFC_TOV3_RFCWEQGUI_H
#define KRN_RFC_TOV3_RFCWEQGUI_H

#include "weq_types.h"

// Units of the reply text buffer, of the frontend path and of the command.
#define RFCGUI_REPLY_UNITS 1032
#define RFCGUI_PATH_UNITS 1024
#define RFCGUI_CMD_UNITS 1025
// Bytes of the shared memory.
#define RFCGUI_SHM_BYTES 2048

// Finds and starts the frontend with the parameters and the RFC id; reply
// (RFCGUI_REPLY_UNITS) gets the connect string (result 0) or the error
// text (result 1).
int rfcGuiLaunch(const WEQ_UC* parameters, const WEQ_UC* rfcId, WEQ_UC* reply);
// Starts the command line and waits for its reply: 0 or 1 as above.
int rfcGuiStart(const WEQ_UC* cmdLine, const WEQ_UC* rfcId, WEQ_UC* reply);
// Reads the reply out of the shared memory (RFCGUI_SHM_BYTES): 0 with the
// connect string, 1 with the error text (empty when the reply is neither).
int rfcGuiParseReply(WEQ_UC* reply, const void* shm);
// 0 direct start, else start through the logon pad: the last readable of
// the DWORD values LaunchWeqlogon and StartWeqlogon of Software\WEQ\Weqgui,
// machine first, then user.
unsigned rfcGuiLaunchMode(void);

#endif
