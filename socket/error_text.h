// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <string>

namespace mivo {

// The Chinese sentence the socket control reports for an error number.
std::string ErrorText(std::int32_t number);

}  // namespace mivo
