// NI parameters: the process-wide values under the "NI param section" and
// the per-handle ones.
#include "krn/ni/niparam_int.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "i18n/wequ16/u16str.h"
#include "krn/ni/ni_int.h"
#include "krn/ni/niaddr_int.h"
#include "krn/ni/nibuf_int.h"
#include "krn/ni/nihs_int.h"
#include "krn/ni/nimsg_int.h"

namespace {

constexpr const WEQ_UC* kParamModule = u"niparam";
constexpr const WEQ_UC* kSetParamFn = u"NiSetParamEx";
constexpr int32_t kCachePrintStart = 24576;

NiIParamValues g_params;
WEQ_UC g_udsPath[NI_UDS_PATH_LEN] = {};  // guarded by the "NI param section"

const WEQ_UC* OnOff(uint32_t v) { return v ? u"on" : u"off"; }

// The type each process-wide number needs; 0: any type is read as a number.
constexpr uint8_t kAnyType = 0;
constexpr uint8_t kUndefined = 0xFF;
constexpr uint8_t kParamType[24] = {
    kUndefined,   NI_DT_BOOL,  NI_DT_USHORT, NI_DT_USHORT, NI_DT_RAW,     NI_DT_UINT,
    kUndefined,   kUndefined,  kUndefined,   NI_DT_UINT,   NI_DT_BOOL,    NI_DT_UCPTR,
    kAnyType,     NI_DT_UINT,  NI_DT_NODEADDR, kAnyType,   NI_DT_VOIDPTR, NI_DT_BOOL,
    NI_DT_BOOL,   NI_DT_BOOL,  NI_DT_UINT,   NI_DT_UINT,   NI_DT_UINT,    NI_DT_UINT,
};

constexpr const WEQ_UC* kTypeName[] = {
    u"?",           u"NI_DT_BOOL",    u"NI_DT_RAW",   u"NI_DT_USHORT",   u"NI_DT_UINT",
    u"NI_DT_NODEADDR", u"NI_DT_VOIDPTR", u"NI_DT_UCPTR", u"NI_DT_ALLOCFUNC",
};

// A value of a parameter that takes any type, read by the record's type.
uint32_t AnyAsUint(const NI_PARAM_DATA* p) {
  switch (p->datatype) {
    case NI_DT_BOOL:
    case NI_DT_RAW:
      return p->value.raw_val;
    case NI_DT_USHORT:
      return p->value.ushort_val;
    default:
      return p->value.uint_val;
  }
}

NI_RC Invalid(int line, const WEQ_UC* fn, const WEQ_UC* what) {
  return NiIErrTrace(kParamModule, line, 1, u"%s: parameter invalid (%s)", NIEINVAL, fn, what);
}

// Parameter 4: print (opcode 0) or flush (1) both caches.
NI_RC CacheCommand(uint8_t opcode) {
  if (opcode == 1) return NiIHSBufFlush();
  if (opcode != 0)
    return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: opcode %d unknown", NIEINVAL, kSetParamFn,
                       static_cast<int32_t>(opcode));
  int32_t size = kCachePrintStart;
  for (;;) {
    std::unique_ptr<WEQ_UC, decltype(&free)> text(
        static_cast<WEQ_UC*>(malloc(static_cast<size_t>(size) * sizeof(WEQ_UC))), &free);
    if (!text)
      return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: malloc failed for %d bytes", NIEINTERN, kSetParamFn,
                         size * static_cast<int32_t>(sizeof(WEQ_UC)));
    int32_t len = size;
    int done = 0;
    NI_RC rc = NiHBufPrintBuf(text.get(), &len, &done);
    if (rc != WEQ_O_K) {
      DPTRC_LINE(1, NiITrcHdl(), u"%s: dump failed (rc=%d)\n", kSetParamFn, rc);
      return WEQ_O_K;
    }
    if (done) {
      text.get()[len < size ? len : size - 1] = 0;
      DPTRC_LINE(1, NiITrcHdl(), u"\n%s\n", text.get());
      return WEQ_O_K;
    }
    if (size > (1 << 28)) {
      DPTRC_LINE(1, NiITrcHdl(), u"%s: dump failed (rc=%d)\n", kSetParamFn, NIETOO_SMALL);
      return WEQ_O_K;
    }
    size *= 2;
  }
}

