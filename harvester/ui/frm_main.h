// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QMainWindow>
#include <QPointer>

#include <array>
#include <string>

#include "harvester/connection_tester.h"
#include "harvester/main_window_ops.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QTableView;

namespace mivo {

class pTest;
class VerifyCommands;
class ListViewFilter;

// The main window: proxy list, settings panel, status bar and every command.
class frmMain : public QMainWindow, public MainWindowOps {
  Q_OBJECT

 public:
  explicit frmMain(QWidget* parent = nullptr);
  ~frmMain() override;

  ProxyListModel& Rows() override { return rows_; }
  int SelectedRow() const override;
  bool RowShown(int n) const override;
  void SetPanel(int panel, const std::string& text) override;
  std::string Panel(int panel) const override;
  void SetProgress(int done, int total) override;
  std::string AddressText(int k) const override;
  bool ExportTicked(int ck) const override;
  std::string Separator() const override;
  void DoEvents() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildList();
  void BuildFilterBar();
  void BuildStatusBar();
  void BuildSettingsPanel();
  void BuildMenus();
  QAction* AddCommand(QMenu* menu, const char* name, const char* caption);
  void AddSeparator(QMenu* menu, const char* name);
  void LayOutClient();

  void Meset1();
  void prolist();
  void Ptst();

  ProxyListModel rows_;
  ConnectionTester Wsktest_;
  VerifyCommands* verify_ = nullptr;  // a walk ends a running verification

  QWidget* client_ = nullptr;
  ListViewFilter* shown_ = nullptr;  // between rows_ and Lw1
  QWidget* filterBar_ = nullptr;
  QTableView* Lw1 = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* panel1_ = nullptr;
  QLabel* panel2_ = nullptr;
  QFrame* F1 = nullptr;
  std::array<QLineEdit*, kPageAddressCount> Text1{};
  std::array<QCheckBox*, kExportBoxes> Ck{};  // Ck1..Ck4 at 1..4, then the verification's
  QComboBox* Combo1 = nullptr;
  QMenu* setpromenu = nullptr;
  QPointer<pTest> pTest_;  // while the tunnel window is loaded
};

}  // namespace mivo
