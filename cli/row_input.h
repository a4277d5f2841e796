// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace mivo::cli {

// One proxy as a line of standard input names it; any part may be empty.
struct InputRow {
  std::string address;
  std::string port;
  std::string type;            // the cell after the port, when the line has one
  std::string user, password;  // the row's own credentials, when it has them
};

// A line with a tab is a row as `fetch` prints it (address, port, type, then
// cells; as `import` prints it, user and password follow the speed);
// otherwise a proxy URL, "user:pass@address:port",
// "address:port:user:pass", "address port [type]" or "address:port", words
// after the type ignored. A blank line names no row.
bool RowFromLine(std::string_view line, InputRow& row);

// Every row of `in`, in order; lines may end in CR LF.
std::vector<InputRow> ReadRows(std::istream& in);

}  // namespace mivo::cli
