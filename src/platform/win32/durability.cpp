// Flushing written data to stable storage on Windows.
//
// Directory entries need no flush of their own on NTFS: it records every name it makes, removes
// or renames in its metadata journal, in order, and FlushFileBuffers on a file commits that
// journal up to the file's own changes. A rename logged after the files it publishes therefore
// cannot survive a power cut without them, and the flushes of directories below are no-ops.
// (A directory handle would need write access and backup semantics, for nothing more.)
#include "platform/backend.hpp"
#include "win32_util.hpp"

namespace kp::win32 {

// There is no asynchronous write-back request for one file: the flush happens here, in full.
bool start_flush(const FileHandle& file, std::uint64_t) {
    return FlushFileBuffers(handle_from_raw(file.raw())) != FALSE;
}

bool flush_file(const FileHandle& file) {
    return FlushFileBuffers(handle_from_raw(file.raw())) != FALSE;
}

bool flush_directory(const std::u16string&) {
    return true;
}

// Every file the launcher writes was flushed as it was closed (start_flush); the shell's copy of
// the application archive runs on the shell's own threads and is not the launcher's to flush.
bool flush_tree(const std::u16string&) {
    return true;
}

} // namespace kp::win32
