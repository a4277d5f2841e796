// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "script_shell.h"

#include <charconv>

#include "common/text.h"

namespace mivo {
namespace {

constexpr std::string_view kSettingsKey = R"(software\microsoft\windows\currentversion\internet settings\)";

enum class Value { None, ProxyServer, ProxyEnable };

Value ValueAt(std::string_view path) {
  const std::string lower = AsciiLower(path);
  std::string_view rest = lower;
  for (std::string_view root : {R"(hkcu\)", R"(hkey_current_user\)"}) {
    if (rest.substr(0, root.size()) == root) {
      rest.remove_prefix(root.size());
      if (rest.substr(0, kSettingsKey.size()) != kSettingsKey) return Value::None;
      rest.remove_prefix(kSettingsKey.size());
      if (rest == "proxyserver") return Value::ProxyServer;
      if (rest == "proxyenable") return Value::ProxyEnable;
      return Value::None;
    }
  }
  return Value::None;
}

}  // namespace

std::unique_ptr<ScriptShell> ScriptShell::Create(const ProxyStoreOpener& open, std::string& error) {
  std::unique_ptr<ProxyStore> store = open(error);
  if (!store) return nullptr;
  return std::make_unique<ScriptShell>(std::move(store));
}

WriteResult ScriptShell::Regwrite(std::string_view path, const RegValue& value, std::string_view type) {
  const std::string kind = AsciiLower(type);
  switch (ValueAt(path)) {
    case Value::ProxyServer: {
      if (kind != "reg_sz") return WriteResult::Failed("ProxyServer 只能写为 REG_SZ");
      if (const auto* text = std::get_if<std::string>(&value)) return store_->SetServer(*text);
      return store_->SetServer(std::to_string(std::get<std::int16_t>(value)));
    }
    case Value::ProxyEnable: {
      if (kind != "reg_dword") return WriteResult::Failed("ProxyEnable 只能写为 REG_DWORD");
      if (const auto* number = std::get_if<std::int16_t>(&value))
        return store_->SetEnable(static_cast<std::uint32_t>(static_cast<std::int32_t>(*number)));
      const std::string& text = std::get<std::string>(value);
      std::uint32_t parsed = 0;
      const char* end = text.data() + text.size();
      const auto [stop, ec] = std::from_chars(text.data(), end, parsed);
      if (text.empty() || ec != std::errc() || stop != end)
        return WriteResult::Failed("ProxyEnable 的值不是数字: " + text);
      return store_->SetEnable(parsed);
    }
    case Value::None: break;
  }
  return WriteResult::Failed("不支持写入 " + std::string(path));
}

WriteResult InternetSetOptionA(ProxyStore& store, void* hInternet, unsigned long dwOption, void* /*lpBuffer*/,
                               unsigned long /*dwBufferLength*/) {
  if (hInternet != nullptr) return WriteResult::Failed("没有可设置的 Internet 句柄");
  if (dwOption != INTERNET_OPTION_SETTINGS_CHANGED)
    return WriteResult::Failed("不支持的 Internet 选项 " + std::to_string(dwOption));
  return store.Announce();
}

}  // namespace mivo
