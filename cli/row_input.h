// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mivo::cli {

// A longer line (without its line break) is no row: it becomes a failed one.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

// One proxy as a line of standard input names it; any part may be empty.
struct InputRow {
  std::string address;
  std::string port;
  std::string type;            // the cell after the port, when the line has one
  std::string user, password;  // the row's own credentials, when it has them
  std::string problem;         // why the line is no row; its address is then the line's start and "…"
};

// A line with a tab is a row as `fetch` prints it (address, port, type, then
// cells; as `import` prints it, user and password follow the speed);
// otherwise a proxy URL, "user:pass@address:port",
// "address:port:user:pass", "address port [type]" or "address:port", words
// after the type ignored. A blank line names no row.
bool RowFromLine(std::string_view line, InputRow& row);

struct RowsRead {
  std::vector<InputRow> rows;
  std::string error;  // why the input could not be read to its end
};

// Every row of an input, in order. Lines may end in CR LF; a UTF-8 byte-order
// mark before the first is skipped; a line longer than `maxLine` gives a
// row with a problem and is not kept, so memory stays bounded however long
// it is. `read` works as read(2) does: bytes, 0 at the end, -1 with errno.
RowsRead ReadRows(const std::function<long(char*, std::size_t)>& read, std::size_t maxLine = kMaxLineBytes);
// From a descriptor, such as standard input.
RowsRead ReadRowsFromFd(int fd);
RowsRead ReadRowsFromText(std::string_view text, std::size_t maxLine = kMaxLineBytes);

}  // namespace mivo::cli
