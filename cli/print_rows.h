// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <initializer_list>
#include <vector>

#include "cli/output.h"
#include "harvester/main_window_ops.h"

namespace mivo::cli {

// Status texts go to stderr as they are set.
void EchoPanelsToStderr(HeadlessMainOps& ops);
// Row n's `columns`, as cells for a RowWriter.
std::vector<Cell> RowCells(const ProxyListModel& rows, int n, std::initializer_list<ProxyColumn> columns);
// One line per row: address, port, type, location, speed.
void PrintRows(const ProxyListModel& rows);

}  // namespace mivo::cli
