# Sourced by the Wine tests. Decides once how this machine runs the 32-bit
# programs, and gives each test a fresh Wine prefix, copied from a template
# made once per build (wineboot takes several seconds; a copy is under one).
#
#   qar_wine_prefix DEST [win64]  makes DEST a fresh prefix and exports
#                                 WINEPREFIX: 32-bit Windows by default,
#                                 64-bit Windows with win64
#   qar_wine ARGS...              runs the chosen loader in it
#   qar_wine_reg ARGS...          Wine's reg, seeing the registry as the
#                                 program does
#   qar_wine_program FILE         the build of FILE (an i686 path) to run
#   qar_wine_version NAME         sets the version GetVersionExA reports
#   qar_wine_stop                 ends the prefix's wineserver
#
# The 32-bit loader runs natively where the kernel starts i386 programs, else
# through qemu-i386-static: Wine re-executes its loader by path for every
# process, so a WINELOADER wrapper is not enough; a binfmt_misc handler is,
# and the tests register one in a private user and mount namespace (Linux
# 6.7 and later), which leaves the rest of the machine alone. That qemu must
# be 8 or later: Debian's wine32 has no preloader, so its ntdll reserves the
# address space with MAP_FIXED_NOREPLACE, which qemu 7 ignores; Wine then
# probes 2 GiB in 64 KiB steps before every process starts. Where
# neither route makes a usable 32-bit prefix, the tests run the x86_64 twin
# in a 64-bit prefix and say so in one line. The choice is made with the
# template and kept beside it, so every test of a build agrees.
#
# Each prefix keeps one wineserver until qar_wine_stop, or a minute idle
# (Debian's wineserver ends with its last client), so that Wine's own
# services start once per test rather than for every call (under qemu,
# several seconds each).
#
# QAR_WINE_TEMPLATE names the template folder (default: a folder beside the
# test's working directory); QAR_WINE_TWIN=1 runs the x86_64 twin whatever
# the route (to measure the two side by side). Needs an X display (run inside xvfb-run).

QAR_WINE32=${QAR_WINE32:-/usr/lib/wine/wine}
QAR_WINE64=${QAR_WINE64:-/usr/lib/wine/wine64}
QAR_WINESERVER=${QAR_WINESERVER:-/usr/lib/wine/wineserver}
QAR_QEMU_I386=${QAR_QEMU_I386:-qemu-i386-static}
# Seconds a 32-bit prefix may take to make, and one 32-bit program to start
# cold and end: a safety net should an emulated route still crawl, wide
# enough for a busy machine (2 cores at a load of 12: 128 s and over 20 s).
QAR_WINE32_BOOT_LIMIT=${QAR_WINE32_BOOT_LIMIT:-600}
QAR_WINE32_RUN_LIMIT=${QAR_WINE32_RUN_LIMIT:-120}
export WINEDEBUG=${WINEDEBUG:--all}
# No .NET or Gecko installers, and no menu entries or file associations
# written into the host's desktop for each program started.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

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

# The i386 ELF programs and shared objects, for qemu-i386-static. F: the
# interpreter is opened when the handler is registered.
_qar_qemu_handler() {
  printf ':qemu-i386:M::%s:%s:%s:F' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
    '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' "$1"
}

# _qar_write_qemu_ns FILE QEMU: a wrapper that runs its arguments with QEMU
# registered for i386 programs in a user and mount namespace of its own;
# every process Wine starts from there stays in it. Registering takes root
# in the namespace; a second namespace then gives the caller its own uid
# back, so that Wine finds its server folder and files keep their owner's
# permissions (a root in the namespace would override them).
_qar_write_qemu_ns() {
  cat >"$1" <<WRAPPER
#!/bin/sh
register='mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && printf %s "\$0" >/proc/sys/fs/binfmt_misc/register'
uid=\$(id -u) gid=\$(id -g)
[ "\$uid" = 0 ] && exec unshare --user --map-root-user --mount sh -c "\$register"' && exec "\$@"' '$(_qar_qemu_handler "$2")' "\$@"
exec unshare --user --map-root-user --mount sh -c "\$register"' && exec unshare --user --map-user='"\$uid"' --map-group='"\$gid"' "\$@"' '$(_qar_qemu_handler "$2")' "\$@"
WRAPPER
  chmod 755 "$1"
}

# _qar_qemu_version QEMU: its version (10.0.2) if it is 8 or later; else,
# failing, why not.
_qar_qemu_version() {
  local version
  version=$("$1" --version 2>/dev/null | sed -n '1s/^qemu-[^ ]* version \([0-9][0-9.]*\).*/\1/p')
  if [ -z "$version" ]; then
    echo "$1 does not run"
    return 1
  fi
  if [ "${version%%.*}" -lt 8 ]; then
    echo "$1 is qemu $version, older than 8: it lacks MAP_FIXED_NOREPLACE, and the 32-bit Wine would crawl through every process start; install qemu-user-static 8 or later from bookworm-backports (tools/deps.sh does)"
    return 1
  fi
  echo "$version"
}

