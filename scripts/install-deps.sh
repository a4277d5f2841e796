#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs every Debian package the build, the tests and the sample site need.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libglib2.0-dev libglib2.0-bin gsettings-desktop-schemas glib-networking
  libgtest-dev libgmock-dev libbenchmark-dev
  microsocks tinyproxy
  xvfb xauth x11-utils xdotool imagemagick fonts-noto-cjk
  dbus-daemon
  clang libclang-rt-14-dev clang-format
  dpkg-dev file desktop-file-utils appstream lintian
  libssl-dev libloc-dev libloc-database qtkeychain-qt6-dev
  reuse help2man
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
