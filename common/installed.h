// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <utility>

namespace mivo {

// A stand-in for one of the process's replaceable services (sockets layer,
// echo sender, presenter, download clock) that puts itself in force through
// `Install` for its lifetime and then restores the one it replaced. `Install`
// takes the new service and returns the previous one.
template <class Base, auto Install>
class Installed : public Base {
 public:
  template <class... Args>
  explicit Installed(Args&&... args) : Base(std::forward<Args>(args)...), previous_(Install(this)) {}
  ~Installed() { Install(previous_); }
  Installed(const Installed&) = delete;
  Installed& operator=(const Installed&) = delete;

 private:
  decltype(Install(nullptr)) previous_;
};

}  // namespace mivo
