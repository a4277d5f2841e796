// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "tunnel_input.h"

#include <charconv>

#include "common/gbk.h"
#include "common/text.h"
#include "tunnel/moduleproxy.h"
#include "tunnel/tunnel_texts.h"

namespace mivo {
namespace {

bool IsDecimal(std::string_view text, unsigned most, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return false;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value <= most;
}

const std::string& Effective(const std::string& box, const std::string& stored) { return box.empty() ? stored : box; }

}  // namespace

bool IsDottedQuad(std::string_view text) {
  const std::vector<std::string_view> parts = Split(text, ".");
  if (parts.size() != 4) return false;
  for (std::string_view part : parts)
    if (!IsDecimal(part, 255, 3)) return false;
  return true;
}

std::optional<std::int32_t> PortNumber(std::string_view text) {
  text = TrimSpaces(text);
  if (!IsDecimal(text, 65535, 5)) return std::nullopt;
  std::int32_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

bool IsHttpHost(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return false;
  }
  return true;
}

std::optional<std::string> CheckTunnelInput(const Moduleproxy& m, const ConnectBoxes& boxes) {
  if (!boxes.proxyPort.empty() && !PortNumber(boxes.proxyPort)) return kTextBadProxyPort;
  if (m.ProxyKind == ProxyType::Http11) {
    // The request is built from the boxes themselves, not from stored values.
    if (!IsHttpHost(boxes.targetHost)) return kTextBadHttpTarget;
    if (!PortNumber(boxes.targetPort)) return kTextBadTargetPort;
    return std::nullopt;
  }
  if (!IsDottedQuad(Effective(boxes.targetHost, m.TargetHost))) return kTextBadTargetAddress;
  if (!boxes.targetPort.empty() && !PortNumber(boxes.targetPort)) return kTextBadTargetPort;
  if (m.ProxyKind == ProxyType::Socks5) {
    if (GbkLength(Effective(boxes.user, m.AuthUser)) > 255) return kTextUserTooLong;
    if (GbkLength(Effective(boxes.password, m.AuthPass)) > 255) return kTextPassTooLong;
  }
  return std::nullopt;
}

}  // namespace mivo
