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
// out is counted until released.
//
// Credentials carry a name (the one asked for, or a default). Contexts run
// a fixed handshake of R initiator tokens: without mutual authentication the
// initiator completes with its last token and the acceptor without one;
// with it the acceptor answers every token and completes with its last, and
// the initiator completes on that without a token, as Kerberos does. Tokens
// of wrap and get_mic carry a sequence number and a checksum over the
// context's nonce, so that tampering gives GSS_S_BAD_SIG and a replay
// GSS_S_DUPLICATE_TOKEN. Lifetimes run on a virtual clock.
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
__attribute__((visibility("default"))) FakeGssCtl fakegss_ctl;
}

// The defaults, set when the library is loaded: Kerberos 5 as the one
// mechanism, an external adapter of type 7, the realm TEST.REALM.
__attribute__((constructor)) static void FakeLoaded() {
  fakegss_ctl.mechs[0] = kFakeKrb5;
  fakegss_ctl.nmechs = 1;
  fakegss_ctl.extType = 7;
  fakegss_ctl.realm = "TEST.REALM";
  ++fakegss_ctl.loads;
}

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

// Counts a call of fn; true when this is the call that is to fail.
bool Trip(int fn) {
  ++fakegss_ctl.calls[fn];
  return fakegss_ctl.failFn == fn && fakegss_ctl.calls[fn] == fakegss_ctl.failAt;
}

OM_uint32 ReleaseResult(OM_uint32* minor, int fn) {
  const bool fail = Trip(fn) || fakegss_ctl.failRelease;
  return fail ? Fail(minor, GSS_S_FAILURE) : (*minor = 0, GSS_S_COMPLETE);
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
  return ReleaseResult(minor, kFnReleaseBuffer);
}

FAKE_API OM_uint32 FN(release_name)(OM_uint32* minor, gss_name_t* name) {
  *minor = 0;
  if (name == nullptr || *name == GSS_C_NO_NAME) return GSS_S_BAD_NAME;
  free(*name);
  --fakegss_ctl.liveNames;
  *name = GSS_C_NO_NAME;
  return ReleaseResult(minor, kFnReleaseName);
}

