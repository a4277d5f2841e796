// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/text.h"

namespace mivo::cli {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Calls `put(code, bytes)` for each character of `text`, U+FFFD standing
// for each byte that is not part of a UTF-8 character.
template <typename Put>
void ForEachChar(std::string_view text, Put put) {
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = Utf8At(text, i);
    if (c.length == 0) {
      put(U'\uFFFD', std::string_view(kReplacement));
      ++i;
    } else {
      put(c.code, text.substr(i, c.length));
      i += c.length;
    }
  }
}

bool IsControl(char32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

void AppendHex(std::string& out, const char* format, char32_t code) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, format, static_cast<unsigned>(code));
  out += escaped;
}

// "-", or a number with an optional sign and fraction: nothing a
// spreadsheet would run, though it starts with - or +.
bool IsInertSigned(std::string_view cell) {
  if (cell.empty() || (cell[0] != '-' && cell[0] != '+')) return false;
  if (cell == "-") return true;
  std::size_t i = 1;
  std::size_t digits = 0;
  bool point = false;
  for (; i < cell.size(); ++i) {
    if (cell[i] >= '0' && cell[i] <= '9') {
      ++digits;
    } else if (cell[i] == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digits > 0;
}

int writeErrno = 0;  // the first failed write to standard output

}  // namespace

std::string TextCell(std::string_view cell) {
  std::string out;
  out.reserve(cell.size());
  ForEachChar(cell, [&out](char32_t code, std::string_view bytes) {
    switch (code) {
      case U'\t': out += "\\t"; return;
      case U'\r': out += "\\r"; return;
      case U'\n': out += "\\n"; return;
      case U'\\': out += "\\\\"; return;
      default: break;
    }
    if (code < 0x80 && IsControl(code))
      AppendHex(out, "\\x%02x", code);
    else if (IsControl(code))
      AppendHex(out, "\\u%04x", code);
    else
      out += bytes;
  });
  return out;
}

std::string CsvCell(std::string_view cell) {
  std::string text = TextCell(cell);
  // Tab and CR, which spreadsheets also run, are escaped by now.
  if (!text.empty() && std::strchr("=+-@", text.front()) && !IsInertSigned(text)) text.insert(0, 1, '\'');
  if (text.find_first_of(",\"") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string JsonString(std::string_view cell) {
  std::string out = "\"";
  ForEachChar(cell, [&out](char32_t code, std::string_view bytes) {
    if (code == U'"' || code == U'\\') {
      out += '\\';
      out += bytes;
    } else if (IsControl(code)) {
      AppendHex(out, "\\u%04x", code);
    } else {
      out += bytes;
    }
  });
  return out + "\"";
}

Cell Cell::Number(std::int64_t n, std::string shown) {
  Cell c(std::move(shown));
  c.kind = Kind::Number;
  c.number = n;
  return c;
}

Cell Cell::Missing() {
  Cell c("-");
  c.kind = Kind::Missing;
  return c;
}

RowWriter::RowWriter(OutputFormat format, std::span<const Column> columns) : format_(format), columns_(columns) {
  if (format_ == OutputFormat::Csv) {
    std::string header;
    for (const Column& c : columns_) {
      if (!header.empty()) header += ',';
      header += c.csv;
    }
    WriteOut(header + "\n");
  }
  if (format_ == OutputFormat::Json) WriteOut("[");
}

void RowWriter::Write(std::span<const Cell> cells) {
  std::string line;
  switch (format_) {
    case OutputFormat::Text:
    case OutputFormat::Csv:
      for (std::size_t k = 0; k < cells.size(); ++k) {
        if (k != 0) line += format_ == OutputFormat::Text ? '\t' : ',';
        line += format_ == OutputFormat::Text ? TextCell(cells[k].text) : CsvCell(cells[k].text);
      }
      line += '\n';
      break;
    case OutputFormat::Json:
      line = written_ == 0 ? "\n  {" : ",\n  {";
      for (std::size_t k = 0; k < cells.size() && k < columns_.size(); ++k) {
        if (k != 0) line += ", ";
        line += JsonString(columns_[k].json) + ": ";
        switch (cells[k].kind) {
          case Cell::Kind::Text: line += JsonString(cells[k].text); break;
          case Cell::Kind::Number: line += std::to_string(cells[k].number); break;
          case Cell::Kind::Missing: line += "null"; break;
        }
      }
      line += "}";
      break;
  }
  ++written_;
  WriteOut(line);
}

void RowWriter::Finish() {
  if (format_ == OutputFormat::Json) WriteOut(written_ == 0 ? "]\n" : "\n]\n");
}

void WriteOut(std::string_view bytes) {
  if (bytes.empty()) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() && writeErrno == 0)
    writeErrno = errno != 0 ? errno : EIO;
}

void FlushOut() {
  if (std::fflush(stdout) != 0 && writeErrno == 0) writeErrno = errno != 0 ? errno : EIO;
}

void WriteErrLine(std::string_view line) {
  const std::string safe = TextCell(line) + "\n";
  std::fwrite(safe.data(), 1, safe.size(), stderr);
}

int FinishOutput(int code) {
  FlushOut();
  if (writeErrno == 0 && !std::ferror(stdout)) return code;
  WriteErrLine(std::string("mivoproxy-cli: cannot write standard output: ") +
               std::strerror(writeErrno != 0 ? writeErrno : EIO));
  return kExitWriteError;
}

void HoldStandardDescriptors() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Opened for the other direction, so that its use fails with EBADF as the missing one would.
    const int held = ::open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY));
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

}  // namespace mivo::cli
