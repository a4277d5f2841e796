// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "result.h"

#include "common/text.h"
#include "tunnel/tunnel_input.h"

namespace mivo::verify {

const char* ProtocolText(Protocol p) {
  switch (p) {
    case Protocol::Socks4: return "SOCKS4";
    case Protocol::Socks5: return "SOCKS5";
    case Protocol::Http: return "HTTP";
    case Protocol::None: break;
  }
  return "-";
}

Protocol PreferredProtocol(std::string_view typeCell) {
  const std::string cell = AsciiLower(typeCell);
  if (cell.find("socks5") != std::string::npos || cell.find("socks 5") != std::string::npos) return Protocol::Socks5;
  if (cell.find("socks4") != std::string::npos) return Protocol::Socks4;
  if (cell.starts_with("http")) return Protocol::Http;
  return Protocol::None;
}

std::array<Protocol, 3> AttemptOrder(Protocol preferred) {
  std::array<Protocol, 3> order{Protocol::Socks5, Protocol::Socks4, Protocol::Http};
  if (preferred == Protocol::None) return order;
  std::array<Protocol, 3> out{preferred, Protocol::None, Protocol::None};
  std::size_t n = 1;
  for (Protocol p : order)
    if (p != preferred) out[n++] = p;
  return out;
}

std::optional<std::string> RowProblem(const Row& row) {
  if (row.address.empty()) return std::string("no address");
  if (!IsDottedQuad(row.address)) return "not an IPv4 address: " + Excerpt(row.address);
  if (row.port.empty()) return std::string("no port");
  if (!PortNumber(row.port)) return "the port is not a number from 0 to 65535: " + Excerpt(row.port);
  return std::nullopt;
}

}  // namespace mivo::verify
