// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <vector>

#include "import/importer.h"

namespace mivo {
class MainWindowOps;
}

namespace mivo::importer {

// Whether a source names an address to download rather than a file.
bool IsUrlSource(const std::string& source);

// Reads a file, or standard input for "-", in pieces into `into` as one
// source; one that cannot be read is recorded with the reason.
void ImportFile(ListImporter& into, const std::string& path);

// Every source in the order given: all addresses are downloaded at once
// (through the page download, with its size cap and time-out) while the
// files are read. A failing source is recorded and the others go on.
void ImportSources(ListImporter& into, MainWindowOps& ops, const std::vector<std::string>& sources);

}  // namespace mivo::importer
