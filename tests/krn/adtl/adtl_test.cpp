// Storage requests: the builders' and readers' bodies, the storage record
// converters of every type class, favourites, and whole request and reply
// blocks against hand-written bytes and the peers' codec.
#include <gtest/gtest.h>

#include <random>

#include "i18n/wequ16/u16str.h"
#include "krn/ad/ad.h"
#include "krn/ad/ad_int.h"
#include "krn/ad/ad_test_util.h"
#include "krn/adtl/adtl.h"
#include "krn/dptrc/trc_checker.h"
#include "peers/adcodec.h"
#include "support/testsupport.h"

namespace {

using adpeer::Hex;
using adpeer::ToHex;
using adtest::Rec;

std::string U8(const WEQ_UC* s) { return tovtest::ToUtf8(s); }

std::u16string Key(const std::u16string& name) {
  std::u16string k = name;
  k.resize(20, u' ');
  return k;
}

std::string Bytes(const WEQ_UC* body, size_t from, size_t n) {
  return std::string(reinterpret_cast<const char*>(body) + from, n);
}

// --- Builders ----------------------------------------------------------------------

TEST(AdtlBuilders, BodiesOfTheFourRequests) {
  AD_REC r = Rec(AD_RZL_STRG);
  ASSERT_EQ(AdtlStrgBldRqReadallText2(r.body, 290, 290), 0);
  EXPECT_EQ(ToHex(Bytes(r.body, 0, 60)),
            ToHex(Hex("10 14 00 28 00*40 00 00 1C B9 00 00 01 22 00 00 01 22 00 00 1C B9")));
  EXPECT_EQ(Bytes(r.body, 60, 140), std::string(140, '\0'));
  ASSERT_EQ(AdtlStrgBldRqReadallText2(r.body, 0x01020304, 0xFFFFFFFF), 0);
  EXPECT_EQ(ToHex(Bytes(r.body, 48, 8)), ToHex(Hex("01 02 03 04 FF FF FF FF")));

  ASSERT_EQ(AdtlStrgBldRqReadallText(r.body), 0);
  EXPECT_EQ(ToHex(Bytes(r.body, 0, 200)), ToHex(Hex("0C 14 00 28 00*196")));

  std::u16string key = Key(u"PUBLIC");
  ASSERT_EQ(AdtlStrgBldRqReadText(r.body, key.c_str()), 0);
  EXPECT_EQ(ToHex(Bytes(r.body, 0, 4)), ToHex(Hex("16 14 00 28")));
  EXPECT_EQ(std::u16string(r.body + 2, 20), key);
  EXPECT_EQ(Bytes(r.body, 44, 156), std::string(156, '\0'));

  // Exactly twenty characters are taken, a 0 among them too.
  std::u16string withZero = u"ab" + std::u16string(1, u'\0') + u"cdefghijklmnopqrstuvw";
  ASSERT_EQ(AdtlStrgBldRqReadIntg(r.body, withZero.c_str()), 0);
  EXPECT_EQ(ToHex(Bytes(r.body, 0, 4)), ToHex(Hex("15 14 00 0A")));
  EXPECT_EQ(std::u16string(r.body + 2, 20), withZero.substr(0, 20));
}

TEST(AdtlBuilders, RefusedArguments) {
  AD_REC r = Rec(AD_RZL_STRG);
  std::u16string key = Key(u"X");
  EXPECT_EQ(AdtlStrgBldRqReadallText(nullptr), AD_STRG_INVALID_ARG);
  EXPECT_EQ(AdtlStrgBldRqReadallText2(nullptr, 0, 290), AD_STRG_INVALID_ARG);
  EXPECT_EQ(AdtlStrgBldRqReadText(nullptr, key.c_str()), AD_STRG_INVALID_ARG);
  EXPECT_EQ(AdtlStrgBldRqReadText(r.body, nullptr), AD_STRG_INVALID_ARG);
  EXPECT_EQ(AdtlStrgBldRqReadText(r.body, u""), AD_STRG_INVALID_ARG);
  EXPECT_EQ(AdtlStrgBldRqReadIntg(r.body, nullptr), AD_STRG_INVALID_ARG);
  EXPECT_EQ(AdtlStrgBldRqReadIntg(r.body, u""), AD_STRG_INVALID_ARG);
  EXPECT_EQ(std::u16string(r.body, 100), std::u16string(100, u' ')) << "a refused body is untouched";
}

// --- Readers -------------------------------------------------------------------------

AD_REC Reply(uint8_t type, const std::u16string& name, const std::u16string& value) {
  AD_REC r = Rec(AD_RZL_STRG);
  memset(r.body, 0, sizeof r.body);
  adtest::Bytes(r)[AD_STRG_TY] = type;
  memcpy(r.body + 2, name.data(), 2 * std::min<size_t>(name.size(), 20));
  memcpy(r.body + 22, value.data(), 2 * std::min<size_t>(value.size(), 76));
  return r;
}

TEST(AdtlReaders, NameAndValueLengths) {
  struct Case {
    std::u16string name;
    int nameLen;
    std::u16string value;
    int valueLen;
  } cases[] = {
      {std::u16string(20, u' '), 0, std::u16string(40, u' '), 0},
      {u"ABCDE" + std::u16string(15, u' '), 5, u"LG_EYECAT" + std::u16string(31, u' '), 9},
      {u"ABCDEFGHIJKLMNOPQRST", 20, std::u16string(40, u'v'), 40},
      {u"abc" + std::u16string(1, u'\0') + u"def", 3, u"x y " + std::u16string(1, u'\0') + u"z", 3},
      {u"  lead", 6, u"", 0},
  };
  for (uint8_t type : {PERM_TYPE_READ_C, PERM_TYPE_READALL_C}) {
    for (const Case& c : cases) {
      AD_REC r = Reply(type, c.name, c.value);
      const WEQ_UC *name = nullptr, *value = nullptr;
      int nameWidth = 0, nameLen = -1, valueWidth = 0, valueLen = -1;
      ASSERT_EQ(AdtlStrgRspGetText(r.body, &name, &nameWidth, &nameLen, &value, &valueWidth, &valueLen), 0);
      EXPECT_EQ(nameWidth, 20);
      EXPECT_EQ(valueWidth, 40);
      EXPECT_EQ(nameLen, c.nameLen) << tovtest::Show(c.name);
      EXPECT_EQ(valueLen, c.valueLen) << tovtest::Show(c.value);
      EXPECT_EQ(std::u16string(name, 20), std::u16string(r.body + 2, 20));
      EXPECT_EQ(std::u16string(value, 40), std::u16string(r.body + 22, 40));
      // The buffers are the reader's own: changing the body changes nothing.
      memset(r.body, 0x41, sizeof r.body);
      EXPECT_NE(std::u16string(name, 20), std::u16string(r.body + 2, 20));
    }
  }
}

TEST(AdtlReaders, TypesThatAreRefused) {
  const WEQ_UC *name = nullptr, *value = nullptr;
  int w = 0, l = 0, vw = 0, vl = 0;
  int32_t values[10];
  for (int type = 0; type < 256; ++type) {
    AD_REC r = Reply(static_cast<uint8_t>(type), u"N", u"V");
    int text = AdtlStrgRspGetText(r.body, &name, &w, &l, &value, &vw, &vl);
    int intg = AdtlStrgRspGetIntg(r.body, &name, &w, &l, values);
    EXPECT_EQ(text, type == 22 || type == 12 ? 0 : AD_STRG_INVALID_ARG) << type;
    EXPECT_EQ(intg, type == 21 || type == 11 ? 0 : AD_STRG_INVALID_ARG) << type;
  }
  EXPECT_EQ(AdtlStrgRspGetText(nullptr, &name, &w, &l, &value, &vw, &vl), AD_STRG_INVALID_ARG);
  EXPECT_EQ(AdtlStrgRspGetIntg(nullptr, &name, &w, &l, values), AD_STRG_INVALID_ARG);
}

TEST(AdtlReaders, IntegersAreBigEndian) {
  AD_REC r = Reply(PERM_TYPE_READ_I, u"srv_00" + std::u16string(14, u' '), u"");
  std::string v = Hex("00 00 01 2C FF FF FF FF 80 00 00 00 7F FF FF FF 00 00 00 01") + std::string(20, '\x02');
  memcpy(adtest::Bytes(r) + 44, v.data(), v.size());
  int32_t values[10] = {};
  const WEQ_UC* name = nullptr;
  int w = 0, l = 0;
  ASSERT_EQ(AdtlStrgRspGetIntg(r.body, &name, &w, &l, values), 0);
  const int32_t want[10] = {300, -1, INT32_MIN, INT32_MAX, 1, 0x02020202, 0x02020202, 0x02020202,
                            0x02020202, 0x02020202};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(values[i], want[i]) << i;
  EXPECT_EQ(l, 6);
  EXPECT_EQ(w, 20);
}

TEST(AdtlReaders, ErrorNames) {
  const std::pair<int32_t, const char*> rows[] = {
      {0, "WEQ_O_K"},          {1, "AD_STRG_ERROR"},        {2, "AD_STRG_INVALID_ARG"},
      {3, "AD_STRG_NOT_INITED"}, {4, "AD_RZL_STRG_NOT_FOUND"}, {5, "AD_RZL_STRG_EXISTS"},
      {6, "6"},                {7, "7"},                    {8, "AD_RZL_STRG_ERROR"},
      {9, "AD_RZL_ACCESS_DENIED"}, {10, "10"},             {-1, "-1"},
  };
  for (auto [code, name] : rows) {
    WEQ_UC buf[32];
    EXPECT_EQ(U8(AdtlStrgErrName(code, buf)), name);
  }
}

// --- Whole blocks -----------------------------------------------------------------------

// The read-text request for "PUBLIC": the plain key and the key whose first
// 20 bytes are EBCDIC, as the logon-group layer sends them.
TEST(AdtlBlocks, ReadTextRequestForPublic) {
  std::u16string key = Key(u"PUBLIC");
  AD_REC r = Rec(AD_RZL_STRG);
  ASSERT_EQ(AdtlStrgBldRqReadText(r.body, key.c_str()), 0);
  WEQ_RAW* block = nullptr;
  int32_t len = 0;
  ASSERT_EQ(AdWriteRec(&r, 1, &block, &len), 0);

  // The key's first 20 bytes through the C library's EBCDIC converter.
  std::string raw(reinterpret_cast<const char*>(key.data()), 40), ebcdic;
  ASSERT_TRUE(trccheck::Iconv("IBM037", "ISO-8859-1", raw.substr(0, 20), &ebcdic));
  std::u16string key2 = key;
  memcpy(key2.data(), ebcdic.data(), 20);
  std::u16string viaLibrary = key;
  A7ToEbcdicInPlace(reinterpret_cast<WEQ_RAW*>(viaLibrary.data()), 20);
  EXPECT_EQ(viaLibrary, key2) << "the layer's own EBCDIC step gives the same key";

  AD_REC r2 = Rec(AD_RZL_STRG);
  ASSERT_EQ(AdtlStrgBldRqReadText(r2.body, key2.c_str()), 0);
  ASSERT_EQ(AdWriteRec(&r2, 2, &block, &len), 0);
  ASSERT_EQ(len, 244);
  std::string got(reinterpret_cast<char*>(block), 244);
  std::string want = Hex(
      "41 44 2D 45 59 45 43 41 54 43 48 00 01 01 20*8 31 30 34 20*10 32"
      " 15 00 00 00 16 14 00 28 50 55 42 4C 49 43 20*14 00*76"
      " 15 00 00 00 16 14 00 28 C3 97 C3 A4 C3 82 C3 93 C3 89 C3 83 40 40 40 40 20 20 20 20 00*76");
  EXPECT_EQ(ToHex(got), ToHex(want));
  adpeer::Storage plain{22, 20, 0, 40, "PUBLIC", std::string(76, '\0')};
  adpeer::Storage second = plain;
  second.name = Hex("C3 97 C3 A4 C3 82 C3 93 C3 89 C3 83 40 40 40 40");
  EXPECT_EQ(got, adpeer::Block({adpeer::Record(21, adpeer::StorageBody(plain)),
                                adpeer::Record(21, adpeer::StorageBody(second))}));
}

// A reply as the message server sends it, read record by record with the
// readers, as the logon-group layer does.
TEST(AdtlBlocks, ReplyReadThroughTheReaders) {
  adpeer::Favourite fav;
  fav.version = 1;
  fav.addr8 = {10, 1, 2, 3};
  fav.service = 3600;
  fav.release = "720";
  std::string block = adpeer::Block(
      {adpeer::Record(60, adpeer::SelfIdentBody()),
       adpeer::Record(21, adpeer::StorageBody({22, 20, 0, 40, "PUBLIC", adpeer::FavouriteValue(fav)}), 0, 1),
       adpeer::Record(21, adpeer::StorageBody({12, 20, 0, 40, "SPACE", "Gr\xC3\xBC\xC3\x9F" "e"}), 1, 1),
       adpeer::Record(21, adpeer::StorageBody({21, 20, 0, 10, "app_00", adpeer::IntegerValue({300, 0, 0, 0, 0, 7})}),
                      2, 1, 4)},
      1, 2);
  AdIResetReader();
  uint8_t state = AD_READ_FIRST;
  std::vector<std::string> seen;
  while (state != AD_READ_DONE) {
    AD_REC* rec = nullptr;
    ASSERT_EQ(AdReadRec(reinterpret_cast<const WEQ_RAW*>(block.data()), static_cast<int32_t>(block.size()),
                        &state, &rec),
              0);
    if (rec == nullptr) break;
    const WEQ_UC *name = nullptr, *value = nullptr;
    int w = 0, nl = 0, vw = 0, vl = 0;
    int32_t values[10];
    if (rec->errnum != 0) {
      seen.push_back("errno " + std::to_string(rec->errnum));
    } else if (AdtlStrgRspGetText(rec->body, &name, &w, &nl, &value, &vw, &vl) == 0) {
      seen.push_back(tovtest::ToUtf8(std::u16string(name, nl)) + "=" +
                     tovtest::ToUtf8(std::u16string(value, 9)) + "/" + std::to_string(vl));
      if (nl == 6) {
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(value)[18], 1) << "version byte";
      }
    } else if (AdtlStrgRspGetIntg(rec->body, &name, &w, &nl, values) == 0) {
      seen.push_back(std::to_string(values[0]));
    }
  }
  // A favourite's length ends at its first 0 character, which the binary
  // fields put at character 12 here.
  const std::vector<std::string> want = {"PUBLIC=LG_EYECAT/12", "SPACE=Grüße    /5", "errno 4"};
  EXPECT_EQ(seen, want);
}