# How this machine starts the 32-bit loader, as "ROUTE QEMU-VERSION":
# native, qemu (a handler of the machine's own), qemu-namespace (ours, the
# wrapper NS) or none; with none, the reason on stderr.
_qar_wine32_route() {
  local ns=$1 interpreter version
  if "$QAR_WINE32" --version >/dev/null 2>&1; then
    interpreter=$(grep -hs -A1 '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 | sed -n 's/^interpreter //p')
    if [ -z "$interpreter" ]; then
      echo native
    elif version=$(_qar_qemu_version "$interpreter"); then
      echo "qemu $version"
    else
      echo "i386 programs start through this machine's qemu handler, and $version" >&2
      echo none
    fi
  elif ! command -v "$QAR_QEMU_I386" >/dev/null; then
    echo "this kernel cannot start i386 programs and qemu-i386-static is not installed (package qemu-user-static 8 or later, from bookworm-backports; tools/deps.sh installs it)" >&2
    echo none
  elif ! version=$(_qar_qemu_version "$(command -v "$QAR_QEMU_I386")"); then
    echo "this kernel cannot start i386 programs, and $version" >&2
    echo none
  elif "$ns" "$QAR_WINE32" --version >/dev/null 2>&1; then
    echo "qemu-namespace $version"
  else
    echo "this kernel cannot start i386 programs, and it cannot give qemu-i386-static a binfmt_misc handler in a private namespace (Linux 6.7 or later)" >&2
    echo none
  fi
}

# Makes the templates and the choice, once: TEMPLATE/win32 (when the 32-bit
# route works), TEMPLATE/win64, and TEMPLATE/loader. The 32-bit prefix is
# made beside the 64-bit one, which every route needs; under our qemu
# handler both are made in the namespace, or the 64-bit prefix's 32-bit
# half (syswow64) stays empty and no i686 program starts in it.
_qar_wine_choose() {
  local template=$1 route version reason loader=$QAR_WINE32 loader64=$QAR_WINE64 ns=$1/qemu-ns qemu
  qemu=$(command -v "$QAR_QEMU_I386" || echo /usr/bin/qemu-i386-static)
  _qar_write_qemu_ns "$ns" "$qemu"
  read -r route version < <(_qar_wine32_route "$ns" 2>"$template/win32.failed")
  reason=$(cat "$template/win32.failed")
  # Said at once: the 64-bit prefix takes a while.
  [ -z "$reason" ] || echo "wine-prefix: $reason" >&2
  rm -f "$template/win32.failed"
  if [ "$route" = qemu-namespace ]; then
    loader="$template/wine32"
    loader64="$template/wine64"
    printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$ns" "$QAR_WINE32" >"$loader"
    printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$ns" "$QAR_WINE64" >"$loader64"
    chmod 755 "$loader" "$loader64"
  fi
  if [ "$route" != none ]; then
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
  fi
  local boot64=0
  _qar_wine_boot "$template/win64" win64 "$loader64" || boot64=1
  wait
  [ $boot64 -eq 0 ] || return 1
  if [ -f "$template/win32.failed" ]; then
    reason=$(cat "$template/win32.failed")
    rm -f "$template/win32.failed"
  fi
  local how
  case $route in
    native) how="32-bit loader native" ;;
    qemu) how="32-bit loader through qemu $version (the machine's binfmt_misc handler)" ;;
    qemu-namespace) how="32-bit loader through qemu $version (qemu-i386-static, binfmt_misc handler in a private namespace)" ;;
  esac
  if [ -z "$reason" ]; then
    printf 'QAR_WINE_ROUTE=%s\nQAR_WINE=%q\nQAR_WINE64_LOADER=%q\nQAR_WINE_NOTE=%q\n' "$route" "$loader" \
      "$loader64" "Wine runs the i686 programs: $how, 32-bit prefix" >"$template/loader"
  else
    rm -rf "$template/win32"
    printf 'QAR_WINE_ROUTE=x86_64\nQAR_WINE=%q\nQAR_WINE64_LOADER=%q\nQAR_WINE_NOTE=%q\n' "$QAR_WINE64" \
      "$QAR_WINE64" "THE 32-BIT PROGRAM WAS NOT RUN: $reason; Wine runs the x86_64 twin in a 64-bit prefix instead" \
      >"$template/loader"
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
  if [ -n "${QAR_WINE_TWIN:-}" ] && [ "$QAR_WINE_ROUTE" != x86_64 ]; then
    QAR_WINE_ROUTE=x86_64 QAR_WINE=$QAR_WINE64 QAR_WINE64_LOADER=$QAR_WINE64
    QAR_WINE_NOTE="Wine runs the x86_64 twin in a 64-bit prefix (QAR_WINE_TWIN)"
  fi
  # The 32-bit loader runs i686 programs in either prefix (in a 64-bit one
  # through WoW64); under the fallback, wine64 runs the twins.
  export QAR_WINE_ROUTE QAR_WINE_NOTE QAR_WINE QAR_WINE64_LOADER
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

# The prefix's wineserver, started to stay a minute after its last program
# (a later -p overrides the -p0 of Debian's wrapper): long enough between
# the calls of a test, short enough that a test killed before its end
# leaves nothing behind for long. One already running keeps going.
qar_wine_server() { "$QAR_WINESERVER" -p60 </dev/null >/dev/null 2>&1 || true; }

qar_wine() {
  qar_wine_server
  "${QAR_WINE:-$QAR_WINE64}" "$@"
}

# Wine's reg in the prefix. In a 64-bit one the 64-bit loader runs it (no
# emulation), looking at the 32-bit view where the program is an i686 one.
qar_wine_reg() {
  qar_wine_server
  if [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
    "${QAR_WINE:-$QAR_WINE64}" reg "$@"
  elif [ "${QAR_WINE_ROUTE:-x86_64}" = x86_64 ]; then
    "${QAR_WINE64_LOADER:-$QAR_WINE64}" reg "$@"
  else
    "${QAR_WINE64_LOADER:-$QAR_WINE64}" reg "$@" /reg:32
  fi
}

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
  qar_wine_reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1
}

qar_wine_stop() { "$QAR_WINESERVER" -k 2>/dev/null || true; }
