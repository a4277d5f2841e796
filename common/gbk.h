// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mivo {

// Text inside the program is UTF-8; these convert at the edges where bytes
// meet the outside world in code page 936 (GBK).

// UTF-8 -> GBK. A character GBK cannot hold, or a malformed UTF-8 byte,
// becomes "?" so that the output length stays predictable.
std::string ToGbk(std::string_view utf8);

// GBK -> UTF-8. A byte sequence that is not GBK becomes U+FFFD; a lead byte
// cut off at the end of the input is dropped.
std::string FromGbk(std::string_view gbk);

// Number of GBK bytes ToGbk(utf8) would produce.
std::size_t GbkLength(std::string_view utf8);

// Number of characters (code points) of a UTF-8 text.
std::size_t Utf8Length(std::string_view utf8);

}  // namespace mivo
