// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QWidget>

#include <memory>

#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_session.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;

namespace mivo {

// The tunnel test window. It drives the process-wide handshake context over
// its own socket control, which lives and dies with the window.
class pTest : public QWidget, private TunnelView {
  Q_OBJECT

 public:
  // Winsock1 is a WinSock control.
  explicit pTest(QWidget* parent = nullptr);
  // Winsock1 is `socket`.
  explicit pTest(std::unique_ptr<TunnelSocket> socket, QWidget* parent = nullptr);
  ~pTest() override;

  // The proxy boxes Text1 and Text2, as the main window's Ptst fills them.
  void SetProxy(const QString& address, const QString& port);
  std::string Status() const;
  TunnelSocket& Winsock1() { return *Winsock1_; }

 private:
  void Load();
  void Combo1_Click();
  void Check1_Click();
  void Command1_Click();
  void Command2_Click();

  // TunnelView
  void SetStatus(const std::string& text) override;
  void ShowMessageBox(const std::string& text, const std::optional<std::string>& title, MsgIcon icon) override;
  int AuthTicked() const override;
  std::string TargetHostText() const override;
  std::string TargetPortText() const override;
  std::string UserText() const override;
  std::string PasswordText() const override;
  void SendBytes(const Bytes& bytes) override;
  void SendText(const std::string& text) override;
  void Close() override;

  std::unique_ptr<TunnelSocket> Winsock1_;
  TunnelSession session_;

  QLabel* Label1 = nullptr;
  QLineEdit* Text1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Text2 = nullptr;
  QGroupBox* Frame1 = nullptr;
  QCheckBox* Check1 = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* Text3 = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* Text4 = nullptr;
  QLabel* Label5 = nullptr;
  QComboBox* Combo1 = nullptr;
  QPushButton* Command1 = nullptr;
  QPushButton* Command2 = nullptr;
  QGroupBox* Frame2 = nullptr;
  QLabel* Label6 = nullptr;
  QLineEdit* Text5 = nullptr;
  QLabel* Label7 = nullptr;
  QLineEdit* Text6 = nullptr;
  QStatusBar* Stb2 = nullptr;
  QLabel* panel1_ = nullptr;
};

}  // namespace mivo
