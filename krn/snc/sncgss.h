// The GSS-API version 2 C bindings that the SNC layer calls, declared here
// from the standard's C binding because the library that implements them is
// loaded at run time and never linked: types, status values, flags and the
// signature of every function the layer looks up.
//
// The layout of the structures is the binding's: an object identifier is a
// 32-bit length and a pointer to its DER contents bytes, a buffer a size_t
// length and a pointer, an object identifier set a size_t count and a
// pointer to an array of identifiers. Internal names, credentials and
// contexts are opaque pointers of the loaded library.
#ifndef KRN_SNC_SNCGSS_H
#define KRN_SNC_SNCGSS_H

#include <stddef.h>
#include <stdint.h>

typedef uint32_t OM_uint32;

typedef struct gss_OID_desc_struct {
  OM_uint32 length;
  void* elements;
} gss_OID_desc, *gss_OID;
typedef const gss_OID_desc* gss_const_OID;

typedef struct gss_OID_set_desc_struct {
  size_t count;
  gss_OID elements;
} gss_OID_set_desc, *gss_OID_set;

typedef struct gss_buffer_desc_struct {
  size_t length;
  void* value;
} gss_buffer_desc, *gss_buffer_t;

typedef struct gss_channel_bindings_struct* gss_channel_bindings_t;
typedef struct gss_name_struct* gss_name_t;
typedef struct gss_cred_id_struct* gss_cred_id_t;
typedef struct gss_ctx_id_struct* gss_ctx_id_t;
typedef int gss_cred_usage_t;
typedef OM_uint32 gss_qop_t;

#define GSS_C_NO_NAME ((gss_name_t)0)
#define GSS_C_NO_CREDENTIAL ((gss_cred_id_t)0)
#define GSS_C_NO_CONTEXT ((gss_ctx_id_t)0)
#define GSS_C_NO_OID ((gss_OID)0)
#define GSS_C_NO_OID_SET ((gss_OID_set)0)
#define GSS_C_NO_BUFFER ((gss_buffer_t)0)
#define GSS_C_NO_CHANNEL_BINDINGS ((gss_channel_bindings_t)0)
#define GSS_C_EMPTY_BUFFER {0, 0}
#define GSS_C_INDEFINITE 0xFFFFFFFFu
#define GSS_C_QOP_DEFAULT 0u

// Credential usage.
#define GSS_C_BOTH 0
#define GSS_C_INITIATE 1
#define GSS_C_ACCEPT 2

// Status types of gss_display_status.
#define GSS_C_GSS_CODE 1
#define GSS_C_MECH_CODE 2

// Context flags.
#define GSS_C_DELEG_FLAG 1u
#define GSS_C_MUTUAL_FLAG 2u
#define GSS_C_REPLAY_FLAG 4u
#define GSS_C_SEQUENCE_FLAG 8u
#define GSS_C_CONF_FLAG 16u
#define GSS_C_INTEG_FLAG 32u

// Major status: calling errors in bits 24-31, routine errors in 16-23,
// supplementary information in 0-15.
#define GSS_C_CALLING_ERROR_OFFSET 24
#define GSS_C_ROUTINE_ERROR_OFFSET 16
#define GSS_ROUTINE_ERROR(x) ((OM_uint32)(x) << GSS_C_ROUTINE_ERROR_OFFSET)
#define GSS_S_COMPLETE 0u
#define GSS_S_BAD_MECH GSS_ROUTINE_ERROR(1)
#define GSS_S_BAD_NAME GSS_ROUTINE_ERROR(2)
#define GSS_S_BAD_NAMETYPE GSS_ROUTINE_ERROR(3)
#define GSS_S_NO_CRED GSS_ROUTINE_ERROR(7)
#define GSS_S_NO_CONTEXT GSS_ROUTINE_ERROR(8)
#define GSS_S_CREDENTIALS_EXPIRED GSS_ROUTINE_ERROR(11)
#define GSS_S_CONTEXT_EXPIRED GSS_ROUTINE_ERROR(12)
#define GSS_S_FAILURE GSS_ROUTINE_ERROR(13)
#define GSS_S_UNAVAILABLE GSS_ROUTINE_ERROR(16)
#define GSS_S_BAD_SIG GSS_ROUTINE_ERROR(6)
#define GSS_S_DEFECTIVE_TOKEN GSS_ROUTINE_ERROR(9)
#define GSS_S_CONTINUE_NEEDED 1u
#define GSS_S_DUPLICATE_TOKEN 2u
#define GSS_S_OLD_TOKEN 4u
#define GSS_S_UNSEQ_TOKEN 8u
#define GSS_S_GAP_TOKEN 16u
#define GSS_ERROR(x) ((x) & 0xFFFF0000u)

// --- Function signatures ------------------------------------------------------

typedef OM_uint32 gss_acquire_cred_fn(OM_uint32*, gss_name_t, OM_uint32, gss_OID_set, gss_cred_usage_t,
                                      gss_cred_id_t*, gss_OID_set*, OM_uint32*);