// --- The storage converter ------------------------------------------------------------

struct TypeCase {
  uint8_t type;
  adpeer::StorageClass sent, received;
};

std::vector<TypeCase> AllTypes() {
  std::vector<TypeCase> out;
  for (int t : {10, 11, 12, 13, 15, 16, 17, 20, 21, 22, 23, 31, 32, 33, 41, 42, 43, 51, 52, 53, 90, 0, 14, 99})
    out.push_back({static_cast<uint8_t>(t), adpeer::StorageClassOf(static_cast<uint8_t>(t), false),
                   adpeer::StorageClassOf(static_cast<uint8_t>(t), true)});
  return out;
}

TEST(AdtlStorage, EveryTypeClassBothWays) {
  std::mt19937 rng(99);
  const std::u16string name = u"n\u00e4me\U0001F600" + std::u16string(13, u'x');  // 22 bytes of UTF-8
  for (const TypeCase& c : AllTypes()) {
    AD_REC r = Rec(AD_RZL_STRG);
    uint8_t* b = adtest::Bytes(r);
    b[0] = c.type;
    b[1] = 20;
    b[2] = 0;
    b[3] = 77;  // a value length above 76 changes nothing
    adtest::PutText(r, AD_STRG_NAME, name, 20);
    std::u16string text = u"value \u20ac " + std::u16string(70, u'v');
    std::string rawValue(76, '\0');
    if (c.sent == adpeer::StorageClass::kText) {
      adtest::PutText(r, AD_STRG_VALUE, text, 76);
    } else {
      for (char& ch : rawValue) ch = static_cast<char>(rng());
      memcpy(b + AD_STRG_VALUE, rawValue.data(), 76);
    }
    std::string ext = adtest::ToExt(r);
    std::string expectName = adtest::ExpectedField(name, 20);
    std::string expectValue =
        c.sent == adpeer::StorageClass::kText ? adtest::ExpectedField(text.substr(0, 76), 76) : rawValue;
    EXPECT_EQ(ToHex(ext), ToHex(adpeer::Record(21, adpeer::StorageBody({c.type, 20, 0, 77, "", ""})
                                                           .replace(4, 20, expectName)
                                                           .replace(24, 76, expectValue))))
        << int(c.type);

    AD_REC back;
    memset(&back, 0xEE, sizeof back);
    adtest::ToInt(ext, back);
    EXPECT_EQ(ToHex(adtest::BodyBytes(back).substr(0, 4)), ToHex(ext.substr(4, 4)));
    EXPECT_EQ(adtest::GetText(back, AD_STRG_NAME, 20), adtest::ExpectedBack(expectName, 20));
    if (c.received == adpeer::StorageClass::kText) {
      EXPECT_EQ(adtest::GetText(back, AD_STRG_VALUE, 76), adtest::ExpectedBack(expectValue, 76)) << int(c.type);
      EXPECT_EQ(adtest::BodyBytes(back).substr(196), std::string(4, '\xEE'));
    } else {
      // Copied as they came: for the create types of text, UTF-8 bytes.
      EXPECT_EQ(adtest::BodyBytes(back).substr(44, 76), expectValue) << int(c.type);
      EXPECT_EQ(adtest::BodyBytes(back).substr(120), std::string(80, '\xEE')) << int(c.type);
    }
  }
}

