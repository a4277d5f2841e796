// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "proxy_store.h"

#include <charconv>
#include <cstdlib>

#include "common/text.h"

namespace mivo {

bool DesktopNamesKde(std::string_view currentDesktop) {
  for (std::string_view name : Split(currentDesktop, ":"))
    if (AsciiLower(name) == "kde") return true;
  return false;
}

ProxyStoreKind ChooseProxyStore(std::string_view currentDesktop, bool gsettingsUsable) {
  if (DesktopNamesKde(currentDesktop)) return ProxyStoreKind::Kde;
  return gsettingsUsable ? ProxyStoreKind::GSettings : ProxyStoreKind::File;
}

std::string UserConfigDir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config";
  return {};
}

std::optional<ProxyServerParts> SplitProxyServer(std::string_view server) {
  const bool socks = server.starts_with(kSocksServerPrefix);
  if (socks) server.remove_prefix(kSocksServerPrefix.size());
  const std::size_t colon = server.rfind(':');
  if (colon == std::string_view::npos) return ProxyServerParts{std::string(server), 0, socks};
  ProxyServerParts parts{std::string(server.substr(0, colon)), 0, socks};
  const std::string_view digits = server.substr(colon + 1);
  if (digits.empty()) return parts;
  const char* end = digits.data() + digits.size();
  const auto [stop, ec] = std::from_chars(digits.data(), end, parts.port);
  if (ec != std::errc() || stop != end || parts.port < 0 || parts.port > 65535) return std::nullopt;
  return parts;
}

std::unique_ptr<ProxyStore> OpenDesktopProxyStore(std::string& error) {
  const char* env = std::getenv("XDG_CURRENT_DESKTOP");
  const std::string_view desktop = env ? env : "";
  // Probing GSettings loads its backend; on KDE it would not be used.
  const ProxyStoreKind kind = ChooseProxyStore(desktop, !DesktopNamesKde(desktop) && GSettingsUsable());
  if (kind == ProxyStoreKind::GSettings) return OpenGSettingsProxyStore(error);
  std::string dir = UserConfigDir();
  if (dir.empty()) {
    error = "找不到用户配置目录 (XDG_CONFIG_HOME 和 HOME 均未设置)";
    return nullptr;
  }
  return kind == ProxyStoreKind::Kde ? MakeKdeProxyStore(std::move(dir)) : MakeFileProxyStore(std::move(dir));
}

}  // namespace mivo
