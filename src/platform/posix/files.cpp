// Files and the file system on POSIX.
#include "deferred_close.hpp"
#include "file_creation.hpp"
#include "native_path.hpp"
#include "platform/backend.hpp"
#include "read_ahead.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kp::posix {

namespace {

// Opens a file that is not a directory (opening a directory fails on Windows too).
FileHandle open_regular_file(const std::u16string& path, int flags, struct stat& info, mode_t mode = 0) {
    const int fd = ::open(to_native_path(path).c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0)
        return {};
    FileHandle file(raw_from_fd(fd));
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode))
        return {};
    return file;
}

} // namespace

FileHandle open_file_for_reading(const std::u16string& path) {
    struct stat info {};
    return open_regular_file(path, O_RDONLY, info);
}

FileHandle open_file_for_streaming(const std::u16string& path) {
    struct stat info {};
    FileHandle file = open_regular_file(path, O_RDONLY, info);
    if (!file)
        return {};
    const int fd = fd_from_raw(file.release());
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return FileHandle(open_read_ahead(fd));
}

bool file_size(const FileHandle& file, std::uint64_t& size) {
    const int fd =
        is_read_ahead(file.raw()) ? read_ahead_fd(read_ahead_from_raw(file.raw())) : fd_from_raw(file.raw());
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool seek_file(const FileHandle& file, std::uint64_t offset) {
    if (is_read_ahead(file.raw()))
        return seek_read_ahead(read_ahead_from_raw(file.raw()), offset);
    if (offset > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    return ::lseek(fd_from_raw(file.raw()), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool read_file(const FileHandle& file, void* buffer, std::uint32_t size, std::uint32_t& done) {
    if (is_read_ahead(file.raw()))
        return read_read_ahead(read_ahead_from_raw(file.raw()), buffer, size, done);
    done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd_from_raw(file.raw()), static_cast<char*>(buffer) + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break; // end of file: a short read, as ReadFile reports it
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

// Large writes go in pieces of 64 KiB. The page cache sizes the blocks it takes for a write by
// the write's length, and a virtual machine that hands free memory back to its host has taken
// back the large free blocks first: one write of 256 MiB copied at a fiftieth of memory speed
// now and then (2 s instead of 0.4), while pieces come from small blocks still in the guest.
bool write_file(const FileHandle& file, const void* buffer, std::uint32_t size, std::uint32_t& done) {
    constexpr std::uint32_t PIECE = 64 * 1024;
    done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd_from_raw(file.raw()), static_cast<const char*>(buffer) + done,
                                  std::min(size - done, PIECE));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

bool path_exists(const std::u16string& path) {
    struct stat info {};
    return ::lstat(to_native_path(path).c_str(), &info) == 0;
}

bool delete_file(const std::u16string& path) {
    before_names_change();
    return ::unlink(to_native_path(path).c_str()) == 0;
}

bool free_bytes_available(const std::u16string& path, std::uint64_t& bytes) {
    struct statvfs info {};
    if (::statvfs(to_native_path(path).c_str(), &info) != 0)
        return false;
    bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
}

void close_handle(HandleKind kind, std::uintptr_t raw) {
    switch (kind) {
    case HandleKind::file:
        if (is_read_ahead(raw))
            close_read_ahead(raw);
        else
            close_later(fd_from_raw(raw));
        break;
    case HandleKind::process:
    case HandleKind::mutex:
        ::close(fd_from_raw(raw));
        break;
    case HandleKind::snapshot:
        release_snapshot(raw);
        break;
    case HandleKind::hash_algorithm:
        release_hash_algorithm(raw);
        break;
    case HandleKind::hash:
        release_hash(raw);
        break;
    }
}

} // namespace kp::posix
