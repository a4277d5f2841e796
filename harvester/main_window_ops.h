// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "harvester/proxy_list_model.h"

namespace mivo {

inline constexpr int kPageAddressCount = 12;
inline constexpr int kListPanel = 1;                                    // row count
inline constexpr int kStatusPanel = 2;                                  // progress and results of commands
inline constexpr int kExportBoxes = 5 + kShownColumns - kProxyColumns;  // Ck0 unused, Ck1..Ck4, then the verification's

// The longest a long step over a large list holds the event loop before it
// lets pending events run.
inline constexpr std::chrono::milliseconds kTurnBudget{12};

// Address box k's starting text: the sample site followed by the page path.
std::string DefaultPageAddress(int k);

// What the main window offers the commands: its rows, selection, status
// panels, page text and settings panel. frmMain implements it over its
// widgets; HeadlessMainOps implements it in memory for tests and the
// command-line program.
class MainWindowOps {
 public:
  virtual ~MainWindowOps() = default;

  virtual ProxyListModel& Rows() = 0;
  // Number of the selected row, 0 when none.
  virtual int SelectedRow() const = 0;
  // Whether row n is among the rows the list shows (a filter may hide some).
  virtual bool RowShown(int n) const = 0;

  virtual void SetPanel(int panel, const std::string& text) = 0;
  virtual std::string Panel(int panel) const = 0;
  // How far a long command has come: `done` of `total`; a total of 0 hides
  // the progress.
  virtual void SetProgress(int done, int total) = 0;

  // The last downloaded page (never shown). Shared, so that a parse reads
  // it without a copy while a later download replaces it.
  const std::string& PageText() const { return *pageText_; }
  std::shared_ptr<const std::string> SharedPageText() const { return pageText_; }
  void SetPageText(std::string text) { pageText_ = std::make_shared<const std::string>(std::move(text)); }

  // Text of address box Text1(k), k = 0..11.
  virtual std::string AddressText(int k) const = 0;
  // Whether export check box Ck2..Ck4 (index 2..4) is ticked; 5.. tick the
  // verification's columns in their order, kExportBoxes boxes in all.
  virtual bool ExportTicked(int ck) const = 0;
  // Text of the separator box Combo1.
  virtual std::string Separator() const = 0;

  // Lets pending user-interface events run once.
  virtual void DoEvents() = 0;
  // The same, but when nothing is pending it first waits up to `atMost`
  // for an event, sleeping in the event loop.
  virtual void DoEventsWaiting(std::chrono::milliseconds atMost);

 private:
  std::shared_ptr<const std::string> pageText_ = std::make_shared<const std::string>();
};

// Slices a long step: Due() says when kTurnBudget has passed since the step
// began or last let events run, Yield() lets them run then.
class EventTurns {
 public:
  explicit EventTurns(MainWindowOps& ops);
  bool Due() const;
  // Runs pending events if due; true when it did.
  bool Yield();

 private:
  MainWindowOps& ops_;
  std::chrono::steady_clock::time_point since_;
};

// The main window's state without widgets.
class HeadlessMainOps : public MainWindowOps {
 public:
  HeadlessMainOps();

  ProxyListModel& Rows() override { return rows; }
  int SelectedRow() const override { return rows.Exists(selected) ? selected : 0; }
  bool RowShown(int n) const override { return !shown || shown(n); }
  void SetPanel(int panel, const std::string& text) override;
  std::string Panel(int panel) const override { return panel == kListPanel ? panel1 : panel2; }
  void SetProgress(int done, int total) override;
  std::string AddressText(int k) const override { return addresses.at(static_cast<std::size_t>(k)); }
  bool ExportTicked(int ck) const override { return exportTicked.at(static_cast<std::size_t>(ck)); }
  std::string Separator() const override { return separator; }
  void DoEvents() override;

  ProxyListModel rows;
  int selected = 0;
  std::function<bool(int n)> shown;                  // none: every row is shown
  std::pair<int, int> progress{0, 0};                // done, total
  std::vector<std::pair<int, int>> progressHistory;  // every change, in order
  std::string panel1;
  std::string panel2;
  std::vector<std::string> statusHistory;  // every text panel 2 has shown, in order
  // A program that only wants the last text (a walk over 100,000 rows sets
  // three texts a row) keeps no history.
  bool keepHistory = true;
  std::function<void(int panel, const std::string& text)> onPanel;
  std::array<std::string, kPageAddressCount> addresses;
  // Ck1..Ck4 at their starting states, the verification's unticked.
  std::array<bool, kExportBoxes> exportTicked{false, true, true, false, false};
  std::string separator = "--";
};

}  // namespace mivo
