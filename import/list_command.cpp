// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "list_command.h"

#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include "harvester/main_window_ops.h"
#include "harvester/status_texts.h"
#include "import/list_rows.h"

namespace mivo::importer {
namespace {

constexpr const char* kSourcesKey = "import/sources";

}  // namespace

void PutIntoList(MainWindowOps& ops, const ListImporter& from, ListMerge merge) {
  ProxyListModel& list = ops.Rows();
  if (merge == ListMerge::Replace) list.Clear();
  const std::size_t total = from.Rows().size();
  for (std::size_t first = 0; first < total; first += kRowsPerTurn) {
    ops.SetProgress(static_cast<int>(first), static_cast<int>(total));
    ops.DoEvents();
    AppendRows(from, first, std::min(total, first + kRowsPerTurn), list);
  }
  ops.SetProgress(0, 0);
  ops.SetPanel(kStatusPanel, ImportStatusText(from));
  ops.SetPanel(kListPanel, "共: " + std::to_string(list.Count()) + " 行");
}

std::string ImportStatusText(const ListImporter& from) {
  const Counts c = from.Total();
  std::string text = "导入完成: 行 " + std::to_string(c.lines) + ", 保留 " + std::to_string(c.kept) + ", 重复 " +
                     std::to_string(c.duplicates) + ", 跳过 " + std::to_string(c.Skipped());
  int failed = 0;
  std::string first;
  for (const SourceReport& s : from.Sources())
    if (!s.Read() && failed++ == 0) first = s.error;
  if (failed > 0) text += "; " + std::to_string(failed) + " 个源读取失败: " + first;
  return text;
}

QString ListSourcesFile() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/mivoproxy/mivoproxy.conf";
}

std::vector<std::string> LoadListSources(const QString& file) {
  std::vector<std::string> sources;
  for (const QString& s : QSettings(file, QSettings::IniFormat).value(kSourcesKey).toStringList())
    if (!s.trimmed().isEmpty()) sources.push_back(s.trimmed().toStdString());
  return sources;
}

bool SaveListSources(const QString& file, const std::vector<std::string>& sources) {
  QStringList list;
  for (const std::string& s : sources) list << QString::fromStdString(s);
  QSettings settings(file, QSettings::IniFormat);
  settings.setValue(kSourcesKey, list);
  settings.sync();
  return settings.status() == QSettings::NoError;
}

}  // namespace mivo::importer
