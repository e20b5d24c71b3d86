// SNC frames (building, parsing and the rules of the frame types), the
// network form of texts, and the reporting and release of GSS-API objects
// and failures.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "i18n/wequ16/u16str.h"
#include "krn/dptrc/err.h"
#include "krn/snc/snc_int.h"

namespace {
#define SNC_MODULE "sncxxall"

constexpr char kMagic[8] = {'S', 'N', 'C', 'F', 'R', 'A', 'M', 'E'};
constexpr uint32_t kFrameSlack = 56;  // room a frame needs beyond its parts and the overhead

enum Rule : uint8_t { kNone, kRequired, kOptional };
struct FrameRow {
  const char* name;
  Rule token, data;
};
constexpr FrameRow kFrames[FR_COUNT] = {
    {"REVERSE_REQ", kNone, kRequired}, {"INIT_REQ", kNone, kNone},        {"INIT", kRequired, kOptional},
    {"INIT_ACK", kNone, kNone},        {"ACCEPT", kRequired, kOptional}, {"ACCEPT_ACK", kNone, kNone},
    {"ACCEPT_FAILED", kNone, kOptional}, {"DATA_OPEN", kNone, kRequired}, {"DATA_MIC", kRequired, kRequired},
    {"DATA_WRAP", kRequired, kNone},   {"SHUTDOWN", kNone, kNone},        {"SHUTDOWN_MSG", kNone, kRequired},
    {"REJECTED", kNone, kNone},        {"ERROR", kNone, kOptional},
};

bool Obeys(Rule r, uint32_t len) { return r == kOptional || (r == kRequired) == (len > 0); }

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v >> 16);
  Put16(p + 2, v);
}

uint32_t Len(SncBytes b) { return b.p != nullptr ? b.len : 0; }

}  // namespace

const char* SncPFrameName(int type) { return type >= 0 && type < FR_COUNT ? kFrames[type].name : "????"; }

bool SncPCheckFrame(int type, uint32_t tokenLen, uint32_t dataLen) {
  if (type < 0 || type >= FR_COUNT) {
    SNC_TRCERR("SncPCheckFrame(): BUG! enum SNC_FRAME_T is messed up");
    return false;
  }
  return Obeys(kFrames[type].token, tokenLen) && Obeys(kFrames[type].data, dataLen);
}

SNC_RC SncPGrowOutBuf(SncOutBuf* out, uint64_t need) {
  if (need <= out->capacity) return WEQ_O_K;
  const uint64_t cap = ((need + 2087) & ~uint64_t{2047}) - 40;
  if (cap > UINT32_MAX) return SNCERR_NO_RESOURCE;
  uint8_t* data = static_cast<uint8_t*>(malloc(cap));
  if (data == nullptr) return SNCERR_NO_RESOURCE;
  free(out->data);
  out->data = data;
  out->capacity = static_cast<uint32_t>(cap);
  const uint64_t reserve = kFrameSlack + uint64_t{gSnc.maxOverhead};
  out->room = cap > reserve ? static_cast<uint32_t>(cap - reserve) : 0;
  return WEQ_O_K;
}

void SncPFreeOutBuf(SncOutBuf* out) {
  free(out->data);
  *out = SncOutBuf{};
}

