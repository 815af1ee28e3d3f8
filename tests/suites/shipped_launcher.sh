#!/usr/bin/env bash
# The Windows launcher as it ships: the same bytes when rebuilt in another folder, stripped (as is
# kpack.exe), at most 160 KiB, its debug information in kp_launcher.debug beside it, and an import
# table that holds only the platform interfaces the launcher is built on (oleaut32 by ordinals 8,
# 9 and 2), plus the static C runtime's own, from the seven DLLs that Windows always takes from
# System32: a DLL planted beside the launcher is never loaded in their place. bcrypt and comctl32
# are loaded from System32 at run time.
# FlushFileBuffers is there beyond that list: tool sets and the stamp reach the disk before they count.
# CreateThread and the slim lock calls: written files are closed on closer threads of the backend.
# It says what it is as Windows programs do: a version resource from the build's settings (its
# own alone, not kpack's), and a manifest written for Windows 7 to 10/11 without DPI awareness.
# GetFileInformationByHandleEx and GetVolumePathNameW: the installation verifies the shell's copy
# by size, last-write and change time, and counts the temporary archive in the space it needs only when
# it shares the install directory's volume.
set -uo pipefail
cd "$(dirname "$0")/../.."
win=$(realpath "${KP_WINDOWS_DIR:-build/windows}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-shipped.XXXXXX")
trap 'rm -rf "$work"' EXIT
source tests/scenario/common.sh
objdump=x86_64-w64-mingw32-objdump
exe=$win/kp_launcher.exe

require_programs "$exe"
$objdump -p "$exe" | awk '/DLL Name:/ { dll = tolower($3); next }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll, ($3 == "<none>" ? "#" ($2 + 0) : $3) }' | sort >"$work/imports"

# The platform interfaces, by library.
listed="kernel32.dll CreateFileW GetFileSize GetFileSizeEx SetFilePointerEx ReadFile WriteFile CloseHandle
CreateDirectoryW DeleteFileW MoveFileExW GetFileAttributesW GetDiskFreeSpaceExW GetTempPathW GetModuleFileNameW
GetCurrentProcessId CreateProcessW CreateToolhelp32Snapshot Process32FirstW Process32NextW OpenProcess
QueryFullProcessImageNameW CreateMutexW WaitForSingleObject ReleaseMutex Sleep CompareStringOrdinal MulDiv
GetModuleHandleW FlushFileBuffers LoadLibraryExW GetProcAddress GetSystemDirectoryW GetFileInformationByHandleEx GetVolumePathNameW
CreateThread AcquireSRWLockExclusive ReleaseSRWLockExclusive SleepConditionVariableSRW WakeConditionVariable
shell32.dll SHGetKnownFolderPath SHFileOperationW
ole32.dll CoInitialize CoUninitialize CoTaskMemFree CoCreateInstance
oleaut32.dll #8 #9 #2
user32.dll SetProcessDPIAware CreateWindowExW SendMessageW PeekMessageW TranslateMessage DispatchMessageW
DestroyWindow ShowWindow UpdateWindow GetSystemMetrics SystemParametersInfoW GetDC ReleaseDC
gdi32.dll CreateFontIndirectW DeleteObject GetDeviceCaps"
# What the static mingw-w64 runtime itself imports (start-up, thread-local storage, locks,
# unwinding, the threads library under libstdc++); msvcrt.dll is the C library.
runtime="kernel32.dll AddVectoredExceptionHandler CreateEventA CreateSemaphoreA DeleteCriticalSection
DuplicateHandle EnterCriticalSection GetCurrentProcess GetCurrentThread GetCurrentThreadId GetHandleInformation
GetLastError GetProcAddress GetProcessAffinityMask GetStartupInfoW GetSystemTimeAsFileTime GetThreadContext
GetThreadPriority GetTickCount64 InitializeCriticalSection IsDebuggerPresent LeaveCriticalSection LoadLibraryW
OutputDebugStringA RaiseException ReleaseSemaphore RemoveVectoredExceptionHandler ResetEvent ResumeThread
RtlCaptureContext RtlLookupFunctionEntry RtlUnwindEx RtlVirtualUnwind SetEvent SetLastError
SetProcessAffinityMask SetThreadContext SetThreadPriority SetUnhandledExceptionFilter SuspendThread TlsAlloc
TlsGetValue TlsSetValue TryEnterCriticalSection VirtualProtect VirtualQuery WaitForMultipleObjects
__C_specific_handler"

# shellcheck disable=SC2086
printf '%s\n' $listed $runtime | awk '/\.dll$/ { dll = $0; next } { print dll, $0 }' | sort -u >"$work/allowed"

