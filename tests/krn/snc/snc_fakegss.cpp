// A GSS-API library of our own for the SNC tests, built in variants of
// this one source:
//   (none)          a version-2 library with every function the layer looks up
//   FAKEGSS_V1      seal, unseal, sign and verify instead of wrap, unwrap,
//                   get_mic and verify_mic
//   FAKEGSS_NOREQ   without gss_context_time, which the layer requires
//   FAKEGSS_NOOPT   without the functions the layer may do without
//   FAKEGSS_EXT     an external adapter: weqsnc_init_adapter and every
//                   function with the prefix weqgss_
// Names follow the exported-name form of RFC 2743 section 3.2 over the
// mechanism reported first. Every name, buffer and identifier set it hands
// out is counted until released. Contexts and credentials are not served.
#include <gssapi/gssapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "snc_fakegss.h"

#define FAKE_API extern "C" __attribute__((visibility("default")))
#ifdef FAKEGSS_EXT
#define FN(n) weqgss_##n
#else
#define FN(n) gss_##n
#endif

extern "C" {
__attribute__((visibility("default"))) FakeGssCtl fakegss_ctl = {{kFakeKrb5}, 1, 0, 7, 0, kFakeDisplayPrincipal, 0, 0, 0, "TEST.REALM", 0, 0, 0, 0};
}

__attribute__((constructor)) static void FakeLoaded() { ++fakegss_ctl.loads; }

namespace {

struct Oid {
  unsigned char bytes[16];
  OM_uint32 len;
};
const Oid kMechs[] = {
    {{0x2B, 0x05, 0x01, 0x05, 0x02}, 5},                                            // 1.3.5.1.5.2
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02}, 9},                      // 1.2.840.113554.1.2.2
    {{0x2B, 0x24, 0x03, 0x01, 0x25, 0x01}, 6},                                      // 1.3.36.3.1.37.1
    {{0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A}, 10},               // 1.3.6.1.4.1.311.2.2.10
    {{0x2A, 0x03, 0x04, 0x05}, 4},                                                  // 1.2.3.4.5
};
unsigned char kPrincipal[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02, 0x01};
unsigned char kUser[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x01, 0x01};
unsigned char kService[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x01, 0x04};
unsigned char kExport[] = {0x2B, 0x06, 0x01, 0x05, 0x06, 0x04};
unsigned char kOdd[] = {0x2A, 0x03, 0x07};
gss_OID_desc gPrincipal = {sizeof kPrincipal, kPrincipal};
gss_OID_desc gUser = {sizeof kUser, kUser};
gss_OID_desc gOdd = {sizeof kOdd, kOdd};

bool Is(gss_OID o, const unsigned char* b, size_t n) {
  return o != nullptr && o->length == n && memcmp(o->elements, b, n) == 0;
}

struct FakeName {
  char text[600];
};

gss_name_t NewName(const char* text, size_t n) {
  FakeName* f = static_cast<FakeName*>(calloc(1, sizeof(FakeName)));
  if (f == nullptr || n >= sizeof f->text) return free(f), nullptr;
  memcpy(f->text, text, n);
  ++fakegss_ctl.liveNames;
  return reinterpret_cast<gss_name_t>(f);
}

void* NewBuffer(gss_buffer_t out, const void* data, size_t n) {
  out->value = malloc(n + 1);
  out->length = n;
  memcpy(out->value, data, n);
  static_cast<char*>(out->value)[n] = 0;
  ++fakegss_ctl.liveBuffers;
  return out->value;
}

const Oid& FirstMech() { return kMechs[fakegss_ctl.nmechs > 0 ? fakegss_ctl.mechs[0] : kFakeKrb5]; }

OM_uint32 Fail(OM_uint32* minor, OM_uint32 code) {
  if (minor != nullptr) *minor = 0x2A;
  return code;
}

}  // namespace

