// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "harvester/page_parser.h"

#include <gtest/gtest.h>

#include "common/gbk.h"
#include "harvester/main_window_ops.h"

namespace mivo {
namespace {

const std::string kScript = "<SCRIPT type=text/javascript>document.write";
const std::string kRowLine = "<tr><td>1.2.3.4" + kScript + "(\":\"+r+d)";
const std::string kCellsLine = "</SCRIPT></td><td>SOCKS5</td><td>0.95</td><td>Somewhere</td></tr>";

struct Parsed {
  HeadlessMainOps ops;
  explicit Parsed(const std::string& page) {
    ops.SetPageText(page);
    ParseSource(ops);
  }
  int Count() { return ops.Rows().Count(); }
  std::string At(int n, ProxyColumn column) { return ops.Rows().Text(n, column); }
};

TEST(ParseSource, RowAndCellsOnTwoLinesGiveOneCompleteRow) {
  ASSERT_EQ(kCellsLine.size(), 65u);
  Parsed p(kRowLine + "\r\n" + kCellsLine);
  ASSERT_EQ(p.Count(), 1);
  EXPECT_EQ(p.At(1, ProxyColumn::Address), "1.2.3.4");
  EXPECT_EQ(p.At(1, ProxyColumn::Port), "80");
  EXPECT_EQ(p.At(1, ProxyColumn::Type), "SOCKS5");
  EXPECT_EQ(p.At(1, ProxyColumn::Location), "Somewhere");
  EXPECT_EQ(p.At(1, ProxyColumn::Speed), "0.95");
  EXPECT_EQ(p.At(1, ProxyColumn::Result), "");
  EXPECT_EQ(p.At(1, ProxyColumn::Time), "");
  EXPECT_EQ(p.ops.statusHistory, (std::vector<std::string>{"正在分析....", "源码分析完成...."}));
  EXPECT_EQ(p.ops.panel1, "共: 1 行");
}

TEST(ParseSource, RowAndCellsOnOneLineTakeNoCellsFromBehindTheScript) {
  Parsed p(kRowLine + kCellsLine);
  ASSERT_EQ(p.Count(), 1);
  EXPECT_EQ(p.At(1, ProxyColumn::Address), "1.2.3.4");
  EXPECT_EQ(p.At(1, ProxyColumn::Port), "80");
  EXPECT_EQ(p.At(1, ProxyColumn::Type), "");
  EXPECT_EQ(p.At(1, ProxyColumn::Location), "");
  EXPECT_EQ(p.At(1, ProxyColumn::Speed), "");
}

TEST(ParseSource, ManyRowsEachGetTheCellsOfTheLineAfterThem) {
  std::string page = "<html><head><title>list</title></head><body><table>\r\n";
  for (int i = 0; i < 3; ++i) {
    page += "<tr><td>127.0.0." + std::to_string(i + 1) + kScript + "(\":\"+r+d+r+" + "cwB"[i] + ")\r\n";
    page += "</SCRIPT></td><td>HTTP" + std::to_string(i) + "</td><td>" + std::to_string(i) + ".5</td><td>北京" +
            std::to_string(i) + "</td></tr>\r\n";
  }
  page += "</table></body></html>";
  Parsed p(page);
  // The header line (over 23 characters before any marker) starts no row; the
  // footer (22 characters) starts one with the text from its ninth character.
  ASSERT_EQ(p.Count(), 4);
  const char* ports[] = {"8081", "8086", "8085"};
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(p.At(n, ProxyColumn::Address), "127.0.0." + std::to_string(n));
    EXPECT_EQ(p.At(n, ProxyColumn::Port), ports[n - 1]);
    EXPECT_EQ(p.At(n, ProxyColumn::Type), "HTTP" + std::to_string(n - 1));
    EXPECT_EQ(p.At(n, ProxyColumn::Location), "北京" + std::to_string(n - 1));
    EXPECT_EQ(p.At(n, ProxyColumn::Speed), std::to_string(n - 1) + ".5");
  }
  EXPECT_EQ(p.At(4, ProxyColumn::Address), "</body></html>");
  EXPECT_EQ(p.ops.panel1, "共: 4 行");
}

TEST(ParseSource, AddressPartOf23CharactersStartsNoRow) {
  // 8 + 14 characters before the marker start a row, 8 + 15 do not.
  Parsed fits("<tr><td>111.111.111.11" + kScript + "(\":\"+r)");
  ASSERT_EQ(fits.Count(), 1);
  EXPECT_EQ(fits.At(1, ProxyColumn::Address), "111.111.111.11");
  Parsed tooLong("<tr><td>111.111.111.111" + kScript + "(\":\"+r)");
  EXPECT_EQ(tooLong.Count(), 0);
  EXPECT_EQ(tooLong.ops.panel1, "共: 0 行");
}

TEST(ParseSource, CandidateCountsCharactersNotBytes) {
  // 14 Chinese characters are 28 GBK bytes and still fewer than 15 characters.
  Parsed p("<tr><td>一二三四五六七八九十一二三四" + kScript);
  ASSERT_EQ(p.Count(), 1);
  EXPECT_EQ(p.At(1, ProxyColumn::Address), "一二三四五六七八九十一二三四");
}

TEST(ParseSource, ShortLineWithoutMarkerAddsARowWithEmptyAddress) {
  Parsed p("</table>");
  ASSERT_EQ(p.Count(), 1);
  EXPECT_EQ(p.At(1, ProxyColumn::Address), "");
}

class LengthTest : public ::testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(LengthTest, LengthIsComparedAsText) {
  const auto [length, startsRow] = GetParam();
  Parsed p(std::string(static_cast<std::size_t>(length), 'x') + "\r\n");
  EXPECT_EQ(p.Count(), startsRow ? 1 : 0) << "length " << length;
}

INSTANTIATE_TEST_SUITE_P(Lengths, LengthTest,
                         ::testing::Values(std::pair{1, false}, std::pair{2, true}, std::pair{9, true},
                                           std::pair{10, false}, std::pair{11, true}, std::pair{22, true},
                                           std::pair{100, false}));

TEST(ParseSource, LengthOnlyDecidesTheEntryStepForShortLines) {
  // A 9-character line passes the test ("9" sorts after "100") and starts a
  // row whose text is its ninth character on.
  Parsed p("abcdefghZ");
  ASSERT_EQ(p.Count(), 1);
  EXPECT_EQ(p.At(1, ProxyColumn::Address), "Z");
}

TEST(ParseSource, LinesThatFailTheLengthTestStillRewriteThePortOfTheLastRow) {
  // "x" (length 1) and "" (length 0) run only the fill step: row 1's port is
  // decoded again from them, to the empty text.
  Parsed p(kRowLine + "\r\nx");
  ASSERT_EQ(p.Count(), 1);
  EXPECT_EQ(p.At(1, ProxyColumn::Port), "");
  Parsed q(kRowLine + "\r\n" + std::string(10, 'y'));
  EXPECT_EQ(q.At(1, ProxyColumn::Port), "");
  Parsed r(kRowLine + "\r\n");
  EXPECT_EQ(r.At(1, ProxyColumn::Port), "");
  Parsed s(kRowLine + "\r\n" + std::string(100, 'y'));
  ASSERT_EQ(s.Count(), 1);
  EXPECT_EQ(s.At(1, ProxyColumn::Port), "");
}

TEST(ParseSource, CarriedCellsReachTheRowBeforeEvenFromLaterLines) {
  // After the cells line, a short line (length 1) keeps rowNumber, so the
  // cells are written to the same row again: nothing changes.
  Parsed p(kRowLine + "\r\n" + kCellsLine + "\r\nx");
  ASSERT_EQ(p.Count(), 1);
  EXPECT_EQ(p.At(1, ProxyColumn::Type), "SOCKS5");
  EXPECT_EQ(p.At(1, ProxyColumn::Port), "80");
}

TEST(ParseSource, MissingLocationCellKeepsTheEarlierLocation) {
  const std::string page = kRowLine + "\r\n" + kCellsLine + "\r\n" +  //
                           "<tr><td>5.6.7.8" + kScript + "(\":\"+c)\r\n" +
                           "</SCRIPT></td><td>HTTP</td><td>1.00</td></tr>";
  Parsed p(page);
  ASSERT_EQ(p.Count(), 2);
  EXPECT_EQ(p.At(2, ProxyColumn::Type), "HTTP");
  EXPECT_EQ(p.At(2, ProxyColumn::Speed), "1.00</td></tr>");
  EXPECT_EQ(p.At(2, ProxyColumn::Location), "Somewhere");
}

TEST(ParseSource, EmptyPageKeepsRowsAndListPanel) {
  HeadlessMainOps ops;
  ops.SetPageText("x1");
  ops.Rows().Append("kept");
  ops.SetPanel(kListPanel, "共: 1 行");
  ops.SetPageText("");
  ParseSource(ops);
  EXPECT_EQ(ops.Rows().Count(), 1);
  EXPECT_EQ(ops.panel2, "获取失败,请检查网络!");
  EXPECT_EQ(ops.panel1, "共: 1 行");
}

TEST(ParseSource, PageWithoutRowsEmptiesTheList) {
  HeadlessMainOps ops;
  ops.Rows().Append("old");
  ops.SetPageText(std::string(40, 'q'));
  ParseSource(ops);
  EXPECT_EQ(ops.Rows().Count(), 0);
  EXPECT_EQ(ops.panel1, "共: 0 行");
}

TEST(ParseSource, EachRunStartsWithoutCarriedValues) {
  HeadlessMainOps ops;
  ops.SetPageText(kRowLine + "\r\n" + kCellsLine);
  ParseSource(ops);
  // The second page's cells line has no type cell: the type of the first
  // run must not reappear.
  ops.SetPageText("<tr><td>9.9.9.9" + kScript + "(\":\"+c)\r\n" + std::string(40, 'q'));
  ParseSource(ops);
  ASSERT_EQ(ops.Rows().Count(), 1);
  EXPECT_EQ(ops.Rows().Text(1, ProxyColumn::Address), "9.9.9.9");
  EXPECT_EQ(ops.Rows().Text(1, ProxyColumn::Type), "");
}

TEST(ParseSource, OnlyTheFirst255GbkBytesOfALineAreSeen) {
  // 240 bytes of padding, then the marker: the marker lies beyond byte 255.
  const std::string line = "<tr><td>" + std::string(232, ' ') + kScript + "(\":\"+r)";
  SourceLines lines(line);
  EXPECT_EQ(lines.ReadSourceLine(0).size(), 255u);
  Parsed p(line);
  EXPECT_EQ(p.Count(), 0);  // no marker seen; candidate far too long
}

TEST(SourceLines, CutThroughAChineseCharacterDropsTheHalf) {
  // 254 ASCII bytes then a two-byte character: byte 255 is its lead byte.
  const std::string line = std::string(254, 'a') + "中国";
  const std::string read = SourceLines(line).ReadSourceLine(0);
  EXPECT_EQ(read, std::string(254, 'a'));
  // 253 bytes then the character: it fits whole.
  EXPECT_EQ(SourceLines(std::string(253, 'a') + "中国").ReadSourceLine(0), std::string(253, 'a') + "中");
}

TEST(SourceLines, BreaksAndNumbering) {
  SourceLines lines("a\r\nb\nc\rd\r\n");
  ASSERT_EQ(lines.Count(), 5);
  EXPECT_EQ(lines.ReadSourceLine(0), "a");
  EXPECT_EQ(lines.ReadSourceLine(3), "d");
  EXPECT_EQ(lines.ReadSourceLine(4), "");
  EXPECT_EQ(lines.ReadSourceLine(5), "");
  EXPECT_EQ(lines.ReadSourceLine(-1), "");
  EXPECT_EQ(SourceLines(std::string("ab\0cd", 5)).ReadSourceLine(0), "ab");
  // LF CR is two breaks, CR CR LF two more: only CR then LF pairs.
  SourceLines mixed("x\n\r\r\ny");
  ASSERT_EQ(mixed.Count(), 4);
  EXPECT_EQ(mixed.ReadSourceLine(2), "");
  EXPECT_EQ(mixed.ReadSourceLine(3), "y");
}

TEST(SourceLines, BreakAtTheVeryStart) {
  // Found by fuzzing: a page starting with a lone LF.
  SourceLines lf("\nabc");
  ASSERT_EQ(lf.Count(), 2);
  EXPECT_EQ(lf.ReadSourceLine(1), "abc");
  EXPECT_EQ(SourceLines("\n").Count(), 2);
  HeadlessMainOps ops;
  ops.SetPageText("\n");
  ParseSource(ops);
  EXPECT_EQ(ops.panel1, "共: 0 行");
}

struct PortCase {
  const char* script;
  const char* port;
};

class DecodePortTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(DecodePortTest, Decodes) {
  const std::string line = "<tr><td>1.2.3.4" + kScript + GetParam().script + "</SCRIPT></td><td>SOCKS5</td></tr>";
  EXPECT_EQ(DecodePort(line), GetParam().port) << GetParam().script;
}

INSTANTIATE_TEST_SUITE_P(Ports, DecodePortTest,
                         ::testing::Values(PortCase{"(\":\"+r+d+r+d)", "8080"}, PortCase{"(\":\"+c+w+B+B+z)", "16553"},
                                           PortCase{"(\":\"+c)", ""}, PortCase{"(\":\"+c+x+d)", "10"},
                                           PortCase{"(\":\"+rd+c)", "1"}, PortCase{"(\":\"+C+W+b+D)", "1650"},
                                           PortCase{"(\":\"+d+k+z+m+i+l)", "02347"}, PortCase{"(\":\"+l+i)", "97"},
                                           PortCase{"", ""}, PortCase{"(\":\")", ""},
                                           PortCase{"(\":\"+r+d)document.write(+c)", "80"},
                                           PortCase{"(\":\"+ r+d)", "0"}));

TEST(DecodePort, WithoutTheScriptOrEmpty) {
  EXPECT_EQ(DecodePort(""), "");
  EXPECT_EQ(DecodePort("no script here"), "");
  EXPECT_EQ(DecodePort("</SCRIPT></td><td>document.write(\":\"+r+d)"), "");
  // Without the closing marker the whole line is the head.
  EXPECT_EQ(DecodePort("document.write(\":\"+m+m)"), "44");
}

TEST(ParseSource, BadInputCompletesWithBothClosingTexts) {
  std::string garbage;
  for (int i = 0; i < 200000; ++i) garbage += static_cast<char>((i * 7919) % 256);
  const std::string cases[] = {
      garbage,
      std::string(3 << 20, 'A') + "\r\n" + kRowLine,
      FromGbk("\x81\xFF\x80\xFE\xFF\x00\x00" + kRowLine),
      std::string("\0\0\0\r\n\0", 6) + kRowLine,
      std::string(100000, '\n'),
  };
  for (const std::string& page : cases) {
    HeadlessMainOps ops;
    ops.SetPageText(page);
    ParseSource(ops);
    ASSERT_GE(ops.statusHistory.size(), 2u);
    EXPECT_EQ(ops.statusHistory.back(), "源码分析完成....");
    EXPECT_EQ(ops.panel1, "共: " + std::to_string(ops.Rows().Count()) + " 行");
  }
}

}  // namespace
}  // namespace mivo
