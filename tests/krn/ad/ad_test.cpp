// AD records: decimal fields, names, the converter registry, the block
// writer and reader, and the body layouts of every registered opcode.
#include <gtest/gtest.h>
#include <limits.h>

#include <random>
#include <set>

#include "krn/ad/ad.h"
#include "krn/ad/ad_int.h"
#include "krn/dptrc/trc_checker.h"
#include "krn/ad/ad_test_util.h"
#include "peers/adcodec.h"
#include "support/testsupport.h"

namespace {

using adpeer::Hex;
using adpeer::ToHex;
using adtest::Rec;

std::string U8(const WEQ_UC* s) { return tovtest::ToUtf8(s); }

class AdTest : public ::testing::Test {
 protected:
  void SetUp() override { AdIResetReader(); }
};

// --- Decimal fields ---------------------------------------------------------------

struct IntField {
  int32_t value;
  int width;
  const char* text;
  int rc;
};

TEST(AdFields, IntToFieldInBothCharacterWidths) {
  const IntField cases[] = {
      {12345, 3, "*45", -1}, {-5, 3, " -5", 0},      {0, 1, "0", 0},
      {104, 11, "        104", 0}, {-99, 3, "-99", 0}, {-123, 3, "*23", -1},
      {999, 3, "999", 0},    {1000, 3, "*00", -1},   {INT32_MIN, 11, "*          ", -1},
      {INT32_MAX, 11, " 2147483647", 0}, {-2147483647, 11, "-2147483647", 0},
      {7, 0, "", -1},
  };
  for (const IntField& c : cases) {
    char field[16];
    memset(field, 'x', sizeof field);
    EXPECT_EQ(AdIIntToField(c.value, field, c.width), c.rc) << c.value;
    EXPECT_EQ(std::string(field, static_cast<size_t>(c.width)), c.text) << c.value;
    EXPECT_EQ(field[c.width], 'x') << "nothing behind the field";
    WEQ_UC ucs[16];
    EXPECT_EQ(AdIIntToUcsField(c.value, ucs, c.width), c.rc) << c.value;
    EXPECT_EQ(tovtest::ToUtf8(std::u16string(ucs, static_cast<size_t>(c.width))), c.text);
  }
}

struct FieldInt {
  const char* text;
  int32_t value;
};

TEST(AdFields, FieldToIntStopsAtTheFirstNonDigit) {
  const FieldInt cases[] = {
      {"        104", 104}, {"           ", -1}, {"  -5", -5},        {" 12ab", 12},
      {"-", -1},           {"x1", -1},          {"  - 1", -1},       {"0", 0},
      {"-0", 0},           {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
      {"2147483648", -1},  {"-2147483649", -1},
      // Eleven digits are more than 32 bits hold.
      {"99999999999", -1}, {"00000000012", 12},  {" 536870912", 536870912},
  };
  for (const FieldInt& c : cases) {
    int w = static_cast<int>(strlen(c.text));
    EXPECT_EQ(AdIFieldToInt(c.text, w), c.value) << '"' << c.text << '"';
    std::u16string u = tovtest::FromUtf8(c.text);
    EXPECT_EQ(AdIUcsFieldToInt(u.c_str(), w), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(AdIFieldToInt("12345", 3), 123);
  EXPECT_EQ(AdIFieldToInt("12345", 0), -1);
  EXPECT_EQ(AdIFieldToInt(nullptr, 3), -1);
}

// --- Names ---------------------------------------------------------------------------

TEST(AdNames, OpcodesCodesAndStorageTypes) {
  const std::pair<int, const char*> opcodes[] = {
      {0, "AD_GENERAL"},       {1, "AD_PROFILE"},        {21, "AD_RZL_STRG"},
      {23, "AD_QUEUE2"},       {24, "AD_OPCODE_24"},     {25, "AD_EM"},
      {30, "AD_OPCODE_30"},    {52, "AD_SERVER_STATE"},  {53, "AD_OPCODE_53"},
      {60, "AD_SELFIDENT"},    {66, "AD_SYSTEM_EVENT"},  {69, "AD_SECSESSION_TERMINATE"},
      {70, "AD_OPCODE_70"},    {71, "AD_OPCODE_71"},     {255, "AD_OPCODE_255"},
      {-1, "AD_OPCODE_-1"},    {1000, "AD_OPCODE_1000"},
  };
  for (auto [op, name] : opcodes) EXPECT_EQ(U8(AdOpcodeName(op)), name) << op;
  int named = 0;
  for (int op = 0; op < 256; ++op)
    if (U8(AdOpcodeName(op)).rfind("AD_OPCODE_", 0) != 0) ++named;
  EXPECT_EQ(named, 55);

  const std::pair<int32_t, const char*> codes[] = {
      {1, "ADCALLBACKNOTDEFINED"}, {0, "WEQ_O_K"},        {-1, "ADEINVAL"},
      {-2, "ADEBLKTOOLARGE"},      {-3, "ADEHEAD_DESTROYED"}, {-4, "ADEHEAPOVERFLOW"},
      {-5, "ADACCESSDENIED"},      {7, "7"},               {-6, "-6"},
  };
  for (auto [code, name] : codes) {
    WEQ_UC buf[32];
    EXPECT_EQ(U8(AdErrName(code, buf)), name);
  }
  const std::pair<int, const char*> types[] = {
      {10, "TYPE_READALL"}, {16, "TYPE_READALL_OFFSET_C"}, {22, "TYPE_READ_C"},
      {53, "TYPE_CREATE_LC"}, {90, "TYPE_DUMP"}, {14, "14"}, {0, "0"}, {255, "255"},
  };
  for (auto [type, name] : types) EXPECT_EQ(U8(AdPermTypeName(type)), name);
}

// --- Registry --------------------------------------------------------------------------

TEST(AdRegistry, RegisteredAndUnknownOpcodes) {
  AD_REC r = Rec(AD_PROFILE);
  adtest::ToExt(r);  // the first conversion registers every pair
  std::set<int> registered;
  for (uint8_t op : adpeer::RegisteredOpcodes()) registered.insert(op);
  for (int op = 0; op < 256; ++op) {
    uint8_t in[200] = {}, out[200] = {};
    EXPECT_EQ(AdCallRegisteredCvtToExt(op, in, out), registered.count(op) ? 0 : ADEINVAL) << op;
    EXPECT_EQ(AdCallRegisteredCvtToInt(op, out, in), registered.count(op) ? 0 : ADEINVAL) << op;
  }
  uint8_t b[200];
  EXPECT_EQ(AdCallRegisteredCvtToExt(256, b, b), ADEINVAL);
  EXPECT_EQ(AdCallRegisteredCvtToInt(-1, b, b), ADEINVAL);
  EXPECT_EQ(AdRegisterCvtFunctions(256, AdCvtNone, AdCvtNone), ADEINVAL);
  EXPECT_EQ(AdRegisterCvtFunctions(-1, AdCvtNone, AdCvtNone), ADEINVAL);
}

TEST(AdRegistry, RegistrationLineNamesThePlainCopy) {
  trccheck::TraceFile trc(2);
  ASSERT_EQ(AdRegisterCvtFunctions(240, AdCvtNone, EmAdmCvtToInt), 0);
  std::vector<trccheck::Line> lines = trc.Body();
  ASSERT_EQ(lines.size(), 1u);
  std::string t = lines[0].text;
  EXPECT_EQ(t.rfind("AdRegisterCvtFunctions( 240(AD_OPCODE_240), ", 0), 0u) << t;
  EXPECT_NE(t.find("(AdCvtNone),"), std::string::npos) << t;
  EXPECT_EQ(t.back(), ')') << "the second converter has no suffix";
  uint8_t src[200], dst[200];
  memset(src, 0x41, sizeof src);
  memset(dst, 0, sizeof dst);
  EXPECT_EQ(AdCallRegisteredCvtToExt(240, src, dst), 0);
  EXPECT_EQ(dst[99], 0x41);
  EXPECT_EQ(dst[100], 0);
}

// --- Records -------------------------------------------------------------------------------

TEST(AdRecords, InitAndSelfIdentification) {
  AD_REC r;
  memset(&r, 0x55, sizeof r);
  AdInitRec(&r);
  EXPECT_EQ(r.opcode | r.serial | r.executed | r.errnum, 0);
  EXPECT_EQ(std::u16string(r.body, 100), std::u16string(100, u' '));
  ASSERT_EQ(AdGetSelfIdentRecord(&r), 0);
  EXPECT_EQ(r.opcode, AD_SELFIDENT);
  std::u16string want = std::u16string(19, u' ') + std::u16string(16, u'\0') + std::u16string(8, u' ') +
                        std::u16string(33, u'\0') + std::u16string(24, u' ');
  EXPECT_EQ(std::u16string(r.body, 100), want);
  EXPECT_EQ(std::u16string(r.body), std::u16string(19, u' '));
  std::string ext = adtest::ToExt(r);
  EXPECT_EQ(ToHex(ext), ToHex(adpeer::Record(60, adpeer::SelfIdentBody())));
}

// --- Writer ---------------------------------------------------------------------------------

TEST_F(AdTest, ProfileBlockOpensWithTheSelfIdentification) {
  AD_REC r = Rec(AD_PROFILE);
  adtest::PutText(r, 0, u"rdisp/mshost", 100);
  WEQ_RAW* block = nullptr;
  int32_t len = 0;
  ASSERT_EQ(AdWriteRec(&r, 1, &block, &len), 0);
  ASSERT_EQ(len, 244);
  std::string got(reinterpret_cast<char*>(block), static_cast<size_t>(len));
  std::string want = Hex(
      "41 44 2D 45 59 45 43 41 54 43 48 00 01 01 20*8 31 30 34 20*10 32"
      " 3C 00 00 00 20*19 00*16 20*8 00*33 20*24"
      " 01 00 00 00 72 64 69 73 70 2F 6D 73 68 6F 73 74 20*88");
  EXPECT_EQ(ToHex(got), ToHex(want));
  EXPECT_EQ(got, adpeer::Block({adpeer::Record(60, adpeer::SelfIdentBody()),
                                adpeer::Record(1, adpeer::LayoutBody(1, {"rdisp/mshost"}))}));
}

TEST_F(AdTest, StorageAndSelfIdentRecordsStartABlockAlone) {
  for (uint8_t op : {AD_RZL_STRG, AD_SELFIDENT}) {
    AD_REC r = op == AD_SELFIDENT ? AD_REC{} : Rec(op);
    if (op == AD_SELFIDENT) AdGetSelfIdentRecord(&r);
    WEQ_RAW* block = nullptr;
    int32_t len = 0;
    ASSERT_EQ(AdWriteRec(&r, 1, &block, &len), 0);
    EXPECT_EQ(len, 140) << int(op);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block) + 25, 11), "          1");
    EXPECT_EQ(block[36], op);
  }
}

TEST_F(AdTest, NullRecordOnlyStartsTheBlock) {
  WEQ_RAW* block = reinterpret_cast<WEQ_RAW*>(this);
  int32_t len = -7;
  ASSERT_EQ(AdWriteRec(nullptr, 1, &block, &len), 0);
  EXPECT_EQ(block, reinterpret_cast<WEQ_RAW*>(this));
  EXPECT_EQ(len, -7);
  AD_REC r = Rec(AD_PROFILE);
  ASSERT_EQ(AdWriteRec(&r, 2, &block, &len), 0);
  EXPECT_EQ(len, 140) << "appending to a started block adds no self-identification";
  EXPECT_EQ(block[36], AD_PROFILE);
  EXPECT_EQ(AdWriteRec(nullptr, 2, &block, &len), ADEINVAL);
  EXPECT_EQ(AdWriteRec(&r, 2, nullptr, &len), ADEINVAL);
  EXPECT_EQ(AdWriteRec(&r, 1, &block, nullptr), ADEINVAL);
}

// A block holds 295 records whichever way it starts; the next one fails and
// leaves the block as it was.
TEST_F(AdTest, TheRecordAfterTheLastRoomFails) {
  for (uint8_t op : {AD_PROFILE, AD_RZL_STRG}) {
    trccheck::TraceFile trc(1);
    AD_REC r = Rec(op);
    WEQ_RAW* block = nullptr;
    int32_t len = 0;
    ASSERT_EQ(AdWriteRec(&r, 1, &block, &len), 0);
    int records = len / AD_REC_LEN;
    while (records < AD_MAX_RECORDS) {
      ASSERT_EQ(AdWriteRec(&r, 2, &block, &len), 0) << records;
      ++records;
    }
    EXPECT_EQ(len, AD_HEADER_LEN + 295 * AD_REC_LEN);
    EXPECT_EQ(AdWriteRec(&r, 2, &block, &len), ADEBLKTOOLARGE);
    EXPECT_EQ(len, AD_HEADER_LEN + 295 * AD_REC_LEN);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block) + 25, 11), "        295");
    std::vector<trccheck::Line> lines = trc.Body();
    ASSERT_EQ(trccheck::Kinds(lines), "E");
    EXPECT_EQ(lines[0].text, "AdWriteRec: scratch area too small (30924)");
    adpeer::Parsed p;
    std::string why;
    EXPECT_TRUE(adpeer::ParseBlock(std::string(reinterpret_cast<char*>(block), len), &p, &why)) << why;
  }
}

