// Flushing written data and directory entries to stable storage on POSIX.
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
    const int fd = ::open(to_native_path(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = synced(sync(fd));
    ::close(fd);
    return ok;
}

} // namespace

// Write-back starts now and runs while later files are written; flush_tree waits for all of it.
bool start_flush(const FileHandle& file) {
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
