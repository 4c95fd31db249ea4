#!/bin/bash
# One end-to-end scenario of Setup.exe under Wine and Xvfb: a fresh prefix
# of one Windows version, the medium as drive D:, the wizard started from
# D:\ and driven by real clicks. The i686 program runs in a 32-bit prefix
# (its x86_64 twin where this machine cannot run it; the output says so).
#
#   e2e.sh SCENARIO SETUP.EXE HELPER_DIR
#
# SCENARIO: win98 winme winxp win2k (install, launchers, removal), win95
# nt40 (refusal), win2003 (unrecognised), win2k_preflight (2000 without
# C:\Winnt\System32\Drivers), win95_tick_in_box (ticks while a box is
# open), winxp_empty_driver, winxp_missing_driver_file,
# winxp_empty_driver_files and winxp_no_companion (a medium without the
# driver files, without rndismpw.sys, with every driver file empty, without
# QAR.exe), winxp_cd_folder (a read-only medium in a
# deep folder with spaces and a character above 0x7F in its name),
# winxp_cd_image (the CD image as a CD-ROM drive), winxp_readonly_leftovers
# (48 read-only driver files of an earlier install: removal, reinstall),
# winxp_hidden_leftovers (the same hidden, system and read-only, with a
# temporary marker and a companion), winxp_marker_held (another program
# holds the marker open during removal, without and with delete sharing),
# winxp_cp932 (code page 932, the medium in a folder named 表),
# win10_wow64 (a 64-bit Windows 10 prefix). SETUP.EXE and HELPER_DIR
# (qarwin.exe, recorder.exe) are the i686 builds.
# Screenshots and logs of a failed run stay in ./wine_e2e_SCENARIO.
set -euo pipefail
if [ -z "${QAR_IN_XVFB:-}" ]; then
  QAR_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
