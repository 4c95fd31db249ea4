#!/bin/bash
# The GUI smoke test with the machine folder on a FUSE file system (bindfs),
# as a home directory may be: it refuses renameat2's RENAME_NOREPLACE, which
# the marker's rename asks for. Skipped (77) where FUSE cannot mount.
# Usage: fuse_home_test.sh GUI_SMOKE_TEST QAR_WIZARD RESOURCES_DIR
set -euo pipefail
work=$(mktemp -d)
mkdir "$work/real" "$work/home"
if ! bindfs --no-allow-other "$work/real" "$work/home" 2>"$work/mount.err"; then
  cat "$work/mount.err"
  rm -rf "$work"
  echo "SKIP: bindfs cannot mount here"
  exit 77
fi
trap 'fusermount -u "$work/home"; rm -rf "$work"' EXIT
"$1" "$2" "$3" "$work/home"
