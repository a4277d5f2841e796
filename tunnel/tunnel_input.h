// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mivo {

struct Moduleproxy;

// Four dot-separated decimal numbers, each 0..255 ("127.0.0.1").
bool IsDottedQuad(std::string_view text);
// A decimal number 0..65535, spaces around it allowed; empty when not one.
std::optional<std::int32_t> PortNumber(std::string_view text);
// A host that fits an HTTP request line: not empty, no spaces or control characters.
bool IsHttpHost(std::string_view text);

// The tunnel window's boxes as the user left them.
struct ConnectBoxes {
  std::string proxyHost;   // Text1
  std::string proxyPort;   // Text2
  std::string user;        // Text3
  std::string password;    // Text4
  std::string targetHost;  // Text5
  std::string targetPort;  // Text6
};

// Why a connect with these boxes cannot be carried out (the message-box text),
// or empty when it can. An empty box stands for the value stored earlier, as
// the connect sequence keeps it.
std::optional<std::string> CheckTunnelInput(const Moduleproxy& m, const ConnectBoxes& boxes);

}  // namespace mivo
