// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <vector>

#include "common/installed.h"

namespace mivo {

// The title the program's own message boxes carry.
inline constexpr const char* kAppTitle = "mivoproxy";

enum class MsgIcon { None, Critical, Question, Exclamation, Information };

struct ShownMessage {
  std::string text;
  std::string title;
  MsgIcon icon = MsgIcon::None;
};

// Every modal message box of the program goes through the current presenter,
// so that tests can answer it without a display.
class Presenter {
 public:
  virtual ~Presenter() = default;
  virtual void ShowMessage(const ShownMessage& message) = 0;
};

// The presenter in force; until one is installed, messages go to stderr.
Presenter& CurrentPresenter();
// Installs `p` (not owned) and returns the previous one; nullptr restores stderr.
Presenter* SetPresenter(Presenter* p);

inline void ShowMessage(std::string text, std::string title = kAppTitle, MsgIcon icon = MsgIcon::None) {
  CurrentPresenter().ShowMessage({std::move(text), std::move(title), icon});
}

// Records what would have been shown; installs itself for its lifetime.
class RecordingPresenter : public Installed<Presenter, &SetPresenter> {
 public:
  void ShowMessage(const ShownMessage& message) override { shown.push_back(message); }

  std::vector<ShownMessage> shown;
};

}  // namespace mivo
