#!/bin/bash
# Runs the conformance console program under Wine in a fresh 32-bit prefix
# that reports VERSION, on its own Xvfb display, and checks its result:
#
#   run-win32.sh VERSION PROGRAM.exe      (VERSION: winxp, win2k, ...)
#
# PROGRAM.exe is the i686 build; its x86_64 twin runs where this machine
# cannot run 32-bit programs (tests/windows/wine-prefix.sh says so).
#
# Started as root, the program runs as an unprivileged user
# (QAR_WINE_USER, default nobody): Wine keeps the read-only attribute as the
# Unix write bits, which root does not heed, so under root a copy onto a
# read-only file would succeed where Windows refuses it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -ne 2 ]; then
  echo "usage: run-win32.sh VERSION PROGRAM.exe" >&2
  exit 2
fi
if [ -z "${QAR_IN_XVFB:-}" ]; then
  QAR_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
version=$1

helpers=$here/../windows/wine-prefix.sh
. "$helpers"
work=$(mktemp -d)
qar_wine_prefix "$work/prefix"
program=$(readlink -f "$(qar_wine_program "$2")")
[ -f "$program" ] || { echo "run-win32: no program $program" >&2; exit 2; }
cp "$helpers" "$program" "$work/"
program=$work/$(basename "$program")

if [ "$(id -u)" -eq 0 ]; then
  user=${QAR_WINE_USER:-nobody}
  # Debian's Wine keeps the name of the server's folder in the prefix; the
  # other user needs one of its own.
  rm -f "$WINEPREFIX/wineserver"
  mkdir "$work/home"
  chown -R "$user:$(id -g "$user")" "$work"
  chmod 755 "$work"
  as_user() {
    setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
      env HOME="$work/home" USER="$user" LOGNAME="$user" WINEPREFIX="$WINEPREFIX" "$@"
  }
else
  as_user() { "$@"; }
fi
in_prefix() { as_user bash -c ". '$work/wine-prefix.sh' && $1"; }
trap 'in_prefix qar_wine_stop || true; rm -rf "$work"' EXIT

in_prefix "qar_wine_version '$version'"
set +e
in_prefix "qar_wine '$program' '$version'" | tr -d '\r' | tee "$work/output"
status=${PIPESTATUS[0]}
set -e

last=$(tail -n 1 "$work/output")
if ! [[ $last =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
  echo "run-win32: no closing line (exit code $status)" >&2
  exit 1
fi
if [ "$status" -ne 0 ] || [ "${BASH_REMATCH[2]}" -ne 0 ] || [ "${BASH_REMATCH[1]}" -eq 0 ]; then
  echo "run-win32: $version: exit code $status, $last" >&2
  exit 1
fi
