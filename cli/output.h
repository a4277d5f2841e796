// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "cli/options.h"

// Everything the program prints goes through here: cells of rows and
// status texts come from pages and standard input, so each format makes
// them safe in one place, and standard output is written through one
// function that remembers a failed write.
namespace mivo::cli {

// Every format writes UTF-8: a byte that does not belong to a UTF-8
// character becomes U+FFFD, one for each such byte. Then each format shows
// control characters in its own way:
// - text: \t \r \n \\ as such, other C0 controls and DEL as \xNN, C1 controls
//   as \uNNNN, so that nothing reaches a terminal raw and a tab inside a cell
//   is never taken for the separator;
// - CSV: the text form, with a leading ' before a cell that a spreadsheet
//   would take for a formula (=, +, -, @ first, save "-" alone and plain
//   numbers), in double quotes when it holds a comma or a quote;
// - JSON: a string with C0, DEL and C1 controls as \u00NN.
std::string TextCell(std::string_view cell);
std::string CsvCell(std::string_view cell);
std::string JsonString(std::string_view cell);

// One cell of a row: a text, a number with its text form, or nothing.
struct Cell {
  enum class Kind : std::uint8_t { Text, Number, Missing };
  Cell(std::string t) : text(std::move(t)) {}
  Cell(const char* t) : text(t) {}
  // `shown` in text and CSV, the number in JSON.
  static Cell Number(std::int64_t n, std::string shown);
  // "-" in text and CSV, null in JSON.
  static Cell Missing();

  Kind kind = Kind::Text;
  std::string text;
  std::int64_t number = 0;
};

// A column's name in the CSV header and its key in JSON objects.
struct Column {
  const char* csv;
  const char* json;
};

// Writes rows to standard output: text as tab-separated lines; CSV with a
// header line; JSON as an array of objects, one a line.
class RowWriter {
 public:
  explicit RowWriter(OutputFormat format, std::span<const Column> columns = {});
  // Cells in the order of the columns.
  void Write(std::span<const Cell> cells);
  // Closes the JSON array; nothing for the others.
  void Finish();

 private:
  OutputFormat format_;
  std::span<const Column> columns_;
  std::size_t written_ = 0;
};

// Bytes to standard output. A failed write is remembered; the rest is
// still tried, so that the first error is what gets reported.
void WriteOut(std::string_view bytes);
void FlushOut();
// A line to standard error, made safe as a text cell is.
void WriteErrLine(std::string_view line);

// `code`, or kExitWriteError with a message on standard error when
// anything written to standard output was lost.
int FinishOutput(int code);

// Standard input, output and error that the program was started without
// get a descriptor that fails every read or write: no socket opened later
// can take their numbers, and their use is reported as an error.
void HoldStandardDescriptors();

}  // namespace mivo::cli
