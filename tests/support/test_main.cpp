// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QApplication>

#include <gtest/gtest.h>

#include "common/presenter.h"

// Every test program runs with an application object, offscreen, and with
// message boxes recorded instead of shown.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  mivo::RecordingPresenter silent;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
