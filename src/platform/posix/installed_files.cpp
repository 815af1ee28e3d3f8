// Looking at the files an extraction placed: their state, their volume, reading them back.
#include "native_path.hpp"
#include "platform/backend.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kp::posix {

// Never blocks on a FIFO and never reads anything but a regular file.
FileHandle open_file_shared_for_reading(const std::u16string& path) {
    const int fd = ::open(to_native_path(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    FileHandle file(raw_from_fd(fd));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    return file;
}

namespace {

std::uint64_t nanoseconds(const timespec& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000000000u + static_cast<std::uint64_t>(time.tv_nsec);
}

} // namespace

bool query_path(const std::u16string& path, PathState& state) {
    struct stat info {};
    if (::stat(to_native_path(path).c_str(), &info) != 0)
        return false;
    state.directory = S_ISDIR(info.st_mode);
    state.size = state.directory ? 0 : static_cast<std::uint64_t>(info.st_size);
    state.last_write = nanoseconds(info.st_mtim);
    state.change_time = nanoseconds(info.st_ctim);
    return true;
}

bool same_volume(const std::u16string& a, const std::u16string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(to_native_path(a).c_str(), &first) == 0 &&
           ::stat(to_native_path(b).c_str(), &second) == 0 && first.st_dev == second.st_dev;
}

// The installation is flushed as a whole by flush_tree before its stamp is written.
bool flush_existing_file(const std::u16string&) {
    return true;
}

} // namespace kp::posix
