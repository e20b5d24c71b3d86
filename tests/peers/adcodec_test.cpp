// The peers' AD codec held to blocks and bodies written out by hand.
#include "peers/adcodec.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using adpeer::Hex;
using adpeer::ToHex;

const std::string kEye = "41 44 2D 45 59 45 43 41 54 43 48 00 ";

TEST(AdCodec, HeadersCarryRightAlignedDecimalFields) {
  EXPECT_EQ(ToHex(adpeer::Header(2)), ToHex(Hex(kEye + "01 01 20*8 31 30 34 20*10 32")));
  EXPECT_EQ(ToHex(adpeer::Header(295, 0, 2)), ToHex(Hex(kEye + "00 02 20*8 31 30 34 20*8 32 39 35")));
}

TEST(AdCodec, ReadTextBlockWithPlainAndEbcdicKey) {
  adpeer::Storage plain{22, 20, 0, 40, "PUBLIC", std::string(76, '\0')};
  adpeer::Storage ebcdic = plain;
  ebcdic.name = Hex("C3 97 C3 A4 C3 82 C3 93 C3 89 C3 83 40 40 40 40");
  std::string block = adpeer::Block({adpeer::Record(21, adpeer::StorageBody(plain)),
                                     adpeer::Record(21, adpeer::StorageBody(ebcdic))});
  std::string want = Hex(kEye + "01 01 20*8 31 30 34 20*10 32" +
                         " 15 00 00 00 16 14 00 28 50 55 42 4C 49 43 20*14 00*76"
                         " 15 00 00 00 16 14 00 28 C3 97 C3 A4 C3 82 C3 93 C3 89 C3 83 40 40 40 40"
                         " 20 20 20 20 00*76");
  ASSERT_EQ(block.size(), 244u);
  EXPECT_EQ(ToHex(block), ToHex(want));
  adpeer::Parsed p;
  std::string why;
  ASSERT_TRUE(adpeer::ParseBlock(block, &p, &why)) << why;
  ASSERT_EQ(p.records.size(), 2u);
  adpeer::Storage back = adpeer::ParseStorage(p.records[1].substr(4));
  EXPECT_EQ(back.type, 22);
  EXPECT_EQ(back.valueLen, 40);
  EXPECT_EQ(back.name, ebcdic.name + "    ");
}

TEST(AdCodec, ProfileBlockBeginsWithTheSelfIdentification) {
  std::string block = adpeer::Block({adpeer::Record(adpeer::kOpSelfIdent, adpeer::SelfIdentBody()),
                                     adpeer::Record(1, adpeer::LayoutBody(1, {"rdisp/mshost"}))});
  std::string want = Hex(kEye + "01 01 20*8 31 30 34 20*10 32" +
                         " 3C 00 00 00 20*19 00*16 20*8 00*33 20*24"
                         " 01 00 00 00 72 64 69 73 70 2F 6D 73 68 6F 73 74 20*88");
  ASSERT_EQ(block.size(), 244u);
  EXPECT_EQ(ToHex(block), ToHex(want));
}

TEST(AdCodec, BlocksThatAreRefused) {
  std::string good = adpeer::Block({adpeer::Record(1, "")});
  struct Case {
    const char* what;
    std::string block;
    bool ok;
  } cases[] = {
      {"as built", good, true},
      {"version 0", good.substr(0, 12) + '\0' + good.substr(13), true},
      {"version 2", good.substr(0, 12) + '\2' + good.substr(13), false},
      {"eye catcher", "X" + good.substr(1), false},
      {"record size blank", good.substr(0, 14) + std::string(11, ' ') + good.substr(25), false},
      {"one byte short", good.substr(0, good.size() - 1), false},
      {"shorter than a header", good.substr(0, 35), false},
      {"count 2 for one record", adpeer::Header(2) + good.substr(36), false},
  };
  for (const Case& c : cases) {
    adpeer::Parsed p;
    EXPECT_EQ(adpeer::ParseBlock(c.block, &p, nullptr), c.ok) << c.what;
  }
}

TEST(AdCodec, LayoutsCoverTheirExternalBytes) {
  // Bytes used per opcode, from the layout tables.
  const std::map<int, int> used = {{0, 34},  {1, 100}, {2, 86},  {3, 59},  {4, 89},  {5, 18},
                                   {6, 68},  {7, 27},  {8, 42},  {9, 32},  {13, 37}, {16, 21},
                                   {17, 43}, {18, 22}, {28, 100}, {29, 100}, {31, 6}, {43, 71},
                                   {48, 15}, {60, 100}, {63, 11}, {41, 98}, {46, 98}, {67, 98},
                                   {61, 12}, {62, 12}, {68, 67}, {69, 59}, {22, 68}, {23, 80},
                                   {27, 4}};
  for (auto [op, bytes] : used) {
    std::vector<adpeer::Field> f = adpeer::Layout(static_cast<uint8_t>(op));
    ASSERT_FALSE(f.empty()) << op;
    EXPECT_EQ(f.back().ex + f.back().width, bytes) << op;
  }
  std::vector<adpeer::Field> general = adpeer::Layout(0);
  ASSERT_EQ(general.size(), 8u);
  EXPECT_EQ(general[5].ex, 15);
  EXPECT_EQ(general[5].in, 30);
  EXPECT_EQ(general[7].ex, 31);
  EXPECT_EQ(adpeer::RegisteredOpcodes().size(), used.size() + 18 + 3);  // plain copies, 21, 25, 26
  for (int op : {10, 11, 12, 20, 24, 30, 34, 39, 54, 59, 70, 255})
    EXPECT_EQ(adpeer::ClassOf(static_cast<uint8_t>(op)), adpeer::Class::kUnregistered) << op;
}

