// Flushing written data to stable storage on Windows.
//
// FlushFileBuffers on NTFS writes the file's data and metadata, commits the metadata journal up
// to them, and sends the disk a cache flush: 0.5 to 30 ms, for each file. So each file the
// launcher vouches for is only written out (NtFlushBuffersFileEx with FLUSH_FLAGS_NO_SYNC: data
// and metadata handed to the device, no cache flush), and one full flush follows the last of
// them, before whatever vouches for them. That flush is durable for all of them: the device's
// cache flush covers every write it completed before, and NTFS commits its journal in order, up
// to and including the records of every file written out earlier. The launcher writes out only
// files of one folder (the installation, or a tool set's staging) between two full flushes, so
// the full flush goes through a handle of the last file written out.
//
// Where the call is missing (Windows 7, Wine) or fails (FLUSH_FLAGS_NO_SYNC was once limited to
// NTFS), that file gets its own full flush, as it would without the batching.
//
// Directory entries need no flush of their own on NTFS: it records every name it makes, removes
// or renames in the same journal, in order, so a rename logged after the files it publishes
// cannot survive a power cut without them, and the flushes of directories below are no-ops.
#include "deferred_close.hpp"
#include "platform/backend.hpp"
#include "platform/disk_calls.hpp"
#include "win32_util.hpp"

#include <utility>

namespace kp::win32 {

namespace {

WriteOutCall ntdll_write_out() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll"); // in every process, from its start
    return ntdll == nullptr ? nullptr
                            : reinterpret_cast<WriteOutCall>(
                                  reinterpret_cast<void*>(GetProcAddress(ntdll, "NtFlushBuffersFileEx")));
}

// The last file written out since the last full flush, through which that flush goes: while its
// owner has it open, then kept open by the backend in place of its close. And whether a full
// flush that should have covered write-outs failed since the last flush_tree.
HANDLE latest_written_out = nullptr;
HANDLE kept_for_full_flush = nullptr;
bool full_flush_failed = false;

struct IoStatusBlock {
    void* status_or_pointer;
    ULONG_PTR information;
};

bool written_out(HANDLE file) {
    IoStatusBlock status{};
    return disk_calls.write_out != nullptr &&
           disk_calls.write_out(file, FLUSH_FLAGS_NO_SYNC, nullptr, 0, &status) >= 0;
}

} // namespace

DiskCalls disk_calls = {ntdll_write_out(), &FlushFileBuffers, &CloseHandle, 8};

bool write_out_or_flush(HANDLE file) {
    if (!written_out(file))
        return disk_calls.full_flush(file) != FALSE;
    latest_written_out = file;
    return true;
}

bool keep_for_full_flush(HANDLE file) {
    if (file != latest_written_out)
        return false;
    latest_written_out = nullptr;
    if (kept_for_full_flush != nullptr)
        close_later(kept_for_full_flush);
    kept_for_full_flush = file;
    return true;
}

bool let_written_files_go() {
    finish_closing();
    const HANDLE latest = latest_written_out != nullptr ? latest_written_out : kept_for_full_flush;
    latest_written_out = nullptr; // still its owner's to close
    if (latest == nullptr)
        return true;
    const bool flushed = disk_calls.full_flush(latest) != FALSE;
    if (kept_for_full_flush != nullptr)
        disk_calls.close(std::exchange(kept_for_full_flush, nullptr));
    full_flush_failed = full_flush_failed || !flushed;
    return flushed;
}

bool start_flush(const FileHandle& file, std::uint64_t) {
    const HANDLE handle = handle_from_raw(file.raw());
    close_after_write(handle);
    return write_out_or_flush(handle);
}

bool flush_file(const FileHandle& file) {
    return disk_calls.full_flush(handle_from_raw(file.raw())) != FALSE;
}

bool flush_directory(const std::u16string&) {
    return true;
}

// The one full flush of every file written out since the last: the launcher's own, and those of
// the shell's copy (flush_existing_file).
bool flush_tree(const std::u16string&) {
    let_written_files_go();
    return !std::exchange(full_flush_failed, false);
}

} // namespace kp::win32
