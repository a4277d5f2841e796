#include "text.h"

namespace mivo {

void SplitInto(std::string_view text, std::string_view sep, std::vector<std::string_view>& out) {
  out.clear();
  if (text.empty()) return;
  if (sep.empty()) {
    out.push_back(text);
    return;
  }
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(sep, from)) != std::string_view::npos; from = at + sep.size())
    out.push_back(text.substr(from, at - from));
  out.push_back(text.substr(from));
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

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view TrimSpaces(std::string_view text) {
  const auto b = text.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  return text.substr(b, text.find_last_not_of(' ') - b + 1);
}

}  // namespace mivo
