// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstddef>

namespace mivo {

// Raises the soft open-file limit to the hard limit: a test of all rows
// holds one socket per row. Returns the soft limit now in force.
long RaiseOpenFileLimit();

// Descriptors a walk or a verification leaves to the rest of the process:
// the window, the echo socket, downloads and the tunnel window.
inline constexpr std::size_t kDescriptorReserve = 64;

// How many more sockets the process may open now: the soft open-file limit
// less the descriptors already open and the reserve; at least 1, so that a
// walk always makes progress.
std::size_t SocketAllowance();

}  // namespace mivo
