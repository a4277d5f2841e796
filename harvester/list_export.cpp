// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "list_export.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <utility>

#include "common/gbk.h"
#include "harvester/main_window_ops.h"
#include "harvester/status_texts.h"

namespace mivo {
namespace {

QString ExportPath(const QString& directory) { return QDir(directory).filePath(QString::fromUtf8(kExportFileName)); }

// Returns whether the file was written; a failure is shown in the status panel.
bool ExportInto(MainWindowOps& ops, const QString& directory) {
  // Written beside the target and renamed over it at the end: a failed
  // export leaves no partial file, and an earlier export stays whole.
  QSaveFile file(ExportPath(directory));
  WriteResult result;
  if (!file.open(QIODevice::WriteOnly)) {
    result = WriteResult::Failed(file.errorString().toStdString());
  } else {
    result = WriteExport(file, ops);
    // commit() misses a flush that got only part of the bytes out (a full
    // disk) and would keep the cut file, so flush here. Such a flush gives
    // no reason; trying the rest once more gives the system's.
    if (!file.flush() && !file.flush()) result = WriteResult::Failed(file.errorString().toStdString());
    if (!result)
      file.cancelWriting();
    else if (!file.commit())
      result = WriteResult::Failed(file.errorString().toStdString());
  }
  if (!result) ops.SetPanel(kStatusPanel, kTextExportFailed + file.fileName().toStdString() + ": " + result.error);
  return result.ok;
}

}  // namespace

ExportSettings ReadExportSettings(const MainWindowOps& ops) {
  ExportSettings s{ops.ExportTicked(2), ops.ExportTicked(3), ops.ExportTicked(4), ops.Separator(), {}};
  for (std::size_t i = 0; i < s.verification.size(); ++i) s.verification[i] = ops.ExportTicked(5 + static_cast<int>(i));
  return s;
}

std::string ExportLine(const ProxyListModel& rows, int n, const ExportSettings& settings) {
  std::string line = rows.Text(n, ProxyColumn::Address);
  const std::pair<bool, ProxyColumn> chosen[] = {{settings.port, ProxyColumn::Port},
                                                 {settings.type, ProxyColumn::Type},
                                                 {settings.location, ProxyColumn::Location}};
  for (const auto& [ticked, column] : chosen) {
    if (!ticked) continue;
    line += settings.separator;
    line += rows.Text(n, column);
  }
  for (std::size_t i = 0; i < settings.verification.size(); ++i) {
    if (!settings.verification[i]) continue;
    line += settings.separator;
    line += rows.Text(n, ShownColumn(kProxyColumns + static_cast<int>(i)));
  }
  return line;
}

WriteResult WriteExport(QIODevice& device, MainWindowOps& ops) {
  const ProxyListModel& rows = ops.Rows();
  for (int n = 1; n <= rows.Count(); ++n) {
    // With a filter set, the rows the user sees.
    if (!ops.RowShown(n)) continue;
    // Read for every row; nothing can change them while the export runs.
    const std::string line = ToGbk(ExportLine(rows, n, ReadExportSettings(ops))) + "\r\n";
    // A line skipped after a failure would leave a file that looks whole.
    if (device.write(line.data(), static_cast<qint64>(line.size())) != static_cast<qint64>(line.size()))
      return WriteResult::Failed(device.errorString().toStdString());
  }
  return WriteResult::Done();
}

void uploadlst(MainWindowOps& ops) { uploadlst(ops, QCoreApplication::applicationDirPath(), DocumentsFolder()); }

void uploadlst(MainWindowOps& ops, const QString& programDirectory, const QString& fallbackDirectory) {
  if (ops.Rows().Count() == 0) return;
  if (CanCreateFileIn(programDirectory)) {
    ExportInto(ops, programDirectory);
  } else if (ExportInto(ops, fallbackDirectory)) {
    ops.SetPanel(kStatusPanel, kTextExportedTo + QDir::toNativeSeparators(ExportPath(fallbackDirectory)).toStdString());
  }
}

void uploadlst(MainWindowOps& ops, const QString& directory) {
  if (ops.Rows().Count() == 0) return;
  ExportInto(ops, directory);
}

bool CanCreateFileIn(const QString& directory) {
  QTemporaryFile probe(QDir(directory).filePath(QStringLiteral(".mivoproxy-probe-XXXXXX")));
  return probe.open();
}

QString DocumentsFolder() {
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return !documents.isEmpty() && QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

}  // namespace mivo
