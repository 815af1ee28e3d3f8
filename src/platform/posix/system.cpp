// The process's surroundings on POSIX.
#include "native_path.hpp"
#include "platform/backend.hpp"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <limits.h>
#include <unistd.h>

namespace kp::posix {

namespace {

constexpr std::size_t max_path_units = 260; // the Windows buffers hold 259 units and a terminator

std::u16string fitting_path(std::u16string path) {
    return path.size() < max_path_units ? path : std::u16string{};
}

// An absolute path with its existing part resolved by realpath.
std::string resolved_path(std::string path) {
    std::string missing;
    while (true) {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string resolved(real);
            std::free(real);
            return resolved == "/" && !missing.empty() ? missing : resolved + missing;
        }
        const std::size_t slash = path.rfind('/');
        if (errno != ENOENT || slash == std::string::npos || path == "/")
            return path + missing;
        const std::string part = path.substr(slash + 1);
        if (!part.empty() && part != ".")
            missing.insert(0, "/" + part);
        path.resize(slash == 0 ? 1 : slash);
    }
}

} // namespace

// There is no COM on POSIX; the launch sequence's calls are kept for symmetry.
void com_initialize() {}
void com_uninitialize() {}

std::u16string module_file_name() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
        return {};
    return fitting_path(from_native_path(std::string_view(buffer, static_cast<std::size_t>(n))));
}

// The folder as the system itself names it, the way /proc reports the image of a process
// started from it: links resolved, no "." or ".." parts, no doubled or trailing separators.
// Parts that do not exist yet are appended to the resolved rest as they are.
std::u16string local_app_data_folder() {
    const char* data_home = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (data_home != nullptr && data_home[0] == '/')
        return from_native_path(resolved_path(data_home));
    if (home != nullptr && home[0] == '/')
        return from_native_path(resolved_path(std::string(home) + "/.local/share"));
    return {};
}

std::u16string temp_directory() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string directory = tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
    if (directory.back() != '/')
        directory += '/';
    return fitting_path(from_native_path(directory));
}

std::uint32_t current_process_id() {
    return static_cast<std::uint32_t>(::getpid());
}

void sleep_ms(std::uint32_t milliseconds) {
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&request, &request) != 0) {
    }
}

} // namespace kp::posix
