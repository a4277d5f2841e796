// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <string>
#include <utility>

namespace mivo {

// Outcome of a write: success, or failure with a text the user can be shown.
struct WriteResult {
  bool ok = true;
  std::string error;

  static WriteResult Done() { return {}; }
  static WriteResult Failed(std::string why) { return {false, std::move(why)}; }
  explicit operator bool() const { return ok; }
};

}  // namespace mivo
