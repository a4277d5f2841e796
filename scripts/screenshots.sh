#!/usr/bin/env bash
# Shows the program on a virtual X display and saves screenshots of its
# windows to docs/ (or the folder given): the list, and the settings panel.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs}
mkdir -p "$out"
bin=${MIVO_BIN:-build/app/mivoproxy}

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -e
  bin=$1 out=$2
  "$bin" & pid=$!
  trap "kill $pid 2>/dev/null || true" EXIT
  win=""
  for _ in $(seq 100); do win=$(xdotool search --name "Mivo proxy ver1.0" 2>/dev/null | head -n1) && [ -n "$win" ] && break; sleep 0.1; done
  [ -n "$win" ] || { echo "the main window did not appear" >&2; exit 1; }
  sleep 1
  import -window "$win" "$out/frmMain.png"
  # Open the settings panel through its menu: third menu, first item.
  eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove $((X + 160)) $((Y + 11)) click 1; sleep 0.5
  xdotool mousemove $((X + 175)) $((Y + 34)) click 1; sleep 0.5
  import -window "$win" "$out/frmMain-settings.png"
' bash "$bin" "$out"
echo "saved $out/frmMain.png and $out/frmMain-settings.png"
