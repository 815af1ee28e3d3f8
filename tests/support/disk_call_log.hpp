// Windows only: what the backend asks of the system to write out, flush and close written files,
// recorded in order through its disk calls: 'w' a write-out without the device's cache flush,
// 'F' a full flush, 'c' a close on a closer thread; a test adds its own marks (a rename, say).
#pragma once
#ifdef _WIN32

#include "platform/disk_calls.hpp"

#include <atomic>
#include <mutex>
#include <string>

namespace kp::test {

enum class WriteOut {
    done,    // Windows 8 and later on NTFS (Wine has no NtFlushBuffersFileEx: this stands in for it)
    missing, // Windows 7, and Wine
    refused, // a file system that refuses FLUSH_FLAGS_NO_SYNC
};

// One at a time. close_ms: what each close costs, as with a scanner that inspects files at close.
// The first slow close waits (up to 5 s) for a second to begin: closes made one after another
// on the caller's thread never overlap, and leave overlapped false.
struct DiskCallLog {
    explicit DiskCallLog(WriteOut write_out, unsigned close_ms = 0) : close_ms(close_ms) {
        log = this;
        const win32::WriteOutCall written_out = [](HANDLE, ULONG flags, void*, ULONG, void*) -> LONG {
            log->mark(flags == win32::FLUSH_FLAGS_NO_SYNC ? 'w' : '?');
            return 0;
        };
        const win32::WriteOutCall refused = [](HANDLE, ULONG, void*, ULONG, void*) -> LONG { return -1; };
        win32::disk_calls.write_out = write_out == WriteOut::done      ? written_out
                                      : write_out == WriteOut::refused ? refused
                                                                       : nullptr;
        win32::disk_calls.full_flush = [](HANDLE file) -> BOOL {
            return log->mark('F'), FlushFileBuffers(file);
        };
        win32::disk_calls.close = [](HANDLE file) -> BOOL {
            if (++log->closes == 1 && log->close_ms != 0) {
                for (int waited = 0; log->closes < 2 && waited < 5000; ++waited)
                    Sleep(1);
                log->overlapped = log->closes >= 2;
            }
            Sleep(log->close_ms);
            log->mark('c');
            return CloseHandle(file);
        };
    }
    ~DiskCallLog() { win32::disk_calls = saved; }

    void mark(char what) {
        const std::lock_guard lock(mutex);
        calls += what;
    }
    std::string calls_but_closes() {
        const std::lock_guard lock(mutex);
        std::string kept = calls;
        std::erase(kept, 'c');
        return kept;
    }

    static inline DiskCallLog* log = nullptr;
    const win32::DiskCalls saved = win32::disk_calls;
    const unsigned close_ms;
    std::mutex mutex;
    std::string calls;
    std::atomic<int> closes = 0;
    std::atomic<bool> overlapped = false;
};

} // namespace kp::test

#endif
