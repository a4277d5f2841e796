// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "import/list_command.h"

class QMenu;
class QPlainTextEdit;
class QTableView;
class QWidget;

namespace mivo {

class frmMain;

// The window's ways to bring in lists of any format: "导入列表..." and
// "获取所有列表源" under 获取地址, files or text dropped onto the list, and
// the list-source addresses in the settings panel.
class ImportCommands : public QObject {
  Q_OBJECT

 public:
  ImportCommands(frmMain& window, QTableView& list, QWidget& settingsPanel);

  // Asks whether the rows replace the list or follow it; nothing: cancelled.
  // Tests answer it; by default a message box asks.
  std::function<std::optional<importer::ListMerge>()> askMerge;

  void ImportSources(const std::vector<std::string>& sources);
  void ImportText(const std::string& name, const std::string& bytes);
  void ImportAllListSources();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ImportList();
  void Finish(importer::ListImporter& im);
  std::optional<importer::ListMerge> AskMerge();

  frmMain& window_;
  QTableView& list_;
  // Kept apart: events still reach the filter while the list is torn down.
  QWidget* viewport_ = nullptr;
  QPlainTextEdit* sources_ = nullptr;
  QString sourcesFile_;
};

}  // namespace mivo
