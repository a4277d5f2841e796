// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace mivo {

// A fixed text to search for many times, such as the markers pages are cut
// at: its skip table lets a search jump ahead by up to its length.
class Marker {
 public:
  explicit Marker(std::string_view text);

  std::string_view Text() const { return text_; }
  // Position of the marker in `text` at or after `from`, or npos.
  std::size_t FindIn(std::string_view text, std::size_t from = 0) const;

 private:
  std::string text_;
  std::array<std::size_t, 256> skip_{};
};

// Cuts `text` at every occurrence of `sep`, left to right without overlap,
// keeping empty pieces. A text without `sep` gives itself; an empty text
// gives no pieces at all. The pieces view into `text`.
std::vector<std::string_view> Split(std::string_view text, std::string_view sep);
// The same into a vector the caller reuses, to spare allocations in loops.
void SplitInto(std::string_view text, std::string_view sep, std::vector<std::string_view>& out);
void SplitInto(std::string_view text, const Marker& sep, std::vector<std::string_view>& out);

// UTF-8 text from its character `first` (0-based) on; empty past the end.
std::string_view Utf8From(std::string_view text, std::size_t first);

// The UTF-8 character at byte `i` of `text`: its code point and its length
// in bytes; length 0 where the bytes are not UTF-8 (a stray byte, a cut,
// overlong or surrogate sequence, or one above U+10FFFF).
struct Utf8Char {
  char32_t code = 0;
  std::size_t length = 0;
};
Utf8Char Utf8At(std::string_view text, std::size_t i);

// At most `most` characters of `text`, and "…" after them when it was cut:
// how a message quotes a cell that may be of any length.
std::string Excerpt(std::string_view text, std::size_t most = 80);

// ASCII lower case; other bytes unchanged.
constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::string AsciiLower(std::string_view text);

// Without leading and trailing spaces (U+0020 only).
std::string_view TrimSpaces(std::string_view text);

}  // namespace mivo
