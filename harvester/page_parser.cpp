#include "page_parser.h"

#include <optional>

#include "common/gbk.h"
#include "common/text.h"
#include "harvester/main_window_ops.h"
#include "harvester/status_texts.h"

namespace mivo {
namespace {

constexpr std::string_view kScriptMarker = "<SCRIPT type=text/javascript>document.write";
constexpr std::string_view kCellMarker = "</td><td>";
constexpr std::string_view kRowEndMarker = "</td></tr>";
constexpr std::string_view kScriptEndMarker = "</SCRIPT></td><td>";
constexpr std::string_view kWriteMarker = "document.write";
constexpr std::size_t kDroppedLeadChars = 8;
constexpr std::size_t kMaxAddressChars = 14;  // fewer than 15
constexpr std::string_view kLengthThreshold = "100";
constexpr std::size_t kPortPieces = 5;

// Lengths are compared as decimal texts, so only 0, 1, 10 and 100 fail.
bool PassesLengthTest(std::string_view line) {
  return std::to_string(Utf8Length(line)) > kLengthThreshold;
}

std::optional<char> PortDigit(std::string_view summand) {
  if (summand.size() != 1) return std::nullopt;
  const std::string lower = AsciiLower(summand);
  for (const PortLetter& entry : PortLetterTable)
    if (AsciiLower(std::string_view(&entry.letter, 1)) == lower) return entry.digit;
  return std::nullopt;
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
    SplitInto(line, kScriptMarker, pieces_);
    scriptPart0_ = std::string(pieces_.front());  // a line that passed is never empty
    rowNumber_ = rows_.Count() + 1;
    const std::string_view candidate = Utf8From(*scriptPart0_, kDroppedLeadChars);
    if (Utf8Length(candidate) <= kMaxAddressChars) rows_.Append(std::string(candidate));
  }

  void FillStep(std::string_view line) {
    if (scriptPart0_) {
      // `cells` is recomputed from the carried script part on every line, so
      // it needs no carrying of its own.
      SplitInto(*scriptPart0_, kCellMarker, cells_);
      if (cells_.size() > 1) typeText_ = cells_[1];
      if (cells_.size() > 2) speedText_ = cells_[2];
      if (cells_.size() > 3) {
        SplitInto(cells_[3], kRowEndMarker, pieces_);
        locationPart0_ = pieces_.empty() ? std::nullopt : std::optional<std::string>(pieces_.front());
      }
    }
    if (rows_.Exists(rowNumber_)) rows_.SetText(rowNumber_, 1, DecodePort(line));
    const int previous = rowNumber_ - 1;
    if (rows_.Exists(previous)) {
      rows_.SetText(previous, 2, typeText_);
      rows_.SetText(previous, 4, speedText_);
      if (locationPart0_) rows_.SetText(previous, 3, *locationPart0_);
    }
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
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines_.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  lines_.push_back(text.substr(start));
}

std::string SourceLines::ReadSourceLine(int n) const {
  if (n < 0 || n >= Count()) return {};
  std::string_view line = lines_[static_cast<std::size_t>(n)];
  line = line.substr(0, line.find('\0'));
  // GBK never takes more bytes than UTF-8, so a short line needs no cut.
  if (line.size() <= kSourceLineBytes) return std::string(line);
  const std::string gbk = ToGbk(line);
  if (gbk.size() <= kSourceLineBytes) return std::string(line);
  return FromGbk(std::string_view(gbk).substr(0, kSourceLineBytes));
}

std::string DecodePort(std::string_view line) {
  if (line.empty()) return {};
  const std::string_view head = Split(line, kScriptEndMarker).front();
  const auto writes = Split(head, kWriteMarker);
  if (writes.size() < 2) return {};
  const auto pieces = Split(writes[1], "+");
  std::string digits;
  for (std::size_t i = 1; i <= kPortPieces && i < pieces.size(); ++i) {
    std::string_view piece = pieces[i];
    if (i >= 2 && !piece.empty() && piece.back() == ')') piece.remove_suffix(1);
    if (const auto digit = PortDigit(piece)) digits += *digit;
  }
  return std::string(TrimSpaces(digits));
}

void ParseSource(MainWindowOps& ops) {
  ops.DoEvents();
  if (ops.PageText().empty()) {
    ops.SetPanel(kStatusPanel, kTextFetchFailed);
    return;
  }
  ProxyListModel& rows = ops.Rows();
  rows.Clear();
  ops.SetPanel(kStatusPanel, kTextAnalysing);
  {
    ProxyListModel::Batch batch(rows);
    ParseRun run(rows);
    const SourceLines lines(ops.PageText());
    for (int n = 0; n < lines.Count(); ++n) run.Line(lines.ReadSourceLine(n));
  }
  ops.SetPanel(kStatusPanel, kTextAnalysisDone);
  ops.SetPanel(kListPanel, "共: " + std::to_string(rows.Count()) + " 行");
}

}  // namespace mivo
