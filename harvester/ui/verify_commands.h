// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QObject>
#include <QString>

#include "harvester/list_verify.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;
class QWidget;

namespace mivo {

class ConnectionTester;
class frmMain;

// "验证所有" and "验证选中" in the 设置代理 menu, and the verification's
// settings in the settings panel, kept in the user's settings file (the
// password in the desktop's secret store, or for the run only without one).
// A walk and a verification never run at once.
class VerifyCommands : public QObject {
  Q_OBJECT

 public:
  VerifyCommands(frmMain& window, ConnectionTester& walk, QWidget& settingsPanel);

  void VerifyAll();
  void VerifySelected();
  // Ends a running verification, if any.
  void Stop() { verification_.Stop(); }
  bool Running() const { return verification_.Running(); }
  VerifySettings Settings() const;

 private:
  void BuildSettings(QWidget& panel);
  void Verify(std::vector<int> rows);
  void Save();
  void ReadPassword();
  void WritePassword();
  void PasswordForRunOnly(const QString& why);
  void ShowRunning();

  frmMain& window_;
  ConnectionTester& walk_;
  ListVerification verification_;
  QString file_;
  QPlainTextEdit* judges_ = nullptr;
  QLineEdit* url_ = nullptr;
  QLineEdit* expect_ = nullptr;
  QLineEdit* user_ = nullptr;
  QLineEdit* password_ = nullptr;
  QSpinBox* timeout_ = nullptr;
  QSpinBox* concurrency_ = nullptr;
  QLabel* passwordNote_ = nullptr;
  bool loading_ = false;
};

}  // namespace mivo
