// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "page_parser.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "common/gbk.h"
#include "common/text.h"
#include "harvester/main_window_ops.h"
#include "harvester/status_texts.h"

namespace mivo {
namespace {

const Marker kScriptMarker("<SCRIPT type=text/javascript>document.write");
const Marker kCellMarker("</td><td>");
const Marker kRowEndMarker("</td></tr>");
const Marker kScriptEndMarker("</SCRIPT></td><td>");
const Marker kWriteMarker("document.write");
constexpr std::size_t kDroppedLeadChars = 8;
constexpr std::size_t kMaxAddressChars = 14;  // fewer than 15
constexpr std::string_view kLengthThreshold = "100";
constexpr std::size_t kPortPieces = 5;
// Lines parsed between looks at the clock.
constexpr int kLinesPerCheck = 256;

// Lengths are compared as decimal texts, so only 0, 1, 10 and 100 fail.
bool PassesLengthTest(std::string_view line) {
  // A character takes one to four bytes, so most lengths need no counting:
  // only 1 to 4, 10 to 40 and 100 to 400 bytes can hold 1, 10 or 100 characters.
  const std::size_t bytes = line.size();
  if ((bytes > 4 && bytes < 10) || (bytes > 40 && bytes < 100) || bytes > 400) return true;
  return std::to_string(Utf8Length(line)) > kLengthThreshold;
}

std::optional<char> PortDigit(std::string_view summand) {
  if (summand.size() != 1) return std::nullopt;
  for (const PortLetter& entry : PortLetterTable)
    if (AsciiLower(entry.letter) == AsciiLower(summand[0])) return entry.digit;
  return std::nullopt;
}

// Assigns into the carried text, reusing its storage from line to line.
void Carry(std::optional<std::string>& carried, std::string_view value) {
  if (carried)
    carried->assign(value);
  else
    carried.emplace(value);
}

// The values one run carries from line to line; each keeps what an earlier
// line gave it until a step finds its input again.
class ParseRun {
 public:
  explicit ParseRun(ProxyListModel& rows) : rows_(rows) {}

  void Line(std::string_view line) {
    if (PassesLengthTest(line)) EntryStep(line);
    FillStep(line);
  }

 private:
  void EntryStep(std::string_view line) {
    // Element 0 of the split: a line that passed is never empty, so it exists.
    Carry(scriptPart0_, line.substr(0, kScriptMarker.FindIn(line)));
    rowNumber_ = rows_.Count() + 1;
    const std::string_view candidate = Utf8From(*scriptPart0_, kDroppedLeadChars);
    if (Utf8Length(candidate) <= kMaxAddressChars) rows_.Append(std::string(candidate));
    CutCells();
  }

  // The cells come from the carried script part alone, so cutting them again
  // on a line that did not replace it would give what they hold already.
  void CutCells() {
    SplitInto(*scriptPart0_, kCellMarker, cells_);
    if (cells_.size() > 1) typeText_.assign(cells_[1]);
    if (cells_.size() > 2) speedText_.assign(cells_[2]);
    if (cells_.size() > 3) {
      SplitInto(cells_[3], kRowEndMarker, pieces_);
      if (pieces_.empty())
        locationPart0_.reset();
      else
        Carry(locationPart0_, pieces_.front());
    }
  }

  void FillStep(std::string_view line) {
    if (rows_.Exists(rowNumber_)) rows_.SetText(rowNumber_, ProxyColumn::Port, DecodePort(line));
    const int previous = rowNumber_ - 1;
    if (rows_.Exists(previous)) {
      Write(previous, ProxyColumn::Type, typeText_);
      Write(previous, ProxyColumn::Speed, speedText_);
      if (locationPart0_) Write(previous, ProxyColumn::Location, *locationPart0_);
    }
  }

  // The previous row is written on every line; most lines write what it holds.
  void Write(int n, ProxyColumn column, const std::string& text) {
    if (rows_.Text(n, column) != text) rows_.SetText(n, column, text);
  }

