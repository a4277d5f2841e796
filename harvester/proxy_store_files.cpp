// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "harvester/ini_text.h"
#include "harvester/proxy_store.h"

namespace mivo {
namespace {

// Keys and values as they go into the file, escapes included.
using Entries = StoreSettings;

std::string Utf8(const QString& text) { return text.toStdString(); }

// Rewrites the whole file in one step: a reader never sees half of it, and a
// failed write leaves the old file as it was.
WriteResult SetFileValues(const std::string& file, const char* group, const Entries& entries) {
  const QString path = QString::fromStdString(file);
  std::string text;
  QFile in(path);
  if (in.exists()) {
    if (!in.open(QIODevice::ReadOnly)) return WriteResult::Failed("无法读取 " + file + ": " + Utf8(in.errorString()));
    text = in.readAll().toStdString();
  }
  for (const auto& [key, value] : entries) text = SetIniValue(text, group, key, value);

  const QString dir = QFileInfo(path).absolutePath();
  if (!QDir().mkpath(dir)) return WriteResult::Failed("无法创建目录 " + Utf8(dir));
  QSaveFile out(path);
  if (!out.open(QIODevice::WriteOnly) ||
      out.write(text.data(), static_cast<qint64>(text.size())) != qint64(text.size()) || !out.commit())
    return WriteResult::Failed("无法写入 " + file + ": " + Utf8(out.errorString()));
  return WriteResult::Done();
}

// KDE keeps one proxy URL per scheme and the kind of proxy in ProxyType
// (0 none, 1 manual).
class KdeProxyStore : public ProxyStore {
 public:
  explicit KdeProxyStore(std::string configDir) : file_(std::move(configDir) + "/kioslaverc") {}

  WriteResult SetServer(const std::string& server) override {
    const std::optional<ProxyServerParts> parts = SplitProxyServer(server);
    if (!parts) return WriteResult::Failed("代理端口不是 0 到 65535 的数字: " + server);
    std::string url;
    if (!parts->host.empty()) {
      url = (parts->socks ? "socks://" : "http://") + parts->host;
      if (parts->port != 0) {
        url += ':';
        url += std::to_string(parts->port);
      }
    }
    const std::string web = parts->socks ? std::string() : EscapeIniValue(url);
    const std::string socks = parts->socks ? EscapeIniValue(url) : std::string();
    return SetFileValues(file_, kGroup, {{"httpProxy", web}, {"httpsProxy", web}, {"socksProxy", socks}});
  }

  WriteResult SetEnable(std::uint32_t enable) override {
    return SetFileValues(file_, kGroup, {{"ProxyType", enable ? "1" : "0"}});
  }

  WriteResult Announce() override { return EmitKioReparseSignal(); }

  // A key setPro writes that the file did not have is kept as empty, which
  // KDE reads the same way; other missing keys stay missing.
  StoreSettings Snapshot() override {
    QFile in(QString::fromStdString(file_));
    const std::string text = in.open(QIODevice::ReadOnly) ? in.readAll().toStdString() : std::string();
    StoreSettings saved;
    for (const char* key : kSavedKeys) {
      const std::optional<std::string> value = IniValue(text, kGroup, key);
      const bool written =
          std::find(std::begin(kWrittenKeys), std::end(kWrittenKeys), std::string_view(key)) != std::end(kWrittenKeys);
      if (value || written) saved.emplace_back(std::string(kSavedPrefix) + key, value.value_or(""));
    }
    return saved;
  }

  WriteResult Restore(const StoreSettings& saved) override {
    Entries entries;
    for (const auto& [key, value] : saved)
      if (key.starts_with(kSavedPrefix)) entries.emplace_back(key.substr(kSavedPrefix.size()), value);
    return entries.empty() ? WriteResult::Done() : SetFileValues(file_, kGroup, entries);
  }

 private:
  static constexpr const char* kGroup = "Proxy Settings";
  static constexpr std::string_view kSavedPrefix = "kioslaverc/";
  static constexpr const char* kSavedKeys[] = {"ProxyType", "httpProxy",  "httpsProxy",         "socksProxy",
                                               "ftpProxy",  "NoProxyFor", "Proxy Config Script"};
  static constexpr std::string_view kWrittenKeys[] = {"ProxyType", "httpProxy", "httpsProxy", "socksProxy"};
  std::string file_;
};

// Where no desktop store is found: the two values as the registry holds them.
class FileProxyStore : public ProxyStore {
 public:
  explicit FileProxyStore(std::string configDir) : file_(std::move(configDir) + "/mivoproxy/internet-settings.ini") {}

  WriteResult SetServer(const std::string& server) override {
    return SetFileValues(file_, kGroup, {{"ProxyServer", EscapeIniValue(server)}});
  }

  WriteResult SetEnable(std::uint32_t enable) override {
    return SetFileValues(file_, kGroup, {{"ProxyEnable", std::to_string(enable)}});
  }

  // The file is read when a program starts; there is no one to tell.
  WriteResult Announce() override { return WriteResult::Done(); }

 private:
  static constexpr const char* kGroup = "Internet Settings";
  std::string file_;
};

}  // namespace

std::unique_ptr<ProxyStore> MakeKdeProxyStore(std::string configDir) {
  return std::make_unique<KdeProxyStore>(std::move(configDir));
}

std::unique_ptr<ProxyStore> MakeFileProxyStore(std::string configDir) {
  return std::make_unique<FileProxyStore>(std::move(configDir));
}

}  // namespace mivo