TEST(AdCodec, TextFieldsKeepWholeCharacters) {
  // "aé€😀" is 1 + 2 + 3 + 4 bytes.
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(adpeer::PadText(text, 10), text);
  EXPECT_EQ(adpeer::PadText(text, 9), text.substr(0, 6) + "   ");
  EXPECT_EQ(adpeer::PadText(text, 2), "a ");
  std::string body = adpeer::LayoutBody(0, {"1", "22", "333", "4444", "", "thirteenchars", "x", "yz"});
  EXPECT_EQ(body.substr(0, 34), "1  22 333444   thirteencharsx  yz ");
  EXPECT_EQ(adpeer::LayoutValues(0, body)[5], "thirteenchars");
}

TEST(AdCodec, StorageValuesOfEachClass) {
  std::array<int32_t, 10> ints = {300, -1, 0, 1, 2, 3, 4, 5, 6, 0x7FFFFFFF};
  std::string v = adpeer::IntegerValue(ints);
  EXPECT_EQ(ToHex(v.substr(0, 8)), ToHex(Hex("00 00 01 2C FF FF FF FF")));
  EXPECT_EQ(adpeer::Integers(v), ints);
  EXPECT_EQ(ToHex(adpeer::OffsetValue(0x1CB9, 290, 290).substr(0, 16)),
            ToHex(Hex("00 00 1C B9 00 00 01 22 00 00 01 22 00 00 1C B9")));
  struct {
    uint8_t type;
    adpeer::StorageClass sent, received;
  } rows[] = {{10, adpeer::StorageClass::kRaw, adpeer::StorageClass::kRaw},
              {21, adpeer::StorageClass::kIntegers, adpeer::StorageClass::kIntegers},
              {16, adpeer::StorageClass::kOffsets, adpeer::StorageClass::kOffsets},
              {22, adpeer::StorageClass::kText, adpeer::StorageClass::kText},
              {51, adpeer::StorageClass::kIntegers, adpeer::StorageClass::kUnknown},
              {52, adpeer::StorageClass::kText, adpeer::StorageClass::kUnknown},
              {53, adpeer::StorageClass::kText, adpeer::StorageClass::kUnknown},
              {14, adpeer::StorageClass::kUnknown, adpeer::StorageClass::kUnknown}};
  for (const auto& r : rows) {
    EXPECT_EQ(adpeer::StorageClassOf(r.type, false), r.sent) << int(r.type);
    EXPECT_EQ(adpeer::StorageClassOf(r.type, true), r.received) << int(r.type);
  }
}

TEST(AdCodec, FavouritesOfEveryVersion) {
  adpeer::Favourite v1;
  v1.version = 1;
  v1.addr8 = {10, 1, 2, 3, 0, 0, 0, 0};
  v1.service = 3600;
  v1.release = "720";
  v1.addr16 = {5, 2, 0x00, 0x3C, 0x00, 0x0A};  // group 5, type 2, timeout 60, count 10
  EXPECT_EQ(ToHex(adpeer::FavouriteValue(v1)),
            ToHex(Hex("4C 47 5F 45 59 45 43 41 54 01 0A 01 02 03 00 00 00 00 0E 10 37 32 30 20"
                      " 05 02 00 3C 00 0A 00*10 20*36")));
  adpeer::Favourite v4;
  v4.version = 4;
  v4.addr8 = {0, 0, 7, 1, 0x80, 0x00, 0x00, 0x02};
  v4.service = 0x0E11;
  v4.release = "753";
  v4.addr16 = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(ToHex(adpeer::FavouriteValue(v4)),
            ToHex(Hex("4C 47 5F 45 59 45 43 41 54 04 00 00 07 01 80 00 00 02 0E 11 37 35 33 20"
                      " 20 01 0D B8 00*11 01 20*36")));
  for (uint8_t version : {1, 2, 3, 4, 5}) {
    adpeer::Favourite f = v4, back;
    f.version = version;
    ASSERT_TRUE(adpeer::ParseFavourite(adpeer::FavouriteValue(f), &back));
    EXPECT_EQ(back.version, version);
    EXPECT_EQ(back.addr16, f.addr16);
    EXPECT_EQ(back.service, f.service);
    EXPECT_EQ(back.release, "753 ");
  }
  adpeer::Favourite none;
  EXPECT_FALSE(adpeer::ParseFavourite("LG_EYECAX" + std::string(67, ' '), &none));
}

TEST(AdCodec, EmAdmBodies) {
  adpeer::EmAdm e;
  e.op = 2;
  e.raw4 = Hex("01 02 03 04");
  e.key = "KEY0123456789ABC";
  e.info = "info";
  e.raw8 = Hex("11*8");
  e.raw3 = Hex("22*3");
  e.privTime = "120000";
  e.raw32 = Hex("33*32");
  e.raw4b = Hex("44*4");
  std::string want = Hex("20 20 32 01 02 03 04 4B 45 59 30 31 32 33 34 35 36 37 38 39 41 42 43"
                         " 69 6E 66 6F 20*12 11*8 22*3 31 32 30 30 30 30 33*32 44*4 20*8");
  EXPECT_EQ(ToHex(adpeer::EmAdmBody(e)), ToHex(want));
  adpeer::EmAdm back = adpeer::ParseEmAdm(want);
  EXPECT_EQ(back.op, 2);
  EXPECT_EQ(back.key, e.key);
  EXPECT_EQ(back.raw32, e.raw32);
  adpeer::EmAdm one;
  one.op = 1;
  one.raw32 = Hex("55*56");
  EXPECT_EQ(ToHex(adpeer::EmAdmBody(one)), ToHex(Hex("20 20 31 55*56 20*41")));
}

}  // namespace
