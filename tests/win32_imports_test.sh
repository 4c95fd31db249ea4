#!/usr/bin/env bash
# Checks the Windows programs' PE headers, resources and imports with
# objdump, so that a new dependency cannot slip in unnoticed:
#   - the product (i686): PE32, GUI subsystem 4.0, OS version 4.0, stripped,
#     at most 600 KB, every import in the table of app/win32/README.md as
#     exported by both Windows 95 and NT 4.0, and every row of that table
#     still imported;
#   - both: imports from KERNEL32, USER32, GDI32, ADVAPI32 and SHELL32 only
#     (no C run-time DLL), none of them a wide-character (...W) function;
#     main icon 1, hand cursor 2, a version record, and the application
#     manifest (resource 24:1, read with wrestool): well-formed XML
#     (xmllint) that asks for asInvoker in the namespaces older Windows
#     versions accept, for the program's own architecture and with the
#     version of the version header, and nothing more.
#
#   tests/win32_imports_test.sh [EXE...]
# Without arguments: build-windows/i686/Setup.exe and
# build-windows/x86_64/Setup.exe, those that exist.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
objdump=x86_64-w64-mingw32-objdump  # reads PE32 and PE32+ alike

if [ $# -gt 0 ]; then
  exes=("$@")
else
  exes=()
  for a in i686 x86_64; do
    [ -f "$repo/build-windows/$a/Setup.exe" ] && exes+=("$repo/build-windows/$a/Setup.exe")
  done
  if [ ${#exes[@]} -eq 0 ]; then
    echo "win32_imports_test: no Setup.exe; run tools/build-windows.sh first" >&2
    exit 2
  fi
fi

allowed_dlls="ADVAPI32.dll GDI32.dll KERNEL32.dll SHELL32.dll USER32.dll"

# The rows of the imports table in app/win32/README.md, "DLL function
# Windows-95 NT-4.0" per line. The reviewed imports are the rows that say
# both export the function: a new import fails until it has its row, and a
# row whose import is gone fails until it is removed.
readme="$repo/app/win32/README.md"
table_i686=$(awk -F'|' '
  /^## Imports/ { on = 1; next }
  on && /^## / { on = 0 }
  on && NF >= 6 && $3 ~ /`/ {
    for (i = 2; i <= 5; i++) gsub(/^ +| +$|`/, "", $i)
    print $2 ".dll", $3, $4, $5
  }' "$readme")
reviewed_i686=$(awk '$3 == "yes" && $4 == "yes" { print $1, $2 }' <<<"$table_i686")
if [ -z "$reviewed_i686" ]; then
  echo "win32_imports_test: no imports table in $readme" >&2
  exit 2
fi

passed=0
failed=0
check() {  # check NAME CONDITION-RESULT(0/1) [DETAIL]
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $1${3:+: $3}"
  fi
}

# "DLL function" per import, from the import tables only.
imports_of() {
  "$objdump" -p "$1" | awk '
    /^The Import Tables/ { on = 1; next }
    on && /^[^ \t]/ { on = 0 }
    on && /DLL Name:/ { dll = $3; next }
    on && dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }'
}

# "type:id" per resource, e.g. 14:1 for the group icon with id 1.
resources_of() {
  local type id
  "$objdump" -p "$1" | awk '
    /Resource Directory section/ { on = 1; next }
    on && /^[0-9a-f]+   Entry: ID:/ { type = $4; next }
    on && /^[0-9a-f]+     Entry: ID:/ { print type, $4 }' |
  while read -r type id; do
    type=${type%,}; id=${id%,}
    echo "$((16#${type#0x})):$((16#${id#0x}))"
  done
}

# The version the manifest must carry, four-part: the version header
# generated in the program's build folder (DIR/<arch>/generated/Version.h
# for DIR/<arch>/Setup.exe), else the project version it is generated from.
expected_version() {
  local header
  header="$(dirname "$1")/generated/Version.h"
  if [ -f "$header" ]; then
    awk '$1 == "#define" && $2 ~ /^QAR_VERSION_(MAJOR|MINOR|PATCH)$/ { v = v $3 "." }
      END { print v "0" }' "$header"
  else
    sed -n 's/^project(.* VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1.0/p' "$repo/CMakeLists.txt"
  fi
}

header_field() { "$objdump" -p "$1" | awk -v f="$2" '$1 == f { print $2; exit }'; }

for exe in "${exes[@]}"; do
  name=${exe#"$repo/"}
  format=$("$objdump" -f "$exe" 2>/dev/null | sed -n 's/.*file format //p')
  case "$format" in
    pei-i386) arch=i686; magic=010b; subsystem=4.0; manifest_arch=x86 ;;
    pei-x86-64) arch=x86_64; magic=020b; subsystem=5.2; manifest_arch=amd64 ;;
    *) check "$name: a PE program" 1 "format '$format'"; continue ;;
  esac
  echo "== $name ($arch)"

  check "$name: magic" "$([ "$(header_field "$exe" Magic)" = $magic ]; echo $?)"
  check "$name: GUI subsystem" "$([ "$(header_field "$exe" Subsystem)" = 00000002 ]; echo $?)"
  version="$(header_field "$exe" MajorSubsystemVersion).$(header_field "$exe" MinorSubsystemVersion)"
  check "$name: subsystem version $subsystem" "$([ "$version" = $subsystem ]; echo $?)" "$version"

  resources=$(resources_of "$exe")
  for want in "14:1 main icon" "12:2 hand cursor" "16:1 version record" "24:1 manifest"; do
    check "$name: ${want#* }" "$(grep -qx "${want%% *}" <<<"$resources"; echo $?)"
  done

  # xmllint's XPath, value expected; the namespaces are those Windows XP
  # accepts (trustInfo in asm.v2), and there are six elements, no more.
  manifest=$(wrestool -x --raw --type=24 --name=1 "$exe" 2>/dev/null)
  check "$name: manifest well-formed" "$(xmllint --noout - <<<"$manifest" 2>/dev/null; echo $?)"
  asm=urn:schemas-microsoft-com:asm
  identity="/*/*[local-name()='assemblyIdentity']"
  level="/*/*[local-name()='trustInfo']/*[local-name()='security']"
  level+="/*[local-name()='requestedPrivileges']/*[local-name()='requestedExecutionLevel']"
  while IFS='|' read -r xpath want; do
    got=$(xmllint --xpath "$xpath" - <<<"$manifest" 2>/dev/null)
    check "$name: manifest $xpath = $want" "$([ "$got" = "$want" ]; echo $?)" "'$got'"
  done <<EOF