SNC_RC MakeFrame(SncSession* s, SncBytes token, SncBytes data, int type, uint16_t flags, const SncBytes* items,
                 SncOutBuf* out) {
  uint64_t ext = 0;
  uint32_t mask = 0;
  for (int i = 0; items != nullptr && i < SNC_FRAME_ITEMS; ++i) {
    if (Len(items[i]) == 0) continue;
    if (items[i].len > 0xFFFF) {
      SNC_TRCERR("MakeFrame(): header extension item %d too long (%u)", i, items[i].len);
      return SNCERR_INTERNAL;
    }
    mask |= 1u << i;
    ext += 2 + uint64_t{items[i].len};
  }
  if (mask != 0) ext += 4;
  const uint32_t tokenLen = Len(token), dataLen = Len(data);
  if (type < 0 || type >= FR_COUNT || !SncPCheckFrame(type, tokenLen, dataLen)) return SNCERR_INTERNAL;
  if (SNC_FRAME_HDR + ext > 0xFFFF) {
    SNC_TRCERR("MakeFrame(): header extension too long (%lu)", static_cast<unsigned long>(ext));
    return SNCERR_INTERNAL;
  }
  const uint32_t hdrLen = static_cast<uint32_t>(SNC_FRAME_HDR + ext);

  // The QOP bits are set on the frames that negotiate it and nowhere else.
  uint32_t f = (flags | (s != nullptr ? s->frameFlags : 0)) & ~0x7Eu;
  if (s != nullptr && (type == FR_INIT_REQ || type == FR_INIT || type == FR_ACCEPT)) {
    f |= (static_cast<uint32_t>(s->qopMin) & 3) << 1 | (static_cast<uint32_t>(s->qopMax) & 3) << 3 |
         (static_cast<uint32_t>(s->qopUse) & 3) << 5;
  }

  const uint64_t frameLen = uint64_t{hdrLen} + tokenLen + dataLen;
  SNC_RC rc = SncPGrowOutBuf(out, kFrameSlack + uint64_t{gSnc.maxOverhead} + ext + tokenLen + dataLen);
  if (rc != WEQ_O_K) {
    SNC_TRCERR("MakeFrame(): no room for a frame of %lu bytes", static_cast<unsigned long>(frameLen));
    return rc;
  }
  uint8_t* p = out->data;
  memset(p, 0, hdrLen);
  memcpy(p, kMagic, sizeof kMagic);
  p[8] = static_cast<uint8_t>(type);
  p[9] = SNC_FRAME_VERSION;
  Put16(p + 10, hdrLen);
  Put32(p + 12, tokenLen);
  Put32(p + 16, dataLen);
  Put16(p + 20, s != nullptr ? s->adapterType : 0);
  Put16(p + 22, f);
  uint8_t* e = p + SNC_FRAME_HDR;
  if (mask != 0) {
    Put32(e, mask);
    e += 4;
    for (int i = 0; i < SNC_FRAME_ITEMS; ++i) {
      if ((mask & 1u << i) == 0) continue;
      Put16(e, items[i].len);
      memcpy(e + 2, items[i].p, items[i].len);
      e += 2 + items[i].len;
    }
  }
  if (e != p + hdrLen) SNC_TRCERR("  MakeFrame(): Ooops, program error in header field extension!");
  if (tokenLen > 0) memcpy(p + hdrLen, token.p, tokenLen);
  if (dataLen > 0) memcpy(p + hdrLen + tokenLen, data.p, dataLen);
  out->used = static_cast<uint32_t>(frameLen);
  if (s != nullptr) ++s->framesOut;
  SNC_TRC(3, "      MakeFrame: (len=%d, token=%d, data=%d, flags=0x%04x) FR_%.32s >>\n", static_cast<int>(frameLen),
          static_cast<int>(tokenLen), static_cast<int>(dataLen), f, SncPFrameName(type));
  if (mask != 0) SNC_TRC(3, "      MakeFrame: (ext_flags = 0x%08lx, ext_len = %u)\n", static_cast<unsigned long>(mask),
                         static_cast<unsigned>(ext));
  return WEQ_O_K;
}

SNC_RC UnFrame(SncSession* s, const uint8_t* in, size_t len, SncParsedFrame* f) {
  *f = SncParsedFrame{};
  if (in == nullptr || len < SNC_FRAME_HDR || memcmp(in, kMagic, sizeof kMagic) != 0) return SNCERR_INVALID_FRAME;
  SncParsedFrame r{};
  r.type = in[8];
  r.version = in[9];
  r.hdrLen = Be16(in + 10);
  r.tokenLen = Be32(in + 12);
  r.dataLen = Be32(in + 16);
  r.adapterType = Be16(in + 20);
  r.flags = Be16(in + 22);
  // A header shorter than the fixed part would report a frame shorter than
  // what was read, and the next parse would start inside this one.
  if (r.hdrLen < SNC_FRAME_HDR || r.hdrLen > len || r.tokenLen > len - r.hdrLen ||
      r.dataLen > len - r.hdrLen - r.tokenLen) {
    return SNCERR_INVALID_FRAME;
  }
  if (r.type < FR_COUNT && !SncPCheckFrame(r.type, r.tokenLen, r.dataLen)) return SNCERR_INVALID_FRAME;
  r.token = in + r.hdrLen;
  r.data = r.token + r.tokenLen;
  r.frameLen = r.hdrLen + r.tokenLen + r.dataLen;
  const uint8_t qmin = (r.flags >> 1) & 3, qmax = (r.flags >> 3) & 3, quse = (r.flags >> 5) & 3;
  if (qmin != 0 && qmax != 0 && quse != 0 && qmin <= quse && quse <= qmax) {
    r.qopMin = qmin;
    r.qopMax = qmax;
    r.qopUse = quse;
  }
  if (r.hdrLen > SNC_FRAME_HDR) {
    const uint32_t extLen = r.hdrLen - SNC_FRAME_HDR;
    const uint8_t* ext = in + SNC_FRAME_HDR;
    if (extLen < 4) {
      SNC_TRC(1, "  UnFrame: short header extension length\n");
      return SNCERR_INVALID_FRAME;
    }
    if (r.version < 3) {
      SNC_TRC(2, "  UnFrame: ignoring header extensionsin Protocol V%u !\n", r.version);
    } else {
      r.itemMask = Be32(ext) & 0xFF;
      uint32_t pos = 4;
      for (int i = 0; i < SNC_FRAME_ITEMS; ++i) {
        if ((r.itemMask & 1u << i) == 0) continue;
        // The length itself must lie inside the extension before it is read.
        const uint32_t n = extLen - pos >= 2 ? Be16(ext + pos) : 0;
        if (extLen - pos < 2 || n > extLen - pos - 2) {
          SNC_TRC(1, "  UnFrame: ext_header field too large (%u)\n", n);
          return SNCERR_INVALID_FRAME;
        }
        r.item[i] = {ext + pos + 2, n};
        pos += 2 + n;
      }
      if (pos < extLen) SNC_TRC(3, "UnFrame(): unparsed header ext. left (len=%u)--ignored.\n", extLen - pos);
    }
  }
  *f = r;
  if (s != nullptr) ++s->framesIn;
  SNC_TRC(3, "      UnFrame: (len=%d, token=%d, data=%d, flags=0x%04x) FR_%.32s <<\n", static_cast<int>(r.frameLen),
          static_cast<int>(r.tokenLen), static_cast<int>(r.dataLen), r.flags, SncPFrameName(r.type));
  return WEQ_O_K;
}