// --- Reader -----------------------------------------------------------------------------------

struct ReadStep {
  int rc;
  uint8_t state;
  int opcode;  // of the delivered record, -1 for none
};

std::vector<ReadStep> ReadAll(const std::string& block, int maxCalls = 10) {
  std::vector<ReadStep> steps;
  uint8_t state = AD_READ_FIRST;
  for (int i = 0; i < maxCalls; ++i) {
    AD_REC* rec = nullptr;
    int rc = AdReadRec(reinterpret_cast<const WEQ_RAW*>(block.data()), static_cast<int32_t>(block.size()),
                       &state, &rec);
    steps.push_back({rc, state, rec != nullptr ? rec->opcode : -1});
    if (rc != 0 || state == AD_READ_DONE) break;
  }
  return steps;
}

std::string Steps(const std::vector<ReadStep>& s) {
  std::string out;
  for (const ReadStep& r : s)
    out += "(" + std::to_string(r.rc) + "," + std::to_string(r.state) + "," + std::to_string(r.opcode) + ")";
  return out;
}

TEST_F(AdTest, ReaderStateSequence) {
  using adpeer::Record;
  const std::string self = Record(60, adpeer::SelfIdentBody());
  struct Case {
    const char* what;
    std::string block;
    const char* steps;
  } cases[] = {
      {"three records", adpeer::Block({Record(1, ""), Record(63, ""), Record(0, "")}),
       "(0,2,1)(0,2,63)(0,3,0)"},
      {"self-identification skipped", adpeer::Block({self, Record(1, ""), Record(63, "")}),
       "(0,2,1)(0,3,63)"},
      {"self-identification only", adpeer::Block({self}), "(0,3,-1)"},
      {"no records", adpeer::Block({}), "(0,3,-1)"},
      {"self-identification later is a record", adpeer::Block({Record(1, ""), self}),
       "(0,2,1)(0,3,60)"},
      {"unregistered opcodes are delivered", adpeer::Block({Record(24, ""), Record(200, "")}),
       "(0,2,24)(0,3,200)"},
      {"version 0", adpeer::Block({Record(1, "")}, 0), "(0,3,1)"},
      {"reply type", adpeer::Block({Record(1, "")}, 1, 2), "(0,3,1)"},
      {"version 2", adpeer::Block({Record(1, "")}, 2), "(-3,1,-1)"},
      {"record size of blanks", adpeer::Header(1).replace(14, 11, 11, ' ') + Record(1, ""), "(-3,1,-1)"},
      {"record size 100", adpeer::Header(1, 1, 1, 100) + Record(1, ""), "(-3,1,-1)"},
      {"length mismatch", adpeer::Block({Record(1, "")}) + "x", "(-3,1,-1)"},
      {"count of blanks", adpeer::Header(0).replace(25, 11, 11, ' '), "(-3,1,-1)"},
      {"eye catcher", "X" + adpeer::Block({Record(1, "")}).substr(1), "(-3,1,-1)"},
      // A count whose length wraps to 36 bytes in 32 bits.
      {"wrapping count", adpeer::Header(536870912), "(-3,1,-1)"},
      {"eleven-digit count", adpeer::Header(0).replace(25, 11, "99999999999"), "(-3,1,-1)"},
      {"negative count", adpeer::Header(-1), "(-3,1,-1)"},
      {"shorter than a header", adpeer::Header(0).substr(0, 35), "(-3,1,-1)"},
      {"empty", "", "(-3,1,-1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(Steps(ReadAll(c.block)), c.steps) << c.what;
}

TEST_F(AdTest, ReaderRefusesNullAndShortBlocksBeforeLookingAtThem) {
  trccheck::TraceFile trc(1);
  uint8_t state = AD_READ_FIRST;
  AD_REC* rec = nullptr;
  EXPECT_EQ(AdReadRec(nullptr, 244, &state, &rec), ADEHEAD_DESTROYED);
  // Only the bytes given may be read: a block of 35 bytes in a buffer of
  // its own size (ASan sees any byte more).
  std::unique_ptr<WEQ_RAW[]> shortBlock(new WEQ_RAW[35]);
  memcpy(shortBlock.get(), adpeer::Header(0).data(), 35);
  EXPECT_EQ(AdReadRec(shortBlock.get(), 35, &state, &rec), ADEHEAD_DESTROYED);
  EXPECT_EQ(AdReadRec(shortBlock.get(), -1, &state, &rec), ADEHEAD_DESTROYED);
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(AdReadRec(shortBlock.get(), 35, nullptr, &rec), ADEINVAL);
  EXPECT_EQ(AdReadRec(shortBlock.get(), 35, &state, nullptr), ADEINVAL);
  EXPECT_EQ(trccheck::Kinds(trc.Body()), "EEEEE");
}

TEST_F(AdTest, ReaderErrorLinesShowTheValues) {
  struct Case {
    std::string block;
    const char* line;
  } cases[] = {
      {"X" + adpeer::Header(0).substr(1), "AdReadRec: header destroyed"},
      {adpeer::Header(0, 2), "AdReadRec: 2 wrong version (1 expected)"},
      {adpeer::Header(0).replace(14, 11, 11, ' '), "AdReadRec: -1 wrong recsize (104 expected)"},
      {adpeer::Header(2) + std::string(104, ' '), "AdReadRec: len 140, header 208"},
      {adpeer::Header(536870912), "AdReadRec: len 36, header 55834574848"},
  };
  for (const Case& c : cases) {
    trccheck::TraceFile trc(1);
    ASSERT_EQ(ReadAll(c.block)[0].rc, ADEHEAD_DESTROYED);
    std::vector<trccheck::Line> lines = trc.Body();
    ASSERT_EQ(trccheck::Kinds(lines), "E");
    EXPECT_EQ(lines[0].text, c.line);
  }
}

// A failed start forgets the block before it: going on reads nothing.
TEST_F(AdTest, ReaderAfterAFailedStartDeliversNothing) {
  std::string good = adpeer::Block({adpeer::Record(1, ""), adpeer::Record(1, ""), adpeer::Record(1, "")});
  uint8_t state = AD_READ_FIRST;
  AD_REC* rec = nullptr;
  ASSERT_EQ(AdReadRec(reinterpret_cast<const WEQ_RAW*>(good.data()), static_cast<int32_t>(good.size()),
                      &state, &rec),
            0);
  std::string bad = adpeer::Header(5);
  state = AD_READ_FIRST;
  ASSERT_EQ(AdReadRec(reinterpret_cast<const WEQ_RAW*>(bad.data()), 36, &state, &rec), ADEHEAD_DESTROYED);
  state = AD_READ_MORE;
  rec = nullptr;
  EXPECT_EQ(AdReadRec(reinterpret_cast<const WEQ_RAW*>(bad.data()), 36, &state, &rec), 0);
  EXPECT_EQ(state, AD_READ_DONE);
  EXPECT_EQ(rec, nullptr);
}

// Characters that a record's layout does not cover keep what the record
// before left in the reader's record.
TEST_F(AdTest, ReaderKeepsUncoveredCharacters) {
  std::string block = adpeer::Block({adpeer::Record(1, std::string(100, 'p')),
                                     adpeer::Record(63, adpeer::LayoutBody(63, {"delay"}))});
  uint8_t state = AD_READ_FIRST;
  AD_REC* rec = nullptr;
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(AdReadRec(reinterpret_cast<const WEQ_RAW*>(block.data()), static_cast<int32_t>(block.size()),
                        &state, &rec),
              0);
  ASSERT_EQ(state, AD_READ_DONE);
  EXPECT_EQ(std::u16string(rec->body, 100), u"delay      " + std::u16string(89, u'p'));
}

// --- Layouts ----------------------------------------------------------------------------------

// Text made of characters of every UTF-8 length, surrogate pairs included.
std::u16string RandomText(std::mt19937& rng, int units) {
  static const std::u16string pool[] = {u"a", u"Z", u"7", u" ", u"\u00e9", u"\u00df", u"\u20ac",
                                        u"\u4e2d", u"\U0001F600", u"\U00010348"};
  std::u16string t;
  while (static_cast<int>(t.size()) < units) t += pool[rng() % (sizeof pool / sizeof pool[0])];
  return t;  // may end with a high surrogate inside the field and its partner behind it
}

TEST(AdLayouts, EveryLayoutOpcodeBothWays) {
  std::mt19937 rng(4711);
  AD_REC warm = Rec(AD_PROFILE);
  adtest::ToExt(warm);
  int fields = 0, cut = 0;
  for (int round = 0; round < 20 * tovtest::HeavyFactor(); ++round) {
    for (uint8_t op : adpeer::RegisteredOpcodes()) {
      if (adpeer::ClassOf(op) != adpeer::Class::kLayout) continue;
      std::vector<adpeer::Field> layout = adpeer::Layout(op);
      AD_REC r = Rec(op);
      r.serial = static_cast<uint8_t>(rng());
      r.errnum = static_cast<uint8_t>(rng());
      r.executed = 1;
      std::vector<std::string> want;
      for (const adpeer::Field& f : layout) {
        if (f.kind == adpeer::Kind::kText) {
          std::u16string t = RandomText(rng, f.width);
          adtest::PutText(r, f.in, t, f.width);
          want.push_back(adtest::ExpectedField(t.substr(0, f.width), f.width));
          if (tovtest::FromUtf8(want.back()).size() < static_cast<size_t>(f.width) &&
              want.back().back() == ' ')
            ++cut;
        } else {
          std::string raw(static_cast<size_t>(f.width), '\0');
          for (char& c : raw) c = static_cast<char>(rng());
          memcpy(adtest::Bytes(r) + f.in, raw.data(), raw.size());
          want.push_back(raw);
        }
        ++fields;
      }
      std::string ext = adtest::ToExt(r);
      ASSERT_EQ(ToHex(ext), ToHex(adpeer::Record(op, adpeer::LayoutBody(op, want), r.serial, 1, r.errnum)))
          << "opcode " << int(op);
      for (size_t i = 0; i < layout.size(); ++i) {
        if (layout[i].kind == adpeer::Kind::kText) {
          EXPECT_TRUE(adtest::IcuValidUtf8(ext.substr(4 + layout[i].ex, layout[i].width))) << int(op);
        }
      }
      // Back into a record whose characters outside the fields are marked.
      AD_REC back;
      memset(&back, 0xEE, sizeof back);
      std::u16string before(back.body, 100);
      adtest::ToInt(ext, back);
      EXPECT_EQ(back.opcode, op);
      EXPECT_EQ(back.serial, r.serial);
      EXPECT_EQ(back.executed, 1);
      EXPECT_EQ(back.errnum, r.errnum);
      std::vector<bool> covered(200, false);
      for (size_t i = 0; i < layout.size(); ++i) {
        const adpeer::Field& f = layout[i];
        int bytes = f.kind == adpeer::Kind::kText ? 2 * f.width : f.width;
        for (int b = 0; b < bytes; ++b) covered[static_cast<size_t>(f.in + b)] = true;
        if (f.kind == adpeer::Kind::kText)
          EXPECT_EQ(adtest::GetText(back, f.in, f.width), adtest::ExpectedBack(want[i], f.width))
              << "opcode " << int(op) << " field " << i;
        else
          EXPECT_EQ(adtest::BodyBytes(back).substr(static_cast<size_t>(f.in), static_cast<size_t>(f.width)),
                    want[i]);
      }
      for (size_t b = 0; b < 200; ++b) {
        if (!covered[b]) {
          ASSERT_EQ(adtest::Bytes(back)[b], 0xEE) << "opcode " << int(op) << " byte " << b;
        }
      }
    }
  }
  EXPECT_GT(fields, 1000);
  EXPECT_GT(cut, 50) << "characters cut at field ends were met";
}

TEST(AdLayouts, GeneralFieldsStayAtTheirOffsets) {
  AD_REC r = Rec(AD_GENERAL);
  const std::u16string values[] = {u"\u20ac\u20ac\u20ac", u"\u00e9\u00e9\u00e9", u"ab", u"",
                                   u"\U0001F600x", u"thirteen char", u"z", u"end"};
  int off = 0;
  const int widths[] = {3, 3, 3, 3, 3, 13, 3, 3};
  for (int i = 0; i < 8; ++i) {
    adtest::PutText(r, 2 * off, values[i], widths[i]);
    off += widths[i];
  }
  std::string body = adtest::ToExt(r).substr(4);
  EXPECT_EQ(body.substr(0, 3), "\xE2\x82\xAC");        // one of three euro signs fits
  EXPECT_EQ(body.substr(3, 3), "\xC3\xA9 ");           // one of three e-acutes
  EXPECT_EQ(body.substr(12, 3), "   ") << "a pair cut by the field end stops the field";
  EXPECT_EQ(body.substr(15, 13), "thirteen char");
  EXPECT_EQ(body.substr(28, 3), "z  ");
  EXPECT_EQ(body.substr(31, 3), "end");
  EXPECT_EQ(body.substr(34), std::string(66, ' '));
}

TEST(AdLayouts, ProfileTextIsPaddedToTheEnd) {
  AD_REC r = Rec(AD_PROFILE);
  std::u16string t = u"login/system_client";
  memcpy(r.body, t.data(), 2 * t.size());
  r.body[t.size()] = 0;  // a terminated text; the rest of the field after it
  std::string body = adtest::ToExt(r).substr(4);
  EXPECT_EQ(body.substr(0, t.size()), "login/system_client");
  EXPECT_EQ(body[t.size()], '\0');
  EXPECT_EQ(body.substr(t.size() + 1), std::string(100 - t.size() - 1, ' '));
}

TEST(AdLayouts, PlainCopyTakesHalfTheInternalBody) {
  for (uint8_t op : {14, 15, 19, 32, 33, 40, 42, 44, 45, 47, 49, 50, 51, 52, 53, 64, 65, 66}) {
    ASSERT_EQ(adpeer::ClassOf(op), adpeer::Class::kPlainCopy) << int(op);
    AD_REC r = Rec(op);
    for (int i = 0; i < 200; ++i) adtest::Bytes(r)[i] = static_cast<uint8_t>(i + op);
    std::string ext = adtest::ToExt(r);
    EXPECT_EQ(ext.substr(4), adtest::BodyBytes(r).substr(0, 100)) << int(op);
    AD_REC back;
    memset(&back, 0x5A, sizeof back);
    adtest::ToInt(ext, back);
    EXPECT_EQ(adtest::BodyBytes(back), adtest::BodyBytes(r).substr(0, 100) + std::string(100, 'Z'));
  }
}

TEST(AdLayouts, UnregisteredOpcodesLeaveTheBodyAndSayWhy) {
  for (uint8_t op : {10, 11, 12, 20, 24, 30, 34, 54, 70, 255}) {
    trccheck::TraceFile trc(1);
    AD_REC r = Rec(op);
    r.serial = 3;
    adtest::PutText(r, 0, u"not sent", 8);
    std::string ext = adtest::ToExt(r);
    EXPECT_EQ(ext, adpeer::Record(op, "", 3)) << int(op);
    AD_REC back;
    memset(&back, 0x33, sizeof back);
    adtest::ToInt(adpeer::Record(op, "xyz", 1, 1, 1), back);
    EXPECT_EQ(back.opcode, op);
    EXPECT_EQ(back.errnum, 1);
    EXPECT_EQ(adtest::BodyBytes(back), std::string(200, '3'));
    std::vector<trccheck::Line> lines = trc.Body();
    ASSERT_EQ(trccheck::Kinds(lines), "EE") << int(op);
    EXPECT_EQ(lines[0].text, "AdCvtRecToExt: unknown opcode " + std::to_string(op) + " (" +
                                 U8(AdOpcodeName(op)) + "), ser 3, ex 0, errno 0");
    EXPECT_EQ(lines[1].text.rfind("AdCvtRecToInt: unknown opcode " + std::to_string(op), 0), 0u);
  }
}

// --- EM-ADM ------------------------------------------------------------------------------------

AD_REC EmRec(uint8_t opcode, const std::u16string& op) {
  AD_REC r = Rec(opcode);
  adtest::PutText(r, 0, op, 3);
  return r;
}

TEST(AdEmAdm, OperationsTwoAndThreeBothWays) {
  for (uint8_t opcode : {AD_EM, AD_ES}) {
    for (int op : {2, 3}) {
      AD_REC r = EmRec(opcode, op == 2 ? u"  2" : u"3");
      memcpy(adtest::Bytes(r) + 6, "\x01\x02\x03\x04", 4);
      adtest::PutText(r, 10, u"KEY0123456789ABC", 16);
      adtest::PutText(r, 42, u"info", 16);
      memset(adtest::Bytes(r) + 74, 0x11, 8);
      memset(adtest::Bytes(r) + 82, 0x22, 3);
      adtest::PutText(r, 86, u"120000", 6);
      adtest::PutText(r, 98, u"lost", 4);
      memset(adtest::Bytes(r) + 106, 0x33, 32);
      memset(adtest::Bytes(r) + 138, 0x44, 4);
      adpeer::EmAdm want;
      want.op = op;
      want.raw4 = Hex("01 02 03 04");
      want.key = "KEY0123456789ABC";
      want.info = "info";
      want.raw8 = Hex("11*8");
      want.raw3 = Hex("22*3");
      want.privTime = "120000";
      want.raw32 = Hex("33*32");
      want.raw4b = Hex("44*4");
      std::string ext = adtest::ToExt(r);
      EXPECT_EQ(ToHex(ext), ToHex(adpeer::Record(opcode, adpeer::EmAdmBody(want)))) << op;
      AD_REC back;
      memset(&back, 0x77, sizeof back);
      adtest::ToInt(ext, back);
      std::string expect = adtest::BodyBytes(r);
      // Operation text as written back, the unsent characters as blanks.
      std::u16string opText = op == 2 ? u"  2" : u"  3";
      memcpy(expect.data(), opText.data(), 6);
      std::u16string blanks(4, u' ');
      memcpy(expect.data() + 98, blanks.data(), 8);
      for (size_t b = 0; b < 200; ++b) {
        bool covered = b < 6 || (b >= 6 && b < 10) || (b >= 10 && b < 74) || (b >= 74 && b < 85) ||
                       (b >= 86 && b < 106) || (b >= 106 && b < 142);
        EXPECT_EQ(adtest::Bytes(back)[b], covered ? static_cast<uint8_t>(expect[b]) : 0x77) << b;
      }
    }
  }
}

TEST(AdEmAdm, KeyCharactersThatAreNotPrintableBecomeZero) {
  AD_REC r = EmRec(AD_EM, u"  2");
  adtest::PutText(r, 10, u"AB\u0001CD\u007fEF", 16);
  std::string ext = adtest::ToExt(r);
  EXPECT_EQ(ext.substr(4 + 7, 16), "AB0CD0EF        ");
  EXPECT_EQ(adtest::GetText(r, 10, 16), u"AB0CD0EF        ") << "the caller's record changed too";
}

TEST(AdEmAdm, OperationOneAndUnknownOperations) {
  AD_REC r = EmRec(AD_ES, u"1");
  for (int i = 0; i < 56; ++i) adtest::Bytes(r)[6 + i] = static_cast<uint8_t>(i);
  std::string ext = adtest::ToExt(r);
  EXPECT_EQ(ext.substr(4, 3), "  1");
  EXPECT_EQ(ext.substr(7, 56), adtest::BodyBytes(r).substr(6, 56));
  EXPECT_EQ(ext.substr(63), std::string(41, ' '));
  AD_REC back;
  memset(&back, 0x66, sizeof back);
  adtest::ToInt(ext, back);
  EXPECT_EQ(adtest::GetText(back, 0, 3), u"  1");
  EXPECT_EQ(adtest::BodyBytes(back).substr(6, 56), adtest::BodyBytes(r).substr(6, 56));
  EXPECT_EQ(adtest::Bytes(back)[62], 0x66);

  for (const char16_t* op : {u"  7", u"abc", u"   ", u"-2 "}) {
    trccheck::TraceFile trc(2);
    AD_REC u = EmRec(AD_EM, op);
    EXPECT_EQ(adtest::ToExt(u), adpeer::Record(AD_EM, "")) << "destination untouched";
    AD_REC b2;
    memset(&b2, 0x66, sizeof b2);
    adtest::ToInt(adpeer::Record(AD_EM, tovtest::ToUtf8(op)), b2);
    EXPECT_EQ(adtest::BodyBytes(b2), std::string(200, 'f'));
    int value = AdIUcsFieldToInt(op, 3);
    int unknown = 0;
    for (const trccheck::Line& l : trc.Body())
      if (l.text == "EmAdmCvtToExt: Unknown EM-ADM opcode " + std::to_string(value) ||
          l.text == "EmAdmCvtToInt: Unknown EM-ADM opcode " + std::to_string(value))
        ++unknown;
    EXPECT_EQ(unknown, 2) << tovtest::ToUtf8(op);
  }
}

TEST(AdEmAdm, FailedFieldConversionsAreTracedAndTheRecordGoesOn) {
  trccheck::TraceFile trc(1);
  AD_REC r = EmRec(AD_EM, u"  3");
  adtest::PutText(r, 42, u"\u20ac\u20ac\u20ac\u20ac\u20ac\u20ac", 16);  // 18 bytes for 16
  adtest::PutText(r, 86, u"120000", 6);
  std::string ext = adtest::ToExt(r);
  EXPECT_EQ(ext.substr(4 + 50, 6), "120000") << "the fields behind the failed one are sent";
  std::vector<trccheck::Line> lines = trc.Body();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text.rfind("EmAdmCvtToExt: failed to convert Info >", 0), 0u) << lines[0].text;

  // Sequences cut short by the field's end.
  std::string bad = adpeer::EmAdmBody({3, "", "ABCDEFGHIJKLMN\xE2\x82", "", "", "", "12345\xC3", "", ""});
  AD_REC back = Rec(AD_EM);
  adtest::ToInt(adpeer::Record(AD_EM, bad), back);
  std::vector<trccheck::Line> after = trc.Body();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[1].text.rfind("EmAdmCvtToInt: failed to convert Key (", 0), 0u) << after[1].text;
  EXPECT_EQ(after[2].text.rfind("EmAdmCvtToInt: failed to convert PrivTime (", 0), 0u) << after[2].text;
}

}  // namespace
