// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "print_rows.h"

#include <cstdio>

namespace mivo::cli {

void EchoPanelsToStderr(HeadlessMainOps& ops) {
  ops.onPanel = [](int, const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
}

void PrintRow(const ProxyListModel& rows, int n, std::initializer_list<ProxyColumn> columns) {
  const char* separator = "";
  for (const ProxyColumn column : columns) {
    std::fputs(separator, stdout);
    std::fputs(rows.Text(n, column).c_str(), stdout);
    separator = "\t";
  }
  std::fputc('\n', stdout);
}

void PrintRows(const ProxyListModel& rows) {
  for (int n = 1; n <= rows.Count(); ++n)
    PrintRow(rows, n,
             {ProxyColumn::Address, ProxyColumn::Port, ProxyColumn::Type, ProxyColumn::Location, ProxyColumn::Speed});
}

}  // namespace mivo::cli