SNC_RC SncPReceiveErrorFrame(SncSession* s, const SncParsedFrame* f) {
  constexpr const char* kFn = "SncPReceiveErrorFrame";
  s->state = SNC_STATE_ERROR;
  // A code of 0 would report success for a session that is now unusable.
  if (f->item[3].len != 2 || Be16(f->item[3].p) == 0) {
    SNC_TRCERR("%.32s(): Error code missing in ERROR-Frame!", kFn);
    SncPSetErrInfo(SNC_MODULE, __LINE__, -10, "Error code missing in ERROR-Frame!");
    return -10;
  }
  const int code = Be16(f->item[3].p);
  if (code != -SNCERR_WRONG_TARGET) {
    SNC_TRC(1, "%.32s(): Unexpected Error %d from remote\n", kFn, code);
    return -code;
  }
  char text[257], name[257];
  SncPNetToString(reinterpret_cast<const char*>(f->item[4].p), f->item[4].len, text, sizeof text);
  SncPNetToString(reinterpret_cast<const char*>(f->item[2].p), f->item[2].len, name, sizeof name);
  if (f->item[0].len >= 2) {
    // The acceptor's own canonical name tells the caller whom it reached.
    uint8_t* xp = static_cast<uint8_t*>(malloc(f->item[0].len));
    if (xp != nullptr) {
      memcpy(xp, f->item[0].p, f->item[0].len);
      free(s->peerName.xpName);
      s->peerName.xpName = xp;
      s->peerName.xpLen = static_cast<uint16_t>(f->item[0].len);
      s->peerName.xpKind = SNC_XPNAME_EXPORTED;
    }
  }
  SNC_TRCERR("%.32s(): %.40s answer from \"%.256s\"", kFn, SncErrName(SNCERR_WRONG_TARGET), name);
  if (text[0] != 0) SNC_TRCERR("  %.256s", text);
  char detail[600];
  snprintf(detail, sizeof detail, "answer from \"%.256s\"%s%.256s", name, text[0] != 0 ? "\n" : "", text);
  SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_WRONG_TARGET, detail);
  return SNCERR_WRONG_TARGET;
}

namespace {

size_t ToPrintable(const char* src, size_t srcLen, char* dst, size_t size, const char* what) {
  if (dst == nullptr || size == 0) return 0;
  size_t n = src != nullptr ? strnlen(src, srcLen) : 0;
  if (n > size - 1) n = size - 1;
  int bad = -1;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(src[i]);
    dst[i] = c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : (bad = c, '?');
  }
  dst[n] = 0;
  if (bad >= 0) {
    SNC_TRC(2, "%.32s(): unrecognized char code %u in \"%s\" string:\n    \"%.300s\"\n",
            what[0] == 'l' ? "SncPStringToNet" : "SncPNetToString", static_cast<unsigned>(bad), what, dst);
  }
  return n;
}

}  // namespace

size_t SncPStringToNet(const char* src, size_t srcLen, char* dst, size_t size) {
  return ToPrintable(src, srcLen, dst, size, "local");
}

