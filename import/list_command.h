// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QString>

#include <string>
#include <vector>

#include "import/importer.h"

namespace mivo {
class MainWindowOps;
}

namespace mivo::importer {

enum class ListMerge { Replace, Append };

// Rows appended between two turns of the event loop: a 100,000-row list
// then never holds the window still for long.
inline constexpr std::size_t kRowsPerTurn = 1000;

// The rows `from` kept into the list, in place of what it holds or after
// it, letting other events run between slices; then the panels report the
// counts as the page commands report theirs.
void PutIntoList(MainWindowOps& ops, const ListImporter& from, ListMerge merge);

// "导入完成: 行 12, 保留 9, 重复 1, 跳过 2", and the sources that could not be read.
std::string ImportStatusText(const ListImporter& from);

// The list-source addresses kept between runs, one per entry, in
// `$XDG_CONFIG_HOME/mivoproxy/mivoproxy.conf` under [import] sources.
QString ListSourcesFile();
std::vector<std::string> LoadListSources(const QString& file);
bool SaveListSources(const QString& file, const std::vector<std::string>& sources);

}  // namespace mivo::importer
