#!/usr/bin/env bash
# Checks the Windows programs' PE headers, resources and imports with
# objdump, so that a new dependency cannot slip in unnoticed:
#   - the product (i686): PE32, GUI subsystem 4.0, OS version 4.0, stripped,
#     at most 600 KB, and every import on the reviewed list below, which
#     holds only functions that Windows 95 / NT 4.0 export (or stub);
#   - the twin (x86_64): PE32+, GUI subsystem, imports from the same DLLs;
#   - both: main icon 1, hand cursor 2, a version record; no UCRT.
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

allowed_dlls="ADVAPI32.dll GDI32.dll KERNEL32.dll SHELL32.dll USER32.dll msvcrt.dll"

# The product's reviewed imports, "DLL function" per line. A new line here
# needs a look at whether Windows 95 exports that function.
reviewed_i686=$(cat <<'EOF'
ADVAPI32.dll RegCloseKey
ADVAPI32.dll RegCreateKeyExA
ADVAPI32.dll RegDeleteValueA
ADVAPI32.dll RegSetValueExA
GDI32.dll ExcludeClipRect
GDI32.dll GetStockObject
GDI32.dll IntersectClipRect
GDI32.dll RestoreDC
GDI32.dll SaveDC
GDI32.dll SetDIBitsToDevice
KERNEL32.dll CloseHandle
KERNEL32.dll CopyFileA
KERNEL32.dll CreateDirectoryA
KERNEL32.dll CreateSemaphoreW
KERNEL32.dll DeleteCriticalSection
KERNEL32.dll DeleteFileA
KERNEL32.dll EnterCriticalSection
KERNEL32.dll ExitProcess
KERNEL32.dll FileTimeToLocalFileTime
KERNEL32.dll FileTimeToSystemTime
KERNEL32.dll FindClose
KERNEL32.dll FindFirstFileA
KERNEL32.dll FreeLibrary
KERNEL32.dll GetCurrentDirectoryA
KERNEL32.dll GetCurrentThreadId
KERNEL32.dll GetFileAttributesA
KERNEL32.dll GetLastError
KERNEL32.dll GetModuleHandleA
KERNEL32.dll GetModuleHandleW
KERNEL32.dll GetProcAddress
KERNEL32.dll GetStartupInfoA
KERNEL32.dll GetVersionExA
KERNEL32.dll InitializeCriticalSection
KERNEL32.dll IsDBCSLeadByteEx
KERNEL32.dll LeaveCriticalSection
KERNEL32.dll LoadLibraryA
KERNEL32.dll LoadLibraryW
KERNEL32.dll MultiByteToWideChar
KERNEL32.dll ReleaseSemaphore
KERNEL32.dll SetErrorMode
KERNEL32.dll SetFileAttributesA
KERNEL32.dll SetLastError
KERNEL32.dll SetUnhandledExceptionFilter
KERNEL32.dll Sleep
KERNEL32.dll TlsAlloc
KERNEL32.dll TlsFree
KERNEL32.dll TlsGetValue
KERNEL32.dll TlsSetValue
KERNEL32.dll VirtualProtect
KERNEL32.dll VirtualQuery
KERNEL32.dll WaitForSingleObject
KERNEL32.dll WideCharToMultiByte
SHELL32.dll ShellExecuteA
USER32.dll AdjustWindowRectEx
USER32.dll BeginPaint
USER32.dll CreateWindowExA
USER32.dll DefWindowProcA
USER32.dll DestroyCursor
USER32.dll DestroyWindow
USER32.dll DispatchMessageA
USER32.dll EnableWindow
USER32.dll EndPaint
USER32.dll EnumThreadWindows
USER32.dll FillRect
USER32.dll GetActiveWindow
USER32.dll GetCapture
USER32.dll GetClassInfoA
USER32.dll GetClientRect
USER32.dll GetCursorPos
USER32.dll GetMessageA
USER32.dll GetSystemMetrics
USER32.dll GetWindowLongA
USER32.dll InvalidateRect
USER32.dll IsWindow
USER32.dll IsWindowEnabled
USER32.dll IsWindowVisible
USER32.dll KillTimer
USER32.dll LoadCursorA
USER32.dll LoadIconA
USER32.dll MessageBoxA
USER32.dll PostQuitMessage
USER32.dll RegisterClassA
USER32.dll ReleaseCapture
USER32.dll ScreenToClient
USER32.dll SetActiveWindow
USER32.dll SetCapture
USER32.dll SetCursor
USER32.dll SetFocus
USER32.dll SetTimer
USER32.dll SetWindowLongA
USER32.dll ShowWindow
USER32.dll TranslateMessage
USER32.dll UpdateWindow
msvcrt.dll __getmainargs
msvcrt.dll __initenv
msvcrt.dll __mb_cur_max
msvcrt.dll __p__acmdln
msvcrt.dll __p__commode
msvcrt.dll __p__fmode
msvcrt.dll __set_app_type
msvcrt.dll __setusermatherr
msvcrt.dll _amsg_exit
msvcrt.dll _cexit
msvcrt.dll _close
msvcrt.dll _errno
msvcrt.dll _getdrive
msvcrt.dll _initterm
msvcrt.dll _iob
msvcrt.dll _onexit
msvcrt.dll _read
msvcrt.dll _setjmp3
msvcrt.dll _vsnprintf
msvcrt.dll abort
msvcrt.dll atoi
msvcrt.dll calloc
msvcrt.dll exit
msvcrt.dll fprintf
msvcrt.dll fputc
msvcrt.dll free
msvcrt.dll fwrite
msvcrt.dll getenv
msvcrt.dll localeconv
msvcrt.dll longjmp
msvcrt.dll malloc
msvcrt.dll memchr
msvcrt.dll memcmp
msvcrt.dll memcpy
msvcrt.dll memmove
msvcrt.dll memset
msvcrt.dll realloc
msvcrt.dll setlocale
msvcrt.dll signal
msvcrt.dll sscanf
msvcrt.dll strchr
msvcrt.dll strcmp
msvcrt.dll strerror
msvcrt.dll strlen
msvcrt.dll strncmp
msvcrt.dll strncpy
msvcrt.dll vfprintf
msvcrt.dll wcslen
EOF
)

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