size_t SncPNetToString(const char* src, size_t srcLen, char* dst, size_t size) {
  return ToPrintable(src, srcLen, dst, size, "network");
}

// --- GSS-API failures and releases ------------------------------------------------

namespace {

// One status text: "GSS-API(maj): ..." or "GSS-API(min): ...".
void StatusText(const SncAdapter* a, OM_uint32 status, int type, char* out, size_t size, const char* func) {
  const bool major = type == GSS_C_GSS_CODE;
  OM_uint32 minor = 0, more = 0;
  gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
  OM_uint32 rc = SncGss<SNC_FN_display_status>(a)(&minor, status, type, a->mech, &more, &text);
  if (GSS_ERROR(rc) != 0) {
    SNC_TRC(1,
            major ? "%.32s%.32s: gss_display_status(%.32s,maj_stat=0x%08lx) failed!\n"
                  : "%.32s%.32s: gss_display_status(%.32s,min_stat=0x%08lx) failed\n",
            "", func, major ? "GSS_C_GSS_CODE" : "GSS_C_MECH_CODE", static_cast<unsigned long>(status));
  }
  if (GSS_ERROR(rc) == 0 && text.length > 0 && text.value != nullptr) {
    snprintf(out, size, "GSS-API(%s): %.*s", major ? "maj" : "min", static_cast<int>(text.length < 200 ? text.length : 200),
             static_cast<const char*>(text.value));
  } else {
    snprintf(out, size, "GSS-API(%s): Unknown Code 0x%08lx", major ? "maj" : "min", static_cast<unsigned long>(status));
  }
  SncPReleaseBuffer(a, &text);
}

}  // namespace

void SncPErrFunc(const SncAdapter* a, const char* func, const char* gssCall, SNC_RC code, OM_uint32 major,
                 OM_uint32 minor, const char* text, const char* object) {
  char maj[256] = "", min[256] = "";
  if (a != nullptr) {
    StatusText(a, major, GSS_C_GSS_CODE, maj, sizeof maj, func);
    if (minor != 0) StatusText(a, minor, GSS_C_MECH_CODE, min, sizeof min, func);
  }
  SNC_TRCERR("%.32s(): %.32s()==%.40s", func, gssCall, SncErrName(code));
  SNC_TRCERR("%.200s", text);
  if (maj[0] != 0) SNC_TRCERR("%s", maj);
  if (min[0] != 0) SNC_TRCERR("%s", min);
  if (object != nullptr) SNC_TRCERR("  \"%.260s\"", object);
  char detail[1024];
  snprintf(detail, sizeof detail, "%.120s%s%s%s%s%s%.120s", text, maj[0] ? "\n" : "", maj, min[0] ? "\n" : "", min,
           object != nullptr ? "\n" : "", object != nullptr ? object : "");
  WEQ_UC det[256], call[40], name[48];
  SncPWiden(det, 256, detail);
  SncPWiden(call, 40, gssCall);
  SncPWiden(name, 48, SncErrName(code));
  // GSS texts are arguments, never formats; a record that would not fit is
  // saved with its detail cut.
  int saved = ERR_TOO_LARGE;
  for (size_t n = strlen(detail) + 1; n > 0 && saved == ERR_TOO_LARGE; n /= 2) {
    if (n < 256) det[n - 1] = 0;
    saved = ErrSetInfoSys(u"SNC (Secure Network Communication)", 5, u"sncxxall", __LINE__, 0, u"%s", code, u"%s", call,
                          0, name, det);
  }
  if (saved != 0) SNC_TRC(1, "%.32s: unable to save error information\n", func);
}

void SncPReleaseName(const SncAdapter* a, gss_name_t* name) {
  if (*name == GSS_C_NO_NAME) return;
  OM_uint32 minor = 0;
  if (a == nullptr || GSS_ERROR(SncGss<SNC_FN_release_name>(a)(&minor, name)) != 0) {
    SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_PLAUSI, "Cleanup: trying to release GSSAPI internal name");
  }
  *name = GSS_C_NO_NAME;
}

void SncPReleaseBuffer(const SncAdapter* a, gss_buffer_t buf) {
  if (buf->length == 0 && buf->value == nullptr) return;
  OM_uint32 minor = 0;
  if (a == nullptr || GSS_ERROR(SncGss<SNC_FN_release_buffer>(a)(&minor, buf)) != 0) {
    SncPSetErrInfo(SNC_MODULE, __LINE__, SNCERR_PLAUSI, "Cleanup: trying to release buffer failed");
  }
  buf->length = 0;
  buf->value = nullptr;
}

#undef SNC_MODULE