[ $# = 3 ] || { sed -n '2,25p' "$0" >&2; exit 64; }
scenario=$1
E2E_SETUP=$(realpath "$2")
E2E_HELPERS=$(realpath "$3")
E2E_REPO=$(cd "$(dirname "$0")/../.." && pwd)
E2E_WORK=$PWD/wine_e2e_$scenario
rm -rf "$E2E_WORK"
mkdir -p "$E2E_WORK"
. "$E2E_REPO/tests/wine/e2e-lib.sh"

started=$(e2e_now)
finish() {
  local status=$?
  e2e_cleanup
  rm -rf "$E2E_WORK/prefix"
  if [ "$status" = 0 ] && [ -z "${KEEP_SHOTS:-}" ]; then
    rm -rf "$E2E_WORK"
  else
    echo "screenshots and logs: $E2E_WORK"
  fi
  echo "wine_e2e_$scenario: $([ "$status" = 0 ] && echo PASS || echo FAIL) in $(e2e_since "$started") s"
}
trap finish EXIT
set -E
trap 'echo "FAIL [$E2E_STEP]: line $LINENO: $BASH_COMMAND" >&2' ERR

readonly SETUP_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Setup'
readonly RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'

# Driver files: installed name and the medium file it is copied from.
readonly DRIVER_FILES=(
  "QAR.CAT QAR.CAT"
  "QAR.inf QAR.inf"
  "rndismpk.sys rndismpk.sys"
  "rndismpm.sys rndismpm.sys"
  "rndismpw.sys rndismpw.sys"
  "usb8023k.sys usb8023k.sys"
  "usb8023m.sys usb8023m.sys"
  "usb8023w.sys usb8023m.sys"
)
# Where each is copied under the system root; removal spares the last.
readonly REMOVED_FOLDERS=('\' '\System\' '\System32\' '\System32\drivers\' '\inf\')
readonly KEPT_FOLDER='\System32\Drivers\Windows\'

# --- checks -----------------------------------------------------------------

# reg_value KEY NAME: the value's data, or "<absent>".
reg_value() {
  local out
  out=$(qar_wine_reg query "$1" /v "$2" 2>/dev/null | tr -d '\r') || { echo "<absent>"; return; }
  awk -v name="$2" '
    { line = $0; sub(/^    /, "", line) }
    index(line, name "    ") == 1 {
      rest = substr(line, length(name) + 5); sub(/^[A-Z_]+    /, "", rest); print rest; found = 1
    }
    END { if (!found) print "<absent>" }' <<<"$out"
}

expect_reg() {
  local got
  got=$(reg_value "$1" "$2")
  [ "$got" = "$3" ] || e2e_fail "registry $1 \"$2\": expected \"$3\", seen \"$got\""
}

# The driver copies under ROOT in FOLDER...: each present and equal to its
# source on the medium, each there whatever it holds (with "kept"), or (with
# "absent") each missing.
expect_copies() {
  local want=$1 root=$2 folder row name source dir host bad=()
  shift 2
  for folder in "$@"; do
    dir=$(e2e_host_path "$root$folder")
    for row in "${DRIVER_FILES[@]}"; do
      read -r name source <<<"$row"
      host=
      [ -z "$dir" ] || host=$(find "$dir" -mindepth 1 -maxdepth 1 -iname "$name" -print -quit)
      if [ "$want" = absent ]; then
        [ -z "$host" ] || bad+=("$root$folder$name still there")
      elif [ -z "$host" ] || [ ! -f "$host" ]; then
        bad+=("$root$folder$name missing")
      elif [ "$want" = present ] &&
        ! cmp -s "$host" "${E2E_MEDIUM:-$E2E_WORK/medium}/Driver/$source"; then
        bad+=("$root$folder$name differs from Driver\\$source")
      fi
    done
  done
  [ ${#bad[@]} = 0 ] || e2e_fail "driver copies: $(printf '%s; ' "${bad[@]}")"
}

# The copies from a read-only medium do not keep its read-only attribute
# (Wine keeps it as the Unix write bits), so that removal can delete them.
expect_copies_writable() {
  local locked
  locked=$(find "$WINEPREFIX/drive_c/windows" "$WINEPREFIX/drive_c/QAR" -type f ! -perm -u+w \
             \( -iname 'qar.*' -o -iname 'rndismp?.sys' -o -iname 'usb8023?.sys' \) | head -5)
  [ -z "$locked" ] || e2e_fail "copies kept the medium's read-only attribute: $locked"
}

# The test helper in the prefix, its output without carriage returns.
qarwin() { timeout 120 "$QAR_WINE" 'C:\qar-test\qarwin.exe' "$@" 2>&1 | tr -d '\r'; }

# expect_attributes WANT PATH...: each file's read-only, hidden and system
# attributes are WANT ("RHS", "-" for none), as Windows reads them.
expect_attributes() {
  local want=$1 out bad
  shift
  out=$(qarwin attributes "$@")
  bad=$(awk -v want="$want" '$1 != want' <<<"$out")
  [ -z "$bad" ] && [ "$(wc -l <<<"$out")" = $# ] ||
    e2e_fail "attributes: expected $want on $# files, seen:"$'\n'"$bad"
}

# No file of the driver package anywhere under DIR (a host folder).
expect_no_driver_files() {
  local found
  [ -n "$1" ] || return 0
  found=$(find "$1" \( -iname 'qar.cat' -o -iname 'qar.inf' -o -iname 'rndismp?.sys' \
                      -o -iname 'usb8023?.sys' \) -print 2>/dev/null | head -5)
  [ -z "$found" ] || e2e_fail "driver files where none belong: $found"
}

# What "nothing written" is compared against: the two registry keys the
# install writes, and a time stamp for the files on C: (compared with their
# change times, which a copy that keeps the source's write time still sets).
snapshot() {
  touch "$E2E_WORK/stamp"
  sleep 0.01
  registry_state >"$E2E_WORK/registry-before.txt"
}

registry_state() {
  qar_wine_reg query "$SETUP_KEY" 2>&1 | tr -d '\r'
  qar_wine_reg query "$RUN_KEY" 2>&1 | tr -d '\r'
}

expect_nothing_written() {
  local changed
  changed=$(cd "$WINEPREFIX/drive_c" && find . -cnewer "$E2E_WORK/stamp" \
              ! -path './qar-test' ! -path './qar-test/*' ! -name "$E2E_SHELL_LOG" -print | head -20)
  [ -z "$changed" ] || e2e_fail "files changed on C: although nothing may be written: $changed"
  registry_state >"$E2E_WORK/registry-after.txt"
  diff -u "$E2E_WORK/registry-before.txt" "$E2E_WORK/registry-after.txt" >&2 ||
    e2e_fail "registry changed although nothing may be written (diff above)"
  [ ! -e "$WINEPREFIX/drive_c/QAR" ] || e2e_fail "C:\\QAR created"
  e2e_log "nothing written"
}

# --- the shell log ----------------------------------------------------------

shell_log() { tr -d '\r' <"$WINEPREFIX/drive_c/$E2E_SHELL_LOG" 2>/dev/null || true; }
shell_log_has() { [ "$(shell_log | wc -l)" -ge "$1" ]; }

# Extended regular expressions, one per launch, in order.
expected_log=()
quote() { sed 's/[][\\.*^$(){}?+|]/\\&/g' <<<"$1"; }
ipv4='[0-9]{1,3}(\.[0-9]{1,3}){3}'
recorder=$(quote '"C:\qar-test\recorder.exe"')

# launch HOTSPOT REGEX: clicks a launcher and waits for what reaches the shell.
launch() {
  local got
  expected_log+=("$2")
  e2e_click "$1"
  e2e_poll 15 shell_log_has "${#expected_log[@]}" ||
    e2e_fail "nothing reached the shell; expected /$2/; log so far:"$'\n'"$(shell_log)"
  got=$(shell_log | tail -1)
  [[ "$got" =~ ^$2$ ]] || e2e_fail "the shell got: $got; expected /$2/"
}

expect_shell_log() {
  local i=0 line
  while IFS= read -r line; do
    [ $i -lt ${#expected_log[@]} ] && [[ "$line" =~ ^${expected_log[$i]}$ ]] ||
      e2e_fail "the shell got:"$'\n'"$(shell_log)"$'\n'"expected, in order:"$'\n'"$(printf '/%s/\n' "${expected_log[@]}")"
    i=$((i + 1))
  done < <(shell_log)
  [ $i = ${#expected_log[@]} ] || e2e_fail "the shell got $i launches, expected ${#expected_log[@]}"
}

# --- scenarios --------------------------------------------------------------

# Install, main screens, launchers, partner screen, removal, close.
# A fourth argument names one more check to run after the install.
scenario_plan() {
  local root=$1 source_path=$2 other_root=$3 extra_check=${4:-}
  local marker="$root\\usb8023w.sys"

  e2e_launch
  e2e_expect_screen install
  e2e_log "first picture $(e2e_since "$e2e_t0") s after start"
  # Hidden on the not-installed main screen: this click reaches no one
  # (the shell log at the end shows it).
  e2e_click moreinfo

  e2e_click install
  e2e_expect_screen usb
  e2e_no_box || e2e_fail "unexpected box:"$'\n'"$E2E_BOX"
  E2E_STEP=install-result
  expect_copies present "$root" "${REMOVED_FOLDERS[@]}" "$KEPT_FOLDER"
  cmp -s "$(e2e_host_path "$marker")" "$E2E_WORK/medium/Driver/usb8023m.sys" ||
    e2e_fail "$marker is not Driver\\usb8023m.sys"
  expect_no_driver_files "$(e2e_host_path "$other_root")"
  expect_reg "$SETUP_KEY" SourcePath "$source_path"
  expect_reg "$SETUP_KEY" "Installation Sources" "<absent>"
  expect_reg "$RUN_KEY" QAR 'C:\QAR\QAR.exe'
  cmp -s "$(e2e_host_path 'C:\QAR\QAR.exe')" "$E2E_WORK/medium/QAR.exe" ||
    e2e_fail "C:\\QAR\\QAR.exe missing or not the medium's QAR.exe"
  [ -z "$extra_check" ] || $extra_check
  e2e_log "installed: 48 copies under $root, SourcePath $source_path, companion registered"

  e2e_click home
  e2e_expect_screen uninstall

  # Each click hands the manual to the shell again.
  launch pdf "$recorder $(quote '"D:\Manual\K7Q3WG_MN.pdf"')"
  launch pdf "$recorder $(quote '"D:\Manual\K7Q3WG_MN.pdf"')"
  launch acrobat "$(quote '"D:\Adobe Acrobat\ar505enu.exe"')"
  # The hosts are the product's choice: the gateway's is an IPv4 address
  # with no path, the partner's page is /qar.asp.
  launch gateway "$recorder \"http://$ipv4\""
  launch moreinfo "$recorder \"http://[^/\"]+/qar\\.asp\""
  e2e_expect_screen uninstall

  e2e_click utility
  e2e_expect_screen selvo
  launch moreinfo "$recorder \"http://[^/\"]+/qar\\.asp\""
  e2e_click home
  e2e_expect_screen uninstall

  # Removal: the next tick shows the not-installed main screen.
  e2e_click install
  e2e_expect_screen install
  E2E_STEP=removal-result
  expect_copies absent "$root" "${REMOVED_FOLDERS[@]}"
  expect_copies present "$root" "$KEPT_FOLDER"
  expect_reg "$SETUP_KEY" SourcePath "$source_path"
  expect_reg "$RUN_KEY" QAR 'C:\QAR\QAR.exe'
  [ -n "$(e2e_host_path 'C:\QAR\QAR.exe')" ] || e2e_fail "removal took the companion"
  e2e_log "removed: 40 copies gone, the 8 in $root$KEPT_FOLDER, registry and companion kept"

  e2e_close
  E2E_STEP=shell-log
  expect_shell_log
  e2e_log "the shell got, as expected:"
  shell_log | sed 's/^/  /'
}

# Refused version: the box over the unchanged main screen, then connect-cable.
scenario_refusal() {
  local text=$1
  snapshot
  e2e_launch
  e2e_expect_screen install
  e2e_click install
  e2e_expect_box "Driver not available" "$text" no
  e2e_expect_screen install
  e2e_answer_box
  e2e_expect_screen usb
  e2e_close
  E2E_STEP=nothing-written
  expect_nothing_written
}

# Unrecognised version: straight to connect-cable, no box.
scenario_unrecognised() {
  snapshot
  e2e_launch
  e2e_expect_screen install
  install_unrecognised
}

# The install click on a version the driver does not know: connect-cable,
# no box; then close, and nothing written since the snapshot.
install_unrecognised() {
  e2e_click install
  e2e_expect_screen usb
  e2e_no_box || e2e_fail "unexpected box:"$'\n'"$E2E_BOX"
  e2e_close
  E2E_STEP=nothing-written
  expect_nothing_written
}

# The preflight folder cannot be made: the error box, the main screen stays
# and the wizard goes on.
scenario_preflight() {
  snapshot
  e2e_launch
  e2e_expect_screen install
  e2e_click install
  e2e_expect_box "$E2E_APP_TITLE" "Security Restriction, Contact Administrator." yes
  e2e_expect_screen install
  e2e_answer_box
  e2e_expect_screen install
  E2E_STEP=nothing-written
  expect_nothing_written
  [ ! -e "$WINEPREFIX/drive_c/Winnt" ] || e2e_fail "C:\\Winnt created"
  # Still running, and still on the main screen: its menu answers.
  e2e_click utility
  e2e_expect_screen selvo
  e2e_click home
  e2e_expect_screen install
  e2e_close
}

# Ticks go on inside the box's own message loop: a marker that appears while
# the refusal box is open turns the main screen to its installed form, and
# the connect-cable step after OK leaves that picture on top (on the
# connect-cable screen itself ticks change nothing).
scenario_tick_in_box() {
  e2e_launch
  e2e_expect_screen install
  e2e_click install
  e2e_expect_box "Driver not available" "This operating system does not support the modem driver" no
  cp "$E2E_WORK/medium/Driver/usb8023m.sys" "$WINEPREFIX/drive_c/windows/usb8023w.sys"
  # Wine ticks about 100 times a second: half a second leaves dozens.
  sleep 0.5
  e2e_answer_box
  e2e_expect_screen uninstall
  # Home shows the not-installed picture until the next tick.
  e2e_click home
  e2e_expect_screen uninstall
  e2e_close
}

# A damaged medium: no driver files, one of them missing, or every one empty
# (a bad burn). The wizard finds it before it writes anything, says the
# files could not be copied and stays on the main screen: no file on C:, no
# registry value, no companion, no connect-cable screen that would promise a
# driver.
scenario_damaged_medium() {
  local driver=$E2E_WORK/medium/Driver file
  case "$1" in
    no_files) rm -f "$driver/"* ;;
    one_missing) rm -f "$driver/rndismpw.sys" ;;
    all_empty) for file in "$driver/"*; do : >"$file"; done ;;
  esac
  e2e_launch
  e2e_expect_screen install
  snapshot
  e2e_click install
  e2e_expect_box "Cannot install modem driver" \
    "The driver files could not be copied from the installation medium" no
  e2e_answer_box
  e2e_expect_screen install
  E2E_STEP=install-result
  expect_nothing_written
  expect_no_driver_files "$WINEPREFIX/drive_c"
  # Still running: the partner screen and back.
  e2e_click utility
  e2e_expect_screen selvo
  e2e_click home
  e2e_expect_screen install
  e2e_close
}

# Clicks install and expects it whole: the connect-cable screen, no box, and
# the 48 copies from the medium.
install_whole() {
  e2e_click install
  e2e_expect_screen usb
  e2e_no_box || e2e_fail "unexpected box:"$'\n'"$E2E_BOX"
  E2E_STEP=install-result
  expect_copies present 'C:\Windows' "${REMOVED_FOLDERS[@]}" "$KEPT_FOLDER"
}

# A medium without QAR.exe: the driver is installed, but no Run value may
# point at a program that is not there.
scenario_no_companion() {
  rm -f "$E2E_WORK/medium/QAR.exe"
  e2e_launch
  e2e_expect_screen install
  install_whole
  expect_reg "$SETUP_KEY" SourcePath 'C:\Windows\System\'
  expect_reg "$RUN_KEY" QAR "<absent>"
  [ -z "$(e2e_host_path 'C:\QAR\QAR.exe')" ] || e2e_fail "C:\\QAR\\QAR.exe appeared"
  e2e_close
}

# As from a real CD: every file read-only, and the medium in a deep folder
# whose name has spaces and a character above 0x7F. The install copies from
# that folder, the copies come out writable, and removal deletes them.
scenario_cd_folder() {
  local sub='Setup Disk '$'\xc3\xa9''/QAR Tarnlink Wireless Cable Modem Gateway/Installation Medium Revision 2/Second Copy For The Office Of The Network Administrator'
  local host="$E2E_WORK/medium/$sub" dos
  dos='D:\'$(tr '/' '\\' <<<"$sub")
  mkdir -p "$host"
  (cd "$E2E_WORK/medium" && find . -mindepth 1 -maxdepth 1 ! -name 'Setup Disk*' -exec mv {} "$host/" \;)
  find "$E2E_WORK/medium" -type f -exec chmod a-w {} +
  E2E_CWD=$host
  e2e_launch
  e2e_expect_screen install
  E2E_MEDIUM=$host
  install_whole
  expect_copies_writable
  expect_reg "$RUN_KEY" QAR 'C:\QAR\QAR.exe'
  e2e_click home
  e2e_expect_screen uninstall
  # The shell gets the path in the ANSI code page, as the wizard read it.
  launch pdf "$recorder \"$(quote "$(iconv -f UTF-8 -t CP1252 <<<"$dos")")"'\\Manual\\K7Q3WG_MN\.pdf"'
  e2e_click install
  e2e_expect_screen install
  E2E_STEP=removal-result
  expect_copies absent 'C:\Windows' "${REMOVED_FOLDERS[@]}"
  e2e_close
}

# An older copy of each driver file in each of the six folders under
# C:\Windows, as an earlier install leaves them; prints their paths.
seed_leftovers() {
  local folder row name source dir
  for folder in "${REMOVED_FOLDERS[@]}" "$KEPT_FOLDER"; do
    dir=$WINEPREFIX/drive_c/windows/$(tr '\\' / <<<"${folder,,}")
    mkdir -p "$dir"
    for row in "${DRIVER_FILES[@]}"; do
      read -r name source <<<"$row"
      echo "an older $name" >"$dir/$name"
      echo "C:\\Windows$folder$name"
    done
  done
}

# Starts the wizard on the installed screen and removes the driver, with no
# box: the 40 copies of the removal list go, the 8 in the preflight folder
# stay, whatever they hold.
remove_leftovers() {
  e2e_launch
  e2e_expect_screen uninstall
  e2e_click install
  e2e_expect_screen install
  e2e_no_box || e2e_fail "unexpected box:"$'\n'"$E2E_BOX"
  E2E_STEP=removal-result
  expect_copies absent 'C:\Windows' "${REMOVED_FOLDERS[@]}"
  expect_copies kept 'C:\Windows' "$KEPT_FOLDER"
}

# An earlier install by another installer left the 48 files read-only (and
# older). The wizard opens on the installed screen; removal clears the
# attribute and deletes the 40 of its list, so the next tick shows the
# not-installed screen; the install then copies over the 8 read-only ones
# left in the preflight folder.
scenario_readonly_leftovers() {
  local copies copy
  mapfile -t copies < <(seed_leftovers)
  for copy in "${copies[@]}"; do chmod a-w "$(e2e_host_path "$copy")"; done
  e2e_log "48 read-only driver files under C:\\Windows"
  remove_leftovers
  e2e_log "removed: 40 read-only copies gone, the 8 in C:\\Windows$KEPT_FOLDER kept"
  install_whole
  expect_copies_writable
  [ -z "$(e2e_host_path 'C:\Windows\usb8023w.new')" ] || e2e_fail "C:\\Windows\\usb8023w.new left behind"
  expect_reg "$SETUP_KEY" SourcePath 'C:\Windows\System\'
  expect_reg "$RUN_KEY" QAR 'C:\QAR\QAR.exe'
  e2e_log "installed over the read-only copies: 48 copies, SourcePath, companion registered"
  e2e_close
}

# Another tool left the files hidden, system and read-only: the 48 of an
# earlier install, the temporary marker of one that was stopped, and the
# companion (CopyFileA on Windows refuses to replace a hidden or read-only
# file; Wine allows it, but keeps the attributes). Removal deletes the 40 of
# its list and the temporary marker with no box; the install then copies
# over the 8 left and the companion, and no copy keeps those attributes.
scenario_hidden_leftovers() {
  local copies locked
  mapfile -t copies < <(seed_leftovers)
  echo "half a marker" >"$WINEPREFIX/drive_c/windows/usb8023w.new"
  mkdir -p "$WINEPREFIX/drive_c/QAR"
  echo "an older companion" >"$WINEPREFIX/drive_c/QAR/QAR.exe"
  locked=("${copies[@]}" 'C:\Windows\usb8023w.new' 'C:\QAR\QAR.exe')
  qarwin lock "${locked[@]}" >&2 || e2e_fail "cannot give the leftovers their attributes"
  expect_attributes RHS "${locked[@]}"
  e2e_log "48 driver files, usb8023w.new and the companion hidden, system and read-only"
  remove_leftovers
  [ -z "$(e2e_host_path 'C:\Windows\usb8023w.new')" ] ||
    e2e_fail "removal left C:\\Windows\\usb8023w.new"
  e2e_log "removed: 40 copies and usb8023w.new gone, the 8 in C:\\Windows$KEPT_FOLDER kept"
  install_whole
  expect_attributes - "${copies[@]}" 'C:\QAR\QAR.exe'
  expect_copies_writable
  cmp -s "$(e2e_host_path 'C:\QAR\QAR.exe')" "$E2E_WORK/medium/QAR.exe" ||
    e2e_fail "C:\\QAR\\QAR.exe is not the medium's QAR.exe"
  [ -z "$(e2e_host_path 'C:\Windows\usb8023w.new')" ] ||
    e2e_fail "C:\\Windows\\usb8023w.new left behind"
  expect_reg "$SETUP_KEY" SourcePath 'C:\Windows\System\'
  expect_reg "$RUN_KEY" QAR 'C:\QAR\QAR.exe'
  e2e_log "installed over them: 48 copies and the companion, none hidden, system or read-only"
  e2e_close
}

# hold_marker share|noshare N: another program opens the marker (with delete
# sharing, as a virus scanner or an indexer does, or without) and holds it
# until release_marker N.
holder_pid=
hold_marker() {
  local out=$E2E_WORK/hold$2.txt
  "$QAR_WINE" 'C:\qar-test\qarwin.exe' hold 'C:\Windows\usb8023w.sys' "$1" \
    "C:\\qar-test\\release$2" >"$out" 2>&1 &
  holder_pid=$!
  e2e_poll 60 grep -q held "$out" || e2e_fail "the marker is not held: $(cat "$out")"
  e2e_log "the marker held open ($1)"
}

release_marker() {
  touch "$WINEPREFIX/drive_c/qar-test/release$1"
  timeout 60 tail --pid="$holder_pid" -f /dev/null || e2e_fail "the holder did not let go"
  wait "$holder_pid" || e2e_fail "the holder failed: $(cat "$E2E_WORK/hold$1.txt")"
  holder_pid=
  e2e_log "the marker let go"
}

marker_there() { [ -n "$(e2e_host_path 'C:\Windows\usb8023w.sys')" ]; }

# The removal while another program holds the marker open. Without delete
# sharing the delete is refused: the removal's box, and the installed screen
# stays. With it the delete succeeds and completes when the program lets
# go: no box, and the screen turns to not-installed by itself.
scenario_marker_held() {
  cp "$E2E_WORK/medium/Driver/usb8023m.sys" "$WINEPREFIX/drive_c/windows/usb8023w.sys"
  e2e_launch
  e2e_expect_screen uninstall
  E2E_STEP=refused
  hold_marker noshare 1
  e2e_click install
  e2e_expect_box "Cannot remove modem driver" "The modem driver could not be removed" no
  e2e_answer_box
  e2e_expect_screen uninstall
  release_marker 1
  marker_there || e2e_fail "the marker went although its delete was refused"
  E2E_STEP=pending
  hold_marker share 2
  e2e_click install
  # A box would come while the click is handled; give it time to.
  if e2e_poll 5 e2e_box_open; then e2e_fail "unexpected box:"$'\n'"$E2E_BOX"; fi
  marker_there || e2e_fail "the marker went at once: Wine showed no delete that completes later"
  e2e_expect_screen uninstall
  e2e_log "no box; the marker stays in view while it is held"
  release_marker 2
  e2e_expect_screen install
  ! marker_there || e2e_fail "the marker stayed after the holder let go"
  e2e_close
}

# A Japanese Windows: ANSI code page 932, and the medium in a folder named
# 表, bytes 0x95 0x5C there: the second byte is no backslash. Wine takes
# the code page from the locale, built here when the machine lacks it.
scenario_cp932() {
  local host="$E2E_WORK/medium/表"
  if ! locale -a 2>/dev/null | grep -Eqix 'ja_JP\.utf-?8'; then
    command -v localedef >/dev/null && [ -e /usr/share/i18n/locales/ja_JP ] ||
      e2e_fail "no ja_JP.UTF-8 locale and nothing to build it with: tools/deps.sh test installs Debian's locales"
    mkdir -p "$E2E_WORK/locale"
    localedef -i ja_JP -f UTF-8 "$E2E_WORK/locale/ja_JP.UTF-8" 2>/dev/null || e2e_fail "localedef ja_JP.UTF-8 failed"
    E2E_WINE_ENV+=("LOCPATH=$E2E_WORK/locale")
    e2e_log "ja_JP.UTF-8 built with localedef into $E2E_WORK/locale"
  fi
  E2E_WINE_ENV+=(LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8)
  mkdir -p "$host"
  (cd "$E2E_WORK/medium" && find . -mindepth 1 -maxdepth 1 ! -name '表' -exec mv {} "$host/" \;)
  E2E_CWD=$host
  E2E_MEDIUM=$host
  e2e_launch
  e2e_expect_screen install
  install_whole
  expect_reg "$SETUP_KEY" SourcePath 'C:\Windows\System\'
  expect_reg "$RUN_KEY" QAR 'C:\QAR\QAR.exe'
  e2e_log "installed from D:\\表: 48 copies, SourcePath, companion registered"
  e2e_click home
  e2e_expect_screen uninstall
  # The shell gets the path in code page 932, one backslash after 表.
  launch pdf "$recorder \"$(quote "$(iconv -f UTF-8 -t CP932 <<<'D:\表')")"'\\Manual\\K7Q3WG_MN\.pdf"'
  e2e_log "the manual opened from D:\\表\\Manual in code page 932"
  e2e_close
}

# The CD image, extracted read-only as Windows reads it (Joliet names), is
# drive D: of type CD-ROM; the full install and removal run from it.
scenario_cd_image() {
  local cdrom=$E2E_WORK/cdrom
  # The image of this medium, recorder included, made as the product's is.
  "$E2E_REPO/tools/make-medium.sh" --exe "$E2E_SETUP" --real "$E2E_WORK/medium" \
    --out "$E2E_WORK/image-files" --iso "$E2E_WORK/cd.iso" >/dev/null
  xorriso -osirrox on -read_fs norock -indev "$E2E_WORK/cd.iso" -extract / "$cdrom" >/dev/null 2>&1 ||
    e2e_fail "cannot extract the image"
  find "$cdrom" -type f -exec chmod a-w {} +
  ln -sfn "$cdrom" "$WINEPREFIX/dosdevices/d:"
  qar_wine_reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null 2>&1 ||
    e2e_fail "cannot make D: a CD-ROM drive"
  E2E_CWD=$cdrom
  E2E_MEDIUM=$cdrom
  e2e_log "D: is the CD image ($(stat -c %s "$E2E_WORK/cd.iso") bytes), type cdrom, read-only"
  scenario_plan 'C:\Windows' 'C:\Windows\System\' 'C:\Winnt' expect_copies_writable
}

# Today's Windows: the i686 program in a 64-bit Windows 10 prefix, under
# WoW64. The launchers work; the version is not one the driver knows, so
# install shows connect-cable and writes nothing, neither under C:\Windows
# nor in the registry as the program sees it (SOFTWARE\Wow6432Node).
scenario_wow64() {
  e2e_launch
  e2e_expect_screen install
  e2e_log "first picture $(e2e_since "$e2e_t0") s after start"
  launch pdf "$recorder $(quote '"D:\Manual\K7Q3WG_MN.pdf"')"
  launch acrobat "$(quote '"D:\Adobe Acrobat\ar505enu.exe"')"
  launch gateway "$recorder \"http://$ipv4\""
  e2e_click utility
  e2e_expect_screen selvo
  launch moreinfo "$recorder \"http://[^/\"]+/qar\\.asp\""
  e2e_click home
  e2e_expect_screen install
  snapshot
  install_unrecognised
  expect_shell_log
}

case "$scenario" in
  win98|winme|winxp|win2k|win95|nt40|win2003) version=$scenario ;;
  win10_wow64) version=win10 ;;
  win2k_preflight) version=win2k ;;
  win95_tick_in_box) version=win95 ;;
  winxp_empty_driver|winxp_missing_driver_file|winxp_empty_driver_files) version=winxp ;;
  winxp_no_companion|winxp_cd_folder|winxp_cd_image) version=winxp ;;
  winxp_readonly_leftovers|winxp_hidden_leftovers|winxp_marker_held|winxp_cp932) version=winxp ;;
  *) echo "e2e.sh: unknown scenario $scenario" >&2; exit 64 ;;
