// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "result.h"

#include "common/text.h"
#include "tunnel/tunnel_input.h"

namespace mivo::verify {

const char* ProtocolText(std::optional<ProxyType> p) {
  const char* name = p ? ProxyTypeName(*p) : nullptr;
  return name ? name : "-";
}

std::optional<ProxyType> PreferredProtocol(std::string_view typeCell) {
  const std::string cell = AsciiLower(typeCell);
  if (cell.find("socks5") != std::string::npos || cell.find("socks 5") != std::string::npos) return ProxyType::Socks5;
  if (cell.find("socks4") != std::string::npos) return ProxyType::Socks4;
  if (cell.starts_with("http")) return ProxyType::Http11;
  return std::nullopt;
}

std::array<ProxyType, 3> AttemptOrder(std::optional<ProxyType> preferred) {
  constexpr std::array<ProxyType, 3> kOrder{ProxyType::Socks5, ProxyType::Socks4, ProxyType::Http11};
  if (!preferred) return kOrder;
  std::array<ProxyType, 3> out{*preferred, *preferred, *preferred};
  std::size_t n = 1;
  for (ProxyType p : kOrder)
    if (p != *preferred) out[n++] = p;
  return out;
}

std::optional<std::string> RowProblem(const Row& row) {
  if (row.address.empty()) return std::string("no address");
  if (!IsDottedQuad(row.address)) return "not an IPv4 address: " + Excerpt(row.address);
  if (row.port.empty()) return std::string("no port");
  if (!PortNumber(row.port)) return "the port is not a number from 0 to 65535: " + Excerpt(row.port);
  return std::nullopt;
}

const char* ReasonText(Reason r) {
  switch (r) {
    case Reason::Pending: break;
    case Reason::Passed: return "passed";
    case Reason::BadRow: return "bad-row";
    case Reason::Refused: return "refused";
    case Reason::Unreachable: return "unreachable";
    case Reason::ConnectTimeout: return "connect-timeout";
    case Reason::ProxyRefused: return "proxy-refused";
    case Reason::AuthRequired: return "auth-required";
    case Reason::AuthFailed: return "auth-failed";
    case Reason::BadReply: return "bad-reply";
    case Reason::NoAnswer: return "no-answer";
    case Reason::BadStatus: return "bad-status";
    case Reason::WrongContent: return "wrong-content";
    case Reason::Tls: return "tls";
    case Reason::NoSocket: return "no-socket";
  }
  return "-";
}

}  // namespace mivo::verify