header_field() { "$objdump" -p "$1" | awk -v f="$2" '$1 == f { print $2; exit }'; }

for exe in "${exes[@]}"; do
  name=${exe#"$repo/"}
  format=$("$objdump" -f "$exe" 2>/dev/null | sed -n 's/.*file format //p')
  case "$format" in
    pei-i386) arch=i686; magic=010b; subsystem=4.0 ;;
    pei-x86-64) arch=x86_64; magic=020b; subsystem=5.2 ;;
    *) check "$name: a PE program" 1 "format '$format'"; continue ;;
  esac
  echo "== $name ($arch)"

  check "$name: magic" "$([ "$(header_field "$exe" Magic)" = $magic ]; echo $?)"
  check "$name: GUI subsystem" "$([ "$(header_field "$exe" Subsystem)" = 00000002 ]; echo $?)"
  version="$(header_field "$exe" MajorSubsystemVersion).$(header_field "$exe" MinorSubsystemVersion)"
  check "$name: subsystem version $subsystem" "$([ "$version" = $subsystem ]; echo $?)" "$version"

  resources=$(resources_of "$exe")
  for want in "14:1 main icon" "12:2 hand cursor" "16:1 version record"; do
    check "$name: ${want#* }" "$(grep -qx "${want%% *}" <<<"$resources"; echo $?)"
  done

  imports=$(imports_of "$exe")
  check "$name: has imports" "$([ -n "$imports" ]; echo $?)"
  dlls=$(cut -d' ' -f1 <<<"$imports" | sort -u | tr '\n' ' ')
  echo "DLLs: $dlls"
  for dll in $dlls; do
    check "$name: imports from $dll" "$(grep -qw "$dll" <<<"$allowed_dlls"; echo $?)"
  done
  check "$name: no UCRT" "$(! grep -qiE 'ucrtbase|api-ms-win-crt' <<<"$imports"; echo $?)"

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
    echo "msvcrt.dll: $(awk '$1 == "msvcrt.dll" { printf "%s ", $2 }' <<<"$imports")"
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
