#!/bin/bash
# Prints figures of Setup.exe under Wine and Xvfb (not a test): the i686
# program in a 32-bit prefix, then its x86_64 twin in a 64-bit prefix, and
# the two side by side (where this machine cannot run the i686 program, the
# first line says so and the twin runs twice):
#  - start to first paint: from launch until the window is mapped, and until
#    a screenshot shows the main picture (the first run with the Wine server
#    stopped, the others with it and Wine's services running);
#  - soundness: the wizard's handle count and memory before and after 10,000
#    timer ticks on the main screen and after 100 install-and-removal cycles
#    driven by clicks. Ticks are counted, not estimated: each tick probes the
#    marker file once, and strace (seccomp filtered, so the wizard keeps its
#    pace) logs every such probe. Under qemu, Linux's figures of the i686
#    process include the emulator's own memory; Wine's handle count does not.
#
#   tests/wine/measure-footprint.sh [SETUP.EXE] [--only i686|x86_64]
#                                   [--runs N] [--ticks N] [--cycles N]
#
# SETUP.EXE defaults to build-windows/i686/Setup.exe (an i686 path; the
# twin is found beside it). Needs Wine, Xvfb, xdotool, ImageMagick, strace
# and both mingw-w64 C compilers.
set -euo pipefail
if [ -z "${QAR_IN_XVFB:-}" ]; then
  QAR_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
E2E_REPO=$(cd "$(dirname "$0")/../.." && pwd)
E2E_SETUP=$E2E_REPO/build-windows/i686/Setup.exe
runs=5 ticks=10000 cycles=100 only=
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --ticks) ticks=$2; shift 2 ;;
    --cycles) cycles=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) E2E_SETUP=$1; shift ;;
  esac
done
E2E_SETUP=$(realpath "$E2E_SETUP")
E2E_WORK=$(mktemp -d)

# Each program in a run of this script of its own, one template for both.
if [ -z "$only" ]; then
  export QAR_WINE_TEMPLATE=${QAR_WINE_TEMPLATE:-$E2E_WORK/wine-template}
  trap 'rm -rf "$E2E_WORK"' EXIT
  for arch in i686 x86_64; do
    echo "=== $arch"
    QAR_MEASURE_FIGURES=$E2E_WORK/$arch.figures "$0" "$E2E_SETUP" --only $arch \
      --runs "$runs" --ticks "$ticks" --cycles "$cycles"
    echo
  done
  declare -A i686 x86_64
  while read -r key value; do i686[$key]=$value; done <"$E2E_WORK/i686.figures"
  while read -r key value; do x86_64[$key]=$value; done <"$E2E_WORK/x86_64.figures"
  echo "side by side: at start -> after the ticks -> after the cycles"
  echo "  i686: ${i686[route]}"
  echo "  x86_64: ${x86_64[route]}"
  printf '  %-34s %-30s %s\n' "" "i686, 32-bit prefix" "x86_64 twin, 64-bit prefix"
  both() { printf '  %-34s %-30s %s\n' "$1" "${i686[$2]}" "${x86_64[$2]}"; }
  both "first paint, cold, s" paint.cold
  both "first paint, warm (median), s" paint.warm
  both "ticks counted" ticks
  both "install-and-removal cycles" cycles
  both "handles (Wine handle table)" handles
  both "working set, KB (Wine)" workingset
  both "pagefile usage, KB (Wine)" pagefile
  both "resident, KB (Linux VmRSS)" rss
  both "anonymous resident, KB (RssAnon)" anon
  both "file descriptors (Linux)" fds
  exit
fi
case $only in
  i686) ;;
  x86_64) export QAR_WINE_TWIN=1 ;;
  *) echo "measure-footprint: --only i686 or x86_64" >&2; exit 2 ;;
esac
E2E_HELPERS=$E2E_WORK/helpers/i686
export QAR_WINE_TEMPLATE=${QAR_WINE_TEMPLATE:-$E2E_WORK/wine-template}
. "$E2E_REPO/tests/wine/e2e-lib.sh"
trap 'e2e_cleanup; rm -rf "$E2E_WORK"' EXIT
figures=${QAR_MEASURE_FIGURES:-/dev/null}
# A loaded machine slows the emulated program: give each screen more time
# than the tests do (a figure, not a deadline, is measured here).
export E2E_SCREEN_WAIT=${E2E_SCREEN_WAIT:-60}
: >"$figures"

