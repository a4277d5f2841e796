// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// Inside the socket control: how its events reach their handlers.

#include <memory>
#include <utility>

namespace mivo {

// Calls a handler, when one is set, through a copy: the handler may destroy
// the control and with it the original.
template <typename Fn, typename... Args>
void CallCopy(const Fn& handler, Args&&... args) {
  if (!handler) return;
  Fn fn = handler;
  fn(std::forward<Args>(args)...);
}

// Raises an event of the control that `alive` belongs to; returns whether
// the control still exists afterwards.
template <typename Fn, typename... Args>
bool Fire(const std::shared_ptr<bool>& alive, const Fn& handler, Args&&... args) {
  if (!handler) return true;
  const std::shared_ptr<bool> keep = alive;
  CallCopy(handler, std::forward<Args>(args)...);
  return *keep;
}

}  // namespace mivo
