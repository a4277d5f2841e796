#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the program against the sample list site on a virtual X display,
# goes through the typical run with the mouse and keyboard, and saves
# screenshots to docs/ (or the folder given): the settings panel, the list
# walked, verified and filtered, a walk over a long list with its progress,
# and the tunnel test window. The program keeps its settings in a folder of
# its own here, so the user's are neither read nor changed.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs}
mkdir -p "$out"
build=${MIVO_BUILD:-build}
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT

XDG_CONFIG_HOME=$config xvfb-run -a -s "-screen 0 1920x720x24" bash -c '
  set -e
  build=$1 out=$2
  "$build/tools/mivo-sample-site" >/dev/null & site=$!
  "$build/app/mivoproxy" & pid=$!
  trap "kill $pid $site 2>/dev/null || true" EXIT
  win=""
  for _ in $(seq 100); do win=$(xdotool search --name "Mivo proxy ver1.0" 2>/dev/null | head -n1) && [ -n "$win" ] && break; sleep 0.1; done
  [ -n "$win" ] || { echo "the main window did not appear" >&2; exit 1; }
  sleep 1
  # Wide enough for the address, test and verification columns together.
  xdotool windowmove "$win" 0 0 windowsize "$win" 1900 560; sleep 0.5
  click() { xdotool mousemove "$1" "$2" click 1; sleep "${3:-0.5}"; }
  typein() { click "$1" "$2"; xdotool key ctrl+a BackSpace; xdotool type --delay 5 "$3"; sleep 0.3; }
  click 160 11; click 175 34                                   # 程序设置 > 程序设置
  typein 480 180 "http://127.0.0.1:8086/list.csv"              # 列表源
  typein 500 240 "http://127.0.0.1:8086/judge"                 # 验证设置: 裁判
  import -window "$win" "$out/frmMain-settings.png"
  click 160 11; click 175 57                                   # 程序设置 > 代理列表
  click 25 11; click 75 324 3                                  # 获取地址 > 获取所有列表源
  click 95 11; click 120 124 3                                 # 设置代理 > 测试所有
  click 100 80
  import -window "$win" "$out/frmMain.png"
  click 95 11; click 120 146 8                                 # 设置代理 > 验证所有
  import -window "$win" "$out/frmMain-verified.png"
  typein 300 34 "socks"                                        # 筛选
  import -window "$win" "$out/frmMain-filter.png"
  typein 300 34 ""
  # A long list: the walk runs for a few seconds with its progress shown.
  click 160 11; click 175 34
  typein 180 45 "http://127.0.0.1:8086/generated?rows=100000"   # Http1
  click 160 11; click 175 57
  click 25 11; click 50 34 5                                   # 获取地址 > Http代理 1
  click 95 11; click 120 124 1.5
  import -window "$win" "$out/frmMain-progress.png"
  sleep 6
  click 100 80
  click 95 11; click 110 80 1                                  # 设置代理 > 代理测试
  tunnel=$(xdotool search --name "穿透代理测试" | head -n1)
  import -window "$tunnel" "$out/pTest.png"
' bash "$build" "$out"
echo "saved frmMain-settings.png, frmMain.png, frmMain-verified.png, frmMain-filter.png, pTest.png and frmMain-progress.png to $out"
