// The named mutex on POSIX: an exclusive flock on a lock file named after the mutex. The kernel
// drops the lock when its holder dies, as Windows hands over an abandoned mutex.
#include "native_path.hpp"
#include "platform/backend.hpp"

#include "common/text.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kp::posix {

namespace {

constexpr std::u16string_view local_namespace = u"Local\\";

// "Local\NAME" becomes NAME; separators cannot reach the file system.
std::string lock_file_stem(std::u16string_view name) {
    if (name.starts_with(local_namespace))
        name.remove_prefix(local_namespace.size());
    std::string stem = utf16_to_utf8(name);
    for (char& c : stem) {
        if (c == '/' || c == '\\')
            c = '_';
    }
    return stem;
}

// $XDG_RUNTIME_DIR is private to the user; the shared /tmp needs the user id in the name.
std::string lock_file_path(std::u16string_view name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/" + lock_file_stem(name) + ".lock";
    return "/tmp/" + lock_file_stem(name) + "." + std::to_string(::getuid()) + ".lock";
}

} // namespace

// The file is never followed through a link and must be a regular file of this user: a file
// planted by someone else in /tmp gives no mutex rather than one they control.
MutexHandle create_named_mutex(const std::u16string& name) {
    const std::string path = lock_file_path(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return {};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        ::close(fd);
        return {};
    }
    return MutexHandle(raw_from_fd(fd));
}

void wait_for_mutex(const MutexHandle& mutex) {
    while (::flock(fd_from_raw(mutex.raw()), LOCK_EX) != 0 && errno == EINTR) {
    }
}

void release_mutex(const MutexHandle& mutex) {
    ::flock(fd_from_raw(mutex.raw()), LOCK_UN);
}

} // namespace kp::posix
