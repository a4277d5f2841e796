#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the program against the sample list site on a virtual X display,
# goes through the typical run with the mouse, and saves screenshots to
# docs/ (or the folder given): the filled list, the settings panel and the
# tunnel test window.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs}
mkdir -p "$out"
build=${MIVO_BUILD:-build}

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -e
  build=$1 out=$2
  "$build/tools/mivo-sample-site" >/dev/null & site=$!
  "$build/app/mivoproxy" & pid=$!
  trap "kill $pid $site 2>/dev/null || true" EXIT
  win=""
  for _ in $(seq 100); do win=$(xdotool search --name "Mivo proxy ver1.0" 2>/dev/null | head -n1) && [ -n "$win" ] && break; sleep 0.1; done
  [ -n "$win" ] || { echo "the main window did not appear" >&2; exit 1; }
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$win")"
  click() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; sleep "${3:-0.5}"; }
  click 25 11; click 50 34 2           # 获取地址 > Http代理 1
  click 100 60                         # first row
  click 95 11; click 110 124 3         # 设置代理 > 测试所有
  import -window "$win" "$out/frmMain.png"
  # Scroll the list to its right end: the test and time columns.
  xdotool mousemove $((X + WIDTH - 8)) $((Y + HEIGHT - 37)); for _ in $(seq 40); do xdotool click 1; done; sleep 0.3
  import -window "$win" "$out/frmMain-tested.png"
  xdotool mousemove $((X + 8)) $((Y + HEIGHT - 37)); for _ in $(seq 40); do xdotool click 1; done
  click 160 11; click 175 34           # 程序设置 > 程序设置
  import -window "$win" "$out/frmMain-settings.png"
  click 160 11; click 175 57           # 程序设置 > 代理列表
  click 100 96                         # third row
  click 95 11; click 110 80 1          # 设置代理 > 代理测试
  tunnel=$(xdotool search --name "穿透代理测试" | head -n1)
  import -window "$tunnel" "$out/pTest.png"
' bash "$build" "$out"
echo "saved $out/frmMain.png, $out/frmMain-tested.png, $out/frmMain-settings.png and $out/pTest.png"
