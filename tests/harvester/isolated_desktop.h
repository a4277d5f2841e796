// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

#include <memory>
#include <ostream>
#include <string>

// The test program's own desktop: before main runs, HOME, XDG_CONFIG_HOME and
// the session bus address point into a temporary folder and GSettings uses
// its keyfile backend there, so no test can reach the real user's settings.
// Kept apart from Qt headers: GIO's and Qt's keywords clash.
namespace mivo::test {

const std::string& ConfigHome();
// The session bus address that leads nowhere, in force outside BusUp/BusDown.
const std::string& NoBusAddress();

// What GNOME's proxy schema holds; read and written with GIO directly.
struct GnomeProxy {
  std::string mode;
  std::string httpHost;
  int httpPort = 0;
  std::string httpsHost;
  int httpsPort = 0;
  bool operator==(const GnomeProxy&) const = default;
};
std::ostream& operator<<(std::ostream& os, const GnomeProxy& p);
GnomeProxy ReadGnomeProxy();
void WriteGnomeProxy(const GnomeProxy& p);
// One key of a GNOME proxy schema ("" for the schema itself, ".http" and so
// on for its children) in GVariant text, and the same written.
std::string GnomeKey(const std::string& child, const std::string& key);
void SetGnomeKey(const std::string& child, const std::string& key, const std::string& text);
// The proxies GLib's resolver on a GNOME desktop gives for `url`, in its
// order and separated by spaces, or "error: " and why.
std::string ResolveProxy(const std::string& url);
// The keyfile the GSettings backend keeps on disk.
std::string GSettingsKeyfile();

// A private session bus (dbus-daemon on a socket in a temporary folder) that
// counts KDE's reparse signals.
class ReparseListener {
 public:
  ReparseListener();
  ~ReparseListener();
  ReparseListener(const ReparseListener&) = delete;
  ReparseListener& operator=(const ReparseListener&) = delete;

  bool Ready() const;
  const std::string& Error() const;
  // Runs the main context until a signal has arrived or `ms` have passed.
  bool WaitForSignal(int ms);
  int Received() const;
  const std::string& LastArgument() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace mivo::test
