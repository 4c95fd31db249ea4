# shellcheck shell=bash
# Sourced by the Wine end-to-end tests and the footprint script: a fresh
# prefix with the medium as drive D:, the wizard started from D:\, real
# clicks on its hotspots, its screens read from screenshots and its boxes
# read with the qarwin helper.
#
# Needs: E2E_WORK (a scratch folder), E2E_SETUP (the i686 Setup.exe),
# E2E_HELPERS (folder with the i686 qarwin.exe and recorder.exe), E2E_REPO.
# Where this machine cannot run 32-bit programs, their x86_64 twins run.
# Runs inside an X server (xvfb-run).

. "$E2E_REPO/tests/windows/wine-prefix.sh"

readonly E2E_MAIN_CAPTION="QAR Tarnlink Wireless Cable Modem Gateway Installation Wizard"
readonly E2E_APP_TITLE="QAR Tarnlink Wireless Cable Modem Wizard"
# The recorder's log, on C:.
readonly E2E_SHELL_LOG=qar-shell.log

# Centre of each hotspot, in client pixels.
declare -A E2E_HOTSPOT=(
  [install]="481 206"   # 386, 195, 190, 23
  [pdf]="453 251"       # 385, 241, 137, 21
  [acrobat]="539 294"   # 386, 284, 306, 21
  [utility]="495 337"   # 386, 327, 218, 21
  [gateway]="538 378"   # 385, 368, 306, 21
  [moreinfo]="582 439"  # 489, 424, 187, 31
  [home]="581 482"      # 554, 471, 55, 22
  [close]="662 481"     # 636, 471, 53, 21
)

E2E_STEP=start
E2E_MASK=
# Variables the wizard (not the test's own shell) runs with, e.g. a locale.
E2E_WINE_ENV=()
e2e_wid=
e2e_pid=
e2e_t0=

e2e_now() { date +%s.%N; }
e2e_since() { awk -v a="$1" -v b="$(e2e_now)" 'BEGIN{printf "%.2f", b - a}'; }

E2E_START=$(date +%s.%N)
# A time-stamped line of the run's transcript.
e2e_log() { echo "[$(e2e_since "$E2E_START")] $*"; }

e2e_fail() {
  echo "FAIL [$E2E_STEP]: $*" >&2
  exit 1
}

# e2e_poll SECONDS COMMAND...: runs COMMAND until it succeeds or time is up.
e2e_poll() {
  local deadline
  deadline=$(awk -v t="$1" -v n="$(e2e_now)" 'BEGIN{printf "%.3f", n + t}')
  shift
  until "$@"; do
    awk -v d="$deadline" -v n="$(e2e_now)" 'BEGIN{exit !(n >= d)}' && return 1
    sleep 0.1
  done
}

# A fresh prefix (32-bit; 64-bit with win64), the medium at D:, the helpers
# at C:\qar-test.
e2e_prefix() {
  qar_wine_prefix "$E2E_WORK/prefix" "$@"
  E2E_SETUP=$(qar_wine_program "$E2E_SETUP")
  E2E_HELPERS=$(qar_wine_program "$E2E_HELPERS/")
  "$E2E_REPO/tools/make-medium.sh" --exe "$E2E_SETUP" --out "$E2E_WORK/medium" >/dev/null
  # The demo reader installer is a text file the shell cannot start; the
  # recorder in its place shows that it was started, and how.
  cp "$E2E_HELPERS/recorder.exe" "$E2E_WORK/medium/Adobe Acrobat/ar505enu.exe"
  ln -s "$E2E_WORK/medium" "$WINEPREFIX/dosdevices/d:"
  mkdir -p "$WINEPREFIX/drive_c/qar-test"
  cp "$E2E_HELPERS/qarwin.exe" "$E2E_HELPERS/recorder.exe" "$WINEPREFIX/drive_c/qar-test/"
}

# The documents and web addresses the wizard hands to the shell go to the
# recorder; "Installation Sources" exists so that its deletion shows.
e2e_registry_setup() {
  local command='"\"C:\\qar-test\\recorder.exe\" \"%1\""'
  cat >"$E2E_WORK/setup.reg" <<EOF
REGEDIT4

[HKEY_CLASSES_ROOT\\.pdf]
@="QarTest.Document"

[HKEY_CLASSES_ROOT\\QarTest.Document\\shell\\open\\command]
@=$command

[HKEY_CLASSES_ROOT\\http\\shell\\open\\command]
@=$command

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup]
"Installation Sources"="E:\\\\"
EOF
  cp "$E2E_WORK/setup.reg" "$WINEPREFIX/drive_c/qar-test/setup.reg"
  qar_wine_reg import 'C:\qar-test\setup.reg' >/dev/null 2>&1 ||
    e2e_fail "cannot import the test registry settings"
}

