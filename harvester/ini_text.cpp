// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ini_text.h"

#include <utility>
#include <vector>

#include "common/text.h"

namespace mivo {
namespace {

std::string_view LeftTrimmed(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return line;
}

// A group header "[name]"; anything after the first "]", such as KDE's
// "[$i]", is not part of the name.
bool GroupHeader(std::string_view line, std::string_view& name) {
  line = LeftTrimmed(line);
  if (line.empty() || line.front() != '[') return false;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  name = line.substr(1, close - 1);
  return true;
}

bool IsEntryOf(std::string_view line, std::string_view key) {
  line = LeftTrimmed(line);
  if (line.substr(0, key.size()) != key) return false;
  line.remove_prefix(key.size());
  line = LeftTrimmed(line);
  return !line.empty() && line.front() == '=';
}

bool IsBlank(std::string_view line) { return LeftTrimmed(line).empty(); }

}  // namespace

std::optional<std::string> IniValue(std::string_view text, std::string_view group, std::string_view key) {
  bool inGroup = false;
  for (std::string_view line : Split(text, "\n")) {
    std::string_view name;
    if (GroupHeader(line, name)) {
      inGroup = name == group;
    } else if (inGroup && IsEntryOf(line, key)) {
      line = LeftTrimmed(line);
      return std::string(LeftTrimmed(line.substr(line.find('=') + 1)));
    }
  }
  return std::nullopt;
}

std::string SetIniValue(std::string_view text, std::string_view group, std::string_view key, std::string_view value) {
  std::vector<std::string_view> lines = Split(text, "\n");
  if (!lines.empty() && lines.back().empty()) lines.pop_back();  // the final LF ends a line, opens none
  const std::string entry = std::string(key) + "=" + std::string(value);

  std::vector<std::string> out;
  out.reserve(lines.size() + 3);
  bool inGroup = false;
  bool groupSeen = false;
  bool keySet = false;
  std::size_t groupEnd = 0;  // index in `out` after the group's last non-blank line
  for (std::string_view line : lines) {
    std::string_view name;
    if (GroupHeader(line, name)) {
      inGroup = name == group;
      if (inGroup) {
        groupSeen = true;
        groupEnd = out.size() + 1;
      }
      out.emplace_back(line);
      continue;
    }
    if (inGroup && IsEntryOf(line, key)) {
      out.push_back(entry);
      keySet = true;
    } else {
      out.emplace_back(line);
    }
    if (inGroup && !IsBlank(line)) groupEnd = out.size();
  }

  if (!groupSeen) {
    if (!out.empty() && !IsBlank(out.back())) out.emplace_back();
    std::string header = "[";
    header += group;
    header += ']';
    out.push_back(std::move(header));
    out.push_back(entry);
  } else if (!keySet) {
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(groupEnd), entry);
  }

  std::string joined;
  for (const std::string& line : out) {
    joined += line;
    joined += '\n';
  }
  return joined;
}

std::string EscapeIniValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case ' ': out += (i == 0 || i + 1 == value.size()) ? "\\s" : " "; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace mivo
