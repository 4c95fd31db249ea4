#!/bin/bash
# tools/render-screens.sh runs under Xvfb and writes the four screens, and
# the README's copies in docs/ still show what the simulator draws.
# Usage: render_screens_test.sh QAR_WIZARD
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$repo/tools/render-screens.sh" --wizard "$1" --out "$work" || { echo "FAIL: render-screens.sh"; exit 1; }
failed=0
for name in main main-installed connect-cable partner; do
  size=$(identify -format '%wx%h' "$work/$name.png" 2>/dev/null)
  [ "$size" = 690x495 ] || { echo "FAIL: $name.png is ${size:-missing}, not 690x495"; failed=1; continue; }
  differing=$(compare -metric AE "$work/$name.png" "$repo/docs/$name.png" null: 2>&1)
  [ "$differing" = 0 ] ||
    { echo "FAIL: docs/$name.png differs from the simulator's screen in $differing pixels (run tools/render-screens.sh)"; failed=1; }
done
[ $failed = 0 ] && echo "PASS"
exit $failed
