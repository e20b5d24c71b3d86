// The LG lock of the bindings: whatever path a lookup takes, the next
// lookup of another thread runs at once afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "krn/rfc/jrfc_int.h"
#include "krn/thr/thr.h"
#include "support/jnihost.h"

namespace {

using tovtest::JniHost;

// A layer whose answers the test chooses per lookup.
std::atomic<int> gPath{0};
LG_CLASS_ENTRY gListed[1] = {{u"PUBLIC", {}, {}, {}}};

LG_RC PathSetParam(uint8_t, int32_t) { return gPath == 1 ? LGEINVAL : 0; }
LG_RC PathList(const WEQ_UC*, const WEQ_UC*, LG_APPSRV_ENTRY**, int32_t*, LG_CLASS_ENTRY** cl, int32_t* n) {
  *cl = gListed;
  *n = gPath == 3 ? 0 : 1;
  return gPath == 2 ? LGEMSLAYER : 0;
}
LG_RC PathGroup(const WEQ_UC*, const WEQ_UC*, const WEQ_UC*, WEQ_UC* addr, int, uint16_t* port, WEQ_UC*, int,
                uint8_t*, WEQ_UC*, int) {
  if (gPath == 4) return LGEGRPNOTFOUND;
  // 5: an address of 135 UTF-8 bytes, which the 100-byte result cannot take.
  for (int i = 0; i < 45; ++i) addr[i] = gPath == 5 ? u'\u65e5' : u'1';
  addr[45] = 0;
  *port = 1;
  return 0;
}
LG_RC PathSnc(const WEQ_UC* h, const WEQ_UC* s, const WEQ_UC* g, WEQ_UC* addr, int len, uint16_t* port, WEQ_UC*, int,
              WEQ_UC* snc, int, uint8_t*, WEQ_UC*, int) {
  snc[0] = 0;
  return PathGroup(h, s, g, addr, len, port, nullptr, 0, nullptr, nullptr, 0);
}
LG_RC PathDone() { return 0; }
void PathErr(LG_RC) {}
constexpr JrfcLgCalls kPaths = {PathSetParam, PathList, PathGroup, PathSnc, PathDone, PathErr};

jint Lookup(const std::u16string& group, const std::u16string& host = u"h", bool snc = false) {
  JniHost jni;
  jbyteArray addr = jni.NewBytes(std::vector<uint8_t>(100));
  jintArray port = jni.NewInts({0});
  jint rc = snc ? Java_com_weq_conn_rfc_driver_LG_nativeGet_1MS_1SNC(
                      jni.env(), nullptr, jni.NewString(group), jni.NewString(host), jni.NewString(u"1"),
                      jni.NewString(u"-"), jni.NewBytes(std::vector<uint8_t>(256)), addr, port)
                : Java_com_weq_conn_rfc_driver_LG_nativeGet_1MS(jni.env(), nullptr, jni.NewString(group),
                                                               jni.NewString(host), jni.NewString(u"1"), addr, port);
  jni.EndNative();
  return rc;
}

TEST(LgLock, EveryPathLetsTheNextLookupRun) {
  ASSERT_EQ(ThrProcInit(), 0);
  jrfcISetLgCalls(&kPaths);
  struct {
    int path;
    const char16_t* group;
    bool longHost, snc;
    jint rc;
  } paths[] = {{1, u"G", false, false, 1},   {2, u"any", false, false, 1}, {3, u"any", false, false, 3},
               {4, u"G", false, false, 1},   {4, u"G", false, true, 1},    {5, u"G", false, false, 32},
               {5, u"G", false, true, 32},   {0, u"G", true, false, 1}};
  for (const auto& p : paths) {
    gPath = p.path;
    std::u16string host = p.longHost ? std::u16string(2049, u'h') : u"h";
    EXPECT_EQ(std::async(std::launch::async, [&] { return Lookup(p.group, host, p.snc); }).get(), p.rc) << p.path;
    gPath = 0;
    auto next = std::async(std::launch::async, [] { return Lookup(u"G"); });
    ASSERT_EQ(next.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "after path " << p.path;
    EXPECT_EQ(next.get(), 0);
  }
  jrfcISetLgCalls(nullptr);
}

}  // namespace
