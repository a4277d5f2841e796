// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace mivo {

class MainWindowOps;

struct PortLetter {
  char letter;
  char digit;
};

// Script letter -> port digit, matched without regard to case.
inline constexpr std::array<PortLetter, 10> PortLetterTable{{
    {'d', '0'},
    {'c', '1'},
    {'k', '2'},
    {'z', '3'},
    {'m', '4'},
    {'B', '5'},
    {'w', '6'},
    {'i', '7'},
    {'r', '8'},
    {'l', '9'},
}};

inline constexpr std::size_t kSourceLineBytes = 255;

// The page text as lines. Lines end at CR LF, and also at a lone LF or CR,
// since pages from other systems break lines that way; the text after the
// last break is the last line even when empty.
class SourceLines {
 public:
  explicit SourceLines(std::string_view pageText);

  int Count() const { return static_cast<int>(lines_.size()); }
  // Line n (from 0) as the page-source box hands it out: at most 255 bytes
  // in GBK, ending at a NUL byte; empty past the last line. A character cut
  // in half at byte 255 is dropped.
  std::string ReadSourceLine(int n) const;
  // The same without a copy; a line that needs the cut is built in `cut`.
  std::string_view ReadSourceLine(int n, std::string& cut) const;

 private:
  std::vector<std::string_view> lines_;
};

// The port digits written by the line's script; possibly empty.
std::string DecodePort(std::string_view line);

// Replaces the list with the rows found in the page text, reporting in the
// status bar.
void ParseSource(MainWindowOps& ops);

}  // namespace mivo
