// The method matrix: every pair of NLS kinds, with and without the mixed
// flags, equal and different minor values, no_direct and the control-code
// and own-character options, against the table of rule letters in
// rscpc_matrix.csv and the rules as written beside it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "rscpc_fixture.h"

namespace rscptest {
namespace {

struct Expect {
  uint32_t method = 0;
  bool unsupported = false, substIn = false, substOut = false, resetOut = false, resetIn = false;
  bool operator==(const Expect&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Expect& e) {
  return os << "{method " << e.method << (e.unsupported ? " unsupported" : "") << (e.substIn ? " substIn" : "")
            << (e.substOut ? " substOut" : "") << (e.resetOut ? " resetOut" : "") << (e.resetIn ? " resetIn" : "")
            << "}";
}

const std::vector<uint32_t> kMb = {3, 4, 5, 6, 7, 25, 30, 34, 35, 36};
const std::vector<uint32_t> kE = {1, 20, 21};

// Row and column names of the table for one kind ("" for unlisted kinds).
std::string RowName(uint32_t k) {
  for (uint32_t m : kMb) if (m == k) return "MB";
  for (uint32_t e : kE) if (e == k) return "E";
  for (uint32_t r : {0u, 2u, 8u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 19u, 29u, 39u}) {
    if (r == k) return std::to_string(k);
  }
  return "";
}
std::string ColName(uint32_t k) {
  for (uint32_t m : kMb) if (m == k) return "MB";
  for (uint32_t c : {0u, 1u, 2u, 8u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 19u, 20u, 21u, 29u, 39u}) {
    if (c == k) return std::to_string(k);
  }
  return "";
}

using Table = std::map<std::string, std::map<std::string, std::string>>;

Table ReadTable() {
  std::ifstream in(std::string(TOV_SOURCE_DIR) + "/tests/krn/rscp/rscpc_matrix.csv");
  Table t;
  std::string line;
  std::vector<std::string> cols;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream ss(line);
    for (std::string c; std::getline(ss, c, ',');) cells.push_back(c);
    if (cols.empty()) {
      cols = cells;
      continue;
    }
    for (size_t i = 1; i < cells.size() && i < cols.size(); ++i) t[cells[0]][cols[i]] = cells[i];
  }
  return t;
}

// The rules, read from their description.
Expect Rule(std::string cell, const rscpCObj_t& o, uint32_t inFlags, const std::string& row, const std::string& col) {
  Expect x;
  const bool inMixed = o.in_mixed != 0, outMixed = o.out_mixed != 0;
  const bool sameMinor = o.in_minor == o.out_minor;
  // "6 (L for 4-7 25)" and "6 (7i for 7)"
  if (cell.find(" (") != std::string::npos) {
    const std::string other = cell.substr(cell.find('(') + 1, cell.find(' ', cell.find('(')) - cell.find('(') - 1);
    const bool alt = other == "L" ? ((o.out_nls >= 4 && o.out_nls <= 7) || o.out_nls == 25) : o.out_nls == 7;
    cell = alt ? other : "6";
  }
  const auto ruleI = [&](bool resets) {
    x.resetOut = resets;
    x.method = inMixed ? 5 : 4;
    x.substIn = inMixed;
  };
  const auto utf16 = [&](uint32_t first) -> uint32_t {
    if (o.rscpCtrlCodeCv == 1 && o.rscpWEQOwnChCv == 0) return first;
    if (o.rscpCtrlCodeCv == 0 && o.rscpWEQOwnChCv == 0) return 37;
    return 39;
  };
  if (cell == "-") {
    x.unsupported = true;
  } else if (cell == "L") {
    x.method = inMixed ? 5 : 4;
  } else if (cell == "M") {
    x.method = inMixed ? 7 : 6;
  } else if (cell == "P") {
    x.method = inMixed ? 7 : (o.in_nls == o.out_nls && sameMinor ? 11 : 6);
  } else if (cell == "I") {
    ruleI(!(row == "MB" && col == "12"));
  } else if (cell == "O") {
    if (o.in_nls == 12 && o.out_nls == 0) x.resetIn = true;
    x.method = outMixed ? 5 : 4;
    x.substOut = outMixed;
  } else if (cell == "B") {
    if (outMixed) {
      x.method = 5, x.substOut = true;
    } else if (inMixed) {
      ruleI(true);
    } else {
      x.method = 4;
    }
  } else if (cell == "F") {
    x.method = outMixed ? 6 : (inMixed ? 5 : 4);
  } else if (cell == "D") {
    x.method = sameMinor && o.no_direct == 0 ? 2 : 4;
  } else if (cell == "S" || cell == "S4") {
    x.method = sameMinor && o.no_direct == 0 ? (cell == "S" ? 25 : 26) : 4;
  } else if (cell[0] == 'U') {
    x.method = sameMinor ? static_cast<uint32_t>(std::stoi(cell.substr(1))) : 4;  // little-endian machine
  } else if (cell == "Y") {
    x.method = inMixed ? 28 : 27;
  } else if (cell == "W13" || cell == "W16") {
    x.method = o.in_minor == 0 ? utf16(cell == "W13" ? 33 : 35) : (cell == "W13" ? 8 : 4);
    if (outMixed) x.method += 1, x.substOut = true;
  } else if (cell == "V") {
    x.method = o.in_minor == 0 ? utf16(33) : 8;
  } else if (cell == "G") {
    x.method = o.in_minor == 0 ? utf16(o.in_nls == 13 ? 33 : 35) : 8;
  } else if (cell == "A49" || cell == "A48") {
    if ((inFlags & 0x1000) != 0 && o.rscpCtrlCodeCv == 1) {
      x.method = cell == "A49" ? 49 : 48;
    } else {
      ruleI(true);
    }
  } else if (cell == "5i" || cell == "7i") {
    x.resetOut = true;
    x.method = cell == "5i" ? 5 : 7;
    x.substIn = inMixed;
  } else if (cell == "5o") {
    x.method = 5;
    x.substOut = outMixed;
  } else if (cell == "Z") {
    x.method = 0;
  } else {
    x.method = static_cast<uint32_t>(std::stoi(cell));
    if (row == "39" && cell == "6") x.resetOut = true;
  }
  return x;
}

TEST(MethodMatrix, EveryKindPairAndOption) {
  const Table table = ReadTable();
  ASSERT_EQ(table.size(), 15u);
  long checked = 0, unsupported = 0;
  for (uint32_t in = 0; in <= 41; ++in) {
    for (uint32_t out = 0; out <= 41; ++out) {
      const std::string row = RowName(in), col = ColName(out);
      for (int variant = 0; variant < 128; ++variant) {
        rscpCObj_t o{};
        o.in_nls = in;
        o.out_nls = out;
        o.in_mixed = variant & 1;
        o.out_mixed = (variant >> 1) & 1;
        o.in_minor = (variant >> 2) & 1;
        o.out_minor = (variant >> 6) & 1 ? o.in_minor : 0;
        o.no_direct = (variant >> 3) & 1;
        o.rscpCtrlCodeCv = (variant >> 4) & 1;
        o.rscpWEQOwnChCv = (variant >> 5) & 1;
        const uint32_t flags = (variant & 0x50) == 0x50 ? 0x1000 : 0;
        const rscpcChoice_t got = rscpcIChooseMethod(&o, flags);
        const Expect g{got.unsupported ? 0 : got.method, got.unsupported, got.substIn, got.substOut, got.resetOut,
                       got.resetIn};
        Expect want;
        if (row.empty() || col.empty()) {
          want.unsupported = true;
        } else {
          want = Rule(table.at(row).at(col), o, flags, row, col);
        }
        if (want.unsupported) ++unsupported;
        ++checked;
        ASSERT_EQ(g, want) << "in " << in << " out " << out << " variant " << variant << " cell "
                           << (row.empty() || col.empty() ? "?" : table.at(row).at(col));
      }
    }
  }
  EXPECT_EQ(checked, 42L * 42 * 128);
  EXPECT_GT(unsupported, 0);
}

TEST(MethodMatrix, Iso2022Promotion) {
  for (uint32_t m = 0; m < 50; ++m) {
    bool conflict = true;
    const uint32_t p = rscpcIPromote2022(m, &conflict);
    const bool wantConflict = (m >= 7 && m <= 11) || m == 27 || m == 28;
    EXPECT_EQ(conflict, wantConflict) << m;
    EXPECT_EQ(p, m == 4 || m == 5 ? 41u : m == 6 ? 42u : m) << m;
  }
}

}  // namespace
}  // namespace rscptest