local-name(/*)|assembly
namespace-uri(/*)|$asm.v1
string(/*/@manifestVersion)|1.0
count(//*)|6
namespace-uri($identity)|$asm.v1
string($identity/@type)|win32
string($identity/@name)|QAR.Tarnlink.Setup
string($identity/@version)|$(expected_version "$exe")
string($identity/@processorArchitecture)|$manifest_arch
namespace-uri(/*/*[local-name()='trustInfo'])|$asm.v2
string($level/@level)|asInvoker
string($level/@uiAccess)|false
EOF
  level_ns=$(xmllint --xpath "namespace-uri($level)" - <<<"$manifest" 2>/dev/null)
  check "$name: manifest execution level in asm.v2 or asm.v3" \
    "$([[ "$level_ns" = "$asm.v2" || "$level_ns" = "$asm.v3" ]]; echo $?)" "'$level_ns'"

  imports=$(imports_of "$exe")
  check "$name: has imports" "$([ -n "$imports" ]; echo $?)"
  dlls=$(cut -d' ' -f1 <<<"$imports" | sort -u | tr '\n' ' ')
  echo "DLLs: $dlls"
  for dll in $dlls; do
    check "$name: imports from $dll" "$(grep -qw "$dll" <<<"$allowed_dlls"; echo $?)"
  done
  # Windows 95 only stubs nearly every wide-character function.
  wide=$(awk '$2 ~ /W$/ { printf "%s,", $2 }' <<<"$imports")
  check "$name: no wide-character import" "$([ -z "$wide" ]; echo $?)" "$wide"

  if [ $arch = i686 ]; then
    os="$(header_field "$exe" MajorOSystemVersion).$(header_field "$exe" MinorOSystemVersion)"
    check "$name: OS version 4.0" "$([ "$os" = 4.0 ]; echo $?)" "$os"
    symbols=$("$objdump" -t "$exe" | grep -c '^\[ *[0-9]')
    check "$name: stripped" "$([ "$symbols" -eq 0 ]; echo $?)" "$symbols symbols"
    size=$(stat -c %s "$exe")
    check "$name: at most 600 KB" "$([ "$size" -le 614400 ]; echo $?)" "$size bytes"
    unreviewed=$(comm -23 <(sort -u <<<"$imports") <(sort -u <<<"$reviewed_i686"))
    check "$name: only reviewed imports" "$([ -z "$unreviewed" ]; echo $?)" \
      "$(tr '\n' ',' <<<"$unreviewed")"
    stale=$(comm -13 <(sort -u <<<"$imports") <(cut -d' ' -f1,2 <<<"$table_i686" | sort -u))
    check "$name: every row of the imports table imported" "$([ -z "$stale" ]; echo $?)" \
      "$(tr '\n' ',' <<<"$stale")"
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