// Parameter 13: bits 0-7 a proportion 1..100, bits 8-23 a count.
void SetQTest(uint32_t value) {
  int32_t prop = static_cast<int32_t>(value & 0xFF);
  int32_t count = static_cast<int32_t>((value >> 8) & 0xFFFF);
  if (value != 0 && (prop < 1 || prop > 100 || count == 0)) {
    DPTRC_LINE(1, NiITrcHdl(), u"%s: illegal value (%d, %d) ~ %d for NIP_QTEST\n", kSetParamFn, prop, count,
               static_cast<int32_t>(value));
    value = 0;
  }
  if (value == 0) {
    g_params.qTestProp = 0;
    g_params.qTestCount = 0;
    DPTRC_LINE(2, NiITrcHdl(), u"%s: switch NIP_QTEST off\n", kSetParamFn);
    return;
  }
  g_params.qTestCount = static_cast<uint32_t>(count);
  g_params.qTestProp = static_cast<uint32_t>(prop);
  NiIQTestRestart();
  DPTRC_LINE(2, NiITrcHdl(), u"%s: set NIP_QTEST to (%d, %d) ~ %d\n", kSetParamFn, prop, count,
             static_cast<int32_t>(value));
}

// Stores one checked record; runs under the "NI param section".
NI_RC StoreParam(const NI_PARAM_DATA* p) {
  CTRC_HDL trc = NiITrcHdl();
  const auto& v = p->value;
  switch (p->param) {
    case NIP_PORTRANGE:
      g_params.portRange = v.raw_val ? 1 : 0;
      DPTRC_LINE(2, trc, u"%s: switch NIP_PORTRANGE %s\n", kSetParamFn, OnOff(v.raw_val));
      return WEQ_O_K;
    case NIP_MAXPORT:
      g_params.maxPort = v.ushort_val;
      DPTRC_LINE(2, trc, u"%s: set NIP_MAXPORT %d\n", kSetParamFn, static_cast<int32_t>(v.ushort_val));
      return WEQ_O_K;
    case NIP_MINPORT: {
      uint16_t port = v.ushort_val < 2 ? 1 : v.ushort_val;
      g_params.minPort = port;
      DPTRC_LINE(2, trc, u"%s: set NIP_MINPORT %d\n", kSetParamFn, static_cast<int32_t>(port));
      return WEQ_O_K;
    }
    case NIP_HSBUF_CMD:
      return CacheCommand(v.raw_val);
    case NIP_HSBUF_INDEX_SIZE:
      return NiISetHSBufIndexSize(v.uint_val);
    case NIP_FRAGTEST:
      g_params.fragTest = v.uint_val;
      if (v.uint_val != 0)
        DPTRC_LINE(2, trc, u"%s: switch NIP_FRAGTEST to %d\n", kSetParamFn, static_cast<int32_t>(v.uint_val));
      else
        DPTRC_LINE(2, trc, u"%s: switch NIP_FRAGTEST off\n", kSetParamFn);
      return WEQ_O_K;
    case NIP_CONNLOCAL:
      g_params.connLocal = v.raw_val ? 1 : 0;
      DPTRC_LINE(2, trc, u"%s: switch NIP_CONNLOCAL %s%s\n", kSetParamFn, OnOff(v.raw_val),
                 v.raw_val ? u" (not supported by platform)" : u"");
      return WEQ_O_K;
    case NIP_UDS_PATH: {
      if (v.ucptr_val == nullptr) return Invalid(__LINE__, kSetParamFn, u"pParamData->value.ucptr_val == NULL");
      size_t len = strnlenU16(v.ucptr_val, NI_UDS_PATH_LEN);
      if (len >= NI_UDS_PATH_LEN)
        return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: path too long for param NIP_UDS_PATH (%d>=%d)",
                           NIEINVAL, kSetParamFn, static_cast<int32_t>(strnlenU16(v.ucptr_val, 1u << 20)),
                           static_cast<int32_t>(NI_UDS_PATH_LEN));
      memcpy(g_udsPath, v.ucptr_val, len * sizeof(WEQ_UC));
      g_udsPath[len] = 0;
      DPTRC_LINE(2, trc, u"%s: Set UDS path to %s\n", kSetParamFn, g_udsPath);
      return WEQ_O_K;
    }
    case NIP_QUEUE_LEN: {
      uint32_t q = AnyAsUint(p);
      int32_t len = q < 5 ? 5 : (q > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(q));
      g_params.queueLen = len;
      DPTRC_LINE(2, trc, u"%s: set NIP_QUEUE_LEN to %d\n", kSetParamFn, len);
      return WEQ_O_K;
    }
    case NIP_QTEST:
      SetQTest(v.uint_val);
      return WEQ_O_K;
    case NIP_LOCAL_ADDR: {
      NI_THR_GLOB* glob = NiIGetThrGlob();
      if (glob == nullptr)
        return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: NiIGetThrGlob failed", NIEINTERN, kSetParamFn);
      glob->mLocalAddr = v.nodeaddr_val;
      WEQ_UC text[NI_NODEADDR_STR_LEN];
      DPTRC_LINE(2, trc, u"%s: Set NIP_LOCAL_ADDR to %s\n", kSetParamFn,
                 NiAddrToStr2(&v.nodeaddr_val, text, NI_NODEADDR_STR_LEN, 0));
      return WEQ_O_K;
    }
    case NIP_HSBUF_TRACE_LIMIT:
      return NiISetHSBufTraceLimit(AnyAsUint(p));
    case NIP_HSBUF_TIME_FUNC:
      return NiISetHSBufTimeFunc(reinterpret_cast<NI_HS_TIME_FUNC>(v.voidptr_val));
    case NIP_TRACE_ALL:
      g_params.traceAll = v.raw_val ? 1 : 0;
      DPTRC_LINE(2, trc, u"%s: switch NIP_TRACE_ALL %s\n", kSetParamFn, OnOff(v.raw_val));
      return WEQ_O_K;
    case NIP_INC_SERV_NO:
      g_params.incServNo = v.raw_val ? 1 : 0;
      DPTRC_LINE(2, trc, u"%s: switch NIP_INC_SERV_NO to %s\n", kSetParamFn, v.raw_val ? u"inc" : u"dec");
      return WEQ_O_K;
    case NIP_CONT_IN_RANDE:
      g_params.contInRange = v.raw_val ? 1 : 0;
      DPTRC_LINE(2, trc, u"%s: switch NIP_CONT_IN_RANDE %s\n", kSetParamFn, OnOff(v.raw_val));
      return WEQ_O_K;
    case NIP_POLL_TRACE:
      g_params.pollTolerance = v.uint_val;
      if (v.uint_val != 0)
        DPTRC_LINE(2, trc, u"%s: switch poll/select trace to %d\n", kSetParamFn, static_cast<int32_t>(v.uint_val));
      else
        DPTRC_LINE(2, trc, u"%s: switch poll/select trace off\n", kSetParamFn);
      return WEQ_O_K;
    case NIP_HBUF_TIMEOUT:
    case NIP_HBUF_INV_TIMEOUT: {
      bool valid = p->param == NIP_HBUF_TIMEOUT;
      int32_t secs = v.uint_val > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(v.uint_val);
      if (valid)
        DPTRC_LINE(2, trc, u"%s: set NI hostbuffer timeout %d\n", kSetParamFn, secs);
      else
        DPTRC_LINE(2, trc, u"%s: set NI hostbuffer timeout for invalid entries %d\n", kSetParamFn, secs);
      return NiISetHBufTimeout(secs, valid ? 1u : 6u);
    }
    case NIP_MIN_SOCKBUF:
      g_params.minSockBuf = v.uint_val > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(v.uint_val);
      g_params.minSockBufSet = 1;
      return WEQ_O_K;
    default:
      return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: param %d", NIEINVAL, kSetParamFn,
                         static_cast<int32_t>(p->param));
  }
}

}  // namespace

