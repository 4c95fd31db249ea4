#!/bin/bash
# Two clones of the last commit, in two folders, built one after the other:
# the same Setup.exe and the same CD image, byte for byte, and the PE time
# stamp is the commit's; signed with one throwaway certificate, the same
# signed Setup.exe and image too.
# Usage: reproducible_build_test.sh [WINDOWS_BUILD_DIR]  (its libjpeg source
# is reused so the builds need no download)
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

commit_time=$(git -C "$repo" log -1 --format=%ct) || fail "$repo is not a git clone"
unset SOURCE_DATE_EPOCH
"$repo/tests/make-test-signer.sh" "$work/signer" secret || fail "test certificates"
for n in 1 2; do
  clone="$work/clone $n/$(printf 'x%.0s' $(seq $((n * 7))))"
  git clone -q --no-local "$repo" "$clone" || fail "git clone"
  build="$work/build-$n"
  if [ -d "${1:-}/cache/src" ]; then
    mkdir -p "$build/cache" && cp -r "$1/cache/src" "$build/cache/"
  fi
  "$clone/tools/build-windows.sh" --arch i686 --build-dir "$build" --jobs 2 >"$work/build-$n.log" 2>&1 ||
    { tail -20 "$work/build-$n.log"; fail "build $n"; }
  "$clone/tools/make-medium.sh" --exe "$build/i686/Setup.exe" --out "$work/medium-$n" \
    --iso "$work/image-$n.iso" >/dev/null || fail "medium $n"
  "$clone/tools/make-medium.sh" --exe "$build/i686/Setup.exe" --out "$work/signed-$n" \
    --iso "$work/signed-$n.iso" --sign "$work/signer/signer.pem" "$work/signer/signer.key" \
    >/dev/null || fail "signed medium $n"
done

cmp "$work/build-1/i686/Setup.exe" "$work/build-2/i686/Setup.exe" || fail "Setup.exe differs"
cmp "$work/image-1.iso" "$work/image-2.iso" || fail "the CD image differs"
cmp "$work/signed-1/Setup.exe" "$work/signed-2/Setup.exe" || fail "the signed Setup.exe differs"
cmp "$work/signed-1.iso" "$work/signed-2.iso" || fail "the signed CD image differs"
# TimeDateStamp: 8 bytes into the PE header, which e_lfanew (at 0x3c) points to.
exe="$work/build-1/i686/Setup.exe"
pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
stamp=$(od -An -tu4 -j$((pe + 8)) -N4 "$exe" | tr -d ' ')
[ "$stamp" = "$commit_time" ] || fail "PE time stamp $stamp, the commit's time is $commit_time"
! grep -qF "$work" "$exe" || fail "the build folder is in Setup.exe"
echo "PASS: Setup.exe $(sha256sum "$exe" | cut -c1-64), image $(stat -c %s "$work/image-1.iso") bytes"