typedef OM_uint32 gss_release_cred_fn(OM_uint32*, gss_cred_id_t*);
typedef OM_uint32 gss_init_sec_context_fn(OM_uint32*, gss_cred_id_t, gss_ctx_id_t*, gss_name_t, gss_OID,
                                          OM_uint32, OM_uint32, gss_channel_bindings_t, gss_buffer_t,
                                          gss_OID*, gss_buffer_t, OM_uint32*, OM_uint32*);
typedef OM_uint32 gss_accept_sec_context_fn(OM_uint32*, gss_ctx_id_t*, gss_cred_id_t, gss_buffer_t,
                                            gss_channel_bindings_t, gss_name_t*, gss_OID*, gss_buffer_t,
                                            OM_uint32*, OM_uint32*, gss_cred_id_t*);
typedef OM_uint32 gss_process_context_token_fn(OM_uint32*, gss_ctx_id_t, gss_buffer_t);
typedef OM_uint32 gss_delete_sec_context_fn(OM_uint32*, gss_ctx_id_t*, gss_buffer_t);
typedef OM_uint32 gss_context_time_fn(OM_uint32*, gss_ctx_id_t, OM_uint32*);
typedef OM_uint32 gss_get_mic_fn(OM_uint32*, gss_ctx_id_t, gss_qop_t, gss_buffer_t, gss_buffer_t);
typedef OM_uint32 gss_verify_mic_fn(OM_uint32*, gss_ctx_id_t, gss_buffer_t, gss_buffer_t, gss_qop_t*);
typedef OM_uint32 gss_wrap_fn(OM_uint32*, gss_ctx_id_t, int, gss_qop_t, gss_buffer_t, int*, gss_buffer_t);
typedef OM_uint32 gss_unwrap_fn(OM_uint32*, gss_ctx_id_t, gss_buffer_t, gss_buffer_t, int*, gss_qop_t*);
typedef OM_uint32 gss_display_status_fn(OM_uint32*, OM_uint32, int, gss_OID, OM_uint32*, gss_buffer_t);
typedef OM_uint32 gss_indicate_mechs_fn(OM_uint32*, gss_OID_set*);
typedef OM_uint32 gss_compare_name_fn(OM_uint32*, gss_name_t, gss_name_t, int*);
typedef OM_uint32 gss_display_name_fn(OM_uint32*, gss_name_t, gss_buffer_t, gss_OID*);
typedef OM_uint32 gss_import_name_fn(OM_uint32*, gss_buffer_t, gss_OID, gss_name_t*);
typedef OM_uint32 gss_release_name_fn(OM_uint32*, gss_name_t*);
typedef OM_uint32 gss_release_buffer_fn(OM_uint32*, gss_buffer_t);
typedef OM_uint32 gss_release_oid_set_fn(OM_uint32*, gss_OID_set*);
typedef OM_uint32 gss_inquire_cred_fn(OM_uint32*, gss_cred_id_t, gss_name_t*, OM_uint32*, gss_cred_usage_t*,
                                      gss_OID_set*);
typedef OM_uint32 gss_inquire_cred_by_mech_fn(OM_uint32*, gss_cred_id_t, gss_OID, gss_name_t*, OM_uint32*,
                                              OM_uint32*, gss_cred_usage_t*);
typedef OM_uint32 gss_inquire_context_fn(OM_uint32*, gss_ctx_id_t, gss_name_t*, gss_name_t*, OM_uint32*,
                                         gss_OID*, OM_uint32*, int*, int*);
typedef OM_uint32 gss_wrap_size_limit_fn(OM_uint32*, gss_ctx_id_t, int, gss_qop_t, OM_uint32, OM_uint32*);
typedef OM_uint32 gss_export_sec_context_fn(OM_uint32*, gss_ctx_id_t*, gss_buffer_t);
typedef OM_uint32 gss_import_sec_context_fn(OM_uint32*, gss_buffer_t, gss_ctx_id_t*);
typedef OM_uint32 gss_inquire_names_for_mech_fn(OM_uint32*, gss_OID, gss_OID_set*);
typedef OM_uint32 gss_inquire_mechs_for_name_fn(OM_uint32*, gss_name_t, gss_OID_set*);
typedef OM_uint32 gss_canonicalize_name_fn(OM_uint32*, gss_name_t, gss_OID, gss_name_t*);
typedef OM_uint32 gss_export_name_fn(OM_uint32*, gss_name_t, gss_buffer_t);

// The version-1 forms that stand in for get_mic, verify_mic, wrap and
// unwrap in older libraries (same arguments, the QOP as int).
typedef OM_uint32 gss_sign_fn(OM_uint32*, gss_ctx_id_t, int, gss_buffer_t, gss_buffer_t);
typedef OM_uint32 gss_verify_fn(OM_uint32*, gss_ctx_id_t, gss_buffer_t, gss_buffer_t, int*);
typedef OM_uint32 gss_seal_fn(OM_uint32*, gss_ctx_id_t, int, int, gss_buffer_t, int*, gss_buffer_t);
typedef OM_uint32 gss_unseal_fn(OM_uint32*, gss_ctx_id_t, gss_buffer_t, gss_buffer_t, int*, int*);

#endif
