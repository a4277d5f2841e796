// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "harvester/write_result.h"

namespace mivo {

// Settings a store holds, as key and value texts in the store's own terms.
using StoreSettings = std::vector<std::pair<std::string, std::string>>;

// Where the current user's desktop keeps its proxy. It takes the two
// Internet Settings values as the registry holds them and maps them onto
// the desktop's own keys; the announcement tells running programs.
class ProxyStore {
 public:
  virtual ~ProxyStore() = default;

  // The "host:port" text, "socks=host:port" for a SOCKS proxy; empty
  // switches the proxy off.
  virtual WriteResult SetServer(const std::string& server) = 0;
  // Nonzero turns the manual proxy on.
  virtual WriteResult SetEnable(std::uint32_t enable) = 0;
  virtual WriteResult Announce() = 0;

  // The user's own proxy settings in this store, for Restore to put back;
  // empty when the store holds nothing of the user's.
  virtual StoreSettings Snapshot() { return {}; }
  // Writes back what Snapshot gave; keys this store does not know are skipped.
  virtual WriteResult Restore(const StoreSettings&) { return WriteResult::Done(); }
};

// Opens the store for one command; nullptr and `error` set when it cannot.
using ProxyStoreOpener = std::function<std::unique_ptr<ProxyStore>(std::string& error)>;

enum class ProxyStoreKind { GSettings, Kde, File };

// XDG_CURRENT_DESKTOP is a colon-separated list; KDE may be any entry.
bool DesktopNamesKde(std::string_view currentDesktop);
// KDE reads its own file; other desktops read GSettings when it persists.
ProxyStoreKind ChooseProxyStore(std::string_view currentDesktop, bool gsettingsUsable);

// $XDG_CONFIG_HOME when absolute, else $HOME/.config; empty when neither
// is known. Read on every call so that a changed environment counts.
std::string UserConfigDir();

// "host:port" as the registry holds it, split for stores that keep host and
// port apart. The port is 0 when the text has none.
struct ProxyServerParts {
  std::string host;
  int port = 0;
  bool socks = false;
};
// Before the address, names a SOCKS proxy, as the registry's server text does.
inline constexpr std::string_view kSocksServerPrefix = "socks=";
// Splits at the last ':', after an optional "socks=". A port that is not
// 0..65535 in decimal is refused.
std::optional<ProxyServerParts> SplitProxyServer(std::string_view server);

inline constexpr const char* kProxySchema = "org.gnome.system.proxy";

// The GSettings schema `schemaId` with its http and https children; refused,
// never aborting, when a schema is not installed.
std::unique_ptr<ProxyStore> OpenGSettingsProxyStore(std::string& error, const char* schemaId = kProxySchema);
// True when the schema is installed and the default backend keeps what is
// written (the memory backend forgets it at exit).
bool GSettingsUsable(const char* schemaId = kProxySchema);

// KDE's kioslaverc in `configDir`; announced by the reparse signal on the
// session bus.
std::unique_ptr<ProxyStore> MakeKdeProxyStore(std::string configDir);
// A settings file of our own under `configDir` holding the two values.
std::unique_ptr<ProxyStore> MakeFileProxyStore(std::string configDir);

// What the desktop session reads, chosen from the environment.
std::unique_ptr<ProxyStore> OpenDesktopProxyStore(std::string& error);

// Sends KDE's reparse signal on the session bus. Each call connects afresh,
// so a bus that came or went since the last call is seen.
WriteResult EmitKioReparseSignal();

}  // namespace mivo
