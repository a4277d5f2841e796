// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "print_rows.h"

namespace mivo::cli {

void EchoPanelsToStderr(HeadlessMainOps& ops) {
  ops.onPanel = [](int, const std::string& text) { WriteErrLine(text); };
}

std::vector<Cell> RowCells(const ProxyListModel& rows, int n, std::initializer_list<ProxyColumn> columns) {
  std::vector<Cell> cells;
  cells.reserve(columns.size());
  for (const ProxyColumn column : columns) cells.emplace_back(rows.Text(n, column));
  return cells;
}

void PrintRows(const ProxyListModel& rows) {
  RowWriter writer(OutputFormat::Text);
  for (int n = 1; n <= rows.Count(); ++n)
    writer.Write(RowCells(
        rows, n,
        {ProxyColumn::Address, ProxyColumn::Port, ProxyColumn::Type, ProxyColumn::Location, ProxyColumn::Speed}));
  writer.Finish();
}

}  // namespace mivo::cli