for arch in i686 x86_64; do
  mkdir -p "$E2E_WORK/helpers/$arch"
  $arch-w64-mingw32-gcc -O2 -o "$E2E_WORK/helpers/$arch/qarwin.exe" "$E2E_REPO/tests/wine/qarwin.c" -lpsapi -lntdll
  $arch-w64-mingw32-gcc -O2 -mwindows -o "$E2E_WORK/helpers/$arch/recorder.exe" "$E2E_REPO/tests/wine/recorder.c"
done

e2e_prefix
echo "route $QAR_WINE_NOTE" >>"$figures"
e2e_pictures
qar_wine_version winxp
# Every XP system has C:\Windows\System; Wine's prefix has not.
mkdir -p "$WINEPREFIX/drive_c/windows/system"

# --- start to first paint ---------------------------------------------------

window_up() { xdotool search --name "^$E2E_MAIN_CAPTION\$" >/dev/null 2>&1; }

# The first paint is noticed on a few pixels of the install picture, read
# from the window about every 50 ms (cheaper than a whole screenshot); the
# whole picture is then checked once.
samples=("10 10" "345 60" "680 480" "200 300")
pixels_format() {
  local point x y
  for point in "${samples[@]}"; do
    read -r x y <<<"$point"
    printf '%%[pixel:p{%d,%d}] ' $((x + $1)) $((y + $2))
  done
}
expected_pixels=$(convert "$E2E_WORK/expected/install.png" -format "$(pixels_format 0 0)" info:)

painted() {
  [ "$(import -window "$e2e_wid" -depth 8 -format "$(pixels_format "$E2E_DX" "$E2E_DY")" info: 2>/dev/null)" \
    = "$expected_pixels" ]
}

poll_fast() {
  local i
  for i in $(seq $(( $1 * 100 ))); do
    "${@:2}" && return 0
    sleep 0.01
  done
  return 1
}

echo "start to first paint, s (run 1 starts the Wine server, the others find it running)"
printf '  %-4s %-8s %-8s\n' run mapped painted
warm=()
for run in $(seq "$runs"); do
  if [ "$run" = 1 ]; then qar_wine_stop; "$QAR_WINESERVER" -w; fi
  t0=$(e2e_now)
  (cd "$E2E_WORK/medium" && exec "$QAR_WINE" 'D:\Setup.exe') >/dev/null 2>&1 &
  e2e_pid=$!
  poll_fast 60 window_up || e2e_fail "no window"
  mapped=$(e2e_since "$t0")
  e2e_wid=$(xdotool search --name "^$E2E_MAIN_CAPTION\$" | head -1)
  e2e_launch_geometry
  poll_fast 30 painted || e2e_fail "the install picture's pixels never showed"
  first=$(e2e_since "$t0")
  e2e_expect_screen install >/dev/null
  printf '  %-4s %-8s %-8s\n' "$run" "$mapped" "$first"
  if [ "$run" = 1 ]; then
    echo "paint.cold mapped $mapped, painted $first" >>"$figures"
  else
    warm+=("$mapped $first")
  fi
  e2e_close >/dev/null
  # The later runs find the server, and Wine's services, running.
  if [ "$run" = 1 ]; then "$QAR_WINESERVER" -w; qar_wine_reg query 'HKCU\Software\Wine' >/dev/null; fi
