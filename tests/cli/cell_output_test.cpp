// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// A cell as each output format writes it: what a terminal or a spreadsheet
// would act on is made inert, and every format is UTF-8.

#include <gtest/gtest.h>

#include <string>

#include "cli/output.h"

namespace mivo::cli {
namespace {

struct CellCase {
  const char* name;
  std::string cell, text, csv, json;
};

void PrintTo(const CellCase& c, std::ostream* os) { *os << c.name; }

class CellOutput : public ::testing::TestWithParam<CellCase> {};

TEST_P(CellOutput, EachFormatWritesItSafely) {
  const CellCase& c = GetParam();
  EXPECT_EQ(TextCell(c.cell), c.text);
  EXPECT_EQ(CsvCell(c.cell), c.csv);
  EXPECT_EQ(JsonString(c.cell), c.json);
}

const std::string kFffd = "\xEF\xBF\xBD";

const CellCase kCells[] = {
    CellCase{"Plain", "中 1.2", "中 1.2", "中 1.2", "\"中 1.2\""},
    CellCase{"Empty", "", "", "", "\"\""},
    CellCase{"TerminalTitle", "\x1b]2;t\a", "\\x1b]2;t\\x07", "\\x1b]2;t\\x07", "\"\\u001b]2;t\\u0007\""},
    CellCase{"Separators", "a\tb\r\n", "a\\tb\\r\\n", "a\\tb\\r\\n", "\"a\\u0009b\\u000d\\u000a\""},
    CellCase{"Backslash", "a\\x1b", "a\\\\x1b", "a\\\\x1b", "\"a\\\\x1b\""},
    CellCase{"Nul", std::string("a\0b", 3), "a\\x00b", "a\\x00b", "\"a\\u0000b\""},
    CellCase{"DelAndC1", "\x7f\xC2\x9B", "\\x7f\\u009b", "\\x7f\\u009b", "\"\\u007f\\u009b\""},
    CellCase{"StrayByte", "a\xff", "a" + kFffd, "a" + kFffd, "\"a" + kFffd + "\""},
    CellCase{"Overlong", "\xC0\xAF", kFffd + kFffd, kFffd + kFffd, "\"" + kFffd + kFffd + "\""},
    CellCase{"Surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd, kFffd + kFffd + kFffd,
             "\"" + kFffd + kFffd + kFffd + "\""},
    CellCase{"CutCharacter", "\xE4\xB8", kFffd + kFffd, kFffd + kFffd, "\"" + kFffd + kFffd + "\""},
    CellCase{"Formula", "=1+2", "=1+2", "'=1+2", "\"=1+2\""},
    CellCase{"FormulaWithComma", "=HYPERLINK(\"x\",1)", "=HYPERLINK(\"x\",1)", "\"'=HYPERLINK(\"\"x\"\",1)\"",
             "\"=HYPERLINK(\\\"x\\\",1)\""},
    CellCase{"At", "@SUM(1)", "@SUM(1)", "'@SUM(1)", "\"@SUM(1)\""},
    CellCase{"FormulaOfANumber", "=5", "=5", "'=5", "\"=5\""},
    CellCase{"PlusWord", "+x", "+x", "'+x", "\"+x\""},
    CellCase{"MinusSum", "-1+2", "-1+2", "'-1+2", "\"-1+2\""},
    CellCase{"NothingToSay", "-", "-", "-", "\"-\""},
    CellCase{"NegativeNumber", "-12.5", "-12.5", "-12.5", "\"-12.5\""},
    CellCase{"LeadingTab", "\t=1", "\\t=1", "\\t=1", "\"\\u0009=1\""},
};

INSTANTIATE_TEST_SUITE_P(Cells, CellOutput, ::testing::ValuesIn(kCells),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mivo::cli
