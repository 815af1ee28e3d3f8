// The system calls through which the Windows backend writes files out, flushes them and closes
// them. Each is a pointer the backend calls through, so that a test can observe or replace what
// Windows would do (the seam's own test binding sits above the backend and never sees them).
#pragma once

#include <windows.h>

namespace kp::win32 {

// NtFlushBuffersFileEx: NTSTATUS, negative on failure; io_status is an IO_STATUS_BLOCK.
using WriteOutCall = LONG(NTAPI*)(HANDLE file, ULONG flags, void* parameters, ULONG parameters_size,
                                  void* io_status);

// Writes a file's data and metadata to the device without the device's cache flush.
constexpr ULONG FLUSH_FLAGS_NO_SYNC = 0x2;

struct DiskCalls {
    WriteOutCall write_out;           // taken from ntdll; null where Windows has none (Windows 7)
    BOOL(WINAPI* full_flush)(HANDLE); // FlushFileBuffers
    BOOL(WINAPI* close)(HANDLE);      // CloseHandle of a written file, on a closer thread
    unsigned closer_threads;          // started at the first close; none: closed on the caller's
};

extern DiskCalls disk_calls;

} // namespace kp::win32
