#!/usr/bin/env bash
# tools/make-medium.sh on temporary folders: the demo medium's layout and
# autorun file, a real package given in CD spelling, the CD images of both
# read back against their folders, and the error that names every missing
# file.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
make_medium="$repo/tools/make-medium.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
check() {  # check NAME STATUS [DETAIL]
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $1${3:+: $3}"
  fi
}

# check_image NAME FOLDER ISO: the image read back through its Joliet names
# (as Windows reads it, without Rock Ridge)
# holds the folder's tree exactly, name by name and byte by byte, under the
# product's volume label.
check_image() {
  local name=$1 folder=$2 iso=$3 back="$work/back-$1" listing diff_out
  rm -rf "$back"
  xorriso -osirrox on -read_fs norock -indev "$iso" -extract / "$back" >/dev/null 2>&1
  check "$name image: extracted" $?
  listing=$(cd "$back" && find . -mindepth 1 | LC_ALL=C sort)
  diff_out=$(diff <(cd "$folder" && find . -mindepth 1 | LC_ALL=C sort) <(echo "$listing"))
  check "$name image: same names" $? "$diff_out"
  diff_out=$(diff -r "$folder" "$back" 2>&1)
  check "$name image: same bytes" $? "$diff_out"
  check "$name image: volume label" \
    "$(xorriso -indev "$iso" -pvd_info 2>/dev/null | grep -qx 'Volume Id    : QAR_TARNLINK'; echo $?)"
  for f in Setup.exe autorun.inf QAR.exe; do
    check "$name image: /$f at the root" "$(grep -qx "./$f" <<<"$listing"; echo $?)"
  done
}

# A stand-in program: the script only copies it.
printf 'MZ stand-in' >"$work/Setup.exe"

medium_files=(
  Setup.exe
  autorun.inf
  Driver/QAR.CAT
  Driver/QAR.inf
  Driver/rndismpk.sys
  Driver/rndismpm.sys
  Driver/rndismpw.sys
  Driver/usb8023k.sys
  Driver/usb8023m.sys
  QAR.exe
  Manual/K7Q3WG_MN.pdf
  "Adobe Acrobat/ar505enu.exe"
)

# --- the demo medium --------------------------------------------------------
out="$work/demo"
"$make_medium" --exe "$work/Setup.exe" --out "$out" >/dev/null
check "demo: exit status" $?
for f in "${medium_files[@]}"; do
  check "demo: $f" "$([ -f "$out/$f" ]; echo $?)"
done
check "demo: program copied" "$(cmp -s "$work/Setup.exe" "$out/Setup.exe"; echo $?)"
check "demo: autorun.inf bytes" \
  "$(printf '[autorun]\r\nopen=Setup.exe\r\nicon=Setup.exe\r\n' | cmp -s - "$out/autorun.inf"; echo $?)"
check "demo: placeholders copied" "$(cmp -s "$repo/medium/QAR.exe" "$out/QAR.exe"; echo $?)"
check "demo: no build files" "$([ ! -e "$out/CMakeLists.txt" ] && [ ! -e "$out/README.md" ]; echo $?)"
check_image demo "$out" "$work/qar-setup.iso"

# A second run replaces the folder: nothing stale stays.
touch "$out/stale.txt"
"$make_medium" --exe "$work/Setup.exe" --out "$out" >/dev/null
check "demo: rerun replaces the folder" "$([ ! -e "$out/stale.txt" ]; echo $?)"

# --- a real package, spelt as on a CD ---------------------------------------
real="$work/real"
mkdir -p "$real/DRIVER" "$real/manual" "$real/ADOBE ACROBAT"
for f in QAR.CAT QAR.INF RNDISMPK.SYS RNDISMPM.SYS RNDISMPW.SYS USB8023K.SYS USB8023M.SYS EXTRA.DLL; do
  echo "real $f" >"$real/DRIVER/$f"
done
echo "real companion" >"$real/qar.exe"
echo "real manual" >"$real/manual/k7q3wg_mn.pdf"
echo "real reader" >"$real/ADOBE ACROBAT/AR505ENU.EXE"
out="$work/real-medium"
"$make_medium" --exe "$work/Setup.exe" --real "$real" --out "$out" --iso "$work/real.iso" >/dev/null
check "real: exit status" $?
for f in "${medium_files[@]}"; do
  check "real: $f" "$([ -f "$out/$f" ]; echo $?)"
done
check "real: contents from the package" "$(grep -qx 'real USB8023M.SYS' "$out/Driver/usb8023m.sys"; echo $?)"
check "real: other driver files kept" "$([ -f "$out/Driver/EXTRA.DLL" ]; echo $?)"
check "real: no placeholder" "$(! grep -rq placeholder "$out" 2>/dev/null; echo $?)"
check_image real "$out" "$work/real.iso"

# --- missing files are all named --------------------------------------------
rm "$real/DRIVER/RNDISMPW.SYS" "$real/manual/k7q3wg_mn.pdf"
out="$work/incomplete"
message=$("$make_medium" --exe "$work/Setup.exe" --real "$real" --out "$out" 2>&1 >/dev/null)
status=$?
check "missing: fails" "$([ $status -ne 0 ]; echo $?)"
check "missing: names the driver file" "$(grep -qF 'Driver\rndismpw.sys' <<<"$message"; echo $?)" "$message"
check "missing: names the manual" "$(grep -qF 'Manual\K7Q3WG_MN.pdf' <<<"$message"; echo $?)" "$message"
check "missing: names nothing present" "$(! grep -qF 'QAR.exe' <<<"$message"; echo $?)" "$message"
check "missing: no medium made" "$([ ! -e "$out" ]; echo $?)"

missing_exe=$("$make_medium" --exe "$work/absent.exe" --out "$work/x" 2>&1 >/dev/null)
check "no program: fails with a hint" "$(grep -q 'build-windows.sh' <<<"$missing_exe"; echo $?)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