  ProxyListModel& rows_;
  std::optional<std::string> scriptPart0_;  // element 0 of scriptParts
  int rowNumber_ = 0;
  std::string typeText_;
  std::string speedText_;
  std::optional<std::string> locationPart0_;  // element 0 of locationParts
  std::vector<std::string_view> pieces_;
  std::vector<std::string_view> cells_;
};

}  // namespace

SourceLines::SourceLines(std::string_view text) {
  // The next CR and the next LF are each searched for only from where the
  // last search stopped, so however the breaks are mixed (a page with no LF
  // at all included) the page is scanned once, forward.
  constexpr std::size_t npos = std::string_view::npos;
  std::size_t start = 0;
  std::size_t cr = text.find('\r');
  std::size_t lf = text.find('\n');
  while (cr != npos || lf != npos) {
    const std::size_t end = std::min(cr, lf);
    lines_.push_back(text.substr(start, end - start));
    const bool crlf = end == cr && lf == cr + 1;
    start = end + (crlf ? 2 : 1);
    if (cr < start) cr = text.find('\r', start);
    if (lf < start) lf = text.find('\n', start);
  }
  lines_.push_back(text.substr(start));
}

std::string SourceLines::ReadSourceLine(int n) const {
  std::string cut;
  return std::string(ReadSourceLine(n, cut));
}

std::string_view SourceLines::ReadSourceLine(int n, std::string& cut) const {
  if (n < 0 || n >= Count()) return {};
  std::string_view line = lines_[static_cast<std::size_t>(n)];
  line = line.substr(0, line.find('\0'));
  // GBK never takes more bytes than UTF-8, so a short line needs no cut.
  if (line.size() <= kSourceLineBytes) return line;
  const std::string gbk = ToGbk(line);
  if (gbk.size() <= kSourceLineBytes) return line;
  cut = FromGbk(std::string_view(gbk).substr(0, kSourceLineBytes));
  return cut;
}

std::string DecodePort(std::string_view line) {
  // Every digit comes from a summand after a "+".
  if (line.find('+') == std::string_view::npos) return {};
  const std::string_view head = line.substr(0, kScriptEndMarker.FindIn(line));
  const std::size_t write = kWriteMarker.FindIn(head);
  if (write == std::string_view::npos) return {};
  std::string_view argument = head.substr(write + kWriteMarker.Text().size());
  argument = argument.substr(0, kWriteMarker.FindIn(argument));
  std::string digits;
  // Piece 0 is what precedes the first "+"; pieces 1..5 are the summands.
  std::size_t at = argument.find('+');
  for (std::size_t piece = 1; piece <= kPortPieces && at != std::string_view::npos; ++piece) {
    const std::size_t next = argument.find('+', at + 1);
    std::string_view summand = argument.substr(at + 1, next == std::string_view::npos ? next : next - at - 1);
    if (piece >= 2 && !summand.empty() && summand.back() == ')') summand.remove_suffix(1);
    if (const auto digit = PortDigit(summand)) digits += *digit;
    at = next;
  }
  return std::string(TrimSpaces(digits));
}

void ParseSource(MainWindowOps& ops) {
  ops.DoEvents();
  if (ops.PageText().empty()) {
    ops.SetPanel(kStatusPanel, kTextFetchFailed);
    return;
  }
  // A command that runs while this parse lets events run may parse another
  // page; the later parse replaces this one, which then stops.
  static std::uint64_t parses = 0;
  const std::uint64_t mine = ++parses;
  ProxyListModel& rows = ops.Rows();
  rows.Clear();
  ops.SetPanel(kStatusPanel, kTextAnalysing);
  const std::shared_ptr<const std::string> page = ops.SharedPageText();  // a later download may replace it
  ParseRun run(rows);
  const SourceLines lines(*page);
  std::string cut;
  EventTurns turns(ops);
  for (int n = 0; n < lines.Count();) {
    {
      // The rows of each slice are shown in one insertion.
      ProxyListModel::Batch batch(rows);
      do {
        for (const int end = std::min(n + kLinesPerCheck, lines.Count()); n < end; ++n)
          run.Line(lines.ReadSourceLine(n, cut));
      } while (n < lines.Count() && !turns.Due());
    }
    if (n < lines.Count() && turns.Due()) ops.SetProgress(n, lines.Count());
    if (n < lines.Count() && turns.Yield() && parses != mine) return;
  }
  ops.SetProgress(0, 0);
  ops.SetPanel(kStatusPanel, kTextAnalysisDone);
  ops.SetPanel(kListPanel, "共: " + std::to_string(rows.Count()) + " 行");
}

}  // namespace mivo
