// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mivo {

// Returns `text` with `key` in `[group]` set to `value`, every other line kept
// as it was: comments, other groups and keys the program does not know. Every
// entry of `key` in the group is set; a missing key becomes the group's last
// entry and a missing group is added at the end. Lines end in LF, the last too.
std::string SetIniValue(std::string_view text, std::string_view group, std::string_view key, std::string_view value);

// The value of the first entry of `key` in `[group]`, as written (escapes
// kept); nullopt when there is none.
std::optional<std::string> IniValue(std::string_view text, std::string_view group, std::string_view key);

// Escapes a value so that a reader of KDE's configuration files gets it back
// whole: backslash, CR, LF and tab as escapes, a space at either end as "\s".
std::string EscapeIniValue(std::string_view value);

}  // namespace mivo
