// Creating files and renaming on POSIX, safe in directories that other local users may write to.
#include "file_creation.hpp"
#include "deferred_close.hpp"
#include "native_path.hpp"
#include "platform/backend.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

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

// The directories this process made or found already there: asking for one again, as an unpack
// does before each of its files in whatever order its entries come, costs no mkdir, and the first
// MAX_HELD_OPEN are held open so that their files are opened by their bare names, with no walk
// down the whole path. All are forgotten at any rename or removal made here; should another
// process remove one meanwhile, the next file made in it makes it again, as the mkdir would have.
class KnownDirectories {
  public:
    KnownDirectories() = default;
    KnownDirectories(const KnownDirectories&) = delete;
    KnownDirectories& operator=(const KnownDirectories&) = delete;
    ~KnownDirectories() { forget_all(); }

    bool contains(std::string_view path) const { return directories_.find(path) != directories_.end(); }

    // Remembers a path not known yet when it names a directory (and not, say, a file).
    void remember(std::string path) {
        const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return;
        if (held_open_ == MAX_HELD_OPEN) {
            ::close(fd);
            directories_.emplace(std::move(path), -1);
            return;
        }
        ++held_open_;
        directories_.emplace(std::move(path), fd);
    }

    void forget(std::string_view path) {
        const auto known = directories_.find(path);
        if (known == directories_.end())
            return;
        close_if_held(known->second);
        directories_.erase(known);
    }

    void forget_all() {
        for (const auto& [path, fd] : directories_)
            close_if_held(fd);
        directories_.clear();
    }

    // The directory's descriptor when it is known and held open, else -1.
    int held_descriptor(std::string_view path) const {
        const auto known = directories_.find(path);
        return known == directories_.end() ? -1 : known->second;
    }

  private:
    // A folder per tool file's directory could be thousands; descriptors are kept well below the
    // usual limit of 1,024 a process.
    static constexpr std::size_t MAX_HELD_OPEN = 256;

    struct PathHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
    };

    void close_if_held(int fd) {
        if (fd < 0)
            return;
        ::close(fd);
        --held_open_;
    }

    std::unordered_map<std::string, int, PathHash, std::equal_to<>> directories_;
    std::size_t held_open_ = 0;
};
KnownDirectories known_directories;

int create_new_file(const std::string& path, mode_t mode) {
    const std::size_t slash = path.rfind('/');
    const std::string_view directory =
        slash == std::string::npos ? std::string_view{} : std::string_view(path).substr(0, slash);
    const int directory_fd = known_directories.held_descriptor(directory);
    int fd = directory_fd >= 0 ? ::openat(directory_fd, path.c_str() + slash + 1, create_new_flags, mode)
                               : ::open(path.c_str(), create_new_flags, mode);
    if (fd < 0 && errno == ENOENT && known_directories.contains(directory)) {
        // Removed since; it was there when asked for. Made anew, as the mkdir would have.
        const std::string native_directory(directory);
        known_directories.forget(native_directory);
        if (::mkdir(native_directory.c_str(), 0777) == 0 || errno == EEXIST)
            fd = ::open(path.c_str(), create_new_flags, mode);
    }
    return fd;
}

} // namespace

// "Already there" (false), as mkdir's EEXIST, without the call when the directory is a known one.
bool create_directory(const std::u16string& path) {
    std::string native = to_native_path(path);
    if (known_directories.contains(native))
        return false;
    const bool created = ::mkdir(native.c_str(), 0777) == 0;
    if (!created && errno != EEXIST)
        return false;
    known_directories.remember(std::move(native));
    return created;
}

// A new file costs one open: O_EXCL never opens what is already there, so it cannot block on a
// FIFO or write through a link, and what it creates is ours alone. An existing name is written
// in place only when it is a plain file of ours, else replaced where that is safe, else refused.
FileHandle create_file_for_writing(const std::u16string& path) {
    const std::string native = to_native_path(path);
    int fd = create_new_file(native, 0666);
    if (fd < 0 && errno == EMFILE) { // out of descriptors: some may still wait to be closed
        finish_closing();
        fd = create_new_file(native, 0666);
    }
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

void before_names_change() {
    finish_closing();
    known_directories.forget_all();
}

// Never replaces the target: where RENAME_NOREPLACE is not supported the rename fails rather
// than test and rename, which could replace a target created in between.
MoveResult move_path(const std::u16string& from, const std::u16string& to) {
    before_names_change();
    if (::renameat2(AT_FDCWD, to_native_path(from).c_str(), AT_FDCWD, to_native_path(to).c_str(),
                    RENAME_NOREPLACE) == 0)
        return MoveResult::moved;
    return errno == EBUSY ? MoveResult::busy : MoveResult::refused;
}

} // namespace kp::posix
