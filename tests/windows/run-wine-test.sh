#!/bin/bash
# Runs one Windows test program under Wine in a fresh 32-bit prefix on its
# own Xvfb display: run-wine-test.sh PROGRAM.exe [ARGS...], PROGRAM.exe an
# i686 build (its x86_64 twin where this machine cannot run it).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QAR_IN_XVFB:-}" ]; then
  QAR_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
. "$here/wine-prefix.sh"
work=$(mktemp -d)
trap 'qar_wine_stop; rm -rf "$work"' EXIT
qar_wine_prefix "$work/prefix"
program=$(qar_wine_program "$1")
shift
qar_wine "$program" "$@"