#ifdef FAKEGSS_EXT
struct ExtInfo {  // the adapter record as the layer documents it
  unsigned status;
  int type;
  const char* idText;
  const char* mechPrefix;
  unsigned char integ, conf, s3, s4;
  unsigned overhead;
  gss_OID nameTypes[5];
  unsigned char mutual, replay;
  unsigned char reserved[22];
};
static_assert(sizeof(ExtInfo) == 96);
FAKE_API int weqsnc_init_adapter(ExtInfo* info, size_t size) {
  if (info == nullptr || size < sizeof(ExtInfo) || fakegss_ctl.extInitFail) return 1;
  static char id[200];
  snprintf(id, sizeof id, "Fake SNC-Adapter with a long identification text that goes on and on past the "
                          "hundred and fifty-nine characters that the layer keeps of it, ending right here: END OF TEXT");
  info->status = 1;
  info->type = fakegss_ctl.extType;
  info->idText = id;
  info->mechPrefix = "fakemech";
  info->integ = 1;
  info->conf = 0;
  info->overhead = 300;
  info->nameTypes[1] = &gPrincipal;
  info->nameTypes[2] = &gUser;
  return 0;
}
#endif

FAKE_API OM_uint32 FN(indicate_mechs)(OM_uint32* minor, gss_OID_set* set) {
  if (fakegss_ctl.failIndicate) return Fail(minor, GSS_S_FAILURE);
  gss_OID_set s = static_cast<gss_OID_set>(calloc(1, sizeof *s));
  s->count = static_cast<size_t>(fakegss_ctl.nmechs);
  s->elements = static_cast<gss_OID>(calloc(4, sizeof(gss_OID_desc)));
  for (int i = 0; i < fakegss_ctl.nmechs; ++i) {
    const Oid& o = kMechs[fakegss_ctl.mechs[i]];
    s->elements[i] = {o.len, const_cast<unsigned char*>(o.bytes)};
  }
  ++fakegss_ctl.liveSets;
  *set = s;
  *minor = 0;
  return GSS_S_COMPLETE;
}

FAKE_API OM_uint32 FN(release_oid_set)(OM_uint32* minor, gss_OID_set* set) {
  *minor = 0;
  if (*set == GSS_C_NO_OID_SET) return GSS_S_COMPLETE;
  free((*set)->elements);
  free(*set);
  *set = GSS_C_NO_OID_SET;
  --fakegss_ctl.liveSets;
  return GSS_S_COMPLETE;
}

FAKE_API OM_uint32 FN(release_buffer)(OM_uint32* minor, gss_buffer_t buf) {
  *minor = 0;
  if (buf == nullptr) return GSS_S_COMPLETE;
  if (buf->value != nullptr) {
    free(buf->value);
    --fakegss_ctl.liveBuffers;
  }
  buf->value = nullptr;
  buf->length = 0;
  return GSS_S_COMPLETE;
}

FAKE_API OM_uint32 FN(release_name)(OM_uint32* minor, gss_name_t* name) {
  *minor = 0;
  if (name == nullptr || *name == GSS_C_NO_NAME) return GSS_S_BAD_NAME;
  free(*name);
  --fakegss_ctl.liveNames;
  *name = GSS_C_NO_NAME;
  return GSS_S_COMPLETE;
}

FAKE_API OM_uint32 FN(display_status)(OM_uint32* minor, OM_uint32 status, int type, gss_OID, OM_uint32* more,
                                      gss_buffer_t out) {
  char text[64];
  snprintf(text, sizeof text, "fake %s status 0x%08x", type == GSS_C_GSS_CODE ? "major" : "minor", status);
  NewBuffer(out, text, strlen(text));
  *more = 0;
  *minor = 0;
  return GSS_S_COMPLETE;
}

