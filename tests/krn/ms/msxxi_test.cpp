// The message server client without a connection: header conversion in
// both directions against bytes written from the header tables and against
// the peers' own codec, the fresh header, parameters, the key text, the
// refusals that come before any connect, and the error entry.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "krn/dptrc/err.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ms/ms.h"
#include "krn/ms/ms_int.h"
#include "peers/adcodec.h"
#include "peers/mscodec.h"
#include "support/testsupport.h"

namespace {

using adpeer::Hex;

std::string U8(const WEQ_UC* s) { return tovtest::ToUtf8(s); }

// A version-3 message written from the table: eye-catcher, version 3,
// mserrno -3, toname "TO" (20), msgtypes 0x81, reserved, key 01..08,
// msflag 3, iflag 1, fromname "FROM" (20), port 0x1234, data "xyz".
const std::string kV3 = Hex(
    "2a2a4d4553534147452a2a00 03 fd "
    "544f 20*18 "
    "81 00 00 00 "
    "0102030405060708 "
    "03 01 "
    "46524f4d 20*16 "
    "1234 "
    "78797a");

// The same message as version 4 (names widened to 40 with blanks, dom 0),
// the version byte still the sender's.
const std::string kV4FromV3 = Hex(
    "2a2a4d4553534147452a2a00 03 fd "
    "544f 20*38 "
    "81 00 00 00 "
    "0102030405060708 "
    "03 01 "
    "46524f4d 20*36 "
    "1234 "
    "78797a");

TEST(MsHeaderIn, Version3GrowsIntoTheVersion4Layout) {
  std::string buf = kV3 + std::string(40, '#');
  int32_t n = 0;
  MsIConvertHeaderIn(reinterpret_cast<WEQ_RAW*>(buf.data()), static_cast<int32_t>(kV3.size()), &n, 4, 3);
  ASSERT_EQ(n, static_cast<int32_t>(kV3.size() + 40));
  EXPECT_EQ(adpeer::ToHex(buf.substr(0, static_cast<size_t>(n))), adpeer::ToHex(kV4FromV3));

  // The peers' codec agrees on every field.
  mspeer::Header h;
  std::string data;
  ASSERT_TRUE(mspeer::Decode(buf.substr(0, static_cast<size_t>(n)), 4, &h, &data));
  EXPECT_EQ(mspeer::Trim(h.toname), "TO");
  EXPECT_EQ(mspeer::Trim(h.fromname), "FROM");
  EXPECT_EQ(h.msgtypes, 0x81);
  EXPECT_EQ(h.mserrno, -3);
  EXPECT_EQ(h.msflag, 3);
  EXPECT_EQ(h.iflag, 1);
  EXPECT_EQ(h.port, 0x1234);
  EXPECT_EQ(data, "xyz");
}

TEST(MsHeaderIn, LengthsAndVersionsThatStayOrFail) {
  std::string buf(MS_BUFFER_LEN + 64, 'z');
  WEQ_RAW* p = reinterpret_cast<WEQ_RAW*>(buf.data());
  int32_t n = 0;
  // Not newer than the peer: unchanged, whatever the length.
  MsIConvertHeaderIn(p, 5, &n, 4, 4);
  EXPECT_EQ(n, 5);
  MsIConvertHeaderIn(p, 200, &n, 4, 9);
  EXPECT_EQ(n, 200);
  MsIConvertHeaderIn(p, 80, &n, 3, 3);
  EXPECT_EQ(n, 80);
  // Version 3 below its header, or too long to grow within the buffer.
  MsIConvertHeaderIn(p, 69, &n, 4, 3);
  EXPECT_EQ(n, -1);
  MsIConvertHeaderIn(p, MS_H3_MAX_LEN + 1, &n, 4, 3);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(buf.substr(0, 16), std::string(16, 'z'));  // left alone
  MsIConvertHeaderIn(p, MS_H3_MAX_LEN, &n, 4, 3);
  EXPECT_EQ(n, MS_BUFFER_LEN);
  // The 228-byte header of versions 2 and below: below 228 fails.
  MsIConvertHeaderIn(p, 227, &n, 4, 2);
  EXPECT_EQ(n, -1);
}

TEST(MsHeaderIn, Version2TakesThePortFromTheServiceAndShrinks) {
  for (const char* serv : {"3210", "-", "    "}) {
    std::string m(228, '\0');
    for (int i = 0; i < 88; ++i) m[static_cast<size_t>(i)] = static_cast<char>(i + 1);
    m.replace(88, 20, mspeer::Pad(serv, 20));
    m += "DATA";
    int32_t n = 0;
    MsIConvertHeaderIn(reinterpret_cast<WEQ_RAW*>(m.data()), static_cast<int32_t>(m.size()), &n, 4, 2);
    ASSERT_EQ(n, 110 + 4) << serv;
    uint16_t port = static_cast<uint16_t>((static_cast<uint8_t>(m[108]) << 8) | static_cast<uint8_t>(m[109]));
    EXPECT_EQ(port, strcmp(serv, "3210") == 0 ? 3210 : 0) << serv;
    EXPECT_EQ(m.substr(110, 4), "DATA");
    for (int i = 0; i < 88; ++i) ASSERT_EQ(m[static_cast<size_t>(i)], static_cast<char>(i + 1));
  }
}

TEST(MsHeaderOut, Version4ShrinksToVersion3) {
  // kV4FromV3 with version 4 in its byte, converted down, is kV3 with
  // version 3: names cut to 20, reserved bytes zero, the data behind 70.
  std::string v4 = kV4FromV3;
  v4[12] = 4;
  v4[56] = 2;  // dom: not carried by version 3
  std::string dst(v4.size(), '#');
  int32_t n = 0;
  ASSERT_EQ(MsIConvertHeaderOut(reinterpret_cast<const WEQ_RAW*>(v4.data()), reinterpret_cast<WEQ_RAW*>(dst.data()),
                                static_cast<int32_t>(v4.size()), &n, 3),
            WEQ_O_K);
  ASSERT_EQ(n, static_cast<int32_t>(kV3.size()));
  EXPECT_EQ(adpeer::ToHex(dst.substr(0, static_cast<size_t>(n))), adpeer::ToHex(kV3));
  // In place, as the writer does it.
  ASSERT_EQ(MsIConvertHeaderOut(reinterpret_cast<WEQ_RAW*>(v4.data()), reinterpret_cast<WEQ_RAW*>(v4.data()),
                                static_cast<int32_t>(v4.size()), &n, 3),
            WEQ_O_K);
  EXPECT_EQ(adpeer::ToHex(v4.substr(0, static_cast<size_t>(n))), adpeer::ToHex(kV3));
}

TEST(MsHeaderOut, OtherTargetsAndShortMessages) {
  std::string v4 = kV4FromV3;
  std::string dst(v4.size(), '#');
  int32_t n = -5;
  auto src = reinterpret_cast<const WEQ_RAW*>(v4.data());
  auto out = reinterpret_cast<WEQ_RAW*>(dst.data());
  EXPECT_EQ(MsIConvertHeaderOut(src, out, static_cast<int32_t>(v4.size()), &n, 4), WEQ_O_K);
  EXPECT_EQ(n, static_cast<int32_t>(v4.size()));
  EXPECT_EQ(dst, v4);
  EXPECT_EQ(MsIConvertHeaderOut(src, out, static_cast<int32_t>(v4.size()), &n, 2), MSEINVAL);
  EXPECT_EQ(MsIConvertHeaderOut(src, out, 109, &n, 3), MSEINVAL);
}

TEST(MsHeaderOut, RoundTripOverRandomHeaders) {
  // Down to version 3 and back up gives the message with 20-character
  // names and dom 0; the peers' codec is the oracle for the fields.
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, static_cast<uint8_t>(seed >> 16); };
  for (int round = 0; round < 200; ++round) {
    mspeer::Header h;
    h.version = 4;
    h.mserrno = static_cast<int8_t>(next());
    h.toname = std::string(40, ' ');
    h.fromname = std::string(40, ' ');
    for (int i = 0; i < 40; ++i) h.toname[static_cast<size_t>(i)] = static_cast<char>('A' + next() % 26);
    for (int i = 0; i < 40; ++i) h.fromname[static_cast<size_t>(i)] = static_cast<char>('a' + next() % 26);
    h.msgtypes = next();
    h.dom = next() % 3;
    for (char& c : h.key) c = static_cast<char>(next());
    h.msflag = next();
    h.iflag = next();
    h.port = static_cast<uint16_t>(next() << 8 | next());
    std::string data(next() % 50, 'd');
    std::string m = mspeer::Encode(h, data, 4) + std::string(40, '\0');
    int32_t n3 = 0, n4 = 0;
    auto p = reinterpret_cast<WEQ_RAW*>(m.data());
    ASSERT_EQ(MsIConvertHeaderOut(p, p, static_cast<int32_t>(110 + data.size()), &n3, 3), WEQ_O_K);
    mspeer::Header h3;
    std::string d3;
    ASSERT_TRUE(mspeer::Decode(m.substr(0, static_cast<size_t>(n3)), 3, &h3, &d3));
    EXPECT_EQ(h3.toname, h.toname.substr(0, 20));
    EXPECT_EQ(h3.key, h.key);
    EXPECT_EQ(h3.port, h.port);
    EXPECT_EQ(d3, data);
    MsIConvertHeaderIn(p, n3, &n4, 4, 3);
    ASSERT_EQ(n4, static_cast<int32_t>(110 + data.size()));
    mspeer::Header back;
    std::string d4;
    ASSERT_TRUE(mspeer::Decode(m.substr(0, static_cast<size_t>(n4)), 4, &back, &d4));
    EXPECT_EQ(back.toname, h.toname.substr(0, 20) + std::string(20, ' '));
    EXPECT_EQ(back.fromname, h.fromname.substr(0, 20) + std::string(20, ' '));
    EXPECT_EQ(back.mserrno, h.mserrno);
    EXPECT_EQ(back.msgtypes, h.msgtypes);
    EXPECT_EQ(back.dom, 0);
    EXPECT_EQ(back.msflag, h.msflag);
    EXPECT_EQ(back.iflag, h.iflag);
    EXPECT_EQ(d4, data);
  }
}

