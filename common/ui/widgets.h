#pragma once

#include <QIcon>
#include <QRect>

#include "common/presenter.h"

class QWidget;

namespace mivo {

// Shows messages as modal message boxes over the active window.
class MessageBoxPresenter : public Presenter {
 public:
  void ShowMessage(const ShownMessage& message) override;
};

// Twips -> pixels: 15 twips a pixel at 96 DPI, scaled by the screen's DPI.
int Twips(int twips);
QRect TwipsRect(int left, int top, int width, int height);

// Moves `window` to the middle of its screen.
void CentreOnScreen(QWidget& window);

// The program's icon, for every window's title bar.
QIcon AppIcon();

}  // namespace mivo
