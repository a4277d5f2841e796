// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>

namespace mivo {

// Starts the sockets layer and checks its version and socket count; every
// problem is shown in a message box. Callers ignore the result.
bool CheckSocketsLayer();
// Cleans the sockets layer up; a failure is shown in a message box.
bool ReleaseSocketsLayer();

constexpr std::uint8_t HighByteOf(std::uint16_t word) { return static_cast<std::uint8_t>(word / 256); }
constexpr std::uint8_t LowByteOf(std::uint16_t word) { return static_cast<std::uint8_t>(word & 255); }

}  // namespace mivo