TEST(MsBuffer, FreshHeaderAndAllocation) {
  MS_HDL h;
  MsIHdlInit(&h);
  h.dom = 2;
  ASSERT_EQ(MsIBufInit(&h), WEQ_O_K);
  ASSERT_NE(h.buffer, nullptr);
  EXPECT_EQ(MsIBufSize(h.buffer), MS_BUFFER_LEN);
  EXPECT_EQ(h.header, MsIBufData(h.buffer));
  std::string got(reinterpret_cast<const char*>(h.header), 110);
  EXPECT_EQ(adpeer::ToHex(got),
            adpeer::ToHex(Hex("2a2a4d4553534147452a2a00 04 00 2d 20*39 00 00 02 00 00*8 00 00 2d 20*39 0000")));
  // The allocation function ignores the size it is asked for.
  NIBUF* b = nullptr;
  ASSERT_EQ(MsIBufAlloc(&b, 7, u"NIBUF-IN"), WEQ_O_K);
  EXPECT_EQ(MsIBufSize(b), MS_BUFFER_LEN);
  EXPECT_EQ(b->freeFunc, &MsIBufRelease);
  MsIBufRelease(&b);
  EXPECT_EQ(b, nullptr);
  NiBufFree2(&h.buffer);
}

TEST(MsParam, GetSetAndRefusals) {
  MS_HDL h;
  MsIHdlInit(&h);
  int32_t v = 0;
  EXPECT_EQ(MsIParam(&h, 1, TIME_S, &v), WEQ_O_K);
  EXPECT_EQ(v, 3000);
  EXPECT_EQ(MsIParam(&h, 0, TIME_L, &v), WEQ_O_K);
  EXPECT_EQ(v, 5000);
  EXPECT_EQ(MsIParam(&h, 0, TIME_R, &v), WEQ_O_K);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(MsIParam(&h, 0, BUFFER_LN, &v), WEQ_O_K);
  EXPECT_EQ(v, 32110);
  v = 77;
  EXPECT_EQ(MsIParam(&h, 2, BUFFER_LN, &v), MSEINVAL);
  EXPECT_EQ(MsIParam(&h, 0, BUFFER_LN, &v), WEQ_O_K);
  EXPECT_EQ(v, 32110);
  for (int p : {TIME_S, TIME_L, TIME_R}) {
    v = 100 + p;
    EXPECT_EQ(MsIParam(&h, 2, p, &v), WEQ_O_K);
  }
  EXPECT_EQ(h.ms_timeS, 101);
  EXPECT_EQ(h.ms_timeL, 102);
  EXPECT_EQ(h.ms_timeR, 104);
  EXPECT_EQ(MsIParam(&h, 2, 5, &v), MSEINVAL);
  EXPECT_EQ(MsIParam(&h, 0, 0, &v), MSEINVAL);
}

