# Sourced by the Wine tests. Decides once how this machine runs the 32-bit
# programs, and gives each test a fresh Wine prefix, copied from a template
# made once per build (wineboot takes several seconds; a copy is under one).
#
#   qar_wine_prefix DEST [win64]  makes DEST a fresh prefix and exports
#                                 WINEPREFIX: 32-bit Windows by default,
#                                 64-bit Windows with win64
#   qar_wine ARGS...              runs the chosen loader in it
#   qar_wine_program FILE         the build of FILE (an i686 path) to run
#   qar_wine_version NAME         sets the version GetVersionExA reports
#   qar_wine_stop                 ends the prefix's wineserver
#
# The 32-bit loader runs natively where the kernel starts i386 programs, else
# through qemu-i386-static (a binfmt_misc handler, which tools/deps.sh
# registers). Where neither makes a usable 32-bit prefix, the tests run the
# x86_64 twin in a 64-bit prefix and say so in one line. The choice is made
# with the template and kept beside it, so every test of a build agrees.
#
# QAR_WINE_TEMPLATE names the template folder (default: a folder beside the
# test's working directory). Needs an X display (run inside xvfb-run).

QAR_WINE32=${QAR_WINE32:-/usr/lib/wine/wine}
QAR_WINE64=${QAR_WINE64:-/usr/lib/wine/wine64}
QAR_WINESERVER=${QAR_WINESERVER:-/usr/lib/wine/wineserver}
# Seconds a 32-bit prefix may take to make, and one 32-bit program to start
# and end: under emulation the tests would otherwise run for hours.
QAR_WINE32_BOOT_LIMIT=${QAR_WINE32_BOOT_LIMIT:-240}
QAR_WINE32_RUN_LIMIT=${QAR_WINE32_RUN_LIMIT:-20}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="

# _qar_wine_boot DIR WINEARCH LOADER [LIMIT]: makes a prefix (no window
# manager on Xvfb: Wine draws the frames itself and does not wait for one at
# every destroyed window).
_qar_wine_boot() {
  local dir=$1 arch=$2 loader=$3 limit=${4:-900}
  rm -rf "$dir"
  mkdir -p "$dir"
  WINEARCH=$arch WINEPREFIX=$dir timeout "$limit" "$loader" wineboot --init >/dev/null 2>&1 &&
    WINEPREFIX=$dir timeout 60 "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
    WINEPREFIX=$dir timeout "$limit" "$QAR_WINESERVER" -w
  local status=$?
  [ $status -eq 0 ] || WINEPREFIX=$dir "$QAR_WINESERVER" -k 2>/dev/null
  return $status
}

# How the kernel would start the 32-bit loader: native, qemu or none.
_qar_wine32_route() {
  "$QAR_WINE32" --version >/dev/null 2>&1 || { echo none; return; }
  if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 &&
     grep -qs '^interpreter .*qemu-i386' /proc/sys/fs/binfmt_misc/qemu-i386; then
    echo qemu
  else
    echo native
  fi
}

# Makes the templates and the choice, once: TEMPLATE/win32 (when the 32-bit
# route works), TEMPLATE/win64, and TEMPLATE/loader.
_qar_wine_choose() {
  local template=$1 route reason= started took
  route=$(_qar_wine32_route)
  case $route in
    none)
      if command -v qemu-i386-static >/dev/null; then
        reason="this kernel cannot start i386 programs and no binfmt_misc handler runs them through qemu-i386-static (tools/deps.sh windows registers one)"
      else
        reason="this kernel cannot start i386 programs and qemu-i386-static is not installed"
      fi ;;
    *)
      started=$(date +%s)
      if ! _qar_wine_boot "$template/win32" win32 "$QAR_WINE32" "$QAR_WINE32_BOOT_LIMIT"; then
        reason="the 32-bit loader ($route) did not make a 32-bit prefix within $QAR_WINE32_BOOT_LIMIT s"
      else
        took=$(($(date +%s) - started))
        started=$(date +%s)
        if ! WINEPREFIX=$template/win32 timeout "$QAR_WINE32_RUN_LIMIT" "$QAR_WINE32" reg query 'HKCU\Software\Wine' >/dev/null 2>&1; then
          reason="the 32-bit loader ($route) made a prefix in $took s but one 32-bit program did not run within $QAR_WINE32_RUN_LIMIT s"
        fi
        WINEPREFIX=$template/win32 "$QAR_WINESERVER" -k 2>/dev/null
      fi ;;
  esac
  _qar_wine_boot "$template/win64" win64 "$QAR_WINE64" || return 1
  if [ -z "$reason" ]; then
    printf 'QAR_WINE_ROUTE=%s\nQAR_WINE_NOTE=%q\n' "$route" \
      "Wine runs the i686 programs: 32-bit loader $route, 32-bit prefix" >"$template/loader"
  else
    rm -rf "$template/win32"
    printf 'QAR_WINE_ROUTE=x86_64\nQAR_WINE_NOTE=%q\n' \
      "THE 32-BIT PROGRAM WAS NOT RUN: $reason; Wine runs the x86_64 twin in a 64-bit prefix instead" >"$template/loader"
  fi
}

# The template folder, made (with the choice) when missing; loads the choice.
qar_wine_template() {
  local template=${QAR_WINE_TEMPLATE:-$PWD/wine-template}
  (
    flock 9
    if [ ! -f "$template/.ready" ]; then
      rm -rf "$template"
      mkdir -p "$template"
      _qar_wine_choose "$template" || { echo "wine-prefix: no 64-bit prefix could be made" >&2; exit 1; }
      touch "$template/.ready"
    fi
  ) 9>"$template.lock" || return 1
  # shellcheck disable=SC1091
  . "$template/loader"
  QAR_WINE_TEMPLATE_DIR=$template
  # The 32-bit loader runs i686 programs in either prefix (in a 64-bit one
  # through WoW64).
  if [ "$QAR_WINE_ROUTE" = x86_64 ]; then QAR_WINE=$QAR_WINE64; else QAR_WINE=$QAR_WINE32; fi
  export QAR_WINE_ROUTE QAR_WINE_NOTE QAR_WINE
}

# Prints the one line that says what Wine runs here.
qar_wine_note() { echo "wine: $QAR_WINE_NOTE"; }

qar_wine_prefix() {
  local dest=$1 kind=${2:-win32}
  qar_wine_template >/dev/null || return 1
  [ "$QAR_WINE_ROUTE" = x86_64 ] && kind=win64
  qar_wine_note
  rm -rf "$dest"
  cp -a "$QAR_WINE_TEMPLATE_DIR/$kind" "$dest"
  export WINEPREFIX=$dest
}

qar_wine() { "${QAR_WINE:-$QAR_WINE64}" "$@"; }

# FILE names an i686 build (.../i686/..., .../tests-i686/...); under the
# fallback, its x86_64 twin.
qar_wine_program() {
  local file=$1
  if [ "${QAR_WINE_ROUTE:-x86_64}" = x86_64 ]; then
    file=${file//\/tests-i686\//\/tests-x86_64\/}
    file=${file//\/i686\//\/x86_64\/}
  fi
  echo "$file"
}

qar_wine_version() {
  qar_wine reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1
  "$QAR_WINESERVER" -w
}

qar_wine_stop() { "$QAR_WINESERVER" -k 2>/dev/null || true; }
