// The named mutex on POSIX: an exclusive flock on a lock file named after the mutex. The kernel
// drops the lock when its holder dies, as Windows hands over an abandoned mutex.
#include "native_path.hpp"
#include "platform/backend.hpp"

#include "common/text.hpp"

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

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

// The home directory that the password database gives for the user id: the same for every
// launcher of the user, whatever its environment.
std::string account_home() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] != '/')
        return {};
    return found->pw_dir;
}

// The user's cache folder (created if missing), open, and only when it belongs to the user and
// nobody else may write to it.
int open_private_folder(const std::string& path) {
    ::mkdir(path.c_str(), 0700);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid() ||
                    (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

// The lock file lives in the user's own cache folder, ~/.cache of the account's home, never in a
// shared place: no other user can create, replace or open it, and every launcher of the user
// meets at it. It is never followed through a link, never blocks on a FIFO, and must be a regular
// file of the user; otherwise there is no mutex.
MutexHandle create_named_mutex(const std::u16string& name) {
    const std::string home = account_home();
    if (home.empty())
        return {};
    const int folder = open_private_folder(home + (home.back() == '/' ? ".cache" : "/.cache"));
    if (folder < 0)
        return {};
    const std::string file = lock_file_stem(name) + ".lock";
    const int fd =
        ::openat(folder, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    ::close(folder);
    if (fd < 0)
        return {};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
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