# Imports beyond the list name a DLL Windows may look for beside the program, or oleaut32 by name.
only_listed_imports() {
    local extra
    extra=$(grep -v '^msvcrt\.dll ' "$work/imports" | comm -23 - "$work/allowed")
    [ -z "$extra" ] || { echo "imports beyond the platform interfaces:"; echo "$extra"; return 1; }
}
stripped_with_debug_file() { # PROGRAM: no debug sections, linked to NAME.debug beside it
    ! $objdump -h "$win/$1.exe" | grep -q '\.debug_' || { echo "debug sections left in $1.exe"; return 1; }
    $objdump -h "$win/$1.exe" | grep -q '\.gnu_debuglink' && strings -a "$win/$1.exe" | grep -qx "$1\.debug" &&
        $objdump -h "$win/$1.debug" | grep -q '\.debug_info'
}
small_and_stripped() {
    echo "kp_launcher.exe: $(stat -c %s "$exe") bytes"
    [ "$(stat -c %s "$exe")" -le $((160 * 1024)) ] && stripped_with_debug_file kp_launcher
}
# As a crash analysis would use it: the entry's address leads to its source line. (Optimised
# across files, run_launcher is inlined into the entry and has no symbol of its own.)
debug_information_beside_it() {
    local entry
    entry=$(x86_64-w64-mingw32-nm "$win/kp_launcher.debug" | awk '$3 == "wWinMain" {print $1}')
    [ -n "$entry" ] && x86_64-w64-mingw32-addr2line -e "$win/kp_launcher.debug" "0x$entry" |
        grep -q 'src/launcher/entry/main_windows\.cpp:[0-9]'
}

setting() { sed -n "s/^$1:[A-Z]*=//p" "$win/CMakeCache.txt"; }
resources() { python3 tests/support/pe_resources.py "$@"; }
version_resource_names_it() {
    local version expected
    version=$(resources "$exe" version) || { echo "$version"; return 1; }
    expected=$(printf '%s\n' "FileVersion $(setting KP_VERSION)" "ProductVersion $(setting KP_VERSION)" \
        "CompanyName=$(setting KP_COMPANY_NAME)" "FileDescription=$(setting KP_FILE_DESCRIPTION)" \
        "FileVersion=$(setting KP_VERSION)" "InternalName=kp_launcher" "OriginalFilename=kp_launcher.exe" \
        "ProductName=$(setting KP_PRODUCT_NAME)" "ProductVersion=$(setting KP_VERSION)" \
        "BuildId=$(setting KP_BUILD_ID)")
    [ "$version" = "$expected" ] || { echo "version resource:"; echo "$version"; echo "expected:"; echo "$expected"; return 1; }
    [[ $(setting KP_VERSION) =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] && [ -n "$(setting KP_COMPANY_NAME)" ]
}
only_the_launcher_claims_its_name() {
    local program
    for program in "$win/kpack.exe" "$win/kp_tests.exe" "$win/kp_test_host.exe"; do
        [ -e "$program" ] || continue
        ! resources "$program" version 2>/dev/null | grep -q kp_launcher || { echo "$program claims it"; return 1; }
    done
}
manifest_for_windows_7_to_11_without_dpi_awareness() {
    resources "$exe" manifest | python3 -c '
import sys, xml.etree.ElementTree as tree
root = tree.fromstring(sys.stdin.read())
supported = {e.get("Id").lower() for e in root.iter("{urn:schemas-microsoft-com:compatibility.v1}supportedOS")}
wanted = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10 and 11"}
problems = [f"Windows {name} not declared" for id, name in wanted.items() if id not in supported]
problems += [f"declares {e.tag}" for e in root.iter() if "dpiaware" in e.tag.lower()]
levels = [e.get("level") for e in root.iter() if e.tag.endswith("requestedExecutionLevel")]
controls = [e.get("version") for e in root.iter() if e.tag.endswith("assemblyIdentity")
            and e.get("name") == "Microsoft.Windows.Common-Controls"]
problems += [] if levels == ["asInvoker"] else [f"execution level {levels}"]
problems += [] if controls == ["6.0.0.0"] else [f"common controls {controls}"]
sys.exit("\n".join(problems) or None)'
}

# Two builds of one commit are the same bytes: the launcher rebuilt in a second folder, whose path
# has another length, at another time but with this build's SOURCE_DATE_EPOCH (the time of the
# commit it was configured at), without the compiler cache (which would hand back its objects).
# Only the launcher: the other programs share its flags, and it alone is optimised at link time.
second=$work/second-build
[ ${#second} -ne ${#win} ] || second=$work/second-build-folder
rebuild_launcher() {
    CCACHE_DISABLE=1 SOURCE_DATE_EPOCH=$(setting KP_SOURCE_DATE_EPOCH) cmake --preset windows -B "$second" >/dev/null &&
        CCACHE_DISABLE=1 cmake --build "$second" --target kp_launcher -j2 >/dev/null
}
# On a difference, both checksums, and the compiler launcher of $win: ccache's base_dir rewrites
# paths, so compare a build made with CCACHE_DISABLE=1.
same_bytes() {
    cmp -s "$win/$1" "$second/$1" || { sha256sum "$win/$1" "$second/$1"; grep LAUNCHER: "$win/CMakeCache.txt"; return 1; }
}

check "imports only the platform interfaces and the C runtime, from the seven known DLLs" only_listed_imports
check "the program is stripped and at most 160 KiB" small_and_stripped
check "its debug information is kept in kp_launcher.debug" debug_information_beside_it
check "kpack.exe ships stripped too, its debug information in kpack.debug" stripped_with_debug_file kpack
check "the launcher builds in a second folder" rebuild_launcher
check "rebuilt there, kp_launcher.exe is the same bytes" same_bytes kp_launcher.exe
check "and so is kp_launcher.debug" same_bytes kp_launcher.debug
check "a version resource names it, its version and its build" version_resource_names_it
check "no other program claims to be kp_launcher.exe" only_the_launcher_claims_its_name
check "its manifest is written for Windows 7 to 10/11 and declares no DPI awareness" \
    manifest_for_windows_7_to_11_without_dpi_awareness
report_checks
