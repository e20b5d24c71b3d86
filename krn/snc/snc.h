// Secure network communication (SNC): protection of a conversation through
// a GSS-API version 2 library that is named by configuration and loaded at
// run time. This header is what other modules may call.
//
// Results. Every entry returns an SNC_RC: 0 (WEQ_O_K) or one of the
// negative SNCERR_* codes below; SncErrName and SncErrText name them.
//
// Locking. The layer has one global lock, "SNC_GLOBAL_MTX", created by the
// first successful initialisation; the entries here take it only when it
// exists, so they may be called before that. The CPI-C layer calls the SNC
// entries only under its own lock, which is taken first.
//
// Trace. Every line goes to the SNC trace handle (standard error until
// SncSetTraceFile names another) at the process trace level.
#ifndef KRN_SNC_SNC_H
#define KRN_SNC_SNC_H

#include <stddef.h>
#include <stdint.h>

#include "krn/dptrc/dptrc.h"
#include "weq_types.h"

typedef int32_t SNC_RC;

enum : SNC_RC {
  SNCERR_INIT = -1,
  SNCERR_NO_SEC = -2,
  SNCERR_NO_RESOURCE = -3,
  SNCERR_GSSAPI = -4,
  SNCERR_QOP_UNAVAIL = -5,
  SNCERR_AUTH_FAILED = -6,
  SNCERR_FUNC_ARGS = -7,
  SNCERR_NI = -8,
  SNCERR_INTERNAL = -9,
  SNCERR_DEAD = -11,
  SNCERR_INVALID_FRAME = -12,
  SNCERR_CONTEXT_EXPIRED = -13,
  SNCERR_TRY_LATER = -14,
  SNCERR_NOT_AVAIL = -15,
  SNCERR_WRONG_FRAME = -16,
  SNCERR_NAME_TOO_LONG = -17,
  SNCERR_INVALID_NAME = -18,
  SNCERR_INVALID_NAMETYPE = -19,
  SNCERR_SESSION_ACTIVE = -20,
  SNCERR_MISSING_FEATURE = -21,
  SNCERR_BUFFER_TOO_SMALL = -22,
  SNCERR_INIT_FIRST = -23,
  SNCERR_WRONG_TRANSPORT = -24,
  SNCERR_BAD_SNC_HDL = -25,
  SNCERR_SHLIBS_UNSUP = -26,
  SNCERR_INSECURE = -27,
  SNCERR_OVERSECURE = -28,
  SNCERR_SHUTDOWN_MSG = -29,
  SNCERR_SHUTDOWN = -30,
  SNCERR_REFRESH_WRONG_CRED = -31,
  SNCERR_UNKNOWN_PARAM = -32,
  SNCERR_PARAM_DENIED = -33,
  SNCERR_BAD_QOP_VALUE = -34,
  SNCERR_BAD_NT_PREFIX = -35,
  SNCERR_BAD_MECH_PREFIX = -36,
  SNCERR_PLAUSI = -37,
  SNCERR_UNKNOWN_MECH = -38,
  SNCERR_STRANGE_GSSAPI = -39,
  SNCERR_WRONG_TARGET = -40,
  SNCERR_AUTH_MISMATCH = -41,
  SNCERR_EXPNAME_UNSUPP = -42,
  SNCERR_UNICODE_MISSING = -43,
  SNCERR_UNICODE_CONVERSION = -44,
  SNCERR_THREAD_MALFUNCT = -46,
};

// An SNC session: opaque outside the layer; valid from SncSessionInit to
// SncSessionDone.
typedef struct SncSession* SNC_HDL;

// Parameters of SncSetParam.
enum : int32_t {
  SNC_PARAM_GSSAPI_LIB = 1,  // the GSS-API library to load: a text
};

// --- Return codes --------------------------------------------------------------

// The name of code ("SNCERR_INIT" ..., "WEQ_O_K", "Unknown error" for 1);
// for any other code "Unknown errorcode <code>" in a buffer of the calling
// thread that its next unknown code overwrites.
const char* SncErrName(SNC_RC code);

// The text of code; the empty text for 0, 1 and codes without a name.
const char* SncErrText(SNC_RC code);

// SncErrName widened into buf of len units, cut to len - 1 and terminated.
// NULL for no buffer or len 0.
WEQ_UC* SncErrNameU16(SNC_RC code, WEQ_UC* buf, size_t len);

// Records code as the calling thread's error information (component "SNC
// (Secure Network Communication)"), unless that already holds the SNC
// component with this code.
void SncErrSet(SNC_RC code);

// --- Initialisation and sessions -------------------------------------------------
//
// Before SncInit has succeeded the entries below return SNCERR_INIT_FIRST;
// with SNC initialised but off, SNCERR_NO_SEC where noted. Every entry holds
// the global lock for the whole call.

