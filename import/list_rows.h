// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstddef>
#include <string>

#include "harvester/proxy_list_model.h"
#include "import/importer.h"

namespace mivo::importer {

// The cells of a kept row as the list holds them: address, port, the
// scheme's type cell, the country as the location, and the credentials.
std::string RowCell(const ListImporter& from, const Row& row, ProxyColumn column);

// Appends rows [first, last) of `from` to `list`.
void AppendRows(const ListImporter& from, std::size_t first, std::size_t last, ProxyListModel& list);

// "scheme://[user:pass@]host:port"; a row of no known protocol is written as http.
std::string ProxyUrl(const ListImporter& from, const Row& row);

}  // namespace mivo::importer