TEST(AdtlStorage, DetailLinesOfEachClass) {
  struct Case {
    uint8_t type;
    std::string value;  // external
    const char* line;   // the line after the head line, sent and received alike
  } cases[] = {
      {21, adpeer::IntegerValue({300, -1, 0, 1, 2, 3, 4, 5, 6, 7}),
       "AdCvtRecRzlStrg%s TYPE_READ_I VAL 300 -1 0 1 2 3 4 5 6 7"},
      {16, adpeer::OffsetValue(0x1CB9, 290, 290), "AdCvtRecRzlStrg%s TYPE_READALL_OFFSET_C VAL 7353 290 290 7353"},
      {90, std::string(76, 'r'), "AdCvtRecRzlStrg%s TYPE_DUMP"},
      {14, std::string(76, 'u'), "AdCvtRecRzlStrg%s unknown STRG type 14"},
      {22, "hello", "AdCvtRecRzlStrg%s VAL hello"},
  };
  for (const Case& c : cases) {
    trccheck::TraceFile trc(3);
    std::string ext = adpeer::Record(21, adpeer::StorageBody({c.type, 20, 0, 40, "KEY", c.value}));
    AD_REC back = Rec(AD_RZL_STRG);
    adtest::ToInt(ext, back);
    adtest::ToExt(back);
    std::vector<std::string> texts;
    for (const trccheck::Line& l : trc.Body())
      if (l.text.rfind("AdCvtRecRzlStrg", 0) == 0) texts.push_back(l.text);
    ASSERT_EQ(texts.size(), 4u) << int(c.type);
    for (const char* dir : {"ToInt", "ToExt"}) {
      size_t i = dir[2] == 'I' ? 0 : 2;
      char head[200], line[200];
      snprintf(head, sizeof head, "AdCvtRecRzlStrg%s %s TY %d, NL 20, VO 0, VL 40, NA KEY", dir,
               U8(AdPermTypeName(c.type)).c_str(), c.type);
      snprintf(line, sizeof line, c.line, dir);
      EXPECT_EQ(texts[i].substr(0, strlen(head)), head);
      std::string want = line;
      if (c.type == 22) want += std::string(71, ' ');
      EXPECT_EQ(texts[i + 1], want);
    }
  }
}

