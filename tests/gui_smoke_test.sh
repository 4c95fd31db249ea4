#!/bin/bash
# Starts qar-wizard on a fresh machine folder under Xvfb, checks the window and
# what it shows, installs the driver with a real click, and closes it.
# Usage: gui_smoke_test.sh QAR_WIZARD RESOURCES_DIR [FOLDER FOR THE MACHINE]
set -euo pipefail
wizard=$1
resources=$2
caption="QAR Tarnlink Wireless Cable Modem Gateway Installation Wizard"

work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; [ -n "${KEEP_SHOTS:-}" ] || rm -rf "$work"' EXIT
pid=
machine=${3:-$work}/machine

fail() { echo "FAIL: $*" >&2; exit 1; }

# How far a screenshot is from the picture the window should show (the
# picture is drawn at -1,-2, so the client area shows its pixels from 1,2).
distance() {
  convert "$resources/$2" -crop 690x495+1+2 +repage "$work/expected.png"
  compare -metric RMSE "$1" "$work/expected.png" null: 2>&1 | sed -E 's/.*\((.*)\)/\1/'
}

shot() {
  import -window "$wid" "$work/$1.png"
  echo "$work/$1.png"
}

QAR_WIZARD_REPORT_FIRST_PAINT=1 "$wizard" --machine "$machine" 2>"$work/stderr" &
pid=$!
wid=$(timeout 20 xdotool search --sync --name "^$caption\$" | head -1) || fail "no window"
sleep 0.5

read -r width height < <(xwininfo -id "$wid" | awk '/Width:/{w=$2} /Height:/{h=$2} END{print w, h}')
[ "$width" = 690 ] && [ "$height" = 495 ] || fail "client area ${width}x${height}"

d=$(distance "$(shot main)" install.jpg)
echo "main screen: distance $d from install.jpg"
awk "BEGIN{exit !($d < 0.05)}" || fail "main screen does not show the install picture"

# The install hotspot, then the connect-cable screen.
xdotool mousemove --window "$wid" 480 206 click 1
for _ in $(seq 50); do
  [ -f "$machine/C/Windows/usb8023w.sys" ] && break
  sleep 0.1
done
sleep 0.5
marker="$machine/C/Windows/usb8023w.sys"
[ -f "$marker" ] || fail "no marker after install"
cmp -s "$marker" "$(dirname "$wizard")/../../demo-medium/Driver/usb8023m.sys" || fail "marker differs from usb8023m.sys"
copies=$(find "$machine/C/Windows" -type f \( -iname 'qar.*' -o -iname 'rndismp?.sys' -o -iname 'usb8023?.sys' \) | wc -l)
[ "$copies" = 48 ] || fail "$copies driver copies"
[ -f "$machine/C/QAR/QAR.exe" ] || fail "companion not installed"
grep -q '"SourcePath"="C:\\\\Windows\\\\System\\\\"' "$machine/registry.reg" || fail "SourcePath not written"

d=$(distance "$(shot usb)" usb.jpg)
echo "connect-cable screen: distance $d from usb.jpg"
awk "BEGIN{exit !($d < 0.05)}" || fail "connect-cable screen not shown"

# Home, then the installed main screen after the next tick.
xdotool mousemove --window "$wid" 580 481 click 1
sleep 0.5
d=$(distance "$(shot installed)" uninstall.jpg)
echo "installed main screen: distance $d from uninstall.jpg"
awk "BEGIN{exit !($d < 0.05)}" || fail "installed main screen not shown"

# Close.
xdotool mousemove --window "$wid" 662 481 click 1
status=0
timeout 10 tail --pid="$pid" -f /dev/null || fail "still running after close"
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || fail "exit code $status"
cat "$work/stderr"
echo "PASS"