// Exported form (RFC 2743 3.2): 04 01, the length of the DER mechanism
// identifier (tag, length, contents) in 2 bytes, that identifier, the
// name's length in 4 bytes, the name.
FAKE_API OM_uint32 FN(import_name)(OM_uint32* minor, gss_buffer_t in, gss_OID type, gss_name_t* out) {
  *out = GSS_C_NO_NAME;
  if (fakegss_ctl.failImport) return Fail(minor, GSS_S_BAD_NAME);
  const unsigned char* p = static_cast<const unsigned char*>(in->value);
  if (Is(type, kExport, sizeof kExport)) {
    const Oid& m = FirstMech();
    const size_t head = 4 + 2 + m.len + 4;
    if (in->length < head || p[0] != 4 || p[1] != 1 || p[2] != 0 || p[3] != m.len + 2 || p[4] != 6 ||
        p[5] != m.len || memcmp(p + 6, m.bytes, m.len) != 0) {
      return Fail(minor, GSS_S_BAD_NAME);
    }
    const unsigned char* l = p + 6 + m.len;
    const size_t n = static_cast<size_t>(l[0]) << 24 | l[1] << 16 | l[2] << 8 | l[3];
    if (n != in->length - head) return Fail(minor, GSS_S_BAD_NAME);
    *out = NewName(reinterpret_cast<const char*>(l + 4), n);
  } else if (Is(type, kUser, sizeof kUser) || Is(type, kPrincipal, sizeof kPrincipal)) {
    *out = NewName(static_cast<const char*>(in->value), in->length);
  } else if (Is(type, kService, sizeof kService)) {
    // service@host becomes the principal service/host.
    *out = NewName(static_cast<const char*>(in->value), in->length);
    if (*out != nullptr) {
      char* at = strchr(reinterpret_cast<FakeName*>(*out)->text, '@');
      if (at != nullptr) *at = '/';
    }
  } else {
    return Fail(minor, GSS_S_BAD_NAMETYPE);
  }
  *minor = 0;
  return *out != GSS_C_NO_NAME ? GSS_S_COMPLETE : Fail(minor, GSS_S_BAD_NAME);
}

FAKE_API OM_uint32 FN(canonicalize_name)(OM_uint32* minor, gss_name_t in, gss_OID, gss_name_t* out) {
  *out = GSS_C_NO_NAME;
  if (fakegss_ctl.failCanon || in == GSS_C_NO_NAME) return Fail(minor, GSS_S_BAD_NAME);
  char text[700];
  const char* t = reinterpret_cast<FakeName*>(in)->text;
  snprintf(text, sizeof text, strchr(t, '@') != nullptr ? "%s" : "%s@%s", t, fakegss_ctl.realm);
  *out = NewName(text, strlen(text));
  *minor = 0;
  return *out != GSS_C_NO_NAME ? GSS_S_COMPLETE : Fail(minor, GSS_S_BAD_NAME);
}

FAKE_API OM_uint32 FN(export_name)(OM_uint32* minor, gss_name_t in, gss_buffer_t out) {
  out->length = 0;
  out->value = nullptr;
  if (fakegss_ctl.failExport || in == GSS_C_NO_NAME) return Fail(minor, GSS_S_UNAVAILABLE);
  const Oid& m = FirstMech();
  const char* t = reinterpret_cast<FakeName*>(in)->text;
  const size_t n = strlen(t);
  unsigned char tok[800];
  size_t k = 0;
  tok[k++] = 4, tok[k++] = 1, tok[k++] = 0, tok[k++] = static_cast<unsigned char>(m.len + 2);
  tok[k++] = 6, tok[k++] = static_cast<unsigned char>(m.len);
  memcpy(tok + k, m.bytes, m.len), k += m.len;
  tok[k++] = static_cast<unsigned char>(n >> 24), tok[k++] = static_cast<unsigned char>(n >> 16);
  tok[k++] = static_cast<unsigned char>(n >> 8), tok[k++] = static_cast<unsigned char>(n);
  memcpy(tok + k, t, n), k += n;
  NewBuffer(out, tok, k);
  *minor = 0;
  return GSS_S_COMPLETE;
}

FAKE_API OM_uint32 FN(display_name)(OM_uint32* minor, gss_name_t in, gss_buffer_t out, gss_OID* type) {
  if (in == GSS_C_NO_NAME) return Fail(minor, GSS_S_BAD_NAME);
  const char* t = fakegss_ctl.display == kFakeDisplayEmpty ? "" : reinterpret_cast<FakeName*>(in)->text;
  NewBuffer(out, t, strlen(t));
  switch (fakegss_ctl.display) {
    case kFakeDisplayNoOid: *type = GSS_C_NO_OID; break;
    case kFakeDisplayOddOid: *type = &gOdd; break;
    case kFakeDisplayUser: *type = &gUser; break;
    default: *type = &gPrincipal; break;
  }
  *minor = 0;
  return GSS_S_COMPLETE;
}