# The host file behind a Windows path on C:, found without regard to case,
# as Windows matches it; empty when there is none.
e2e_host_path() {
  local dir=$WINEPREFIX/drive_c part found rest=${1#[Cc]:\\}
  local IFS='\'
  for part in $rest; do
    [ -n "$part" ] || continue
    found=$(find "$dir" -mindepth 1 -maxdepth 1 -iname "$part" -print -quit 2>/dev/null)
    [ -n "$found" ] || return 0
    dir=$found
  done
  echo "$dir"
}

# Starts the wizard with D:\ as its current directory (Wine maps the host's
# current folder, the medium, to D:\) and waits for its window.
e2e_launch() {
  E2E_STEP=launch
  e2e_log "start D:\\Setup.exe"
  e2e_t0=$(e2e_now)
  (cd "${E2E_CWD:-$E2E_WORK/medium}" && exec env "${E2E_WINE_ENV[@]}" "$QAR_WINE" Setup.exe) >"$E2E_WORK/wizard.log" 2>&1 &
  e2e_pid=$!
  e2e_wid=$(timeout 30 xdotool search --sync --name "^$E2E_MAIN_CAPTION\$" 2>/dev/null | head -1) ||
    e2e_fail "no window titled \"$E2E_MAIN_CAPTION\" within 30 s"
  e2e_launch_geometry
}

# Where the client area lies in the main window's X window.
e2e_launch_geometry() {
  local geometry width height
  geometry=$(xwininfo -id "$e2e_wid")
  width=$(awk '/Width:/{print $2}' <<<"$geometry")
  height=$(awk '/Height:/{print $2}' <<<"$geometry")
  # Wine draws the frame itself (Managed=N): the client area sits inside it.
  E2E_DX=$(( (width - 690) / 2 ))
  E2E_DY=$(( height - 495 - E2E_DX ))
  [ "$E2E_DX" -ge 0 ] && [ "$E2E_DY" -ge 0 ] || e2e_fail "window ${width}x${height} cannot hold a 690x495 client area"
}

# --- screens ----------------------------------------------------------------

# The part of each picture the client area shows, made once per run.
e2e_pictures() {
  local name
  mkdir -p "$E2E_WORK/expected"
  for name in install uninstall usb selvo; do
    convert "$E2E_REPO/resources/$name.jpg" -crop 690x495+1+2 +repage "$E2E_WORK/expected/$name.png"
  done
}

# e2e_screen_is NAME SHOT: the client area in SHOT is within 0.01 (RMSE) of
# picture NAME. Wine draws the pictures exactly, and the closest two
# (install and uninstall, one menu entry apart) are 0.028 apart, so no other
# picture is that close. An open box's rectangle (E2E_MASK, client
# "x0,y0 x1,y1") is left out: the window's screenshot does not show what
# lies under it. A box over the middle of the window hides part of that
# entry, and those two are then about 0.022 apart.
e2e_screen_is() {
  local want=$1 shot=$2 name d mask=()
  [ -z "$E2E_MASK" ] || mask=(-fill black -draw "rectangle $E2E_MASK")
  convert "$shot" -crop "690x495+$E2E_DX+$E2E_DY" +repage "${mask[@]}" "$shot.client.png" 2>/dev/null ||
    return 1
  d=$(e2e_distance "$shot.client.png" "$want" "${mask[@]}")
  awk -v d="$d" 'BEGIN{exit !(d < 0.01)}' && return 0
  E2E_DISTANCES=
  for name in install uninstall usb selvo; do
    E2E_DISTANCES+="$name=$(e2e_distance "$shot.client.png" "$name" "${mask[@]}") "
  done
  return 1
}

# e2e_distance CLIENT_PNG PICTURE [MASK...]: normalised RMSE.
e2e_distance() {
  local client=$1 picture=$2
  shift 2
  convert "$E2E_WORK/expected/$picture.png" "$@" png:- |
    compare -metric RMSE "$client" - null: 2>&1 | sed -E 's/.*\((.*)\)/\1/'
}

e2e_shot_n=0
e2e_shot() {
  e2e_shot_n=$((e2e_shot_n + 1))
  E2E_SHOT=$E2E_WORK/shots/$(printf '%02d' "$e2e_shot_n")-$1.png
  mkdir -p "$E2E_WORK/shots"
  import -window "$e2e_wid" "$E2E_SHOT" 2>/dev/null
}

e2e_shot_shows() { e2e_shot "$2" && e2e_screen_is "$1" "$E2E_SHOT"; }

# e2e_expect_screen NAME: waits (up to E2E_SCREEN_WAIT s, 10 by default) until
# the window shows picture NAME.
e2e_expect_screen() {
  local box=
  if ! e2e_poll "${E2E_SCREEN_WAIT:-10}" e2e_shot_shows "$1" "$E2E_STEP"; then
    mv "$E2E_SHOT" "$E2E_WORK/shots/FAILED-$E2E_STEP.png" 2>/dev/null
    [ -n "$E2E_MASK" ] || ! e2e_box_open || box=$'\n'"and a box is open:"$'\n'"$E2E_BOX"
    e2e_fail "expected the $1 screen; distances of the last screenshot: $E2E_DISTANCES(kept in $E2E_WORK/shots/FAILED-$E2E_STEP.png)$box"
  fi
  rm -f "$E2E_SHOT.client.png"
  e2e_log "screen $1"
}

# --- input ------------------------------------------------------------------

# e2e_click HOTSPOT: a left click at the hotspot's centre.
e2e_click() {
  local x y
  read -r x y <<<"${E2E_HOTSPOT[$1]}"
  E2E_STEP=$1
  e2e_log "click $1"
  xdotool mousemove --window "$e2e_wid" $((x + E2E_DX)) $((y + E2E_DY)) click 1
}

# --- message boxes ----------------------------------------------------------

e2e_boxes() { timeout 20 "$QAR_WINE" 'C:\qar-test\qarwin.exe' boxes 2>/dev/null | tr -d '\r'; }

e2e_box_open() {
  E2E_BOX=$(e2e_boxes)
  [ -n "$E2E_BOX" ]
}

# e2e_expect_box CAPTION TEXT ICON: waits for the wizard's one box and checks
# it, its owner and that the main window takes no clicks while it is open.
e2e_expect_box() {
  local caption=$1 text=$2 icon=$3 field want got
  e2e_poll 10 e2e_box_open || e2e_fail "no message box \"$caption\" within 10 s"
  [ "$(grep -c '^caption: ' <<<"$E2E_BOX")" = 1 ] || e2e_fail "more than one box open:"$'\n'"$E2E_BOX"
  for field in "caption:$caption" "text:$text" "icon:$icon" "owner:$E2E_APP_TITLE" \
               "button:OK" "main-enabled:0"; do
    want=${field#*:}
    got=$(sed -n "s/^${field%%:*}: //p" <<<"$E2E_BOX")
    [ "$got" = "$want" ] ||
      e2e_fail "box ${field%%:*}: expected \"$want\", seen \"$got\"; the box:"$'\n'"$E2E_BOX"
  done
  e2e_log "box \"$caption\" / \"$text\" (icon $icon)"
  local left top right bottom x y
  read -r left top right bottom < <(sed -n 's/^at: //p' <<<"$E2E_BOX")
  read -r x y < <(xwininfo -id "$e2e_wid" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} END{print x, y}')
  x=$((x + E2E_DX)); y=$((y + E2E_DY))
  E2E_MASK="$((left - x)),$((top - y)) $((right - x)),$((bottom - y))"
}

# e2e_answer_box: clicks the box's OK button and waits for it to close.
e2e_answer_box() {
  local x y
  read -r x y < <(sed -n 's/^ok-at: //p' <<<"$E2E_BOX")
  [ -n "$y" ] || e2e_fail "the box has no OK button"
  xdotool mousemove "$x" "$y" click 1
  e2e_poll 10 e2e_no_box || e2e_fail "the box is still open after OK:"$'\n'"$E2E_BOX"
  E2E_MASK=
}

e2e_no_box() { ! e2e_box_open; }

# --- end --------------------------------------------------------------------

# Clicks close and expects the program to end with exit code 0.
e2e_close() {
  local status=0
  e2e_click close
  timeout 15 tail --pid="$e2e_pid" -f /dev/null || e2e_fail "still running 15 s after close"
  wait "$e2e_pid" || status=$?
  e2e_pid=
  [ "$status" = 0 ] || e2e_fail "exit code $status, expected 0"
  e2e_log "ended, exit code 0"
}

e2e_cleanup() {
  [ -z "$e2e_pid" ] || kill "$e2e_pid" 2>/dev/null || true
  qar_wine_stop
}
