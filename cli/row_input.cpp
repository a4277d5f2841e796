// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "row_input.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/text.h"
#include "import/importer.h"

namespace mivo::cli {
namespace {

constexpr std::string_view kBlanks = " \t\r";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

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

RowsRead ReadRows(const std::function<long(char*, std::size_t)>& read, std::size_t maxLine) {
  RowsRead out;
  std::string line;
  bool tooLong = false;
  bool first = true;
  InputRow row;
  const auto endLine = [&] {
    if (first && line.starts_with(kByteOrderMark)) line.erase(0, kByteOrderMark.size());
    first = false;
    if (tooLong) {
      InputRow failed;
      // Marked as cut even when it shows the whole line kept: no address ends in "…".
      failed.address = Excerpt(line);
      if (failed.address.size() == line.size()) failed.address += "…";
      failed.problem = "the line is longer than " + std::to_string(maxLine) + " bytes";
      out.rows.push_back(std::move(failed));
    } else if (RowFromLine(line, row)) {
      out.rows.push_back(row);
    }
    line.clear();
    tooLong = false;
  };
  std::vector<char> buffer(kMaxLineBytes);
  for (;;) {
    const long n = read(buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.error = errno == EBADF ? std::string("it is closed") : std::strerror(errno);
      break;
    }
    if (n == 0) break;
    std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
    while (!chunk.empty()) {
      const std::size_t lf = chunk.find('\n');
      const std::string_view piece = chunk.substr(0, lf);
      // Past the limit only the line's end is looked for.
      if (!tooLong && line.size() + piece.size() > maxLine) {
        line.append(piece.substr(0, maxLine - line.size()));
        tooLong = true;
      } else if (!tooLong) {
        line.append(piece);
      }
      if (lf == std::string_view::npos) break;
      endLine();
      chunk.remove_prefix(lf + 1);
    }
  }
  if (!line.empty() || tooLong) endLine();
  return out;
}

RowsRead ReadRowsFromFd(int fd) {
  return ReadRows([fd](char* buffer, std::size_t size) { return static_cast<long>(::read(fd, buffer, size)); });
}

RowsRead ReadRowsFromText(std::string_view text, std::size_t maxLine) {
  return ReadRows(
      [&text](char* buffer, std::size_t size) {
        const std::size_t n = std::min(size, text.size());
        std::copy_n(text.data(), n, buffer);
        text.remove_prefix(n);
        return static_cast<long>(n);
      },
      maxLine);
}

}  // namespace mivo::cli
