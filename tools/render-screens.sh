#!/bin/bash
# Renders the wizard's four screens from the Linux simulator under Xvfb, as
# the README shows them: the main screen not installed, the main screen
# installed, connect-cable and partner, each checked against its picture.
#
#   tools/render-screens.sh [--wizard QAR_WIZARD] [--out DIR]
#
# --wizard  the simulator (default build/app/fltk/qar-wizard, made by
#           tools/run.sh or a cmake build in build/)
# --out     where the PNGs go (default docs/): main.png, main-installed.png,
#           connect-cable.png, partner.png
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
wizard=$repo/build/app/fltk/qar-wizard
out=$repo/docs
while [ $# -gt 0 ]; do
  case "$1" in
    --wizard) wizard=${2:?--wizard needs a value}; shift 2 ;;
    --out) out=${2:?--out needs a value}; shift 2 ;;
    *) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
fail() { echo "render-screens: $*" >&2; exit 1; }
[ -x "$wizard" ] || fail "no simulator at $wizard (build it first: tools/run.sh)"
wizard=$(realpath "$wizard")
mkdir -p "$out"
out=$(realpath "$out")
if [ -z "${QAR_IN_XVFB:-}" ]; then
  QAR_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --wizard "$wizard" --out "$out"
fi

caption="QAR Tarnlink Wireless Cable Modem Gateway Installation Wizard"
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

# shot NAME PICTURE: writes NAME.png once the window shows PICTURE (RMSE
# below 0.05 against the part of the picture the client area shows).
shot() {
  local d
  convert "$repo/resources/$2" -crop 690x495+1+2 +repage "$work/expected.png"
  for _ in $(seq 50); do
    import -window "$wid" "$work/shot.png"
    d=$(compare -metric RMSE "$work/shot.png" "$work/expected.png" null: 2>&1 | sed -E 's/.*\((.*)\)/\1/')
    if awk "BEGIN{exit !($d < 0.05)}"; then
      # Without the time and comment chunks: the same screen, the same file.
      convert "$work/shot.png" -strip "$out/$1.png"
      echo "render-screens: $out/$1.png"
      return
    fi
    sleep 0.1
  done
  fail "the window does not show $2 for $1.png (distance $d)"
}

start() {
  "$wizard" --machine "$work/machine" --os winxp 2>>"$work/stderr" &
  pid=$!
  wid=$(timeout 20 xdotool search --sync --name "^$caption\$" | head -1) || fail "no window"
}
click() { xdotool mousemove --window "$wid" "$1" "$2" click 1; }

start
shot main install.jpg
click 481 206          # install
shot connect-cable usb.jpg
click 581 482          # home: the installed main screen at the next tick
shot main-installed uninstall.jpg
click 495 337          # the partner's entry
shot partner selvo.jpg
click 662 481          # close
timeout 10 tail --pid="$pid" -f /dev/null || fail "still running after close"
wait "$pid" || fail "exit code $?"
pid=
