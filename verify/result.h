// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "verify/judge.h"

namespace mivo::verify {

enum class Protocol : std::uint8_t { None, Socks4, Socks5, Http };

// "SOCKS4", "SOCKS5", "HTTP", or "-".
const char* ProtocolText(Protocol p);

// The protocol a list page's type cell names, compared without regard to
// case: "SOCKS5" or "SOCKS 5", then "SOCKS4", then a cell that starts with
// "HTTP" (HTTPS included); None when it names none of them.
Protocol PreferredProtocol(std::string_view typeCell);

// The order in which a row's protocols are tried: the preferred one first,
// then the others in the order SOCKS5, SOCKS4, HTTP.
std::array<Protocol, 3> AttemptOrder(Protocol preferred);

// One proxy to verify, as a line of input names it.
struct Row {
  std::string address;
  std::string port;
  std::string type;  // the page's type cell; may be empty
  // The row's own credentials, used before the run's; none when both are empty.
  std::string user, password;
};

// Why a row cannot be verified at all (no port, a port that is not 0..65535,
// an address that is not a dotted IPv4 address), or nothing when it can.
std::optional<std::string> RowProblem(const Row& row);

enum class Ending : std::uint8_t {
  Pending,      // not verified yet
  TunnelOpen,   // a protocol opened a tunnel to the target
  BadRow,       // see RowProblem
  Unreachable,  // the connection to the proxy failed
  Refused,      // every protocol was refused, answered wrongly or hung up on
  TimedOut,     // the row's time ran out before a tunnel opened
  NoSocket,     // this process could not get a socket for the row, even with nothing else in flight
};

// What verification found for one row; kept for every row of a run, so small.
struct Result {
  Ending ending = Ending::Pending;
  Protocol protocol = Protocol::None;  // the protocol that opened the tunnel
  Anonymity anonymity = Anonymity::Unknown;
  // From the start of the connect of the attempt that opened the tunnel to
  // the proxy's confirmation; -1 when none did.
  std::int32_t handshakeMs = -1;
  std::string exitAddress;  // the judge's REMOTE_ADDR through the proxy

  bool Ok() const { return ending == Ending::TunnelOpen; }
};

}  // namespace mivo::verify
