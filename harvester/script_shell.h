// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "harvester/proxy_store.h"
#include "harvester/write_result.h"

namespace mivo {

inline constexpr const char* kProxyServerPath =
    R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\ProxyServer)";
inline constexpr const char* kProxyEnablePath =
    R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\ProxyEnable)";

// A script value: text or a 16-bit integer.
using RegValue = std::variant<std::string, std::int16_t>;

// The script host's shell object ("wscript.shell") as far as the program
// uses it: Regwrite on the current user's two Internet Settings values, kept
// in the desktop's proxy store. One object per command.
class ScriptShell {
 public:
  // Nullptr, with `error` set, when the store cannot be opened.
  static std::unique_ptr<ScriptShell> Create(const ProxyStoreOpener& open, std::string& error);

  explicit ScriptShell(std::unique_ptr<ProxyStore> store) : store_(std::move(store)) {}

  // `path` is the full value path ("HKCU\..." or "HKEY_CURRENT_USER\...",
  // any case); `type` is "REG_SZ" for ProxyServer and "REG_DWORD" for
  // ProxyEnable. Text for a REG_DWORD must be a decimal number; an integer
  // for a REG_SZ is written in decimal. Any other value is refused.
  WriteResult Regwrite(std::string_view path, const RegValue& value, std::string_view type);

  ProxyStore& Store() { return *store_; }

 private:
  std::unique_ptr<ProxyStore> store_;
};

inline constexpr unsigned long INTERNET_OPTION_SETTINGS_CHANGED = 39;

// Of the Internet layer's options only the change announcement exists here;
// it goes to `store`. A handle or another option is refused.
WriteResult InternetSetOptionA(ProxyStore& store, void* hInternet, unsigned long dwOption, void* lpBuffer,
                               unsigned long dwBufferLength);

}  // namespace mivo
