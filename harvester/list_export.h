#pragma once

#include <string>

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
};
ExportSettings ReadExportSettings(const MainWindowOps& ops);

// Row n (from 1) as one export line, without its line end.
std::string ExportLine(const ProxyListModel& rows, int n, const ExportSettings& settings);

// Writes every row in list order to `device` (open for writing), in GBK with
// CR LF after every line. Stops at the first write the device refuses.
WriteResult WriteExport(QIODevice& device, MainWindowOps& ops);

// Writes the list to the export file in the program's directory.
void uploadlst(MainWindowOps& ops);
// The same into `directory`.
void uploadlst(MainWindowOps& ops, const QString& directory);

}  // namespace mivo
