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
# through qemu-i386-static: Wine re-executes its loader by path for every
# process, so a WINELOADER wrapper is not enough; a binfmt_misc handler is,
# and the tests register one in a private user and mount namespace (Linux
# 6.7 and later), which leaves the rest of the machine alone. Where neither
# makes a usable 32-bit prefix, the tests run the x86_64 twin in a 64-bit
# prefix and say so in one line. The choice is made with the template and
# kept beside it, so every test of a build agrees.
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

# i386 ELF programs and shared objects, run by qemu-i386-static. F: the
# interpreter is opened when the handler is registered.
_QAR_QEMU_I386=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'

# _qar_write_qemu_loader FILE: a loader that runs the 32-bit Wine with the
# handler registered in a namespace of its own; every process Wine starts
# from it stays in that namespace.
_qar_write_qemu_loader() {
  cat >"$1" <<LOADER
#!/bin/sh
exec unshare --user --map-root-user --mount sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && printf %s "\$0" >/proc/sys/fs/binfmt_misc/register && exec "$QAR_WINE32" "\$@"' '$_QAR_QEMU_I386' "\$@"
LOADER
  chmod 755 "$1"
}

# How this machine starts the 32-bit loader: native, qemu (a handler of the
# machine's own), qemu-namespace (ours, through LOADER) or none.
_qar_wine32_route() {
  local loader=$1
  if "$QAR_WINE32" --version >/dev/null 2>&1; then
    if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 &&
       grep -qs '^interpreter .*qemu-i386' /proc/sys/fs/binfmt_misc/qemu-i386; then
      echo qemu
    else
      echo native
    fi
  elif command -v qemu-i386-static >/dev/null && "$loader" --version >/dev/null 2>&1; then
    echo qemu-namespace
  else
    echo none
  fi
}

# Makes the templates and the choice, once: TEMPLATE/win32 (when the 32-bit
# route works), TEMPLATE/win64, and TEMPLATE/loader. The 32-bit prefix is
# tried beside the 64-bit one, which every route needs.
_qar_wine_choose() {
  local template=$1 route reason= loader=$QAR_WINE32 qemu_loader=$1/wine32-qemu
  _qar_write_qemu_loader "$qemu_loader"
  route=$(_qar_wine32_route "$qemu_loader")
  [ "$route" = qemu-namespace ] && loader=$qemu_loader
  case $route in
    none)
      if ! command -v qemu-i386-static >/dev/null; then
        reason="this kernel cannot start i386 programs and qemu-i386-static is not installed"
      else
        reason="this kernel cannot start i386 programs, and it cannot give qemu-i386-static a binfmt_misc handler in a private namespace (Linux 6.7 or later)"
      fi ;;
    *)
      (
        started=$(date +%s)
        if ! _qar_wine_boot "$template/win32" win32 "$loader" "$QAR_WINE32_BOOT_LIMIT"; then
          echo "the 32-bit loader ($route) did not make a 32-bit prefix within $QAR_WINE32_BOOT_LIMIT s" >"$template/win32.failed"
          exit
        fi
        took=$(($(date +%s) - started))
        if ! WINEPREFIX=$template/win32 timeout "$QAR_WINE32_RUN_LIMIT" "$loader" reg query 'HKCU\Software\Wine' >/dev/null 2>&1; then
          echo "the 32-bit loader ($route) made a prefix in $took s but one 32-bit program did not run within $QAR_WINE32_RUN_LIMIT s" >"$template/win32.failed"
        fi
        WINEPREFIX=$template/win32 "$QAR_WINESERVER" -k 2>/dev/null
      ) &
      ;;
  esac
  local boot64=0
  _qar_wine_boot "$template/win64" win64 "$QAR_WINE64" || boot64=1
  wait
  [ $boot64 -eq 0 ] || return 1
  if [ -f "$template/win32.failed" ]; then
    reason=$(cat "$template/win32.failed")
    rm -f "$template/win32.failed"
  fi
  if [ -z "$reason" ]; then
    printf 'QAR_WINE_ROUTE=%s\nQAR_WINE=%q\nQAR_WINE_NOTE=%q\n' "$route" "$loader" \
      "Wine runs the i686 programs: 32-bit loader $route, 32-bit prefix" >"$template/loader"
  else
    rm -rf "$template/win32"
    printf 'QAR_WINE_ROUTE=x86_64\nQAR_WINE=%q\nQAR_WINE_NOTE=%q\n' "$QAR_WINE64" \
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
  # through WoW64); under the fallback, wine64 runs the twins.
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
