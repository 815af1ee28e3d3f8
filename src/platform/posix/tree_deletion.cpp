// Deleting a directory tree on POSIX, by descriptor: every directory is opened relative to its
// parent's descriptor without following a link, so a directory swapped for a link in mid-walk is
// removed as a link, never entered. The walk stays on the file system it starts on.
#include "file_creation.hpp"
#include "native_path.hpp"
#include "platform/backend.hpp"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kp::posix {

namespace {

constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The names in a directory, read first so that removing entries does not disturb the listing.
std::vector<std::string> entry_names(int directory) {
    std::vector<std::string> names;
    const int listing = ::dup(directory);
    if (listing < 0)
        return names;
    DIR* stream = ::fdopendir(listing);
    if (stream == nullptr) {
        ::close(listing);
        return names;
    }
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(stream);
    return names;
}

// Empties the open directory, depth first; what cannot be removed stays, as a shell deletion
// removes what it can.
void empty_directory(int directory, dev_t device) {
    for (const std::string& name : entry_names(directory)) {
        if (::unlinkat(directory, name.c_str(), 0) == 0)
            continue;
        const int child = ::openat(directory, name.c_str(), directory_flags);
        if (child < 0)
            continue;
        struct stat info {};
        if (::fstat(child, &info) == 0 && info.st_dev == device) {
            empty_directory(child, device);
            ::unlinkat(directory, name.c_str(), AT_REMOVEDIR);
        }
        ::close(child);
    }
}

} // namespace

void shell_delete(const std::u16string& path) {
    before_names_change();
    const std::string native = to_native_path(path);
    if (::unlink(native.c_str()) == 0)
        return; // a file or a link: removed, never followed
    const int directory = ::open(native.c_str(), directory_flags);
    if (directory < 0)
        return;
    struct stat info {};
    if (::fstat(directory, &info) == 0)
        empty_directory(directory, info.st_dev);
    ::close(directory);
    ::rmdir(native.c_str());
}

} // namespace kp::posix