// Initialises the layer once per process: program type 0..9 (0 without
// profile, 9 the CPI-C initiator), a profile file or NULL; *secAvail is 1
// when SNC can protect data. Later calls report the first call's result; a
// failed call lets the next one start over.
SNC_RC SncInit(int progType, const char* profileFile, uint8_t* secAvail);

// A new session (a copy of the default session when SNC is active).
SNC_RC SncSessionInit(SNC_HDL* hdl);
// Releases the session and sets *hdl to NULL.
SNC_RC SncSessionDone(SNC_HDL* hdl);

// The own name (printable, NULL or empty for the default credentials) of a
// session in state NONE, or of the default session for hdl NULL.
// SNCERR_NO_SEC when SNC is off.
SNC_RC SncSetMyName(SNC_HDL hdl, const char* name);

// The roles: acceptor, or initiator towards target (authentication type 1
// asks for mutual authentication). sizeHint reserves the frame buffer (0:
// the default). SNCERR_NO_SEC when SNC is off.
SNC_RC SncSessionAcceptor(SNC_HDL hdl, uint32_t sizeHint);
SNC_RC SncSessionInitiator(SNC_HDL hdl, int authType, uint32_t sizeHint, const char* target);

// Outgoing user data: *out/*outLen is a frame to send (valid until the next
// call on the session); while *done is 0 the caller first processes the
// peer's answers and then calls again with the same data. Without SNC, or
// in state NONE, the input is the output.
SNC_RC SncProcessOutput(SNC_HDL hdl, const void* in, size_t inLen, uint8_t* done, const void** out,
                        size_t* outLen);

// Received frames: delivered user data in *data/*dataLen, a frame to send
// back in *back/*backLen (both valid until the next call on the session).
// Frames that deliver nothing (tokens, acknowledgements) are followed by the
// next frame of the input. Input left behind the frame that delivered data
// gives SNCERR_BUFFER_TOO_SMALL with that data: the rest was not looked at
// and goes in again with the next call. Two frames to send back give
// SNCERR_INTERNAL.
SNC_RC SncProcessInput(SNC_HDL hdl, const void* in, size_t inLen, const void** data, size_t* dataLen,
                       const void** back, size_t* backLen);

// The quality of protection of a session (or of the default session for
// hdl NULL): minimum, maximum and use, each a level 1 (authentication), 2
// (integrity), 3 (privacy) or 7 ("min default"), 8 ("default"), 9 ("max
// default"). SNCERR_BAD_QOP_VALUE for other values, SNCERR_FUNC_ARGS when
// the maximum ends below the minimum, SNCERR_QOP_UNAVAIL for a use above
// what the library offers.
SNC_RC SncSetQOP(SNC_HDL hdl, int min, int max, int use);

// The peer's printable name ("p:user@REALM") and its ACL key (the
// canonical form). SNCERR_TRY_LATER while an acceptor has not yet seen the
// peer. What they hand out stays valid and unchanged until SncSessionDone.
SNC_RC SncGetPeerName(SNC_HDL hdl, const char** name);
SNC_RC SncGetPeerAclKey(SNC_HDL hdl, const uint8_t** key, size_t* len);

// The 16-bit forms: names narrowed to at most 256 characters (a unit above
// 0xFF gives SNCERR_UNICODE_CONVERSION and changes nothing); the peer name
// widened, at most 255 characters, NULL after a failure.
SNC_RC SncSetMyNameU16(SNC_HDL hdl, const WEQ_UC* name);
SNC_RC SncSessionInitiatorU16(SNC_HDL hdl, int authType, uint32_t sizeHint, const WEQ_UC* target);
SNC_RC SncGetPeerNameU16(SNC_HDL hdl, const WEQ_UC** name);

// --- Settings ------------------------------------------------------------------

// The handle all SNC trace lines go to from now on; returns 0.
SNC_RC SncSetTraceFile(CTRC_HDL hdl);

// Parameter SNC_PARAM_GSSAPI_LIB: the GSS-API library's name (value, length
// bytes, or up to its terminator for length 0; an empty value forgets an
// earlier one). Only before the layer is initialised, else
// SNCERR_PARAM_DENIED; other numbers give SNCERR_UNKNOWN_PARAM.
SNC_RC SncSetParam(int32_t param, const void* value, size_t length);

// As SncSetParam; for SNC_PARAM_GSSAPI_LIB the value is 16-bit text that is
// narrowed byte by byte (at most 1024 characters); a unit above 0xFF gives
// SNCERR_UNICODE_CONVERSION.
SNC_RC SncSetParamU16(int32_t param, const void* value, size_t length);

#endif
