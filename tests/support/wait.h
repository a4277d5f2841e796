// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace mivo::test {

// Runs the event loop until `done()` holds or `ms` milliseconds have passed;
// returns whether it holds. Sleeps in the loop between events; the ticking
// timer only makes sure the deadline is seen.
template <typename Pred>
bool WaitUntil(Pred done, int ms = 5000) {
  QDeadlineTimer deadline(ms);
  QTimer tick;
  tick.start(20);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// Lets what is already queued run, for tests that check something does NOT
// happen after an action.
inline void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

}  // namespace mivo::test
