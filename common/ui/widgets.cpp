// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace mivo {

void MessageBoxPresenter::ShowMessage(const ShownMessage& m) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (m.icon) {
    case MsgIcon::None: icon = QMessageBox::NoIcon; break;
    case MsgIcon::Critical: icon = QMessageBox::Critical; break;
    case MsgIcon::Question: icon = QMessageBox::Question; break;
    case MsgIcon::Exclamation: icon = QMessageBox::Warning; break;
    case MsgIcon::Information: icon = QMessageBox::Information; break;
  }
  QMessageBox box(icon, UiText(m.title), UiText(m.text), QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

QLabel* NewLabel(QWidget* parent, const QString& name, std::string_view caption, QRect where) {
  auto* label = new QLabel(UiText(caption), parent);
  label->setObjectName(name);
  label->setGeometry(where);
  return label;
}

QLineEdit* NewLineEdit(QWidget* parent, const QString& name, std::string_view text, QRect where) {
  auto* box = new QLineEdit(UiText(text), parent);
  box->setObjectName(name);
  box->setGeometry(where);
  return box;
}

int Twips(int twips) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
  return static_cast<int>(std::lround(twips / 15.0 * dpi / 96.0));
}

QRect TwipsRect(int left, int top, int width, int height) {
  return QRect(Twips(left), Twips(top), Twips(width), Twips(height));
}

void CentreOnScreen(QWidget& window) {
  const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = window.frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

QIcon AppIcon() {
  // PNG sizes rather than the SVG: Qt draws SVG only with a plugin the
  // program does not otherwise need.
  QIcon icon;
  for (const int size : {48, 64, 128, 256}) icon.addFile(QString(":/icons/%1x%1/io.github.mivoproxy.png").arg(size));
  return icon;
}

}  // namespace mivo
