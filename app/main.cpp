// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QApplication>

#include <cstdio>

#include "common/fdlimit.h"
#include "common/ui/widgets.h"
#include "harvester/ui/frm_main.h"

namespace {

// Qt aborts with a toolkit message when it finds no display; say it plainly.
bool HasDisplay() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "mivoproxy is a desktop program and found no display to open its window on.\n"
                 "Run it inside a graphical session, or under a virtual display: xvfb-run build/app/mivoproxy\n");
    return 1;
  }
  // A test of all rows holds one socket per row.
  mivo::RaiseOpenFileLimit();
  QApplication app(argc, argv);
  // Lets the desktop match the windows to the installed entry and its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.mivoproxy"));
  mivo::MessageBoxPresenter presenter;
  mivo::SetPresenter(&presenter);
  mivo::frmMain window;
  window.show();
  const int rc = app.exec();
  mivo::SetPresenter(nullptr);
  return rc;
}