FAKE_API OM_uint32 FN(display_status)(OM_uint32* minor, OM_uint32 status, int type, gss_OID, OM_uint32* more,
                                      gss_buffer_t out) {
  if (Trip(kFnDisplayStatus)) return Fail(minor, GSS_S_FAILURE);
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
  if (Trip(kFnImportName) || fakegss_ctl.failImport) return Fail(minor, GSS_S_BAD_NAME);
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
  if (Trip(kFnCanonicalize) || fakegss_ctl.failCanon || in == GSS_C_NO_NAME) return Fail(minor, GSS_S_BAD_NAME);
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
  if (Trip(kFnExportName) || fakegss_ctl.failExport || in == GSS_C_NO_NAME) return Fail(minor, GSS_S_UNAVAILABLE);
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
  if (Trip(kFnDisplayName) || in == GSS_C_NO_NAME) return Fail(minor, GSS_S_BAD_NAME);
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

// --- Credentials ----------------------------------------------------------------

namespace {

struct CredRec {
  char name[600];
  int usage;
};

struct FakeCtx {
  bool initiator, mutual, done;
  int step, rounds;
  uint32_t nonce;
  char self[600], peer[600];
  uint32_t seqOut, seqIn;
  long completed;
};

uint32_t gNonce = 0x1000;

// The default name of a usage with the realm.
void DefaultName(int usage, char* out, size_t size) {
  const char* base = usage == GSS_C_ACCEPT ? (fakegss_ctl.acceptName ? fakegss_ctl.acceptName : "host/server")
                                           : (fakegss_ctl.initUser ? fakegss_ctl.initUser : "user");
  snprintf(out, size, strchr(base, '@') != nullptr ? "%s" : "%s@%s", base, fakegss_ctl.realm);
}

OM_uint32 Lifetime(unsigned v) { return v == 0 ? GSS_C_INDEFINITE : v; }

OM_uint32 Flags(const FakeCtx* c, OM_uint32 req) {
  OM_uint32 f = GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG | GSS_C_SEQUENCE_FLAG | (req & GSS_C_REPLAY_FLAG);
  if (c->mutual) f |= GSS_C_MUTUAL_FLAG;
  return f & ~fakegss_ctl.flagMask;
}

// FNV-1a over the nonce, the sequence number and the bytes.
uint32_t Sum(uint32_t nonce, uint32_t seq, const unsigned char* p, size_t n) {
  uint32_t h = 2166136261u;
  auto mix = [&h](uint32_t b) { h = (h ^ b) * 16777619u; };
  for (int i = 0; i < 4; ++i) mix(nonce >> (8 * i) & 0xFF);
  for (int i = 0; i < 4; ++i) mix(seq >> (8 * i) & 0xFF);
  for (size_t i = 0; i < n; ++i) mix(p[i]);
  return h;
}

void Put32(unsigned char* p, uint32_t v) { memcpy(p, &v, 4); }
uint32_t Get32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// The sequence check of a received token: in order, a replay, or a gap.
OM_uint32 Sequence(FakeCtx* c, uint32_t seq) {
  if (seq == c->seqIn) return ++c->seqIn, GSS_S_COMPLETE;
  if (seq < c->seqIn) return GSS_S_DUPLICATE_TOKEN;
  c->seqIn = seq + 1;
  return GSS_S_GAP_TOKEN;
}

}  // namespace

FAKE_API OM_uint32 FN(acquire_cred)(OM_uint32* minor, gss_name_t name, OM_uint32, gss_OID_set, gss_cred_usage_t usage,
                                    gss_cred_id_t* out, gss_OID_set* actual, OM_uint32* timeRec) {
  *out = GSS_C_NO_CREDENTIAL;
  if (actual != nullptr) *actual = GSS_C_NO_OID_SET;
  if (Trip(kFnAcquireCred)) return Fail(minor, GSS_S_FAILURE);
  if (fakegss_ctl.cred == kFakeCredNone) return Fail(minor, GSS_S_NO_CRED);
  if (fakegss_ctl.cred == kFakeCredExpired) return Fail(minor, GSS_S_CREDENTIALS_EXPIRED);
  CredRec* c = static_cast<CredRec*>(calloc(1, sizeof(CredRec)));
  c->usage = usage;
  if (name != GSS_C_NO_NAME) {
    snprintf(c->name, sizeof c->name, "%s", reinterpret_cast<FakeName*>(name)->text);
  } else {
    DefaultName(usage, c->name, sizeof c->name);
  }
  ++fakegss_ctl.liveCreds;
  *out = reinterpret_cast<gss_cred_id_t>(c);
  if (timeRec != nullptr) *timeRec = Lifetime(fakegss_ctl.credLifetime);
  *minor = 0;
  return GSS_S_COMPLETE;
}

FAKE_API OM_uint32 FN(release_cred)(OM_uint32* minor, gss_cred_id_t* cred) {
  if (cred == nullptr || *cred == GSS_C_NO_CREDENTIAL) return Fail(minor, GSS_S_NO_CRED);
  free(*cred);
  *cred = GSS_C_NO_CREDENTIAL;
  --fakegss_ctl.liveCreds;
  return ReleaseResult(minor, kFnReleaseCred);
}

FAKE_API OM_uint32 FN(inquire_cred)(OM_uint32* minor, gss_cred_id_t cred, gss_name_t* name, OM_uint32* lifetime,
                                    gss_cred_usage_t* usage, gss_OID_set* mechs) {
  if (Trip(kFnInquireCred) || cred == GSS_C_NO_CREDENTIAL) return Fail(minor, GSS_S_NO_CRED);
  const CredRec* c = reinterpret_cast<const CredRec*>(cred);
  if (name != nullptr) *name = NewName(c->name, strlen(c->name));
  if (lifetime != nullptr) *lifetime = Lifetime(fakegss_ctl.credLifetime);
  if (usage != nullptr) *usage = c->usage;
  if (mechs != nullptr) *mechs = GSS_C_NO_OID_SET;
  *minor = 0;
  return GSS_S_COMPLETE;
}

// --- Contexts ---------------------------------------------------------------------

// Initiator token k: "FGI", k, the nonce, mutual, rounds, the initiator's
// name and the target's, each ended by a zero byte. Acceptor token k: "FGA",
// k, the nonce.
FAKE_API OM_uint32 FN(init_sec_context)(OM_uint32* minor, gss_cred_id_t cred, gss_ctx_id_t* ctx, gss_name_t target,
                                        gss_OID, OM_uint32 req, OM_uint32, gss_channel_bindings_t, gss_buffer_t in,
                                        gss_OID* actual, gss_buffer_t out, OM_uint32* retFlags, OM_uint32* timeRec) {
  out->length = 0, out->value = nullptr;
  if (actual != nullptr) *actual = GSS_C_NO_OID;
  if (Trip(kFnInit)) return Fail(minor, GSS_S_FAILURE);
  FakeCtx* c = reinterpret_cast<FakeCtx*>(*ctx);
  if (c == nullptr) {
    if (target == GSS_C_NO_NAME) return Fail(minor, GSS_S_BAD_NAME);
    c = static_cast<FakeCtx*>(calloc(1, sizeof(FakeCtx)));
    c->initiator = true;
    c->mutual = (req & GSS_C_MUTUAL_FLAG) != 0;
    c->rounds = fakegss_ctl.rounds > 0 ? fakegss_ctl.rounds : 1;
    c->nonce = ++gNonce;
    c->step = 1;
    if (cred != GSS_C_NO_CREDENTIAL) {
      snprintf(c->self, sizeof c->self, "%s", reinterpret_cast<CredRec*>(cred)->name);
    } else {
      DefaultName(GSS_C_INITIATE, c->self, sizeof c->self);
    }
    snprintf(c->peer, sizeof c->peer, "%s", reinterpret_cast<FakeName*>(target)->text);
    *ctx = reinterpret_cast<gss_ctx_id_t>(c);
    ++fakegss_ctl.liveContexts;
  } else {
    const unsigned char* p = in != nullptr ? static_cast<const unsigned char*>(in->value) : nullptr;
    if (c->done || p == nullptr || in->length != 8 || memcmp(p, "FGA", 3) != 0 || p[3] != c->step ||
        Get32(p + 4) != c->nonce) {
      return Fail(minor, GSS_S_DEFECTIVE_TOKEN);
    }
    if (c->step == c->rounds) {  // mutual: the acceptor's last token
      c->done = true;
      c->completed = fakegss_ctl.clock;
      *retFlags = Flags(c, req);
      if (timeRec != nullptr) *timeRec = Lifetime(fakegss_ctl.ctxLifetime);
      *minor = 0;
      return GSS_S_COMPLETE;
    }
    ++c->step;
  }
  const bool last = !c->mutual && c->step == c->rounds;
  if (!last && fakegss_ctl.emptyContinue) {
    *minor = 0;
    return GSS_S_CONTINUE_NEEDED;
  }
  unsigned char tok[1300];
  size_t n = 0;
  memcpy(tok, "FGI", 3), n = 3;
  tok[n++] = static_cast<unsigned char>(c->step);
  Put32(tok + n, c->nonce), n += 4;
  tok[n++] = c->mutual ? 1 : 0;
  tok[n++] = static_cast<unsigned char>(c->rounds);
  const size_t a = strlen(c->self) + 1, b = strlen(c->peer) + 1;
  memcpy(tok + n, c->self, a), n += a;
  memcpy(tok + n, c->peer, b), n += b;
  if (fakegss_ctl.initPad == 0) {
    NewBuffer(out, tok, n);
  } else {
    unsigned char* padded = static_cast<unsigned char*>(calloc(1, n + fakegss_ctl.initPad));
    memcpy(padded, tok, n);
    NewBuffer(out, padded, n + fakegss_ctl.initPad);
    free(padded);
  }
  if (last) {
    c->done = true;
    c->completed = fakegss_ctl.clock;
  }
  *retFlags = Flags(c, req);
  if (timeRec != nullptr) *timeRec = Lifetime(fakegss_ctl.ctxLifetime);
  *minor = 0;
  return last ? GSS_S_COMPLETE : GSS_S_CONTINUE_NEEDED;
}

FAKE_API OM_uint32 FN(accept_sec_context)(OM_uint32* minor, gss_ctx_id_t* ctx, gss_cred_id_t cred, gss_buffer_t in,
                                          gss_channel_bindings_t, gss_name_t* src, gss_OID* mech, gss_buffer_t out,
                                          OM_uint32* retFlags, OM_uint32* timeRec, gss_cred_id_t* delegated) {
  out->length = 0, out->value = nullptr;
  if (src != nullptr) *src = GSS_C_NO_NAME;
  if (mech != nullptr) *mech = GSS_C_NO_OID;
  if (delegated != nullptr) *delegated = GSS_C_NO_CREDENTIAL;
  if (Trip(kFnAccept)) return Fail(minor, GSS_S_FAILURE);
  const unsigned char* p = in != nullptr ? static_cast<const unsigned char*>(in->value) : nullptr;
  const size_t len = in != nullptr ? in->length : 0;
  if (p == nullptr || len < 12 || memcmp(p, "FGI", 3) != 0 || p[len - 1] != 0) return Fail(minor, GSS_S_DEFECTIVE_TOKEN);
  const char* self = reinterpret_cast<const char*>(p + 10);
  const char* target = self + strlen(self) + 1;
  if (target >= reinterpret_cast<const char*>(p + len)) return Fail(minor, GSS_S_DEFECTIVE_TOKEN);
  FakeCtx* c = reinterpret_cast<FakeCtx*>(*ctx);
  if (c == nullptr) {
    // The acceptor's credential must be the target the initiator named.
    char own[600];
    if (cred != GSS_C_NO_CREDENTIAL) {
      snprintf(own, sizeof own, "%s", reinterpret_cast<CredRec*>(cred)->name);
    } else {
      DefaultName(GSS_C_ACCEPT, own, sizeof own);
    }
    if (p[3] != 1 || strcmp(own, target) != 0) return Fail(minor, GSS_S_BAD_NAME);
    c = static_cast<FakeCtx*>(calloc(1, sizeof(FakeCtx)));
    c->nonce = Get32(p + 4);
    c->mutual = p[8] != 0;
    c->rounds = p[9];
    snprintf(c->self, sizeof c->self, "%s", own);
    snprintf(c->peer, sizeof c->peer, "%s", self);
    c->step = 1;
    *ctx = reinterpret_cast<gss_ctx_id_t>(c);
    ++fakegss_ctl.liveContexts;
  } else if (c->done || p[3] != c->step + 1 || Get32(p + 4) != c->nonce) {
    return Fail(minor, GSS_S_DEFECTIVE_TOKEN);
  } else {
    ++c->step;
  }
  const bool last = c->step == c->rounds;
  if (!last || c->mutual) {
    if (!last && fakegss_ctl.emptyContinue) {
      *minor = 0;
      return GSS_S_CONTINUE_NEEDED;
    }
    unsigned char tok[8];
    memcpy(tok, "FGA", 3);
    tok[3] = static_cast<unsigned char>(c->step);
    Put32(tok + 4, c->nonce);
    NewBuffer(out, tok, sizeof tok);
  }
  if (last) {
    c->done = true;
    c->completed = fakegss_ctl.clock;
    if (src != nullptr) *src = NewName(c->peer, strlen(c->peer));
  }
  *retFlags = Flags(c, c->mutual ? GSS_C_MUTUAL_FLAG : 0);
  if (timeRec != nullptr) *timeRec = Lifetime(fakegss_ctl.ctxLifetime);
  *minor = 0;
  return last ? GSS_S_COMPLETE : GSS_S_CONTINUE_NEEDED;
}

FAKE_API OM_uint32 FN(delete_sec_context)(OM_uint32* minor, gss_ctx_id_t* ctx, gss_buffer_t token) {
  if (token != nullptr) token->length = 0, token->value = nullptr;
  if (ctx == nullptr || *ctx == GSS_C_NO_CONTEXT) return Fail(minor, GSS_S_NO_CONTEXT);
  free(*ctx);
  *ctx = GSS_C_NO_CONTEXT;
  --fakegss_ctl.liveContexts;
  return ReleaseResult(minor, kFnDelete);
}

#ifndef FAKEGSS_NOREQ
FAKE_API OM_uint32 FN(context_time)(OM_uint32* minor, gss_ctx_id_t ctx, OM_uint32* left) {
  *left = 0;
  if (Trip(kFnContextTime)) return Fail(minor, GSS_S_FAILURE);
  const FakeCtx* c = reinterpret_cast<const FakeCtx*>(ctx);
  if (c == nullptr || !c->done) return Fail(minor, GSS_S_NO_CONTEXT);
  *minor = 0;
  if (fakegss_ctl.ctxLifetime == 0) return *left = GSS_C_INDEFINITE, GSS_S_COMPLETE;
  const long rest = c->completed + static_cast<long>(fakegss_ctl.ctxLifetime) - fakegss_ctl.clock;
  if (rest <= 0) return GSS_S_CONTEXT_EXPIRED;
  *left = static_cast<OM_uint32>(rest);
  return GSS_S_COMPLETE;
}
#endif

// --- Per-message services -----------------------------------------------------------

#ifdef FAKEGSS_V1
// A version-1 library has only the old names for these.
#define PROT(n) static OM_uint32 v2_##n
#else
#define PROT(n) FAKE_API OM_uint32 FN(n)
#endif

// MIC token: "FGM", the sequence number, the checksum over the message.
PROT(get_mic)(OM_uint32* minor, gss_ctx_id_t ctx, gss_qop_t, gss_buffer_t msg, gss_buffer_t tok) {
  tok->length = 0, tok->value = nullptr;
  if (Trip(kFnGetMic)) return Fail(minor, GSS_S_FAILURE);
  FakeCtx* c = reinterpret_cast<FakeCtx*>(ctx);
  if (c == nullptr || !c->done) return Fail(minor, GSS_S_NO_CONTEXT);
  unsigned char t[11];
  memcpy(t, "FGM", 3);
  Put32(t + 3, c->seqOut);
  Put32(t + 7, Sum(c->nonce, c->seqOut, static_cast<unsigned char*>(msg->value), msg->length));
  ++c->seqOut;
  NewBuffer(tok, t, sizeof t);
  *minor = 0;
  return GSS_S_COMPLETE;
}

PROT(verify_mic)(OM_uint32* minor, gss_ctx_id_t ctx, gss_buffer_t msg, gss_buffer_t tok,
                                  gss_qop_t* qop) {
  if (qop != nullptr) *qop = 0;
  if (Trip(kFnVerifyMic)) return Fail(minor, GSS_S_FAILURE);
  FakeCtx* c = reinterpret_cast<FakeCtx*>(ctx);
  if (c == nullptr || !c->done) return Fail(minor, GSS_S_NO_CONTEXT);
  const unsigned char* t = static_cast<const unsigned char*>(tok->value);
  if (tok->length != 11 || memcmp(t, "FGM", 3) != 0) return Fail(minor, GSS_S_DEFECTIVE_TOKEN);
  const uint32_t seq = Get32(t + 3);
  if (Get32(t + 7) != Sum(c->nonce, seq, static_cast<unsigned char*>(msg->value), msg->length))
    return Fail(minor, GSS_S_BAD_SIG);
  *minor = 0;
  return Sequence(c, seq);
}

// Wrap token: "FGW", the sequence number, the confidentiality byte, the
// message (each byte XOR 0x5A when confidential), the checksum over the
// plain message.
PROT(wrap)(OM_uint32* minor, gss_ctx_id_t ctx, int confReq, gss_qop_t, gss_buffer_t in,
                            int* confState, gss_buffer_t out) {
  out->length = 0, out->value = nullptr;
  if (Trip(kFnWrap)) return Fail(minor, GSS_S_FAILURE);
  FakeCtx* c = reinterpret_cast<FakeCtx*>(ctx);
  if (c == nullptr || !c->done) return Fail(minor, GSS_S_NO_CONTEXT);
  const size_t n = in->length;
  unsigned char* t = static_cast<unsigned char*>(malloc(n + 12));
  const bool conf = confReq != 0;
  memcpy(t, "FGW", 3);
  Put32(t + 3, c->seqOut);
  t[7] = conf ? 1 : 0;
  const unsigned char* m = static_cast<const unsigned char*>(in->value);
  for (size_t i = 0; i < n; ++i) t[8 + i] = conf ? m[i] ^ 0x5A : m[i];
  Put32(t + 8 + n, Sum(c->nonce, c->seqOut, m, n));
  ++c->seqOut;
  NewBuffer(out, t, n + 12);
  free(t);
  if (confState != nullptr) *confState = conf && !fakegss_ctl.noConf;
  *minor = 0;
  return GSS_S_COMPLETE;
}

PROT(unwrap)(OM_uint32* minor, gss_ctx_id_t ctx, gss_buffer_t in, gss_buffer_t out, int* confState,
                              gss_qop_t* qop) {
  out->length = 0, out->value = nullptr;
  if (qop != nullptr) *qop = 0;
  if (Trip(kFnUnwrap)) return Fail(minor, GSS_S_FAILURE);
  FakeCtx* c = reinterpret_cast<FakeCtx*>(ctx);
  if (c == nullptr || !c->done) return Fail(minor, GSS_S_NO_CONTEXT);
  const unsigned char* t = static_cast<const unsigned char*>(in->value);
  if (in->length < 12 || memcmp(t, "FGW", 3) != 0) return Fail(minor, GSS_S_DEFECTIVE_TOKEN);
  const size_t n = in->length - 12;
  const uint32_t seq = Get32(t + 3);
  const bool conf = t[7] != 0;
  const size_t extra = fakegss_ctl.unwrapGrow ? 64 : 0;
  unsigned char* m = static_cast<unsigned char*>(calloc(1, n + extra + 1));
  for (size_t i = 0; i < n; ++i) m[i] = conf ? t[8 + i] ^ 0x5A : t[8 + i];
  if (Get32(t + 8 + n) != Sum(c->nonce, seq, m, n)) {
    free(m);
    return Fail(minor, GSS_S_BAD_SIG);
  }
  NewBuffer(out, m, n + extra);
  free(m);
  if (confState != nullptr) *confState = conf && !fakegss_ctl.noConf;
  *minor = 0;
  return Sequence(c, seq);
}

// The version-1 names over the same services.
#ifdef FAKEGSS_V1
FAKE_API OM_uint32 FN(sign)(OM_uint32* m, gss_ctx_id_t c, int q, gss_buffer_t msg, gss_buffer_t t) {
  return v2_get_mic(m, c, static_cast<gss_qop_t>(q), msg, t);
}
FAKE_API OM_uint32 FN(verify)(OM_uint32* m, gss_ctx_id_t c, gss_buffer_t msg, gss_buffer_t t, int* q) {
  gss_qop_t qq = 0;
  OM_uint32 r = v2_verify_mic(m, c, msg, t, &qq);
  if (q != nullptr) *q = static_cast<int>(qq);
  return r;
}
FAKE_API OM_uint32 FN(seal)(OM_uint32* m, gss_ctx_id_t c, int conf, int q, gss_buffer_t in, int* cs, gss_buffer_t out) {
  return v2_wrap(m, c, conf, static_cast<gss_qop_t>(q), in, cs, out);
}
FAKE_API OM_uint32 FN(unseal)(OM_uint32* m, gss_ctx_id_t c, gss_buffer_t in, gss_buffer_t out, int* cs, int* q) {
  gss_qop_t qq = 0;
  OM_uint32 r = v2_unwrap(m, c, in, out, cs, &qq);
  if (q != nullptr) *q = static_cast<int>(qq);
  return r;
}
#endif

// Services the layer looks up and never calls.
#define UNSERVED(n, ...) \
  FAKE_API OM_uint32 FN(n)(OM_uint32 * minor, __VA_ARGS__) { return Fail(minor, GSS_S_UNAVAILABLE); }

UNSERVED(inquire_context, gss_ctx_id_t, gss_name_t*, gss_name_t*, OM_uint32*, gss_OID*, OM_uint32*, int*, int*)
#ifndef FAKEGSS_NOOPT
UNSERVED(process_context_token, gss_ctx_id_t, gss_buffer_t)
UNSERVED(inquire_cred_by_mech, gss_cred_id_t, gss_OID, gss_name_t*, OM_uint32*, OM_uint32*, gss_cred_usage_t*)
UNSERVED(wrap_size_limit, gss_ctx_id_t, int, gss_qop_t, OM_uint32, OM_uint32*)
UNSERVED(export_sec_context, gss_ctx_id_t*, gss_buffer_t)
UNSERVED(import_sec_context, gss_buffer_t, gss_ctx_id_t*)
UNSERVED(inquire_names_for_mech, gss_OID, gss_OID_set*)
UNSERVED(inquire_mechs_for_name, gss_name_t, gss_OID_set*)
#endif
