#!/usr/bin/env bash
# Lays out the installation medium: Setup.exe (the i686 program), the
# autorun file that starts it, and the files the wizard installs and opens;
# then the same as a CD image (ISO 9660 with Joliet names for the long ones).
#
#   tools/make-medium.sh [--exe SETUP.EXE] [--real DIR] [--out DIR] [--iso FILE]
#                        [--sign CERT KEY | --sign-pkcs12 FILE] [--timestamp URL]
#
# --exe   the program (default build-windows/i686/Setup.exe, made by
#         tools/build-windows.sh)
# --real  a folder holding the real driver package, companion program,
#         manual and reader installer in the medium's layout (names matched
#         case-insensitively, as on a CD); every missing file is named.
#         Without it, the demo medium's placeholders from medium/ are used.
# --out   the medium folder (default dist/medium); replaced whole.
# --iso   the CD image (default qar-setup.iso beside the medium folder, so
#         dist/qar-setup.iso). Its times are SOURCE_DATE_EPOCH's, or the last
#         commit's: the same files give the same image.
# --sign  sign Setup.exe, and QAR.exe when it is a PE program, with
#         Authenticode (osslsigncode, SHA-256) before they go on the medium:
#         CERT holds the code-signing certificate (and the chain to add), KEY
#         its private key. The signing time is the image's, so an RSA key
#         signs the same files to the same bytes.
# --sign-pkcs12  the same with certificate and key from a PKCS#12 file.
#         A password for KEY or FILE comes from QAR_SIGN_PASSWORD.
# --timestamp  have the signatures time-stamped by this RFC 3161 server
#         (needs the network; the token differs from one build to the next).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
exe="$repo/build-windows/i686/Setup.exe"
real=
out="$repo/dist/medium"
iso=
sign=()
sign_files=()
timestamp=
# Joliet allows 16 characters.
readonly volume_label=QAR_TARNLINK

usage() { sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; }

while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe=${2:?--exe needs a value}; shift 2 ;;
    --real) real=${2:?--real needs a value}; shift 2 ;;
    --out) out=${2:?--out needs a value}; shift 2 ;;
    --iso) iso=${2:?--iso needs a value}; shift 2 ;;
    --sign) sign=(-certs "${2:?--sign needs CERT and KEY}" -key "${3:?--sign needs CERT and KEY}")
      sign_files=("$2" "$3"); shift 3 ;;
    --sign-pkcs12) sign=(-pkcs12 "${2:?--sign-pkcs12 needs a value}"); sign_files=("$2"); shift 2 ;;
    --timestamp) timestamp=${2:?--timestamp needs a value}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "make-medium: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

fail() { echo "make-medium: $*" >&2; exit 1; }

