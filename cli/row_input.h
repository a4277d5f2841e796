#pragma once

#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace mivo::cli {

// One proxy as a line of standard input names it; either part may be empty.
struct InputRow {
  std::string address;
  std::string port;
};

// A line with a tab is a row as `fetch` prints it (address, port, then
// cells); otherwise "address port" or "address:port", words after the port
// ignored. A blank line names no row.
bool RowFromLine(std::string_view line, InputRow& row);

// Every row of `in`, in order; lines may end in CR LF.
std::vector<InputRow> ReadRows(std::istream& in);

}  // namespace mivo::cli
