// The gateway's layer over NI: the table of the four operations that the
// connect goes through, and the wrappers behind it.
#include <mutex>

#include "krn/ni/ni.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_int.h"

namespace {

NI_RC GwSlotConnect(const WEQ_UC* host, const WEQ_UC* service, int32_t timeout, NI_HDL* hdl, uint32_t family,
                    void*) {
  return GwNiConnect(host, service, timeout, hdl, family);
}
NI_RC GwSlotWrite(NI_HDL hdl, const void* data, int len, int timeout, uint32_t* written, void*) {
  return GwNiWrite(hdl, data, len, timeout, written);
}
NI_RC GwSlotRead(NI_HDL hdl, void* buf, int len, int timeout, uint32_t* read, void*) {
  return GwNiRead(hdl, buf, len, timeout, read);
}
NI_RC GwSlotClose(NI_HDL hdl, void*) { return GwNiCloseHandle(hdl); }

constexpr GwNiOps kGwDefaultOps = {
    {u"GwConnect", GwSlotConnect},
    {u"GwWrite", GwSlotWrite},
    {u"GwRead", GwSlotRead},
    {u"GwClose", GwSlotClose},
};

// Replaced only by tests and fuzz targets, between connects.
GwNiOps g_gwOps = kGwDefaultOps;

}  // namespace

const GwNiOps& GwIOps(void) { return g_gwOps; }
const GwNiOps& GwIDefaultOps(void) { return kGwDefaultOps; }

GwNiOps GwISetOps(const GwNiOps* ops) {
  GwNiOps before = g_gwOps;
  g_gwOps = ops != nullptr ? *ops : kGwDefaultOps;
  return before;
}

NI_RC GwNiConnect(const WEQ_UC* host, const WEQ_UC* service, int32_t timeout, NI_HDL* hdl, uint32_t protoFamily) {
  if (protoFamily != 0) return NiHandleForProto(host, service, protoFamily, timeout, hdl);
  return NiHandle(host, service, timeout, hdl);
}

NI_RC GwNiWrite(NI_HDL hdl, const void* data, int len, int timeout, uint32_t* written) {
  return NiWrite(hdl, data, len, timeout, written);
}

NI_RC GwNiRead(NI_HDL hdl, void* buf, int len, int timeout, uint32_t* read) {
  return NiRead(hdl, buf, len, timeout, read);
}

NI_RC GwNiAccept(NI_HDL listenHdl, int32_t timeout, NI_HDL* newHdl, NI_NODEADDR* peerAddr) {
  return NiAccept(listenHdl, timeout, newHdl, peerAddr, nullptr);
}

NI_RC GwNiCloseHandle(NI_HDL hdl) { return NiCloseHandle(hdl); }

NI_RC GwHostToAddr(const WEQ_UC* host, NI_NODEADDR* addr) {
  if (host == nullptr || addr == nullptr) return NIEINVAL;
  // Names of this form stand for hosts that must not be looked up.
  if (host[0] == u'%' && host[1] == u'%') {
    NiErrSet(NIEHOST_UNKNOWN);
    return NIEHOST_UNKNOWN;
  }
  return NiHostToAddr(host, addr);
}

WEQ_UC* GwAddrToHost(const NI_NODEADDR* addr, WEQ_UC* buf, int bufLen) {
  return NiAddrToHost2(addr, buf, bufLen) == 0 ? buf : nullptr;
}
