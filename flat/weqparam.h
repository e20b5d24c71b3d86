// The profile parameter store: the value of a named parameter such as
// "snc/enable" for the whole library.
//
// Every parameter has a built-in default; the system-wide profile
// DEFAULT.PFL (in the directory of DIR_PROFILE), an instance profile and a
// command-line layer may override it. Values may refer to other parameters
// ("$(NAME)"), to environment variables ("%(NAME)") and to the two-digit
// system number ("$$"); directory parameters whose value is "(Default)" are
// assembled from two part parameters.
//
// The store is built once, on the first query of any thread, under a lock
// that later first queries wait for; afterwards it is read-only and queries
// take no lock (only the lookup counter and the last name looked up, which
// are themselves parameters, are written under a lock of their own). The
// strings handed out belong to the store and stay valid for the life of the
// process; the texts of the bookkeeping parameters "__WEQPROFILE_CALLS" and
// "__WEQPROFILE_CALL_LAST_NAME" change with every later lookup.
//
// Messages about the profiles and the values go to standard error; the ones
// that are only warnings are left out after weqparamQuiet.
#ifndef FLAT_WEQPARAM_H
#define FLAT_WEQPARAM_H

#include "weq_types.h"

// The current value of name, or NULL when there is no such parameter (or
// name is NULL). Builds the store on first use. Unless name is NULL or
// starts with '$', counts the lookup and records name as the last one.
const WEQ_UC* weqparamGet(const WEQ_UC* name);

// The built-in default of name as DEFAULT.PFL changed it, substituted and
// assembled; NULL when there is no such parameter. Builds the store on first
// use; not counted as a lookup.
const WEQ_UC* weqparamGetDefault(const WEQ_UC* name);

// Switches the warnings off. Matters only before the first query: the
// library's load calls it so that a process gets no warnings on stderr.
void weqparamQuiet(void);

#endif