done
median() { sort -n | awk '{v[NR] = $1} END {print NR ? v[int((NR + 1) / 2)] : "-"}'; }
[ ${#warm[@]} = 0 ] || echo "paint.warm mapped $(printf '%s\n' "${warm[@]}" | cut -d' ' -f1 | median)," \
  "painted $(printf '%s\n' "${warm[@]}" | cut -d' ' -f2 | median)" >>"$figures"

# --- soundness --------------------------------------------------------------

probes=$E2E_WORK/probes.txt
tick_count() { grep -c 'usb8023w\.sys' "$probes" || true; }

declare -A figure
# stats LABEL: the wizard's figures from Wine and from Linux.
stats() {
  local out unix
  out=$(timeout 20 "$QAR_WINE" 'C:\qar-test\qarwin.exe' stats | tr -d '\r')
  unix=$(pgrep -P "$e2e_pid" | head -1)
  figure[$1.handles]=$(awk '/^handles/{print $2}' <<<"$out")
  figure[$1.types]=$(sed -n 's/^handle-types //p' <<<"$out")
  figure[$1.workingset]=$(awk '/^workingset/{print int($2 / 1024)}' <<<"$out")
  figure[$1.pagefile]=$(awk '/^pagefile/{print int($2 / 1024)}' <<<"$out")
  figure[$1.rss]=$(awk '/^VmRSS/{print $2}' "/proc/$unix/status")
  figure[$1.anon]=$(awk '/^RssAnon/{print $2}' "/proc/$unix/status")
  figure[$1.fds]=$(find "/proc/$unix/fd" -mindepth 1 -maxdepth 1 | wc -l)
  figure[$1.ticks]=$(tick_count)
}

# The i686 Wine's glibc probes with statx, the x86_64 one with newfstatat.
(cd "$E2E_WORK/medium" &&
  exec strace -f --seccomp-bpf -qq -e trace=newfstatat,statx -e signal=none -o "$probes" \
    "$QAR_WINE" 'D:\Setup.exe') >/dev/null 2>&1 &
e2e_pid=$!
e2e_poll 60 window_up || e2e_fail "no window"
e2e_wid=$(xdotool search --name "^$E2E_MAIN_CAPTION\$" | head -1)
e2e_launch_geometry
e2e_expect_screen install >/dev/null
sleep 2
stats start
start_ticks=${figure[start.ticks]}
t0=$(e2e_now)

# Idle on the main screen until the ticks are counted.
idle_done() {
  local now
  now=$(tick_count)
  [ $((now - start_ticks)) -ge "$ticks" ]
}
e2e_poll 900 idle_done || e2e_fail "fewer than $ticks ticks in 15 minutes"
idle_time=$(e2e_since "$t0")
stats idle

# Install and removal by clicks: install, home, the tick shows the installed
# screen, remove, the tick shows the install screen again.
marker=$WINEPREFIX/drive_c/windows/usb8023w.sys
series=
t1=$(e2e_now)
for cycle in $(seq "$cycles"); do
  e2e_click install >/dev/null
  e2e_click home >/dev/null
  e2e_expect_screen uninstall >/dev/null
  [ -f "$marker" ] || e2e_fail "cycle $cycle: no marker after install"
  e2e_click install >/dev/null
  e2e_expect_screen install >/dev/null
  [ ! -e "$marker" ] || e2e_fail "cycle $cycle: marker left after removal"
  # The first install loads what every later one reuses.
  [ "$cycle" != 1 ] || stats first
  [ $(( cycle % 10 )) != 0 ] ||
    series+=" $cycle:$(awk '/^RssAnon/{print $2}' "/proc/$(pgrep -P "$e2e_pid" | head -1)/status")"
done
cycle_time=$(e2e_since "$t1")
sleep 2
stats cycles
e2e_close >/dev/null

row() {
  local start=${figure[start.$2]} idle=${figure[idle.$2]} first=${figure[first.$2]}
  local end=${figure[cycles.$2]}
  printf '  %-34s %9s %9s %9s %9s %+9d %+9d\n' "$1" "$start" "$idle" "$first" "$end" \
    $((end - start)) $((end - first))
}
idle_ticks=$((${figure[idle.ticks]} - start_ticks))
echo
echo "soundness (columns: at start; after the ticks; after the first cycle; after all cycles;"
echo "change from start; change since the first cycle): $idle_ticks ticks in $idle_time s ($(awk -v n="$idle_ticks" -v t="$idle_time" \
  'BEGIN{printf "%.0f", n / t}') per second) on the main screen, then $cycles install-and-removal" \
  "cycles in $cycle_time s"
printf '  %-34s %9s %9s %9s %9s %9s %9s\n' "" start "+ticks" "+1 cycle" "+cycles" change "since 1st"
row "handles (Wine handle table)" handles
row "working set, KB (Wine)" workingset
row "pagefile usage, KB (Wine)" pagefile
row "resident, KB (Linux VmRSS)" rss
row "anonymous resident, KB (RssAnon)" anon
row "file descriptors (Linux)" fds
echo "  anonymous resident KB every 10 cycles:$series"
echo "  handles by object type (type index:count):"
for stage in start idle first cycles; do echo "    $stage: ${figure[$stage.types]}"; done
{
  echo "ticks $idle_ticks in $idle_time s"
  echo "cycles $cycles in $cycle_time s"
  for key in handles workingset pagefile rss anon fds; do
    echo "$key ${figure[start.$key]} -> ${figure[idle.$key]} -> ${figure[cycles.$key]}"
  done
} >>"$figures"