[ -f "$exe" ] || fail "no program at $exe (run tools/build-windows.sh first)"
if [ ${#sign[@]} -gt 0 ]; then
  command -v osslsigncode >/dev/null || fail "no osslsigncode (tools/deps.sh windows installs it)"
  for f in "${sign_files[@]}"; do
    [ -f "$f" ] || fail "no file $f to sign with"
  done
elif [ -n "$timestamp" ]; then
  fail "--timestamp needs --sign or --sign-pkcs12"
fi

# What the wizard reads from the medium, in the medium's own spelling.
required=(
  'Driver\QAR.CAT'
  'Driver\QAR.inf'
  'Driver\rndismpk.sys'
  'Driver\rndismpm.sys'
  'Driver\rndismpw.sys'
  'Driver\usb8023k.sys'
  'Driver\usb8023m.sys'
  'QAR.exe'
  'Manual\K7Q3WG_MN.pdf'
  'Adobe Acrobat\ar505enu.exe'
)

# The file under $1 whose path matches the Windows path $2 without regard to
# case, or nothing.
find_ci() {
  local dir=$1 part found
  local IFS='\'
  for part in $2; do
    found=$(find "$dir" -mindepth 1 -maxdepth 1 -iname "$part" -print -quit 2>/dev/null)
    [ -n "$found" ] || return 0
    dir=$found
  done
  [ -f "$dir" ] && echo "$dir"
  return 0
}

if [ -n "$real" ]; then
  [ -d "$real" ] || fail "no folder $real"
  source_dir=$(cd "$real" && pwd)
  missing=()
  for path in "${required[@]}"; do
    [ -n "$(find_ci "$source_dir" "$path")" ] || missing+=("$path")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "make-medium: $source_dir lacks ${#missing[@]} file(s) of the medium:" >&2
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
  fi
else
  source_dir="$repo/medium"
  [ -d "$source_dir" ] || fail "no demo medium at $source_dir"
fi

rm -rf "$out"
mkdir -p "$out"
cp "$exe" "$out/Setup.exe"
printf '[autorun]\r\nopen=Setup.exe\r\nicon=Setup.exe\r\n' >"$out/autorun.inf"

if [ -n "$real" ]; then
  # The required files under their medium names, then whatever else the
  # real Driver folder carries (the package may hold more than the wizard
  # names).
  for path in "${required[@]}"; do
    target="$out/${path//\\//}"
    mkdir -p "$(dirname "$target")"
    cp "$(find_ci "$source_dir" "$path")" "$target"
  done
  driver=$(find "$source_dir" -mindepth 1 -maxdepth 1 -type d -iname Driver -print -quit)
  for file in "$driver"/*; do
    [ -f "$file" ] || continue
    name=$(basename "$file")
    if ! find "$out/Driver" -maxdepth 1 -iname "$name" | grep -q .; then
      cp "$file" "$out/Driver/$name"
    fi
  done
else
  # The demo medium as it is, without its build and read-me files.
  (cd "$source_dir" && find . -type f ! -name CMakeLists.txt ! -name README.md -print0) |
    while IFS= read -r -d '' file; do
      mkdir -p "$out/$(dirname "$file")"
      cp "$source_dir/$file" "$out/$file"
    done
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH

# "MZ", and "PE\0\0" where the offset at 0x3c points.
is_pe() {
  local pe
  [ "$(od -An -c -N2 "$1" | tr -d ' ')" = MZ ] || return 1
  pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$pe" ] && [ "$(od -An -c -j"$pe" -N4 "$1" 2>/dev/null | tr -d ' ')" = 'PE\0\0' ]
}

# sign_pe FILE: FILE replaced by its signed copy; no medium is left when
# that fails. The password goes through a pipe, never on a command line.
sign_pe() {
  local file=$1 unsigned="$1.unsigned" output status=0
  local args=(sign "${sign[@]}" -h sha256 -time "$SOURCE_DATE_EPOCH")
  [ -z "$timestamp" ] || args+=(-ts "$timestamp")
  mv "$file" "$unsigned"
  if [ -n "${QAR_SIGN_PASSWORD:-}" ]; then
    output=$(osslsigncode "${args[@]}" -readpass <(printf '%s' "$QAR_SIGN_PASSWORD") \
      -in "$unsigned" -out "$file" 2>&1) || status=$?
  else
    output=$(osslsigncode "${args[@]}" -in "$unsigned" -out "$file" 2>&1) || status=$?
  fi
  if [ $status -ne 0 ]; then
    echo "$output" >&2
    rm -rf "$out"
    fail "could not sign ${file#"$out/"}"
  fi
  chmod --reference="$unsigned" "$file"
  rm "$unsigned"
  echo "make-medium: signed ${file#"$out/"}"
}

if [ ${#sign[@]} -gt 0 ]; then
  sign_pe "$out/Setup.exe"
  if is_pe "$out/QAR.exe"; then
    sign_pe "$out/QAR.exe"
  fi
fi

echo "make-medium: $out ($(find "$out" -type f | wc -l) files)"

command -v xorriso >/dev/null || fail "no xorriso (tools/deps.sh windows installs it)"
[ -n "$iso" ] || iso="$(dirname "$out")/qar-setup.iso"
rm -f "$iso"
xorriso -as mkisofs -quiet -o "$iso" -J -V "$volume_label" \
  --set_all_file_dates "=$SOURCE_DATE_EPOCH" "$out" 2>&1 |
  { grep -v -e '^xorriso .* libburnia project' -e 'SOURCE_DATE_EPOCH encountered' -e '^$' || true; } >&2
[ -s "$iso" ] || fail "no image written to $iso"
echo "make-medium: $iso ($(stat -c %s "$iso") bytes)"
