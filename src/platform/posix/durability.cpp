// Flushing written data and directory entries to stable storage on POSIX.
#include "deferred_close.hpp"
#include "native_path.hpp"
#include "platform/backend.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kp::posix {

namespace {

// EINVAL: the file system has nothing to synchronise for this kind of file.
bool synced(int result) {
    return result == 0 || errno == EINVAL;
}

template <typename Sync> bool sync_directory(const std::u16string& directory, Sync sync) {
    finish_closing();
    const int fd = ::open(to_native_path(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = synced(sync(fd));
    ::close(fd);
    return ok;
}

} // namespace

// Write-back of a large file starts now and runs while later files are written; flush_tree
// waits for all of it. A small file is left to flush_tree's one pass over the file system:
// started one by one, 20,000 files of 4 KiB cost about a second of system time here, more than
// the whole bulk write-back takes.
bool start_flush(const FileHandle& file, std::uint64_t size) {
    constexpr std::uint64_t WRITTEN_BACK_IN_BULK_BELOW = 1024 * 1024;
    if (size < WRITTEN_BACK_IN_BULK_BELOW)
        return true;
    const int fd = fd_from_raw(file.raw());
    return ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0 || synced(::fdatasync(fd));
}

bool flush_file(const FileHandle& file) {
    return synced(::fdatasync(fd_from_raw(file.raw())));
}

bool flush_directory(const std::u16string& directory) {
    return sync_directory(directory, [](int fd) { return ::fsync(fd); });
}

// One syncfs of the file system holding the directory: every file's data and every directory's
// entries in one wait, far cheaper for many small files than an fsync of each.
bool flush_tree(const std::u16string& directory) {
    return sync_directory(directory, [](int fd) { return ::syncfs(fd); });
}

} // namespace kp::posix
