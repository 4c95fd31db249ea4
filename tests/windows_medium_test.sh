#!/usr/bin/env bash
# tools/make-medium.sh on temporary folders: the demo medium's layout and
# autorun file, a real package given in CD spelling, the CD images of both
# read back against their folders, and the error that names every missing
# file. Then signed media, with a throwaway authority and the built program:
# the signatures verify, at the pinned time, and a changed byte breaks them;
# the same input signs to the same bytes; the signed program still passes
# tests/win32_imports_test.sh.
#
#   tests/windows_medium_test.sh [SETUP.EXE]   (default build-windows/i686/Setup.exe)
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
make_medium="$repo/tools/make-medium.sh"
program=${1:-$repo/build-windows/i686/Setup.exe}
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

# --- signed media -------------------------------------------------------------
if [ ! -f "$program" ]; then
  echo "signing not checked: no program at $program (run tools/build-windows.sh)"
  failed=$((failed + 1))
else
  "$repo/tests/make-test-signer.sh" "$work/signer" secret
  check "signed: test certificates made" $?
  verify() { osslsigncode verify -CAfile "$work/signer/ca.pem" -in "$1" 2>&1; }
  export SOURCE_DATE_EPOCH=1700000000
  signing_time=$(LC_ALL=C date -u -d @$SOURCE_DATE_EPOCH '+%b %e %H:%M:%S %Y GMT')

  out="$work/signed"
  "$make_medium" --exe "$program" --sign "$work/signer/signer.pem" "$work/signer/signer.key" \
    --out "$out" --iso "$work/signed.iso" >/dev/null
  check "signed: exit status" $?
  report=$(verify "$out/Setup.exe")
  check "signed: Setup.exe verifies" $? "$report"
  check "signed: SHA-256" "$(grep -q 'Message digest algorithm *: SHA256' <<<"$report"; echo $?)"
  check "signed: signing time $signing_time" \
    "$(grep -qF "Signing time: $signing_time" <<<"$report"; echo $?)" "$(grep 'Signing time' <<<"$report")"
  check "signed: placeholder QAR.exe left as it is" "$(cmp -s "$repo/medium/QAR.exe" "$out/QAR.exe"; echo $?)"
  imports=$("$repo/tests/win32_imports_test.sh" "$out/Setup.exe" 2>&1)
  check "signed: Setup.exe passes the import checks" $? "$(grep FAIL <<<"$imports")"
  check_image signed "$out" "$work/signed.iso"

  # Tampered: one bit of a byte in the middle of the program.
  cp "$out/Setup.exe" "$work/tampered.exe"
  offset=$(($(stat -c %s "$work/tampered.exe") / 2))
  byte=$(od -An -tu1 -j$offset -N1 "$work/tampered.exe" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 1)))" |
    dd of="$work/tampered.exe" bs=1 seek=$offset conv=notrunc status=none
  check "signed: tampered copy differs" "$(! cmp -s "$out/Setup.exe" "$work/tampered.exe"; echo $?)"
  check "signed: a changed byte fails verification" "$(! verify "$work/tampered.exe" >/dev/null; echo $?)"

  # The PKCS#12 route, the same certificate: the same bytes. A real package
  # whose companion is a PE program gets it signed too.
  cp -r "$real" "$work/real-pe"
  echo "real RNDISMPW.SYS" >"$work/real-pe/DRIVER/RNDISMPW.SYS"
  echo "real manual" >"$work/real-pe/manual/k7q3wg_mn.pdf"
  cp "$program" "$work/real-pe/qar.exe"
  out="$work/signed-p12"
  QAR_SIGN_PASSWORD=secret "$make_medium" --exe "$program" --sign-pkcs12 "$work/signer/signer.p12" \
    --real "$work/real-pe" --out "$out" >/dev/null
  check "signed p12: exit status" $?
  check "signed p12: same Setup.exe bytes" "$(cmp -s "$work/signed/Setup.exe" "$out/Setup.exe"; echo $?)"
  check "signed p12: companion QAR.exe verifies" "$(verify "$out/QAR.exe" >/dev/null; echo $?)"
  check "signed p12: companion signed like the program" "$(cmp -s "$out/Setup.exe" "$out/QAR.exe"; echo $?)"

  message=$(QAR_SIGN_PASSWORD=wrong "$make_medium" --exe "$program" \
    --sign-pkcs12 "$work/signer/signer.p12" --out "$work/wrong" 2>&1 >/dev/null)
  check "signed, wrong password: fails" "$([ $? -ne 0 ]; echo $?)"
  check "signed, wrong password: says what" "$(grep -q 'could not sign Setup.exe' <<<"$message"; echo $?)" "$message"
  check "signed, wrong password: no medium made" "$([ ! -e "$work/wrong" ]; echo $?)"
  unset SOURCE_DATE_EPOCH
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
