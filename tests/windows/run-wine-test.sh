#!/bin/bash
# Runs one Windows test program under wine64 in a fresh prefix on its own
# Xvfb display: run-wine-test.sh PROGRAM.exe [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QAR_IN_XVFB:-}" ]; then
  QAR_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
. "$here/wine-prefix.sh"
work=$(mktemp -d)
trap 'qar_wine_stop; rm -rf "$work"' EXIT
qar_wine_prefix "$work/prefix"
qar_wine "$@"
