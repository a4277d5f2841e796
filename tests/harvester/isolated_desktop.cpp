// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "isolated_desktop.h"

#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

// GLib's worker threads (file monitor, D-Bus) keep per-thread dispatch state
// that thread-exit destructors free; they are still running when the process
// exits, so the leak checker sees that state as lost. GLib has no frame
// pointers: only the slow unwinder finds the frame to match.
extern "C" const char* __lsan_default_suppressions() { return "leak:g_main_context_dispatch\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace mivo::test {
namespace {

struct IsolatedDesktop {
  std::string root;
  std::string config;
  std::string noBus;

  IsolatedDesktop() {
    char tmpl[] = "/tmp/mivo-desktop-XXXXXX";
    if (!mkdtemp(tmpl)) {
      std::perror("mkdtemp");
      std::abort();  // without a folder of our own the tests would write the user's settings
    }
    root = tmpl;
    config = root + "/config";
    noBus = "unix:path=" + root + "/no-bus";
    std::filesystem::create_directories(root + "/home");
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("GSETTINGS_BACKEND", "keyfile", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", noBus.c_str(), 1);
    unsetenv("XDG_CURRENT_DESKTOP");
  }
  ~IsolatedDesktop() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

IsolatedDesktop& Desktop() {
  static IsolatedDesktop desktop;
  return desktop;
}

// Before main, so before GLib caches the configuration folder.
[[maybe_unused]] const IsolatedDesktop& early = Desktop();

struct Settings {
  explicit Settings(const char* id) : s(g_settings_new(id)) {}
  ~Settings() { g_object_unref(s); }
  GSettings* s;
};

std::string String(GSettings* s, const char* key) {
  gchar* v = g_settings_get_string(s, key);
  std::string text = v;
  g_free(v);
  return text;
}

}  // namespace

const std::string& ConfigHome() { return Desktop().config; }
const std::string& NoBusAddress() { return Desktop().noBus; }

std::ostream& operator<<(std::ostream& os, const GnomeProxy& p) {
  return os << "{mode=" << p.mode << " http=" << p.httpHost << ":" << p.httpPort << " https=" << p.httpsHost << ":"
            << p.httpsPort << "}";
}

GnomeProxy ReadGnomeProxy() {
  Settings root("org.gnome.system.proxy"), http("org.gnome.system.proxy.http"), https("org.gnome.system.proxy.https");
  return {String(root.s, "mode"), String(http.s, "host"), g_settings_get_int(http.s, "port"), String(https.s, "host"),
          g_settings_get_int(https.s, "port")};
}

void WriteGnomeProxy(const GnomeProxy& p) {
  Settings root("org.gnome.system.proxy"), http("org.gnome.system.proxy.http"), https("org.gnome.system.proxy.https");
  g_settings_set_string(root.s, "mode", p.mode.c_str());
  g_settings_set_string(http.s, "host", p.httpHost.c_str());
  g_settings_set_int(http.s, "port", p.httpPort);
  g_settings_set_string(https.s, "host", p.httpsHost.c_str());
  g_settings_set_int(https.s, "port", p.httpsPort);
  g_settings_sync();
}

std::string GnomeKey(const std::string& child, const std::string& key) {
  Settings s(("org.gnome.system.proxy" + child).c_str());
  GVariant* value = g_settings_get_value(s.s, key.c_str());
  gchar* text = g_variant_print(value, FALSE);
  std::string printed = text;
  g_free(text);
  g_variant_unref(value);
  return printed;
}

void SetGnomeKey(const std::string& child, const std::string& key, const std::string& text) {
  Settings s(("org.gnome.system.proxy" + child).c_str());
  GVariant* value = g_variant_parse(nullptr, text.c_str(), nullptr, nullptr, nullptr);
  if (value) g_settings_set_value(s.s, key.c_str(), value);
  g_settings_sync();
}

std::string ResolveProxy(const std::string& url) {
  // The GNOME resolver serves only a desktop that names itself GNOME.
  const gchar* was = g_getenv("XDG_CURRENT_DESKTOP");
  const std::string desktop = was ? was : "";
  g_setenv("XDG_CURRENT_DESKTOP", "GNOME", TRUE);
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  GError* error = nullptr;
  gchar** proxies = g_proxy_resolver_lookup(g_proxy_resolver_get_default(), url.c_str(), nullptr, &error);
  if (was)
    g_setenv("XDG_CURRENT_DESKTOP", desktop.c_str(), TRUE);
  else
    g_unsetenv("XDG_CURRENT_DESKTOP");
  if (!proxies) {
    std::string why = std::string("error: ") + (error ? error->message : "?");
    if (error) g_error_free(error);
    return why;
  }
  std::string all;
  for (gchar** p = proxies; *p; ++p) {
    if (!all.empty()) all += ' ';
    all += *p;
  }
  g_strfreev(proxies);
  return all;
}

std::string GSettingsKeyfile() { return ConfigHome() + "/glib-2.0/settings/keyfile"; }

struct ReparseListener::State {
  GTestDBus* bus = nullptr;
  GDBusConnection* connection = nullptr;
  guint subscription = 0;
  int received = 0;
  std::string argument;
  std::string error;
};

ReparseListener::ReparseListener() : s_(std::make_unique<State>()) {
  s_->bus = g_test_dbus_new(G_TEST_DBUS_NONE);
  g_test_dbus_up(s_->bus);
  const gchar* address = g_test_dbus_get_bus_address(s_->bus);
  if (!address) {
    s_->error = "dbus-daemon did not start";
    return;
  }
  GError* error = nullptr;
  s_->connection = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (!s_->connection) {
    s_->error = error->message;
    g_error_free(error);
    return;
  }
  s_->subscription = g_dbus_connection_signal_subscribe(
      s_->connection, nullptr, "org.kde.KIO.Scheduler", "reparseSlaveConfiguration", "/KIO/Scheduler", nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
         gpointer data) {
        auto* state = static_cast<State*>(data);
        ++state->received;
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(s)"))) {
          const gchar* text = nullptr;
          g_variant_get(parameters, "(&s)", &text);
          state->argument = text;
        } else {
          state->argument = "<not (s)>";
        }
      },
      s_.get(), nullptr);
  // The match rule must be on the bus before anyone sends.
  g_dbus_connection_flush_sync(s_->connection, nullptr, nullptr);
  GVariant* reply = g_dbus_connection_call_sync(s_->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reply) g_variant_unref(reply);
}

ReparseListener::~ReparseListener() {
  if (s_->connection) {
    if (s_->subscription) g_dbus_connection_signal_unsubscribe(s_->connection, s_->subscription);
    g_dbus_connection_close_sync(s_->connection, nullptr, nullptr);
    g_object_unref(s_->connection);
  }
  g_test_dbus_down(s_->bus);
  g_object_unref(s_->bus);
  setenv("DBUS_SESSION_BUS_ADDRESS", NoBusAddress().c_str(), 1);
}

bool ReparseListener::Ready() const { return s_->connection && s_->subscription; }
const std::string& ReparseListener::Error() const { return s_->error; }
int ReparseListener::Received() const { return s_->received; }
const std::string& ReparseListener::LastArgument() const { return s_->argument; }

bool ReparseListener::WaitForSignal(int ms) {
  bool expired = false;
  GSource* deadline = g_timeout_source_new(static_cast<guint>(ms));
  g_source_set_callback(
      deadline,
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &expired, nullptr);
  g_source_attach(deadline, nullptr);
  while (s_->received == 0 && !expired) g_main_context_iteration(nullptr, TRUE);
  g_source_destroy(deadline);
  g_source_unref(deadline);
  return s_->received > 0;
}

}  // namespace mivo::test
