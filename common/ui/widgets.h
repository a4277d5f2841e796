// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QIcon>
#include <QRect>
#include <QString>

#include <string>
#include <string_view>

#include "common/presenter.h"

class QLabel;
class QLineEdit;
class QWidget;

namespace mivo {

// Shows messages as modal message boxes over the active window.
class MessageBoxPresenter : public Presenter {
 public:
  void ShowMessage(const ShownMessage& message) override;
};

// The program's UTF-8 text as a widget shows it, and a widget's text as UTF-8.
inline QString UiText(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
inline std::string Utf8(const QString& text) { return text.toStdString(); }

// A label or line edit in `parent`, with its object name, text and place.
QLabel* NewLabel(QWidget* parent, const QString& name, std::string_view caption, QRect where);
QLineEdit* NewLineEdit(QWidget* parent, const QString& name, std::string_view text, QRect where);

// Twips -> pixels: 15 twips a pixel at 96 DPI, scaled by the screen's DPI.
int Twips(int twips);
QRect TwipsRect(int left, int top, int width, int height);

// Moves `window` to the middle of its screen.
void CentreOnScreen(QWidget& window);

// The program's icon, for every window's title bar.
QIcon AppIcon();

}  // namespace mivo
