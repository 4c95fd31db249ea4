#!/usr/bin/env bash
# Cross-builds the Windows program with mingw-w64: Setup.exe for i686 (the
# product) and its x86_64 twin (what the Wine tests run on a machine that
# cannot start 32-bit programs). libjpeg is built from Debian's libjpeg-turbo
# source package, once per architecture, and kept in the build folder.
#
#   tools/build-windows.sh [--arch i686|x86_64|both] [--build-dir DIR]
#                          [--threads win32|posix] [--with-tests] [--jobs N]
#
# Outputs: DIR/<arch>/Setup.exe, stripped (DIR defaults to build-windows).
# --threads picks the compilers' thread model (see cmake/mingw-i686.cmake;
# posix makes a program that needs Windows Vista). --with-tests also builds
# the Win32 tests, DIR/tests-<arch>/platform/win32/win32_platform_tests.exe
# and DIR/tests-<arch>/app/win32/win32_host_tests.exe, to run under Wine.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/tools/apt-sources.sh"
arch=both
build_dir="$repo/build-windows"
with_tests=OFF
threads=win32
jobs=$(nproc 2>/dev/null || echo 2)

usage() { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; }

while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=${2:?--arch needs a value}; shift 2 ;;
    --arch=*) arch=${1#*=}; shift ;;
    --build-dir) build_dir=${2:?--build-dir needs a value}; shift 2 ;;
    --build-dir=*) build_dir=${1#*=}; shift ;;
    --threads) threads=${2:?--threads needs a value}; shift 2 ;;
    --threads=*) threads=${1#*=}; shift ;;
    --with-tests) with_tests=ON; shift ;;
    --jobs) jobs=${2:?--jobs needs a value}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "build-windows: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

case "$arch" in
  i686|x86_64) arches=("$arch") ;;
  both) arches=(i686 x86_64) ;;
  *) echo "build-windows: --arch must be i686, x86_64 or both" >&2; exit 2 ;;
esac

case "$threads" in
  win32|posix) ;;
  *) echo "build-windows: --threads must be win32 or posix" >&2; exit 2 ;;
esac

mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)

log() { echo "build-windows: $*" >&2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# --- (a) tools --------------------------------------------------------------
apt_updated=no
apt_update() {
  if [ "$apt_updated" = no ]; then
    as_root apt-get -o DPkg::Lock::Timeout=900 update -qq
    apt_updated=yes
  fi
}

ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    apt_update
    as_root env DEBIAN_FRONTEND=noninteractive \
      apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

packages=(cmake make dpkg-dev binutils-mingw-w64)
for a in "${arches[@]}"; do
  case "$a" in
    i686) packages+=(g++-mingw-w64-i686-$threads) ;;
    x86_64) packages+=(g++-mingw-w64-x86-64-$threads) ;;
  esac
done
if [ "$with_tests" = ON ]; then
  packages+=(googletest)
  for a in "${arches[@]}"; do
    case "$a" in
      i686) packages+=(g++-mingw-w64-i686-posix) ;;
      x86_64) packages+=(g++-mingw-w64-x86-64-posix) ;;
    esac
  done
fi
ensure_packages "${packages[@]}"

# --- (b) libjpeg from Debian's source package -------------------------------
cache="$build_dir/cache"
mkdir -p "$cache"

# A deb-src entry for bookworm main, added once in its own file.
ensure_deb_src() {
  AS_ROOT=as_root apt_add_entry deb-src bookworm qar-deb-src.sources build-windows || return 0
  apt_updated=no
  apt_update
}

jpeg_source() {
  local dir
  dir=$(find "$cache/src" -maxdepth 1 -type d -name 'libjpeg-turbo-*' 2>/dev/null | sort | tail -n1)
  if [ -z "$dir" ] || [ ! -f "$dir/CMakeLists.txt" ]; then
    ensure_deb_src
    mkdir -p "$cache/src"
    log "fetching the libjpeg-turbo source package"
    (cd "$cache/src" && apt-get source -qq libjpeg-turbo >/dev/null) || {
      apt_updated=no; apt_update
      (cd "$cache/src" && apt-get source -qq libjpeg-turbo >/dev/null)
    }
    dir=$(find "$cache/src" -maxdepth 1 -type d -name 'libjpeg-turbo-*' | sort | tail -n1)
  fi
  [ -n "$dir" ] || { echo "build-windows: no libjpeg-turbo source" >&2; exit 1; }
  echo "$dir"
}

