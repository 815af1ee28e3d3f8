// Creating files and renaming on POSIX, safe in directories that other local users may write to.
#include "file_creation.hpp"
#include "native_path.hpp"
#include "platform/backend.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kp::posix {

namespace {

constexpr int create_new_flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;

// A file we may write in place: a regular file of ours that no other name shares.
bool reusable(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1;
}

// Opens an existing file in place without blocking on a FIFO or device, then keeps it only when
// it is reusable. The descriptor goes back to blocking mode and the file is truncated.
int open_existing_in_place(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // No other status flag was asked for, so clearing them all clears O_NONBLOCK.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !reusable(info) || ::fcntl(fd, F_SETFL, 0) != 0 ||
        (info.st_size != 0 && ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The user's own directory: nobody but its owner (and the group it was given) may add or
// remove names in it. A world-writable or sticky one (/tmp) is a shared place.
bool owned_directory(int directory) {
    struct stat info {};
    return ::fstat(directory, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & (S_IWOTH | S_ISVTX)) == 0;
}

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Removes a regular file at the name and creates a new one in its place. Only a regular file is
// ever removed, and only one of ours or one in the user's own directory: another user's file in
// a shared place is refused. Links, FIFOs, devices and directories are always refused.
int replace_regular_file(const std::string& path, mode_t mode) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int directory = ::open(parent_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return -1;
    int fd = -1;
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        (info.st_uid == ::geteuid() || owned_directory(directory)) &&
        ::unlinkat(directory, name.c_str(), 0) == 0)
        fd = ::openat(directory, name.c_str(), create_new_flags, mode);
    ::close(directory);
    return fd;
}

// The directory this process last made or found already there, held open: asking for it again,
// as an unpack does before each of its files, costs no mkdir, and its files are opened from it
// by their bare names, with no walk down the whole path. It is forgotten at any rename or removal
// made here; should another process remove it meanwhile, the next file made in it makes it
// again, as the mkdir would have.
struct KnownDirectory {
    std::string path;
    int fd = -1;
    ~KnownDirectory() { forget(); }
    void forget() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        path.clear();
    }
    // The name within the directory when path is directly inside it, else empty.
    std::string_view name_in(std::string_view file) const {
        if (fd < 0 || file.size() <= path.size() + 1 || file.compare(0, path.size(), path) != 0 ||
            file[path.size()] != '/')
            return {};
        const std::string_view name = file.substr(path.size() + 1);
        return name.find('/') == std::string_view::npos ? name : std::string_view{};
    }
};
KnownDirectory known_directory;

int create_new_file(const std::string& path, mode_t mode) {
    const std::string_view name = known_directory.name_in(path);
    if (name.empty())
        return ::open(path.c_str(), create_new_flags, mode);
    int fd = ::openat(known_directory.fd, name.data(), create_new_flags, mode);
    if (fd < 0 && errno == ENOENT) { // removed since; it was there when asked for
        known_directory.forget();
        if (::mkdir(parent_of(path).c_str(), 0777) == 0 || errno == EEXIST) // or made anew by it
            fd = ::open(path.c_str(), create_new_flags, mode);
    }
    return fd;
}

} // namespace

// "Already there" (false), as mkdir's EEXIST, without the call when the directory is the known one.
bool create_directory(const std::u16string& path) {
    std::string native = to_native_path(path);
    if (known_directory.fd >= 0 && native == known_directory.path)
        return false;
    const bool created = ::mkdir(native.c_str(), 0777) == 0;
    if (!created && errno != EEXIST)
        return false;
    known_directory.forget();
    known_directory.fd = ::open(native.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (known_directory.fd >= 0)
        known_directory.path = std::move(native);
    return created;
}

// A new file costs one open: O_EXCL never opens what is already there, so it cannot block on a
// FIFO or write through a link, and what it creates is ours alone. An existing name is written
// in place only when it is a plain file of ours, else replaced where that is safe, else refused.
FileHandle create_file_for_writing(const std::u16string& path) {
    const std::string native = to_native_path(path);
    int fd = create_new_file(native, 0666);
    if (fd < 0 && errno == EEXIST) {
        fd = open_existing_in_place(native);
        if (fd < 0)
            fd = replace_regular_file(native, 0666);
    }
    return FileHandle(raw_from_fd(fd));
}

// Always a new file, 0600 whatever the umask: a file of ours left at the name (which another
// user may still hold open) is replaced, never reused.
FileHandle create_temporary_file_for_writing(const std::u16string& path) {
    const std::string native = to_native_path(path);
    int fd = ::open(native.c_str(), create_new_flags, 0600);
    if (fd < 0 && errno == EEXIST)
        fd = replace_regular_file(native, 0600);
    FileHandle file(raw_from_fd(fd));
    if (file && ::fchmod(fd, 0600) != 0)
        return {};
    return file;
}

void forget_known_directory() {
    known_directory.forget();
}

// Never replaces the target: where RENAME_NOREPLACE is not supported the rename fails rather
// than test and rename, which could replace a target created in between.
MoveResult move_path(const std::u16string& from, const std::u16string& to) {
    forget_known_directory();
    if (::renameat2(AT_FDCWD, to_native_path(from).c_str(), AT_FDCWD, to_native_path(to).c_str(),
                    RENAME_NOREPLACE) == 0)
        return MoveResult::moved;
    return errno == EBUSY ? MoveResult::busy : MoveResult::refused;
}

} // namespace kp::posix
