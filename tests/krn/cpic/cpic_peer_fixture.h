// Conversations of the CPI-C layer's own tests against gw_peer: an entry
// taken from the table and connected to the peer through the gateway
// connect over NI, with the fields a verb would have set; a trace file the
// test reads back. After each test no NI handle and no descriptor is left.
#ifndef TESTS_KRN_CPIC_CPIC_PEER_FIXTURE_H
#define TESTS_KRN_CPIC_CPIC_PEER_FIXTURE_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "krn/cpic/cpic.h"
#include "krn/cpic/cpic_int.h"
#include "krn/dptrc/err.h"
#include "krn/gw/gw.h"
#include "krn/gw/gw_peer_client.h"
#include "krn/ni/nixx_int.h"
#include "krn/thr/thr.h"
#include "peers/peers.h"
#include "support/testsupport.h"

namespace cpictest {

// A copy the entry owns (freed at its reset).
inline WEQ_UC* OwnedText(const std::u16string& s) {
  auto* p = static_cast<WEQ_UC*>(calloc(s.size() + 1, sizeof(WEQ_UC)));
  memcpy(p, s.data(), s.size() * sizeof(WEQ_UC));
  return p;
}

// The process and the entry's trace into a file of the test's while it
// lives; its text read back.
class TraceFile {
 public:
  TraceFile(CPIC_CONV_ENTRY* e, int level) : e_(e), saved_(CTrcGlobalHdl.load()) {
    f_ = tmpfile();
    CpicISetLevel(level);
    CpicISetHdl(f_);
    if (e_ != nullptr) {
      e_->traceLevel.store(level);
      e_->f.traceHdl = f_;
    }
  }
  ~TraceFile() {
    CpicITrcReset();
    CTrcLevel.store(0);
    CTrcGlobalHdl.store(saved_);
    if (e_ != nullptr) {
      e_->traceLevel.store(0);
      e_->f.traceHdl = saved_;
    }
    fclose(f_);
  }
  std::string Text() {
    fflush(f_);
    std::string out;
    rewind(f_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f_)) > 0) out.append(buf, n);
    fseek(f_, 0, SEEK_END);
    return out;
  }
  bool Has(const std::string& piece) { return Text().find(piece) != std::string::npos; }

 private:
  CPIC_CONV_ENTRY* e_;
  CTRC_HDL saved_;
  FILE* f_;
};

class PeerConversation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ThrProcInit(), THR_ERR_OK);
    CpicIResetProcess();
    ErrClear();
    ASSERT_EQ(NiInit3(64), WEQ_O_K);
    ASSERT_EQ(STIAllocConvMem(8), CM_OK);
    CpicGlobals& g = CpicIGlobals();
    strcpy_sU16(g.ownHost, CPIC_HOST_NAME_LEN, u"testhost");
    strcpy_sU16(g.location, CPIC_LOCATION_LEN, u"CPIC (TCP/IP) on local host testhost with Unicode");
    freeBefore_ = NiIFreeHandles();
    fdsBefore_ = peers::OpenFdCount();
  }
  void TearDown() override {
    Release();
    peer_.reset();
    NiSetParam(NIP_QTEST, 0);
    CpicIResetProcess();
    EXPECT_EQ(NiIFreeHandles(), freeBefore_) << "an NI handle was left open";
    EXPECT_EQ(peers::OpenFdCount(), fdsBefore_) << "a descriptor was left open";
    NiExit();
  }

  // Starts the peer with args, connects to it and takes an entry for the
  // connection (gateway id "12345678", protocol 2, the gateway's version).
  // With oldConnect the peer never answers and the old connect gives the
  // entry two connections.
  CPIC_CONV_ENTRY* Open(std::vector<std::string> args = {}, bool oldConnect = false) {
    if (oldConnect) args.insert(args.end(), {"--fault", "silent"});
    peer_ = std::make_unique<gwtest::GwPeer>(args);
    EXPECT_TRUE(peer_->ok());
    NI_HDL h = NI_INVALID_HDL, h2 = NI_INVALID_HDL;
    uint8_t version = 0, info = 0;
    std::u16string host = gwtest::LoopbackHost(), service = peer_->Service();
    int rc = GwIConnect(3, host.c_str(), nullptr, service.c_str(), oldConnect ? u"localhost" : u"clienthost",
                        nullptr, u"prog", &h, &h2, 0, &version, &info, oldConnect ? 300 : 3000, oldConnect ? 1 : 0,
                        -1, u"1100", nullptr);
    EXPECT_EQ(rc, 0) << peer_->Text();
    if (rc != 0) return nullptr;
    int32_t index = -1;
    EXPECT_EQ(STIGetFreeConv(u"test", &index), CM_OK);
    e_ = STIConvAt(index);
    e_->f.readHdl = h;
    e_->f.writeHdl = h2;
    e_->f.hdrVersion = version;
    e_->f.hdrLen = GwAppcHdrLen(version);
    e_->f.gwOptions = info;
    e_->f.protocol = 2;
    e_->f.connIdx = 7;
    e_->f.gwRequestValue = 41;
    e_->f.gwHost = OwnedText(host);
    e_->f.gwServ = OwnedText(service);
    STIAssignConvId(e_, "12345678", u"test");
    peer_->Wait(oldConnect ? "OUT" : "IN", oldConnect ? "OLDCONNECT" : "CONNECT");
    return e_;
  }

  // Closes the entry's connection and frees it.
  void Release() {
    if (e_ == nullptr) return;
    if (e_->f.writeHdl >= 0 && e_->f.writeHdl != e_->f.readHdl) e_->f.closeFn(e_->f.writeHdl, e_->f.index);
    if (e_->f.readHdl >= 0) e_->f.closeFn(e_->f.readHdl, e_->f.index);
    e_->f.readHdl = e_->f.writeHdl = NI_INVALID_HDL;
    STIResetConv(e_, true);
    e_ = nullptr;
  }

  gwtest::GwPeer& peer() { return *peer_; }

  std::unique_ptr<gwtest::GwPeer> peer_;
  CPIC_CONV_ENTRY* e_ = nullptr;
  int32_t freeBefore_ = 0;
  int fdsBefore_ = 0;
};

inline std::string Fld(int f) { return tovtest::ToUtf8(ErrGetFld(f)); }

}  // namespace cpictest

#endif
