// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/proxy_type.h"
#include "verify/judge.h"

namespace mivo::verify {

// "SOCKS4", "SOCKS5", "HTTP", or "-".
const char* ProtocolText(std::optional<ProxyType> p);

// The protocol a list page's type cell names, compared without regard to
// case: "SOCKS5" or "SOCKS 5", then "SOCKS4", then a cell that starts with
// "HTTP" (HTTPS included); nothing when it names none of them.
std::optional<ProxyType> PreferredProtocol(std::string_view typeCell);

// The order in which a row's protocols are tried: the preferred one first,
// then the others in the order SOCKS5, SOCKS4, HTTP.
std::array<ProxyType, 3> AttemptOrder(std::optional<ProxyType> preferred);

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

// How a row ended: passed, or why not. The names are what the output says.
enum class Reason : std::uint8_t {
  Pending,         // not verified yet
  Passed,          // the check asked for was met through the proxy
  BadRow,          // see RowProblem
  Refused,         // the proxy's port refused the connection
  Unreachable,     // no route to the proxy
  ConnectTimeout,  // the proxy did not accept the connection in time
  ProxyRefused,    // the protocol's own refusal reply
  AuthRequired,    // the proxy wants credentials that were not given
  AuthFailed,      // the proxy rejected the credentials given
  BadReply,        // bytes that are not the protocol (or not HTTP, from the far side)
  NoAnswer,        // nothing usable came in time: from the proxy, or through it
  BadStatus,       // the far side's answer had no 2xx status
  WrongContent,    // not the judge's answer, or without the text expected
  Tls,             // the far side's certificate did not verify through the proxy
  NoSocket,        // this process could get no socket for the row, even with nothing else in flight
};

// "passed", "refused", "connect-timeout", ...; "-" while pending.
const char* ReasonText(Reason r);

// What verification found for one row; kept for every row of a run, so small.
struct Result {
  Reason reason = Reason::Pending;
  std::optional<ProxyType> protocol;  // the protocol that opened the tunnel
  Anonymity anonymity = Anonymity::Unknown;
  // The attempt that got furthest, in ms; -1 for a stage it did not reach.
  std::int32_t connectMs = -1;    // connect started -> the proxy accepted
  std::int32_t handshakeMs = -1;  // accepted -> the tunnel opened
  std::int32_t answerMs = -1;     // request sent through the proxy -> the answer's first byte
  std::string exitAddress;        // the judge's REMOTE_ADDR through the proxy

  bool Ok() const { return reason == Reason::Passed; }
};

}  // namespace mivo::verify