NiIParamValues& NiIParams(void) { return g_params; }

void NiIResetParams(void) {
  g_params.portRange = 0;
  g_params.maxPort = 1023;
  g_params.minPort = 0;
  g_params.queueLen = 20;
  g_params.traceAll = 0;
  g_params.incServNo = 0;
  g_params.contInRange = 1;
  g_params.pollTolerance = 0;
  g_params.minSockBuf = 32768;
  g_params.minSockBufSet = 0;
  g_params.fragTest = 0;
  g_params.qTestProp = 0;
  g_params.qTestCount = 0;
  g_params.connLocal = 1;
  g_udsPath[0] = 0;
}

void NiIUdsPath(WEQ_UC* buffer) {
  ThrMtx* mtx = NiIParamMutex();
  ThrMtxLock(mtx);
  memcpy(buffer, g_udsPath, sizeof(g_udsPath));
  ThrMtxUnlock(mtx);
}

NI_RC NiSetParamEx(NI_PARAM_DATA* pParamData) {
  NI_RC rc = NiIEnsureInit(kSetParamFn);
  if (rc != WEQ_O_K) return rc;
  if (pParamData == nullptr) return Invalid(__LINE__, kSetParamFn, u"pParamData == NULL");
  bool taken = false;
  rc = NiBufISetParam(pParamData, &taken);
  if (rc != WEQ_O_K) return rc;
  if (taken) return WEQ_O_K;
  uint8_t param = pParamData->param;
  if (param == 0 || param > NIP_MIN_SOCKBUF || kParamType[param] == kUndefined)
    return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: param %d", NIEINVAL, kSetParamFn,
                       static_cast<int32_t>(param));
  uint8_t want = kParamType[param];
  if (want != kAnyType && pParamData->datatype != want) {
    return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: parameter invalid (pParamData->datatype != %s)",
                       NIEINVAL, kSetParamFn, kTypeName[want]);
  }
  ThrMtx* mtx = NiIParamMutex();
  ThrMtxLock(mtx);
  rc = StoreParam(pParamData);
  ThrMtxUnlock(mtx);
  return rc;
}

