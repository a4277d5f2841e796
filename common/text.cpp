// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "text.h"

#include <cstring>

namespace mivo {

Marker::Marker(std::string_view text) : text_(text) {
  skip_.fill(text_.size());
  for (std::size_t i = 0; i + 1 < text_.size(); ++i) skip_[static_cast<unsigned char>(text_[i])] = text_.size() - 1 - i;
}

std::size_t Marker::FindIn(std::string_view text, std::size_t from) const {
  const std::size_t n = text_.size();
  if (n == 0) return from <= text.size() ? from : std::string_view::npos;
  const char* p = text.data();
  const char* m = text_.data();
  const auto lastOfMarker = static_cast<unsigned char>(m[n - 1]);
  // The first byte is checked before the call that compares the rest: in
  // markup the last byte of a marker (">") matches far more often.
  for (std::size_t at = from; at + n <= text.size();) {
    const auto last = static_cast<unsigned char>(p[at + n - 1]);
    if (last == lastOfMarker && p[at] == m[0] && (n < 3 || std::memcmp(p + at + 1, m + 1, n - 2) == 0)) return at;
    at += skip_[last];
  }
  return std::string_view::npos;
}

template <typename FindFn>
static void SplitWith(std::string_view text, std::size_t sepSize, FindFn find, std::vector<std::string_view>& out) {
  out.clear();
  if (text.empty()) return;
  std::size_t from = 0;
  for (std::size_t at; (at = find(from)) != std::string_view::npos; from = at + sepSize)
    out.push_back(text.substr(from, at - from));
  out.push_back(text.substr(from));
}

void SplitInto(std::string_view text, std::string_view sep, std::vector<std::string_view>& out) {
  if (sep.empty()) {
    out.assign(text.empty() ? 0 : 1, text);
    return;
  }
  SplitWith(
      text, sep.size(), [&](std::size_t from) { return text.find(sep, from); }, out);
}

void SplitInto(std::string_view text, const Marker& sep, std::vector<std::string_view>& out) {
  if (sep.Text().empty()) {
    out.assign(text.empty() ? 0 : 1, text);
    return;
  }
  SplitWith(
      text, sep.Text().size(), [&](std::size_t from) { return sep.FindIn(text, from); }, out);
}

std::vector<std::string_view> Split(std::string_view text, std::string_view sep) {
  std::vector<std::string_view> out;
  SplitInto(text, sep, out);
  return out;
}

std::string_view Utf8From(std::string_view text, std::size_t first) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen++ == first) return text.substr(i);
  }
  return {};
}

Utf8Char Utf8At(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t code = 0;
  char32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return {};
  }
  if (text.size() - i < length) return {};
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return {};
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
  return {code, length};
}

std::string Excerpt(std::string_view text, std::size_t most) {
  const std::size_t kept = text.size() - Utf8From(text, most).size();
  if (kept == text.size()) return std::string(text);
  return std::string(text.substr(0, kept)) + "…";
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

std::string_view TrimSpaces(std::string_view text) {
  const auto b = text.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  return text.substr(b, text.find_last_not_of(' ') - b + 1);
}

}  // namespace mivo
