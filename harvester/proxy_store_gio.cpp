// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

// GIO only: its headers and Qt's keywords do not mix in one file.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>

#include <cstring>
#include <initializer_list>

#include "proxy_store.h"

namespace mivo {
namespace {

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using SettingsPtr = std::unique_ptr<GSettings, Unref>;

struct SchemaUnref {
  void operator()(GSettingsSchema* schema) const { g_settings_schema_unref(schema); }
};
using SchemaPtr = std::unique_ptr<GSettingsSchema, SchemaUnref>;

std::string TakeMessage(GError* error) {
  std::string text = error ? error->message : "unknown error";
  if (error) g_error_free(error);
  return text;
}

// Looks the schema up before anything opens it: GSettings aborts the process
// on a schema or key it does not know.
SchemaPtr LookUp(const std::string& id, std::initializer_list<const char*> keys, std::string& error) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  SchemaPtr schema(source ? g_settings_schema_source_lookup(source, id.c_str(), TRUE) : nullptr);
  if (!schema) {
    error = "GSettings 架构 " + id + " 未安装";
    return nullptr;
  }
  if (!g_settings_schema_get_path(schema.get())) {
    error = "GSettings 架构 " + id + " 没有固定路径";
    return nullptr;
  }
  for (const char* key : keys) {
    if (!g_settings_schema_has_key(schema.get(), key)) {
      error = "GSettings 架构 " + id + " 缺少键 " + key;
      return nullptr;
    }
  }
  return schema;
}

SettingsPtr Open(const std::string& id, std::initializer_list<const char*> keys, std::string& error) {
  SchemaPtr schema = LookUp(id, keys, error);
  return schema ? SettingsPtr(g_settings_new_full(schema.get(), nullptr, nullptr)) : nullptr;
}

// mode follows ProxyEnable; host and port of http and https follow
// ProxyServer, as a registry server text without "scheme=" applies to both.
class GSettingsProxyStore : public ProxyStore {
 public:
  GSettingsProxyStore(SettingsPtr root, SettingsPtr http, SettingsPtr https)
      : root_(std::move(root)), http_(std::move(http)), https_(std::move(https)) {}

  WriteResult SetServer(const std::string& server) override {
    const std::optional<ProxyServerParts> parts = SplitProxyServer(server);
    if (!parts) return WriteResult::Failed("代理端口不是 0 到 65535 的数字: " + server);
    // Refuse before writing anything, so that http and https never disagree.
    for (GSettings* s : {http_.get(), https_.get()})
      for (const char* key : {"host", "port"})
        if (!g_settings_is_writable(s, key)) return NotWritable(s, key);
    for (GSettings* s : {http_.get(), https_.get()}) {
      g_settings_delay(s);
      const bool ok =
          g_settings_set_string(s, "host", parts->host.c_str()) && g_settings_set_int(s, "port", parts->port);
      if (!ok) {
        g_settings_revert(s);
        return NotWritable(s, "host");
      }
      g_settings_apply(s);
    }
    return WriteResult::Done();
  }

  WriteResult SetEnable(std::uint32_t enable) override {
    if (!g_settings_is_writable(root_.get(), "mode") ||
        !g_settings_set_string(root_.get(), "mode", enable ? "manual" : "none"))
      return NotWritable(root_.get(), "mode");
    return WriteResult::Done();
  }

  WriteResult Announce() override {
    // Running programs watch the store; what is left is to make sure the
    // backend has handed every write on.
    g_settings_sync();
    return WriteResult::Done();
  }

 private:
  static WriteResult NotWritable(GSettings* s, const char* key) {
    gchar* id = nullptr;
    g_object_get(s, "schema-id", &id, nullptr);
    std::string text = std::string("GSettings 拒绝写入 ") + (id ? id : "?") + " " + key;
    g_free(id);
    return WriteResult::Failed(std::move(text));
  }

  SettingsPtr root_;
  SettingsPtr http_;
  SettingsPtr https_;
};

}  // namespace

bool GSettingsUsable(const char* schemaId) {
  std::string ignored;
  if (!LookUp(schemaId, {"mode"}, ignored)) return false;
  GSettingsBackend* backend = g_settings_backend_get_default();
  const char* type = G_OBJECT_TYPE_NAME(backend);
  const bool keeps = std::strcmp(type, "GMemorySettingsBackend") != 0 && std::strcmp(type, "GNullSettingsBackend") != 0;
  g_object_unref(backend);
  return keeps;
}

std::unique_ptr<ProxyStore> OpenGSettingsProxyStore(std::string& error, const char* schemaId) {
  const std::string id = schemaId;
  SettingsPtr root = Open(id, {"mode"}, error);
  if (!root) return nullptr;
  SettingsPtr http = Open(id + ".http", {"host", "port"}, error);
  if (!http) return nullptr;
  SettingsPtr https = Open(id + ".https", {"host", "port"}, error);
  if (!https) return nullptr;
  return std::make_unique<GSettingsProxyStore>(std::move(root), std::move(http), std::move(https));
}

WriteResult EmitKioReparseSignal() {
  GError* error = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!address) return WriteResult::Failed("找不到会话总线: " + TakeMessage(error));
  // A connection of our own: the shared one would outlive the command.
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  g_free(address);
  if (!bus) return WriteResult::Failed("无法连接会话总线: " + TakeMessage(error));
  WriteResult result;
  if (!g_dbus_connection_emit_signal(bus, nullptr, "/KIO/Scheduler", "org.kde.KIO.Scheduler",
                                     "reparseSlaveConfiguration", g_variant_new("(s)", ""), &error) ||
      !g_dbus_connection_flush_sync(bus, nullptr, &error))
    result = WriteResult::Failed("无法发送 KDE 重读配置信号: " + TakeMessage(error));
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  return result;
}

}  // namespace mivo