NI_RC NiSetParam(uint8_t param, uint32_t value) {
  NI_PARAM_DATA data;
  memset(&data, 0, sizeof(data));
  data.param = param;
  switch (param) {
    case NIP_PORTRANGE:
    case NIP_CONNLOCAL:
    case NIP_TRACE_ALL:
      data.datatype = NI_DT_BOOL;
      data.value.raw_val = static_cast<uint8_t>(value & 0xFF);
      break;
    case NIP_MAXPORT:
    case NIP_MINPORT:
      data.datatype = NI_DT_USHORT;
      data.value.ushort_val = static_cast<uint16_t>(value & 0xFFFF);
      break;
    case NIP_HSBUF_CMD:
      data.datatype = NI_DT_RAW;
      data.value.raw_val = static_cast<uint8_t>(value & 0xFF);
      break;
    case NIP_HSBUF_INDEX_SIZE:
    case NIP_FRAGTEST:
    case NIP_QTEST:
      data.datatype = NI_DT_UINT;
      data.value.uint_val = value;
      break;
    default:
      return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: param %d unknown", NIEINVAL, u"NiSetParam",
                         static_cast<int32_t>(param));
  }
  return NiSetParamEx(&data);
}

NI_RC NiSetHdlParamEx(NI_HDL hdl, NI_PARAM_DATA* pParamData) {
  static constexpr const WEQ_UC* kFn = u"NiSetHdlParamEx";
  NITAB* rec = nullptr;
  NI_RC rc = NiIHdlCheck(hdl, kFn, &rec);
  if (rc != WEQ_O_K) return rc;
  if (pParamData == nullptr) return Invalid(__LINE__, kFn, u"pParamData == NULL");
  uint8_t type = rec->mType.load(std::memory_order_acquire);
  if (type == NI_RI_LISTEN) return Invalid(__LINE__, kFn, u"pHdl->mType == NI_RI_LISTEN");
  if (rec->mBuf != nullptr && type != NI_LISTEN) {
    bool taken = false;
    rc = rec->mBufOps->setParam(rec, rec->mBuf, pParamData, &taken);
    if (rc != WEQ_O_K) return rc;
    if (taken) return WEQ_O_K;
  }
  switch (pParamData->param) {
    case NIHP_SINGLE_READ:
      if (pParamData->datatype != NI_DT_BOOL) return Invalid(__LINE__, kFn, u"pParamData->datatype != NI_DT_BOOL");
      return NiSetSingleRead(hdl, pParamData->value.raw_val ? 1 : 0);
    case NIHP_MARK:
      rec->mFlags |= NI_HDLFLAG_MARK;
      return WEQ_O_K;
    case NIHP_BUFSTAT:
      if (rec->mBuf != nullptr || type == NI_LISTEN) break;
      if (pParamData->datatype != NI_DT_RAW) return Invalid(__LINE__, kFn, u"pParamData->datatype != NI_DT_RAW");
      if (pParamData->value.raw_val != NI_BUFSTAT_ON)
        return Invalid(__LINE__, kFn, u"pParamData->value.raw_val != NI_BUFSTAT_ON");
      DPTRC_WARNING(NiIHdlTrc(rec), u"%s: call may cause problems with select sets (hdl %d)\n", kFn, hdl);
      rc = NiBufIHdlInit(rec);
      if (rc != WEQ_O_K) return rc;
      DPTRC_LINE(rec->mTrace ? 1 : 2, NiIHdlTrc(rec), u"%s: hdl %d, bufstat %d\n", kFn, hdl,
                 static_cast<int32_t>(NI_BUFSTAT_ON));
      return WEQ_O_K;
    default:
      break;
  }
  return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: invalid param %d for hdl %d", NIEINVAL, kFn,
                     static_cast<int32_t>(pParamData->param), hdl);
}