// A favourite's fields are copied or converted one by one; everything behind
// them keeps what the record held.
TEST(AdtlStorage, FavouritesOfVersionsOneToFour) {
  for (uint8_t version : {1, 2, 3, 4}) {
    adpeer::Favourite f;
    f.version = version;
    f.addr8 = {10, 1, 2, 3, 0x80, 0x00, 0x00, 0x02};
    f.service = 3600;
    f.release = "720";
    f.addr16 = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    AD_REC r = Rec(AD_RZL_STRG);
    uint8_t* b = adtest::Bytes(r);
    b[0] = 22;
    b[1] = 20;
    b[2] = 0;
    b[3] = 40;
    adtest::PutText(r, AD_STRG_NAME, u"GRP", 20);
    adtest::PutText(r, 44, u"LG_EYECAT", 9);
    b[62] = version;
    memcpy(b + 63, f.addr8.data(), 8);
    b[71] = 0x0E;
    b[72] = 0x10;
    adtest::PutText(r, 74, u"720", 4);
    memcpy(b + 82, f.addr16.data(), 16);
    trccheck::TraceFile trc(3);
    std::string ext = adtest::ToExt(r);
    EXPECT_EQ(ToHex(ext), ToHex(adpeer::Record(21, adpeer::StorageBody({22, 20, 0, 40, "GRP",
                                                                        adpeer::FavouriteValue(f)}))))
        << int(version);
    AD_REC back;
    memset(&back, 0xEE, sizeof back);
    adtest::ToInt(ext, back);
    std::string want = adtest::BodyBytes(r);
    want[73] = '\xEE';
    for (size_t i = 98; i < 200; ++i) want[i] = '\xEE';
    EXPECT_EQ(ToHex(adtest::BodyBytes(back)), ToHex(want)) << int(version);
    std::string addr = version <= 2 ? "10.1.2.3" : "2001:db8::1";
    std::string fav = "LGFAV NAME=GRP                 , VERS=" + std::to_string(version) + ", ADDR=" + addr +
                      ", SRV=3600, REL=720 ";
    int favLines = 0;
    for (const trccheck::Line& l : trc.Body()) favLines += l.text == fav;
    EXPECT_EQ(favLines, 2) << fav;
  }
}

