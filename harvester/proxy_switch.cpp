// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "proxy_switch.h"

#include <QtGlobal>

#include <cstdint>

#include "harvester/main_window_ops.h"
#include "harvester/script_shell.h"
#include "harvester/status_texts.h"

namespace mivo {
namespace {

constexpr const char* kTextProxyOff = "已经成功关闭代理!!!";
constexpr const char* kTextProxyOffFailed = "关闭代理失败: ";

// The values are written already; programs see them when they next read
// the store, so a failed announcement does not fail the command.
void Announce(ScriptShell& shell) {
  std::uint32_t zero = 0;
  const WriteResult told = InternetSetOptionA(shell.Store(), nullptr, INTERNET_OPTION_SETTINGS_CHANGED, &zero, 0);
  if (!told) qWarning("proxy change not announced: %s", told.error.c_str());
}

// Every failure ends the command with the same text; the reason only helps
// whoever reads the program's output.
void SetProFailed(MainWindowOps& ops, const std::string& why) {
  if (!why.empty()) qWarning("setPro: %s", why.c_str());
  ops.SetPanel(kStatusPanel, kTextListFirst);
}

}  // namespace

void setPro(MainWindowOps& ops) { setPro(ops, OpenDesktopProxyStore); }

void closePro(MainWindowOps& ops) { closePro(ops, OpenDesktopProxyStore); }

void setPro(MainWindowOps& ops, const ProxyStoreOpener& open) {
  std::string error;
  std::unique_ptr<ScriptShell> shell = ScriptShell::Create(open, error);
  if (!shell) return SetProFailed(ops, error);

  const int row = ops.SelectedRow();
  if (!ops.Rows().Exists(row)) return SetProFailed(ops, {});
  const std::string address = ops.Rows().Text(row, ProxyColumn::Address);
  const std::string port = ops.Rows().Text(row, ProxyColumn::Port);

  if (WriteResult r = shell->Regwrite(kProxyServerPath, address + ":" + port, "REG_SZ"); !r)
    return SetProFailed(ops, r.error);
  if (WriteResult r = shell->Regwrite(kProxyEnablePath, std::int16_t{1}, "REG_DWORD"); !r)
    return SetProFailed(ops, r.error);
  Announce(*shell);
  ops.SetPanel(kStatusPanel, "地址: " + address + " ,端口: " + port + " 代理成功!");
}

void closePro(MainWindowOps& ops, const ProxyStoreOpener& open) {
  std::string error;
  std::unique_ptr<ScriptShell> shell = ScriptShell::Create(open, error);
  if (!shell) return ops.SetPanel(kStatusPanel, kTextProxyOffFailed + error);

  // ProxyEnable stays 1: switching off is the empty server text.
  if (WriteResult r = shell->Regwrite(kProxyServerPath, std::string(), "REG_SZ"); !r)
    return ops.SetPanel(kStatusPanel, kTextProxyOffFailed + r.error);
  if (WriteResult r = shell->Regwrite(kProxyEnablePath, std::int16_t{1}, "REG_DWORD"); !r)
    return ops.SetPanel(kStatusPanel, kTextProxyOffFailed + r.error);
  Announce(*shell);
  ops.SetPanel(kStatusPanel, kTextProxyOff);
}

}  // namespace mivo