NI_RC NiSetHdlParam(NI_HDL hdl, uint8_t param, void* pValue) {
  static constexpr const WEQ_UC* kFn = u"NiSetHdlParam";
  if (pValue == nullptr) return Invalid(__LINE__, kFn, u"pValue == NULL");
  NI_PARAM_DATA data;
  memset(&data, 0, sizeof(data));
  data.param = param;
  switch (param) {
    case NIHP_BUF_TALKMODE:
    case NIHP_BUFSTAT:
      data.datatype = NI_DT_RAW;
      data.value.raw_val = *static_cast<const uint8_t*>(pValue);
      break;
    case NIHP_ALLOC_FUNC:
      data.datatype = NI_DT_ALLOCFUNC;
      data.value.allocfunc_val = reinterpret_cast<NI_ALLOC_FUNC>(pValue);
      break;
    case NIHP_MAXQUEUE:
    case NIHP_WARNQUEUE:
      data.datatype = NI_DT_UINT;
      memcpy(&data.value.uint_val, pValue, sizeof(uint32_t));
      break;
    default:
      return NiIErrTrace(kParamModule, __LINE__, 1, u"%s: invalid param %d for hdl %d", NIEINVAL, kFn,
                         static_cast<int32_t>(param), hdl);
  }
  return NiSetHdlParamEx(hdl, &data);
}
