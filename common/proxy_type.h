// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <array>
#include <cstdint>

namespace mivo {

// The proxy protocols: the handshake engine's ProxyKind values, what the
// verifier reports and what the sample site's proxies speak.
enum class ProxyType : std::int16_t { Socks4 = 0, Socks5 = 1, Http11 = 2 };

inline constexpr std::array<ProxyType, 3> kProxyTypes{ProxyType::Socks4, ProxyType::Socks5, ProxyType::Http11};

// "SOCKS4", "SOCKS5", "HTTP"; nullptr for a value that names none.
constexpr const char* ProxyTypeName(ProxyType type) {
  switch (type) {
    case ProxyType::Socks4: return "SOCKS4";
    case ProxyType::Socks5: return "SOCKS5";
    case ProxyType::Http11: return "HTTP";
  }
  return nullptr;
}

}  // namespace mivo
