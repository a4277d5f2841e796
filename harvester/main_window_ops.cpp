// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "main_window_ops.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace mivo {

namespace {
constexpr const char* kSampleSite = "http://127.0.0.1:8086";
constexpr std::array<const char*, kPageAddressCount> kPagePaths{
    "/proxy1.html", "/proxy3.html", "/proxy3.html", "/proxy4.html",  "/proxy5.html",    "/proxy6.html",
    "/proxy7.html", "/proxy8.html", "/proxy9.html", "/proxy10.html", "/proxyedu1.html", "/proxyedu2.html",
};
}  // namespace

std::string DefaultPageAddress(int k) { return std::string(kSampleSite) + kPagePaths.at(static_cast<std::size_t>(k)); }

void MainWindowOps::DoEventsWaiting(std::chrono::milliseconds atMost) {
  if (!QCoreApplication::instance()) return;
  QTimer wake;  // its expiry is the event that ends a quiet wait
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(atMost);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

EventTurns::EventTurns(MainWindowOps& ops) : ops_(ops), since_(std::chrono::steady_clock::now()) {}

bool EventTurns::Due() const { return std::chrono::steady_clock::now() - since_ >= kTurnBudget; }

bool EventTurns::Yield() {
  if (!Due()) return false;
  ops_.DoEvents();
  since_ = std::chrono::steady_clock::now();
  return true;
}

HeadlessMainOps::HeadlessMainOps() {
  for (int k = 0; k < kPageAddressCount; ++k) addresses[static_cast<std::size_t>(k)] = DefaultPageAddress(k);
}

void HeadlessMainOps::SetPanel(int panel, const std::string& text) {
  if (panel == kListPanel) {
    panel1 = text;
  } else {
    panel2 = text;
    if (keepHistory) statusHistory.push_back(text);
  }
  if (onPanel) onPanel(panel, text);
}

void HeadlessMainOps::SetProgress(int done, int total) {
  if (std::pair{done, total} == progress) return;
  progress = {done, total};
  if (keepHistory) progressHistory.push_back(progress);
}

void HeadlessMainOps::DoEvents() {
  if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

}  // namespace mivo
