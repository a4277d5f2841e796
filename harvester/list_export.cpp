#include "list_export.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "common/gbk.h"
#include "harvester/main_window_ops.h"

namespace mivo {
namespace {

constexpr const char* kTextExportFailed = "导出列表失败: ";

}  // namespace

ExportSettings ReadExportSettings(const MainWindowOps& ops) {
  return {ops.ExportCheck(2) == 1, ops.ExportCheck(3) == 1, ops.ExportCheck(4) == 1, ops.Separator()};
}

std::string ExportLine(const ProxyListModel& rows, int n, const ExportSettings& settings) {
  std::string line = rows.Text(n, 0);
  const bool ticked[] = {settings.port, settings.type, settings.location};
  for (int k = 1; k <= 3; ++k) {
    if (!ticked[k - 1]) continue;
    line += settings.separator;
    line += rows.Text(n, k);
  }
  return line;
}

WriteResult WriteExport(QIODevice& device, MainWindowOps& ops) {
  const ProxyListModel& rows = ops.Rows();
  for (int n = 1; n <= rows.Count(); ++n) {
    // Read for every row; nothing can change them while the export runs.
    const std::string line = ToGbk(ExportLine(rows, n, ReadExportSettings(ops))) + "\r\n";
    // A line skipped after a failure would leave a file that looks whole.
    if (device.write(line.data(), static_cast<qint64>(line.size())) != static_cast<qint64>(line.size()))
      return WriteResult::Failed(device.errorString().toStdString());
  }
  return WriteResult::Done();
}

void uploadlst(MainWindowOps& ops) { uploadlst(ops, QCoreApplication::applicationDirPath()); }

void uploadlst(MainWindowOps& ops, const QString& directory) {
  if (ops.Rows().Count() == 0) return;
  QFile file(QDir(directory).filePath(QString::fromUtf8(kExportFileName)));
  WriteResult result;
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
    result = WriteResult::Failed(file.errorString().toStdString());
  else if (result = WriteExport(file, ops); result && !file.flush())
    result = WriteResult::Failed(file.errorString().toStdString());
  file.close();
  if (!result) ops.SetPanel(kStatusPanel, kTextExportFailed + file.fileName().toStdString() + ": " + result.error);
}

}  // namespace mivo