TEST(MsParam, TraceLinesNameTheParameter) {
  trccheck::TraceFile trace(2);
  MS_HDL h;
  MsIHdlInit(&h);
  int32_t v = 250;
  MsIParam(&h, 2, TIME_R, &v);
  MsIParam(&h, 0, TIME_S, &v);
  MsIParam(&h, 2, 9, &v);
  std::string t = trace.After();
  EXPECT_NE(t.find("MsIParam: set ms_timeR to 250"), std::string::npos) << t;
  EXPECT_NE(t.find("MsIParam: return ms_timeS 3000"), std::string::npos) << t;
  EXPECT_NE(t.find("MsIParam: unknown set param 9"), std::string::npos) << t;
}

TEST(MsKey, HexTextAndTheZeroKey) {
  const WEQ_RAW zero[8] = {};
  EXPECT_EQ(U8(MsKeyToHex(zero)), "-");
  const WEQ_RAW key[8] = {0x00, 0x01, 0xAB, 0xcd, 0x7f, 0x80, 0xFE, 0xff};
  EXPECT_EQ(U8(MsKeyToHex(key)), "0001ABCD7F80FEFF");
  const WEQ_RAW last[8] = {0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(U8(MsKeyToHex(last)), "0000000000000001");
}

TEST(MsRefusals, BeforeAnyConnection) {
  MS_HDL h;
  MsIHdlInit(&h);
  // dom above 2 is refused before anything else: no connect is tried, the
  // handle stays as it was.
  EXPECT_EQ(MsIAttachEx(&h, u"-", u"-", 0, u"127.0.0.1", u"1", 4, 3, nullptr, 0, 0, 0, 8, nullptr, 0, nullptr,
                        nullptr, nullptr, 0),
            MSEINVAL);
  EXPECT_EQ(h.hdl, NI_INVALID_HDL);
  EXPECT_EQ(h.mshost, nullptr);
  EXPECT_EQ(h.attachState, MS_AS_START);
  // Not attached: sends and receives refuse, a detach does nothing.
  const WEQ_RAW key[8] = {};
  EXPECT_EQ(MsISnd2(&h, "x", 1, nullptr, 0, u"MSG_SERVER", 0, key, MS_REQUEST, 1, 0), MSEINVAL);
  WEQ_RAW* data = nullptr;
  int32_t len = 0;
  EXPECT_EQ(MsIReceive(&h, &data, &len, nullptr, nullptr, nullptr, 0), MSEINVAL);
  EXPECT_EQ(MsIDetach(&h), WEQ_O_K);
  EXPECT_EQ(h.hdl, NI_INVALID_HDL);
}

TEST(MsErr, RecordsTheCodeOnceAtItsPlace) {
  ErrClear();
  MsErrSet(MSEWRONGVERSION);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "MS (message handling interface, multithreaded)");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-12");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)), "invalid client version");
  // A text with placeholders is recorded as it reads.
  MsErrSet(MSEHEADERINCOMPLETE);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_ERROR)), "MSEHEADERINCOMPLETE: received buffer too small (%d bytes)");
  // An error of another place stays.
  ErrSetLocation(u"elsewhere");
  MsErrSet(MSENOMSG);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-22");
  // At the same place a new code replaces it.
  ErrClear();
  MsErrSet(MSENOMSG);
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-2");
  // MSENILAYER enters the handle's NI code.
  ErrClear();
  MsGetDefaultHdl()->lastNiRc = NIECONN_REFUSED;
  MsErrSet(MSENILAYER);
  MsGetDefaultHdl()->lastNiRc = WEQ_O_K;
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_COMPONENT)), "NI (network interface)");
  EXPECT_EQ(U8(ErrGetFld(ERR_FLD_RC)), "-10");
  ErrClear();
  ErrSetLocation(u"");
}

}  // namespace