TEST(AdtlStorage, FavouriteOfVersionFiveSendsOnlyItsHead) {
  trccheck::TraceFile trc(2);
  AD_REC r = Rec(AD_RZL_STRG);
  uint8_t* b = adtest::Bytes(r);
  b[0] = 22;
  b[1] = 20;
  b[2] = 0;
  b[3] = 40;
  adtest::PutText(r, AD_STRG_NAME, u"GRP5", 20);
  adtest::PutText(r, 44, u"LG_EYECAT", 9);
  b[62] = 5;
  memset(b + 63, 0x99, 35);
  std::string ext = adtest::ToExt(r);
  EXPECT_EQ(ToHex(ext), ToHex(Hex("15 00 00 00 16 14 00 28 47 52 50 35 20*16 20*9 05 20*66")));
  AD_REC back;
  memset(&back, 0xEE, sizeof back);
  adpeer::Favourite f;
  f.version = 5;
  adtest::ToInt(adpeer::Record(21, adpeer::StorageBody({22, 20, 0, 40, "GRP5", adpeer::FavouriteValue(f)})), back);
  std::string got = adtest::BodyBytes(back);
  EXPECT_EQ(got[62], 5);
  EXPECT_EQ(got.substr(44, 18), std::string(18, '\xEE')) << "nothing behind the version is taken";
  EXPECT_EQ(got.substr(63), std::string(137, '\xEE'));
  std::vector<trccheck::Line> lines = trc.Body();
  int unknown = 0;
  for (const trccheck::Line& l : lines)
    unknown += l.text == "AdCvtRecRzlStrgToExt: unknown version 5" || l.text == "AdCvtRecRzlStrgToInt: unknown version 5";
  EXPECT_EQ(unknown, 2);
}

TEST(AdtlStorage, NotAFavouriteWithoutTheWholeEyeCatcher) {
  AD_REC r = Rec(AD_RZL_STRG);
  adtest::Bytes(r)[0] = 12;
  adtest::PutText(r, 44, u"LG_EYECAX", 76);
  adtest::Bytes(r)[62] = 1;
  std::string ext = adtest::ToExt(r);
  EXPECT_EQ(ext.substr(28, 9), "LG_EYECAX");
  EXPECT_EQ(ext[37], '\x01') << "the version byte's character goes out as text";
}

}  // namespace