FAKE_API OM_uint32 FN(compare_name)(OM_uint32* minor, gss_name_t a, gss_name_t b, int* equal) {
  *minor = 0;
  *equal = a != nullptr && b != nullptr &&
           strcmp(reinterpret_cast<FakeName*>(a)->text, reinterpret_cast<FakeName*>(b)->text) == 0;
  return GSS_S_COMPLETE;
}

// Context and credential services are not offered.
#define UNSERVED(n, ...) \
  FAKE_API OM_uint32 FN(n)(OM_uint32 * minor, __VA_ARGS__) { return Fail(minor, GSS_S_UNAVAILABLE); }

UNSERVED(acquire_cred, gss_name_t, OM_uint32, gss_OID_set, gss_cred_usage_t, gss_cred_id_t*, gss_OID_set*, OM_uint32*)
UNSERVED(release_cred, gss_cred_id_t*)
UNSERVED(init_sec_context, gss_cred_id_t, gss_ctx_id_t*, gss_name_t, gss_OID, OM_uint32, OM_uint32,
         gss_channel_bindings_t, gss_buffer_t, gss_OID*, gss_buffer_t, OM_uint32*, OM_uint32*)
UNSERVED(accept_sec_context, gss_ctx_id_t*, gss_cred_id_t, gss_buffer_t, gss_channel_bindings_t, gss_name_t*, gss_OID*,
         gss_buffer_t, OM_uint32*, OM_uint32*, gss_cred_id_t*)
UNSERVED(delete_sec_context, gss_ctx_id_t*, gss_buffer_t)
UNSERVED(inquire_cred, gss_cred_id_t, gss_name_t*, OM_uint32*, gss_cred_usage_t*, gss_OID_set*)
UNSERVED(inquire_context, gss_ctx_id_t, gss_name_t*, gss_name_t*, OM_uint32*, gss_OID*, OM_uint32*, int*, int*)
#ifndef FAKEGSS_NOREQ
UNSERVED(context_time, gss_ctx_id_t, OM_uint32*)
#endif
#ifdef FAKEGSS_V1
UNSERVED(sign, gss_ctx_id_t, int, gss_buffer_t, gss_buffer_t)
UNSERVED(verify, gss_ctx_id_t, gss_buffer_t, gss_buffer_t, int*)
UNSERVED(seal, gss_ctx_id_t, int, int, gss_buffer_t, int*, gss_buffer_t)
UNSERVED(unseal, gss_ctx_id_t, gss_buffer_t, gss_buffer_t, int*, int*)
#else
UNSERVED(get_mic, gss_ctx_id_t, gss_qop_t, gss_buffer_t, gss_buffer_t)
UNSERVED(verify_mic, gss_ctx_id_t, gss_buffer_t, gss_buffer_t, gss_qop_t*)
UNSERVED(wrap, gss_ctx_id_t, int, gss_qop_t, gss_buffer_t, int*, gss_buffer_t)
UNSERVED(unwrap, gss_ctx_id_t, gss_buffer_t, gss_buffer_t, int*, gss_qop_t*)
#endif
#ifndef FAKEGSS_NOOPT
UNSERVED(process_context_token, gss_ctx_id_t, gss_buffer_t)
UNSERVED(inquire_cred_by_mech, gss_cred_id_t, gss_OID, gss_name_t*, OM_uint32*, OM_uint32*, gss_cred_usage_t*)
UNSERVED(wrap_size_limit, gss_ctx_id_t, int, gss_qop_t, OM_uint32, OM_uint32*)
UNSERVED(export_sec_context, gss_ctx_id_t*, gss_buffer_t)
UNSERVED(import_sec_context, gss_buffer_t, gss_ctx_id_t*)
UNSERVED(inquire_names_for_mech, gss_OID, gss_OID_set*)
UNSERVED(inquire_mechs_for_name, gss_name_t, gss_OID_set*)
#endif
