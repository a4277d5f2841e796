// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "proxy_switch.h"

#include <QFile>
#include <QSettings>
#include <QtGlobal>

#include <cstdint>
#include <optional>

#include "common/text.h"
#include "harvester/main_window_ops.h"
#include "harvester/script_shell.h"
#include "harvester/status_texts.h"

namespace mivo {
namespace {

constexpr const char* kTextProxyOff = "已经成功关闭代理!!!";
constexpr const char* kTextProxyOffFailed = "关闭代理失败: ";
constexpr const char* kTextProxyRestored = "已关闭代理, 已恢复原来的代理设置";

// Keeps what the store holds of the user's own before the first setPro
// changes it; a later setPro finds it kept and keeps it as it is.
WriteResult SaveOwnSettings(ProxyStore& store) {
  const std::string file = SavedProxySettingsFile();
  if (file.empty()) return WriteResult::Failed("找不到用户配置目录, 无法保存原来的代理设置");
  if (QFile::exists(QString::fromStdString(file))) return WriteResult::Done();
  const StoreSettings own = store.Snapshot();
  if (own.empty()) return WriteResult::Done();
  QSettings saved(QString::fromStdString(file), QSettings::IniFormat);
  for (const auto& [key, value] : own) saved.setValue(QString::fromStdString(key), QByteArray::fromStdString(value));
  saved.sync();
  if (saved.status() != QSettings::NoError) {
    QFile::remove(QString::fromStdString(file));
    return WriteResult::Failed("无法保存原来的代理设置到 " + file);
  }
  return WriteResult::Done();
}

// What SaveOwnSettings kept; empty when nothing is.
std::optional<StoreSettings> SavedOwnSettings(std::string& error) {
  const std::string file = SavedProxySettingsFile();
  if (file.empty() || !QFile::exists(QString::fromStdString(file))) return std::nullopt;
  QSettings saved(QString::fromStdString(file), QSettings::IniFormat);
  if (saved.status() != QSettings::NoError) {
    error = "无法读取保存的代理设置 " + file;
    return StoreSettings{};
  }
  StoreSettings own;
  for (const QString& key : saved.allKeys())
    own.emplace_back(key.toStdString(), saved.value(key).toByteArray().toStdString());
  return own;
}

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

std::string SavedProxySettingsFile() {
  const std::string dir = UserConfigDir();
  return dir.empty() ? std::string() : dir + "/mivoproxy/own-proxy-settings.ini";
}

bool RowIsSocks(const ProxyListModel& rows, int n) {
  return AsciiLower(rows.Text(n, ProxyColumn::Type)).find("socks") != std::string::npos;
}

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
  const std::string server =
      (RowIsSocks(ops.Rows(), row) ? std::string(kSocksServerPrefix) : "") + address + ":" + port;

  if (WriteResult r = SaveOwnSettings(shell->Store()); !r) return SetProFailed(ops, r.error);
  if (WriteResult r = shell->Regwrite(kProxyServerPath, server, "REG_SZ"); !r) return SetProFailed(ops, r.error);
  if (WriteResult r = shell->Regwrite(kProxyEnablePath, std::int16_t{1}, "REG_DWORD"); !r)
    return SetProFailed(ops, r.error);
  Announce(*shell);
  ops.SetPanel(kStatusPanel, "地址: " + address + " ,端口: " + port + " 代理成功!");
}

void closePro(MainWindowOps& ops, const ProxyStoreOpener& open) {
  std::string error;
  std::unique_ptr<ScriptShell> shell = ScriptShell::Create(open, error);
  if (!shell) return ops.SetPanel(kStatusPanel, kTextProxyOffFailed + error);

  if (std::optional<StoreSettings> own = SavedOwnSettings(error)) {
    if (!error.empty()) return ops.SetPanel(kStatusPanel, kTextProxyOffFailed + error);
    if (WriteResult r = shell->Store().Restore(*own); !r)
      return ops.SetPanel(kStatusPanel, kTextProxyOffFailed + r.error);
    Announce(*shell);
    // Kept until they are back, so that a failure above can be tried again.
    if (!QFile::remove(QString::fromStdString(SavedProxySettingsFile())))
      return ops.SetPanel(kStatusPanel, std::string(kTextProxyOffFailed) + "无法删除 " + SavedProxySettingsFile());
    return ops.SetPanel(kStatusPanel, kTextProxyRestored);
  }

  // ProxyEnable stays 1: switching off is the empty server text.
  if (WriteResult r = shell->Regwrite(kProxyServerPath, std::string(), "REG_SZ"); !r)
    return ops.SetPanel(kStatusPanel, kTextProxyOffFailed + r.error);
  if (WriteResult r = shell->Regwrite(kProxyEnablePath, std::int16_t{1}, "REG_DWORD"); !r)
    return ops.SetPanel(kStatusPanel, kTextProxyOffFailed + r.error);
  Announce(*shell);
  ops.SetPanel(kStatusPanel, kTextProxyOff);
}

}  // namespace mivo