# Decompression is all the program needs; no SIMD keeps the program small
# and avoids code paths that pre-SSE processors and Windows 95 never saw.
# The program's own C run-time (app/win32/Crt.c) supplies snprintf, not
# mingw's C99 version, which would add 40 KB; NO_GETENV drops the JPEGMEM
# variable, read with getenv and sscanf.
build_jpeg() {
  local a=$1 src=$2
  local prefix="$cache/jpeg-$a"
  local stamp="$prefix/.built-from-$(basename "$src")-no-getenv"
  if [ -f "$stamp" ] && [ -f "$prefix/lib/libjpeg.a" ]; then
    echo "$prefix"; return
  fi
  log "building libjpeg ($(basename "$src")) for $a" >&2
  rm -rf "$cache/jpeg-build-$a" "$prefix"
  cmake -S "$src" -B "$cache/jpeg-build-$a" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-$a.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_C_FLAGS="-D__USE_MINGW_ANSI_STDIO=0 -DNO_GETENV" \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF -DWITH_JAVA=OFF \
    -DCMAKE_POLICY_DEFAULT_CMP0057=NEW >"$cache/jpeg-$a.log" 2>&1 \
    || { cat "$cache/jpeg-$a.log" >&2; exit 1; }
  cmake --build "$cache/jpeg-build-$a" --target jpeg-static -j "$jobs" \
    >>"$cache/jpeg-$a.log" 2>&1 || { tail -50 "$cache/jpeg-$a.log" >&2; exit 1; }
  # Only the library and its headers: the command-line tools are not needed.
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$cache/jpeg-build-$a/libjpeg.a" "$prefix/lib/"
  cp "$src/jpeglib.h" "$src/jmorecfg.h" "$src/jerror.h" \
     "$cache/jpeg-build-$a/jconfig.h" "$prefix/include/"
  touch "$stamp"
  echo "$prefix"
}

# --- (c) the program --------------------------------------------------------
# configure_and_build ARCH THREADS OUT TESTS
configure_and_build() {
  local a=$1 model=$2 out=$3 tests=$4 prefix
  prefix=$(build_jpeg "$a" "$src")
  # Another thread model means other compilers: start that folder afresh.
  if [ -f "$out/CMakeCache.txt" ] &&
     ! grep -qx "QAR_MINGW_THREADS:STRING=$model" "$out/CMakeCache.txt"; then
    rm -rf "$out"
  fi
  cmake -S "$repo" -B "$out" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-$a.cmake" \
    -DQAR_MINGW_THREADS="$model" \
    -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DJPEG_INCLUDE_DIR="$prefix/include" \
    -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" \
    -DQAR_BUILD_TESTS=OFF -DQAR_BUILD_BENCH=OFF \
    -DQAR_BUILD_WIN32_TESTS="$tests" >/dev/null
  cmake --build "$out" -j "$jobs"
}

# Every time in the outputs (the PE time stamp) is the last commit's, or
# SOURCE_DATE_EPOCH when set: two builds of one commit are byte-identical.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH

src=$(jpeg_source)
for a in "${arches[@]}"; do
  out="$build_dir/$a"
  log "building Setup.exe for $a"
  configure_and_build "$a" "$threads" "$out" OFF
  "$a-w64-mingw32-strip" -o "$out/Setup.exe" "$out/app/win32/Setup.exe"
  log "$out/Setup.exe ($(stat -c %s "$out/Setup.exe") bytes)"
  if [ "$with_tests" = ON ]; then
    # GoogleTest needs std::mutex, which only the posix thread model has;
    # the tests run on Wine, where its Vista-era imports are no matter.
    log "building the Win32 tests for $a"
    configure_and_build "$a" posix "$build_dir/tests-$a" ON
    log "$build_dir/tests-$a/platform/win32/win32_platform_tests.exe"
    log "$build_dir/tests-$a/app/win32/win32_host_tests.exe"
  fi
done
