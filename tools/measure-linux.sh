#!/bin/bash
# Prints the simulator's start-to-first-paint time, its idle CPU on the main
# screen with the 1 ms timer running, and its peak memory, under Xvfb.
# Usage: tools/measure-linux.sh [BUILD_DIR]   (run inside xvfb-run or with DISPLAY set)
set -euo pipefail
build=${1:-build-test}
wizard=$build/app/fltk/qar-wizard
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
hz=$(getconf CLK_TCK)

runs=5
for i in $(seq $runs); do
  start=$(date +%s%6N)
  QAR_WIZARD_REPORT_FIRST_PAINT=1 "$wizard" --machine "$work/m$i" 2>"$work/paint$i" &
  pid=$!
  xdotool search --sync --name "Installation Wizard" >/dev/null
  sleep 0.3
  kill "$pid"; wait "$pid" 2>/dev/null || true
  awk -v s="$start" '/first paint at/ {printf "%.1f\n", ($4 - s) / 1000}' "$work/paint$i" >>"$work/paints"
done
echo "start to first paint (ms, $runs runs, fresh machine folder each): $(sort -n "$work/paints" | tr '\n' ' ')"

"$wizard" --machine "$work/idle" &
pid=$!
xdotool search --sync --name "Installation Wizard" >/dev/null
sleep 1
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(ticks); start=$(date +%s.%N)
sleep 10
after=$(ticks); end=$(date +%s.%N)
awk -v t=$((after - before)) -v hz="$hz" -v s="$start" -v e="$end" \
  'BEGIN { printf "idle CPU on the main screen: %.2f %% of one core over %.1f s\n", 100 * t / hz / (e - s), e - s }'
echo "peak memory: $(awk '/VmHWM/ {printf "%.1f MB", $2 / 1024}' "/proc/$pid/status") (VmHWM)"
