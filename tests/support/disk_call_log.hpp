// Windows only: what the backend asks of the system to write out, flush and close written files,
// recorded in order through its disk calls. 'w' a write-out without the device flush, 'F' a full
// flush, 'c' a close on a closer thread; a test adds its own marks (a rename, say).
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
    refused, // a file system that refuses FLUSH_FLAGS_NO_SYNC: the call fails
};

class DiskCallLog {
  public:
    // close_ms: how long each close takes, as with a virus scanner inspecting the file at close.
    explicit DiskCallLog(WriteOut write_out, unsigned close_ms = 0) : saved_(win32::disk_calls) {
        current_ = this;
        close_ms_ = close_ms;
        win32::disk_calls.write_out = write_out == WriteOut::missing ? nullptr
                                      : write_out == WriteOut::done  ? &written_out
                                                                     : &refused;
        win32::disk_calls.full_flush = &full_flush;
        win32::disk_calls.close = &close;
    }
    ~DiskCallLog() { win32::disk_calls = saved_; }

    void mark(char what) {
        const std::lock_guard lock(mutex_);
        calls_ += what;
    }
    std::string calls() {
        const std::lock_guard lock(mutex_);
        return calls_;
    }
    std::string calls_but_closes() {
        std::string all = calls();
        std::erase(all, 'c');
        return all;
    }
    int most_closes_at_once() const { return most_in_flight_; }

  private:
    static LONG NTAPI written_out(HANDLE, ULONG flags, void*, ULONG, void*) {
        current_->mark(flags == win32::FLUSH_FLAGS_NO_SYNC ? 'w' : '?');
        return 0;
    }
    static LONG NTAPI refused(HANDLE, ULONG, void*, ULONG, void*) {
        return static_cast<LONG>(0xC000000DL); // STATUS_INVALID_PARAMETER
    }
    static BOOL WINAPI full_flush(HANDLE file) {
        current_->mark('F');
        return FlushFileBuffers(file);
    }
    // The first close waits (up to 5 s) for a second to begin: closes that run one after another
    // on the caller's thread never overlap, and leave most_closes_at_once at 1.
    static BOOL WINAPI close(HANDLE file) {
        DiskCallLog& log = *current_;
        const int in_flight = ++log.in_flight_;
        for (int seen = log.most_in_flight_; in_flight > seen;)
            log.most_in_flight_.compare_exchange_weak(seen, in_flight);
        const bool first = ++log.started_ == 1;
        for (int waited = 0; first && log.close_ms_ != 0 && log.most_in_flight_ < 2 && waited < 5000;
             ++waited)
            Sleep(1);
        Sleep(log.close_ms_);
        log.mark('c');
        --log.in_flight_;
        return CloseHandle(file);
    }

    static inline DiskCallLog* current_ = nullptr;
    win32::DiskCalls saved_;
    std::mutex mutex_;
    std::string calls_;
    unsigned close_ms_ = 0;
    std::atomic<int> in_flight_ = 0, most_in_flight_ = 0, started_ = 0;
};

} // namespace kp::test

#endif
