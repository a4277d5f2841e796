// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <array>
#include <string>

#include "harvester/proxy_list_model.h"

#include "harvester/write_result.h"

class QIODevice;
class QString;

namespace mivo {

class MainWindowOps;
class ProxyListModel;

inline constexpr const char* kExportFileName = "mivoProxyinfo.txt";

// The export settings frame: which columns follow the address, and the
// separator put before each of them.
struct ExportSettings {
  bool port = false;
  bool type = false;
  bool location = false;
  std::string separator;
  // The verification's columns, from ProxyColumn::Protocol on.
  std::array<bool, kShownColumns - kProxyColumns> verification{};
};
ExportSettings ReadExportSettings(const MainWindowOps& ops);

// Row n (from 1) as one export line, without its line end.
std::string ExportLine(const ProxyListModel& rows, int n, const ExportSettings& settings);

// Writes every row in list order to `device` (open for writing), in GBK with
// CR LF after every line. Stops at the first write the device refuses.
WriteResult WriteExport(QIODevice& device, MainWindowOps& ops);

// Writes the list to the export file in the program's directory. An installed
// program's folder usually takes no new file: then the file goes to the
// user's documents folder and the status panel says where.
void uploadlst(MainWindowOps& ops);
// The same with the program's folder and the folder to fall back to given.
void uploadlst(MainWindowOps& ops, const QString& programDirectory, const QString& fallbackDirectory);
// Writes the export file into `directory`, whole or not at all.
void uploadlst(MainWindowOps& ops, const QString& directory);

// Whether a new file can be made in `directory`. Permission bits cannot
// tell: root passes them, and a read-only mount refuses root too.
bool CanCreateFileIn(const QString& directory);
// The user's documents folder, or the home folder where there is none.
QString DocumentsFolder();

}  // namespace mivo