esac
E2E_STEP=prefix
if [ "$scenario" = win10_wow64 ]; then e2e_prefix win64; else e2e_prefix; fi
e2e_pictures
qar_wine_version "$version"
e2e_registry_setup
c=$WINEPREFIX/drive_c
# Real 98, ME and XP systems have C:\Windows\System, and real 2000 systems
# C:\Winnt with System, System32\Drivers and inf; Wine's prefix has none.
case "$scenario" in
  win98|winme|winxp|winxp_*) mkdir -p "$c/windows/system" ;;
  win2k) mkdir -p "$c/Winnt/System32/Drivers" "$c/Winnt/System" "$c/Winnt/inf" ;;
esac
e2e_log "prefix ready, version $version"
case "$scenario" in
  win98|winme|winxp) scenario_plan 'C:\Windows' 'C:\Windows\System\' 'C:\Winnt' ;;
  win2k) scenario_plan 'C:\Winnt' 'C:\Winnt\System32\Drivers\' 'C:\Windows' ;;
  win95) scenario_refusal "This operating system does not support the modem driver" ;;
  nt40) scenario_refusal "This operating system does not support the cable modem driver" ;;
  win2003) scenario_unrecognised ;;
  win2k_preflight) scenario_preflight ;;
  win95_tick_in_box) scenario_tick_in_box ;;
  winxp_empty_driver) scenario_damaged_medium no_files ;;
  winxp_missing_driver_file) scenario_damaged_medium one_missing ;;
  winxp_empty_driver_files) scenario_damaged_medium all_empty ;;
  winxp_no_companion) scenario_no_companion ;;
  winxp_cd_folder) scenario_cd_folder ;;
  winxp_cd_image) scenario_cd_image ;;
  winxp_readonly_leftovers) scenario_readonly_leftovers ;;
  winxp_hidden_leftovers) scenario_hidden_leftovers ;;
  winxp_marker_held) scenario_marker_held ;;
  winxp_cp932) scenario_cp932 ;;
  win10_wow64) scenario_wow64 ;;
esac
