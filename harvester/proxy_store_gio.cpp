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

// The user's own settings kept by Snapshot: the schema's children and keys.
struct SavedKeys {
  const char* child;
  std::initializer_list<const char*> keys;
};
const SavedKeys kSaved[] = {
    {"", {"mode", "autoconfig-url", "ignore-hosts", "use-same-proxy"}},
    {".http", {"host", "port"}},
    {".https", {"host", "port"}},
    {".socks", {"host", "port"}},
    {".ftp", {"host", "port"}},
};

// mode follows ProxyEnable; host and port of http and https follow
// ProxyServer, as a registry server text without "scheme=" applies to both;
// "socks=" puts them into socks instead. The other scheme is emptied, so
// that programs use the one just set.
class GSettingsProxyStore : public ProxyStore {
 public:
  GSettingsProxyStore(std::string id, SettingsPtr root, SettingsPtr http, SettingsPtr https, SettingsPtr socks)
      : id_(std::move(id)),
        root_(std::move(root)),
        http_(std::move(http)),
        https_(std::move(https)),
        socks_(std::move(socks)) {}

  WriteResult SetServer(const std::string& server) override {
    const std::optional<ProxyServerParts> parts = SplitProxyServer(server);
    if (!parts) return WriteResult::Failed("代理端口不是 0 到 65535 的数字: " + server);
    // Refuse before writing anything, so that the schemes never disagree.
    for (GSettings* s : {http_.get(), https_.get(), socks_.get()})
      for (const char* key : {"host", "port"})
        if (!g_settings_is_writable(s, key)) return NotWritable(s, key);
    for (GSettings* s : {http_.get(), https_.get(), socks_.get()}) {
      const bool used = (s == socks_.get()) == parts->socks;
      g_settings_delay(s);
      const bool ok = g_settings_set_string(s, "host", used ? parts->host.c_str() : "") &&
                      g_settings_set_int(s, "port", used ? parts->port : 0);
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

  // Each value in GVariant text, keyed "schema/key".
  StoreSettings Snapshot() override {
    StoreSettings saved;
    for (const SavedKeys& part : kSaved) {
      const std::string id = id_ + part.child;
      std::string ignored;
      SchemaPtr schema = LookUp(id, {}, ignored);
      if (!schema) continue;
      SettingsPtr s(g_settings_new_full(schema.get(), nullptr, nullptr));
      for (const char* key : part.keys) {
        if (!g_settings_schema_has_key(schema.get(), key)) continue;
        GVariant* value = g_settings_get_value(s.get(), key);
        gchar* text = g_variant_print(value, FALSE);
        saved.emplace_back(id + "/" + key, text);
        g_free(text);
        g_variant_unref(value);
      }
    }
    return saved;
  }

  WriteResult Restore(const StoreSettings& saved) override {
    for (const auto& [name, text] : saved) {
      const std::size_t slash = name.rfind('/');
      if (slash == std::string::npos || !name.starts_with(id_)) continue;
      const std::string id = name.substr(0, slash);
      const std::string key = name.substr(slash + 1);
      std::string ignored;
      SchemaPtr schema = LookUp(id, {key.c_str()}, ignored);
      if (!schema) continue;
      SettingsPtr s(g_settings_new_full(schema.get(), nullptr, nullptr));
      GSettingsSchemaKey* schemaKey = g_settings_schema_get_key(schema.get(), key.c_str());
      GError* error = nullptr;
      GVariant* value =
          g_variant_parse(g_settings_schema_key_get_value_type(schemaKey), text.c_str(), nullptr, nullptr, &error);
      g_settings_schema_key_unref(schemaKey);
      if (!value) return WriteResult::Failed("保存的设置无法读取 " + name + ": " + TakeMessage(error));
      g_variant_ref_sink(value);
      const bool ok = g_settings_is_writable(s.get(), key.c_str()) && g_settings_set_value(s.get(), key.c_str(), value);
      g_variant_unref(value);
      if (!ok) return NotWritable(s.get(), key.c_str());
    }
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

  std::string id_;
  SettingsPtr root_;
  SettingsPtr http_;
  SettingsPtr https_;
  SettingsPtr socks_;
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
  SettingsPtr socks = Open(id + ".socks", {"host", "port"}, error);
  if (!socks) return nullptr;
  return std::make_unique<GSettingsProxyStore>(id, std::move(root), std::move(http), std::move(https),
                                               std::move(socks));
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
