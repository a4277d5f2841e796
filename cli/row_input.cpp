// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "row_input.h"

#include <algorithm>

#include "import/importer.h"

namespace mivo::cli {
namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view Trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// The text up to the first `stop` character, and what follows it.
std::string_view CutAt(std::string_view& s, std::string_view stop) {
  const std::size_t cut = s.find_first_of(stop);
  const std::string_view head = s.substr(0, cut);
  s = cut == std::string_view::npos ? std::string_view() : s.substr(cut + 1);
  return head;
}

}  // namespace

bool RowFromLine(std::string_view line, InputRow& row) {
  if (Trim(line).empty()) return false;
  if (line.find('\t') != std::string_view::npos) {
    row.address = Trim(CutAt(line, "\t"));
    row.port = Trim(CutAt(line, "\t"));
    row.type = Trim(CutAt(line, "\t"));
    CutAt(line, "\t");  // location
    CutAt(line, "\t");  // speed
    row.user = CutAt(line, "\t");
    row.password = CutAt(line, "\t");
    return true;
  }
  row.user.clear();
  row.password.clear();
  if (const std::string_view word = Trim(line).substr(0, Trim(line).find(' '));
      word.find_first_of("@/") != std::string_view::npos || std::count(word.begin(), word.end(), ':') >= 3) {
    if (const std::optional<importer::Proxy> p = importer::FirstProxy(word)) {
      row.address = importer::DottedQuad(p->address);
      row.port = std::to_string(p->port);
      row.type = importer::TypeCell(p->scheme);
      row.user = p->user;
      row.password = p->password;
      return true;
    }
  }
  line = Trim(line);
  const std::string_view first = CutAt(line, " ");
  std::string_view rest = Trim(line);
  row.type.clear();
  if (!rest.empty()) {
    row.address = first;
    row.port = CutAt(rest, " ");
    rest = Trim(rest);
    row.type = rest.substr(0, rest.find(' '));
  } else if (const std::size_t colon = first.rfind(':'); colon != std::string_view::npos) {
    row.address = first.substr(0, colon);
    row.port = first.substr(colon + 1);
  } else {
    row.address = first;
    row.port.clear();
  }
  return true;
}

std::vector<InputRow> ReadRows(std::istream& in) {
  std::vector<InputRow> rows;
  InputRow row;
  for (std::string line; std::getline(in, line);)
    if (RowFromLine(line, row)) rows.push_back(row);
  return rows;
}

}  // namespace mivo::cli
