#!/usr/bin/env bash
# The Windows launcher as it ships: stripped, at most 160 KiB, its debug information in
# kp_launcher.debug beside it, and an import table that holds only the platform interfaces the
# launcher is built on (oleaut32 by ordinals 8, 9 and 2), plus the static C runtime's own.
# FlushFileBuffers is there beyond that list: tool sets and the stamp reach the disk before they count;
# so are GetFileAttributesExW and GetVolumePathNameW: the installation verifies the shell's copy
# by size and last-write time, and counts the temporary archive in the space it needs only when
# it shares the install directory's volume.
set -uo pipefail
cd "$(dirname "$0")/../.."
win=$(realpath "${KP_WINDOWS_DIR:-build/windows}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-shipped.XXXXXX")
trap 'rm -rf "$work"' EXIT
source tests/support/checks.sh
objdump=x86_64-w64-mingw32-objdump
exe=$win/kp_launcher.exe

[ -e "$exe" ] || { echo "missing $exe (build the windows preset first)"; echo "0 passed, 1 failed"; exit 1; }
$objdump -p "$exe" | awk '/DLL Name:/ { dll = tolower($3); next }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll, ($3 == "<none>" ? "#" ($2 + 0) : $3) }' | sort >"$work/imports"

# The platform interfaces, by library.
listed="kernel32.dll CreateFileW GetFileSize GetFileSizeEx SetFilePointerEx ReadFile WriteFile CloseHandle
CreateDirectoryW DeleteFileW MoveFileExW GetFileAttributesW GetDiskFreeSpaceExW GetTempPathW GetModuleFileNameW
GetCurrentProcessId CreateProcessW CreateToolhelp32Snapshot Process32FirstW Process32NextW OpenProcess
QueryFullProcessImageNameW CreateMutexW WaitForSingleObject ReleaseMutex Sleep CompareStringOrdinal MulDiv
GetModuleHandleW FlushFileBuffers GetFileAttributesExW GetVolumePathNameW
shell32.dll SHGetKnownFolderPath SHFileOperationW
ole32.dll CoInitialize CoUninitialize CoTaskMemFree CoCreateInstance
oleaut32.dll #8 #9 #2
bcrypt.dll BCryptOpenAlgorithmProvider BCryptCloseAlgorithmProvider BCryptSetProperty BCryptGenerateSymmetricKey
BCryptDestroyKey BCryptDecrypt BCryptEncrypt BCryptCreateHash BCryptHashData BCryptFinishHash BCryptDestroyHash
user32.dll SetProcessDPIAware CreateWindowExW SendMessageW PeekMessageW TranslateMessage DispatchMessageW
DestroyWindow ShowWindow UpdateWindow GetSystemMetrics SystemParametersInfoW GetDC ReleaseDC
gdi32.dll CreateFontIndirectW DeleteObject GetDeviceCaps
comctl32.dll InitCommonControlsEx"
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

allowed_list() { # WORDS...: "dll name" lines
    local dll=""
    for word in "$@"; do
        case $word in *.dll) dll=$word ;; *) echo "$dll $word" ;; esac
    done
}
# shellcheck disable=SC2086
{ allowed_list $listed; allowed_list $runtime; } | sort -u >"$work/allowed"

only_listed_imports() {
    local extra
    extra=$(grep -v '^msvcrt\.dll ' "$work/imports" | comm -23 - "$work/allowed")
    [ -z "$extra" ] || { echo "imports beyond the platform interfaces:"; echo "$extra"; return 1; }
}
oleaut32_by_ordinal() {
    [ "$(grep '^oleaut32\.dll ' "$work/imports" | cut -d' ' -f2 | sort | tr '\n' ' ')" = "#2 #8 #9 " ] ||
        { grep '^oleaut32' "$work/imports"; return 1; }
}
small_and_stripped() {
    local size
    size=$(stat -c %s "$exe")
    echo "kp_launcher.exe: $size bytes"
    [ "$size" -le $((160 * 1024)) ] || return 1
    ! $objdump -h "$exe" | grep -q '\.debug_' || { echo "debug sections left in the program"; return 1; }
    $objdump -h "$exe" | grep -q '\.gnu_debuglink'
}
debug_information_beside_it() {
    [ -e "$win/kp_launcher.debug" ] && $objdump -h "$win/kp_launcher.debug" | grep -q '\.debug_info' &&
        x86_64-w64-mingw32-nm "$win/kp_launcher.debug" | grep -c 'run_launcher' >/dev/null
}

check "imports only the platform interfaces and the C runtime" only_listed_imports
check "oleaut32 is imported by ordinals 8, 9 and 2 only" oleaut32_by_ordinal
check "the program is stripped and at most 160 KiB" small_and_stripped
check "its debug information is kept in kp_launcher.debug" debug_information_beside_it
report_checks
